// Alerts end the process through the abort box with exit code 0, running the
// exit callbacks only on the main thread; assertions ask Abort/Retry/Ignore.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
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

std::string printed(const std::function<void()>& print)
{
    testing::internal::CaptureStdout();
    print();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(AlertDeathTest, AlertsShowTheBoxAndExitZeroRunningCallbacksOnTheMainThreadOnly)
{
    // The message is cut to 511 characters, the caption to 127.
    std::string longname(300, 'f'), longtext(700, 'm');
    EXPECT_EXIT(
        {
            THREAD_iscurrent(nullptr);
            registercallbacks();
            ALERTfile = longname.c_str();
            ALERTroutine("SAMPLE_op - %s", longtext.c_str());
            fputs("not reached\n", stderr);
        },
        testing::ExitedWithCode(0),
        "Abort from file \"f{110}[^f].*SAMPLE_op - m{499}[^m].*callback two\ncallback one\n$");
    EXPECT_EXIT(
        {
            THREAD_iscurrent(nullptr);
            registercallbacks();
            std::thread([] {
                ALERTfile = "cmn/worker";
                ALERTline = 7;
                ALERTroutine("WORKER - FAILED.\n");
            }).join();
            fputs("not reached\n", stderr);
        },
        testing::ExitedWithCode(0),
        testing::AllOf(testing::HasSubstr("Abort from file \"cmn/worker\", line 7"),
                       testing::HasSubstr("WORKER - FAILED."), testing::Not(testing::HasSubstr("callback"))));
}

TEST(AlertDeathTest, AlertsDuringTheExitCallbacksOrWhileTheBoxIsOpenReturnOne)
{
    // Without a file the caption is "Abort Message".
    EXPECT_EXIT(
        {
            THREAD_iscurrent(nullptr);
            SYS_atexit([] { fprintf(stderr, "callback alert returned %d\n", int(ALERTroutine("DURING EXIT.\n"))); });
            ALERTfile = nullptr;
            ALERT_abort("FIRST - ALERT.\n");
        },
        testing::ExitedWithCode(0), "Abort Message.*FIRST - ALERT.*callback alert returned 1\n");
    EXPECT_EXIT(
        {
            PW_setboxhook([](const char*, const char*, UINT) {
                static std::atomic<int> second{-1};
                std::thread([] { second = ALERTroutine("SECOND - ALERT.\n"); }).join();
                fprintf(stderr, "second alert returned %d\n", second.load());
                return int(IDCANCEL);
            });
            ALERTroutine("FIRST - ALERT.\n");
        },
        testing::ExitedWithCode(0), "FIRST - ALERT.*second alert returned 1\n");
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
    int32_t result = -1;
    EXPECT_EQ(printed([&] { result = ASSERT_report("cmn/sample", 12, "count > 100%s"); }),
              "cmn/sample(12) : Assertion Failed: count > 100%s\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(boxtext,
              "Assertion Failed!\n\nFile:\tcmn/sample\nLine:\t12\n\n\ncount > 100%s is FALSE\n\n\n"
              "(Press Retry to debug the application)");
    // ALERT_print reports a text too long for it, then prints it cut.
    EXPECT_EQ(printed([] { ALERT_print("%s", std::string(600, 'q').c_str()); }),
              "cmn/assert(204) : Assertion Failed: strlength >= 0\n" + std::string(511, 'q'));

    // Retry with no debugger attached goes on after the check.
    answer = IDRETRY;
    printed([] {
        EXPECT_EQ((std::vector<int32_t>{ASSERT_report("cmn/sample", 13, "x"), ASSERT_check(0, "cmn/sample", 14, "y"),
                                        ASSERT_check(1, "cmn/sample", 15, "z")}),
                  (std::vector<int32_t>{1, 0, 1}));
    });
    PW_setboxhook(nullptr);

    // The verbose form honours the level; neither form reads its text as a format.
    int32_t level = 0;
    EXPECT_EQ(printed([&] {
                  ALERT_verbose(&level, 1, "[FILE] hidden (%d)\n", 5);
                  level = 1;
                  ALERT_verbose(&level, 1, "[FILE] shown (%d) %s\n", 6, "100%s");
                  ALERT_verbose(nullptr, 99, "always %s\n", "%d");
                  ALERT_print("%s", "literal %s %d\n");
              }),
              "[FILE] shown (6) 100%s\nalways %d\nliteral %s %d\n");

    // A reset brings back the default routine.
    ScopedAlertRecorder recorder;
    EXPECT_NE(ALERTroutine, ALERT_abort);
    ALERT_reset();
    EXPECT_EQ(ALERTroutine, ALERT_abort);
}

}  // namespace
