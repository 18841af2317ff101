// The simulated machine's fault table (sim/fault_points.h): every row is a real fault point
// that fires when its API is failed by name and when a sweep of its class reaches it, with the
// row's default error; names that no row has are refused rather than ignored.
#include <stdio.h>

#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "sim/sim_devices.h"
#include "sim/sim_processes.h"
#include "sim/sim_registry.h"
#include "sim/sim_services.h"
#include "test_support.h"

namespace {

const char kFile[] = "C:\\data\\file.txt";
const char kKey[] = "HKEY_LOCAL_MACHINE\\Software\\Probe";
const char kDevice[] = "\\\\.\\ProbeDev";
const DWORD kControlCode = 0x222000;

// What a call needs made beforehand and hands on to its clean-up.
struct Context {
  HANDLE handle = nullptr;
  HANDLE second = nullptr;
  HKEY key = nullptr;
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  FILE* stream = nullptr;
  HMODULE library = nullptr;
  FARPROC function = nullptr;
  OVERLAPPED overlapped = {};
  LUID luid = {};
  WIN32_FIND_DATAA find = {};
  PROCESSENTRY32 entry = {};
  DWORD pid = 0;
};

// One fault point's call. setUp (may be null) makes what the call needs, without faults armed;
// call makes the one call of the row's API and answers whether it succeeded; cleanUp (may be
// null) releases what either made, with no sweep armed.
struct Caller {
  const char* api;
  sim::FaultClass cls;
  void (*setUp)(Context&);
  bool (*call)(Context&);
  void (*cleanUp)(Context&);
};

template <class F>
F Function(FARPROC p) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(p));
}

typedef BOOL(WINAPI* EnumProcessesFn)(DWORD*, DWORD, DWORD*);
typedef BOOL(WINAPI* EnumProcessModulesFn)(HANDLE, HMODULE*, DWORD, DWORD*);
typedef DWORD(WINAPI* ModuleNameFn)(HANDLE, HMODULE, LPSTR, DWORD);
typedef HANDLE(WINAPI* SnapshotFn)(DWORD, DWORD);
typedef BOOL(WINAPI* Process32Fn)(HANDLE, PROCESSENTRY32*);

void PutFile(Context&) { sim::PutFile(kFile, "contents"); }
void OpenForReading(Context& c) {
  PutFile(c);
  c.handle = CreateFileA(kFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}
void OpenForWriting(Context& c) {
  sim::MakeDirectory("C:\\data");
  c.handle = CreateFileA(kFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
}
void FindFirst(Context& c) {
  sim::PutFile("C:\\data\\a.txt", "a");
  sim::PutFile("C:\\data\\b.txt", "b");
  c.handle = FindFirstFileA("C:\\data\\*", &c.find);
}
void CloseFind(Context& c) {
  if (c.handle != nullptr && c.handle != INVALID_HANDLE_VALUE) FindClose(c.handle);
}
void OpenStream(Context& c) {
  PutFile(c);
  c.stream = fopen(kFile, "r+b");
}
void CloseStream(Context& c) {
  if (c.stream != nullptr) fclose(c.stream);
}
void OpenKey(Context& c) {
  sim::RegPutString(kKey, "Value", "text");
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Probe", 0, KEY_READ | KEY_WRITE, &c.key);
}
void OpenToken(Context& c) {
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &c.handle);
  LookupPrivilegeValueA(nullptr, SE_DEBUG_NAME, &c.luid);
}
void LoadPsapi(Context& c) { c.library = LoadLibraryA("PSAPI.DLL"); }
void LoadPsapiFunction(Context& c, const char* name) {
  LoadPsapi(c);
  c.function = GetProcAddress(c.library, name);
}
void FreeLibraryOf(Context& c) {
  if (c.library != nullptr) FreeLibrary(c.library);
}
void StartAndOpenProcess(Context& c, const char* psapiFunction) {
  c.pid = sim::AddProcess("C:\\apps\\probe.exe");
  c.handle = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, c.pid);
  LoadPsapiFunction(c, psapiFunction);
}
void ToolHelpFunction(Context& c, const char* name) {
  c.function = GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), name);
}
void Snapshot(Context& c) {
  sim::AddProcess("C:\\apps\\one.exe");
  sim::AddProcess("C:\\apps\\two.exe");
  ToolHelpFunction(c, "CreateToolhelp32Snapshot");
  c.handle = Function<SnapshotFn>(c.function)(TH32CS_SNAPPROCESS, 0);
  c.entry.dwSize = sizeof(PROCESSENTRY32);
}
void OpenManager(Context& c) { c.manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT); }
void OpenService(Context& c) {
  sim::AddService("Probe", SERVICE_RUNNING);
  OpenManager(c);
  c.service = OpenServiceA(c.manager, "Probe", SERVICE_QUERY_STATUS);
}
void CloseServices(Context& c) {
  if (c.service != nullptr) CloseServiceHandle(c.service);
  if (c.manager != nullptr) CloseServiceHandle(c.manager);
}
void OpenDevice(Context& c) {
  sim::AddDevice(kDevice);
  sim::SetDeviceAnswers(kDevice, kControlCode, {sim::Accept("ok")});
  c.handle = CreateFileA(kDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         nullptr);
}
void RequestCompleted(Context& c) {
  OpenDevice(c);
  c.second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  c.overlapped.hEvent = c.second;
  static char reply[8];
  DeviceIoControl(c.handle, kControlCode, nullptr, 0, reply, sizeof(reply), nullptr, &c.overlapped);
}

