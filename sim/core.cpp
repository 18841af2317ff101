// The simulated machine's core: reset, faults, handles, version, token, directories, console,
// clock, heap, process start and the C runtime's own helpers.
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>

#include <map>
#include <string>
#include <vector>

#include "sim/internal.h"

// The real allocator, for the sim's own use and behind the product's malloc.
#undef malloc
#undef calloc
#undef free
#undef printf

namespace sim {
namespace internal {

namespace {

std::vector<void (*)()>& Hooks() {
  static std::vector<void (*)()> hooks;
  return hooks;
}

struct NamedFault {
  long nth;
  bool persistent;
  DWORD error;
  long calls;
};

struct FaultState {
  std::map<std::string, NamedFault> named;
  long counts[kFaultClassCount] = {};
  long sweepNth[kFaultClassCount] = {};
  bool sweepPersistent[kFaultClassCount] = {};
  bool fired = false;
  bool tornWrites = false;
};
// The machine's state is never destroyed: the trace log's root scope closes its file at process
// exit, after static destructors may already have run, and must still find the machine there.
FaultState& g_faults = *new FaultState;

std::map<uintptr_t, std::unique_ptr<HandleObject>>& g_handles = *new std::map<uintptr_t, std::unique_ptr<HandleObject>>;
uintptr_t g_nextHandle = 0x100;

}  // namespace

ResetHook::ResetHook(void (*fn)()) { Hooks().push_back(fn); }

void RunResetHooks() {
  for (void (*fn)() : Hooks()) fn();
}

bool FaultAt(long row) {
  const FaultPoint& point = kFaultPointTable[row];
  long n = ++g_faults.counts[point.cls];
  bool fail = false;
  DWORD error = point.defaultError;
  auto it = g_faults.named.find(point.api);
  if (it != g_faults.named.end()) {
    NamedFault& f = it->second;
    ++f.calls;
    if (f.calls == f.nth || (f.persistent && f.calls > f.nth)) {
      fail = true;
      if (f.error != 0) error = f.error;
    }
  }
  long nth = g_faults.sweepNth[point.cls];
  if (nth > 0 && (n == nth || (g_faults.sweepPersistent[point.cls] && n > nth))) fail = true;
  if (fail) {
    g_faults.fired = true;
    SetLastError(error);
  }
  return fail;
}

HANDLE AddHandle(std::unique_ptr<HandleObject> object) {
  uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  g_handles[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

HandleObject* FindHandle(HANDLE handle) {
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == g_handles.end() ? nullptr : it->second.get();
}

bool RemoveHandle(HANDLE handle) { return g_handles.erase(reinterpret_cast<uintptr_t>(handle)) == 1; }

std::string Upper(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return out;
}

int ErrnoFromWin32(DWORD error) {
  // MSVCRT's table; every error it does not list is EINVAL.
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case 15:   // ERROR_INVALID_DRIVE
    case 18:   // ERROR_NO_MORE_FILES
    case 53:   // ERROR_BAD_NETPATH
    case 67:   // ERROR_BAD_NET_NAME
    case 161:  // ERROR_BAD_PATHNAME
    case 206:  // ERROR_FILENAME_EXCED_RANGE
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case 16:   // ERROR_CURRENT_DIRECTORY
    case 65:   // ERROR_NETWORK_ACCESS_DENIED
    case 82:   // ERROR_CANNOT_MAKE
    case 83:   // ERROR_FAIL_I24
    case 108:  // ERROR_DRIVE_LOCKED
    case 132:  // ERROR_SEEK_ON_DEVICE
    case 158:  // ERROR_NOT_LOCKED
    case 167:  // ERROR_LOCK_FAILED
      return EACCES;
    case 4:  // ERROR_TOO_MANY_OPEN_FILES
      return EMFILE;
    case ERROR_INVALID_HANDLE:
    case 114:  // ERROR_INVALID_TARGET_HANDLE
    case 130:  // ERROR_DIRECT_ACCESS_HANDLE
      return EBADF;
    case 7:  // ERROR_ARENA_TRASHED
    case ERROR_NOT_ENOUGH_MEMORY:
    case 9:     // ERROR_INVALID_BLOCK
    case 1816:  // ERROR_NOT_ENOUGH_QUOTA
      return ENOMEM;
    case 10:  // ERROR_BAD_ENVIRONMENT
      return E2BIG;
    case 11:  // ERROR_BAD_FORMAT
      return ENOEXEC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case 17:  // ERROR_NOT_SAME_DEVICE
      return EXDEV;
    case 89:   // ERROR_NO_PROC_SLOTS
    case 164:  // ERROR_MAX_THRDS_REACHED
    case 215:  // ERROR_NESTING_NOT_ALLOWED
      return EAGAIN;
    case 109:  // ERROR_BROKEN_PIPE
      return EPIPE;
    case 112:  // ERROR_DISK_FULL
      return ENOSPC;
    case 128:  // ERROR_WAIT_NO_CHILDREN
    case 129:  // ERROR_CHILD_NOT_COMPLETE
      return ECHILD;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    default:
      if (error >= 19 && error <= 36) return EACCES;    // write protect .. sharing buffer exceeded
      if (error >= 188 && error <= 202) return ENOEXEC;  // bad executable images
      return EINVAL;  // ERROR_INVALID_NAME (123) among them
  }
}

}  // namespace internal

using namespace internal;

// ---------------------------------------------------------------- state of the core areas
namespace {

struct CoreState {
  DWORD lastError = 0;
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  DWORD major = 5, minor = 1, build = 2600;
  AdminMode admin = kAdminMember;
  std::string windowsDir = "C:\\windows";
  std::string systemDir = "C:\\windows\\system32";
  std::string modulePath = "C:\\vctool\\VorlaxClean.exe";
  std::string console;
  bool echo = false;
  std::string keys;
  std::vector<DWORD> keyReadTimes;
  std::vector<std::string> debug;
  DWORD clock = 1000000;
  std::vector<StartedProcess> started;
  bool failStart = false;
  int extraGroups = 0;
  bool localSystem = false;
  std::string computerName = "VCTEST-PC";
  DWORD readFileTime = 0;
  bool consoleWindow = true;
  std::string consoleTitle = "C:\\vctool\\VorlaxClean.exe";
  std::vector<std::string> consoleTitles;
  std::vector<DWORD> consoleTitleTimes;
  // 2024-06-03 08:00:00 local time at the clock's start value.
  int timeBase[6] = {2024, 6, 3, 8, 0, 0};
};
CoreState& g_core = *new CoreState;  // outlives static destruction, as g_faults

void ResetCore() { g_core = CoreState(); }
ResetHook g_coreHook(&ResetCore);

// A SID as the sim hands it out: authority and sub-authorities.
struct SimSid {
  BYTE authority[6];
  BYTE count;
  DWORD sub[8];
};

struct TokenObject : HandleObject {
  const char* Kind() const override { return "token"; }
  DWORD access = 0;
};

struct EventObject : HandleObject {
  const char* Kind() const override { return "event"; }
  bool manualReset = false;
  bool signalled = false;
};

SimSid g_adminSid = {{0, 0, 0, 0, 0, 5}, 2, {32, 544}};
SimSid g_usersSid = {{0, 0, 0, 0, 0, 5}, 2, {32, 545}};
SimSid g_everyoneSid = {{0, 0, 0, 0, 0, 1}, 1, {0}};
SimSid g_localSystemSid = {{0, 0, 0, 0, 0, 5}, 1, {18}};
SimSid g_userSid = {{0, 0, 0, 0, 0, 5}, 5, {21, 1004336348, 1177238915, 682003330, 1003}};

}  // namespace

namespace internal {
void AdvanceClock(DWORD milliseconds) { g_core.clock += milliseconds; }
void FileReadTakesTime() { g_core.clock += g_core.readFileTime; }
bool IsNtFamily() { return g_core.platformId == VER_PLATFORM_WIN32_NT; }
bool HasAdminRights() { return g_core.admin == kAdminMember; }
std::string WindowsDirectory() { return g_core.windowsDir; }
std::string SystemDirectory() { return g_core.systemDir; }
bool IsEvent(HANDLE handle) { return FindHandleAs<EventObject>(handle) != nullptr; }
bool SetEventState(HANDLE handle, bool signalled) {
  EventObject* event = FindHandleAs<EventObject>(handle);
  if (event == nullptr) return false;
  event->signalled = signalled;
  return true;
}
bool TokenAccess(HANDLE token, DWORD* access) {
  TokenObject* object = FindHandleAs<TokenObject>(token);
  if (object == nullptr) return false;
  *access = object->access;
  return true;
}
}  // namespace internal

// ---------------------------------------------------------------- test-facing API
void Reset() {
  EndProgram();  // requests a stuck driver still holds go with the old machine
  g_faults = FaultState();
  g_handles.clear();
  g_nextHandle = 0x100;
  RunResetHooks();
}

bool FailApi(const std::string& api, long nth, bool persistent, DWORD error) {
  if (nth < 1 || !IsFaultApi(api)) return false;
  g_faults.named[api] = NamedFault{nth, persistent, error, 0};
  return true;
}

void SetSweepFault(FaultClass cls, long nth, bool persistent) {
  g_faults.sweepNth[cls] = nth;
  g_faults.sweepPersistent[cls] = persistent;
}

long FaultCallCount(FaultClass cls) { return g_faults.counts[cls]; }
bool FaultFired() { return g_faults.fired; }
void SetTornWrites(bool torn) { g_faults.tornWrites = torn; }
bool TornWrites() { return g_faults.tornWrites; }

void SetVersion(DWORD platformId, DWORD major, DWORD minor, DWORD build) {
  g_core.platformId = platformId;
  g_core.major = major;
  g_core.minor = minor;
  g_core.build = build;
}
void SetWindows98() { SetVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222); }
void SetWindowsNt() { SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600); }
void SetAdmin(AdminMode mode) { g_core.admin = mode; }
void SetExtraTokenGroups(int count) { g_core.extraGroups = count; }
void SetLocalSystemUser(bool localSystem) { g_core.localSystem = localSystem; }
void SetComputerName(const std::string& name) { g_core.computerName = name; }
void SetLocalTimeBase(int year, int month, int day, int hour, int minute, int second) {
  int base[6] = {year, month, day, hour, minute, second};
  memcpy(g_core.timeBase, base, sizeof(base));
}
void SetWindowsDirectory(const std::string& path) { g_core.windowsDir = path; }
void SetSystemDirectory(const std::string& path) { g_core.systemDir = path; }
void SetModulePath(const std::string& path) { g_core.modulePath = path; }

