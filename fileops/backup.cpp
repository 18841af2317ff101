// Inert backups and their manifest; putting a backup back.
//
// A backup file: the 8 bytes "VCBACKUP", the original size (4 bytes, least significant
// first), the original bytes through TransformBackupBytes, and the CRC-32 of the original bytes
// (4 bytes). It is written as NNNNNNNN.vqb, flushed and closed; only then is the original
// deleted or its deletion scheduled, and the manifest's entry added. (NNNNNNNN.tmp, the name a
// backup had while being written in earlier builds, still holds its number.)
#include "fileops/backup.h"

#include "app/platform_query.h"
#include "detect/crc32.h"
#include "fileops/replace_file.h"
#include "fileops/whole_file.h"
#include "trace/trace.h"

const char kBackupFolderName[] = "VorlaxClean.qtn";
const char kManifestName[] = "manifest.ini";
const char kManifestEndLine[] = "; end of manifest";
const DWORD kBackupKeySeed = 0x5EED1234u;

namespace {

const char kBackupExtension[] = ".vqb";
const char kPartExtension[] = ".tmp";
const char kRestoreSuffix[] = ".$$$";  // a restored file is written beside its place first
const char kMagic[8] = {'V', 'C', 'B', 'A', 'C', 'K', 'U', 'P'};
const DWORD kHeaderSize = 12;
const DWORD kTrailerSize = 4;
// Room kept free on the disk beyond the backup itself: the log, the manifest, the system.
const DWORD kFreeSpaceMargin = 1024 * 1024;
const DWORD kChunkSize = 32 * 1024;
const DWORD kLongestManifest = 4 * 1024 * 1024;
const int kHighestNumber = 99999999;  // eight digits in the file name
const char kManifestHeading[] =
    "; VorlaxClean backups: VorlaxClean.exe /RESTORE lists them, /RESTORE:N puts entry N back";

enum { kOriginalDeleted = 0, kOriginalRestart = 1, kOriginalFailed = 2 };
const char* const kOriginalStates[] = {"deleted", "restart", "failed"};

struct BackupEntry {
  int number;
  char path[MAX_PATH];
  DWORD size;
  int hasSize;
  DWORD crc;
  char time[20];
  int original;
  char file[16];        // the backup's name in the folder; empty when none was made
  char noBackup[200];   // why none was made
  char restored[20];    // when it was put back; empty until then
};

struct Manifest {
  int loaded;      // the manifest was read (or there is none)
  int unusable;    // it cannot be read or is damaged: no entry is added, it is left as it is
  char why[200];
  BackupEntry* entries;
  int count;
  int capacity;
  int highestFile;  // the highest number a file in the folder has
};

int g_backupsOn = 1;
Manifest g_manifest;
int g_manifestChanged = 0;  // entries were added or changed since the manifest was written
const DWORD kManifestSaveInterval = 1000;  // ms
const DWORD kFreeSpaceInterval = 1000;     // ms

// What this run learnt of the manifest's writing, the folder and the disk, so that a backup
// does not ask again each time.
struct RunCache {
  int manifestSaved;  // the manifest was written in this run, at manifestSaveTick
  DWORD manifestSaveTick;
  int folderReady;  // made (or found) in this run
  int freeKnown;    // the free space as last asked, at freeTick, and what backups took since
  DWORD freeTick;
  uint64_t freeBytes;
  uint64_t freeTaken;
};
RunCache g_run;

void NowText(char* text, size_t size) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FormatLocalTime(&now, text, size);
}

DWORD ErrorOr(DWORD fallback) { return GetLastError() != 0 ? GetLastError() : fallback; }

const DWORD kTooLarge = 0xFFFFFFF0u;  // not a system error: the manifest is too large
#ifndef ERROR_READ_FAULT
#define ERROR_READ_FAULT 30L
#endif

int IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

void PutLittleEndian(unsigned char* out, DWORD value) {
  for (int i = 0; i < 4; ++i) out[i] = (unsigned char)(value >> (8 * i));
}

DWORD GetLittleEndian(const unsigned char* in) {
  return (DWORD)in[0] | ((DWORD)in[1] << 8) | ((DWORD)in[2] << 16) | ((DWORD)in[3] << 24);
}

// ---------------------------------------------------------------- paths

// The folder's path without a trailing backslash; 0 when the Windows directory is unknown or
// too long for the folder's longest file path.
int FolderPath(char* folder) {
  char windows[MAX_PATH];
  UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 0;
  if (windows[length - 1] == '\\') windows[--length] = '\0';
  // The folder, a backslash and the longest name in it (manifest.ini.$$$, NNNNNNNN.vqb).
  size_t longest = sizeof(kManifestName) - 1 + sizeof(".$$$") - 1;
  if (length + 1 + sizeof(kBackupFolderName) - 1 + 1 + longest >= MAX_PATH) return 0;
  memcpy(folder, windows, length);
  folder[length] = '\\';
  memcpy(folder + length + 1, kBackupFolderName, sizeof(kBackupFolderName));
  return 1;
}

void InFolder(char* out, const char* folder, const char* name) {
  FormatText(out, MAX_PATH, "%s\\%s", folder, name);
}

void NumberedName(char* out, size_t size, int number, const char* extension) {
  FormatText(out, size, "%08d%s", number, extension);
}

// ---------------------------------------------------------------- the manifest

void FreeManifest(Manifest* manifest) {
  free(manifest->entries);
  memset(manifest, 0, sizeof(*manifest));
}

