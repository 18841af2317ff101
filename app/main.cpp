// Entry routine: options, log file, banner, rights check, the disinfection, the outcome
// report and the shell start.
#include "app/disinfect.h"
#include "app/outcome.h"
#include "app/platform_query.h"
#include "app/process_state.h"
#include "app/version.h"
#include "trace/trace.h"

namespace {

int g_silentMode = 0;

const char kAdviceText[] =
    "----------------------------------------------------------------------\n"
    "IMPORTANT!\n"
    "\n"
    "Vorlax worm uses LSASS exploit to spread to remote computers. That is\n"
    "why it is very important to install the security patch against LSASS\n"
    "vulnerability to avoid re-infection. The security patch can be\n"
    "downloaded from Microsoft's website:\n"
    "\n"
    "http://www.microsoft.com/technet/security/bulletin/MS04-011.mspx\n"
    "----------------------------------------------------------------------\n";

const char kLogFileName[] = "\\VorlaxClean.log";

void OpenLogFile() {
  char logPath[MAX_PATH];
  memset(logPath, 0, sizeof(logPath));
  UINT length = GetWindowsDirectoryA(logPath, MAX_PATH);
  // A Windows directory that leaves no room for the file name (or none at all) puts the log
  // in the root of the current drive, as a failed query does.
  if (length == 0 || length + sizeof(kLogFileName) > MAX_PATH) logPath[0] = '\0';
  strcat(logPath, kLogFileName);
  OpenTraceFile(logPath, "a+");
}

int ReportOutcome() {
  if (GetInfectionState() == kInfectionNone) {
    printf("No infection found\n");
    return 0;
  }
  int exitCode;
  if (GetFailureCount() > 0) {
    printf("Infection was found.  An error occurred in the disinfection process.\n");
    TRACE_INFO("%s", "Infections were found.  An error occurred in the disinfection process.\n");
    exitCode = 3;
  } else {
    printf("Infection was found and removed\n");
    TRACE_INFO("%s", "Infections were found and removed.\n");
    exitCode = 1;
  }
  if (GetRebootPendingCount() > 0) {
    printf("Restarting the computer is needed to complete the disinfection process.\n"
           "Please restart the computer now.\n");
    TRACE_INFO("%s", "Restarting the computer is needed to complete the disinfection process.\n");
    if (exitCode != 3) exitCode = 2;
  }
  printf("%s", kAdviceText);
  return exitCode;
}

void StartShell() {
  char commandLine[] = "explorer.exe";
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  if (CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP, NULL,
                     NULL, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

}  // namespace

void ResetSilentMode(void) { g_silentMode = 0; }

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (_stricmp(argv[i], "/SILENT") == 0 || _stricmp(argv[i], "/Q") == 0) {
      g_silentMode = 1;
    } else if (_stricmp(argv[i], "/VER") == 0) {
      printf("VorlaxClean v%d.%02d.%d\n", VORLAX_VERSION_MAJOR, VORLAX_VERSION_MINOR, VORLAX_VERSION_BUILD);
      return 0;
    }
  }

  OpenLogFile();
  TRACE_INFO("VorlaxClean v%d.%02d.%d\n", VORLAX_VERSION_MAJOR, VORLAX_VERSION_MINOR, VORLAX_VERSION_BUILD);

  printf("W32/Vorlax Removal Tool ver %d.%02d.%d\n", VORLAX_VERSION_MAJOR, VORLAX_VERSION_MINOR,
         VORLAX_VERSION_BUILD);
  printf("Copyright (c) Morvane. All rights reserved.\n");
  printf("\n");

  if (IsWindowsNT() == 1 && IsUserAdmin() == 0) {
    if (!g_silentMode) {
      printf("Please log on to this workstation with administrator rights and\nrun the tool again.");
    }
    return 0;
  }

  int resultCode = 0;
  Disinfect_Vorlax(&resultCode, "Vorlax", 0, 1, 0, "*", 0);

  int exitCode = ReportOutcome();

  if (!g_silentMode) {
    printf("press any key to exit ...\n");
    fflush(stdout);  // the prompt must be seen before the wait, also through a pipe
    _getch();
  }

  StartShell();
  TRACE_INFO("Exiting, return value %d\n", exitCode);
  return exitCode;
}
