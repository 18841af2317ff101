// Backups of removed files and putting them back: what a run leaves in the backup folder (the
// manifest byte for byte), a backup that cannot be made (a full disk, a file no one may read),
// numbering across runs, /NOBACKUP and /DETECT, /RESTORE and /RESTORE:N with every kind of bad
// input, and the console title while the tool works.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "detect/drive_scan.h"
#include "fileops/backup.h"
#include "sim/sim.h"
#include "test_support.h"
#include "tools/samples/sample_writer.h"

namespace {

const char kSample[] = "C:\\samples\\worm.exe";
const char kPlain[] = "C:\\samples\\readme.txt";
const char kFolder[] = "C:\\windows\\VorlaxClean.qtn";
const char kManifest[] = "C:\\windows\\VorlaxClean.qtn\\manifest.ini";
const char kBackup1[] = "C:\\windows\\VorlaxClean.qtn\\00000001.vqb";
const char kLog[] = "C:\\windows\\VorlaxClean.log";

std::string Hex8(uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "%08X", value);
  return text;
}

// One run of the tool as a fresh process on the machine as it stands.
int RunTool(std::vector<std::string> args) {
  ResetProcessState();
  return testing_support::RunMain(args);
}

std::string Sample(uint32_t seed = 3) { return samples::MakeSample(samples::kRow0Crc, 8192, seed); }

// The infected machine: one sample and a clean file beside it.
void InfectedMachine() {
  sim::Reset();
  sim::PutFile(kSample, Sample());
  sim::PutFile(kPlain, samples::MakePlain(3000, 4));
}

// Every file but the log, with its bytes: what a refused restore must leave as it was.
std::map<std::string, std::string> FilesButTheLog() {
  std::map<std::string, std::string> files;
  for (const std::string& path : sim::ListFiles("C:\\"))
    if (path != kLog) files[path] = sim::FileData(path);
  return files;
}

std::string EntryText(int number, const std::string& path, const std::string& data, const std::string& original,
                      const std::string& time, const std::string& restored = "") {
  std::string text = "\r\n[Backup " + std::to_string(number) + "]\r\nPath=" + path +
                     "\r\nSize=" + std::to_string(data.size()) + "\r\nCRC32=" + Hex8(samples::BitwiseCrc32(data)) +
                     "\r\nTime=" + time + "\r\nOriginal=" + original + "\r\nFile=" +
                     std::string(8 - std::to_string(number).size(), '0') + std::to_string(number) + ".vqb\r\n";
  if (!restored.empty()) text += "Restored=" + restored + "\r\n";
  return text;
}

const std::string kHeading =
    "; VorlaxClean backups: VorlaxClean.exe /RESTORE lists them, /RESTORE:N puts entry N back\r\n";
const std::string kEnd = "\r\n; end of manifest\r\n";

// The backup holds the file behind a header, through the transform, and its CRC after it:
// not the file's bytes, and undone they are the file's.
void ExpectInertBackupOf(const std::string& backupPath, const std::string& original) {
  std::string stored = sim::FileData(backupPath);
  ASSERT_EQ(original.size() + 16, stored.size()) << backupPath;
  EXPECT_EQ("VCBACKUP", stored.substr(0, 8));
  EXPECT_EQ(std::string::npos, stored.find(original.substr(1024, 7168))) << "the signed stretch is there as it is";
  std::string undone = stored.substr(12, original.size());
  DWORD state = kBackupKeySeed;
  TransformBackupBytes(reinterpret_cast<unsigned char*>(&undone[0]), static_cast<DWORD>(undone.size()), &state);
  EXPECT_EQ(original, undone);
}

