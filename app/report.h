// The run's report, an INI file for deployments that clean many machines, and the summary of a
// folder of such reports.
#ifndef VORLAX_APP_REPORT_H
#define VORLAX_APP_REPORT_H

#include "platform/win32.h"

// The last line of every report: a file without it was cut short.
extern const char kReportEndLine[];

// Writes the report of this run to path, whole or not at all: the text goes to path + ".$$$"
// beside it, every write and the close are checked, and only then is it moved onto path. An
// older report there is replaced only by a complete new one. 1 when written; otherwise one line
// on the console and in the trace says why, and 0 is returned.
int WriteRunReport(const char* path, const SYSTEMTIME* started, const SYSTEMTIME* finished, int exitCode);

// Prints one row per report ("*.ini") in folder, sorted by computer name, then the totals per
// outcome. A file that is not a complete report is listed as such. Returns 0.
int PrintReportSummary(const char* folder);

#endif
