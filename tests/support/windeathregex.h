// Included first into every test program on Windows (by tests/CMakeLists.txt).
// GoogleTest matches death-test messages with POSIX extended regular
// expressions on Linux but only with its own simple ones on Windows, which
// know no brackets, no alternation and no '.' across lines, so the same
// pattern would mean something else there. Here the death-test assertions
// take their pattern through std::regex instead, with '.' matching any
// character as it does in POSIX; a matcher given instead of a pattern is
// used as it is.
#ifndef VORL_TESTS_WINDEATHREGEX_H
#define VORL_TESTS_WINDEATHREGEX_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#ifdef _WIN32

namespace vorldeath {

// The pattern for std::regex: a '.' outside brackets becomes [\s\S]; a
// bracket expression (with its leading '^' and ']') and escapes are kept.
inline std::string ecmapattern(const std::string& posix)
{
    std::string out;
    for (size_t i = 0; i < posix.size(); i++) {
        if (posix[i] == '\\' && i + 1 < posix.size()) {
            out += posix.substr(i++, 2);
        } else if (posix[i] == '[') {
            size_t first = i + 1 + (posix.compare(i + 1, 1, "^") == 0);
            size_t close = posix.find(']', first + (posix.compare(first, 1, "]") == 0));
            out += posix.substr(i, close == std::string::npos ? close : close + 1 - i);
            i = close == std::string::npos ? posix.size() : close;
        } else {
            out += posix[i] == '.' ? std::string("[\\s\\S]") : std::string(1, posix[i]);
        }
    }
    return out;
}

MATCHER_P(ContainsPosixRegex, pattern, "contains regular expression \"" + pattern + "\"")
{
    return std::regex_search(arg, std::regex(ecmapattern(pattern)));
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
