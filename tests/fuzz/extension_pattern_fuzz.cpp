// Fuzz target for the extension matcher of the drive scan: any name against any pattern list,
// compared with a second matcher written here from the matching rules in another shape (the
// list cut into its patterns first, each pattern then tried on its own).
//
// Input: the name, a NUL, then the pattern list (up to the next NUL). Without a NUL the whole
// input is the name and the list is the scan's own "EX? ?XE".
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "detect/drive_scan.h"

namespace {

// ASCII letters only; every other byte stands for itself.
unsigned char Upper(unsigned char c) { return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c; }

// One pattern (no spaces, not empty) against the whole name.
bool PatternFits(const std::string& name, const std::string& pattern) {
  for (size_t k = 0;; ++k) {
    if (k == pattern.size()) return k == name.size();  // the pattern ended: so must the name
    if (pattern[k] == '*') return true;
    if (k == name.size()) {
      // The name ended first: only question marks may follow, up to the end or a star.
      size_t rest = pattern.find_first_not_of('?', k);
      return rest == std::string::npos || pattern[rest] == '*';
    }
    if (pattern[k] != '?' &&
        Upper(static_cast<unsigned char>(pattern[k])) != Upper(static_cast<unsigned char>(name[k])))
      return false;
  }
}

bool ReferenceMatch(const std::string& name, const std::string& list) {
  std::vector<std::string> patterns;
  std::string current;
  for (char c : list) {
    if (c == ' ') {
      if (!current.empty()) patterns.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) patterns.push_back(current);
  for (const std::string& p : patterns) {
    if (PatternFits(name, p)) return true;
  }
  return false;
}

// A copy in a block of exactly its own size, so that a read past the terminator is caught.
char* ExactCopy(const std::string& text) {
  char* copy = static_cast<char*>(malloc(text.size() + 1));
  memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t nul = input.find('\0');
  std::string name = input.substr(0, nul);
  std::string list = ScanExtensionPatterns;
  if (nul != std::string::npos) {
    list = input.substr(nul + 1);
    list = list.c_str();
  }

  char* nameCopy = ExactCopy(name);
  char* listCopy = ExactCopy(list);
  int result = MatchExtensionPattern(nameCopy, listCopy);
  int expected = ReferenceMatch(name, list) ? 1 : 0;
  if (result != expected || name != nameCopy || list != listCopy) {
    fprintf(stderr, "extension_pattern_fuzz: \"%s\" against \"%s\" gave %d, expected %d%s\n", name.c_str(),
            list.c_str(), result, expected, name != nameCopy || list != listCopy ? " (arguments changed)" : "");
    abort();
  }
  free(nameCopy);
  free(listCopy);
  return 0;
}
