// The thread registry, priorities, waits and the exit report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "exitlines.h"
#include "vorl/pagemem.h"
#include "vorl/print.h"
#include "vorl/thread.h"

namespace {

std::atomic<int> ran{0};
void *release = nullptr;

void countrun(void) { ran++; }
void addparam(uint32_t param) { ran += static_cast<int>(param); }
void waitforrelease(void) { SIGNAL_wait(release); }
void waitforreleaseparam(uint32_t) { SIGNAL_wait(release); }

// Device routines run on the printing thread, so the recorder guards its lines itself.
std::mutex systemlock;
std::vector<std::string> systemlines;
int32_t recordsystem(int32_t channel, const char* text)
{
    std::lock_guard<std::mutex> hold(systemlock);
    systemlines.push_back(text);
    return 1;
}

// Sends the system channel to the recorder, starting from no lines.
void recordsystemchannel()
{
    PRINT_setdevice(3, "recorder", recordsystem);
    PRINT_enabledevice(3, 1);
    PRINT_enablechannel(PRINT_SYSTEM, 1);
    std::lock_guard<std::mutex> hold(systemlock);
    systemlines.clear();
}

// The exit line is printed after the registry lets the thread go, so a waiter may see the
// thread done before its line arrives: poll for the lines, up to a second.
std::vector<std::string> awaitsystemlines(size_t count)
{
    for (int turn = 0;; turn++) {
        {
            std::lock_guard<std::mutex> hold(systemlock);
            if (systemlines.size() >= count || turn == 1000)
                return systemlines;
        }
        THREAD_sleep(1);
    }
}

TEST(ThreadRegistry, DefaultCapacityFillsWholePages)
{
    THREAD_init(0);
    int32_t bytes = 100 * 12;
    void* probe = PAGE_alloc(&bytes);
    PAGE_free(probe);
    EXPECT_EQ(THREAD_capacity(), bytes / 12);
    if (PAGE_size() == 4096) {
        EXPECT_EQ(THREAD_capacity(), 341);
    }
    EXPECT_EQ(THREAD_iscurrent(nullptr), 1);
    EXPECT_EQ(THREAD_iscurrent(THREAD_CURRENT), 1);
}

TEST(ThreadRegistry, ThreadsRegisterWithGrowingKeysAndLeaveWhenDone)
{
    recordsystemchannel();
    release = SIGNAL_create();

    THREAD first = {}, second = {};
    ASSERT_NE(THREAD_create(waitforrelease, 0, THREAD_NORMAL, -1, &first), nullptr);
    ASSERT_NE(THREAD_createparam(addparam, 5, 0, THREAD_NORMAL, -1, &second), nullptr);
    EXPECT_EQ(first.key, 1u);
    EXPECT_EQ(second.key, 2u);
    EXPECT_EQ(first.index, 0);
    EXPECT_EQ(second.index, 1);
    EXPECT_NE(first.id, 0u);
    EXPECT_EQ(first.reserved, 0u);

    EXPECT_EQ(THREAD_wait(&second, 0), 1);
    EXPECT_EQ(ran.load(), 5);
    EXPECT_EQ(THREAD_isdone(&second), 1);
    EXPECT_EQ(THREAD_finditem(&second), nullptr);
    EXPECT_EQ(THREAD_isdone(&first), 0);
    THREADITEM* item = THREAD_finditem(&first);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->key, 1u);
    EXPECT_EQ(item->id, first.id);

    // A freed entry is reused, under a new key; a stale record finds nothing.
    THREAD third = {};
    THREAD_create(countrun, 0, THREAD_NORMAL, -1, &third);
    EXPECT_EQ(third.index, 1);
    EXPECT_EQ(third.key, 3u);
    EXPECT_EQ(THREAD_wait(&third, 0), 1);
    EXPECT_EQ(THREAD_isdone(&second), 1);

    SIGNAL_set(release);
    EXPECT_EQ(THREAD_wait(&first, 0), 1);
    std::vector<std::string> lines = awaitsystemlines(3);
    ASSERT_GE(lines.size(), 3u);
    char expected[128];
    snprintf(expected, sizeof expected, "THREAD %u exiting: index %d, handle %d, key %d\n",
             static_cast<unsigned>(second.id), 1, static_cast<int>(reinterpret_cast<uintptr_t>(second.handle)), 2);
    EXPECT_THAT(lines, testing::Contains(std::string(expected)));
    SIGNAL_setclose(release);
}

