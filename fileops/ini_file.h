// In-memory model of an INI file that keeps the layout of every line it does not change.
#ifndef VORLAX_FILEOPS_INI_FILE_H
#define VORLAX_FILEOPS_INI_FILE_H

struct IniEntry {
  IniEntry* next;
  char* key;    // NULL for a raw line
  char* value;  // the whole line for a raw line
  signed char leadingBlanks;
  signed char blanksBeforeEquals;
  signed char blanksAfterEquals;
};

struct IniSection {
  IniSection* next;
  char* name;  // NULL for the global section
  IniEntry* entries;
};

class IniFile {
 public:
  IniFile();
  ~IniFile();
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  // 0 when read, 1 when the file cannot be opened, 2 when it could not be read completely (out of
  // memory or a read error); the model is empty unless the result is 0. After 2 the file must
  // not be saved over: the model does not hold its lines.
  int Load(const char* path);
  // 0 when the file was written, 1 when not. The text is written to a temporary file in the
  // same directory, named after the target with its extension replaced by ".$$$" (WININIT.$$$
  // for WININIT.INI); only when every write and the close succeeded is the old
  // file removed and the temporary one renamed onto it. The old file thus stays as it was when
  // writing fails (a full disk) or when it cannot be removed (read-only, in use, a directory);
  // should the final rename fail, the new text stays in the temporary file, and the next Save
  // of that path, finding no file but the temporary one, renames it into place and fails
  // instead of writing over it.
  int Save(const char* path);
  // Replaces the value of the occurrence-th key in section, or appends; a NULL value deletes
  // the entry, a NULL key the section.
  void SetEntry(const char* section, const char* key, const char* value, int occurrence);
  void Clear();

  IniSection* globalSection;
  IniSection* sections;

  IniSection* FindSection(const char* name, IniSection** predecessor) const;
  static IniEntry* FindEntry(IniEntry* entries, const char* key, int occurrence, IniEntry** predecessor);
};

#endif
