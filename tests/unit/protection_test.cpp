// Pausing and resuming the protection driver: for each kind of installed driver, which
// devices are opened how, which requests reach them byte for byte, and which trace lines are
// written. Also the simulated drivers' own checks that the product relies on.
#include "protection/protection.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "protection/driver_interface.h"
#include "sim/sim.h"
#include "sim/sim_devices.h"
#include "sim/sim_registry.h"
#include "test_support.h"

using testing_support::DebugText;

namespace {

const char kNt[] = R"(\\.\TKVigiloDev)";
const char kVg95[] = R"(\\.\VG95)";
const char kKvx[] = R"(\\.\KVX)";
const char kSettings[] = R"(\\.\tkvg95)";
const char kVigiloKey[] = R"(HKEY_LOCAL_MACHINE\Software\Morvane\Teskaro\Vigilo)";

std::string Bytes(const char* data, size_t n) { return std::string(data, n); }
std::string Dword(DWORD v) {
  std::string b(4, '\0');
  for (int i = 0; i < 4; ++i) b[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return b;
}

struct Request {
  std::string path;
  DWORD code;
  std::string input;
  DWORD inputSize;
  DWORD outputSize;
  bool overlapped;
  std::string beyond;  // what the driver reads past the stated length, when it reads any
};

// The NT requests as the tool must send them. The direct request too goes with a completion
// record: its device is open for overlapped requests.
Request DirectState(int enable) { return {kNt, 0x7E800, Bytes(enable ? "1" : "0", 2), 2, 0, true, ""}; }
Request HandshakeState(int enable) { return {kNt, 0x7E800, Bytes(enable ? "1" : "0", 2), 2, 0, true, ""}; }
Request ReadBack() { return {kNt, 0x7F010, "", 0, 2, true, ""}; }
Request State54x(DWORD value) { return {kNt, 0x7C454, Dword(value), 4, 0, true, ""}; }
// The 9x requests.
Request Direct9x(const char* device, int enable) { return {device, 512, Bytes(enable ? "1" : "0", 2), 2, 0, false, ""}; }
Request Setting9x(int enable) {
  return {kSettings, 509008, Bytes("1.3.6.1.4.1.7264.12.1.111.2.10", 31), 31, 0, false,
          Dword(enable ? 1 : 0) + std::string(221, '\0')};
}

struct Open {
  std::string path;
  DWORD flags;
  bool opened;
};
Open DirectOpen(bool opened) { return {kNt, FILE_FLAG_OVERLAPPED, opened}; }
Open HandshakeOpen(bool opened) { return {kNt, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, opened}; }
Open Direct9xOpen(const char* device, bool opened) { return {device, FILE_FLAG_DELETE_ON_CLOSE, opened}; }
Open SettingOpen(bool opened) { return {kSettings, FILE_FLAG_OVERLAPPED, opened}; }

// Drivers.
void NtDriver(std::vector<sim::DeviceAnswer> setState, std::vector<sim::DeviceAnswer> readBack,
              std::vector<sim::DeviceAnswer> state54x) {
  sim::AddDevice(kNt);
  if (!setState.empty()) sim::SetDeviceAnswers(kNt, VG_IOCTL_SET_STATE, setState);
  if (!readBack.empty()) sim::SetDeviceAnswers(kNt, VG_IOCTL_GET_STATE, readBack);
  if (!state54x.empty()) sim::SetDeviceAnswers(kNt, VG_IOCTL_SET_STATE_54X, state54x);
}

// A 9x driver: the direct device and the settings device, the latter reading the whole
// 256-byte request as the real one does.
void Driver9x(const char* direct, bool settings, sim::DeviceAnswer settingAnswer = sim::Accept()) {
  if (direct != nullptr) {
    sim::AddDevice(direct);
    sim::SetDeviceAnswers(direct, VG_IOCTL_9X_SET_STATE, {sim::Accept()});
  }
  if (settings) {
    settingAnswer.readsBeyond = VG_SETTING_REQUEST_SIZE - 31;
    sim::AddDevice(kSettings);
    sim::SetDeviceAnswers(kSettings, VG_IOCTL_9X_SETTING, {settingAnswer});
  }
}

struct ProtectionCase {
  std::string name;
  bool nt;
  int enable;
  std::function<void()> machine;
  std::string log;
  std::vector<Request> requests;
  std::vector<Open> opens;
  int cancelled;
  int givenUp = 0;  // requests still pending when the call returned (the driver never ends them)
  int held = 0;     // handles those requests keep open until the program ends
};

void PrintTo(const ProtectionCase& c, std::ostream* os) { *os << c.name; }

using sim::Accept;
using sim::AcceptWord;
using sim::Pend;
using sim::Refuse;
using sim::Stuck;

const char kFirst1[] = "VG communication error in first phase 00000001\n";
// The longest one call may wait for a driver that leaves its requests pending.
const DWORD kMostHeldMilliseconds = 6000;
const char kOk54x[] = "VG 5.4x communication successful\n";

std::vector<ProtectionCase> Cases() {
  return {
      // ------------------------------------------------------------ NT family
      {"NtNoDriverPause", true, 0, [] {}, "Cannot open VG error=2\n", {}, {DirectOpen(false), HandshakeOpen(false)}, 0},
      {"NtNoDriverResume", true, 1, [] {}, "Cannot open VG error=2\n", {}, {DirectOpen(false), HandshakeOpen(false)}, 0},
      {"NtDeviceRefusesOpen", true, 0, [] { sim::FailDeviceOpen(kNt, ERROR_ACCESS_DENIED); },
       "Cannot open VG error=5\n", {}, {DirectOpen(false), HandshakeOpen(false)}, 0},
      {"NtConfirmingDriverPause", true, 0, [] { NtDriver({Accept()}, {AcceptWord(0)}, {}); },
       "", {DirectState(0), HandshakeState(0), ReadBack()}, {DirectOpen(true), HandshakeOpen(true)}, 0},
      {"NtConfirmingDriverResume", true, 1, [] { NtDriver({Accept()}, {AcceptWord(1)}, {}); },
       "", {DirectState(1), HandshakeState(1), ReadBack()}, {DirectOpen(true), HandshakeOpen(true)}, 0},
      {"Nt54xDriverPause", true, 0, [] { NtDriver({Refuse(ERROR_INVALID_FUNCTION)}, {}, {Accept()}); },
       std::string(kFirst1) + kOk54x, {DirectState(0), HandshakeState(0), State54x(0)},
       {DirectOpen(true), HandshakeOpen(true)}, 0},
      {"Nt54xDriverResume", true, 1, [] { NtDriver({Refuse(ERROR_INVALID_FUNCTION)}, {}, {Accept()}); },
       std::string(kFirst1) + kOk54x, {DirectState(1), HandshakeState(1), State54x(1)},
       {DirectOpen(true), HandshakeOpen(true)}, 0},
      {"NtReplyOtherThanEnable", true, 0, [] { NtDriver({Accept()}, {AcceptWord(1)}, {Accept()}); },
       kOk54x, {DirectState(0), HandshakeState(0), ReadBack(), State54x(0)}, {DirectOpen(true), HandshakeOpen(true)}, 0},
      {"NtReplyIsTheAsciiDigit", true, 1, [] { NtDriver({Accept()}, {AcceptWord('1')}, {Accept()}); },
       kOk54x, {DirectState(1), HandshakeState(1), ReadBack(), State54x(1)}, {DirectOpen(true), HandshakeOpen(true)}, 0},
      {"NtReplyLeftAtPreset", true, 1, [] { NtDriver({Accept()}, {Accept()}, {Accept()}); },
       kOk54x, {DirectState(1), HandshakeState(1), ReadBack(), State54x(1)}, {DirectOpen(true), HandshakeOpen(true)}, 0},
      {"NtSecondPhaseRefused", true, 0, [] { NtDriver({Accept()}, {Refuse(ERROR_ACCESS_DENIED)}, {Accept()}); },
       std::string("VG communication error in second phase 00000005\n") + kOk54x,
       {DirectState(0), HandshakeState(0), ReadBack(), State54x(0)}, {DirectOpen(true), HandshakeOpen(true)}, 0},
      {"NtFallbackRefusedToo", true, 0, [] { NtDriver({Refuse(ERROR_NOT_SUPPORTED)}, {}, {}); },
       "VG communication error in first phase 00000032\nVG 5.4x communication error in first phase 00000001\n",
       {DirectState(0), HandshakeState(0), State54x(0)}, {DirectOpen(true), HandshakeOpen(true)}, 0},
      // Pending requests: cancelled and collected before the record is used again.
      {"NtFirstPhasePending", true, 0, [] { NtDriver({Accept(), Pend()}, {}, {Accept()}); },
       std::string("VG communication error in first phase 000003E5\n") + kOk54x,
       {DirectState(0), HandshakeState(0), State54x(0)}, {DirectOpen(true), HandshakeOpen(true)}, 1},
      {"NtSecondPhasePending", true, 1, [] { NtDriver({Accept()}, {Pend()}, {Accept()}); },
       std::string("VG communication error in second phase 000003E5\n") + kOk54x,
       {DirectState(1), HandshakeState(1), ReadBack(), State54x(1)}, {DirectOpen(true), HandshakeOpen(true)}, 1},
      {"NtFallbackPending", true, 0, [] { NtDriver({Refuse(ERROR_INVALID_FUNCTION)}, {}, {Pend()}); },
       std::string(kFirst1) + "VG 5.4x communication error in first phase 000003E5\n",
       {DirectState(0), HandshakeState(0), State54x(0)}, {DirectOpen(true), HandshakeOpen(true)}, 1},
      {"NtEveryRequestPending", true, 1, [] { NtDriver({Accept(), Pend()}, {}, {Pend()}); },
       "VG communication error in first phase 000003E5\nVG 5.4x communication error in first phase 000003E5\n",
       {DirectState(1), HandshakeState(1), State54x(1)}, {DirectOpen(true), HandshakeOpen(true)}, 2},
      // The direct request is waited for, then cancelled; nothing of it shows in the log.
      {"NtDirectRequestPending", true, 0, [] { NtDriver({Pend(), Accept()}, {AcceptWord(0)}, {}); },
       "", {DirectState(0), HandshakeState(0), ReadBack()}, {DirectOpen(true), HandshakeOpen(true)}, 1},
      // A driver that does not honour the cancel, or a cancel that fails: the request is given
      // up after a bounded wait, its record, event and device left alone, and the handshake
      // goes on as for any failed request.
      {"NtReadBackStuck", true, 0, [] { NtDriver({Accept()}, {Stuck()}, {Accept()}); },
       std::string("VG communication error in second phase 000003E5\n") + kOk54x,
       {DirectState(0), HandshakeState(0), ReadBack(), State54x(0)}, {DirectOpen(true), HandshakeOpen(true)}, 0, 1,
       2},
      {"NtReadBackPendingCancelFails", true, 0,
       [] {
         NtDriver({Accept()}, {Pend()}, {Accept()});
         testing_support::FailApi("CancelIo");
       },
       std::string("VG communication error in second phase 000003E5\n") + kOk54x,
       {DirectState(0), HandshakeState(0), ReadBack(), State54x(0)}, {DirectOpen(true), HandshakeOpen(true)}, 0, 1,
       2},
      {"NtFallbackStuck", true, 1, [] { NtDriver({Refuse(ERROR_INVALID_FUNCTION)}, {}, {Stuck()}); },
       std::string(kFirst1) + "VG 5.4x communication error in first phase 000003E5\n",
       {DirectState(1), HandshakeState(1), State54x(1)}, {DirectOpen(true), HandshakeOpen(true)}, 0, 1, 2},
      // A driver that never answers: the direct request, the first phase and the fallback (on a
      // record of its own) are each given up; the call still ends, with the usual lines.
      {"NtDriverNeverAnswers", true, 1, [] { NtDriver({Stuck()}, {Stuck()}, {Stuck()}); },
       "VG communication error in first phase 000003E5\nVG 5.4x communication error in first phase 000003E5\n",
       {DirectState(1), HandshakeState(1), State54x(1)}, {DirectOpen(true), HandshakeOpen(true)}, 0, 3, 5},

      // ------------------------------------------------------------ Windows 9x family
      {"W9xVg95Pause", false, 0,
       [] {
         sim::RegPutString(kVigiloKey, "DeviceName", "VG95");
         Driver9x(kVg95, true);
       },
       "Setting change status =1 error=0\n", {Direct9x(kVg95, 0), Setting9x(0)},
       {Direct9xOpen(kVg95, true), SettingOpen(true)}, 0},
      {"W9xVg95Resume", false, 1,
       [] {
         sim::RegPutString(kVigiloKey, "DeviceName", "VG95");
         Driver9x(kVg95, true);
       },
       "Setting change status =1 error=0\n", {Direct9x(kVg95, 1), Setting9x(1)},
       {Direct9xOpen(kVg95, true), SettingOpen(true)}, 0},
      {"W9xLowerCaseNameUsesKvx", false, 0,
       [] {
         sim::RegPutString(kVigiloKey, "DeviceName", "vg95");
         Driver9x(kKvx, true);
       },
       "Setting change status =1 error=0\n", {Direct9x(kKvx, 0), Setting9x(0)},
       {Direct9xOpen(kKvx, true), SettingOpen(true)}, 0},
      {"W9xOtherNameUsesKvx", false, 1,
       [] {
         sim::RegPutString(kVigiloKey, "DeviceName", "VG95X");
         Driver9x(kKvx, true);
       },
       "Setting change status =1 error=0\n", {Direct9x(kKvx, 1), Setting9x(1)},
       {Direct9xOpen(kKvx, true), SettingOpen(true)}, 0},
      {"W9xNoValueUsesKvx", false, 0, [] { Driver9x(kKvx, true); }, "Setting change status =1 error=0\n",
       {Direct9x(kKvx, 0), Setting9x(0)}, {Direct9xOpen(kKvx, true), SettingOpen(true)}, 0},
      {"W9xValueLongerThanBufferUsesKvx", false, 0,
       [] {
         sim::RegPutValue(kVigiloKey, "DeviceName", REG_BINARY, std::string("VG95\0", 5) + std::string(12, 'x'));
         Driver9x(kKvx, true);
       },
       "Setting change status =1 error=0\n", {Direct9x(kKvx, 0), Setting9x(0)},
       {Direct9xOpen(kKvx, true), SettingOpen(true)}, 0},
      {"W9xNoDriver", false, 1, [] {}, "Cannot open VG error=2\n", {},
       {Direct9xOpen(kKvx, false), SettingOpen(false)}, 0},
      {"W9xSettingRefused", false, 0, [] { Driver9x(nullptr, true, Refuse(ERROR_INVALID_FUNCTION)); },
       "Setting change status =0 error=1\n", {Setting9x(0)}, {Direct9xOpen(kKvx, false), SettingOpen(true)}, 0},
  };
}

class ProtectionTable : public ::testing::TestWithParam<ProtectionCase> {};

TEST_P(ProtectionTable, Case) {
  const ProtectionCase& c = GetParam();
  sim::Reset();
  if (!c.nt) sim::SetWindows98();
  c.machine();
  DWORD start = sim::Now();

  SetRealTimeProtection(c.enable);

  EXPECT_EQ(c.log, DebugText());

  const std::vector<sim::DeviceRequestRecord>& sent = sim::DeviceRequests();
  ASSERT_EQ(c.requests.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    const Request& want = c.requests[i];
    EXPECT_EQ(want.path, sent[i].path);
    EXPECT_EQ(want.code, sent[i].code);
    EXPECT_EQ(want.input, sent[i].input);
    EXPECT_EQ(want.inputSize, sent[i].inputSize);
    EXPECT_EQ(want.outputSize, sent[i].outputSize);
    EXPECT_EQ(want.outputSize != 0, sent[i].outputBuffer);
    EXPECT_EQ(want.overlapped, sent[i].overlapped);
    if (!want.beyond.empty()) {
      EXPECT_EQ(want.beyond, sent[i].beyond);
    }
  }

  const std::vector<sim::DeviceOpenRecord>& opens = sim::DeviceOpens();
  ASSERT_EQ(c.opens.size(), opens.size());
  for (size_t i = 0; i < opens.size(); ++i) {
    SCOPED_TRACE("open " + std::to_string(i));
    const Open& want = c.opens[i];
    bool ntDevice = want.path == kNt;
    EXPECT_EQ(want.path, opens[i].path);
    EXPECT_EQ(ntDevice ? GENERIC_READ | GENERIC_WRITE : 0u, opens[i].access);
    EXPECT_EQ(ntDevice ? static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE) : 0u, opens[i].share);
    EXPECT_EQ(ntDevice ? static_cast<DWORD>(OPEN_EXISTING) : 0u, opens[i].disposition);
    EXPECT_EQ(want.flags, opens[i].flags);
    EXPECT_EQ(want.opened, opens[i].opened);
  }

  // A driver that answers at once is never waited for; one that leaves requests pending
  // holds the call for a few seconds at most (the simulated clock moves while the tool waits).
  bool anyPended = false;
  for (const sim::DeviceRequestRecord& r : sent) anyPended = anyPended || r.pended;
  if (anyPended) {
    EXPECT_LE(sim::Now() - start, kMostHeldMilliseconds);
  } else {
    EXPECT_EQ(start, sim::Now());
  }

  // Devices and events closed, every pending request cancelled and collected, but for the
  // requests given up: those keep their device and event until the program ends.
  EXPECT_EQ(c.held, sim::OpenHandleCount());
  EXPECT_EQ(0, sim::RegOpenKeyCount());
  EXPECT_EQ(c.givenUp, sim::PendingDeviceRequests());
  EXPECT_EQ(c.cancelled, sim::CancelledDeviceRequests());
  EXPECT_EQ(c.givenUp, sim::EndProgram());
  EXPECT_EQ(0, sim::OpenHandleCount());
}

INSTANTIATE_TEST_SUITE_P(Protection, ProtectionTable, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ProtectionCase>& info) { return info.param.name; });

