// Operations left to the next restart of the system: MoveFileEx's delayed operations on NT for
// administrators, the protection driver's rename list on NT for other users, and the [rename]
// section of WININIT.INI on Windows 9x.
#include "fileops/restart_rename.h"

#include "app/platform_query.h"
#include "fileops/ini_file.h"
#include "fileops/rename_list_file.h"
#include "fileops/replace_file.h"
#include "protection/driver_interface.h"
#include "trace/trace.h"
#include "platform/win32.h"

namespace {

const char kWininitName[] = "\\WININIT.INI";
const char kPlaceholderText[] = "Delete me!";

void Log(int level, const char* text) { TraceMessage("", TRACE_ALL_CATEGORIES, level, "%s", text); }

int ScheduleWithMoveFileEx(const char* source, const char* destination) {
  Log(kTraceLevelInfo, "[TKUT - AddFileToAutomaticRenameList]: User is admin.\n");
  BOOL result = MoveFileExA(source, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
  if (result) {
    Log(kTraceLevelInfo, "[TKUT - AddFileToAutomaticRenameList]: Operation is executed during reboot.\n");
  } else {
    Log(kTraceLevelError, "[TKUT - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\n");
  }
  return result;
}

int ScheduleWithVigilo(const char* source, const char* destination) {
  Log(kTraceLevelInfo, "[TKUT - AddFileToAutomaticRenameList]: User is not admin.\n");
  // The driver only renames; a deletion is not its business.
  if (destination == NULL || !IsServiceRunning(VG_SERVICE_NAME)) {
    Log(kTraceLevelError, "[TKUT - AddFileToAutomaticRenameList]: No admin rights, no VG -> No renaming at reboot.\n");
    return 0;
  }
  Log(kTraceLevelInfo, "[TKUT - AddFileToAutomaticRenameList]: Vigilo is loaded and can be used for renaming.\n");

  int32_t error = 0;
  int done = 0;
  // A new list each time: it holds this one pair only.
  FILE* list = OpenRenameListFile(1, NULL, &error);
  if (list != NULL) {
    int added = AddRenameListPair(list, source, destination, &error);
    int closed = CloseRenameListFile(list, &error);
    done = added && closed;
  }
  if (done) {
    Log(kTraceLevelInfo, "[TKUT - AddFileToAutomaticRenameList]: Vigilo will do the renaming.\n");
    return 1;
  }
  Log(kTraceLevelError, "[TKUT - AddFileToAutomaticRenameList]: Vigilo cannot do the renaming.\n");
  return 0;
}

// 1 when GetShortPathNameA filled the buffer of MAX_PATH characters.
int GetShortPath(const char* path, char* shortPath) {
  DWORD length = GetShortPathNameA(path, shortPath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    Log(kTraceLevelError, "[TKUT - AddFileToAutomaticRenameList]: GetShortPathName() call failed.\n");
    return 0;
  }
  return 1;
}

// 1 when the [rename] section holds key=value.
int HasRenameEntry(const IniFile* ini, const char* key, const char* value) {
  IniSection* section = ini->FindSection("rename", NULL);
  if (section == NULL) return 0;
  for (int occurrence = 0;; ++occurrence) {
    IniEntry* entry = IniFile::FindEntry(section->entries, key, occurrence, NULL);
    if (entry == NULL) return 0;
    if (strcmp(entry->value, value) == 0) return 1;
  }
}

int ScheduleInWininit(const char* source, const char* destination) {
  Log(kTraceLevelInfo, "[TKUT - AddFileToAutomaticRenameList]: System is not NT.\n");

  // "Not NT" is also the answer when the version query failed. Only Windows 9x carries out
  // WININIT.INI at its restart; on any other system the operation would be reported as
  // scheduled and never happen.
  if (GetPlatform() != kPlatformWin9x) {
    Log(kTraceLevelError, "[TKUT - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\n");
    return 0;
  }

  // WININIT runs before long file names are available: it takes 8.3 paths only.
  char shortSource[MAX_PATH];
  if (!GetShortPath(source, shortSource)) return 0;

  char shortDestination[MAX_PATH];
  const char* key = "nul";
  if (destination != NULL) {
    // The destination needs a short name of its own, so it must exist. A file that is there
    // but cannot be read is left as it is.
    if (FileExist(destination) == 0 && IsSurelyAbsent(destination)) {
      FILE* placeholder = fopen(destination, "wt");
      if (placeholder != NULL) {
        fputs(kPlaceholderText, placeholder);
        fclose(placeholder);
      }
    }
    if (!GetShortPath(destination, shortDestination)) return 0;
    key = shortDestination;
  }

  char wininit[MAX_PATH];
  UINT length = GetWindowsDirectoryA(wininit, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || length + sizeof(kWininitName) > MAX_PATH) {
    Log(kTraceLevelError, "[TKUT - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\n");
    return 0;
  }
  strcat(wininit, kWininitName);

  int result = 0;
  IniFile ini;
  // A missing WININIT.INI is created. One that is there but was not read whole must not be
  // written over: its other lines would be lost.
  int loaded = ini.Load(wininit);
  if (loaded == 0 || (loaded == 1 && IsSurelyAbsent(wininit))) {
    ini.SetEntry("rename", key, shortSource, 999);
    // The model refuses a change it has no memory for; saving would then report work not done.
    if (HasRenameEntry(&ini, key, shortSource) && ini.Save(wininit) == 0) result = 1;
  }
  if (result) {
    Log(kTraceLevelInfo, "[TKUT - AddFileToAutomaticRenameList]: Operation will be executed during reboot.\n");
  } else {
    Log(kTraceLevelError, "[TKUT - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\n");
  }
  return result;
}

}  // namespace

int AddFileToAutomaticRenameList(const char* source, const char* destination) {
  if (IsWindowsNT()) {
    Log(kTraceLevelInfo, "[TKUT - AddFileToAutomaticRenameList]: System is NT.\n");
    if (IsUserAdmin()) return ScheduleWithMoveFileEx(source, destination);
    return ScheduleWithVigilo(source, destination);
  }
  return ScheduleInWininit(source, destination);
}

int IsServiceRunning(const char* serviceName) {
  if (GetPlatform() != kPlatformNt) return 0;
  SC_HANDLE manager = OpenSCManagerA(NULL, NULL, GENERIC_READ);
  if (manager == NULL) return 0;
  SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_QUERY_STATUS);
  if (service == NULL) {
    CloseServiceHandle(manager);
    return 0;
  }
  int running = 0;
  SERVICE_STATUS status;
  memset(&status, 0, sizeof(status));
  if (QueryServiceStatus(service, &status)) {
    running = status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_RUNNING ||
              status.dwCurrentState == SERVICE_CONTINUE_PENDING;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return running;
}
