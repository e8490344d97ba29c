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

int64_t nowms() { return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::milliseconds(1); }

int entriesholding(SYNCTASKROUTINE routine)
{
    return static_cast<int>(std::count_if(std::begin(SYNCTASKlist), std::end(SYNCTASKlist),
                                          [&](const SYNCTASK& task) { return task.routine == routine; }));
}

const SYNCTASK* entryof(SYNCTASKROUTINE routine)
{
    const SYNCTASK* found = std::find_if(std::begin(SYNCTASKlist), std::end(SYNCTASKlist),
                                         [&](const SYNCTASK& task) { return task.routine == routine; });
    return found == std::end(SYNCTASKlist) ? nullptr : found;
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
        THREAD_sleep(1);
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
int32_t answer(int32_t, int32_t) { return 42; }

TEST(SyncTask, TheTableWithTheTimerStopped)
{
    TIMER_stop();
    SYNCTASK_run(0);  // settles the pass for the clock where it stands
    int32_t clock = TIMER_syncclock();
    ScopedAlertRecorder recorder;
    SYNCTASK_add(nth<1>, 50, 100);
    SYNCTASK_add(nth<2>, 1, 0);
    SYNCTASK_add(nth<1>, 7, 3);
    EXPECT_EQ(entriesholding(nth<1>), 1) << "a second addition updates the entry";
    EXPECT_EQ(entryof(nth<1>), &SYNCTASKlist[0]);
    EXPECT_EQ((std::vector<int32_t>{SYNCTASKlist[0].interval, SYNCTASKlist[0].due - clock,
                                    static_cast<int32_t>(SYNCTASKlist[0].busy)}),
              (std::vector<int32_t>{7, 3, 0}));
    // Stopped, nothing comes due: the run returns before the main-thread check.
    for (int i = 0; i < 10000; i++)
        ASSERT_EQ(SYNCTASK_run(0), 0);
    std::thread([] { EXPECT_EQ(SYNCTASK_run(0), 0); }).join();
    // No task can come due, so the wait sleeps through its ticks.
    int64_t began = nowms();
    EXPECT_EQ(SYNCTASK_wait(20), 0);
    EXPECT_GE(nowms() - began, 190);
    EXPECT_LT(nowms() - began, 10000);
    EXPECT_EQ(hits[1] + hits[2], 0);

    SYNCTASK_remove(nth<1>);
    EXPECT_EQ(SYNCTASKlist[0].routine, nullptr);
    EXPECT_EQ(SYNCTASKlist[0].interval, 7) << "only the routine is cleared";
    SYNCTASK_remove(nth<1>);
    EXPECT_EQ(entryof(nth<2>), &SYNCTASKlist[1]);
    SYNCTASK_add(nth<3>, 2, 0);
    EXPECT_EQ(entryof(nth<3>), &SYNCTASKlist[0]) << "the first free entry is reused";

    // The seventeenth routine finds the list full and is not registered;
    // updating a registered routine needs no free entry.
    for (int i = 0; i < 16; i++)
        SYNCTASK_add(routines[i], 10, 10);
    EXPECT_EQ(recorder.count(), 0u);
    SYNCTASK_add(routines[16], 10, 10);
    EXPECT_EQ(entriesholding(routines[16]), 0);
    SYNCTASK_add(routines[5], 3, 3);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.messages()[0], "SYNCTASK_add - LIST FULL\n");
    EXPECT_EQ(recorder.alerts()[0].file, "cmn/systask");
    EXPECT_EQ(recorder.alerts()[0].line, 99);
    cleartable();
}

// A task's runs: the sync clock, the lateness it was told, and whether on the main thread.
struct RUN {
    int32_t clock, lateness, arg;
    bool onmain;
};
std::vector<RUN> runs[3];
template <int N>
int32_t recording(int32_t arg, int32_t lateness)
{
    runs[N].push_back({TIMER_syncclock(), lateness, arg, THREAD_iscurrent(nullptr) == 1});
    return arg * 2;
}

