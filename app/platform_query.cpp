// Which Windows this is, and whether the user is an administrator.
#include "app/platform_query.h"

#include "platform/win32.h"

namespace {
int g_ntAsked = 0;
int g_ntAnswer = 0;
}  // namespace

int IsWindowsNT(void) {
  if (g_ntAsked) return g_ntAnswer;
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  // A failed query leaves the record zeroed, which reads as "not NT".
  GetVersionExA(&info);
  g_ntAnswer = info.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0;
  g_ntAsked = 1;
  return g_ntAnswer;
}

void ResetPlatformQuery(void) {
  g_ntAsked = 0;
  g_ntAnswer = 0;
}

int GetPlatform(void) {
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  if (!GetVersionExA(&info)) return kPlatformOther;
  if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return kPlatformWin9x;
  if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) return kPlatformNt;
  return kPlatformOther;
}

int IsUserAdmin(void) {
  DWORD size = 1024;
  BYTE* buffer = (BYTE*)malloc(size);
  if (buffer == NULL) return 0;

  HANDLE token = NULL;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_READ, &token)) {
    free(buffer);
    return 0;
  }

  DWORD needed = 0;
  BOOL ok = GetTokenInformation(token, TokenGroups, buffer, size, &needed);
  if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    free(buffer);
    buffer = (BYTE*)malloc(needed);
    ok = FALSE;
    if (buffer != NULL) ok = GetTokenInformation(token, TokenGroups, buffer, needed, &needed);
  }
  CloseHandle(token);
  if (!ok) {
    free(buffer);  // free(NULL) is harmless when the second allocation failed
    return 0;
  }

  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID admins = NULL;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                0, 0, 0, &admins)) {
    free(buffer);
    return 0;
  }

  // Membership alone decides: a deny-only Administrators group counts too.
  int isAdmin = 0;
  TOKEN_GROUPS* groups = (TOKEN_GROUPS*)buffer;
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if (EqualSid(admins, groups->Groups[i].Sid)) {
      isAdmin = 1;
      break;
    }
  }
  FreeSid(admins);
  free(buffer);
  return isAdmin;
}

int IsLocalSystemToken(void* token) {
  // TOKEN_USER and one SID: a SID has at most 15 sub-authorities (68 bytes).
  DWORD buffer[64];
  DWORD needed = 0;
  if (!GetTokenInformation((HANDLE)token, TokenUser, buffer, sizeof(buffer), &needed)) return 0;

  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID localSystem = NULL;
  if (!AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &localSystem)) {
    return 0;
  }
  int isLocalSystem = EqualSid(localSystem, ((TOKEN_USER*)buffer)->User.Sid) ? 1 : 0;
  FreeSid(localSystem);
  return isLocalSystem;
}
