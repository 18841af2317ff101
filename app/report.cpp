// The report of one run and the summary of many. A report is written whole or not at all, so
// that a script deciding from it (and the summary) never reads half a file: its text goes to a
// temporary file beside the target, and only a complete, closed file is moved into place.
#include "app/report.h"

#include "app/outcome.h"
#include "app/platform_query.h"
#include "app/run_record.h"
#include "app/version.h"
#include "fileops/ini_file.h"
#include "fileops/whole_file.h"
#include "trace/trace.h"

const char kReportEndLine[] = "; end of report";

namespace {

const char* const kProcessStates[] = {"ended", "not-ended", "found"};
const char* const kFileStates[] = {"deleted", "restart", "failed", "found"};
const char* const kRunValueStates[] = {"deleted", "absent", "failed", "found"};

// One line on the console and in the trace.
void SayNotWritten(const char* path, const char* reason, DWORD error) {
  if (error != 0) {
    printf("Report not written to %s: %s (error %lu)\n", path, reason, (unsigned long)error);
    TRACE_ERROR("Report not written to %s: %s (error %lu)\n", path, reason, (unsigned long)error);
  } else {
    printf("Report not written to %s: %s\n", path, reason);
    TRACE_ERROR("Report not written to %s: %s\n", path, reason);
  }
}

void WritePlatform(WholeFileWriter* writer) {
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  if (!GetVersionExA(&info)) {
    WholeFileLine(writer, "Platform=unknown");
  } else if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    WholeFileLine(writer, "Platform=NT %lu.%lu.%lu", (unsigned long)info.dwMajorVersion,
              (unsigned long)info.dwMinorVersion, (unsigned long)info.dwBuildNumber);
  } else if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    // The 9x family keeps the version in the build number's high word.
    WholeFileLine(writer, "Platform=9x %lu.%lu.%lu", (unsigned long)info.dwMajorVersion,
              (unsigned long)info.dwMinorVersion, (unsigned long)(info.dwBuildNumber & 0xFFFF));
  } else {
    WholeFileLine(writer, "Platform=unknown");
  }
}

void WriteReportText(WholeFileWriter* writer, const SYSTEMTIME* started, const SYSTEMTIME* finished, int exitCode) {
  char computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof(computer);
  if (!GetComputerNameA(computer, &size)) computer[0] = '\0';
  computer[sizeof(computer) - 1] = '\0';
  char startedText[32];
  char finishedText[32];
  FormatLocalTime(started, startedText, sizeof(startedText));
  FormatLocalTime(finished, finishedText, sizeof(finishedText));

  WholeFileLine(writer, "[Run]");
  WholeFileLine(writer, "Version=%d.%02d.%d", VORLAX_VERSION_MAJOR, VORLAX_VERSION_MINOR, VORLAX_VERSION_BUILD);
  WholeFileLine(writer, "Computer=%s", computer);
  WritePlatform(writer);
  WholeFileLine(writer, "Mode=%s", IsDetectionOnly() ? "detect" : "remove");
  WholeFileLine(writer, "Started=%s", startedText);
  WholeFileLine(writer, "Finished=%s", finishedText);
  WholeFileLine(writer, "ExitCode=%d", exitCode);
  WholeFileLine(writer, "Infection=%d", GetInfectionState() != kInfectionNone ? 1 : 0);
  WholeFileLine(writer, "RebootPending=%d", GetRebootPendingCount());
  WholeFileLine(writer, "Failures=%d", GetFailureCount());
  WholeFileLine(writer, "RunValue=%s", kRunValueStates[RecordedRunValue() & 3]);
  WholeFileLine(writer, "%s", "");
  WholeFileLine(writer, "[Processes]");
  int n = 0;
  for (RecordEntry* entry = RecordedProcesses(); entry != NULL; entry = entry->next) {
    WholeFileLine(writer, "%d=%s|%s", ++n, kProcessStates[entry->state % 3], entry->path);
  }
  WholeFileLine(writer, "%s", "");
  WholeFileLine(writer, "[Files]");
  n = 0;
  for (RecordEntry* entry = RecordedFiles(); entry != NULL; entry = entry->next) {
    if (entry->backup == kBackupNotAsked) {
      WholeFileLine(writer, "%d=%s|%s", ++n, kFileStates[entry->state & 3], entry->path);
    } else if (entry->backup > 0) {
      WholeFileLine(writer, "%d=%s|%s|backup %d", ++n, kFileStates[entry->state & 3], entry->path, entry->backup);
    } else {
      WholeFileLine(writer, "%d=%s|%s|no backup", ++n, kFileStates[entry->state & 3], entry->path);
    }
  }
  WholeFileLine(writer, "%s", kReportEndLine);
}

}  // namespace

