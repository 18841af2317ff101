// ResetProcessState: every process-wide variable of the product back to its value at process
// start, so that one test program can run the tool again and again in one process.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/outcome.h"
#include "app/platform_query.h"
#include "app/process_state.h"
#include "app/run_record.h"
#include "sim/sim.h"
#include "test_support.h"
#include "trace/trace.h"


namespace {

using testing_support::RunMain;

using testing_support::DebugText;

const char kLog[] = "C:\\windows\\VorlaxClean.log";

TEST(ResetProcessState, SilentModeIsOffAgain) {
  EXPECT_EQ(RunMain({"/SILENT"}), 0);
  EXPECT_EQ(sim::KeyReads(), 0);

  ResetProcessState();
  sim::Reset();
  sim::PushKeys("k");
  EXPECT_EQ(RunMain({}), 0);
  EXPECT_EQ(sim::KeyReads(), 1);  // the key wait of a run without /SILENT
}

TEST(ResetProcessState, IsWindowsNtAsksTheSystemAgain) {
  sim::SetWindows98();
  EXPECT_EQ(IsWindowsNT(), 0);
  sim::SetWindowsNt();
  ASSERT_EQ(IsWindowsNT(), 0);  // remembered

  ResetProcessState();
  EXPECT_EQ(IsWindowsNT(), 1);
  sim::SetWindows98();
  EXPECT_EQ(IsWindowsNT(), 1);  // and remembered again
}

TEST(ResetProcessState, TheRunRecordIsEmptyAndEveryModeOff) {
  SetDetectionOnly(1);
  SetShellKept(1);
  SetRecording(1);
  NoteFileRemoval("C:\\a.exe", 1, kBackupNotAsked);
  NoteInfectedProcess("C:\\b.exe", kProcessFound);
  NoteRunValue(kRunValueDeleted);

  ResetProcessState();  // LeakSanitizer reports the records should it drop them unreleased
  EXPECT_EQ(IsDetectionOnly(), 0);
  EXPECT_EQ(IsShellKept(), 0);
  EXPECT_EQ(IsRecording(), 0);
  EXPECT_EQ(RecordedFiles(), nullptr);
  EXPECT_EQ(RecordedProcesses(), nullptr);
  EXPECT_EQ(DistinctProcessesFound(), 0);
  EXPECT_EQ(RecordedRunValue(), kRunValueFailed);

  // Recording is off again: a removal leaves no record.
  NoteFileRemoval("C:\\c.exe", 1, kBackupNotAsked);
  EXPECT_EQ(RecordedFiles(), nullptr);
}

TEST(ResetProcessState, CountersAreZeroAndTheListIsReleased) {
  SetInfectionState(kInfectionProcess);
  IncrementFailureCount();
  IncrementRebootPendingCount();
  IncrementRebootPendingCount();
  for (const char* path : {"C:\\a.exe", "C:\\b.exe"}) {
    InfectedFileNode* node = static_cast<InfectedFileNode*>(malloc(sizeof(InfectedFileNode)));
    ASSERT_NE(node, nullptr);
    strcpy(node->path, path);
    AppendInfectedFileNode(node);
  }

  ResetProcessState();  // LeakSanitizer reports the nodes should it drop them unreleased
  EXPECT_EQ(GetInfectionState(), kInfectionNone);
  EXPECT_EQ(GetFailureCount(), 0);
  EXPECT_EQ(GetRebootPendingCount(), 0);
  EXPECT_EQ(GetInfectedFileListHead(), nullptr);

  // The list starts again from an empty tail.
  InfectedFileNode* node = static_cast<InfectedFileNode*>(malloc(sizeof(InfectedFileNode)));
  ASSERT_NE(node, nullptr);
  strcpy(node->path, "C:\\c.exe");
  AppendInfectedFileNode(node);
  ASSERT_EQ(GetInfectedFileListHead(), node);
  EXPECT_EQ(node->next, nullptr);
  ReleaseInfectedFileList();
}

TEST(ResetProcessState, LogFileIsClosedAndTheTraceGoesToTheDebugger) {
  EXPECT_EQ(RunMain({"/SILENT"}), 0);
  ASSERT_EQ(sim::OpenStreamCount(), 1);  // the log stays open until the process ends

  ResetProcessState();
  EXPECT_EQ(sim::OpenStreamCount(), 0);
  const std::string log = sim::FileData(kLog);
  TRACE_INFO("%s", "after the reset\n");
  EXPECT_EQ(sim::FileData(kLog), log);
  EXPECT_EQ(DebugText(), "after the reset\n");

  // The same path opens again: the old one is forgotten with its stream.
  OpenTraceFile(kLog, "a+");
  TRACE_INFO("%s", "into the file\n");
  EXPECT_EQ(sim::FileData(kLog), log + "into the file\r\n");
}

TEST(ResetProcessState, OnlyTheRootScopeStaysOpen) {
  EXPECT_EQ(RunMain({"/SILENT"}), 0);
  ResetProcessState();

  // A scope after the reset is nested in the root: its end writes its line and leaves the log
  // file open, where the end of the root scope would close it and switch the trace off.
  sim::MakeDirectory("C:\\logs");
  OpenTraceFile("C:\\logs\\run.log", "a+");
  {
    TraceScope scope("", "work\n");
    TRACE_INFO("%s", "inside\n");
  }
  TRACE_INFO("%s", "after\n");
  EXPECT_EQ(sim::FileData("C:\\logs\\run.log"), "{ work\r\n   inside\r\n} work\r\nafter\r\n");
  EXPECT_EQ(sim::OpenStreamCount(), 1);
}

}  // namespace
