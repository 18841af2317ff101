// The trace log: filters, indents and writes each message, to the log file when one is open
// and to the debugger output otherwise. One process-wide lock keeps the indentation and the
// text of a message together.
#include "trace/trace.h"

namespace {

// Settings. Nothing in the tool changes them, except that the end of the root scope switches
// the trace off.
int g_enabled = 1;
int g_maximumLevel = 255;
DWORD g_categoryMask = 0xFFFFFFFFu;
int g_active = 1;
int g_indentation = 1;

int g_indentCount = 0;
int g_scopeCount = 0;
FILE* g_logFile = NULL;
char g_currentPath[MAX_PATH] = "";
char g_messageBuffer[1024];
CRITICAL_SECTION g_lock;
int g_lockInitialized = 0;

void InitializeTraceLock() {
  if (!g_lockInitialized) {
    InitializeCriticalSection(&g_lock);
    g_lockInitialized = 1;
  }
}

void WriteOutput(const char* text) {
  if (g_logFile != NULL) {
    fputs(text, g_logFile);
    fflush(g_logFile);
  } else {
    OutputDebugStringA(text);
  }
}

}  // namespace

void TraceMessage(const char* moduleName, DWORD categoryMask, int level, const char* format, ...) {
  (void)moduleName;
  if (g_enabled == 0) return;
  if (g_active == 0) return;
  if ((categoryMask & g_categoryMask) == 0) return;
  if (level > g_maximumLevel) return;

  InitializeTraceLock();
  EnterCriticalSection(&g_lock);

  if (g_indentation == 1) {
    int blanks = g_indentCount;
    if (blanks < 0) blanks = 0;
    if (blanks > (int)sizeof(g_messageBuffer) - 1) blanks = (int)sizeof(g_messageBuffer) - 1;
    memset(g_messageBuffer, ' ', (size_t)blanks);
    g_messageBuffer[blanks] = '\0';
    WriteOutput(g_messageBuffer);
  }

  // A longer message is cut to 1023 characters; the terminator is always there.
  va_list args;
  va_start(args, format);
  _vsnprintf(g_messageBuffer, sizeof(g_messageBuffer) - 1, format, args);
  va_end(args);
  g_messageBuffer[sizeof(g_messageBuffer) - 1] = '\0';
  WriteOutput(g_messageBuffer);

  if (g_lockInitialized) LeaveCriticalSection(&g_lock);
}

void OpenTraceFile(const char* path, const char* mode) {
  if (path == NULL || mode == NULL) return;
  int samePath = strcmp(path, g_currentPath) == 0;
  if (g_logFile != NULL) {
    if (samePath) return;
    fclose(g_logFile);
    g_logFile = NULL;
    g_currentPath[0] = '\0';
  }

  // The current path keeps at most 259 characters: a longer one is not opened, and the trace
  // stays on the debugger output.
  size_t length = strlen(path);
  if (length >= MAX_PATH) return;

  // Each part gets a whole path's room, so no part of a path that fits can overflow.
  char drive[MAX_PATH];
  char directory[MAX_PATH];
  char name[MAX_PATH];
  char extension[MAX_PATH];
  _splitpath(path, drive, directory, name, extension);

  char resolved[MAX_PATH];
  strcpy(resolved, path);
  if (drive[0] == '\0' && directory[0] == '\0') {
    // A bare file name lies beside the executable.
    char module[MAX_PATH];
    DWORD got = GetModuleFileNameA(NULL, module, MAX_PATH);
    // A cut executable path (the whole buffer used) has no room left for the name either; the
    // name alone would land in whatever the current directory is.
    if (got >= MAX_PATH) return;
    if (got > 0) {
      module[got] = '\0';
      char* lastSlash = strrchr(module, '\\');
      if (lastSlash != NULL) {
        lastSlash[1] = '\0';
        if (strlen(module) + length >= MAX_PATH) return;
        strcat(module, path);
        strcpy(resolved, module);
      }
    }
  }

  FILE* file = fopen(resolved, mode);
  if (file == NULL) return;
  g_logFile = file;
  strcpy(g_currentPath, path);
}

TraceScope::TraceScope(const char* moduleName, const char* scopeName)
    : scopeName_(NULL), savedActive_(0), moduleName_(moduleName) {
  if (g_scopeCount == 0) InitializeTraceLock();
  if (g_scopeCount > 0) {
    scopeName_ = scopeName;
    TraceMessage(moduleName_, TRACE_SCOPE_CATEGORY, kTraceLevelScope, "{ %s", scopeName_ ? scopeName_ : "");
    g_indentCount += 3;
    savedActive_ = g_active;
  }
  ++g_scopeCount;
}

TraceScope::~TraceScope() {
  g_active = savedActive_;
  if (scopeName_ != NULL) {
    g_indentCount -= 3;
    TraceMessage(moduleName_, TRACE_SCOPE_CATEGORY, kTraceLevelScope, "} %s", scopeName_);
    scopeName_ = NULL;
  }
  --g_scopeCount;
  if (g_scopeCount == 0) {
    if (g_logFile != NULL) {
      fflush(g_logFile);
      fclose(g_logFile);
      g_logFile = NULL;
    }
    if (g_lockInitialized) {
      DeleteCriticalSection(&g_lock);
      g_lockInitialized = 0;
    }
  }
}

void ResetTrace(void) {
  if (g_logFile != NULL) {
    fclose(g_logFile);
    g_logFile = NULL;
  }
  g_currentPath[0] = '\0';
  // The values of the definitions at the top.
  g_enabled = 1;
  g_maximumLevel = 255;
  g_categoryMask = 0xFFFFFFFFu;
  g_active = 1;
  g_indentation = 1;
  g_indentCount = 0;
  // The root scope stays: its construction counted it and set up the lock.
  g_scopeCount = 1;
  InitializeTraceLock();
}

// The root scope lives for the whole process; its end at exit closes the log file.
static TraceScope g_rootScope("", "*\n");

// _vsnprintf leaves no terminator when the text does not fit: the text is cut then.
void FormatText(char* text, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vsnprintf(text, size - 1, format, args);
  va_end(args);
  text[n < 0 ? size - 1 : n] = '\0';
}

void FormatLocalTime(const SYSTEMTIME* time, char* text, size_t size) {
  FormatText(text, size, "%04u-%02u-%02uT%02u:%02u:%02u", (unsigned)time->wYear, (unsigned)time->wMonth,
             (unsigned)time->wDay, (unsigned)time->wHour, (unsigned)time->wMinute, (unsigned)time->wSecond);
}