TEST(Backup, MadeBeforeTheRemovalAndListedWithoutChangingConsoleOrLog) {
  // The same machine with backups off: the console and the log must be the same byte for byte.
  InfectedMachine();
  ASSERT_EQ(1, RunTool({"/SILENT", "/NOBACKUP"}));
  std::string consoleWithout = sim::ConsoleOutput(), logWithout = sim::FileData(kLog);
  EXPECT_FALSE(sim::Exists(kFolder));

  InfectedMachine();
  ASSERT_EQ(1, RunTool({"/SILENT"}));
  EXPECT_EQ(consoleWithout, sim::ConsoleOutput());
  EXPECT_EQ(logWithout, sim::FileData(kLog));
  EXPECT_FALSE(sim::Exists(kSample));
  EXPECT_EQ(samples::MakePlain(3000, 4), sim::FileData(kPlain));
  EXPECT_EQ((std::vector<std::string>{kBackup1, kManifest}), sim::ListFiles(kFolder));
  ExpectInertBackupOf(kBackup1, Sample());
  EXPECT_EQ(kHeading + EntryText(1, kSample, Sample(), "deleted", "2024-06-03T08:00:00") + kEnd,
            sim::FileData(kManifest));
}

// A clean run makes no folder; /NOBACKUP and /DETECT never back anything up.
TEST(Backup, NoFolderForACleanRunNoBackupOrDetection) {
  const struct {
    std::vector<std::string> args;
    bool infected;
    int exit;
  } cases[] = {{{"/SILENT"}, false, 0}, {{"/SILENT", "/NOBACKUP"}, true, 1}, {{"/SILENT", "/DETECT"}, true, 4},
               {{"/nobackup", "/Q"}, true, 1}};
  for (const auto& c : cases) {
    if (c.infected) {
      InfectedMachine();
    } else {
      sim::Reset();
      sim::PutFile(kPlain, "clean");
    }
    EXPECT_EQ(c.exit, RunTool(c.args)) << c.args[0];
    EXPECT_FALSE(sim::Exists(kFolder)) << c.args[0];
  }
}