// Checks one task's runs: on the main thread, never early, first due at
// delay ticks after its addition, then at least interval ticks apart.
void expectschedule(const std::vector<RUN>& taken, int32_t from, int32_t to, int32_t delay, int32_t interval, int least)
{
    ASSERT_GE(static_cast<int>(taken.size()), least);
    for (size_t i = 0; i < taken.size(); i++) {
        EXPECT_TRUE(taken[i].onmain);
        EXPECT_GE(taken[i].lateness, 0);
        int32_t due = taken[i].clock - taken[i].lateness;
        EXPECT_GE(due - (i ? taken[i - 1].clock + interval : from + delay), 0) << "run " << i;
        EXPECT_TRUE(i > 0 || due - to - delay <= 0) << "first due at " << due;
    }
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
    TIMER_init(100);
    int32_t from = 0, middle = 0, to = 0;
    std::thread([&] {
        from = TIMER_syncclock();
        SYNCTASK_add(recording<0>, 5, 0);
        middle = TIMER_syncclock();
        SYNCTASK_add(recording<1>, 10, 3);
        to = TIMER_syncclock();
    }).join();
    TIMER_waitticks(80);
    cleartable();
    expectschedule(runs[0], from, middle, 0, 5, 8);
    expectschedule(runs[1], middle, to, 3, 10, 4);

    // A busy task is not entered again, while other tasks go on running
    // during its wait; it runs again once it has returned.
    SYNCTASK_add(waitingtask, 1, 0);
    SYNCTASK_add(countingtask, 1, 0);
    for (int turn = 0; turn < 300 && reentries < 2; turn++)
        TIMER_waitticks(1);  // (a loaded machine may count several ticks at once)
    cleartable();
    EXPECT_EQ(maxdepth, 1);
    EXPECT_GE(nestedruns, 1);
    EXPECT_GE(reentries, 2);

    // A late task runs once, told how late; other threads may not run the table.
    int32_t before = TIMER_syncclock();
    SYNCTASK_add(recording<2>, 1, 0);
    SYNCTASK_add(nth<4>, 1, 0);
    int32_t after = TIMER_syncclock();
    ASSERT_TRUE(clockreaches(after + 6));
    TIMER_hold();
    THREAD_sleep(30);
    int32_t now = TIMER_syncclock();
    ScopedAlertRecorder recorder;
    std::thread([] { EXPECT_EQ(SYNCTASK_run(0), 0); }).join();
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.messages()[0],
              "SYNCTASK_run - DO NOT, REPEAT NOT, CALL THIS FROM THREADS OTHER THAN THE MAIN ONE!\n");
    EXPECT_EQ(recorder.alerts()[0].line, 230);
    EXPECT_EQ(hits[4] + static_cast<int>(runs[2].size()), 0);
    EXPECT_EQ(SYNCTASK_run(7), 14) << "the OR of the results";
    ASSERT_EQ(runs[2].size(), 1u) << "once, not once per missed tick";
    EXPECT_EQ(runs[2][0].arg, 7);
    EXPECT_GE(runs[2][0].lateness, now - after);
    EXPECT_LE(runs[2][0].lateness, now - before);
    EXPECT_EQ(hits[4].load(), 1);
    EXPECT_EQ(SYNCTASK_run(7), 0) << "one pass per tick";
    EXPECT_EQ(runs[2].size(), 1u);
    EXPECT_EQ(entryof(recording<2>)->due, now + 1) << "the next due time counts from the end of the run";
    std::thread([] { EXPECT_EQ(SYNCTASK_run(0), 0); }).join();
    EXPECT_EQ(recorder.count(), 1u) << "in a tick that has run, the call returns before the check";
    TIMER_release();
    cleartable();

    // A wait ends at the first non-zero result, or when its ticks are up.
    int32_t start = TIMER_ticks();
    SYNCTASK_add(answer, 100, 3);
    EXPECT_EQ(SYNCTASK_wait(300), 42);
    EXPECT_LT(TIMER_ticks() - start, 200);
    SYNCTASK_remove(answer);
    start = TIMER_ticks();
    EXPECT_EQ(SYNCTASK_wait(10), 0);
    EXPECT_GE(TIMER_ticks() - start, 10);
    TIMER_stop();
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
