// Placeholder until protection control lands.
#include "protection/protection.h"
void SetRealTimeProtection(int) {}
