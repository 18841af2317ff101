// The simulated machine behind the host build: what a test sets up before a run and reads
// afterwards. The product never includes this header.
#ifndef VORLAX_SIM_SIM_H
#define VORLAX_SIM_SIM_H

#include <string>
#include <vector>

#include "sim_win32.h"

namespace sim {

// A fresh machine: NT 5.1 with an administrator token, drive C: fixed and empty but for
// C:\windows and C:\windows\system32, the tool at C:\vctool\VorlaxClean.exe, no processes,
// an empty registry, no services, no devices, the clock at 1,000,000 ms.
void Reset();

// ---------------------------------------------------------------- fault injection
// Calls are counted per class; a sweep makes the Nth call of a class fail (and, when
// persistent, every later one). Named faults make the Nth call of one API fail.
enum FaultClass { kFaultAlloc, kFaultFile, kFaultRegistry, kFaultProcess, kFaultDevice, kFaultClassCount };
const char* FaultClassName(FaultClass cls);
void FailApi(const std::string& api, long nth = 1, bool persistent = true, DWORD error = 0);
void SetSweepFault(FaultClass cls, long nth, bool persistent);
long FaultCallCount(FaultClass cls);
bool FaultFired();

// ---------------------------------------------------------------- version, rights, directories
void SetVersion(DWORD platformId, DWORD major, DWORD minor, DWORD build);
void SetWindows98();  // 9x family, 4.10
void SetWindowsNt();  // NT family, 5.1
enum AdminMode { kAdminMember, kAdminAbsent, kAdminDenyOnly };
void SetAdmin(AdminMode mode);
// More groups in the token, so that its group list outgrows a 1024-byte buffer.
void SetExtraTokenGroups(int count);
void SetWindowsDirectory(const std::string& path);
void SetSystemDirectory(const std::string& path);
void SetModulePath(const std::string& path);

// ---------------------------------------------------------------- console, debugger, clock
// Standard output as the bytes a Windows console program writes in text mode (LF as CR LF).
const std::string& ConsoleOutput();
void SetConsoleEcho(bool echo);
void PushKeys(const std::string& keys);
int KeyReads();                       // how many times _getch was called
DWORD KeyReadTime(int index);          // virtual clock at the index-th _getch
const std::vector<std::string>& DebugOutput();
DWORD Now();

struct StartedProcess {
  std::string application;  // empty when none was passed
  std::string commandLine;
  DWORD flags;
  DWORD startupInfoSize;
  bool startupInfoZeroed;   // every field but the size is zero
  DWORD time;
};
const std::vector<StartedProcess>& StartedProcesses();
void FailProcessStart(bool fail);

// ---------------------------------------------------------------- disks
void AddDrive(char letter, UINT type);
void RemoveDrive(char letter);
// Writes a file (parents are created), replacing any existing one.
void PutFile(const std::string& path, const std::string& data, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
void MakeDirectory(const std::string& path);
// A directory entry that leads to another directory (a junction or symbolic link).
void MakeDirectoryLink(const std::string& path, const std::string& target);
void SetShortName(const std::string& path, const std::string& shortName);
// The file index GetFileInformationByHandle reports for the entry (each entry has its own
// unless a test sets one, as for a file system whose numbers repeat).
void SetFileIndex(const std::string& path, DWORD index);
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
bool GetFile(const std::string& path, std::string* data);  // false when absent or a directory
std::string FileData(const std::string& path);             // "" when absent
DWORD Attributes(const std::string& path);                 // INVALID_FILE_ATTRIBUTES when absent
// Another program holds the file open (returns an id to release it with).
int HoldOpen(const std::string& path, DWORD access, DWORD share);
void Release(int holdId);
// A running image: cannot be deleted or opened for writing while mapped.
void MapImage(const std::string& path);
void UnmapImage(const std::string& path);
// Every path of every file under a directory, sorted, for end-state checks.
std::vector<std::string> ListFiles(const std::string& directory);

struct PendingOperation {
  std::string from;
  std::string to;  // empty for a deletion
  bool deletion;
  DWORD flags;
};
const std::vector<PendingOperation>& PendingOperations();
// Restarts the machine: the delayed MoveFileEx operations in order, then on the 9x family the
// [rename] section of WININIT.INI (renamed to WININIT.BAK afterwards). Running processes end.
void Restart();

// Handles still open in the simulated machine (leak checks).
int OpenHandleCount();
// The program has ended. As Windows does when a process exits, the handles that device
// requests still pending hold (their devices and events) are closed and the requests dropped;
// every other handle stays open, for the leak checks. Returns the number of requests dropped.
// Reset() does the same first.
int EndProgram();
// C runtime streams that fopen opened and fclose has not closed, and the paths they were opened
// with (leak checks; the trace log's stream stays open until the program ends).
int OpenStreamCount();
std::vector<std::string> OpenStreamPaths();

}  // namespace sim

#endif
