// The thread registry, priorities, waits and the exit report.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "vorl/print.h"
#include "vorl/thread.h"

namespace {

using LIST = std::vector<int64_t>;

std::atomic<int> ran{0};
void* release = nullptr;
void addparam(uint32_t param) { ran += static_cast<int>(param); }
void waitforrelease(uint32_t) { SIGNAL_wait(release); }

std::mutex systemlock;
std::vector<std::string> recorded;
bool printed(const std::string& line)
{
    std::lock_guard<std::mutex> hold(systemlock);
    return std::find(recorded.begin(), recorded.end(), line) != recorded.end();
}

TEST(ThreadRegistry, TheMainThreadNullsAndPriorities)
{
    THREAD_init(0);
    EXPECT_EQ((LIST{THREAD_iscurrent(nullptr), THREAD_iscurrent(THREAD_CURRENT)}), (LIST{1, 1})) << "it made the registry";
    for (int32_t level = -3; level <= 4; level++) {
        THREAD_setpriority(level < 4 ? THREAD_CURRENT : nullptr, level);
        EXPECT_EQ(THREAD_getpriority(level < 4 ? nullptr : THREAD_CURRENT), level < 4 ? level : 0) << "4 is normal";
    }

    // Bad arguments alert; the main thread cannot be removed.
    THREAD record = {};
    void* held = &record;
    ScopedAlertRecorder recorder;
    EXPECT_EQ((std::vector<const void*>{THREAD_create(nullptr, 0, 0, -1, &record),
                                        THREAD_createparam(addparam, 0, 0, 0, -1, nullptr),
                                        THREAD_createheld(nullptr, 0, 0, 0, &record, &held), held}),
              std::vector<const void*>(4, nullptr));
    testing::internal::CaptureStdout();
    THREAD_remove(nullptr);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "pc/threads(227) : Assertion Failed: thread\n");
    EXPECT_EQ(recorder.messages(),
              (std::vector<std::string>{"THREAD_create - NO ROUTINE.\n", "THREAD_createparam - NO THREAD RECORD.\n",
                                        "THREAD_createheld - NO ROUTINE.\n",
                                        "THREAD_remove - CANNOT REMOVE THE MAIN THREAD.\n"}));
    EXPECT_EQ(recorder.alerts().back().file + std::to_string(recorder.alerts().back().line), "pc/threads648");

    // A record never registered matches no entry; another thread gets the priority it was made with.
    EXPECT_EQ(THREAD_isdone(&record), 1);
    release = SIGNAL_create();
    ASSERT_NE(THREAD_createheld(waitforrelease, 0, 0, THREAD_TIMECRITICAL, &record, &held), nullptr);
    EXPECT_EQ((LIST{THREAD_getpriority(&record), THREAD_finditem(&record) != nullptr}), (LIST{3, 1}));
    SIGNAL_set(release);
    THREAD_join(&record, held);
}

THREAD ownrecord = {}, firstrecord = {};
void* ownhandle = nullptr;
// Ends itself once the thread in the entry before its own has gone.
template <bool EXIT>
void endsafterfirst(uint32_t)
{
    while (!THREAD_isdone(&firstrecord))
        THREAD_sleep(1);
    if (EXIT)
        THREAD_exit();
    THREAD_remove(THREAD_CURRENT);
}

