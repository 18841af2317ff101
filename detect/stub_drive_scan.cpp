// Placeholder until the drive scan lands.
#include "detect/drive_scan.h"
int ScanFixedDrives(DirectoryEntryCallback) { return 0; }
int CheckScannedEntry(const char*, const WIN32_FIND_DATAA*, int) { return 0; }
