// Alerts end the process through the abort box with exit code 0, running the
// exit callbacks only on the main thread; assertions ask Abort/Retry/Ignore.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "platform/vplatform.h"
#include "vorl/alert.h"
#include "vorl/mutex.h"
#include "vorl/print.h"
#include "vorl/thread.h"

namespace {

void firstcallback(void) { fputs("callback one\n", stderr); }
void secondcallback(void) { fputs("callback two\n", stderr); }

void registercallbacks(void)
{
    SYS_atexit(firstcallback);
    SYS_atexit(secondcallback);
}

TEST(AlertDeathTest, MainThreadAlertShowsTheBoxRunsCallbacksLastFirstAndExitsZero)
{
    EXPECT_EXIT(
        {
            THREAD_iscurrent(nullptr);
            registercallbacks();
            ALERTfile = "cmn/sample";
            ALERTline = 574;
            ALERTroutine("SAMPLE_op - SOMETHING WENT WRONG (%d).\n", 42);
            fputs("not reached\n", stderr);
        },
        testing::ExitedWithCode(0),
        "Abort from file \"cmn/sample\", line 574.*SAMPLE_op - SOMETHING WENT WRONG \\(42\\).*"
        "callback two\ncallback one\n");
}

TEST(AlertDeathTest, WithoutAFileTheCaptionIsAbortMessage)
{
    EXPECT_EXIT(
        {
            ALERTfile = nullptr;
            ALERT_abort("PLAIN - MESSAGE.\n");
        },
        testing::ExitedWithCode(0), "Abort Message.*PLAIN - MESSAGE");
}

TEST(AlertDeathTest, AlertOnAnotherThreadExitsZeroWithoutCallbacks)
{
    EXPECT_EXIT(
        {
            THREAD_iscurrent(nullptr);
            registercallbacks();
            std::thread worker([] {
                ALERTfile = "cmn/worker";
                ALERTline = 7;
                ALERTroutine("WORKER - FAILED.\n");
            });
            worker.join();
            fputs("not reached\n", stderr);
        },
        testing::ExitedWithCode(0),
        testing::AllOf(testing::HasSubstr("WORKER - FAILED."), testing::Not(testing::HasSubstr("callback"))));
}

void alertingcallback(void)
{
    int32_t result = ALERTroutine("CALLBACK - ALERT DURING EXIT.\n");
    fprintf(stderr, "callback alert returned %d and went on\n", static_cast<int>(result));
}

TEST(AlertDeathTest, AnAlertDuringTheExitCallbacksReturnsOne)
{
    EXPECT_EXIT(
        {
            THREAD_iscurrent(nullptr);
            SYS_atexit(alertingcallback);
            ALERTroutine("FIRST - ALERT.\n");
        },
        testing::ExitedWithCode(0), "FIRST - ALERT.*callback alert returned 1 and went on");
}

std::atomic<int> secondresult{-1};

int answerafterasecondalert(const char*, const char*, UINT)
{
    std::thread other([] { secondresult = ALERTroutine("SECOND - ALERT.\n"); });
    other.join();
    fprintf(stderr, "second alert returned %d\n", secondresult.load());
    return IDCANCEL;
}

TEST(AlertDeathTest, ASecondAlertWhileTheBoxIsOpenReturnsOneWithoutABox)
{
    EXPECT_EXIT(
        {
            PW_setboxhook(answerafterasecondalert);
            ALERTroutine("FIRST - ALERT.\n");
        },
        testing::ExitedWithCode(0), "FIRST - ALERT.*second alert returned 1\n");
}

TEST(AlertDeathTest, LongMessagesAndTitlesAreCut)
{
    std::string longname(300, 'f');
    std::string longtext(700, 'm');
    EXPECT_EXIT(
        {
            ALERTfile = longname.c_str();
            ALERTroutine("%s", longtext.c_str());
        },
        testing::ExitedWithCode(0),
        "Abort from file \"f{110}[^f].*[^m]m{511}[^m]");
}

int answer = IDIGNORE;
std::string boxtext, boxcaption;
UINT boxstyle = 0;

int recordbox(const char* text, const char* caption, UINT style)
{
    boxtext = text;
    boxcaption = caption;
    boxstyle = style;
    return answer;
}

class AssertReport : public testing::Test {
protected:
    void SetUp() override { PW_setboxhook(recordbox); }
    void TearDown() override { PW_setboxhook(nullptr); }
};

TEST_F(AssertReport, PrintsTheLineFirstThenAsksAndReturnsTheChoice)
{
    answer = IDIGNORE;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ASSERT_report("cmn/sample", 12, "count > 100%s"), 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cmn/sample(12) : Assertion Failed: count > 100%s\n");
    EXPECT_EQ(boxcaption, "VORL Library");
    EXPECT_EQ(boxtext,
              "Assertion Failed!\n\nFile:\tcmn/sample\nLine:\t12\n\n\ncount > 100%s is FALSE\n\n\n"
              "(Press Retry to debug the application)");
    EXPECT_EQ(boxstyle, static_cast<UINT>(MB_ABORTRETRYIGNORE | MB_ICONHAND | MB_TASKMODAL | MB_SETFOREGROUND));

    answer = IDRETRY;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ASSERT_report("cmn/sample", 13, "x"), 1);
    // Retry with no debugger attached goes on after the check.
    EXPECT_EQ(ASSERT_check(0, "cmn/sample", 14, "y"), 0);
    EXPECT_EQ(ASSERT_check(1, "cmn/sample", 15, "z"), 1);
    testing::internal::GetCapturedStdout();
}

TEST_F(AssertReport, AbortEndsTheProcessWithCallbacks)
{
    answer = IDABORT;
    EXPECT_EXIT(
        {
            registercallbacks();
            ASSERT_report("cmn/sample", 1, "never");
            fputs("not reached\n", stderr);
        },
        testing::ExitedWithCode(0), "Assertion Failed.*callback two\ncallback one\n$");
}

TEST_F(AssertReport, AlertPrintCutsLongTextsAfterReportingThem)
{
    answer = IDIGNORE;
    std::string longtext(600, 'q');
    testing::internal::CaptureStdout();
    ALERT_print("%s", longtext.c_str());
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "cmn/assert(204) : Assertion Failed: strlength >= 0\n" + std::string(511, 'q'));
}

TEST(AlertPrint, VerboseHonoursTheLevelAndKeepsPercentSigns)
{
    int32_t level = 0;
    testing::internal::CaptureStdout();
    ALERT_verbose(&level, 1, "[FILE] hidden (%d)\n", 5);
    level = 1;
    ALERT_verbose(&level, 1, "[FILE] shown (%d) %s\n", 6, "100%s");
    ALERT_verbose(nullptr, 99, "always %s\n", "%d");
    ALERT_print("%s", "literal %s %d\n");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[FILE] shown (6) 100%s\nalways %d\nliteral %s %d\n");
}

TEST(AlertPrint, ResetRestoresTheDefaultRoutine)
{
    ScopedAlertRecorder recorder;
    EXPECT_NE(ALERTroutine, ALERT_abort);
    ALERT_reset();
    EXPECT_EQ(ALERTroutine, ALERT_abort);
}

}  // namespace