// The optional query of the direct interface: never sent by the tool's own sequence, but
// asked when a caller passes a place for it.
TEST(ProtectionTest, OpenProtectionDeviceQueriesWhenAsked) {
  sim::Reset();
  sim::AddDevice(kNt);
  sim::SetDeviceAnswers(kNt, VG_IOCTL_QUERY, {Accept(Dword(0x01020304))});
  DWORD value = 0;
  HANDLE device = OpenProtectionDevice(&value);
  ASSERT_NE(INVALID_HANDLE_VALUE, device);
  EXPECT_EQ(0x01020304u, value);
  ASSERT_EQ(1u, sim::DeviceRequests().size());
  EXPECT_EQ(VG_IOCTL_QUERY, sim::DeviceRequests()[0].code);
  EXPECT_EQ(0u, sim::DeviceRequests()[0].inputSize);
  EXPECT_EQ(4u, sim::DeviceRequests()[0].outputSize);
  EXPECT_FALSE(sim::DeviceRequests()[0].overlapped);
  EXPECT_TRUE(CloseHandle(device));

  // Without a place for the answer nothing is asked.
  device = OpenProtectionDevice(nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, device);
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_EQ(1u, sim::DeviceRequests().size());
  EXPECT_EQ(0, sim::OpenHandleCount());
}

