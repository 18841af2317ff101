// Saving an INI file rewrites it in place and writes no other file: whatever call fails, the file
// holds its old text or its new text, keeps its attributes, and nothing appears beside it. On
// Windows 9x the tool's WININIT.INI entries survive every kind of file found there, and a file
// beside WININIT.INI never becomes WININIT.INI.
#include "fileops/ini_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fileops/replace_file.h"
#include "sim/sim.h"
#include "test_support.h"

namespace {

const char kWindows[] = "C:\\windows";
const char kWininit[] = "C:\\windows\\WININIT.INI";
const char kBeside[] = "C:\\windows\\WININIT.$$$";
const char kEntry[] = "C:\\DIR\\LONGNA~1.EXE";
const DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// Where a save starts: the file's bytes (or no file), whether the tool's entry is added to the
// loaded model, and the text the save must write.
struct Start {
  const char* title;
  bool exists;
  std::string old;
  bool addEntry;
  std::string saved;
};

const Start kStarts[] = {
    {"the entry ends the last section: only the new line is written", true,
     "[boot]\r\nshell=explorer.exe\r\n[rename]\r\nNUL=C:\\OLD.EXE\r\n", true,
     "[boot]\r\nshell=explorer.exe\r\n[rename]\r\nNUL=C:\\OLD.EXE\r\nnul=C:\\DIR\\LONGNA~1.EXE"},
    {"the entry goes before a later section", true,
     "; written by setup\r\n[boot]\r\n  shell = explorer.exe\r\n\r\n[rename]\r\nNUL=C:\\OLD\\FIRST.EXE\r\n"
     "C:\\WINDOWS\\A.DLL=C:\\WINDOWS\\A.NEW\r\n[misc]\r\nkeep=1\r\n",
     true,
     "; written by setup\r\n[boot]\r\n  shell = explorer.exe\r\n\r\n[rename]\r\nNUL=C:\\OLD\\FIRST.EXE\r\n"
     "C:\\WINDOWS\\A.DLL=C:\\WINDOWS\\A.NEW\r\nnul=C:\\DIR\\LONGNA~1.EXE\r\n[misc]\r\nkeep=1"},
    {"no file: it is created", false, "", true, "[rename]\r\nnul=C:\\DIR\\LONGNA~1.EXE"},
    // The comment after the header is not kept, so the file becomes shorter.
    {"the new text is shorter than the file", true,
     "[rename]    ; operations for the next restart, kept here by the setup program\r\nNUL=C:\\OLD.EXE\r\n", true,
     "[rename]\r\nNUL=C:\\OLD.EXE\r\nnul=C:\\DIR\\LONGNA~1.EXE"},
    {"the new text is one byte shorter", true, "[rename]x\r\nNUL=C:\\OLD.EXE", false, "[rename]\r\nNUL=C:\\OLD.EXE"},
};
const Start& kAppend = kStarts[0];
const Start& kInsert = kStarts[1];
const Start& kCreate = kStarts[2];
const Start& kShorter = kStarts[3];
const Start& kOneShorter = kStarts[4];

// The machine with the start's file (hidden and system, to show that the attributes stay) and
// the model loaded from it and changed.
void Prepare(const Start& start, IniFile* ini) {
  sim::Reset();
  sim::SetTornWrites(false);
  if (start.exists) sim::PutFile(kWininit, start.old, kHiddenSystem);
  ASSERT_EQ(start.exists ? 0 : 1, ini->Load(kWininit));
  if (start.addEntry) ini->SetEntry("rename", "nul", kEntry, 999);
}

// The new text followed by the blank line that fills the old length (CR LF and spaces): what a
// shorter text leaves when the file cannot be cut to its new length.
std::string WithBlankLine(const Start& start) {
  size_t length = start.old.size() >= start.saved.size() + 2 ? start.old.size() : start.saved.size() + 2;
  return start.saved + "\r\n" + std::string(length - start.saved.size() - 2, ' ');
}

// The old text followed by the blank line that covers what the failed write may have reached:
// what a failed save leaves when the file cannot be cut back to its old length.
std::string OldWithBlankLine(const Start& start) {
  size_t reach = std::max(start.saved.size(), start.old.size());
  size_t length = reach >= start.old.size() + 2 ? reach : start.old.size() + 2;
  return start.old + "\r\n" + std::string(length - start.old.size() - 2, ' ');
}

// The file when the one write stopped half-way and nothing worked after it (a power cut in the
// middle of the write): the old bytes with the first half of what the save writes over them.
std::string Mixture(const Start& start) {
  size_t same = 0;
  while (same < start.old.size() && same < start.saved.size() && start.old[same] == start.saved[same]) ++same;
  std::string half = start.saved.substr(same, (start.saved.size() - same) / 2);
  std::string mixed = start.old;
  if (mixed.size() < same + half.size()) mixed.resize(same + half.size());
  return mixed.replace(same, half.size(), half);
}

// What every save must leave, whatever failed: the new text (result 0; with a blank line after
// it when only the cut to a shorter length failed) or the old text (result 1; for a file that
// did not exist: none, or an empty one when even its removal failed), the old attributes, and
// no other file in the directory; nothing left open.
void ExpectOldOrNew(const Start& start, int result, const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(0, sim::OpenHandleCount());
  EXPECT_EQ(0, sim::OpenStreamCount());
  for (const std::string& file : sim::ListFiles(kWindows)) EXPECT_EQ(kWininit, file) << "a file appeared beside it";
  std::string now;
  bool there = sim::GetFile(kWininit, &now);
  if (result == 0) {
    ASSERT_TRUE(there);
    if (now != start.saved) {
      EXPECT_EQ(WithBlankLine(start), now);
    }
  } else {
    ASSERT_EQ(1, result);
    if (start.exists) {
      ASSERT_TRUE(there);
      EXPECT_EQ(start.old, now);
    } else if (there) {
      EXPECT_EQ("", now);
    }
  }
  if (start.exists) {
    EXPECT_EQ(kHiddenSystem, sim::Attributes(kWininit));
  }
}

TEST(IniFileSave, EveryFailingFileCallLeavesTheOldOrTheNewText) {
  // Each file call of the save fails in turn: once, once with its write cut short half-way, and
  // from then on. A write cut short with every later call failing too is a power cut in the
  // middle of the write; the next test shows that one moment.
  struct Mode {
    const char* name;
    bool persistent;
    bool torn;
  } modes[] = {{"transient", false, false}, {"transient, torn write", false, true}, {"persistent", true, false}};
  for (const Start& start : kStarts) {
    for (const Mode& mode : modes) {
      int failures = 0;
      for (long nth = 1;; ++nth) {
        ASSERT_LT(nth, 100) << "the save never ran without the fault";
        std::string what = std::string(start.title) + ", " + mode.name + " fault at file call " + std::to_string(nth);
        IniFile ini;
        Prepare(start, &ini);
        sim::SetTornWrites(mode.torn);
        sim::SetSweepFault(sim::kFaultFile, sim::FaultCallCount(sim::kFaultFile) + nth, mode.persistent);
        int result = ini.Save(kWininit);
        bool fired = sim::FaultFired();
        sim::SetSweepFault(sim::kFaultFile, 0, false);
        ExpectOldOrNew(start, result, what);
        if (!fired) {
          EXPECT_EQ(0, result) << what;
          EXPECT_EQ(start.saved, sim::FileData(kWininit)) << what;
          break;
        }
        ++failures;
      }
      // Opening, reading, placing, writing; creating; cutting.
      EXPECT_GE(failures, 4) << start.title << ", " << mode.name;
    }
  }
}

TEST(IniFileSave, EachFailurePointAndWhatItLeaves) {
  enum Leaves { kOld, kOldAndBlankLine, kNew, kNewAndBlankLine, kNoFile, kEmptyFile, kMixture };
  struct Fault {
    const char* api;
    long nth;
    bool persistent;
  };
  struct Row {
    const Start& start;
    std::vector<Fault> faults;
    bool torn;
    int result;
    Leaves leaves;
    const char* why;
  } rows[] = {
      {kAppend, {{"malloc", 1, false}}, false, 1, kOld, "no memory for the texts"},
      {kAppend, {{"CreateFileA", 1, false}}, false, 1, kOld, "the file cannot be opened"},
      {kAppend, {{"ReadFile", 1, false}}, false, 1, kOld, "its old bytes cannot be read"},
      {kAppend, {{"SetFilePointer", 1, false}}, false, 1, kOld, "the place of the write cannot be reached"},
      {kAppend, {{"WriteFile", 1, false}}, false, 1, kOld, "the write fails (a full disk)"},
      {kAppend, {{"WriteFile", 1, false}}, true, 1, kOld, "half the line written: cut off again"},
      {kAppend, {{"WriteFile", 1, true}}, false, 1, kOld, "nothing written, nothing to undo"},
      {kAppend, {{"WriteFile", 1, false}, {"SetEndOfFile", 1, false}}, true, 1, kOldAndBlankLine,
       "half the line written and blanked, but not cut off"},
      {kAppend, {{"WriteFile", 1, true}}, true, 1, kOld, "cut short, the old bytes not written back, but cut back"},
      {kAppend, {{"WriteFile", 1, false}, {"SetFilePointer", 2, true}}, true, 1, kMixture,
       "cut short, and nothing after it works (a power cut in the write)"},
      {kAppend, {{"CloseHandle", 1, false}}, false, 0, kNew, "what was written stays written"},
      {kInsert, {{"WriteFile", 1, false}}, true, 1, kOld, "the old bytes are written back"},
      {kInsert, {{"WriteFile", 1, false}, {"SetEndOfFile", 1, false}}, true, 1, kOldAndBlankLine,
       "the old bytes are written back, but the file is not cut"},
      {kInsert, {{"WriteFile", 1, false}, {"SetFilePointer", 2, true}}, true, 1, kMixture,
       "cut short, and nothing after it works (a power cut in the write)"},
      {kCreate, {{"malloc", 1, false}}, false, 1, kNoFile, "no memory: nothing created"},
      {kCreate, {{"CreateFileA", 1, false}}, false, 1, kNoFile, "the name is not surely free: nothing created"},
      {kCreate, {{"CreateFileA", 2, false}}, false, 1, kNoFile, "the file cannot be created"},
      {kCreate, {{"WriteFile", 1, false}}, true, 1, kNoFile, "the write fails: emptied and removed"},
      {kCreate, {{"WriteFile", 1, false}, {"DeleteFileA", 1, false}}, true, 1, kEmptyFile,
       "emptied, but it cannot be removed"},
      {kCreate, {{"WriteFile", 1, true}}, false, 1, kNoFile, "nothing written"},
      {kCreate, {{"CloseHandle", 1, false}}, false, 0, kNew, "what was written stays written"},
      {kShorter, {{"WriteFile", 1, false}}, true, 1, kOld, "the old bytes are written back"},
      {kShorter, {{"SetEndOfFile", 1, false}}, false, 0, kNewAndBlankLine, "the text is whole, only not cut"},
      {kShorter, {{"SetFilePointer", 2, false}}, false, 0, kNewAndBlankLine, "the cut's place cannot be reached"},
      {kShorter, {{"SetEndOfFile", 1, true}}, false, 0, kNewAndBlankLine, "the text is whole, only not cut"},
      {kOneShorter, {{"SetEndOfFile", 1, false}}, false, 0, kNewAndBlankLine, "the text and a line end"},
      {kOneShorter, {{"WriteFile", 1, false}}, true, 1, kOld, "the old bytes and the old length are back"},
  };
  for (const Row& row : rows) {
    std::string what = std::string(row.start.title) + ": " + row.why;
    SCOPED_TRACE(what);
    IniFile ini;
    Prepare(row.start, &ini);
    sim::SetTornWrites(row.torn);
    for (const Fault& f : row.faults) testing_support::FailApi(f.api, f.nth, f.persistent);
    EXPECT_EQ(row.result, ini.Save(kWininit));
    EXPECT_TRUE(sim::FaultFired());
    sim::SetTornWrites(false);
    std::string now;
    bool there = sim::GetFile(kWininit, &now);
    switch (row.leaves) {
      case kOld:
        EXPECT_EQ(row.start.old, now);
        break;
      case kOldAndBlankLine:
        EXPECT_EQ(OldWithBlankLine(row.start), now);
        break;
      case kNew:
        EXPECT_EQ(row.start.saved, now);
        break;
      case kNewAndBlankLine:
        EXPECT_EQ(WithBlankLine(row.start), now);
        EXPECT_EQ(std::max(row.start.old.size(), row.start.saved.size() + 2), now.size());
        break;
      case kNoFile:
        EXPECT_FALSE(sim::Exists(kWininit));
        break;
      case kEmptyFile:
        EXPECT_TRUE(there);
        EXPECT_EQ("", now);
        break;
      case kMixture:
        EXPECT_EQ(Mixture(row.start), now);
        break;
    }
    if (row.start.exists) {
      EXPECT_EQ(kHiddenSystem, sim::Attributes(kWininit));
    }
    EXPECT_EQ(0, sim::OpenHandleCount());
    for (const std::string& file : sim::ListFiles(kWindows)) EXPECT_EQ(kWininit, file);
  }
}

TEST(IniFileSave, TextThatIsAlreadyThereIsNotWrittenAgain) {
  IniFile ini;
  sim::Reset();
  sim::PutFile(kWininit, "[rename]\r\nNUL=C:\\OLD.EXE");
  ASSERT_EQ(0, ini.Load(kWininit));
  // Any write would fail: the save does not need one.
  testing_support::FailApi("WriteFile", 1, true);
  EXPECT_EQ(0, ini.Save(kWininit));
  EXPECT_FALSE(sim::FaultFired());
  EXPECT_EQ("[rename]\r\nNUL=C:\\OLD.EXE", sim::FileData(kWininit));
}

TEST(IniFileSave, FileThatCannotBeWrittenIsLeftAsItWas) {
  static const char kOld[] = "[rename]\r\nNUL=C:\\OLD.EXE\r\n";
  struct Row {
    const char* title;
    void (*setup)();
    int result;
  } rows[] = {
      {"read-only", [] { sim::PutFile(kWininit, kOld, FILE_ATTRIBUTE_READONLY); }, 1},
      {"another program writes it and lets others only read",
       [] {
         sim::PutFile(kWininit, kOld);
         sim::HoldOpen(kWininit, GENERIC_WRITE, FILE_SHARE_READ);
       },
       1},
      {"a directory",
       [] {
         sim::MakeDirectory(kWininit);
         sim::PutFile(std::string(kWininit) + "\\inside.txt", "kept");
       },
       1},
      // The file keeps its name and place, so a program that only reads it does not stand in the way.
      {"another program reads it and lets others write",
       [] {
         sim::PutFile(kWininit, kOld);
         sim::HoldOpen(kWininit, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
       },
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    sim::Reset();
    row.setup();
    DWORD attributes = sim::Attributes(kWininit);
    IniFile ini;
    if (!sim::IsDirectory(kWininit)) {
      ASSERT_EQ(0, ini.Load(kWininit));
    }
    ini.SetEntry("rename", "nul", kEntry, 999);
    EXPECT_EQ(row.result, ini.Save(kWininit));
    EXPECT_EQ(attributes, sim::Attributes(kWininit));
    if (sim::IsDirectory(kWininit)) {
      EXPECT_EQ(std::vector<std::string>{std::string(kWininit) + "\\inside.txt"}, sim::ListFiles(kWininit));
      EXPECT_EQ("kept", sim::FileData(std::string(kWininit) + "\\inside.txt"));
    } else {
      EXPECT_EQ(row.result == 0 ? std::string(kOld) + "nul=" + kEntry : std::string(kOld), sim::FileData(kWininit));
    }
    EXPECT_FALSE(sim::Exists(kBeside));
    EXPECT_EQ(0, sim::OpenStreamCount());
  }
}

// ---------------------------------------------------------------- Windows 9x: the tool's entries

const char kInUse[] = "C:\\DIR\\LongNameFile.exe";
const char kUserFile[] = "C:\\DATA\\REPORT.DOC";

// Windows 9x with a file in use whose deletion goes to WININIT.INI, and a user's file.
void SetUp9xInUse() {
  sim::Reset();
  sim::SetWindows98();
  sim::PutFile(kInUse, "in use");
  sim::SetShortName(kInUse, "LONGNA~1.EXE");
  sim::MapImage(kInUse);
  sim::PutFile(kUserFile, "the user's report");
}

// The operations a restart carried out, as "nul=FROM" (a deletion) or "TO=FROM" lines.
std::vector<std::string> Carried(const std::vector<sim::RestartOperation>& ops) {
  std::vector<std::string> lines;
  for (const sim::RestartOperation& op : ops) lines.push_back((op.deletion ? "nul" : op.to) + "=" + op.from);
  return lines;
}

TEST(IniFileSave, WhateverLiesInTheWindowsDirectoryOn9xNothingIsLostOrBroughtBack) {
  const std::string kLong(100000, 'v');
  struct Row {
    const char* title;
    bool hasWininit;
    std::string wininit;  // WININIT.INI before (when hasWininit)
    DWORD attributes;
    std::vector<std::pair<std::string, std::string>> beside;  // other files in C:\windows, untouched
    std::string after;                                         // WININIT.INI after the run
    std::vector<std::string> carried;                          // what the restart then does
  } rows[] = {
      // A text a failed earlier save left could hold lines that a restart has carried out since.
      {"no WININIT.INI, a complete WININIT.$$$", false, "", 0,
       {{kBeside, "[rename]\r\nnul=C:\\DATA\\REPORT.DOC"}},
       "[rename]\r\nnul=C:\\DIR\\LONGNA~1.EXE", {"nul=C:\\DIR\\LONGNA~1.EXE"}},
      {"no WININIT.INI, a partial WININIT.$$$", false, "", 0,
       {{kBeside, "[rename]\r\nnul=C:\\DATA\\REP"}},
       "[rename]\r\nnul=C:\\DIR\\LONGNA~1.EXE", {"nul=C:\\DIR\\LONGNA~1.EXE"}},
      {"no WININIT.INI, an empty WININIT.$$$", false, "", 0, {{kBeside, ""}},
       "[rename]\r\nnul=C:\\DIR\\LONGNA~1.EXE", {"nul=C:\\DIR\\LONGNA~1.EXE"}},
      {"WININIT.INI and a stale WININIT.$$$", true, "[rename]\r\nNUL=C:\\OLD.EXE\r\n", FILE_ATTRIBUTE_ARCHIVE,
       {{kBeside, "[rename]\r\nNUL=C:\\OLD.EXE\r\nnul=C:\\DATA\\REPORT.DOC"}},
       "[rename]\r\nNUL=C:\\OLD.EXE\r\nnul=C:\\DIR\\LONGNA~1.EXE",
       {"nul=C:\\OLD.EXE", "nul=C:\\DIR\\LONGNA~1.EXE"}},
      {"WININIT.BAK of the last restart", false, "", 0,
       {{"C:\\windows\\WININIT.BAK", "[rename]\r\nnul=C:\\DATA\\REPORT.DOC"}},
       "[rename]\r\nnul=C:\\DIR\\LONGNA~1.EXE", {"nul=C:\\DIR\\LONGNA~1.EXE"}},
      {"hidden and system", true, "[rename]\r\nNUL=C:\\OLD.EXE", kHiddenSystem, {},
       "[rename]\r\nNUL=C:\\OLD.EXE\r\nnul=C:\\DIR\\LONGNA~1.EXE",
       {"nul=C:\\OLD.EXE", "nul=C:\\DIR\\LONGNA~1.EXE"}},
      {"read-only", true, "[rename]\r\nNUL=C:\\OLD.EXE\r\n", FILE_ATTRIBUTE_READONLY, {},
       "[rename]\r\nNUL=C:\\OLD.EXE\r\n", {"nul=C:\\OLD.EXE"}},
      {"half-written: it ends inside a line", true, "[rename]\r\nNUL=C:\\OLD.EXE\r\nnul=C:\\PA",
       FILE_ATTRIBUTE_ARCHIVE, {},
       "[rename]\r\nNUL=C:\\OLD.EXE\r\nnul=C:\\PA\r\nnul=C:\\DIR\\LONGNA~1.EXE",
       {"nul=C:\\OLD.EXE", "nul=C:\\PA", "nul=C:\\DIR\\LONGNA~1.EXE"}},
      {"zeros after the last line (a write cut short)", true, std::string("[rename]\r\nNUL=C:\\OLD.EXE\r\n\0\0\0", 30),
       FILE_ATTRIBUTE_ARCHIVE, {},
       "[rename]\r\nNUL=C:\\OLD.EXE\r\n\r\nnul=C:\\DIR\\LONGNA~1.EXE",
       {"nul=C:\\OLD.EXE", "nul=C:\\DIR\\LONGNA~1.EXE"}},
      {"lines of 1023, 1024 and 100000 characters", true,
       "[boot]\r\nx=" + std::string(1021, 'a') + "\r\ny=" + std::string(1022, 'b') + "\r\n[rename]\r\nNUL=C:\\" +
           kLong + "\r\n",
       FILE_ATTRIBUTE_ARCHIVE, {},
       "[boot]\r\nx=" + std::string(1021, 'a') + "\r\ny=" + std::string(1022, 'b') + "\r\n[rename]\r\nNUL=C:\\" +
           kLong + "\r\nnul=C:\\DIR\\LONGNA~1.EXE",
       {"nul=C:\\" + kLong, "nul=C:\\DIR\\LONGNA~1.EXE"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    SetUp9xInUse();
    if (row.hasWininit) sim::PutFile(kWininit, row.wininit, row.attributes);
    for (const auto& file : row.beside) sim::PutFile(file.first, file.second);
    bool scheduled = row.after != row.wininit || !row.hasWininit;

    EXPECT_EQ(scheduled ? kReplaceAtRestart : kReplaceFailed, ReplaceFile("", kInUse, NULL));
    EXPECT_EQ(row.after, sim::FileData(kWininit));
    if (row.hasWininit) {
      EXPECT_EQ(row.attributes, sim::Attributes(kWininit));
    }
    std::vector<std::string> expectedFiles;
    for (const auto& file : row.beside) {
      EXPECT_EQ(file.second, sim::FileData(file.first)) << file.first;
      expectedFiles.push_back(file.first);
    }
    expectedFiles.push_back(kWininit);
    std::vector<std::string> files = sim::ListFiles(kWindows);
    std::sort(expectedFiles.begin(), expectedFiles.end());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(expectedFiles, files);
    EXPECT_EQ(0, sim::OpenStreamCount());
    EXPECT_EQ(0, sim::OpenHandleCount());

    EXPECT_EQ(row.carried, Carried(sim::Restart()));
    EXPECT_EQ(!scheduled, sim::Exists(kInUse));
    EXPECT_EQ("the user's report", sim::FileData(kUserFile));
    // The restart makes WININIT.INI the new WININIT.BAK; any other file stays as it was.
    for (const auto& file : row.beside) {
      if (file.first != "C:\\windows\\WININIT.BAK") {
        EXPECT_EQ(file.second, sim::FileData(file.first)) << file.first;
      }
    }
    // A second restart has nothing left to do.
    EXPECT_TRUE(sim::Restart().empty());
  }
}

TEST(IniFileSave, DiskFullWhileSchedulingOn9xKeepsEveryScheduledOperation) {
  SetUp9xInUse();
  const char kOld[] = "[rename]\r\nNUL=C:\\OLD.EXE\r\n[misc]\r\nkeep=1\r\n";
  sim::PutFile(kWininit, kOld);
  // The write goes half-way and the disk is full.
  sim::SetTornWrites(true);
  testing_support::FailApi("WriteFile", 1, false);
  EXPECT_EQ(kReplaceFailed, ReplaceFile("", kInUse, NULL));
  EXPECT_EQ(kOld, sim::FileData(kWininit));
  EXPECT_EQ(std::vector<std::string>{"nul=C:\\OLD.EXE"}, Carried(sim::Restart()));
  EXPECT_TRUE(sim::Exists(kInUse));
}

}  // namespace
