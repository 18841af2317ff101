// Registry paths: how ROOT\key\path\\value name|data is split, which registry calls follow,
// what ends up stored, and that every key and copy is released. Also the simulated registry's
// own answers that the product relies on.
#include "fileops/reg_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/sim_registry.h"
#include "test_support.h"

namespace {

const char kRun[] = R"(HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run)";
const char kWormPath[] = R"(HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run\\Windows Update|)";
const char kT[] = R"(HKEY_LOCAL_MACHINE\Software\T)";

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }
std::string Dword(DWORD v) {
  std::string b(4, '\0');
  for (int i = 0; i < 4; ++i) b[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return b;
}

struct StoredValue {
  std::string key;
  std::string name;
  bool present;
  DWORD type;
  std::string bytes;
};

struct KeyCount {
  std::string key;
  int flushes;
  int closes;
};

// One row of the table: the machine before, one call, and what must hold afterwards.
struct RegCase {
  std::string name;
  bool read = false;
  std::string path;
  DWORD type = 0;
  int flush = 1;
  DWORD bufferSize = 0;
  std::vector<StoredValue> preset;
  std::string failApi;

  unsigned result = 0;
  std::vector<StoredValue> values;  // present with type and bytes, or absent
  std::string readBytes;            // read with result 0: the buffer's first bytes
  std::vector<std::pair<std::string, bool>> keys;
  std::vector<KeyCount> counts;
  bool checkOpens = false;
  std::string openApi;              // the one open call expected; "" for none

  RegCase(const std::string& n) : name(n) {}
  RegCase& Set(const std::string& p, DWORD t = 0, int f = 1) {
    read = false;
    path = p;
    type = t;
    flush = f;
    return *this;
  }
  RegCase& Read(const std::string& p, DWORD size) {
    read = true;
    path = p;
    bufferSize = size;
    return *this;
  }
  RegCase& Preset(const std::string& key, const std::string& value, DWORD t, const std::string& bytes) {
    preset.push_back({key, value, true, t, bytes});
    return *this;
  }
  RegCase& Fail(const std::string& api) {
    failApi = api;
    return *this;
  }
  RegCase& Gives(unsigned r) {
    result = r;
    return *this;
  }
  RegCase& Stored(const std::string& key, const std::string& value, DWORD t, const std::string& bytes) {
    values.push_back({key, value, true, t, bytes});
    return *this;
  }
  RegCase& Absent(const std::string& key, const std::string& value) {
    values.push_back({key, value, false, 0, ""});
    return *this;
  }
  RegCase& Reads(const std::string& bytes) {
    readBytes = bytes;
    return *this;
  }
  RegCase& Key(const std::string& key, bool exists) {
    keys.push_back({key, exists});
    return *this;
  }
  RegCase& Counted(const std::string& key, int flushes, int closes) {
    counts.push_back({key, flushes, closes});
    return *this;
  }
  RegCase& Opens(const std::string& api) {
    checkOpens = true;
    openApi = api;
    return *this;
  }
};

void PrintTo(const RegCase& c, std::ostream* os) { *os << c.name << " (" << c.path << ")"; }

std::vector<RegCase> Cases() {
  const std::string t = kT;
  const std::string run = kRun;
  std::vector<RegCase> cases = {
      // The worm's autostart value, as the disinfection removes it.
      RegCase("WormValueDeletedRunKeyFlushedAndClosed")
          .Set(kWormPath, 0, 1)
          .Preset(run, "Windows Update", REG_SZ, Sz(R"(C:\windows\system32\winupd.exe)"))
          .Preset(run, "Keep", REG_SZ, Sz("keep.exe"))
          .Gives(0)
          .Absent(run, "Windows Update")
          .Stored(run, "Keep", REG_SZ, Sz("keep.exe"))
          .Counted(run, 1, 1)
          .Opens("RegCreateKeyExA"),
      RegCase("WormValueAbsentGives2RunKeyFlushedAndClosed")
          .Set(kWormPath, 0, 1)
          .Preset(run, "Keep", REG_SZ, Sz("keep.exe"))
          .Gives(2)
          .Stored(run, "Keep", REG_SZ, Sz("keep.exe"))
          .Counted(run, 1, 1)
          .Opens("RegCreateKeyExA"),
      RegCase("WormValueWithoutRunKeyCreatesKeyGives2")
          .Set(kWormPath, 0, 1)
          .Gives(2)
          .Key(run, true)
          .Counted(run, 1, 1)
          .Opens("RegCreateKeyExA"),
      RegCase("NoFlushAskedOnlyCloses")
          .Set(t + R"(\\v|x)", 0, 0)
          .Gives(0)
          .Stored(t, "v", REG_SZ, Sz("x"))
          .Counted(t, 0, 1),

      // Root names.
      RegCase("RootInLowerCase")
          .Set(R"(hkey_local_machine\Software\T\\v|x)")
          .Gives(0)
          .Stored(t, "v", REG_SZ, Sz("x"))
          .Counted(t, 1, 1),
      RegCase("RootInMixedCase")
          .Set(R"(HKEY_Current_User\Software\T\\v|x)")
          .Gives(0)
          .Stored(R"(HKEY_CURRENT_USER\Software\T)", "v", REG_SZ, Sz("x"))
          .Key(t, false),
      RegCase("ClassesRoot")
          .Set(R"(hkey_classes_root\.vbs\\|VBSFile)")
          .Gives(0)
          .Stored(R"(HKEY_CLASSES_ROOT\.vbs)", "", REG_SZ, Sz("VBSFile")),
      RegCase("Users")
          .Read(R"(HKEY_USERS\.DEFAULT\Env\\Path)", 16)
          .Preset(R"(HKEY_USERS\.DEFAULT\Env)", "Path", REG_SZ, Sz("C:\\"))
          .Gives(0)
          .Reads(Sz("C:\\"))
          .Opens("RegOpenKeyExA"),
      RegCase("AbbreviatedRootIsSyntax").Set(R"(HKLM\Software\T\\v|x)").Gives(4).Key(t, false).Opens(""),
      RegCase("CurrentConfigIsNotInTable")
          .Set(R"(HKEY_CURRENT_CONFIG\Software\T\\v|x)")
          .Gives(4)
          .Key(R"(HKEY_CURRENT_CONFIG\Software\T)", false)
          .Opens(""),
      RegCase("ReadWithUnknownRoot").Read(R"(HKEY_DYN_DATA\X\\v)", 16).Gives(4).Opens(""),

      // Where the key path ends.
      RegCase("SingleBackslashBetweenKeyAndValue").Set(R"(HKEY_LOCAL_MACHINE\Software\T\v|x)").Gives(4).Key(t, false).Opens(""),
      RegCase("NoBackslashAfterRoot").Set("HKEY_LOCAL_MACHINE").Gives(4).Opens(""),
      RegCase("RootAndOneBackslashOnly").Set(R"(HKEY_LOCAL_MACHINE\)").Gives(4).Opens(""),
      RegCase("RootFollowedByPairUsesRootNeverFlushedOrClosed")
          .Set(R"(HKEY_LOCAL_MACHINE\\AtRoot|data)", 0, 1)
          .Gives(0)
          .Stored("HKEY_LOCAL_MACHINE", "AtRoot", REG_SZ, Sz("data"))
          .Counted("HKEY_LOCAL_MACHINE", 0, 0)
          .Opens(""),
      RegCase("ReadAtRootNeverClosed")
          .Read(R"(HKEY_LOCAL_MACHINE\\AtRoot)", 16)
          .Preset("HKEY_LOCAL_MACHINE", "AtRoot", REG_SZ, Sz("r"))
          .Gives(0)
          .Reads(Sz("r"))
          .Counted("HKEY_LOCAL_MACHINE", 0, 0)
          .Opens(""),
      RegCase("ThirdBackslashStartsValueName")
          .Set(R"(HKEY_LOCAL_MACHINE\Software\T\\\v|x)")
          .Gives(0)
          .Stored(t, "\\v", REG_SZ, Sz("x")),

      // Spaces, bars and data.
      RegCase("TrailingSpacesCutFromData").Set(t + R"(\\v|data   )").Gives(0).Stored(t, "v", REG_SZ, Sz("data")),
      RegCase("TabsAreNotCut").Set(t + "\\\\v|data\t ").Gives(0).Stored(t, "v", REG_SZ, Sz("data\t")),
      RegCase("SpacesBeforeBarStayInValueName")
          .Set(t + R"(\\v  |x)")
          .Gives(0)
          .Stored(t, "v  ", REG_SZ, Sz("x"))
          .Absent(t, "v"),
      RegCase("TrailingSpacesCutFromValueNameWithoutBar")
          .Read(t + R"(\\v   )", 16)
          .Preset(t, "v", REG_SZ, Sz("hello"))
          .Gives(0)
          .Reads(Sz("hello")),
      RegCase("LaterBarsBelongToData").Set(t + R"(\\v|a|b|)").Gives(0).Stored(t, "v", REG_SZ, Sz("a|b|")),
      RegCase("NoBarGives4KeyLeftCreated")
          .Set(R"(HKEY_LOCAL_MACHINE\Software\New\Sub\\v)")
          .Gives(4)
          .Key(R"(HKEY_LOCAL_MACHINE\Software\New\Sub)", true)
          .Absent(R"(HKEY_LOCAL_MACHINE\Software\New\Sub)", "v")
          .Counted(R"(HKEY_LOCAL_MACHINE\Software\New\Sub)", 1, 1)
          .Opens("RegCreateKeyExA"),
      RegCase("ReadIgnoresDataPart")
          .Read(t + R"(\\v|junk)", 16)
          .Preset(t, "v", REG_SZ, Sz("hello"))
          .Gives(0)
          .Reads(Sz("hello")),

      // Types.
      RegCase("DwordLeadingDigits").Set(t + R"(\\n|12abc)", REG_DWORD).Gives(0).Stored(t, "n", REG_DWORD, Dword(12)),
      RegCase("DwordNoDigitsIsZero").Set(t + R"(\\n|abc)", REG_DWORD).Gives(0).Stored(t, "n", REG_DWORD, Dword(0)),
      RegCase("DwordBlanksAndSign")
          .Set(t + R"(\\n|  -3)", REG_DWORD)
          .Gives(0)
          .Stored(t, "n", REG_DWORD, Dword(0xFFFFFFFDu)),
      RegCase("ExpandSzKeepsItsType")
          .Set(t + R"(\\p|%SystemRoot%\x)", REG_EXPAND_SZ)
          .Gives(0)
          .Stored(t, "p", REG_EXPAND_SZ, Sz(R"(%SystemRoot%\x)")),
      RegCase("BinaryTypeStoresCharactersWithNul").Set(t + R"(\\b|ab)", REG_BINARY).Gives(0).Stored(t, "b", REG_BINARY, Sz("ab")),
      RegCase("OverwriteChangesType")
          .Set(t + R"(\\v|text)")
          .Preset(t, "v", REG_DWORD, Dword(7))
          .Gives(0)
          .Stored(t, "v", REG_SZ, Sz("text")),

      // The default value.
      RegCase("EmptyValueNameWritesDefault").Set(t + R"(\\|dflt)").Gives(0).Stored(t, "", REG_SZ, Sz("dflt")),
      RegCase("EmptyValueNameReadsDefault")
          .Read(t + R"(\\)", 16)
          .Preset(t, "", REG_SZ, Sz("d"))
          .Preset(t, "other", REG_SZ, Sz("o"))
          .Gives(0)
          .Reads(Sz("d")),

      // Reading.
      RegCase("ValueLongerThanBuffer")
          .Read(t + R"(\\v)", 16)
          .Preset(t, "v", REG_SZ, Sz("0123456789ABCDEF"))
          .Gives(3)
          .Counted(t, 0, 1)
          .Opens("RegOpenKeyExA"),
      RegCase("ValueExactlyFillsBuffer")
          .Read(t + R"(\\v)", 16)
          .Preset(t, "v", REG_SZ, Sz("0123456789ABCDE"))
          .Gives(0)
          .Reads(Sz("0123456789ABCDE")),
      RegCase("ReadMissingKeyGives1NothingCreated").Read(t + R"(\\v)", 16).Gives(1).Key(t, false),
      RegCase("ReadMissingValueGives2")
          .Read(t + R"(\\v)", 16)
          .Preset(t, "w", REG_SZ, Sz("w"))
          .Gives(2)
          .Counted(t, 0, 1),

      // Failing registry calls.
      RegCase("KeyCannotBeCreated").Set(t + R"(\\v|x)").Fail("RegCreateKeyExA").Gives(1).Key(t, false),
      RegCase("ValueCannotBeSet")
          .Set(t + R"(\\v|x)")
          .Fail("RegSetValueExA")
          .Gives(2)
          .Absent(t, "v")
          .Counted(t, 1, 1),
      RegCase("ValueCannotBeDeleted")
          .Set(t + R"(\\v|)")
          .Preset(t, "v", REG_SZ, Sz("x"))
          .Fail("RegDeleteValueA")
          .Gives(2)
          .Stored(t, "v", REG_SZ, Sz("x"))
          .Counted(t, 1, 1),
      RegCase("ValueCannotBeQueried")
          .Read(t + R"(\\v)", 16)
          .Preset(t, "v", REG_SZ, Sz("x"))
          .Fail("RegQueryValueExA")
          .Gives(2)
          .Counted(t, 0, 1),
  };

  // Empty data deletes the value, whatever the type.
  const struct {
    const char* name;
    DWORD type;
  } types[] = {{"Default", 0},          {"Sz", REG_SZ},        {"ExpandSz", REG_EXPAND_SZ},
               {"Binary", REG_BINARY},  {"Dword", REG_DWORD},  {"MultiSz", REG_MULTI_SZ}};
  for (const auto& type : types) {
    cases.push_back(RegCase(std::string("EmptyDataDeletes") + type.name)
                        .Set(t + R"(\\v|   )", type.type)
                        .Preset(t, "v", REG_DWORD, Dword(5))
                        .Preset(t, "w", REG_SZ, Sz("w"))
                        .Gives(0)
                        .Absent(t, "v")
                        .Stored(t, "w", REG_SZ, Sz("w")));
  }
  return cases;
}

class RegPathTable : public ::testing::TestWithParam<RegCase> {};

TEST_P(RegPathTable, Case) {
  const RegCase& c = GetParam();
  sim::Reset();
  for (const StoredValue& v : c.preset) sim::RegPutValue(v.key, v.name, v.type, v.bytes);
  if (!c.failApi.empty()) testing_support::FailApi(c.failApi);

  std::string path = c.path;  // the caller's string must come back unchanged
  std::vector<char> buffer(c.bufferSize, '\x5A');
  unsigned result = c.read ? ReadRegValue(buffer.data(), c.bufferSize, path.c_str())
                           : SetRegValue(path.c_str(), c.flush, c.type);
  EXPECT_EQ(c.result, result);
  EXPECT_EQ(c.path, path);

  for (const StoredValue& v : c.values) {
    DWORD type = 0;
    std::string bytes;
    bool present = sim::RegGetValue(v.key, v.name, &type, &bytes);
    EXPECT_EQ(v.present, present) << v.key << " value \"" << v.name << "\"";
    if (v.present && present) {
      EXPECT_EQ(v.type, type) << v.name;
      EXPECT_EQ(v.bytes, bytes) << v.name;
    }
  }
  if (c.read && c.result == 0) {
    EXPECT_EQ(c.readBytes, std::string(buffer.data(), c.readBytes.size()));
  }
  for (const auto& k : c.keys) EXPECT_EQ(k.second, sim::RegHasKey(k.first)) << k.first;
  for (const KeyCount& k : c.counts) {
    EXPECT_EQ(k.flushes, sim::RegFlushCount(k.key)) << "flushes of " << k.key;
    EXPECT_EQ(k.closes, sim::RegCloseCount(k.key)) << "closes of " << k.key;
  }
  if (c.checkOpens) {
    const std::vector<sim::RegOpenRecord>& opens = sim::RegOpens();
    if (c.openApi.empty()) {
      EXPECT_TRUE(opens.empty());
    } else {
      ASSERT_EQ(1u, opens.size());
      EXPECT_EQ(c.openApi, opens[0].api);
      if (c.openApi == "RegCreateKeyExA") {
        EXPECT_EQ(static_cast<REGSAM>(KEY_ALL_ACCESS), opens[0].access);
        EXPECT_EQ(static_cast<DWORD>(REG_OPTION_NON_VOLATILE), opens[0].options);
      } else {
        EXPECT_EQ(static_cast<REGSAM>(KEY_READ), opens[0].access);
      }
    }
  }
  // Every key handle is released; the Part writes nothing to the trace.
  EXPECT_EQ(0, sim::RegOpenKeyCount());
  EXPECT_EQ(0, sim::OpenHandleCount());
  EXPECT_TRUE(sim::DebugOutput().empty());
}

INSTANTIATE_TEST_SUITE_P(RegPath, RegPathTable, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<RegCase>& info) { return info.param.name; });

