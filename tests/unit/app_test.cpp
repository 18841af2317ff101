// The entry routine's report, options and start-up checks, the platform queries and the
// disinfection sequence's frame.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/disinfect.h"
#include "app/outcome.h"
#include "app/platform_query.h"
#include "sim/sim.h"
#include "sim/sim_devices.h"
#include "test_support.h"
#include "trace/trace.h"


namespace {

using testing_support::RunMain;

using testing_support::Crlf;
using testing_support::DebugText;

const char kLog[] = "C:\\windows\\VorlaxClean.log";
const char kBanner[] =
    "W32/Vorlax Removal Tool ver 1.01.10260\n"
    "Copyright (c) Morvane. All rights reserved.\n"
    "\n";
const char kScanNotice[] = "Scan hard drives and remove all infected files. Please wait.\n";
const char kAdvice[] =
    "----------------------------------------------------------------------\n"
    "IMPORTANT!\n"
    "\n"
    "Vorlax worm uses LSASS exploit to spread to remote computers. That is\n"
    "why it is very important to install the security patch against LSASS\n"
    "vulnerability to avoid re-infection. The security patch can be\n"
    "downloaded from Microsoft's website:\n"
    "\n"
    "http://www.microsoft.com/technet/security/bulletin/MS04-011.mspx\n"
    "----------------------------------------------------------------------\n";
const char kHeadings[][48] = {"[TKUT - Disinfect_Vorlax]\n",
                              "\n**********Terminate Infection processes\n",
                              "\n**********Delete found infections\n",
                              "\n**********Remove registry keys\n",
                              "\n**********Scan hard disk\n",
                              "\n**********all done\n"};

std::vector<std::string> Lines(const std::string& crlfText) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < crlfText.size()) {
    size_t end = crlfText.find("\r\n", start);
    if (end == std::string::npos) end = crlfText.size();
    out.push_back(crlfText.substr(start, end - start));
    start = end + 2;
  }
  return out;
}

// Every text appears in order in haystack.
bool InOrder(const std::string& haystack, const std::vector<std::string>& texts) {
  size_t at = 0;
  for (const std::string& t : texts) {
    size_t found = haystack.find(t, at);
    if (found == std::string::npos) return false;
    at = found + t.size();
  }
  return true;
}

void ExpectShellStartedOnce() {
  ASSERT_EQ(sim::StartedProcesses().size(), 1u);
  const sim::StartedProcess& p = sim::StartedProcesses()[0];
  EXPECT_EQ(p.application, "");
  EXPECT_EQ(p.commandLine, "explorer.exe");
  EXPECT_EQ(p.flags, 528u);
  EXPECT_EQ(p.startupInfoSize, sizeof(STARTUPINFOA));
  EXPECT_TRUE(p.startupInfoZeroed);
}

// ---------------------------------------------------------------- outcome report

const char kRestart[] =
    "Restarting the computer is needed to complete the disinfection process.\nPlease restart the computer now.\n";
const char kRestartTrace[] = "Restarting the computer is needed to complete the disinfection process.";
const std::string kRemoved = std::string("Infection was found and removed\n");
const std::string kError = std::string("Infection was found.  An error occurred in the disinfection process.\n");
const char kRemovedTrace[] = "Infections were found and removed.";
const char kErrorTrace[] = "Infections were found.  An error occurred in the disinfection process.";

struct OutcomeRow {
  const char* name;
  int infection;
  int failures;
  int reboots;
  std::string console;             // after the drive-scan notice
  std::vector<std::string> trace;  // the report's trace lines, before "Exiting"
  int exitCode;
};

void PrintTo(const OutcomeRow& row, std::ostream* out) { *out << row.name; }

class Outcome : public testing::TestWithParam<OutcomeRow> {};

