// Death tests in programs that start threads re-run the test binary in the
// child ("threadsafe"), set from an environment (a static initialiser would
// race with the flag's construction). Under a user-mode emulator the binary
// cannot be re-run: the child is forked, and each test case runs in a process
// of its own, so no other thread exists yet when a death test starts.
#ifndef VORL_TESTS_DEATHSTYLE_H
#define VORL_TESTS_DEATHSTYLE_H

#include <gtest/gtest.h>

class THREADSAFEDEATHTESTS : public testing::Environment {
#ifdef VORL_TEST_EMULATOR
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
#else
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
#endif
};

inline testing::Environment* const threadsafedeathtests =
    testing::AddGlobalTestEnvironment(new THREADSAFEDEATHTESTS);

#endif
