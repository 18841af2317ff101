// remove_probe: the product's file removal (ReplaceFile in delete mode, with its restart-time
// list) on real files, for runs under Wine or Windows.
//   remove_probe LOG FILE...
// Opens the trace log LOG (appending), then for each FILE prints its short path as the system
// gives it ("<path> short=<short path>", or "short=?" when GetShortPathNameA fails) and then
// "<path> result=<n>", n being ReplaceFile("", FILE, NULL).
// Exit code 0, or 2 without a file argument.
#include <stdio.h>

#include "fileops/replace_file.h"
#include "trace/trace.h"
#include "platform/win32.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: remove_probe LOG FILE...\n");
    return 2;
  }
  OpenTraceFile(argv[1], "a+");
  for (int i = 2; i < argc; ++i) {
    char shortPath[MAX_PATH];
    DWORD n = GetShortPathNameA(argv[i], shortPath, sizeof(shortPath));
    printf("%s short=%s\n", argv[i], (n > 0 && n < sizeof(shortPath)) ? shortPath : "?");
    int result = ReplaceFile("", argv[i], NULL);
    printf("%s result=%d\n", argv[i], result);
    fflush(stdout);
  }
  return 0;
}