// OpenRegPath hands out the pieces as heap copies and says whether the key is a root.
TEST(RegPathTest, OpenRegPathHandsOutCopiesAndRootFlag) {
  sim::Reset();
  HKEY key = reinterpret_cast<HKEY>(1);
  char* valueName = reinterpret_cast<char*>(1);
  char* data = reinterpret_cast<char*>(1);
  int isRoot = -1;
  ASSERT_EQ(0u, OpenRegPath(&key, &valueName, &data, &isRoot, R"(HKEY_LOCAL_MACHINE\Software\T\\Name |a|b  )", 1));
  EXPECT_EQ(0, isRoot);
  EXPECT_STREQ("Name ", valueName);
  EXPECT_STREQ("a|b", data);
  EXPECT_EQ(1, sim::RegOpenKeyCount());
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  free(valueName);
  free(data);

  // Without a bar there is no data part; the root itself is handed out as the root.
  ASSERT_EQ(0u, OpenRegPath(&key, &valueName, &data, &isRoot, R"(HKEY_USERS\\Name  )", 0));
  EXPECT_EQ(1, isRoot);
  EXPECT_EQ(HKEY_USERS, key);
  EXPECT_STREQ("Name", valueName);
  EXPECT_EQ(nullptr, data);
  free(valueName);

  // On a nonzero result nothing is handed out.
  EXPECT_EQ(4u, OpenRegPath(&key, &valueName, &data, &isRoot, R"(HKLM\Software\\v|x)", 1));
  EXPECT_EQ(nullptr, valueName);
  EXPECT_EQ(nullptr, data);
  EXPECT_EQ(0, sim::RegOpenKeyCount());
}

