// Events and waits of the POSIX platform layer: auto-reset and manual-reset
// events, PulseEvent, wait-for-any over several handles, time-outs and the
// failures of a wait.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lasterrors.h"

namespace {

const long long GOT = WAIT_OBJECT_0, NONE = WAIT_TIMEOUT, FAILED = WAIT_FAILED;

HANDLE newevent(BOOL manual, BOOL set = FALSE) { return CreateEventA(nullptr, manual, set, nullptr); }

long long poll(HANDLE event, DWORD milliseconds = 0) { return WaitForSingleObject(event, milliseconds); }

// Threads that each wait once, without time limit, on an event and count
// themselves released; made with time to block before the constructor ends.
struct WAITERS {
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    WAITERS(HANDLE event, int n)
    {
        for (int i = 0; i < n; i++)
            threads.emplace_back([this, event] { released += WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0; });
        Sleep(100);
    }
    ~WAITERS()
    {
        for (std::thread& t : threads)
            t.join();
    }
    // Polls until at least value are released (or 5 s pass); returns how many are.
    int await(int value)
    {
        for (int i = 0; i < 5000 && released.load() < value; i++)
            Sleep(1);
        return released.load();
    }
};

TEST(Events, AutoResetEventGoesToOneWaitPerSetOrPulse)
{
    // A second set of a set event adds nothing; a reset takes the set back.
    HANDLE e = newevent(FALSE, TRUE);
    EXPECT_EQ(V({poll(e), poll(e), SetEvent(e), SetEvent(e), poll(e), poll(e)}), V({GOT, NONE, 1, 1, GOT, NONE}));
    EXPECT_EQ(V({SetEvent(e), ResetEvent(e), poll(e)}), V({1, 1, NONE}));
    {
        WAITERS waiters(e, 3);
        EXPECT_EQ(V({waiters.released.load(), SetEvent(e), waiters.await(1)}), V({0, 1, 1}));
        // Two sets in a row release two blocked waiters rather than one.
        EXPECT_EQ(V({waiters.released.load(), SetEvent(e), SetEvent(e), waiters.await(3)}), V({1, 1, 1, 3}));
    }
    {
        // A pulse releases one waiter and leaves the event reset.
        WAITERS waiters(e, 2);
        EXPECT_EQ(V({poll(e), PulseEvent(e), waiters.await(1)}), V({NONE, 1, 1}));
        Sleep(30);
        EXPECT_EQ(V({waiters.released.load(), poll(e), SetEvent(e), waiters.await(2)}), V({1, NONE, 1, 2}));
    }
    // A pulse with nobody waiting leaves nothing behind, even on a set event.
    EXPECT_EQ(V({SetEvent(e), PulseEvent(e), poll(e), CloseHandle(e)}), V({1, 1, NONE, 1}));
}

TEST(Events, ManualResetEventReleasesEveryoneUntilResetAndPulseOnlyTheWaiting)
{
    HANDLE e = newevent(TRUE);
    {
        WAITERS waiters(e, 3);
        EXPECT_EQ(V({poll(e), SetEvent(e), waiters.await(3)}), V({NONE, 1, 3}));
    }
    EXPECT_EQ(V({poll(e), poll(e, 10), ResetEvent(e), poll(e)}), V({GOT, GOT, 1, NONE}));
    {
        WAITERS waiters(e, 3);
        EXPECT_EQ(V({PulseEvent(e), waiters.await(3), poll(e)}), V({1, 3, NONE}));
    }
    WAITERS late(e, 1);  // a waiter that comes after the pulse blocks
    EXPECT_EQ(V({late.released.load(), SetEvent(e), late.await(1), CloseHandle(e)}), V({0, 1, 1, 1}));
}

TEST(Events, WaitForAnyTakesTheLowestSignalledHandleAndTimedWaitsEndAtTheirTime)
{
    HANDLE h[3] = {newevent(FALSE), newevent(FALSE), newevent(TRUE)};
    auto any = [&h](DWORD milliseconds) { return WaitForMultipleObjects(3, h, FALSE, milliseconds); };
    DWORD start = GetTickCount();
    EXPECT_EQ(V({any(0), poll(h[0], 30), SetEvent(h[2]), SetEvent(h[1])}), V({NONE, NONE, 1, 1}));
    EXPECT_GE(GetTickCount() - start, 29u);
    // The auto-reset event is taken by the first wait; the manual one stays set.
    EXPECT_EQ(V({any(0), WaitForMultipleObjectsEx(3, h, FALSE, 0, TRUE), any(INFINITE)}),
              V({GOT + 1, GOT + 2, GOT + 2}));
    EXPECT_EQ(V({SetEvent(h[0]), any(0), ResetEvent(h[2]), any(0)}), V({1, GOT, 1, NONE}));
    // A blocked wait wakes for the event set through a duplicate of its
    // handle, and takes only that set.
    HANDLE copy = nullptr, self = GetCurrentProcess();
    ASSERT_TRUE(DuplicateHandle(self, h[1], self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] { result = WaitForMultipleObjects(2, h, FALSE, 5000); });
    Sleep(30);
    SetEvent(copy);
    waiter.join();
    EXPECT_EQ(V({result.load(), poll(copy), SetEvent(h[0]), poll(h[0])}), V({GOT + 1, NONE, 1, GOT}));
    for (HANDLE x : {h[0], h[1], h[2], copy})
        CloseHandle(x);
}

TEST(Events, FailedWaitsAndOperationsConsumeNothing)
{
    HANDLE e = newevent(FALSE, TRUE), h[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& x : h)
        x = e;
    HANDLE bad[2] = {e, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0))};
    // None, too many, wait-all (refused), an invalid handle among them.
    const long long PARAMETER = ERRORINVALIDPARAMETER, BADHANDLE = ERRORINVALIDHANDLE;
    EXPECT_EQ(witherror({WaitForMultipleObjects(0, h, FALSE, 0)}), V({FAILED, PARAMETER}));
    EXPECT_EQ(witherror({WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, h, FALSE, 0)}), V({FAILED, PARAMETER}));
    EXPECT_EQ(witherror({WaitForMultipleObjects(2, h, TRUE, 0)}), V({FAILED, PARAMETER}));
    EXPECT_EQ(witherror({WaitForMultipleObjects(2, bad, FALSE, 0)}), V({FAILED, BADHANDLE}));
    EXPECT_EQ(V({poll(nullptr), poll(INVALID_HANDLE_VALUE)}), V({FAILED, FAILED}));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, h, FALSE, 0), WAIT_OBJECT_0);  // still set
    CloseHandle(e);
    for (auto operation : {SetEvent, ResetEvent, PulseEvent})
        EXPECT_EQ(witherror({operation(e)}), V({0, BADHANDLE}));
    EXPECT_EQ(witherror({poll(e)}), V({FAILED, BADHANDLE}));
    // Named events would be shared between processes: refused.
    EXPECT_EQ(witherror({CreateEventA(nullptr, FALSE, FALSE, "name") == nullptr}), V({1, ERROR_NOT_SUPPORTED}));
}

TEST(Events, HandOverBetweenThreadsLosesNoWakeUp)
{
    // Two threads pass the turn back and forth through two auto-reset
    // events; a lost wake-up would stall one of them.
    HANDLE ping = newevent(FALSE), pong = newevent(FALSE);
    std::atomic<int> failures{0};
    std::thread other([&] {
        for (int i = 0; i < 3000; i++)
            failures += poll(ping, 10000) != GOT || !SetEvent(pong);
    });
    for (int i = 0; i < 3000; i++)
        failures += !SetEvent(ping) || poll(pong, 10000) != GOT;
    other.join();
    EXPECT_EQ(V({failures.load(), CloseHandle(ping), CloseHandle(pong)}), V({0, 1, 1}));
}

}  // namespace
