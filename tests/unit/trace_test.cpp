// The trace log: where messages go, the log file's opening rules, filtering, scopes and the
// limits of its fixed buffers.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "test_support.h"
#include "trace/trace.h"

namespace {

using testing_support::Crlf;
using testing_support::DebugText;

// True while some stream still holds the file open: an open without sharing then fails.
bool IsOpen(const std::string& path) {
  HANDLE probe = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (probe == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(probe);
  return false;
}

TEST(Trace, WithoutFileEachMessageFollowsAnEmptyIndentationWrite) {
  sim::Reset();
  TraceMessage("", TRACE_ALL_CATEGORIES, kTraceLevelInfo, "value %d of %s\n", 7, "x");
  TraceMessage("", TRACE_ALL_CATEGORIES, kTraceLevelError, "%s", "second\n");
  EXPECT_EQ(sim::DebugOutput(), (std::vector<std::string>{"", "value 7 of x\n", "", "second\n"}));
}

TEST(Trace, LevelsZeroOneAndFourAreWrittenCategoryMaskZeroIsDropped) {
  sim::Reset();
  TraceMessage("", TRACE_ALL_CATEGORIES, 0, "level 0\n");
  TraceMessage("", TRACE_ALL_CATEGORIES, 1, "level 1\n");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "level 4\n");
  TraceMessage("", 0, 4, "no category\n");
  TraceMessage("", TRACE_SCOPE_CATEGORY, 4, "one category\n");
  TraceMessage("", TRACE_ALL_CATEGORIES, 256, "above the maximum level\n");
  EXPECT_EQ(DebugText(), "level 0\nlevel 1\nlevel 4\none category\n");
}

TEST(Trace, AppendModeKeepsEarlierContentAndStoresCrLf) {
  sim::Reset();
  sim::PutFile("C:\\logs\\run.log", "earlier\r\n");
  OpenTraceFile("C:\\logs\\run.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "first %s\n", "line");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "%s", "two\nlines\n");
  // Flushed at once: the file holds every line while it is still open.
  EXPECT_EQ(sim::FileData("C:\\logs\\run.log"), "earlier\r\nfirst line\r\ntwo\r\nlines\r\n");
  EXPECT_TRUE(sim::DebugOutput().empty());
}

TEST(Trace, SamePathTwiceKeepsTheOpenStream) {
  sim::Reset();
  sim::MakeDirectory("C:\\logs");
  OpenTraceFile("C:\\logs\\run.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "one\n");
  // A reopen with "w" would empty the file.
  OpenTraceFile("C:\\logs\\run.log", "w");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "two\n");
  EXPECT_EQ(sim::FileData("C:\\logs\\run.log"), "one\r\ntwo\r\n");
}

TEST(Trace, AnotherPathClosesTheOldFileFirst) {
  sim::Reset();
  sim::MakeDirectory("C:\\logs");
  OpenTraceFile("C:\\logs\\a.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "to a\n");
  OpenTraceFile("C:\\logs\\b.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "to b\n");
  EXPECT_EQ(sim::FileData("C:\\logs\\a.log"), "to a\r\n");
  EXPECT_EQ(sim::FileData("C:\\logs\\b.log"), "to b\r\n");
  EXPECT_FALSE(IsOpen("C:\\logs\\a.log"));
  EXPECT_TRUE(IsOpen("C:\\logs\\b.log"));
}

TEST(Trace, AFailedSecondOpenStillClosedTheOldFileAndFallsBackToTheDebugger) {
  sim::Reset();
  sim::MakeDirectory("C:\\logs");
  OpenTraceFile("C:\\logs\\a.log", "a+");
  OpenTraceFile("C:\\missing\\b.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "where\n");
  EXPECT_FALSE(IsOpen("C:\\logs\\a.log"));
  EXPECT_EQ(sim::FileData("C:\\logs\\a.log"), "");
  EXPECT_EQ(DebugText(), "where\n");
  // The old path was forgotten: naming it again opens it again.
  OpenTraceFile("C:\\logs\\a.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "back\n");
  EXPECT_EQ(sim::FileData("C:\\logs\\a.log"), "back\r\n");
}

TEST(Trace, BareFileNameLiesBesideTheExecutable) {
  sim::Reset();
  sim::SetModulePath("C:\\tools\\clean\\VorlaxClean.exe");
  sim::MakeDirectory("C:\\tools\\clean");
  OpenTraceFile("trace.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "beside\n");
  EXPECT_EQ(sim::FileData("C:\\tools\\clean\\trace.log"), "beside\r\n");
  EXPECT_TRUE(sim::DebugOutput().empty());
}

TEST(Trace, PathsWithADirectoryAreUsedUnchanged) {
  sim::Reset();
  sim::MakeDirectory("C:\\vctool\\sub");
  // A rooted path has a directory part: it is not put beside the executable (the machine has
  // no current drive to resolve it against, so it does not open).
  OpenTraceFile("\\trace.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "rooted\n");
  EXPECT_FALSE(sim::Exists("C:\\vctool\\trace.log"));
  EXPECT_EQ(DebugText(), "rooted\n");
  OpenTraceFile("C:\\vctool\\sub\\trace.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "full\n");
  EXPECT_EQ(sim::FileData("C:\\vctool\\sub\\trace.log"), "full\r\n");
}

TEST(Trace, NestedScopeWritesBracesAndIndentsItsLines) {
  sim::Reset();
  {
    TraceScope scope("", "work\n");
    TraceMessage("", TRACE_ALL_CATEGORIES, 4, "inside\n");
  }
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "after\n");
  EXPECT_EQ(sim::DebugOutput(), (std::vector<std::string>{"", "{ work\n", "   ", "inside\n", "", "} work\n", "",
                                                          "after\n"}));
}

TEST(Trace, NestedScopesInAFileKeepTheirIndentation) {
  sim::Reset();
  OpenTraceFile("C:\\windows\\t.log", "a+");
  {
    TraceScope outer("", "work\n");
    {
      TraceScope inner("", "step\n");
      TraceMessage("", TRACE_ALL_CATEGORIES, 4, "deep\n");
    }
  }
  EXPECT_EQ(sim::FileData("C:\\windows\\t.log"), Crlf("{ work\n   { step\n      deep\n   } step\n} work\n"));
}

TEST(Trace, LongMessagesAreCutTo1023Characters) {
  sim::Reset();
  const struct {
    size_t length;
    size_t written;
  } cases[] = {{1022, 1022}, {1023, 1023}, {1024, 1023}, {5000, 1023}};
  for (const auto& c : cases) {
    std::string text(c.length, 'x');
    text[0] = 'a';
    TraceMessage("", TRACE_ALL_CATEGORIES, 4, "%s", text.c_str());
    ASSERT_FALSE(sim::DebugOutput().empty());
    EXPECT_EQ(sim::DebugOutput().back(), text.substr(0, c.written)) << "length " << c.length;
  }
}

TEST(Trace, OverlongPathIsNotOpened) {
  sim::Reset();
  for (size_t length : {size_t(260), size_t(400)}) {
    std::string path = "C:\\" + std::string(length - 3, 'p');
    OpenTraceFile(path.c_str(), "a+");
  }
  // 259 characters is the longest path kept.
  std::string dir = "C:\\" + std::string(240, 'd');
  sim::MakeDirectory(dir);
  std::string longest = dir + "\\" + std::string(259 - dir.size() - 1, 'f');
  ASSERT_EQ(longest.size(), 259u);
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "debugger\n");
  EXPECT_EQ(DebugText(), "debugger\n");
  OpenTraceFile(longest.c_str(), "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "file\n");
  EXPECT_EQ(sim::FileData(longest), "file\r\n");
}

TEST(Trace, BareNameThatWouldNotFitBesideTheExecutableIsNotOpened) {
  sim::Reset();
  std::string dir = "C:\\" + std::string(240, 'd');
  sim::MakeDirectory(dir);
  sim::SetModulePath(dir + "\\VorlaxClean.exe");
  // dir + "\" is 244 characters: a 15-character name fits (259), a 16-character one does not.
  OpenTraceFile("abcdefghijk.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "fits\n");
  EXPECT_EQ(sim::FileData(dir + "\\abcdefghijk.log"), "fits\r\n");
  OpenTraceFile("abcdefghijkl.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "too long\n");
  EXPECT_FALSE(sim::Exists(dir + "\\abcdefghijkl.log"));
  EXPECT_EQ(DebugText(), "too long\n");
}

TEST(Trace, BareNameBesideACutExecutablePathIsNotOpened) {
  sim::Reset();
  // GetModuleFileNameA cuts a path of 260 characters or more; the name is then not opened at
  // all (an attempt would meet this fault), rather than opened in the current directory.
  std::string dir = "C:\\" + std::string(280, 'd');
  sim::SetModulePath(dir + "\\VorlaxClean.exe");
  testing_support::FailApi("fopen", 1, true);
  OpenTraceFile("t.log", "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "still the debugger\n");
  EXPECT_FALSE(sim::FaultFired());
  EXPECT_EQ(DebugText(), "still the debugger\n");
}

TEST(Trace, FailingWritesAreIgnored) {
  sim::Reset();
  OpenTraceFile("C:\\windows\\t.log", "a+");
  testing_support::FailApi("fwrite", 1, true);
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "lost\n");
  testing_support::FailApi("fwrite", 1000000, false);
  TraceMessage("", TRACE_ALL_CATEGORIES, 4, "kept\n");
  EXPECT_EQ(sim::FileData("C:\\windows\\t.log"), "kept\r\n");
}

}  // namespace
