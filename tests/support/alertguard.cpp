// Linked into every test program: an unexpected alert fails the test (the default routine would end the process with
// status 0, which reads as success). In a death test's child the default routine runs as usual.
#include <gtest/gtest.h>

#include "alertrecorder.h"

static int32_t unexpectedalert(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = alerttext(format, args);
    va_end(args);
    if (testing::internal::InDeathTestChild())
        return ALERT_abort("%s", text.c_str());
    ADD_FAILURE() << "unexpected alert from " << (ALERTfile ? ALERTfile : "?") << " line " << ALERTline << ": "
                  << text;
    return 1;
}

class UNEXPECTEDALERTS : public testing::Environment {
    void SetUp() override { ALERTroutine = unexpectedalert; }
};

static testing::Environment* const unexpectedalerts = testing::AddGlobalTestEnvironment(new UNEXPECTEDALERTS);
