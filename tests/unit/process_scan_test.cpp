// The process scan: enumeration through ToolHelp or PSAPI, the shell and infected processes
// ended, their images remembered, the debug privilege, and the text search it relies on.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/disinfect.h"
#include "app/outcome.h"
#include "detect/process_enumerators.h"
#include "detect/process_scan.h"
#include "sim/sim.h"
#include "sim/sim_processes.h"
#include "test_support.h"
#include "tools/samples/sample_writer.h"

namespace {

using testing_support::DebugText;

const char kNotFoundConsole[] = "Infected process was not found in memory\r\n";
const char kFoundConsole[] = "Infected process was found in memory\r\n";
const char kNotFoundLog[] = "No infected processes were found\n";
const char kOkLog[] = "There were infected proceses, terminated with status =OK, start delete infected process files\n";
const char kNotOkLog[] =
    "There were infected proceses, terminated with status =NOT OK, start delete infected process files\n";

std::string Hex(DWORD pid) {
  char text[16];
  snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(pid));
  return text;
}

std::string Examined(const std::string& path, DWORD pid) {
  return "examinate process " + path + " (PID=" + Hex(pid) + ")\n";
}

// The lines of one process that was acted on and ended.
std::string Ended(const std::string& path, DWORD pid, int status = 1, long error = 0) {
  return Examined(path, pid) + "Process " + path + " (PID=" + Hex(pid) + ") is infection\n" + "Process " + path +
         " terminated with status " + std::to_string(status) + " (" + std::to_string(error) + "), attempt=0\n";
}

std::vector<std::string> InfectedList() {
  std::vector<std::string> out;
  for (InfectedFileNode* n = GetInfectedFileListHead(); n != nullptr; n = n->next) out.push_back(n->path);
  return out;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

void ExpectNothingLeaked() {
  EXPECT_EQ(sim::OpenHandleCount(), 0);
  EXPECT_EQ(sim::LibraryReferences(), 0);
  EXPECT_EQ(sim::BadLibraryFrees(), 0);
}

void PutWorm(const std::string& path, uint32_t seed = 1) {
  sim::PutFile(path, samples::MakeSample(samples::kRow0Crc, 8192, seed));
}

// ---------------------------------------------------------------- FindTextNoCase
TEST(FindTextNoCase, Table) {
  sim::Reset();
  struct Case {
    const char* text;
    const char* pattern;
    int limit;
    int expected;  // offset of the match in text, -1 for none
  } cases[] = {
      {"abc", "", 3, 0},                 // an empty pattern is found at the start
      {"abc", "", 0, -1},                // but limit 0 finds nothing, whatever the pattern
      {"abc", "a", 0, -1},
      {"abc", "a", -5, -1},
      {"", "a", 5, -1},
      {"ab", "abc", 10, -1},             // text shorter than the pattern
      {"xxEXPLORER", "explorer", 10, 2}, // letter case does not count
      {"xxEXPLORER", "explorer", 9, -1}, // the match straddles the limit
      {"xxEXPLORER", "explorer", 5, -1},
      {"abcabc", "CA", 6, 2},            // the first occurrence
      {"abcabc", "bc", 2, -1},
      {"abcabc", "bc", 3, 1},            // a match that ends right at the limit
      {"C:\\WINDOWS\\EXPLORER.EXE", "\\explorer.exe", 23, 10},
      {"C:\\prog\\iexplorer.exe", "\\explorer.exe", 21, -1},
      {"C:\\x\\explorer.exe.bak", "\\explorer.exe", 21, 4},
  };
  for (const Case& c : cases) {
    const char* found = FindTextNoCase(c.text, c.pattern, c.limit);
    int offset = found == nullptr ? -1 : static_cast<int>(found - c.text);
    EXPECT_EQ(offset, c.expected) << "\"" << c.text << "\" / \"" << c.pattern << "\" limit " << c.limit;
  }
  EXPECT_EQ(FindTextNoCase(nullptr, "a", 3), nullptr);
  EXPECT_EQ(FindTextNoCase("a", nullptr, 3), nullptr);
}

// ---------------------------------------------------------------- the phase
TEST(TerminateInfectedProcesses, EndsTheWormAndTheShellButRemembersOnlyTheWorm) {
  sim::Reset();
  sim::PutFile("C:\\windows\\explorer.exe", samples::MakePlain(9000));
  sim::PutFile("C:\\apps\\calc.exe", samples::MakePlain(9000, 2));
  PutWorm("C:\\samples\\worm.exe");
  DWORD shell = sim::AddProcess("C:\\windows\\explorer.exe");
  DWORD worm = sim::AddProcess("C:\\samples\\worm.exe");
  DWORD calc = sim::AddProcess("C:\\apps\\calc.exe");

  EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1);

  EXPECT_EQ(DebugText(), Ended("C:\\windows\\explorer.exe", shell) + Ended("C:\\samples\\worm.exe", worm) +
                             Examined("C:\\apps\\calc.exe", calc) + kOkLog);
  EXPECT_EQ(sim::ConsoleOutput(), kFoundConsole);
  EXPECT_EQ(sim::RunningProcesses(), std::vector<DWORD>{calc});
  ASSERT_EQ(sim::Terminations().size(), 2u);
  EXPECT_EQ(sim::Terminations()[1].pid, worm);
  EXPECT_EQ(sim::Terminations()[1].exitCode, 0u);
  EXPECT_EQ(InfectedList(), std::vector<std::string>{"C:\\samples\\worm.exe"});
  EXPECT_EQ(GetInfectionState(), kInfectionProcess);
  ExpectNothingLeaked();
  // The ended worm's image is no longer mapped: phase 2 deletes it at once.
  DeleteFoundInfections();
  EXPECT_FALSE(sim::Exists("C:\\samples\\worm.exe"));
  EXPECT_EQ(GetRebootPendingCount(), 0);
}

