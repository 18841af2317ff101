// The C runtime's file calls onto the simulated disks: fopen gives a stream over a simulated
// file with MSVCRT's sharing (deny none), text mode translation (LF stored as CR LF, CR LF read
// as LF, Ctrl-Z ends a text file) and errno as MSVCRT sets it; remove and rename go through
// DeleteFileA and MoveFileA.
#include <errno.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/files_internal.h"

#undef fopen
#undef remove
#undef rename

using namespace sim;
using namespace sim::internal;

namespace {

struct Stream {
  std::string path;  // as the caller named it, for leak reports
  std::shared_ptr<Node> node;
  int openId = 0;
  size_t position = 0;  // in stored bytes
  bool text = true;
  bool append = false;
};

// Every stream fopen handed out and fclose has not yet taken back.
std::set<Stream*>& OpenStreams() {
  static std::set<Stream*>& streams = *new std::set<Stream*>;  // outlives static destruction
  return streams;
}

ssize_t StreamRead(void* cookie, char* buffer, size_t size) {
  Stream* s = static_cast<Stream*>(cookie);
  if (Fault<FaultRow("fread")>()) {
    errno = EIO;
    return -1;
  }
  const std::string& data = s->node->data;
  size_t n = 0;
  while (n < size && s->position < data.size()) {
    char c = data[s->position];
    if (s->text) {
      if (c == '\x1a') break;  // end of a text file
      if (c == '\r' && s->position + 1 < data.size() && data[s->position + 1] == '\n') {
        ++s->position;
        continue;
      }
    }
    buffer[n++] = c;
    ++s->position;
  }
  return static_cast<ssize_t>(n);
}

ssize_t StreamWrite(void* cookie, const char* buffer, size_t size) {
  Stream* s = static_cast<Stream*>(cookie);
  if (Fault<FaultRow("fwrite")>()) {
    // Nothing written. glibc takes -1 from a cookie writer as a huge count and reports the
    // item as written; 0 makes fwrite return 0 items and set the error flag, as MSVCRT does.
    errno = ENOSPC;
    return 0;
  }
  std::string stored;
  stored.reserve(size + 16);
  for (size_t i = 0; i < size; ++i) {
    if (s->text && buffer[i] == '\n') stored += '\r';
    stored += buffer[i];
  }
  std::string& data = s->node->data;
  if (s->append) s->position = data.size();
  if (data.size() < s->position) data.resize(s->position, '\0');
  data.replace(s->position, std::min(stored.size(), data.size() - s->position), stored);
  s->position += stored.size();
  return static_cast<ssize_t>(size);
}

int StreamSeek(void* cookie, off64_t* offset, int whence) {
  Stream* s = static_cast<Stream*>(cookie);
  // ftell asks for (0, SEEK_CUR); only real moves count as seeks that can fail.
  if (!(whence == SEEK_CUR && *offset == 0) && Fault<FaultRow("fseek")>()) {
    errno = EINVAL;
    return -1;
  }
  if (whence == SEEK_CUR && *offset == 0 && Fault<FaultRow("ftell")>()) {
    errno = EINVAL;
    return -1;
  }
  int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<int64_t>(s->position)
                                                             : static_cast<int64_t>(s->node->data.size());
  int64_t target = base + *offset;
  if (target < 0) {
    errno = EINVAL;
    return -1;
  }
  s->position = static_cast<size_t>(target);
  *offset = target;
  return 0;
}

int StreamClose(void* cookie) {
  Stream* s = static_cast<Stream*>(cookie);
  RemoveOpen(s->openId);
  OpenStreams().erase(s);
  delete s;
  if (Fault<FaultRow("fclose")>()) {
    errno = EBADF;
    return -1;
  }
  return 0;
}

}  // namespace

FILE* SimFopen(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  char kind = mode[0];
  bool plus = strchr(mode, '+') != nullptr;
  bool binary = strchr(mode, 'b') != nullptr;
  DWORD access = 0;
  DWORD disposition = 0;
  switch (kind) {
    case 'r':
      access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
      disposition = OPEN_EXISTING;
      break;
    case 'w':
      access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      disposition = CREATE_ALWAYS;
      break;
    case 'a':
      access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      disposition = OPEN_ALWAYS;
      break;
    default:
      errno = EINVAL;
      return nullptr;
  }
  if (Fault<FaultRow("fopen")>()) {
    errno = EACCES;
    return nullptr;
  }
  if (strlen(path) >= MAX_PATH) {
    errno = ENOENT;
    return nullptr;
  }
  bool created = false;
  DWORD error = 0;
  std::shared_ptr<Node> node =
      OpenNode(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, &created, &error);
  if (!node) {
    SetLastError(error);
    errno = ErrnoFromWin32(error);
    return nullptr;
  }
  Stream* s = new Stream();
  s->path = path;
  s->node = node;
  s->openId = AddOpen(node, access, FILE_SHARE_READ | FILE_SHARE_WRITE);
  s->text = !binary;
  s->append = kind == 'a';
  cookie_io_functions_t io = {StreamRead, StreamWrite, StreamSeek, StreamClose};
  char glibcMode[4] = {kind, plus ? '+' : '\0', '\0', '\0'};
  FILE* f = fopencookie(s, glibcMode, io);
  if (f == nullptr) {
    RemoveOpen(s->openId);
    delete s;
    errno = ENOMEM;
    return nullptr;
  }
  // Unbuffered, so that each write and read reaches the simulated file (and its faults) at once.
  setvbuf(f, nullptr, _IONBF, 0);
  OpenStreams().insert(s);
  return f;
}

int SimRemove(const char* path) {
  if (DeleteFileA(path)) return 0;
  errno = ErrnoFromWin32(GetLastError());
  return -1;
}

int SimRename(const char* from, const char* to) {
  if (MoveFileA(from, to)) return 0;
  errno = ErrnoFromWin32(GetLastError());
  return -1;
}

namespace sim {

int OpenStreamCount() { return static_cast<int>(OpenStreams().size()); }

std::vector<std::string> OpenStreamPaths() {
  std::vector<std::string> paths;
  for (const Stream* s : OpenStreams()) paths.push_back(s->path);
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace sim
