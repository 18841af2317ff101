// The disinfection sequence: protection paused, then processes, their image files, the
// autostart value and the fixed drives, then protection resumed.
#include "app/disinfect.h"

#include "app/outcome.h"
#include "app/platform_query.h"
#include "detect/drive_scan.h"
#include "detect/process_scan.h"
#include "detect/signatures.h"
#include "fileops/reg_path.h"
#include "fileops/replace_file.h"
#include "protection/protection.h"
#include "trace/trace.h"

namespace {

// Plain file names removed from the system and the Windows directory; this worm needs none.
const char* const kSystemDirectoryList[] = {""};
const char* const kWindowsDirectoryList[] = {""};

const char kAutostartValue[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\\\Windows Update|";
const size_t kAutostartBufferSize = 150;

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
  SetRealTimeProtection(0);

  TRACE_INFO("%s", "\n**********Terminate Infection processes\n");
  TerminateInfectedProcesses(IsInfectedImage);

  TRACE_INFO("%s", "\n**********Delete found infections\n");
  DeleteFoundInfections();

  TRACE_INFO("%s", "\n**********Remove registry keys\n");
  RemoveAutostartValue();

  TRACE_INFO("%s", "\n**********Scan hard disk\n");
  ScanHardDisk();

  TRACE_INFO("%s", "\n**********all done\n");
  SetRealTimeProtection(1);
  return 1;
}

int IsInfectedImage(const char* path) {
  int infected = 0;
  if (IsFileInfected(path, &infected) && infected) return 1;
  return 0;
}

void DeleteFoundInfections(void) {
  InfectedFileNode* head = GetInfectedFileListHead();
  // A fixed format that scripts read, "imaged from" as it stands: not to be corrected.
  TRACE_INFO("Will delete infected imaged from 0x%x\n", (unsigned)(uintptr_t)head);
  for (InfectedFileNode* node = head; node != NULL; node = node->next) {
    int result = ReplaceFile("", node->path, NULL);
    TRACE_INFO("Deleting file \"%s\", result=%d\n", node->path, result);
    CountRemoval(result);
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
  unsigned status = SetRegValue(path, 1, 0);
  TRACE_INFO("Key %s set with status %d\n", path, (int)status);
  free(path);
}

void ScanHardDisk(void) {
  printf("Scan hard drives and remove all infected files. Please wait.\n");
  ScanFixedDrives(CheckScannedEntry);
}
