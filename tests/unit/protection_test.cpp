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

// The NT requests as the tool must send them.
Request DirectState(int enable) { return {kNt, 0x7E800, Bytes(enable ? "1" : "0", 2), 2, 0, false, ""}; }
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
};

void PrintTo(const ProtectionCase& c, std::ostream* os) { *os << c.name; }

using sim::Accept;
using sim::AcceptWord;
using sim::Pend;
using sim::Refuse;

const char kFirst1[] = "VG communication error in first phase 00000001\n";
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

  // Devices and events closed, every pending request cancelled and collected.
  EXPECT_EQ(0, sim::OpenHandleCount());
  EXPECT_EQ(0, sim::RegOpenKeyCount());
  EXPECT_EQ(0, sim::PendingDeviceRequests());
  EXPECT_EQ(c.cancelled, sim::CancelledDeviceRequests());
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

// Every device call in turn fails: no handle is left open, nothing stays pending, and the
// call returns; the trace reports the failing request's error.
TEST(ProtectionTest, DeviceFaultsLeaveNothingOpen) {
  for (int pending = 0; pending < 2; ++pending) {
    int faults = 0;
    for (long n = 1;; ++n) {
      SCOPED_TRACE("pending " + std::to_string(pending) + ", device call " + std::to_string(n));
      sim::Reset();
      if (pending)
        NtDriver({Accept()}, {Pend()}, {Accept()});
      else
        NtDriver({Accept()}, {AcceptWord(0)}, {Accept()});
      // The 7th device call with a pending read-back is CancelIo: a cancel that fails leaves
      // the request running, and waiting for it would hang on Windows as in the sim.
      if (pending && n == 7) continue;
      sim::SetSweepFault(sim::kFaultDevice, n, false);
      SetRealTimeProtection(0);
      EXPECT_EQ(0, sim::OpenHandleCount());
      EXPECT_EQ(0, sim::PendingDeviceRequests());
      if (!sim::FaultFired()) break;
      ++faults;
      ASSERT_LT(n, 20);
    }
    EXPECT_GE(faults, 6);
  }
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
}

}  // namespace
