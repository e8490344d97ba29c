// Death tests in programs that start threads must re-run the test binary in
// the child ("threadsafe" style). Including this header sets that style for
// every test of the program. (Setting the flag from a static initialiser
// instead would race with the flag's own construction.) Under a user-mode
// emulator the binary cannot be re-run directly, so the child is forked
// instead; each test case runs in a process of its own, so no other thread
// exists yet when a death test starts.
#ifndef VORL_TESTS_DEATHSTYLE_H
#define VORL_TESTS_DEATHSTYLE_H

#include <gtest/gtest.h>

class THREADSAFEDEATHTESTS : public testing::Environment {
public:
#ifdef VORL_TEST_EMULATOR
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
#else
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
#endif
};

inline testing::Environment* const threadsafedeathtests =
    testing::AddGlobalTestEnvironment(new THREADSAFEDEATHTESTS);

#endif
