// Fuzz target for the INI model: any bytes loaded as WININIT.INI, saved, loaded again and saved
// again. The second model must equal the first up to the normalisations saving defines (blank
// counts of 128 to 255 written as none, and the last line of the file losing its line end, so a
// final empty line disappears), and saving the second model must give the same bytes as saving
// the first with that empty line removed.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "fileops/ini_file.h"
#include "sim/sim.h"

namespace {

const char kInput[] = "C:\\windows\\WININIT.INI";
const char kFirst[] = "C:\\windows\\first.ini";
const char kSecond[] = "C:\\windows\\second.ini";
const char kTrimmed[] = "C:\\windows\\trimmed.ini";

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "ini_fuzz: %s\n", what);
  abort();
}

int Written(signed char count) { return count > 0 ? count : 0; }

std::string Describe(const IniEntry* e) {
  if (e->key == nullptr) return "raw|" + std::string(e->value);
  return "key|" + std::to_string(Written(e->leadingBlanks)) + "|" + e->key + "|" +
         std::to_string(Written(e->blanksBeforeEquals)) + "|" + std::to_string(Written(e->blanksAfterEquals)) + "|" +
         e->value;
}

// The model as the text it stands for: one item per node, counts as they are written.
std::vector<std::string> Snapshot(const IniFile& ini) {
  std::vector<std::string> out;
  if (ini.globalSection != nullptr) {
    if (ini.globalSection->name != nullptr) Fail("the global section has a name");
    if (ini.globalSection->entries == nullptr) Fail("an empty global section");
    for (const IniEntry* e = ini.globalSection->entries; e != nullptr; e = e->next) out.push_back(Describe(e));
  }
  for (const IniSection* s = ini.sections; s != nullptr; s = s->next) {
    if (s->name == nullptr) Fail("a section without a name");
    for (const IniSection* t = s->next; t != nullptr; t = t->next) {
      if (t->name != nullptr && _stricmp(s->name, t->name) == 0) Fail("two sections with equal names");
    }
    out.push_back("section|" + std::string(s->name));
    for (const IniEntry* e = s->entries; e != nullptr; e = e->next) out.push_back(Describe(e));
  }
  return out;
}

// Removes the last line of the file when it is an empty raw line: saving writes no line end
// after it, so it cannot be told from the end of the file. Returns whether it did.
bool TrimEmptyLastLine(IniFile* ini) {
  IniSection* holder = ini->sections;
  while (holder != nullptr && holder->next != nullptr) holder = holder->next;
  if (holder == nullptr) holder = ini->globalSection;
  if (holder == nullptr || holder->entries == nullptr) return false;
  IniEntry** link = &holder->entries;
  while ((*link)->next != nullptr) link = &(*link)->next;
  IniEntry* last = *link;
  if (last->key != nullptr || last->value[0] != '\0') return false;
  *link = nullptr;
  free(last->value);
  free(last);
  if (holder == ini->globalSection && holder->entries == nullptr) {
    free(holder);
    ini->globalSection = nullptr;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One machine for every input: the files are replaced by each input, and nothing else changes.
  static bool ready = false;
  if (!ready) {
    sim::Reset();
    ready = true;
  }
  sim::PutFile(kInput, std::string(reinterpret_cast<const char*>(data), size));

  IniFile first;
  if (first.Load(kInput) != 0) Fail("load of the input");
  if (first.Save(kFirst) != 0) Fail("first save");
  std::string firstBytes = sim::FileData(kFirst);

  IniFile second;
  if (second.Load(kFirst) != 0) Fail("second load");
  if (second.Save(kSecond) != 0) Fail("second save");
  std::string secondBytes = sim::FileData(kSecond);

  bool trimmed = TrimEmptyLastLine(&first);
  if (Snapshot(second) != Snapshot(first)) Fail("the reloaded model differs");
  if (!trimmed) {
    if (secondBytes != firstBytes) Fail("saving is not stable");
  } else {
    if (first.Save(kTrimmed) != 0) Fail("save of the trimmed model");
    if (secondBytes != sim::FileData(kTrimmed)) Fail("the second save differs from the trimmed model's");
  }
  return 0;
}