BackupEntry* AddEntry(Manifest* manifest) {
  if (manifest->count == manifest->capacity) {
    int larger = manifest->capacity == 0 ? 16 : manifest->capacity * 2;
    BackupEntry* more = (BackupEntry*)malloc((size_t)larger * sizeof(BackupEntry));
    if (more == NULL) return NULL;
    if (manifest->entries != NULL) memcpy(more, manifest->entries, (size_t)manifest->count * sizeof(BackupEntry));
    free(manifest->entries);
    manifest->entries = more;
    manifest->capacity = larger;
  }
  BackupEntry* entry = &manifest->entries[manifest->count++];
  memset(entry, 0, sizeof(*entry));
  return entry;
}

BackupEntry* FindEntry(Manifest* manifest, int number) {
  for (int i = 0; i < manifest->count; ++i)
    if (manifest->entries[i].number == number) return &manifest->entries[i];
  return NULL;
}

// A whole decimal number without sign or leading zero, 1 to highest; 0 when it is none.
int ParseNumber(const char* text, size_t length, long highest) {
  if (length == 0 || length > 10 || text[0] == '0') return 0;
  long value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    value = value * 10 + (text[i] - '0');
    if (value > highest) return 0;
  }
  return (int)value;
}

int IsTimeText(const char* text) {
  static const char kForm[] = "dddd-dd-ddTdd:dd:dd";
  if (strlen(text) != sizeof(kForm) - 1) return 0;
  for (size_t i = 0; i + 1 < sizeof(kForm); ++i) {
    if (kForm[i] == 'd' ? !isdigit((unsigned char)text[i]) : text[i] != kForm[i]) return 0;
  }
  return 1;
}

// Copies value into out when it fits; 0 when not.
int CopyValue(char* out, size_t size, const char* value, size_t length) {
  if (length >= size) return 0;
  memcpy(out, value, length);
  out[length] = '\0';
  return 1;
}

enum {
  kKeyPath = 1,
  kKeySize = 2,
  kKeyCrc = 4,
  kKeyTime = 8,
  kKeyOriginal = 16,
  kKeyFile = 32,
  kKeyNoBackup = 64,
  kKeyRestored = 128,
};

// Whether an entry read from the manifest holds what every entry holds.
const char* CheckEntry(const BackupEntry* entry, unsigned keys) {
  if ((keys & (kKeyPath | kKeyTime | kKeyOriginal)) != (kKeyPath | kKeyTime | kKeyOriginal))
    return "an entry without its Path, Time or Original";
  if (((keys & kKeyFile) != 0) == ((keys & kKeyNoBackup) != 0)) return "an entry needs either File or NoBackup";
  if ((keys & kKeyFile) && (keys & (kKeySize | kKeyCrc)) != (kKeySize | kKeyCrc))
    return "a backup without its Size or CRC32";
  if ((keys & kKeyRestored) && !(keys & kKeyFile)) return "restored, but there is no backup";
  if (keys & kKeyFile) {
    char name[16];
    NumberedName(name, sizeof(name), entry->number, kBackupExtension);
    if (_stricmp(name, entry->file) != 0) return "a File name that is not its entry's";
  }
  return NULL;
}

