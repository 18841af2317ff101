// The console window's title while the tool works: the phase, and during the drive scan the
// drive and the number of files examined so far. Standard output is never touched. Without a
// console window (or when the title cannot be read) nothing is shown and nothing fails.
#ifndef VORLAX_TRACE_CONSOLE_TITLE_H
#define VORLAX_TRACE_CONSOLE_TITLE_H

#include "platform/win32.h"

// The count is shown at most this often (four times a second).
extern const DWORD kTitleInterval;

// Keeps the console's title, to be put back by EndTitleProgress; from then on titles are shown.
void BeginTitleProgress(void);
// Shows "VorlaxClean: " and the phase's text at once.
void ShowPhaseTitle(const char* phase);
// One more file examined at path (its drive's root is its first three characters); the title
// shows the drive and the count when the last title is at least kTitleInterval old.
void CountExaminedFile(const char* path);
// Puts the kept title back; nothing more is shown.
void EndTitleProgress(void);
// As at process start.
void ResetTitleProgress(void);

#endif
