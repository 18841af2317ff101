// Progress in the console window's title.
#include "trace/console_title.h"

#include "trace/trace.h"

const DWORD kTitleInterval = 250;

namespace {

const char kTitlePrefix[] = "VorlaxClean: ";

int g_active = 0;
char g_keptTitle[512];
DWORD g_lastShown = 0;
unsigned long g_examined = 0;
char g_drive[4];

void ShowTitle(const char* text) {
  if (SetConsoleTitleA(text)) g_lastShown = GetTickCount();
}

}  // namespace

void BeginTitleProgress(void) {
  g_examined = 0;
  g_drive[0] = '\0';
  // 0 is both an empty title and a failure (no console window): only the failure sets the last
  // error. Without a console window the title is left alone throughout.
  g_keptTitle[0] = '\0';
  SetLastError(0);
  DWORD length = GetConsoleTitleA(g_keptTitle, sizeof(g_keptTitle));
  g_active = length > 0 || GetLastError() == 0 ? 1 : 0;
  if (length == 0) g_keptTitle[0] = '\0';
  g_keptTitle[sizeof(g_keptTitle) - 1] = '\0';
}

void ShowPhaseTitle(const char* phase) {
  if (!g_active) return;
  char title[128];
  FormatText(title, sizeof(title), "%s%s", kTitlePrefix, phase);
  ShowTitle(title);
}

void CountExaminedFile(const char* path) {
  if (!g_active) return;
  ++g_examined;
  // A new drive is shown at once, with its first file.
  int newDrive = _strnicmp(g_drive, path, 3) != 0;
  if (!newDrive && GetTickCount() - g_lastShown < kTitleInterval) return;
  if (newDrive) {
    strncpy(g_drive, path, 3);
    g_drive[3] = '\0';
  }
  char title[128];
  FormatText(title, sizeof(title), "%sscanning %s (%lu files examined)", kTitlePrefix, g_drive, g_examined);
  ShowTitle(title);
}

void EndTitleProgress(void) {
  if (!g_active) return;
  g_active = 0;
  SetConsoleTitleA(g_keptTitle);
}

void ResetTitleProgress(void) {
  g_active = 0;
  g_keptTitle[0] = '\0';
  g_lastShown = 0;
  g_examined = 0;
  g_drive[0] = '\0';
}
