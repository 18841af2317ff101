// Phase 1: every running process is examined; a process whose image is infected is ended and
// its image remembered for deletion, and the shell is ended as well.
#include "detect/process_scan.h"

#include "app/outcome.h"
#include "app/platform_query.h"
#include "app/run_record.h"
#include "detect/process_enumerators.h"
#include "trace/trace.h"

namespace {

// The identifier list starts with room for 1024 processes and grows on the heap while
// EnumProcesses fills it: a full buffer is the only sign that more processes run.
const DWORD kInitialProcessIdCount = 1024;
const DWORD kMaximumProcessIdCount = 1024 * 1024;
// Only the first module, the executable, is needed.
const DWORD kModuleCount = 1024;

const char kShellImage[] = "\\explorer.exe";
const char kDebugPrivilege[] = "SeDebugPrivilege";

// Function pointers come back from GetProcAddress as FARPROC; going through a pointer to a
// function without parameters tells the compiler the type change is meant.
typedef void (*AnyFunction)(void);

template <class T>
T FunctionOf(HMODULE module, const char* name) {
  return (T)(AnyFunction)GetProcAddress(module, name);
}

// Remembers the image of an infected process for phase 2. 0 when the node cannot be allocated:
// nothing is appended and the scan's state stays as it was.
int AppendImageOfInfectedProcess(ProcessScanContext* scan, const char* imagePath) {
  InfectedFileNode* node = (InfectedFileNode*)malloc(sizeof(InfectedFileNode));
  if (node == NULL) return 0;
  memset(node, 0, sizeof(InfectedFileNode));
  strncpy(node->path, imagePath, MAX_PATH - 1);
  AppendInfectedFileNode(node);
  scan->found = 1;
  return 1;
}

}  // namespace

// ---------------------------------------------------------------- ToolHelp (Windows 9x)
ToolHelpProcessEnumerator::ToolHelpProcessEnumerator()
    : kernel32_(NULL),
      snapshot_(INVALID_HANDLE_VALUE),
      createToolhelp32Snapshot_(NULL),
      process32First_(NULL),
      process32Next_(NULL) {
  memset(&entry_, 0, sizeof(entry_));
  // KERNEL32 is in every process: its handle is taken, never loaded or released.
  kernel32_ = GetModuleHandleA("KERNEL32.DLL");
  if (kernel32_ == NULL) return;
  createToolhelp32Snapshot_ = FunctionOf<CreateToolhelp32SnapshotFunction>(kernel32_, "CreateToolhelp32Snapshot");
  process32First_ = FunctionOf<Process32Function>(kernel32_, "Process32First");
  process32Next_ = FunctionOf<Process32Function>(kernel32_, "Process32Next");
  if (createToolhelp32Snapshot_ != NULL && process32First_ != NULL && process32Next_ != NULL) {
    entry_.dwSize = sizeof(PROCESSENTRY32);
    available = 1;
  }
}

int ToolHelpProcessEnumerator::Enumerate(ProcessCallback callback, void* context) {
  if (!available || createToolhelp32Snapshot_ == NULL || process32First_ == NULL || process32Next_ == NULL) {
    return 0;
  }
  snapshot_ = createToolhelp32Snapshot_(TH32CS_SNAPPROCESS, 0);
  if (snapshot_ == INVALID_HANDLE_VALUE) return 1;

  if (process32First_(snapshot_, &entry_)) {
    // szExeFile holds the image's full path on Windows 9x.
    if (callback != NULL) callback(entry_.szExeFile, entry_.th32ProcessID, context);
    while (process32Next_(snapshot_, &entry_)) {
      if (callback != NULL) callback(entry_.szExeFile, entry_.th32ProcessID, context);
    }
  }
  CloseHandle(snapshot_);
  snapshot_ = INVALID_HANDLE_VALUE;
  return 1;
}

// ---------------------------------------------------------------- PSAPI (NT family)
PsapiProcessEnumerator::PsapiProcessEnumerator()
    : psapi_(NULL),
      vdmdbg_(NULL),
      enumProcesses_(NULL),
      getModuleFileNameExA_(NULL),
      enumProcessModules_(NULL),
      vdmEnumTaskWowEx_(NULL),
      getModuleBaseNameA_(NULL) {
  psapi_ = LoadLibraryA("PSAPI.DLL");
  vdmdbg_ = LoadLibraryA("VDMDBG.DLL");
  if (psapi_ == NULL || vdmdbg_ == NULL) return;  // the one that loaded is released on destruction

  vdmEnumTaskWowEx_ = FunctionOf<VdmEnumTaskWowExFunction>(vdmdbg_, "VDMEnumTaskWOWEx");
  enumProcesses_ = FunctionOf<EnumProcessesFunction>(psapi_, "EnumProcesses");
  getModuleFileNameExA_ = FunctionOf<GetModuleNameFunction>(psapi_, "GetModuleFileNameExA");
  getModuleBaseNameA_ = FunctionOf<GetModuleNameFunction>(psapi_, "GetModuleBaseNameA");
  enumProcessModules_ = FunctionOf<EnumProcessModulesFunction>(psapi_, "EnumProcessModules");
  if (vdmEnumTaskWowEx_ != NULL && enumProcesses_ != NULL && getModuleFileNameExA_ != NULL &&
      getModuleBaseNameA_ != NULL && enumProcessModules_ != NULL) {
    available = 1;
  }
}

