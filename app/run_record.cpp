// The run's mode and the record of each infected process and file it handled. The records
// are kept only when asked for, so that a plain run allocates nothing more than it always did.
#include "app/run_record.h"

#include "trace/trace.h"

namespace {

int g_detectionOnly = 0;
int g_shellKept = 0;
int g_recording = 0;

RecordEntry* g_processes = NULL;
RecordEntry* g_processesTail = NULL;
RecordEntry* g_files = NULL;
RecordEntry* g_filesTail = NULL;
int g_runValue = kRunValueFailed;
int g_processesFound = 0;
int g_filesFound = 0;
int g_recordLost = 0;

void Append(RecordEntry** head, RecordEntry** tail, const char* path, int state, int backup = kBackupNotAsked) {
  if (!g_recording) return;
  RecordEntry* entry = (RecordEntry*)malloc(sizeof(RecordEntry));
  if (entry == NULL) {
    g_recordLost = 1;
    return;
  }
  memset(entry, 0, sizeof(RecordEntry));
  strncpy(entry->path, path, MAX_PATH - 1);
  entry->state = state;
  entry->backup = backup;
  if (*tail == NULL) {
    *head = entry;
  } else {
    (*tail)->next = entry;
  }
  *tail = entry;
}

// Paths compare as the file system names them: without regard to case. Only the first
// MAX_PATH - 1 characters are kept, so only those are compared.
int IsFileRecorded(const char* path) {
  for (RecordEntry* entry = g_files; entry != NULL; entry = entry->next) {
    if (_strnicmp(entry->path, path, MAX_PATH - 1) == 0) return 1;
  }
  return 0;
}

}  // namespace

void SetDetectionOnly(int on) { g_detectionOnly = on; }
int IsDetectionOnly(void) { return g_detectionOnly; }
void SetShellKept(int on) { g_shellKept = on; }
int IsShellKept(void) { return g_shellKept; }
void SetRecording(int on) { g_recording = on; }
int IsRecording(void) { return g_recording; }

void NoteInfectedProcess(const char* imagePath, int state) {
  ++g_processesFound;
  Append(&g_processes, &g_processesTail, imagePath, state);
}

void NoteInfectedProcessLeft(const char* imagePath) {
  printf("Infected process found: %s\n", imagePath);
  TRACE_INFO("Detection only: process %s left running\n", imagePath);
  NoteInfectedProcess(imagePath, kProcessFound);
}

void NoteFileRemoval(const char* path, int replaceResult, int backup) {
  int state;
  switch (replaceResult) {
    case 0:
      return;  // not there (an earlier removal of the same path took it)
    case 1:
      state = kFileDeleted;
      break;
    case 2:
      state = kFileAtRestart;
      break;
    default:
      state = kFileFailed;
      break;
  }
  Append(&g_files, &g_filesTail, path, state, backup);
}

void NoteInfectedFileLeft(const char* path) {
  TRACE_INFO("Detection only: file \"%s\" left in place\n", path);
  if (IsFileRecorded(path)) return;
  printf("Infected file found: %s\n", path);
  ++g_filesFound;
  Append(&g_files, &g_filesTail, path, kFileFound);
}

void NoteRunValue(int state) { g_runValue = state; }

RecordEntry* RecordedProcesses(void) { return g_processes; }
RecordEntry* RecordedFiles(void) { return g_files; }
int RecordedRunValue(void) { return g_runValue; }
int DistinctProcessesFound(void) { return g_processesFound; }
int DistinctFilesFound(void) { return g_filesFound; }
int RecordLost(void) { return g_recordLost; }

void ReleaseRecords(void) {
  RecordEntry* lists[2] = {g_processes, g_files};
  for (int i = 0; i < 2; ++i) {
    RecordEntry* entry = lists[i];
    while (entry != NULL) {
      RecordEntry* next = entry->next;
      free(entry);
      entry = next;
    }
  }
  g_processes = g_processesTail = NULL;
  g_files = g_filesTail = NULL;
}

void ResetRunRecord(void) {
  ReleaseRecords();
  g_detectionOnly = 0;
  g_shellKept = 0;
  g_recording = 0;
  g_runValue = kRunValueFailed;
  g_processesFound = 0;
  g_filesFound = 0;
  g_recordLost = 0;
}
