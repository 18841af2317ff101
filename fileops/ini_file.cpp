// In-memory model of an INI file (used for WININIT.INI on Windows 9x).
//
// Every line is kept: section headers become sections, "key = value" lines keep the number of
// blanks around the key and the "=", and every other line is kept verbatim as a raw line.
// Loading and saving use text-mode streams, so CR LF line ends are handled by the C runtime.
//
// Lines of any length are read whole; the line buffer grows as needed. When memory runs out
// while loading, the model is cleared and Load reports failure (2), so that a caller never saves
// a partial copy over the user's file; a change that cannot get its memory changes nothing.
//
// Saving never leaves a partly written file behind: the text goes to a temporary file next to
// the target (its extension replaced by ".$$$"), and only a complete, closed temporary file
// replaces the target.
#include "fileops/ini_file.h"

#include "fileops/replace_file.h"
#include "trace/win32.h"

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

// A count of 1 to 127 as that many spaces; wrapped (negative) counts write nothing. 0 when the
// write failed.
int WriteBlanks(FILE* file, signed char count) {
  static const char kSpaces[] =
      "                                                                "
      "                                                                ";
  static_assert(sizeof(kSpaces) > 127, "room for the largest count");
  if (count <= 0) return 1;
  return fwrite(kSpaces, 1, (size_t)count, file) == (size_t)count;
}

// 0 when a write failed.
int WriteEntry(FILE* file, const IniEntry* entry) {
  if (entry->key == NULL) return fputs(entry->value, file) != EOF;
  return WriteBlanks(file, entry->leadingBlanks) && fputs(entry->key, file) != EOF &&
         WriteBlanks(file, entry->blanksBeforeEquals) && fputc('=', file) != EOF &&
         WriteBlanks(file, entry->blanksAfterEquals) && fputs(entry->value, file) != EOF;
}

// Writes the whole model; 0 at the first write that fails (a full disk).
int WriteModel(FILE* file, const IniSection* globalSection, const IniSection* sections) {
  if (globalSection != NULL) {
    for (const IniEntry* entry = globalSection->entries; entry != NULL; entry = entry->next) {
      if (!WriteEntry(file, entry)) return 0;
      if ((entry->next != NULL || sections != NULL) && fputc('\n', file) == EOF) return 0;
    }
  }
  for (const IniSection* section = sections; section != NULL; section = section->next) {
    if (fprintf(file, "[%s]\n", section->name) < 0) return 0;
    for (const IniEntry* entry = section->entries; entry != NULL; entry = entry->next) {
      if (!WriteEntry(file, entry)) return 0;
      if ((entry->next != NULL || section->next != NULL) && fputc('\n', file) == EOF) return 0;
    }
  }
  return 1;
}

const char kTemporaryExtension[] = ".$$$";

// The path of the temporary file that Save writes first: path with the extension of its file
// name replaced by ".$$$" (added when the name has none), in the same directory, so that putting
// it in place is a rename on one disk. 0 when it does not fit into MAX_PATH characters or would
// name the file itself.
int MakeTemporaryPath(const char* path, char* temporary) {
  size_t length = strlen(path);
  size_t stem = length;
  for (size_t i = length; i > 0; --i) {
    char c = path[i - 1];
    if (c == '\\' || c == '/' || c == ':') break;
    if (c == '.') {
      stem = i - 1;
      break;
    }
  }
  if (stem + sizeof(kTemporaryExtension) > MAX_PATH) return 0;
  memcpy(temporary, path, stem);
  memcpy(temporary + stem, kTemporaryExtension, sizeof(kTemporaryExtension));
  return _stricmp(temporary, path) != 0;
}

// 1 when path is an ordinary file (not a directory).
int IsPlainFile(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
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
  char temporary[MAX_PATH];
  if (path == NULL || !MakeTemporaryPath(path, temporary)) return 1;

  // No file but a temporary one: an earlier save removed the old file and could not rename its
  // new text into place. That text is the file now; put it back rather than write over it. This
  // save has not happened (the model was made without those lines), so it still fails.
  if (IsSurelyAbsent(path) && IsPlainFile(temporary)) {
    rename(temporary, path);
    return 1;
  }

  // The whole text goes to the temporary file first: a write that fails half-way (a full disk)
  // leaves the old file as it was.
  FILE* file = fopen(temporary, "wt");
  if (file == NULL) return 1;
  int written = WriteModel(file, globalSection, sections);
  if (ferror(file)) written = 0;
  if (fclose(file) != 0) written = 0;
  if (!written) {
    remove(temporary);
    return 1;
  }

  // Only then the old file is replaced. rename does not write over an existing file (MoveFileEx,
  // which could, is not there on Windows 9x), so the old one is removed first. A file that
  // cannot be removed (read-only, in use, a directory) stays as it was.
  if (remove(path) != 0 && errno != ENOENT) {
    remove(temporary);
    return 1;
  }
  // Should the rename fail now, the new text stays in the temporary file; the next save puts it
  // in place.
  if (rename(temporary, path) != 0) return 1;
  return 0;
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