PsapiProcessEnumerator::~PsapiProcessEnumerator() { ReleaseLibraries(); }

void PsapiProcessEnumerator::ReleaseLibraries() {
  if (vdmdbg_ != NULL) {
    FreeLibrary(vdmdbg_);
    vdmdbg_ = NULL;
  }
  if (psapi_ != NULL) {
    FreeLibrary(psapi_);
    psapi_ = NULL;
  }
}

int PsapiProcessEnumerator::Enumerate(ProcessCallback callback, void* context) {
  if (!available || enumProcesses_ == NULL || getModuleFileNameExA_ == NULL || enumProcessModules_ == NULL ||
      vdmEnumTaskWowEx_ == NULL || getModuleBaseNameA_ == NULL) {
    return 0;
  }

  DWORD fixedIds[kInitialProcessIdCount];
  DWORD* ids = fixedIds;
  DWORD* heapIds = NULL;
  DWORD capacity = kInitialProcessIdCount;
  DWORD bytes = 0;
  if (!enumProcesses_(ids, capacity * sizeof(DWORD), &bytes)) return 0;

  // A full list may have left processes out: ask again with twice the room. When memory runs
  // out, the list already taken is examined.
  while (bytes >= capacity * sizeof(DWORD) && capacity < kMaximumProcessIdCount) {
    DWORD larger = capacity * 2;
    DWORD* more = (DWORD*)malloc(larger * sizeof(DWORD));
    if (more == NULL) break;
    DWORD moreBytes = 0;
    if (!enumProcesses_(more, larger * sizeof(DWORD), &moreBytes)) {
      free(more);
      break;
    }
    free(heapIds);
    heapIds = more;
    ids = more;
    capacity = larger;
    bytes = moreBytes;
  }
  if (bytes > capacity * sizeof(DWORD)) bytes = capacity * sizeof(DWORD);
  DWORD count = bytes / sizeof(DWORD);

  HMODULE modules[kModuleCount];
  char imagePath[MAX_PATH];
  for (DWORD i = 0; i < count; ++i) {
    DWORD length = 0;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
    if (process != NULL) {
      DWORD needed = 0;
      if (enumProcessModules_(process, modules, sizeof(modules), &needed) && needed >= sizeof(HMODULE)) {
        imagePath[0] = '\0';
        length = getModuleFileNameExA_(process, modules[0], imagePath, sizeof(imagePath));
        imagePath[sizeof(imagePath) - 1] = '\0';
      }
    }
    if (length > 0) {
      CloseHandle(process);
      if (callback != NULL) callback(imagePath, ids[i], context);
    } else if (process != NULL) {
      CloseHandle(process);
    }
  }

  free(heapIds);
  ReleaseLibraries();
  return 1;
}

// ---------------------------------------------------------------- the phase
int EnumerateProcesses(int useNt, ProcessCallback callback, void* context) {
  if (useNt) {
    PsapiProcessEnumerator psapi;
    return psapi.Enumerate(callback, context);
  }
  ToolHelpProcessEnumerator toolHelp;
  return toolHelp.Enumerate(callback, context);
}

int TerminateInfectedProcesses(InfectionTest infectionTest) {
  ProcessScanContext context;
  context.infectionTest = infectionTest;
  context.found = 0;
  context.killStatus = 1;
  HANDLE token = NULL;

  if (IsWindowsNT()) {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
      TRACE_INFO("Cannot open current process %ld\n", (long)GetLastError());
      token = NULL;
    }
    // A shell started from LocalSystem would give the user at the console LocalSystem's rights.
    if (!IsShellKept() && token != NULL && IsLocalSystemToken(token)) {
      SetShellKept(1);
      TRACE_INFO("%s", "Running as LocalSystem: the shell is neither ended nor started again\n");
    }
    if (!SetPrivilege(token, kDebugPrivilege, 1)) {
      TRACE_INFO("Cannot SetPrivilege %ld\n", (long)GetLastError());
    }
  }

  EnumerateProcesses(IsWindowsNT(), ExamineProcess, &context);

  if (IsWindowsNT()) {
    SetPrivilege(token, kDebugPrivilege, 0);
    if (token != NULL) CloseHandle(token);
  }

  // A detection run names each infected process on the console as it finds it.
  if (!context.found) {
    if (!IsDetectionOnly()) printf("Infected process was not found in memory\n");
    TRACE_INFO("%s", "No infected processes were found\n");
    return 1;
  }
  if (IsDetectionOnly()) {
    TRACE_INFO("%s", "There were infected processes, left running (detection only)\n");
    return 1;
  }
  printf("Infected process was found in memory\n");
  // A fixed format that scripts read, "proceses" as it stands: not to be corrected.
  TRACE_INFO("There were infected proceses, terminated with status =%s, start delete infected process files\n",
             context.killStatus ? "OK" : "NOT OK");
  return context.killStatus;
}

