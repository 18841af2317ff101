// Platform questions that every floor may ask.
#ifndef VORLAX_APP_PLATFORM_QUERY_H
#define VORLAX_APP_PLATFORM_QUERY_H

enum {
  kPlatformOther = 0,
  kPlatformWin9x = 1,
  kPlatformNt = 2,
};

// 1 on the NT family, else 0. Asks the system once and remembers the answer.
int IsWindowsNT(void);
// Forgets the remembered answer, as at process start: the next IsWindowsNT asks again.
void ResetPlatformQuery(void);
// Asks the system every time: kPlatformOther (also for a failed query), kPlatformWin9x, kPlatformNt.
int GetPlatform(void);
// 1 when the process token holds the Administrators group S-1-5-32-544, whatever its
// attributes; every failure reads as 0.
int IsUserAdmin(void);
// 1 when the user of the token (opened with TOKEN_QUERY) is LocalSystem, S-1-5-18; every
// failure reads as 0. NT family only.
int IsLocalSystemToken(void* token);

#endif
