// Saving an INI file never loses the old one: the text goes to a temporary file first, and only a
// complete one replaces the target. Every failure of the file calls involved leaves either the
// old file byte for byte or the new text whole, never a part of it.
#include "fileops/ini_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fileops/replace_file.h"
#include "sim/sim.h"
#include "test_support.h"

namespace {

const char kWininit[] = "C:\\windows\\WININIT.INI";
const char kTemporary[] = "C:\\windows\\WININIT.$$$";

// A WININIT.INI with scheduled operations and lines of every kind.
const char kOldText[] =
    "; written by setup\r\n"
    "[boot]\r\n"
    "  shell = explorer.exe\r\n"
    "\r\n"
    "[rename]\r\n"
    "NUL=C:\\OLD\\FIRST.EXE\r\n"
    "C:\\WINDOWS\\A.DLL=C:\\WINDOWS\\A.NEW\r\n";
// The same after one more deletion was added.
const char kNewText[] =
    "; written by setup\r\n"
    "[boot]\r\n"
    "  shell = explorer.exe\r\n"
    "\r\n"
    "[rename]\r\n"
    "NUL=C:\\OLD\\FIRST.EXE\r\n"
    "C:\\WINDOWS\\A.DLL=C:\\WINDOWS\\A.NEW\r\n"
    "nul=C:\\DIR\\LONGNA~1.EXE";

// Whether a stream or handle still holds the file open: an exclusive open then fails.
bool IsOpen(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(h);
  return false;
}

// Loads the old WININIT.INI and adds one entry; the faults are set afterwards by the caller.
void LoadAndChange(IniFile* ini) {
  sim::Reset();
  sim::PutFile(kWininit, kOldText);
  ASSERT_EQ(0, ini->Load(kWininit));
  ini->SetEntry("rename", "nul", "C:\\DIR\\LONGNA~1.EXE", 999);
}

// What a save may leave: the new text in place and no temporary file (result 0); the old file
// untouched and no temporary file (result 1); or, when only the last rename failed (result 1),
// no file and the whole new text in the temporary file. Anything else lost or damaged data.
void ExpectWholeOldOrNew(int result, const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(0, sim::OpenStreamCount());
  EXPECT_EQ(0, sim::OpenHandleCount());
  if (result == 0) {
    EXPECT_EQ(kNewText, sim::FileData(kWininit));
    EXPECT_FALSE(sim::Exists(kTemporary));
    return;
  }
  ASSERT_EQ(1, result);
  if (sim::Exists(kWininit)) {
    EXPECT_EQ(kOldText, sim::FileData(kWininit));
  } else {
    EXPECT_EQ(kNewText, sim::FileData(kTemporary));
  }
}

TEST(IniFileSave, EveryFailingFileCallLeavesTheOldOrTheNewFileWhole) {
  // Each file call of the save fails in turn, once and from then on.
  for (bool persistent : {false, true}) {
    int failures = 0;
    int keptInTemporary = 0;
    for (long nth = 1;; ++nth) {
      ASSERT_LT(nth, 1000) << "the save never ran without the fault";
      IniFile ini;
      LoadAndChange(&ini);
      sim::SetSweepFault(sim::kFaultFile, sim::FaultCallCount(sim::kFaultFile) + nth, persistent);
      int result = ini.Save(kWininit);
      bool fired = sim::FaultFired();
      sim::SetSweepFault(sim::kFaultFile, 0, false);
      std::string what = std::string(persistent ? "persistent" : "transient") + " fault at file call " +
                         std::to_string(nth);
      if (!fired) {
        EXPECT_EQ(0, result) << what;
        ExpectWholeOldOrNew(result, what);
        break;
      }
      ++failures;
      EXPECT_EQ(1, result) << what;
      ExpectWholeOldOrNew(result, what);
      if (!sim::Exists(kWininit)) ++keptInTemporary;
    }
    // The open, every write of the eight lines, the close, the removal and the rename.
    EXPECT_GT(failures, 12);
    // Only a failing rename leaves the text in the temporary file.
    EXPECT_EQ(1, keptInTemporary);
  }
}

TEST(IniFileSave, NamedFailuresAndWhatTheyLeave) {
  struct Row {
    const char* api;
    long nth;
    bool oldKept;          // WININIT.INI still holds the old text
    bool textInTemporary;  // the new text waits in WININIT.$$$
  } rows[] = {
      {"fopen", 1, true, false},         // the temporary file cannot be created
      {"fwrite", 1, true, false},        // the first line
      {"fwrite", 9, true, false},        // half-way through
      {"fclose", 1, true, false},        // the close loses what was buffered
      {"DeleteFileA", 1, true, false},   // the old file cannot be removed
      {"MoveFileExA", 1, false, true},   // removed, but the new text is not in place
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.api) + " #" + std::to_string(row.nth));
    IniFile ini;
    LoadAndChange(&ini);
    testing_support::FailApi(row.api, row.nth, false);
    EXPECT_EQ(1, ini.Save(kWininit));
    EXPECT_TRUE(sim::FaultFired());
    EXPECT_EQ(row.oldKept, sim::Exists(kWininit));
    if (row.oldKept) {
      EXPECT_EQ(kOldText, sim::FileData(kWininit));
    }
    EXPECT_EQ(row.textInTemporary, sim::Exists(kTemporary));
    if (row.textInTemporary) {
      EXPECT_EQ(kNewText, sim::FileData(kTemporary));
    }
    EXPECT_FALSE(IsOpen(kTemporary));
    EXPECT_EQ(0, sim::OpenStreamCount());
  }
}

