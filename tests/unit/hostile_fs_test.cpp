// The fixed-drive scan on hostile file systems: names of 255 characters, paths past MAX_PATH,
// very deep trees, directory links that loop, folders named like executables, files that vanish
// or cannot be opened. Whatever the tree, the scan ends, writes past no buffer (the sanitizers
// watch), leaves every clean file as it was and still removes the samples it can reach.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/outcome.h"
#include "detect/drive_scan.h"
#include "fileops/replace_file.h"
#include "sim/sim.h"
#include "test_support.h"
#include "tools/samples/sample_writer.h"

namespace {

using testing_support::DebugText;

std::string Repeat(char c, size_t n) { return std::string(n, c); }

// The machine's files before a scan, to tell afterwards what the scan did to them.
struct Tree {
  std::vector<std::string> samples;  // must be gone after the scan
  std::vector<std::string> kept;     // samples out of reach: must still be there
  std::map<std::string, std::string> clean;

  void Sample(const std::string& path, uint32_t seed) {
    sim::PutFile(path, samples::MakeSample(seed % 2 ? samples::kRow0Crc : samples::kRow1Crc, 8192, seed));
    samples.push_back(path);
  }
  void OutOfReach(const std::string& path) {
    sim::PutFile(path, samples::MakeSample(samples::kRow0Crc));
    kept.push_back(path);
  }
  void Clean(const std::string& path, const std::string& data) {
    sim::PutFile(path, data);
    clean[path] = data;
  }
  // A near miss in an executable's name: examined, and left alone.
  void NearMiss(const std::string& path, uint32_t seed) { Clean(path, samples::MakeNearMiss(samples::kRow0Crc, 8192, seed)); }

  void ExpectScanned() const {
    for (const std::string& path : samples) EXPECT_FALSE(sim::Exists(path)) << "sample within reach left: " << path;
    for (const std::string& path : kept) EXPECT_TRUE(sim::Exists(path)) << "out of reach, yet gone: " << path;
    for (const auto& kv : clean) {
      std::string data;
      EXPECT_TRUE(sim::GetFile(kv.first, &data)) << "clean file gone: " << kv.first;
      EXPECT_TRUE(data == kv.second) << "clean file changed: " << kv.first;
    }
    EXPECT_EQ(0, sim::OpenHandleCount());
    EXPECT_EQ(0, sim::OpenStreamCount());
    EXPECT_EQ(0, GetFailureCount());
    EXPECT_EQ(0, GetRebootPendingCount());
    EXPECT_EQ(samples.empty() ? kInfectionNone : kInfectionFile, GetInfectionState());
  }
};

// Every "path ... infection=N" line the scan wrote, as path -> N.
std::map<std::string, int> Examined() {
  std::map<std::string, int> out;
  const std::string text = DebugText();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.rfind("path ", 0) != 0) continue;
    size_t tail = line.rfind(" infection=");
    out[line.substr(5, tail - 5)] = line[tail + 11] - '0';
  }
  return out;
}

TEST(HostileFileSystem, NamesOf255CharactersWithinAndBeyondReach) {
  sim::Reset();
  Tree tree;
  const std::string name255 = Repeat('n', 251) + ".exe";  // 255 characters
  ASSERT_EQ(255u, name255.size());
  tree.Sample("C:\\" + name255, 1);                          // 258 characters: reached
  // A folder of 255 characters: "C:\", the name, "\" and "*.*" leave no room for the terminator.
  tree.OutOfReach("C:\\" + Repeat('w', 255) + "\\x.exe");
  tree.NearMiss("C:\\near\\" + Repeat('m', 247) + ".exe", 3);  // 259: the longest path there is
  tree.Clean("C:\\near\\" + Repeat('t', 251) + ".exe", "263 characters: passed over");
  // A folder named like an executable whose own path fits, but not with "\*.*": its contents
  // are out of reach, and the folder itself is never taken for a file.
  tree.Clean("C:\\" + Repeat('d', 251) + ".exe\\inside.txt", "inside");

  EXPECT_EQ(0, ScanFixedDrives(CheckScannedEntry));
  tree.ExpectScanned();
  std::map<std::string, int> examined = Examined();
  EXPECT_EQ(1, examined["C:\\" + name255]);
  EXPECT_EQ(0, examined["C:\\near\\" + Repeat('m', 247) + ".exe"]);
  EXPECT_EQ(0u, examined.count("C:\\" + Repeat('d', 251) + ".exe"));
  for (const auto& kv : examined) EXPECT_LT(kv.first.size(), static_cast<size_t>(MAX_PATH));
}