// Reads the manifest's text into manifest; 0 with why filled when it is damaged.
int ParseManifest(const char* text, size_t size, Manifest* manifest, char* why, size_t whySize) {
  // A manifest cut short is told first: its last line is not the end line.
  size_t last = size;
  while (last > 0 && (text[last - 1] == '\r' || text[last - 1] == '\n')) --last;
  size_t endLength = sizeof(kManifestEndLine) - 1;
  if (last < endLength || memcmp(text + last - endLength, kManifestEndLine, endLength) != 0 ||
      (last > endLength && text[last - endLength - 1] != '\n')) {
    FormatText(why, whySize, "%s", "it is cut short (no end line)");
    return 0;
  }
  BackupEntry* entry = NULL;
  unsigned keys = 0;
  int ended = 0;
  int lineNumber = 0;
  int lastNumber = 0;
  const char* problem = NULL;
  size_t at = 0;
  while (at < size && problem == NULL) {
    const char* line = text + at;
    const char* end = (const char*)memchr(line, '\n', size - at);
    size_t length = end != NULL ? (size_t)(end - line) : size - at;
    at += length + (end != NULL ? 1 : 0);
    if (length > 0 && line[length - 1] == '\r') --length;
    ++lineNumber;
    if (memchr(line, '\0', length) != NULL) {
      problem = "a line with a zero byte";
      break;
    }
    if (length == 0) continue;
    if (ended) {
      problem = "text after the end line";
      break;
    }
    if (length == sizeof(kManifestEndLine) - 1 && memcmp(line, kManifestEndLine, length) == 0) {
      ended = 1;
      continue;
    }
    if (line[0] == ';') continue;
    if (line[0] == '[') {
      if (entry != NULL && (problem = CheckEntry(entry, keys)) != NULL) break;
      const char kSection[] = "[Backup ";
      size_t prefix = sizeof(kSection) - 1;
      int number = 0;
      if (length > prefix + 1 && memcmp(line, kSection, prefix) == 0 && line[length - 1] == ']')
        number = ParseNumber(line + prefix, length - prefix - 1, kHighestNumber);
      if (number == 0) {
        problem = "a section that is not [Backup N]";
        break;
      }
      if (number <= lastNumber) {
        problem = "entry numbers out of order";
        break;
      }
      lastNumber = number;
      entry = AddEntry(manifest);
      if (entry == NULL) {
        problem = "out of memory";
        break;
      }
      entry->number = number;
      keys = 0;
      continue;
    }
    const char* equals = (const char*)memchr(line, '=', length);
    if (entry == NULL || equals == NULL) {
      problem = entry == NULL ? "a line before the first entry" : "a line that is no Key=Value";
      break;
    }
    size_t keyLength = (size_t)(equals - line);
    const char* value = equals + 1;
    size_t valueLength = length - keyLength - 1;
    static const struct {
      const char* name;
      unsigned bit;
    } kKeys[] = {{"Path", kKeyPath},     {"Size", kKeySize}, {"CRC32", kKeyCrc},        {"Time", kKeyTime},
                 {"Original", kKeyOriginal}, {"File", kKeyFile}, {"NoBackup", kKeyNoBackup}, {"Restored", kKeyRestored}};
    unsigned bit = 0;
    for (size_t k = 0; k < sizeof(kKeys) / sizeof(kKeys[0]); ++k) {
      if (strlen(kKeys[k].name) == keyLength && memcmp(kKeys[k].name, line, keyLength) == 0) bit = kKeys[k].bit;
    }
    if (bit == 0) {
      problem = "an unknown key";
      break;
    }
    if (keys & bit) {
      problem = "a key given twice";
      break;
    }
    keys |= bit;
    char number[16];
    switch (bit) {
      case kKeyPath:
        // A full path: a drive's (X:\...) or a server's (\\server\share\...).
        if (!CopyValue(entry->path, sizeof(entry->path), value, valueLength) ||
            !((valueLength > 3 && isalpha((unsigned char)value[0]) && value[1] == ':' && value[2] == '\\') ||
              (valueLength > 2 && value[0] == '\\' && value[1] == '\\')))
          problem = "a Path that is no full path";
        break;
      case kKeySize:
        // Up to 4,294,967,295: ten digits at most, checked against the limit in 64 bits.
        if (valueLength == 0 || valueLength > 10) {
          problem = "a Size that is no number";
        } else {
          uint64_t n = 0;
          for (size_t i = 0; i < valueLength && problem == NULL; ++i) {
            if (value[i] < '0' || value[i] > '9') problem = "a Size that is no number";
            n = n * 10 + (uint64_t)(value[i] - '0');
          }
          if (problem == NULL && (n > 0xFFFFFFFFu || (valueLength > 1 && value[0] == '0')))
            problem = "a Size that is no number";
          entry->size = (DWORD)n;
          entry->hasSize = 1;
        }
        break;
      case kKeyCrc:
        if (!CopyValue(number, sizeof(number), value, valueLength) || valueLength != 8 ||
            strspn(number, "0123456789ABCDEFabcdef") != 8) {
          problem = "a CRC32 that is not eight hexadecimal digits";
        } else {
          entry->crc = (DWORD)strtoul(number, NULL, 16);
        }
        break;
      case kKeyTime:
        if (!CopyValue(entry->time, sizeof(entry->time), value, valueLength) || !IsTimeText(entry->time))
          problem = "a Time that is not YYYY-MM-DDTHH:MM:SS";
        break;
      case kKeyRestored:
        if (!CopyValue(entry->restored, sizeof(entry->restored), value, valueLength) || !IsTimeText(entry->restored))
          problem = "a Restored time that is not YYYY-MM-DDTHH:MM:SS";
        break;
      case kKeyOriginal:
        entry->original = -1;
        for (int s = 0; s < 3; ++s) {
          if (strlen(kOriginalStates[s]) == valueLength && memcmp(kOriginalStates[s], value, valueLength) == 0)
            entry->original = s;
        }
        if (entry->original < 0) problem = "an Original that is not deleted, restart or failed";
        break;
      case kKeyFile:
        if (!CopyValue(entry->file, sizeof(entry->file), value, valueLength)) problem = "a File name that is not its entry's";
        break;
      default:  // kKeyNoBackup
        if (!CopyValue(entry->noBackup, sizeof(entry->noBackup), value, valueLength) || valueLength == 0)
          problem = "a NoBackup reason that is empty or too long";
        break;
    }
  }
  if (problem == NULL && entry != NULL) problem = CheckEntry(entry, keys);
  if (problem == NULL && !ended) {
    FormatText(why, whySize, "%s", "it is cut short (no end line)");
    return 0;
  }
  if (problem != NULL) {
    FormatText(why, whySize, "it is damaged at line %d (%s)", lineNumber, problem);
    return 0;
  }
  return 1;
}

// The highest NNNNNNNN of the backups and parts in the folder, so that no new backup takes the
// name of one whose entry never reached the manifest.
int HighestFileNumber(const char* folder) {
  char pattern[MAX_PATH];
  InFolder(pattern, folder, "*.*");
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int highest = 0;
  do {
    found.cFileName[MAX_PATH - 1] = '\0';
    const char* name = found.cFileName;
    if (strlen(name) != 12 || (_stricmp(name + 8, kBackupExtension) != 0 && _stricmp(name + 8, kPartExtension) != 0))
      continue;
    int number = name[0] == '0' ? ParseNumber(name + strspn(name, "0"), 8 - strspn(name, "0"), kHighestNumber)
                                : ParseNumber(name, 8, kHighestNumber);
    if (number > highest) highest = number;
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return highest;
}

// Reads the manifest of folder into manifest. 1 when read or absent (an empty manifest); 0
// when it cannot be read or is damaged, with why filled.
int LoadManifest(const char* folder, Manifest* manifest, int* absent) {
  memset(manifest, 0, sizeof(*manifest));
  manifest->loaded = 1;
  *absent = 0;
  char path[MAX_PATH];
  InFolder(path, folder, kManifestName);
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (IsNotFound(error)) {
      *absent = 1;
      manifest->highestFile = HighestFileNumber(folder);
      return 1;
    }
    FormatText(manifest->why, sizeof(manifest->why), "it cannot be opened (error %lu)", (unsigned long)error);
    manifest->unusable = 1;
    return 0;
  }
  DWORD high = 0;
  DWORD size = GetFileSize(file, &high);
  char* text = NULL;
  DWORD error = 0;
  if (size == 0xFFFFFFFFu || high != 0 || size > kLongestManifest) {
    error = kTooLarge;
  } else {
    text = (char*)malloc(size + 1);
    if (text == NULL) error = ERROR_NOT_ENOUGH_MEMORY;
  }
  DWORD total = 0;
  while (error == 0 && total < size) {
    DWORD read = 0;
    if (!ReadFile(file, text + total, size - total, &read, NULL)) {
      error = ErrorOr(ERROR_READ_FAULT);
    } else if (read == 0) {
      error = ERROR_HANDLE_EOF;
    }
    total += read;
  }
  CloseHandle(file);
  if (error != 0) {
    free(text);
    if (error == kTooLarge)
      FormatText(manifest->why, sizeof(manifest->why), "it is larger than %lu bytes", (unsigned long)kLongestManifest);
    else
      FormatText(manifest->why, sizeof(manifest->why), "it cannot be read (error %lu)", (unsigned long)error);
    manifest->unusable = 1;
    return 0;
  }
  int ok = ParseManifest(text, size, manifest, manifest->why, sizeof(manifest->why));
  free(text);
  if (!ok) {
    char why[sizeof(manifest->why)];
    memcpy(why, manifest->why, sizeof(why));
    FreeManifest(manifest);
    memcpy(manifest->why, why, sizeof(why));
    manifest->loaded = 1;
    manifest->unusable = 1;
    return 0;
  }
  manifest->highestFile = HighestFileNumber(folder);
  return 1;
}