const Caller kCallers[] = {
    // heap
    {"malloc", sim::kFaultAlloc, nullptr,
     [](Context&) {
       void* p = malloc(16);
       free(p);
       return p != nullptr;
     },
     nullptr},
    {"calloc", sim::kFaultAlloc, nullptr,
     [](Context&) {
       void* p = calloc(4, 4);
       free(p);
       return p != nullptr;
     },
     nullptr},
    {"AllocateAndInitializeSid", sim::kFaultAlloc, nullptr,
     [](Context&) {
       SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
       PSID sid = nullptr;
       BOOL ok = AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                          0, 0, &sid);
       if (ok) FreeSid(sid);
       return ok != FALSE;
     },
     nullptr},
    // files
    {"CreateFileA", sim::kFaultFile, PutFile,
     [](Context& c) {
       c.handle = CreateFileA(kFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
       return c.handle != INVALID_HANDLE_VALUE;
     },
     nullptr},
    {"ReadFile", sim::kFaultFile, OpenForReading,
     [](Context& c) {
       char buffer[4];
       DWORD read = 0;
       return ReadFile(c.handle, buffer, sizeof(buffer), &read, nullptr) != FALSE && read == sizeof(buffer);
     },
     nullptr},
    {"WriteFile", sim::kFaultFile, OpenForWriting,
     [](Context& c) {
       DWORD written = 0;
       return WriteFile(c.handle, "data", 4, &written, nullptr) != FALSE && written == 4;
     },
     nullptr},
    {"FlushFileBuffers", sim::kFaultFile, OpenForWriting, [](Context& c) { return FlushFileBuffers(c.handle) != FALSE; },
     nullptr},
    {"SetEndOfFile", sim::kFaultFile, OpenForWriting, [](Context& c) { return SetEndOfFile(c.handle) != FALSE; },
     nullptr},
    {"GetFileInformationByHandle", sim::kFaultFile, OpenForReading,
     [](Context& c) {
       BY_HANDLE_FILE_INFORMATION info;
       return GetFileInformationByHandle(c.handle, &info) != FALSE;
     },
     nullptr},
    {"CreateDirectoryA", sim::kFaultFile, nullptr,
     [](Context&) { return CreateDirectoryA("C:\\made", nullptr) != FALSE; }, nullptr},
    {"RemoveDirectoryA", sim::kFaultFile, [](Context&) { sim::MakeDirectory("C:\\made"); },
     [](Context&) { return RemoveDirectoryA("C:\\made") != FALSE; }, nullptr},
    {"GetDiskFreeSpaceExA", sim::kFaultFile, nullptr,
     [](Context&) {
       ULARGE_INTEGER available;
       return GetDiskFreeSpaceExA("C:\\windows\\", &available, nullptr, nullptr) != FALSE;
     },
     nullptr},
    {"SetFilePointer", sim::kFaultFile, OpenForReading,
     [](Context& c) { return SetFilePointer(c.handle, 2, nullptr, FILE_BEGIN) == 2; }, nullptr},
    {"FindFirstFileA", sim::kFaultFile,
     [](Context&) { sim::PutFile("C:\\data\\a.txt", "a"); },
     [](Context& c) {
       c.handle = FindFirstFileA("C:\\data\\*", &c.find);
       return c.handle != INVALID_HANDLE_VALUE;
     },
     CloseFind},
    {"FindNextFileA", sim::kFaultFile, FindFirst, [](Context& c) { return FindNextFileA(c.handle, &c.find) != FALSE; },
     CloseFind},
    {"GetLogicalDriveStringsA", sim::kFaultFile, nullptr,
     [](Context&) {
       char drives[64];
       return GetLogicalDriveStringsA(sizeof(drives), drives) > 0;
     },
     nullptr},
    {"SetFileAttributesA", sim::kFaultFile, PutFile,
     [](Context&) { return SetFileAttributesA(kFile, FILE_ATTRIBUTE_READONLY) != FALSE; }, nullptr},
    {"DeleteFileA", sim::kFaultFile, PutFile, [](Context&) { return DeleteFileA(kFile) != FALSE; }, nullptr},
    {"MoveFileExA", sim::kFaultFile, PutFile,
     [](Context&) { return MoveFileExA(kFile, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE; }, nullptr},
    {"GetShortPathNameA", sim::kFaultFile, PutFile,
     [](Context&) {
       char shortPath[MAX_PATH];
       return GetShortPathNameA(kFile, shortPath, MAX_PATH) > 0;
     },
     nullptr},
    {"GetWindowsDirectoryA", sim::kFaultFile, nullptr,
     [](Context&) {
       char directory[MAX_PATH];
       return GetWindowsDirectoryA(directory, MAX_PATH) > 0;
     },
     nullptr},
    {"GetSystemDirectoryA", sim::kFaultFile, nullptr,
     [](Context&) {
       char directory[MAX_PATH];
       return GetSystemDirectoryA(directory, MAX_PATH) > 0;
     },
     nullptr},
    {"GetModuleFileNameA", sim::kFaultFile, nullptr,
     [](Context&) {
       char path[MAX_PATH];
       return GetModuleFileNameA(nullptr, path, MAX_PATH) > 0;
     },
     nullptr},
    // the C runtime's streams
    {"fopen", sim::kFaultFile, PutFile,
     [](Context& c) {
       c.stream = fopen(kFile, "rb");
       return c.stream != nullptr;
     },
     CloseStream},
    {"fread", sim::kFaultFile, OpenStream,
     [](Context& c) {
       char buffer[4];
       return fread(buffer, 1, sizeof(buffer), c.stream) == sizeof(buffer);
     },
     CloseStream},
    {"fwrite", sim::kFaultFile, OpenStream, [](Context& c) { return fwrite("data", 1, 4, c.stream) == 4; },
     CloseStream},
    {"fseek", sim::kFaultFile, OpenStream, [](Context& c) { return fseek(c.stream, 2, SEEK_SET) == 0; },
     CloseStream},
    {"ftell", sim::kFaultFile, OpenStream, [](Context& c) { return ftell(c.stream) == 0; }, CloseStream},
    {"fclose", sim::kFaultFile, OpenStream,
     [](Context& c) {
       FILE* stream = c.stream;
       c.stream = nullptr;  // released whatever fclose answers
       return fclose(stream) == 0;
     },
     CloseStream},
    // registry
    {"RegOpenKeyExA", sim::kFaultRegistry, [](Context&) { sim::RegPutKey(kKey); },
     [](Context& c) {
       return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Probe", 0, KEY_READ, &c.key) == ERROR_SUCCESS;
     },
     nullptr},
    {"RegCreateKeyExA", sim::kFaultRegistry, nullptr,
     [](Context& c) {
       DWORD disposition = 0;
       return RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Probe", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                              nullptr, &c.key, &disposition) == ERROR_SUCCESS;
     },
     nullptr},
    {"RegQueryValueExA", sim::kFaultRegistry, OpenKey,
     [](Context& c) {
       BYTE data[16];
       DWORD size = sizeof(data);
       DWORD type = 0;
       return RegQueryValueExA(c.key, "Value", nullptr, &type, data, &size) == ERROR_SUCCESS;
     },
     nullptr},
    {"RegSetValueExA", sim::kFaultRegistry, OpenKey,
     [](Context& c) {
       return RegSetValueExA(c.key, "Other", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2) == ERROR_SUCCESS;
     },
     nullptr},
    {"RegDeleteValueA", sim::kFaultRegistry, OpenKey,
     [](Context& c) { return RegDeleteValueA(c.key, "Value") == ERROR_SUCCESS; }, nullptr},
    {"RegFlushKey", sim::kFaultRegistry, OpenKey, [](Context& c) { return RegFlushKey(c.key) == ERROR_SUCCESS; },
     nullptr},
    {"RegCloseKey", sim::kFaultRegistry, OpenKey, [](Context& c) { return RegCloseKey(c.key) == ERROR_SUCCESS; },
     nullptr},
    // processes, libraries, the token, services
    {"CloseHandle", sim::kFaultProcess, OpenForReading, [](Context& c) { return CloseHandle(c.handle) != FALSE; },
     nullptr},
    {"GetVersionExA", sim::kFaultProcess, nullptr,
     [](Context&) {
       OSVERSIONINFOA info = {};
       info.dwOSVersionInfoSize = sizeof(info);
       return GetVersionExA(&info) != FALSE;
     },
     nullptr},
    {"GetComputerNameA", sim::kFaultProcess, nullptr,
     [](Context&) {
       char name[MAX_COMPUTERNAME_LENGTH + 1];
       DWORD size = sizeof(name);
       return GetComputerNameA(name, &size) != FALSE;
     },
     nullptr},
    {"GetConsoleTitleA", sim::kFaultProcess, nullptr,
     [](Context&) {
       char title[64];
       return GetConsoleTitleA(title, sizeof(title)) > 0;
     },
     nullptr},
    {"SetConsoleTitleA", sim::kFaultProcess, nullptr, [](Context&) { return SetConsoleTitleA("probe") != FALSE; },
     nullptr},
    {"CreateProcessA", sim::kFaultProcess, nullptr,
     [](Context&) {
       char commandLine[] = "explorer.exe";
       STARTUPINFOA startup = {};
       startup.cb = sizeof(startup);
       PROCESS_INFORMATION process = {};
       return CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process) != FALSE;
     },
     nullptr},
    {"OpenProcessToken", sim::kFaultProcess, nullptr,
     [](Context& c) { return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &c.handle) != FALSE; }, nullptr},
    {"GetTokenInformation", sim::kFaultProcess, OpenToken,
     [](Context& c) {
       static BYTE groups[4096];
       DWORD needed = 0;
       return GetTokenInformation(c.handle, TokenGroups, groups, sizeof(groups), &needed) != FALSE;
     },
     nullptr},
    {"LookupPrivilegeValueA", sim::kFaultProcess, nullptr,
     [](Context& c) { return LookupPrivilegeValueA(nullptr, SE_DEBUG_NAME, &c.luid) != FALSE; }, nullptr},
    {"AdjustTokenPrivileges", sim::kFaultProcess, OpenToken,
     [](Context& c) {
       TOKEN_PRIVILEGES privileges = {};
       privileges.PrivilegeCount = 1;
       privileges.Privileges[0].Luid = c.luid;
       privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
       return AdjustTokenPrivileges(c.handle, FALSE, &privileges, sizeof(privileges), nullptr, nullptr) != FALSE;
     },
     nullptr},
    {"GetModuleHandleA", sim::kFaultProcess, nullptr,
     [](Context&) { return GetModuleHandleA("KERNEL32.DLL") != nullptr; }, nullptr},
    {"LoadLibraryA", sim::kFaultProcess, nullptr,
     [](Context& c) {
       c.library = LoadLibraryA("PSAPI.DLL");
       return c.library != nullptr;
     },
     FreeLibraryOf},
    {"GetProcAddress", sim::kFaultProcess, LoadPsapi,
     [](Context& c) { return GetProcAddress(c.library, "EnumProcesses") != nullptr; }, FreeLibraryOf},
    {"EnumProcesses", sim::kFaultProcess, [](Context& c) { LoadPsapiFunction(c, "EnumProcesses"); },
     [](Context& c) {
       DWORD ids[16];
       DWORD bytes = 0;
       return Function<EnumProcessesFn>(c.function)(ids, sizeof(ids), &bytes) != FALSE;
     },
     FreeLibraryOf},
    {"EnumProcessModules", sim::kFaultProcess, [](Context& c) { StartAndOpenProcess(c, "EnumProcessModules"); },
     [](Context& c) {
       HMODULE modules[4];
       DWORD needed = 0;
       return Function<EnumProcessModulesFn>(c.function)(c.handle, modules, sizeof(modules), &needed) != FALSE;
     },
     FreeLibraryOf},
    {"GetModuleFileNameExA", sim::kFaultProcess, [](Context& c) { StartAndOpenProcess(c, "GetModuleFileNameExA"); },
     [](Context& c) {
       char name[MAX_PATH];
       return Function<ModuleNameFn>(c.function)(c.handle, nullptr, name, MAX_PATH) > 0;
     },
     FreeLibraryOf},
    {"GetModuleBaseNameA", sim::kFaultProcess, [](Context& c) { StartAndOpenProcess(c, "GetModuleBaseNameA"); },
     [](Context& c) {
       char name[MAX_PATH];
       return Function<ModuleNameFn>(c.function)(c.handle, nullptr, name, MAX_PATH) > 0;
     },
     FreeLibraryOf},
    {"CreateToolhelp32Snapshot", sim::kFaultProcess,
     [](Context& c) { ToolHelpFunction(c, "CreateToolhelp32Snapshot"); },
     [](Context& c) {
       c.handle = Function<SnapshotFn>(c.function)(TH32CS_SNAPPROCESS, 0);
       return c.handle != INVALID_HANDLE_VALUE;
     },
     nullptr},
    {"Process32First", sim::kFaultProcess,
     [](Context& c) {
       Snapshot(c);
       ToolHelpFunction(c, "Process32First");
     },
     [](Context& c) { return Function<Process32Fn>(c.function)(c.handle, &c.entry) != FALSE; }, nullptr},
    {"Process32Next", sim::kFaultProcess,
     [](Context& c) {
       Snapshot(c);
       ToolHelpFunction(c, "Process32First");
       Function<Process32Fn>(c.function)(c.handle, &c.entry);
       ToolHelpFunction(c, "Process32Next");
     },
     [](Context& c) { return Function<Process32Fn>(c.function)(c.handle, &c.entry) != FALSE; }, nullptr},
    {"OpenProcess", sim::kFaultProcess, [](Context& c) { c.pid = sim::AddProcess("C:\\apps\\probe.exe"); },
     [](Context& c) {
       c.handle = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, c.pid);
       return c.handle != nullptr;
     },
     nullptr},
    {"TerminateProcess", sim::kFaultProcess,
     [](Context& c) {
       c.pid = sim::AddProcess("C:\\apps\\probe.exe");
       c.handle = OpenProcess(PROCESS_TERMINATE, FALSE, c.pid);
     },
     [](Context& c) { return TerminateProcess(c.handle, 1) != FALSE; }, nullptr},
    {"OpenSCManagerA", sim::kFaultProcess, nullptr,
     [](Context& c) {
       OpenManager(c);
       return c.manager != nullptr;
     },
     CloseServices},
    {"OpenServiceA", sim::kFaultProcess,
     [](Context& c) {
       sim::AddService("Probe", SERVICE_RUNNING);
       OpenManager(c);
     },
     [](Context& c) {
       c.service = OpenServiceA(c.manager, "Probe", SERVICE_QUERY_STATUS);
       return c.service != nullptr;
     },
     CloseServices},
    {"QueryServiceStatus", sim::kFaultProcess, OpenService,
     [](Context& c) {
       SERVICE_STATUS status = {};
       return QueryServiceStatus(c.service, &status) != FALSE;
     },
     CloseServices},
    {"CloseServiceHandle", sim::kFaultProcess, OpenManager,
     [](Context& c) {
       SC_HANDLE manager = c.manager;
       c.manager = nullptr;
       return CloseServiceHandle(manager) != FALSE;
     },
     CloseServices},
    // devices
    {"CreateFileA", sim::kFaultDevice,
     [](Context&) { sim::AddDevice(kDevice); },
     [](Context& c) {
       c.handle = CreateFileA(kDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
       return c.handle != INVALID_HANDLE_VALUE;
     },
     nullptr},
    {"DeviceIoControl", sim::kFaultDevice, OpenDevice,
     [](Context& c) {
       char reply[8];
       DWORD returned = 0;
       return DeviceIoControl(c.handle, kControlCode, nullptr, 0, reply, sizeof(reply), &returned, nullptr) != FALSE;
     },
     nullptr},
    {"CancelIo", sim::kFaultDevice, OpenDevice, [](Context& c) { return CancelIo(c.handle) != FALSE; }, nullptr},
    {"GetOverlappedResult", sim::kFaultDevice, RequestCompleted,
     [](Context& c) {
       DWORD transferred = 0;
       return GetOverlappedResult(c.handle, &c.overlapped, &transferred, FALSE) != FALSE;
     },
     nullptr},
    {"CreateEventA", sim::kFaultDevice, nullptr,
     [](Context& c) {
       c.handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
       return c.handle != nullptr;
     },
     nullptr},
    {"WaitForSingleObject", sim::kFaultDevice,
     [](Context& c) { c.handle = CreateEventA(nullptr, TRUE, TRUE, nullptr); },
     [](Context& c) { return WaitForSingleObject(c.handle, 0) == WAIT_OBJECT_0; }, nullptr},
};