// A backup that cannot be made never stops the removal: the file goes all the same, the
// manifest's entry says why, and one trace line does.
TEST(Backup, ThatCannotBeMadeLeavesTheRemovalAsItWas) {
  const struct {
    const char* name;
    void (*prepare)();
    int exit;
    const char* original;
    const char* reason;
    bool sampleGone;
  } cases[] = {
      {"full disk", [] { sim::SetFreeSpace('C', 100000); }, 1, "deleted",
       "not enough free space (97 KB free, 1033 KB needed)", true},
      {"the folder's name taken by a file", [] { sim::PutFile(kFolder, "in the way"); }, 1, "deleted", nullptr,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InfectedMachine();
    c.prepare();
    EXPECT_EQ(c.exit, RunTool({"/SILENT"}));
    EXPECT_EQ(!c.sampleGone, sim::Exists(kSample));
    std::string log = sim::FileData(kLog);
    std::string line = std::string("No backup of ") + kSample + ": ";
    size_t at = log.find(line);
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_EQ(std::string::npos, log.find(line, at + 1)) << "one trace line";
    EXPECT_NE(std::string::npos, log.find(std::string("Deleting file \"") + kSample + "\", result=", at));
    if (c.reason == nullptr) {  // no folder, so no manifest either
      EXPECT_EQ("in the way", sim::FileData(kFolder));
      continue;
    }
    EXPECT_EQ(std::string::npos, log.find(line, at + 1));
    EXPECT_EQ(kHeading + "\r\n[Backup 1]\r\nPath=" + kSample + "\r\n" + "Size=8192\r\n" +
                  "Time=2024-06-03T08:00:00\r\nOriginal=" + c.original + "\r\nNoBackup=" + c.reason + "\r\n" + kEnd,
              sim::FileData(kManifest));
  }
}

// Room for one backup and the margin, not for two: the run's own backups count against the free
// space it found, so the second is not made, and the margin is still free at the end.
TEST(Backup, TheRunsOwnBackupsCountAgainstTheFreeSpace) {
  sim::Reset();
  sim::PutFile("C:\\a\\one.exe", Sample(21));
  sim::PutFile("C:\\a\\two.exe", Sample(22));
  const uint64_t kOneBackup = 8192 + 16, kMargin = 1024 * 1024;
  sim::SetFreeSpace('C', kMargin + kOneBackup + 4096);
  ASSERT_EQ(1, RunTool({"/SILENT"}));
  EXPECT_FALSE(sim::Exists("C:\\a\\one.exe"));
  EXPECT_FALSE(sim::Exists("C:\\a\\two.exe"));
  std::string manifest = sim::FileData(kManifest);
  EXPECT_EQ(kHeading + EntryText(1, "C:\\a\\one.exe", Sample(21), "deleted", "2024-06-03T08:00:00"),
            manifest.substr(0, manifest.find("\r\n[Backup 2]")));
  EXPECT_NE(std::string::npos, manifest.find("\r\n[Backup 2]\r\nPath=C:\\a\\two.exe\r\nSize=8192\r\n"
                                             "Time=2024-06-03T08:00:00\r\nOriginal=deleted\r\n"
                                             "NoBackup=not enough free space ("))
      << manifest;
  EXPECT_FALSE(sim::Exists("C:\\windows\\VorlaxClean.qtn\\00000002.vqb"));
  EXPECT_GE(sim::FreeSpace('C'), kMargin);
}

// The folder removed by hand while the run goes on is made again for the next backup and the
// manifest.
TEST(Backup, AFolderRemovedDuringTheRunIsMadeAgain) {
  sim::Reset();
  ResetProcessState();
  sim::PutFile("C:\\a\\one.exe", Sample(31));
  sim::PutFile("C:\\a\\two.exe", Sample(32));
  int backup = 0;
  ASSERT_EQ(1, RemoveInfectedFile("C:\\a\\one.exe", &backup));
  for (const std::string& path : sim::ListFiles(kFolder)) ASSERT_TRUE(DeleteFileA(path.c_str())) << path;
  ASSERT_TRUE(RemoveDirectoryA(kFolder));
  ASSERT_EQ(1, RemoveInfectedFile("C:\\a\\two.exe", &backup));
  EXPECT_EQ(2, backup);
  ExpectInertBackupOf("C:\\windows\\VorlaxClean.qtn\\00000002.vqb", Sample(32));
  SaveBackupManifest();
  EXPECT_EQ(kHeading + EntryText(1, "C:\\a\\one.exe", Sample(31), "deleted", "2024-06-03T08:00:00") +
                EntryText(2, "C:\\a\\two.exe", Sample(32), "deleted", "2024-06-03T08:00:00") + kEnd,
            sim::FileData(kManifest));
  ResetProcessState();
}

// A second run adds entries with new numbers, past every backup in the folder (one whose entry
// never reached the manifest too), and never writes over an older backup; a file whose deletion
// waits for the restart keeps its one backup when it is met again.
TEST(Backup, LaterRunsAppendWithNewNumbers) {
  InfectedMachine();
  const char kHeld[] = "C:\\held\\app.exe";
  std::string held = Sample(5);
  sim::PutFile(kHeld, held);
  int hold = sim::HoldOpen(kHeld, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_EQ(2, RunTool({"/SILENT"}));
  std::string first = sim::FileData(kManifest);
  EXPECT_EQ(kHeading + EntryText(1, kHeld, held, "restart", "2024-06-03T08:00:00") +
                EntryText(2, kSample, Sample(), "deleted", "2024-06-03T08:00:00") + kEnd,
            first);
  std::string backup1 = sim::FileData(kBackup1);

  // Before the restart: the held file is met again, with the same bytes.
  sim::PutFile("C:\\windows\\VorlaxClean.qtn\\00000005.tmp", "left by a run that stopped");
  sim::PutFile("C:\\more\\other.exe", Sample(6));
  ASSERT_EQ(2, RunTool({"/SILENT"}));
  std::string time = sim::FileData(kManifest).substr(sim::FileData(kManifest).rfind("Time=") + 5, 19);
  EXPECT_EQ(kHeading + EntryText(1, kHeld, held, "restart", "2024-06-03T08:00:00") +
                EntryText(2, kSample, Sample(), "deleted", "2024-06-03T08:00:00") +
                EntryText(6, "C:\\more\\other.exe", Sample(6), "deleted", time) + kEnd,
            sim::FileData(kManifest));
  EXPECT_EQ(backup1, sim::FileData(kBackup1));
  EXPECT_FALSE(sim::Exists("C:\\windows\\VorlaxClean.qtn\\00000003.vqb"));
  ExpectInertBackupOf("C:\\windows\\VorlaxClean.qtn\\00000006.vqb", Sample(6));
  sim::Release(hold);
}

// What the disk holds at each moment is what a run ended by force there leaves: the manifest is
// written at the first removal, then at most once a second, at a removal or at the drive scan's
// next entry, so that a long scan cut short still lists every backup but those of its last second.
TEST(Backup, ManifestWrittenDuringTheRunAtMostOnceASecond) {
  sim::Reset();
  ResetProcessState();
  const std::string kPaths[] = {"C:\\a\\one.exe", "C:\\a\\two.exe", "C:\\a\\three.exe"};
  for (int i = 0; i < 3; ++i) sim::PutFile(kPaths[i], Sample(10 + i));
  auto entry = [&](int i, const char* time) { return EntryText(i + 1, kPaths[i], Sample(10 + i), "deleted", time); };
  int backup = 0;

  ASSERT_EQ(1, RemoveInfectedFile(kPaths[0].c_str(), &backup));
  const std::string first = kHeading + entry(0, "2024-06-03T08:00:00") + kEnd;
  EXPECT_EQ(first, sim::FileData(kManifest)) << "the first removal is listed at once";

  ASSERT_EQ(1, RemoveInfectedFile(kPaths[1].c_str(), &backup));
  EXPECT_EQ(2, backup);
  EXPECT_EQ(first, sim::FileData(kManifest)) << "not written again within the second";
  Sleep(999);
  ASSERT_EQ(0, CheckScannedEntry("C:\\a\\notes.txt", NULL, 0));
  EXPECT_EQ(first, sim::FileData(kManifest));
  Sleep(1);
  ASSERT_EQ(0, CheckScannedEntry("C:\\a\\notes.txt", NULL, 0));
  const std::string second = kHeading + entry(0, "2024-06-03T08:00:00") + entry(1, "2024-06-03T08:00:00") + kEnd;
  EXPECT_EQ(second, sim::FileData(kManifest)) << "the scan's next entry writes it once the second is over";

  Sleep(400);
  ASSERT_EQ(1, RemoveInfectedFile(kPaths[2].c_str(), &backup));
  EXPECT_EQ(second, sim::FileData(kManifest));
  SaveBackupManifest();  // the phase's end
  const std::string third = kHeading + entry(0, "2024-06-03T08:00:00") + entry(1, "2024-06-03T08:00:00") +
                            entry(2, "2024-06-03T08:00:01") + kEnd;
  EXPECT_EQ(third, sim::FileData(kManifest));
  Sleep(5000);
  SaveBackupManifestWhenDue();
  SaveBackupManifest();
  EXPECT_EQ(third, sim::FileData(kManifest)) << "nothing new, nothing written";
  EXPECT_EQ((std::vector<std::string>{"C:\\windows\\VorlaxClean.qtn\\00000001.vqb",
                                      "C:\\windows\\VorlaxClean.qtn\\00000002.vqb",
                                      "C:\\windows\\VorlaxClean.qtn\\00000003.vqb", kManifest}),
            sim::ListFiles(kFolder));
  ResetProcessState();
}

TEST(Restore, PutsTheFileBackByteForByteInMissingFoldersAndNeverOverAFile) {
  sim::Reset();
  const char kDeep[] = "C:\\deep\\er\\worm.exe";
  sim::PutFile(kDeep, Sample());
  ASSERT_EQ(1, RunTool({"/SILENT"}));
  ASSERT_TRUE(RemoveDirectoryA("C:\\deep\\er"));
  ASSERT_TRUE(RemoveDirectoryA("C:\\deep"));

  size_t before = sim::ConsoleOutput().size();
  EXPECT_EQ(0, RunTool({"/RESTORE"}));
  EXPECT_EQ(
      "Backups in C:\\windows\\VorlaxClean.qtn\r\n\r\n"
      "Entry        Size  Time                 State      Original path\r\n"
      "    1        8192  2024-06-03T08:00:00  deleted    C:\\deep\\er\\worm.exe\r\n"
      "\r\nVorlaxClean.exe /RESTORE:N puts entry N back at its original path.\r\n",
      sim::ConsoleOutput().substr(before));

  before = sim::ConsoleOutput().size();
  EXPECT_EQ(0, RunTool({"/RESTORE:1"}));
  EXPECT_EQ("Restored entry 1 to C:\\deep\\er\\worm.exe (8192 bytes)\r\n", sim::ConsoleOutput().substr(before));
  EXPECT_EQ(Sample(), sim::FileData(kDeep));
  EXPECT_EQ((std::vector<std::string>{kDeep}), sim::ListFiles("C:\\deep"));
  std::string restored = sim::FileData(kManifest);
  EXPECT_EQ(kHeading + EntryText(1, kDeep, Sample(), "deleted", "2024-06-03T08:00:00", restored.substr(restored.find("Restored=") + 9, 19)) + kEnd,
            restored);
  EXPECT_NE(std::string::npos, sim::FileData(kLog).find("Restored entry 1 to C:\\deep\\er\\worm.exe (8192 bytes)\r\n"));

  // Again: the file is there now.
  std::map<std::string, std::string> files = FilesButTheLog();
  before = sim::ConsoleOutput().size();
  EXPECT_EQ(5, RunTool({"/RESTORE:1"}));
  EXPECT_EQ("Restore: C:\\deep\\er\\worm.exe is there; entry 1 is not written over it\r\n",
            sim::ConsoleOutput().substr(before));
  EXPECT_EQ(files, FilesButTheLog());

  // The file deleted by hand again: the backup still serves.
  ASSERT_TRUE(DeleteFileA(kDeep));
  EXPECT_EQ(0, RunTool({"/RESTORE:1"}));
  EXPECT_EQ(Sample(), sim::FileData(kDeep));
}

// Bad input: each case gives one clear line and exit 5, and changes no file.
TEST(Restore, BadInputGivesOneLineAndExitFiveAndChangesNothing) {
  auto editManifest = [](const std::string& from, const std::string& to) {
    std::string text = sim::FileData(kManifest);
    size_t at = text.find(from);
    ASSERT_NE(std::string::npos, at) << from;
    text.replace(at, from.size(), to);
    sim::PutFile(kManifest, text);
  };
  std::string crc = Hex8(samples::BitwiseCrc32(Sample()));
  const struct {
    const char* name;
    std::string arg;
    std::function<void()> prepare;
    std::string line;
  } cases[] = {
      {"no number", "/RESTORE:", [] {}, "Restore: no entry number after /RESTORE:"},
      {"zero", "/RESTORE:0", [] {}, "Restore: \"0\" is not an entry number (1 to 99999999)"},
      {"negative", "/RESTORE:-1", [] {}, "Restore: \"-1\" is not an entry number (1 to 99999999)"},
      {"a plus sign", "/RESTORE:+1", [] {}, "Restore: \"+1\" is not an entry number (1 to 99999999)"},
      {"a leading zero", "/RESTORE:01", [] {}, "Restore: \"01\" is not an entry number (1 to 99999999)"},
      {"huge", "/RESTORE:99999999999999999999", [] {},
       "Restore: \"99999999999999999999\" is not an entry number (1 to 99999999)"},
      {"letters", "/RESTORE:one", [] {}, "Restore: \"one\" is not an entry number (1 to 99999999)"},
      {"out of range", "/RESTORE:2", [] {}, "Restore: the manifest has no entry 2"},
      {"truncated", "/RESTORE:1", [] { sim::PutFile(kManifest, sim::FileData(kManifest).substr(0, 120)); },
       "Restore: the manifest C:\\windows\\VorlaxClean.qtn\\manifest.ini cannot be read: it is cut short (no end line)"},
      {"an unknown key", "/RESTORE:1", [&] { editManifest("Size=", "Bytes="); },
       "Restore: the manifest C:\\windows\\VorlaxClean.qtn\\manifest.ini cannot be read: it is damaged at line 5 (an unknown key)"},
      {"a huge size", "/RESTORE:1", [&] { editManifest("Size=8192", "Size=99999999999"); },
       "Restore: the manifest C:\\windows\\VorlaxClean.qtn\\manifest.ini cannot be read: it is damaged at line 5 (a Size that is no number)"},
      {"a relative path", "/RESTORE:1", [&] { editManifest("Path=C:\\", "Path=..\\"); },
       "Restore: the manifest C:\\windows\\VorlaxClean.qtn\\manifest.ini cannot be read: it is damaged at line 4 (a Path that is no full path)"},
      {"a File of another entry", "/RESTORE:1", [&] { editManifest("File=00000001", "File=00000002"); },
       "Restore: the manifest C:\\windows\\VorlaxClean.qtn\\manifest.ini cannot be read: it is damaged at line 11 (a File name that is not its entry's)"},
      {"entries out of order", "/RESTORE:1",
       [&] { editManifest("\r\n; end of manifest", "\r\n[Backup 1]\r\nPath=C:\\x.exe\r\n; end of manifest"); },
       "Restore: the manifest C:\\windows\\VorlaxClean.qtn\\manifest.ini cannot be read: it is damaged at line 11 (entry numbers out of order)"},
      {"an edited CRC", "/RESTORE:1", [&] { editManifest("CRC32=" + crc, "CRC32=12345678"); },
       "Restore: the backup C:\\windows\\VorlaxClean.qtn\\00000001.vqb of entry 1 is damaged (its CRC-32 is " + crc +
           ", the manifest says 12345678); nothing was restored"},
      {"an edited size", "/RESTORE:1", [&] { editManifest("Size=8192", "Size=8191"); },
       "Restore: the backup C:\\windows\\VorlaxClean.qtn\\00000001.vqb of entry 1 is damaged (its length does not fit the manifest's size); nothing was restored"},
      {"a changed backup", "/RESTORE:1",
       [] {
         std::string stored = sim::FileData(kBackup1);
         stored[5000] ^= 1;
         sim::PutFile(kBackup1, stored);
       },
       "Restore: the backup C:\\windows\\VorlaxClean.qtn\\00000001.vqb of entry 1 is damaged (its CRC-32 is " +
           Hex8(samples::BitwiseCrc32([] {
             std::string s = Sample();
             s[5000 - 12] ^= 1;
             return s;
           }())) +
           ", the manifest says " + crc + "); nothing was restored"},
      {"a backup deleted by hand", "/RESTORE:1", [] { DeleteFileA(kBackup1); },
       "Restore: the backup C:\\windows\\VorlaxClean.qtn\\00000001.vqb of entry 1 is missing; nothing was restored"},
      {"a file in the way", "/RESTORE:1", [] { sim::PutFile(kSample, "new"); },
       "Restore: C:\\samples\\worm.exe is there; entry 1 is not written over it"},
      {"a folder in the way", "/RESTORE:1", [] { sim::MakeDirectory(kSample); },
       "Restore: C:\\samples\\worm.exe is there; entry 1 is not written over it"},
      {"a full disk", "/RESTORE:1", [] { sim::SetFreeSpace('C', 100); },
       "Restore: cannot write C:\\samples\\worm.exe.$$$ (error 112); nothing was restored"},
      {"a read-only disk", "/RESTORE:1", [] { sim::SetDriveReadOnly('C', true); },
       "Restore: cannot write C:\\samples\\worm.exe.$$$ (error 19); nothing was restored"},
      {"a manifest that cannot be updated", "/RESTORE:1",
       [] { sim::PutFile(kManifest, sim::FileData(kManifest), FILE_ATTRIBUTE_READONLY); },
       "Restore: the manifest C:\\windows\\VorlaxClean.qtn\\manifest.ini cannot be updated (error 5); nothing was restored"},
      {"no administrator", "/RESTORE:1", [] { sim::SetAdmin(sim::kAdminAbsent); },
       "Restore: administrator rights are needed to restore a backup"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InfectedMachine();
    ASSERT_EQ(1, RunTool({"/SILENT"}));
    c.prepare();
    std::map<std::string, std::string> files = FilesButTheLog();
    size_t before = sim::ConsoleOutput().size();
    EXPECT_EQ(5, RunTool({c.arg}));
    EXPECT_EQ(c.line + "\r\n", sim::ConsoleOutput().substr(before));
    EXPECT_EQ(files, FilesButTheLog());
  }
}

// A manifest that cannot be read is left as it is by a run, which still removes the worm.
TEST(Backup, ADamagedManifestIsLeftAsItIsAndTheRemovalGoesOn) {
  InfectedMachine();
  sim::PutFile(kManifest, "[Backup 1]\r\nPath=C:\\x.exe\r\n");
  ASSERT_EQ(1, RunTool({"/SILENT"}));
  EXPECT_FALSE(sim::Exists(kSample));
  EXPECT_EQ("[Backup 1]\r\nPath=C:\\x.exe\r\n", sim::FileData(kManifest));
  EXPECT_EQ((std::vector<std::string>{kManifest}), sim::ListFiles(kFolder));
  EXPECT_NE(std::string::npos,
            sim::FileData(kLog).find("No backup of C:\\samples\\worm.exe: the manifest cannot be used: it is cut short (no end line)\r\n"));
  size_t before = sim::ConsoleOutput().size();
  EXPECT_EQ(5, RunTool({"/RESTORE"}));
  EXPECT_EQ("Restore: the manifest C:\\windows\\VorlaxClean.qtn\\manifest.ini cannot be read: it is cut short (no end line)\r\n",
            sim::ConsoleOutput().substr(before));
}

// ---------------------------------------------------------------- the console title

// The phases, then the drive and the count, at most four times a second, and the old title back.
TEST(ConsoleTitle, PhasesAndCountAtMostFourTimesASecondThenTheOldTitle) {
  sim::Reset();
  for (int i = 0; i < 12; ++i) sim::PutFile("C:\\files\\f" + std::to_string(i) + ".exe", samples::MakePlain(9000, i));
  sim::SetReadFileTime(100);
  sim::SetConsoleTitleText("Command Prompt");
  ASSERT_EQ(0, RunTool({"/SILENT"}));
  const std::vector<std::string>& titles = sim::ConsoleTitles();
  const std::vector<DWORD>& times = sim::ConsoleTitleTimes();
  ASSERT_GE(titles.size(), 8u);
  EXPECT_EQ((std::vector<std::string>{"VorlaxClean: ending infected processes",
                                      "VorlaxClean: deleting the files found in memory",
                                      "VorlaxClean: removing the autostart value",
                                      "VorlaxClean: scanning the fixed drives",
                                      "VorlaxClean: scanning C:\\ (1 files examined)"}),
            std::vector<std::string>(titles.begin(), titles.begin() + 5));
  EXPECT_EQ("VorlaxClean: done", titles[titles.size() - 2]);
  EXPECT_EQ("Command Prompt", titles.back());
  EXPECT_EQ("Command Prompt", sim::ConsoleTitle());
  unsigned long last = 1;
  for (size_t i = 5; i + 2 < titles.size(); ++i) {
    unsigned long count = 0;
    ASSERT_EQ(1, sscanf(titles[i].c_str(), "VorlaxClean: scanning C:\\ (%lu files examined)", &count)) << titles[i];
    EXPECT_GT(count, last);
    EXPECT_GE(times[i] - times[i - 1], 250u) << titles[i];
    last = count;
  }
  EXPECT_GT(last, 1u) << "the count moved on";
}

// Without a console window nothing is shown and nothing fails: the same output and exit code.
// An empty title (GetConsoleTitleA gives 0 then too, but sets no error) is put back as it was.
TEST(ConsoleTitle, NoConsoleWindowChangesNothingAnEmptyTitleIsPutBack) {
  const struct {
    bool window;
    const char* title;
    size_t titles;
  } cases[] = {{true, "Command Prompt", 7}, {true, "", 7}, {false, "Command Prompt", 0}};
  std::string console;
  for (const auto& c : cases) {
    InfectedMachine();
    sim::SetConsoleWindow(c.window);
    sim::SetConsoleTitleText(c.title);
    EXPECT_EQ(1, RunTool({"/SILENT"}));
    EXPECT_EQ(c.titles, sim::ConsoleTitles().size()) << c.window << c.title;
    if (c.titles > 0) {
      EXPECT_EQ(c.title, sim::ConsoleTitles().back());
    }
    EXPECT_EQ(c.title, sim::ConsoleTitle());
    EXPECT_FALSE(sim::Exists(kSample));
    if (console.empty()) console = sim::ConsoleOutput();
    EXPECT_EQ(console, sim::ConsoleOutput());
  }
}

}  // namespace
