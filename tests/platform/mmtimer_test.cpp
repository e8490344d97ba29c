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

using V = std::vector<long long>;
const long long NOERROR = TIMERR_NOERROR, NOCANDO = TIMERR_NOCANDO, INVALID = MMSYSERR_INVALPARAM;

struct FIRED {
    std::atomic<int> calls{0};
    std::atomic<UINT> id{0};
    std::atomic<DWORD_PTR> user{0};
    std::atomic<DWORD> when{0}, thread{0};
};

void CALLBACK record(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    FIRED* fired = reinterpret_cast<FIRED*>(user);
    fired->thread = GetCurrentThreadId();
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

TEST(MmTimer, CapabilitiesPeriodsAndBadRequests)
{
    TIMECAPS caps = {};
    EXPECT_EQ(V({timeGetDevCaps(&caps, sizeof caps), caps.wPeriodMin, caps.wPeriodMax >= 1000}), V({NOERROR, 1, 1}));
    EXPECT_EQ(V({timeGetDevCaps(nullptr, sizeof caps), timeGetDevCaps(&caps, sizeof caps + 1)}), V({NOCANDO, NOCANDO}));
    // Resolution requests are counted; giving back more than was asked fails.
    EXPECT_EQ(V({timeEndPeriod(1), timeBeginPeriod(0), PW_timeperiods()}), V({NOCANDO, NOCANDO, 0}));
    EXPECT_EQ(V({timeBeginPeriod(1), timeBeginPeriod(1), PW_timeperiods()}), V({NOERROR, NOERROR, 2}));
    EXPECT_EQ(V({timeEndPeriod(1), PW_timeperiods(), timeEndPeriod(1), PW_timeperiods()}), V({NOERROR, 1, NOERROR, 0}));
    // Delays below the minimum, no callback, an unsupported callback kind;
    // kills of events that never were.
    FIRED fired;
    DWORD_PTR user = reinterpret_cast<DWORD_PTR>(&fired);
    EXPECT_EQ(V({timeSetEvent(0, 1, record, user, TIME_ONESHOT), timeSetEvent(10, 1, nullptr, user, TIME_ONESHOT),
                 timeSetEvent(10, 1, record, user, 0x10), timeKillEvent(0), timeKillEvent(12345), PW_timeevents()}),
              V({0, 0, 0, INVALID, INVALID, 0}));
}

std::mutex orderlock;
std::vector<int> order;

void CALLBACK remember(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    std::lock_guard<std::mutex> hold(orderlock);
    order.push_back(static_cast<int>(user));
}

TEST(MmTimer, OneShotEventsFireOnceInDueOrderUnlessKilledFirst)
{
    FIRED fired, killed;
    DWORD start = GetTickCount();
    UINT id = timeSetEvent(50, 1, record, reinterpret_cast<DWORD_PTR>(&fired), TIME_ONESHOT);
    UINT early = timeSetEvent(100, 1, record, reinterpret_cast<DWORD_PTR>(&killed), TIME_ONESHOT);
    ASSERT_TRUE(id != 0 && early != 0);
    EXPECT_EQ(timeKillEvent(early), static_cast<MMRESULT>(TIMERR_NOERROR));
    ASSERT_TRUE(waituntil([&] { return fired.calls.load() != 0; }));
    // Never early (a tick-count boundary may cost 1 ms); on the timer's own
    // thread, with the event's id and user value.
    DWORD elapsed = fired.when.load() - start;
    EXPECT_TRUE(elapsed >= 49 && elapsed < 3000) << elapsed;
    EXPECT_EQ(V({fired.id.load(), fired.user.load() == reinterpret_cast<DWORD_PTR>(&fired)}), V({id, 1}));
    EXPECT_NE(fired.thread.load(), GetCurrentThreadId());
    // A one-shot event fires once and is gone after it, as is a killed one.
    sleepms(200);
    EXPECT_EQ(V({fired.calls.load(), killed.calls.load(), PW_timeevents(), timeKillEvent(id), timeKillEvent(early)}),
              V({1, 0, 0, INVALID, INVALID}));

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

std::atomic<int> slowstate{0}, selfkills{0};

void CALLBACK slow(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    slowstate = 1;
    sleepms(100);
    slowstate = 2;
}

void CALLBACK killself(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (timeKillEvent(id) == TIMERR_NOERROR)
        selfkills++;
}

TEST(MmTimer, PeriodicEventsRepeatUntilKilledAndKillsWaitForARunningCallback)
{
    FIRED fired;
    UINT id = timeSetEvent(10, 1, record, reinterpret_cast<DWORD_PTR>(&fired), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waituntil([&] { return fired.calls.load() >= 3; }));
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    int after = fired.calls.load();
    sleepms(60);
    EXPECT_EQ(fired.calls.load(), after) << "nothing fires after the kill has returned";
    // The kill of a running callback returns only after the callback has.
    id = timeSetEvent(5, 1, slow, 0, TIME_ONESHOT);
    ASSERT_TRUE(id != 0 && waituntil([] { return slowstate.load() != 0; }));
    EXPECT_EQ(V({slowstate.load(), timeKillEvent(id), slowstate.load()}), V({1, NOERROR, 2}));

    // A callback may kill its own event, without waiting for itself.
    ASSERT_NE(timeSetEvent(5, 1, killself, 0, TIME_PERIODIC), 0u);
    waituntil([] { return selfkills.load() != 0; });
    sleepms(50);
    EXPECT_EQ(selfkills.load(), 1) << "killed from inside, and never again";
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
    EXPECT_TRUE(passed >= 49 && passed < 5000) << passed;
}

}  // namespace