TEST(HostileFileSystem, PathsPastMaxPathAreNeverReachedNorCut) {
  sim::Reset();
  Tree tree;
  // Folders of 50 characters, five deep: 3 + 5 * 51 = 258 characters with the separator.
  std::string path = "C:\\";
  for (int level = 0; level < 6; ++level) {
    path += Repeat(static_cast<char>('a' + level), 50) + "\\";
    std::string file = path + "w.exe";
    if (file.size() < MAX_PATH) {
      tree.Sample(file, static_cast<uint32_t>(level + 10));
    } else {
      tree.OutOfReach(file);
    }
    tree.Clean(path + "keep.txt", "level " + std::to_string(level));
  }
  // A sample whose path is too long next to a clean file whose name is the start of the
  // sample's: a path cut to fit would name the clean file.
  const std::string folder = "C:\\" + Repeat('x', 240) + "\\";
  tree.OutOfReach(folder + "cut.exe" + Repeat('z', 8) + ".exe");  // 263 characters
  tree.Clean(folder + "cut.exe", samples::MakePlain(8192, 9));     // 251

  EXPECT_EQ(0, ScanFixedDrives(CheckScannedEntry));
  tree.ExpectScanned();
  EXPECT_NE(std::string::npos, DebugText().find("Path too long, not scanned: "));
}

TEST(HostileFileSystem, TreeOneHundredLevelsDeep) {
  sim::Reset();
  Tree tree;
  std::string path = "C:\\";
  for (int level = 1; level <= 100; ++level) {
    path += "d\\";
    if (level % 10 == 0) tree.Sample(path + "w" + std::to_string(level) + ".exe", static_cast<uint32_t>(level));
    if (level % 25 == 0) tree.NearMiss(path + "near.exe", static_cast<uint32_t>(level));
    tree.Clean(path + "f.txt", std::to_string(level));
  }
  ASSERT_EQ(203u, path.size());

  EXPECT_EQ(0, ScanFixedDrives(CheckScannedEntry));
  tree.ExpectScanned();
  EXPECT_EQ(1, Examined()[path + "w100.exe"]);
}

