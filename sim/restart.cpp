// A restart of the simulated machine: every program ends, then the delayed MoveFileEx
// operations run in the order they were recorded, then (9x family) WININIT.INI's [rename]
// section is carried out line by line and the file is renamed to WININIT.BAK. Each operation is
// recorded, so that a test can tell what a restart did.
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

// The restart clears a read-only attribute before it deletes or replaces a file.
DWORD DeleteAnyway(const std::string& path) {
  std::shared_ptr<Node> n = Lookup(path);
  if (n) n->attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  return DeleteNode(path);
}

// The destination goes first, read-only or not, even when the source is not there.
DWORD ReplaceOnto(const std::string& from, const std::string& to) {
  if (Lookup(to)) DeleteAnyway(to);
  return MoveNode(from, to, true);
}

// Carries out one operation and records it.
void CarryOut(RestartOperation op, std::vector<RestartOperation>* done, DWORD moveFlags) {
  op.fromFile = FullLongPath(op.from);
  DWORD error;
  if (op.deletion) {
    error = DeleteAnyway(op.from);
  } else if (op.fromWininit || (moveFlags & MOVEFILE_REPLACE_EXISTING)) {
    error = ReplaceOnto(op.from, op.to);
  } else {
    error = MoveNode(op.from, op.to, false);
  }
  op.done = !op.fromFile.empty() && error == 0;
  done->push_back(op);
}

void RunWininit(std::vector<RestartOperation>* done) {
  std::string dir = WindowsDirectory();
  std::string path = dir + "\\WININIT.INI";
  std::shared_ptr<Node> file = Lookup(path);
  if (!file || file->isDir) return;
  for (const RestartOperation& op : WininitOperations(file->data)) CarryOut(op, done, 0);
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

std::vector<RestartOperation> WininitOperations(const std::string& text) {
  std::vector<RestartOperation> ops;
  bool inRename = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() + 1 : end + 1;
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
    RestartOperation op;
    op.fromWininit = true;
    op.to = Trim(t.substr(0, eq));
    op.from = Trim(t.substr(eq + 1));
    op.deletion = Upper(op.to) == "NUL";
    if (op.deletion) op.to.clear();
    op.done = false;
    ops.push_back(op);
  }
  return ops;
}

std::vector<RestartOperation> Restart() {
  RunRestartHooks();
  std::vector<PendingOperation> pending = Pending();
  Pending().clear();
  std::vector<RestartOperation> done;
  for (const PendingOperation& p : pending) {
    RestartOperation op;
    op.fromWininit = false;
    op.from = p.from;
    op.to = p.to;
    op.deletion = p.deletion;
    op.done = false;
    CarryOut(op, &done, p.flags);
  }
  if (!IsNtFamily()) RunWininit(&done);
  StartShellAfterRestart();
  return done;
}

}  // namespace sim
