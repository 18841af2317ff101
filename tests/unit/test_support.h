// Helpers shared by the host unit tests. Under ctest each TEST runs in its own process
// (gtest_discover_tests); run directly, a program runs all its tests in one process, and the
// unit tests' main (unit_main.cpp) starts each of them with StartFreshProcess.
#ifndef VORLAX_TESTS_TEST_SUPPORT_H
#define VORLAX_TESTS_TEST_SUPPORT_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/process_state.h"
#include "sim/sim.h"

// The product's entry routine, as the host build names it.
int VorlaxCleanMain(int argc, char** argv);

namespace testing_support {

// One run of the tool's entry routine with these arguments after the program's path.
inline int RunMain(std::vector<std::string> args) {
  args.insert(args.begin(), "C:\\vctool\\VorlaxClean.exe");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return VorlaxCleanMain(static_cast<int>(args.size()), argv.data());
}

// The product's process-wide state as at program start, on a fresh simulated machine. The
// product goes first: the log file it may still hold open is closed on the machine it was
// opened on.
inline void StartFreshProcess() {
  ResetProcessState();
  sim::Reset();
}

// sim::FailApi for a test: a fault the machine refuses (an API that no fault point has, an nth
// below 1) fails the test instead of never firing.
inline void FailApi(const std::string& api, long nth = 1, bool persistent = true, DWORD error = 0) {
  if (!sim::FailApi(api, nth, persistent, error))
    ADD_FAILURE() << "the machine refuses the fault on \"" << api << "\" (call " << nth
                  << "): no fault point has that API (sim/fault_points.h), or the call number is below 1";
}

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
