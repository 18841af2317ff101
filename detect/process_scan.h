// Phase 1: every process is examined; infected ones and the shell are ended.
#ifndef VORLAX_DETECT_PROCESS_SCAN_H
#define VORLAX_DETECT_PROCESS_SCAN_H

#include "platform/win32.h"

typedef int (*InfectionTest)(const char* path);

// Called once per process with its image path (valid only during the call) and identifier.
typedef void (*ProcessCallback)(const char* imagePath, DWORD processId, void* context);

struct ProcessScanContext {
  InfectionTest infectionTest;
  int found;       // 1 once an infected process was met
  int killStatus;  // 1 until one termination fails
};

class ProcessEnumerator {
 public:
  ProcessEnumerator() : available(0) {}
  virtual ~ProcessEnumerator() {}
  // 1 when the walk ran, 0 when the back-end is not usable.
  virtual int Enumerate(ProcessCallback callback, void* context) = 0;
  int available;
};

// Returns 1 when no infected process was found, else the kill status.
int TerminateInfectedProcesses(InfectionTest infectionTest);
// PSAPI when useNt is nonzero, ToolHelp otherwise.
int EnumerateProcesses(int useNt, ProcessCallback callback, void* context);
int SetPrivilege(HANDLE token, const char* privilegeName, int enable);
void ExamineProcess(const char* imagePath, DWORD processId, void* context);
// First case-insensitive occurrence of pattern within the first limit characters of text, or NULL.
const char* FindTextNoCase(const char* text, const char* pattern, int limit);

#endif
