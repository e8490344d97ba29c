// Alerts end the process with exit code 0, running the exit callbacks only on the main thread; assertions ask.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "platform/vplatform.h"
#include "vorl/alert.h"
#include "vorl/mutex.h"
#include "vorl/thread.h"

namespace {

void registercallbacks(void)
{
    SYS_atexit([] { fputs("callback one\n", stderr); });
    SYS_atexit([] { fputs("callback two\n", stderr); });
}

int answer = IDIGNORE;
std::string boxtext;

int recordbox(const char* text, const char*, UINT)
{
    boxtext = text;
    return answer;
}

TEST(AlertDeathTest, AlertsShowTheBoxAndExitZeroRunningCallbacksOnTheMainThreadOnly)
{
    // The message is cut to 511 characters, the caption to 127; an alert from a callback returns 1.
    std::string longname(300, 'f'), longtext(700, 'm');
    EXPECT_EXIT(
        {
            THREAD_iscurrent(nullptr);
            registercallbacks();
            SYS_atexit([] { fprintf(stderr, "alert returned %d\n", int(ALERTroutine("DURING EXIT.\n"))); });
            ALERTfile = longname.c_str();
            ALERTroutine("SAMPLE_op - %s", longtext.c_str());
            fputs("not reached\n", stderr);
        },
        testing::ExitedWithCode(0),
        "Abort from file \"f{110}[^f].*SAMPLE_op - m{499}[^m].*alert returned 1\ncallback two\ncallback one\n$");
    EXPECT_EXIT(
        {
            THREAD_iscurrent(nullptr);
            registercallbacks();
            std::thread([] { ALERTroutine("WORKER - FAILED.\n"); }).join();
            fputs("not reached\n", stderr);
        },
        testing::ExitedWithCode(0),
        testing::AllOf(testing::HasSubstr("Abort Message"), testing::HasSubstr("WORKER - FAILED."),
                       testing::Not(testing::HasSubstr("callback"))));
    // Abort in the assertion box ends the process with the callbacks.
    EXPECT_EXIT(
        {
            PW_setboxhook(recordbox);
            answer = IDABORT;
            registercallbacks();
            ASSERT_report("cmn/sample", 1, "never");
            fputs("not reached\n", stderr);
        },
        testing::ExitedWithCode(0), "Assertion Failed.*callback two\ncallback one\n$");
}

TEST(AssertReport, PrintsTheLineFirstThenAsksAndReturnsTheChoice)
{
    PW_setboxhook(recordbox);
    answer = IDIGNORE;
    testing::internal::CaptureStdout();
    const int32_t ignored = ASSERT_report("cmn/sample", 12, "count > 100%s");
    EXPECT_EQ(boxtext,
              "Assertion Failed!\n\nFile:\tcmn/sample\nLine:\t12\n\n\ncount > 100%s is FALSE\n\n\n"
              "(Press Retry to debug the application)");
    // The verbose form honours the level; a text too long for ALERT_print is reported, then printed cut.
    const int32_t below = 0, at = 1;
    ALERT_verbose(&below, 1, "hidden\n");
    ALERT_verbose(&at, 1, "shown %s\n", "100%s");
    ALERT_print("%s", std::string(600, 'q').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cmn/sample(12) : Assertion Failed: count > 100%s\nshown 100%s\n"
                                                      "cmn/assert(204) : Assertion Failed: strlength >= 0\n" +
                                                          std::string(511, 'q'));
    // Retry with no debugger attached goes on after the check.
    answer = IDRETRY;
    EXPECT_EQ((std::vector<int32_t>{ignored, ASSERT_report("cmn/sample", 13, "x"), ASSERT_check(0, "cmn/s", 14, "y"),
                                    ASSERT_check(1, "cmn/s", 15, "z")}),
              (std::vector<int32_t>{0, 1, 0, 1}));
    PW_setboxhook(nullptr);
    ScopedAlertRecorder recorder;
    ALERT_reset();
    EXPECT_EQ(ALERTroutine, ALERT_abort);
}

}  // namespace
