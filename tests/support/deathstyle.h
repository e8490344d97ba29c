// Programs that start threads re-run the binary for a death test, set from an environment (a static initialiser would
// race with the flag). A user-mode emulator cannot re-run it: there the child is forked.
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
