// The tick timer and the secondary timer: start-up, the 16.16 schedule, holds,
// deadlines, waits, routines, exit. Timing bounds are loose: the machine may be loaded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

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
int64_t nowms() { return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::milliseconds(1); }

// Registered threads; the registry is made first so that the count starts right.
int registered()
{
    THREAD_init(0);
    int count = 0;
    for (int32_t index = 0; THREADitemlist && index < THREAD_capacity(); index++)
        count += THREADitemlist[index].key != 0;
    return count;
}

// Polls condition for up to five seconds.
template <typename CONDITION>
bool eventually(CONDITION condition)
{
    for (int i = 0; i < 5000 && !condition(); i++)
        sleepms(1);
    return condition();
}
bool ticksreach(int32_t count) { return eventually([&] { return TIMER_ticks() >= count; }); }

// Routines that count their calls: eight fillers, then A, B and C for the
// secondary timer and TICK for the per-tick table. None may run on the main thread.
enum { A = 8, B, C, TICK };
std::atomic<int> calls[12];
std::atomic<bool> onmain{false};
template <int N>
void counting()
{
    calls[N]++;
    onmain = onmain || THREAD_iscurrent(nullptr);
}
const TIMERROUTINE fillers[8] = {counting<0>, counting<1>, counting<2>, counting<3>,
                                 counting<4>, counting<5>, counting<6>, counting<7>};
const TIMERROUTINE routinea = counting<A>, routineb = counting<B>, routinec = counting<C>, counttick = counting<TICK>;

// Adds routinec to the secondary timer and signals until it has run once
// more: a signal given before a new thread has made its event is lost.
bool crunsonsignal()
{
    int runs = calls[C].load();
    LOWTIMER_add(routinec);
    return eventually([&] {
        LOWTIMER_signal();
        return calls[C].load() > runs;
    });
}

TEST(Timer, StartsAndStopsAtEachFrequency)
{
    int before = registered();
    ScopedAlertRecorder recorder;
    const struct {
        int32_t frequency;
        const char* alert;
        int32_t runs, period;  // the frequency it runs at (0: left stopped), and its period
    } rows[] = {
        {20000, "pc/inittmr:262 TIMER_init - BAD TIMER FREQUENCY SPECIFIED 20000\n", 100, 655360},
        {-5, "pc/inittmr:262 TIMER_init - BAD TIMER FREQUENCY SPECIFIED -5\n", 100, 655360},
        {2000, "pc/inittmr:290 TIMER_init - MULTIMEDIA TIMER CANNOT SUPPORT THIS FREQUENCY.\n", 0, 0},
        {1000, nullptr, 1000, 65536},  // the fastest supported
        {10, nullptr, 10, 6553600},    // the first tick is given five periods to come
        {60, nullptr, 60, 1092266},
        {0, nullptr, 100, 655360},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frequency);
        recorder.clear();
        int64_t start = nowms();
        TIMER_init(row.frequency);
        int32_t first = TIMER_ticks(), firstsync = TIMER_syncclock();
        std::vector<std::string> alerts;
        for (const RecordedAlert& alert : recorder.alerts())
            alerts.push_back(alert.file + ":" + std::to_string(alert.line) + " " + alert.message);
        EXPECT_EQ(alerts, row.alert ? std::vector<std::string>{row.alert} : std::vector<std::string>{});
        // One timer thread, the old one gone; the period of the new frequency.
        EXPECT_EQ((LIST{TIMERfrequency, registered() - before, row.runs ? TIMER_period() : 0}),
                  (LIST{row.runs, row.runs != 0, row.period}));
#ifndef _WIN32
        EXPECT_EQ(PW_timeperiods(), row.runs != 0);
#endif
        if (row.runs == 0)
            continue;
        // Tick n is due n periods after the start, so the count never runs
        // ahead of the time since TIMER_init: the count from before is gone.
        EXPECT_TRUE(ticksreach(first + 2 + row.runs / 10));
        int32_t counted = TIMER_ticks();
        EXPECT_LE(counted, (nowms() - start) * row.runs / 1000 + 2) << "never faster than its frequency";
        EXPECT_GE(TIMER_syncclock() - firstsync, counted - first - 1);
    }
    // Stopped: the thread has ended, the counters stand still, a second stop changes nothing.
    TIMER_stop();
    int32_t stopped = TIMER_ticks();
    sleepms(50);
    TIMER_stop();
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
        uint32_t next = TIMER_stepdue(due, &carried, period);
        EXPECT_TRUE(next - due == 16 || next - due == 17) << "step " << step << " is " << next - due;
        due = next;
        EXPECT_EQ(static_cast<uint64_t>(due - start) * 65536 + carried, static_cast<uint64_t>(step) * period);
    }
    EXPECT_EQ(TIMER_stepdue(1000, nullptr, period), 1016u) << "no fraction: none carried in, none kept";

    // Live, each sample is the due time the callback had scheduled when the
    // timer thread counted a tick: any span, and so every gap and the whole,
    // is k steps of 1000/60 ms rounded down or up (k is 1 for most gaps).
    TIMER_init(60);
    ASSERT_EQ(TIMER_addroutine(sampledue), 1);
    ASSERT_TRUE(eventually([] { return samplecount.load() >= 60; }));
    TIMER_stop();
    int n = samplecount.load(), single = 0;
    for (int i = 1; i <= n; i++) {
        uint32_t gap = i < n ? samples[i] - samples[i - 1] : samples[n - 1] - samples[0];
        uint32_t low = (gap * 60 + 500) / 1000 * 1000 / 60;
        EXPECT_TRUE((i == n || gap < 2000u) && (gap == low || gap == low + 1)) << "gap " << gap << " at " << i;
        single += gap == 16 || gap == 17;
    }
    EXPECT_GE(single, (n - 1) / 2) << "most ticks are counted one by one";
}

