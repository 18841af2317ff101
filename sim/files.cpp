// The simulated disks: drives, directory trees with case-insensitive names and 8.3 aliases,
// open handles with share modes, running images, restart-time operations, and the C runtime's
// streams over simulated file contents.
#include <errno.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/files_internal.h"

#undef fopen
#undef remove
#undef rename

namespace sim {
namespace internal {

namespace {

struct Drive {
  UINT type;
  std::shared_ptr<Node> root;
  uint64_t freeBytes = 20ull << 30;
  bool readOnly = false;
};

struct OpenRecord {
  std::shared_ptr<Node> node;
  DWORD access;
  DWORD share;
};

struct FileState {
  std::map<char, Drive> drives;
  std::map<int, OpenRecord> opens;
  int nextOpen = 1;
  std::vector<PendingOperation> pending;
  DWORD nextIndex = 0x40;  // below it the file system's own records, the root's among them
};
// Never destroyed: a stream closed at process exit (the trace log's) still finds its disk.
FileState& g_files = *new FileState;

bool WantsRead(DWORD access) { return (access & (GENERIC_READ | GENERIC_ALL | GENERIC_EXECUTE | 0x1u)) != 0; }
bool WantsWrite(DWORD access) { return (access & (GENERIC_WRITE | GENERIC_ALL | 0x2u | 0x4u)) != 0; }
bool WantsDelete(DWORD access) { return (access & (DELETE | GENERIC_ALL)) != 0; }

Drive* DriveOf(const std::string& path) {
  if (path.size() < 2 || path[1] != ':') return nullptr;
  auto it = g_files.drives.find(static_cast<char>(toupper(static_cast<unsigned char>(path[0]))));
  return it == g_files.drives.end() ? nullptr : &it->second;
}

bool WriteProtected(const std::string& path) {
  Drive* d = DriveOf(path);
  return d != nullptr && d->readOnly;
}

void ResetFiles() {
  g_files = FileState();
  AddDrive('C', DRIVE_FIXED);
  MakeDirectory("C:\\windows\\system32");
  PutFile("C:\\vctool\\VorlaxClean.exe", std::string(4096, 'M'));
}
ResetHook g_filesHook(&ResetFiles);

// At a restart every program has ended: nothing holds a file open and no image is mapped.
void ReleaseAllOpens() {
  g_files.opens.clear();
  std::vector<std::shared_ptr<Node>> stack;
  for (auto& d : g_files.drives) stack.push_back(d.second.root);
  while (!stack.empty()) {
    std::shared_ptr<Node> n = stack.back();
    stack.pop_back();
    n->imageMaps = 0;
    for (auto& kv : n->children)
      if (kv.second->linkTarget.empty()) stack.push_back(kv.second);
  }
}
RestartHook g_filesRestartHook(&ReleaseAllOpens);

}  // namespace

bool SplitPath(const std::string& path, char* drive, std::vector<std::string>* parts) {
  if (path.size() < 2 || path[1] != ':' || !isalpha(static_cast<unsigned char>(path[0]))) return false;
  *drive = static_cast<char>(toupper(static_cast<unsigned char>(path[0])));
  parts->clear();
  std::string current;
  for (size_t i = 2; i < path.size(); ++i) {
    char c = path[i];
    if (c == '\\' || c == '/') {
      if (!current.empty()) parts->push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts->push_back(current);
  // "." and ".." as Windows folds them.
  std::vector<std::string> folded;
  for (const std::string& p : *parts) {
    if (p == ".") continue;
    if (p == "..") {
      if (!folded.empty()) folded.pop_back();
      continue;
    }
    folded.push_back(p);
  }
  *parts = folded;
  return true;
}


std::shared_ptr<Node> ChildOf(const std::shared_ptr<Node>& dir, const std::string& name) {
  std::shared_ptr<Node> real = Follow(dir, 0);
  if (!real || !real->isDir) return nullptr;
  std::string key = Upper(name);
  auto it = real->children.find(key);
  if (it != real->children.end()) return it->second;
  // An 8.3 alias names the same entry.
  for (auto& kv : real->children)
    if (!kv.second->shortName.empty() && Upper(kv.second->shortName) == key) return kv.second;
  return nullptr;
}

std::shared_ptr<Node> Follow(const std::shared_ptr<Node>& node, int depth) {
  if (!node || node->linkTarget.empty()) return node;
  if (depth > 32) return nullptr;
  std::shared_ptr<Node> target = Lookup(node->linkTarget);
  return Follow(target, depth + 1);
}

std::shared_ptr<Node> Lookup(const std::string& path, std::shared_ptr<Node>* parent, std::string* leaf,
                             DWORD* error) {
  char drive;
  std::vector<std::string> parts;
  if (error) *error = ERROR_PATH_NOT_FOUND;
  if (!SplitPath(path, &drive, &parts)) return nullptr;
  auto d = g_files.drives.find(drive);
  if (d == g_files.drives.end()) return nullptr;
  if (path.size() > 2 && path[2] != '\\' && path[2] != '/') return nullptr;  // relative to a drive
  std::shared_ptr<Node> node = d->second.root;
  if (parts.empty()) {
    if (parent) *parent = nullptr;
    if (leaf) leaf->clear();
    return node;
  }
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    node = ChildOf(node, parts[i]);
    if (!node || !Follow(node, 0) || !Follow(node, 0)->isDir) {
      if (error) *error = ERROR_PATH_NOT_FOUND;
      return nullptr;
    }
  }
  if (parent) *parent = Follow(node, 0);
  if (leaf) *leaf = parts.back();
  std::shared_ptr<Node> found = ChildOf(node, parts.back());
  if (!found && error) *error = ERROR_FILE_NOT_FOUND;
  return found;
}

std::shared_ptr<Node> Lookup(const std::string& path) { return Lookup(path, nullptr, nullptr, nullptr); }

std::string MakeShortName(const std::shared_ptr<Node>& dir, const std::string& name) {
  // A name that already fits 8.3 (no spaces, one dot at most) is its own alias.
  size_t dot = name.rfind('.');
  std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  bool fits = !base.empty() && base.size() <= 8 && ext.size() <= 3 && name.find(' ') == std::string::npos &&
              std::count(name.begin(), name.end(), '.') <= 1 && name.find('+') == std::string::npos;
  if (fits) return "";
  std::string cleanBase, cleanExt;
  for (char c : base)
    if (c != ' ' && c != '.') cleanBase += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (char c : ext)
    if (c != ' ') cleanExt += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (cleanExt.size() > 3) cleanExt.resize(3);
  for (int n = 1; n < 1000000; ++n) {
    std::string tail = "~" + std::to_string(n);
    std::string stem = cleanBase.substr(0, std::min<size_t>(cleanBase.size(), 8 - tail.size()));
    std::string candidate = stem + tail + (cleanExt.empty() ? "" : "." + cleanExt);
    bool used = false;
    for (auto& kv : dir->children)
      if (Upper(kv.second->shortName) == candidate || kv.first == candidate) used = true;
    if (!used) return candidate;
  }
  return "";
}

std::shared_ptr<Node> CreateChild(const std::shared_ptr<Node>& dir, const std::string& name, bool isDir) {
  auto node = std::make_shared<Node>();
  node->name = name;
  node->isDir = isDir;
  node->attributes = isDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  node->shortName = MakeShortName(dir, name);
  node->volume = dir->volume;
  node->index = g_files.nextIndex++;
  dir->children[Upper(name)] = node;
  return node;
}

bool HasBlockingOpens(const std::shared_ptr<Node>& node, DWORD access, DWORD share) {
  for (auto& kv : g_files.opens) {
    const OpenRecord& o = kv.second;
    if (o.node != node) continue;
    if (WantsRead(o.access) && !(share & FILE_SHARE_READ)) return true;
    if (WantsWrite(o.access) && !(share & FILE_SHARE_WRITE)) return true;
    if (WantsDelete(o.access) && !(share & FILE_SHARE_DELETE)) return true;
    if (WantsRead(access) && !(o.share & FILE_SHARE_READ)) return true;
    if (WantsWrite(access) && !(o.share & FILE_SHARE_WRITE)) return true;
    if (WantsDelete(access) && !(o.share & FILE_SHARE_DELETE)) return true;
  }
  return false;
}

int AddOpen(const std::shared_ptr<Node>& node, DWORD access, DWORD share) {
  int id = g_files.nextOpen++;
  g_files.opens[id] = OpenRecord{node, access, share};
  return id;
}

void RemoveOpen(int id) { g_files.opens.erase(id); }

std::shared_ptr<Node> OpenNode(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                               bool* created, DWORD* error, bool openDirectory) {
  *created = false;
  std::shared_ptr<Node> parent;
  std::string leaf;
  DWORD lookupError = 0;
  std::shared_ptr<Node> node = Lookup(path, &parent, &leaf, &lookupError);
  bool changes = WantsWrite(access) || WantsDelete(access) || disposition == CREATE_ALWAYS ||
                 disposition == TRUNCATE_EXISTING || (!node && disposition != OPEN_EXISTING);
  if (changes && WriteProtected(path) && (node || (parent && !leaf.empty()))) {
    *error = ERROR_WRITE_PROTECT;
    return nullptr;
  }
  if (node) {
    node = Follow(node, 0);
    if (!node) {
      *error = ERROR_PATH_NOT_FOUND;
      return nullptr;
    }
    if (disposition == CREATE_NEW) {
      *error = ERROR_FILE_EXISTS;
      return nullptr;
    }
    if (node->isDir) {
      // A directory cannot be opened as a file; with backup semantics it opens as itself.
      if (!openDirectory || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
      }
      if (HasBlockingOpens(node, access, share)) {
        *error = ERROR_SHARING_VIOLATION;
        return nullptr;
      }
      return node;
    }
    if (WantsWrite(access) && (node->attributes & FILE_ATTRIBUTE_READONLY)) {
      *error = ERROR_ACCESS_DENIED;
      return nullptr;
    }
    if (WantsWrite(access) && node->imageMaps > 0) {
      *error = ERROR_SHARING_VIOLATION;
      return nullptr;
    }
    if (HasBlockingOpens(node, access, share)) {
      *error = ERROR_SHARING_VIOLATION;
      return nullptr;
    }
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) node->data.clear();
    return node;
  }
  if (!parent || leaf.empty()) {
    *error = lookupError == 0 ? ERROR_PATH_NOT_FOUND : lookupError;
    return nullptr;
  }
  if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  *created = true;
  return CreateChild(parent, leaf, false);
}

DWORD DeleteNode(const std::string& path) {
  std::shared_ptr<Node> parent;
  std::string leaf;
  DWORD error = 0;
  std::shared_ptr<Node> node = Lookup(path, &parent, &leaf, &error);
  if (!node) return error;
  if (WriteProtected(path)) return ERROR_WRITE_PROTECT;
  if (node->isDir && node->linkTarget.empty()) return ERROR_ACCESS_DENIED;
  if (node->attributes & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
  if (node->imageMaps > 0) return ERROR_ACCESS_DENIED;
  if (HasBlockingOpens(node, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return ERROR_SHARING_VIOLATION;
  for (auto it = parent->children.begin(); it != parent->children.end(); ++it) {
    if (it->second == node) {
      parent->children.erase(it);
      break;
    }
  }
  return 0;
}

DWORD MoveNode(const std::string& from, const std::string& to, bool replace) {
  std::shared_ptr<Node> fromParent, toParent;
  std::string fromLeaf, toLeaf;
  DWORD error = 0;
  std::shared_ptr<Node> node = Lookup(from, &fromParent, &fromLeaf, &error);
  if (!node) return error;
  if (WriteProtected(from) || WriteProtected(to)) return ERROR_WRITE_PROTECT;
  if (HasBlockingOpens(node, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return ERROR_SHARING_VIOLATION;
  DWORD toError = 0;
  std::shared_ptr<Node> existing = Lookup(to, &toParent, &toLeaf, &toError);
  if (!toParent || toLeaf.empty()) return ERROR_PATH_NOT_FOUND;
  char fromDrive, toDrive;
  std::vector<std::string> ignored;
  SplitPath(from, &fromDrive, &ignored);
  SplitPath(to, &toDrive, &ignored);
  if (fromDrive != toDrive) return 17;  // ERROR_NOT_SAME_DEVICE
  if (existing == node) {
    // Same entry under another spelling: only the name changes.
  } else if (existing) {
    if (!replace) return ERROR_ALREADY_EXISTS;
    DWORD e = DeleteNode(to);
    if (e != 0) return ERROR_ACCESS_DENIED;
  }
  for (auto it = fromParent->children.begin(); it != fromParent->children.end(); ++it) {
    if (it->second == node) {
      fromParent->children.erase(it);
      break;
    }
  }
  node->name = toLeaf;
  node->shortName = MakeShortName(toParent, toLeaf);
  toParent->children[Upper(toLeaf)] = node;
  return 0;
}

std::vector<std::pair<char, UINT>> DriveList() {
  std::vector<std::pair<char, UINT>> out;
  for (auto& kv : g_files.drives) out.push_back({kv.first, kv.second.type});
  return out;
}

void AddPending(const PendingOperation& op) { g_files.pending.push_back(op); }
std::vector<PendingOperation>& Pending() { return g_files.pending; }

std::string FullShortPath(const std::string& path, DWORD* error) {
  char drive;
  std::vector<std::string> parts;
  if (!SplitPath(path, &drive, &parts)) {
    *error = ERROR_INVALID_PARAMETER;
    return "";
  }
  auto d = g_files.drives.find(drive);
  if (d == g_files.drives.end()) {
    *error = ERROR_PATH_NOT_FOUND;
    return "";
  }
  std::string out(1, drive);
  out += ":\\";
  std::shared_ptr<Node> node = d->second.root;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::shared_ptr<Node> child = ChildOf(node, parts[i]);
    if (!child) {
      *error = i + 1 == parts.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
      return "";
    }
    if (i > 0) out += "\\";
    out += child->shortName.empty() ? child->name : child->shortName;
    node = child;
  }
  return out;
}

std::string FullLongPath(const std::string& path) {
  char drive;
  std::vector<std::string> parts;
  if (!SplitPath(path, &drive, &parts)) return "";
  auto d = g_files.drives.find(drive);
  if (d == g_files.drives.end()) return "";
  std::string out(1, drive);
  out += ":";
  std::shared_ptr<Node> node = d->second.root;
  for (const std::string& part : parts) {
    node = ChildOf(node, part);
    if (!node) return "";
    out += "\\" + node->name;
  }
  return parts.empty() ? out + "\\" : out;
}

}  // namespace internal

using namespace internal;

// ---------------------------------------------------------------- test-facing API
void AddDrive(char letter, UINT type) {
  Drive d;
  d.type = type;
  d.root = std::make_shared<Node>();
  d.root->isDir = true;
  d.root->attributes = FILE_ATTRIBUTE_DIRECTORY;
  // Each drive its own volume serial number; the root directory is record 5, as on NTFS.
  d.root->volume = 0x7C3E0000u | static_cast<DWORD>(static_cast<unsigned char>(toupper(static_cast<unsigned char>(letter))));
  d.root->index = 5;
  g_files.drives[static_cast<char>(toupper(static_cast<unsigned char>(letter)))] = d;
}

void SetFreeSpace(char letter, uint64_t bytes) {
  Drive* d = DriveOf(std::string(1, letter) + ":");
  if (d != nullptr) d->freeBytes = bytes;
}
uint64_t FreeSpace(char letter) {
  Drive* d = DriveOf(std::string(1, letter) + ":");
  return d != nullptr ? d->freeBytes : 0;
}
void SetDriveReadOnly(char letter, bool readOnly) {
  Drive* d = DriveOf(std::string(1, letter) + ":");
  if (d != nullptr) d->readOnly = readOnly;
}

void RemoveDrive(char letter) { g_files.drives.erase(static_cast<char>(toupper(static_cast<unsigned char>(letter)))); }

static std::shared_ptr<Node> EnsureDirectory(const std::string& path) {
  char drive;
  std::vector<std::string> parts;
  if (!SplitPath(path, &drive, &parts)) abort();
  auto d = g_files.drives.find(drive);
  if (d == g_files.drives.end()) abort();
  std::shared_ptr<Node> node = d->second.root;
  for (const std::string& part : parts) {
    std::shared_ptr<Node> child = ChildOf(node, part);
    if (!child) child = CreateChild(Follow(node, 0), part, true);
    node = Follow(child, 0);
    if (!node || !node->isDir) abort();  // a test asked for a directory where a file stands
  }
  return node;
}

void MakeDirectory(const std::string& path) { EnsureDirectory(path); }

void PutFile(const std::string& path, const std::string& data, DWORD attributes) {
  size_t slash = path.find_last_of('\\');
  std::shared_ptr<Node> dir = EnsureDirectory(path.substr(0, slash));
  std::string leaf = path.substr(slash + 1);
  std::shared_ptr<Node> node = ChildOf(dir, leaf);
  if (!node) node = CreateChild(dir, leaf, false);
  node->data = data;
  node->attributes = attributes;
}

void MakeDirectoryLink(const std::string& path, const std::string& target) {
  size_t slash = path.find_last_of('\\');
  std::shared_ptr<Node> dir = EnsureDirectory(path.substr(0, slash));
  std::shared_ptr<Node> node = CreateChild(dir, path.substr(slash + 1), true);
  node->attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  node->linkTarget = target;
}

void SetShortName(const std::string& path, const std::string& shortName) {
  std::shared_ptr<Node> node = Lookup(path);
  if (!node) abort();
  node->shortName = shortName;
}

void SetFileIndex(const std::string& path, DWORD index) {
  std::shared_ptr<Node> node = Lookup(path);
  if (!node) abort();
  node->index = index;
}

bool Exists(const std::string& path) { return Lookup(path) != nullptr; }

bool IsDirectory(const std::string& path) {
  std::shared_ptr<Node> node = Follow(Lookup(path), 0);
  return node && node->isDir;
}

bool GetFile(const std::string& path, std::string* data) {
  std::shared_ptr<Node> node = Lookup(path);
  if (!node || node->isDir) return false;
  *data = node->data;
  return true;
}

std::string FileData(const std::string& path) {
  std::string data;
  GetFile(path, &data);
  return data;
}

DWORD Attributes(const std::string& path) {
  std::shared_ptr<Node> node = Lookup(path);
  return node ? node->attributes : INVALID_FILE_ATTRIBUTES;
}

int HoldOpen(const std::string& path, DWORD access, DWORD share) {
  std::shared_ptr<Node> node = Follow(Lookup(path), 0);
  if (!node) abort();
  return AddOpen(node, access, share);
}

void Release(int holdId) { RemoveOpen(holdId); }

void MapImage(const std::string& path) {
  std::shared_ptr<Node> node = Follow(Lookup(path), 0);
  if (!node) abort();
  ++node->imageMaps;
}

void UnmapImage(const std::string& path) {
  std::shared_ptr<Node> node = Follow(Lookup(path), 0);
  if (node && node->imageMaps > 0) --node->imageMaps;
}

static void ListInto(const std::shared_ptr<Node>& dir, const std::string& prefix, std::vector<std::string>* out) {
  for (auto& kv : dir->children) {
    const std::shared_ptr<Node>& child = kv.second;
    std::string path = prefix + "\\" + child->name;
    if (child->isDir) {
      if (child->linkTarget.empty()) ListInto(child, path, out);
    } else {
      out->push_back(path);
    }
  }
}

std::vector<std::string> ListFiles(const std::string& directory) {
  std::vector<std::string> out;
  std::shared_ptr<Node> dir = Follow(Lookup(directory), 0);
  if (!dir || !dir->isDir) return out;
  std::string prefix = directory;
  while (!prefix.empty() && prefix.back() == '\\') prefix.pop_back();
  ListInto(dir, prefix, &out);
  return out;
}

const std::vector<PendingOperation>& PendingOperations() { return g_files.pending; }

}  // namespace sim

using namespace sim;
using namespace sim::internal;

// ---------------------------------------------------------------- Win32: files
namespace {

struct FileObject : HandleObject {
  const char* Kind() const override { return "file"; }
  ~FileObject() override { RemoveOpen(openId); }
  std::shared_ptr<Node> node;
  int openId = 0;
  DWORD access = 0;
  size_t position = 0;
  char drive = 0;  // the drive letter of the path it was opened by
};

struct FindObject : HandleObject {
  const char* Kind() const override { return "find"; }
  std::vector<WIN32_FIND_DATAA> entries;
  size_t next = 0;
};

void FillFindData(const std::string& name, const std::shared_ptr<Node>& node, WIN32_FIND_DATAA* data) {
  memset(data, 0, sizeof(*data));
  data->dwFileAttributes = node->attributes;
  data->nFileSizeLow = node->isDir ? 0 : static_cast<DWORD>(node->data.size());
  snprintf(data->cFileName, sizeof(data->cFileName), "%s", name.c_str());
  if (!node->shortName.empty())
    snprintf(data->cAlternateFileName, sizeof(data->cAlternateFileName), "%s", node->shortName.c_str());
}

bool MatchWildcard(const char* pattern, const char* name) {
  // The subset the tool uses: "*.*" and "*" match everything; otherwise * and ? without case.
  if (strcmp(pattern, "*.*") == 0 || strcmp(pattern, "*") == 0) return true;
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') return MatchWildcard(pattern + 1, name) || (*name && MatchWildcard(pattern, name + 1));
  if (*name == '\0') return false;
  if (*pattern == '?' || toupper(static_cast<unsigned char>(*pattern)) == toupper(static_cast<unsigned char>(*name)))
    return MatchWildcard(pattern + 1, name + 1);
  return false;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
  (void)security;
  (void)templateFile;
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (strncmp(name, "\\\\.\\", 4) == 0) {
    return SimOpenDevice(name, access, shareMode, creationDisposition, flagsAndAttributes);
  }
  if (Fault<FaultRow("CreateFileA", kFaultFile)>()) return INVALID_HANDLE_VALUE;
  if (strlen(name) >= MAX_PATH) {
    SetLastError(ERROR_PATH_NOT_FOUND);  // 206 on later systems; both map to ENOENT
    return INVALID_HANDLE_VALUE;
  }
  bool created = false;
  DWORD error = 0;
  // NT opens a directory (a link: its target) when backup semantics are asked for; 9x never does.
  bool openDirectory = (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0 && IsNtFamily();
  std::shared_ptr<Node> node =
      OpenNode(name, access, shareMode, creationDisposition, &created, &error, openDirectory);
  if (!node) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_unique<FileObject>();
  file->node = node;
  file->access = access;
  file->openId = AddOpen(node, access, shareMode);
  if (name[0] != '\0' && name[1] == ':') file->drive = static_cast<char>(toupper(static_cast<unsigned char>(name[0])));
  SetLastError(created ? 0 : (creationDisposition == OPEN_ALWAYS || creationDisposition == CREATE_ALWAYS
                                  ? ERROR_ALREADY_EXISTS
                                  : 0));
  return AddHandle(std::move(file));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  (void)overlapped;
  if (read) *read = 0;
  FileObject* f = FindHandleAs<FileObject>(file);
  if (f == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (f->node->isDir) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (!WantsRead(f->access)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (Fault<FaultRow("ReadFile")>()) return FALSE;
  FileReadTakesTime();
  const std::string& data = f->node->data;
  size_t available = f->position < data.size() ? data.size() - f->position : 0;
  size_t n = std::min<size_t>(available, toRead);
  if (n > 0) memcpy(buffer, data.data() + f->position, n);
  f->position += n;
  if (read) *read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
  (void)overlapped;
  if (written) *written = 0;
  FileObject* f = FindHandleAs<FileObject>(file);
  if (f == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!WantsWrite(f->access) || f->node->isDir) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  bool failing = Fault<FaultRow("WriteFile")>();
  if (failing && !TornWrites()) return FALSE;
  DWORD count = failing ? toWrite / 2 : toWrite;
  std::string& data = f->node->data;
  Drive* drive = f->drive != 0 ? DriveOf(std::string(1, f->drive) + ":") : nullptr;
  if (drive != nullptr) {
    size_t end = f->position + count;
    uint64_t growth = end > data.size() ? end - data.size() : 0;
    if (growth > drive->freeBytes) {
      SetLastError(ERROR_DISK_FULL);
      return FALSE;
    }
    drive->freeBytes -= growth;
  }
  if (data.size() < f->position) data.resize(f->position, '\0');
  data.replace(f->position, std::min<size_t>(count, data.size() - f->position), static_cast<const char*>(buffer),
               count);
  f->position += count;
  if (written) *written = count;
  return failing ? FALSE : TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  FileObject* f = FindHandleAs<FileObject>(file);
  if (f == nullptr || !WantsWrite(f->access)) {
    SetLastError(f == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (Fault<FaultRow("FlushFileBuffers")>()) return FALSE;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
  FileObject* f = FindHandleAs<FileObject>(file);
  if (f == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  if (Fault<FaultRow("SetFilePointer")>()) return INVALID_SET_FILE_POINTER;
  int64_t base = method == FILE_BEGIN ? 0 : method == FILE_CURRENT ? static_cast<int64_t>(f->position)
                                                                    : static_cast<int64_t>(f->node->data.size());
  int64_t offset = distance;
  if (distanceHigh != nullptr) offset = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                                             static_cast<uint32_t>(distance));
  int64_t target = base + offset;
  if (target < 0) {
    SetLastError(131);  // ERROR_NEGATIVE_SEEK
    return INVALID_SET_FILE_POINTER;
  }
  f->position = static_cast<size_t>(target);
  if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(target >> 32);
  SetLastError(0);
  return static_cast<DWORD>(target & 0xFFFFFFFFu);
}

BOOL SetEndOfFile(HANDLE file) {
  FileObject* f = FindHandleAs<FileObject>(file);
  if (f == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!WantsWrite(f->access)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (Fault<FaultRow("SetEndOfFile")>()) return FALSE;
  f->node->data.resize(f->position, '\0');
  return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD high) {
  FileObject* f = FindHandleAs<FileObject>(file);
  if (f == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0xFFFFFFFFu;
  }
  if (high) *high = 0;
  return static_cast<DWORD>(f->node->data.size());
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  FileObject* f = FindHandleAs<FileObject>(file);
  if (f == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (info == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (Fault<FaultRow("GetFileInformationByHandle")>()) return FALSE;
  memset(info, 0, sizeof(*info));
  const Node& node = *f->node;
  info->dwFileAttributes = node.attributes;
  info->dwVolumeSerialNumber = node.volume;
  info->nFileSizeLow = node.isDir ? 0 : static_cast<DWORD>(node.data.size());
  info->nNumberOfLinks = 1;
  info->nFileIndexHigh = 0;
  info->nFileIndexLow = node.index;
  return TRUE;
}

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  if (Fault<FaultRow("FindFirstFileA")>()) return INVALID_HANDLE_VALUE;
  // The ANSI functions take at most MAX_PATH characters, terminator included.
  if (strlen(pattern) >= MAX_PATH) {
    SetLastError(206);  // ERROR_FILENAME_EXCED_RANGE
    return INVALID_HANDLE_VALUE;
  }
  std::string path = pattern;
  size_t slash = path.find_last_of('\\');
  if (slash == std::string::npos) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::string dirPath = path.substr(0, slash);
  std::string mask = path.substr(slash + 1);
  std::shared_ptr<Node> dir = Follow(dirPath.size() == 2 ? Lookup(dirPath + "\\") : Lookup(dirPath), 0);
  if (!dir || !dir->isDir) {
    SetLastError(dir ? ERROR_PATH_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_unique<FindObject>();
  bool isRoot = dirPath.size() == 2;
  if (!isRoot) {
    // NTFS lists "." and ".." first.
    WIN32_FIND_DATAA dot;
    FillFindData(".", dir, &dot);
    if (MatchWildcard(mask.c_str(), ".")) find->entries.push_back(dot);
    FillFindData("..", dir, &dot);
    if (MatchWildcard(mask.c_str(), "..")) find->entries.push_back(dot);
  }
  // Children are held sorted by their upper-case names: NTFS's order.
  for (auto& kv : dir->children) {
    if (!MatchWildcard(mask.c_str(), kv.second->name.c_str())) continue;
    WIN32_FIND_DATAA entry;
    FillFindData(kv.second->name, kv.second, &entry);
    find->entries.push_back(entry);
  }
  if (find->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *data = find->entries[0];
  find->next = 1;
  return AddHandle(std::move(find));
}

BOOL FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA data) {
  FindObject* find = FindHandleAs<FindObject>(handle);
  if (find == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Fault<FaultRow("FindNextFileA")>()) return FALSE;
  if (find->next >= find->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *data = find->entries[find->next++];
  return TRUE;
}

BOOL FindClose(HANDLE handle) {
  if (FindHandleAs<FindObject>(handle) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  RemoveHandle(handle);
  return TRUE;
}

DWORD GetLogicalDriveStringsA(DWORD size, LPSTR buffer) {
  if (Fault<FaultRow("GetLogicalDriveStringsA")>()) return 0;
  std::string list;
  for (auto& d : DriveList()) {
    list += d.first;
    list += ":\\";
    list += '\0';
  }
  if (list.size() + 1 > size) return static_cast<DWORD>(list.size() + 1);
  memcpy(buffer, list.data(), list.size());
  buffer[list.size()] = '\0';
  return static_cast<DWORD>(list.size());
}

UINT GetDriveTypeA(LPCSTR root) {
  if (root == nullptr || !isalpha(static_cast<unsigned char>(root[0]))) return DRIVE_NO_ROOT_DIR;
  char letter = static_cast<char>(toupper(static_cast<unsigned char>(root[0])));
  for (auto& d : DriveList())
    if (d.first == letter) return d.second;
  return DRIVE_NO_ROOT_DIR;
}

BOOL SetFileAttributesA(LPCSTR name, DWORD attributes) {
  if (Fault<FaultRow("SetFileAttributesA")>()) return FALSE;
  DWORD error = 0;
  std::shared_ptr<Node> node = Lookup(name, nullptr, nullptr, &error);
  if (!node) {
    SetLastError(error);
    return FALSE;
  }
  DWORD keep = node->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  DWORD settable = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE);
  node->attributes = keep | settable;
  if (node->attributes == 0) node->attributes = FILE_ATTRIBUTE_NORMAL;
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR name) {
  DWORD error = 0;
  std::shared_ptr<Node> node = Lookup(name, nullptr, nullptr, &error);
  if (!node) {
    SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  return node->attributes;
}

BOOL DeleteFileA(LPCSTR name) {
  if (Fault<FaultRow("DeleteFileA")>()) return FALSE;
  DWORD error = DeleteNode(name);
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL MoveFileA(LPCSTR existing, LPCSTR newName) { return MoveFileExA(existing, newName, 0); }

BOOL MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags) {
  if (Fault<FaultRow("MoveFileExA")>()) return FALSE;
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    if (!IsNtFamily()) {
      SetLastError(ERROR_INVALID_PARAMETER);  // the 9x family has no delayed operations
      return FALSE;
    }
    if (!HasAdminRights()) {
      // The list lives under HKEY_LOCAL_MACHINE, writable by administrators only.
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    PendingOperation op;
    op.from = existing;
    op.deletion = newName == nullptr;
    op.to = newName ? newName : "";
    op.flags = flags;
    AddPending(op);
    return TRUE;
  }
  if (newName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD error = MoveNode(existing, newName, (flags & MOVEFILE_REPLACE_EXISTING) != 0);
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
  if (Fault<FaultRow("GetShortPathNameA")>()) return 0;
  DWORD error = 0;
  std::string s = FullShortPath(longPath, &error);
  if (s.empty()) {
    SetLastError(error);
    return 0;
  }
  if (s.size() + 1 > size) return static_cast<DWORD>(s.size() + 1);
  memcpy(shortPath, s.c_str(), s.size() + 1);
  return static_cast<DWORD>(s.size());
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
  (void)security;
  if (Fault<FaultRow("CreateDirectoryA")>()) return FALSE;
  std::shared_ptr<Node> parent;
  std::string leaf;
  DWORD error = 0;
  if (path == nullptr || strlen(path) >= MAX_PATH) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  std::shared_ptr<Node> node = Lookup(path, &parent, &leaf, &error);
  if (node) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (!parent || leaf.empty()) {
    SetLastError(error == 0 ? ERROR_PATH_NOT_FOUND : error);
    return FALSE;
  }
  if (WriteProtected(path)) {
    SetLastError(ERROR_WRITE_PROTECT);
    return FALSE;
  }
  CreateChild(Follow(parent, 0), leaf, true);
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
  if (Fault<FaultRow("RemoveDirectoryA")>()) return FALSE;
  std::shared_ptr<Node> parent;
  std::string leaf;
  DWORD error = 0;
  std::shared_ptr<Node> node = path != nullptr ? Lookup(path, &parent, &leaf, &error) : nullptr;
  if (!node) {
    SetLastError(path == nullptr ? ERROR_INVALID_PARAMETER : error);
    return FALSE;
  }
  if (!node->isDir || !node->linkTarget.empty()) {
    SetLastError(267);  // ERROR_DIRECTORY
    return FALSE;
  }
  if (!node->children.empty()) {
    SetLastError(ERROR_DIR_NOT_EMPTY);
    return FALSE;
  }
  if (WriteProtected(path)) {
    SetLastError(ERROR_WRITE_PROTECT);
    return FALSE;
  }
  for (auto it = parent->children.begin(); it != parent->children.end(); ++it) {
    if (it->second == node) {
      parent->children.erase(it);
      break;
    }
  }
  return TRUE;
}

BOOL GetDiskFreeSpaceExA(LPCSTR directory, PULARGE_INTEGER freeToCaller, PULARGE_INTEGER total,
                         PULARGE_INTEGER free) {
  if (Fault<FaultRow("GetDiskFreeSpaceExA")>()) return FALSE;
  std::string path = directory != nullptr ? directory : "C:\\";
  Drive* drive = DriveOf(path);
  if (drive == nullptr || !Lookup(path)) {
    SetLastError(drive == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (freeToCaller != nullptr) freeToCaller->QuadPart = drive->freeBytes;
  if (free != nullptr) free->QuadPart = drive->freeBytes;
  if (total != nullptr) total->QuadPart = drive->freeBytes + (40ull << 30);
  return TRUE;
}