TEST(ThreadRegistry, ThreadsRegisterWithGrowingKeysAndLeaveWhenDone)
{
    // Installed before any thread that may print.
    PRINT_setdevice(3, "recorder", [](int32_t, const char* text) -> int32_t {
        std::lock_guard<std::mutex> hold(systemlock);
        recorded.push_back(text);
        return 1;
    });
    PRINT_enabledevice(3, 1);
    PRINT_enablechannel(PRINT_SYSTEM, 1);
    release = SIGNAL_create();
    THREAD first = {}, second = {}, third = {}, exiting = {};
    void *held = nullptr, *firstheld = nullptr;
    ASSERT_NE(THREAD_createheld(waitforrelease, 0, 0, THREAD_NORMAL, &first, &firstheld), nullptr);
    ASSERT_NE(THREAD_createparam(addparam, 5, 0, THREAD_NORMAL, -1, &second), nullptr);
    EXPECT_EQ((LIST{first.key, second.key, first.index, second.index, first.id != 0}), (LIST{1, 2, 0, 1, 1}));
    EXPECT_EQ((LIST{THREAD_wait(&second, 0), ran.load(), THREAD_wait(&first, 2)}), (LIST{1, 5, 0}));
    // A freed entry is reused under a new key: the stale record reaches not the thread now in it.
    ASSERT_NE(THREAD_createheld(waitforrelease, 0, 0, THREAD_NORMAL, &third, &held), nullptr);
    THREAD_setpriority(&second, THREAD_TIMECRITICAL);
    THREAD_remove(&second);
    EXPECT_EQ((LIST{third.index, third.key, THREAD_isdone(&second), THREAD_getpriority(&third), THREAD_wait(&third, 2)}),
              (LIST{1, 3, 1, THREAD_NORMAL, 0}));
    SIGNAL_set(release);
    THREAD_join(&third, held);
    char expected[128];
    snprintf(expected, sizeof expected, "THREAD %u exiting: index %d, handle %d, key %d\n",
             static_cast<unsigned>(third.id), 1, static_cast<int>(reinterpret_cast<uintptr_t>(third.handle)), 3);
    EXPECT_TRUE(printed(expected)) << expected;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(THREAD_wait(&third, 300), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "a thread gone is not waited for";
    THREAD_join(&first, firstheld);

    auto joinsitself = [](uint32_t) { THREAD_join(&ownrecord, nullptr), THREAD_join(&ownrecord, ownhandle); };
    THREAD_createheld(joinsitself, 0, 0, 0, &ownrecord, &ownhandle);
    EXPECT_EQ(THREAD_wait(&ownrecord, 0), 1) << "join on the thread itself does not wait";

    // A thread that ends itself leaves the registry, even behind an entry come free; THREAD_exit says so.
    for (THREADPARAMROUTINE self : {endsafterfirst<false>, endsafterfirst<true>}) {
        release = SIGNAL_create();
        ASSERT_NE(THREAD_create([] { SIGNAL_wait(release); }, 0, THREAD_NORMAL, -1, &firstrecord), nullptr);
        ASSERT_NE(THREAD_createheld(self, 0, 0, 0, &exiting, &held), nullptr);
        ASSERT_EQ(exiting.index, firstrecord.index + 1);
        SIGNAL_set(release);
        THREAD_join(&exiting, held);
        EXPECT_EQ(THREAD_isdone(&exiting), 1);
    }
    snprintf(expected, sizeof expected, "THREAD_exit - terminating thread %u\n", static_cast<unsigned>(exiting.id));
    EXPECT_TRUE(printed(expected)) << expected;
}

// Registered before the registry, so it runs after the registry's shutdown.
THREAD laterecord = {};
void* lateheld = nullptr;
std::atomic<int> lateismain{-1};
void latethread(uint32_t) { SIGNAL_wait(release), lateismain = THREAD_iscurrent(nullptr); }
void releaselatethread(void)
{
    SIGNAL_set(release);
    THREAD_join(&laterecord, lateheld);
    fprintf(stderr, "the later exit callback ran; main thread: %d\n", lateismain.load());
}

TEST(ThreadExitReport, RunningThreadsAreReportedOnceAndThoseEndingLaterTouchNothing)
{
    EXPECT_EXIT(
        {
            PRINT_setdevice(3, "stderr", [](int32_t, const char* text) -> int32_t { return fputs(text, stderr); });
            PRINT_enabledevice(3, 1);
            release = SIGNAL_create();
            THREAD worker = {};
            THREAD_create([] { SIGNAL_wait(release); }, 0, 0, -1, &worker);
            exit(0);
        },
        testing::ExitedWithCode(0), "^THREAD_restore - Thread running, index  0, handle 0x[0-9a-f]{8}, id 0x[0-9a-f]{8}\n$");
    EXPECT_EXIT(
        {
            if (THREAD_capacity() != 0)
                exit(5);  // the registry must come after the callback
            atexit(releaselatethread);
            release = SIGNAL_create();
            THREAD_createheld(latethread, 0, 0, 0, &laterecord, &lateheld);
            exit(3);
        },
        testing::ExitedWithCode(3), "the later exit callback ran; main thread: 0");
}

}  // namespace