TEST(TerminateInfectedProcesses, ShellIsEndedInAnyLetterCaseButNotCounted) {
  sim::Reset();
  const char* images[] = {"C:\\WINDOWS\\Explorer.EXE", "C:\\prog\\iexplorer.exe", "C:\\old\\explorer.exe.bak",
                          "C:\\windows\\EXPLORER.exe"};
  std::vector<DWORD> pids;
  for (const char* image : images) {
    sim::PutFile(image, samples::MakePlain(9000));
    pids.push_back(sim::AddProcess(image));
  }

  EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1);

  EXPECT_EQ(DebugText(), Ended(images[0], pids[0]) + Examined(images[1], pids[1]) + Ended(images[2], pids[2]) +
                             Ended(images[3], pids[3]) + kNotFoundLog);
  EXPECT_EQ(sim::ConsoleOutput(), kNotFoundConsole);
  EXPECT_EQ(sim::RunningProcesses(), std::vector<DWORD>{pids[1]});  // iexplorer.exe is not the shell
  EXPECT_EQ(GetInfectionState(), kInfectionNone);
  EXPECT_EQ(GetInfectedFileListHead(), nullptr);
  ExpectNothingLeaked();
}

TEST(TerminateInfectedProcesses, OneFailedTerminationMakesTheResultNotOkInEitherOrder) {
  struct Case {
    bool failFirst;
    bool failOpening;  // else TerminateProcess fails
  } cases[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  for (const Case& c : cases) {
    sim::Reset();
    ReleaseInfectedFileList();  // the list belongs to the process, not to the machine
    PutWorm("C:\\w\\one.exe", 1);
    PutWorm("C:\\w\\two.exe", 2);
    sim::ProcessOptions failing;
    if (c.failOpening) {
      failing.canTerminate = false;
    } else {
      failing.terminateSucceeds = false;
    }
    DWORD one = sim::AddProcess("C:\\w\\one.exe", 0, c.failFirst ? failing : sim::ProcessOptions());
    DWORD two = sim::AddProcess("C:\\w\\two.exe", 0, c.failFirst ? sim::ProcessOptions() : failing);
    const std::string failedPath = c.failFirst ? "C:\\w\\one.exe" : "C:\\w\\two.exe";
    DWORD failedPid = c.failFirst ? one : two;
    const std::string endedPath = c.failFirst ? "C:\\w\\two.exe" : "C:\\w\\one.exe";
    DWORD endedPid = c.failFirst ? two : one;

    EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 0);

    std::string failedLines = Examined(failedPath, failedPid) + "Process " + failedPath + " (PID=" + Hex(failedPid) +
                              ") is infection\n";
    failedLines += c.failOpening ? "cannot open infected process " + failedPath + ", Error=5\n"
                                 : "Process " + failedPath + " terminated with status 0 (5), attempt=0\n";
    std::string endedLines = Ended(endedPath, endedPid);
    EXPECT_EQ(DebugText(), (c.failFirst ? failedLines + endedLines : endedLines + failedLines) + kNotOkLog)
        << c.failFirst << c.failOpening;
    EXPECT_EQ(sim::ConsoleOutput(), kFoundConsole);
    // Both images are remembered, in the order met, whatever became of the process.
    EXPECT_EQ(InfectedList(), (std::vector<std::string>{"C:\\w\\one.exe", "C:\\w\\two.exe"}));
    EXPECT_EQ(sim::RunningProcesses(), std::vector<DWORD>{failedPid});
    ExpectNothingLeaked();
  }
}

