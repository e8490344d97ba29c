// The tick timer and the secondary timer: start-up, the 16.16 schedule, holds,
// deadlines, waits, routines, exit. Timing bounds are loose: the machine may be loaded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "alertrecorder.h"
#include "exitlines.h"
#include "platform/vplatform.h"
#include "vorl/thread.h"
#include "vorl/timer.h"

namespace {

using LIST = std::vector<int64_t>;

void sleepms(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// Registered threads; the registry is made first so that the count starts right.
int registered()
{
    THREAD_init(0);
    int count = 0;
    for (int32_t index = 0; THREADitemlist && index < THREAD_capacity(); index++)
        count += THREADitemlist[index].key != 0;
    return count;
}

template <typename CONDITION>
bool eventually(CONDITION condition)
{
    for (int i = 0; i < 5000 && !condition(); i++)
        sleepms(1);
    return condition();
}
bool ticksreach(int32_t count) { return eventually([&] { return TIMER_ticks() >= count; }); }

// Routines that count their calls; none may run on the main thread.
enum { A, B, TICK };
std::atomic<int> calls[3];
std::atomic<bool> onmain{false};
template <int N>
void counting()
{
    calls[N]++;
    onmain = onmain || THREAD_iscurrent(nullptr);
}

TEST(Timer, StartsAndStopsAtEachFrequency)
{
    int before = registered();
    ScopedAlertRecorder recorder;
    // Asked for, run at (0: left stopped), the period, the alert.
    const struct { int32_t frequency, runs, period; const char* alert; } rows[] = {
        {20000, 100, 655360, "pc/inittmr:262 TIMER_init - BAD TIMER FREQUENCY SPECIFIED 20000\n"},
        {2000, 0, 0, "pc/inittmr:290 TIMER_init - MULTIMEDIA TIMER CANNOT SUPPORT THIS FREQUENCY.\n"},
        {60, 60, 1092266, nullptr}, {0, 100, 655360, nullptr}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frequency);
        recorder.clear();
        TIMER_init(row.frequency);
        std::vector<std::string> alerts;
        for (const RecordedAlert& alert : recorder.alerts())
            alerts.push_back(alert.file + ":" + std::to_string(alert.line) + " " + alert.message);
        EXPECT_EQ(alerts, row.alert ? std::vector<std::string>{row.alert} : std::vector<std::string>{});
        // One timer thread, the old one gone; the period of the new frequency.
        EXPECT_EQ((LIST{TIMERfrequency, registered() - before, row.runs ? TIMER_period() : 0}),
                  (LIST{row.runs, row.runs != 0, row.period}));
    }
    // Stopped: the thread has ended and the count stands still.
    EXPECT_TRUE(ticksreach(2));
    TIMER_stop();
    int32_t stopped = TIMER_ticks();
    sleepms(50);
    EXPECT_EQ((LIST{TIMERfrequency, registered() - before, TIMER_ticks() - stopped}), (LIST{0, 0, 0}));
#ifndef _WIN32
    EXPECT_EQ((LIST{PW_timeperiods(), PW_timeevents()}), (LIST{0, 0})) << "resolution given back, no event armed";
#endif
}

std::atomic<int> samplecount{0};
uint32_t samples[256];
void sampledue()
{
    int index = samplecount.load();
    if (index < 256) {
        samples[index] = TIMER_nextdue();
        samplecount.store(index + 1);
    }
}

TEST(Timer, ScheduleStepsIn16And17MillisecondsAt60)
{
    // Right below wrap-around, whole and carried milliseconds add up to step periods.
    const int32_t period = 65536000 / 60;
    const uint32_t start = 0xFFFFFF00u;
    uint32_t carried = 0, due = start;
    for (int step = 1; step <= 600; step++) {
        due = TIMER_stepdue(due, &carried, period);
        EXPECT_EQ(static_cast<uint64_t>(due - start) * 65536 + carried, static_cast<uint64_t>(step) * period);
    }
    EXPECT_EQ(TIMER_stepdue(1000, nullptr, period), 1016u) << "no fraction: none carried in, none kept";

    // Live, the gaps between due times sampled per tick are k steps of 1000/60 ms, rounded down or up.
    TIMER_init(60);
    ASSERT_EQ(TIMER_addroutine(sampledue), 1);
    ASSERT_TRUE(eventually([] { return samplecount.load() >= 60; }));
    TIMER_stop();
    int n = samplecount.load();
    for (int i = 1; i <= n; i++) {
        uint32_t gap = i < n ? samples[i] - samples[i - 1] : samples[n - 1] - samples[0];
        uint32_t low = (gap * 60 + 500) / 1000 * 1000 / 60;
        EXPECT_TRUE((i == n || gap < 2000u) && (gap == low || gap == low + 1)) << "gap " << gap << " at " << i;
    }
}

TEST(Timer, DeadlinesHoldsAndWaits)
{
    EXPECT_EQ((LIST{TIMER_reset(), TIMER_ticks(), TIMER_deadlinepassed()}), (LIST{0, 0, 1})) << "deadline 0 at tick 0";
    TIMER_setticks(INT32_MAX - 2);
    EXPECT_EQ(TIMER_setdeadline(5), INT32_MIN + 2);
    const int32_t deadlines[][2] = {{INT32_MAX, 0}, {INT32_MIN + 1, 0}, {INT32_MIN + 2, 1}, {INT32_MIN + 1000, 1}};
    for (const auto& row : deadlines)
        EXPECT_EQ((TIMER_setticks(row[0]), TIMER_deadlinepassed()), row[1]) << "at tick " << row[0];
    TIMER_setticks(INT32_MAX - 1);
    int32_t elapsed = TIMER_elapsed();
    TIMER_setticks(INT32_MIN + 3);
    EXPECT_EQ((LIST{elapsed, TIMER_elapsed()}), (LIST{INT32_MAX - 1, 5})) << "elapsed counts across the wrap";

    // Running, the count wraps during the wait; a wait returns its overshoot.
    TIMER_init(100);
    TIMER_setticks(INT32_MAX - 3);
    TIMER_setdeadline(6);
    EXPECT_EQ(TIMER_waitdeadline(), 1);
    int32_t start = TIMER_ticks(), over = TIMER_waitticks(10);
    EXPECT_EQ(TIMER_ticks() - start - 10, over);
    EXPECT_TRUE(start < 0 && over >= 0) << start;

    TIMER_hold();  // a hold, taken twice, stops the count until both are released
    TIMER_hold();
    sleepms(30);  // a tick already under way may still be counted
    int32_t ticks = TIMER_ticks();
    TIMER_release();
    sleepms(100);
    EXPECT_EQ(TIMER_ticks(), ticks) << "still held once";
    TIMER_release();
    EXPECT_TRUE(ticksreach(ticks + 3));
    TIMER_stop();
}

TEST(LowTimer, RoutinesRunOnTheirOwnThreads)
{
    // Per-tick routines run on the timer thread, the secondary ones on theirs.
    int before = registered();
    SlowExitLines lines(30);
    EXPECT_EQ((LIST{TIMER_addroutine(nullptr), TIMER_addroutine(counting<TICK>), TIMER_addroutine(counting<TICK>)}),
              (LIST{0, 1, 1}));
    for (TIMERROUTINE routine : {counting<A>, counting<A>, counting<B>})
        LOWTIMER_add(routine);
    wininittimer();  // a second start while it runs changes nothing (it used to hang)
    EXPECT_EQ((LIST{LOWTIMER_isrunning(), registered() - before}), (LIST{1, 1})) << "one secondary thread";
    TIMER_init(100);
    TIMER_waitticks(30);
    TIMER_stop();
    EXPECT_EQ(lines.finished(), 1u) << "the timer thread has ended, exit line and all";
    sleepms(20);
    // At least the ticks waited and once per tick, not twice; a routine added twice still runs once per pass.
    EXPECT_EQ((LIST{calls[TICK] >= 29, calls[TICK] <= TIMER_ticks() + 1, calls[A] >= 10,
                    std::abs(calls[A] - calls[B]) <= 1, onmain}), (LIST{1, 1, 1, 1, 0}))
        << calls[TICK] << " " << calls[A] << " " << calls[B];
    EXPECT_EQ((LIST{TIMER_removeroutine(counting<TICK>), TIMER_removeroutine(counting<TICK>)}), (LIST{1, 0}));
    LOWTIMER_remove(counting<A>);
    LOWTIMER_remove(counting<B>);
    EXPECT_EQ((LIST{LOWTIMER_isrunning(), registered() - before, static_cast<int64_t>(lines.finished())}),
              (LIST{0, 0, 2})) << "removing the last routine stops the secondary timer, and its thread has ended";
}

TEST(TimerDeathTest, BadFrequency)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(TIMER_init(20000), testing::ExitedWithCode(0), "TIMER_init - BAD TIMER FREQUENCY SPECIFIED 20000");
}

}  // namespace
