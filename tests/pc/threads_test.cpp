// The thread registry, priorities, waits, the event wrappers and the exit report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "exitlines.h"
#include "vorl/pagemem.h"
#include "vorl/print.h"
#include "vorl/thread.h"

namespace {

using LIST = std::vector<int64_t>;
using POINTERS = std::vector<const void*>;

std::atomic<int> ran{0};
void* release = nullptr;
void addparam(uint32_t param) { ran += static_cast<int>(param); }
void waitforrelease(uint32_t) { SIGNAL_wait(release); }

// The system channel's lines, recorded from the printing thread. An exit line
// is printed after the registry lets the thread go: this polls for count
// lines, up to a second, and then starts the record afresh.
std::mutex systemlock;
std::vector<std::string> recorded;
// The device is installed once, before any thread that may print.
void recordsystem()
{
    PRINT_setdevice(3, "recorder", [](int32_t, const char* text) -> int32_t {
        std::lock_guard<std::mutex> hold(systemlock);
        recorded.push_back(text);
        return 1;
    });
    PRINT_enabledevice(3, 1);
    PRINT_enablechannel(PRINT_SYSTEM, 1);
}
std::vector<std::string> systemlines(size_t count)
{
    for (int turn = 0;; turn++, THREAD_sleep(1)) {
        std::lock_guard<std::mutex> hold(systemlock);
        if (recorded.size() >= count || turn == 1000)
            return std::exchange(recorded, {});
    }
}

// What a thread sees of the main thread, and of itself through THREAD_CURRENT.
LIST seen;
void lookaround(uint32_t)
{
    THREADITEM* own = THREAD_finditem(THREAD_CURRENT);
    seen = {THREAD_isdone(nullptr),    THREAD_wait(nullptr, 1),          THREAD_isdone(THREAD_CURRENT),
            own ? own->key : 0,        THREAD_getid(THREAD_CURRENT),     THREAD_iscurrent(nullptr),
            THREAD_iscurrent(THREAD_CURRENT)};
    SIGNAL_wait(release);
}

TEST(ThreadRegistry, TheMainThreadNullsAndPriorities)
{
    THREAD_init(0);
    int32_t bytes = 100 * 12;
    PAGE_free(PAGE_alloc(&bytes));
    // The default capacity fills whole pages; the initialising thread is the main one.
    EXPECT_EQ((LIST{THREAD_capacity(), THREAD_iscurrent(nullptr), THREAD_iscurrent(THREAD_CURRENT)}),
              (LIST{bytes / 12, 1, 1}));
    for (int32_t level = -3; level <= 4; level++) {
        THREAD_setpriority(level < 4 ? THREAD_CURRENT : nullptr, level);
        EXPECT_EQ(THREAD_getpriority(level < 4 ? nullptr : THREAD_CURRENT), level < 4 ? level : 0) << "4 is normal";
    }

    // Bad arguments alert; the main thread cannot be removed.
    THREAD record = {};
    void* held = &record;
    ScopedAlertRecorder recorder;
    EXPECT_EQ((POINTERS{THREAD_create(nullptr, 0, 0, -1, &record), THREAD_create([] {}, 0, 0, -1, nullptr),
                        THREAD_createparam(addparam, 0, 0, 0, -1, THREAD_CURRENT),
                        THREAD_createheld(nullptr, 0, 0, 0, &record, &held), held}),
              POINTERS(5, nullptr));
    testing::internal::CaptureStdout();
    THREAD_remove(nullptr);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "pc/threads(227) : Assertion Failed: thread\n");
    EXPECT_EQ(recorder.messages(),
              (std::vector<std::string>{"THREAD_create - NO ROUTINE.\n", "THREAD_create - NO THREAD RECORD.\n",
                                        "THREAD_createparam - NO THREAD RECORD.\n", "THREAD_createheld - NO ROUTINE.\n",
                                        "THREAD_remove - CANNOT REMOVE THE MAIN THREAD.\n"}));
    EXPECT_EQ(recorder.alerts().back().file + std::to_string(recorder.alerts().back().line), "pc/threads648");

    // A record never registered matches no entry. Null is the main thread:
    // running, not in the registry, unable to wait for its own end.
    EXPECT_EQ((POINTERS{THREAD_finditem(&record), THREAD_finditem(nullptr), EVENT_waitany(0, &held, 0),
                        EVENT_waitany(1, nullptr, 0)}),
              POINTERS(4, nullptr));
    EXPECT_EQ((LIST{record.key, THREAD_isdone(&record), THREAD_getpriority(&record), THREAD_isdone(nullptr),
                    THREAD_wait(nullptr, 0), THREAD_wait(nullptr, 1),
                    THREAD_getid(nullptr) - THREAD_getid(THREAD_CURRENT)}),
              (LIST{0, 1, 0, 0, 0, 0, 0}));
    THREAD_join(nullptr, nullptr);
    EXPECT_NE(THREAD_gethandle(nullptr), nullptr);