const Caller* CallerOf(const sim::FaultPoint& point) {
  for (const Caller& c : kCallers)
    if (c.api == std::string(point.api) && c.cls == point.cls) return &c;
  return nullptr;
}

enum Arming { kNone, kNamed, kNamedWithError, kSweep };
const DWORD kGivenError = 4242;

struct Outcome {
  bool succeeded;
  DWORD lastError;
  long classCalls;  // calls of the row's class that the call itself made
};

Outcome CallAt(const Caller& caller, Arming arming) {
  testing_support::StartFreshProcess();
  Context context;
  if (caller.setUp != nullptr) caller.setUp(context);
  long before = sim::FaultCallCount(caller.cls);
  if (arming == kNamed) testing_support::FailApi(caller.api, 1, true);
  if (arming == kNamedWithError) testing_support::FailApi(caller.api, 1, true, kGivenError);
  if (arming == kSweep) sim::SetSweepFault(caller.cls, before + 1, true);
  SetLastError(0);
  Outcome outcome;
  outcome.succeeded = caller.call(context);
  outcome.lastError = GetLastError();
  outcome.classCalls = sim::FaultCallCount(caller.cls) - before;
  sim::SetSweepFault(caller.cls, 0, false);
  if (caller.cleanUp != nullptr) caller.cleanUp(context);
  return outcome;
}

