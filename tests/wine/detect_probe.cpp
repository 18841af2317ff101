// detect_probe: the product's signature check on real files, for runs under Wine or Windows.
// For each path argument it prints "<path> examined=<0|1> infected=<0|1>".
// Exit code 0, or 2 without arguments.
#include <stdio.h>

#include "detect/signatures.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: detect_probe FILE...\n");
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    int infected = 0;
    int examined = IsFileInfected(argv[i], &infected);
    printf("%s examined=%d infected=%d\n", argv[i], examined, infected);
  }
  return 0;
}