int WriteRunReport(const char* path, const SYSTEMTIME* started, const SYSTEMTIME* finished, int exitCode) {
  size_t length = strlen(path);
  if (length == 0) {
    printf("%s", "Report not written: no path after /REPORT:\n");
    TRACE_ERROR("%s", "Report not written: no path after /REPORT:\n");
    return 0;
  }
  if (length > kWholeFileLongestPath) {
    printf("Report not written: the path is %lu characters long, at most %lu fit\n", (unsigned long)length,
           (unsigned long)kWholeFileLongestPath);
    TRACE_ERROR("Report not written: the path is %lu characters long, at most %lu fit\n", (unsigned long)length,
                (unsigned long)kWholeFileLongestPath);
    return 0;
  }
  if (RecordLost()) {
    SayNotWritten(path, "out of memory for the list of infections", ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  // A folder or a read-only file at the path is not replaced.
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SayNotWritten(path, "a folder has that name", 0);
    return 0;
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    SayNotWritten(path, "the older report is read-only", ERROR_ACCESS_DENIED);
    return 0;
  }

  WholeFileWriter writer;
  if (WholeFileBegin(&writer, path) != kWholeFileWritten) {
    SayNotWritten(path, "cannot create the file", writer.error);
    return 0;
  }
  WriteReportText(&writer, started, finished, exitCode);
  switch (WholeFileFinish(&writer)) {
    case kWholeFileWritten:
      break;
    case kWholeFileNotWritten:
      SayNotWritten(path, "cannot write the file", writer.error);
      return 0;
    default:
      SayNotWritten(path, "cannot put the file in place", writer.error);
      return 0;
  }
  TRACE_INFO("Report written to %s\n", path);
  return 1;
}

// ---------------------------------------------------------------- the summary
namespace {

struct SummaryRow {
  char computer[64];
  char finished[32];
  char mode[8];
  char file[MAX_PATH];
  int exitCode;
  int files;
  int rebootPending;
  int failures;
  int readable;
};

const char* ValueOf(IniSection* section, const char* key) {
  if (section == NULL) return NULL;
  IniEntry* entry = IniFile::FindEntry(section->entries, key, 0, NULL);
  return entry != NULL ? entry->value : NULL;
}

// A whole non-negative decimal number of at most 9 digits.
int ParseCount(const char* text, int* value) {
  if (text == NULL || text[0] == '\0' || strlen(text) > 9) return 0;
  int n = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    n = n * 10 + (*p - '0');
  }
  *value = n;
  return 1;
}

int CopyText(char* out, size_t size, const char* text) {
  if (text == NULL || strlen(text) >= size) return 0;
  strcpy(out, text);
  return 1;
}

// Reads one report into row; 0 when it is not a complete report of this tool.
int ReadReport(const char* path, SummaryRow* row) {
  IniFile ini;
  if (ini.Load(path) != 0) return 0;
  // The last line of the file, the end mark, is the last entry of its last section.
  IniSection* last = ini.sections;
  if (last == NULL) return 0;
  while (last->next != NULL) last = last->next;
  IniEntry* lastEntry = last->entries;
  if (lastEntry == NULL) return 0;
  while (lastEntry->next != NULL) lastEntry = lastEntry->next;
  if (lastEntry->key != NULL || strcmp(lastEntry->value, kReportEndLine) != 0) return 0;

  IniSection* run = ini.FindSection("Run", NULL);
  IniSection* files = ini.FindSection("Files", NULL);
  if (run == NULL || files == NULL) return 0;
  const char* mode = ValueOf(run, "Mode");
  if (mode == NULL || (strcmp(mode, "remove") != 0 && strcmp(mode, "detect") != 0)) return 0;
  if (!CopyText(row->computer, sizeof(row->computer), ValueOf(run, "Computer")) ||
      !CopyText(row->finished, sizeof(row->finished), ValueOf(run, "Finished")) ||
      !CopyText(row->mode, sizeof(row->mode), mode) || !ParseCount(ValueOf(run, "ExitCode"), &row->exitCode) ||
      row->exitCode > 4 || !ParseCount(ValueOf(run, "RebootPending"), &row->rebootPending) ||
      !ParseCount(ValueOf(run, "Failures"), &row->failures)) {
    return 0;
  }
  row->files = 0;
  for (IniEntry* entry = files->entries; entry != NULL; entry = entry->next) {
    if (entry->key != NULL) ++row->files;
  }
  return 1;
}

int CompareRows(const void* a, const void* b) {
  const SummaryRow* x = (const SummaryRow*)a;
  const SummaryRow* y = (const SummaryRow*)b;
  if (x->readable != y->readable) return y->readable - x->readable;  // the readable ones first
  int order = x->readable ? _stricmp(x->computer, y->computer) : 0;
  return order != 0 ? order : _stricmp(x->file, y->file);
}

int IsReportName(const char* name) {
  size_t length = strlen(name);
  return length > 4 && _stricmp(name + length - 4, ".ini") == 0;
}

}  // namespace

