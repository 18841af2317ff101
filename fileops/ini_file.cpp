// In-memory model of an INI file (used for WININIT.INI on Windows 9x).
//
// Every line is kept: section headers become sections, "key = value" lines keep the number of
// blanks around the key and the "=", and every other line is kept verbatim as a raw line.
// Loading uses a text-mode stream, so CR LF line ends are handled by the C runtime; saving
// stores each line end as CR LF, as a text-mode stream would.
//
// Lines of any length are read whole; the line buffer grows as needed. When memory runs out
// while loading, the model is cleared and Load reports failure (2), so that a caller never saves
// a partial copy over the user's file; a change that cannot get its memory changes nothing.
//
// Saving rewrites the file in place and never writes a second file beside it. Windows 9x
// carries out WININIT.INI at a restart and renames it to WININIT.BAK; any other file in that
// directory (a temporary copy, a text waiting to be renamed) could outlive that restart and bring
// back what it held, and nothing in such a file tells whether its lines were carried out
// already. So the only file is the file itself:
// - the whole new text is built in memory first (nothing is touched when memory runs out);
// - an existing file is opened for reading and writing (it keeps its name, its attributes and
//   its place in the directory), its old bytes are read, and only the bytes from the first one
//   that differs are written, in one write (adding an entry to the last section writes the new
//   line alone);
// - a write that fails is undone by writing the old bytes back and cutting the file to its old
//   length, so a failed save leaves the old text;
// - a missing file is created only when no file has the name, written in one write, and removed
//   again when that write fails.
// Whatever fails, the file then holds its old text or its new text. A power cut during the one
// write is the only moment it can hold a mixture, as with any program that writes a file.
#include "fileops/ini_file.h"

#include "fileops/replace_file.h"
#include "platform/win32.h"

