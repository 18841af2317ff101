// The protection driver's rename-list file TKVG.REN: written by the tool, carried out by the
// driver at the next restart.
#ifndef VORLAX_FILEOPS_RENAME_LIST_FILE_H
#define VORLAX_FILEOPS_RENAME_LIST_FILE_H

#include <stdint.h>
#include <stdio.h>

enum {
  kRenameListOk = 0,
  kRenameListOutOfMemory = 1,
  kRenameListNoCommonDirectory = 2,
  kRenameListCannotOpen = 3,
  kRenameListIoError = 4,
  kRenameListCloseFailed = 5,
  kRenameListTooSmall = 7,
  kRenameListTooLarge = 8,
  kRenameListBadChecksum = 9,
  kRenameListBadStructure = 10,
};

struct RenameListHeader {
  uint32_t creationTick;
  uint32_t processorWord;
  uint32_t bodyChecksum;
  uint32_t processorType;
};

extern const unsigned char ScrambleKey16[16];
extern const unsigned char ScrambleKey17[17];

// 0 success, -1 key or value missing or not REG_SZ, -2 the value does not fit in size bytes.
int32_t GetCommonDirectory(char* buffer, uint32_t size);
FILE* OpenRenameListFile(int create, unsigned char** body, int32_t* error);
int AddRenameListPair(FILE* file, const char* source, const char* destination, int32_t* error);
int CloseRenameListFile(FILE* file, int32_t* error);
void ScrambleRenameList(unsigned char* buffer, uint32_t length);

#endif