TEST(ProtectionTest, OpenProtectionDeviceQueriesThe9xDevice) {
  sim::Reset();
  sim::SetWindows98();
  sim::AddDevice(kKvx);
  sim::SetDeviceAnswers(kKvx, VG_IOCTL_9X_QUERY, {Accept(Dword(7))});
  DWORD value = 0;
  HANDLE device = OpenProtectionDevice(&value);
  ASSERT_NE(INVALID_HANDLE_VALUE, device);
  EXPECT_EQ(7u, value);
  ASSERT_EQ(1u, sim::DeviceRequests().size());
  EXPECT_EQ(1911u, sim::DeviceRequests()[0].code);
  EXPECT_TRUE(CloseHandle(device));
}

// Every device call in turn fails: the call returns, no handle is left open and nothing stays
// pending, but for a request whose cancellation fails: that one is given up with its device
// and event, which the end of the program releases.
TEST(ProtectionTest, DeviceFaultsLeaveNothingOpen) {
  struct Driver {
    const char* title;
    std::function<void()> make;
    int givenUp;  // fault points that leave a request given up: the failing CancelIo
  } drivers[] = {
      {"answering", [] { NtDriver({Accept()}, {AcceptWord(0)}, {Accept()}); }, 0},
      {"read-back pending", [] { NtDriver({Accept()}, {Pend()}, {Accept()}); }, 1},
      {"direct request pending", [] { NtDriver({Pend(), Accept()}, {AcceptWord(0)}, {Accept()}); }, 1},
  };
  for (const Driver& driver : drivers) {
    int faults = 0;
    int givenUp = 0;
    for (long n = 1;; ++n) {
      SCOPED_TRACE(std::string(driver.title) + ", device call " + std::to_string(n));
      sim::Reset();
      driver.make();
      DWORD start = sim::Now();
      sim::SetSweepFault(sim::kFaultDevice, n, false);
      SetRealTimeProtection(0);
      EXPECT_LE(sim::Now() - start, kMostHeldMilliseconds);
      int left = sim::PendingDeviceRequests();
      EXPECT_LE(left, 1);
      givenUp += left;
      EXPECT_EQ(left, sim::EndProgram());
      EXPECT_EQ(0, sim::OpenHandleCount());
      if (!sim::FaultFired()) break;
      ++faults;
      ASSERT_LT(n, 30);
    }
    EXPECT_GE(faults, 6) << driver.title;
    EXPECT_EQ(driver.givenUp, givenUp) << driver.title;
  }
}