TEST(TerminateInfectedProcesses, TwoProcessesOfOneImageGiveTwoNodesAndTwoDeletions) {
  sim::Reset();
  PutWorm("C:\\w\\worm.exe");
  DWORD first = sim::AddProcess("C:\\w\\worm.exe");
  DWORD second = sim::AddProcess("C:\\w\\worm.exe");

  EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1);
  EXPECT_EQ(DebugText(), Ended("C:\\w\\worm.exe", first) + Ended("C:\\w\\worm.exe", second) + kOkLog);
  EXPECT_EQ(InfectedList(), (std::vector<std::string>{"C:\\w\\worm.exe", "C:\\w\\worm.exe"}));

  DeleteFoundInfections();
  std::string log = DebugText();
  EXPECT_EQ(CountOf(log, "Deleting file \"C:\\w\\worm.exe\", result=1\n"), 1u);
  EXPECT_EQ(CountOf(log, "Deleting file \"C:\\w\\worm.exe\", result=0\n"), 1u);
  EXPECT_LT(log.find("result=1\n"), log.find("result=0\n"));
  EXPECT_FALSE(sim::Exists("C:\\w\\worm.exe"));
  EXPECT_EQ(GetRebootPendingCount(), 0);
  EXPECT_EQ(GetFailureCount(), 0);
  EXPECT_EQ(GetInfectedFileListHead(), nullptr);
  ExpectNothingLeaked();
}

