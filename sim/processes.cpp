// The simulated processes: running programs with their images, OpenProcess and
// TerminateProcess, the libraries that enumerate processes (KERNEL32's ToolHelp functions,
// PSAPI.DLL, VDMDBG.DLL) reached through GetModuleHandleA, LoadLibraryA and GetProcAddress, and
// the privileges of the tool's own token.
#include <ctype.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/files_internal.h"
#include "sim/sim_processes.h"

namespace sim {

using namespace internal;

namespace {

struct SimProcess {
  DWORD pid;
  std::string image;
  ProcessOptions options;
  bool running;
  std::shared_ptr<Node> mapped;  // the image's file while the process runs
};

struct Privilege {
  DWORD luid;
  bool held;
  DWORD attributes;
};

struct Library {
  HMODULE handle;
  bool present;
  int references;
  std::vector<std::string> exports;
  std::vector<std::string> removed;
};

struct ProcessState {
  std::vector<SimProcess> processes;
  DWORD nextPid = 0x400;
  std::vector<Termination> terminations;
  std::vector<ProcessOpen> opens;
  std::map<std::string, Library> libraries;  // by upper-case name
  int loads = 0;
  int badFrees = 0;
  std::map<std::string, Privilege> privileges;  // by upper-case name
  bool hasShell = false;                         // StartShell was called: restarts start it too
};

// Outlives static destruction: handle objects report their closing here.
ProcessState& g_proc = *new ProcessState;

const uintptr_t kExeBase = 0x00400000;
const uintptr_t kKernel32Base = 0x7C800000;
const uintptr_t kNtdllBase = 0x7C900000;
const uintptr_t kPsapiBase = 0x76BF0000;
const uintptr_t kVdmdbgBase = 0x73D80000;

// The LUIDs an NT system gives these privileges.
struct KnownPrivilege {
  const char* name;
  DWORD luid;
};
const KnownPrivilege kKnownPrivileges[] = {
    {"SeSecurityPrivilege", 8},      {"SeTakeOwnershipPrivilege", 9}, {"SeLoadDriverPrivilege", 10},
    {"SeBackupPrivilege", 17},       {"SeRestorePrivilege", 18},      {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},        {"SeChangeNotifyPrivilege", 23},
};

HMODULE ModuleHandle(uintptr_t base) { return reinterpret_cast<HMODULE>(base); }

// "psapi", "PSAPI.DLL" and "C:\WINDOWS\system32\psapi.dll" name the same library.
std::string LibraryKey(const char* name) {
  std::string key = name;
  size_t slash = key.find_last_of("\\/");
  if (slash != std::string::npos) key = key.substr(slash + 1);
  key = Upper(key);
  if (key.find('.') == std::string::npos) key += ".DLL";
  return key;
}

Library* FindLibrary(const std::string& key) {
  auto it = g_proc.libraries.find(key);
  return it == g_proc.libraries.end() ? nullptr : &it->second;
}

Library* LibraryOfHandle(HMODULE module) {
  for (auto& kv : g_proc.libraries)
    if (kv.second.handle == module) return &kv.second;
  return nullptr;
}

SimProcess* FindProcess(DWORD pid) {
  for (SimProcess& p : g_proc.processes)
    if (p.pid == pid && p.running) return &p;
  return nullptr;
}

bool DebugPrivilegeEnabled() {
  auto it = g_proc.privileges.find(Upper("SeDebugPrivilege"));
  return it != g_proc.privileges.end() && it->second.held && (it->second.attributes & SE_PRIVILEGE_ENABLED);
}

void EndProcess(SimProcess* p) {
  p->running = false;
  if (p->mapped && p->mapped->imageMaps > 0) --p->mapped->imageMaps;
  p->mapped.reset();
}

void ResetProcesses() {
  g_proc = ProcessState();
  Library kernel32{ModuleHandle(kKernel32Base), true, 0,
                   {"CreateToolhelp32Snapshot", "Process32First", "Process32Next"}, {}};
  Library psapi{ModuleHandle(kPsapiBase), true, 0,
                {"EnumProcesses", "EnumProcessModules", "GetModuleFileNameExA", "GetModuleBaseNameA"}, {}};
  Library vdmdbg{ModuleHandle(kVdmdbgBase), true, 0, {"VDMEnumTaskWOWEx"}, {}};
  g_proc.libraries["KERNEL32.DLL"] = kernel32;
  g_proc.libraries["PSAPI.DLL"] = psapi;
  g_proc.libraries["VDMDBG.DLL"] = vdmdbg;
  for (const KnownPrivilege& k : kKnownPrivileges) {
    DWORD attributes = strcmp(k.name, "SeChangeNotifyPrivilege") == 0
                           ? SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT
                           : 0;
    g_proc.privileges[Upper(k.name)] = Privilege{k.luid, true, attributes};
  }
}
ResetHook g_processesHook(&ResetProcesses);

// A restart ends every program.
void EndAllProcesses() {
  for (SimProcess& p : g_proc.processes)
    if (p.running) EndProcess(&p);
}
RestartHook g_processesRestartHook(&EndAllProcesses);

struct ProcessHandleObject : HandleObject {
  const char* Kind() const override { return "process"; }
  ~ProcessHandleObject() override {
    if (openIndex < g_proc.opens.size() && g_proc.opens[openIndex].pid == pid) {
      g_proc.opens[openIndex].closed = true;
      g_proc.opens[openIndex].closeTime = Now();
    }
  }
  DWORD pid = 0;
  DWORD access = 0;
  size_t openIndex = 0;
};

struct SnapshotObject : HandleObject {
  const char* Kind() const override { return "snapshot"; }
  std::vector<std::pair<DWORD, std::string>> entries;
  size_t next = 0;
};

// The process behind a handle, when the handle carries all of the rights asked for.
SimProcess* ProcessOfHandle(HANDLE handle, DWORD rights, DWORD* error) {
  ProcessHandleObject* object = FindHandleAs<ProcessHandleObject>(handle);
  if (object == nullptr) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if ((object->access & rights) != rights) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  SimProcess* p = FindProcess(object->pid);
  if (p == nullptr) *error = ERROR_PARTIAL_COPY;  // the process has ended
  return p;
}

DWORD CopyName(const std::string& name, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // A name that does not fit is cut, terminator included in size.
  size_t n = name.size() < size ? name.size() : size - 1;
  memcpy(buffer, name.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---------------------------------------------------------------- PSAPI.DLL and VDMDBG.DLL
BOOL WINAPI SimEnumProcesses(DWORD* ids, DWORD bytes, DWORD* returned) {
  if (Fault<FaultRow("EnumProcesses")>()) return FALSE;
  if (returned == nullptr || (ids == nullptr && bytes > 0)) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  // As many identifiers as fit; the caller learns of more only by a full buffer.
  DWORD room = bytes / sizeof(DWORD);
  DWORD n = 0;
  for (const SimProcess& p : g_proc.processes) {
    if (!p.running) continue;
    if (n == room) break;
    ids[n++] = p.pid;
  }
  *returned = n * static_cast<DWORD>(sizeof(DWORD));
  return TRUE;
}

BOOL WINAPI SimEnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD needed) {
  if (Fault<FaultRow("EnumProcessModules")>()) return FALSE;
  DWORD error = 0;
  SimProcess* p = ProcessOfHandle(process, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, &error);
  if (p == nullptr) {
    SetLastError(error);
    return FALSE;
  }
  if (!p->options.listsModules) {
    SetLastError(ERROR_PARTIAL_COPY);
    return FALSE;
  }
  const HMODULE list[] = {ModuleHandle(kExeBase), ModuleHandle(kNtdllBase), ModuleHandle(kKernel32Base)};
  const DWORD count = sizeof(list) / sizeof(list[0]);
  if (needed != nullptr) *needed = count * static_cast<DWORD>(sizeof(HMODULE));
  DWORD room = bytes / static_cast<DWORD>(sizeof(HMODULE));
  for (DWORD i = 0; i < count && i < room; ++i) modules[i] = list[i];
  return TRUE;
}

std::string ModulePath(const SimProcess& p, HMODULE module) {
  if (module == nullptr || module == ModuleHandle(kExeBase)) return p.image;
  if (module == ModuleHandle(kNtdllBase)) return "C:\\windows\\system32\\ntdll.dll";
  if (module == ModuleHandle(kKernel32Base)) return "C:\\windows\\system32\\kernel32.dll";
  return "";
}

// The path of a module of the process behind a query handle, or "" with the last error set.
static std::string QueriedModulePath(HANDLE process, HMODULE module) {
  DWORD error = 0;
  SimProcess* p = ProcessOfHandle(process, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, &error);
  if (p == nullptr) {
    SetLastError(error);
    return "";
  }
  std::string path = ModulePath(*p, module);
  if (path.empty()) SetLastError(ERROR_INVALID_HANDLE);
  return path;
}

DWORD WINAPI SimGetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR name, DWORD size) {
  if (Fault<FaultRow("GetModuleFileNameExA")>()) return 0;
  std::string path = QueriedModulePath(process, module);
  return path.empty() ? 0 : CopyName(path, name, size);
}

DWORD WINAPI SimGetModuleBaseNameA(HANDLE process, HMODULE module, LPSTR name, DWORD size) {
  if (Fault<FaultRow("GetModuleBaseNameA")>()) return 0;
  std::string path = QueriedModulePath(process, module);
  return path.empty() ? 0 : CopyName(BaseName(path), name, size);
}

typedef BOOL(WINAPI* SimTaskEnumProcEx)(DWORD, WORD, WORD, LPSTR, LPSTR, LPARAM);

INT WINAPI SimVDMEnumTaskWOWEx(DWORD pid, SimTaskEnumProcEx callback, LPARAM parameter) {
  (void)pid;
  (void)callback;
  (void)parameter;
  return 0;  // no 16-bit tasks run in the simulated machine
}

// ---------------------------------------------------------------- KERNEL32's ToolHelp functions
HANDLE WINAPI SimCreateToolhelp32Snapshot(DWORD flags, DWORD pid) {
  (void)pid;
  if (Fault<FaultRow("CreateToolhelp32Snapshot")>()) return INVALID_HANDLE_VALUE;
  auto snapshot = std::make_unique<SnapshotObject>();
  if (flags & TH32CS_SNAPPROCESS) {
    for (const SimProcess& p : g_proc.processes) {
      if (!p.running) continue;
      // Windows 9x gives the image's full path, the NT family its file name only.
      snapshot->entries.push_back({p.pid, IsNtFamily() ? BaseName(p.image) : p.image});
    }
  }
  return AddHandle(std::move(snapshot));
}

// fault: the fault point of the calling function, counted once the arguments passed.
BOOL NextSnapshotEntry(HANDLE handle, LPPROCESSENTRY32 entry, bool first, bool (*fault)()) {
  SnapshotObject* snapshot = FindHandleAs<SnapshotObject>(handle);
  if (snapshot == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32)) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  if (fault()) return FALSE;
  if (first) snapshot->next = 0;
  if (snapshot->next >= snapshot->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  const std::pair<DWORD, std::string>& e = snapshot->entries[snapshot->next++];
  DWORD size = entry->dwSize;
  memset(entry, 0, sizeof(PROCESSENTRY32));
  entry->dwSize = size;
  entry->th32ProcessID = e.first;
  entry->cntThreads = 1;
  entry->pcPriClassBase = 8;
  snprintf(entry->szExeFile, sizeof(entry->szExeFile), "%s", e.second.c_str());
  return TRUE;
}

BOOL WINAPI SimProcess32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  return NextSnapshotEntry(snapshot, entry, true, &Fault<FaultRow("Process32First")>);
}

BOOL WINAPI SimProcess32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  return NextSnapshotEntry(snapshot, entry, false, &Fault<FaultRow("Process32Next")>);
}

