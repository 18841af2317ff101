/* sleeper: a harmless program that only sleeps, used as a sample process.
 *
 * Linked with a file alignment of 0x2000, so that the PE headers and their padding fill the
 * first 8192 bytes of the file: bytes 1024 to 8191 are then free to be stamped with any
 * CRC-32 (samplegen --base) and the stamped copy still loads and runs.
 *
 * usage: sleeper [SECONDS]   (default 3600; it exits when the time is up or it is ended) */
#include <stdlib.h>
#include <windows.h>

int main(int argc, char** argv) {
  DWORD seconds = 3600;
  if (argc > 1) seconds = (DWORD)strtoul(argv[1], NULL, 10);
  while (seconds > 0) {
    DWORD step = seconds > 60 ? 60 : seconds;
    Sleep(step * 1000);
    seconds -= step;
  }
  return 0;
}
