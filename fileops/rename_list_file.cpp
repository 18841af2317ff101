// The protection driver's rename-list file TKVG.REN in the maker's common directory.
//
// Layout: a plain 16-byte header (creation tick, processor word, CRC-32 of the plain body,
// processor type), then the body: pairs of NUL-terminated source and destination paths and one
// more NUL that ends the list, scrambled with two key tables. The body is written plain while
// pairs are added; finishing the file reads it back, stores its checksum and scrambles it in
// place.
#include "fileops/rename_list_file.h"

#include "detect/crc32.h"
#include "protection/driver_interface.h"
#include "platform/win32.h"

// The key tables the driver unscrambles with: part of the file format, never to be changed.
const unsigned char ScrambleKey16[16] = {
    0x5A, 0xC3, 0x1E, 0x97, 0x2B, 0xE4, 0x70, 0x0D, 0xB6, 0x49, 0xF2, 0x38, 0x81, 0x6C, 0xD5, 0x13,
};
const unsigned char ScrambleKey17[17] = {
    0xA7, 0x3C, 0x65, 0xD9, 0x0E, 0x92, 0x4B, 0xF0, 0x27, 0x8D, 0x51, 0xCA, 0x16, 0x7F, 0xE8, 0x34, 0x9B,
};

namespace {

const long kHeaderSize = 16;
const long kMaximumFileSize = 8192;

static_assert(sizeof(RenameListHeader) == 16, "the header is four 32-bit words");

// Composes the file's path from the common directory; 0 when it does not fit in MAX_PATH.
int ComposePath(char* path) {
  char directory[MAX_PATH];
  if (GetCommonDirectory(directory, MAX_PATH) != 0) return 0;

  size_t length = strlen(directory);
  const char* lastBackslash = strrchr(directory, '\\');
  int separator = lastBackslash != NULL && lastBackslash[1] != '\0';
  if (length + (separator ? 1 : 0) + strlen(VG_RENAME_LIST_NAME) + 1 > MAX_PATH) return 0;

  memcpy(path, directory, length);
  if (separator) path[length++] = '\\';
  strcpy(path + length, VG_RENAME_LIST_NAME);
  return 1;
}

// Writes the plain header of a new file; the checksum slot stays 0 until the file is finished.
int32_t WriteHeader(FILE* file) {
  DWORD tick = GetTickCount();
  SYSTEM_INFO info;
  GetSystemInfo(&info);

  RenameListHeader header;
  header.creationTick = tick;
  memcpy(&header.processorWord, &info, sizeof(header.processorWord));  // dwOemId
  header.bodyChecksum = 0;
  header.processorType = info.dwProcessorType & 0xFFFFu;
  if (fwrite(&header, sizeof(header), 1, file) != 1) return kRenameListIoError;
  return kRenameListOk;
}

// Pairs of strings ended by an empty string: the structure the driver expects.
int32_t CheckStructure(const unsigned char* body, uint32_t length) {
  uint32_t strings = 0;
  for (uint32_t i = 0; i < length; ++i) {
    if (body[i] != 0) continue;
    if (i > 0 && body[i - 1] == 0) return (strings % 2) == 0 ? kRenameListOk : kRenameListBadStructure;
    ++strings;
  }
  return kRenameListBadStructure;  // no terminator
}

// Reads and checks an opened file; on success *buffer holds the plain body.
int32_t ReadBody(FILE* file, unsigned char** buffer) {
  if (fseek(file, 0, SEEK_END) != 0) return kRenameListIoError;
  long size = ftell(file);
  if (size < 0) return kRenameListIoError;
  if (fseek(file, 0, SEEK_SET) != 0) return kRenameListIoError;
  if (size <= kHeaderSize) return kRenameListTooSmall;
  if (size > kMaximumFileSize) return kRenameListTooLarge;

  uint32_t length = (uint32_t)(size - kHeaderSize);
  unsigned char* body = (unsigned char*)malloc(length);
  if (body == NULL) return kRenameListOutOfMemory;

  RenameListHeader header;
  size_t headerRead = fread(&header, sizeof(header), 1, file);
  size_t bodyRead = fread(body, length, 1, file);
  int32_t error = kRenameListOk;
  if (headerRead != 1 || bodyRead != 1) {
    error = kRenameListIoError;
  } else {
    ScrambleRenameList(body, length);
    if (Crc32(body, length) != header.bodyChecksum) {
      error = kRenameListBadChecksum;
    } else {
      error = CheckStructure(body, length);
    }
  }
  if (error != kRenameListOk) {
    free(body);
    return error;
  }
  *buffer = body;
  return kRenameListOk;
}

}  // namespace

