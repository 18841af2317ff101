// Pausing and resuming the real-time protection driver around the disinfection.
//
// The tool does not find out which driver generation is installed: it talks to every
// interface that suits the platform and ignores the ones that are absent or refuse. The
// direct interface is silent; the platform interfaces (the NT handshake, the 9x setting
// request) write their outcome to the trace log.
#include "protection/protection.h"

#include "app/platform_query.h"
#include "fileops/reg_path.h"
#include "protection/driver_interface.h"
#include "trace/trace.h"

HANDLE OpenProtectionDevice(DWORD* query) {
  SetLastError(0);
  int platform = GetPlatform();
  HANDLE device;
  if (platform == kPlatformNt) {
    device = CreateFileA(VG_DEVICE_NT, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
  } else {
    // The registry names the 9x device; only "VG95", exactly, selects it. The zeroed buffer
    // keeps the comparison inside it whatever the value holds.
    char name[16];
    memset(name, 0, sizeof(name));
    const char* path = VG_DEVICE_KVX;
    if (ReadRegValue(name, sizeof(name), VG_DEVICE_NAME_REGPATH) == kRegOk &&
        memcmp(name, VG_DEVICE_NAME_VG95, sizeof(VG_DEVICE_NAME_VG95)) == 0) {
      path = VG_DEVICE_VG95;
    }
    device = CreateFileA(path, 0, 0, NULL, 0, FILE_FLAG_DELETE_ON_CLOSE, NULL);
  }
  if (device == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;

  if (query != NULL) {
    DWORD returned = 0;
    DWORD code = platform == kPlatformNt ? VG_IOCTL_QUERY : VG_IOCTL_9X_QUERY;
    DeviceIoControl(device, code, NULL, 0, query, sizeof(DWORD), &returned, NULL);
  }
  return device;
}

namespace {

// A request the driver leaves pending is waited for a few seconds at most: a driver that does
// not complete it, or does not honour its cancellation, must not hold the tool for ever.
// The direct interface gives a pending request time to complete before cancelling it; the
// handshake counts it as failed and cancels it at once.
const DWORD kCompletionWaitMilliseconds = 2000;
const DWORD kCancelWaitMilliseconds = 1000;

// The completion record of one overlapped request and the buffers the driver reads from and
// writes to. A request still pending after its cancellation was waited for is given up: its
// record, buffers and event, and the device handle it was sent on, are deliberately left
// alive until the process ends, when Windows takes them back. The driver may still complete
// the request and write into them, and closing the device would start its clean-up while the
// request is outstanding. A given-up record is never used again.
struct RequestRecord {
  OVERLAPPED overlapped;
  BYTE input[4];
  WORD reply;
  int givenUp;
};

// Enough for every request of a pause and a resume being given up (the direct request and two
// of the handshake each time), twice over. Fixed and never freed: a given-up request keeps
// pointing into it.
const int kRequestRecords = 12;
RequestRecord g_records[kRequestRecords];

// A free record, zeroed, with a new unnamed manual-reset event not signalled; NULL (last error
// set) when the event cannot be created or every record is held by a given-up request.
RequestRecord* TakeRequestRecord() {
  for (int i = 0; i < kRequestRecords; ++i) {
    RequestRecord* record = &g_records[i];
    if (record->givenUp) continue;
    memset(record, 0, sizeof(*record));
    record->overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    return record->overlapped.hEvent != NULL ? record : NULL;
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return NULL;
}

// Closes the record's event unless a given-up request still holds the record; returns 1 when
// it does (the device handle must then stay open too).
int ReleaseRequestRecord(RequestRecord* record) {
  if (record->givenUp) return 1;
  CloseHandle(record->overlapped.hEvent);
  return 0;
}

// Settles a request the driver left pending: with waitFirst it is given the completion wait
// to end on its own; then it is cancelled and the cancellation waited for. A request still
// pending after that (the driver does not honour the cancel, or CancelIo failed and the
// request runs on) is given up. Returns with the record free again, or marked given up.
void SettlePendingRequest(HANDLE device, RequestRecord* record, int waitFirst) {
  HANDLE event = record->overlapped.hEvent;
  int ended = waitFirst && WaitForSingleObject(event, kCompletionWaitMilliseconds) == WAIT_OBJECT_0;
  if (!ended && CancelIo(device)) WaitForSingleObject(event, kCancelWaitMilliseconds);
  // A request that has not ended answers ERROR_IO_INCOMPLETE; any other answer means it has.
  DWORD transferred = 0;
  if (!GetOverlappedResult(device, &record->overlapped, &transferred, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE)
    record->givenUp = 1;
}

// One request of the handshake, its input already in record->input. Returns DeviceIoControl's
// answer and, in *error, the last error read right after the call. A request the driver
// leaves pending counts as failed; it is cancelled and settled before the record is used again.
BOOL SendHandshakeRequest(HANDLE device, RequestRecord* record, DWORD code, DWORD inputSize, DWORD outputSize,
                          DWORD* error) {
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, code, inputSize != 0 ? record->input : NULL, inputSize,
                            outputSize != 0 ? &record->reply : NULL, outputSize, &returned, &record->overlapped);
  *error = GetLastError();
  if (!ok && *error == ERROR_IO_PENDING) SettlePendingRequest(device, record, 0);
  return ok;
}

}  // namespace

int SendProtectionState(HANDLE device, int enable) {
  SetLastError(0);
  DWORD returned = 0;
  if (GetPlatform() == kPlatformNt) {
    // The device is open for overlapped requests: the request goes with a completion record,
    // so that a driver that leaves it pending cannot hold the call for ever. Without a record
    // it is not sent.
    RequestRecord* record = TakeRequestRecord();
    if (record == NULL) return 0;
    char state[8];
    sprintf(state, "%d", enable ? 1 : 0);
    memcpy(record->input, state, 2);
    if (!DeviceIoControl(device, VG_IOCTL_SET_STATE, record->input, 2, NULL, 0, &returned, &record->overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
      SettlePendingRequest(device, record, 1);
    }
    return ReleaseRequestRecord(record);
  }
  char state[2];
  state[0] = enable ? '1' : '0';
  state[1] = '\0';
  DeviceIoControl(device, VG_IOCTL_9X_SET_STATE, state, sizeof(state), NULL, 0, &returned, NULL);
  return 0;
}

void HandshakeProtectionState(int enable) {
  HANDLE device = CreateFileA(VG_DEVICE_NT, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, NULL);
  if (device == INVALID_HANDLE_VALUE) {
    TRACE_INFO("Cannot open VG error=%ld\n", (long)GetLastError());
    return;
  }

  // One record serves every request of the handshake, as long as no request is given up.
  RequestRecord* record = TakeRequestRecord();
  if (record == NULL) {
    CloseHandle(device);
    return;
  }

  DWORD error = 0;
  int confirmed = 0;
  record->input[0] = (BYTE)('0' + enable);
  record->input[1] = 0;
  if (!SendHandshakeRequest(device, record, VG_IOCTL_SET_STATE, 2, 0, &error)) {
    TRACE_INFO("VG communication error in first phase %08X\n", (unsigned)error);
  } else {
    record->reply = (WORD)VG_HANDSHAKE_REPLY_PRESET;
    if (!SendHandshakeRequest(device, record, VG_IOCTL_GET_STATE, 0, sizeof(record->reply), &error)) {
      TRACE_INFO("VG communication error in second phase %08X\n", (unsigned)error);
    } else if ((int)record->reply == enable) {
      confirmed = 1;
    }
  }

  int deviceHeld = 0;
  if (!confirmed) {
    // A request given up holds its record: the fallback takes a new one.
    if (record->givenUp) {
      deviceHeld = 1;
      record = TakeRequestRecord();
    }
    // The 5.4x generation takes the state as a 32-bit number.
    DWORD value = enable ? 1 : 0;
    BOOL sent = FALSE;
    if (record == NULL) {
      error = GetLastError();
    } else {
      memcpy(record->input, &value, sizeof(value));
      sent = SendHandshakeRequest(device, record, VG_IOCTL_SET_STATE_54X, sizeof(value), 0, &error);
    }
    if (sent) {
      TRACE_INFO("%s", "VG 5.4x communication successful\n");
    } else {
      TRACE_INFO("VG 5.4x communication error in first phase %08X\n", (unsigned)error);
    }
  }

  if (record != NULL && ReleaseRequestRecord(record)) deviceHeld = 1;
  if (!deviceHeld) CloseHandle(device);
}

void ChangeProtectionSetting(int enable) {
  BYTE request[VG_SETTING_REQUEST_SIZE];
  memset(request, 0, sizeof(request));

  HANDLE device = CreateFileA(VG_DEVICE_9X_SETTINGS, 0, 0, NULL, 0, FILE_FLAG_OVERLAPPED, NULL);
  if (device == INVALID_HANDLE_VALUE) {
    TRACE_INFO("Cannot open VG error=%ld\n", (long)GetLastError());
    return;
  }

  // Identifier and NUL, then the value as a 32-bit little-endian number right behind them;
  // the stated length covers the identifier and its NUL only.
  memcpy(request, VG_SETTING_ID, sizeof(VG_SETTING_ID));
  DWORD value = enable ? 1 : 0;
  request[VG_SETTING_VALUE_OFFSET] = (BYTE)(value & 0xFF);
  request[VG_SETTING_VALUE_OFFSET + 1] = (BYTE)((value >> 8) & 0xFF);
  request[VG_SETTING_VALUE_OFFSET + 2] = (BYTE)((value >> 16) & 0xFF);
  request[VG_SETTING_VALUE_OFFSET + 3] = (BYTE)((value >> 24) & 0xFF);

  DWORD returned = 0;
  BOOL status = DeviceIoControl(device, VG_IOCTL_9X_SETTING, request, (DWORD)VG_SETTING_REQUEST_LENGTH, NULL, 0,
                                &returned, NULL);
  CloseHandle(device);
  TRACE_INFO("Setting change status =%d error=%ld\n", (int)status, (long)GetLastError());
}

void SetRealTimeProtection(int enable) {
  HANDLE device = OpenProtectionDevice(NULL);
  if (device != INVALID_HANDLE_VALUE) {
    // A request given up on the device keeps its handle until the process ends.
    if (!SendProtectionState(device, enable)) CloseHandle(device);
  }
  if (IsWindowsNT() == 1) {
    HandshakeProtectionState(enable);
  } else {
    ChangeProtectionSetting(enable);
  }
}

void ResetProtection(void) { memset(g_records, 0, sizeof(g_records)); }