TEST(HostileFileSystem, DirectoryLinksThatLoopEndTheScan) {
  struct Row {
    const char* title;
    std::vector<std::pair<std::string, std::string>> links;
  } rows[] = {
      {"a folder linked into itself", {{"C:\\loop\\back", "C:\\loop"}}},
      {"two folders linked into each other", {{"C:\\loop\\b", "C:\\other"}, {"C:\\other\\a", "C:\\loop"}}},
      // Two ways back at every level: following both would double the work at each level.
      {"two links back at one level", {{"C:\\loop\\x", "C:\\loop"}, {"C:\\loop\\y", "C:\\loop"}}},
      {"a link to the drive's root", {{"C:\\loop\\root", "C:\\"}}},
      {"a link to a folder that is not there", {{"C:\\loop\\gone", "C:\\nowhere"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    sim::Reset();
    Tree tree;
    tree.Sample("C:\\loop\\worm.exe", 1);
    tree.Sample("C:\\other\\worm2.exe", 2);
    tree.NearMiss("C:\\loop\\near.exe", 3);
    tree.Clean("C:\\loop\\f.txt", "f");
    sim::MakeDirectory("C:\\other");
    for (const auto& link : row.links) sim::MakeDirectoryLink(link.first, link.second);

    EXPECT_EQ(0, ScanFixedDrives(CheckScannedEntry));
    tree.ExpectScanned();
    for (const auto& kv : Examined()) EXPECT_LT(kv.first.size(), static_cast<size_t>(MAX_PATH));
  }
}

// Links that chain from a fixed drive onto drives that are not fixed, lead back to the root,
// loop, or lead nowhere: the scan ends, reaches the sample at the end of the chain, examines
// every file once only, and leaves everything else alone.
TEST(HostileFileSystem, LinksThatChainLoopOrLeadToOtherDrives) {
  sim::Reset();
  sim::AddDrive('D', DRIVE_REMOVABLE);
  sim::AddDrive('E', DRIVE_CDROM);
  Tree tree;
  sim::MakeDirectoryLink("C:\\j1", "D:\\a");
  sim::MakeDirectoryLink("D:\\a\\j2", "D:\\b");
  tree.Sample("D:\\b\\worm.exe", 1);  // reached through two links only
  sim::MakeDirectoryLink("D:\\b\\up", "C:\\");
  sim::MakeDirectoryLink("D:\\a\\cd", "E:\\");
  tree.NearMiss("E:\\x\\setup.exe", 2);
  sim::MakeDirectoryLink("D:\\a\\gone", "F:\\nowhere");
  tree.Sample("C:\\loop\\worm.exe", 3);
  tree.Clean("C:\\loop\\tool.exe", samples::MakePlain(9000, 4));
  sim::MakeDirectoryLink("C:\\loop\\back", "C:\\loop");
  sim::MakeDirectoryLink("C:\\loop\\x", "C:\\loop\\y");
  sim::MakeDirectoryLink("C:\\loop\\y", "C:\\loop\\x");

  EXPECT_EQ(0, ScanFixedDrives(CheckScannedEntry));
  tree.ExpectScanned();

  std::map<std::string, int> examined = Examined();
  EXPECT_EQ(1, examined["C:\\j1\\j2\\worm.exe"]);
  EXPECT_EQ(0, examined["C:\\j1\\cd\\x\\setup.exe"]);
  EXPECT_EQ(1, examined["C:\\loop\\worm.exe"]);
  EXPECT_EQ(0, examined["C:\\loop\\tool.exe"]);
  EXPECT_EQ(0, examined["C:\\vctool\\VorlaxClean.exe"]);
  EXPECT_EQ(5u, examined.size());
  // Each file was examined once: as many lines as files.
  const std::string text = "\n" + DebugText();
  size_t lines = 0;
  for (size_t at = text.find("\npath "); at != std::string::npos; at = text.find("\npath ", at + 1)) ++lines;
  EXPECT_EQ(examined.size(), lines);
}

TEST(HostileFileSystem, FoldersNamedLikeExecutablesAreNeverExamined) {
  sim::Reset();
  Tree tree;
  const char* folders[] = {"C:\\setup.exe", "C:\\a.EX_", "C:\\b.exx", "C:\\c.axe", "C:\\.exe", "C:\\x.exe\\y.exe"};
  for (const char* folder : folders) sim::MakeDirectory(folder);
  tree.Sample("C:\\x.exe\\y.exe\\worm.exe", 1);
  tree.Clean("C:\\x.exe\\y.exe\\readme", "no extension");
  tree.NearMiss("C:\\setup.exe\\near.exe", 2);

  EXPECT_EQ(0, ScanFixedDrives(CheckScannedEntry));
  tree.ExpectScanned();
  std::map<std::string, int> examined = Examined();
  for (const char* folder : folders) {
    EXPECT_EQ(0u, examined.count(folder)) << folder;
    EXPECT_TRUE(sim::IsDirectory(folder)) << folder;
  }
}

// A handler that takes the file away (another program deleting it) between the walk reporting
// it and the check opening it.
int VanishThenCheck(const char* path, const WIN32_FIND_DATAA* findData, int isDirectory) {
  if (!isDirectory && strstr(path, "vanish") != NULL) {
    EXPECT_TRUE(sim::Exists(path));
    EXPECT_EQ(TRUE, DeleteFileA(path));
  }
  return CheckScannedEntry(path, findData, isDirectory);
}

TEST(HostileFileSystem, FileThatVanishesBetweenTheWalkAndTheCheck) {
  sim::Reset();
  Tree tree;
  tree.Sample("C:\\a\\worm.exe", 1);
  sim::PutFile("C:\\a\\vanish.exe", samples::MakeSample(samples::kRow0Crc, 8192, 2));
  tree.Sample("C:\\b\\worm.exe", 3);
  tree.Clean("C:\\a\\clean.exe", samples::MakePlain(9000, 4));

  EXPECT_EQ(0, ScanFixedDrives(VanishThenCheck));
  tree.ExpectScanned();
  EXPECT_FALSE(sim::Exists("C:\\a\\vanish.exe"));
  EXPECT_EQ(0, Examined()["C:\\a\\vanish.exe"]);
}

TEST(HostileFileSystem, FileThatVanishesBetweenTheCheckAndTheDeletion) {
  sim::Reset();
  Tree tree;
  sim::PutFile("C:\\a\\vanish.exe", samples::MakeSample(samples::kRow0Crc, 8192, 2));
  tree.Sample("C:\\b\\worm.exe", 3);
  // Found and examined, then gone when it is deleted: nothing left to remove, nothing counted.
  testing_support::FailApi("DeleteFileA", 1, false, ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(0, ScanFixedDrives(CheckScannedEntry));
  EXPECT_NE(std::string::npos,
            DebugText().find("[TKUT - ReplaceFile]: File not found or it is a directory (C:\\a\\vanish.exe).\n"));
  EXPECT_NE(std::string::npos, DebugText().find("Deleting file \"C:\\a\\vanish.exe\", result=0\n"));
  tree.ExpectScanned();
}

TEST(HostileFileSystem, FilesThatCannotBeOpenedAreLeftAlone) {
  sim::Reset();
  Tree tree;
  // Another program holds these without read sharing: they cannot be examined.
  const std::string locked = "C:\\a\\locked.exe";
  sim::PutFile(locked, samples::MakeSample(samples::kRow0Crc, 8192, 1));
  sim::HoldOpen(locked, GENERIC_READ | GENERIC_WRITE, 0);
  tree.kept.push_back(locked);
  tree.Clean("C:\\a\\clean.exe", samples::MakePlain(8192, 2));
  sim::HoldOpen("C:\\a\\clean.exe", GENERIC_WRITE, FILE_SHARE_WRITE);
  tree.Sample("C:\\b\\worm.exe", 3);
  // Opening this one fails with an error of its own; the scan goes on behind it.
  const std::string refused = "C:\\a\\refused.exe";
  sim::PutFile(refused, samples::MakeSample(samples::kRow1Crc, 8192, 4));
  tree.kept.push_back(refused);
  testing_support::FailApi("CreateFileA", 3, false, ERROR_ACCESS_DENIED);  // clean.exe, locked.exe, refused.exe

  EXPECT_EQ(0, ScanFixedDrives(CheckScannedEntry));
  std::map<std::string, int> examined = Examined();
  EXPECT_EQ(0, examined[locked]);
  EXPECT_EQ(0, examined[refused]);
  EXPECT_EQ(1, examined["C:\\b\\worm.exe"]);
  // The holders still hold their files: two open records, no handle of the tool's.
  EXPECT_EQ(0, sim::OpenHandleCount());
  tree.ExpectScanned();
}

}  // namespace