TEST(TerminateInfectedProcesses, MissingPsapiOrVdmdbgExaminesNothingAndLogsNoError) {
  struct Case {
    const char* dll;
    const char* function;  // nullptr: the whole library is missing
  } cases[] = {
      {"PSAPI.DLL", nullptr},
      {"VDMDBG.DLL", nullptr},
      {"PSAPI.DLL", "EnumProcesses"},
      {"PSAPI.DLL", "GetModuleFileNameExA"},
      {"PSAPI.DLL", "GetModuleBaseNameA"},
      {"PSAPI.DLL", "EnumProcessModules"},
      {"VDMDBG.DLL", "VDMEnumTaskWOWEx"},
  };
  for (const Case& c : cases) {
    sim::Reset();
    PutWorm("C:\\w\\worm.exe");
    sim::AddProcess("C:\\windows\\explorer.exe");
    DWORD worm = sim::AddProcess("C:\\w\\worm.exe");
    if (c.function == nullptr) {
      sim::SetLibraryPresent(c.dll, false);
    } else {
      sim::RemoveExport(c.dll, c.function);
    }

    EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1);

    std::string what = std::string(c.dll) + " " + (c.function ? c.function : "");
    EXPECT_EQ(DebugText(), kNotFoundLog) << what;
    EXPECT_EQ(sim::ConsoleOutput(), kNotFoundConsole) << what;
    EXPECT_TRUE(sim::IsRunning(worm)) << what;
    EXPECT_TRUE(sim::ProcessOpens().empty()) << what;
    EXPECT_EQ(GetInfectionState(), kInfectionNone);
    ExpectNothingLeaked();
  }
}

TEST(TerminateInfectedProcesses, ProcessesThatCannotBeReadAreSkippedSilently) {
  struct Case {
    sim::ProcessOptions options;
  } cases[3];
  cases[0].options.canQuery = false;
  cases[1].options.listsModules = false;  // as the System process
  cases[2].options.needsDebugPrivilege = true;
  for (size_t i = 0; i < 3; ++i) {
    sim::Reset();
    PutWorm("C:\\w\\worm.exe");
    if (i == 2) sim::SetTokenPrivilege("SeDebugPrivilege", false);
    DWORD worm = sim::AddProcess("C:\\w\\worm.exe", 0, cases[i].options);

    EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1);

    std::string expected = kNotFoundLog;
    if (i == 2) expected = "Cannot SetPrivilege 1300\n" + expected;  // the token lacks the privilege
    EXPECT_EQ(DebugText(), expected) << i;
    EXPECT_TRUE(sim::IsRunning(worm)) << i;
    ExpectNothingLeaked();
  }
}

TEST(TerminateInfectedProcesses, DebugPrivilegeIsEnabledForTheWalkOnlyOnNt) {
  sim::Reset();
  PutWorm("C:\\w\\service.exe");
  sim::ProcessOptions service;
  service.needsDebugPrivilege = true;  // another account's process
  DWORD worm = sim::AddProcess("C:\\w\\service.exe", 0, service);
  ASSERT_EQ(sim::PrivilegeAttributes("SeDebugPrivilege"), 0u);

  EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1);

  EXPECT_FALSE(sim::IsRunning(worm));
  ASSERT_EQ(sim::ProcessOpens().size(), 2u);
  for (const sim::ProcessOpen& open : sim::ProcessOpens()) {
    EXPECT_TRUE(open.debugPrivilegeEnabled);
    EXPECT_TRUE(open.succeeded);
  }
  EXPECT_EQ(sim::ProcessOpens()[0].access, static_cast<DWORD>(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ));
  EXPECT_EQ(sim::ProcessOpens()[1].access, static_cast<DWORD>(PROCESS_TERMINATE));
  EXPECT_EQ(sim::PrivilegeAttributes("SeDebugPrivilege"), 0u);  // disabled again afterwards
  EXPECT_EQ(sim::PrivilegeAttributes("SeChangeNotifyPrivilege"),
            static_cast<DWORD>(SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT));
  EXPECT_EQ(DebugText(), Ended("C:\\w\\service.exe", worm) + kOkLog);
  ExpectNothingLeaked();  // the token handle is closed too
}

TEST(TerminateInfectedProcesses, TokenProblemsAreLoggedAndTheScanGoesOn) {
  sim::Reset();
  PutWorm("C:\\w\\worm.exe");
  DWORD worm = sim::AddProcess("C:\\w\\worm.exe");
  testing_support::FailApi("OpenProcessToken");

  EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1);

  // Without a token the privilege cannot be set either.
  EXPECT_EQ(DebugText(), std::string("Cannot open current process 5\n") + "Cannot SetPrivilege 6\n" +
                             Ended("C:\\w\\worm.exe", worm) + kOkLog);
  EXPECT_FALSE(sim::IsRunning(worm));
  ExpectNothingLeaked();
}

