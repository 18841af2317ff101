// Registry values named by one string: ROOT\key\path\\value name|data
#ifndef VORLAX_FILEOPS_REG_PATH_H
#define VORLAX_FILEOPS_REG_PATH_H

#include "platform/win32.h"

enum {
  kRegOk = 0,
  kRegKeyFailed = 1,
  kRegValueFailed = 2,
  kRegBufferTooSmall = 3,
  kRegSyntax = 4,
  kRegOutOfMemory = 100,
};

struct RootKeyEntry {
  const char* name;
  HKEY key;
};
extern const RootKeyEntry RootKeyTable[];

unsigned OpenRegPath(HKEY* key, char** valueName, char** data, int* isRoot, const char* path, int mode);
unsigned SetRegValue(const char* path, int flush, DWORD type);
unsigned ReadRegValue(void* buffer, DWORD size, const char* path);
HKEY FindRootKey(const char* name);

#endif
