// The simulated registry: five predefined roots, each a tree of keys with typed values. Key
// and value names compare without case and keep the spelling they were created with. Key
// handles live in the shared handle table; the predefined roots are not handles and must
// never be flushed or closed (the process aborts when the product does).
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/internal.h"
#include "sim/sim_registry.h"

namespace sim {
namespace internal {
namespace {

struct RegValue {
  std::string name;
  DWORD type = REG_NONE;
  std::string bytes;
};

struct RegKeyNode {
  std::string name;
  std::string path;                                            // full path, stored spelling
  std::map<std::string, std::shared_ptr<RegKeyNode>> children;  // by upper-case name
  std::vector<RegValue> values;                                 // in the order first set

  RegValue* FindValue(const std::string& valueName) {
    std::string upper = Upper(valueName);
    for (RegValue& v : values)
      if (Upper(v.name) == upper) return &v;
    return nullptr;
  }

  // Replaces the value's type and data, or adds it at the end (keeping its first spelling).
  void SetValue(const std::string& valueName, DWORD type, const std::string& bytes) {
    RegValue* v = FindValue(valueName);
    if (v == nullptr) {
      values.push_back(RegValue());
      v = &values.back();
      v->name = valueName;
    }
    v->type = type;
    v->bytes = bytes;
  }
};

struct RootInfo {
  HKEY key;
  const char* name;
};
const RootInfo kRoots[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},   {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"}, {HKEY_USERS, "HKEY_USERS"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
};

struct RegistryState {
  std::map<std::string, std::shared_ptr<RegKeyNode>> roots;  // by upper-case root name
  std::map<std::string, int> flushes;                        // by upper-case full path
  std::map<std::string, int> closes;
  std::set<HANDLE> handles;
  std::vector<RegOpenRecord> opens;
};

// Never destroyed: key handles may outlive static destruction order.
RegistryState& State() {
  static RegistryState* state = new RegistryState();
  return *state;
}

void ResetRegistry() {
  RegistryState& s = State();
  s = RegistryState();
  for (const RootInfo& r : kRoots) {
    auto node = std::make_shared<RegKeyNode>();
    node->name = r.name;
    node->path = r.name;
    s.roots[Upper(r.name)] = node;
  }
}
ResetHook g_registryHook(&ResetRegistry);

struct RegKeyObject : HandleObject {
  const char* Kind() const override { return "registry key"; }
  std::shared_ptr<RegKeyNode> node;
  REGSAM access = 0;
};

bool IsPredefined(HKEY key) {
  for (const RootInfo& r : kRoots)
    if (r.key == key) return true;
  return key == HKEY_DYNAMIC_DATA;
}

[[noreturn]] void Die(const char* api, HKEY key) {
  fprintf(stderr,
          "sim: %s called on the predefined root key %p; the product must never flush or close a "
          "root key\n",
          api, static_cast<void*>(key));
  fflush(stderr);
  abort();
}

// The key a handle stands for, with its access rights; NULL for an unknown handle.
std::shared_ptr<RegKeyNode> Resolve(HKEY key, REGSAM* access) {
  for (const RootInfo& r : kRoots) {
    if (r.key == key) {
      if (access) *access = KEY_ALL_ACCESS;
      return State().roots[Upper(r.name)];
    }
  }
  RegKeyObject* object = FindHandleAs<RegKeyObject>(reinterpret_cast<HANDLE>(key));
  if (object == nullptr) return nullptr;
  if (access) *access = object->access;
  return object->node;
}

// Splits "a\b\c" into its names; false for an empty name inside the path or a leading
// backslash (Windows: ERROR_BAD_PATHNAME). One trailing backslash is tolerated.
bool SplitKeyPath(const char* subKey, std::vector<std::string>* parts) {
  parts->clear();
  if (subKey == nullptr || *subKey == '\0') return true;
  std::string path = subKey;
  if (path[0] == '\\') return false;
  if (path.back() == '\\') path.pop_back();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end == start) return false;
    parts->push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// Walks (and with create, makes) the keys below node; *created tells whether the last was new.
std::shared_ptr<RegKeyNode> Walk(std::shared_ptr<RegKeyNode> node, const std::vector<std::string>& parts,
                                 bool create, bool* created) {
  if (created) *created = false;
  for (const std::string& part : parts) {
    std::string upper = Upper(part);
    auto it = node->children.find(upper);
    if (it == node->children.end()) {
      if (!create) return nullptr;
      auto child = std::make_shared<RegKeyNode>();
      child->name = part;
      child->path = node->path + "\\" + part;
      node->children[upper] = child;
      node = child;
      if (created) *created = true;
    } else {
      node = it->second;
      if (created) *created = false;
    }
  }
  return node;
}

// Test side: "ROOT\a\b" to its node.
std::shared_ptr<RegKeyNode> FindTestKey(const std::string& key, bool create) {
  std::string rootName = key.substr(0, key.find('\\'));
  auto root = State().roots.find(Upper(rootName));
  if (root == State().roots.end()) {
    fprintf(stderr, "sim: unknown registry root in \"%s\"\n", key.c_str());
    abort();
  }
  std::vector<std::string> parts;
  if (key.size() > rootName.size() && !SplitKeyPath(key.c_str() + rootName.size() + 1, &parts)) {
    fprintf(stderr, "sim: malformed registry key \"%s\"\n", key.c_str());
    abort();
  }
  return Walk(root->second, parts, create, nullptr);
}

std::string CanonicalKey(const std::string& key) {
  std::shared_ptr<RegKeyNode> node = FindTestKey(key, false);
  return Upper(node ? node->path : key);
}

HKEY AddKeyHandle(const std::shared_ptr<RegKeyNode>& node, REGSAM access) {
  auto object = std::make_unique<RegKeyObject>();
  object->node = node;
  object->access = access;
  HANDLE handle = AddHandle(std::move(object));
  State().handles.insert(handle);
  return reinterpret_cast<HKEY>(handle);
}

}  // namespace
}  // namespace internal

using namespace internal;

// ---------------------------------------------------------------- test-facing API
void RegPutKey(const std::string& key) { FindTestKey(key, true); }

void RegPutValue(const std::string& key, const std::string& name, DWORD type, const std::string& bytes) {
  FindTestKey(key, true)->SetValue(name, type, bytes);
}

void RegPutString(const std::string& key, const std::string& name, const std::string& text) {
  RegPutValue(key, name, REG_SZ, text + std::string(1, '\0'));
}

void RegPutDword(const std::string& key, const std::string& name, DWORD value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
  RegPutValue(key, name, REG_DWORD, bytes);
}

bool RegHasKey(const std::string& key) { return FindTestKey(key, false) != nullptr; }

bool RegGetValue(const std::string& key, const std::string& name, DWORD* type, std::string* bytes) {
  std::shared_ptr<RegKeyNode> node = FindTestKey(key, false);
  if (!node) return false;
  RegValue* v = node->FindValue(name);
  if (v == nullptr) return false;
  if (type) *type = v->type;
  if (bytes) *bytes = v->bytes;
  return true;
}

bool RegHasValue(const std::string& key, const std::string& name) {
  return RegGetValue(key, name, nullptr, nullptr);
}

std::vector<std::string> RegValueNames(const std::string& key) {
  std::vector<std::string> names;
  std::shared_ptr<RegKeyNode> node = FindTestKey(key, false);
  if (node)
    for (const RegValue& v : node->values) names.push_back(v.name);
  return names;
}

int RegFlushCount(const std::string& key) {
  auto it = State().flushes.find(CanonicalKey(key));
  return it == State().flushes.end() ? 0 : it->second;
}

int RegCloseCount(const std::string& key) {
  auto it = State().closes.find(CanonicalKey(key));
  return it == State().closes.end() ? 0 : it->second;
}

int RegOpenKeyCount() {
  int count = 0;
  for (HANDLE h : State().handles)
    if (FindHandleAs<RegKeyObject>(h) != nullptr) ++count;
  return count;
}

const std::vector<RegOpenRecord>& RegOpens() { return State().opens; }

}  // namespace sim

