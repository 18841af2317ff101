/* holdfile: stands for "another program" of a test machine under Wine.
 *
 *   holdfile [--hold read|none|readwrite PATH]... [--run IMAGE]...
 *   holdfile --list
 *   holdfile --drives SECONDS
 *   holdfile --modules
 *   holdfile --toolhelp
 *   holdfile --desktop
 *
 * Opens each PATH for reading with the given sharing (FILE_SHARE_READ, none, or
 * FILE_SHARE_READ | FILE_SHARE_WRITE) and keeps it open, starts each IMAGE (a sample program
 * that only sleeps) and waits until its main module is loaded, so that a process list shows
 * it with its path. Then it prints "ready" and sleeps until it is ended. Exit status 1 (with a
 * line on stdout) when a file cannot be opened or a program cannot be started.
 * --list prints one line per running process: its identifier in hex, a blank and its main
 * module's path (or, where that cannot be read, the process list's name), and exits.
 * --modules tells whether this Wine lets a program read another process's modules, the way the
 * tool's process scan does (OpenProcess for query and read, EnumProcessModules and
 * GetModuleFileNameExA of PSAPI): it starts a second copy of itself that only sleeps, tries
 * for at most ten seconds, ends the copy, prints "modules readable PATH" and exits 0, or prints
 * "modules unreadable error N" and exits 1.
 * --toolhelp tells the same of the 9x way (a ToolHelp process snapshot, whose szExeFile is the
 * image's full path on Windows 9x): "toolhelp path TEXT" and exit 0 when the copy's entry holds
 * a path, exit 1 when it holds a bare name or none.
 * --drives waits until the drive list holds C: (Wine's mount manager lists the drives a while
 * after the server starts, and lists none while it is down), at most SECONDS; it prints the
 * drive mask and exits 0 once C: is there, 1 when the time runs out.
 * --desktop keeps a program on the desktop until it is ended. Wine's shell (explorer.exe
 * /desktop) manages the desktop and closes it, ending itself, a second after the last program
 * that uses it ends; a Windows shell runs all session long. Console programs that never touch
 * the window system do not count, so this one asks for the desktop window, prints "ready" once
 * the shell's window exists, and sleeps. */
#include <stdio.h>
#include <stdlib.h>
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
      printf("%lx %s\n", (unsigned long)entry.th32ProcessID, name);
      if (modules != INVALID_HANDLE_VALUE) CloseHandle(modules);
    } while (Process32Next(snap, &entry));
  }
  CloseHandle(snap);
  return 0;
}

static int WaitForDriveC(int seconds) {
  DWORD waited = 0;
  for (;;) {
    DWORD drives = GetLogicalDrives();
    if (drives & (1u << 2)) {
      printf("drives %08lx after %lu ms\n", (unsigned long)drives, (unsigned long)waited);
      return 0;
    }
    if (waited >= (DWORD)seconds * 1000u) {
      printf("no drive C: after %d s (drives %08lx)\n", seconds, (unsigned long)drives);
      return 1;
    }
    Sleep(250);
    waited += 250;
  }
}

/* A second copy of this program that only sleeps, for the probes to look at. */
static int StartSleepingCopy(PROCESS_INFORMATION* info) {
  char self[MAX_PATH], command[MAX_PATH + 16];
  STARTUPINFOA startup;
  GetModuleFileNameA(NULL, self, MAX_PATH);
  snprintf(command, sizeof(command), "\"%s\" --sleep", self);
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  return CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, info) ? 1 : 0;
}

typedef BOOL(WINAPI* EnumModulesFn)(HANDLE, HMODULE*, DWORD, LPDWORD);
typedef DWORD(WINAPI* ModuleFileNameFn)(HANDLE, HMODULE, LPSTR, DWORD);

static int ProbeModuleReads(void) {
  HMODULE psapi = LoadLibraryA("PSAPI.DLL");
  EnumModulesFn enumModules = psapi ? (EnumModulesFn)(void (*)(void))GetProcAddress(psapi, "EnumProcessModules") : NULL;
  ModuleFileNameFn fileName =
      psapi ? (ModuleFileNameFn)(void (*)(void))GetProcAddress(psapi, "GetModuleFileNameExA") : NULL;
  char path[MAX_PATH];
  PROCESS_INFORMATION info;
  DWORD error = 0;
  int tries, readable = 0;
  if (enumModules == NULL || fileName == NULL) {
    printf("modules unreadable error %lu (no PSAPI)\n", (unsigned long)GetLastError());
    return 1;
  }
  if (!StartSleepingCopy(&info)) {
    printf("modules unreadable error %lu (the copy did not start)\n", (unsigned long)GetLastError());
    return 1;
  }
  for (tries = 0; tries < 40 && !readable; ++tries) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, info.dwProcessId);
    HMODULE modules[16];
    DWORD needed = 0;
    if (process == NULL) {
      error = GetLastError();
    } else {
      if (enumModules(process, modules, sizeof(modules), &needed) && needed > 0 &&
          fileName(process, modules[0], path, MAX_PATH) > 0)
        readable = 1;
      else
        error = GetLastError();
      CloseHandle(process);
    }
    if (!readable) Sleep(250);
  }
  TerminateProcess(info.hProcess, 0);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  if (readable) {
    printf("modules readable %s\n", path);
    return 0;
  }
  printf("modules unreadable error %lu\n", (unsigned long)error);
  return 1;
}

static int ProbeToolHelpPaths(void) {
  PROCESS_INFORMATION info;
  PROCESSENTRY32 entry;
  HANDLE snap;
  int found = 0;
  if (!StartSleepingCopy(&info)) {
    printf("toolhelp none (the copy did not start: error %lu)\n", (unsigned long)GetLastError());
    return 1;
  }
  Sleep(500);
  snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  entry.dwSize = sizeof(entry);
  if (snap != INVALID_HANDLE_VALUE && Process32First(snap, &entry)) {
    do {
      if (entry.th32ProcessID == info.dwProcessId) {
        found = 1;
        break;
      }
    } while (Process32Next(snap, &entry));
  }
  if (snap != INVALID_HANDLE_VALUE) CloseHandle(snap);
  TerminateProcess(info.hProcess, 0);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  if (!found) {
    printf("toolhelp none (the copy is not in the snapshot)\n");
    return 1;
  }
  printf("toolhelp %s %s\n", strchr(entry.szExeFile, '\\') ? "path" : "name", entry.szExeFile);
  return strchr(entry.szExeFile, '\\') ? 0 : 1;
}

int main(int argc, char** argv) {
  int i;
  if (argc == 2 && strcmp(argv[1], "--list") == 0) return ListProcesses();
  if (argc == 3 && strcmp(argv[1], "--drives") == 0) return WaitForDriveC(atoi(argv[2]));
  if (argc == 2 && strcmp(argv[1], "--modules") == 0) return ProbeModuleReads();
  if (argc == 2 && strcmp(argv[1], "--toolhelp") == 0) return ProbeToolHelpPaths();
  if (argc == 2 && strcmp(argv[1], "--desktop") == 0) {
    if (!GetDesktopWindow()) {
      printf("no desktop window: error %lu\n", (unsigned long)GetLastError());
      return 1;
    }
    printf("ready\n");
    fflush(stdout);
    for (;;) Sleep(60000);
  }
  if (argc == 2 && strcmp(argv[1], "--sleep") == 0) {
    for (;;) Sleep(60000);
  }
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
