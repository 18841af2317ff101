// Harmless test samples: files whose bytes 1024 to 8191 carry a chosen CRC-32, so that the
// signature check takes them for the worm. Every test and the demo make samples with these.
#ifndef VORLAX_TOOLS_SAMPLE_WRITER_H
#define VORLAX_TOOLS_SAMPLE_WRITER_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace samples {

const uint32_t kRow0Crc = 0x7CBFBAB8u;
const uint32_t kRow1Crc = 0x5DDF5960u;
const size_t kSignedBegin = 1024;
const size_t kSignedEnd = 8192;

// The standard reflected CRC-32, one bit at a time: the tests' own, independent of the product's.
uint32_t BitwiseCrc32(const unsigned char* data, size_t length);
uint32_t BitwiseCrc32(const std::string& bytes);

// size bytes (at least 8192) generated from seed, with four bytes of the range set so that
// bytes 1024..8191 have the CRC-32 crc.
std::string MakeSample(uint32_t crc, size_t size = 8192, uint32_t seed = 1);
// base (at least 8192 bytes) with four bytes of the range set so that the range has crc.
std::string StampSample(const std::string& base, uint32_t crc);
// A sample with one bit of the range flipped: it never matches.
std::string MakeNearMiss(uint32_t crc, size_t size = 8192, uint32_t seed = 1);
// base stamped for crc, then one bit of the four stamped bytes flipped: it never matches, and
// it differs from base only where StampSample writes (bytes 4096..4099).
std::string StampNearMiss(const std::string& base, uint32_t crc);
// Ordinary content of size bytes from seed (no particular CRC).
std::string MakePlain(size_t size, uint32_t seed = 1);

}  // namespace samples

#endif