TEST(TerminateInfectedProcesses, Windows9xUsesToolHelpWithFullPaths) {
  sim::Reset();
  sim::SetWindows98();
  sim::PutFile("C:\\windows\\explorer.exe", samples::MakePlain(9000));
  PutWorm("C:\\w\\worm.exe");
  DWORD shell = sim::AddProcess("C:\\windows\\explorer.exe");
  DWORD worm = sim::AddProcess("C:\\w\\worm.exe");

  EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1);

  EXPECT_EQ(DebugText(), Ended("C:\\windows\\explorer.exe", shell) + Ended("C:\\w\\worm.exe", worm) + kOkLog);
  EXPECT_EQ(sim::RunningProcesses(), std::vector<DWORD>{});
  EXPECT_EQ(sim::LibraryLoads(), 0);  // PSAPI is there but not used
  for (const sim::ProcessOpen& open : sim::ProcessOpens())
    EXPECT_EQ(open.access, static_cast<DWORD>(PROCESS_TERMINATE));
  EXPECT_EQ(sim::PrivilegeAttributes("SeDebugPrivilege"), 0u);
  ExpectNothingLeaked();
}

std::vector<std::pair<std::string, DWORD>> g_listed;
void List(const char* imagePath, DWORD processId, void* context) {
  EXPECT_EQ(context, &g_listed);
  g_listed.push_back({imagePath, processId});
}

TEST(EnumerateProcesses, BackEndGoesByThePlatformAlone) {
  struct Case {
    bool nt;
    int useNt;
    bool toolHelp;
    int result;
    std::string firstName;  // "" when nothing is listed
    int loads;
  } cases[] = {
      {false, 0, true, 1, "C:\\w\\a.exe", 0},  // 9x: the full path
      {false, 0, false, 0, "", 0},             // 9x without ToolHelp: nothing
      {true, 1, true, 1, "C:\\w\\a.exe", 2},   // NT with ToolHelp still takes PSAPI
      {true, 0, true, 1, "a.exe", 0},          // NT's ToolHelp gives the file name only
  };
  for (const Case& c : cases) {
    sim::Reset();
    if (!c.nt) sim::SetWindows98();
    sim::SetToolHelpPresent(c.toolHelp);
    DWORD a = sim::AddProcess("C:\\w\\a.exe");
    sim::AddProcess("C:\\w\\b.exe");
    g_listed.clear();
    EXPECT_EQ(EnumerateProcesses(c.useNt, List, &g_listed), c.result);
    if (c.firstName.empty()) {
      EXPECT_TRUE(g_listed.empty());
    } else {
      ASSERT_EQ(g_listed.size(), 2u);
      EXPECT_EQ(g_listed[0].first, c.firstName);
      EXPECT_EQ(g_listed[0].second, a);
    }
    EXPECT_EQ(sim::LibraryLoads(), c.loads);
    ExpectNothingLeaked();
  }
}

TEST(EnumerateProcesses, FailuresOfTheEnumerationFunctions) {
  struct Case {
    bool nt;
    const char* api;
    int result;
  } cases[] = {
      {true, "EnumProcesses", 0},               // the walk does not run
      {true, "LoadLibraryA", 0},
      {true, "GetProcAddress", 0},
      {false, "CreateToolhelp32Snapshot", 1},  // ran, saw nothing
      {false, "Process32First", 1},
      {false, "GetModuleHandleA", 0},
  };
  for (const Case& c : cases) {
    sim::Reset();
    if (!c.nt) sim::SetWindows98();
    sim::AddProcess("C:\\w\\a.exe");
    testing_support::FailApi(c.api);
    g_listed.clear();
    EXPECT_EQ(EnumerateProcesses(c.nt ? 1 : 0, List, &g_listed), c.result) << c.api;
    EXPECT_TRUE(g_listed.empty()) << c.api;
    ExpectNothingLeaked();
  }
  // Process32Next failing ends the list after the first process.
  sim::Reset();
  sim::SetWindows98();
  sim::AddProcess("C:\\w\\a.exe");
  sim::AddProcess("C:\\w\\b.exe");
  testing_support::FailApi("Process32Next");
  g_listed.clear();
  EXPECT_EQ(EnumerateProcesses(0, List, &g_listed), 1);
  EXPECT_EQ(g_listed.size(), 1u);
  ExpectNothingLeaked();
}

