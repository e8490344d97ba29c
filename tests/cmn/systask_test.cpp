// Sync tasks: the table (updates, removal, a full table), runs on the main
// thread at their intervals with their lateness once the timer runs, one pass
// per tick, the busy flag, the main-thread check, SYNCTASK_wait with the
// timer running and stopped, and additions from many threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "alertrecorder.h"
#include "vorl/synctask.h"
#include "vorl/thread.h"
#include "vorl/timer.h"

namespace {

void sleepms(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

int64_t nowms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int entriesholding(SYNCTASKROUTINE routine)
{
    int count = 0;
    for (const SYNCTASK& task : SYNCTASKlist)
        count += task.routine == routine;
    return count;
}

const SYNCTASK* entryof(SYNCTASKROUTINE routine)
{
    for (const SYNCTASK& task : SYNCTASKlist)
        if (task.routine == routine)
            return &task;
    return nullptr;
}

void cleartable()
{
    for (SYNCTASK& task : SYNCTASKlist)
        if (task.routine)
            SYNCTASK_remove(task.routine);
}

// Waits, without running sync tasks, until the sync clock reaches clock.
bool clockreaches(int32_t clock)
{
    for (int i = 0; i < 5000 && TIMER_syncclock() - clock < 0; i++)
        sleepms(1);
    return TIMER_syncclock() - clock >= 0;
}

std::atomic<int> hits[20];

template <int N>
int32_t nth(int32_t, int32_t)
{
    hits[N]++;
    return 0;
}

const SYNCTASKROUTINE routines[17] = {nth<0>, nth<1>, nth<2>,  nth<3>,  nth<4>,  nth<5>,  nth<6>,  nth<7>, nth<8>,
                                      nth<9>, nth<10>, nth<11>, nth<12>, nth<13>, nth<14>, nth<15>, nth<16>};

TEST(SyncTask, StoppedTimerRunsNothing)
{
    TIMER_stop();
    cleartable();
    SYNCTASK_run(0);  // settles the pass for the clock where it stands
    hits[0] = 0;
    SYNCTASK_add(nth<0>, 1, 0);
    ScopedAlertRecorder recorder;
    for (int i = 0; i < 10000; i++)
        ASSERT_EQ(SYNCTASK_run(0), 0);
    std::thread other([] { EXPECT_EQ(SYNCTASK_run(0), 0); });
    other.join();
    EXPECT_EQ(hits[0].load(), 0);
    EXPECT_EQ(recorder.count(), 0u) << "returns before the main-thread check";
    cleartable();
}

TEST(SyncTask, AddTwiceUpdatesOneEntry)
{
    TIMER_stop();
    cleartable();
    int32_t clock = TIMER_syncclock();
    SYNCTASK_add(nth<1>, 50, 100);
    SYNCTASK_add(nth<2>, 1, 1);
    SYNCTASK_add(nth<1>, 7, 3);
    EXPECT_EQ(entriesholding(nth<1>), 1);
    const SYNCTASK* task = entryof(nth<1>);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task, &SYNCTASKlist[0]);
    EXPECT_EQ(task->interval, 7);
    EXPECT_EQ(task->due, clock + 3);
    EXPECT_EQ(task->busy, 0u);

    SYNCTASK_remove(nth<1>);
    EXPECT_EQ(SYNCTASKlist[0].routine, nullptr);
    EXPECT_EQ(SYNCTASKlist[0].interval, 7) << "only the routine is cleared";
    SYNCTASK_remove(nth<1>);
    EXPECT_EQ(entryof(nth<2>), &SYNCTASKlist[1]);
    SYNCTASK_add(nth<3>, 2, 0);
    EXPECT_EQ(entryof(nth<3>), &SYNCTASKlist[0]) << "the first free entry is reused";
    cleartable();
}

TEST(SyncTask, SeventeenthRoutineFindsTheListFull)
{
    cleartable();
    ScopedAlertRecorder recorder;
    for (int i = 0; i < 16; i++)
        SYNCTASK_add(routines[i], 10, 10);
    EXPECT_EQ(recorder.count(), 0u);
    SYNCTASK_add(routines[16], 10, 10);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.messages()[0], "SYNCTASK_add - LIST FULL\n");
    EXPECT_EQ(recorder.alerts()[0].file, "cmn/systask");
    EXPECT_EQ(recorder.alerts()[0].line, 99);
    EXPECT_EQ(entriesholding(routines[16]), 0) << "not registered";
    SYNCTASK_add(routines[5], 3, 3);
    EXPECT_EQ(recorder.count(), 1u) << "updating a registered routine needs no free entry";
    cleartable();
}

