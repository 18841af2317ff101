// Pausing and resuming the real-time protection driver around the disinfection.
#ifndef VORLAX_PROTECTION_PROTECTION_H
#define VORLAX_PROTECTION_PROTECTION_H

#include "trace/win32.h"

// 0 pauses, 1 resumes; talks to every interface that suits the platform.
void SetRealTimeProtection(int enable);
HANDLE OpenProtectionDevice(DWORD* query);
void SendProtectionState(HANDLE device, int enable);
void HandshakeProtectionState(int enable);
void ChangeProtectionSetting(int enable);

#endif
