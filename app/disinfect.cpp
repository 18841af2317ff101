// The disinfection sequence: protection paused, then processes, their image files, the
// autostart value and the fixed drives, then protection resumed.
#include "app/disinfect.h"

#include "app/outcome.h"
#include "app/platform_query.h"
#include "app/run_record.h"
#include "detect/drive_scan.h"
#include "detect/process_scan.h"
#include "detect/signatures.h"
#include "fileops/backup.h"
#include "fileops/reg_path.h"
#include "fileops/replace_file.h"
#include "protection/protection.h"
#include "trace/console_title.h"
#include "trace/trace.h"

namespace {

// Plain file names removed from the system and the Windows directory; this worm needs none.
const char* const kSystemDirectoryList[] = {""};
const char* const kWindowsDirectoryList[] = {""};

const char kAutostartValue[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\\\Windows Update|";
const size_t kAutostartBufferSize = 150;
const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kAutostartValueName[] = "Windows Update";

// Whether the worm's autostart value is there: 1 yes, 0 no (no value, or no key), -1 when the
// registry does not say.
int QueryAutostartValue(void) {
  HKEY key = NULL;
  LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, &key);
  if (status == ERROR_FILE_NOT_FOUND) return 0;
  if (status != ERROR_SUCCESS) return -1;
  status = RegQueryValueExA(key, kAutostartValueName, NULL, NULL, NULL, NULL);
  RegCloseKey(key);
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) return 1;
  if (status == ERROR_FILE_NOT_FOUND) return 0;
  return -1;
}

// The phase headings; a detection run has its own, so that its log reads as one throughout.
// The console title of each phase says the same in a few words.
struct PhaseHeadings {
  const char* processes;
  const char* foundInfections;
  const char* registry;
  const char* drives;
  const char* done;
};
const PhaseHeadings kRemovalTitles = {"ending infected processes", "deleting the files found in memory",
                                      "removing the autostart value", "scanning the fixed drives", "done"};
const PhaseHeadings kDetectionTitles = {"detection only: examining processes",
                                        "detection only: infections found in memory",
                                        "detection only: checking the autostart value",
                                        "detection only: scanning the fixed drives", "detection only: done"};
const PhaseHeadings kRemovalHeadings = {
    "\n**********Terminate Infection processes\n", "\n**********Delete found infections\n",
    "\n**********Remove registry keys\n", "\n**********Scan hard disk\n", "\n**********all done\n"};
const PhaseHeadings kDetectionHeadings = {
    "\n**********Detection only: examine processes\n",
    "\n**********Detection only: infections found in memory\n",
    "\n**********Detection only: check registry keys\n", "\n**********Detection only: scan hard disk\n",
    "\n**********Detection only: all done, nothing was changed\n"};

typedef UINT(WINAPI* DirectoryQuery)(LPSTR, UINT);

int ReplaceInDirectory(DirectoryQuery query, const char* name, const char* newName) {
  char directory[264];
  directory[0] = '\0';
  UINT length = query(directory, 261);
  // No directory, or one that did not fit: nothing is touched rather than a wrong path.
  if (length == 0 || length >= 261) return kReplaceFailed;
  if (length > 3) strcat(directory, "\\");
  return ReplaceFile(directory, name, newName);
}

}  // namespace

int Disinfect_Vorlax(int* resultCode, const char* wormName, int reserved1, int actionCode, int reserved2,
                     const char* fileMask, int reserved3) {
  (void)wormName;
  (void)reserved1;
  (void)reserved2;
  (void)reserved3;
  TRACE_INFO("%s", "[TKUT - Disinfect_Vorlax]\n");
  if ((unsigned short)actionCode != 1 || fileMask == NULL) {
    TRACE_ERROR("%s", "[TKUT - Disinfect_Vorlax]: Wrong arguments.\n");
    if (resultCode != NULL) *resultCode = 4;
    return 0;
  }

  IsWindowsNT();  // remembered before the phases
  // Detection only leaves the protection driver as it is.
  int detectionOnly = IsDetectionOnly();
  const PhaseHeadings& headings = detectionOnly ? kDetectionHeadings : kRemovalHeadings;
  const PhaseHeadings& titles = detectionOnly ? kDetectionTitles : kRemovalTitles;
  if (!detectionOnly) SetRealTimeProtection(0);

  TRACE_INFO("%s", headings.processes);
  ShowPhaseTitle(titles.processes);
  TerminateInfectedProcesses(IsInfectedImage);

  TRACE_INFO("%s", headings.foundInfections);
  ShowPhaseTitle(titles.foundInfections);
  DeleteFoundInfections();
  SaveBackupManifest();

  TRACE_INFO("%s", headings.registry);
  ShowPhaseTitle(titles.registry);
  RemoveAutostartValue();

  TRACE_INFO("%s", headings.drives);
  ShowPhaseTitle(titles.drives);
  ScanHardDisk();
  SaveBackupManifest();

  TRACE_INFO("%s", headings.done);
  ShowPhaseTitle(titles.done);
  if (!detectionOnly) SetRealTimeProtection(1);
  return 1;
}

