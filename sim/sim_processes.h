// The simulated machine's running processes, the libraries that enumerate them, and the
// privileges of the tool's own token: what a test sets up before a run and reads afterwards.
// The product never includes this header.
#ifndef VORLAX_SIM_SIM_PROCESSES_H
#define VORLAX_SIM_SIM_PROCESSES_H

#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

// ---------------------------------------------------------------- processes
struct ProcessOptions {
  bool canQuery = true;              // OpenProcess grants PROCESS_QUERY_INFORMATION | PROCESS_VM_READ
  bool canTerminate = true;          // OpenProcess grants PROCESS_TERMINATE
  bool terminateSucceeds = true;     // TerminateProcess on a handle with that right
  DWORD terminateError = ERROR_ACCESS_DENIED;  // its last error when it fails
  bool listsModules = true;          // false: EnumProcessModules fails, as for the System process
  bool needsDebugPrivilege = false;  // NT: opened only while SeDebugPrivilege is enabled
};

// Starts a program of this image. Its file, when it exists, is mapped (cannot be deleted) until
// the process ends. pid 0 picks the next free identifier (multiples of 4 from 0x400). The
// enumeration functions list running processes in the order they were added.
DWORD AddProcess(const std::string& imagePath, DWORD pid = 0, const ProcessOptions& options = ProcessOptions());
bool IsRunning(DWORD pid);

// The Windows shell as a machine runs it: its image, an ordinary program file, in the system
// directory (C:\windows\system32\explorer.exe, where Wine keeps it too) or, on the 9x family, in
// the Windows directory; StartShell makes the file when it is missing and starts the program.
// From then on a restart starts the shell again, as the system does when the user logs on.
std::string ShellImagePath();
DWORD StartShell();
std::vector<DWORD> RunningProcesses();

struct Termination {
  DWORD pid;
  std::string imagePath;
  UINT exitCode;
  DWORD time;  // virtual clock
};
const std::vector<Termination>& Terminations();

// Every OpenProcess call, in order.
struct ProcessOpen {
  DWORD pid;
  DWORD access;
  bool succeeded;
  bool debugPrivilegeEnabled;  // SeDebugPrivilege was enabled in the token at the call
  DWORD time;
  bool closed;                 // the handle was closed (succeeded calls only)
  DWORD closeTime;
};
const std::vector<ProcessOpen>& ProcessOpens();

// ---------------------------------------------------------------- libraries
// KERNEL32.DLL is always there; its ToolHelp functions (CreateToolhelp32Snapshot,
// Process32First, Process32Next) are present unless removed. PSAPI.DLL and VDMDBG.DLL are
// present by default and loaded only through LoadLibraryA.
void SetToolHelpPresent(bool present);
void SetLibraryPresent(const std::string& dll, bool present);  // "PSAPI.DLL" or "VDMDBG.DLL"
// GetProcAddress of this function of this library finds nothing.
void RemoveExport(const std::string& dll, const std::string& function);
int LibraryLoads();       // successful LoadLibraryA calls
int LibraryReferences();  // loads not yet released by FreeLibrary
int BadLibraryFrees();    // FreeLibrary calls on a module that was not loaded

// ---------------------------------------------------------------- token privileges
// The token of a fresh machine holds the privileges of an administrator, all disabled but
// SeChangeNotifyPrivilege (enabled by default). A privilege that is not held cannot be enabled:
// AdjustTokenPrivileges then succeeds with ERROR_NOT_ALL_ASSIGNED.
void SetTokenPrivilege(const std::string& name, bool held, DWORD attributes = 0);
bool TokenHoldsPrivilege(const std::string& name);
DWORD PrivilegeAttributes(const std::string& name);  // 0 when not held

}  // namespace sim

#endif
