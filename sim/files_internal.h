// The simulated disks' model, shared by the areas that touch files.
#ifndef VORLAX_SIM_FILES_INTERNAL_H
#define VORLAX_SIM_FILES_INTERNAL_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/internal.h"

namespace sim {
namespace internal {

struct Node {
  std::string name;
  std::string shortName;  // empty when the name is its own 8.3 alias
  bool isDir = false;
  std::string data;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  DWORD index = 0;                                        // file index, unique on its drive
  std::map<std::string, std::shared_ptr<Node>> children;  // by upper-case name: NTFS order
  std::string linkTarget;                                 // a directory link leads here
  int imageMaps = 0;                                      // running processes of this image
  DWORD volume = 0;                                       // serial number of the drive it is on
};

bool SplitPath(const std::string& path, char* drive, std::vector<std::string>* parts);
std::shared_ptr<Node> Lookup(const std::string& path);
// parent and leaf are filled when the parent directory exists; error tells file or path not found.
std::shared_ptr<Node> Lookup(const std::string& path, std::shared_ptr<Node>* parent, std::string* leaf,
                             DWORD* error);
std::shared_ptr<Node> Follow(const std::shared_ptr<Node>& node, int depth);
// Opens (or creates, by disposition) a file node under share-mode rules; NULL with *error.
// A directory opens only with openDirectory (CreateFileA's backup semantics on NT).
std::shared_ptr<Node> OpenNode(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                               bool* created, DWORD* error, bool openDirectory = false);
int AddOpen(const std::shared_ptr<Node>& node, DWORD access, DWORD share);
void RemoveOpen(int id);
// Win32 error of deleting or moving, 0 on success.
DWORD DeleteNode(const std::string& path);
DWORD MoveNode(const std::string& from, const std::string& to, bool replace);
std::string FullShortPath(const std::string& path, DWORD* error);
// The path with every part in its long form (what a directory listing shows); "" when not found.
std::string FullLongPath(const std::string& path);
std::vector<PendingOperation>& Pending();

// Areas that take part in a restart (processes end, the registry keeps its values...).
struct RestartHook {
  explicit RestartHook(void (*fn)());
};
void RunRestartHooks();

}  // namespace internal
}  // namespace sim

// Devices ("\\.\NAME") are opened through CreateFileA; the devices area answers.
HANDLE SimOpenDevice(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags);

#endif
