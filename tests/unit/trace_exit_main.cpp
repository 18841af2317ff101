// Nothing is written after the root scope has ended. The root scope ends at process exit,
// among the static destructors; a destructor function runs after all of them (glibc runs the
// .fini_array entries last), so it sees the trace as a late caller at exit would.
//
// Exit status 0 when the late message was dropped and the log file was closed, 1 otherwise.
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "sim/sim.h"
#include "trace/trace.h"

namespace {

const char kLogPath[] = "C:\\windows\\exit.log";
const char kBefore[] = "before the end\r\n";

void Fail(const char* what) {
  fprintf(stderr, "trace_exit: %s\n", what);
  fflush(stderr);
  _exit(1);
}

__attribute__((destructor)) void AfterTheRootScope() {
  TraceMessage("", TRACE_ALL_CATEGORIES, kTraceLevelInfo, "%s", "after the end\n");
  TraceMessage("", TRACE_ALL_CATEGORIES, kTraceLevelError, "%s", "after the end\n");
  if (sim::FileData(kLogPath) != kBefore) Fail("the log file changed after the root scope ended");
  if (!sim::DebugOutput().empty()) Fail("a message reached the debugger output after the root scope ended");
  // Opening without sharing fails while a stream still holds the file.
  HANDLE probe = CreateFileA(kLogPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (probe == INVALID_HANDLE_VALUE) Fail("the log file is still open after the root scope ended");
  CloseHandle(probe);
  fprintf(stdout, "trace_exit: nothing written after the root scope ended\n");
}

}  // namespace

int main() {
  sim::Reset();
  OpenTraceFile(kLogPath, "a+");
  TraceMessage("", TRACE_ALL_CATEGORIES, kTraceLevelInfo, "%s", "before the end\n");
  if (sim::FileData(kLogPath) != kBefore) {
    fprintf(stderr, "trace_exit: the log does not hold the first line\n");
    return 1;
  }
  return 0;
}
