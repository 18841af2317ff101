// Placeholder until the registry paths land.
#include "fileops/reg_path.h"
unsigned SetRegValue(const char*, int, DWORD) { return 2; }