TEST(IniFileSave, TextLeftInTheTemporaryFileIsPutBackBeforeAnythingIsWrittenOverIt) {
  IniFile ini;
  LoadAndChange(&ini);
  testing_support::FailApi("MoveFileExA", 1, false);
  ASSERT_EQ(1, ini.Save(kWininit));
  ASSERT_FALSE(sim::Exists(kWininit));
  ASSERT_EQ(kNewText, sim::FileData(kTemporary));

  // A caller that finds no WININIT.INI starts from an empty model. Its save must not write
  // over the only copy of the lines: it puts the temporary file in place and fails.
  IniFile fresh;
  EXPECT_EQ(1, fresh.Load(kWininit));
  fresh.SetEntry("rename", "nul", "C:\\SECOND.EXE", 999);
  EXPECT_EQ(1, fresh.Save(kWininit));
  EXPECT_EQ(kNewText, sim::FileData(kWininit));
  EXPECT_FALSE(sim::Exists(kTemporary));

  // The next load finds every line again and the save goes through.
  ASSERT_EQ(0, fresh.Load(kWininit));
  fresh.SetEntry("rename", "nul", "C:\\SECOND.EXE", 999);
  EXPECT_EQ(0, fresh.Save(kWininit));
  EXPECT_EQ(std::string(kNewText) + "\r\nnul=C:\\SECOND.EXE", sim::FileData(kWininit));
  EXPECT_FALSE(sim::Exists(kTemporary));

  // A stale temporary file next to an existing WININIT.INI is only a failed attempt: written over.
  sim::PutFile(kTemporary, "half a li");
  ASSERT_EQ(0, fresh.Load(kWininit));
  EXPECT_EQ(0, fresh.Save(kWininit));
  EXPECT_EQ(std::string(kNewText) + "\r\nnul=C:\\SECOND.EXE", sim::FileData(kWininit));
  EXPECT_FALSE(sim::Exists(kTemporary));
}

TEST(IniFileSave, TemporaryFileNameReplacesTheExtension) {
  // The name shows when the final rename fails and the text stays in the temporary file.
  const std::string dir(240, 'd');
  struct Row {
    std::string target;
    std::string temporary;  // empty: the save is refused and creates nothing
  } rows[] = {
      {"C:\\windows\\WININIT.INI", "C:\\windows\\WININIT.$$$"},
      {"C:\\windows\\system.ini", "C:\\windows\\system.$$$"},
      {"C:\\a.b\\noext", "C:\\a.b\\noext.$$$"},
      {"C:\\a.b\\two.dots.ini", "C:\\a.b\\two.dots.$$$"},
      {"C:\\win\\.ini", "C:\\win\\.$$$"},
      // 258 characters whose extension makes room for ".$$$".
      {"C:\\" + dir + "\\" + std::string(10, 'n') + ".ini", "C:\\" + dir + "\\" + std::string(10, 'n') + ".$$$"},
      // 256 characters without an extension: ".$$$" would not fit into MAX_PATH.
      {"C:\\" + dir + "\\" + std::string(12, 'n'), ""},
      // The temporary file would be the file itself.
      {"C:\\windows\\WININIT.$$$", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.target);
    sim::Reset();
    sim::PutFile(row.target, "old=1\r\n");
    IniFile ini;
    ini.SetEntry("rename", "nul", "C:\\X.EXE", 999);
    testing_support::FailApi("MoveFileExA", 1, false);
    EXPECT_EQ(1, ini.Save(row.target.c_str()));
    if (row.temporary.empty()) {
      EXPECT_FALSE(sim::FaultFired());
      EXPECT_EQ("old=1\r\n", sim::FileData(row.target));
      EXPECT_EQ(std::vector<std::string>{row.target}, sim::ListFiles(row.target.substr(0, row.target.rfind('\\'))));
    } else {
      EXPECT_FALSE(sim::Exists(row.target));
      EXPECT_EQ("[rename]\r\nnul=C:\\X.EXE", sim::FileData(row.temporary));
    }
  }
}

