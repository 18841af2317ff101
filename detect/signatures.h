// Recognises a copy of the worm by the CRC-32 of fixed stretches of the file.
#ifndef VORLAX_DETECT_SIGNATURES_H
#define VORLAX_DETECT_SIGNATURES_H

#include <stdint.h>

struct SignatureEntry {
  uint32_t offset;
  uint32_t length;  // 0 ends a table
  uint32_t crc;
};

// The worm's two variants, then the end row.
extern const SignatureEntry SignatureTable[3];

// Reads each row's stretch and stops at the first whose CRC-32 matches. Returns 1 when the file
// was examined (matchedIndex is the row or -1), 0 when it cannot be opened (matchedIndex -1).
int CheckFileSignatures(const char* fileName, const SignatureEntry* table, int32_t* matchedIndex);

// Sets *infected to 1 when a row of SignatureTable matched, else 0; returns CheckFileSignatures'
// result unchanged.
int IsFileInfected(const char* path, int* infected);

#endif
