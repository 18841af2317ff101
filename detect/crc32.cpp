// The standard reflected CRC-32: polynomial 0xEDB88320, register preset to all ones and
// complemented at the end.
//
// Crc32 uses a slicing-by-8 table (eight 256-entry tables, 8 KB, written out at compile time),
// which folds eight bytes per step with eight independent look-ups. It gives exactly the same
// result as the classic one-byte-per-step loop kept below as Crc32Bytewise. Only plain 32-bit
// integer operations and byte loads are used, so it runs on any x86 from the 386 on, with no
// alignment or byte-order assumption (the words are assembled from single bytes).
#include "detect/crc32.h"

#include <stddef.h>

uint32_t Crc32Bytewise(const void* data, uint32_t length);

namespace {

const uint32_t kPolynomial = 0xEDB88320u;

struct Crc32Tables {
  uint32_t t[8][256];
};

constexpr Crc32Tables MakeTables() {
  Crc32Tables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1u) ? (kPolynomial ^ (c >> 1)) : (c >> 1);
    }
    tables.t[0][n] = c;
  }
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = tables.t[0][n];
    for (int s = 1; s < 8; ++s) {
      c = tables.t[0][c & 0xFFu] ^ (c >> 8);
      tables.t[s][n] = c;
    }
  }
  return tables;
}

constexpr Crc32Tables kTables = MakeTables();

}  // namespace

// One table look-up per byte; the reference the fast routine must agree with.
uint32_t Crc32Bytewise(const void* data, uint32_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < length; ++i) {
    crc = (crc >> 8) ^ kTables.t[0][(crc ^ p[i]) & 0xFFu];
  }
  return crc ^ 0xFFFFFFFFu;
}

uint32_t Crc32(const void* data, uint32_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  const uint32_t(*t)[256] = kTables.t;

  while (length >= 8) {
    uint32_t one = crc ^ (static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                          (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
    crc = t[7][one & 0xFFu] ^ t[6][(one >> 8) & 0xFFu] ^ t[5][(one >> 16) & 0xFFu] ^ t[4][one >> 24] ^
          t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    length -= 8;
  }
  while (length != 0) {
    crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFFu];
    --length;
  }
  return crc ^ 0xFFFFFFFFu;
}
