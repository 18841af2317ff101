// One reset for the product's process-wide state, each module resetting its own.
#include "app/process_state.h"

#include "app/outcome.h"
#include "app/platform_query.h"
#include "app/run_record.h"
#include "fileops/backup.h"
#include "protection/protection.h"
#include "trace/console_title.h"
#include "trace/trace.h"

void ResetProcessState(void) {
  ResetSilentMode();
  ResetPlatformQuery();
  ResetOutcome();
  ResetRunRecord();
  ResetBackups();
  ResetProtection();
  ResetTitleProgress();
  ResetTrace();
}