    // Another thread is not the main one, and gets the priority it was made with.
    release = SIGNAL_create();
    THREAD worker = {};
    ASSERT_NE(THREAD_createheld(lookaround, 0, 0, THREAD_TIMECRITICAL, &worker, &held), nullptr);
    EXPECT_EQ(THREAD_getpriority(&worker), 3);
    SIGNAL_set(release);
    THREAD_join(&worker, held);
    EXPECT_EQ(seen, (LIST{0, 0, 0, worker.key, worker.id, 0, 1}));
}

THREAD firstrecord = {}, ownrecord = {};
void* ownhandle = nullptr;
void exitwhenfirstisdone(uint32_t)
{
    while (!THREAD_isdone(&firstrecord))
        THREAD_sleep(1);
    THREAD_exit();
}

TEST(ThreadRegistry, ThreadsRegisterWithGrowingKeysAndLeaveWhenDone)
{
    recordsystem();
    release = SIGNAL_create();
    THREAD first = {}, second = {}, third = {};
    ASSERT_NE(THREAD_create([] { SIGNAL_wait(release); }, 0, THREAD_NORMAL, -1, &first), nullptr);
    ASSERT_NE(THREAD_createparam(addparam, 5, 0, THREAD_NORMAL, -1, &second), nullptr);
    EXPECT_EQ((LIST{first.key, second.key, first.index, second.index, first.id != 0}), (LIST{1, 2, 0, 1, 1}));
    EXPECT_EQ((LIST{THREAD_wait(&second, 0), ran.load(), THREAD_isdone(&first)}), (LIST{1, 5, 0}));
    THREADITEM* item = THREAD_finditem(&first);
    EXPECT_TRUE(item && item->key == 1 && item->id == first.id);
    // A freed entry is reused, under a new key; a stale record finds nothing.
    THREAD_create([] {}, 0, THREAD_NORMAL, -1, &third);
    EXPECT_EQ((LIST{third.index, third.key, THREAD_wait(&third, 0), THREAD_isdone(&second)}), (LIST{1, 3, 1, 1}));
    SIGNAL_set(release);
    EXPECT_EQ(THREAD_wait(&first, 0), 1);
    char expected[128];
    snprintf(expected, sizeof expected, "THREAD %u exiting: index %d, handle %d, key %d\n",
             static_cast<unsigned>(second.id), 1, static_cast<int>(reinterpret_cast<uintptr_t>(second.handle)), 2);
    EXPECT_THAT(systemlines(3), testing::Contains(std::string(expected)));

    // THREAD_exit drops the entry, then prints its own line, before the thread's end.
    THREAD exiting = {};
    void* held = nullptr;
    THREAD_createheld([](uint32_t) { THREAD_exit(); }, 0, 0, 0, &exiting, &held);
    EXPECT_EQ(THREAD_wait(&exiting, 0), 1);
    THREAD_join(&exiting, held);
    snprintf(expected, sizeof expected, "THREAD_exit - terminating thread %u\n", static_cast<unsigned>(exiting.id));
    EXPECT_EQ(systemlines(0), std::vector<std::string>{expected});

    // Wait lets a thread go once it is out of the registry, still printing its
    // exit line; join waits for the line too, and on the thread itself does
    // not wait. Without a handle, join waits as THREAD_wait does.
    SlowExitLines lines(100);
    ASSERT_NE(THREAD_createheld(addparam, 1, 0, THREAD_NORMAL, &exiting, &held), nullptr);
    EXPECT_EQ(THREAD_wait(&exiting, 0), 1);
    THREAD_join(&exiting, held);
    EXPECT_EQ(lines.finished(), 1u);
    THREAD_createheld(
        [](uint32_t) {
            THREAD_join(&ownrecord, nullptr);
            THREAD_join(&ownrecord, ownhandle);
        },
        0, 0, 0, &ownrecord, &ownhandle);
    release = SIGNAL_create();
    ASSERT_NE(THREAD_createheld(waitforrelease, 0, 0, 0, &first, &held), nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(THREAD_wait(&first, 2), 0) << "2 ticks at 100 per second";
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
    SIGNAL_set(release);
    THREAD_join(&first, nullptr);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(THREAD_wait(&first, 300), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "a thread gone is not waited for";
    THREAD_join(&first, held);
    while (lines.finished() < 3)
        THREAD_sleep(1);
    THREAD none = {};
    EXPECT_EQ(THREAD_wait(&none, 0), 0) << "a record never used is no thread";

    // An ending thread leaves the registry wherever its entry is: entry 0
    // comes free before the second thread exits. So does a thread that
    // removes itself: a wait for it must end.
    release = SIGNAL_create();
    ASSERT_NE(THREAD_create([] { SIGNAL_wait(release); }, 0, THREAD_NORMAL, -1, &firstrecord), nullptr);
    ASSERT_NE(THREAD_createheld(exitwhenfirstisdone, 0, 0, THREAD_NORMAL, &exiting, &held), nullptr);
    ASSERT_EQ(exiting.index, firstrecord.index + 1);
    SIGNAL_set(release);
    THREAD_join(&exiting, held);
    EXPECT_EQ(THREAD_finditem(&exiting), nullptr);
    ASSERT_NE(THREAD_createheld([](uint32_t) { THREAD_remove(THREAD_CURRENT); }, 0, 0, 0, &exiting, &held), nullptr);
    THREAD_join(&exiting, held);
    EXPECT_EQ(THREAD_isdone(&exiting), 1);
}

TEST(ThreadRegistry, AFullRegistryLetsThreadsRunUnregistered)
{
    THREAD_init(0);
    size_t capacity = static_cast<size_t>(THREAD_capacity());
    release = SIGNAL_create();
    std::vector<THREAD> threads(capacity + 1);
    std::vector<void*> held(threads.size());
    for (size_t i = 0; i < threads.size(); i++)
        ASSERT_NE(THREAD_createheld(waitforrelease, 0, 64 * 1024, THREAD_NORMAL, &threads[i], &held[i]), nullptr);
    // The last entry is taken; one more thread runs without entry, key and
    // handle, and can still be joined.
    EXPECT_EQ((LIST{threads[capacity - 1].index, threads.back().key, threads.back().handle == nullptr}),
              (LIST{static_cast<int64_t>(capacity) - 1, 0, 1}));
    SIGNAL_set(release);
    for (size_t i = 0; i < threads.size(); i++)
        THREAD_join(&threads[i], held[i]);
    EXPECT_EQ(THREAD_wait(&threads[0], 0), 1);
}

// Makes the platform's next handle take the value target again, as it does
// sooner or later with any closed handle. Returns handles to close once the
// next one is taken.
std::vector<void*> reusenexthandle(void* target)
{
    std::vector<void*> taken;
#ifdef _WIN32
    // Windows hands out the handle closed last (wine: the lowest free one),
    // so hold every handle taken on the way and free target's value last.
    for (void* event = EVENT_create(); taken.size() < 100000; event = EVENT_create()) {
        if (event == target) {
            EVENT_close(event);
            break;
        }
        taken.push_back(event);
    }
#else
    // Our table hands out the free slot after the one taken last.
    for (int turn = 0; turn < 100000; turn++) {
        void* event = EVENT_create();
        EVENT_close(event);
        if (reinterpret_cast<uintptr_t>(event) + 4 == reinterpret_cast<uintptr_t>(target))
            break;
    }
#endif
    return taken;
}

TEST(ThreadRemove, AnEndedThreadsRecordTerminatesNoOther)
{
    THREAD_init(0);
    release = SIGNAL_create();
    THREAD ended = {}, later = {};
    void* before = EVENT_create();  // frees the slot before the thread's, for the reuse below
    // Joined, not just done: an ending thread may still take and free
    // handles of its own (wine does), which would upset the reuse below.
    void* held = nullptr;
    ASSERT_NE(THREAD_createheld([](uint32_t) {}, 0, 0, THREAD_NORMAL, &ended, &held), nullptr);
    THREAD_join(&ended, held);
    EVENT_close(before);
    std::vector<void*> taken = reusenexthandle(ended.handle);
    ASSERT_NE(THREAD_create([] { ran += SIGNAL_wait(release) != nullptr; }, 0, THREAD_NORMAL, -1, &later), nullptr);
    for (void* event : taken)
        EVENT_close(event);
    ASSERT_EQ(later.handle, ended.handle) << "the handle value was given out again";
    THREAD_setpriority(&ended, THREAD_TIMECRITICAL);
    EXPECT_EQ(THREAD_getpriority(&later), THREAD_NORMAL);
    THREAD_remove(&ended);
    SIGNAL_set(release);
    EXPECT_EQ(THREAD_wait(&later, 300), 1);
    EXPECT_EQ(ran.load(), 1) << "the later thread ran to its end";
}

TEST(ThreadEvents, WrappersKeepAutoAndManualReset)
{
    void* event = EVENT_create();
    void* signal = SIGNAL_create();
    void* both[2] = {event, signal};
    EVENT_set(event);
    EXPECT_EQ((LIST{EVENT_poll(event), EVENT_poll(event), EVENT_waitticks(signal, 1)}), (LIST{1, 0, 0}));
    SIGNAL_set(signal);
    EXPECT_EQ((POINTERS{EVENT_waitany(2, both, 0), SIGNAL_wait(signal)}), (POINTERS{signal, signal}));
    EVENT_set(event);
    EXPECT_EQ(EVENT_waitanyforever(2, both), event);
    SIGNAL_reset(signal);
    EXPECT_EQ(EVENT_waitany(2, both, 0), nullptr);
    EXPECT_NE(EVENT_close(event) * SIGNAL_setclose(signal), 0);
}

// Registered before the registry, so it runs after the registry's shutdown.
THREAD laterecord = {};
void* lateheld = nullptr;
std::atomic<int> lateismain{-1};
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
            THREAD_createheld(
                [](uint32_t) {
                    SIGNAL_wait(release);
                    lateismain = THREAD_iscurrent(nullptr);
                },
                0, 0, 0, &laterecord, &lateheld);
            exit(3);
        },
        testing::ExitedWithCode(3), "the later exit callback ran; main thread: 0");
}

}  // namespace
