// Included first into every test program on Windows (by tests/CMakeLists.txt): death-test patterns go through
// std::regex as the POSIX extended expressions they are on Linux, not GoogleTest's simple ones.
#ifndef VORL_TESTS_WINDEATHREGEX_H
#define VORL_TESTS_WINDEATHREGEX_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#ifdef _WIN32

namespace vorldeath {

MATCHER_P(ContainsPosixRegex, pattern, "contains regular expression \"" + pattern + "\"")
{
    return std::regex_search(arg, std::regex(pattern, std::regex::extended));  // '.' matches newlines too
}

using STRINGMATCHER = testing::Matcher<const std::string&>;
inline STRINGMATCHER matcher(const std::string& pattern) { return ContainsPosixRegex(pattern); }
inline STRINGMATCHER matcher(const char* pattern) { return ContainsPosixRegex(std::string(pattern)); }
inline STRINGMATCHER matcher(STRINGMATCHER given) { return given; }

}  // namespace vorldeath

#undef EXPECT_EXIT
#undef ASSERT_EXIT
#define EXPECT_EXIT(statement, predicate, pattern) \
    GTEST_DEATH_TEST_(statement, predicate, ::vorldeath::matcher(pattern), GTEST_NONFATAL_FAILURE_)
#define ASSERT_EXIT(statement, predicate, pattern) \
    GTEST_DEATH_TEST_(statement, predicate, ::vorldeath::matcher(pattern), GTEST_FATAL_FAILURE_)

#endif

#endif