TEST_P(Outcome, ConsoleTraceAndExitCodeFollowTheCounters) {
  const OutcomeRow& row = GetParam();
  sim::Reset();
  // The counters as the phases would leave them; a clean machine adds nothing to them.
  if (row.infection != 0) SetInfectionState(row.infection);
  for (int i = 0; i < row.failures; ++i) IncrementFailureCount();
  for (int i = 0; i < row.reboots; ++i) IncrementRebootPendingCount();

  EXPECT_EQ(RunMain({"/SILENT"}), row.exitCode);

  const std::string& console = sim::ConsoleOutput();
  std::string notice = Crlf(kScanNotice);
  size_t at = console.find(notice);
  ASSERT_NE(at, std::string::npos) << console;
  EXPECT_EQ(console.substr(at + notice.size()), Crlf(row.console));
  EXPECT_EQ(console.substr(0, Crlf(kBanner).size()), Crlf(kBanner));

  // The log after the last heading: the report's lines come last, right before "Exiting".
  std::vector<std::string> lines = Lines(sim::FileData(kLog));
  size_t done = 0;
  while (done < lines.size() && lines[done] != "**********all done") ++done;
  ASSERT_LT(done, lines.size());
  std::vector<std::string> tail(lines.begin() + static_cast<long>(done) + 1, lines.end());
  std::vector<std::string> expectedEnd = row.trace;
  expectedEnd.push_back("Exiting, return value " + std::to_string(row.exitCode));
  ASSERT_GE(tail.size(), expectedEnd.size());
  EXPECT_EQ(std::vector<std::string>(tail.end() - static_cast<long>(expectedEnd.size()), tail.end()), expectedEnd);
  for (size_t i = 0; i + expectedEnd.size() < tail.size(); ++i) {
    EXPECT_EQ(tail[i].find("Infections were found"), std::string::npos) << tail[i];
    EXPECT_EQ(tail[i].find("Restarting"), std::string::npos) << tail[i];
  }
  ExpectShellStartedOnce();
  EXPECT_EQ(sim::KeyReads(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Outcome,
    testing::Values(
        OutcomeRow{"CleanIgnoresTheOtherCounters", 0, 2, 3, "No infection found\n", {}, 0},
        OutcomeRow{"FileRemoved", 1, 0, 0, kRemoved + kAdvice, {kRemovedTrace}, 1},
        OutcomeRow{"ProcessRemoved", 2, 0, 0, kRemoved + kAdvice, {kRemovedTrace}, 1},
        OutcomeRow{"FileRemovedAtRestart", 1, 0, 1, kRemoved + kRestart + kAdvice, {kRemovedTrace, kRestartTrace}, 2},
        OutcomeRow{"ProcessRemovedAtRestart", 2, 0, 3, kRemoved + kRestart + kAdvice, {kRemovedTrace, kRestartTrace},
                   2},
        OutcomeRow{"FileFailed", 1, 1, 0, kError + kAdvice, {kErrorTrace}, 3},
        OutcomeRow{"ProcessFailed", 2, 2, 0, kError + kAdvice, {kErrorTrace}, 3},
        OutcomeRow{"FailureWinsOverRestart", 1, 1, 1, kError + kRestart + kAdvice, {kErrorTrace, kRestartTrace}, 3},
        OutcomeRow{"ProcessFailureWinsOverRestart", 2, 1, 2, kError + kRestart + kAdvice,
                   {kErrorTrace, kRestartTrace}, 3}),
    [](const testing::TestParamInfo<OutcomeRow>& info) { return std::string(info.param.name); });

// The console texts of the rows with an infection, spelled out once here.
TEST(OutcomeConsole, InfectedRowsPrintTheirLinesThenTheAdvice) {
  sim::Reset();
  SetInfectionState(kInfectionProcess);
  IncrementFailureCount();
  IncrementRebootPendingCount();
  EXPECT_EQ(RunMain({"/Q"}), 3);
  std::string expected = std::string(kScanNotice) + kError + kRestart + kAdvice;
  const std::string& console = sim::ConsoleOutput();
  ASSERT_GE(console.size(), Crlf(expected).size());
  EXPECT_EQ(console.substr(console.size() - Crlf(expected).size()), Crlf(expected));
}

TEST(OutcomeConsole, RemovedAtRestartPrintsBothPairsWithTheAdviceInteractively) {
  sim::Reset();
  SetInfectionState(kInfectionFile);
  IncrementRebootPendingCount();
  sim::PushKeys("k");
  EXPECT_EQ(RunMain({}), 2);
  std::string expected = std::string(kScanNotice) + kRemoved + kRestart + kAdvice + "press any key to exit ...\n";
  const std::string& console = sim::ConsoleOutput();
  ASSERT_GE(console.size(), Crlf(expected).size());
  EXPECT_EQ(console.substr(console.size() - Crlf(expected).size()), Crlf(expected));
  EXPECT_EQ(sim::KeyReads(), 1);
  ExpectShellStartedOnce();
  EXPECT_LT(sim::KeyReadTime(0), sim::StartedProcesses()[0].time);
}

// ---------------------------------------------------------------- options

class VersionOption : public testing::TestWithParam<const char*> {};

TEST_P(VersionOption, PrintsTheVersionAloneAndEndsAtOnce) {
  sim::Reset();
  EXPECT_EQ(RunMain({GetParam(), "/SILENT"}), 0);
  EXPECT_EQ(sim::ConsoleOutput(), "VorlaxClean v1.01.10260\r\n");
  EXPECT_FALSE(sim::Exists(kLog));
  EXPECT_TRUE(sim::DebugOutput().empty());
  EXPECT_TRUE(sim::StartedProcesses().empty());
  EXPECT_EQ(sim::KeyReads(), 0);
}

INSTANTIATE_TEST_SUITE_P(Spellings, VersionOption, testing::Values("/ver", "/Ver", "/VER", "/vER"));

class IgnoredOption : public testing::TestWithParam<const char*> {};

TEST_P(IgnoredOption, IsNotTheVersionOptionAndTheRunGoesOn) {
  sim::Reset();
  sim::PushKeys("k");
  EXPECT_EQ(RunMain({GetParam()}), 0);
  EXPECT_EQ(sim::ConsoleOutput().substr(0, Crlf(kBanner).size()), Crlf(kBanner));
  EXPECT_EQ(sim::KeyReads(), 1);  // not silent either
  ExpectShellStartedOnce();
}

INSTANTIATE_TEST_SUITE_P(Lookalikes, IgnoredOption,
                         testing::Values("/VERSION", "-VER", "VER", "/VE", "/SILENTLY", "/QUIET", "-Q", ""));

class SilentOption : public testing::TestWithParam<const char*> {};

TEST_P(SilentOption, SkipsTheKeyWaitButNotTheReport) {
  sim::Reset();
  sim::PushKeys("k");
  EXPECT_EQ(RunMain({GetParam()}), 0);
  EXPECT_EQ(sim::KeyReads(), 0);
  EXPECT_EQ(sim::ConsoleOutput(), Crlf(std::string(kBanner) + "Infected process was not found in memory\n" +
                                       kScanNotice + "No infection found\n"));
  ExpectShellStartedOnce();
}

INSTANTIATE_TEST_SUITE_P(Spellings, SilentOption, testing::Values("/silent", "/Silent", "/SILENT", "/q", "/Q"));

TEST(Options, ArgumentsAfterVersionAreNotLookedAt) {
  sim::Reset();
  EXPECT_EQ(RunMain({"/ver", "/VERSION", "anything"}), 0);
  EXPECT_EQ(sim::ConsoleOutput(), "VorlaxClean v1.01.10260\r\n");
}

// ---------------------------------------------------------------- start-up

TEST(StartUp, NtWithoutAdministratorsStopsAfterTheBanner) {
  sim::Reset();
  sim::SetAdmin(sim::kAdminAbsent);
  sim::PushKeys("k");
  EXPECT_EQ(RunMain({}), 0);
  EXPECT_EQ(sim::ConsoleOutput(),
            Crlf(std::string(kBanner) +
                 "Please log on to this workstation with administrator rights and\nrun the tool again."));
  EXPECT_EQ(sim::FileData(kLog), "VorlaxClean v1.01.10260\r\n");
  EXPECT_EQ(sim::KeyReads(), 0);
  EXPECT_TRUE(sim::StartedProcesses().empty());
  EXPECT_TRUE(sim::DeviceOpens().empty());  // protection never touched
}

TEST(StartUp, LogFileThatCannotBeOpenedLeavesTheTraceOnTheDebugger) {
  sim::Reset();
  testing_support::FailApi("fopen", 1, false);
  EXPECT_EQ(RunMain({"/SILENT"}), 0);
  EXPECT_FALSE(sim::Exists(kLog));
  std::string debug = DebugText();
  EXPECT_EQ(debug.rfind("VorlaxClean v1.01.10260\n", 0), 0u) << debug;
  EXPECT_TRUE(InOrder(debug, {kHeadings[0], kHeadings[5], "Exiting, return value 0\n"})) << debug;
  ExpectShellStartedOnce();
}

TEST(StartUp, FailedWindowsDirectoryQueryPutsTheLogInTheRoot) {
  sim::Reset();
  testing_support::FailApi("GetWindowsDirectoryA", 1, false);
  EXPECT_EQ(RunMain({"/SILENT"}), 0);
  // "\VorlaxClean.log" names the root of the current drive; the simulated machine has none, so
  // the open fails and the trace stays on the debugger, and nothing lands in the Windows folder.
  EXPECT_FALSE(sim::Exists(kLog));
  EXPECT_TRUE(InOrder(DebugText(), {"VorlaxClean v1.01.10260\n", "Exiting, return value 0\n"}));
  ExpectShellStartedOnce();
}

class WindowsDirectoryLength : public testing::TestWithParam<size_t> {};

TEST_P(WindowsDirectoryLength, NeverOverflowsTheLogPath) {
  size_t length = GetParam();
  sim::Reset();
  std::string dir = "C:\\" + std::string(length - 3, 'w');
  if (length < 260) sim::MakeDirectory(dir);
  sim::SetWindowsDirectory(dir);
  EXPECT_EQ(RunMain({"/SILENT"}), 0);
  // 243 + "\VorlaxClean.log" is 259 characters and fits; a longer one goes to the root, which
  // the simulated machine cannot resolve, so the trace stays on the debugger.
  bool fits = length <= 243;
  EXPECT_EQ(sim::Exists(dir + "\\VorlaxClean.log"), fits);
  EXPECT_EQ(InOrder(DebugText(), {"VorlaxClean v1.01.10260\n", "Exiting, return value 0\n"}), !fits);
  ExpectShellStartedOnce();
}

INSTANTIATE_TEST_SUITE_P(Lengths, WindowsDirectoryLength, testing::Values(243, 244, 259, 260, 300));

TEST(StartUp, FailedShellStartIsIgnored) {
  sim::Reset();
  sim::FailProcessStart(true);
  EXPECT_EQ(RunMain({"/SILENT"}), 0);
  std::vector<std::string> lines = Lines(sim::FileData(kLog));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Exiting, return value 0");
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

TEST(StartUp, ShellHandlesAreClosed) {
  sim::Reset();
  RunMain({"/SILENT"});
  ExpectShellStartedOnce();
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// ---------------------------------------------------------------- platform queries

TEST(Platform, IsWindowsNtAsksOnceAndRemembers) {
  sim::Reset();
  sim::SetWindowsNt();
  EXPECT_EQ(IsWindowsNT(), 1);
  sim::SetWindows98();
  EXPECT_EQ(IsWindowsNT(), 1);
  EXPECT_EQ(GetPlatform(), kPlatformWin9x);  // asked each time
  sim::SetWindowsNt();
  EXPECT_EQ(GetPlatform(), kPlatformNt);
}

TEST(Platform, IsWindowsNtOnNineX) {
  sim::Reset();
  sim::SetWindows98();
  EXPECT_EQ(IsWindowsNT(), 0);
  sim::SetWindowsNt();
  EXPECT_EQ(IsWindowsNT(), 0);
}

TEST(Platform, FailedVersionQuery) {
  sim::Reset();
  sim::SetWindowsNt();
  testing_support::FailApi("GetVersionExA", 1, true);
  EXPECT_EQ(GetPlatform(), kPlatformOther);
  EXPECT_EQ(IsWindowsNT(), 0);  // a failed query reads as not NT, and is remembered
  testing_support::FailApi("GetVersionExA", 1000, false);
  EXPECT_EQ(IsWindowsNT(), 0);
  EXPECT_EQ(GetPlatform(), kPlatformNt);
}

TEST(Platform, OtherPlatformIdsAreZero) {
  sim::Reset();
  sim::SetVersion(VER_PLATFORM_WIN32s, 3, 11, 0);
  EXPECT_EQ(GetPlatform(), kPlatformOther);
  sim::SetVersion(3, 10, 0, 0);
  EXPECT_EQ(GetPlatform(), kPlatformOther);
}

TEST(IsUserAdmin, MembershipDecidesWhateverTheAttributes) {
  const struct {
    sim::AdminMode mode;
    int expected;
  } cases[] = {{sim::kAdminMember, 1}, {sim::kAdminAbsent, 0}, {sim::kAdminDenyOnly, 1}};
  for (const auto& c : cases) {
    sim::Reset();
    sim::SetAdmin(c.mode);
    EXPECT_EQ(IsUserAdmin(), c.expected) << c.mode;
    EXPECT_EQ(sim::OpenHandleCount(), 0);
  }
}

TEST(IsUserAdmin, LargeTokenIsQueriedAgainWithTheNeededSize) {
  for (sim::AdminMode mode : {sim::kAdminMember, sim::kAdminDenyOnly, sim::kAdminAbsent}) {
    sim::Reset();
    sim::SetAdmin(mode);
    sim::SetExtraTokenGroups(200);  // far beyond 1024 bytes
    EXPECT_EQ(IsUserAdmin(), mode == sim::kAdminAbsent ? 0 : 1) << mode;
    // 1024 bytes, then the needed size, then the Administrators SID.
    EXPECT_EQ(sim::FaultCallCount(sim::kFaultAlloc), 3);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
  }
}

TEST(IsUserAdmin, EveryFailureReadsAsNotAdministratorAndReleasesEverything) {
  const struct {
    const char* api;
    long nth;
    int extraGroups;
  } cases[] = {
      {"malloc", 1, 0},                    // the first buffer
      {"malloc", 2, 200},                  // the buffer of the needed size
      {"OpenProcessToken", 1, 0},          //
      {"GetTokenInformation", 1, 0},       // the query itself fails
      {"GetTokenInformation", 2, 200},     // the second query fails
      {"AllocateAndInitializeSid", 1, 0},  //
  };
  for (const auto& c : cases) {
    sim::Reset();
    sim::SetAdmin(sim::kAdminMember);
    sim::SetExtraTokenGroups(c.extraGroups);
    testing_support::FailApi(c.api, c.nth, false);
    EXPECT_EQ(IsUserAdmin(), 0) << c.api << " " << c.nth;
    EXPECT_TRUE(sim::FaultFired()) << c.api << " " << c.nth;
    EXPECT_EQ(sim::OpenHandleCount(), 0) << c.api << " " << c.nth;
  }
  // Heap blocks left behind show as leaks when this process ends.
}

TEST(IsUserAdmin, FailureEndsTheRunAsMissingRights) {
  sim::Reset();
  testing_support::FailApi("OpenProcessToken", 1, true);
  EXPECT_EQ(RunMain({"/SILENT"}), 0);
  EXPECT_EQ(sim::ConsoleOutput(), Crlf(kBanner));
  EXPECT_TRUE(sim::StartedProcesses().empty());
}

TEST(IsUserAdmin, NotAskedOnNineX) {
  sim::Reset();
  sim::SetWindows98();
  testing_support::FailApi("OpenProcessToken", 1, true);
  EXPECT_EQ(RunMain({"/SILENT"}), 0);
  ExpectShellStartedOnce();
}

// ---------------------------------------------------------------- disinfection sequence

TEST(DisinfectVorlax, RefusedArgumentsRunNothing) {
  const struct {
    int actionCode;
    const char* mask;
  } cases[] = {{2, "*"}, {0, "*"}, {0x10002, "*"}, {1, nullptr}};
  for (const auto& c : cases) {
    sim::Reset();
    int result = 77;
    EXPECT_EQ(Disinfect_Vorlax(&result, "Vorlax", 0, c.actionCode, 0, c.mask, 0), 0) << c.actionCode;
    EXPECT_EQ(result, 4);
    EXPECT_EQ(sim::DebugOutput(), (std::vector<std::string>{"", "[TKUT - Disinfect_Vorlax]\n", "",
                                                            "[TKUT - Disinfect_Vorlax]: Wrong arguments.\n"}));
    EXPECT_TRUE(sim::DeviceOpens().empty());
    EXPECT_EQ(sim::ConsoleOutput(), "");
  }
}

TEST(DisinfectVorlax, RunsThePhasesInOrderBetweenPauseAndResume) {
  sim::Reset();
  int result = 77;
  // The action code is compared as a 16-bit value.
  EXPECT_EQ(Disinfect_Vorlax(&result, NULL, 0, 0x10001, 0, "", 0), 1);
  EXPECT_EQ(result, 77);  // left as the caller set it
  std::string debug = DebugText();
  EXPECT_TRUE(InOrder(debug, {kHeadings[0], kHeadings[1], kHeadings[2], kHeadings[3], kHeadings[4], kHeadings[5]}))
      << debug;
  EXPECT_EQ(debug.rfind("[TKUT - Disinfect_Vorlax]\n", 0), 0u);
  EXPECT_EQ(debug.find("Wrong arguments"), std::string::npos);
  // The driver was asked before the first phase and after the last one.
  const std::vector<sim::DeviceOpenRecord>& opens = sim::DeviceOpens();
  ASSERT_GE(opens.size(), 2u);
  EXPECT_EQ(debug.find("Cannot open VG error=2\n"), debug.find(kHeadings[0]) + strlen(kHeadings[0]));
  EXPECT_EQ(debug.rfind("Cannot open VG error=2\n"), debug.find(kHeadings[5]) + strlen(kHeadings[5]));
  EXPECT_EQ(sim::ConsoleOutput(), Crlf(std::string("Infected process was not found in memory\n") + kScanNotice));
  EXPECT_EQ(GetInfectedFileListHead(), nullptr);
}

TEST(DisinfectVorlax, DeleteFoundInfectionsCountsByResultAndEmptiesTheList) {
  sim::Reset();
  sim::PutFile("C:\\a\\gone.exe", "x");
  sim::PutFile("C:\\a\\held.exe", "x");
  sim::HoldOpen("C:\\a\\held.exe", GENERIC_READ, FILE_SHARE_READ);
  const char* paths[] = {"C:\\a\\gone.exe", "C:\\a\\missing.exe", "C:\\a\\held.exe"};
  for (const char* p : paths) {
    InfectedFileNode* node = static_cast<InfectedFileNode*>(calloc(1, sizeof(InfectedFileNode)));
    ASSERT_NE(node, nullptr);
    strcpy(node->path, p);
    AppendInfectedFileNode(node);
  }
  DeleteFoundInfections();
  EXPECT_EQ(GetInfectedFileListHead(), nullptr);
  EXPECT_FALSE(sim::Exists("C:\\a\\gone.exe"));
  EXPECT_EQ(GetRebootPendingCount(), 1);
  EXPECT_EQ(GetFailureCount(), 0);
  EXPECT_EQ(GetInfectionState(), 0);  // not touched here
  std::string debug = DebugText();
  EXPECT_TRUE(InOrder(debug, {"Will delete infected imaged from 0x", "Deleting file \"C:\\a\\gone.exe\", result=1\n",
                              "Deleting file \"C:\\a\\missing.exe\", result=0\n",
                              "Deleting file \"C:\\a\\held.exe\", result=2\n"}))
      << debug;
}

TEST(DisinfectVorlax, AutostartValueIsDeletedAndReported) {
  sim::Reset();
  RemoveAutostartValue();
  EXPECT_EQ(DebugText(),
            "Key HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\\\Windows Update| set with "
            "status 2\n");
}

TEST(DisinfectVorlax, AutostartStepWithoutMemorySaysNothing) {
  sim::Reset();
  testing_support::FailApi("malloc", 1, false);
  RemoveAutostartValue();
  EXPECT_TRUE(sim::DebugOutput().empty());
}

}  // namespace
