// The one routine through which the tool removes or replaces a file.
#ifndef VORLAX_FILEOPS_REPLACE_FILE_H
#define VORLAX_FILEOPS_REPLACE_FILE_H

enum {
  kReplaceNotThere = 0,
  kReplaceDone = 1,
  kReplaceAtRestart = 2,
  kReplaceFailedDestRemoved = 3,
  kReplaceFailed = 4,
};

// Delete mode when newName is NULL, rename mode otherwise. The paths are prefix + name and
// prefix + newName.
int ReplaceFile(const char* prefix, const char* name, const char* newName);
// 1 when the file can be opened for reading.
int FileExist(const char* path);
// 1 only when the system says there is no such file (file or path not found); any other
// answer, a file that cannot be read among them, may hide one.
int IsSurelyAbsent(const char* path);

#endif