TEST(Timer, DeadlinesHoldsAndWaits)
{
    EXPECT_EQ((LIST{TIMER_reset(), TIMER_ticks(), TIMER_deadlinepassed()}), (LIST{0, 0, 1})) << "deadline 0 at tick 0";
    TIMER_setticks(INT32_MAX - 2);
    EXPECT_EQ(TIMER_setdeadline(5), INT32_MIN + 2);
    const int32_t deadlines[][2] = {{INT32_MAX, 0}, {INT32_MIN + 1, 0}, {INT32_MIN + 2, 1}, {INT32_MIN + 1000, 1}};
    for (const auto& row : deadlines) {
        TIMER_setticks(row[0]);
        EXPECT_EQ(TIMER_deadlinepassed(), row[1]) << "at tick " << row[0];
    }
    TIMER_setticks(INT32_MAX - 1);
    EXPECT_EQ(TIMER_elapsed(), INT32_MAX - 1);
    TIMER_setticks(INT32_MIN + 3);
    EXPECT_EQ(TIMER_elapsed(), 5) << "elapsed counts across the wrap";

    // With the timer running the count wraps while the wait goes on.
    TIMER_init(100);
    TIMER_setticks(INT32_MAX - 3);
    TIMER_setdeadline(6);
    EXPECT_EQ(TIMER_waitdeadline(), 1);
    EXPECT_TRUE(TIMER_ticks() < 0 && TIMER_ticks() >= INT32_MIN + 2) << TIMER_ticks();
    int32_t start = TIMER_ticks();
    int32_t over = TIMER_waitticks(10);
    EXPECT_GE(over, 0);
    EXPECT_EQ(TIMER_ticks() - start - 10, over) << "the result is the overshoot, at the moment of return";

    // A hold, taken twice, stops the counters but not the schedule.
    TIMER_hold();
    TIMER_hold();
    sleepms(30);  // a tick already under way may still be counted
    int32_t ticks = TIMER_ticks(), sync = TIMER_syncclock();
    uint32_t due = TIMER_nextdue();
    sleepms(150);
    EXPECT_EQ((LIST{TIMER_ticks() - ticks, TIMER_syncclock() - sync}), (LIST{0, 0}));
    EXPECT_GT(static_cast<int32_t>(TIMER_nextdue() - due), 50) << "the schedule goes on while held";
    TIMER_release();
    sleepms(50);
    EXPECT_EQ(TIMER_ticks(), ticks) << "still held once";
    TIMER_release();
    TIMER_release();  // a release too many changes nothing
    EXPECT_TRUE(ticksreach(ticks + 3));
    TIMER_hold();
    TIMER_stop();
    TIMER_init(100);
    EXPECT_TRUE(ticksreach(2)) << "a restart clears the hold";
    TIMER_stop();

    // Stopped, the waits sleep at 100 ticks per second instead.
    int64_t began = nowms();
    EXPECT_EQ(TIMER_waitticks(30), 0);
    int64_t slept = nowms() - began;
    TIMER_setdeadline(20);
    EXPECT_EQ(TIMER_waitdeadline(), 0) << "the tick count did not reach the deadline";
    EXPECT_TRUE(slept >= 290 && nowms() - began - slept >= 190) << slept << " " << nowms() - began;
    TIMER_setdeadline(-1);
    EXPECT_EQ(TIMER_waitdeadline(), 1) << "a deadline already passed needs no timer";
}

std::atomic<int> selfcount{0};
void removesitself()
{
    if (++selfcount == 3)
        LOWTIMER_remove(removesitself);
}

