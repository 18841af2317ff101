// A restart of the simulated machine: every program ends, then the delayed MoveFileEx
// operations run in the order they were recorded, then (9x family) WININIT.INI's [rename]
// section is carried out line by line and the file is renamed to WININIT.BAK.
#include <string>
#include <vector>

#include "sim/files_internal.h"

namespace sim {
namespace internal {

namespace {
std::vector<void (*)()>& RestartHooks() {
  static std::vector<void (*)()> hooks;
  return hooks;
}

std::string Trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = text.find_last_not_of(" \t\r");
  return text.substr(b, e - b + 1);
}

void ReplaceOnto(const std::string& from, const std::string& to) {
  if (Lookup(to)) {
    std::shared_ptr<Node> dest = Lookup(to);
    dest->attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    DeleteNode(to);
  }
  MoveNode(from, to, true);
}

void RunWininit() {
  std::string dir = WindowsDirectory();
  std::string path = dir + "\\WININIT.INI";
  std::shared_ptr<Node> file = Lookup(path);
  if (!file || file->isDir) return;
  std::string data = file->data;
  bool inRename = false;
  size_t start = 0;
  while (start <= data.size()) {
    size_t end = data.find('\n', start);
    std::string line = data.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? data.size() + 1 : end + 1;
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      size_t close = t.find(']');
      inRename = close != std::string::npos && Upper(Trim(t.substr(1, close - 1))) == "RENAME";
      continue;
    }
    if (!inRename) continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string dest = Trim(t.substr(0, eq));
    std::string src = Trim(t.substr(eq + 1));
    if (Upper(dest) == "NUL") {
      std::shared_ptr<Node> n = Lookup(src);
      if (n) n->attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
      DeleteNode(src);
    } else {
      ReplaceOnto(src, dest);
    }
  }
  std::string bak = dir + "\\WININIT.BAK";
  DeleteNode(bak);
  MoveNode(path, bak, true);
}
}  // namespace

RestartHook::RestartHook(void (*fn)()) { RestartHooks().push_back(fn); }
void RunRestartHooks() {
  for (void (*fn)() : RestartHooks()) fn();
}

}  // namespace internal

using namespace internal;

void Restart() {
  RunRestartHooks();
  std::vector<PendingOperation> ops = Pending();
  Pending().clear();
  for (const PendingOperation& op : ops) {
    if (op.deletion) {
      std::shared_ptr<Node> n = Lookup(op.from);
      if (n) n->attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
      DeleteNode(op.from);
    } else if (op.flags & MOVEFILE_REPLACE_EXISTING) {
      ReplaceOnto(op.from, op.to);
    } else {
      MoveNode(op.from, op.to, false);
    }
  }
  if (!IsNtFamily()) RunWininit();
  StartShellAfterRestart();
}

}  // namespace sim