// A pause and a resume with a driver that never completes the read-back: each call gives one
// request up and goes on; the resume leaves the pause's record and event alone (the simulated
// driver checks them on every call) and works on records of its own.
TEST(ProtectionTest, PauseAndResumeWithAStuckDriver) {
  sim::Reset();
  NtDriver({Accept()}, {Stuck()}, {Accept()});
  DWORD start = sim::Now();
  SetRealTimeProtection(0);
  SetRealTimeProtection(1);
  const std::string lines = std::string("VG communication error in second phase 000003E5\n") + kOk54x;
  EXPECT_EQ(lines + lines, DebugText());
  EXPECT_EQ(2, sim::PendingDeviceRequests());
  EXPECT_LE(sim::Now() - start, 2 * kMostHeldMilliseconds);
  const std::vector<sim::DeviceRequestRecord>& sent = sim::DeviceRequests();
  ASSERT_EQ(8u, sent.size());
  EXPECT_EQ(std::string("1", 2), sent[5].input);  // the resume's handshake
  EXPECT_EQ(Dword(1), sent[7].input);
  EXPECT_EQ(2, sim::EndProgram());
  EXPECT_EQ(0, sim::OpenHandleCount());
}

// The records that given-up requests keep are never used again. Once every record is held,
// nothing more is sent (the handshake then stops as when its event cannot be created), and
// each call still ends at once.
TEST(ProtectionTest, RecordsHeldByGivenUpRequestsAreNeverReused) {
  sim::Reset();
  NtDriver({Stuck()}, {Stuck()}, {Stuck()});
  const std::string lines =
      "VG communication error in first phase 000003E5\nVG 5.4x communication error in first phase 000003E5\n";
  std::string expected;
  for (int call = 0; call < 6; ++call) {
    SCOPED_TRACE("call " + std::to_string(call));
    SetRealTimeProtection(call % 2);
    // Three requests given up per call (direct, first phase, fallback); twelve records.
    if (call < 4) expected += lines;
    EXPECT_EQ(expected, DebugText());
    EXPECT_EQ(call < 4 ? 3u * (call + 1) : 12u, sim::DeviceRequests().size());
  }
  EXPECT_EQ(12, sim::PendingDeviceRequests());
  EXPECT_EQ(12, sim::EndProgram());
  EXPECT_EQ(0, sim::OpenHandleCount());
}

