// ReplaceFile and FileExist against the simulated machine: every result code with its exact
// trace lines, in delete mode and in rename mode, and the machine after a restart.
#include "fileops/replace_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim.h"
#include "test_support.h"
#include "tools/samples/sample_writer.h"
#include "trace/trace.h"

using testing_support::Crlf;
using testing_support::DebugText;

#define RF "[TKUT - ReplaceFile]: "
#define FE "[TKUT - FileExist]: "
#define AR "[TKUT - AddFileToAutomaticRenameList]: "

namespace {

const char kWorm[] = "C:\\dir\\worm.exe";
const char kNew[] = "C:\\dir\\new.exe";
const char kOld[] = "C:\\dir\\old.exe";

std::string WormBytes() { return samples::MakeSample(samples::kRow0Crc); }
std::string NewBytes() { return "new program"; }
std::string OldBytes() { return "old program"; }

// The three lines every NT administrator scheduling writes.
const char kAdminScheduled[] = AR "System is NT.\n" AR "User is admin.\n" AR "Operation is executed during reboot.\n";
const char kAdminNotScheduled[] =
    AR "System is NT.\n" AR "User is admin.\n" AR "Operation cannot be executed during reboot.\n";
const char kUserNotScheduled[] =
    AR "System is NT.\n" AR "User is not admin.\n" AR "No admin rights, no VG -> No renaming at reboot.\n";

struct Case {
  const char* title;
  void (*setup)();
  std::string prefix;
  std::string name;
  const char* newName;  // NULL: delete mode
  int result;
  std::string log;
  void (*check)();  // the machine afterwards
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    sim::Reset();
    sim::MakeDirectory("C:\\dir");
    c.setup();
    EXPECT_EQ(c.result, ReplaceFile(c.prefix.c_str(), c.name.c_str(), c.newName));
    EXPECT_EQ(c.log, DebugText());
    c.check();
    EXPECT_EQ(0, sim::OpenHandleCount());
  }
}

void ExpectNothingPending() { EXPECT_TRUE(sim::PendingOperations().empty()); }

void ExpectPending(const std::vector<sim::PendingOperation>& expected) {
  const std::vector<sim::PendingOperation>& actual = sim::PendingOperations();
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].from, actual[i].from) << i;
    EXPECT_EQ(expected[i].to, actual[i].to) << i;
    EXPECT_EQ(expected[i].deletion, actual[i].deletion) << i;
    EXPECT_EQ(expected[i].flags, actual[i].flags) << i;
  }
}

// A prefix of 258 characters: with a name of 5 the source takes 263 characters and fits the
// 264-character buffer; with a name of 6 it does not.
std::string LongPrefix() { return "C:\\" + std::string(254, 'a') + "\\"; }

