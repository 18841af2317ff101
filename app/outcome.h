// Outcome counters and the infected-file list, shared by the detection and removal steps
// and read by the final report.
#ifndef VORLAX_APP_OUTCOME_H
#define VORLAX_APP_OUTCOME_H

#include "platform/win32.h"

enum {
  kInfectionNone = 0,
  kInfectionFile = 1,
  kInfectionProcess = 2,
};

void SetInfectionState(int value);
int GetInfectionState(void);
void IncrementRebootPendingCount(void);
int GetRebootPendingCount(void);
void IncrementFailureCount(void);
int GetFailureCount(void);
// Moves the counters by a ReplaceFile result code, as every removal counts: 2 (at the next
// restart) adds to the reboot-pending count, 3 and 4 (failed) to the failure count.
void CountRemoval(int replaceResult);

// One image path of an infected process, kept until phase 2 deletes it.
struct InfectedFileNode {
  char path[MAX_PATH];
  InfectedFileNode* next;
};

// Appends a node (allocated and filled by the caller with malloc) at the tail of the list.
void AppendInfectedFileNode(InfectedFileNode* node);
// The first node, or NULL for an empty list.
InfectedFileNode* GetInfectedFileListHead(void);
// Releases every node and empties the list.
void ReleaseInfectedFileList(void);

// The counters and the list as at process start (the list's nodes are released).
void ResetOutcome(void);

#endif