const std::string& ConsoleOutput() { return g_core.console; }
void SetConsoleEcho(bool echo) { g_core.echo = echo; }
void PushKeys(const std::string& keys) { g_core.keys += keys; }
int KeyReads() { return static_cast<int>(g_core.keyReadTimes.size()); }
DWORD KeyReadTime(int index) { return g_core.keyReadTimes.at(static_cast<size_t>(index)); }
const std::vector<std::string>& DebugOutput() { return g_core.debug; }
DWORD Now() { return g_core.clock; }
void SetReadFileTime(DWORD milliseconds) { g_core.readFileTime = milliseconds; }
void SetConsoleTitleText(const std::string& title) { g_core.consoleTitle = title; }
void SetConsoleWindow(bool present) { g_core.consoleWindow = present; }
const std::string& ConsoleTitle() { return g_core.consoleTitle; }
const std::vector<std::string>& ConsoleTitles() { return g_core.consoleTitles; }
const std::vector<DWORD>& ConsoleTitleTimes() { return g_core.consoleTitleTimes; }
const std::vector<StartedProcess>& StartedProcesses() { return g_core.started; }
void FailProcessStart(bool fail) { g_core.failStart = fail; }

int OpenHandleCount() { return static_cast<int>(g_handles.size()); }

}  // namespace sim

