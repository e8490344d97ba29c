// Events and waits of the POSIX platform layer: wait-for-any, time-outs and
// failed waits. (Blocked waits released by sets and pulses: pc/threads_test.)
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "lasterrors.h"

namespace {

const long long GOT = WAIT_OBJECT_0, NONE = WAIT_TIMEOUT, FAILED = WAIT_FAILED;

HANDLE newevent(BOOL manual, BOOL set = FALSE) { return CreateEventA(nullptr, manual, set, nullptr); }

long long poll(HANDLE event, DWORD milliseconds = 0) { return WaitForSingleObject(event, milliseconds); }

TEST(Events, WaitForAnyTakesTheLowestSignalledHandleAndTimedWaitsEndAtTheirTime)
{
    HANDLE h[3] = {newevent(FALSE), newevent(FALSE), newevent(TRUE)};
    DWORD start = GetTickCount();
    EXPECT_EQ(V({WaitForMultipleObjects(3, h, FALSE, 0), poll(h[0], 30), SetEvent(h[2]), SetEvent(h[1])}),
              V({NONE, NONE, 1, 1}));
    EXPECT_GE(GetTickCount() - start, 29u);
    EXPECT_EQ(V({WaitForMultipleObjects(3, h, FALSE, INFINITE), WaitForMultipleObjects(3, h, FALSE, 0)}),
              V({GOT + 1, GOT + 2}));
    // A pulse with nobody waiting leaves nothing behind, even on a set event.
    EXPECT_EQ(V({poll(h[2]), PulseEvent(h[2]), poll(h[2]), SetEvent(h[0]), ResetEvent(h[0]), poll(h[0])}),
              V({GOT, 1, NONE, 1, 1, NONE}));
    for (HANDLE x : h)
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