// ---------------------------------------------------------------- the simulated drivers
class SimDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    sim::AddDevice(kNt);
    sim::SetDeviceAnswers(kNt, 0x100, {Pend()});
    sim::SetDeviceAnswers(kNt, 0x200, {AcceptWord(1)});
    device_ = CreateFileA(kNt, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, device_);
    memset(&overlapped_, 0, sizeof(overlapped_));
    overlapped_.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  }
  // Starts the pending request 0x100 with reply_ as its output.
  void StartPending() {
    DWORD returned = 0;
    ASSERT_FALSE(DeviceIoControl(device_, 0x100, nullptr, 0, &reply_, sizeof(reply_), &returned, &overlapped_));
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    ASSERT_EQ(WAIT_TIMEOUT, WaitForSingleObject(overlapped_.hEvent, 0));
  }
  HANDLE device_ = nullptr;
  OVERLAPPED overlapped_;
  WORD reply_ = 0xABCD;
};

TEST_F(SimDeviceTest, CancelledRequestReportsAbortedAndReleasesItsRecord) {
  StartPending();
  DWORD transferred = 99;
  EXPECT_FALSE(GetOverlappedResult(device_, &overlapped_, &transferred, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_INCOMPLETE), GetLastError());
  EXPECT_TRUE(CancelIo(device_));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped_.hEvent, 0));
  EXPECT_FALSE(GetOverlappedResult(device_, &overlapped_, &transferred, TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());
  EXPECT_EQ(0u, transferred);
  EXPECT_EQ(0xABCD, reply_);
  EXPECT_EQ(0, sim::PendingDeviceRequests());
  // The record is the caller's again.
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(device_, 0x200, nullptr, 0, &reply_, sizeof(reply_), &returned, &overlapped_));
  EXPECT_EQ(1, reply_);
  EXPECT_TRUE(GetOverlappedResult(device_, &overlapped_, &transferred, TRUE));
  EXPECT_EQ(2u, transferred);
  EXPECT_TRUE(CloseHandle(overlapped_.hEvent));
  EXPECT_TRUE(CloseHandle(device_));
}

