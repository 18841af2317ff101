// CRC-32 and the signature check of files on the simulated disk.
#include <stdint.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "detect/crc32.h"
#include "detect/signatures.h"
#include "sim/sim.h"
#include "test_support.h"
#include "tools/samples/sample_writer.h"

// The one-byte-per-step reference that lives beside the fast routine.
uint32_t Crc32Bytewise(const void* data, uint32_t length);

namespace {

uint32_t CrcOf(const std::string& bytes, size_t offset, size_t length) {
  return Crc32Bytewise(bytes.data() + offset, static_cast<uint32_t>(length));
}

TEST(Crc32, KnownValues) {
  sim::Reset();
  EXPECT_EQ(Crc32("", 0), 0u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
  EXPECT_EQ(Crc32("abc", 3), 0x352441C2u);
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32Bytewise("", 0), 0u);
  EXPECT_EQ(Crc32Bytewise("abc", 3), 0x352441C2u);
  EXPECT_EQ(Crc32Bytewise("123456789", 9), 0xCBF43926u);
  // Longer than one eight-byte step, so that the sliced loop is exercised.
  const char* fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(Crc32(fox, 43), 0x414FA339u);
  // The sample writer's own bitwise CRC put these values on the signed range.
  std::string row0 = samples::MakeSample(samples::kRow0Crc, 9000, 7);
  std::string row1 = samples::MakeSample(samples::kRow1Crc, 8192, 8);
  EXPECT_EQ(Crc32(row0.data() + 1024, 7168), samples::kRow0Crc);
  EXPECT_EQ(Crc32(row1.data() + 1024, 7168), samples::kRow1Crc);
}

TEST(Crc32, FastVariantEqualsReferenceOnEveryLengthAndAlignment) {
  sim::Reset();
  std::mt19937 random(20240611u);
  std::vector<unsigned char> buffer(8192 + 16);
  for (unsigned char& b : buffer) b = static_cast<unsigned char>(random());
  for (uint32_t offset = 0; offset < 16; ++offset) {
    for (uint32_t length = 0; length <= 8192; ++length) {
      const unsigned char* p = buffer.data() + offset;
      uint32_t fast = Crc32(p, length);
      uint32_t reference = Crc32Bytewise(p, length);
      if (fast != reference) {
        ADD_FAILURE() << "offset " << offset << " length " << length << ": " << std::hex << fast
                      << " != " << reference;
        return;
      }
    }
  }
}

const char kPath[] = "C:\\data\\app.exe";

struct SignatureCase {
  const char* name;
  std::function<void()> setUp;                // puts kPath (or not) and holds, maps, faults
  std::vector<SignatureEntry> table;          // empty: the program's SignatureTable
  int result;
  int32_t index;
  const char* console;
};

std::vector<SignatureCase> Cases() {
  using samples::kRow0Crc;
  using samples::kRow1Crc;
  std::string big = samples::MakePlain(1024 + 65537, 3);
  std::string bigSample = samples::StampSample(big, kRow0Crc);
  const uint32_t crc65537 = CrcOf(bigSample, 1024, 65537);
  std::string exact = samples::MakePlain(65536, 4);
  const uint32_t crc65536 = CrcOf(exact, 0, 65536);
  // The row asks for more bytes than the file has; the bytes it does have carry the row's CRC.
  std::string shortFile = samples::MakePlain(3000, 6);
  const uint32_t crcOfWhatIsThere = CrcOf(shortFile, 1000, 2000);

  return {
      {"row 0 sample", [] { sim::PutFile(kPath, samples::MakeSample(kRow0Crc)); }, {}, 1, 0, ""},
      {"row 1 sample, larger file",
       [] { sim::PutFile(kPath, samples::MakeSample(kRow1Crc, 40000, 2)); }, {}, 1, 1, ""},
      {"near miss of row 0", [] { sim::PutFile(kPath, samples::MakeNearMiss(kRow0Crc)); }, {}, 1, -1, ""},
      {"near miss of row 1", [] { sim::PutFile(kPath, samples::MakeNearMiss(kRow1Crc)); }, {}, 1, -1, ""},
      {"ordinary file", [] { sim::PutFile(kPath, samples::MakePlain(20000, 5)); }, {}, 1, -1, ""},
      {"8191 bytes of a sample",
       [] { sim::PutFile(kPath, samples::MakeSample(kRow0Crc).substr(0, 8191)); }, {}, 1, -1, ""},
      {"file ends inside the stretch", [shortFile] { sim::PutFile(kPath, shortFile); },
       {{1000, 2001, crcOfWhatIsThere}, {0, 0, 0}}, 1, -1, ""},
      {"empty file", [] { sim::PutFile(kPath, ""); }, {}, 1, -1, ""},
      {"first row ends the table", [] { sim::PutFile(kPath, samples::MakeSample(kRow0Crc)); },
       {{0, 0, 0}, {1024, 7168, kRow0Crc}, {0, 0, 0}}, 1, -1, ""},
      // The long row would match if it were read; skipping it keeps the next row's index.
      {"row of 65537 bytes skipped", [bigSample] { sim::PutFile(kPath, bigSample); },
       {{1024, 65537, crc65537}, {1024, 7168, kRow0Crc}, {0, 0, 0}}, 1, 1, ""},
      {"row of exactly 65536 bytes read", [exact] { sim::PutFile(kPath, exact); },
       {{0, 65536, crc65536}, {0, 0, 0}}, 1, 0, ""},
      // A seek to 2 GB or more fails (the distance is signed without a high part): a row after
      // the match would print "seek failed" if the walk went on.
      {"walk stops at the first matching row", [] { sim::PutFile(kPath, samples::MakeSample(kRow1Crc)); },
       {{1024, 7168, kRow1Crc}, {0x80000000u, 7168, kRow1Crc}, {0, 0, 0}}, 1, 0, ""},
      {"offset of 2 GB fails to seek", [] { sim::PutFile(kPath, samples::MakeSample(kRow1Crc)); },
       {{0x80000000u, 7168, kRow1Crc}, {1024, 7168, kRow1Crc}, {0, 0, 0}}, 1, 1, "seek failed\r\n"},
      {"held open without read sharing",
       [] {
         sim::PutFile(kPath, samples::MakeSample(kRow0Crc));
         sim::HoldOpen(kPath, GENERIC_READ, 0);
       },
       {}, 0, -1, ""},
      {"held open for writing with full sharing",
       [] {
         sim::PutFile(kPath, samples::MakeSample(kRow0Crc));
         sim::HoldOpen(kPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
       },
       {}, 0, -1, ""},
      {"held open for reading with read sharing",
       [] {
         sim::PutFile(kPath, samples::MakeSample(kRow1Crc));
         sim::HoldOpen(kPath, GENERIC_READ, FILE_SHARE_READ);
       },
       {}, 1, 1, ""},
      {"running image",
       [] {
         sim::PutFile(kPath, samples::MakeSample(kRow0Crc));
         sim::MapImage(kPath);
       },
       {}, 1, 0, ""},
      {"seek fails on the first row, the next row is still tried",
       [] {
         sim::PutFile(kPath, samples::MakeSample(kRow1Crc));
         testing_support::FailApi("SetFilePointer", 1, false);
       },
       {{1024, 7168, kRow1Crc}, {1024, 7168, kRow1Crc}, {0, 0, 0}}, 1, 1, "seek failed\r\n"},
      {"seek fails on every row",
       [] {
         sim::PutFile(kPath, samples::MakeSample(kRow0Crc));
         testing_support::FailApi("SetFilePointer");
       },
       {}, 1, -1, "seek failed\r\nseek failed\r\n"},
      {"read fails on the first row, the next row is still tried",
       [] {
         sim::PutFile(kPath, samples::MakeSample(kRow1Crc));
         testing_support::FailApi("ReadFile", 1, false);
       },
       {{1024, 7168, kRow1Crc}, {1024, 7168, kRow1Crc}, {0, 0, 0}}, 1, 1, ""},
      // Both rows of the program's table sign the same stretch: it is read once, so a seek
      // that would fail for the second row is never made.
      {"rows on one stretch share its read",
       [] {
         sim::PutFile(kPath, samples::MakeSample(kRow1Crc));
         testing_support::FailApi("SetFilePointer", 2, true);
       },
       {}, 1, 1, ""},
      {"missing file", [] {}, {}, 0, -1, ""},
      {"missing directory", [] { sim::PutFile("C:\\other\\app.exe", samples::MakeSample(kRow0Crc)); },
       {}, 0, -1, ""},
      {"directory", [] { sim::MakeDirectory(kPath); }, {}, 0, -1, ""},
  };
}

TEST(CheckFileSignatures, Cases) {
  for (const SignatureCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    sim::Reset();
    c.setUp();
    const int handlesBefore = sim::OpenHandleCount();
    const SignatureEntry* table = c.table.empty() ? SignatureTable : c.table.data();

    int32_t index = 12345;
    EXPECT_EQ(CheckFileSignatures(kPath, table, &index), c.result);
    EXPECT_EQ(index, c.index);
    EXPECT_EQ(sim::ConsoleOutput(), c.console);
    EXPECT_EQ(sim::OpenHandleCount(), handlesBefore);

    // IsFileInfected on the same file, when the program's table is the one in question.
    if (c.table.empty()) {
      sim::Reset();
      c.setUp();
      int infected = 7;
      EXPECT_EQ(IsFileInfected(kPath, &infected), c.result);
      EXPECT_EQ(infected, c.index != -1 ? 1 : 0);
      EXPECT_EQ(sim::OpenHandleCount(), handlesBefore);
    }
  }
}

// Checking files allocates nothing, so it works when every allocation would fail.
TEST(CheckFileSignatures, AllocatesNothing) {
  sim::Reset();
  sim::PutFile("C:\\a.exe", samples::MakeSample(samples::kRow0Crc));
  sim::PutFile("C:\\b.exe", samples::MakeNearMiss(samples::kRow1Crc));
  sim::SetSweepFault(sim::kFaultAlloc, 1, true);
  const long allocationsBefore = sim::FaultCallCount(sim::kFaultAlloc);
  int infected = -1;
  EXPECT_EQ(IsFileInfected("C:\\a.exe", &infected), 1);
  EXPECT_EQ(infected, 1);
  EXPECT_EQ(IsFileInfected("C:\\b.exe", &infected), 1);
  EXPECT_EQ(infected, 0);
  EXPECT_EQ(sim::FaultCallCount(sim::kFaultAlloc), allocationsBefore);
}

}  // namespace