namespace {

const size_t kInitialLineBuffer = 1024;
const size_t kMaximumLineBuffer = 0x40000000;  // fgets takes an int count

int IsBlank(char c) { return c == ' ' || c == '\t'; }

// One more blank in a signed 8-bit count: wraps from 127 to -128 and from -1 to 0.
signed char CountBlank(signed char count) {
  return (signed char)(unsigned char)((unsigned char)count + 1u);
}

void FreeEntry(IniEntry* entry) {
  free(entry->key);
  free(entry->value);
  free(entry);
}

void FreeEntries(IniEntry* entry) {
  while (entry != NULL) {
    IniEntry* next = entry->next;
    FreeEntry(entry);
    entry = next;
  }
}

void FreeSection(IniSection* section) {
  FreeEntries(section->entries);
  free(section->name);
  free(section);
}

// A copy of text, or NULL without memory.
char* CopyText(const char* text, size_t length) {
  char* copy = (char*)malloc(length + 1);
  if (copy == NULL) return NULL;
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

// A new entry owning copies of key (may be NULL) and value; NULL without memory.
IniEntry* NewEntry(const char* key, size_t keyLength, const char* value) {
  IniEntry* entry = (IniEntry*)calloc(1, sizeof(IniEntry));
  if (entry == NULL) return NULL;
  if (key != NULL) {
    entry->key = CopyText(key, keyLength);
    if (entry->key == NULL) {
      free(entry);
      return NULL;
    }
  }
  entry->value = _strdup(value);
  if (entry->value == NULL) {
    free(entry->key);
    free(entry);
    return NULL;
  }
  return entry;
}

// A new section owning a copy of name (may be NULL for the global section); NULL without memory.
IniSection* NewSection(const char* name, size_t nameLength) {
  IniSection* section = (IniSection*)calloc(1, sizeof(IniSection));
  if (section == NULL) return NULL;
  if (name != NULL) {
    section->name = CopyText(name, nameLength);
    if (section->name == NULL) {
      free(section);
      return NULL;
    }
  }
  return section;
}

void AppendEntry(IniSection* section, IniEntry* entry) {
  IniEntry** link = &section->entries;
  while (*link != NULL) link = &(*link)->next;
  *link = entry;
}

void AppendSection(IniSection** list, IniSection* section) {
  IniSection** link = list;
  while (*link != NULL) link = &(*link)->next;
  *link = section;
}

enum { kLineRead = 1, kLineEnd = 0, kLineNoMemory = -1 };

// Reads one line, whatever its length, into *buffer (of *capacity bytes, at least 2), which is
// replaced by a larger one when needed. The line end stays in the buffer. kLineEnd at the end
// of the file or on a read error (told by ferror), kLineNoMemory when the buffer cannot grow.
int ReadLine(FILE* file, char** buffer, size_t* capacity) {
  size_t used = 0;
  for (;;) {
    char* chunk = *buffer + used;
    size_t room = *capacity - used;
    // fgets puts its terminator in the last byte of the chunk only when it fills the chunk.
    chunk[room - 1] = 'x';
    if (fgets(chunk, (int)room, file) == NULL) {
      if (used == 0) return kLineEnd;
      (*buffer)[used] = '\0';  // the file ends inside a long line
      return kLineRead;
    }
    if (chunk[room - 1] != '\0' || chunk[room - 2] == '\n') return kLineRead;

    // The chunk is full and the line goes on: double the buffer and read on behind it.
    used = *capacity - 1;
    if (*capacity >= kMaximumLineBuffer) return kLineNoMemory;
    size_t larger = *capacity * 2;
    char* grown = (char*)malloc(larger);
    if (grown == NULL) return kLineNoMemory;
    memcpy(grown, *buffer, used + 1);
    free(*buffer);
    *buffer = grown;
    *capacity = larger;
  }
}

// Where the text of the model goes: measured first (bytes NULL), then written into a buffer of
// the measured length. Every "\n" is stored as CR LF, as a text-mode stream would store it.
struct TextSink {
  char* bytes;
  size_t length;
};

void PutText(TextSink* sink, const char* text) {
  for (; *text != '\0'; ++text) {
    if (*text == '\n') {
      if (sink->bytes != NULL) sink->bytes[sink->length] = '\r';
      ++sink->length;
    }
    if (sink->bytes != NULL) sink->bytes[sink->length] = *text;
    ++sink->length;
  }
}

// A count of 1 to 127 as that many spaces; wrapped (negative) counts write nothing.
void PutBlanks(TextSink* sink, signed char count) {
  for (signed char i = 0; i < count; ++i) PutText(sink, " ");
}

void PutEntry(TextSink* sink, const IniEntry* entry) {
  if (entry->key == NULL) {
    PutText(sink, entry->value);
    return;
  }
  PutBlanks(sink, entry->leadingBlanks);
  PutText(sink, entry->key);
  PutBlanks(sink, entry->blanksBeforeEquals);
  PutText(sink, "=");
  PutBlanks(sink, entry->blanksAfterEquals);
  PutText(sink, entry->value);
}

// The whole text of the model: no line end after the last line.
void PutModel(TextSink* sink, const IniSection* globalSection, const IniSection* sections) {
  if (globalSection != NULL) {
    for (const IniEntry* entry = globalSection->entries; entry != NULL; entry = entry->next) {
      PutEntry(sink, entry);
      if (entry->next != NULL || sections != NULL) PutText(sink, "\n");
    }
  }
  for (const IniSection* section = sections; section != NULL; section = section->next) {
    PutText(sink, "[");
    PutText(sink, section->name);
    PutText(sink, "]\n");
    for (const IniEntry* entry = section->entries; entry != NULL; entry = entry->next) {
      PutEntry(sink, entry);
      if (entry->next != NULL || section->next != NULL) PutText(sink, "\n");
    }
  }
}

// Files larger than this are not rewritten (the offsets must fit a LONG, the copies the heap).
const DWORD kMaximumFileSize = 0x10000000;

// 1 when count bytes were written at offset.
int WriteAt(HANDLE file, size_t offset, const char* bytes, size_t count) {
  if (SetFilePointer(file, (LONG)offset, NULL, FILE_BEGIN) != (DWORD)offset) return 0;
  if (count == 0) return 1;
  DWORD written = 0;
  return WriteFile(file, bytes, (DWORD)count, &written, NULL) && written == (DWORD)count;
}

// 1 when the file now ends at offset.
int EndAt(HANDLE file, size_t offset) {
  return SetFilePointer(file, (LONG)offset, NULL, FILE_BEGIN) == (DWORD)offset && SetEndOfFile(file);
}

// 1 when the whole file (size bytes) was read into bytes.
int ReadWhole(HANDLE file, char* bytes, DWORD size) {
  DWORD done = 0;
  while (done < size) {
    DWORD read = 0;
    if (!ReadFile(file, bytes + done, size - done, &read, NULL) || read == 0) return 0;
    done += read;
  }
  return 1;
}

// A new file: created only when no file has the name (CREATE_NEW), so nothing is written over,
// and written in one write. When that write fails the file is emptied and removed: its origin
// is certain, this call made it.
int CreateWithText(const char* path, const char* text, size_t length) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  int written = WriteAt(file, 0, text, length);
  if (!written) EndAt(file, 0);
  CloseHandle(file);
  if (!written) {
    DeleteFileA(path);
    return 1;
  }
  return 0;
}

// The end of a write of length bytes that must cover at least cover bytes: the bytes are
// followed by a blank line (CR LF and spaces) when they are shorter, so that the file holds
// their text whole the moment the write is done, before it is cut to their length.
size_t CoveringEnd(size_t length, size_t cover) {
  if (length >= cover) return length;
  return cover - length >= 2 ? cover : length + 2;
}

void PutBlankLine(char* bytes, size_t length, size_t end) {
  if (end == length) return;
  memcpy(bytes + length, "\r\n", 2);
  memset(bytes + length + 2, ' ', end - length - 2);
}

// An existing file, open for reading and writing: its old bytes are read, only the bytes from
// the first one that differs are written, in one write, and the file is cut to the new length
// when it is shorter. When that write fails, the old bytes are written back the same way (they
// may have been written over part of the way, and the file may have grown) and the file is cut
// to its old length. A cut that fails leaves the text whole with a blank line after it.
int RewriteInPlace(HANDLE file, const IniSection* globalSection, const IniSection* sections, size_t length) {
  DWORD high = 0;
  DWORD size = GetFileSize(file, &high);
  if ((size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || high != 0 || size > kMaximumFileSize ||
      length > kMaximumFileSize)
    return 1;

  size_t end = CoveringEnd(length, size);    // where the write of the new text ends
  size_t restoreEnd = CoveringEnd(size, end);  // and where that of the old one would end
  char* old = (char*)malloc(restoreEnd + end + 1);
  if (old == NULL) return 1;
  char* text = old + restoreEnd;
  if (!ReadWhole(file, old, size)) {
    free(old);
    return 1;
  }
  TextSink sink = {text, 0};
  PutModel(&sink, globalSection, sections);
  PutBlankLine(text, length, end);

  size_t same = 0;
  while (same < size && same < length && old[same] == text[same]) ++same;
  int result = 0;
  if (length != size || same != size) {
    if (WriteAt(file, same, text + same, end - same)) {
      if (end != length) EndAt(file, length);
    } else {
      PutBlankLine(old, size, restoreEnd);
      WriteAt(file, same, old + same, restoreEnd - same);
      // Cut back even when the old bytes could not be written: what the write added past the
      // old end goes, which is all it did when the text only grew at the end.
      if (restoreEnd != size) EndAt(file, size);
      result = 1;
    }
  }
  free(old);
  return result;
}

}  // namespace

IniFile::IniFile() : globalSection(NULL), sections(NULL) {}

IniFile::~IniFile() { Clear(); }

void IniFile::Clear() {
  while (sections != NULL) {
    IniSection* next = sections->next;
    FreeSection(sections);
    sections = next;
  }
  if (globalSection != NULL) {
    FreeSection(globalSection);
    globalSection = NULL;
  }
}

IniSection* IniFile::FindSection(const char* name, IniSection** predecessor) const {
  IniSection* previous = NULL;
  for (IniSection* section = sections; section != NULL; section = section->next) {
    if (section->name != NULL && _stricmp(section->name, name) == 0) {
      if (predecessor != NULL) *predecessor = previous;
      return section;
    }
    previous = section;
  }
  if (predecessor != NULL) *predecessor = NULL;
  return NULL;
}

IniEntry* IniFile::FindEntry(IniEntry* entries, const char* key, int occurrence, IniEntry** predecessor) {
  IniEntry* previous = NULL;
  int number = 0;
  for (IniEntry* entry = entries; entry != NULL; entry = entry->next) {
    if (entry->key != NULL && _stricmp(entry->key, key) == 0) {
      if (number == occurrence) {
        if (predecessor != NULL) *predecessor = previous;
        return entry;
      }
      ++number;
    }
    previous = entry;
  }
  if (predecessor != NULL) *predecessor = NULL;
  return NULL;
}

int IniFile::Load(const char* path) {
  Clear();
  FILE* file = fopen(path, "rt");
  if (file == NULL) return 1;

  size_t capacity = kInitialLineBuffer;
  char* line = (char*)malloc(capacity);
  int failed = line == NULL;
  IniSection* current = NULL;

  while (!failed) {
    int read = ReadLine(file, &line, &capacity);
    if (read == kLineNoMemory) failed = 1;
    if (read != kLineRead) break;
    char* end = strchr(line, '\n');
    if (end != NULL) *end = '\0';

    signed char leading = 0;
    char* p = line;
    while (IsBlank(*p)) {
      leading = CountBlank(leading);
      ++p;
    }

    IniEntry* entry = NULL;
    char* close = *p == '[' ? strchr(p + 1, ']') : NULL;
    if (close != NULL) {
      // A section header; what follows the "]" is not kept.
      const char* name = p + 1;
      *close = '\0';
      IniSection* section = FindSection(name, NULL);
      if (section == NULL) {
        section = NewSection(name, (size_t)(close - name));
        if (section == NULL) {
          failed = 1;
          break;
        }
        AppendSection(&sections, section);
      }
      current = section;
      continue;
    }

    const char* equals = (*p == '\0' || *p == ';' || *p == '[') ? NULL : strchr(p, '=');
    if (equals == NULL) {
      entry = NewEntry(NULL, 0, line);
    } else {
      signed char before = 0;
      const char* keyEnd = equals;
      while (keyEnd > p && IsBlank(keyEnd[-1])) {
        before = CountBlank(before);
        --keyEnd;
      }
      signed char after = 0;
      const char* value = equals + 1;
      while (IsBlank(*value)) {
        after = CountBlank(after);
        ++value;
      }
      entry = NewEntry(p, (size_t)(keyEnd - p), value);
      if (entry != NULL) {
        entry->leadingBlanks = leading;
        entry->blanksBeforeEquals = before;
        entry->blanksAfterEquals = after;
      }
    }
    if (entry == NULL) {
      failed = 1;
      break;
    }

    if (current == NULL) {
      if (globalSection == NULL) {
        globalSection = NewSection(NULL, 0);
        if (globalSection == NULL) {
          FreeEntry(entry);
          failed = 1;
          break;
        }
      }
      AppendEntry(globalSection, entry);
    } else {
      AppendEntry(current, entry);
    }
  }

  if (ferror(file)) failed = 1;
  free(line);
  fclose(file);
  if (failed) {
    Clear();
    return 2;
  }
  return 0;
}

int IniFile::Save(const char* path) {
  if (path == NULL) return 1;
  TextSink measure = {NULL, 0};
  PutModel(&measure, globalSection, sections);

  // Shared for reading, so that no other program writes the file while this one does; the
  // file keeps its attributes (read-only cannot be opened for writing and is left as it was).
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    int result = RewriteInPlace(file, globalSection, sections, measure.length);
    // What was written stays written whatever closing reports.
    CloseHandle(file);
    return result;
  }
  if (GetLastError() != ERROR_FILE_NOT_FOUND) return 1;