TEST(TerminateInfectedProcesses, InfectedProcessThenInfectedFileLeavesStateOne) {
  sim::Reset();
  PutWorm("C:\\w\\running.exe", 1);
  PutWorm("C:\\d\\copy.exe", 2);
  sim::AddProcess("C:\\w\\running.exe");

  TerminateInfectedProcesses(IsInfectedImage);
  EXPECT_EQ(GetInfectionState(), kInfectionProcess);
  DeleteFoundInfections();
  EXPECT_EQ(GetInfectionState(), kInfectionProcess);
  ScanHardDisk();

  EXPECT_EQ(GetInfectionState(), kInfectionFile);
  EXPECT_FALSE(sim::Exists("C:\\w\\running.exe"));
  EXPECT_FALSE(sim::Exists("C:\\d\\copy.exe"));
}

// More processes than the first identifier list holds: the list grows until it is not full.
TEST(TerminateInfectedProcesses, WormBeyondTheFirst1024ProcessesIsFound) {
  for (int total : {1025, 1500, 4097}) {
    sim::Reset();
    ReleaseInfectedFileList();
    PutWorm("C:\\w\\worm.exe");
    DWORD worm = 0;
    for (int i = 1; i <= total; ++i) {
      if (i == 1500 || (total < 1500 && i == total)) {
        worm = sim::AddProcess("C:\\w\\worm.exe");
      } else {
        sim::AddProcess("C:\\apps\\p" + std::to_string(i) + ".exe");
      }
    }

    EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1) << total;

    EXPECT_FALSE(sim::IsRunning(worm)) << total;
    EXPECT_EQ(sim::ConsoleOutput(), kFoundConsole) << total;
    std::string log = DebugText();
    EXPECT_EQ(CountOf(log, "examinate process "), static_cast<size_t>(total)) << total;  // each once
    EXPECT_EQ(InfectedList(), std::vector<std::string>{"C:\\w\\worm.exe"});
    ExpectNothingLeaked();
  }
}

TEST(TerminateInfectedProcesses, NoMemoryToGrowTheListExaminesTheFirst1024) {
  sim::Reset();
  PutWorm("C:\\w\\worm.exe");
  for (int i = 1; i <= 1500; ++i) sim::AddProcess(i == 100 || i == 1500 ? "C:\\w\\worm.exe" : "C:\\apps\\p.exe");
  testing_support::FailApi("malloc", 1, false);  // the larger list

  EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1);

  EXPECT_EQ(CountOf(DebugText(), "examinate process "), 1024u);
  EXPECT_EQ(sim::Terminations().size(), 1u);
  EXPECT_EQ(InfectedList(), std::vector<std::string>{"C:\\w\\worm.exe"});
  ExpectNothingLeaked();
}

