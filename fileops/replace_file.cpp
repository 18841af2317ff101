// Removing or replacing one file: at once with the C runtime, or, when the file is in use, at
// the next restart of the system through the restart-time rename list.
#include "fileops/replace_file.h"

#include "fileops/restart_rename.h"
#include "trace/trace.h"
#include "platform/win32.h"

namespace {

// Room for a directory prefix and a name of up to MAX_PATH characters each in the ordinary
// case; whatever does not fit is refused, never cut.
const size_t kPathBufferSize = 264;

// prefix + name into buffer; 0 when the two together do not fit.
int BuildPath(char* buffer, const char* prefix, const char* name) {
  size_t prefixLength = strlen(prefix);
  size_t nameLength = strlen(name);
  if (prefixLength >= kPathBufferSize || nameLength >= kPathBufferSize - prefixLength) return 0;
  memcpy(buffer, prefix, prefixLength);
  memcpy(buffer + prefixLength, name, nameLength + 1);
  return 1;
}

int DeleteNow(const char* source) {
  TRACE_INFO("[TKUT - ReplaceFile]: Delete operation (%s).\n", source);
  if (!FileExist(source)) {
    TRACE_ERROR("[TKUT - ReplaceFile]: Src file does not exist (%s).\n", source);
    return kReplaceNotThere;
  }
  // Read-only, hidden and system attributes would stop the deletion.
  SetFileAttributesA(source, 0);
  TRACE_INFO("[TKUT - ReplaceFile]: Src file exists (%s).\n", source);

  if (remove(source) == 0) {
    TRACE_INFO("[TKUT - ReplaceFile]: File was deleted (%s).\n", source);
    return kReplaceDone;
  }
  int error = errno;  // before the trace can touch it
  TRACE_ERROR("[TKUT - ReplaceFile]: Failed to delete the file (%s).\n", source);
  if (error == ENOENT) {
    // Gone since it was found: nothing is left to remove.
    TRACE_ERROR("[TKUT - ReplaceFile]: File not found or it is a directory (%s).\n", source);
    return kReplaceNotThere;
  }
  if (error != EACCES) {
    // The file was there a moment ago and is still there: a failure, not an absence.
    TRACE_ERROR("[TKUT - ReplaceFile]: File cannot be deleted (%s).\n", source);
    return kReplaceFailed;
  }
  if (AddFileToAutomaticRenameList(source, NULL)) {
    TRACE_INFO("[TKUT - ReplaceFile]: File will be deleted during reboot (%s).\n", source);
    return kReplaceAtRestart;
  }
  TRACE_ERROR("[TKUT - ReplaceFile]: File cannot be deleted during reboot (%s).\n", source);
  return kReplaceFailed;
}

int RenameNow(const char* source, const char* destination) {
  int destinationDeleted = 0;
  TRACE_INFO("[TKUT - ReplaceFile]: Rename operation (%s -> %s).\n", source, destination);
  if (!FileExist(source)) {
    TRACE_ERROR("[TKUT - ReplaceFile]: Src file does not exist (%s).\n", source);
    return kReplaceNotThere;
  }
  // No attributes are touched in this mode.
  TRACE_INFO("[TKUT - ReplaceFile]: Src file exists (%s).\n", source);

  if (FileExist(destination)) {
    TRACE_INFO("[TKUT - ReplaceFile]: Dest file exists (%s).\n", destination);
    if (remove(destination) == 0) {
      TRACE_INFO("[TKUT - ReplaceFile]: Dest file deleted (%s).\n", destination);
      destinationDeleted = 1;
    } else {
      int error = errno;
      TRACE_ERROR("[TKUT - ReplaceFile]: Failed to delete the file (%s).\n", destination);
      if (error != EACCES) {
        TRACE_ERROR("[TKUT - ReplaceFile]: Dest file is a directory (%s).\n", destination);
        return kReplaceFailed;
      }
      // The destination goes first at the restart, then the source takes its name.
      if (!AddFileToAutomaticRenameList(destination, NULL)) {
        TRACE_ERROR("[TKUT - ReplaceFile]: File cannot be deleted during reboot (%s).\n", destination);
        return kReplaceFailed;
      }
      TRACE_INFO("[TKUT - ReplaceFile]: File will be deleted during reboot (%s).\n", destination);
      if (AddFileToAutomaticRenameList(source, destination)) {
        TRACE_INFO("[TKUT - ReplaceFile]: Src file will be deleted during reboot (%s).\n", source);
        return kReplaceAtRestart;
      }
      TRACE_ERROR("[TKUT - ReplaceFile]: Src file cannot be deleted during reboot (%s).\n", source);
      return kReplaceFailedDestRemoved;
    }
  }

  if (rename(source, destination) == 0) {
    TRACE_INFO("[TKUT - ReplaceFile]: Src file was successfully renamed (%s -> %s).\n", source, destination);
    return kReplaceDone;
  }
  TRACE_ERROR("[TKUT - ReplaceFile]: Failed to rename the source file (%s).\n", source);
  if (AddFileToAutomaticRenameList(source, destination)) {
    TRACE_INFO("[TKUT - ReplaceFile]: Src file will be renamed during reboot(%s -> %s).\n", source, destination);
    return kReplaceAtRestart;
  }
  TRACE_ERROR("[TKUT - ReplaceFile]: Src file cannot be renamed during reboot(%s -> %s).\n", source, destination);
  return destinationDeleted ? kReplaceFailedDestRemoved : kReplaceFailed;
}

}  // namespace

int ReplaceFile(const char* prefix, const char* name, const char* newName) {
  if (prefix == NULL) prefix = "";
  if (name == NULL) {
    TRACE_ERROR("%s", "[TKUT - ReplaceFile]: No file name given.\n");
    return kReplaceFailed;
  }

  // A path that does not fit is refused. It names a file that may well be there (and
  // infected), so the call reports a failure rather than an absence.
  char source[kPathBufferSize];
  if (!BuildPath(source, prefix, name)) {
    TRACE_ERROR("[TKUT - ReplaceFile]: Path is too long (%s%s).\n", prefix, name);
    return kReplaceFailed;
  }
  if (newName == NULL) return DeleteNow(source);

  char destination[kPathBufferSize];
  if (!BuildPath(destination, prefix, newName)) {
    TRACE_ERROR("[TKUT - ReplaceFile]: Path is too long (%s%s).\n", prefix, newName);
    return kReplaceFailed;
  }
  return RenameNow(source, destination);
}

int FileExist(const char* path) {
  FILE* file = fopen(path, "r");
  if (file == NULL) {
    TRACE_INFO("[TKUT - FileExist]: File %s does not exist.\n", path);
    return 0;
  }
  TRACE_INFO("[TKUT - FileExist]: File %s exists.\n", path);
  fclose(file);
  return 1;
}

int IsSurelyAbsent(const char* path) {
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return 0;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}
