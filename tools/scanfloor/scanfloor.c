/* scanfloor.exe: the least work a drive scan of the same kind can do, as a yardstick for the
 * tool's phase 4 under Wine. It walks every fixed drive depth first with FindFirstFileA /
 * FindNextFileA ("*.*", "." and ".." skipped), and for every file whose extension fits EX?, ?XE
 * (or is EX, as the tool's matcher also accepts) it opens the file (GENERIC_READ,
 * FILE_SHARE_READ, OPEN_EXISTING), seeks to 1024, reads 7168 bytes, computes their CRC-32
 * (slicing by 8) and appends one line "path <p> crc=<hex>" to a log file with fputs + fflush.
 * The log is opened for appending ("a+"), as the tool opens its trace log: each write of such a
 * stream goes to the end of the file first. It deletes nothing.
 *
 * Usage: scanfloor.exe [LOGFILE]   (default C:\scanfloor.log, removed at start)
 * Prints "entries=N candidates=N read=N" to standard output; exit code 0. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static unsigned int crcTable[8][256];
static unsigned char readBuffer[7168];
static FILE* logFile;
static unsigned long entryCount, candidateCount, readCount;

static void InitCrc(void) {
  unsigned int n, c;
  int k;
  for (n = 0; n < 256; ++n) {
    c = n;
    for (k = 0; k < 8; ++k) c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
    crcTable[0][n] = c;
  }
  for (n = 0; n < 256; ++n) {
    c = crcTable[0][n];
    for (k = 1; k < 8; ++k) {
      c = crcTable[0][c & 0xFFu] ^ (c >> 8);
      crcTable[k][n] = c;
    }
  }
}

static unsigned int Crc32(const unsigned char* p, DWORD length) {
  unsigned int crc = 0xFFFFFFFFu;
  while (length >= 8) {
    unsigned int a = crc ^ ((unsigned int)p[0] | (unsigned int)p[1] << 8 | (unsigned int)p[2] << 16 |
                            (unsigned int)p[3] << 24);
    crc = crcTable[7][a & 0xFF] ^ crcTable[6][(a >> 8) & 0xFF] ^ crcTable[5][(a >> 16) & 0xFF] ^
          crcTable[4][a >> 24] ^ crcTable[3][p[4]] ^ crcTable[2][p[5]] ^ crcTable[1][p[6]] ^
          crcTable[0][p[7]];
    p += 8;
    length -= 8;
  }
  while (length--) crc = (crc >> 8) ^ crcTable[0][(crc ^ *p++) & 0xFFu];
  return crc ^ 0xFFFFFFFFu;
}

/* The extension (text after the last dot of the full path) is EX?, ?XE or EX, any case. */
static int IsCandidate(const char* path) {
  const char* dot = strrchr(path, '.');
  size_t n;
  char a, b, c;
  if (dot == NULL) return 0;
  ++dot;
  n = strlen(dot);
  if (n < 2 || n > 3) return 0;
  a = (char)(dot[0] & ~0x20);
  b = (char)(dot[1] & ~0x20);
  if (a == 'E' && b == 'X') return 1;
  if (n != 3) return 0;
  c = (char)(dot[2] & ~0x20);
  return b == 'X' && c == 'E';
}

static void CheckFile(const char* path) {
  char line[MAX_PATH + 32];
  unsigned int crc = 0;
  DWORD got = 0;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    if (SetFilePointer(file, 1024, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
        ReadFile(file, readBuffer, sizeof(readBuffer), &got, NULL) && got == sizeof(readBuffer)) {
      crc = Crc32(readBuffer, got);
      ++readCount;
    }
    CloseHandle(file);
  }
  _snprintf(line, sizeof(line) - 1, "path %s crc=%08X\n", path, crc);
  line[sizeof(line) - 1] = '\0';
  fputs(line, logFile);
  fflush(logFile);
}

static void Walk(const char* directory) {
  char path[MAX_PATH];
  WIN32_FIND_DATAA data;
  HANDLE find;
  size_t prefix = strlen(directory);
  if (prefix + 4 > MAX_PATH) return;
  memcpy(path, directory, prefix);
  memcpy(path + prefix, "*.*", 4);
  find = FindFirstFileA(path, &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    size_t n = strlen(data.cFileName);
    ++entryCount;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0) continue;
      if (prefix + n + 5 > MAX_PATH) continue;
      memcpy(path + prefix, data.cFileName, n);
      path[prefix + n] = '\\';
      path[prefix + n + 1] = '\0';
      Walk(path);
    } else {
      if (prefix + n + 1 > MAX_PATH) continue;
      memcpy(path + prefix, data.cFileName, n + 1);
      if (IsCandidate(path)) {
        ++candidateCount;
        CheckFile(path);
      }
    }
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

int main(int argc, char** argv) {
  char drives[256];
  const char* root;
  DWORD length;
  const char* logPath = argc > 1 ? argv[1] : "C:\\scanfloor.log";
  remove(logPath);
  logFile = fopen(logPath, "a+");
  if (logFile == NULL) {
    fprintf(stderr, "cannot open the log file\n");
    return 1;
  }
  InitCrc();
  length = GetLogicalDriveStringsA(sizeof(drives), drives);
  if (length > 0 && length < sizeof(drives)) {
    for (root = drives; *root != '\0'; root += strlen(root) + 1)
      if (GetDriveTypeA(root) == DRIVE_FIXED) Walk(root);
  }
  fclose(logFile);
  printf("entries=%lu candidates=%lu read=%lu\n", entryCount, candidateCount, readCount);
  return 0;
}