TEST(LowTimer, RoutinesRunOnTheirOwnThreads)
{
    int before = registered();
    EXPECT_TRUE(crunsonsignal());
    LOWTIMER_shutdown();
    LOWTIMER_shutdown();
    EXPECT_EQ(LOWTIMER_isrunning(), 0);
    EXPECT_TRUE(crunsonsignal()) << "a shutdown keeps the registrations: the next start runs them again";
    LOWTIMER_remove(routinec);

    // A full secondary table ignores a ninth routine, silently.
    ScopedAlertRecorder recorder;
    for (TIMERROUTINE routine : fillers)
        LOWTIMER_add(routine);
    calls[C] = 0;
    LOWTIMER_add(routinec);
    EXPECT_TRUE(eventually([] {
        LOWTIMER_signal();
        return calls[7].load() >= 2;
    })) << "the last of the eight runs";
    EXPECT_EQ(calls[C].load(), 0) << "the ninth does not";
    for (TIMERROUTINE routine : fillers)
        LOWTIMER_remove(routine);
    EXPECT_EQ(LOWTIMER_isrunning(), 0);

    // Per-tick routines run on the timer thread, the secondary ones on theirs.
    SlowExitLines lines(30);
    EXPECT_EQ((LIST{TIMER_addroutine(nullptr), TIMER_addroutine(counttick), TIMER_addroutine(counttick)}),
              (LIST{0, 1, 1}));
    int added = 0;
    for (TIMERROUTINE routine : fillers)
        added += TIMER_addroutine(routine);
    EXPECT_EQ(added, 7) << "eight slots, one taken";
    LOWTIMER_add(routinea);
    LOWTIMER_add(routinea);
    LOWTIMER_add(routineb);
    EXPECT_EQ((LIST{LOWTIMER_isrunning(), registered() - before}), (LIST{1, 1})) << "one secondary thread";
    TIMER_init(100);
    TIMER_waitticks(30);
    TIMER_stop();
    EXPECT_EQ(lines.finished(), 1u) << "the timer thread has ended, exit line and all";
    sleepms(20);
    EXPECT_GE(calls[TICK].load(), 29);
    EXPECT_LE(calls[TICK].load(), TIMER_ticks() + 1) << "once per tick, not twice";
    EXPECT_GE(calls[A].load(), 10);
    EXPECT_LE(std::abs(calls[A].load() - calls[B].load()), 1) << "a routine added twice still runs once per pass";
    EXPECT_FALSE(onmain.load());
    EXPECT_EQ((LIST{TIMER_removeroutine(counttick), TIMER_removeroutine(counttick)}), (LIST{1, 0}));
    for (TIMERROUTINE routine : fillers)
        TIMER_removeroutine(routine);
    LOWTIMER_remove(routinec);  // not there: nothing happens
    LOWTIMER_remove(routinea);
    EXPECT_EQ(LOWTIMER_isrunning(), 1);
    LOWTIMER_remove(routineb);
    // Removing the last routine stops the secondary timer, and its thread has ended.
    EXPECT_EQ((LIST{LOWTIMER_isrunning(), registered() - before, static_cast<int64_t>(lines.finished())}),
              (LIST{0, 0, 2}));

    // The last routine may remove itself; the thread then releases the mutex
    // itself, unlocked, and the secondary timer starts again afterwards.
    LOWTIMER_add(removesitself);
    TIMER_init(100);
    EXPECT_TRUE(eventually([] { return LOWTIMER_isrunning() == 0; }));
    LOWTIMER_shutdown();  // waits for the thread that stopped itself to be gone
    EXPECT_EQ((LIST{static_cast<int64_t>(lines.finished()), registered() - before}), (LIST{3, 1}));
    TIMER_stop();
    EXPECT_EQ(selfcount.load(), 3);
    EXPECT_TRUE(crunsonsignal());
    LOWTIMER_remove(routinec);
    EXPECT_EQ(registered(), before);
    EXPECT_EQ(recorder.count(), 0u);
}

TEST(LowTimerDeathTest, ASecondStartChangesNothing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
#ifndef _WIN32
            alarm(10);  // a start that hangs ends the child
#endif
            int before = registered();
            LOWTIMER_add(routinec);
            wininittimer();
            int threads = registered() - before;
            bool runs = crunsonsignal();
            LOWTIMER_remove(routinec);
            std::fprintf(stderr, "threads %d, routine runs %d, left %d\n", threads, runs, registered() - before);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "threads 1, routine runs 1, left 0");
}

// The alert channel prints to standard output: send it where the death test
// reads. On POSIX a hang ends the child after 30 s (on Windows ctest's limit does).
void printtostderr()
{
#ifdef _WIN32
    _dup2(2, 1);
#else
    alarm(30);
    dup2(2, 1);
#endif
}

TEST(TimerDeathTest, BadFrequencyAndExit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(TIMER_init(20000), testing::ExitedWithCode(0), "TIMER_init - BAD TIMER FREQUENCY SPECIFIED 20000");
    // An exit leaves no thread behind for the registry's report.
    EXPECT_EXIT(
        {
            printtostderr();
            TIMER_init(100);
            LOWTIMER_add(routinea);
            TIMER_addroutine(counttick);
            TIMER_waitticks(5);
            std::exit(0);
        },
        testing::ExitedWithCode(0), testing::Not(testing::HasSubstr("THREAD_restore")));
}

}  // namespace
