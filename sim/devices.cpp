// The simulated drivers: devices opened as "\\.\NAME" through CreateFileA, answering
// DeviceIoControl from per-code scripts, with pending requests that keep their OVERLAPPED
// record and output buffer until they are cancelled and their result is collected.
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/files_internal.h"
#include "sim/sim_devices.h"

namespace sim {
namespace internal {
namespace {

// NTSTATUS values the I/O manager leaves in OVERLAPPED.Internal.
const ULONG_PTR kStatusSuccess = 0;
const ULONG_PTR kStatusPending = 0x103;
const ULONG_PTR kStatusCancelled = 0xC0000120;
// A failed request keeps its Win32 error under this mark, so that GetOverlappedResult can
// give it back.
const ULONG_PTR kStatusErrorMark = 0xE0000000;

struct Script {
  std::vector<DeviceAnswer> answers;
  size_t next = 0;
};

struct Device {
  std::string path;
  bool openFails = false;
  DWORD openError = 0;
  std::map<DWORD, Script> scripts;
};

struct PendingRequest {
  HANDLE device;
  HANDLE event;  // the record's, as the request started (the record may be gone with the program)
  DWORD code;
  LPOVERLAPPED overlapped;
  OVERLAPPED overlappedSnapshot;
  BYTE* output;
  DWORD outputSize;
  std::string outputSnapshot;
  bool cancelled = false;
  bool ignoresCancel = false;  // a stuck driver's
};

struct DeviceState {
  std::map<std::string, Device> devices;  // by upper-case path
  std::vector<DeviceOpenRecord> opens;
  std::vector<DeviceRequestRecord> requests;
  std::vector<PendingRequest> pending;     // not yet collected
  int cancelled = 0;
};

// Never destroyed: device handles may be released during static destruction.
DeviceState& State() {
  static DeviceState* state = new DeviceState();
  return *state;
}

void ResetDevices() { State() = DeviceState(); }
ResetHook g_devicesHook(&ResetDevices);

[[noreturn]] void Die(const std::string& message) {
  fprintf(stderr, "sim: %s\n", message.c_str());
  fflush(stderr);
  abort();
}

std::string Hex(DWORD value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(value));
  return text;
}

struct DeviceObject : HandleObject {
  const char* Kind() const override { return "device"; }
  ~DeviceObject() override;
  HANDLE self = nullptr;
  std::string key;
  std::string path;
  DWORD flags = 0;
};

DeviceObject::~DeviceObject() {
  for (const PendingRequest& p : State().pending) {
    if (p.device == self)
      Die("device " + path + " closed while request " + Hex(p.code) +
          (p.cancelled ? " was cancelled but its result not yet collected" : " was still pending"));
  }
}

// The product must leave a pending request's record, event and output buffer alone.
void CheckPending() {
  for (const PendingRequest& p : State().pending) {
    if (memcmp(p.overlapped, &p.overlappedSnapshot, sizeof(OVERLAPPED)) != 0)
      Die("the OVERLAPPED record of pending request " + Hex(p.code) + " was changed or reused");
    if (p.output != nullptr &&
        memcmp(p.output, p.outputSnapshot.data(), p.outputSnapshot.size()) != 0)
      Die("the output buffer of pending request " + Hex(p.code) + " was changed or reused");
    if (p.overlapped->hEvent != nullptr && !IsEvent(p.overlapped->hEvent))
      Die("the event of pending request " + Hex(p.code) + " was closed");
  }
}

bool Overlaps(const BYTE* a, DWORD aSize, const BYTE* b, DWORD bSize) {
  if (a == nullptr || b == nullptr || aSize == 0 || bSize == 0) return false;
  return a < b + bSize && b < a + aSize;
}

DeviceObject* FindDevice(HANDLE handle) { return FindHandleAs<DeviceObject>(handle); }

void Complete(LPOVERLAPPED overlapped, ULONG_PTR status, DWORD transferred, bool signal) {
  if (overlapped == nullptr) return;
  overlapped->Internal = status;
  overlapped->InternalHigh = transferred;
  if (signal && overlapped->hEvent != nullptr) SetEventState(overlapped->hEvent, true);
}

}  // namespace
}  // namespace internal

using namespace internal;

// ---------------------------------------------------------------- test-facing API
DeviceAnswer Accept(const std::string& reply) {
  DeviceAnswer a;
  a.kind = DeviceAnswer::kAccept;
  a.reply = reply;
  return a;
}