int32_t GetCommonDirectory(char* buffer, uint32_t size) {
  if (buffer == NULL || size == 0) return -1;
  HKEY key = NULL;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, VG_COMMON_PATHS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return -1;
  DWORD type = REG_NONE;
  DWORD dataSize = size;
  LONG status = RegQueryValueExA(key, VG_COMMON_VALUE, NULL, &type, (LPBYTE)buffer, &dataSize);
  RegCloseKey(key);

  if (status == ERROR_MORE_DATA) return -2;
  if (status != ERROR_SUCCESS || type != REG_SZ) return -1;
  // A string value is not always stored with its NUL; one that leaves no room for it does not fit.
  if (dataSize > size) return -2;
  if (dataSize == 0 || buffer[dataSize - 1] != '\0') {
    if (dataSize == size) return -2;
    buffer[dataSize] = '\0';
  }
  return 0;
}

FILE* OpenRenameListFile(int create, unsigned char** body, int32_t* error) {
  *error = kRenameListOk;
  char path[MAX_PATH];
  if (!ComposePath(path)) {
    *error = kRenameListNoCommonDirectory;
    return NULL;
  }
  FILE* file = fopen(path, create ? "w+b" : "rb");
  if (file == NULL) {
    *error = kRenameListCannotOpen;
    return NULL;
  }

  if (create) {
    *error = WriteHeader(file);
    if (*error != kRenameListOk) {
      fclose(file);
      return NULL;
    }
    return file;
  }

  unsigned char* buffer = NULL;
  *error = ReadBody(file, &buffer);
  if (*error != kRenameListOk) {
    if (body != NULL) *body = NULL;
    fclose(file);
    return NULL;
  }
  if (body != NULL) {
    *body = buffer;
  } else {
    free(buffer);
  }
  return file;
}

int AddRenameListPair(FILE* file, const char* source, const char* destination, int32_t* error) {
  *error = kRenameListOk;
  if (file == NULL || source == NULL || destination == NULL) {
    *error = kRenameListIoError;
    return 0;
  }
  size_t sourceWritten = fwrite(source, strlen(source) + 1, 1, file);
  size_t destinationWritten = fwrite(destination, strlen(destination) + 1, 1, file);
  if (sourceWritten != 1 || destinationWritten != 1) {
    *error = kRenameListIoError;
    return 0;
  }
  return 1;
}

int CloseRenameListFile(FILE* file, int32_t* error) {
  *error = kRenameListOk;
  if (file == NULL) {
    *error = kRenameListIoError;
    return 0;
  }

  static const unsigned char kTerminator = 0;
  if (fwrite(&kTerminator, 1, 1, file) != 1) *error = kRenameListIoError;

  uint32_t length = 0;
  if (*error == kRenameListOk) {
    long size = ftell(file);
    if (size <= kHeaderSize || fseek(file, kHeaderSize, SEEK_SET) != 0) {
      *error = kRenameListIoError;
    } else {
      length = (uint32_t)(size - kHeaderSize);
    }
  }

  unsigned char* buffer = NULL;
  if (*error == kRenameListOk) {
    buffer = (unsigned char*)malloc(length);
    if (buffer == NULL) *error = kRenameListOutOfMemory;
  }

  uint32_t checksum = 0;
  if (*error == kRenameListOk && fread(buffer, length, 1, file) != 1) *error = kRenameListIoError;
  if (*error == kRenameListOk) {
    checksum = Crc32(buffer, length);
    ScrambleRenameList(buffer, length);
    if (fseek(file, kHeaderSize, SEEK_SET) != 0 || fwrite(buffer, length, 1, file) != 1) {
      *error = kRenameListIoError;
    }
  }
  free(buffer);

  if (*error == kRenameListOk) {
    unsigned char bytes[4] = {(unsigned char)checksum, (unsigned char)(checksum >> 8),
                              (unsigned char)(checksum >> 16), (unsigned char)(checksum >> 24)};
    if (fseek(file, 8, SEEK_SET) != 0 || fwrite(bytes, sizeof(bytes), 1, file) != 1) {
      *error = kRenameListIoError;
    }
  }

  // The stream is closed on every path; an earlier failure keeps its own code.
  if (fclose(file) != 0 && *error == kRenameListOk) *error = kRenameListCloseFailed;
  return *error == kRenameListOk ? 1 : 0;
}

void ScrambleRenameList(unsigned char* buffer, uint32_t length) {
  uint32_t i16 = 0;
  uint32_t i17 = 0;
  for (uint32_t i = 0; i < length; ++i) {
    buffer[i] = (unsigned char)(buffer[i] ^ ScrambleKey16[i16] ^ ScrambleKey17[i17]);
    if (++i16 == sizeof(ScrambleKey16)) i16 = 0;
    if (++i17 == sizeof(ScrambleKey17)) i17 = 0;
  }
}