struct RUN {
    int32_t clock;
    int32_t lateness;
    bool onmain;
};
std::vector<RUN> runsa, runsb;

int32_t taska(int32_t, int32_t lateness)
{
    runsa.push_back({TIMER_syncclock(), lateness, THREAD_iscurrent(nullptr) == 1});
    return 0;
}

int32_t taskb(int32_t, int32_t lateness)
{
    runsb.push_back({TIMER_syncclock(), lateness, THREAD_iscurrent(nullptr) == 1});
    return 0;
}

// Checks one task's runs: on the main thread, never early, first due at
// delay ticks after its addition, then at least interval ticks apart.
void expectschedule(const std::vector<RUN>& runs, int32_t addedfrom, int32_t addedto, int32_t delay,
                    int32_t interval, int minimum)
{
    ASSERT_GE(static_cast<int>(runs.size()), minimum);
    for (size_t i = 0; i < runs.size(); i++) {
        EXPECT_TRUE(runs[i].onmain);
        EXPECT_GE(runs[i].lateness, 0);
        int32_t due = runs[i].clock - runs[i].lateness;
        if (i == 0) {
            EXPECT_GE(due, addedfrom + delay);
            EXPECT_LE(due, addedto + delay);
        } else {
            EXPECT_GE(due - runs[i - 1].clock, interval) << "run " << i;
        }
    }
}

TEST(SyncTask, TasksFromAnotherThreadRunOnTheMainThread)
{
    cleartable();
    runsa.clear();
    runsb.clear();
    TIMER_init(100);
    int32_t from = 0, middle = 0, to = 0;
    std::thread adder([&] {
        from = TIMER_syncclock();
        SYNCTASK_add(taska, 5, 0);
        middle = TIMER_syncclock();
        SYNCTASK_add(taskb, 10, 3);
        to = TIMER_syncclock();
    });
    adder.join();
    TIMER_waitticks(80);
    TIMER_stop();
    expectschedule(runsa, from, middle, 0, 5, 8);
    expectschedule(runsb, middle, to, 3, 10, 4);
    cleartable();
}

int32_t latearg = 0;
std::vector<int32_t> latenesses;

int32_t latetask(int32_t arg, int32_t lateness)
{
    latearg = arg;
    latenesses.push_back(lateness);
    return arg * 2;
}

TEST(SyncTask, ALateTaskRunsOnceAndIsToldHowLate)
{
    cleartable();
    latenesses.clear();
    TIMER_init(100);
    int32_t before = TIMER_syncclock();
    SYNCTASK_add(latetask, 1, 0);
    int32_t after = TIMER_syncclock();
    ASSERT_TRUE(clockreaches(after + 6));
    TIMER_hold();
    sleepms(30);
    int32_t now = TIMER_syncclock();
    EXPECT_EQ(SYNCTASK_run(7), 14) << "the OR of the results";
    EXPECT_EQ(latearg, 7);
    ASSERT_EQ(latenesses.size(), 1u) << "once, not once per missed tick";
    EXPECT_GE(latenesses[0], now - after);
    EXPECT_LE(latenesses[0], now - before);
    EXPECT_EQ(SYNCTASK_run(7), 0) << "one pass per tick";
    EXPECT_EQ(latenesses.size(), 1u);
    EXPECT_EQ(entryof(latetask)->due, now + 1) << "the next due time counts from the end of the run";
    TIMER_release();
    TIMER_stop();
    cleartable();
}

std::atomic<int> depth{0};
int maxdepth = 0;
int nestedruns = 0;
int reentries = 0;

int32_t waitingtask(int32_t, int32_t)
{
    depth++;
    maxdepth = std::max(maxdepth, depth.load());
    if (reentries++ == 0)
        SYNCTASK_wait(6);  // the main thread waits inside a task
    depth--;
    return 0;
}

