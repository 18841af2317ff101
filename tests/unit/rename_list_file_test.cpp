// The driver's rename-list file: where it lies, how it is written, and what a reader accepts.
#include "fileops/rename_list_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "detect/crc32.h"
#include "sim/sim.h"
#include "sim/sim_registry.h"
#include "test_support.h"

namespace {

const char kPathsKey[] = "HKEY_LOCAL_MACHINE\\Software\\Morvane\\Common\\Paths";
const char kListPath[] = "C:\\Shared\\TKVG.REN";

// Whether a stream or handle still holds the file open: an exclusive open then fails.
bool IsOpen(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(h);
  return false;
}

void UseCommonDirectory(const std::string& directory) {
  sim::RegPutString(kPathsKey, "Common", directory);
}

// A machine with the common directory C:\Shared.
void Prepare() {
  sim::Reset();
  sim::MakeDirectory("C:\\Shared");
  UseCommonDirectory("C:\\Shared");
}

std::string Bytes(const char* data, size_t size) { return std::string(data, size); }

uint32_t Word(const std::string& data, size_t offset) {
  return static_cast<uint32_t>(static_cast<unsigned char>(data[offset])) |
         static_cast<uint32_t>(static_cast<unsigned char>(data[offset + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(data[offset + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(data[offset + 3])) << 24;
}

std::string PutWord(uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFFu);
  return out;
}

// The body as the driver's key stream scrambles it, computed from the two key tables.
std::string Scrambled(const std::string& plain) {
  std::string out = plain;
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char>(static_cast<unsigned char>(out[i]) ^ ScrambleKey16[i % 16] ^ ScrambleKey17[i % 17]);
  }
  return out;
}

// A file as the writer would make it from a plain body.
std::string ListFile(const std::string& plain) {
  return PutWord(1234) + PutWord(0) + PutWord(Crc32(plain.data(), static_cast<uint32_t>(plain.size()))) +
         PutWord(586) + Scrambled(plain);
}

// Writes a list with the given pairs through the product; every step must succeed.
void WriteList(const std::vector<std::pair<std::string, std::string>>& pairs) {
  int32_t error = -1;
  FILE* file = OpenRenameListFile(1, nullptr, &error);
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(kRenameListOk, error);
  for (const auto& p : pairs) {
    ASSERT_EQ(1, AddRenameListPair(file, p.first.c_str(), p.second.c_str(), &error));
    ASSERT_EQ(kRenameListOk, error);
  }
  ASSERT_EQ(1, CloseRenameListFile(file, &error));
  ASSERT_EQ(kRenameListOk, error);
}

unsigned char kUntouched;

struct ReadOutcome {
  int32_t error;
  bool opened;
  std::string body;
  bool bodyUntouched;
  long position;
  bool faultFired;  // an injected fault fired inside the product's call
};

// Reads the list through the product, releasing what it hands out.
ReadOutcome ReadList() {
  ReadOutcome out = {-1, false, "", false, -1, false};
  unsigned char* body = &kUntouched;
  FILE* file = OpenRenameListFile(0, &body, &out.error);
  out.faultFired = sim::FaultFired();
  out.opened = file != nullptr;
  out.bodyUntouched = body == &kUntouched;
  if (file != nullptr) {
    out.position = ftell(file);
    fclose(file);
    size_t length = sim::FileData(kListPath).size() - 16;
    if (body != nullptr && body != &kUntouched) out.body = Bytes(reinterpret_cast<char*>(body), length);
  }
  if (body != &kUntouched) free(body);
  return out;
}

TEST(RenameListFileTest, WorkedExampleOnePair) {
  Prepare();
  ASSERT_EQ(0xCBF43926u, Crc32("123456789", 9));  // the real CRC-32, not a placeholder
  WriteList({{"C:\\a.exe", "C:\\b.exe"}});

  const std::string plain = Bytes("C:\\a.exe\0C:\\b.exe\0\0", 19);
  std::string file = sim::FileData(kListPath);
  ASSERT_EQ(35u, file.size());
  EXPECT_EQ(1000000u, Word(file, 0));  // the tick count at creation
  EXPECT_EQ(0u, Word(file, 4));        // x86 architecture, reserved 0
  EXPECT_EQ(Crc32(plain.data(), 19), Word(file, 8));
  EXPECT_EQ(586u, Word(file, 12));
  EXPECT_EQ(Scrambled(plain), file.substr(16));
  EXPECT_EQ(std::string::npos, file.find("a.exe"));  // no path readable on disk

  ReadOutcome read = ReadList();
  EXPECT_EQ(kRenameListOk, read.error);
  ASSERT_TRUE(read.opened);
  EXPECT_EQ(35, read.position);
  EXPECT_EQ(plain, read.body);
  EXPECT_FALSE(IsOpen(kListPath));
}

TEST(RenameListFileTest, WrittenListsThatReadersReject) {
  // No pair: the terminator alone.
  Prepare();
  WriteList({});
  EXPECT_EQ(17u, sim::FileData(kListPath).size());
  EXPECT_EQ(Scrambled(Bytes("\0", 1)), sim::FileData(kListPath).substr(16));
  EXPECT_EQ(kRenameListBadStructure, ReadList().error);

  // An empty destination reads as the terminator after one string.
  Prepare();
  WriteList({{"C:\\a.exe", ""}});
  EXPECT_EQ(Scrambled(Bytes("C:\\a.exe\0\0\0", 11)), sim::FileData(kListPath).substr(16));
  EXPECT_EQ(kRenameListBadStructure, ReadList().error);
}

TEST(RenameListFileTest, CreatingAgainDiscardsEarlierPairs) {
  Prepare();
  WriteList({{"C:\\one.exe", "C:\\two.exe"}, {"C:\\three.exe", "C:\\four.exe"}});
  EXPECT_EQ(Bytes("C:\\one.exe\0C:\\two.exe\0C:\\three.exe\0C:\\four.exe\0\0", 48), ReadList().body);
  WriteList({{"C:\\x.exe", "C:\\y.exe"}});
  ReadOutcome read = ReadList();
  EXPECT_EQ(kRenameListOk, read.error);
  EXPECT_EQ(Bytes("C:\\x.exe\0C:\\y.exe\0\0", 19), read.body);
}

struct ReadCase {
  const char* name;
  std::string file;
  int32_t error;
};

TEST(RenameListFileTest, ReadingRules) {
  const std::string good = Bytes("C:\\a.exe\0C:\\b.exe\0\0", 19);
  std::string full = good + std::string(8176 - good.size(), 'z');
  std::string badChecksum = ListFile(good);
  badChecksum[8] = static_cast<char>(badChecksum[8] ^ 1);
  const std::vector<ReadCase> cases = {
      {"one pair", ListFile(good), kRenameListOk},
      {"empty first string", ListFile(Bytes("\0x\0\0", 4)), kRenameListOk},
      {"bytes after the terminator", ListFile(good + "trailing"), kRenameListOk},
      {"8192 bytes", ListFile(full), kRenameListOk},
      {"8193 bytes", ListFile(full + "z"), kRenameListTooLarge},
      {"16 bytes", ListFile("").substr(0, 16), kRenameListTooSmall},
      {"empty file", "", kRenameListTooSmall},
      {"terminator alone", ListFile(Bytes("\0", 1)), kRenameListBadStructure},
      {"two NULs", ListFile(Bytes("\0\0", 2)), kRenameListBadStructure},
      {"odd number of strings", ListFile(Bytes("a\0b\0c\0\0", 7)), kRenameListBadStructure},
      {"no terminator", ListFile(Bytes("a\0b\0", 4)), kRenameListBadStructure},
      {"no NUL at all", ListFile("abc"), kRenameListBadStructure},
      {"checksum mismatch", badChecksum, kRenameListBadChecksum},
      {"plain body", ListFile(good).substr(0, 16) + good, kRenameListBadChecksum},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare();
    sim::PutFile(kListPath, c.file);
    ReadOutcome read = ReadList();
    EXPECT_EQ(c.error, read.error);
    EXPECT_EQ(c.error == kRenameListOk, read.opened);
    if (c.error == kRenameListOk) {
      EXPECT_EQ(static_cast<long>(c.file.size()), read.position);
      std::string plain = c.file.substr(16);
      plain = Scrambled(plain);
      EXPECT_EQ(plain, read.body);
    } else {
      EXPECT_FALSE(read.bodyUntouched);  // set to none
    }
    EXPECT_FALSE(IsOpen(kListPath));
  }
}

TEST(RenameListFileTest, AnyChangedBodyByteFailsTheChecksum) {
  Prepare();
  WriteList({{"C:\\a.exe", "C:\\b.exe"}});
  const std::string original = sim::FileData(kListPath);
  for (size_t position = 16; position < original.size(); ++position) {
    for (unsigned mask : {0x01u, 0x80u, 0xFFu}) {
      std::string changed = original;
      changed[position] = static_cast<char>(static_cast<unsigned char>(changed[position]) ^ mask);
      sim::PutFile(kListPath, changed);
      ReadOutcome read = ReadList();
      EXPECT_EQ(kRenameListBadChecksum, read.error) << position << " " << mask;
      EXPECT_FALSE(read.opened);
    }
  }
  EXPECT_FALSE(IsOpen(kListPath));
}

TEST(RenameListFileTest, ScramblingIsItsOwnInverseWithA272ByteStream) {
  std::string data;
  for (int i = 0; i < 600; ++i) data += static_cast<char>(i * 7 + 3);
  std::string copy = data;
  ScrambleRenameList(reinterpret_cast<unsigned char*>(&copy[0]), static_cast<uint32_t>(copy.size()));
  EXPECT_EQ(Scrambled(data), copy);
  ScrambleRenameList(reinterpret_cast<unsigned char*>(&copy[0]), static_cast<uint32_t>(copy.size()));
  EXPECT_EQ(data, copy);

  std::string zeros(544, '\0');
  ScrambleRenameList(reinterpret_cast<unsigned char*>(&zeros[0]), 544);
  EXPECT_EQ(zeros.substr(0, 272), zeros.substr(272));
  EXPECT_NE(zeros.substr(0, 16), zeros.substr(16, 16));
  EXPECT_NE(zeros.substr(0, 17), zeros.substr(17, 17));
}

TEST(RenameListFileTest, PathOfTheFile) {
  // With a backslash inside, the name goes after one separator.
  for (const char* directory : {"C:\\Shared", "C:\\Shared\\"}) {
    SCOPED_TRACE(directory);
    Prepare();
    UseCommonDirectory(directory);
    WriteList({{"C:\\a.exe", "C:\\b.exe"}});
    EXPECT_EQ(std::vector<std::string>{kListPath}, sim::ListFiles("C:\\Shared"));
  }
  Prepare();
  UseCommonDirectory("C:\\");
  WriteList({});
  EXPECT_TRUE(sim::Exists("C:\\TKVG.REN"));

  // Without a backslash nothing is added: "C:TKVG.REN" and "TKVG.REN" are relative to the
  // current directory, which the simulated machine does not have; neither becomes C:\TKVG.REN.
  for (const char* directory : {"C:", ""}) {
    SCOPED_TRACE(directory);
    Prepare();
    UseCommonDirectory(directory);
    int32_t error = -1;
    EXPECT_EQ(nullptr, OpenRenameListFile(1, nullptr, &error));
    EXPECT_EQ(kRenameListCannotOpen, error);
    EXPECT_FALSE(sim::Exists("C:\\TKVG.REN"));
    EXPECT_FALSE(sim::Exists("C:\\Shared\\TKVG.REN"));
  }
}

TEST(RenameListFileTest, CommonDirectoryValue) {
  struct Case {
    const char* name;
    bool key;
    bool value;
    DWORD type;
    std::string bytes;
    int32_t result;
    std::string directory;
  };
  const std::string d259 = "C:\\" + std::string(256, 'd');
  const std::vector<Case> cases = {
      {"REG_SZ", true, true, REG_SZ, Bytes("C:\\Shared\0", 10), 0, "C:\\Shared"},
      {"stored without its NUL", true, true, REG_SZ, "C:\\Shared", 0, "C:\\Shared"},
      {"empty", true, true, REG_SZ, "", 0, ""},
      {"260 bytes", true, true, REG_SZ, d259 + Bytes("\0", 1), 0, d259},
      {"261 bytes", true, true, REG_SZ, d259 + "x" + Bytes("\0", 1), -2, ""},
      {"260 bytes without a NUL", true, true, REG_SZ, d259 + "x", -2, ""},
      {"REG_EXPAND_SZ", true, true, REG_EXPAND_SZ, Bytes("C:\\Shared\0", 10), -1, ""},
      {"REG_BINARY", true, true, REG_BINARY, Bytes("C:\\Shared\0", 10), -1, ""},
      {"no value", true, false, REG_SZ, "", -1, ""},
      {"no key", false, false, REG_SZ, "", -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset();
    if (c.key) sim::RegPutKey(kPathsKey);
    if (c.value) sim::RegPutValue(kPathsKey, "Common", c.type, c.bytes);
    char buffer[MAX_PATH];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(c.result, GetCommonDirectory(buffer, MAX_PATH));
    if (c.result == 0) {
      EXPECT_EQ(c.directory, std::string(buffer));
    }
    EXPECT_EQ(0, sim::RegOpenKeyCount());

    // Any failure to find the directory is error 2 for the file, in both modes.
    if (c.result != 0) {
      int32_t error = -1;
      EXPECT_EQ(nullptr, OpenRenameListFile(1, nullptr, &error));
      EXPECT_EQ(kRenameListNoCommonDirectory, error);
      ReadOutcome read = ReadList();
      EXPECT_EQ(kRenameListNoCommonDirectory, read.error);
      EXPECT_TRUE(read.bodyUntouched);
    }
  }
}

TEST(RenameListFileTest, TooLongCommonDirectoryIsRejected) {
  // "\TKVG.REN" and the NUL take 10 characters: a directory of 250 characters is the longest.
  for (int length : {250, 251, 259}) {
    for (bool trailingBackslash : {false, true}) {
      SCOPED_TRACE(std::to_string(length) + (trailingBackslash ? " with backslash" : ""));
      sim::Reset();
      std::string directory = "C:\\" + std::string(static_cast<size_t>(length - 3 - (trailingBackslash ? 1 : 0)), 'd');
      sim::MakeDirectory(directory);
      if (trailingBackslash) directory += "\\";
      UseCommonDirectory(directory);
      int32_t error = -1;
      FILE* file = OpenRenameListFile(1, nullptr, &error);
      bool fits = length + (trailingBackslash ? 0 : 1) + 8 + 1 <= MAX_PATH;
      if (fits) {
        ASSERT_NE(nullptr, file);
        EXPECT_EQ(kRenameListOk, error);
        fclose(file);
      } else {
        EXPECT_EQ(nullptr, file);
        EXPECT_EQ(kRenameListNoCommonDirectory, error);
        EXPECT_EQ(kRenameListNoCommonDirectory, ReadList().error);
      }
      std::string stem = trailingBackslash ? directory : directory + "\\";
      EXPECT_EQ(fits, sim::Exists(stem + "TKVG.REN"));
    }
  }
}

struct FaultCase {
  const char* api;
  long calls;  // calls of the api the operation makes at least
  int32_t error;
};

// Faults while creating, adding and finishing: the step reports its code, the stream is closed
// (except after a failed pair, which the caller still finishes), and the file left behind is not
// a valid list.
TEST(RenameListFileTest, WritingFailures) {
  const std::vector<FaultCase> createCases = {
      {"fopen", 1, kRenameListCannotOpen},
      {"fwrite", 1, kRenameListIoError},
  };
  for (const FaultCase& c : createCases) {
    SCOPED_TRACE(c.api);
    Prepare();
    testing_support::FailApi(c.api, 1, false);
    int32_t error = -1;
    EXPECT_EQ(nullptr, OpenRenameListFile(1, nullptr, &error));
    EXPECT_EQ(c.error, error);
    EXPECT_FALSE(IsOpen(kListPath));
  }

  for (long nth : {1L, 2L}) {
    SCOPED_TRACE("pair write " + std::to_string(nth));
    Prepare();
    int32_t error = -1;
    FILE* file = OpenRenameListFile(1, nullptr, &error);
    ASSERT_NE(nullptr, file);
    testing_support::FailApi("fwrite", nth, false);
    EXPECT_EQ(0, AddRenameListPair(file, "C:\\a.exe", "C:\\b.exe", &error));
    EXPECT_EQ(kRenameListIoError, error);
    EXPECT_TRUE(IsOpen(kListPath));
    // Both writes were issued: the one that did not fail is in the file.
    std::string body = sim::FileData(kListPath).substr(16);
    EXPECT_EQ(nth == 1 ? Bytes("C:\\b.exe\0", 9) : Bytes("C:\\a.exe\0", 9), body);
    // Finishing starts afresh.
    EXPECT_EQ(1, CloseRenameListFile(file, &error));
    EXPECT_EQ(kRenameListOk, error);
    EXPECT_EQ(kRenameListBadStructure, ReadList().error);
  }

  // Finishing writes the terminator, takes the size, seeks, allocates, reads, seeks, writes the
  // body, seeks, writes the checksum and closes: every call of each kind fails in turn.
  const std::vector<FaultCase> closeCases = {
      {"fwrite", 3, kRenameListIoError}, {"ftell", 1, kRenameListIoError},          {"fseek", 3, kRenameListIoError},
      {"fread", 1, kRenameListIoError},  {"malloc", 1, kRenameListOutOfMemory}, {"fclose", 1, kRenameListCloseFailed},
  };
  for (const FaultCase& c : closeCases) {
    long fired = 0;
    for (long nth = 1; nth < 50; ++nth) {
      SCOPED_TRACE(std::string("finishing ") + c.api + " " + std::to_string(nth));
      Prepare();
      int32_t error = -1;
      FILE* file = OpenRenameListFile(1, nullptr, &error);
      ASSERT_NE(nullptr, file);
      ASSERT_EQ(1, AddRenameListPair(file, "C:\\a.exe", "C:\\b.exe", &error));
      testing_support::FailApi(c.api, nth, false);
      int result = CloseRenameListFile(file, &error);
      EXPECT_FALSE(IsOpen(kListPath));  // closed on every path
      if (!sim::FaultFired()) {
        EXPECT_EQ(1, result);
        EXPECT_EQ(kRenameListOk, error);
        break;
      }
      ++fired;
      EXPECT_EQ(0, result);
      EXPECT_EQ(c.error, error);
      // Only a failed close comes after the file was complete.
      if (c.error != kRenameListCloseFailed) {
        EXPECT_NE(kRenameListOk, ReadList().error);
      }
    }
    EXPECT_GE(fired, c.calls) << c.api;
  }
}

TEST(RenameListFileTest, ReadingFailures) {
  const std::vector<FaultCase> cases = {
      {"fopen", 1, kRenameListCannotOpen}, {"fseek", 2, kRenameListIoError},    {"ftell", 1, kRenameListIoError},
      {"malloc", 1, kRenameListOutOfMemory}, {"fread", 2, kRenameListIoError},
  };
  for (const FaultCase& c : cases) {
    long fired = 0;
    for (long nth = 1; nth < 50; ++nth) {
      SCOPED_TRACE(std::string(c.api) + " " + std::to_string(nth));
      Prepare();
      WriteList({{"C:\\a.exe", "C:\\b.exe"}});
      testing_support::FailApi(c.api, nth, false);
      ReadOutcome read = ReadList();
      EXPECT_FALSE(IsOpen(kListPath));
      if (!read.faultFired) {
        EXPECT_EQ(kRenameListOk, read.error);
        break;
      }
      ++fired;
      EXPECT_EQ(c.error, read.error);
      EXPECT_FALSE(read.opened);
      // No body is handed out; it is left alone when the file could not even be opened.
      EXPECT_EQ(c.error == kRenameListCannotOpen, read.bodyUntouched);
    }
    EXPECT_GE(fired, c.calls) << c.api;
  }
  // Without the list: cannot be opened.
  Prepare();
  ReadOutcome read = ReadList();
  EXPECT_EQ(kRenameListCannotOpen, read.error);
  EXPECT_TRUE(read.bodyUntouched);
}

}  // namespace
