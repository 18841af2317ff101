// The product's process-wide state as one whole, for hosts that run the tool more than once in
// one process (the unit tests). The tool itself never calls this: a real run is one process.
#ifndef VORLAX_APP_PROCESS_STATE_H
#define VORLAX_APP_PROCESS_STATE_H

// Brings every process-wide variable of the product back to its value at process start, as
// static initialisation leaves it: silent mode off, the IsWindowsNT answer forgotten, the
// outcome counters at zero and the infected-file list empty (its nodes released), and the trace
// with its shipped settings, only the root scope open and no log file (an open one is closed).
// Call it between runs only, never while a run's trace scope is open.
void ResetProcessState(void);

// The entry routine's share (app/main.cpp): silent mode off.
void ResetSilentMode(void);

#endif
