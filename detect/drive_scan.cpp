// Phase 4: every local fixed drive is walked depth first; each file whose extension fits the
// pattern list is checked against the signatures and, when infected, deleted at once.
#include "detect/drive_scan.h"

#include "app/outcome.h"
#include "app/run_record.h"
#include "app/platform_query.h"
#include "detect/signatures.h"
#include "fileops/backup.h"
#include "fileops/replace_file.h"
#include "trace/console_title.h"
#include "trace/trace.h"

const char ScanExtensionPatterns[] = "EX? ?XE";

namespace {

const DWORD kDriveListSize = 256;
const char kSearchPattern[] = "*.*";
const size_t kSearchPatternLength = sizeof(kSearchPattern) - 1;

// On NT a directory is known by its volume's serial number and its file index, as
// GetFileInformationByHandle reads them from a handle opened with backup semantics; a link
// opened that way gives its target's.
struct DirectoryIdentity {
  DWORD volume;
  DWORD indexHigh;
  DWORD indexLow;
};

// The directories one walk has entered, by identity, in an open-addressed table of fixed
// size. Each slot also says how the directory was reached: by a path without links, or
// through a link.
enum { kSlotEmpty = 0, kSlotPlainPath = 1, kSlotThroughLink = 2 };
const unsigned kWalkedSlots = 16384;                  // a power of two
const unsigned kWalkedMost = kWalkedSlots / 4 * 3;    // beyond, the table counts as full

struct WalkedDirectories {
  DirectoryIdentity identities[kWalkedSlots];
  BYTE slots[kWalkedSlots];
  unsigned count;
};

// One table serves the walk in progress; a walk started while another runs (from a callback)
// does without.
WalkedDirectories g_walked;
int g_walkedInUse = 0;

struct Walk {
  DirectoryEntryCallback callback;
  WalkedDirectories* walked;  // NULL: identities are not used
  const char* directory;      // the one the walk started in, with its separator
  int recording;              // a link has been met: identities are read and kept
};

// 1 with *id filled when the identity of the directory at path can be read.
int ReadDirectoryIdentity(const char* path, DirectoryIdentity* id) {
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  BOOL ok = GetFileInformationByHandle(handle, &info);
  CloseHandle(handle);
  // A file system that numbers nothing gives index 0: that tells no directory from another.
  if (!ok || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.nFileIndexHigh == 0 && info.nFileIndexLow == 0))
    return 0;
  id->volume = info.dwVolumeSerialNumber;
  id->indexHigh = info.nFileIndexHigh;
  id->indexLow = info.nFileIndexLow;
  return 1;
}

enum { kWalkedBefore, kWalkedNow, kNotRecorded };

// Looks the identity up; when the walk has not entered it yet, records it (how it was reached
// in kind) unless the table is full. *before tells how a directory entered before was reached.
int RecordWalked(WalkedDirectories* walked, const DirectoryIdentity& id, BYTE kind, BYTE* before) {
  unsigned hash = id.indexLow * 0x9E3779B1u ^ id.indexHigh * 0x85EBCA77u ^ id.volume * 0xC2B2AE3Du;
  hash ^= hash >> 15;
  for (unsigned i = hash & (kWalkedSlots - 1);; i = (i + 1) & (kWalkedSlots - 1)) {
    if (walked->slots[i] == kSlotEmpty) {
      if (walked->count >= kWalkedMost) return kNotRecorded;
      walked->identities[i] = id;
      walked->slots[i] = kind;
      ++walked->count;
      return kWalkedNow;
    }
    const DirectoryIdentity& other = walked->identities[i];
    if (other.indexLow == id.indexLow && other.indexHigh == id.indexHigh && other.volume == id.volume) {
      *before = walked->slots[i];
      return kWalkedBefore;
    }
  }
}

// Records the directory at path as entered on a path without links.
void RecordPlainDirectory(WalkedDirectories* walked, const char* path) {
  DirectoryIdentity id;
  BYTE before = kSlotEmpty;
  if (ReadDirectoryIdentity(path, &id)) RecordWalked(walked, id, kSlotPlainPath, &before);
}