DeviceAnswer AcceptWord(WORD reply) {
  std::string bytes;
  bytes += static_cast<char>(reply & 0xFF);
  bytes += static_cast<char>((reply >> 8) & 0xFF);
  return Accept(bytes);
}

DeviceAnswer Refuse(DWORD error) {
  DeviceAnswer a;
  a.kind = DeviceAnswer::kRefuse;
  a.error = error;
  return a;
}

DeviceAnswer Pend() {
  DeviceAnswer a;
  a.kind = DeviceAnswer::kPend;
  return a;
}

DeviceAnswer Stuck() {
  DeviceAnswer a;
  a.kind = DeviceAnswer::kStuck;
  return a;
}

void AddDevice(const std::string& path) {
  Device& d = State().devices[Upper(path)];
  d.path = path;
}

void RemoveDevice(const std::string& path) { State().devices.erase(Upper(path)); }

void FailDeviceOpen(const std::string& path, DWORD error) {
  Device& d = State().devices[Upper(path)];
  d.path = path;
  d.openFails = true;
  d.openError = error;
}

void SetDeviceAnswers(const std::string& path, DWORD code, const std::vector<DeviceAnswer>& answers) {
  Device& d = State().devices[Upper(path)];
  d.path = path;
  Script& s = d.scripts[code];
  s.answers = answers;
  s.next = 0;
}

const std::vector<DeviceOpenRecord>& DeviceOpens() { return State().opens; }
const std::vector<DeviceRequestRecord>& DeviceRequests() { return State().requests; }
int PendingDeviceRequests() { return static_cast<int>(State().pending.size()); }
int CancelledDeviceRequests() { return State().cancelled; }

int EndProgram() {
  std::vector<PendingRequest> dropped;
  dropped.swap(State().pending);
  // The records and buffers belonged to the program: they are not looked at any more.
  for (const PendingRequest& p : dropped) {
    RemoveHandle(p.device);
    if (p.event != nullptr) RemoveHandle(p.event);
  }
  return static_cast<int>(dropped.size());
}

}  // namespace sim

using namespace sim;
using namespace sim::internal;