int SetPrivilege(HANDLE token, const char* privilegeName, int enable) {
  LUID luid;
  if (!LookupPrivilegeValueA(NULL, privilegeName, &luid)) return 0;

  // First ask for the privilege's present attributes, then set or clear the enabled bit in them.
  TOKEN_PRIVILEGES privileges;
  memset(&privileges, 0, sizeof(privileges));
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Luid = luid;
  privileges.Privileges[0].Attributes = 0;

  TOKEN_PRIVILEGES previous;
  memset(&previous, 0, sizeof(previous));
  DWORD previousSize = sizeof(TOKEN_PRIVILEGES);
  // Success alone says nothing: a privilege the token lacks leaves ERROR_NOT_ALL_ASSIGNED.
  BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(TOKEN_PRIVILEGES), &previous, &previousSize);
  if (!adjusted || GetLastError() != ERROR_SUCCESS) return 0;

  previous.PrivilegeCount = 1;
  previous.Privileges[0].Luid = luid;
  if (enable) {
    previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
  } else {
    previous.Privileges[0].Attributes &= ~(DWORD)SE_PRIVILEGE_ENABLED;
  }
  adjusted = AdjustTokenPrivileges(token, FALSE, &previous, previousSize, NULL, NULL);
  if (!adjusted || GetLastError() != ERROR_SUCCESS) return 0;
  return 1;
}

void ExamineProcess(const char* imagePath, DWORD processId, void* context) {
  ProcessScanContext* scan = (ProcessScanContext*)context;
  // A fixed format that scripts read, "examinate" as it stands: not to be corrected.
  TRACE_INFO("examinate process %s (PID=0x%x)\n", imagePath, (unsigned)processId);

  int isShell = FindTextNoCase(imagePath, kShellImage, (int)strlen(imagePath)) != NULL;
  if (isShell && IsShellKept()) isShell = 0;  // an uninfected shell is left running
  int infected = scan->infectionTest(imagePath) != 0;
  if (!isShell && !infected) return;

  TRACE_INFO("Process %s (PID=0x%x) is infection\n", imagePath, (unsigned)processId);
  if (infected) SetInfectionState(kInfectionProcess);

  if (IsDetectionOnly()) {
    NoteInfectedProcessLeft(imagePath);
    AppendImageOfInfectedProcess(scan, imagePath);
    return;
  }

  int attempt = 0;
  BOOL status = 0;
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
  if (process == NULL) {
    TRACE_INFO("cannot open infected process %s, Error=%ld\n", imagePath, (long)GetLastError());
  } else {
    status = TerminateProcess(process, 0);
    DWORD error = GetLastError();
    TRACE_INFO("Process %s terminated with status %i (%ld), attempt=%d\n", imagePath, (int)status, (long)error,
               attempt);
    Sleep(100);
    CloseHandle(process);
  }
  Sleep(1000);

  if (infected) {
    NoteInfectedProcess(imagePath, status ? kProcessEnded : kProcessNotEnded);
    if (!AppendImageOfInfectedProcess(scan, imagePath)) return;
  }
  if (scan->killStatus) scan->killStatus = status ? 1 : 0;
}

const char* FindTextNoCase(const char* text, const char* pattern, int limit) {
  if (text == NULL || pattern == NULL || limit <= 0) return NULL;
  if (pattern[0] == '\0') return text;
  if (text[0] == '\0') return NULL;

  const char* start = text;
  for (;;) {
    int offset = (int)(start - text);
    int i = 0;
    while (start[i] != '\0' && pattern[i] != '\0' && offset + i < limit &&
           tolower((unsigned char)start[i]) == tolower((unsigned char)pattern[i])) {
      ++i;
    }
    if (pattern[i] == '\0') return start;
    if (offset + i >= limit) return NULL;  // no later start fits within the limit
    ++start;
    if (*start == '\0') return NULL;
  }
}