int IsInfectedImage(const char* path) {
  int infected = 0;
  if (IsFileInfected(path, &infected) && infected) return 1;
  return 0;
}

void DeleteFoundInfections(void) {
  InfectedFileNode* head = GetInfectedFileListHead();
  if (IsDetectionOnly()) {
    for (InfectedFileNode* node = head; node != NULL; node = node->next) NoteInfectedFileLeft(node->path);
    ReleaseInfectedFileList();
    return;
  }
  // A fixed format that scripts read, "imaged from" as it stands: not to be corrected.
  TRACE_INFO("Will delete infected imaged from 0x%x\n", (unsigned)(uintptr_t)head);
  for (InfectedFileNode* node = head; node != NULL; node = node->next) {
    int backup = kBackupOff;
    int result = RemoveInfectedFile(node->path, &backup);
    TRACE_INFO("Deleting file \"%s\", result=%d\n", node->path, result);
    CountRemoval(result);
    NoteFileRemoval(node->path, result, backup);
  }
  ReleaseInfectedFileList();
  DeleteFixedNameFiles();
}

void DeleteFixedNameFiles(void) {
  // Should the lists ever hold names, their removals count like every other removal.
  for (int i = 0; kSystemDirectoryList[i][0] != '\0'; ++i) {
    int result = DeleteInSystemDirectory(kSystemDirectoryList[i], NULL);
    TRACE_INFO("Deleting %s: result=%d\n", kSystemDirectoryList[i], result);
    CountRemoval(result);
  }
  for (int i = 0; kWindowsDirectoryList[i][0] != '\0'; ++i) {
    int result = DeleteInWindowsDirectory(kWindowsDirectoryList[i], NULL);
    TRACE_INFO("Deleting %s: result=%d\n", kWindowsDirectoryList[i], result);
    CountRemoval(result);
  }
}

int DeleteInSystemDirectory(const char* name, const char* newName) {
  return ReplaceInDirectory(GetSystemDirectoryA, name, newName);
}

int DeleteInWindowsDirectory(const char* name, const char* newName) {
  return ReplaceInDirectory(GetWindowsDirectoryA, name, newName);
}

void RemoveAutostartValue(void) {
  char* path = (char*)malloc(kAutostartBufferSize);
  if (path == NULL) return;
  strcpy(path, kAutostartValue);
  if (IsDetectionOnly()) {
    int present = QueryAutostartValue();
    TRACE_INFO("Detection only: key %s %s\n", path,
               present > 0 ? "found" : present == 0 ? "absent" : "cannot be read");
    NoteRunValue(present > 0 ? kRunValueFound : present == 0 ? kRunValueAbsent : kRunValueFailed);
    free(path);
    return;
  }
  unsigned status = SetRegValue(path, 1, 0);
  TRACE_INFO("Key %s set with status %d\n", path, (int)status);
  free(path);
  // A non-zero status may mean that there was no value to delete; the report tells the two apart.
  if (IsRecording()) {
    NoteRunValue(status == kRegOk ? kRunValueDeleted : QueryAutostartValue() == 0 ? kRunValueAbsent : kRunValueFailed);
  }
}

void ScanHardDisk(void) {
  if (!IsDetectionOnly()) printf("Scan hard drives and remove all infected files. Please wait.\n");
  ScanFixedDrives(CheckScannedEntry);
}
