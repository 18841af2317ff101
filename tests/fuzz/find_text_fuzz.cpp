// Fuzz target for the case-insensitive substring search of the process scan: any text, pattern
// and limit, with either pointer possibly missing. The answer must be the one a brute-force
// search gives: a position inside the text where the pattern matches, ignoring ASCII letter
// case, using only characters within the first limit characters of the text, and the first such
// position; none when there is no such position.
//
// Input: two bytes of limit (signed, little-endian), one flags byte (bit 0: no text, bit 1: no
// pattern, bit 2: the limit is INT_MAX, bit 3: the limit is INT_MIN), then the text, a NUL and
// the pattern (up to the next NUL). Without a NUL the pattern is "\explorer.exe", the one the
// product searches for.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "detect/process_scan.h"

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

[[noreturn]] void Fail(const char* what, const std::string& text, const std::string& pattern, int limit) {
  fprintf(stderr, "find_text_fuzz: %s\ntext \"%s\" pattern \"%s\" limit %d\n", what, text.c_str(), pattern.c_str(),
          limit);
  abort();
}

// Does the pattern match at p, using only characters before the usable end?
bool MatchesAt(const std::string& text, const std::string& pattern, size_t p, size_t usable) {
  if (p + pattern.size() > usable) return false;
  for (size_t k = 0; k < pattern.size(); ++k) {
    if (Lower(text[p + k]) != Lower(pattern[k])) return false;
  }
  return true;
}

char* ExactCopy(const std::string& text) {
  char* copy = static_cast<char*>(malloc(text.size() + 1));
  memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  int limit = static_cast<int16_t>(static_cast<uint16_t>(data[0] | data[1] << 8));
  const uint8_t flags = data[2];
  if (flags & 4) limit = INT_MAX;
  if (flags & 8) limit = INT_MIN;
  const bool noText = (flags & 1) != 0;
  const bool noPattern = (flags & 2) != 0;

  std::string input(reinterpret_cast<const char*>(data + 3), size - 3);
  size_t nul = input.find('\0');
  std::string text = input.substr(0, nul);
  std::string pattern = "\\explorer.exe";
  if (nul != std::string::npos) {
    pattern = input.substr(nul + 1);
    pattern = pattern.c_str();
  }

  char* textCopy = noText ? NULL : ExactCopy(text);
  char* patternCopy = noPattern ? NULL : ExactCopy(pattern);
  const char* found = FindTextNoCase(textCopy, patternCopy, limit);

  // Brute force: every start position of the text, in order.
  const char* expected = NULL;
  if (!noText && !noPattern && limit > 0) {
    size_t usable = text.size() < static_cast<size_t>(limit) ? text.size() : static_cast<size_t>(limit);
    if (pattern.empty()) {
      expected = textCopy;
    } else {
      for (size_t p = 0; p < text.size(); ++p) {
        if (MatchesAt(text, pattern, p, usable)) {
          expected = textCopy + p;
          break;
        }
      }
    }
  }

  if (found != NULL) {
    if (textCopy == NULL || found < textCopy || found > textCopy + text.size())
      Fail("the answer lies outside the text", text, pattern, limit);
    size_t p = static_cast<size_t>(found - textCopy);
    if (!pattern.empty() && p >= text.size()) Fail("the answer is the end of the text", text, pattern, limit);
    if (limit <= 0) Fail("an answer with no limit", text, pattern, limit);
    size_t usable = text.size() < static_cast<size_t>(limit) ? text.size() : static_cast<size_t>(limit);
    if (!MatchesAt(text, pattern, p, usable)) Fail("no match within the limit at the answer", text, pattern, limit);
  }
  if (found != expected) Fail(found == NULL ? "a match was missed" : "not the first match", text, pattern, limit);
  if ((textCopy != NULL && text != textCopy) || (patternCopy != NULL && pattern != patternCopy))
    Fail("the arguments were changed", text, pattern, limit);
  free(textCopy);
  free(patternCopy);
  return 0;
}
