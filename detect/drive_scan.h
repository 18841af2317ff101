// Phase 4: every fixed drive is walked and executables are checked.
#ifndef VORLAX_DETECT_DRIVE_SCAN_H
#define VORLAX_DETECT_DRIVE_SCAN_H

#include "platform/win32.h"

// Called once per directory entry; a nonzero result ends the whole walk and becomes its result.
typedef int (*DirectoryEntryCallback)(const char* path, const WIN32_FIND_DATAA* findData, int isDirectory);

extern const char ScanExtensionPatterns[];

int ScanFixedDrives(DirectoryEntryCallback callback);
// directory ends with a backslash. 0 normal end, 1 buffer allocation failed, else the callback's value.
int WalkDirectory(const char* directory, DirectoryEntryCallback callback);
int MatchExtensionPattern(const char* name, const char* patterns);
int CheckScannedEntry(const char* path, const WIN32_FIND_DATAA* findData, int isDirectory);
int CheckAndDeleteFile(const char* path);

#endif
