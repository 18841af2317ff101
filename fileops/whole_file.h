// A file that appears whole or not at all: its text goes to a temporary file beside it
// (PATH.$$$), every write, the flush and the close are checked, and only a complete, closed file
// is moved onto PATH. The run's report and the backup manifest are written this way.
#ifndef VORLAX_FILEOPS_WHOLE_FILE_H
#define VORLAX_FILEOPS_WHOLE_FILE_H

#include "platform/win32.h"

extern const char kWholeFileTemporarySuffix[];  // ".$$$"
extern const char kWholeFileAsideSuffix[];      // ".old": an older file renamed aside on 9x
// The longest path a whole file may have: with either suffix it fits in MAX_PATH characters.
extern const size_t kWholeFileLongestPath;

struct WholeFileWriter {
  HANDLE file;
  DWORD error;  // the first failure's error; 0 while all went well
  char path[MAX_PATH];
  char temporary[MAX_PATH];
  char aside[MAX_PATH];
};

enum {
  kWholeFileWritten = 0,
  kWholeFileNotCreated = 1,  // the temporary file cannot be made (or the path is too long)
  kWholeFileNotWritten = 2,  // a write, the flush or the close failed
  kWholeFileNotMoved = 3,    // the complete file cannot be put in place
};

// Creates the temporary file; kWholeFileWritten or kWholeFileNotCreated (writer->error says why).
int WholeFileBegin(WholeFileWriter* writer, const char* path);
// Appends bytes; after the first failure nothing more is written.
void WholeFileWrite(WholeFileWriter* writer, const void* data, DWORD length);
// Appends one line ended by CR LF (at most MAX_PATH + 128 characters before it).
void WholeFileLine(WholeFileWriter* writer, const char* format, ...) __attribute__((format(__printf__, 2, 3)));
// Flushes, closes and moves the file into place; on any failure the temporary file is deleted
// and the target is as it was (or, on 9x, absent for a moment with the older one at PATH.old).
int WholeFileFinish(WholeFileWriter* writer);
// Closes and deletes the temporary file without putting it in place.
void WholeFileAbandon(WholeFileWriter* writer);

// Puts a complete file onto path: MoveFileExA (MOVEFILE_REPLACE_EXISTING) on NT; on 9x, which
// has no MoveFileExA, the older file is renamed aside, the new one into place and the older one
// deleted (or renamed back when the second rename fails). Returns 0 or the error.
DWORD MoveIntoPlace(const char* temporary, const char* path, const char* aside);

#endif
