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
const char* FaultClassName(FaultClass cls);  // "alloc", "file", "registry", "process", "device"
// The class FaultClassName spells name; false for a name that no class has.
bool FindFaultClass(const std::string& name, FaultClass* cls);

// One fault point of the machine, a row of the table in sim/fault_points.h: the API a named
// fault gives, the class a sweep counts the call in, and the last error a failure sets unless
// the fault gives one. Two points may share an API (CreateFileA of a file and of a device); a
// named fault of that API fails both.
struct FaultPoint {
  const char* api;
  FaultClass cls;
  DWORD defaultError;
};
// Every fault point, in the table's order.
const std::vector<FaultPoint>& FaultPoints();
// True when some fault point has this API, spelled exactly (case included).
bool IsFaultApi(const std::string& api);

// Makes the nth call (from 1) of api fail, and with persistent every later one, setting error
// (0: the point's default). Refused, with nothing set, for an api that no fault point has or
// an nth below 1: a fault that could never fire.
[[nodiscard]] bool FailApi(const std::string& api, long nth = 1, bool persistent = true, DWORD error = 0);
void SetSweepFault(FaultClass cls, long nth, bool persistent);
long FaultCallCount(FaultClass cls);
bool FaultFired();
// With torn writes a failing WriteFile first stores the first half of its bytes, as a write cut
// short by a full disk or a power cut can (without, a failing write stores nothing). Reset ends it.
void SetTornWrites(bool torn);
bool TornWrites();

// ---------------------------------------------------------------- version, rights, directories
void SetVersion(DWORD platformId, DWORD major, DWORD minor, DWORD build);
void SetWindows98();  // 9x family, 4.10
void SetWindowsNt();  // NT family, 5.1
enum AdminMode { kAdminMember, kAdminAbsent, kAdminDenyOnly };
void SetAdmin(AdminMode mode);
// More groups in the token, so that its group list outgrows a 1024-byte buffer.
void SetExtraTokenGroups(int count);
// The token's user: an ordinary account (default) or LocalSystem (S-1-5-18), as a startup
// script or a remote-execution service runs the tool.
void SetLocalSystemUser(bool localSystem);
// GetComputerNameA's answer (default VCTEST-PC).
void SetComputerName(const std::string& name);
// GetLocalTime reads this local time (default 2024-06-03 08:00:00.000) at the clock's start
// value of 1,000,000 ms, moved on by the simulated clock since.
void SetLocalTimeBase(int year, int month, int day, int hour, int minute, int second);
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
// The clock moves on by this much at every ReadFile of a file (default 0), as a disk takes time.
void SetReadFileTime(DWORD milliseconds);

// The console window's title (default "C:\vctool\VorlaxClean.exe"), and whether the program has
// a console window at all (without one GetConsoleTitleA and SetConsoleTitleA fail).
void SetConsoleTitleText(const std::string& title);
void SetConsoleWindow(bool present);
const std::string& ConsoleTitle();
// Every title SetConsoleTitleA set, in order.
const std::vector<std::string>& ConsoleTitles();
const std::vector<DWORD>& ConsoleTitleTimes();  // the clock at each

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
// The bytes free on a drive (default 20 GiB): GetDiskFreeSpaceExA reports them, and a WriteFile
// that would grow files beyond them fails with ERROR_DISK_FULL, writing nothing.
void SetFreeSpace(char letter, uint64_t bytes);
uint64_t FreeSpace(char letter);
// A write-protected drive: nothing on it can be created, written, renamed or deleted
// (ERROR_WRITE_PROTECT); reading works.
void SetDriveReadOnly(char letter, bool readOnly);
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
// One operation of a restart: a delayed MoveFileEx operation or a line of WININIT.INI's [rename]
// section.
struct RestartOperation {
  bool fromWininit;      // a WININIT.INI line (else a MoveFileEx operation)
  std::string from;      // the source as it was scheduled
  std::string to;        // the destination as it was scheduled; empty for a deletion
  bool deletion;
  std::string fromFile;  // the long path of the file the source named at the restart; "" when none
  bool done;             // the file was deleted or moved
};
// Restarts the machine: the delayed MoveFileEx operations in order, then on the 9x family the
// [rename] section of WININIT.INI (renamed to WININIT.BAK afterwards). Running processes end.
// Returns every operation it carried out or tried, in order.
std::vector<RestartOperation> Restart();
// The operations a restart reads from a WININIT.INI of this text, in order (fromFile and done
// left empty): the key=value lines of its [rename] sections, "nul" as the key of a deletion.
std::vector<RestartOperation> WininitOperations(const std::string& text);

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