using namespace sim;
using namespace sim::internal;

// ---------------------------------------------------------------- Win32: registry
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (Fault<FaultRow("RegOpenKeyExA")>()) return static_cast<LONG>(GetLastError());
  std::shared_ptr<RegKeyNode> parent = Resolve(key, nullptr);
  if (!parent) return ERROR_INVALID_HANDLE;
  std::vector<std::string> parts;
  if (!SplitKeyPath(subKey, &parts)) return 161;  // ERROR_BAD_PATHNAME
  std::shared_ptr<RegKeyNode> node = Walk(parent, parts, false, nullptr);
  if (!node) return ERROR_FILE_NOT_FOUND;
  *result = AddKeyHandle(node, access);
  State().opens.push_back(RegOpenRecord{"RegOpenKeyExA", node->path, access, options, false});
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) {
  (void)className;
  (void)security;
  if (result == nullptr || reserved != 0) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (Fault<FaultRow("RegCreateKeyExA")>()) return static_cast<LONG>(GetLastError());
  std::shared_ptr<RegKeyNode> parent = Resolve(key, nullptr);
  if (!parent) return ERROR_INVALID_HANDLE;
  std::vector<std::string> parts;
  if (!SplitKeyPath(subKey, &parts)) return 161;  // ERROR_BAD_PATHNAME
  bool created = false;
  std::shared_ptr<RegKeyNode> node = Walk(parent, parts, true, &created);
  *result = AddKeyHandle(node, access);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  State().opens.push_back(RegOpenRecord{"RegCreateKeyExA", node->path, access, options, created});
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (Fault<FaultRow("RegQueryValueExA")>()) return static_cast<LONG>(GetLastError());
  REGSAM access = 0;
  std::shared_ptr<RegKeyNode> node = Resolve(key, &access);
  if (!node) return ERROR_INVALID_HANDLE;
  if ((access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  RegValue* v = node->FindValue(valueName ? valueName : "");
  if (v == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  DWORD size = static_cast<DWORD>(v->bytes.size());
  if (data == nullptr) {
    if (dataSize) *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  memcpy(data, v->bytes.data(), size);
  *dataSize = size;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataSize) {
  (void)reserved;
  if (data == nullptr && dataSize != 0) return ERROR_NOACCESS;
  if (Fault<FaultRow("RegSetValueExA")>()) return static_cast<LONG>(GetLastError());
  REGSAM access = 0;
  std::shared_ptr<RegKeyNode> node = Resolve(key, &access);
  if (!node) return ERROR_INVALID_HANDLE;
  if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  node->SetValue(valueName ? valueName : "", type,
                 data ? std::string(reinterpret_cast<const char*>(data), dataSize) : std::string());
  return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName) {
  if (Fault<FaultRow("RegDeleteValueA")>()) return static_cast<LONG>(GetLastError());
  REGSAM access = 0;
  std::shared_ptr<RegKeyNode> node = Resolve(key, &access);
  if (!node) return ERROR_INVALID_HANDLE;
  if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  std::string upper = Upper(valueName ? valueName : "");
  for (auto it = node->values.begin(); it != node->values.end(); ++it) {
    if (Upper(it->name) == upper) {
      node->values.erase(it);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

LONG RegFlushKey(HKEY key) {
  if (IsPredefined(key)) Die("RegFlushKey", key);
  if (Fault<FaultRow("RegFlushKey")>()) return static_cast<LONG>(GetLastError());
  RegKeyObject* object = FindHandleAs<RegKeyObject>(reinterpret_cast<HANDLE>(key));
  if (object == nullptr) return ERROR_INVALID_HANDLE;
  ++State().flushes[Upper(object->node->path)];
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (IsPredefined(key)) Die("RegCloseKey", key);
  HANDLE handle = reinterpret_cast<HANDLE>(key);
  RegKeyObject* object = FindHandleAs<RegKeyObject>(handle);
  if (object == nullptr) return ERROR_INVALID_HANDLE;
  ++State().closes[Upper(object->node->path)];
  State().handles.erase(handle);
  // A close that reports an error has released the handle all the same.
  bool fail = Fault<FaultRow("RegCloseKey")>();
  RemoveHandle(handle);
  return fail ? static_cast<LONG>(GetLastError()) : ERROR_SUCCESS;
}
