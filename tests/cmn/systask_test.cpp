// Sync tasks: main-thread runs when due, lateness, one pass per tick, busy flag, waits, full table.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "alertrecorder.h"
#include "vorl/synctask.h"
#include "vorl/thread.h"
#include "vorl/timer.h"

namespace {

void cleartable()
{
    for (SYNCTASK& task : SYNCTASKlist)
        SYNCTASK_remove(task.routine);
}

std::vector<std::string> alertsof(const ScopedAlertRecorder& recorder)
{
    std::vector<std::string> texts;
    for (const RecordedAlert& alert : recorder.alerts())
        texts.push_back(alert.file + ":" + std::to_string(alert.line) + " " + alert.message);
    return texts;
}

template <int N>
int32_t nth(int32_t, int32_t) { return N; }
const SYNCTASKROUTINE sixteen[16] = {nth<0>, nth<1>, nth<2>,  nth<3>,  nth<4>,  nth<5>,  nth<6>,  nth<7>,
                                     nth<8>, nth<9>, nth<10>, nth<11>, nth<12>, nth<13>, nth<14>, nth<15>};

struct RUN { int32_t clock, lateness; bool onmain; };
std::vector<RUN> runs[2];
template <int N>
int32_t recording(int32_t arg, int32_t lateness)
{
    runs[N].push_back({TIMER_syncclock(), lateness, THREAD_iscurrent(nullptr) == 1});
    return arg * 2;
}

int depth = 0, maxdepth = 0, entries = 0;
int32_t waitingtask(int32_t, int32_t)
{
    maxdepth = std::max(maxdepth, ++depth);
    if (entries++ == 0)
        SYNCTASK_wait(6);  // the main thread runs the table inside a task
    depth--;
    return 0;
}

TEST(SyncTask, RunsOnTheMainThreadWhenDue)
{
    // Added from another thread, a task runs on the main one, first after its delay, then at least its interval apart.
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

    // A busy task is not entered again; it runs again once it has returned.
    SYNCTASK_add(waitingtask, 1, 0);
    for (int turn = 0; turn < 300 && entries < 2; turn++)
        TIMER_waitticks(1);  // (a loaded machine may count several ticks at once)
    cleartable();
    EXPECT_EQ((std::vector<int>{maxdepth, entries >= 2}), (std::vector<int>{1, 1}));

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
    EXPECT_EQ((std::vector<int>{SYNCTASK_run(7), SYNCTASK_run(7)}), (std::vector<int>{15, 0})) << "one pass per tick";
    ASSERT_EQ(runs[1].size(), 1u) << "once, not once per missed tick";
    EXPECT_TRUE(runs[1][0].lateness >= now - after && runs[1][0].lateness <= now - before) << runs[1][0].lateness;
    EXPECT_EQ(SYNCTASKlist[0].due, now + 1) << "the next due time counts from the end of the run";
    TIMER_release();
    cleartable();

    // A wait ends at the first non-zero result, or when its ticks are up.
    int32_t start = TIMER_ticks();
    EXPECT_EQ((std::vector<int>{SYNCTASK_wait(10), TIMER_ticks() - start >= 10}), (std::vector<int>{0, 1}));
    SYNCTASK_add(nth<42>, 100, 3);
    EXPECT_EQ(SYNCTASK_wait(300), 42);
    EXPECT_LT(TIMER_ticks() - start, 200) << "the wait ends at the first non-zero result";
    TIMER_stop();

    // With that task still in the table, the sixteenth routine added finds it full.
    recorder.clear();
    for (SYNCTASKROUTINE routine : sixteen)
        SYNCTASK_add(routine, 10, 10);
    EXPECT_EQ(alertsof(recorder), std::vector<std::string>{"cmn/systask:99 SYNCTASK_add - LIST FULL\n"});
}

TEST(SyncTask, ConcurrentAdditionsEachGetAnEntry)
{
    // Fifteen routines from three threads, and a sixteenth that every thread adds and removes meanwhile:
    // each ends with one entry, none with two, and the table never reports itself full.
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
                    SYNCTASK_add(sixteen[t * 5 + i], 5, 5);
                    SYNCTASK_add(sixteen[15], 1, 1);
                    SYNCTASK_remove(sixteen[15]);
                }
            });
        for (std::thread& adder : adders)
            adder.join();
        for (int i = 0; i < 16; i++)
            ASSERT_EQ(std::count_if(SYNCTASKlist, SYNCTASKlist + SYNCTASK_MAX,
                                    [&](const SYNCTASK& task) { return task.routine == sixteen[i]; }),
                      i < 15 ? 1 : 0) << "round " << round << " routine " << i;
    }
    EXPECT_EQ(recorder.count(), 0u) << "no false LIST FULL";
}

}  // namespace