int PrintReportSummary(const char* folder) {
  size_t length = strlen(folder);
  if (length == 0) {
    printf("%s", "Summary: no folder after /SUMMARY:\n");
    return 0;
  }
  // The folder, a backslash and a name of one character at least.
  if (length + 2 >= MAX_PATH) {
    printf("Summary: the folder's path is %lu characters long, at most %lu fit\n", (unsigned long)length,
           (unsigned long)(MAX_PATH - 3));
    return 0;
  }
  char path[MAX_PATH];
  memcpy(path, folder, length + 1);
  if (path[length - 1] != '\\' && path[length - 1] != '/' && path[length - 1] != ':') path[length++] = '\\';
  size_t prefix = length;
  if (prefix + 3 >= MAX_PATH) {
    printf("Summary: the folder's path is %lu characters long, at most %lu fit\n", (unsigned long)strlen(folder),
           (unsigned long)(MAX_PATH - 4));
    return 0;
  }
  memcpy(path + prefix, "*.*", 4);

  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(path, &found);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) {
      printf("No reports in %s\n", folder);
    } else {
      printf("Summary: cannot read the folder %s (error %lu)\n", folder, (unsigned long)error);
    }
    return 0;
  }

  SummaryRow* rows = NULL;
  int count = 0;
  int capacity = 0;
  int outOfMemory = 0;
  do {
    found.cFileName[MAX_PATH - 1] = '\0';
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!IsReportName(found.cFileName)) continue;
    if (count == capacity) {
      int larger = capacity == 0 ? 16 : capacity * 2;
      SummaryRow* more = (SummaryRow*)malloc((size_t)larger * sizeof(SummaryRow));
      if (more == NULL) {
        outOfMemory = 1;
        break;
      }
      if (rows != NULL) memcpy(more, rows, (size_t)count * sizeof(SummaryRow));
      free(rows);
      rows = more;
      capacity = larger;
    }
    SummaryRow* row = &rows[count];
    memset(row, 0, sizeof(SummaryRow));
    strcpy(row->file, found.cFileName);
    size_t nameLength = strlen(found.cFileName);
    if (prefix + nameLength < MAX_PATH) {
      memcpy(path + prefix, found.cFileName, nameLength + 1);
      row->readable = ReadReport(path, row);
    }
    ++count;
  } while (FindNextFileA(find, &found));
  FindClose(find);

  if (count == 0 && !outOfMemory) {
    printf("No reports in %s\n", folder);
    free(rows);
    return 0;
  }
  if (count > 1) qsort(rows, (size_t)count, sizeof(SummaryRow), CompareRows);

  int totals[5] = {0, 0, 0, 0, 0};
  int unreadable = 0;
  printf("Reports in %s\n\n", folder);
  printf("%-16s %-19s  %-6s  %4s  %5s  %7s  %8s\n", "Computer", "Finished", "Mode", "Exit", "Files", "Restart",
         "Failures");
  for (int i = 0; i < count; ++i) {
    const SummaryRow* row = &rows[i];
    if (!row->readable) {
      printf("%-16s cannot be read: not a complete report\n", row->file);
      ++unreadable;
      continue;
    }
    printf("%-16s %-19s  %-6s  %4d  %5d  %7d  %8d\n", row->computer[0] != '\0' ? row->computer : "(unknown)",
           row->finished, row->mode, row->exitCode, row->files, row->rebootPending, row->failures);
    ++totals[row->exitCode];
  }
  printf("\n");
  printf("Clean                %5d\n", totals[0]);
  printf("Removed              %5d\n", totals[1]);
  printf("Waiting for restart  %5d\n", totals[2]);
  printf("Failed               %5d\n", totals[3]);
  printf("Found by detection   %5d\n", totals[4]);
  printf("Cannot be read       %5d\n", unreadable);
  if (outOfMemory) printf("%s", "Summary incomplete: out of memory\n");
  free(rows);
  return 0;
}