TEST(RegPathTest, FindRootKeyWalksTheTableOfFourRoots) {
  sim::Reset();
  EXPECT_EQ(HKEY_CLASSES_ROOT, FindRootKey("Hkey_Classes_Root"));
  EXPECT_EQ(HKEY_CURRENT_USER, FindRootKey("HKEY_CURRENT_USER"));
  EXPECT_EQ(HKEY_LOCAL_MACHINE, FindRootKey("hkey_local_machine"));
  EXPECT_EQ(HKEY_USERS, FindRootKey("HKEY_USERS"));
  EXPECT_EQ(nullptr, FindRootKey("HKEY_CURRENT_CONFIG"));
  EXPECT_EQ(nullptr, FindRootKey("HKEY_DYNAMIC_DATA"));
  EXPECT_EQ(nullptr, FindRootKey("HKLM"));
  EXPECT_EQ(nullptr, FindRootKey(""));
  int entries = 0;
  while (RootKeyTable[entries].name != nullptr) ++entries;
  EXPECT_EQ(4, entries);
}

// Each allocation in turn fails: 100, nothing leaked (LeakSanitizer checks at exit), no key
// left open, and the registry unchanged. Past the last allocation the call succeeds.
TEST(RegPathTest, AllocationFailuresGive100AndReleaseEverything) {
  int failures = 0;
  for (long n = 1;; ++n) {
    sim::Reset();
    sim::RegPutString(kRun, "Windows Update", R"(C:\windows\system32\winupd.exe)");
    sim::SetSweepFault(sim::kFaultAlloc, n, false);
    unsigned result = SetRegValue(kWormPath, 1, 0);
    EXPECT_EQ(0, sim::RegOpenKeyCount()) << "allocation " << n;
    EXPECT_EQ(0, sim::OpenHandleCount()) << "allocation " << n;
    if (!sim::FaultFired()) {
      EXPECT_EQ(0u, result);
      EXPECT_FALSE(sim::RegHasValue(kRun, "Windows Update"));
      break;
    }
    ++failures;
    EXPECT_EQ(100u, result) << "allocation " << n;
    EXPECT_TRUE(sim::RegHasValue(kRun, "Windows Update")) << "allocation " << n;
    ASSERT_LT(n, 10);
  }
  EXPECT_EQ(3, failures);  // the working copy, the value name, the data

  for (long n = 1;; ++n) {
    sim::Reset();
    sim::RegPutString(kT, "v", "x");
    sim::SetSweepFault(sim::kFaultAlloc, n, true);
    char buffer[16];
    unsigned result = ReadRegValue(buffer, sizeof(buffer), R"(HKEY_LOCAL_MACHINE\Software\T\\v)");
    EXPECT_EQ(0, sim::RegOpenKeyCount()) << "allocation " << n;
    if (!sim::FaultFired()) {
      EXPECT_EQ(0u, result);
      EXPECT_EQ(2, static_cast<int>(n) - 1);
      break;
    }
    EXPECT_EQ(100u, result) << "allocation " << n;
    ASSERT_LT(n, 10);
  }
}

