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

void SendProtectionState(HANDLE device, int enable) {
  SetLastError(0);
  DWORD returned = 0;
  if (GetPlatform() == kPlatformNt) {
    char state[8];
    sprintf(state, "%d", enable ? 1 : 0);
    DeviceIoControl(device, VG_IOCTL_SET_STATE, state, 2, NULL, 0, &returned, NULL);
  } else {
    char state[2];
    state[0] = enable ? '1' : '0';
    state[1] = '\0';
    DeviceIoControl(device, VG_IOCTL_9X_SET_STATE, state, sizeof(state), NULL, 0, &returned, NULL);
  }
}

// One request of the handshake. Returns DeviceIoControl's answer and, in *error, the last
// error read right after the call. A request the driver leaves pending counts as failed; it
// still owns the completion record and the buffers, so it is cancelled and waited for before
// the caller reuses or releases any of them.
static BOOL SendHandshakeRequest(HANDLE device, OVERLAPPED* overlapped, DWORD code, void* input, DWORD inputSize,
                                 void* output, DWORD outputSize, DWORD* error) {
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, code, input, inputSize, output, outputSize, &returned, overlapped);
  *error = GetLastError();
  if (!ok && *error == ERROR_IO_PENDING) {
    CancelIo(device);
    DWORD transferred = 0;
    GetOverlappedResult(device, overlapped, &transferred, TRUE);
  }
  return ok;
}

void HandshakeProtectionState(int enable) {
  HANDLE device = CreateFileA(VG_DEVICE_NT, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, NULL);
  if (device == INVALID_HANDLE_VALUE) {
    TRACE_INFO("Cannot open VG error=%ld\n", (long)GetLastError());
    return;
  }

  OVERLAPPED overlapped;
  memset(&overlapped, 0, sizeof(overlapped));
  overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (overlapped.hEvent == NULL) {
    CloseHandle(device);
    return;
  }

  DWORD error = 0;
  int confirmed = 0;
  char state[2];
  state[0] = (char)('0' + enable);
  state[1] = '\0';
  if (!SendHandshakeRequest(device, &overlapped, VG_IOCTL_SET_STATE, state, sizeof(state), NULL, 0, &error)) {
    TRACE_INFO("VG communication error in first phase %08X\n", (unsigned)error);
  } else {
    WORD reply = (WORD)VG_HANDSHAKE_REPLY_PRESET;
    if (!SendHandshakeRequest(device, &overlapped, VG_IOCTL_GET_STATE, NULL, 0, &reply, sizeof(reply), &error)) {
      TRACE_INFO("VG communication error in second phase %08X\n", (unsigned)error);
    } else if ((int)reply == enable) {
      confirmed = 1;
    }
  }

  if (!confirmed) {
    // The 5.4x generation takes the state as a 32-bit number.
    DWORD value = enable ? 1 : 0;
    if (SendHandshakeRequest(device, &overlapped, VG_IOCTL_SET_STATE_54X, &value, sizeof(value), NULL, 0, &error)) {
      TRACE_INFO("%s", "VG 5.4x communication successful\n");
    } else {
      TRACE_INFO("VG 5.4x communication error in first phase %08X\n", (unsigned)error);
    }
  }

  CloseHandle(overlapped.hEvent);
  CloseHandle(device);
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
    SendProtectionState(device, enable);
    CloseHandle(device);
  }
  if (IsWindowsNT() == 1) {
    HandshakeProtectionState(enable);
  } else {
    ChangeProtectionSetting(enable);
  }
}