TEST(ThreadRegistry, AFullRegistryLetsThreadsRunUnregistered)
{
    THREAD_init(0);
    int32_t capacity = THREAD_capacity();
    release = SIGNAL_create();
    std::vector<THREAD> threads(static_cast<size_t>(capacity) + 1);
    std::vector<void*> held(threads.size());
    for (size_t i = 0; i < threads.size(); i++)
        ASSERT_NE(THREAD_createheld(waitforreleaseparam, 0, 64 * 1024, THREAD_NORMAL, &threads[i], &held[i]), nullptr);
    EXPECT_EQ(threads[static_cast<size_t>(capacity) - 1].index, capacity - 1);
    THREAD& extra = threads.back();
    EXPECT_EQ(extra.handle, nullptr);
    EXPECT_EQ(extra.key, 0u);
    EXPECT_NE(held.back(), nullptr) << "an unregistered thread can still be joined";
    SIGNAL_set(release);
    for (int32_t i = 0; i < capacity; i++)
        EXPECT_EQ(THREAD_wait(&threads[static_cast<size_t>(i)], 0), 1);
    for (size_t i = 0; i < threads.size(); i++)
        THREAD_join(&threads[i], held[i]);
}

TEST(ThreadPriority, LevelsMapBothWays)
{
    THREAD_init(0);
    for (int32_t level = -3; level <= 3; level++) {
        THREAD_setpriority(THREAD_CURRENT, level);
        EXPECT_EQ(THREAD_getpriority(THREAD_CURRENT), level);
    }
    THREAD_setpriority(THREAD_CURRENT, 7);
    EXPECT_EQ(THREAD_getpriority(THREAD_CURRENT), 0);
    THREAD_setpriority(nullptr, 2);
    EXPECT_EQ(THREAD_getpriority(nullptr), 2);

    release = SIGNAL_create();
    THREAD worker = {};
    void* held = nullptr;
    THREAD_createheld(waitforreleaseparam, 0, 0, THREAD_TIMECRITICAL, &worker, &held);
    EXPECT_EQ(THREAD_getpriority(&worker), 3);
    EXPECT_EQ(worker.priority, 3);
    THREAD idle = {};
    EXPECT_EQ(THREAD_getpriority(&idle), 0);
    SIGNAL_set(release);
    THREAD_join(&worker, held);
}

TEST(ThreadMain, OnlyTheInitialisingThreadIsMain)
{
    EXPECT_EQ(THREAD_iscurrent(nullptr), 1);
    std::atomic<int> onworker{-1}, current{-1};
    THREAD worker = {};
    void* held = nullptr;
    static std::atomic<int>* results[2];
    results[0] = &onworker;
    results[1] = &current;
    THREAD_createheld(
        [](uint32_t) {
            *results[0] = THREAD_iscurrent(nullptr);
            *results[1] = THREAD_iscurrent(THREAD_CURRENT);
        },
        0, 0, 0, &worker, &held);
    THREAD_join(&worker, held);
    EXPECT_EQ(onworker.load(), 0);
    EXPECT_EQ(current.load(), 1);
}

TEST(ThreadRemove, TheMainThreadCannotBeRemovedAndExitDropsTheEntry)
{
    THREAD_init(0);
    {
        ScopedAlertRecorder recorder;
        testing::internal::CaptureStdout();
        THREAD_remove(nullptr);
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(recorder.messages(), std::vector<std::string>{"THREAD_remove - CANNOT REMOVE THE MAIN THREAD.\n"});
        EXPECT_EQ(recorder.alerts()[0].line, 648);
        EXPECT_EQ(out, "pc/threads(227) : Assertion Failed: thread\n");
    }
    recordsystemchannel();
    THREAD exiting = {};
    void* held = nullptr;
    THREAD_createheld([](uint32_t) { THREAD_exit(); }, 0, 0, 0, &exiting, &held);
    EXPECT_EQ(THREAD_wait(&exiting, 0), 1);
    EXPECT_EQ(THREAD_finditem(&exiting), nullptr);
    // The line comes after the entry is gone, before the thread's end.
    THREAD_join(&exiting, held);
    char expected[64];
    snprintf(expected, sizeof expected, "THREAD_exit - terminating thread %u\n", static_cast<unsigned>(exiting.id));
    std::lock_guard<std::mutex> hold(systemlock);
    EXPECT_EQ(systemlines, std::vector<std::string>{expected});
}

THREAD firstrecord = {};
void exitwhenfirstisdone(uint32_t)
{
    while (!THREAD_isdone(&firstrecord))
        THREAD_sleep(1);
    THREAD_exit();
}

