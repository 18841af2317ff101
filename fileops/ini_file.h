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
  // 0 when the file was written, 1 when not. The file is rewritten in place, never through a
  // second file: an existing one is opened for reading and writing (it keeps its attributes; a
  // read-only file, a directory or a file another program writes is not changed), only the bytes
  // from the first that differs are written, in one write, and the old bytes are written back
  // when that write fails. A missing file is created only if no file has the name and is
  // removed again when its write fails. After 1 the file holds its old text.
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
