// Operations the system carries out at its next restart.
#ifndef VORLAX_FILEOPS_RESTART_RENAME_H
#define VORLAX_FILEOPS_RESTART_RENAME_H

// Records the deletion of source (destination NULL) or its renaming onto destination.
// Nonzero when recorded.
int AddFileToAutomaticRenameList(const char* source, const char* destination);
// 1 while the named service is starting, running or continuing; 0 otherwise and off NT.
int IsServiceRunning(const char* serviceName);

#endif
