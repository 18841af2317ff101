// The fixed-drive scan: the walk, the extension patterns and what happens to each file found.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/disinfect.h"
#include "app/outcome.h"
#include "detect/drive_scan.h"
#include "detect/process_scan.h"
#include "sim/sim.h"
#include "sim/sim_processes.h"
#include "test_support.h"
#include "tools/samples/sample_writer.h"

namespace {

using testing_support::DebugText;

// ---------------------------------------------------------------- helpers
struct Seen {
  std::string path;
  std::string fileName;  // cFileName of the find data
  DWORD attributes;
  int isDirectory;
};

std::vector<Seen> g_seen;
size_t g_stopAt = 0;  // 1-based entry whose callback ends the walk; 0 never
int g_stopValue = 0;

int Record(const char* path, const WIN32_FIND_DATAA* findData, int isDirectory) {
  g_seen.push_back(Seen{path, findData->cFileName, findData->dwFileAttributes, isDirectory});
  if (g_stopAt != 0 && g_seen.size() == g_stopAt) return g_stopValue;
  return 0;
}

void ResetRecorder() {
  g_seen.clear();
  g_stopAt = 0;
  g_stopValue = 0;
}

std::vector<std::string> SeenPaths() {
  std::vector<std::string> out;
  for (const Seen& s : g_seen) out.push_back(s.path);
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    out.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return out;
}

// The lines this scan writes itself (ReplaceFile adds its own between them).
std::vector<std::string> ScanLines() {
  std::vector<std::string> out;
  for (const std::string& line : Lines(DebugText()))
    if (line.rfind("path ", 0) == 0 || line.rfind("Deleting file ", 0) == 0 || line.rfind("Path too long", 0) == 0)
      out.push_back(line);
  return out;
}

// Paths the drive scan handed to the signature check.
std::set<std::string> ExaminedPaths() {
  std::set<std::string> out;
  for (const std::string& line : Lines(DebugText())) {
    if (line.rfind("path ", 0) != 0) continue;
    size_t tail = line.rfind(" infection=");
    out.insert(line.substr(5, tail - 5));
  }
  return out;
}

// ---------------------------------------------------------------- extensions
TEST(DriveScanExtensions, ExaminesExactlyTheFilesWhoseExtensionFits) {
  sim::Reset();
  struct Case {
    const char* path;
    bool examined;
  } cases[] = {
      {"C:\\e1\\SETUP.EXE", true},   {"C:\\e2\\setup.exe", true}, {"C:\\e1\\a.ex_", true},
      {"C:\\e1\\b.exx", true},       {"C:\\e1\\c.axe", true},     {"C:\\e1\\.exe", true},
      {"C:\\e1\\two.EX", true},      {"C:\\e1\\d.EXEC", false},   {"C:\\e1\\e.XE", false},
      {"C:\\e1\\f.COM", false},      {"C:\\e1\\none", false},     {"C:\\a.b\\readme", false},
      {"C:\\e1\\setup.exe.txt", false}, {"C:\\x.exe\\inner.txt", false},
  };
  for (const Case& c : cases) sim::PutFile(c.path, samples::MakePlain(100));

  EXPECT_EQ(ScanFixedDrives(CheckScannedEntry), 0);

  std::set<std::string> expected = {"C:\\vctool\\VorlaxClean.exe"};
  for (const Case& c : cases)
    if (c.examined) expected.insert(c.path);
  EXPECT_EQ(ExaminedPaths(), expected);
  // A folder named like an executable is never checked as a file.
  EXPECT_EQ(ExaminedPaths().count("C:\\x.exe"), 0u);
  EXPECT_EQ(GetInfectionState(), kInfectionNone);
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

TEST(DriveScanExtensions, DirectoryEntriesAreNeverExamined) {
  sim::Reset();
  sim::PutFile("C:\\x.exe\\inner.txt", "x");
  ResetRecorder();
  ASSERT_EQ(WalkDirectory("C:\\", Record), 0);
  bool found = false;
  for (const Seen& s : g_seen) {
    if (s.path != "C:\\x.exe") continue;
    found = true;
    EXPECT_EQ(s.isDirectory, 1);
    EXPECT_NE(s.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  }
  EXPECT_TRUE(found);

  WIN32_FIND_DATAA data;
  memset(&data, 0, sizeof(data));
  data.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  EXPECT_EQ(CheckScannedEntry("C:\\x.exe", &data, 1), 0);
  EXPECT_EQ(DebugText(), "");
}

TEST(MatchExtensionPattern, Table) {
  sim::Reset();
  struct Case {
    const char* name;
    const char* patterns;
    int expected;
  } cases[] = {
      // The edges of an empty name and of an empty list.
      {"", "EX? ?XE", 0},
      {"", "?", 1},
      {"", "*", 1},
      {"", "", 0},
      {"", "   ", 0},
      {"exe", "", 0},
      // The scan's own list.
      {"EXE", "EX? ?XE", 1},
      {"exe", "EX? ?XE", 1},
      {"ex_", "EX? ?XE", 1},
      {"Exx", "EX? ?XE", 1},
      {"axe", "EX? ?XE", 1},
      {"EX", "EX? ?XE", 1},
      {"EXEC", "EX? ?XE", 0},
      {"XE", "EX? ?XE", 0},
      {"E", "EX? ?XE", 0},
      {"COM", "EX? ?XE", 0},
      {"AXEL", "EX? ?XE", 0},
      {"b\\readme", "EX? ?XE", 0},
      // A pattern that ends while the name goes on fails, also the last one.
      {"abc", "ab", 0},
      {"abc", "ab xy", 0},
      // Spaces: leading ones and runs are skipped; an empty last pattern matches nothing.
      {"ab", "  ab", 1},
      {"ab", "xy   ab", 1},
      {"ab", "ab ", 1},
      {"ab", "xy ", 0},
      // '?' at the end may stand for no character; elsewhere it needs one.
      {"ab", "ab??", 1},
      {"ab", "ab?c", 0},
      {"a", "?", 1},
      {"ab", "?", 0},
      {"ab", "??", 1},
      // '*' matches whatever follows, at once.
      {"abc", "a*", 1},
      {"a", "a*", 1},
      {"abc", "*x", 1},
      {"abc", "ab*", 1},
      {"", "x *", 1},
      // Letters compare without case; other bytes exactly.
      {"ExE", "ex?", 1},
      {"\xe9xe", "\xc9XE", 0},
      {"\xe9xe", "\xe9XE", 1},
      {"\xe9xe", "?XE", 1},
      {"_1", "_1", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchExtensionPattern(c.name, c.patterns), c.expected)
        << "name \"" << c.name << "\" patterns \"" << c.patterns << "\"";
  }
  EXPECT_STREQ(ScanExtensionPatterns, "EX? ?XE");
}

// ---------------------------------------------------------------- the walk
TEST(WalkDirectory, DepthFirstPreOrderInTheSystemsOrder) {
  sim::Reset();
  sim::AddDrive('D', DRIVE_FIXED);
  sim::PutFile("D:\\b.txt", "b");
  sim::PutFile("D:\\A\\x.txt", "x");
  sim::PutFile("D:\\A\\Sub\\y.txt", "y");
  sim::PutFile("D:\\a2\\z.txt", "z");
  sim::PutFile("D:\\C.txt", "c");
  sim::MakeDirectory("D:\\A\\empty");
  ResetRecorder();

  EXPECT_EQ(WalkDirectory("D:\\", Record), 0);

  std::vector<std::string> expected = {
      "D:\\A",       "D:\\A\\empty", "D:\\A\\Sub", "D:\\A\\Sub\\y.txt", "D:\\A\\x.txt",
      "D:\\a2",      "D:\\a2\\z.txt", "D:\\b.txt", "D:\\C.txt",
  };
  EXPECT_EQ(SeenPaths(), expected);
  std::vector<int> kinds;
  for (const Seen& s : g_seen) kinds.push_back(s.isDirectory);
  EXPECT_EQ(kinds, (std::vector<int>{1, 1, 1, 0, 0, 1, 0, 0, 0}));
  // The find data is the entry's own.
  EXPECT_EQ(g_seen[2].fileName, "Sub");
  EXPECT_EQ(g_seen[4].fileName, "x.txt");
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

TEST(WalkDirectory, NullCallbackOnlyDescends) {
  sim::Reset();
  sim::PutFile("C:\\deep\\er\\still\\f.exe", samples::MakeSample(samples::kRow0Crc));
  EXPECT_EQ(WalkDirectory("C:\\", nullptr), 0);
  EXPECT_TRUE(sim::Exists("C:\\deep\\er\\still\\f.exe"));
  EXPECT_EQ(DebugText(), "");
  EXPECT_EQ(sim::OpenHandleCount(), 0);
  // It went down to the fourth level, C:\deep\er\still\: that level's buffer is the fourth.
  testing_support::FailApi("malloc", 4, false);
  EXPECT_EQ(WalkDirectory("C:\\", nullptr), 1);
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

TEST(WalkDirectory, UnlistableDirectoryIsNoError) {
  sim::Reset();
  ResetRecorder();
  EXPECT_EQ(WalkDirectory("C:\\missing\\", Record), 0);
  sim::AddDrive('D', DRIVE_FIXED);  // an empty root lists nothing at all
  EXPECT_EQ(WalkDirectory("D:\\", Record), 0);
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

TEST(ScanFixedDrives, WalksOnlyFixedDrivesInListOrder) {
  sim::Reset();
  sim::AddDrive('D', DRIVE_REMOVABLE);
  sim::AddDrive('E', DRIVE_FIXED);
  sim::AddDrive('F', DRIVE_REMOTE);
  sim::AddDrive('G', DRIVE_CDROM);
  sim::AddDrive('H', DRIVE_RAMDISK);
  sim::AddDrive('I', DRIVE_FIXED);
  for (char letter : std::string("DEFGHI")) sim::PutFile(std::string(1, letter) + ":\\f.txt", "f");
  ResetRecorder();

  EXPECT_EQ(ScanFixedDrives(Record), 0);

  std::string letters;
  for (const Seen& s : g_seen)
    if (letters.empty() || letters.back() != s.path[0]) letters += s.path[0];
  EXPECT_EQ(letters, "CEI");
  EXPECT_EQ(g_seen.back().path, "I:\\f.txt");
}

TEST(ScanFixedDrives, NoDriveListScansNothing) {
  sim::Reset();
  testing_support::FailApi("GetLogicalDriveStringsA");
  ResetRecorder();
  EXPECT_EQ(ScanFixedDrives(Record), 0);
  EXPECT_TRUE(g_seen.empty());
}

TEST(ScanFixedDrives, NonzeroCallbackEndsTheWholeWalkAndIsItsResult) {
  struct Case {
    size_t stopAt;
    int value;
    std::vector<std::string> seen;
  } cases[] = {
      // A directory that ends the walk is not descended.
      {1, 7, {"C:\\A"}},
      // Deep inside: the levels above stop too, and the next drive is not walked.
      {3, -2, {"C:\\A", "C:\\A\\B", "C:\\A\\B\\deep.txt"}},
      {4, 1, {"C:\\A", "C:\\A\\B", "C:\\A\\B\\deep.txt", "C:\\A\\x.txt"}},
  };
  for (const Case& c : cases) {
    sim::Reset();
    sim::RemoveDrive('C');
    sim::AddDrive('C', DRIVE_FIXED);
    sim::PutFile("C:\\A\\B\\deep.txt", "d");
    sim::PutFile("C:\\A\\x.txt", "x");
    sim::PutFile("C:\\z.txt", "z");
    sim::AddDrive('E', DRIVE_FIXED);
    sim::PutFile("E:\\e.txt", "e");
    ResetRecorder();
    g_stopAt = c.stopAt;
    g_stopValue = c.value;
    EXPECT_EQ(ScanFixedDrives(Record), c.value) << "stop at " << c.stopAt;
    EXPECT_EQ(SeenPaths(), c.seen) << "stop at " << c.stopAt;
    EXPECT_EQ(sim::OpenHandleCount(), 0);
  }
}

TEST(ScanFixedDrives, FailedBufferAtAnyLevelEndsTheWholeScanWithOne) {
  struct Case {
    long failingAllocation;  // each level allocates one path buffer
    std::vector<std::string> seen;
  } cases[] = {
      {1, {}},
      {2, {"C:\\A"}},
      {3, {"C:\\A", "C:\\A\\B"}},
      {4, {"C:\\A", "C:\\A\\B", "C:\\A\\B\\deep.txt", "C:\\A\\x.txt", "C:\\z.txt"}},  // E:'s root
  };
  for (const Case& c : cases) {
    sim::Reset();
    sim::RemoveDrive('C');
    sim::AddDrive('C', DRIVE_FIXED);
    sim::PutFile("C:\\A\\B\\deep.txt", "d");
    sim::PutFile("C:\\A\\x.txt", "x");
    sim::PutFile("C:\\z.txt", "z");
    sim::AddDrive('E', DRIVE_FIXED);
    sim::PutFile("E:\\e.txt", "e");
    ResetRecorder();
    testing_support::FailApi("malloc", c.failingAllocation, false);
    EXPECT_EQ(ScanFixedDrives(Record), 1) << "allocation " << c.failingAllocation;
    EXPECT_TRUE(sim::FaultFired());
    EXPECT_EQ(SeenPaths(), c.seen) << "allocation " << c.failingAllocation;
    EXPECT_EQ(sim::OpenHandleCount(), 0);
    EXPECT_EQ(DebugText(), "");  // nothing is logged
  }
  // The same through the allocation sweep.
  sim::Reset();
  sim::SetSweepFault(sim::kFaultAlloc, 2, false);
  ResetRecorder();
  EXPECT_EQ(ScanFixedDrives(Record), 1);
  EXPECT_EQ(SeenPaths(), (std::vector<std::string>{"C:\\vctool"}));
}

// A link back to a directory the walk has entered (here the one above it) is reported but not
// followed. Where no identity can be read (Windows 9x; the query failing), the link is followed
// once and the same link met again below it is not, so the walk ends there too.
TEST(WalkDirectory, LinkBackToAWalkedDirectoryIsNotFollowed) {
  const std::vector<std::string> followedOnce = {"C:\\loop\\back", "C:\\loop\\back\\back", "C:\\loop\\back\\f.txt",
                                                 "C:\\loop\\f.txt"};
  struct Row {
    const char* title;
    void (*machine)();
    std::vector<std::string> seen;
  } rows[] = {
      {"identities read", [] {}, {"C:\\loop\\back", "C:\\loop\\f.txt"}},
      {"Windows 9x", [] { sim::SetWindows98(); }, followedOnce},
      {"identity query fails", [] { testing_support::FailApi("GetFileInformationByHandle", 1, true); }, followedOnce},
      {"directory cannot be opened", [] { testing_support::FailApi("CreateFileA", 1, true); }, followedOnce},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    sim::Reset();
    row.machine();
    sim::PutFile("C:\\loop\\f.txt", "f");
    sim::MakeDirectoryLink("C:\\loop\\back", "C:\\loop");
    ResetRecorder();

    EXPECT_EQ(WalkDirectory("C:\\loop\\", Record), 0);

    EXPECT_EQ(SeenPaths(), row.seen);
    for (const Seen& s : g_seen) {
      if (s.fileName == "back") {
        EXPECT_NE(s.attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
      }
    }
    EXPECT_TRUE(ScanLines().empty());
    EXPECT_EQ(sim::OpenHandleCount(), 0);
  }
}

// Every directory is entered once, whichever way the walk meets it first: through a link
// (then its own path is reported, not entered) or by its own path (then the link is not
// followed). A link found below another link is followed when it leads somewhere new.
TEST(WalkDirectory, EveryDirectoryIsEnteredOnce) {
  sim::Reset();
  sim::RemoveDrive('C');
  sim::AddDrive('C', DRIVE_FIXED);
  sim::AddDrive('D', DRIVE_REMOVABLE);
  sim::PutFile("C:\\a\\f.txt", "a");
  sim::MakeDirectoryLink("C:\\b\\toA", "C:\\a");   // after C:\a: not followed
  sim::MakeDirectoryLink("C:\\b\\toZ", "C:\\z");   // before C:\z: followed, C:\z then not entered
  sim::PutFile("C:\\z\\z.txt", "z");
  sim::MakeDirectoryLink("C:\\c\\j1", "D:\\a");     // onto a drive that is not walked of its own
  sim::MakeDirectoryLink("D:\\a\\j2", "D:\\b");     // a link below a link: leads somewhere new
  sim::MakeDirectoryLink("D:\\a\\j3", "D:\\b");     // the same target again
  sim::MakeDirectoryLink("D:\\b\\up", "C:\\");      // back to the walk's root
  sim::PutFile("D:\\b\\w.txt", "w");
  ResetRecorder();

  EXPECT_EQ(WalkDirectory("C:\\", Record), 0);

  EXPECT_EQ(SeenPaths(), (std::vector<std::string>{
                             "C:\\a", "C:\\a\\f.txt",
                             "C:\\b", "C:\\b\\toA", "C:\\b\\toZ", "C:\\b\\toZ\\z.txt",
                             "C:\\c", "C:\\c\\j1", "C:\\c\\j1\\j2", "C:\\c\\j1\\j2\\up", "C:\\c\\j1\\j2\\w.txt",
                             "C:\\c\\j1\\j3",
                             "C:\\z",
                         }));
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// The walk reads identities only once it has met a link: a tree without links costs no
// directory opens at all. At its first link it reads those of every directory entered so far,
// deep or shallow, before or above the link, so that no link leads back into one of them.
TEST(WalkDirectory, IdentitiesAreReadFromTheFirstLinkOn) {
  sim::Reset();
  sim::PutFile("C:\\t\\A\\A1\\deep\\f.txt", "f");
  sim::PutFile("C:\\t\\A\\A2\\g.txt", "g");
  sim::PutFile("C:\\t\\B\\B1\\h.txt", "h");
  sim::PutFile("C:\\t\\C\\i.txt", "i");
  testing_support::FailApi("CreateFileA", 1, true);  // would show any open
  ResetRecorder();
  EXPECT_EQ(WalkDirectory("C:\\t\\", Record), 0);
  EXPECT_EQ(g_seen.size(), 11u);
  EXPECT_FALSE(sim::FaultFired());
  testing_support::FailApi("CreateFileA", 1000000000, false);  // no more

  // The same tree with links: the first (B1\L1) comes after A and its subtree and inside B.
  sim::MakeDirectoryLink("C:\\t\\B\\B1\\L1", "C:\\t\\A\\A1\\deep");
  sim::MakeDirectoryLink("C:\\t\\B\\B1\\L2", "C:\\t\\A\\A2");
  sim::MakeDirectoryLink("C:\\t\\B\\B1\\L3", "C:\\t\\B");
  sim::MakeDirectoryLink("C:\\t\\C\\L4", "C:\\t\\B\\B1");
  sim::MakeDirectoryLink("C:\\t\\C\\L5", "C:\\t");
  ResetRecorder();
  EXPECT_EQ(WalkDirectory("C:\\t\\", Record), 0);
  EXPECT_EQ(SeenPaths(), (std::vector<std::string>{
                             "C:\\t\\A", "C:\\t\\A\\A1", "C:\\t\\A\\A1\\deep", "C:\\t\\A\\A1\\deep\\f.txt",
                             "C:\\t\\A\\A2", "C:\\t\\A\\A2\\g.txt",
                             "C:\\t\\B", "C:\\t\\B\\B1", "C:\\t\\B\\B1\\h.txt", "C:\\t\\B\\B1\\L1",
                             "C:\\t\\B\\B1\\L2", "C:\\t\\B\\B1\\L3",
                             "C:\\t\\C", "C:\\t\\C\\i.txt", "C:\\t\\C\\L4", "C:\\t\\C\\L5",
                         }));
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// Each drive's walk starts afresh: what a link on C: led into on another fixed drive is walked
// again with that drive.
TEST(ScanFixedDrives, EachDrivesWalkKeepsItsOwnRecord) {
  sim::Reset();
  sim::RemoveDrive('C');
  sim::AddDrive('C', DRIVE_FIXED);
  sim::AddDrive('E', DRIVE_FIXED);
  sim::MakeDirectoryLink("C:\\toE", "E:\\x");
  sim::PutFile("E:\\x\\f.txt", "f");
  ResetRecorder();
  EXPECT_EQ(ScanFixedDrives(Record), 0);
  EXPECT_EQ(SeenPaths(), (std::vector<std::string>{"C:\\toE", "C:\\toE\\f.txt", "E:\\x", "E:\\x\\f.txt"}));
}

// Identities that repeat on paths without links (a file system whose numbers are not to be
// trusted, or that gives none) never keep a directory from being walked; a link to a repeated
// identity is not followed.
TEST(WalkDirectory, RepeatedIdentitiesOnPlainPathsAreAllWalked) {
  for (DWORD index : {DWORD(0x777), DWORD(0)}) {
    SCOPED_TRACE("index " + std::to_string(index));
    sim::Reset();
    sim::PutFile("C:\\d\\a\\f.txt", "a");
    sim::PutFile("C:\\d\\b\\g.txt", "b");
    sim::PutFile("C:\\d\\b\\c\\h.txt", "c");
    sim::MakeDirectoryLink("C:\\d\\b\\link", "C:\\d\\a");
    for (const char* dir : {"C:\\d\\a", "C:\\d\\b", "C:\\d\\b\\c"}) sim::SetFileIndex(dir, index);
    ResetRecorder();

    EXPECT_EQ(WalkDirectory("C:\\d\\", Record), 0);

    std::vector<std::string> seen = {"C:\\d\\a", "C:\\d\\a\\f.txt", "C:\\d\\b", "C:\\d\\b\\c", "C:\\d\\b\\c\\h.txt",
                                     "C:\\d\\b\\g.txt", "C:\\d\\b\\link"};
    // Without numbers no identity is known: the link is followed by the rule without them.
    if (index == 0) seen.insert(seen.end(), "C:\\d\\b\\link\\f.txt");
    std::sort(seen.begin(), seen.end());
    std::vector<std::string> got = SeenPaths();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, seen);
  }
}

// The record of walked directories has a fixed size. Once it is full, directories not in it
// are walked by the rule without identities (a link is followed, a link below it not), those
// in it are still recognised, and the walk ends.
TEST(WalkDirectory, FullRecordFallsBackToTheRuleWithoutIdentities) {
  sim::Reset();
  sim::AddDrive('D', DRIVE_FIXED);
  const int kDirectories = 13000;  // more than the record holds
  char name[32];
  for (int i = 0; i < kDirectories; ++i) {
    snprintf(name, sizeof(name), "D:\\fill\\d%05d", i);
    sim::MakeDirectory(name);
  }
  sim::PutFile("D:\\zz\\loop\\f.txt", "f");
  sim::MakeDirectoryLink("D:\\zz\\loop\\back", "D:\\zz\\loop");
  sim::MakeDirectoryLink("D:\\zz\\loop\\root", "D:\\");
  ResetRecorder();

  EXPECT_EQ(WalkDirectory("D:\\", Record), 0);

  const std::vector<std::string> all = SeenPaths();
  ASSERT_GE(all.size(), 8u);
  std::vector<std::string> tail(all.end() - 8, all.end());
  // The link back up is followed once; the links to the root, which the record holds, never.
  EXPECT_EQ(tail, (std::vector<std::string>{"D:\\zz", "D:\\zz\\loop", "D:\\zz\\loop\\back",
                                            "D:\\zz\\loop\\back\\back", "D:\\zz\\loop\\back\\f.txt",
                                            "D:\\zz\\loop\\back\\root", "D:\\zz\\loop\\f.txt",
                                            "D:\\zz\\loop\\root"}));
  EXPECT_EQ(static_cast<size_t>(1 + kDirectories + 8), g_seen.size());  // D:\fill, its folders, the rest
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// A walk started from a callback while another runs goes without identities; the one around
// it still knows what it entered.
int g_nestedWalks = 0;
int StartNestedWalk(const char* path, const WIN32_FIND_DATAA* findData, int isDirectory) {
  if (isDirectory && strcmp(path, "C:\\a") == 0) {
    ++g_nestedWalks;
    EXPECT_EQ(WalkDirectory("C:\\a\\", nullptr), 0);
  }
  return Record(path, findData, isDirectory);
}

TEST(WalkDirectory, WalkStartedFromACallback) {
  sim::Reset();
  sim::PutFile("C:\\a\\f.txt", "f");
  sim::MakeDirectoryLink("C:\\a\\up", "C:\\");
  sim::MakeDirectoryLink("C:\\b\\up", "C:\\");
  ResetRecorder();
  g_nestedWalks = 0;
  EXPECT_EQ(WalkDirectory("C:\\", StartNestedWalk), 0);
  EXPECT_EQ(g_nestedWalks, 1);
  std::vector<std::string> seen = SeenPaths();
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "C:\\b\\up"), 1);
  for (const std::string& path : seen) EXPECT_EQ(path.find("\\up\\"), std::string::npos) << path;
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

std::string Repeat(char c, size_t n) { return std::string(n, c); }

// Entries right at the end of the 260-character buffer: what fits is walked, what does not is
// passed over with a line in the log. The sanitizer catches any write past the buffer.
TEST(WalkDirectory, OverlongPathsArePassedOverNeverWrittenPast) {
  sim::Reset();
  sim::AddDrive('D', DRIVE_FIXED);
  // 3 + 101 + 101 + 41 = 246 characters with the trailing separator.
  const std::string prefix = "D:\\" + Repeat('a', 100) + "\\" + Repeat('b', 100) + "\\" + Repeat('c', 40) + "\\";
  ASSERT_EQ(prefix.size(), 246u);
  struct Case {
    std::string name;
    bool directory;
    bool reported;
  } cases[] = {
      {"f" + Repeat('1', 8) + ".exe", false, true},  // 259 characters: the last that fits
      {"g" + Repeat('2', 9) + ".exe", false, false},  // 260
      {"h" + Repeat('3', 20), false, false},          // 267
      {"k" + Repeat('4', 8), true, true},             // 255, with "\*.*" 259
      {"m" + Repeat('5', 9), true, false},            // 256
  };
  for (const Case& c : cases) {
    if (c.directory) {
      sim::PutFile(prefix + c.name + "\\i", "i");
    } else {
      sim::PutFile(prefix + c.name, samples::MakeSample(samples::kRow0Crc));
    }
  }
  ResetRecorder();

  EXPECT_EQ(WalkDirectory("D:\\", Record), 0);

  const std::vector<std::string> seenPaths = SeenPaths();
  std::set<std::string> seen(seenPaths.begin(), seenPaths.end());
  std::vector<std::string> expectedLog;
  for (const Case& c : cases) {
    std::string path = prefix + c.name;
    EXPECT_EQ(seen.count(path), c.reported ? 1u : 0u) << path.size();
    if (c.directory) {
      EXPECT_EQ(seen.count(path + "\\i"), c.reported ? 1u : 0u) << path.size();
    }
    if (!c.reported) expectedLog.push_back("Path too long, not scanned: " + path + (c.directory ? "\\" : "") + "\n");
  }
  EXPECT_EQ(ScanLines(), expectedLog);
  for (const std::string& p : SeenPaths()) EXPECT_LT(p.size(), static_cast<size_t>(MAX_PATH));

  // A directory handed in whose search pattern would not fit is not listed at all.
  ResetRecorder();
  std::string tooLong = prefix + Repeat('z', 11) + "\\";  // 258 + "*.*" = 261
  EXPECT_EQ(WalkDirectory(tooLong.c_str(), Record), 0);
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// ---------------------------------------------------------------- outcomes
TEST(CheckAndDeleteFile, InfectedFileDeletedAtOnce) {
  sim::Reset();
  sim::PutFile("C:\\samples\\worm.exe", samples::MakeSample(samples::kRow0Crc), FILE_ATTRIBUTE_READONLY);
  sim::PutFile("C:\\samples\\near.exe", samples::MakeNearMiss(samples::kRow0Crc));

  EXPECT_EQ(ScanFixedDrives(CheckScannedEntry), 0);

  EXPECT_EQ(ScanLines(), (std::vector<std::string>{
                             "path C:\\samples\\near.exe infection=0\n",
                             "path C:\\samples\\worm.exe infection=1\n",
                             "Deleting file \"C:\\samples\\worm.exe\", result=1\n",
                             "path C:\\vctool\\VorlaxClean.exe infection=0\n",
                         }));
  EXPECT_FALSE(sim::Exists("C:\\samples\\worm.exe"));
  EXPECT_TRUE(sim::Exists("C:\\samples\\near.exe"));
  EXPECT_EQ(GetInfectionState(), kInfectionFile);
  EXPECT_EQ(GetRebootPendingCount(), 0);
  EXPECT_EQ(GetFailureCount(), 0);
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

TEST(CheckAndDeleteFile, ReturnsTheInfectedFlag) {
  sim::Reset();
  sim::PutFile("C:\\w.exe", samples::MakeSample(samples::kRow1Crc));
  sim::PutFile("C:\\p.exe", samples::MakePlain(9000));
  EXPECT_EQ(CheckAndDeleteFile("C:\\p.exe"), 0);
  EXPECT_EQ(CheckAndDeleteFile("C:\\missing.exe"), 0);  // cannot be opened: clean
  EXPECT_EQ(GetInfectionState(), kInfectionNone);
  EXPECT_EQ(CheckAndDeleteFile("C:\\w.exe"), 1);
  EXPECT_EQ(ScanLines(), (std::vector<std::string>{
                             "path C:\\p.exe infection=0\n",
                             "path C:\\missing.exe infection=0\n",
                             "path C:\\w.exe infection=1\n",
                             "Deleting file \"C:\\w.exe\", result=1\n",
                         }));
}

TEST(CheckAndDeleteFile, LockedFileIsCountedAsPendingRestart) {
  sim::Reset();
  sim::PutFile("C:\\samples\\held.exe", samples::MakeSample(samples::kRow0Crc));
  int hold = sim::HoldOpen("C:\\samples\\held.exe", GENERIC_READ, FILE_SHARE_READ);

  EXPECT_EQ(ScanFixedDrives(CheckScannedEntry), 0);

  std::vector<std::string> lines = ScanLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "path C:\\samples\\held.exe infection=1\n");
  EXPECT_EQ(lines[1], "Deleting file \"C:\\samples\\held.exe\", result=2\n");
  EXPECT_EQ(GetInfectionState(), kInfectionFile);
  EXPECT_EQ(GetRebootPendingCount(), 1);
  EXPECT_EQ(GetFailureCount(), 0);
  ASSERT_EQ(sim::PendingOperations().size(), 1u);
  EXPECT_EQ(sim::PendingOperations()[0].from, "C:\\samples\\held.exe");
  EXPECT_TRUE(sim::PendingOperations()[0].deletion);
  sim::Release(hold);
  sim::Restart();
  EXPECT_FALSE(sim::Exists("C:\\samples\\held.exe"));
}

TEST(CheckAndDeleteFile, FailedDeletionIsCountedAsFailure) {
  sim::Reset();
  sim::PutFile("C:\\samples\\held.exe", samples::MakeSample(samples::kRow0Crc));
  sim::HoldOpen("C:\\samples\\held.exe", GENERIC_READ, FILE_SHARE_READ);
  testing_support::FailApi("MoveFileExA");  // nor can it be scheduled

  EXPECT_EQ(CheckAndDeleteFile("C:\\samples\\held.exe"), 1);

  EXPECT_EQ(ScanLines()[1], "Deleting file \"C:\\samples\\held.exe\", result=4\n");
  EXPECT_EQ(GetInfectionState(), kInfectionFile);
  EXPECT_EQ(GetRebootPendingCount(), 0);
  EXPECT_EQ(GetFailureCount(), 1);
  EXPECT_TRUE(sim::Exists("C:\\samples\\held.exe"));
}

// Phase 2 could only schedule the image of a killed process for the restart; phase 4 meets the
// file again, checks it, hands it to ReplaceFile again and counts that second result too.
TEST(CheckAndDeleteFile, FilePostponedByPhaseTwoIsExaminedAndCountedAgain) {
  sim::Reset();
  const std::string image = "C:\\w\\worm.exe";
  sim::PutFile(image, samples::MakeSample(samples::kRow1Crc));
  sim::AddProcess(image);
  sim::HoldOpen(image, GENERIC_READ, FILE_SHARE_READ);  // another program keeps it open

  TerminateInfectedProcesses(IsInfectedImage);
  EXPECT_EQ(GetInfectionState(), kInfectionProcess);
  DeleteFoundInfections();
  EXPECT_EQ(GetRebootPendingCount(), 1);
  ScanHardDisk();

  EXPECT_EQ(ScanLines(), (std::vector<std::string>{
                             "Deleting file \"C:\\w\\worm.exe\", result=2\n",
                             "path C:\\vctool\\VorlaxClean.exe infection=0\n",
                             "path C:\\w\\worm.exe infection=1\n",
                             "Deleting file \"C:\\w\\worm.exe\", result=2\n",
                         }));
  EXPECT_EQ(GetInfectionState(), kInfectionFile);
  EXPECT_EQ(GetRebootPendingCount(), 2);
  EXPECT_EQ(GetFailureCount(), 0);
  EXPECT_EQ(sim::PendingOperations().size(), 2u);
  EXPECT_EQ(sim::ConsoleOutput(),
            "Infected process was found in memory\r\n"
            "Scan hard drives and remove all infected files. Please wait.\r\n");
}

}  // namespace
