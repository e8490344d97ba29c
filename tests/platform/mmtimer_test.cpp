// The multimedia timer services of our POSIX platform: capabilities,
// resolution requests, one-shot and periodic events, killing them, and the
// millisecond tick count. Timing bounds are loose: the machine may be loaded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/vplatform.h"

namespace {

struct FIRED {
    std::atomic<int> calls{0};
    std::atomic<UINT> id{0};
    std::atomic<DWORD_PTR> user{0};
    std::atomic<DWORD> when{0};
    std::thread::id thread;
    std::mutex lock;
};

void CALLBACK record(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    FIRED* fired = reinterpret_cast<FIRED*>(user);
    {
        std::lock_guard<std::mutex> hold(fired->lock);
        fired->thread = std::this_thread::get_id();
    }
    fired->id = id;
    fired->user = user;
    fired->when = GetTickCount();
    fired->calls++;
}

void sleepms(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// Waits (up to a generous limit) until done() holds; returns whether it does.
template <typename CONDITION>
bool waituntil(CONDITION done)
{
    for (int i = 0; i < 5000 && !done(); i++)
        sleepms(1);
    return done();
}

// Waits (up to a generous limit) until calls reaches count.
bool waitcalls(const FIRED& fired, int count)
{
    return waituntil([&fired, count] { return fired.calls.load() >= count; });
}

TEST(MmTimer, CapabilitiesAndPeriods)
{
    TIMECAPS caps = {};
    EXPECT_EQ(timeGetDevCaps(&caps, sizeof caps), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(caps.wPeriodMin, 1u);
    EXPECT_GE(caps.wPeriodMax, 1000u);
    EXPECT_EQ(timeGetDevCaps(nullptr, sizeof caps), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(timeGetDevCaps(&caps, sizeof caps + 1), static_cast<MMRESULT>(TIMERR_NOCANDO));

#ifndef _WIN32
    EXPECT_EQ(PW_timeperiods(), 0);
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOCANDO)) << "nothing to give back";
#endif
    EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
#ifndef _WIN32
    EXPECT_EQ(PW_timeperiods(), 2);
#endif
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
#ifndef _WIN32
    EXPECT_EQ(PW_timeperiods(), 0);
#endif
}

#ifndef _WIN32
// The checks below use our platform's counters or rely on its own rules
// (flags it does not support, a kill that waits for a running callback).
TEST(MmTimer, RejectsBadRequests)
{
    FIRED fired;
    DWORD_PTR user = reinterpret_cast<DWORD_PTR>(&fired);
    EXPECT_EQ(timeSetEvent(0, 1, record, user, TIME_ONESHOT), 0u) << "delay below the minimum";
    EXPECT_EQ(timeSetEvent(10, 1, nullptr, user, TIME_ONESHOT), 0u);
    EXPECT_EQ(timeSetEvent(10, 1, record, user, 0x10), 0u) << "unsupported callback kind";
    EXPECT_EQ(timeKillEvent(0), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(timeKillEvent(12345), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(PW_timeevents(), 0);
}
#endif

TEST(MmTimer, OneShotFiresOnceAtRoughlyTheDelay)
{
    FIRED fired;
    DWORD start = GetTickCount();
    UINT id = timeSetEvent(50, 1, record, reinterpret_cast<DWORD_PTR>(&fired), TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitcalls(fired, 1));
    DWORD elapsed = fired.when.load() - start;
    EXPECT_GE(elapsed, 49u) << "never early (a tick-count boundary may cost 1 ms)";
    EXPECT_LT(elapsed, 3000u);
    EXPECT_EQ(fired.id.load(), id);
    EXPECT_EQ(fired.user.load(), reinterpret_cast<DWORD_PTR>(&fired));
    {
        std::lock_guard<std::mutex> hold(fired.lock);
        EXPECT_NE(fired.thread, std::this_thread::get_id()) << "callbacks run on the timer's own thread";
    }
    sleepms(150);
    EXPECT_EQ(fired.calls.load(), 1) << "a one-shot event fires once";
#ifndef _WIN32
    EXPECT_EQ(PW_timeevents(), 0);
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM)) << "gone after firing";
#endif
}

TEST(MmTimer, KillBeforeFiringPreventsIt)
{
    FIRED fired;
    UINT id = timeSetEvent(100, 1, record, reinterpret_cast<DWORD_PTR>(&fired), TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    sleepms(250);
    EXPECT_EQ(fired.calls.load(), 0);
    EXPECT_NE(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR)) << "nothing left to kill";
}

std::mutex orderlock;
std::vector<int> order;

void CALLBACK remember(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    std::lock_guard<std::mutex> hold(orderlock);
    order.push_back(static_cast<int>(user));
}

TEST(MmTimer, EventsFireInDueOrder)
{
    {
        std::lock_guard<std::mutex> hold(orderlock);
        order.clear();
    }
    // Each event is due between the tick counts read around its arming plus
    // its delay; whatever stalls the arming thread, an event that fires first
    // cannot be due later than the next one.
    const UINT delays[4] = {120, 40, 160, 80};
    DWORD earliest[4], latest[4];
    for (int i = 0; i < 4; i++) {
        earliest[i] = GetTickCount() + delays[i];
        EXPECT_NE(timeSetEvent(delays[i], 1, remember, static_cast<DWORD_PTR>(i), TIME_ONESHOT), 0u);
        latest[i] = GetTickCount() + delays[i];
    }
    waituntil([] {
        std::lock_guard<std::mutex> hold(orderlock);
        return order.size() == 4;
    });
    std::lock_guard<std::mutex> hold(orderlock);
    ASSERT_EQ(order.size(), 4u);
    for (int i = 1; i < 4; i++)
        EXPECT_LE(static_cast<int32_t>(earliest[order[i - 1]] - latest[order[i]]), 0)
            << "event " << order[i - 1] << " fired before event " << order[i];
}

TEST(MmTimer, PeriodicRepeatsUntilKilled)
{
    FIRED fired;
    UINT id = timeSetEvent(10, 1, record, reinterpret_cast<DWORD_PTR>(&fired), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitcalls(fired, 3));
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    int after = fired.calls.load();
    sleepms(60);
    EXPECT_EQ(fired.calls.load(), after) << "nothing fires after the kill has returned";
}

#ifndef _WIN32
std::atomic<int> slowstate{0};

void CALLBACK slow(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    slowstate = 1;
    sleepms(100);
    slowstate = 2;
}

TEST(MmTimer, KillWaitsForARunningCallback)
{
    slowstate = 0;
    UINT id = timeSetEvent(5, 1, slow, 0, TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    waituntil([] { return slowstate.load() != 0; });
    ASSERT_EQ(slowstate.load(), 1);
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(slowstate.load(), 2) << "the kill returned only after the callback had";
}
#endif

std::atomic<int> selfkills{0};

void CALLBACK killself(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (timeKillEvent(id) == TIMERR_NOERROR)
        selfkills++;
}

TEST(MmTimer, CallbackMayKillItsOwnEvent)
{
    selfkills = 0;
    UINT id = timeSetEvent(5, 1, killself, 0, TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    waituntil([] { return selfkills.load() != 0; });
    sleepms(50);
    EXPECT_EQ(selfkills.load(), 1) << "killed from inside, without waiting for itself, and never again";
}

TEST(MmTimer, TickCountIsMonotonic)
{
    DWORD previous = GetTickCount();
    for (int i = 0; i < 200000; i++) {
        DWORD now = GetTickCount();
        ASSERT_GE(static_cast<int32_t>(now - previous), 0);
        previous = now;
    }
    DWORD before = GetTickCount();
    sleepms(50);
    DWORD passed = GetTickCount() - before;
    EXPECT_GE(passed, 49u);
    EXPECT_LT(passed, 5000u);
}

}  // namespace
