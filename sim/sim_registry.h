// Test-facing side of the simulated registry.
#ifndef VORLAX_SIM_SIM_REGISTRY_H
#define VORLAX_SIM_SIM_REGISTRY_H

#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

// Keys are written "HKEY_LOCAL_MACHINE\\Software\\...", case-insensitive as in Windows. The
// roots are HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS and
// HKEY_CURRENT_CONFIG; each is a tree of its own. The registry survives sim::Restart().
void RegPutKey(const std::string& key);
void RegPutValue(const std::string& key, const std::string& name, DWORD type, const std::string& bytes);
void RegPutString(const std::string& key, const std::string& name, const std::string& text);  // REG_SZ, NUL added
void RegPutDword(const std::string& key, const std::string& name, DWORD value);
bool RegHasKey(const std::string& key);
bool RegGetValue(const std::string& key, const std::string& name, DWORD* type, std::string* bytes);
bool RegHasValue(const std::string& key, const std::string& name);
std::vector<std::string> RegValueNames(const std::string& key);  // in the order they were first set
// How often RegFlushKey and RegCloseKey were called on handles opened for this key.
int RegFlushCount(const std::string& key);
int RegCloseCount(const std::string& key);
int RegOpenKeyCount();  // registry handles still open

// Every successful RegOpenKeyExA and RegCreateKeyExA, in order, with the key it reached.
struct RegOpenRecord {
  std::string api;  // "RegOpenKeyExA" or "RegCreateKeyExA"
  std::string key;  // full path, spelled as the key is stored
  REGSAM access;
  DWORD options;
  bool created;     // RegCreateKeyExA made the key
};
const std::vector<RegOpenRecord>& RegOpens();

}  // namespace sim

#endif
