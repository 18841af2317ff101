// Inert backups of the files the tool removes, and putting them back.
//
// Before an infected file is deleted (at once or at the next restart), a copy of it goes into
// the folder VorlaxClean.qtn of the Windows directory, made harmless: the stored bytes are the
// file's bytes through a reversible transform, behind a small header, and the stored name ends
// in .vqb, which neither runs nor fits the drive scan's patterns. manifest.ini in that folder
// lists every backup: its number, the original path, size, CRC-32, time, and what became of the
// original. The manifest is written whole or not at all: after a removal, at most once a second,
// and after each phase that removed files. A backup that cannot be made never stops the
// removal: its entry says why, and one trace line does.
#ifndef VORLAX_FILEOPS_BACKUP_H
#define VORLAX_FILEOPS_BACKUP_H

#include "platform/win32.h"

extern const char kBackupFolderName[];  // "VorlaxClean.qtn"
extern const char kManifestName[];      // "manifest.ini"
extern const char kManifestEndLine[];   // the last line of every manifest

// What RemoveInfectedFile says of a file's backup besides an entry number (above 0).
enum {
  kBackupOff = 0,       // backups are off
  kBackupNone = -1,     // asked for, but none could be made
};

// Backups are on unless this turns them off (/NOBACKUP).
void SetBackupsOn(int on);
int AreBackupsOn(void);

// Removes one infected file as ReplaceFile does in delete mode and returns its result code;
// with backups on, a backup is made first and the manifest gets its entry. *backup: the
// entry's number when a backup was made, else kBackupOff or kBackupNone.
int RemoveInfectedFile(const char* path, int* backup);

// Writes the manifest whole when removals changed it; the disinfection calls it after the
// files found in memory and after the drive scan. The backups themselves are complete before
// each removal; a run that stops before its removal reached the manifest leaves the backup in
// the folder, and later runs number past it.
void SaveBackupManifest(void);
// The same, when the manifest was last written a second ago or more (or not yet in this run):
// each removal calls it, and the drive scan at every entry, so that a run ended by force (a
// script's time limit, a power cut) during a long scan lists every backup but those of its last
// second, without writing the manifest once per file.
void SaveBackupManifestWhenDue(void);

// /RESTORE: prints the manifest's entries. Returns the exit code (0, or 5 when the manifest
// cannot be read).
int ListBackups(void);
// /RESTORE:N: puts entry N back at its original path, byte for byte, after checking its CRC-32;
// never over an existing file. Returns the exit code: 0 when restored, 5 on any failure, each
// said in one line.
int RestoreBackup(const char* numberText);

// The transform of the stored bytes, its own inverse: each byte is combined with the next byte
// of a key stream whose state *state carries from one piece to the next (start with
// kBackupKeySeed).
extern const DWORD kBackupKeySeed;
void TransformBackupBytes(unsigned char* data, DWORD length, DWORD* state);

// Frees what the run kept of the manifest, as at process start (backups on again).
void ResetBackups(void);

#endif
