// The tick timer and the secondary timer: start-up and its alerts, the 16.16
// schedule, hold and release, deadlines across wrap-around, the waits with
// the timer running and stopped, the per-tick and secondary routines, and a
// clean process exit. Timing bounds are loose: the machine may be loaded.
#include <gtest/gtest.h>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
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

void sleepms(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

int64_t nowms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int registered()
{
    int count = 0;
    for (int32_t index = 0; THREADitemlist && index < THREAD_capacity(); index++)
        count += THREADitemlist[index].key != 0;
    return count;
}

// Polls condition for up to five seconds.
template <typename CONDITION>
bool eventually(CONDITION condition)
{
    for (int i = 0; i < 5000; i++) {
        if (condition())
            return true;
        sleepms(1);
    }
    return condition();
}

bool ticksreach(int32_t count)
{
    return eventually([&] { return TIMER_ticks() >= count; });
}

// Makes sure the thread registry exists before counting entries.
int baseline()
{
    THREAD_init(0);
    return registered();
}

TEST(Timer, DefaultFrequencyRunsAt100)
{
    int before = baseline();
    ScopedAlertRecorder recorder;
    int64_t start = nowms();
    TIMER_init(0);
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(TIMERfrequency, 100);
    EXPECT_EQ(TIMER_period(), 655360);
    EXPECT_EQ(registered(), before + 1) << "one timer thread";
#ifndef _WIN32
    EXPECT_EQ(PW_timeperiods(), 1);
#endif

    int32_t first = TIMER_ticks();
    int32_t firstsync = TIMER_syncclock();
    sleepms(300);
    int32_t counted = TIMER_ticks();
    int64_t passed = nowms() - start;
    EXPECT_GE(counted - first, 5);
    // Tick n is due n periods after the start, so even catching up after a
    // delay the count never runs ahead of the time since TIMER_init.
    EXPECT_LE(counted, passed / 10 + 2) << "never faster than 100 per second";
    EXPECT_GE(TIMER_syncclock() - firstsync, counted - first - 1);

    TIMER_stop();
    EXPECT_EQ(TIMERfrequency, 0);
    EXPECT_EQ(registered(), before) << "stop waits for the timer thread to end";
#ifndef _WIN32
    EXPECT_EQ(PW_timeperiods(), 0) << "the resolution is given back";
    EXPECT_EQ(PW_timeevents(), 0) << "no event is left armed";
#endif
    int32_t stopped = TIMER_ticks();
    sleepms(50);
    EXPECT_EQ(TIMER_ticks(), stopped);
    TIMER_stop();
#ifndef _WIN32
    EXPECT_EQ(PW_timeperiods(), 0) << "a second stop changes nothing";
#endif
}

TEST(Timer, FrequencyAlerts)
{
    int before = baseline();
    ScopedAlertRecorder recorder;
    TIMER_init(20000);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.messages()[0], "TIMER_init - BAD TIMER FREQUENCY SPECIFIED 20000\n");
    EXPECT_EQ(recorder.alerts()[0].file, "pc/inittmr");
    EXPECT_EQ(recorder.alerts()[0].line, 262);
    EXPECT_EQ(TIMERfrequency, 100) << "runs at 100 when the alert returns";
    EXPECT_EQ(TIMER_period(), 655360);

    recorder.clear();
    TIMER_init(-5);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{"TIMER_init - BAD TIMER FREQUENCY SPECIFIED -5\n"}));
    EXPECT_EQ(TIMERfrequency, 100);

    recorder.clear();
    TIMER_init(2000);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.messages()[0], "TIMER_init - MULTIMEDIA TIMER CANNOT SUPPORT THIS FREQUENCY.\n");
    EXPECT_EQ(recorder.alerts()[0].line, 290);
    EXPECT_EQ(TIMERfrequency, 0) << "left stopped";
    EXPECT_EQ(registered(), before) << "no timer thread";
#ifndef _WIN32
    EXPECT_EQ(PW_timeperiods(), 0);
#endif

    recorder.clear();
    TIMER_init(1000);
    EXPECT_EQ(recorder.count(), 0u) << "1000 is the fastest supported";
    EXPECT_EQ(TIMERfrequency, 1000);
    EXPECT_EQ(TIMER_period(), 65536);
    TIMER_stop();
}

