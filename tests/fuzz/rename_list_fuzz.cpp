// Fuzz target for the reader of the driver's rename-list file: any bytes as TKVG.REN. The
// reader must give exactly the error the file deserves, judged here from the bytes alone, and
// when it accepts the file hand out its plain body and the stream at the end of the file;
// otherwise no body and no stream.
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "detect/crc32.h"
#include "fileops/rename_list_file.h"
#include "sim/sim.h"
#include "sim/sim_registry.h"

namespace {

const char kPath[] = "C:\\Shared\\TKVG.REN";

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "rename_list_fuzz: %s\n", what);
  abort();
}

uint32_t Word(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// What a reader must answer for these bytes, and the plain body when it accepts them.
int32_t Expected(const uint8_t* data, size_t size, std::string* plain) {
  if (size <= 16) return kRenameListTooSmall;
  if (size > 8192) return kRenameListTooLarge;
  plain->clear();
  for (size_t i = 16; i < size; ++i) {
    size_t n = i - 16;
    plain->push_back(static_cast<char>(data[i] ^ ScrambleKey16[n % 16] ^ ScrambleKey17[n % 17]));
  }
  if (Crc32(plain->data(), static_cast<uint32_t>(plain->size())) != Word(data + 8)) return kRenameListBadChecksum;
  // The list ends at the first NUL that follows a NUL; every NUL before it ends one string.
  size_t end = plain->find(std::string(2, '\0'));
  if (end == std::string::npos) return kRenameListBadStructure;
  size_t strings = 0;
  for (size_t i = 0; i <= end; ++i) strings += (*plain)[i] == '\0' ? 1 : 0;
  return strings % 2 == 0 ? kRenameListOk : kRenameListBadStructure;
}

unsigned char kUntouched;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  // One machine for every input: each input only replaces the file, and every call leaves the
  // machine as it found it (no fault injected, the file closed).
  static bool ready = false;
  if (!ready) {
    sim::Reset();
    sim::MakeDirectory("C:\\Shared");
    sim::RegPutString("HKEY_LOCAL_MACHINE\\Software\\Morvane\\Common\\Paths", "Common", "C:\\Shared");
    ready = true;
  }

  // The reader ignores the processor word at offset 4. When its lowest bit is set, the right
  // checksum is put in, so that random bodies get past the checksum to the structure rules.
  std::string bytes(reinterpret_cast<const char*>(input), size);
  if (size > 16 && (input[4] & 1) != 0) {
    std::string plain;
    for (size_t i = 16; i < size; ++i) {
      size_t n = i - 16;
      plain.push_back(static_cast<char>(input[i] ^ ScrambleKey16[n % 16] ^ ScrambleKey17[n % 17]));
    }
    uint32_t crc = Crc32(plain.data(), static_cast<uint32_t>(plain.size()));
    for (int i = 0; i < 4; ++i) bytes[8 + static_cast<size_t>(i)] = static_cast<char>((crc >> (8 * i)) & 0xFFu);
  }
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  sim::PutFile(kPath, bytes);

  std::string plain;
  int32_t expected = Expected(data, size, &plain);

  unsigned char* body = &kUntouched;
  int32_t error = -1;
  FILE* file = OpenRenameListFile(0, &body, &error);
  if (error != expected) Fail("wrong error code");
  if (expected != kRenameListOk) {
    if (file != nullptr) Fail("a stream for a rejected file");
    if (body != nullptr) Fail("a body for a rejected file");
  } else {
    if (file == nullptr || body == nullptr || body == &kUntouched) Fail("nothing handed out for a valid file");
    if (std::string(reinterpret_cast<char*>(body), plain.size()) != plain) Fail("the body is not the plain body");
    if (ftell(file) != static_cast<long>(size)) Fail("the stream is not at the end of the file");
    fclose(file);
    free(body);
  }
  // A rejected file was closed: an exclusive open succeeds.
  HANDLE h = CreateFileA(kPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) Fail("the file is still open");
  CloseHandle(h);
  return 0;
}