// The walk's first link is at linkPath: records the directories entered so far, none of them
// through a link. Below directory (which ends with its separator) those are the ones listed
// before the next directory on the way to the link, with everything below them, and that next
// one, with those below it listed before the way on. The system lists a directory in the same
// order again; should it not, a directory recorded that the walk has yet to enter is still
// entered when the walk meets it (two met on paths without links are both entered).
void RecordDirectoriesEntered(WalkedDirectories* walked, const char* directory, const char* linkPath) {
  char path[MAX_PATH];
  size_t prefixLength = strlen(directory);
  if (prefixLength + kSearchPatternLength >= MAX_PATH) return;
  memcpy(path, directory, prefixLength);
  memcpy(path + prefixLength, kSearchPattern, kSearchPatternLength + 1);
  WIN32_FIND_DATAA findData;
  HANDLE find = FindFirstFileA(path, &findData);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (walked->count >= kWalkedMost) break;
    if ((findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    findData.cFileName[MAX_PATH - 1] = '\0';
    const char* name = findData.cFileName;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    size_t length = prefixLength + strlen(name);
    if (length + 1 + kSearchPatternLength >= MAX_PATH) continue;  // the walk passed it over
    memcpy(path + prefixLength, name, length - prefixLength + 1);
    int onTheWay = linkPath != NULL && strncmp(linkPath, path, length) == 0;
    if (onTheWay && linkPath[length] == '\0') break;  // the link itself: the walk is there
    if (onTheWay && linkPath[length] != '\\') onTheWay = 0;
    // No link comes before the first one; should one have appeared since, it is not followed.
    if (findData.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    RecordPlainDirectory(walked, path);
    path[length] = '\\';
    path[length + 1] = '\0';
    RecordDirectoriesEntered(walked, path, onTheWay ? linkPath : NULL);
    if (onTheWay) break;  // what follows it is still to be walked
  } while (FindNextFileA(find, &findData));
  FindClose(find);
}

// Whether the walk enters the directory at path (no trailing backslash), met as a link or not,
// below a link or not. It enters every directory it has not entered yet and none twice; a link
// back to a directory it entered before, its own, the drive's root or one above the link among
// them, is reported but not followed, so link loops end. Until the walk meets its first link
// every directory it meets is new, since only a link leads to one a second time: it reads no
// identity until then. At the first link it reads those of the directories entered so far, and
// from then on that of each directory it meets. Where no identity can be read (Windows 9x has no
// links; a query that fails; the table is full), a directory link below another link is not
// followed, which ends loops too.
int ShouldEnter(Walk* walk, const char* path, int isLink, int insideLink) {
  int enter = !(isLink && insideLink);
  if (walk->walked == NULL) return enter;
  if (!walk->recording) {
    if (!isLink) return 1;
    walk->recording = 1;
    char own[MAX_PATH];
    size_t length = strlen(walk->directory);
    memcpy(own, walk->directory, length + 1);
    // Its own name without the separator, but for a drive's root (C:\).
    if (length > 3 && own[length - 1] == '\\') own[length - 1] = '\0';
    RecordPlainDirectory(walk->walked, own);
    RecordDirectoriesEntered(walk->walked, walk->directory, path);
  }
  DirectoryIdentity id;
  if (!ReadDirectoryIdentity(path, &id)) return enter;
  int throughLink = isLink || insideLink;
  BYTE before = kSlotEmpty;
  switch (RecordWalked(walk->walked, id, throughLink ? kSlotThroughLink : kSlotPlainPath, &before)) {
    case kWalkedNow:
      return 1;
    case kWalkedBefore:
      // Without links every directory is met once only: two met on such paths that read
      // alike are two directories on a file system whose numbers are not to be trusted.
      return !throughLink && before == kSlotPlainPath;
    default:
      return enter;
  }
}

int WalkLevel(const char* directory, Walk* walk, int insideLink);

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
  Walk walk;
  walk.callback = callback;
  walk.walked = NULL;
  walk.directory = directory;
  walk.recording = 0;
  // Each walk (each drive's, in the scan) starts with an empty table.
  if (!g_walkedInUse && IsWindowsNT() == 1 && strlen(directory) < MAX_PATH) {
    g_walkedInUse = 1;
    walk.walked = &g_walked;
    memset(g_walked.slots, 0, sizeof(g_walked.slots));
    g_walked.count = 0;
  }
  int result = WalkLevel(directory, &walk, 0);
  if (walk.walked != NULL) g_walkedInUse = 0;
  return result;
}

namespace {

// One level of the walk: reports every entry, checks each subdirectory with ShouldEnter and
// walks those it enters, depth first.
int WalkLevel(const char* directory, Walk* walk, int insideLink) {
  DirectoryEntryCallback callback = walk->callback;
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
      if (!ShouldEnter(walk, path, isLink, insideLink)) continue;
      path[prefixLength + nameLength] = '\\';
      path[prefixLength + nameLength + 1] = '\0';
      result = WalkLevel(path, walk, insideLink || isLink);
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
  SaveBackupManifestWhenDue();
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
  CountExaminedFile(path);
  TRACE_INFO("path %s infection=%d\n", path, infected);
  if (!infected) return 0;

  SetInfectionState(kInfectionFile);
  if (IsDetectionOnly()) {
    NoteInfectedFileLeft(path);
    return 1;
  }
  int backup = kBackupOff;
  int result = RemoveInfectedFile(path, &backup);
  TRACE_INFO("Deleting file \"%s\", result=%d\n", path, result);
  NoteFileRemoval(path, result, backup);
  CountRemoval(result);
  return 1;
}