TEST(FaultTable, EachRowIsOneApiAndClassWithAnError) {
  std::set<std::pair<std::string, int>> seen;
  std::set<int> classes;
  for (const sim::FaultPoint& point : sim::FaultPoints()) {
    SCOPED_TRACE(point.api);
    ASSERT_NE(point.api, nullptr);
    EXPECT_STRNE(point.api, "");
    EXPECT_TRUE(seen.insert({point.api, point.cls}).second) << "a second row of " << point.api;
    ASSERT_GE(point.cls, 0);
    ASSERT_LT(point.cls, sim::kFaultClassCount);
    classes.insert(point.cls);
    EXPECT_NE(point.defaultError, 0u);
    EXPECT_TRUE(sim::IsFaultApi(point.api));
  }
  // A sweep of any class reaches at least one point.
  EXPECT_EQ(classes.size(), static_cast<size_t>(sim::kFaultClassCount));
}

TEST(FaultTable, EveryRowFiresAtItsPointByNameAndBySweep) {
  for (const sim::FaultPoint& point : sim::FaultPoints()) {
    std::string row = std::string(point.api) + " (" + sim::FaultClassName(point.cls) + ")";
    SCOPED_TRACE(row);
    const Caller* caller = CallerOf(point);
    if (caller == nullptr) {
      ADD_FAILURE() << "no call of " << row << " in kCallers: add one with the new row";
      continue;
    }
    Outcome plain = CallAt(*caller, kNone);
    ASSERT_TRUE(plain.succeeded) << "the call fails without a fault (last error " << plain.lastError << ")";
    EXPECT_GE(plain.classCalls, 1) << "the call is not counted in its class";

    Outcome named = CallAt(*caller, kNamed);
    EXPECT_FALSE(named.succeeded);
    EXPECT_EQ(named.lastError, point.defaultError);

    Outcome given = CallAt(*caller, kNamedWithError);
    EXPECT_FALSE(given.succeeded);
    EXPECT_EQ(given.lastError, kGivenError);

    Outcome swept = CallAt(*caller, kSweep);
    EXPECT_FALSE(swept.succeeded);
    EXPECT_TRUE(sim::FaultFired());
  }
  // And no call stands for a row that is gone.
  for (const Caller& c : kCallers) {
    bool found = false;
    for (const sim::FaultPoint& point : sim::FaultPoints())
      found = found || (c.api == std::string(point.api) && c.cls == point.cls);
    EXPECT_TRUE(found) << c.api << " (" << sim::FaultClassName(c.cls) << ") has no row";
  }
}