template <class F>
FARPROC AsFarproc(F function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(function));
}

FARPROC ExportOf(const std::string& name) {
  if (name == "EnumProcesses") return AsFarproc(&SimEnumProcesses);
  if (name == "EnumProcessModules") return AsFarproc(&SimEnumProcessModules);
  if (name == "GetModuleFileNameExA") return AsFarproc(&SimGetModuleFileNameExA);
  if (name == "GetModuleBaseNameA") return AsFarproc(&SimGetModuleBaseNameA);
  if (name == "VDMEnumTaskWOWEx") return AsFarproc(&SimVDMEnumTaskWOWEx);
  if (name == "CreateToolhelp32Snapshot") return AsFarproc(&SimCreateToolhelp32Snapshot);
  if (name == "Process32First") return AsFarproc(&SimProcess32First);
  if (name == "Process32Next") return AsFarproc(&SimProcess32Next);
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- test-facing API
DWORD AddProcess(const std::string& imagePath, DWORD pid, const ProcessOptions& options) {
  if (pid == 0) {
    while (FindProcess(g_proc.nextPid) != nullptr) g_proc.nextPid += 4;
    pid = g_proc.nextPid;
    g_proc.nextPid += 4;
  }
  if (FindProcess(pid) != nullptr) abort();  // two running processes cannot share an identifier
  SimProcess p;
  p.pid = pid;
  p.image = imagePath;
  p.options = options;
  p.running = true;
  std::shared_ptr<Node> node = Follow(Lookup(imagePath), 0);
  if (node && !node->isDir) {
    ++node->imageMaps;
    p.mapped = node;
  }
  g_proc.processes.push_back(p);
  return pid;
}

bool IsRunning(DWORD pid) { return FindProcess(pid) != nullptr; }

std::vector<DWORD> RunningProcesses() {
  std::vector<DWORD> out;
  for (const SimProcess& p : g_proc.processes)
    if (p.running) out.push_back(p.pid);
  return out;
}

std::string ShellImagePath() {
  return (IsNtFamily() ? SystemDirectory() : WindowsDirectory()) + "\\explorer.exe";
}

DWORD StartShell() {
  std::string image = ShellImagePath();
  std::shared_ptr<Node> node = Lookup(image);
  if (!node) PutFile(image, std::string(8192, '\0'));
  g_proc.hasShell = true;
  return AddProcess(image);
}

namespace internal {

void RunStartedProgram(const std::string& commandLine) {
  std::string program;
  if (!commandLine.empty() && commandLine[0] == '"') {
    size_t close = commandLine.find('"', 1);
    program = commandLine.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    program = commandLine.substr(0, commandLine.find(' '));
  }
  if (program.empty()) return;
  std::vector<std::string> candidates;
  if (program.find('\\') != std::string::npos) {
    candidates.push_back(program);
  } else {
    candidates.push_back(SystemDirectory() + "\\" + program);
    candidates.push_back(WindowsDirectory() + "\\" + program);
  }
  for (const std::string& path : candidates) {
    std::shared_ptr<Node> node = Follow(Lookup(path), 0);
    if (node && !node->isDir) {
      AddProcess(path);
      return;
    }
  }
}

void StartShellAfterRestart() {
  if (g_proc.hasShell) AddProcess(ShellImagePath());
}

}  // namespace internal

const std::vector<Termination>& Terminations() { return g_proc.terminations; }
const std::vector<ProcessOpen>& ProcessOpens() { return g_proc.opens; }

void SetToolHelpPresent(bool present) {
  Library& kernel32 = g_proc.libraries["KERNEL32.DLL"];
  kernel32.removed.clear();
  if (!present) kernel32.removed = kernel32.exports;
}

void SetLibraryPresent(const std::string& dll, bool present) {
  Library* library = FindLibrary(LibraryKey(dll.c_str()));
  if (library == nullptr || library->handle == ModuleHandle(kKernel32Base)) abort();
  library->present = present;
}

void RemoveExport(const std::string& dll, const std::string& function) {
  Library* library = FindLibrary(LibraryKey(dll.c_str()));
  if (library == nullptr) abort();
  library->removed.push_back(function);
}

int LibraryLoads() { return g_proc.loads; }

int LibraryReferences() {
  int total = 0;
  for (auto& kv : g_proc.libraries) total += kv.second.references;
  return total;
}

int BadLibraryFrees() { return g_proc.badFrees; }

void SetTokenPrivilege(const std::string& name, bool held, DWORD attributes) {
  std::string key = Upper(name);
  auto it = g_proc.privileges.find(key);
  DWORD luid = 0;
  if (it != g_proc.privileges.end()) {
    luid = it->second.luid;
  } else {
    for (const KnownPrivilege& k : kKnownPrivileges)
      if (Upper(k.name) == key) luid = k.luid;
    if (luid == 0) abort();  // a privilege the simulated system does not know
  }
  g_proc.privileges[key] = Privilege{luid, held, held ? attributes : 0};
}

bool TokenHoldsPrivilege(const std::string& name) {
  auto it = g_proc.privileges.find(Upper(name));
  return it != g_proc.privileges.end() && it->second.held;
}

DWORD PrivilegeAttributes(const std::string& name) {
  auto it = g_proc.privileges.find(Upper(name));
  return it != g_proc.privileges.end() && it->second.held ? it->second.attributes : 0;
}

}  // namespace sim

