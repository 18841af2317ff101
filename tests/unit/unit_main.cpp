// The main of every unit-test program. Each test starts as a fresh process on a fresh machine
// would, whether ctest runs it alone (one process per test) or the program runs them all in
// one process, once or with --gtest_repeat.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

class FreshProcessForEachTest : public testing::EmptyTestEventListener {
  // Called before the test's fixture is even constructed, so fixtures set up on top of it.
  void OnTestStart(const testing::TestInfo&) override { testing_support::StartFreshProcess(); }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new FreshProcessForEachTest);
  return RUN_ALL_TESTS();
}
