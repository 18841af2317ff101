// Test-facing side of the simulated drivers. A device ("\\.\NAME", case-insensitive) exists
// once a test adds it; each control code is answered by a script of answers used in turn, the
// last one repeating. Codes without a script are refused with ERROR_INVALID_FUNCTION.
//
// A request left pending owns its OVERLAPPED record and its output buffer until it is
// cancelled (CancelIo) and its result collected (GetOverlappedResult). The sim aborts the
// process with a message on stderr when the product changes or reuses either while it is
// pending, closes the device or the record's event, or would wait for ever. A stuck driver
// leaves its requests pending and does not honour CancelIo either: they end only with the
// program (EndProgram in sim.h).
#ifndef VORLAX_SIM_SIM_DEVICES_H
#define VORLAX_SIM_SIM_DEVICES_H

#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

struct DeviceAnswer {
  enum Kind { kAccept, kRefuse, kPend, kStuck };
  Kind kind = kAccept;
  DWORD error = 0;           // kRefuse: the error DeviceIoControl reports
  std::string reply;         // kAccept: bytes written to the output buffer (none: nothing written)
  DWORD readsBeyond = 0;     // input bytes the driver reads past the stated length
};
DeviceAnswer Accept(const std::string& reply = std::string());
DeviceAnswer AcceptWord(WORD reply);  // a 16-bit little-endian reply
DeviceAnswer Refuse(DWORD error);
DeviceAnswer Pend();
DeviceAnswer Stuck();  // pending, and CancelIo does not end it

// path is the name the product opens, e.g. "\\\\.\\TKVigiloDev".
void AddDevice(const std::string& path);
void RemoveDevice(const std::string& path);
// The device exists but CreateFileA on it fails with error.
void FailDeviceOpen(const std::string& path, DWORD error);
void SetDeviceAnswers(const std::string& path, DWORD code, const std::vector<DeviceAnswer>& answers);

struct DeviceOpenRecord {
  std::string path;  // as the product spelled it
  DWORD access;
  DWORD share;
  DWORD disposition;
  DWORD flags;
  bool opened;       // false when the device was absent or refused the open
};
const std::vector<DeviceOpenRecord>& DeviceOpens();

struct DeviceRequestRecord {
  std::string path;      // the device's path as opened
  DWORD code;
  std::string input;     // the stated input bytes exactly
  DWORD inputSize;       // the stated input length
  std::string beyond;    // bytes read past the stated length (readsBeyond of the answer)
  DWORD outputSize;
  bool outputBuffer;     // an output buffer was passed
  bool overlapped;       // an OVERLAPPED record came with the request
  bool pended;           // the driver left it pending
};
const std::vector<DeviceRequestRecord>& DeviceRequests();

// Requests left pending whose result has not been collected yet.
int PendingDeviceRequests();
// Pending requests cancelled with CancelIo so far.
int CancelledDeviceRequests();

}  // namespace sim

#endif