using namespace sim;
using namespace sim::internal;

// ---------------------------------------------------------------- Win32: modules
HMODULE GetModuleHandleA(LPCSTR name) {
  if (Fault<FaultRow("GetModuleHandleA")>()) return nullptr;
  if (name == nullptr) return ModuleHandle(kExeBase);
  Library* library = FindLibrary(LibraryKey(name));
  // KERNEL32 is in every process; other libraries only once loaded.
  if (library != nullptr && (library->handle == ModuleHandle(kKernel32Base) || library->references > 0))
    return library->handle;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

HMODULE LoadLibraryA(LPCSTR name) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (Fault<FaultRow("LoadLibraryA")>()) return nullptr;
  Library* library = FindLibrary(LibraryKey(name));
  if (library == nullptr || !library->present) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++library->references;
  ++g_proc.loads;
  return library->handle;
}

BOOL FreeLibrary(HMODULE module) {
  Library* library = LibraryOfHandle(module);
  if (library == nullptr || library->references == 0) {
    ++g_proc.badFrees;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --library->references;
  return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (Fault<FaultRow("GetProcAddress")>()) return nullptr;
  Library* library = LibraryOfHandle(module);
  bool mapped = library != nullptr &&
                (library->handle == ModuleHandle(kKernel32Base) || library->references > 0);
  if (!mapped) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (name == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  // Export names are exact, letter case included.
  std::string wanted = name;
  bool exported = false;
  for (const std::string& e : library->exports)
    if (e == wanted) exported = true;
  for (const std::string& r : library->removed)
    if (r == wanted) exported = false;
  if (!exported) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return ExportOf(wanted);
}

// ---------------------------------------------------------------- Win32: processes
HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
  (void)inheritHandle;
  ProcessOpen record;
  record.pid = processId;
  record.access = access;
  record.succeeded = false;
  record.debugPrivilegeEnabled = DebugPrivilegeEnabled();
  record.time = Now();
  record.closed = false;
  record.closeTime = 0;
  g_proc.opens.push_back(record);
  if (Fault<FaultRow("OpenProcess")>()) return nullptr;
  SimProcess* p = FindProcess(processId);
  if (p == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);  // no such process (any more)
    return nullptr;
  }
  bool debug = IsNtFamily() && record.debugPrivilegeEnabled;
  bool denied = false;
  if ((access & (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)) && !p->options.canQuery) denied = true;
  if ((access & PROCESS_TERMINATE) && !p->options.canTerminate) denied = true;
  if (p->options.needsDebugPrivilege && IsNtFamily() && !debug) denied = true;
  if (denied) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto object = std::make_unique<ProcessHandleObject>();
  object->pid = processId;
  object->access = access;
  object->openIndex = g_proc.opens.size() - 1;
  g_proc.opens.back().succeeded = true;
  return AddHandle(std::move(object));
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  ProcessHandleObject* object = FindHandleAs<ProcessHandleObject>(process);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(object->access & PROCESS_TERMINATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (Fault<FaultRow("TerminateProcess")>()) return FALSE;
  SimProcess* p = FindProcess(object->pid);
  if (p == nullptr) {
    SetLastError(ERROR_ACCESS_DENIED);  // as Windows for a process that has already ended
    return FALSE;
  }
  if (!p->options.terminateSucceeds) {
    SetLastError(p->options.terminateError);
    return FALSE;
  }
  // Success leaves the last error as it was, as on Windows.
  g_proc.terminations.push_back(Termination{p->pid, p->image, exitCode, Now()});
  EndProcess(p);
  return TRUE;
}

// ---------------------------------------------------------------- Win32: token privileges
BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) {
  if (!IsNtFamily()) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  if (Fault<FaultRow("LookupPrivilegeValueA")>()) return FALSE;
  if (systemName != nullptr && systemName[0] != '\0') {
    SetLastError(53);  // ERROR_BAD_NETPATH: the simulated machine has no network
    return FALSE;
  }
  if (name == nullptr || luid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string key = Upper(name);
  for (const KnownPrivilege& k : kKnownPrivileges) {
    if (Upper(k.name) == key) {
      luid->LowPart = k.luid;
      luid->HighPart = 0;
      return TRUE;
    }
  }
  SetLastError(ERROR_NO_SUCH_PRIVILEGE);
  return FALSE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                           PTOKEN_PRIVILEGES previousState, PDWORD returnLength) {
  if (!IsNtFamily()) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  DWORD access = 0;
  if (!TokenAccess(token, &access)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(access & TOKEN_ADJUST_PRIVILEGES) || (previousState != nullptr && !(access & TOKEN_QUERY))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if ((!disableAll && newState == nullptr) || (previousState != nullptr && returnLength == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (Fault<FaultRow("AdjustTokenPrivileges")>()) return FALSE;

  // Work out the changes first: a previous-state buffer that is too small changes nothing.
  struct Change {
    Privilege* privilege;
    DWORD attributes;
  };
  std::vector<Change> changes;
  bool notAllAssigned = false;
  if (disableAll) {
    for (auto& kv : g_proc.privileges)
      if (kv.second.held && (kv.second.attributes & SE_PRIVILEGE_ENABLED))
        changes.push_back({&kv.second, kv.second.attributes & ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED)});
  } else {
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& wanted = newState->Privileges[i];
      Privilege* found = nullptr;
      for (auto& kv : g_proc.privileges)
        if (kv.second.luid == wanted.Luid.LowPart && wanted.Luid.HighPart == 0) found = &kv.second;
      if (found == nullptr || !found->held) {
        notAllAssigned = true;
        continue;
      }
      DWORD next = (found->attributes & ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED)) |
                   (wanted.Attributes & SE_PRIVILEGE_ENABLED);
      if (next != found->attributes) changes.push_back({found, next});
    }
  }
  if (previousState != nullptr) {
    DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                      changes.size() * sizeof(LUID_AND_ATTRIBUTES));
    *returnLength = needed;
    if (bufferLength < needed) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    previousState->PrivilegeCount = static_cast<DWORD>(changes.size());
    for (size_t i = 0; i < changes.size(); ++i) {
      previousState->Privileges[i].Luid.LowPart = changes[i].privilege->luid;
      previousState->Privileges[i].Luid.HighPart = 0;
      previousState->Privileges[i].Attributes = changes[i].privilege->attributes;
    }
  }
  for (const Change& c : changes) c.privilege->attributes = c.attributes;
  SetLastError(notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}
