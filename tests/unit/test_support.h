// Helpers shared by the host unit tests. Each TEST runs in its own process under ctest
// (gtest_discover_tests), so the product's process-wide state starts fresh for each.
#ifndef VORLAX_TESTS_TEST_SUPPORT_H
#define VORLAX_TESTS_TEST_SUPPORT_H

#include <string>

#include "sim/sim.h"

namespace testing_support {

// Everything the trace wrote to the debugger output, concatenated.
inline std::string DebugText() {
  std::string out;
  for (const std::string& s : sim::DebugOutput()) out += s;
  return out;
}

// Text as a Windows text-mode stream stores it: every LF preceded by CR.
inline std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace testing_support

#endif
