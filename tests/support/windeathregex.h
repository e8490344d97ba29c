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

inline std::string ecmapattern(const std::string& posix)
{
    std::string out;
    bool inbrackets = false;
    for (size_t i = 0; i < posix.size(); i++) {
        char c = posix[i];
        if (c == '\\' && i + 1 < posix.size()) {
            out += c;
            out += posix[++i];
        } else if (inbrackets) {
            out += c;
            if (c == ']')
                inbrackets = false;
        } else if (c == '[') {
            inbrackets = true;
            out += c;
            if (i + 1 < posix.size() && posix[i + 1] == '^')
                out += posix[++i];
            if (i + 1 < posix.size() && posix[i + 1] == ']')
                out += posix[++i];
        } else if (c == '.') {
            out += "[\\s\\S]";
        } else {
            out += c;
        }
    }
    return out;
}

class POSIXREGEXMATCHER : public testing::MatcherInterface<const std::string&> {
public:
    explicit POSIXREGEXMATCHER(const std::string& pattern) : pattern_(pattern), regex_(ecmapattern(pattern)) {}
    bool MatchAndExplain(const std::string& text, testing::MatchResultListener*) const override
    {
        return std::regex_search(text, regex_);
    }
    void DescribeTo(std::ostream* os) const override { *os << "contains regular expression \"" << pattern_ << "\""; }
    void DescribeNegationTo(std::ostream* os) const override
    {
        *os << "does not contain regular expression \"" << pattern_ << "\"";
    }

private:
    std::string pattern_;
    std::regex regex_;
};

inline testing::Matcher<const std::string&> matcher(const char* pattern)
{
    return testing::MakeMatcher(new POSIXREGEXMATCHER(pattern != nullptr ? pattern : ""));
}
inline testing::Matcher<const std::string&> matcher(const std::string& pattern)
{
    return testing::MakeMatcher(new POSIXREGEXMATCHER(pattern));
}
inline testing::Matcher<const std::string&> matcher(testing::Matcher<const std::string&> given) { return given; }

}  // namespace vorldeath

#undef EXPECT_EXIT
#undef ASSERT_EXIT
#define EXPECT_EXIT(statement, predicate, pattern) \
    GTEST_DEATH_TEST_(statement, predicate, ::vorldeath::matcher(pattern), GTEST_NONFATAL_FAILURE_)
#define ASSERT_EXIT(statement, predicate, pattern) \
    GTEST_DEATH_TEST_(statement, predicate, ::vorldeath::matcher(pattern), GTEST_FATAL_FAILURE_)

#endif

#endif