TEST(TimerDeathTest, BadFrequencyEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(TIMER_init(20000), testing::ExitedWithCode(0), "TIMER_init - BAD TIMER FREQUENCY SPECIFIED 20000");
}

TEST(Timer, SlowFrequenciesStart)
{
    ScopedAlertRecorder recorder;
    TIMER_init(10);
    EXPECT_EQ(recorder.count(), 0u) << "the first tick is given five periods to come";
    EXPECT_EQ(TIMERfrequency, 10);
    EXPECT_EQ(TIMER_period(), 6553600);
    int32_t first = TIMER_ticks();
    EXPECT_TRUE(ticksreach(first + 2));
    TIMER_stop();
}

TEST(Timer, ScheduleStepsIn16And17MillisecondsAt60)
{
    const int32_t period = 65536000 / 60;
    uint32_t carried = 0;
    uint32_t due = 0xFFFFFF00u;  // right below wrap-around
    const uint32_t start = due;
    for (int step = 1; step <= 600; step++) {
        uint32_t next = TIMER_stepdue(due, &carried, period);
        uint32_t gap = next - due;
        EXPECT_TRUE(gap == 16 || gap == 17) << "step " << step << " is " << gap;
        EXPECT_LT(carried, 0x10000u);
        due = next;
        // Nothing is lost between steps: whole and carried milliseconds add
        // up to exactly step periods, within a millisecond of step * 1000/60.
        EXPECT_EQ(static_cast<uint64_t>(due - start) * 65536 + carried, static_cast<uint64_t>(step) * period);
        EXPECT_NEAR(static_cast<double>(due - start), step * 1000.0 / 60.0, 1.0);
    }
    carried = 0;
    EXPECT_EQ(TIMER_stepdue(1000, &carried, 655360), 1010u);
    EXPECT_EQ(carried, 0u);
    EXPECT_EQ(TIMER_stepdue(1000, nullptr, period), 1016u) << "no fraction: none carried in, none kept";
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

TEST(Timer, LiveScheduleAt60FollowsTheSteps)
{
    TIMER_init(60);
    EXPECT_EQ(TIMER_period(), 1092266);
    samplecount = 0;
    ASSERT_EQ(TIMER_addroutine(sampledue), 1);
    ASSERT_TRUE(eventually([] { return samplecount.load() >= 60; }));
    TIMER_removeroutine(sampledue);
    TIMER_stop();

    // Each sample is the due time the callback had scheduled when the timer
    // thread counted a tick. Between two samples lie k steps of 1000/60 ms
    // (k is 1 as a rule; 0 or more when the thread lags behind the
    // callback), so every gap is k * 16.67 rounded down or up.
    int n = samplecount.load();
    int single = 0;
    for (int i = 1; i < n; i++) {
        uint32_t gap = samples[i] - samples[i - 1];
        uint32_t steps = (gap * 60 + 500) / 1000;
        EXPECT_LT(gap, 2000u) << "the schedule never jumps";
        uint32_t low = steps * 1000 / 60;
        EXPECT_TRUE(gap == low || gap == low + 1) << "gap " << gap << " is no whole number of steps";
        single += gap == 16 || gap == 17;
    }
    EXPECT_GE(single, (n - 1) / 2) << "most ticks are counted one by one";
}

TEST(Timer, HoldStopsTheCounters)
{
    TIMER_init(100);
    ASSERT_TRUE(ticksreach(3));
    TIMER_hold();
    TIMER_hold();
    sleepms(30);  // a tick already under way may still be counted
    int32_t ticks = TIMER_ticks();
    int32_t sync = TIMER_syncclock();
    uint32_t due = TIMER_nextdue();
    sleepms(150);
    EXPECT_EQ(TIMER_ticks(), ticks);
    EXPECT_EQ(TIMER_syncclock(), sync);
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
}

TEST(Timer, DeadlinesAcrossWrapAround)
{
    EXPECT_EQ(TIMER_reset(), 0);
    EXPECT_EQ(TIMER_ticks(), 0);
    EXPECT_EQ(TIMER_deadlinepassed(), 1) << "deadline 0 at tick 0";

    TIMER_setticks(INT32_MAX - 2);
    EXPECT_EQ(TIMER_setdeadline(5), INT32_MIN + 2);
    EXPECT_EQ(TIMER_deadlinepassed(), 0);
    TIMER_setticks(INT32_MAX);
    EXPECT_EQ(TIMER_deadlinepassed(), 0);
    TIMER_setticks(INT32_MIN + 1);
    EXPECT_EQ(TIMER_deadlinepassed(), 0);
    TIMER_setticks(INT32_MIN + 2);
    EXPECT_EQ(TIMER_deadlinepassed(), 1);
    TIMER_setticks(INT32_MIN + 1000);
    EXPECT_EQ(TIMER_deadlinepassed(), 1);

    TIMER_setticks(INT32_MAX - 1);
    EXPECT_EQ(TIMER_elapsed(), INT32_MAX - 1);
    TIMER_setticks(INT32_MIN + 3);
    EXPECT_EQ(TIMER_elapsed(), 5) << "elapsed counts across the wrap";

    // With the timer running: the count wraps while the wait goes on.
    TIMER_init(100);
    TIMER_setticks(INT32_MAX - 3);
    TIMER_setdeadline(6);
    EXPECT_EQ(TIMER_waitdeadline(), 1);
    EXPECT_LT(TIMER_ticks(), 0);
    EXPECT_GE(TIMER_ticks(), INT32_MIN + 2);
    EXPECT_EQ(TIMER_deadlinepassed(), 1);
    TIMER_stop();

    EXPECT_EQ(TIMER_reset(), 0);
    EXPECT_EQ(TIMER_ticks(), 0);
    EXPECT_EQ(TIMER_elapsed(), 0);
}

TEST(Timer, WaitsWithTheTimerRunning)
{
    TIMER_init(100);
    int32_t start = TIMER_ticks();
    int32_t over = TIMER_waitticks(10);
    EXPECT_GE(over, 0);
    EXPECT_EQ(TIMER_ticks() - start - 10, over) << "the result is the overshoot, at the moment of return";
    TIMER_setdeadline(5);
    EXPECT_EQ(TIMER_waitdeadline(), 1);
    EXPECT_EQ(TIMER_deadlinepassed(), 1);
    TIMER_stop();
}

TEST(Timer, WaitsWithTheTimerStoppedSleepInstead)
{
    TIMER_stop();
    int64_t start = nowms();
    EXPECT_EQ(TIMER_waitticks(30), 0);
    int64_t passed = nowms() - start;
    EXPECT_GE(passed, 290) << "30 ticks at 100 per second";
    EXPECT_LT(passed, 10000);

    TIMER_reset();
    TIMER_setdeadline(20);
    start = nowms();
    EXPECT_EQ(TIMER_waitdeadline(), 0) << "the tick count did not reach the deadline";
    passed = nowms() - start;
    EXPECT_GE(passed, 190);
    EXPECT_LT(passed, 10000);

    TIMER_setdeadline(-1);
    EXPECT_EQ(TIMER_waitdeadline(), 1) << "a deadline already passed needs no timer";
    EXPECT_EQ(TIMER_waitticks(0), 0);
}

std::atomic<int> tickcalls{0};
std::atomic<bool> tickonmain{false};
void counttick()
{
    tickcalls++;
    if (THREAD_iscurrent(nullptr))
        tickonmain = true;
}

std::atomic<int> fillercalls[32];

template <int N>
void filler()
{
    fillercalls[N]++;
}

TEST(Timer, PerTickRoutines)
{
    EXPECT_EQ(TIMER_addroutine(nullptr), 0);
    EXPECT_EQ(TIMER_addroutine(counttick), 1);
    EXPECT_EQ(TIMER_addroutine(counttick), 1) << "already there";
    TIMERROUTINE fillers[] = {filler<1>, filler<2>, filler<3>, filler<4>, filler<5>, filler<6>, filler<7>, filler<8>};
    int added = 0;
    for (TIMERROUTINE routine : fillers)
        added += TIMER_addroutine(routine);
    EXPECT_EQ(added, 7) << "eight slots, one taken";

    tickcalls = 0;
    TIMER_init(100);
    TIMER_waitticks(20);
    TIMER_stop();
    int calls = tickcalls.load();
    EXPECT_GE(calls, 19);
    EXPECT_LE(calls, TIMER_ticks() + 1) << "once per tick, not twice";
    EXPECT_FALSE(tickonmain.load());

    EXPECT_EQ(TIMER_removeroutine(counttick), 1);
    EXPECT_EQ(TIMER_removeroutine(counttick), 0);
    for (TIMERROUTINE routine : fillers)
        TIMER_removeroutine(routine);
}

std::atomic<int> counta{0}, countb{0}, countc{0};
std::atomic<bool> secondaryonmain{false};
void routinea()
{
    counta++;
    if (THREAD_iscurrent(nullptr))
        secondaryonmain = true;
}
void routineb() { countb++; }
void routinec() { countc++; }

TEST(LowTimer, RunsEachRoutineOncePerTick)
{
    int before = baseline();
    SlowExitLines lines(30);
    counta = countb = 0;
    LOWTIMER_add(routinea);
    LOWTIMER_add(routinea);
    LOWTIMER_add(routineb);
    EXPECT_EQ(LOWTIMER_isrunning(), 1);
    EXPECT_EQ(registered(), before + 1) << "one secondary thread";

    TIMER_init(100);
    TIMER_waitticks(30);
    TIMER_stop();
    EXPECT_EQ(lines.finished(), 1u) << "the timer thread has ended, exit line and all";
    sleepms(20);
    int a = counta.load(), b = countb.load();
    EXPECT_GE(a, 10);
    EXPECT_LE(std::abs(a - b), 1) << "a routine added twice still runs once per pass, as the other does";
    EXPECT_FALSE(secondaryonmain.load());

    LOWTIMER_remove(routinec);  // not there: nothing happens
    LOWTIMER_remove(routinea);
    EXPECT_EQ(LOWTIMER_isrunning(), 1);
    LOWTIMER_remove(routineb);
    EXPECT_EQ(LOWTIMER_isrunning(), 0) << "removing the last routine stops the secondary timer";
    EXPECT_EQ(registered(), before) << "and its thread has ended";
    EXPECT_EQ(lines.finished(), 2u);
    LOWTIMER_shutdown();
    LOWTIMER_remove(routineb);
}

TEST(LowTimer, SignalWakesTheThread)
{
    countc = 0;
    LOWTIMER_add(routinec);
    sleepms(30);
    EXPECT_EQ(countc.load(), 0) << "without a timer nothing signals";
    // A signal given before the new thread has made its event is lost (the
    // timer gives one on every tick), so keep signalling.
    EXPECT_TRUE(eventually([] {
        LOWTIMER_signal();
        return countc.load() >= 1;
    }));
    LOWTIMER_shutdown();
    EXPECT_EQ(LOWTIMER_isrunning(), 0);
    LOWTIMER_shutdown();
    LOWTIMER_signal();

    // A shutdown keeps the registrations: the next start runs them again.
    int32_t runs = countc.load();
    LOWTIMER_add(routinec);
    EXPECT_TRUE(eventually([&] {
        LOWTIMER_signal();
        return countc.load() > runs;
    }));
    LOWTIMER_remove(routinec);
    EXPECT_EQ(LOWTIMER_isrunning(), 0);
}

TEST(LowTimer, FullTableIgnoresMoreRoutines)
{
    TIMERROUTINE fillers[] = {filler<11>, filler<12>, filler<13>, filler<14>,
                              filler<15>, filler<16>, filler<17>, filler<18>};
    for (TIMERROUTINE routine : fillers)
        LOWTIMER_add(routine);
    countc = 0;
    ScopedAlertRecorder recorder;
    LOWTIMER_add(routinec);
    EXPECT_EQ(recorder.count(), 0u) << "ignored silently";
    EXPECT_TRUE(eventually([] {
        LOWTIMER_signal();
        return fillercalls[18].load() >= 2;
    })) << "the last of the eight runs";
    EXPECT_EQ(countc.load(), 0) << "the ninth does not";
    for (TIMERROUTINE routine : fillers)
        LOWTIMER_remove(routine);
    EXPECT_EQ(LOWTIMER_isrunning(), 0);
}

std::atomic<int> selfcount{0};
void removesitself()
{
    if (++selfcount == 3)
        LOWTIMER_remove(removesitself);
}

TEST(LowTimer, LastRoutineMayRemoveItself)
{
    int before = baseline();
    selfcount = 0;
    ScopedAlertRecorder recorder;
    SlowExitLines lines(30);
    LOWTIMER_add(removesitself);
    TIMER_init(100);
    EXPECT_TRUE(eventually([] { return LOWTIMER_isrunning() == 0; }));
    LOWTIMER_shutdown();  // waits for the thread that stopped itself to be gone
    EXPECT_EQ(lines.finished(), 1u);
    EXPECT_EQ(registered(), before + 1) << "only the timer thread is left";
    TIMER_stop();
    EXPECT_EQ(selfcount.load(), 3);
    EXPECT_EQ(recorder.count(), 0u) << "the mutex is released unlocked, by the thread itself";
    EXPECT_EQ(registered(), before);

    // And the secondary timer starts again afterwards.
    countc = 0;
    LOWTIMER_add(routinec);
    EXPECT_TRUE(eventually([] {
        LOWTIMER_signal();
        return countc.load() >= 1;
    }));
    LOWTIMER_remove(routinec);
    EXPECT_EQ(registered(), before);
}

TEST(LowTimerDeathTest, ASecondStartChangesNothing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
#ifndef _WIN32
            alarm(10);  // a start that hangs ends the child
#endif
            int before = baseline();
            countc = 0;
            LOWTIMER_add(routinec);
            wininittimer();
            int threads = registered() - before;
            bool runs = eventually([] {
                LOWTIMER_signal();
                return countc.load() >= 1;
            });
            LOWTIMER_remove(routinec);
            std::fprintf(stderr, "threads %d, routine runs %d, left %d\n", threads, runs, registered() - before);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "threads 1, routine runs 1, left 0");
}

