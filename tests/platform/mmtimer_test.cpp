// The multimedia timer services of our POSIX platform: capabilities,
// resolution requests, one-shot and periodic events, killing them, and the
// millisecond tick count. Timing bounds are loose: the machine may be loaded.
#include <gtest/gtest.h>

#include <atomic>

#include "lasterrors.h"

namespace {

const long long NOERROR = TIMERR_NOERROR, NOCANDO = TIMERR_NOCANDO, INVALID = MMSYSERR_INVALPARAM;

struct FIRED {
    std::atomic<int> calls{0};
    std::atomic<UINT> id{0};
    std::atomic<DWORD> when{0}, thread{0};
};

void CALLBACK record(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    FIRED* fired = reinterpret_cast<FIRED*>(user);
    fired->thread = GetCurrentThreadId();
    fired->id = id;
    fired->when = GetTickCount();
    fired->calls++;
}

// Waits (up to a generous limit) until done() holds; returns whether it does.
template <typename CONDITION>
bool waituntil(CONDITION done)
{
    for (int i = 0; i < 5000 && !done(); i++)
        Sleep(1);
    return done();
}

TEST(MmTimer, CapabilitiesPeriodsAndBadRequests)
{
    TIMECAPS caps = {};
    EXPECT_EQ(V({timeGetDevCaps(&caps, sizeof caps), caps.wPeriodMin, caps.wPeriodMax >= 1000}), V({NOERROR, 1, 1}));
    EXPECT_EQ(V({timeGetDevCaps(nullptr, sizeof caps), timeGetDevCaps(&caps, sizeof caps + 1)}), V({NOCANDO, NOCANDO}));
    // Resolution requests are counted; giving back more than was asked fails.
    EXPECT_EQ(V({timeEndPeriod(1), timeBeginPeriod(0), timeBeginPeriod(1), timeBeginPeriod(1), PW_timeperiods()}),
              V({NOCANDO, NOCANDO, NOERROR, NOERROR, 2}));
    EXPECT_EQ(V({timeEndPeriod(1), PW_timeperiods(), timeEndPeriod(1), PW_timeperiods()}), V({NOERROR, 1, NOERROR, 0}));
    // Delays below the minimum, no callback, an unsupported callback kind;
    // kills of events that never were.
    DWORD_PTR user = 0;
    EXPECT_EQ(V({timeSetEvent(0, 1, record, user, TIME_ONESHOT), timeSetEvent(10, 1, nullptr, user, TIME_ONESHOT),
                 timeSetEvent(10, 1, record, user, 0x10), timeKillEvent(0), timeKillEvent(12345), PW_timeevents()}),
              V({0, 0, 0, INVALID, INVALID, 0}));
}

TEST(MmTimer, OneShotEventsFireOnceInDueOrderUnlessKilledFirst)
{
    // Each event is due between the tick counts read around its arming plus
    // its delay: one that fires earlier cannot be due later than another.
    // The last is killed before it is due.
    const UINT delays[5] = {120, 40, 160, 80, 1000};
    FIRED fired[5];
    UINT ids[5];
    DWORD earliest[5], latest[5];
    for (int i = 0; i < 5; i++) {
        earliest[i] = GetTickCount() + delays[i];
        ids[i] = timeSetEvent(delays[i], 1, record, reinterpret_cast<DWORD_PTR>(&fired[i]), TIME_ONESHOT);
        latest[i] = GetTickCount() + delays[i];
        ASSERT_NE(ids[i], 0u);
    }
    EXPECT_EQ(timeKillEvent(ids[4]), NOERROR);
    ASSERT_TRUE(waituntil([&] { return fired[0].calls + fired[1].calls + fired[2].calls + fired[3].calls == 4; }));
    Sleep(200);
    for (int i = 0; i < 4; i++) {
        // Never early (a tick-count boundary may cost 1 ms); once, on the
        // timer's own thread, with the event's id; gone after it.
        EXPECT_GE(static_cast<int32_t>(fired[i].when - earliest[i]), -1) << i;
        EXPECT_EQ(V({fired[i].calls, fired[i].id == ids[i], fired[i].thread != GetCurrentThreadId()}), V({1, 1, 1}));
        EXPECT_EQ(timeKillEvent(ids[i]), INVALID) << i;
        for (int j = 0; j < 4; j++)
            EXPECT_TRUE(static_cast<int32_t>(fired[i].when - fired[j].when) >= 0 ||
                        static_cast<int32_t>(earliest[i] - latest[j]) <= 0) << i << " fired before " << j;
    }
    EXPECT_EQ(V({fired[4].calls, PW_timeevents(), timeKillEvent(ids[4])}), V({0, 0, INVALID}));
}

std::atomic<int> slowstate{0}, selfkills{0};

void CALLBACK slow(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    slowstate = 1;
    Sleep(100);
    slowstate = 2;
}

void CALLBACK killself(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) { selfkills += timeKillEvent(id) == NOERROR; }

TEST(MmTimer, PeriodicEventsRepeatUntilKilledAndKillsWaitForARunningCallback)
{
    FIRED fired;
    UINT id = timeSetEvent(10, 1, record, reinterpret_cast<DWORD_PTR>(&fired), TIME_PERIODIC);
    ASSERT_TRUE(id != 0 && waituntil([&] { return fired.calls.load() >= 3; }));
    EXPECT_EQ(timeKillEvent(id), NOERROR);
    int after = fired.calls.load();
    Sleep(60);
    EXPECT_EQ(fired.calls.load(), after) << "nothing fires after the kill has returned";
    // The kill of a running callback returns only after the callback has.
    id = timeSetEvent(5, 1, slow, 0, TIME_ONESHOT);
    ASSERT_TRUE(id != 0 && waituntil([] { return slowstate.load() != 0; }));
    EXPECT_EQ(V({slowstate.load(), timeKillEvent(id), slowstate.load()}), V({1, NOERROR, 2}));
    // A callback may kill its own event, without waiting for itself.
    ASSERT_NE(timeSetEvent(5, 1, killself, 0, TIME_PERIODIC), 0u);
    waituntil([] { return selfkills.load() != 0; });
    Sleep(50);
    EXPECT_EQ(selfkills.load(), 1) << "killed from inside, and never again";
}

}  // namespace
