// Entry routine: options, log file, banner, rights check, the disinfection, the outcome
// report and the shell start.
#include "app/disinfect.h"
#include "app/outcome.h"
#include "app/platform_query.h"
#include "app/process_state.h"
#include "app/report.h"
#include "app/run_record.h"
#include "app/version.h"
#include "fileops/backup.h"
#include "trace/console_title.h"
#include "trace/trace.h"

namespace {

int g_silentMode = 0;

const char kHelpText[] =
    "W32/Vorlax Removal Tool ver 1.01.10260\n"
    "\n"
    "Usage: VorlaxClean.exe [/SILENT | /Q] [/DETECT] [/REPORT:path]\n"
    "       VorlaxClean.exe /SUMMARY:folder\n"
    "       VorlaxClean.exe /VER | /? | /H | /HELP\n"
    "\n"
    "  /SILENT, /Q      no administrator-rights message and no final key wait\n"
    "  /DETECT          detection only: examine the processes and every fixed drive,\n"
    "                   end nothing, delete nothing, leave the shell running\n"
    "  /REPORT:path     write an INI report of the run to path (also \\\\server\\share\\...),\n"
    "                   whole or not at all\n"
    "  /SUMMARY:folder  list the reports in folder, one row per computer, and the\n"
    "                   totals per outcome\n"
    "  /VER             print the version\n"
    "  /?, /H, /HELP    print this text\n"
    "  Any other argument is ignored.\n"
    "\n"
    "Exit codes:\n"
    "  0  no infection found (also /VER, /SUMMARY, this text, and the refusal\n"
    "     without administrator rights)\n"
    "  1  infection found and removed\n"
    "  2  infection found and removed; some removal waits for a restart\n"
    "  3  infection found; the removal of at least one file failed (wins over 2)\n"
    "  4  detection only: infection found and left in place\n"
    "\n"
    "The trace log is VorlaxClean.log in the Windows directory, appended on every run.\n";

int IsHelpOption(const char* argument) {
  return _stricmp(argument, "/?") == 0 || _stricmp(argument, "/H") == 0 || _stricmp(argument, "/HELP") == 0;
}

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

// The closing line of a detection run; 4 when an infection was found and left in place, a code
// no removal run gives.
int ReportDetection() {
  if (GetInfectionState() == kInfectionNone) {
    printf("Detection only: no infection found\n");
    TRACE_INFO("%s", "Detection only: no infection found\n");
    return 0;
  }
  printf("Detection only: infection found and left in place (infected processes: %d, infected files: %d)\n",
         DistinctProcessesFound(), DistinctFilesFound());
  TRACE_INFO("Detection only: infection found and left in place (infected processes: %d, infected files: %d)\n",
             DistinctProcessesFound(), DistinctFilesFound());
  return 4;
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
  int detectionOnly = 0;
  const char* reportPath = NULL;  // the last /REPORT: given
  const char* restoreNumber = NULL;  // /RESTORE:N; "" for /RESTORE: without a number
  int listBackups = 0;
  for (int i = 1; i < argc; ++i) {
    if (_stricmp(argv[i], "/SILENT") == 0 || _stricmp(argv[i], "/Q") == 0) {
      g_silentMode = 1;
    } else if (_stricmp(argv[i], "/VER") == 0) {
      printf("VorlaxClean v%d.%02d.%d\n", VORLAX_VERSION_MAJOR, VORLAX_VERSION_MINOR, VORLAX_VERSION_BUILD);
      return 0;
    } else if (IsHelpOption(argv[i])) {
      printf("%s", kHelpText);
      return 0;
    } else if (_stricmp(argv[i], "/DETECT") == 0) {
      detectionOnly = 1;
    } else if (_strnicmp(argv[i], "/REPORT:", 8) == 0) {
      reportPath = argv[i] + 8;
    } else if (_strnicmp(argv[i], "/SUMMARY:", 9) == 0) {
      return PrintReportSummary(argv[i] + 9);
    } else if (_stricmp(argv[i], "/NOBACKUP") == 0) {
      SetBackupsOn(0);
    } else if (_stricmp(argv[i], "/RESTORE") == 0) {
      listBackups = 1;
    } else if (_strnicmp(argv[i], "/RESTORE:", 9) == 0) {
      restoreNumber = argv[i] + 9;
    }
  }

  // Listing and restoring backups: nothing else happens; the log says what was done.
  if (listBackups || restoreNumber != NULL) {
    OpenLogFile();
    TRACE_INFO("VorlaxClean v%d.%02d.%d\n", VORLAX_VERSION_MAJOR, VORLAX_VERSION_MINOR, VORLAX_VERSION_BUILD);
    int code = restoreNumber != NULL ? RestoreBackup(restoreNumber) : ListBackups();
    TRACE_INFO("Exiting, return value %d\n", code);
    return code;
  }

  SYSTEMTIME started;
  memset(&started, 0, sizeof(started));
  if (reportPath != NULL) GetLocalTime(&started);
  if (detectionOnly) {
    SetDetectionOnly(1);
    SetShellKept(1);
  }
  if (detectionOnly || reportPath != NULL) SetRecording(1);

  OpenLogFile();
  TRACE_INFO("VorlaxClean v%d.%02d.%d\n", VORLAX_VERSION_MAJOR, VORLAX_VERSION_MINOR, VORLAX_VERSION_BUILD);
  if (detectionOnly) TRACE_INFO("%s", "Detection only: processes and drives are examined, nothing is changed\n");

  printf("W32/Vorlax Removal Tool ver %d.%02d.%d\n", VORLAX_VERSION_MAJOR, VORLAX_VERSION_MINOR,
         VORLAX_VERSION_BUILD);
  printf("Copyright (c) Morvane. All rights reserved.\n");
  printf("\n");

  if (IsWindowsNT() == 1 && IsUserAdmin() == 0) {
    if (!g_silentMode) {
      printf("Please log on to this workstation with administrator rights and\nrun the tool again.");
    }
    if (reportPath != NULL) {
      // Without a report a deployment counts the machine as not yet known, never as clean.
      if (!g_silentMode) printf("\n");
      printf("%s", "Report not written: the tool did not run without administrator rights\n");
      TRACE_ERROR("%s", "Report not written: the tool did not run without administrator rights\n");
    }
    return 0;
  }

  // Detection only makes no backup.
  if (detectionOnly) SetBackupsOn(0);
  BeginTitleProgress();
  int resultCode = 0;
  Disinfect_Vorlax(&resultCode, "Vorlax", 0, 1, 0, "*", 0);

  int exitCode = detectionOnly ? ReportDetection() : ReportOutcome();
  if (reportPath != NULL) {
    SYSTEMTIME finished;
    GetLocalTime(&finished);
    WriteRunReport(reportPath, &started, &finished, exitCode);
  }

  if (!g_silentMode) {
    printf("press any key to exit ...\n");
    fflush(stdout);  // the prompt must be seen before the wait, also through a pipe
    _getch();
  }

  if (!IsShellKept()) StartShell();
  TRACE_INFO("Exiting, return value %d\n", exitCode);
  EndTitleProgress();
  ReleaseRecords();
  ResetBackups();
  return exitCode;
}
