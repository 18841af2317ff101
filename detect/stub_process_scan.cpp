// Placeholder until the process scan lands.
#include "detect/process_scan.h"
int TerminateInfectedProcesses(InfectionTest) { return 1; }