TEST(ThreadExit, AnEndingThreadLeavesTheRegistryWhereverItsEntryIs)
{
    THREAD_init(0);
    release = SIGNAL_create();
    THREAD exiting = {};
    void* held = nullptr;
    ASSERT_NE(THREAD_create(waitforrelease, 0, THREAD_NORMAL, -1, &firstrecord), nullptr);
    ASSERT_NE(THREAD_createheld(exitwhenfirstisdone, 0, 0, THREAD_NORMAL, &exiting, &held), nullptr);
    ASSERT_EQ(exiting.index, firstrecord.index + 1);
    SIGNAL_set(release);  // entry 0 comes free before the second thread exits
    THREAD_join(&exiting, held);
    EXPECT_EQ(THREAD_isdone(&exiting), 1);
    EXPECT_EQ(THREAD_finditem(&exiting), nullptr);

    // So does a thread that removes itself: a wait for it must end.
    ASSERT_NE(THREAD_createheld([](uint32_t) { THREAD_remove(THREAD_CURRENT); }, 0, 0, 0, &exiting, &held), nullptr);
    THREAD_join(&exiting, held);
    EXPECT_EQ(THREAD_isdone(&exiting), 1);
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

void waitthencount(void)
{
    SIGNAL_wait(release);
    ran++;
}

TEST(ThreadRemove, AnEndedThreadsRecordTerminatesNoOther)
{
    THREAD_init(0);
    ran = 0;
    release = SIGNAL_create();
    THREAD ended = {}, later = {};
    void* before = EVENT_create();  // frees the slot before the thread's, for the reuse below
    // Joined, not just done: an ending thread may still take and free
    // handles of its own (wine does), which would upset the reuse below.
    void* held = nullptr;
    ASSERT_NE(THREAD_createheld([](uint32_t) { countrun(); }, 0, 0, THREAD_NORMAL, &ended, &held), nullptr);
    THREAD_join(&ended, held);
    EVENT_close(before);
    std::vector<void*> taken = reusenexthandle(ended.handle);
    ASSERT_NE(THREAD_create(waitthencount, 0, THREAD_NORMAL, -1, &later), nullptr);
    for (void* event : taken)
        EVENT_close(event);
    ASSERT_EQ(later.handle, ended.handle) << "the handle value was given out again";
    THREAD_setpriority(&ended, THREAD_TIMECRITICAL);
    EXPECT_EQ(THREAD_getpriority(&later), THREAD_NORMAL);
    THREAD_remove(&ended);
    SIGNAL_set(release);
    EXPECT_EQ(THREAD_wait(&later, 300), 1);
    EXPECT_EQ(ran.load(), 2) << "the later thread ran to its end";
}

TEST(ThreadWait, TimesOutWhileTheThreadRuns)
{
    release = SIGNAL_create();
    THREAD worker = {};
    void* held = nullptr;
    THREAD_createheld(waitforreleaseparam, 0, 0, 0, &worker, &held);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(THREAD_wait(&worker, 2), 0);  // 2 ticks at 100 per second
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
    SIGNAL_set(release);
    EXPECT_EQ(THREAD_wait(&worker, 0), 1);
    THREAD_join(&worker, held);
    THREAD none = {};
    EXPECT_EQ(THREAD_wait(&none, 0), 0);
}

THREAD ownrecord = {};
void* ownhandle = nullptr;
void joinself(uint32_t) { THREAD_join(&ownrecord, ownhandle); }

TEST(ThreadJoin, JoinWaitsForTheExitLineThatWaitLetsPass)
{
    THREAD_init(0);
    SlowExitLines lines(100);
    THREAD worker = {};
    void* held = nullptr;
    ASSERT_NE(THREAD_createheld(addparam, 1, 0, THREAD_NORMAL, &worker, &held), nullptr);
    ASSERT_NE(held, nullptr);
    EXPECT_NE(held, worker.handle);
    // Wait lets the thread go once it is out of the registry, still printing
    // its exit line; join waits for the line too.
    EXPECT_EQ(THREAD_wait(&worker, 0), 1);
    THREAD_join(&worker, held);
    EXPECT_EQ(lines.finished(), 1u);

    // On the thread itself, join lets go of the handle instead of waiting for ever.
    ASSERT_NE(THREAD_createheld(joinself, 0, 0, THREAD_NORMAL, &ownrecord, &ownhandle), nullptr);
    while (lines.finished() < 2)
        THREAD_sleep(1);
    EXPECT_EQ(THREAD_isdone(&ownrecord), 1);

    // Without a handle of its own, join waits as THREAD_wait does.
    release = SIGNAL_create();
    THREAD plain = {};
    ASSERT_NE(THREAD_create(waitforrelease, 0, THREAD_NORMAL, -1, &plain), nullptr);
    SIGNAL_set(release);
    THREAD_join(&plain, nullptr);
    EXPECT_EQ(THREAD_isdone(&plain), 1);
    while (lines.finished() < 3)
        THREAD_sleep(1);
}

TEST(ThreadSleep, TicksAreHundredthsWhileNoTimerRuns)
{
    EXPECT_EQ(THREAD_tickstoms(7), 70);
    auto start = std::chrono::steady_clock::now();
    THREAD_sleepticks(5);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
}

TEST(ThreadEvents, WrappersKeepAutoAndManualReset)
{
    void* event = EVENT_create();
    void* signal = SIGNAL_create();
    EXPECT_EQ(EVENT_poll(event), 0);
    auto start = std::chrono::steady_clock::now();
    void* both[2] = {event, signal};
    EXPECT_EQ(EVENT_waitany(2, both, 0), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    EVENT_set(event);
    EXPECT_EQ(EVENT_poll(event), 1);
    EXPECT_EQ(EVENT_poll(event), 0);
    SIGNAL_set(signal);
    EXPECT_EQ(EVENT_waitany(2, both, 0), signal);
    EXPECT_EQ(SIGNAL_wait(signal), signal);
    EVENT_set(event);
    EXPECT_EQ(EVENT_waitanyforever(2, both), event);
    SIGNAL_reset(signal);
    EXPECT_EQ(EVENT_waitticks(signal, 1), 0);
    EVENT_set(event);
    EXPECT_EQ(EVENT_wait(event), event);
    EXPECT_NE(EVENT_close(event), 0);
    EXPECT_NE(SIGNAL_setclose(signal), 0);
}

TEST(ThreadExitReport, ThreadsStillRunningAreReportedOnceAtExit)
{
    EXPECT_EXIT(
        {
            PRINT_setdevice(3, "stderr", [](int32_t, const char* text) -> int32_t { return fputs(text, stderr); });
            PRINT_enabledevice(3, 1);
            release = SIGNAL_create();
            THREAD worker = {};
            THREAD_create(waitforrelease, 0, 0, -1, &worker);
            exit(0);
        },
        testing::ExitedWithCode(0), "^THREAD_restore - Thread running, index  0, handle 0x[0-9a-f]{8}, id 0x[0-9a-f]{8}\n$");
}

// What a worker sees of the main thread, and of itself through THREAD_CURRENT.
std::vector<uint32_t> seen;
void lookaround(uint32_t)
{
    THREADITEM* own = THREAD_finditem(THREAD_CURRENT);
    seen = {static_cast<uint32_t>(THREAD_isdone(nullptr)), static_cast<uint32_t>(THREAD_wait(nullptr, 1)),
            static_cast<uint32_t>(THREAD_isdone(THREAD_CURRENT)), own ? own->key : 0, THREAD_getid(THREAD_CURRENT)};
}

TEST(ThreadArguments, NullsAlertOrStandForTheMainThread)
{
    THREAD_init(0);
    {
        ScopedAlertRecorder recorder;
        THREAD record = {};
        void* held = &record;
        EXPECT_EQ(THREAD_create(nullptr, 0, 0, -1, &record), nullptr);
        EXPECT_EQ(THREAD_create(countrun, 0, 0, -1, nullptr), nullptr);
        EXPECT_EQ(THREAD_createparam(addparam, 0, 0, 0, -1, THREAD_CURRENT), nullptr);
        EXPECT_EQ(THREAD_createheld(nullptr, 0, 0, 0, &record, &held), nullptr);
        EXPECT_EQ(held, nullptr);
        EXPECT_EQ(recorder.messages(),
                  (std::vector<std::string>{"THREAD_create - NO ROUTINE.\n", "THREAD_create - NO THREAD RECORD.\n",
                                            "THREAD_createparam - NO THREAD RECORD.\n",
                                            "THREAD_createheld - NO ROUTINE.\n"}));
        EXPECT_EQ(recorder.alerts()[0].file, "pc/threads");
        EXPECT_EQ(record.key, 0u);
    }
    // A record that was never registered matches no entry, not even a free one.
    THREAD none = {};
    EXPECT_EQ(THREAD_finditem(&none), nullptr);
    EXPECT_EQ(THREAD_isdone(&none), 1);

    // Null is the main thread: running, not in the registry, unable to wait
    // for its own end.
    EXPECT_EQ(THREAD_finditem(nullptr), nullptr);
    EXPECT_EQ(THREAD_isdone(nullptr), 0);
    EXPECT_EQ(THREAD_wait(nullptr, 0), 0);
    EXPECT_EQ(THREAD_wait(nullptr, 1), 0);
    THREAD_join(nullptr, nullptr);
    EXPECT_NE(THREAD_gethandle(nullptr), nullptr);
    EXPECT_EQ(THREAD_getid(nullptr), THREAD_getid(THREAD_CURRENT));

    THREAD worker = {};
    void* held = nullptr;
    ASSERT_NE(THREAD_createheld(lookaround, 0, 0, 0, &worker, &held), nullptr);
    THREAD_join(&worker, held);
    EXPECT_EQ(seen, (std::vector<uint32_t>{0, 0, 0, worker.key, worker.id}));

    EXPECT_EQ(EVENT_waitany(0, &held, 0), nullptr);
    EXPECT_EQ(EVENT_waitany(1, nullptr, 0), nullptr);
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

TEST(ThreadExitReport, AThreadEndingAfterTheShutdownTouchesNothing)
{
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
