// Files written whole or not at all.
#include "fileops/whole_file.h"

#include "app/platform_query.h"

const char kWholeFileTemporarySuffix[] = ".$$$";
const char kWholeFileAsideSuffix[] = ".old";
const size_t kWholeFileLongestPath = MAX_PATH - 1 - (sizeof(kWholeFileTemporarySuffix) - 1);

namespace {

DWORD LastErrorOr(DWORD fallback) { return GetLastError() != 0 ? GetLastError() : fallback; }

}  // namespace

int WholeFileBegin(WholeFileWriter* writer, const char* path) {
  writer->file = INVALID_HANDLE_VALUE;
  writer->error = 0;
  size_t length = strlen(path);
  if (length == 0 || length > kWholeFileLongestPath) {
    writer->error = ERROR_FILENAME_EXCED_RANGE;
    return kWholeFileNotCreated;
  }
  memcpy(writer->path, path, length + 1);
  memcpy(writer->temporary, path, length);
  memcpy(writer->temporary + length, kWholeFileTemporarySuffix, sizeof(kWholeFileTemporarySuffix));
  memcpy(writer->aside, path, length);
  memcpy(writer->aside + length, kWholeFileAsideSuffix, sizeof(kWholeFileAsideSuffix));
  writer->file = CreateFileA(writer->temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (writer->file == INVALID_HANDLE_VALUE) {
    writer->error = LastErrorOr(ERROR_ACCESS_DENIED);
    return kWholeFileNotCreated;
  }
  return kWholeFileWritten;
}

void WholeFileWrite(WholeFileWriter* writer, const void* data, DWORD length) {
  if (writer->error != 0 || length == 0) return;
  DWORD written = 0;
  if (!WriteFile(writer->file, data, length, &written, NULL)) {
    writer->error = LastErrorOr(ERROR_WRITE_FAULT);
  } else if (written != length) {
    writer->error = ERROR_HANDLE_DISK_FULL;
  }
}

void WholeFileLine(WholeFileWriter* writer, const char* format, ...) {
  if (writer->error != 0) return;
  char line[MAX_PATH + 128];
  va_list args;
  va_start(args, format);
  int n = _vsnprintf(line, sizeof(line) - 2, format, args);
  va_end(args);
  if (n < 0) {
    writer->error = ERROR_INSUFFICIENT_BUFFER;
    return;
  }
  line[n] = '\r';
  line[n + 1] = '\n';
  WholeFileWrite(writer, line, (DWORD)n + 2);
}

int WholeFileFinish(WholeFileWriter* writer) {
  // On a file server a write may be accepted and only fail when the data reach the disk.
  if (writer->error == 0 && !FlushFileBuffers(writer->file)) writer->error = LastErrorOr(1);
  if (!CloseHandle(writer->file) && writer->error == 0) writer->error = LastErrorOr(1);
  writer->file = INVALID_HANDLE_VALUE;
  if (writer->error != 0) {
    DeleteFileA(writer->temporary);
    return kWholeFileNotWritten;
  }
  DWORD error = MoveIntoPlace(writer->temporary, writer->path, writer->aside);
  if (error != 0) {
    writer->error = error;
    DeleteFileA(writer->temporary);
    return kWholeFileNotMoved;
  }
  return kWholeFileWritten;
}

void WholeFileAbandon(WholeFileWriter* writer) {
  if (writer->file != INVALID_HANDLE_VALUE) CloseHandle(writer->file);
  writer->file = INVALID_HANDLE_VALUE;
  DeleteFileA(writer->temporary);
}

// Between the two renames of the 9x way the target is absent for a moment: a reader then finds
// no file, never a partial one.
DWORD MoveIntoPlace(const char* temporary, const char* path, const char* aside) {
  // Asked again rather than remembered: a failed query tries MoveFileExA, which then falls back.
  if (GetPlatform() != kPlatformWin9x) {
    if (MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING)) return 0;
    DWORD error = GetLastError();
    // A file server that cannot replace in one step is handled as on 9x.
    if (error != ERROR_CALL_NOT_IMPLEMENTED && error != ERROR_NOT_SUPPORTED) return error != 0 ? error : 1;
  }
  if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return error != 0 ? error : 1;
    if (MoveFileA(temporary, path)) return 0;
    return LastErrorOr(1);
  }
  DeleteFileA(aside);  // left by a run that stopped between the renames
  if (!MoveFileA(path, aside)) return LastErrorOr(1);
  if (!MoveFileA(temporary, path)) {
    DWORD error = LastErrorOr(1);
    MoveFileA(aside, path);
    return error;
  }
  DeleteFileA(aside);
  return 0;
}
