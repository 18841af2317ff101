// Every fault point of the simulated machine, one row each, in the manner of a system-call table:
// the API a test fails by name (sim::FailApi), the class a sweep counts the call in
// (sim::SetSweepFault), and the last error a failure sets unless the test gives one.
//
// The sim's code marks a fault point with its row: `if (Fault<FaultRow("ReadFile")>()) ...`,
// or, where two rows share an API, with the class as well: FaultRow("CreateFileA", kFaultDevice).
// A name that no row has, or that two rows share, does not compile. A new fault point is one
// more row here and its Fault<...>() where the call is made. Not for tests: they see the
// table through sim::FaultPoints().
#ifndef VORLAX_SIM_FAULT_POINTS_H
#define VORLAX_SIM_FAULT_POINTS_H

#include "sim/sim.h"

namespace sim {
namespace internal {

// Errors the table names that the Win32 subset of the sim has no constant for.
constexpr DWORD kErrorCrc = 23;
constexpr DWORD kErrorSeek = 25;
constexpr DWORD kErrorWriteFault = 29;
constexpr DWORD kErrorReadFault = 30;

inline constexpr FaultPoint kFaultPointTable[] = {
    // API                      class           error a failure sets by default
    // ---- heap
    {"malloc",                  kFaultAlloc,    ERROR_NOT_ENOUGH_MEMORY},
    {"calloc",                  kFaultAlloc,    ERROR_NOT_ENOUGH_MEMORY},
    {"AllocateAndInitializeSid", kFaultAlloc,   ERROR_NOT_ENOUGH_MEMORY},
    // ---- files, directories and drives
    {"CreateFileA",             kFaultFile,     ERROR_ACCESS_DENIED},
    {"ReadFile",                kFaultFile,     kErrorCrc},
    {"WriteFile",               kFaultFile,     kErrorWriteFault},
    {"SetFilePointer",          kFaultFile,     kErrorSeek},
    {"FindFirstFileA",          kFaultFile,     ERROR_ACCESS_DENIED},
    {"FindNextFileA",           kFaultFile,     ERROR_NO_MORE_FILES},
    {"GetLogicalDriveStringsA", kFaultFile,     ERROR_INVALID_PARAMETER},
    {"SetFileAttributesA",      kFaultFile,     ERROR_ACCESS_DENIED},
    {"DeleteFileA",             kFaultFile,     ERROR_ACCESS_DENIED},
    {"MoveFileExA",             kFaultFile,     ERROR_ACCESS_DENIED},
    {"GetShortPathNameA",       kFaultFile,     ERROR_FILE_NOT_FOUND},
    {"GetWindowsDirectoryA",    kFaultFile,     ERROR_INVALID_PARAMETER},
    {"GetSystemDirectoryA",     kFaultFile,     ERROR_INVALID_PARAMETER},
    {"GetModuleFileNameA",      kFaultFile,     ERROR_INVALID_PARAMETER},
    {"FlushFileBuffers",        kFaultFile,     kErrorWriteFault},
    {"SetEndOfFile",            kFaultFile,     kErrorWriteFault},
    {"GetFileInformationByHandle", kFaultFile,  ERROR_INVALID_FUNCTION},
    {"CreateDirectoryA",        kFaultFile,     ERROR_ACCESS_DENIED},
    {"RemoveDirectoryA",        kFaultFile,     ERROR_ACCESS_DENIED},
    {"GetDiskFreeSpaceExA",     kFaultFile,     ERROR_INVALID_PARAMETER},
    // ---- the C runtime's streams
    {"fopen",                   kFaultFile,     ERROR_ACCESS_DENIED},
    {"fread",                   kFaultFile,     kErrorReadFault},
    {"fwrite",                  kFaultFile,     kErrorWriteFault},
    {"fseek",                   kFaultFile,     kErrorSeek},
    {"ftell",                   kFaultFile,     kErrorSeek},
    {"fclose",                  kFaultFile,     ERROR_INVALID_HANDLE},
    // ---- registry
    {"RegOpenKeyExA",           kFaultRegistry, ERROR_ACCESS_DENIED},
    {"RegCreateKeyExA",         kFaultRegistry, ERROR_ACCESS_DENIED},
    {"RegQueryValueExA",        kFaultRegistry, ERROR_ACCESS_DENIED},
    {"RegSetValueExA",          kFaultRegistry, ERROR_ACCESS_DENIED},
    {"RegDeleteValueA",         kFaultRegistry, ERROR_ACCESS_DENIED},
    {"RegFlushKey",             kFaultRegistry, ERROR_ACCESS_DENIED},
    {"RegCloseKey",             kFaultRegistry, ERROR_INVALID_HANDLE},
    // ---- processes, libraries, the token, services
    {"CloseHandle",             kFaultProcess,  ERROR_INVALID_HANDLE},
    {"GetVersionExA",           kFaultProcess,  ERROR_INVALID_PARAMETER},
    {"GetComputerNameA",        kFaultProcess,  ERROR_INVALID_PARAMETER},
    {"GetConsoleTitleA",        kFaultProcess,  ERROR_INVALID_HANDLE},
    {"SetConsoleTitleA",        kFaultProcess,  ERROR_INVALID_HANDLE},
    {"CreateProcessA",          kFaultProcess,  ERROR_FILE_NOT_FOUND},
    {"OpenProcessToken",        kFaultProcess,  ERROR_ACCESS_DENIED},
    {"GetTokenInformation",     kFaultProcess,  ERROR_ACCESS_DENIED},
    {"LookupPrivilegeValueA",   kFaultProcess,  ERROR_NO_SUCH_PRIVILEGE},
    {"AdjustTokenPrivileges",   kFaultProcess,  ERROR_ACCESS_DENIED},
    {"GetModuleHandleA",        kFaultProcess,  ERROR_MOD_NOT_FOUND},
    {"LoadLibraryA",            kFaultProcess,  ERROR_MOD_NOT_FOUND},
    {"GetProcAddress",          kFaultProcess,  ERROR_PROC_NOT_FOUND},
    {"EnumProcesses",           kFaultProcess,  ERROR_ACCESS_DENIED},
    {"EnumProcessModules",      kFaultProcess,  ERROR_PARTIAL_COPY},
    {"GetModuleFileNameExA",    kFaultProcess,  ERROR_PARTIAL_COPY},
    {"GetModuleBaseNameA",      kFaultProcess,  ERROR_PARTIAL_COPY},
    {"CreateToolhelp32Snapshot", kFaultProcess, ERROR_NOT_ENOUGH_MEMORY},
    {"Process32First",          kFaultProcess,  ERROR_NO_MORE_FILES},
    {"Process32Next",           kFaultProcess,  ERROR_NO_MORE_FILES},
    {"OpenProcess",             kFaultProcess,  ERROR_ACCESS_DENIED},
    {"TerminateProcess",        kFaultProcess,  ERROR_ACCESS_DENIED},
    {"OpenSCManagerA",          kFaultProcess,  ERROR_ACCESS_DENIED},
    {"OpenServiceA",            kFaultProcess,  ERROR_ACCESS_DENIED},
    {"QueryServiceStatus",      kFaultProcess,  ERROR_ACCESS_DENIED},
    {"CloseServiceHandle",      kFaultProcess,  ERROR_INVALID_HANDLE},
    // ---- devices (a CreateFileA of a device path counts here, not with the files)
    {"CreateFileA",             kFaultDevice,   ERROR_ACCESS_DENIED},
    {"DeviceIoControl",         kFaultDevice,   ERROR_INVALID_FUNCTION},
    {"CancelIo",                kFaultDevice,   ERROR_INVALID_HANDLE},
    {"GetOverlappedResult",     kFaultDevice,   ERROR_INVALID_HANDLE},
    {"CreateEventA",            kFaultDevice,   ERROR_NOT_ENOUGH_MEMORY},
    {"WaitForSingleObject",     kFaultDevice,   ERROR_INVALID_HANDLE},
};

inline constexpr long kFaultPointCount = static_cast<long>(sizeof(kFaultPointTable) / sizeof(kFaultPointTable[0]));
inline constexpr long kNoFaultRow = -1;
inline constexpr long kSharedFaultRow = -2;

constexpr bool SameApi(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// The row of api, of class cls unless cls is kFaultClassCount: its index, kNoFaultRow, or
// kSharedFaultRow when more than one row fits.
constexpr long FaultRow(const char* api, FaultClass cls = kFaultClassCount) {
  long found = kNoFaultRow;
  for (long i = 0; i < kFaultPointCount; ++i) {
    const FaultPoint& point = kFaultPointTable[i];
    if (!SameApi(point.api, api) || (cls != kFaultClassCount && point.cls != cls)) continue;
    if (found != kNoFaultRow) return kSharedFaultRow;
    found = i;
  }
  return found;
}

// Counts one call at the fault point of this row, in its class and for its API, and answers
// whether it must fail; on a failure the last error is set to the named fault's error, else to
// the row's. (sim/core.cpp)
bool FaultAt(long row);

template <long row>
bool Fault() {
  static_assert(row != kNoFaultRow, "no row of sim/fault_points.h has this API (and class)");
  static_assert(row != kSharedFaultRow, "rows of sim/fault_points.h share this API: name the class too");
  return FaultAt(row);
}

}  // namespace internal
}  // namespace sim

#endif
