// Diagnostic trace log: every floor reports its steps through TraceMessage.
#ifndef VORLAX_TRACE_TRACE_H
#define VORLAX_TRACE_TRACE_H

#include "platform/win32.h"

// Levels and categories the tool uses.
enum {
  kTraceLevelScope = 0,
  kTraceLevelError = 1,
  kTraceLevelInfo = 4,
};
#define TRACE_ALL_CATEGORIES 0xFFFFFFFFu
#define TRACE_SCOPE_CATEGORY 0x4u

// Filters, indents and writes one message to the log file, or to the debugger output when
// no file is open. The caller's format carries its own "\n".
void TraceMessage(const char* moduleName, DWORD categoryMask, int level, const char* format, ...)
    __attribute__((format(__printf__, 4, 5)));

// Names the log file. The same path twice keeps the open stream; a bare file name resolves
// beside the executable. A file that cannot be opened leaves the output on the debugger.
void OpenTraceFile(const char* path, const char* mode);

// Brackets nested work with "{ name" and "} name" lines and three more blanks of indentation.
// The first scope of the process (the root scope) writes nothing and, when it ends, closes the
// log file and switches the trace off.
class TraceScope {
 public:
  TraceScope(const char* moduleName, const char* scopeName);
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  const char* scopeName_;
  int savedActive_;
  const char* moduleName_;
};

// Brings the trace back to the state static initialisation leaves: settings as shipped, no
// indentation, only the root scope open, no log file (an open one is closed). For a host that
// runs the product more than once in one process (the unit tests), between runs only, while
// no scope but the root is open.
void ResetTrace(void);

// Formats into text (size bytes, at least 1), always terminated: a text that does not fit is cut.
void FormatText(char* text, size_t size, const char* format, ...) __attribute__((format(__printf__, 3, 4)));

// A local time as YYYY-MM-DDTHH:MM:SS (20 bytes with the terminator).
void FormatLocalTime(const SYSTEMTIME* time, char* text, size_t size);

// Shorthands for the product's own lines: empty module name, all categories.
#define TRACE_INFO(...) TraceMessage("", TRACE_ALL_CATEGORIES, kTraceLevelInfo, __VA_ARGS__)
#define TRACE_ERROR(...) TraceMessage("", TRACE_ALL_CATEGORIES, kTraceLevelError, __VA_ARGS__)

#endif
