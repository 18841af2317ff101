// The disinfection sequence: protection paused, four phases, protection resumed.
#ifndef VORLAX_APP_DISINFECT_H
#define VORLAX_APP_DISINFECT_H

// Runs the sequence once. actionCode is compared as a 16-bit value and must be 1; fileMask must
// be given. The reserved arguments are passed as 0 and never read. Returns 1 when the sequence
// ran, 0 when the arguments were refused (then 4 is stored in *resultCode).
int Disinfect_Vorlax(int* resultCode, const char* wormName, int reserved1, int actionCode, int reserved2,
                     const char* fileMask, int reserved3);

int IsInfectedImage(const char* path);
void DeleteFoundInfections(void);
void DeleteFixedNameFiles(void);
int DeleteInSystemDirectory(const char* name, const char* newName);
int DeleteInWindowsDirectory(const char* name, const char* newName);
void RemoveAutostartValue(void);
void ScanHardDisk(void);

#endif
