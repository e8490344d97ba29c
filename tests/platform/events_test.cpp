// Events and waits of the POSIX platform layer: auto-reset and manual-reset
// events, PulseEvent, wait-for-any over several handles, time-outs and the
// failures of a wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "lasterrors.h"
#include "platform/vplatform.h"

namespace {

const long long GOT = WAIT_OBJECT_0, NONE = WAIT_TIMEOUT, FAILED = WAIT_FAILED;

HANDLE newevent(BOOL manual, BOOL set = FALSE) { return CreateEventA(nullptr, manual, set, nullptr); }

long long poll(HANDLE event, DWORD milliseconds = 0) { return WaitForSingleObject(event, milliseconds); }

long long nowms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

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
        for (long long end = nowms() + 5000; released.load() < value && nowms() < end;)
            Sleep(1);
        return released.load();
    }
};

TEST(Events, AutoResetEventGoesToOneWaitPerSetOrPulse)
{
    // Created signalled and taken by one wait; a second set of a set event
    // adds nothing; a reset takes the set back.
    HANDLE e = newevent(FALSE, TRUE);
    EXPECT_EQ(V({poll(e), poll(e), SetEvent(e), SetEvent(e), poll(e), poll(e)}), V({GOT, NONE, 1, 1, GOT, NONE}));
    EXPECT_EQ(V({SetEvent(e), ResetEvent(e), poll(e)}), V({1, 1, NONE}));
    {
        WAITERS waiters(e, 4);
        for (int set = 1; set <= 2; set++) {
            EXPECT_EQ(V({waiters.released.load(), SetEvent(e), waiters.await(set)}), V({set - 1, 1, set}));
            Sleep(20);
        }
        // A set hands itself to a blocked waiter at once: two sets in a row
        // release two waiters rather than one set being lost.
        EXPECT_EQ(V({waiters.released.load(), SetEvent(e), SetEvent(e), waiters.await(4)}), V({2, 1, 1, 4}));
    }
    EXPECT_EQ(poll(e), NONE);  // nothing left over
    {
        // A pulse releases one waiter and leaves the event reset.
        WAITERS waiters(e, 2);
        EXPECT_EQ(V({PulseEvent(e), waiters.await(1)}), V({1, 1}));
        Sleep(30);
        EXPECT_EQ(V({waiters.released.load(), poll(e), SetEvent(e), waiters.await(2)}), V({1, NONE, 1, 2}));
    }
    // A pulse with nobody waiting leaves nothing behind, even on a set event.
    EXPECT_EQ(V({SetEvent(e), PulseEvent(e), poll(e), CloseHandle(e)}), V({1, 1, NONE, 1}));
}

TEST(Events, ManualResetEventReleasesEveryoneUntilResetAndPulseOnlyTheWaiting)
{
    HANDLE e = newevent(TRUE);
    EXPECT_EQ(poll(e), NONE);
    {
        WAITERS waiters(e, 4);
        EXPECT_EQ(V({waiters.released.load(), SetEvent(e), waiters.await(4)}), V({0, 1, 4}));
    }
    // Still set: later waits pass too, again and again, until a reset.
    EXPECT_EQ(V({poll(e), poll(e, 10), ResetEvent(e), poll(e)}), V({GOT, GOT, 1, NONE}));
    {
        WAITERS waiters(e, 3);
        EXPECT_EQ(V({PulseEvent(e), waiters.await(3)}), V({1, 3}));
    }
    EXPECT_EQ(poll(e), NONE);
    {
        WAITERS late(e, 1);  // a waiter that comes after the pulse blocks
        EXPECT_EQ(V({late.released.load(), SetEvent(e), late.await(1)}), V({0, 1, 1}));
    }
    CloseHandle(e);
}

TEST(Events, WaitForAnyReportsTheLowestSignalledHandle)
{
    HANDLE h[3] = {newevent(FALSE), newevent(FALSE), newevent(TRUE)};
    auto any = [&h](DWORD milliseconds) { return WaitForMultipleObjects(3, h, FALSE, milliseconds); };
    EXPECT_EQ(any(0), WAIT_TIMEOUT);
    SetEvent(h[2]);
    SetEvent(h[1]);
    // The auto-reset event is taken by the first wait; the manual one stays set.
    EXPECT_EQ(V({any(0), WaitForMultipleObjectsEx(3, h, FALSE, 0, TRUE), any(INFINITE)}),
              V({GOT + 1, GOT + 2, GOT + 2}));
    EXPECT_EQ(V({SetEvent(h[0]), any(0), ResetEvent(h[2]), any(0)}), V({1, GOT, 1, NONE}));
    // A blocked wait wakes for the event that is set and takes that set; a
    // set of the other event after it ended stays.
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] { result = WaitForMultipleObjects(2, h, FALSE, 5000); });
    Sleep(30);
    SetEvent(h[1]);
    waiter.join();
    EXPECT_EQ(V({result.load(), poll(h[1]), SetEvent(h[0]), poll(h[0])}), V({GOT + 1, NONE, 1, GOT}));
    for (HANDLE x : h)
        CloseHandle(x);
}

TEST(Events, TimedWaitsEndAtTheTimeOrAtASetThroughAnyHandle)
{
    HANDLE e = newevent(FALSE);
    long long start = nowms();
    EXPECT_EQ(poll(e), NONE);
    EXPECT_LT(nowms() - start, 1000);  // no wait at all
    start = nowms();
    EXPECT_EQ(poll(e, 30), NONE);
    EXPECT_GE(nowms() - start, 29);
    // The waiting thread's reference keeps the event when its handle is
    // closed, and a set through a duplicate ends the timed wait.
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    std::atomic<long long> result{FAILED};
    std::thread waiter([&] { result = poll(e, 5000); });
    Sleep(30);
    CloseHandle(e);
    SetEvent(copy);
    waiter.join();
    EXPECT_EQ(result.load(), GOT);
    CloseHandle(copy);
}

TEST(Events, FailedWaitsAndOperationsConsumeNothing)
{
    HANDLE e = newevent(FALSE, TRUE);
    HANDLE h[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& x : h)
        x = e;
    HANDLE bad[2] = {e, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0))};
    const long long PARAMETER = ERROR_INVALID_PARAMETER, BADHANDLE = ERROR_INVALID_HANDLE;
    // None, too many, wait-all (refused), an invalid handle among them.
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
    // Two threads pass the turn back and forth many times through two
    // auto-reset events; a lost wake-up would stall one of them.
    HANDLE ping = newevent(FALSE), pong = newevent(FALSE);
    std::atomic<int> failures{0};
    std::thread other([&] {
        for (int i = 0; i < 3000; i++) {
            failures += poll(ping, 10000) != GOT;
            SetEvent(pong);
        }
    });
    for (int i = 0; i < 3000; i++) {
        SetEvent(ping);
        failures += poll(pong, 10000) != GOT;
    }
    other.join();
    EXPECT_EQ(failures.load(), 0);
    CloseHandle(ping);
    CloseHandle(pong);
}

}  // namespace