// Sleep runs on the virtual clock: 100 ms between TerminateProcess and closing the handle,
// 1000 ms after each process acted on, nothing for the others.
TEST(ExamineProcess, WaitsOnTheVirtualClock) {
  sim::Reset();
  PutWorm("C:\\w\\worm.exe");
  PutWorm("C:\\w\\locked.exe", 2);
  sim::ProcessOptions cannotOpen;
  cannotOpen.canTerminate = false;
  DWORD worm = sim::AddProcess("C:\\w\\worm.exe");
  sim::AddProcess("C:\\apps\\clean.exe");
  DWORD locked = sim::AddProcess("C:\\w\\locked.exe", 0, cannotOpen);
  DWORD start = sim::Now();

  TerminateInfectedProcesses(IsInfectedImage);

  const std::vector<sim::ProcessOpen>& opens = sim::ProcessOpens();
  ASSERT_EQ(opens.size(), 5u);  // query, terminate, query, query, terminate
  EXPECT_EQ(opens[0].time, start);
  EXPECT_EQ(opens[1].pid, worm);
  EXPECT_EQ(opens[1].time, start);
  ASSERT_EQ(sim::Terminations().size(), 1u);
  EXPECT_EQ(sim::Terminations()[0].time, start);
  EXPECT_TRUE(opens[1].closed);
  EXPECT_EQ(opens[1].closeTime, start + 100);
  EXPECT_EQ(opens[2].time, start + 1100);  // the clean process: no wait after it
  EXPECT_EQ(opens[3].time, start + 1100);
  EXPECT_EQ(opens[4].pid, locked);
  EXPECT_FALSE(opens[4].succeeded);
  EXPECT_EQ(sim::Now(), start + 1100 + 1000);
}

TEST(ExamineProcess, NodeThatCannotBeAllocatedIsNotRemembered) {
  sim::Reset();
  PutWorm("C:\\w\\worm.exe");
  DWORD worm = sim::AddProcess("C:\\w\\worm.exe");
  testing_support::FailApi("malloc", 1, false);

  EXPECT_EQ(TerminateInfectedProcesses(IsInfectedImage), 1);

  EXPECT_FALSE(sim::IsRunning(worm));
  EXPECT_EQ(GetInfectionState(), kInfectionProcess);
  EXPECT_EQ(GetInfectedFileListHead(), nullptr);
  EXPECT_EQ(sim::ConsoleOutput(), kNotFoundConsole);
}

TEST(SetPrivilege, EnablesAndDisablesOneNamedPrivilege) {
  sim::Reset();
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  sim::SetTokenPrivilege("SeBackupPrivilege", true, SE_PRIVILEGE_ENABLED_BY_DEFAULT);

  EXPECT_EQ(SetPrivilege(token, "SeDebugPrivilege", 1), 1);
  EXPECT_EQ(sim::PrivilegeAttributes("SeDebugPrivilege"), static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
  EXPECT_EQ(SetPrivilege(token, "SeDebugPrivilege", 1), 1);  // already enabled
  EXPECT_EQ(sim::PrivilegeAttributes("SeDebugPrivilege"), static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
  EXPECT_EQ(SetPrivilege(token, "SeDebugPrivilege", 0), 1);
  EXPECT_EQ(sim::PrivilegeAttributes("SeDebugPrivilege"), 0u);
  // Other attribute bits stay as they were.
  EXPECT_EQ(SetPrivilege(token, "SeBackupPrivilege", 1), 1);
  EXPECT_EQ(sim::PrivilegeAttributes("SeBackupPrivilege"),
            static_cast<DWORD>(SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT));

  EXPECT_EQ(SetPrivilege(token, "SeNoSuchPrivilege", 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
  sim::SetTokenPrivilege("SeShutdownPrivilege", false);
  EXPECT_EQ(SetPrivilege(token, "SeShutdownPrivilege", 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_EQ(SetPrivilege(nullptr, "SeDebugPrivilege", 1), 0);
  CloseHandle(token);

  // A token opened without the right to adjust privileges changes nothing.
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_EQ(SetPrivilege(token, "SeDebugPrivilege", 1), 0);
  EXPECT_EQ(sim::PrivilegeAttributes("SeDebugPrivilege"), 0u);
  CloseHandle(token);
  EXPECT_EQ(sim::OpenHandleCount(), 0);
}

}  // namespace
