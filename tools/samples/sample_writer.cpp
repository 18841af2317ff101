// Sample writer. The CRC-32 of a byte range is an affine function over GF(2) of any 32 bits
// in it, so four bytes that solve a 32x32 linear system give the range any CRC wanted.
// This file keeps its own bitwise CRC-32, independent of the product's.
#include "tools/samples/sample_writer.h"

#include <stdlib.h>

namespace samples {

uint32_t BitwiseCrc32(const unsigned char* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

uint32_t BitwiseCrc32(const std::string& bytes) {
  return BitwiseCrc32(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

namespace {

const size_t kPatchOffset = 4096;  // inside the signed range; four bytes

uint32_t RangeCrc(const std::string& bytes) {
  return BitwiseCrc32(reinterpret_cast<const unsigned char*>(bytes.data()) + kSignedBegin,
                      kSignedEnd - kSignedBegin);
}

void SetPatch(std::string* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[kPatchOffset + static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
}

}  // namespace

std::string MakePlain(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x >> 24);
  }
  // Starts like an executable, so that it also looks the part in a hex dump.
  if (size >= 2) {
    out[0] = 'M';
    out[1] = 'Z';
  }
  return out;
}

std::string StampSample(const std::string& base, uint32_t crc) {
  if (base.size() < kSignedEnd) abort();
  std::string bytes = base;
  SetPatch(&bytes, 0);
  uint32_t constant = RangeCrc(bytes);
  uint32_t columns[32];
  for (int i = 0; i < 32; ++i) {
    SetPatch(&bytes, 1u << i);
    columns[i] = RangeCrc(bytes) ^ constant;
  }
  // Solve sum(x_i * columns[i]) = crc ^ constant by Gauss-Jordan elimination over GF(2),
  // tracking which patch bits make up each reduced column.
  uint32_t combo[32];
  for (int i = 0; i < 32; ++i) combo[i] = 1u << i;
  int rank = 0;
  for (int bit = 0; bit < 32 && rank < 32; ++bit) {
    int pivot = -1;
    for (int r = rank; r < 32; ++r)
      if (columns[r] & (1u << bit)) {
        pivot = r;
        break;
      }
    if (pivot < 0) continue;
    uint32_t tc = columns[pivot], tm = combo[pivot];
    columns[pivot] = columns[rank];
    combo[pivot] = combo[rank];
    columns[rank] = tc;
    combo[rank] = tm;
    for (int r = 0; r < 32; ++r)
      if (r != rank && (columns[r] & (1u << bit))) {
        columns[r] ^= columns[rank];
        combo[r] ^= combo[rank];
      }
    ++rank;
  }
  uint32_t want = crc ^ constant;
  uint32_t patch = 0;
  for (int r = 0; r < rank; ++r) {
    // After elimination each column has one leading bit of its own.
    uint32_t lead = columns[r] & (0u - columns[r]);
    if (want & lead) {
      want ^= columns[r];
      patch ^= combo[r];
    }
  }
  if (want != 0) abort();  // cannot happen: four contiguous bytes always reach every CRC
  SetPatch(&bytes, patch);
  if (RangeCrc(bytes) != crc) abort();
  return bytes;
}

std::string MakeSample(uint32_t crc, size_t size, uint32_t seed) {
  return StampSample(MakePlain(size < kSignedEnd ? kSignedEnd : size, seed), crc);
}

std::string MakeNearMiss(uint32_t crc, size_t size, uint32_t seed) {
  std::string bytes = MakeSample(crc, size, seed);
  bytes[kSignedBegin + 100] = static_cast<char>(bytes[kSignedBegin + 100] ^ 0x01);
  return bytes;
}

std::string StampNearMiss(const std::string& base, uint32_t crc) {
  std::string bytes = StampSample(base, crc);
  bytes[kPatchOffset] = static_cast<char>(bytes[kPatchOffset] ^ 0x01);
  return bytes;
}

}  // namespace samples
