// The one boundary between the product and the platform.
// The Windows build sees the real Win32 headers and the C runtime; the host build sees the
// simulated machine's declarations, which give the same names, types and constants.
#ifndef VORLAX_PLATFORM_WIN32_H
#define VORLAX_PLATFORM_WIN32_H

#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#include <conio.h>
// windows.h maps ReplaceFile to the system's ReplaceFileA; the tool has its own.
#undef ReplaceFile
#else
#include "sim_win32.h"
#endif

#endif
