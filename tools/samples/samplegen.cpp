// samplegen: writes harmless test files for the signature check (see --help).
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tools/samples/sample_writer.h"

namespace {

const char kUsage[] =
    "usage: samplegen KIND [options] -o OUTPUT\n"
    "\n"
    "Writes a harmless file for testing the signature check. A sample's bytes 1024 to 8191\n"
    "have a chosen CRC-32: four bytes at offsets 4096..4099 are set to make it so.\n"
    "\n"
    "KIND\n"
    "  sample   bytes 1024..8191 carry the CRC-32 of the signature row (or --crc)\n"
    "  near     a near miss: a sample with one bit of the signed range flipped; never matches\n"
    "  plain    ordinary content with no particular CRC-32 (any size, 0 included)\n"
    "\n"
    "options\n"
    "  --row 0|1    signature row: 0 gives 0x7CBFBAB8, 1 gives 0x5DDF5960 (default 0)\n"
    "  --crc VALUE  any CRC-32 instead of a row's (decimal, or hexadecimal with 0x)\n"
    "  --size N     size of generated content in bytes (default 8192; sample and near\n"
    "               need at least 8192)\n"
    "  --seed N     seed of the generated content (default 1)\n"
    "  --base FILE  sample and near: start from the bytes of FILE (at least 8192 bytes)\n"
    "               instead of generated content; only bytes 4096..4099 change, so a\n"
    "               program whose headers fill the first 8192 bytes still runs\n"
    "  -o FILE      the file to write (replaced when it exists)\n"
    "  --help       this text\n"
    "\n"
    "examples\n"
    "  samplegen sample --row 1 --size 20000 --seed 7 -o worm1.exe\n"
    "  samplegen sample --row 0 --base sleeper.exe -o sleeper_row0.exe\n"
    "  samplegen near --row 0 --base sleeper.exe -o sleeper_near0.exe\n"
    "  samplegen plain --size 8191 -o short.exe\n"
    "\n"
    "Exit code 0 when the file was written, 1 on a failure, 2 on a usage error.\n";

int UsageError(const char* message, const char* argument) {
  fprintf(stderr, "samplegen: %s%s%s\n", message, argument ? ": " : "", argument ? argument : "");
  fprintf(stderr, "Try 'samplegen --help'.\n");
  return 2;
}

// Whole-string unsigned number, decimal or 0x hexadecimal, at most max.
bool ParseNumber(const char* text, unsigned long long max, unsigned long long* value) {
  if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v > max) return false;
  *value = v;
  return true;
}

bool ReadWholeFile(const char* path, std::string* out) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  out->clear();
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->append(chunk, n);
  bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

bool WriteWholeFile(const char* path, const std::string& data) {
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  if (fclose(f) != 0) ok = false;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return UsageError("no KIND given", nullptr);
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kUsage, stdout);
      return 0;
    }
  }

  std::string kind = argv[1];
  if (kind != "sample" && kind != "near" && kind != "plain") return UsageError("unknown KIND", argv[1]);

  uint32_t crc = samples::kRow0Crc;
  bool haveRow = false, haveCrc = false, haveSize = false;
  unsigned long long size = 8192, seed = 1;
  const char* base = nullptr;
  const char* output = nullptr;

  for (int i = 2; i < argc; ++i) {
    const char* option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long long number = 0;
    if (strcmp(option, "--row") == 0) {
      if (value == nullptr || (strcmp(value, "0") != 0 && strcmp(value, "1") != 0))
        return UsageError("--row takes 0 or 1", value);
      crc = value[0] == '0' ? samples::kRow0Crc : samples::kRow1Crc;
      haveRow = true;
    } else if (strcmp(option, "--crc") == 0) {
      if (!ParseNumber(value, 0xFFFFFFFFull, &number)) return UsageError("--crc takes a 32-bit value", value);
      crc = static_cast<uint32_t>(number);
      haveCrc = true;
    } else if (strcmp(option, "--size") == 0) {
      if (!ParseNumber(value, 1ull << 31, &size)) return UsageError("--size takes a byte count up to 2 GB", value);
      haveSize = true;
    } else if (strcmp(option, "--seed") == 0) {
      if (!ParseNumber(value, 0xFFFFFFFFull, &seed)) return UsageError("--seed takes a 32-bit value", value);
    } else if (strcmp(option, "--base") == 0) {
      if (value == nullptr) return UsageError("--base takes a file", nullptr);
      base = value;
    } else if (strcmp(option, "-o") == 0) {
      if (value == nullptr) return UsageError("-o takes a file", nullptr);
      output = value;
    } else {
      return UsageError("unknown option", option);
    }
    ++i;
  }

  if (output == nullptr) return UsageError("no output file (-o) given", nullptr);
  if (haveRow && haveCrc) return UsageError("--row and --crc exclude each other", nullptr);
  if (kind == "plain" && (haveRow || haveCrc || base != nullptr))
    return UsageError("plain takes only --size, --seed and -o", nullptr);
  if (base != nullptr && haveSize) return UsageError("--base and --size exclude each other", nullptr);
  if (kind != "plain" && base == nullptr && size < samples::kSignedEnd)
    return UsageError("a sample needs at least 8192 bytes", nullptr);

  std::string bytes;
  if (kind == "plain") {
    bytes = samples::MakePlain(static_cast<size_t>(size), static_cast<uint32_t>(seed));
  } else if (base != nullptr) {
    std::string original;
    if (!ReadWholeFile(base, &original)) {
      fprintf(stderr, "samplegen: cannot read %s: %s\n", base, strerror(errno));
      return 1;
    }
    if (original.size() < samples::kSignedEnd) {
      fprintf(stderr, "samplegen: %s has %zu bytes; a base needs at least 8192\n", base, original.size());
      return 1;
    }
    bytes = kind == "sample" ? samples::StampSample(original, crc) : samples::StampNearMiss(original, crc);
  } else {
    std::string generated = samples::MakePlain(static_cast<size_t>(size), static_cast<uint32_t>(seed));
    bytes = kind == "sample" ? samples::StampSample(generated, crc) : samples::StampNearMiss(generated, crc);
  }

  if (!WriteWholeFile(output, bytes)) {
    fprintf(stderr, "samplegen: cannot write %s: %s\n", output, strerror(errno));
    return 1;
  }
  return 0;
}