TEST(FaultTable, ANamedFaultCountsTheCallsOfBothRowsOfItsApi) {
  // CreateFileA of a file and of a device: one named fault, two points, one count of calls.
  sim::PutFile(kFile, "x");
  sim::AddDevice(kDevice);
  testing_support::FailApi("CreateFileA", 2, false);
  HANDLE file = CreateFileA(kFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE device = CreateFileA(kDevice, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE again = CreateFileA(kFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(device, INVALID_HANDLE_VALUE);  // the second CreateFileA
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
}

TEST(FaultTable, NamedFaultsThatCouldNeverFireAreRefused) {
  sim::PutFile(kFile, "x");
  struct Refused {
    const char* api;
    long nth;
  };
  const Refused refused[] = {
      {"NoSuchApi", 1},       // no point has it
      {"", 1},                //
      {"createfilea", 1},     // the names are exact
      {"CreateFile", 1},      // the system's name carries its A
      {"CreateFileA ", 1},    //
      {"CreateFileA", 0},     // calls count from 1
      {"CreateFileA", -3},    //
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(std::string("\"") + r.api + "\" nth " + std::to_string(r.nth));
    EXPECT_FALSE(sim::FailApi(r.api, r.nth, true));
  }
  // Nothing of them was set: the call they name still succeeds.
  HANDLE file = CreateFileA(kFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(sim::FaultFired());
}

TEST(FaultTable, ClassesAreFoundByTheirNamesOnly) {
  for (int c = 0; c < sim::kFaultClassCount; ++c) {
    sim::FaultClass cls = static_cast<sim::FaultClass>(c);
    sim::FaultClass found = cls == sim::kFaultAlloc ? sim::kFaultFile : sim::kFaultAlloc;
    EXPECT_TRUE(sim::FindFaultClass(sim::FaultClassName(cls), &found)) << sim::FaultClassName(cls);
    EXPECT_EQ(found, cls);
  }
  EXPECT_STREQ(sim::FaultClassName(sim::kFaultAlloc), "alloc");
  EXPECT_STREQ(sim::FaultClassName(sim::kFaultDevice), "device");
  sim::FaultClass untouched = sim::kFaultRegistry;
  for (const char* name : {"", "Alloc", "heap", "all", "files", "?"}) {
    EXPECT_FALSE(sim::FindFaultClass(name, &untouched)) << name;
    EXPECT_EQ(untouched, sim::kFaultRegistry);
  }
}

}  // namespace