// One entry's lines, each ended by CR LF, after an empty line; returns the length.
DWORD FormatEntry(char* text, size_t size, const BackupEntry* e) {
  size_t at = 0;
  char line[MAX_PATH + 32];
  for (int k = 0; k < 9; ++k) {
    line[0] = '\0';
    switch (k) {
      case 0: break;  // the empty line before the entry
      case 1: FormatText(line, sizeof(line), "[Backup %d]", e->number); break;
      case 2: FormatText(line, sizeof(line), "Path=%s", e->path); break;
      case 3: if (e->hasSize) FormatText(line, sizeof(line), "Size=%lu", (unsigned long)e->size); else continue; break;
      case 4: if (e->file[0] != '\0') FormatText(line, sizeof(line), "CRC32=%08lX", (unsigned long)e->crc); else continue; break;
      case 5: FormatText(line, sizeof(line), "Time=%s", e->time); break;
      case 6: FormatText(line, sizeof(line), "Original=%s", kOriginalStates[e->original % 3]); break;
      case 7:
        if (e->file[0] != '\0') FormatText(line, sizeof(line), "File=%s", e->file);
        else FormatText(line, sizeof(line), "NoBackup=%s", e->noBackup);
        break;
      default: if (e->restored[0] != '\0') FormatText(line, sizeof(line), "Restored=%s", e->restored); else continue; break;
    }
    size_t length = strlen(line);
    if (at + length + 2 > size) break;  // cannot happen: the buffer holds the longest entry
    memcpy(text + at, line, length);
    text[at + length] = '\r';
    text[at + length + 1] = '\n';
    at += length + 2;
  }
  return (DWORD)at;
}

