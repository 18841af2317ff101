// The run's report: the limit of its path, and whole-or-nothing under every failure of the
// writing and of putting the file in place, on NT (MoveFileExA) and on 9x (rename aside).
#include <gtest/gtest.h>

#include <string>

#include "app/report.h"
#include "app/run_record.h"
#include "sim/sim.h"
#include "test_support.h"

namespace {

const char kOlder[] = "an older report\r\n";

SYSTEMTIME Time(int second) {
  SYSTEMTIME t;
  memset(&t, 0, sizeof(t));
  t.wYear = 2024;
  t.wMonth = 6;
  t.wDay = 3;
  t.wHour = 8;
  t.wSecond = static_cast<WORD>(second);
  return t;
}

int Write(const std::string& path, int exitCode = 0) {
  SYSTEMTIME started = Time(1), finished = Time(2);
  return WriteRunReport(path.c_str(), &started, &finished, exitCode);
}

const std::string kWholeCleanReport =
    "[Run]\r\nVersion=1.01.10260\r\nComputer=VCTEST-PC\r\nPlatform=NT 5.1.2600\r\nMode=remove\r\n"
    "Started=2024-06-03T08:00:01\r\nFinished=2024-06-03T08:00:02\r\nExitCode=0\r\nInfection=0\r\n"
    "RebootPending=0\r\nFailures=0\r\nRunValue=failed\r\n\r\n[Processes]\r\n\r\n[Files]\r\n; end of report\r\n";

TEST(RunReport, WrittenWholeWithTheTimesGivenAndNothingLeftBeside) {
  sim::Reset();
  sim::MakeDirectory("C:\\reports");
  ASSERT_EQ(1, Write("C:\\reports\\WS.ini"));
  EXPECT_EQ(kWholeCleanReport, sim::FileData("C:\\reports\\WS.ini"));
  EXPECT_EQ(std::vector<std::string>{"C:\\reports\\WS.ini"}, sim::ListFiles("C:\\reports"));
  EXPECT_EQ("", sim::ConsoleOutput());
}

// The path with the temporary file's suffix must fit in MAX_PATH characters: 255 do, 256 do not.
TEST(RunReport, PathOf255CharactersIsWrittenOf256Refused) {
  for (size_t length : {size_t(255), size_t(256)}) {
    sim::Reset();
    std::string dir = "C:\\" + std::string(200, 'd');
    std::string path = dir + "\\" + std::string(length - dir.size() - 1, 'r');
    ASSERT_EQ(length, path.size());
    sim::MakeDirectory(dir);
    int written = Write(path);
    if (length == 255) {
      EXPECT_EQ(1, written);
      EXPECT_EQ(kWholeCleanReport, sim::FileData(path));
    } else {
      EXPECT_EQ(0, written);
      EXPECT_FALSE(sim::Exists(path));
      EXPECT_EQ("Report not written: the path is 256 characters long, at most 255 fit\r\n", sim::ConsoleOutput());
    }
    EXPECT_EQ(written ? 1u : 0u, sim::ListFiles(dir).size());
  }
}

struct FaultCase {
  const char* name;
  bool windows98;
  const char* api;
  long nth;
  const char* line;  // the console line, after "Report not written to C:\reports\WS.ini: "
};

// Whatever fails, the older report stays as it was and no temporary or renamed file is left.
// On 9x MoveFileA's calls are the sim's MoveFileExA calls: the first renames the older report
// aside, the second puts the new one in place.
TEST(RunReport, AnyFailureKeepsTheOlderReportAndLeavesNothingBeside) {
  const FaultCase cases[] = {
      {"create", false, "CreateFileA", 1, "cannot create the file (error 5)"},
      {"first write", false, "WriteFile", 1, "cannot write the file (error 29)"},
      {"a later write", false, "WriteFile", 6, "cannot write the file (error 29)"},
      {"flush", false, "FlushFileBuffers", 1, "cannot write the file (error 29)"},
      {"close", false, "CloseHandle", 1, "cannot write the file (error 6)"},
      {"NT replace", false, "MoveFileExA", 1, "cannot put the file in place (error 5)"},
      {"9x rename aside", true, "MoveFileExA", 1, "cannot put the file in place (error 5)"},
      {"9x rename into place", true, "MoveFileExA", 2, "cannot put the file in place (error 5)"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset();
    if (c.windows98) sim::SetWindows98();
    sim::PutFile("C:\\reports\\WS.ini", kOlder);
    testing_support::FailApi(c.api, c.nth, false);
    EXPECT_EQ(0, Write("C:\\reports\\WS.ini"));
    EXPECT_EQ(kOlder, sim::FileData("C:\\reports\\WS.ini"));
    EXPECT_EQ(std::vector<std::string>{"C:\\reports\\WS.ini"}, sim::ListFiles("C:\\reports"));
    EXPECT_EQ(std::string("Report not written to C:\\reports\\WS.ini: ") + c.line + "\r\n", sim::ConsoleOutput());
    EXPECT_EQ(0, sim::OpenHandleCount());
  }
}

TEST(RunReport, Windows98ReplacesAnOlderReportAndOneLeftAsideByAnEarlierRun) {
  sim::Reset();
  sim::SetWindows98();
  sim::PutFile("C:\\reports\\WS.ini", kOlder);
  sim::PutFile("C:\\reports\\WS.ini.old", "left aside when a run stopped between the renames\r\n");
  ASSERT_EQ(1, Write("C:\\reports\\WS.ini", 3));
  std::string report = sim::FileData("C:\\reports\\WS.ini");
  EXPECT_NE(std::string::npos, report.find("\r\nPlatform=9x 4.10.2222\r\n"));
  EXPECT_NE(std::string::npos, report.find("\r\nExitCode=3\r\n"));
  EXPECT_EQ(std::vector<std::string>{"C:\\reports\\WS.ini"}, sim::ListFiles("C:\\reports"));
}

TEST(RunReport, ReadOnlyOlderReportAndFolderAreNotReplaced) {
  sim::Reset();
  sim::PutFile("C:\\reports\\WS.ini", kOlder, FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(0, Write("C:\\reports\\WS.ini"));
  EXPECT_EQ(kOlder, sim::FileData("C:\\reports\\WS.ini"));
  sim::MakeDirectory("C:\\reports\\dir.ini");
  EXPECT_EQ(0, Write("C:\\reports\\dir.ini"));
  EXPECT_TRUE(sim::IsDirectory("C:\\reports\\dir.ini"));
  EXPECT_EQ(
      "Report not written to C:\\reports\\WS.ini: the older report is read-only (error 5)\r\n"
      "Report not written to C:\\reports\\dir.ini: a folder has that name\r\n",
      sim::ConsoleOutput());
  EXPECT_EQ(std::vector<std::string>{"C:\\reports\\WS.ini"}, sim::ListFiles("C:\\reports"));
}

// A list of infections that lost an entry for lack of memory would report less than was done.
TEST(RunReport, LostRecordMeansNoReport) {
  sim::Reset();
  sim::MakeDirectory("C:\\reports");
  SetRecording(1);
  testing_support::FailApi("malloc", 1, false);
  NoteFileRemoval("C:\\a.exe", 1, kBackupNotAsked);
  EXPECT_EQ(1, RecordLost());
  EXPECT_EQ(0, Write("C:\\reports\\WS.ini"));
  EXPECT_FALSE(sim::Exists("C:\\reports\\WS.ini"));
  EXPECT_EQ("Report not written to C:\\reports\\WS.ini: out of memory for the list of infections (error 8)\r\n",
            sim::ConsoleOutput());
}

// Each handled file in the order handled; a file not there (result 0) is not listed; a file met
// twice by a detection run is named once, whatever the case of its path.
TEST(RunRecord, FilesInOrderWithTheirStates) {
  sim::Reset();
  SetRecording(1);
  NoteFileRemoval("C:\\a.exe", 1, kBackupNotAsked);
  NoteFileRemoval("C:\\b.exe", 0, kBackupNotAsked);
  NoteFileRemoval("C:\\c.exe", 2, kBackupNotAsked);
  NoteFileRemoval("C:\\d.exe", 3, kBackupNotAsked);
  NoteFileRemoval("C:\\e.exe", 4, kBackupNotAsked);
  NoteInfectedFileLeft("C:\\f.exe");
  NoteInfectedFileLeft("c:\\F.EXE");
  std::string list;
  for (RecordEntry* e = RecordedFiles(); e != NULL; e = e->next) list += std::to_string(e->state) + e->path + ";";
  EXPECT_EQ("0C:\\a.exe;1C:\\c.exe;2C:\\d.exe;2C:\\e.exe;3C:\\f.exe;", list);
  EXPECT_EQ("Infected file found: C:\\f.exe\r\n", sim::ConsoleOutput());
  EXPECT_EQ(1, DistinctFilesFound());
  ReleaseRecords();
  EXPECT_EQ(nullptr, RecordedFiles());
}

}  // namespace