TEST(IniFileSave, TargetThatCannotBeReplacedIsLeftAsItWas) {
  struct Row {
    const char* title;
    void (*setup)();
  } rows[] = {
      {"read-only", [] { sim::PutFile(kWininit, kOldText, FILE_ATTRIBUTE_READONLY); }},
      {"held open without delete sharing",
       [] {
         sim::PutFile(kWininit, kOldText);
         sim::HoldOpen(kWininit, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
       }},
      {"a directory",
       [] {
         sim::MakeDirectory(kWininit);
         sim::PutFile(std::string(kWininit) + "\\inside.txt", "kept");
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    sim::Reset();
    row.setup();
    DWORD attributes = sim::Attributes(kWininit);
    IniFile ini;
    ini.SetEntry("rename", "nul", "C:\\X.EXE", 999);
    EXPECT_EQ(1, ini.Save(kWininit));
    EXPECT_EQ(attributes, sim::Attributes(kWininit));
    if (sim::IsDirectory(kWininit)) {
      EXPECT_EQ("kept", sim::FileData(std::string(kWininit) + "\\inside.txt"));
    } else {
      EXPECT_EQ(kOldText, sim::FileData(kWininit));
    }
    EXPECT_FALSE(sim::Exists(kTemporary));
    EXPECT_EQ(0, sim::OpenStreamCount());
  }
}

// Windows 9x: a file in use whose deletion would go to WININIT.INI.
void SetUp9xInUse(const char* path) {
  sim::Reset();
  sim::SetWindows98();
  sim::PutFile(path, "in use");
  sim::SetShortName(path, "LONGNA~1.EXE");
  sim::MapImage(path);
}

TEST(IniFileSave, ReadOnlyOrDirectoryWininitOn9xFailsWithNothingLost) {
  const char* inUse = "C:\\DIR\\LongNameFile.exe";
  struct Row {
    const char* title;
    void (*setup)();
  } rows[] = {
      {"read-only", [] { sim::PutFile(kWininit, kOldText, FILE_ATTRIBUTE_READONLY); }},
      {"a directory",
       [] {
         sim::MakeDirectory(kWininit);
         sim::PutFile(std::string(kWininit) + "\\inside.txt", "kept");
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    SetUp9xInUse(inUse);
    row.setup();
    DWORD attributes = sim::Attributes(kWininit);

    EXPECT_EQ(kReplaceFailed, ReplaceFile("", inUse, NULL));
    EXPECT_EQ("in use", sim::FileData(inUse));
    EXPECT_EQ(attributes, sim::Attributes(kWininit));
    if (sim::IsDirectory(kWininit)) {
      EXPECT_EQ(std::vector<std::string>{std::string(kWininit) + "\\inside.txt"}, sim::ListFiles(kWininit));
    } else {
      EXPECT_EQ(kOldText, sim::FileData(kWininit));
    }
    EXPECT_FALSE(sim::Exists(kTemporary));
    EXPECT_EQ(0, sim::OpenStreamCount());
    EXPECT_EQ(0, sim::OpenHandleCount());
  }
}

TEST(IniFileSave, DiskFullWhileSchedulingOn9xKeepsEveryScheduledOperation) {
  const char* inUse = "C:\\DIR\\LongNameFile.exe";
  SetUp9xInUse(inUse);
  sim::PutFile(kWininit, kOldText);
  // The third write to the new text fails: the disk is full.
  testing_support::FailApi("fwrite", 3, true);
  EXPECT_EQ(kReplaceFailed, ReplaceFile("", inUse, NULL));
  EXPECT_EQ(kOldText, sim::FileData(kWininit));
  EXPECT_FALSE(sim::Exists(kTemporary));
}

}  // namespace