// Writes the whole manifest (via manifest.ini.$$$); 0 or the error.
DWORD SaveManifest(const char* folder, const Manifest* manifest) {
  char path[MAX_PATH];
  InFolder(path, folder, kManifestName);
  WholeFileWriter writer;
  if (WholeFileBegin(&writer, path) != kWholeFileWritten) return writer.error;
  WholeFileLine(&writer, "%s", kManifestHeading);
  for (int i = 0; i < manifest->count && writer.error == 0; ++i) {
    const BackupEntry* e = &manifest->entries[i];
    // One write per entry.
    char text[MAX_PATH + 512];
    DWORD length = FormatEntry(text, sizeof(text), e);
    WholeFileWrite(&writer, text, length);
  }
  WholeFileLine(&writer, "%s", "");
  WholeFileLine(&writer, "%s", kManifestEndLine);
  // Nothing more is written after a failure; the temporary file then goes.
  if (WholeFileFinish(&writer) != kWholeFileWritten) return writer.error != 0 ? writer.error : 1;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- making a backup
namespace {

// The manifest of this run, read at the first infected file; 0 when it cannot be used.
int PrepareManifest(char* folder) {
  if (!FolderPath(folder)) {
    if (!g_manifest.loaded) {
      memset(&g_manifest, 0, sizeof(g_manifest));
      g_manifest.loaded = 1;
      g_manifest.unusable = 1;
      FormatText(g_manifest.why, sizeof(g_manifest.why), "%s",
                 "the Windows directory is unknown or its path too long for the backup folder");
    }
    return 0;
  }
  if (!g_manifest.loaded) {
    int absent = 0;
    LoadManifest(folder, &g_manifest, &absent);
  }
  return !g_manifest.unusable;
}

// The folder, made when it is not there yet; 0 with why filled when it cannot be.
int PrepareFolder(const char* folder, char* why, size_t whySize) {
  if (g_run.folderReady) return 1;
  if (CreateDirectoryA(folder, NULL)) return g_run.folderReady = 1;
  DWORD error = GetLastError();
  DWORD attributes = GetFileAttributesA(folder);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return g_run.folderReady = 1;
  FormatText(why, whySize, "the backup folder %s cannot be made (error %lu)", folder, (unsigned long)error);
  return 0;
}

// The folder went since it was made (removed by hand during the run): made again.
int PrepareFolderAgain(const char* folder, char* why, size_t whySize) {
  g_run.folderReady = 0;
  return PrepareFolder(folder, why, whySize);
}

// Whether needed bytes fit on the disk of root; 0 when they do not, with *available the free
// space. Asked again once a second, and whenever what this run's backups took since the last
// answer leaves too little; when it cannot be asked, it is left to the writes, each checked.
int FitsFreeSpace(const char* root, DWORD needed, uint64_t* available) {
  DWORD now = GetTickCount();
  if (g_run.freeKnown && now - g_run.freeTick < kFreeSpaceInterval && g_run.freeBytes >= g_run.freeTaken &&
      g_run.freeBytes - g_run.freeTaken >= needed)
    return 1;
  ULARGE_INTEGER answer;
  g_run.freeKnown = GetDiskFreeSpaceExA(root, &answer, NULL, NULL) ? 1 : 0;
  g_run.freeTick = now;
  g_run.freeBytes = g_run.freeKnown ? answer.QuadPart : 0;
  g_run.freeTaken = 0;
  *available = g_run.freeBytes;
  return !g_run.freeKnown || g_run.freeBytes >= needed;
}

// Copies source into the backup file of entry->number, made harmless. 1 when the backup is
// complete and in place; otherwise 0, with entry->noBackup filled and *absent set when the
// file is not there at all. *reused is the number of an earlier backup of the same bytes at the
// same path, when there is one (the new copy is then dropped).
int CopyToBackup(const char* folder, const char* source, BackupEntry* entry, int* absent, int* reused) {
  *absent = 0;
  *reused = 0;
  HANDLE in = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, NULL);
  if (in == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    *absent = IsNotFound(error);
    FormatText(entry->noBackup, sizeof(entry->noBackup), "the file cannot be read (error %lu)", (unsigned long)error);
    return 0;
  }
  DWORD high = 0;
  DWORD size = GetFileSize(in, &high);
  if (high != 0 || size > 0xFFFFFFFFu - kHeaderSize - kTrailerSize - kFreeSpaceMargin) {
    CloseHandle(in);
    FormatText(entry->noBackup, sizeof(entry->noBackup), "%s", "the file is too large");
    return 0;
  }
  entry->size = size;
  entry->hasSize = 1;

  // The backup and a margin must fit in the free space, so that it neither fails half-way nor
  // leaves the disk full.
  // Asked of the Windows directory, which is there (the folder may not be yet); a query that
  // fails leaves it to the writes, each of which is checked.
  char root[MAX_PATH];
  strcpy(root, folder);
  *(strrchr(root, '\\') + 1) = '\0';
  DWORD needed = size + kHeaderSize + kTrailerSize + kFreeSpaceMargin;
  uint64_t available = 0;
  if (!FitsFreeSpace(root, needed, &available)) {
    CloseHandle(in);
    FormatText(entry->noBackup, sizeof(entry->noBackup), "not enough free space (%lu KB free, %lu KB needed)",
               (unsigned long)(available / 1024), (unsigned long)((needed + 1023) / 1024));
    return 0;
  }
  if (!PrepareFolder(folder, entry->noBackup, sizeof(entry->noBackup))) {
    CloseHandle(in);
    return 0;
  }
  unsigned char* buffer = (unsigned char*)malloc(kChunkSize);
  if (buffer == NULL) {
    CloseHandle(in);
    FormatText(entry->noBackup, sizeof(entry->noBackup), "%s", "out of memory");
    return 0;
  }

  // Written under its own name at once: only an entry of the manifest, added once the backup is
  // complete, makes it one to restore; a file half-written by a run that stopped is never listed
  // and keeps its number from later backups.
  char name[16];
  char part[MAX_PATH];
  NumberedName(name, sizeof(name), entry->number, kBackupExtension);
  InFolder(part, folder, name);
  HANDLE out = CreateFileA(part, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (out == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
    if (PrepareFolderAgain(folder, entry->noBackup, sizeof(entry->noBackup)))
      out = CreateFileA(part, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    else
      SetLastError(ERROR_PATH_NOT_FOUND);
  }
  DWORD error = 0;
  const char* failed = NULL;
  if (out == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    failed = "the backup cannot be made";
  }
  uint32_t crc = 0;
  DWORD state = kBackupKeySeed;
  DWORD written = 0;
  if (failed == NULL) {
    unsigned char header[kHeaderSize];
    memcpy(header, kMagic, sizeof(kMagic));
    PutLittleEndian(header + sizeof(kMagic), size);
    if (!WriteFile(out, header, kHeaderSize, &written, NULL) || written != kHeaderSize) {
      error = ErrorOr(ERROR_HANDLE_DISK_FULL);
      failed = "the backup cannot be written";
    }
  }
  DWORD left = size;
  while (failed == NULL && left > 0) {
    DWORD read = 0;
    DWORD want = left < kChunkSize ? left : kChunkSize;
    if (!ReadFile(in, buffer, want, &read, NULL) || read == 0) {
      error = read == 0 && GetLastError() == 0 ? ERROR_HANDLE_EOF : GetLastError();
      failed = "the file cannot be read";
      break;
    }
    crc = Crc32Continue(crc, buffer, read);
    TransformBackupBytes(buffer, read, &state);
    if (!WriteFile(out, buffer, read, &written, NULL) || written != read) {
      error = ErrorOr(ERROR_HANDLE_DISK_FULL);
      failed = "the backup cannot be written";
    }
    left -= read;
  }
  free(buffer);
  CloseHandle(in);
  if (failed == NULL) {
    unsigned char trailer[kTrailerSize];
    PutLittleEndian(trailer, crc);
    if (!WriteFile(out, trailer, kTrailerSize, &written, NULL) || written != kTrailerSize) {
      error = ErrorOr(ERROR_HANDLE_DISK_FULL);
      failed = "the backup cannot be written";
    } else if (!FlushFileBuffers(out)) {
      error = ErrorOr(ERROR_WRITE_FAULT);
      failed = "the backup cannot be written";
    }
  }
  if (out != INVALID_HANDLE_VALUE && !CloseHandle(out) && failed == NULL) {
    error = ErrorOr(ERROR_WRITE_FAULT);
    failed = "the backup cannot be written";
  }
  if (failed != NULL) {
    if (out != INVALID_HANDLE_VALUE) DeleteFileA(part);
    FormatText(entry->noBackup, sizeof(entry->noBackup), "%s (error %lu)", failed, (unsigned long)error);
    return 0;
  }
  entry->crc = crc;
  g_run.freeTaken += kHeaderSize + (uint64_t)size + kTrailerSize;

  // The same bytes at the same path backed up before and still kept (a file whose deletion
  // waits for the restart, met again): that backup serves.
  for (int i = 0; i < g_manifest.count; ++i) {
    const BackupEntry* e = &g_manifest.entries[i];
    if (e->file[0] == '\0' || e->restored[0] != '\0' || e->size != size || e->crc != crc ||
        _stricmp(e->path, entry->path) != 0)
      continue;
    char kept[MAX_PATH];
    InFolder(kept, folder, e->file);
    if (GetFileAttributesA(kept) == INVALID_FILE_ATTRIBUTES) continue;
    DeleteFileA(part);
    *reused = e->number;
    return 1;
  }

  strcpy(entry->file, name);
  return 1;
}

int NextNumber(void) {
  int highest = g_manifest.highestFile;
  for (int i = 0; i < g_manifest.count; ++i)
    if (g_manifest.entries[i].number > highest) highest = g_manifest.entries[i].number;
  return highest < kHighestNumber ? highest + 1 : 0;
}

}  // namespace

void SetBackupsOn(int on) { g_backupsOn = on; }
int AreBackupsOn(void) { return g_backupsOn; }

void TransformBackupBytes(unsigned char* data, DWORD length, DWORD* state) {
  DWORD s = *state;
  for (DWORD i = 0; i < length; ++i) {
    s = s * 1664525u + 1013904223u;
    data[i] ^= (unsigned char)(s >> 24);
  }
  *state = s;
}

int RemoveInfectedFile(const char* path, int* backup) {
  *backup = kBackupOff;
  if (!g_backupsOn) return ReplaceFile("", path, NULL);

  char folder[MAX_PATH];
  BackupEntry entry;
  memset(&entry, 0, sizeof(entry));
  int usable = PrepareManifest(folder);
  int made = 0, absent = 0, reused = 0;
  if (strlen(path) >= sizeof(entry.path)) {
    FormatText(entry.noBackup, sizeof(entry.noBackup), "%s", "the path is too long");
  } else if (!usable) {
    FormatText(entry.noBackup, sizeof(entry.noBackup), "the manifest cannot be used: %s", g_manifest.why);
  } else {
    strcpy(entry.path, path);
    entry.number = NextNumber();
    if (entry.number == 0) {
      FormatText(entry.noBackup, sizeof(entry.noBackup), "%s", "no backup numbers are left");
    } else {
      made = CopyToBackup(folder, path, &entry, &absent, &reused);
    }
  }

  int result = ReplaceFile("", path, NULL);
  if (result == kReplaceNotThere) {
    // Nothing was removed: no backup is needed, and none is listed.
    if (made && !reused) {
      char final[MAX_PATH];
      InFolder(final, folder, entry.file);
      DeleteFileA(final);
    }
    return result;
  }
  if (!made) TRACE_ERROR("No backup of %s: %s\n", path, entry.noBackup);
  *backup = made ? (reused ? reused : entry.number) : kBackupNone;
  if (!usable) return result;

  int original = result == kReplaceDone ? kOriginalDeleted : result == kReplaceAtRestart ? kOriginalRestart
                                                                                        : kOriginalFailed;
  BackupEntry* listed = reused ? FindEntry(&g_manifest, reused) : AddEntry(&g_manifest);
  if (listed == NULL) {
    TRACE_ERROR("%s", "Backup manifest not written: out of memory\n");
    return result;
  }
  if (!reused) {
    *listed = entry;
    NowText(listed->time, sizeof(listed->time));
  }
  listed->original = original;
  g_manifestChanged = 1;
  SaveBackupManifestWhenDue();
  return result;
}

void SaveBackupManifest(void) {
  if (!g_manifestChanged) return;
  g_manifestChanged = 0;
  g_run.manifestSaved = 1;
  g_run.manifestSaveTick = GetTickCount();
  char folder[MAX_PATH];
  char why[200];
  if (!FolderPath(folder)) return;
  DWORD error = PrepareFolder(folder, why, sizeof(why)) ? SaveManifest(folder, &g_manifest) : GetLastError();
  if (error == ERROR_PATH_NOT_FOUND)
    error = PrepareFolderAgain(folder, why, sizeof(why)) ? SaveManifest(folder, &g_manifest) : GetLastError();
  if (error != 0) TRACE_ERROR("Backup manifest not written to %s\\%s (error %lu)\n", folder, kManifestName, (unsigned long)error);
}

void SaveBackupManifestWhenDue(void) {
  if (!g_manifestChanged) return;
  // Unsigned difference: right across the tick count's wrap after 49.7 days.
  if (g_run.manifestSaved && GetTickCount() - g_run.manifestSaveTick < kManifestSaveInterval) return;
  SaveBackupManifest();
}

void ResetBackups(void) {
  FreeManifest(&g_manifest);
  g_manifestChanged = 0;
  memset(&g_run, 0, sizeof(g_run));
  g_backupsOn = 1;
}

// ---------------------------------------------------------------- listing and restoring
namespace {

// One line on the console and in the trace.
void Say(int error, const char* format, ...) __attribute__((format(__printf__, 2, 3)));
void Say(int error, const char* format, ...) {
  char text[2 * MAX_PATH + 200];
  va_list args;
  va_start(args, format);
  int n = _vsnprintf(text, sizeof(text) - 1, format, args);
  va_end(args);
  text[n < 0 ? sizeof(text) - 1 : n] = '\0';
  printf("%s\n", text);
  if (error)
    TRACE_ERROR("%s\n", text);
  else
    TRACE_INFO("%s\n", text);
}

const char* StateOf(const BackupEntry* e) {
  if (e->restored[0] != '\0') return "restored";
  if (e->file[0] == '\0') return "no backup";
  return kOriginalStates[e->original % 3];
}

// The manifest for /RESTORE; 0 (with the line said) when there is none to use.
int OpenManifest(char* folder, Manifest* manifest, int* absent) {
  if (!FolderPath(folder)) {
    Say(1, "%s", "Restore: the Windows directory is unknown or its path too long for the backup folder");
    return 0;
  }
  char path[MAX_PATH];
  InFolder(path, folder, kManifestName);
  if (!LoadManifest(folder, manifest, absent)) {
    Say(1, "Restore: the manifest %s cannot be read: %s", path, manifest->why);
    FreeManifest(manifest);
    return 0;
  }
  return 1;
}

// Makes the folders on the way to path that are missing; remembers how many it made.
struct MadeFolders {
  char paths[16][MAX_PATH];
  int count;
};

int MakeFoldersFor(const char* path, MadeFolders* made, DWORD* error) {
  made->count = 0;
  char folder[MAX_PATH];
  size_t length = strlen(path);
  // Past the root: "X:\" or "\\server\share\".
  size_t start = 3;
  if (path[0] == '\\' && path[1] == '\\') {
    const char* share = strchr(path + 2, '\\');
    const char* after = share != NULL ? strchr(share + 1, '\\') : NULL;
    if (after == NULL) return 1;
    start = (size_t)(after - path) + 1;
  }
  for (size_t i = start; i < length; ++i) {
    if (path[i] != '\\') continue;
    memcpy(folder, path, i);
    folder[i] = '\0';
    DWORD attributes = GetFileAttributesA(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if (attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      *error = ERROR_PATH_NOT_FOUND;
      return 0;
    }
    if (made->count == 16 || !CreateDirectoryA(folder, NULL)) {
      *error = made->count == 16 ? ERROR_PATH_NOT_FOUND : ErrorOr(ERROR_ACCESS_DENIED);
      return 0;
    }
    strcpy(made->paths[made->count++], folder);
  }
  return 1;
}

void RemoveMadeFolders(MadeFolders* made) {
  while (made->count > 0) RemoveDirectoryA(made->paths[--made->count]);
}

// Writes the backup of entry, undone, to temporary and checks it; 0 with the line said.
int WriteRestoredFile(const char* folder, const BackupEntry* entry, const char* temporary) {
  char backup[MAX_PATH];
  InFolder(backup, folder, entry->file);
  HANDLE in = CreateFileA(backup, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (in == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (IsNotFound(error))
      Say(1, "Restore: the backup %s of entry %d is missing; nothing was restored", backup, entry->number);
    else
      Say(1, "Restore: the backup %s of entry %d cannot be read (error %lu); nothing was restored", backup,
          entry->number, (unsigned long)error);
    return 0;
  }
  DWORD high = 0;
  DWORD size = GetFileSize(in, &high);
  unsigned char header[kHeaderSize];
  DWORD read = 0;
  const char* damage = NULL;
  if (high != 0 || size != entry->size + kHeaderSize + kTrailerSize || entry->size > size) {
    damage = "its length does not fit the manifest's size";
  } else if (!ReadFile(in, header, kHeaderSize, &read, NULL) || read != kHeaderSize ||
             memcmp(header, kMagic, sizeof(kMagic)) != 0 || GetLittleEndian(header + sizeof(kMagic)) != entry->size) {
    damage = "its header is not a backup's";
  }
  if (damage != NULL) {
    CloseHandle(in);
    Say(1, "Restore: the backup %s of entry %d is damaged (%s); nothing was restored", backup, entry->number, damage);
    return 0;
  }
  unsigned char* buffer = (unsigned char*)malloc(kChunkSize);
  HANDLE out = buffer != NULL ? CreateFileA(temporary, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL)
                              : INVALID_HANDLE_VALUE;
  if (out == INVALID_HANDLE_VALUE) {
    DWORD error = buffer == NULL ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
    free(buffer);
    CloseHandle(in);
    Say(1, "Restore: cannot write %s (error %lu); nothing was restored", temporary, (unsigned long)error);
    return 0;
  }
  uint32_t crc = 0;
  DWORD state = kBackupKeySeed;
  DWORD left = entry->size;
  DWORD error = 0;
  int writeFailed = 0;
  while (left > 0 && error == 0) {
    DWORD want = left < kChunkSize ? left : kChunkSize;
    if (!ReadFile(in, buffer, want, &read, NULL) || read == 0) {
      error = read == 0 && GetLastError() == 0 ? ERROR_HANDLE_EOF : GetLastError();
      break;
    }
    TransformBackupBytes(buffer, read, &state);
    crc = Crc32Continue(crc, buffer, read);
    DWORD written = 0;
    if (!WriteFile(out, buffer, read, &written, NULL) || written != read) {
      error = ErrorOr(ERROR_HANDLE_DISK_FULL);
      writeFailed = 1;
    }
    left -= read;
  }
  unsigned char trailer[kTrailerSize];
  if (error == 0 && (!ReadFile(in, trailer, kTrailerSize, &read, NULL) || read != kTrailerSize))
    error = ErrorOr(ERROR_HANDLE_EOF);
  if (error == 0 && !FlushFileBuffers(out)) {
    error = ErrorOr(ERROR_WRITE_FAULT);
    writeFailed = 1;
  }
  if (!CloseHandle(out) && error == 0) {
    error = ErrorOr(ERROR_WRITE_FAULT);
    writeFailed = 1;
  }
  CloseHandle(in);
  free(buffer);
  if (error == 0 && (crc != entry->crc || GetLittleEndian(trailer) != entry->crc)) {
    DeleteFileA(temporary);
    Say(1, "Restore: the backup %s of entry %d is damaged (its CRC-32 is %08lX, the manifest says %08lX); nothing was restored",
        backup, entry->number, (unsigned long)crc, (unsigned long)entry->crc);
    return 0;
  }
  if (error != 0) {
    DeleteFileA(temporary);
    if (writeFailed)
      Say(1, "Restore: cannot write %s (error %lu); nothing was restored", temporary, (unsigned long)error);
    else
      Say(1, "Restore: the backup %s of entry %d cannot be read (error %lu); nothing was restored", backup,
          entry->number, (unsigned long)error);
    return 0;
  }
  return 1;
}

}  // namespace

int ListBackups(void) {
  char folder[MAX_PATH];
  Manifest manifest;
  int absent = 0;
  if (!OpenManifest(folder, &manifest, &absent)) return 5;
  if (manifest.count == 0) {
    printf("No backups in %s\n", folder);
    FreeManifest(&manifest);
    return 0;
  }
  printf("Backups in %s\n\n", folder);
  printf("%5s  %10s  %-19s  %-9s  %s\n", "Entry", "Size", "Time", "State", "Original path");
  for (int i = 0; i < manifest.count; ++i) {
    const BackupEntry* e = &manifest.entries[i];
    char size[16];
    if (e->hasSize)
      FormatText(size, sizeof(size), "%lu", (unsigned long)e->size);
    else
      strcpy(size, "-");
    printf("%5d  %10s  %-19s  %-9s  %s\n", e->number, size, e->time, StateOf(e), e->path);
    if (e->file[0] == '\0') printf("%5s  no backup: %s\n", "", e->noBackup);
  }
  printf("\nVorlaxClean.exe /RESTORE:N puts entry N back at its original path.\n");
  FreeManifest(&manifest);
  return 0;
}

int RestoreBackup(const char* numberText) {
  if (numberText[0] == '\0') {
    Say(1, "%s", "Restore: no entry number after /RESTORE:");
    return 5;
  }
  int number = ParseNumber(numberText, strlen(numberText), kHighestNumber);
  if (number == 0) {
    Say(1, "Restore: \"%.40s\" is not an entry number (1 to %d)", numberText, kHighestNumber);
    return 5;
  }
  if (IsWindowsNT() == 1 && IsUserAdmin() == 0) {
    Say(1, "%s", "Restore: administrator rights are needed to restore a backup");
    return 5;
  }
  char folder[MAX_PATH];
  Manifest manifest;
  int absent = 0;
  if (!OpenManifest(folder, &manifest, &absent)) return 5;
  int code = 5;
  BackupEntry* entry = FindEntry(&manifest, number);
  char temporary[MAX_PATH];
  size_t length = entry != NULL ? strlen(entry->path) : 0;
  MadeFolders made;
  made.count = 0;
  DWORD error = 0;
  if (entry == NULL) {
    Say(1, "Restore: the manifest has no entry %d", number);
  } else if (entry->file[0] == '\0') {
    Say(1, "Restore: entry %d has no backup (%s)", number, entry->noBackup);
  } else if (GetFileAttributesA(entry->path) != INVALID_FILE_ATTRIBUTES || !IsNotFound(GetLastError())) {
    Say(1, "Restore: %s is there; entry %d is not written over it", entry->path, number);
  } else if (length + sizeof(kRestoreSuffix) > MAX_PATH) {
    Say(1, "Restore: the path %s is too long to restore through a temporary file", entry->path);
  } else if (!MakeFoldersFor(entry->path, &made, &error)) {
    Say(1, "Restore: the folders of %s cannot be made (error %lu); nothing was restored", entry->path,
        (unsigned long)error);
    RemoveMadeFolders(&made);
  } else {
    memcpy(temporary, entry->path, length);
    memcpy(temporary + length, kRestoreSuffix, sizeof(kRestoreSuffix));
    if (!WriteRestoredFile(folder, entry, temporary)) {
      RemoveMadeFolders(&made);
    } else if (!MoveFileA(temporary, entry->path)) {
      // MoveFileA never replaces: a file that appeared meanwhile stays as it is.
      error = ErrorOr(ERROR_ACCESS_DENIED);
      DeleteFileA(temporary);
      RemoveMadeFolders(&made);
      Say(1, "Restore: cannot write %s (error %lu); nothing was restored", entry->path, (unsigned long)error);
    } else {
      NowText(entry->restored, sizeof(entry->restored));
      error = SaveManifest(folder, &manifest);
      if (error != 0) {
        // The manifest must say what is restored: without it, the file goes again.
        DeleteFileA(entry->path);
        RemoveMadeFolders(&made);
        Say(1, "Restore: the manifest %s\\%s cannot be updated (error %lu); nothing was restored", folder,
            kManifestName, (unsigned long)error);
      } else {
        Say(0, "Restored entry %d to %s (%lu bytes)", number, entry->path, (unsigned long)entry->size);
        code = 0;
      }
    }
  }
  FreeManifest(&manifest);
  return code;
}