using namespace sim;
using namespace sim::internal;

// ---------------------------------------------------------------- Win32: base
DWORD GetLastError(void) { return g_core.lastError; }
void SetLastError(DWORD error) { g_core.lastError = error; }

BOOL CloseHandle(HANDLE handle) {
  if (handle == GetCurrentProcess()) return TRUE;
  // Service manager handles are closed with CloseServiceHandle only.
  HandleObject* object = FindHandle(handle);
  if (object != nullptr && strncmp(object->Kind(), "sc", 2) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Fault<FaultRow("CloseHandle")>()) {
    // The handle is gone all the same, as on Windows when closing reports an error.
    RemoveHandle(handle);
    return FALSE;
  }
  if (!RemoveHandle(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (Fault<FaultRow("GetVersionExA")>()) return FALSE;
  info->dwMajorVersion = g_core.major;
  info->dwMinorVersion = g_core.minor;
  info->dwBuildNumber = g_core.build;
  info->dwPlatformId = g_core.platformId;
  memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
  return TRUE;
}

DWORD GetTickCount(void) { return g_core.clock; }
void Sleep(DWORD milliseconds) { g_core.clock += milliseconds; }

static UINT CopyDirectory(const std::string& dir, LPSTR buffer, UINT size) {
  // As Windows: the length without the terminator when it fits, else the size needed.
  if (dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
  memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<UINT>(dir.size());
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  if (Fault<FaultRow("GetWindowsDirectoryA")>()) return 0;
  return CopyDirectory(g_core.windowsDir, buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
  if (Fault<FaultRow("GetSystemDirectoryA")>()) return 0;
  return CopyDirectory(g_core.systemDir, buffer, size);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  (void)module;
  if (size == 0) return 0;
  if (Fault<FaultRow("GetModuleFileNameA")>()) return 0;
  const std::string& path = g_core.modulePath;
  if (path.size() + 1 > size) {
    // Windows XP: truncated, terminated, ERROR_INSUFFICIENT_BUFFER, returns size.
    memcpy(buffer, path.c_str(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

void OutputDebugStringA(LPCSTR text) { g_core.debug.push_back(text ? text : ""); }

void GetSystemInfo(LPSYSTEM_INFO info) {
  memset(info, 0, sizeof(*info));
  info->u.s.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
  info->dwPageSize = 4096;
  info->dwNumberOfProcessors = 1;
  info->dwProcessorType = PROCESSOR_INTEL_PENTIUM;
  info->dwAllocationGranularity = 65536;
  info->wProcessorLevel = 6;
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  memset(section, 0, sizeof(*section));
  section->LockCount = -1;
  section->Initialized = 1;
}
void EnterCriticalSection(LPCRITICAL_SECTION section) {
  if (!section->Initialized) abort();  // entering an uninitialised section is a product bug
  ++section->RecursionCount;
}
void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  if (!section->Initialized || section->RecursionCount <= 0) abort();
  --section->RecursionCount;
}
void DeleteCriticalSection(LPCRITICAL_SECTION section) { section->Initialized = 0; }

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name) {
  (void)attributes;
  (void)name;
  if (Fault<FaultRow("CreateEventA")>()) return nullptr;
  auto event = std::make_unique<EventObject>();
  event->manualReset = manualReset != 0;
  event->signalled = initialState != 0;
  return AddHandle(std::move(event));
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  EventObject* event = FindHandleAs<EventObject>(handle);
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (Fault<FaultRow("WaitForSingleObject")>()) return WAIT_FAILED;
  if (event->signalled) return WAIT_OBJECT_0;
  // Nothing else runs while the program waits: an event not signalled now never will be.
  if (milliseconds == INFINITE) {
    fprintf(stderr, "sim: WaitForSingleObject waits for ever on an event that nothing signals\n");
    fflush(stderr);
    abort();
  }
  g_core.clock += milliseconds;
  return WAIT_TIMEOUT;
}

HANDLE GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
DWORD GetCurrentProcessId(void) { return 0x7A0; }

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                    LPPROCESS_INFORMATION processInformation) {
  (void)processAttributes;
  (void)threadAttributes;
  (void)inheritHandles;
  (void)environment;
  (void)currentDirectory;
  StartedProcess p;
  p.application = applicationName ? applicationName : "";
  p.commandLine = commandLine ? commandLine : "";
  p.flags = creationFlags;
  p.startupInfoSize = startupInfo ? startupInfo->cb : 0;
  p.startupInfoZeroed = false;
  if (startupInfo != nullptr) {
    STARTUPINFOA zero;
    memset(&zero, 0, sizeof(zero));
    zero.cb = startupInfo->cb;
    p.startupInfoZeroed = memcmp(&zero, startupInfo, sizeof(zero)) == 0;
  }
  p.time = g_core.clock;
  if (g_core.failStart || Fault<FaultRow("CreateProcessA")>()) return FALSE;
  g_core.started.push_back(p);
  RunStartedProgram(p.commandLine);
  if (processInformation != nullptr) {
    // The sim gives no real handles for the started program; the caller may close these.
    processInformation->hProcess = AddHandle(std::make_unique<EventObject>());
    processInformation->hThread = AddHandle(std::make_unique<EventObject>());
    processInformation->dwProcessId = 0x900 + static_cast<DWORD>(g_core.started.size()) * 4;
    processInformation->dwThreadId = processInformation->dwProcessId + 1;
  }
  return TRUE;
}

// ---------------------------------------------------------------- Win32: the console window's title
// As Windows: the title's length without the terminator, cut to fit the buffer; 0 without a
// console window.
DWORD GetConsoleTitleA(LPSTR title, DWORD size) {
  if (!g_core.consoleWindow) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (Fault<FaultRow("GetConsoleTitleA")>()) return 0;
  if (title == nullptr || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = std::min<size_t>(g_core.consoleTitle.size(), size - 1);
  memcpy(title, g_core.consoleTitle.data(), n);
  title[n] = '\0';
  return static_cast<DWORD>(n);
}

BOOL SetConsoleTitleA(LPCSTR title) {
  if (!g_core.consoleWindow) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Fault<FaultRow("SetConsoleTitleA")>()) return FALSE;
  if (title == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  g_core.consoleTitle = title;
  g_core.consoleTitles.push_back(title);
  g_core.consoleTitleTimes.push_back(g_core.clock);
  return TRUE;
}

// ---------------------------------------------------------------- Win32: computer name, local time
BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (Fault<FaultRow("GetComputerNameA")>()) return FALSE;
  const std::string& name = g_core.computerName;
  // As Windows: the size needed with the terminator when the buffer is too small, else the
  // length without it.
  if (buffer == nullptr || *size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    SetLastError(111);  // ERROR_BUFFER_OVERFLOW
    return FALSE;
  }
  memcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  return TRUE;
}

void GetLocalTime(LPSYSTEMTIME time) {
  // The base time moved on by the clock since its start value, in the proleptic Gregorian
  // calendar (days from civil dates and back).
  auto daysFromCivil = [](long y, long m, long d) {
    y -= m <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    long yoe = y - era * 400;
    long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
  };
  const int* b = g_core.timeBase;
  long long ms = (static_cast<long long>(daysFromCivil(b[0], b[1], b[2])) * 86400 + b[3] * 3600 + b[4] * 60 + b[5]) *
                     1000 +
                 (static_cast<long long>(g_core.clock) - 1000000);
  long long seconds = ms / 1000;
  long days = static_cast<long>(seconds / 86400);
  long rest = static_cast<long>(seconds % 86400);
  long z = days + 719468;
  long era = (z >= 0 ? z : z - 146096) / 146097;
  long doe = z - era * 146097;
  long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long mp = (5 * doy + 2) / 153;
  long day = doy - (153 * mp + 2) / 5 + 1;
  long month = mp < 10 ? mp + 3 : mp - 9;
  long year = yoe + era * 400 + (month <= 2);
  time->wYear = static_cast<WORD>(year);
  time->wMonth = static_cast<WORD>(month);
  time->wDayOfWeek = static_cast<WORD>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
  time->wDay = static_cast<WORD>(day);
  time->wHour = static_cast<WORD>(rest / 3600);
  time->wMinute = static_cast<WORD>(rest / 60 % 60);
  time->wSecond = static_cast<WORD>(rest % 60);
  time->wMilliseconds = static_cast<WORD>(ms % 1000);
}

// ---------------------------------------------------------------- Win32: token
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  (void)process;
  if (Fault<FaultRow("OpenProcessToken")>()) return FALSE;
  auto object = std::make_unique<TokenObject>();
  object->access = access;
  *token = AddHandle(std::move(object));
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                         PDWORD returnLength) {
  if (FindHandleAs<TokenObject>(token) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (infoClass != TokenGroups && infoClass != TokenUser) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (Fault<FaultRow("GetTokenInformation")>()) return FALSE;
  if (infoClass == TokenUser) {
    // TOKEN_USER with the user's SID behind it.
    size_t needed = sizeof(TOKEN_USER) + sizeof(SimSid);
    if (returnLength) *returnLength = static_cast<DWORD>(needed);
    if (length < needed || info == nullptr) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    TOKEN_USER* out = static_cast<TOKEN_USER*>(info);
    SimSid* sid = reinterpret_cast<SimSid*>(static_cast<BYTE*>(info) + sizeof(TOKEN_USER));
    *sid = g_core.localSystem ? g_localSystemSid : g_userSid;
    out->User.Sid = sid;
    out->User.Attributes = 0;
    SetLastError(0);
    return TRUE;
  }
  // Groups of a typical interactive logon; enough of them that the first 1024-byte query is
  // too small only when a test asks for many.
  std::vector<std::pair<SimSid*, DWORD>> groups;
  groups.push_back({&g_everyoneSid, SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT});
  if (g_core.admin == kAdminMember)
    groups.push_back({&g_adminSid, SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT});
  else if (g_core.admin == kAdminDenyOnly)
    groups.push_back({&g_adminSid, SE_GROUP_USE_FOR_DENY_ONLY});
  groups.push_back({&g_usersSid, SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT});
  for (int i = 0; i < g_core.extraGroups; ++i)
    groups.push_back({&g_usersSid, SE_GROUP_ENABLED});
  size_t header = offsetof(TOKEN_GROUPS, Groups) + groups.size() * sizeof(SID_AND_ATTRIBUTES);
  size_t needed = header + groups.size() * sizeof(SimSid);
  if (returnLength) *returnLength = static_cast<DWORD>(needed);
  if (length < needed || info == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  TOKEN_GROUPS* out = static_cast<TOKEN_GROUPS*>(info);
  out->GroupCount = static_cast<DWORD>(groups.size());
  SimSid* sids = reinterpret_cast<SimSid*>(static_cast<BYTE*>(info) + header);
  for (size_t i = 0; i < groups.size(); ++i) {
    sids[i] = *groups[i].first;
    out->Groups[i].Sid = &sids[i];
    out->Groups[i].Attributes = groups[i].second;
  }
  SetLastError(0);
  return TRUE;
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount, DWORD s0, DWORD s1,
                              DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
  if (subAuthorityCount == 0 || subAuthorityCount > 8) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (Fault<FaultRow("AllocateAndInitializeSid")>()) return FALSE;
  SimSid* out = static_cast<SimSid*>(::malloc(sizeof(SimSid)));
  memset(out, 0, sizeof(*out));
  memcpy(out->authority, authority->Value, 6);
  out->count = subAuthorityCount;
  DWORD subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
  memcpy(out->sub, subs, sizeof(DWORD) * subAuthorityCount);
  *sid = out;
  return TRUE;
}

BOOL EqualSid(PSID a, PSID b) {
  const SimSid* x = static_cast<const SimSid*>(a);
  const SimSid* y = static_cast<const SimSid*>(b);
  if (memcmp(x->authority, y->authority, 6) != 0 || x->count != y->count) return FALSE;
  return memcmp(x->sub, y->sub, sizeof(DWORD) * x->count) == 0;
}

PVOID FreeSid(PSID sid) {
  ::free(sid);
  return nullptr;
}

// ---------------------------------------------------------------- C runtime
int _getch(void) {
  g_core.keyReadTimes.push_back(g_core.clock);
  // The user takes a moment to press the key: whatever the program does next happens later.
  g_core.clock += 1000;
  if (g_core.keys.empty()) return -1;
  int c = static_cast<unsigned char>(g_core.keys[0]);
  g_core.keys.erase(0, 1);
  return c;
}

int _stricmp(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int x = tolower(static_cast<unsigned char>(*a));
    int y = tolower(static_cast<unsigned char>(*b));
    if (x != y || x == 0) return x - y;
  }
}

int _strnicmp(const char* a, const char* b, size_t count) {
  for (; count > 0; --count, ++a, ++b) {
    int x = tolower(static_cast<unsigned char>(*a));
    int y = tolower(static_cast<unsigned char>(*b));
    if (x != y || x == 0) return x - y;
  }
  return 0;
}

char* _strdup(const char* text) {
  size_t n = strlen(text) + 1;
  char* copy = static_cast<char*>(SimMalloc(n));
  if (copy != nullptr) memcpy(copy, text, n);
  return copy;
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
  // As MSVCRT: drive "X:", directory up to and with the last slash, name, extension from the
  // last dot of the name. Parts longer than their _MAX_ sizes are cut.
  const char* p = path;
  if (drive) drive[0] = '\0';
  if (p[0] != '\0' && p[1] == ':') {
    if (drive) {
      drive[0] = p[0];
      drive[1] = ':';
      drive[2] = '\0';
    }
    p += 2;
  }
  const char* lastSlash = nullptr;
  const char* lastDot = nullptr;
  for (const char* q = p; *q; ++q) {
    if (*q == '\\' || *q == '/') lastSlash = q;
    else if (*q == '.') lastDot = q;
  }
  const char* nameStart = lastSlash ? lastSlash + 1 : p;
  if (lastDot != nullptr && lastDot < nameStart) lastDot = nullptr;
  auto copyPart = [](char* out, const char* from, const char* to, size_t cap) {
    if (out == nullptr) return;
    size_t n = static_cast<size_t>(to - from);
    if (n >= cap) n = cap - 1;
    memcpy(out, from, n);
    out[n] = '\0';
  };
  copyPart(dir, p, nameStart, _MAX_DIR);
  const char* nameEnd = lastDot ? lastDot : nameStart + strlen(nameStart);
  copyPart(fname, nameStart, nameEnd, _MAX_FNAME);
  copyPart(ext, nameEnd, nameEnd + strlen(nameEnd), _MAX_EXT);
}

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
  // MSVCRT: -1 when the text does not fit, and then no terminator is guaranteed.
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) < count) {
    vsnprintf(buffer, count, format, args);
    return n;
  }
  if (count > 0) {
    std::vector<char> tmp(static_cast<size_t>(n) + 1);
    vsnprintf(tmp.data(), tmp.size(), format, args);
    memcpy(buffer, tmp.data(), count);  // no terminator, as MSVCRT
  }
  return -1;
}

int SimPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) {
    va_end(args);
    return n;
  }
  std::vector<char> text(static_cast<size_t>(n) + 1);
  vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  // Standard output of a Windows console program is in text mode.
  for (int i = 0; i < n; ++i) {
    if (text[static_cast<size_t>(i)] == '\n') g_core.console += '\r';
    g_core.console += text[static_cast<size_t>(i)];
  }
  if (g_core.echo) fwrite(text.data(), 1, static_cast<size_t>(n), stdout);
  return n;
}

void* SimMalloc(size_t size) {
  if (Fault<FaultRow("malloc")>()) {
    errno = ENOMEM;
    return nullptr;
  }
  return ::malloc(size == 0 ? 1 : size);
}

void* SimCalloc(size_t count, size_t size) {
  if (Fault<FaultRow("calloc")>()) {
    errno = ENOMEM;
    return nullptr;
  }
  return ::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

void SimFree(void* block) { ::free(block); }
