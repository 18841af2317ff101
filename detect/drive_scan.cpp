// Phase 4: every local fixed drive is walked depth first; each file whose extension fits the
// pattern list is checked against the signatures and, when infected, deleted at once.
#include "detect/drive_scan.h"

#include "app/outcome.h"
#include "app/run_record.h"
#include "detect/signatures.h"
#include "fileops/replace_file.h"
#include "trace/trace.h"

const char ScanExtensionPatterns[] = "EX? ?XE";

namespace {

const DWORD kDriveListSize = 256;
const char kSearchPattern[] = "*.*";
const size_t kSearchPatternLength = sizeof(kSearchPattern) - 1;

int WalkLevel(const char* directory, DirectoryEntryCallback callback, int insideLink);

}  // namespace

int ScanFixedDrives(DirectoryEntryCallback callback) {
  char drives[kDriveListSize];
  memset(drives, 0, sizeof(drives));
  DWORD length = GetLogicalDriveStringsA(kDriveListSize, drives);
  // A list that did not fit was not written at all.
  if (length == 0 || length >= kDriveListSize) return 0;

  const char* end = drives + length;
  for (const char* root = drives; root < end && *root != '\0'; root += strlen(root) + 1) {
    if (GetDriveTypeA(root) != DRIVE_FIXED) continue;
    int result = WalkDirectory(root, callback);
    if (result != 0) return result;
  }
  return 0;
}

int WalkDirectory(const char* directory, DirectoryEntryCallback callback) {
  return WalkLevel(directory, callback, 0);
}

namespace {

// One level of the walk. A directory link (a junction or a mounted folder, FILE_ATTRIBUTE_
// REPARSE_POINT) is reported and walked like a folder, but no second link is followed below it:
// links that lead back up would otherwise make every level list the same folders again, twice
// as often per level with two such links, and the walk would not end. What lies behind a link
// that loops is reached through its own path anyway.
int WalkLevel(const char* directory, DirectoryEntryCallback callback, int insideLink) {
  char* path = (char*)malloc(MAX_PATH);
  if (path == NULL) return 1;

  // Everything this level writes stays inside the buffer: a directory whose search pattern
  // does not fit cannot be listed, and an entry whose path (for a directory, with the separator
  // and the search pattern of the level below) does not fit is passed over and logged.
  size_t prefixLength = strlen(directory);
  if (prefixLength + kSearchPatternLength >= MAX_PATH) {
    free(path);
    return 0;
  }
  memcpy(path, directory, prefixLength);
  memcpy(path + prefixLength, kSearchPattern, kSearchPatternLength + 1);

  WIN32_FIND_DATAA findData;
  HANDLE find = FindFirstFileA(path, &findData);
  if (find == INVALID_HANDLE_VALUE) {
    free(path);
    return 0;
  }

  int result = 0;
  do {
    const char* name = findData.cFileName;
    findData.cFileName[MAX_PATH - 1] = '\0';
    size_t nameLength = strlen(name);
    if (findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
      if (prefixLength + nameLength + 1 + kSearchPatternLength >= MAX_PATH) {
        TRACE_INFO("Path too long, not scanned: %s%s\\\n", directory, name);
        continue;
      }
      memcpy(path + prefixLength, name, nameLength + 1);
      if (callback != NULL) {
        result = callback(path, &findData, 1);
        if (result != 0) break;
      }
      int isLink = (findData.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      if (isLink && insideLink) continue;
      path[prefixLength + nameLength] = '\\';
      path[prefixLength + nameLength + 1] = '\0';
      result = WalkLevel(path, callback, insideLink || isLink);
      if (result != 0) break;
    } else {
      if (prefixLength + nameLength >= MAX_PATH) {
        TRACE_INFO("Path too long, not scanned: %s%s\n", directory, name);
        continue;
      }
      memcpy(path + prefixLength, name, nameLength + 1);
      if (callback != NULL) {
        result = callback(path, &findData, 0);
        if (result != 0) break;
      }
    }
  } while (FindNextFileA(find, &findData));

  FindClose(find);
  free(path);
  return result;
}

}  // namespace

int MatchExtensionPattern(const char* name, const char* patterns) {
  if (name == NULL || patterns == NULL) return 0;
  const char* pattern = patterns;
  for (;;) {
    while (*pattern == ' ') ++pattern;
    if (*pattern == '\0') return 0;  // an empty list or an empty last pattern

    size_t i = 0;
    for (;;) {
      char c = *pattern;
      if (c == ' ' && i > 0) {
        if (name[i] == '\0') return 1;
        break;  // the pattern ended, the name goes on
      }
      if (c == '\0') return (name[i] == '\0' && i > 0) ? 1 : 0;
      if (c == '*') return 1;
      if (name[i] == '\0') {
        // A '?' at the end of a pattern may stand for no character.
        while (*pattern == '?') ++pattern;
        if (*pattern == ' ' || *pattern == '\0' || *pattern == '*') return 1;
        break;
      }
      if (c != '?' && toupper((unsigned char)c) != toupper((unsigned char)name[i])) break;
      ++pattern;
      ++i;
    }

    const char* space = strchr(pattern, ' ');
    if (space == NULL) return 0;
    pattern = space + 1;
  }
}

int CheckScannedEntry(const char* path, const WIN32_FIND_DATAA* findData, int isDirectory) {
  (void)findData;
  if (isDirectory) return 0;
  const char* dot = strrchr(path, '.');
  if (dot == NULL) return 0;
  if (MatchExtensionPattern(dot + 1, ScanExtensionPatterns) == 1) CheckAndDeleteFile(path);
  return 0;
}

int CheckAndDeleteFile(const char* path) {
  int infected = 0;
  // A file that cannot be opened counts as clean.
  IsFileInfected(path, &infected);
  TRACE_INFO("path %s infection=%d\n", path, infected);
  if (!infected) return 0;

  SetInfectionState(kInfectionFile);
  if (IsDetectionOnly()) {
    NoteInfectedFileLeft(path);
    return 1;
  }
  int result = ReplaceFile("", path, NULL);
  TRACE_INFO("Deleting file \"%s\", result=%d\n", path, result);
  NoteFileRemoval(path, result);
  if (result == kReplaceAtRestart) {
    IncrementRebootPendingCount();
  } else if (result == kReplaceFailedDestRemoved || result == kReplaceFailed) {
    IncrementFailureCount();
  }
  return 1;
}
