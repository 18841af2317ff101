/* holdfile: stands for "another program" of a test machine under Wine.
 *
 *   holdfile [--hold read|none|readwrite PATH]... [--run IMAGE]...
 *   holdfile --list
 *
 * Opens each PATH for reading with the given sharing (FILE_SHARE_READ, none, or
 * FILE_SHARE_READ | FILE_SHARE_WRITE) and keeps it open, starts each IMAGE (a sample program
 * that only sleeps) and waits until its main module is loaded, so that a process list shows
 * it with its path. Then it prints "ready" and sleeps until it is ended. Exit status 1 (with a
 * line on stdout) when a file cannot be opened or a program cannot be started.
 * --list prints one line per running process: its main module's path (or, where that cannot
 * be read, the process list's name) and exits. */
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <tlhelp32.h>

static int ModuleLoaded(DWORD pid) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
  MODULEENTRY32 entry;
  int found = 0;
  if (snap == INVALID_HANDLE_VALUE) return 0;
  entry.dwSize = sizeof(entry);
  found = Module32First(snap, &entry) ? 1 : 0;
  CloseHandle(snap);
  return found;
}

static int ListProcesses(void) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry;
  if (snap == INVALID_HANDLE_VALUE) return 1;
  entry.dwSize = sizeof(entry);
  if (Process32First(snap, &entry)) {
    do {
      HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, entry.th32ProcessID);
      MODULEENTRY32 module;
      const char* name = entry.szExeFile;
      module.dwSize = sizeof(module);
      if (modules != INVALID_HANDLE_VALUE && Module32First(modules, &module)) name = module.szExePath;
      printf("%s\n", name);
      if (modules != INVALID_HANDLE_VALUE) CloseHandle(modules);
    } while (Process32Next(snap, &entry));
  }
  CloseHandle(snap);
  return 0;
}

int main(int argc, char** argv) {
  int i;
  if (argc == 2 && strcmp(argv[1], "--list") == 0) return ListProcesses();
  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--hold") == 0 && i + 2 < argc) {
      const char* sharing = argv[i + 1];
      const char* path = argv[i + 2];
      DWORD share = 0;
      HANDLE file;
      if (strcmp(sharing, "read") == 0) {
        share = FILE_SHARE_READ;
      } else if (strcmp(sharing, "readwrite") == 0) {
        share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      } else if (strcmp(sharing, "none") != 0) {
        printf("bad sharing %s\n", sharing);
        return 1;
      }
      file = CreateFileA(path, GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
      if (file == INVALID_HANDLE_VALUE) {
        printf("cannot open %s: error %lu\n", path, (unsigned long)GetLastError());
        return 1;
      }
      i += 2;
    } else if (strcmp(argv[i], "--run") == 0 && i + 1 < argc) {
      STARTUPINFOA startup;
      PROCESS_INFORMATION info;
      int tries;
      memset(&startup, 0, sizeof(startup));
      startup.cb = sizeof(startup);
      if (!CreateProcessA(argv[i + 1], NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
        printf("cannot start %s: error %lu\n", argv[i + 1], (unsigned long)GetLastError());
        return 1;
      }
      for (tries = 0; tries < 300 && !ModuleLoaded(info.dwProcessId); ++tries) Sleep(100);
      CloseHandle(info.hThread);
      CloseHandle(info.hProcess);
      i += 1;
    } else {
      printf("usage: holdfile [--hold read|none|readwrite PATH]... [--run IMAGE]...\n");
      return 1;
    }
  }
  printf("ready\n");
  fflush(stdout);
  for (;;) Sleep(60000);
}
