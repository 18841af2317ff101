// Restart-time operations on every platform: MoveFileExA for NT administrators, the protection
// driver's rename list for other NT users, WININIT.INI on Windows 9x; the service state query;
// and the machine after the restart.
#include "fileops/restart_rename.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fileops/rename_list_file.h"
#include "fileops/replace_file.h"
#include "sim/sim.h"
#include "sim/sim_registry.h"
#include "sim/sim_services.h"
#include "test_support.h"

using testing_support::DebugText;

#define RF "[TKUT - ReplaceFile]: "
#define FE "[TKUT - FileExist]: "
#define AR "[TKUT - AddFileToAutomaticRenameList]: "

namespace {

const char kVigilo[] = "Teskaro Vigilo";
const char kCommonKey[] = "HKEY_LOCAL_MACHINE\\Software\\Morvane\\Common\\Paths";
const char kRenameList[] = "C:\\Shared\\TKVG.REN";
const char kWininit[] = "C:\\windows\\WININIT.INI";
const char kWininitBak[] = "C:\\windows\\WININIT.BAK";

const char kSource[] = "C:\\dir\\new.exe";
const char kDestination[] = "C:\\dir\\old.exe";

// Long names with the 8.3 aliases a FAT volume would give them.
const char kLong[] = "C:\\DIR\\LongNameFile.exe";
const char kOther[] = "C:\\DIR\\OtherFile.exe";

std::string SourceBytes() { return "new program"; }
std::string DestinationBytes() { return "old program"; }

const char kAdminScheduled[] = AR "System is NT.\n" AR "User is admin.\n" AR "Operation is executed during reboot.\n";
const char kUserNoVigilo[] =
    AR "System is NT.\n" AR "User is not admin.\n" AR "No admin rights, no VG -> No renaming at reboot.\n";
const char kUserByVigilo[] = AR "System is NT.\n" AR "User is not admin.\n"
                             AR "Vigilo is loaded and can be used for renaming.\n" AR "Vigilo will do the renaming.\n";

const char* StateName(DWORD state) {
  static const char* const names[] = {"?",       "stopped",          "start pending", "stop pending",
                                      "running", "continue pending", "pause pending", "paused"};
  return state <= 7 ? names[state] : "?";
}

// The rename list as the driver would read it: the plain body, or "" when it is not valid.
std::string ReadRenameListBody() {
  unsigned char* body = NULL;
  int32_t error = -1;
  FILE* file = OpenRenameListFile(0, &body, &error);
  if (file == NULL) return "";
  fclose(file);
  std::string stored = sim::FileData(kRenameList);
  std::string plain(reinterpret_cast<const char*>(body), stored.size() - 16);
  free(body);
  return error == 0 ? plain : "";
}

void SetUpVigiloMachine(DWORD state) {
  sim::SetAdmin(sim::kAdminAbsent);
  sim::AddService(kVigilo, state);
  sim::MakeDirectory("C:\\Shared");
  sim::RegPutString(kCommonKey, "Common", "C:\\Shared");
}

// ---------------------------------------------------------------- NT, administrator

TEST(RestartRenameNtAdmin, MoveFileExWithDelayAndReplaceThenRestart) {
  sim::Reset();
  sim::PutFile("C:\\dir\\gone.exe", SourceBytes(), FILE_ATTRIBUTE_READONLY);
  sim::PutFile(kSource, SourceBytes());
  sim::PutFile(kDestination, DestinationBytes(), FILE_ATTRIBUTE_READONLY);

  EXPECT_NE(0, AddFileToAutomaticRenameList("C:\\dir\\gone.exe", NULL));
  EXPECT_NE(0, AddFileToAutomaticRenameList(kSource, kDestination));
  EXPECT_EQ(std::string(kAdminScheduled) + kAdminScheduled, DebugText());

  const std::vector<sim::PendingOperation>& pending = sim::PendingOperations();
  ASSERT_EQ(2u, pending.size());
  EXPECT_EQ("C:\\dir\\gone.exe", pending[0].from);
  EXPECT_TRUE(pending[0].deletion);  // a null destination
  EXPECT_EQ(5u, pending[0].flags);
  EXPECT_EQ(kSource, pending[1].from);
  EXPECT_EQ(kDestination, pending[1].to);
  EXPECT_FALSE(pending[1].deletion);
  EXPECT_EQ(5u, pending[1].flags);
  EXPECT_TRUE(sim::ServiceCalls().empty());  // the driver plays no part here

  sim::Restart();
  EXPECT_FALSE(sim::Exists("C:\\dir\\gone.exe"));
  EXPECT_FALSE(sim::Exists(kSource));
  EXPECT_EQ(SourceBytes(), sim::FileData(kDestination));
}

TEST(RestartRenameNtAdmin, MoveFileExFailureIsReported) {
  struct Row {
    const char* title;
    sim::AdminMode admin;
    bool fault;
  };
  const Row rows[] = {
      {"MoveFileExA failing", sim::kAdminMember, true},
      // A deny-only Administrators group counts as admin, but cannot write the list.
      {"deny-only administrators group", sim::kAdminDenyOnly, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    sim::Reset();
    sim::SetAdmin(row.admin);
    if (row.fault) testing_support::FailApi("MoveFileExA", 1, true);
    sim::PutFile(kSource, SourceBytes());
    EXPECT_EQ(0, AddFileToAutomaticRenameList(kSource, NULL));
    EXPECT_EQ(AR "System is NT.\n" AR "User is admin.\n" AR "Operation cannot be executed during reboot.\n",
              DebugText());
    EXPECT_TRUE(sim::PendingOperations().empty());
  }
}

// ---------------------------------------------------------------- NT, other users

TEST(RestartRenameNtUser, DeletionIsNeverRecordedEvenWithVigiloRunning) {
  sim::Reset();
  SetUpVigiloMachine(SERVICE_RUNNING);
  sim::PutFile(kSource, SourceBytes());
  sim::MapImage(kSource);

  EXPECT_EQ(kReplaceFailed, ReplaceFile("", kSource, NULL));
  EXPECT_EQ(RF "Delete operation (C:\\dir\\new.exe).\n" FE "File C:\\dir\\new.exe exists.\n"
            RF "Src file exists (C:\\dir\\new.exe).\n" RF "Failed to delete the file (C:\\dir\\new.exe).\n" +
                std::string(kUserNoVigilo) + RF "File cannot be deleted during reboot (C:\\dir\\new.exe).\n",
            DebugText());
  EXPECT_TRUE(sim::ServiceCalls().empty());  // not even asked
  EXPECT_FALSE(sim::Exists(kRenameList));
  EXPECT_TRUE(sim::PendingOperations().empty());
}

TEST(RestartRenameNtUser, RenamingGoesToVigiloOnlyWhileItsServiceRuns) {
  struct Row {
    DWORD state;
    int scheduled;
  };
  const Row rows[] = {
      {SERVICE_STOPPED, 0},       {SERVICE_START_PENDING, 1}, {SERVICE_STOP_PENDING, 0},
      {SERVICE_RUNNING, 1},       {SERVICE_CONTINUE_PENDING, 1}, {SERVICE_PAUSE_PENDING, 0},
      {SERVICE_PAUSED, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(StateName(row.state));
    sim::Reset();
    SetUpVigiloMachine(row.state);
    // A list left from an earlier run is replaced, not extended.
    sim::PutFile(kRenameList, "stale list");
    sim::PutFile(kSource, SourceBytes());

    EXPECT_EQ(row.scheduled, AddFileToAutomaticRenameList(kSource, kDestination));
    EXPECT_EQ(row.scheduled ? kUserByVigilo : kUserNoVigilo, DebugText());
    if (row.scheduled) {
      EXPECT_EQ(std::string("C:\\dir\\new.exe\0C:\\dir\\old.exe\0\0", 31), ReadRenameListBody());
    } else {
      EXPECT_EQ("stale list", sim::FileData(kRenameList));
    }
    EXPECT_TRUE(sim::PendingOperations().empty());
    EXPECT_EQ(0, sim::OpenServiceHandleCount());
    EXPECT_EQ(0, sim::OpenHandleCount());
  }
}

TEST(RestartRenameNtUser, RenameListThatCannotBeWrittenIsAFailure) {
  sim::Reset();
  SetUpVigiloMachine(SERVICE_RUNNING);
  sim::RegPutString(kCommonKey, "Common", "C:\\NoSuchFolder");
  sim::PutFile(kSource, SourceBytes());
  sim::HoldOpen(kSource, GENERIC_READ, FILE_SHARE_READ);

  // Through ReplaceFile: the source is in use, its renaming can be neither done nor scheduled.
  EXPECT_EQ(kReplaceFailed, ReplaceFile("C:\\dir\\", "new.exe", "old.exe"));
  const std::string log = DebugText();
  const std::string tail = AR "System is NT.\n" AR "User is not admin.\n"
                           AR "Vigilo is loaded and can be used for renaming.\n" AR "Vigilo cannot do the renaming.\n"
                           RF "Src file cannot be renamed during reboot(C:\\dir\\new.exe -> C:\\dir\\old.exe).\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(tail, log.substr(log.size() - tail.size()));
  EXPECT_EQ(SourceBytes(), sim::FileData(kSource));
}

// ---------------------------------------------------------------- the service query

TEST(IsServiceRunning, StatesAndFailures) {
  struct Row {
    const char* title;
    void (*setup)();
    int running;
  };
  const Row rows[] = {
      {"stopped", [] { sim::AddService(kVigilo, SERVICE_STOPPED); }, 0},
      {"start pending", [] { sim::AddService(kVigilo, SERVICE_START_PENDING); }, 1},
      {"stop pending", [] { sim::AddService(kVigilo, SERVICE_STOP_PENDING); }, 0},
      {"running", [] { sim::AddService(kVigilo, SERVICE_RUNNING); }, 1},
      {"continue pending", [] { sim::AddService(kVigilo, SERVICE_CONTINUE_PENDING); }, 1},
      {"pause pending", [] { sim::AddService(kVigilo, SERVICE_PAUSE_PENDING); }, 0},
      {"paused", [] { sim::AddService(kVigilo, SERVICE_PAUSED); }, 0},
      {"name in other case", [] { sim::AddService("TESKARO VIGILO", SERVICE_RUNNING); }, 1},
      {"no such service", [] { sim::AddService("Other", SERVICE_RUNNING); }, 0},
      {"manager unavailable",
       [] {
         sim::AddService(kVigilo, SERVICE_RUNNING);
         sim::SetServiceManagerUnavailable(1722);
       },
       0},
      {"OpenSCManagerA failing",
       [] {
         sim::AddService(kVigilo, SERVICE_RUNNING);
         testing_support::FailApi("OpenSCManagerA");
       },
       0},
      {"OpenServiceA failing",
       [] {
         sim::AddService(kVigilo, SERVICE_RUNNING);
         testing_support::FailApi("OpenServiceA");
       },
       0},
      {"QueryServiceStatus failing",
       [] {
         sim::AddService(kVigilo, SERVICE_RUNNING);
         testing_support::FailApi("QueryServiceStatus");
       },
       0},
      {"other user", [] {
         sim::AddService(kVigilo, SERVICE_RUNNING);
         sim::SetAdmin(sim::kAdminAbsent);
       },
       1},
      {"Windows 9x", [] {
         sim::AddService(kVigilo, SERVICE_RUNNING);
         sim::SetWindows98();
       },
       0},
      {"version query failing", [] {
         sim::AddService(kVigilo, SERVICE_RUNNING);
         testing_support::FailApi("GetVersionExA");
       },
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    sim::Reset();
    row.setup();
    EXPECT_EQ(row.running, IsServiceRunning(kVigilo));
    EXPECT_EQ(0, sim::OpenServiceHandleCount());
    EXPECT_EQ(0, sim::OpenHandleCount());
    EXPECT_EQ("", DebugText());  // the query writes no trace line
  }
}

TEST(IsServiceRunning, AsksForReadAccessOnlyAndClosesServiceBeforeManager) {
  sim::Reset();
  sim::AddService(kVigilo, SERVICE_RUNNING);
  ASSERT_EQ(1, IsServiceRunning(kVigilo));
  const std::vector<sim::ServiceCall>& calls = sim::ServiceCalls();
  ASSERT_EQ(5u, calls.size());
  EXPECT_EQ("OpenSCManagerA", calls[0].api);
  EXPECT_FALSE(calls[0].nameGiven);  // the local computer
  EXPECT_EQ(GENERIC_READ, calls[0].access);
  EXPECT_EQ("OpenServiceA", calls[1].api);
  EXPECT_EQ(kVigilo, calls[1].name);
  EXPECT_EQ((DWORD)SERVICE_QUERY_STATUS, calls[1].access);
  EXPECT_EQ("QueryServiceStatus", calls[2].api);
  EXPECT_EQ("CloseServiceHandle", calls[3].api);
  EXPECT_EQ("service", calls[3].name);
  EXPECT_TRUE(calls[3].succeeded);
  EXPECT_EQ("CloseServiceHandle", calls[4].api);
  EXPECT_EQ("manager", calls[4].name);
  EXPECT_TRUE(calls[4].succeeded);

  // A missing service: the manager is still closed.
  sim::Reset();
  ASSERT_EQ(0, IsServiceRunning(kVigilo));
  ASSERT_EQ(3u, sim::ServiceCalls().size());
  EXPECT_FALSE(sim::ServiceCalls()[1].succeeded);
  EXPECT_EQ("manager", sim::ServiceCalls()[2].name);
  EXPECT_EQ(0, sim::OpenServiceHandleCount());
}

// The simulated manager behaves as Windows does where the product depends on it.
TEST(SimServiceManager, ErrorsAndAccessRules) {
  sim::Reset();
  sim::AddService(kVigilo, SERVICE_RUNNING);
  SC_HANDLE manager = OpenSCManagerA(NULL, NULL, GENERIC_READ);
  ASSERT_NE(nullptr, manager);

  EXPECT_EQ(nullptr, OpenServiceA(manager, "Missing", SERVICE_QUERY_STATUS));
  EXPECT_EQ((DWORD)ERROR_SERVICE_DOES_NOT_EXIST, GetLastError());

  // A handle without the query right cannot be queried.
  SC_HANDLE noQuery = OpenServiceA(manager, kVigilo, 0x0001 /* SERVICE_QUERY_CONFIG */);
  ASSERT_NE(nullptr, noQuery);
  SERVICE_STATUS status;
  EXPECT_FALSE(QueryServiceStatus(noQuery, &status));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());

  SC_HANDLE service = OpenServiceA(manager, kVigilo, SERVICE_QUERY_STATUS);
  ASSERT_NE(nullptr, service);
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ((DWORD)SERVICE_RUNNING, status.dwCurrentState);
  sim::SetServiceState(kVigilo, SERVICE_PAUSED);
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ((DWORD)SERVICE_PAUSED, status.dwCurrentState);

  // Manager handles are not kernel handles.
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(service)));
  EXPECT_EQ(3, sim::OpenServiceHandleCount());
  EXPECT_TRUE(CloseServiceHandle(service));
  EXPECT_FALSE(CloseServiceHandle(service));  // twice
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_TRUE(CloseServiceHandle(noQuery));
  EXPECT_TRUE(CloseServiceHandle(manager));
  EXPECT_EQ(0, sim::OpenServiceHandleCount());

  // An ordinary user may read but not control.
  sim::SetAdmin(sim::kAdminAbsent);
  EXPECT_EQ(nullptr, OpenSCManagerA(NULL, NULL, 0xF003F /* SC_MANAGER_ALL_ACCESS */));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  manager = OpenSCManagerA(NULL, NULL, GENERIC_READ);
  ASSERT_NE(nullptr, manager);
  EXPECT_EQ(nullptr, OpenServiceA(manager, kVigilo, 0x0020 /* SERVICE_STOP */));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_TRUE(CloseServiceHandle(manager));

  // Windows 9x has no service manager.
  sim::SetWindows98();
  EXPECT_EQ(nullptr, OpenSCManagerA(NULL, NULL, GENERIC_READ));
  EXPECT_EQ(120u, GetLastError());  // ERROR_CALL_NOT_IMPLEMENTED
  EXPECT_EQ(0, sim::OpenHandleCount());
}

// ---------------------------------------------------------------- Windows 9x

// The trace of ReplaceFile deleting a file in use on Windows 9x, around the middle part that
// AddFileToAutomaticRenameList writes.
std::string Delete9xLog(const std::string& path, const std::string& middle, bool scheduled) {
  return RF "Delete operation (" + path + ").\n" FE "File " + path + " exists.\n" RF "Src file exists (" + path +
         ").\n" RF "Failed to delete the file (" + path + ").\n" AR "System is not NT.\n" + middle +
         (scheduled ? RF "File will be deleted during reboot (" + path + ").\n"
                    : RF "File cannot be deleted during reboot (" + path + ").\n");
}

void SetUp9xMachine() {
  sim::Reset();
  sim::SetWindows98();
  sim::PutFile(kLong, SourceBytes());
  sim::SetShortName(kLong, "LONGNA~1.EXE");
  sim::MapImage(kLong);
  sim::PutFile(kOther, DestinationBytes());
  sim::SetShortName(kOther, "OTHERF~1.EXE");
  sim::MapImage(kOther);
}

TEST(RestartRename9x, DeletionsAppendNulLinesAndRestartCarriesThemOut) {
  SetUp9xMachine();
  const char* willRun = AR "Operation will be executed during reboot.\n";

  EXPECT_EQ(kReplaceAtRestart, ReplaceFile("", kLong, NULL));
  EXPECT_EQ(Delete9xLog(kLong, willRun, true), DebugText());
  // Created with the header and the one entry, no line end after it.
  EXPECT_EQ("[rename]\r\nnul=C:\\DIR\\LONGNA~1.EXE", sim::FileData(kWininit));

  EXPECT_EQ(kReplaceAtRestart, ReplaceFile("C:\\DIR\\", "OtherFile.exe", NULL));
  const std::string both = "[rename]\r\nnul=C:\\DIR\\LONGNA~1.EXE\r\nnul=C:\\DIR\\OTHERF~1.EXE";
  EXPECT_EQ(both, sim::FileData(kWininit));
  EXPECT_TRUE(sim::PendingOperations().empty());  // no MoveFileEx on this family

  sim::Restart();
  EXPECT_FALSE(sim::Exists(kLong));
  EXPECT_FALSE(sim::Exists(kOther));
  EXPECT_FALSE(sim::Exists(kWininit));
  EXPECT_EQ(both, sim::FileData(kWininitBak));
}

TEST(RestartRename9x, RenamingOntoMissingDestinationCreatesPlaceholder) {
  sim::Reset();
  sim::SetWindows98();
  const char* source = "C:\\DIR\\LongSource.exe";
  const char* target = "C:\\DIR\\LongTarget.exe";
  sim::PutFile(source, SourceBytes());

  EXPECT_EQ(1, AddFileToAutomaticRenameList(source, target));
  EXPECT_EQ(AR "System is not NT.\n" FE "File C:\\DIR\\LongTarget.exe does not exist.\n"
            AR "Operation will be executed during reboot.\n",
            DebugText());
  EXPECT_EQ("Delete me!", sim::FileData(target));
  EXPECT_EQ("[rename]\r\nC:\\DIR\\LONGTA~1.EXE=C:\\DIR\\LONGSO~1.EXE", sim::FileData(kWininit));

  sim::Restart();
  EXPECT_FALSE(sim::Exists(source));
  // WININIT works without long names: the file takes the destination's 8.3 name only.
  EXPECT_EQ(SourceBytes(), sim::FileData("C:\\DIR\\LONGTA~1.EXE"));
  EXPECT_TRUE(sim::Exists(kWininitBak));
}

TEST(RestartRename9x, ExistingDestinationThatCannotBeReadIsNotOverwritten) {
  sim::Reset();
  sim::SetWindows98();
  const char* source = "C:\\DIR\\LongSource.exe";
  const char* target = "C:\\DIR\\LongTarget.exe";
  sim::PutFile(source, SourceBytes());
  sim::PutFile(target, DestinationBytes());
  // Another program writes it and lets nobody read it; it could still be opened for writing.
  sim::HoldOpen(target, GENERIC_WRITE, FILE_SHARE_WRITE);

  EXPECT_EQ(1, AddFileToAutomaticRenameList(source, target));
  EXPECT_EQ(DestinationBytes(), sim::FileData(target));
  EXPECT_EQ("[rename]\r\nC:\\DIR\\LONGTA~1.EXE=C:\\DIR\\LONGSO~1.EXE", sim::FileData(kWininit));
}

TEST(RestartRename9x, ExistingWininitKeepsEveryLine) {
  SetUp9xMachine();
  const std::string longLine = "shell=" + std::string(1500, 's');
  sim::PutFile(kWininit,
               "; written by setup\r\n"
               "[boot]\r\n" + longLine + "\r\n"
               "  Odd = Case \r\n"
               "[Rename]\r\n"
               "NUL=C:\\OLD.EXE\r\n"
               "[misc]\r\n"
               "y=2\r\n"
               "[rename]\r\n"
               "C:\\A.EXE=C:\\B.EXE\r\n");

  EXPECT_EQ(kReplaceAtRestart, ReplaceFile("", kLong, NULL));
  // The two [rename] sections are one: the new entry ends it, under the first header.
  EXPECT_EQ("; written by setup\r\n"
            "[boot]\r\n" + longLine + "\r\n"
            "  Odd = Case \r\n"
            "[Rename]\r\n"
            "NUL=C:\\OLD.EXE\r\n"
            "C:\\A.EXE=C:\\B.EXE\r\n"
            "nul=C:\\DIR\\LONGNA~1.EXE\r\n"
            "[misc]\r\n"
            "y=2",
            sim::FileData(kWininit));
}

// A failed version query reads as "not NT"; a WININIT.INI on NT would never be carried out. Each
// row in a process of its own: the platform answer is remembered for the process.
struct PlatformRow {
  const char* name;
  bool nt;
  long failingQuery;  // 0: none
  bool persistent;
  bool scheduled;
};

class WininitOnlyOn9x : public testing::TestWithParam<PlatformRow> {};

TEST_P(WininitOnlyOn9x, WhenTheSystemSaysSo) {
  const PlatformRow& row = GetParam();
  SetUp9xMachine();
  if (row.nt) sim::SetWindowsNt();
  if (row.failingQuery > 0) testing_support::FailApi("GetVersionExA", row.failingQuery, row.persistent);

  EXPECT_EQ(row.scheduled ? kReplaceAtRestart : kReplaceFailed, ReplaceFile("", kLong, NULL));
  EXPECT_EQ(Delete9xLog(kLong,
                        row.scheduled ? AR "Operation will be executed during reboot.\n"
                                      : AR "Operation cannot be executed during reboot.\n",
                        row.scheduled),
            DebugText());
  EXPECT_EQ(row.scheduled, sim::Exists(kWininit));
  EXPECT_TRUE(sim::PendingOperations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    RestartRename9x, WininitOnlyOn9x,
    testing::Values(PlatformRow{"NtWhoseFirstVersionQueryFailed", true, 1, false, false},
                    PlatformRow{"NtWhoseVersionQueriesAllFail", true, 1, true, false},
                    PlatformRow{"Windows98WhoseSecondVersionQueryFails", false, 2, false, false},
                    PlatformRow{"Windows98", false, 0, false, true}),
    [](const testing::TestParamInfo<PlatformRow>& info) { return std::string(info.param.name); });

TEST(RestartRename9x, WininitThatCannotBeReadOrWrittenIsLeftAlone) {
  const std::string old = "[rename]\r\nnul=C:\\KEEP.EXE\r\n";
  const char* cannot = AR "Operation cannot be executed during reboot.\n";
  struct Row {
    const char* title;
    void (*setup)();
    std::string middle;  // what AddFileToAutomaticRenameList writes
  };
  const Row rows[] = {
      {"a directory", [] { sim::MakeDirectory(kWininit); }, cannot},
      {"read-only",
       [] { sim::PutFile(kWininit, "[rename]\r\nnul=C:\\KEEP.EXE\r\n", FILE_ATTRIBUTE_READONLY); }, cannot},
      {"there, but not readable",
       [] {
         sim::PutFile(kWininit, "[rename]\r\nnul=C:\\KEEP.EXE\r\n");
         sim::HoldOpen(kWininit, 0, FILE_SHARE_WRITE);
       },
       cannot},
      {"reading fails half-way",
       [] {
         sim::PutFile(kWininit, "[rename]\r\nnul=C:\\KEEP.EXE\r\n");
         testing_support::FailApi("fread", 12, true);
       },
       cannot},
      {"no memory for the new entry: no WININIT.INI without it",
       [] {
         testing_support::FailApi("malloc", 1, true);
         testing_support::FailApi("calloc", 1, true);
       },
       cannot},
      {"no Windows directory", [] { testing_support::FailApi("GetWindowsDirectoryA"); }, cannot},
      {"no short path", [] { testing_support::FailApi("GetShortPathNameA"); },
       AR "GetShortPathName() call failed.\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    SetUp9xMachine();
    row.setup();
    bool wasFile = sim::Exists(kWininit) && !sim::IsDirectory(kWininit);
    DWORD attributes = sim::Attributes(kWininit);

    EXPECT_EQ(kReplaceFailed, ReplaceFile("", kLong, NULL));
    EXPECT_EQ(Delete9xLog(kLong, row.middle, false), DebugText());
    if (wasFile) {
      EXPECT_EQ(old, sim::FileData(kWininit));
      EXPECT_EQ(attributes, sim::Attributes(kWininit));
    } else if (sim::IsDirectory(kWininit)) {
      EXPECT_TRUE(sim::ListFiles(kWininit).empty());
    } else {
      EXPECT_FALSE(sim::Exists(kWininit));
    }
  }
}

}  // namespace
