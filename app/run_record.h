// How this run works (removal or detection only, whether the shell is left alone) and what it
// found and did with each infected process and file, for the console of a detection run and
// for the report. Shared upwards like the outcome counters: the detection floor reads the mode
// and notes what it handles.
#ifndef VORLAX_APP_RUN_RECORD_H
#define VORLAX_APP_RUN_RECORD_H

#include "platform/win32.h"

// Detection only: processes and drives are examined, nothing is changed.
void SetDetectionOnly(int on);
int IsDetectionOnly(void);
// The shell is neither ended by the process scan nor started at the end: a detection run, and
// a run under LocalSystem (a shell started from there would give the console user its rights).
void SetShellKept(int on);
int IsShellKept(void);
// Whether each handled infection is remembered (a report was asked for, or detection only,
// whose console names each file once).
void SetRecording(int on);
int IsRecording(void);

enum {
  kProcessEnded = 0,
  kProcessNotEnded = 1,
  kProcessFound = 2,
};
enum {
  kFileDeleted = 0,
  kFileAtRestart = 1,
  kFileFailed = 2,
  kFileFound = 3,
};
enum {
  kRunValueDeleted = 0,
  kRunValueAbsent = 1,
  kRunValueFailed = 2,
  kRunValueFound = 3,
};

// One infected process as the scan left it.
void NoteInfectedProcess(const char* imagePath, int state);
// An infected process left running by a detection run: console line, trace line, record.
void NoteInfectedProcessLeft(const char* imagePath);
// What a file's record says of its backup: the manifest's entry number when one was made, else
// one of these.
enum {
  kBackupNotAsked = 0,  // backups are off (/NOBACKUP), or detection only
  kBackupNotMade = -1,  // asked for, but none could be made
};
// One removal of an infected file, by ReplaceFile's result code (0, the file was not there,
// is not recorded: nothing was done to it), and its backup.
void NoteFileRemoval(const char* path, int replaceResult, int backup);
// An infected file left in place by a detection run: trace line; console line and record the
// first time the path is met (the image of a found process is met again by the drive scan).
void NoteInfectedFileLeft(const char* path);
// What became of the worm's autostart value.
void NoteRunValue(int state);

struct RecordEntry {
  char path[MAX_PATH];
  int state;
  int backup;  // files only: the entry number of its backup, kBackupNotAsked or kBackupNotMade
  RecordEntry* next;
};
RecordEntry* RecordedProcesses(void);
RecordEntry* RecordedFiles(void);
int RecordedRunValue(void);
int DistinctProcessesFound(void);
int DistinctFilesFound(void);
// Frees every record (at the end of the run).
void ReleaseRecords(void);
// Back to the state of a fresh process (the records released, every flag off).
void ResetRunRecord(void);
// 1 when a record could not be kept for lack of memory: the lists are then incomplete.
int RecordLost(void);

#endif
