// Outcome counters and the infected-file list: process-wide; the tool itself never resets them.
#include "app/outcome.h"

#include "fileops/replace_file.h"

namespace {
int g_infectionState = kInfectionNone;
int g_rebootPendingCount = 0;
int g_failureCount = 0;
InfectedFileNode* g_head = NULL;
InfectedFileNode* g_tail = NULL;
}  // namespace

void SetInfectionState(int value) { g_infectionState = value; }
int GetInfectionState(void) { return g_infectionState; }
void IncrementRebootPendingCount(void) { ++g_rebootPendingCount; }
int GetRebootPendingCount(void) { return g_rebootPendingCount; }
void IncrementFailureCount(void) { ++g_failureCount; }
int GetFailureCount(void) { return g_failureCount; }

void CountRemoval(int replaceResult) {
  if (replaceResult == kReplaceAtRestart) {
    IncrementRebootPendingCount();
  } else if (replaceResult == kReplaceFailedDestRemoved || replaceResult == kReplaceFailed) {
    IncrementFailureCount();
  }
}

void AppendInfectedFileNode(InfectedFileNode* node) {
  node->next = NULL;
  if (g_tail == NULL) {
    g_head = node;
  } else {
    g_tail->next = node;
  }
  g_tail = node;
}

InfectedFileNode* GetInfectedFileListHead(void) { return g_head; }

void ReleaseInfectedFileList(void) {
  InfectedFileNode* node = g_head;
  while (node != NULL) {
    InfectedFileNode* next = node->next;
    free(node);
    node = next;
  }
  g_head = NULL;
  g_tail = NULL;
}

void ResetOutcome(void) {
  ReleaseInfectedFileList();
  g_infectionState = kInfectionNone;
  g_rebootPendingCount = 0;
  g_failureCount = 0;
}
