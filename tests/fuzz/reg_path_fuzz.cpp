// Fuzz target for registry paths: any string as ROOT\key\path\\value name|data, opened for
// reading or writing (OpenRegPath), read into a 16-byte buffer (ReadRegValue) or written
// (SetRegValue) against a small simulated registry, with or without an allocation or key-open
// failure. The path is split here a second way, from the syntax rules alone, and the product
// must agree with it: the result code, the value name and data it hands out, which key it
// opened and how, the registry afterwards. The caller's string must come back unchanged, and
// once the caller has closed what it was given no key handle may stay open (leaks of the heap
// copies are the sanitizer's to find).
//
// Input: one control byte, then the path (up to the first NUL).
//   bits 0-1  mode passed to OpenRegPath: 0, 1 (writing), 2, -1
//   bit  2    ask OpenRegPath for the data part
//   bits 3-5  fault: 0 none, 1-3 the Nth allocation fails, 4 key open and create fail,
//             5 every allocation fails, 6-7 none
//   bits 6-7  operation: 0-1 OpenRegPath, 2 ReadRegValue, 3 SetRegValue (REG_DWORD when bit 0
//             is set, else REG_SZ)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fileops/reg_path.h"
#include "sim/sim.h"
#include "sim/sim_registry.h"

namespace {

const char kRun[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kVigilo[] = "HKEY_LOCAL_MACHINE\\Software\\Morvane\\Teskaro\\Vigilo";

[[noreturn]] void Fail(const char* what, const std::string& path) {
  fprintf(stderr, "reg_path_fuzz: %s\npath: \"%s\"\n", what, path.c_str());
  abort();
}

char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

std::string CutSpaces(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The path split by the syntax rules alone.
struct Split {
  bool ok = false;      // false: syntax error or a root name not in the table
  std::string root;     // the table's spelling
  HKEY rootKey = NULL;
  std::string keyPath;
  std::string valueName;
  bool hasData = false;
  std::string data;
};

Split SplitPath(const std::string& path) {
  static const struct {
    const char* name;
    HKEY key;
  } kRoots[] = {{"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                {"HKEY_USERS", HKEY_USERS}};
  Split s;
  size_t rootEnd = path.find('\\');
  if (rootEnd == std::string::npos) return s;
  // The first doubled backslash at or after the root's own one ends the key path; when the
  // root's backslash is itself the first of the pair, the key path is empty.
  size_t pair = path.find("\\\\", rootEnd);
  if (pair == std::string::npos) return s;
  std::string rootName = path.substr(0, rootEnd);
  for (const auto& r : kRoots) {
    if (SameNoCase(rootName, r.name)) {
      s.root = r.name;
      s.rootKey = r.key;
      break;
    }
  }
  if (s.rootKey == NULL) return s;
  s.keyPath = pair == rootEnd ? std::string() : path.substr(rootEnd + 1, pair - rootEnd - 1);
  std::string rest = path.substr(pair + 2);
  size_t bar = rest.find('|');
  if (bar == std::string::npos) {
    s.valueName = CutSpaces(rest);
  } else {
    s.valueName = rest.substr(0, bar);
    s.hasData = true;
    s.data = CutSpaces(rest.substr(bar + 1));
  }
  s.ok = true;
  return s;
}

std::string FullKey(const Split& s) { return s.keyPath.empty() ? s.root : s.root + "\\" + s.keyPath; }

void BuildRegistry() {
  sim::Reset();
  sim::RegPutString(kRun, "Windows Update", "C:\\WINDOWS\\SYSTEM\\vorlax.exe");
  sim::RegPutString(kVigilo, "DeviceName", "TKVIGILO");
  sim::RegPutDword(kVigilo, "Enabled", 1);
  sim::RegPutString("HKEY_CLASSES_ROOT\\exefile", "", "Application");
  sim::RegPutKey("HKEY_CURRENT_USER\\Software\\Morvane");
  sim::RegPutString("HKEY_USERS\\.DEFAULT\\Control Panel", "Short", "1");
  sim::RegPutString("HKEY_LOCAL_MACHINE", "Root Value", "x");
  // Only reachable with a root name the table does not hold.
  sim::RegPutString("HKEY_CURRENT_CONFIG\\System", "Config", "y");
}

// What the open step must give for this split, before any fault.
unsigned ExpectedOpen(const Split& s, bool writing, bool keyExisted) {
  if (!s.ok) return kRegSyntax;
  if (s.keyPath.empty() || writing) return kRegOk;
  return keyExisted ? kRegOk : kRegKeyFailed;
}

// The same with the control byte's fault: allocations are the working copy, the value name
// and (when asked for and present) the data; the key open or create is the only key call.
unsigned WithFault(unsigned expected, int fault, const Split& s, bool wantData) {
  const unsigned outOfMemory = kRegOutOfMemory;
  const unsigned keyFailed = kRegKeyFailed;
  switch (fault) {
    case 1:
    case 5:
      return kRegOutOfMemory;
    case 2:
      return expected == kRegOk ? outOfMemory : expected;
    case 3:
      return expected == kRegOk && wantData && s.hasData ? outOfMemory : expected;
    case 4:
      return expected == kRegOk && !s.keyPath.empty() ? keyFailed : expected;
    default:
      return expected;
  }
}

void CheckOpenCalls(const Split& s, bool writing, int fault, bool keyExisted, const std::string& path) {
  const std::vector<sim::RegOpenRecord>& opens = sim::RegOpens();
  // Only successful opens are recorded: a well-formed path with a key path whose key could be
  // reached, unless the working copy could not be made or the open itself was made to fail.
  size_t expected =
      s.ok && !s.keyPath.empty() && fault != 1 && fault != 4 && fault != 5 && (writing || keyExisted) ? 1 : 0;
  if (opens.size() != expected) Fail("unexpected number of key opens", path);
  if (expected == 0) return;
  const sim::RegOpenRecord& r = opens[0];
  if (!SameNoCase(r.key, FullKey(s))) Fail("a different key was opened", path);
  if (writing) {
    if (r.api != "RegCreateKeyExA" || r.access != KEY_ALL_ACCESS || r.options != REG_OPTION_NON_VOLATILE)
      Fail("a key for writing is not created non-volatile with full access", path);
  } else if (r.api != "RegOpenKeyExA" || r.access != KEY_READ || r.created) {
    Fail("a key for reading is not opened read-only", path);
  }
}

char gSentinel[2];

void FuzzOpen(const char* path, const Split& s, int mode, bool wantData, int fault, bool keyExisted) {
  const bool writing = mode == 1;
  unsigned expected = WithFault(ExpectedOpen(s, writing, keyExisted), fault, s, wantData);

  HKEY key = reinterpret_cast<HKEY>(gSentinel);
  char* valueName = gSentinel;
  char* data = gSentinel;
  int isRoot = -1;
  unsigned result = OpenRegPath(&key, &valueName, wantData ? &data : NULL, &isRoot, path, mode);
  if (result != expected) Fail("wrong result code", path);
  CheckOpenCalls(s, writing, fault, keyExisted, path);

  if (result != kRegOk) {
    // Nothing the caller must release: no copies and no open key.
    if (valueName != NULL && valueName != gSentinel) Fail("a value name handed out with an error", path);
    if (wantData && data != NULL && data != gSentinel) Fail("data handed out with an error", path);
    if (!wantData && data != gSentinel) Fail("data written though not asked for", path);
    if (sim::RegOpenKeyCount() != 0) Fail("a key left open after an error", path);
    return;
  }

  if (valueName == NULL || valueName == gSentinel || s.valueName != valueName) Fail("wrong value name", path);
  if (!wantData) {
    if (data != gSentinel) Fail("data written though not asked for", path);
  } else if (!s.hasData) {
    if (data != NULL) Fail("data handed out for a path without a vertical bar", path);
  } else if (data == NULL || data == gSentinel || s.data != data) {
    Fail("wrong data", path);
  }
  if (s.keyPath.empty()) {
    if (isRoot != 1 || key != s.rootKey) Fail("the root key is not handed out as the root", path);
    if (sim::RegOpenKeyCount() != 0) Fail("a key opened for the root itself", path);
  } else {
    if (isRoot != 0 || key == NULL || key == s.rootKey) Fail("no key of its own for a key path", path);
    if (sim::RegOpenKeyCount() != 1) Fail("not exactly one key open", path);
    if (writing && !sim::RegHasKey(FullKey(s))) Fail("the key was not created", path);
    if (RegCloseKey(key) != ERROR_SUCCESS) Fail("the key handed out cannot be closed", path);
  }
  free(valueName);
  if (wantData) free(data);
}

void FuzzRead(const char* path, const Split& s, int fault, bool keyExisted) {
  unsigned expected = WithFault(ExpectedOpen(s, false, keyExisted), fault, s, false);
  std::string stored;
  if (expected == kRegOk) {
    if (!sim::RegGetValue(FullKey(s), s.valueName, NULL, &stored)) {
      expected = kRegValueFailed;
    } else if (stored.size() > 16) {
      expected = kRegBufferTooSmall;
    }
  }
  unsigned char buffer[16];
  memset(buffer, 0xCC, sizeof(buffer));
  unsigned result = ReadRegValue(buffer, sizeof(buffer), path);
  if (result != expected) Fail("wrong result code", path);
  CheckOpenCalls(s, false, fault, keyExisted, path);
  if (result == kRegOk && memcmp(buffer, stored.data(), stored.size()) != 0) Fail("wrong bytes read", path);
}

void FuzzSet(const char* path, const Split& s, bool dword, int fault, bool keyExisted) {
  unsigned expected = WithFault(ExpectedOpen(s, true, keyExisted), fault, s, true);
  bool valueExisted = s.ok && sim::RegHasValue(FullKey(s), s.valueName);
  if (expected == kRegOk) {
    if (!s.hasData) {
      expected = kRegSyntax;
    } else if (s.data.empty() && !valueExisted) {
      expected = kRegValueFailed;
    }
  }
  unsigned result = SetRegValue(path, 1, dword ? REG_DWORD : 0);
  if (result != expected) Fail("wrong result code", path);
  CheckOpenCalls(s, true, fault, keyExisted, path);
  if (result != kRegOk) return;

  DWORD type = 0;
  std::string bytes;
  bool present = sim::RegGetValue(FullKey(s), s.valueName, &type, &bytes);
  if (s.data.empty()) {
    if (present) Fail("the value was not deleted", path);
  } else if (dword) {
    // The data as a decimal number: blanks, an optional sign, digits; 0 without digits.
    uint32_t number = static_cast<uint32_t>(atol(s.data.c_str()));
    std::string want(4, '\0');
    for (int i = 0; i < 4; ++i) want[static_cast<size_t>(i)] = static_cast<char>((number >> (8 * i)) & 0xFFu);
    if (!present || type != REG_DWORD || bytes != want) Fail("wrong number stored", path);
  } else if (!present || type != REG_SZ || bytes != s.data + std::string(1, '\0')) {
    Fail("wrong text stored", path);
  }
  if (!s.keyPath.empty() && (sim::RegFlushCount(FullKey(s)) != 1 || sim::RegCloseCount(FullKey(s)) != 1))
    Fail("the key was not flushed and closed once", path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = input[0];
  static const int kModes[] = {0, 1, 2, -1};
  const int mode = kModes[control & 3];
  const bool wantData = (control & 4) != 0;
  const int fault = (control >> 3) & 7;
  const int operation = control >> 6;

  // The path in a block of its own size, so that any read past its end is caught.
  std::string text(reinterpret_cast<const char*>(input + 1), size - 1);
  text = text.c_str();
  // (The machine is made first: its reset clears the faults of the previous input.)
  BuildRegistry();
  char* path = static_cast<char*>(malloc(text.size() + 1));
  memcpy(path, text.c_str(), text.size() + 1);

  const Split s = SplitPath(text);
  const bool keyExisted = s.ok && sim::RegHasKey(FullKey(s));
  const int handlesBefore = sim::OpenHandleCount();
  // Allocations are counted from the reset; the product's come after the ones made here.
  const long allocsBefore = sim::FaultCallCount(sim::kFaultAlloc);
  if (fault >= 1 && fault <= 3) sim::SetSweepFault(sim::kFaultAlloc, allocsBefore + fault, false);
  if (fault == 5) sim::SetSweepFault(sim::kFaultAlloc, allocsBefore + 1, true);
  if (fault == 4) {
    if (!sim::FailApi("RegOpenKeyExA") || !sim::FailApi("RegCreateKeyExA")) Fail("the machine refused a fault", text);
  }

  if (operation < 2) {
    FuzzOpen(path, s, mode, wantData, fault, keyExisted);
  } else if (operation == 2) {
    FuzzRead(path, s, fault, keyExisted);
  } else {
    FuzzSet(path, s, (control & 1) != 0, fault, keyExisted);
  }

  if (text != path) Fail("the caller's string was changed", text);
  if (sim::RegOpenKeyCount() != 0 || sim::OpenHandleCount() != handlesBefore) Fail("a handle stayed open", text);
  if (!s.ok && !sim::RegOpens().empty()) Fail("a key opened for a malformed path", text);
  free(path);
  return 0;
}