// A stuck driver takes the cancel and never completes the request: a bounded wait times out
// (the clock moves by the time waited), the request stays pending, and only the end of the
// program takes it away, with its device and event.
TEST_F(SimDeviceTest, StuckRequestOutlastsItsCancelUntilTheProgramEnds) {
  sim::SetDeviceAnswers(kNt, 0x100, {Stuck()});
  StartPending();
  EXPECT_TRUE(CancelIo(device_));
  DWORD before = sim::Now();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(overlapped_.hEvent, 1500));
  EXPECT_EQ(before + 1500, sim::Now());
  DWORD transferred = 99;
  EXPECT_FALSE(GetOverlappedResult(device_, &overlapped_, &transferred, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_INCOMPLETE), GetLastError());
  EXPECT_EQ(1, sim::PendingDeviceRequests());
  EXPECT_EQ(0, sim::CancelledDeviceRequests());
  EXPECT_EQ(0xABCD, reply_);
  EXPECT_EQ(2, sim::OpenHandleCount());
  EXPECT_EQ(1, sim::EndProgram());
  EXPECT_EQ(0, sim::OpenHandleCount());
  EXPECT_EQ(0, sim::PendingDeviceRequests());
}

using SimDeviceDeathTest = SimDeviceTest;

TEST_F(SimDeviceDeathTest, MisusingAPendingRequestAborts) {
  DWORD returned = 0;
  DWORD transferred = 0;
  EXPECT_DEATH(
      {
        StartPending();
        DeviceIoControl(device_, 0x200, nullptr, 0, &returned, sizeof(returned), &returned, &overlapped_);
      },
      "reuses the OVERLAPPED record");
  EXPECT_DEATH(
      {
        StartPending();
        OVERLAPPED other;
        memset(&other, 0, sizeof(other));
        DeviceIoControl(device_, 0x200, nullptr, 0, &reply_, sizeof(reply_), &returned, &other);
      },
      "reuses the output buffer");
  EXPECT_DEATH(
      {
        StartPending();
        memset(&overlapped_, 0, sizeof(overlapped_));
        CancelIo(device_);
      },
      "OVERLAPPED record of pending request 0x100 was changed");
  EXPECT_DEATH(
      {
        StartPending();
        CloseHandle(device_);
      },
      "closed while request 0x100 was still pending");
  EXPECT_DEATH(
      {
        StartPending();
        CancelIo(device_);
        CloseHandle(device_);
      },
      "cancelled but its result not yet collected");
  EXPECT_DEATH(
      {
        StartPending();
        CloseHandle(overlapped_.hEvent);
        CancelIo(device_);
      },
      "event of pending request 0x100 was closed");
  EXPECT_DEATH(
      {
        StartPending();
        GetOverlappedResult(device_, &overlapped_, &transferred, TRUE);
      },
      "would wait for ever");
  EXPECT_DEATH(DeviceIoControl(device_, 0x100, nullptr, 0, &reply_, sizeof(reply_), &returned, nullptr),
               "DeviceIoControl would never return");
  EXPECT_DEATH(
      {
        StartPending();
        WaitForSingleObject(overlapped_.hEvent, INFINITE);
      },
      "waits for ever");
}

}  // namespace
