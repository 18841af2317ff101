// Placeholder until the simulated drivers land: no device exists.
#include "sim/files_internal.h"
HANDLE SimOpenDevice(LPCSTR, DWORD, DWORD, DWORD, DWORD) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}
