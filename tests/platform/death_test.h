// Death tests re-run the test program once each: they are set up for a program
// with threads. Under the sanitizers they form a slower set of their own
// (tests/platform/CMakeLists.txt), so that the verifier's stops run there too.
#pragma once

#include <gtest/gtest.h>

namespace platform_test {

class DeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace platform_test
