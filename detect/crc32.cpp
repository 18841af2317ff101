// The standard reflected CRC-32: polynomial 0xEDB88320, register preset to all ones and
// complemented at the end.
//
// Crc32 gives exactly the result of the classic one-byte-per-step loop (kept below as
// Crc32Bytewise), only faster:
// - slicing by 8: eight 256-entry tables fold eight bytes per step with eight independent
//   look-ups instead of eight dependent ones;
// - four streams: a block of 4 x 256 bytes is split in four quarters whose CRC registers run
//   side by side (the processor overlaps their look-ups), then joined. Joining uses that the
//   register is linear: running it over A then B gives Z(reg(A)) ^ reg0(B), where reg0 starts
//   from zero and Z is the effect of 256 zero bytes, itself a linear map applied with four
//   table look-ups.
// Only 32-bit integer operations and byte loads are used, so it runs on any x86 from the 386
// on, with no alignment or byte-order assumption. The tables (12 KB) are built at compile time.
#include "detect/crc32.h"

#include <stddef.h>

uint32_t Crc32Bytewise(const void* data, uint32_t length);

namespace {

const uint32_t kPolynomial = 0xEDB88320u;
const uint32_t kStreams = 4;
const uint32_t kStreamLength = 256;  // bytes per stream and block; a multiple of 8
static_assert(kStreams == 4, "the block loop below runs four registers");

struct Crc32Tables {
  uint32_t slice[8][256];  // slice[k][b]: register b after 1 + k zero bytes
  uint32_t zeros[4][256];  // zeros[k][b]: register (b << 8k) after kStreamLength zero bytes
};

constexpr uint32_t OverZeros(const Crc32Tables& tables, uint32_t crc, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) crc = (crc >> 8) ^ tables.slice[0][crc & 0xFFu];
  return crc;
}

constexpr Crc32Tables MakeTables() {
  Crc32Tables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? (kPolynomial ^ (c >> 1)) : (c >> 1);
    tables.slice[0][n] = c;
  }
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = tables.slice[0][n];
    for (int s = 1; s < 8; ++s) {
      c = tables.slice[0][c & 0xFFu] ^ (c >> 8);
      tables.slice[s][n] = c;
    }
  }
  // The zero-run map is linear: build it from the image of each register bit.
  uint32_t bitImage[32] = {};
  for (int bit = 0; bit < 32; ++bit) bitImage[bit] = OverZeros(tables, 1u << bit, kStreamLength);
  for (int k = 0; k < 4; ++k) {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t image = 0;
      for (int bit = 0; bit < 8; ++bit)
        if (b & (1u << bit)) image ^= bitImage[8 * k + bit];
      tables.zeros[k][b] = image;
    }
  }
  return tables;
}

constexpr Crc32Tables kTables = MakeTables();

inline uint32_t Load32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// Eight bytes into the register.
inline uint32_t Step8(uint32_t crc, const unsigned char* p) {
  const uint32_t(*t)[256] = kTables.slice;
  uint32_t one = crc ^ Load32(p);
  uint32_t two = Load32(p + 4);
  return t[7][one & 0xFFu] ^ t[6][(one >> 8) & 0xFFu] ^ t[5][(one >> 16) & 0xFFu] ^ t[4][one >> 24] ^
         t[3][two & 0xFFu] ^ t[2][(two >> 8) & 0xFFu] ^ t[1][(two >> 16) & 0xFFu] ^ t[0][two >> 24];
}

// The register after kStreamLength further zero bytes.
inline uint32_t SkipStream(uint32_t crc) {
  const uint32_t(*z)[256] = kTables.zeros;
  return z[0][crc & 0xFFu] ^ z[1][(crc >> 8) & 0xFFu] ^ z[2][(crc >> 16) & 0xFFu] ^ z[3][crc >> 24];
}

}  // namespace

// One table look-up per byte; the reference the fast routine must agree with.
uint32_t Crc32Bytewise(const void* data, uint32_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < length; ++i) crc = (crc >> 8) ^ kTables.slice[0][(crc ^ p[i]) & 0xFFu];
  return crc ^ 0xFFFFFFFFu;
}

uint32_t Crc32(const void* data, uint32_t length) { return Crc32Continue(0, data, length); }

uint32_t Crc32Continue(uint32_t previous, const void* data, uint32_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t crc = previous ^ 0xFFFFFFFFu;

  while (length >= kStreams * kStreamLength) {
    uint32_t c0 = crc, c1 = 0, c2 = 0, c3 = 0;
    for (uint32_t i = 0; i < kStreamLength; i += 8) {
      c0 = Step8(c0, p + i);
      c1 = Step8(c1, p + kStreamLength + i);
      c2 = Step8(c2, p + 2 * kStreamLength + i);
      c3 = Step8(c3, p + 3 * kStreamLength + i);
    }
    crc = SkipStream(SkipStream(SkipStream(c0) ^ c1) ^ c2) ^ c3;
    p += kStreams * kStreamLength;
    length -= kStreams * kStreamLength;
  }
  while (length >= 8) {
    crc = Step8(crc, p);
    p += 8;
    length -= 8;
  }
  while (length != 0) {
    crc = (crc >> 8) ^ kTables.slice[0][(crc ^ *p++) & 0xFFu];
    --length;
  }
  return crc ^ 0xFFFFFFFFu;
}