// ---------------------------------------------------------------- Win32: devices
HANDLE SimOpenDevice(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  CheckPending();
  DeviceOpenRecord record{name, access, share, disposition, flags, false};
  if (Fault<FaultRow("CreateFileA", kFaultDevice)>()) {
    State().opens.push_back(record);
    return INVALID_HANDLE_VALUE;
  }
  auto it = State().devices.find(Upper(name));
  DWORD error = 0;
  if (it == State().devices.end()) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (it->second.openFails) {
    error = it->second.openError;
  } else if (IsNtFamily() && (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)) {
    // Only the 9x family's VxD opens take a disposition outside 1..5.
    error = ERROR_INVALID_PARAMETER;
  }
  if (error != 0) {
    State().opens.push_back(record);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  record.opened = true;
  State().opens.push_back(record);
  auto object = std::make_unique<DeviceObject>();
  DeviceObject* device = object.get();
  device->key = Upper(name);
  device->path = name;
  device->flags = flags;
  HANDLE handle = AddHandle(std::move(object));
  device->self = handle;
  SetLastError(0);
  return handle;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED overlapped) {
  CheckPending();
  DeviceObject* object = FindDevice(device);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (overlapped == nullptr && returned == nullptr)
    Die("DeviceIoControl " + Hex(code) + " without OVERLAPPED needs a place for the byte count");
  BYTE* output = static_cast<BYTE*>(out);
  for (const PendingRequest& p : State().pending) {
    if (overlapped != nullptr && p.overlapped == overlapped)
      Die("DeviceIoControl " + Hex(code) + " reuses the OVERLAPPED record of pending request " + Hex(p.code));
    if (Overlaps(output, outSize, p.output, p.outputSize))
      Die("DeviceIoControl " + Hex(code) + " reuses the output buffer of pending request " + Hex(p.code));
  }
  if (returned != nullptr) *returned = 0;
  if (Fault<FaultRow("DeviceIoControl")>()) return FALSE;
  if (in == nullptr && inSize != 0) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (out == nullptr && outSize != 0) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }

  DeviceAnswer answer = Refuse(ERROR_INVALID_FUNCTION);
  auto dev = State().devices.find(object->key);
  if (dev != State().devices.end()) {
    auto script = dev->second.scripts.find(code);
    if (script != dev->second.scripts.end() && !script->second.answers.empty()) {
      Script& s = script->second;
      answer = s.answers[s.next < s.answers.size() ? s.next : s.answers.size() - 1];
      if (s.next < s.answers.size()) ++s.next;
    }
  }

  DeviceRequestRecord record;
  record.path = object->path;
  record.code = code;
  record.inputSize = inSize;
  if (in != nullptr) {
    record.input.assign(static_cast<const char*>(in), inSize);
    record.beyond.assign(static_cast<const char*>(in) + inSize, answer.readsBeyond);
  }
  record.outputSize = outSize;
  record.outputBuffer = out != nullptr;
  record.overlapped = overlapped != nullptr;
  record.pended = answer.kind == DeviceAnswer::kPend || answer.kind == DeviceAnswer::kStuck;
  State().requests.push_back(record);

  switch (answer.kind) {
    case DeviceAnswer::kAccept: {
      if (answer.reply.size() > outSize) {
        Complete(overlapped, kStatusErrorMark | ERROR_INSUFFICIENT_BUFFER, 0, false);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      if (!answer.reply.empty()) memcpy(output, answer.reply.data(), answer.reply.size());
      DWORD n = static_cast<DWORD>(answer.reply.size());
      if (returned != nullptr) *returned = n;
      Complete(overlapped, kStatusSuccess, n, true);
      return TRUE;
    }
    case DeviceAnswer::kRefuse:
      Complete(overlapped, kStatusErrorMark | answer.error, 0, false);
      SetLastError(answer.error);
      return FALSE;
    case DeviceAnswer::kPend:
    case DeviceAnswer::kStuck:
      break;
  }

  if (overlapped == nullptr || (object->flags & FILE_FLAG_OVERLAPPED) == 0)
    Die("request " + Hex(code) + " to " + object->path +
        " left pending on a synchronous call: DeviceIoControl would never return");
  if (overlapped->hEvent != nullptr) SetEventState(overlapped->hEvent, false);
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
  PendingRequest p;
  p.device = device;
  p.event = overlapped->hEvent;
  p.code = code;
  p.ignoresCancel = answer.kind == DeviceAnswer::kStuck;
  p.overlapped = overlapped;
  p.overlappedSnapshot = *overlapped;
  p.output = output;
  p.outputSize = output != nullptr ? outSize : 0;
  if (output != nullptr) p.outputSnapshot.assign(reinterpret_cast<const char*>(output), outSize);
  State().pending.push_back(p);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL CancelIo(HANDLE file) {
  CheckPending();
  if (FindDevice(file) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Fault<FaultRow("CancelIo")>()) return FALSE;
  for (PendingRequest& p : State().pending) {
    // A stuck driver takes the cancel and still never completes the request.
    if (p.device != file || p.cancelled || p.ignoresCancel) continue;
    p.cancelled = true;
    ++State().cancelled;
    Complete(p.overlapped, kStatusCancelled, 0, true);
    p.overlappedSnapshot = *p.overlapped;
  }
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
  CheckPending();
  if (overlapped == nullptr || transferred == nullptr)
    Die("GetOverlappedResult needs an OVERLAPPED record and a place for the byte count");
  (void)file;
  std::vector<PendingRequest>& pending = State().pending;
  for (size_t i = 0; i < pending.size(); ++i) {
    if (pending[i].overlapped != overlapped) continue;
    if (!pending[i].cancelled) {
      if (wait) Die("GetOverlappedResult waits for request " + Hex(pending[i].code) +
                    ", which the driver never completes: it would wait for ever");
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    // The request has ended; collecting its result returns the record and buffer to the caller.
    pending.erase(pending.begin() + static_cast<long>(i));
    *transferred = 0;
    if (Fault<FaultRow("GetOverlappedResult")>()) return FALSE;
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  if (Fault<FaultRow("GetOverlappedResult")>()) return FALSE;
  ULONG_PTR status = overlapped->Internal;
  *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (status == kStatusSuccess) return TRUE;
  if (status == kStatusPending) {
    if (wait) Die("GetOverlappedResult waits for a request that was never started");
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  if (status == kStatusCancelled) {
    SetLastError(ERROR_OPERATION_ABORTED);
  } else if ((status & 0xF0000000u) == kStatusErrorMark) {
    SetLastError(static_cast<DWORD>(status & 0x0FFFFFFFu));
  } else {
    SetLastError(ERROR_INVALID_FUNCTION);
  }
  return FALSE;
}