// The simulated registry's answers that the product relies on.
TEST(SimRegistryTest, BehavesAsWin32) {
  sim::Reset();
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\A\\B", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  const BYTE text[] = "hello";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Name", 0, REG_EXPAND_SZ, text, sizeof(text)));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));

  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\a\\b", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\A\\B", 0, KEY_READ, &key));
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "NAME", nullptr, &type, nullptr, &size));  // size only
  EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
  EXPECT_EQ(6u, size);
  BYTE small[4] = {1, 2, 3, 4};
  size = sizeof(small);
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "Name", nullptr, &type, small, &size));
  EXPECT_EQ(6u, size);
  BYTE big[8] = {};
  size = sizeof(big);
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Name", nullptr, nullptr, big, &size));
  EXPECT_EQ(6u, size);
  EXPECT_STREQ("hello", reinterpret_cast<char*>(big));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Other", nullptr, nullptr, big, &size));
  // A key opened for reading cannot be written.
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(key, "Name", 0, REG_SZ, text, sizeof(text)));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(key, "Name"));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Missing", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\A", 0, KEY_READ, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\A\\B", 0, KEY_ALL_ACCESS, &key));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "name"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, "Name"));
  EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(key));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(1, sim::RegFlushCount("HKEY_LOCAL_MACHINE\\software\\a\\b"));
  EXPECT_EQ(4, sim::RegCloseCount("HKEY_LOCAL_MACHINE\\Software\\A\\B"));
  EXPECT_EQ(0, sim::RegOpenKeyCount());

  // Any call can be made to fail, with its own error or a chosen one.
  testing_support::FailApi("RegOpenKeyExA", 1, false, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key));
  EXPECT_EQ(nullptr, key);
  testing_support::FailApi("RegCreateKeyExA");
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\C", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
  EXPECT_FALSE(sim::RegHasKey("HKEY_LOCAL_MACHINE\\Software\\C"));
}

TEST(SimRegistryDeathTest, FlushingOrClosingARootKeyAborts) {
  sim::Reset();
  EXPECT_DEATH(RegCloseKey(HKEY_LOCAL_MACHINE), "RegCloseKey called on the predefined root key");
  EXPECT_DEATH(RegFlushKey(HKEY_CURRENT_USER), "RegFlushKey called on the predefined root key");
  EXPECT_DEATH(RegCloseKey(HKEY_CURRENT_CONFIG), "predefined root key");
}

}  // namespace
