// Sync tasks: the table, runs on the main thread when due with their lateness,
// one pass per tick, the busy flag, the waits, additions from many threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "alertrecorder.h"
#include "vorl/synctask.h"
#include "vorl/thread.h"
#include "vorl/timer.h"

namespace {

// The entries of the table that hold routine.
std::vector<int> slotsof(SYNCTASKROUTINE routine)
{
    std::vector<int> slots;
    for (int index = 0; index < SYNCTASK_MAX; index++)
        if (SYNCTASKlist[index].routine == routine)
            slots.push_back(index);
    return slots;
}

void cleartable()
{
    for (SYNCTASK& task : SYNCTASKlist)
        SYNCTASK_remove(task.routine);
}

// The alerts recorded, each as "file:line message".
std::vector<std::string> alertsof(const ScopedAlertRecorder& recorder)
{
    std::vector<std::string> texts;
    for (const RecordedAlert& alert : recorder.alerts())
        texts.push_back(alert.file + ":" + std::to_string(alert.line) + " " + alert.message);
    return texts;
}

template <int N>
int32_t nth(int32_t, int32_t) { return N; }
const SYNCTASKROUTINE routines[17] = {nth<0>, nth<1>, nth<2>,  nth<3>,  nth<4>,  nth<5>,  nth<6>,  nth<7>, nth<8>,
                                      nth<9>, nth<10>, nth<11>, nth<12>, nth<13>, nth<14>, nth<15>, nth<16>};

TEST(SyncTask, TheTableWithTheTimerStopped)
{
    TIMER_stop();
    SYNCTASK_run(0);  // settles the pass for the clock where it stands
    int32_t clock = TIMER_syncclock();
    ScopedAlertRecorder recorder;
    SYNCTASK_add(nth<1>, 50, 100);
    SYNCTASK_add(nth<2>, 1, 0);
    SYNCTASK_add(nth<1>, 7, 3);
    EXPECT_EQ(slotsof(nth<1>), std::vector<int>{0}) << "a second addition updates the entry";
    EXPECT_EQ(SYNCTASKlist[0].interval, 7);
    EXPECT_EQ(SYNCTASKlist[0].due - clock, 3);
    // Stopped, nothing comes due: the run returns before the main-thread
    // check, and the wait sleeps through its ticks.
    EXPECT_EQ(SYNCTASK_run(0), 0);
    std::thread([] { EXPECT_EQ(SYNCTASK_run(0), 0); }).join();
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(SYNCTASK_wait(20), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(190));

    SYNCTASK_remove(nth<1>);
    SYNCTASK_add(nth<3>, 2, 0);
    EXPECT_EQ(slotsof(nth<3>), std::vector<int>{0}) << "the first free entry is reused";
    EXPECT_EQ(slotsof(nth<2>), std::vector<int>{1});
    // The seventeenth routine finds the list full and is not registered;
    // updating a registered routine needs no free entry.
    for (int i = 0; i < 16; i++)
        SYNCTASK_add(routines[i], 10, 10);
    SYNCTASK_add(routines[16], 10, 10);
    SYNCTASK_add(routines[5], 3, 3);
    EXPECT_TRUE(slotsof(routines[16]).empty());
    EXPECT_EQ(alertsof(recorder), std::vector<std::string>{"cmn/systask:99 SYNCTASK_add - LIST FULL\n"});
}

// A task's runs: the sync clock, the lateness it was told, and whether on the main thread.
struct RUN {
    int32_t clock, lateness;
    bool onmain;
};
std::vector<RUN> runs[2];
template <int N>
int32_t recording(int32_t arg, int32_t lateness)
{
    runs[N].push_back({TIMER_syncclock(), lateness, THREAD_iscurrent(nullptr) == 1});
    return arg * 2;
}

std::atomic<int> depth{0};
int maxdepth = 0, nestedruns = 0, reentries = 0;
int32_t waitingtask(int32_t, int32_t)
{
    maxdepth = std::max(maxdepth, ++depth);
    if (reentries++ == 0)
        SYNCTASK_wait(6);  // the main thread waits inside a task
    depth--;
    return 0;
}
int32_t countingtask(int32_t, int32_t)
{
    nestedruns += depth.load() > 0;
    return 0;
}

TEST(SyncTask, RunsOnTheMainThreadWhenDue)
{
    // Added from another thread, a task runs on the main one, never before
    // its delay and then never sooner than its interval after the last run.
    TIMER_init(100);
    int32_t added = TIMER_syncclock();
    std::thread([] { SYNCTASK_add(recording<0>, 5, 3); }).join();
    TIMER_waitticks(60);
    cleartable();
    ASSERT_GE(runs[0].size(), 6u);
    for (size_t i = 0; i < runs[0].size(); i++) {
        const RUN& run = runs[0][i];
        EXPECT_TRUE(run.onmain && run.lateness >= 0) << "run " << i;
        EXPECT_GE(run.clock - run.lateness - (i ? runs[0][i - 1].clock + 5 : added + 3), 0) << "run " << i;
    }

    // A busy task is not entered again, while other tasks go on running
    // during its wait; it runs again once it has returned.
    SYNCTASK_add(waitingtask, 1, 0);
    SYNCTASK_add(countingtask, 1, 0);
    for (int turn = 0; turn < 300 && reentries < 2; turn++)
        TIMER_waitticks(1);  // (a loaded machine may count several ticks at once)
    cleartable();
    EXPECT_EQ((std::vector<int>{maxdepth, nestedruns > 0, reentries >= 2}), (std::vector<int>{1, 1, 1}));

    // A late task runs once, told how late; other threads may not run the table.
    int32_t before = TIMER_syncclock();
    SYNCTASK_add(recording<1>, 1, 0);
    SYNCTASK_add(nth<1>, 1, 0);
    int32_t after = TIMER_syncclock();
    for (int i = 0; i < 5000 && TIMER_syncclock() - after < 6; i++)
        THREAD_sleep(1);  // (waiting without running the tasks)
    TIMER_hold();
    THREAD_sleep(30);
    int32_t now = TIMER_syncclock();
    ScopedAlertRecorder recorder;
    std::thread([] { EXPECT_EQ(SYNCTASK_run(0), 0); }).join();
    EXPECT_EQ(alertsof(recorder),
              std::vector<std::string>{
                  "cmn/systask:230 SYNCTASK_run - DO NOT, REPEAT NOT, CALL THIS FROM THREADS OTHER THAN THE MAIN ONE!\n"});
    EXPECT_EQ(runs[1].size(), 0u);
    EXPECT_EQ(SYNCTASK_run(7), 15) << "the OR of the results";
    EXPECT_EQ(SYNCTASK_run(7), 0) << "one pass per tick";
    ASSERT_EQ(runs[1].size(), 1u) << "once, not once per missed tick";
    EXPECT_TRUE(runs[1][0].lateness >= now - after && runs[1][0].lateness <= now - before) << runs[1][0].lateness;
    EXPECT_EQ(SYNCTASKlist[0].due, now + 1) << "the next due time counts from the end of the run";
    std::thread([] { EXPECT_EQ(SYNCTASK_run(0), 0); }).join();
    EXPECT_EQ(recorder.count(), 1u) << "in a tick that has run, the call returns before the check";
    TIMER_release();
    cleartable();

    // A wait ends at the first non-zero result, or when its ticks are up.
    int32_t start = TIMER_ticks();
    SYNCTASK_add(nth<42>, 100, 3);
    EXPECT_EQ(SYNCTASK_wait(300), 42);
    EXPECT_LT(TIMER_ticks() - start, 200);
    SYNCTASK_remove(nth<42>);
    start = TIMER_ticks();
    EXPECT_EQ(SYNCTASK_wait(10), 0);
    EXPECT_GE(TIMER_ticks() - start, 10);
    TIMER_stop();
}

TEST(SyncTask, ConcurrentAdditionsEachGetAnEntry)
{
    // Fifteen distinct routines from three threads, and one more that every
    // thread adds and removes meanwhile: never more than sixteen at once.
    ScopedAlertRecorder recorder;
    for (int round = 0; round < 300; round++) {
        cleartable();
        std::atomic<int> ready{0};
        std::vector<std::thread> adders;
        for (int t = 0; t < 3; t++)
            adders.emplace_back([&, t] {
                for (ready++; ready.load() < 3;)
                    std::this_thread::yield();
                for (int i = 0; i < 5; i++) {
                    SYNCTASK_add(routines[t * 5 + i], 5, 5);
                    SYNCTASK_add(routines[16], 1, 1);  // the same routine from every thread
                    SYNCTASK_remove(routines[16]);
                }
            });
        for (std::thread& adder : adders)
            adder.join();
        for (int i = 0; i < 17; i++)
            ASSERT_EQ(slotsof(routines[i]).size(), i < 15 ? 1u : 0u) << "round " << round << " routine " << i;
    }
    EXPECT_EQ(recorder.count(), 0u) << "no false LIST FULL";
}

}  // namespace
