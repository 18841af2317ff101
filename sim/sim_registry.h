// Test-facing side of the simulated registry.
#ifndef VORLAX_SIM_SIM_REGISTRY_H
#define VORLAX_SIM_SIM_REGISTRY_H

#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

// Keys are written "HKEY_LOCAL_MACHINE\\Software\\...", case-insensitive as in Windows.
void RegPutKey(const std::string& key);
void RegPutValue(const std::string& key, const std::string& name, DWORD type, const std::string& bytes);
void RegPutString(const std::string& key, const std::string& name, const std::string& text);  // REG_SZ, NUL added
bool RegHasKey(const std::string& key);
bool RegGetValue(const std::string& key, const std::string& name, DWORD* type, std::string* bytes);
bool RegHasValue(const std::string& key, const std::string& name);
std::vector<std::string> RegValueNames(const std::string& key);
// How often RegFlushKey and RegCloseKey were called on handles opened for this key.
int RegFlushCount(const std::string& key);
int RegCloseCount(const std::string& key);
int RegOpenKeyCount();  // registry handles still open

}  // namespace sim

#endif