TEST(ReplaceFileDeleteMode, EveryResultWithItsTraceLines) {
  const std::string found = RF "Delete operation (C:\\dir\\worm.exe).\n" FE "File C:\\dir\\worm.exe exists.\n"
                            RF "Src file exists (C:\\dir\\worm.exe).\n";
  const std::string absent = RF "Delete operation (C:\\dir\\worm.exe).\n"
                             FE "File C:\\dir\\worm.exe does not exist.\n"
                             RF "Src file does not exist (C:\\dir\\worm.exe).\n";
  const std::string failed = found + RF "Failed to delete the file (C:\\dir\\worm.exe).\n";
  const std::string boundary = LongPrefix() + "a.exe";

  std::vector<Case> cases = {
      {"missing source", [] {}, "", kWorm, NULL, kReplaceNotThere, absent, [] { ExpectNothingPending(); }},
      {"source held open without read sharing counts as absent and stays",
       [] {
         sim::PutFile(kWorm, WormBytes(), FILE_ATTRIBUTE_READONLY);
         sim::HoldOpen(kWorm, GENERIC_READ, 0);
       },
       "", kWorm, NULL, kReplaceNotThere, absent,
       [] {
         EXPECT_TRUE(sim::FileData(kWorm) == WormBytes());
         EXPECT_EQ((DWORD)FILE_ATTRIBUTE_READONLY, sim::Attributes(kWorm));  // not touched
         ExpectNothingPending();
       }},
      {"a directory counts as absent and stays", [] { sim::MakeDirectory(kWorm); }, "", kWorm, NULL,
       kReplaceNotThere, absent, [] { EXPECT_TRUE(sim::IsDirectory(kWorm)); }},
      {"plain file, directory prefix", [] { sim::PutFile(kWorm, WormBytes()); }, "C:\\dir\\", "worm.exe", NULL,
       kReplaceDone, found + RF "File was deleted (C:\\dir\\worm.exe).\n",
       [] {
         EXPECT_FALSE(sim::Exists(kWorm));
         ExpectNothingPending();
       }},
      {"plain file, empty prefix", [] { sim::PutFile(kWorm, WormBytes()); }, "", kWorm, NULL, kReplaceDone,
       found + RF "File was deleted (C:\\dir\\worm.exe).\n", [] { EXPECT_FALSE(sim::Exists(kWorm)); }},
      {"read-only, hidden, system file is deleted at once",
       [] {
         sim::PutFile(kWorm, WormBytes(),
                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
       },
       "", kWorm, NULL, kReplaceDone, found + RF "File was deleted (C:\\dir\\worm.exe).\n",
       [] {
         EXPECT_FALSE(sim::Exists(kWorm));
         ExpectNothingPending();
       }},
      {"file vanished between the check and the deletion",
       [] {
         sim::PutFile(kWorm, WormBytes());
         testing_support::FailApi("DeleteFileA", 1, false, ERROR_FILE_NOT_FOUND);
       },
       "", kWorm, NULL, kReplaceNotThere,
       failed + RF "File not found or it is a directory (C:\\dir\\worm.exe).\n", [] { ExpectNothingPending(); }},
      {"running image, administrator: deletion at the restart",
       [] {
         sim::PutFile(kWorm, WormBytes(), FILE_ATTRIBUTE_READONLY);
         sim::MapImage(kWorm);
       },
       "", kWorm, NULL, kReplaceAtRestart,
       failed + kAdminScheduled + RF "File will be deleted during reboot (C:\\dir\\worm.exe).\n",
       [] {
         EXPECT_TRUE(sim::FileData(kWorm) == WormBytes());
         ExpectPending({{kWorm, "", true, 5}});
         sim::Restart();
         EXPECT_FALSE(sim::Exists(kWorm));
       }},
      {"file in use, other user: not schedulable",
       [] {
         sim::PutFile(kWorm, WormBytes());
         sim::HoldOpen(kWorm, GENERIC_READ, FILE_SHARE_READ);
         sim::SetAdmin(sim::kAdminAbsent);
       },
       "", kWorm, NULL, kReplaceFailed,
       failed + kUserNotScheduled + RF "File cannot be deleted during reboot (C:\\dir\\worm.exe).\n",
       [] {
         EXPECT_TRUE(sim::FileData(kWorm) == WormBytes());
         ExpectNothingPending();
       }},
      {"file in use, administrator, MoveFileExA failing",
       [] {
         sim::PutFile(kWorm, WormBytes());
         sim::MapImage(kWorm);
         testing_support::FailApi("MoveFileExA", 1, true);
       },
       "", kWorm, NULL, kReplaceFailed,
       failed + kAdminNotScheduled + RF "File cannot be deleted during reboot (C:\\dir\\worm.exe).\n",
       [] {
         EXPECT_TRUE(sim::Exists(kWorm));
         ExpectNothingPending();
       }},
      {"deletion failing for another reason is a failure, not an absence",
       [] {
         sim::PutFile(kWorm, WormBytes());
         testing_support::FailApi("DeleteFileA", 1, false, 1392 /* ERROR_FILE_CORRUPT */);
       },
       "", kWorm, NULL, kReplaceFailed, failed + RF "File cannot be deleted (C:\\dir\\worm.exe).\n",
       [] {
         EXPECT_TRUE(sim::Exists(kWorm));
         ExpectNothingPending();
       }},
      {"263 characters fit the buffer", [] {}, LongPrefix(), "a.exe", NULL, kReplaceNotThere,
       RF "Delete operation (" + boundary + ").\n" FE "File " + boundary + " does not exist.\n"
       RF "Src file does not exist (" + boundary + ").\n",
       [] {}},
      {"264 characters are refused as a failure", [] {}, LongPrefix(), "ab.exe", NULL, kReplaceFailed,
       RF "Path is too long (" + LongPrefix() + "ab.exe).\n", [] {}},
      {"a prefix alone longer than the buffer is refused", [] {}, std::string(300, 'p'), "x", NULL,
       kReplaceFailed, RF "Path is too long (" + std::string(300, 'p') + "x).\n", [] {}},
  };
  RunCases(cases);
}

TEST(ReplaceFileRenameMode, EveryResultWithItsTraceLines) {
  const std::string start = RF "Rename operation (C:\\dir\\new.exe -> C:\\dir\\old.exe).\n"
                            FE "File C:\\dir\\new.exe exists.\n" RF "Src file exists (C:\\dir\\new.exe).\n";
  const std::string noDest = start + FE "File C:\\dir\\old.exe does not exist.\n";
  const std::string destFound = start + FE "File C:\\dir\\old.exe exists.\n" RF "Dest file exists (C:\\dir\\old.exe).\n";
  const std::string destLocked = destFound + RF "Failed to delete the file (C:\\dir\\old.exe).\n";
  const std::string destDeleted = destFound + RF "Dest file deleted (C:\\dir\\old.exe).\n";
  const std::string renamed = RF "Src file was successfully renamed (C:\\dir\\new.exe -> C:\\dir\\old.exe).\n";
  const std::string renameFailed = RF "Failed to rename the source file (C:\\dir\\new.exe).\n";
  const std::string longName(300, 'n');
  const std::string destScheduled = kAdminScheduled + std::string(RF "File will be deleted during reboot (C:\\dir\\old.exe).\n");

  std::vector<Case> cases = {
      {"missing source leaves the destination alone", [] { sim::PutFile(kOld, OldBytes()); }, "C:\\dir\\",
       "new.exe", "old.exe", kReplaceNotThere,
       RF "Rename operation (C:\\dir\\new.exe -> C:\\dir\\old.exe).\n" FE "File C:\\dir\\new.exe does not exist.\n"
       RF "Src file does not exist (C:\\dir\\new.exe).\n",
       [] {
         EXPECT_EQ(OldBytes(), sim::FileData(kOld));
         ExpectNothingPending();
       }},
      {"no destination: renamed at once", [] { sim::PutFile(kNew, NewBytes()); }, "C:\\dir\\", "new.exe",
       "old.exe", kReplaceDone, noDest + renamed,
       [] {
         EXPECT_FALSE(sim::Exists(kNew));
         EXPECT_EQ(NewBytes(), sim::FileData(kOld));
       }},
      {"empty prefix: the names alone are the paths", [] { sim::PutFile(kNew, NewBytes()); }, "", kNew, kOld,
       kReplaceDone, noDest + renamed, [] { EXPECT_EQ(NewBytes(), sim::FileData(kOld)); }},
      {"destination deleted, then renamed",
       [] {
         sim::PutFile(kNew, NewBytes());
         sim::PutFile(kOld, OldBytes());
       },
       "C:\\dir\\", "new.exe", "old.exe", kReplaceDone, destDeleted + renamed,
       [] {
         EXPECT_FALSE(sim::Exists(kNew));
         EXPECT_EQ(NewBytes(), sim::FileData(kOld));
         ExpectNothingPending();
       }},
      {"read-only destination: its deletion and the renaming both at the restart",
       [] {
         sim::PutFile(kNew, NewBytes(), FILE_ATTRIBUTE_HIDDEN);
         sim::PutFile(kOld, OldBytes(), FILE_ATTRIBUTE_READONLY);
       },
       "C:\\dir\\", "new.exe", "old.exe", kReplaceAtRestart,
       destLocked + destScheduled + kAdminScheduled + RF "Src file will be deleted during reboot (C:\\dir\\new.exe).\n",
       [] {
         // No attribute is touched in this mode.
         EXPECT_EQ((DWORD)FILE_ATTRIBUTE_READONLY, sim::Attributes(kOld));
         EXPECT_EQ((DWORD)FILE_ATTRIBUTE_HIDDEN, sim::Attributes(kNew));
         ExpectPending({{kOld, "", true, 5}, {kNew, kOld, false, 5}});
         sim::Restart();
         EXPECT_FALSE(sim::Exists(kNew));
         EXPECT_EQ(NewBytes(), sim::FileData(kOld));
       }},
      {"destination cannot be deleted for another reason",
       [] {
         sim::PutFile(kNew, NewBytes());
         sim::PutFile(kOld, OldBytes());
         testing_support::FailApi("DeleteFileA", 1, false, ERROR_FILE_NOT_FOUND);
       },
       "C:\\dir\\", "new.exe", "old.exe", kReplaceFailed,
       destFound + RF "Failed to delete the file (C:\\dir\\old.exe).\n" RF "Dest file is a directory (C:\\dir\\old.exe).\n",
       [] {
         EXPECT_EQ(NewBytes(), sim::FileData(kNew));
         EXPECT_EQ(OldBytes(), sim::FileData(kOld));
         ExpectNothingPending();
       }},
      {"read-only destination, other user: its deletion cannot be scheduled",
       [] {
         sim::PutFile(kNew, NewBytes());
         sim::PutFile(kOld, OldBytes(), FILE_ATTRIBUTE_READONLY);
         sim::SetAdmin(sim::kAdminAbsent);
       },
       "C:\\dir\\", "new.exe", "old.exe", kReplaceFailed,
       destLocked + kUserNotScheduled + RF "File cannot be deleted during reboot (C:\\dir\\old.exe).\n",
       [] {
         EXPECT_EQ(OldBytes(), sim::FileData(kOld));
         ExpectNothingPending();
       }},
      {"destination's deletion scheduled, the renaming not",
       [] {
         sim::PutFile(kNew, NewBytes());
         sim::PutFile(kOld, OldBytes(), FILE_ATTRIBUTE_READONLY);
         testing_support::FailApi("MoveFileExA", 2, false);
       },
       "C:\\dir\\", "new.exe", "old.exe", kReplaceFailedDestRemoved,
       destLocked + destScheduled + kAdminNotScheduled +
           RF "Src file cannot be deleted during reboot (C:\\dir\\new.exe).\n",
       [] { ExpectPending({{kOld, "", true, 5}}); }},
      {"no destination, source in use: renaming at the restart",
       [] {
         sim::PutFile(kNew, NewBytes());
         sim::HoldOpen(kNew, GENERIC_READ, FILE_SHARE_READ);
       },
       "C:\\dir\\", "new.exe", "old.exe", kReplaceAtRestart,
       noDest + renameFailed + kAdminScheduled +
           RF "Src file will be renamed during reboot(C:\\dir\\new.exe -> C:\\dir\\old.exe).\n",
       [] {
         EXPECT_FALSE(sim::Exists(kOld));
         ExpectPending({{kNew, kOld, false, 5}});
         sim::Restart();
         EXPECT_FALSE(sim::Exists(kNew));
         EXPECT_EQ(NewBytes(), sim::FileData(kOld));
       }},
      {"no destination, source in use, other user: nothing changed",
       [] {
         sim::PutFile(kNew, NewBytes());
         sim::HoldOpen(kNew, GENERIC_READ, FILE_SHARE_READ);
         sim::SetAdmin(sim::kAdminAbsent);
       },
       "C:\\dir\\", "new.exe", "old.exe", kReplaceFailed,
       noDest + renameFailed + kUserNotScheduled +
           RF "Src file cannot be renamed during reboot(C:\\dir\\new.exe -> C:\\dir\\old.exe).\n",
       [] {
         EXPECT_EQ(NewBytes(), sim::FileData(kNew));
         EXPECT_FALSE(sim::Exists(kOld));
       }},
      {"destination deleted, then the renaming neither done nor scheduled",
       [] {
         sim::PutFile(kNew, NewBytes());
         sim::PutFile(kOld, OldBytes());
         sim::HoldOpen(kNew, GENERIC_READ, FILE_SHARE_READ);
         sim::SetAdmin(sim::kAdminAbsent);
       },
       "C:\\dir\\", "new.exe", "old.exe", kReplaceFailedDestRemoved,
       destDeleted + renameFailed + kUserNotScheduled +
           RF "Src file cannot be renamed during reboot(C:\\dir\\new.exe -> C:\\dir\\old.exe).\n",
       [] {
         EXPECT_FALSE(sim::Exists(kOld));
         EXPECT_EQ(NewBytes(), sim::FileData(kNew));
         ExpectNothingPending();
       }},
      {"overlong destination is refused before anything is touched",
       [] {
         sim::PutFile(kNew, NewBytes());
       },
       "C:\\dir\\", "new.exe", longName.c_str(), kReplaceFailed,
       RF "Path is too long (C:\\dir\\" + longName + ").\n", [] {
         EXPECT_EQ(NewBytes(), sim::FileData(kNew));
         ExpectNothingPending();
       }},
  };
  RunCases(cases);
}

TEST(ReplaceFile, TraceFileStoresCrLf) {
  sim::Reset();
  sim::PutFile(kWorm, WormBytes());
  sim::MapImage(kWorm);
  OpenTraceFile("C:\\windows\\VorlaxClean.log", "a+");
  EXPECT_EQ(kReplaceAtRestart, ReplaceFile("", kWorm, NULL));
  EXPECT_EQ(Crlf(RF "Delete operation (C:\\dir\\worm.exe).\n" FE "File C:\\dir\\worm.exe exists.\n"
                 RF "Src file exists (C:\\dir\\worm.exe).\n" RF "Failed to delete the file (C:\\dir\\worm.exe).\n" +
                 std::string(kAdminScheduled) + RF "File will be deleted during reboot (C:\\dir\\worm.exe).\n"),
            sim::FileData("C:\\windows\\VorlaxClean.log"));
}

TEST(FileExist, OpensForReadingOnly) {
  sim::Reset();
  sim::PutFile("C:\\ro.txt", "x", FILE_ATTRIBUTE_READONLY);
  sim::PutFile("C:\\locked.txt", "y");
  sim::HoldOpen("C:\\locked.txt", GENERIC_WRITE, 0);
  sim::PutFile("C:\\running.exe", "z");
  sim::MapImage("C:\\running.exe");
  sim::MakeDirectory("C:\\folder");

  EXPECT_EQ(1, FileExist("C:\\ro.txt"));         // read-only is readable
  EXPECT_EQ(1, FileExist("C:\\running.exe"));    // a running image is readable
  EXPECT_EQ(0, FileExist("C:\\locked.txt"));     // no read sharing
  EXPECT_EQ(0, FileExist("C:\\folder"));         // a directory
  EXPECT_EQ(0, FileExist("C:\\missing.txt"));
  EXPECT_EQ(FE "File C:\\ro.txt exists.\n" FE "File C:\\running.exe exists.\n"
            FE "File C:\\locked.txt does not exist.\n" FE "File C:\\folder does not exist.\n"
            FE "File C:\\missing.txt does not exist.\n",
            DebugText());
  // Nothing changed, nothing left open: the locked file is still only held by its owner.
  EXPECT_EQ("x", sim::FileData("C:\\ro.txt"));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_READONLY, sim::Attributes("C:\\ro.txt"));
  EXPECT_EQ(0, sim::OpenHandleCount());
}

}  // namespace
