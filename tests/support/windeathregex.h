// Included first into every test program on Windows (by tests/CMakeLists.txt).
// GoogleTest's own regular expressions there know no brackets, alternation or
// '.' across lines: death-test patterns go through std::regex instead, with
// '.' matching any character as in POSIX. A matcher given is used as it is.
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
        size_t end = i + 1;  // the piece [i, end) is kept as it is
        if (posix[i] == '\\') {
            end = i + 2;
        } else if (posix[i] == '[') {
            size_t first = i + 1 + (posix.compare(i + 1, 1, "^") == 0);
            end = posix.find(']', first + (posix.compare(first, 1, "]") == 0)) + 1;  // 0 when unclosed
        }
        end = end == 0 || end > posix.size() ? posix.size() : end;
        out += posix[i] == '.' ? std::string("[\\s\\S]") : posix.substr(i, end - i);
        i = end - 1;
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
