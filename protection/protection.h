// Pausing and resuming the real-time protection driver around the disinfection.
#ifndef VORLAX_PROTECTION_PROTECTION_H
#define VORLAX_PROTECTION_PROTECTION_H

#include "platform/win32.h"

// 0 pauses, 1 resumes; talks to every interface that suits the platform.
void SetRealTimeProtection(int enable);
HANDLE OpenProtectionDevice(DWORD* query);
// 1 when a request the driver never completed was given up on device: the handle must then
// stay open until the process ends. 0 when the caller may close it.
int SendProtectionState(HANDLE device, int enable);
void HandshakeProtectionState(int enable);
void ChangeProtectionSetting(int enable);
// Frees every request record, the given-up ones too, as at process start. Only for a new
// program in the same process (the tests), once the requests that held them were dropped.
void ResetProtection(void);

#endif
