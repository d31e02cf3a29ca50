// Death tests re-run the test program once each: they are set up for a program
// with threads, and skipped under sanitizers, where that is too slow.
#pragma once

#include <gtest/gtest.h>

namespace platform_test {

class DeathTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef NRV_SANITIZED_BUILD
    GTEST_SKIP() << "each death test re-runs the binary, too slow under sanitizers";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
};

}  // namespace platform_test
