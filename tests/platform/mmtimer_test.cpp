// The multimedia timer services of the POSIX platform. Timing bounds are
// loose: the machine may be loaded.
#include <gtest/gtest.h>

#include <atomic>

#include "lasterrors.h"

namespace {

const long long NOERROR = TIMERR_NOERROR, NOCANDO = TIMERR_NOCANDO, INVALID = MMSYSERR_INVALPARAM;

struct FIRED {
    std::atomic<int> calls{0};
    std::atomic<UINT> id{0};
    std::atomic<DWORD> when{0};
};

void CALLBACK record(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    FIRED* fired = reinterpret_cast<FIRED*>(user);
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

std::atomic<int> slowstate{0}, selfkills{0};

void CALLBACK slow(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    slowstate = 1;
    Sleep(100);
    slowstate = 2;
}

void CALLBACK killself(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) { selfkills += timeKillEvent(id) == NOERROR; }

TEST(MmTimer, EventsFireInDueOrderUntilKilledAndKillsWaitForARunningCallback)
{
    // One-shots armed out of due order fire once each, never early (a tick boundary may cost 1 ms).
    FIRED late, early, killed;
    DWORD due = GetTickCount() + 80;
    UINT lateid = timeSetEvent(80, 1, record, reinterpret_cast<DWORD_PTR>(&late), TIME_ONESHOT);
    timeSetEvent(20, 1, record, reinterpret_cast<DWORD_PTR>(&early), TIME_ONESHOT);
    EXPECT_EQ(timeKillEvent(timeSetEvent(50, 1, record, reinterpret_cast<DWORD_PTR>(&killed), TIME_ONESHOT)), NOERROR);
    ASSERT_TRUE(waituntil([&] { return late.calls.load() != 0; }));
    Sleep(100);
    EXPECT_EQ(V({late.calls, early.calls, killed.calls, late.id == lateid, static_cast<int32_t>(late.when - due) >= -1,
                 static_cast<int32_t>(late.when - early.when) >= 0, timeKillEvent(lateid), PW_timeevents()}),
              V({1, 1, 0, 1, 1, 1, INVALID, 0}));
    // Resolution requests are counted; bad requests are refused. A periodic event repeats until killed.
    EXPECT_EQ(V({timeEndPeriod(1), timeBeginPeriod(1), PW_timeperiods(), timeEndPeriod(1), timeKillEvent(0),
                 timeSetEvent(0, 1, record, 0, TIME_ONESHOT), timeSetEvent(10, 1, nullptr, 0, 0), PW_timeevents()}),
              V({NOCANDO, NOERROR, 1, NOERROR, INVALID, 0, 0, 0}));
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