TEST(Timer, RestartKeepsOneThread)
{
    int before = baseline();
    TIMER_init(100);
    ASSERT_TRUE(ticksreach(30));
    auto restart = std::chrono::steady_clock::now();
    TIMER_init(1000);
    EXPECT_EQ(TIMERfrequency, 1000);
    EXPECT_EQ(registered(), before + 1);
#ifndef _WIN32
    EXPECT_EQ(PW_timeperiods(), 1);
#endif
    EXPECT_EQ(TIMER_period(), 65536);
    int32_t first = TIMER_ticks();
    // At most one tick per millisecond since the restart (and one in hand),
    // however slow the machine: the 30 from before are gone.
    auto since = std::chrono::steady_clock::now() - restart;
    EXPECT_LE(first, std::chrono::duration_cast<std::chrono::milliseconds>(since).count() + 2)
        << "the restart cleared the count";
    EXPECT_TRUE(ticksreach(first + 10));
    TIMER_stop();
    EXPECT_EQ(registered(), before);
}

// The exit check: registered before anything else, so it runs after every
// exit callback of the library. It reads what the alert channel printed.
char capturepath[MAX_PATH];

void checkatexit()
{
    fflush(stdout);
    std::string printed;
    if (FILE* file = std::fopen(capturepath, "r")) {
        char buffer[512];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            printed.append(buffer, got);
        std::fclose(file);
    }
    std::remove(capturepath);
    if (printed.find("THREAD_restore") != std::string::npos) {
        std::fprintf(stderr, "thread left at exit: %s", printed.c_str());
        _exit(3);
    }
    std::fprintf(stderr, "registry clean\n");
    _exit(0);
}

// Standard output goes to a scratch file for the exit check to read; on
// POSIX a hang ends the child after 30 s (on Windows ctest's limit does).
void captureoutput()
{
#ifdef _WIN32
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    GetTempFileNameA(folder, "vte", 0, capturepath);
    int fd = _open(capturepath, _O_WRONLY | _O_TRUNC | _O_BINARY);
    _dup2(fd, 1);
    _close(fd);
#else
    alarm(30);
    std::snprintf(capturepath, sizeof capturepath, "/tmp/vorl-timer-exit-XXXXXX");
    int fd = mkstemp(capturepath);
    dup2(fd, 1);
    close(fd);
#endif
    std::atexit(checkatexit);
}

void sleeper() { sleepms(100000); }

TEST(TimerDeathTest, ExitLeavesNoThread)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            captureoutput();
            TIMER_init(100);
            LOWTIMER_add(routinea);
            TIMER_addroutine(counttick);
            TIMER_waitticks(5);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "registry clean");

    // The check does see a thread that is still running.
    EXPECT_EXIT(
        {
            captureoutput();
            static THREAD record;
            THREAD_create(sleeper, 0, 0, -1, &record);
            std::exit(0);
        },
        testing::ExitedWithCode(3), "thread left at exit");
}

}  // namespace