  char* text = (char*)malloc(measure.length + 1);
  if (text == NULL) return 1;
  TextSink sink = {text, 0};
  PutModel(&sink, globalSection, sections);
  int result = CreateWithText(path, text, sink.length);
  free(text);
  return result;
}

void IniFile::SetEntry(const char* section, const char* key, const char* value, int occurrence) {
  if (section == NULL) return;
  IniSection* predecessor = NULL;
  IniSection* found = FindSection(section, &predecessor);

  if (key == NULL) {
    if (found != NULL) {
      if (predecessor != NULL) {
        predecessor->next = found->next;
      } else {
        sections = found->next;
      }
      FreeSection(found);
    }
    return;
  }

  // Everything the change needs is allocated before the model is touched, so that a lack of
  // memory leaves the model as it was.
  IniSection* created = NULL;
  if (found == NULL) {
    created = NewSection(section, strlen(section));
    if (created == NULL) return;
  }
  IniSection* target = found != NULL ? found : created;
  IniEntry* entryPredecessor = NULL;
  IniEntry* match = FindEntry(target->entries, key, occurrence, &entryPredecessor);

  if (value != NULL) {
    if (match != NULL) {
      char* copy = _strdup(value);
      if (copy == NULL) return;  // created is NULL here: the section was found
      free(match->value);
      match->value = copy;
    } else {
      IniEntry* entry = NewEntry(key, strlen(key), value);
      if (entry == NULL) {
        if (created != NULL) FreeSection(created);
        return;
      }
      if (created != NULL) AppendSection(&sections, created);
      AppendEntry(target, entry);
    }
    return;
  }

  if (created != NULL) AppendSection(&sections, created);
  if (match != NULL) {
    if (entryPredecessor != NULL) {
      entryPredecessor->next = match->next;
    } else {
      target->entries = match->next;
    }
    FreeEntry(match);
  }
}
