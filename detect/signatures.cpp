// Signature check: the CRC-32 of fixed stretches of a file against the worm's known values.
#include "detect/signatures.h"

#include "detect/crc32.h"
#include "platform/win32.h"

// Both variants sign bytes 1024 up to 8192 of the executable.
const SignatureEntry SignatureTable[3] = {
    {0x400, 0x1C00, 0x7CBFBAB8u},
    {0x400, 0x1C00, 0x5DDF5960u},
    {0, 0, 0},
};

namespace {

const DWORD kReadBufferSize = 65536;

// The one read buffer: checking a file allocates nothing. Not re-entrant.
unsigned char readBuffer[kReadBufferSize];

}  // namespace

int CheckFileSignatures(const char* fileName, const SignatureEntry* table, int32_t* matchedIndex) {
  *matchedIndex = -1;

  HANDLE file = CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;

  // Rows that sign the same stretch share one read: the CRC of the last stretch read whole is
  // kept for the rows after it.
  int haveStretch = 0;
  uint32_t stretchOffset = 0;
  uint32_t stretchLength = 0;
  uint32_t stretchCrc = 0;

  for (int32_t index = 0; table[index].length != 0; ++index) {
    const SignatureEntry* row = &table[index];

    if (haveStretch && row->offset == stretchOffset && row->length == stretchLength) {
      if (stretchCrc == row->crc) {
        *matchedIndex = index;
        break;
      }
      continue;
    }

    // Without a high part the distance is a signed 32-bit value: an offset of 2 GB or more
    // fails like any other seek. Below that, INVALID_SET_FILE_POINTER only means failure.
    DWORD position = SetFilePointer(file, (LONG)row->offset, NULL, FILE_BEGIN);
    if (position == INVALID_SET_FILE_POINTER) {
      printf("seek failed\n");
      continue;
    }
    if (row->length > kReadBufferSize) continue;

    DWORD bytesRead = 0;
    if (!ReadFile(file, readBuffer, row->length, &bytesRead, NULL) || bytesRead != row->length) continue;

    haveStretch = 1;
    stretchOffset = row->offset;
    stretchLength = row->length;
    stretchCrc = Crc32(readBuffer, bytesRead);
    if (stretchCrc == row->crc) {
      *matchedIndex = index;
      break;
    }
  }

  CloseHandle(file);
  return 1;
}

int IsFileInfected(const char* path, int* infected) {
  int32_t matchedIndex = -1;
  int result = CheckFileSignatures(path, SignatureTable, &matchedIndex);
  *infected = (matchedIndex != -1) ? 1 : 0;
  return result;
}