int32_t countingtask(int32_t, int32_t)
{
    if (depth.load() > 0)
        nestedruns++;
    return 0;
}

TEST(SyncTask, BusyTaskIsNotEnteredAgain)
{
    cleartable();
    maxdepth = nestedruns = reentries = 0;
    TIMER_init(100);
    SYNCTASK_add(waitingtask, 1, 0);
    SYNCTASK_add(countingtask, 1, 0);
    TIMER_waitticks(15);
    TIMER_stop();
    EXPECT_EQ(maxdepth, 1) << "the busy flag keeps it from running inside itself";
    EXPECT_GE(nestedruns, 1) << "other tasks go on running during its wait";
    EXPECT_GE(reentries, 2) << "and it runs again once it has returned";
    cleartable();
}

TEST(SyncTask, OtherThreadsMayNotRunTheTable)
{
    cleartable();
    hits[4] = 0;
    TIMER_init(100);
    SYNCTASK_add(nth<4>, 1, 0);
    ASSERT_TRUE(clockreaches(TIMER_syncclock() + 3));
    TIMER_hold();
    sleepms(30);
    ScopedAlertRecorder recorder;
    std::thread other([] { EXPECT_EQ(SYNCTASK_run(0), 0); });
    other.join();
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.messages()[0],
              "SYNCTASK_run - DO NOT, REPEAT NOT, CALL THIS FROM THREADS OTHER THAN THE MAIN ONE!\n");
    EXPECT_EQ(recorder.alerts()[0].line, 230);
    EXPECT_EQ(hits[4].load(), 0);

    SYNCTASK_run(0);
    EXPECT_EQ(hits[4].load(), 1);
    std::thread late([] { EXPECT_EQ(SYNCTASK_run(0), 0); });
    late.join();
    EXPECT_EQ(recorder.count(), 1u) << "in a tick that has run, the call returns before the check";
    TIMER_release();
    TIMER_stop();
    cleartable();
}

int32_t answer(int32_t, int32_t) { return 42; }

TEST(SyncTask, WaitEndsAtTheFirstNonZeroResult)
{
    cleartable();
    TIMER_init(100);
    int32_t start = TIMER_ticks();
    SYNCTASK_add(answer, 100, 3);
    EXPECT_EQ(SYNCTASK_wait(300), 42);
    EXPECT_LT(TIMER_ticks() - start, 200);
    SYNCTASK_remove(answer);

    start = TIMER_ticks();
    EXPECT_EQ(SYNCTASK_wait(10), 0);
    EXPECT_GE(TIMER_ticks() - start, 10);
    TIMER_stop();

    // Stopped: no task can come due, so the wait sleeps through its ticks.
    SYNCTASK_add(answer, 1, 0);
    int64_t began = nowms();
    EXPECT_EQ(SYNCTASK_wait(20), 0);
    int64_t passed = nowms() - began;
    EXPECT_GE(passed, 190);
    EXPECT_LT(passed, 10000);
    cleartable();
}

TEST(SyncTask, ConcurrentAdditionsEachGetAnEntry)
{
    // Fifteen distinct routines from three threads, and one more that every
    // thread adds and removes meanwhile: never more than sixteen at once.
    const int THREADS = 3;
    ScopedAlertRecorder recorder;
    for (int round = 0; round < 300; round++) {
        cleartable();
        std::atomic<int> ready{0};
        std::vector<std::thread> adders;
        for (int t = 0; t < THREADS; t++)
            adders.emplace_back([&, t] {
                ready++;
                while (ready.load() < THREADS)
                    std::this_thread::yield();
                for (int i = 0; i < 5; i++) {
                    SYNCTASK_add(routines[t * 5 + i], 5, 5);
                    SYNCTASK_add(routines[16], 1, 1);  // the same routine from every thread
                    SYNCTASK_remove(routines[16]);
                }
            });
        for (std::thread& adder : adders)
            adder.join();
        for (int i = 0; i < 15; i++)
            ASSERT_EQ(entriesholding(routines[i]), 1) << "round " << round << " routine " << i;
        ASSERT_EQ(entriesholding(routines[16]), 0);
    }
    EXPECT_EQ(recorder.count(), 0u) << "no false LIST FULL";
    cleartable();
}

}  // namespace
