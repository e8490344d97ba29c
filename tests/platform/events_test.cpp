// Events and waits of the POSIX platform layer: auto-reset and manual-reset
// events, PulseEvent, wait-for-any over several handles, time-outs and the
// failures of a wait.
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/vplatform.h"

namespace {

long long nowms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Polls until counter reaches at least value (or 5 s pass); returns it.
int waitcount(const std::atomic<int>& counter, int value)
{
    long long end = nowms() + 5000;
    while (counter.load() < value && nowms() < end)
        Sleep(1);
    return counter.load();
}

// Starts n threads that each wait once, without time limit, on event and
// count themselves released.
std::vector<std::thread> startwaiters(HANDLE event, int n, std::atomic<int>* released)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++)
        threads.emplace_back([event, released] {
            if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0)
                released->fetch_add(1);
        });
    return threads;
}

void joinall(std::vector<std::thread>& threads)
{
    for (std::thread& t : threads)
        t.join();
}

TEST(Events, AutoResetEventIsConsumedByOneWait)
{
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);  // created signalled
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);   // and consumed
    EXPECT_TRUE(SetEvent(e));
    EXPECT_TRUE(SetEvent(e));  // a second set of a set event adds nothing
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Events, AutoResetEventReleasesExactlyOneWaiterPerSet)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters = startwaiters(e, 3, &released);
    Sleep(20);
    EXPECT_EQ(released.load(), 0);
    for (int set = 1; set <= 3; set++) {
        EXPECT_TRUE(SetEvent(e));
        EXPECT_EQ(waitcount(released, set), set);
        Sleep(20);
        EXPECT_EQ(released.load(), set) << "one set released more than one waiter";
    }
    joinall(waiters);
    // Nobody was left to take the last signal, so nothing is left over.
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Events, SetsInARowReachAsManyBlockedWaiters)
{
    // A set hands itself to a blocked waiter at once, so two sets in a row
    // release two waiters rather than leaving one set lost.
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters = startwaiters(e, 2, &released);
    Sleep(100);
    SetEvent(e);
    SetEvent(e);
    EXPECT_EQ(waitcount(released, 2), 2);
    joinall(waiters);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Events, ManualResetEventReleasesEveryoneUntilReset)
{
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters = startwaiters(e, 4, &released);
    Sleep(20);
    EXPECT_EQ(released.load(), 0);
    SetEvent(e);
    EXPECT_EQ(waitcount(released, 4), 4);
    joinall(waiters);
    // Still set: later waits pass too, again and again.
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 10), WAIT_OBJECT_0);
    ResetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Events, PulseOfManualEventReleasesCurrentWaitersAndLeavesItReset)
{
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters = startwaiters(e, 3, &released);
    Sleep(100);  // let them block
    EXPECT_TRUE(PulseEvent(e));
    EXPECT_EQ(waitcount(released, 3), 3);
    joinall(waiters);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    // A waiter that comes after the pulse blocks.
    std::atomic<int> late{0};
    std::vector<std::thread> after = startwaiters(e, 1, &late);
    Sleep(50);
    EXPECT_EQ(late.load(), 0);
    SetEvent(e);
    EXPECT_EQ(waitcount(late, 1), 1);
    joinall(after);
    CloseHandle(e);
}

TEST(Events, PulseOfAutoEventReleasesOneWaiterAndLeavesItReset)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters = startwaiters(e, 2, &released);
    Sleep(100);
    PulseEvent(e);
    EXPECT_EQ(waitcount(released, 1), 1);
    Sleep(30);
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    SetEvent(e);
    EXPECT_EQ(waitcount(released, 2), 2);
    joinall(waiters);
    // A pulse with nobody waiting leaves nothing behind, even on a set event.
    SetEvent(e);
    PulseEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Events, WaitForAnyReportsTheLowestSignalledHandle)
{
    HANDLE h[3];
    h[0] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    h[1] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    h[2] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(h[2]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    // The auto-reset event was consumed; the manual one stays set.
    EXPECT_EQ(WaitForMultipleObjectsEx(3, h, FALSE, 0, TRUE), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    SetEvent(h[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0);
    ResetEvent(h[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_TIMEOUT);
    for (HANDLE x : h)
        CloseHandle(x);
}

TEST(Events, BlockedWaitForAnyWakesForTheEventThatIsSet)
{
    HANDLE h[2];
    h[0] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    h[1] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] { result = WaitForMultipleObjects(2, h, FALSE, 5000); });
    Sleep(30);
    SetEvent(h[1]);
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);
    // The waiter took the set; a set of the other event after it ended stays.
    EXPECT_EQ(WaitForSingleObject(h[1], 0), WAIT_TIMEOUT);
    SetEvent(h[0]);
    EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_OBJECT_0);
    CloseHandle(h[0]);
    CloseHandle(h[1]);
}

TEST(Events, TimeOuts)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    long long start = nowms();
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_LT(nowms() - start, 1000);  // no wait at all
    start = nowms();
    EXPECT_EQ(WaitForSingleObject(e, 30), WAIT_TIMEOUT);
    EXPECT_GE(nowms() - start, 29);
    // A set that comes during a timed wait ends it.
    std::thread setter([e] {
        Sleep(20);
        SetEvent(e);
    });
    EXPECT_EQ(WaitForSingleObject(e, 5000), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(e);
}

TEST(Events, FailedWaitsAndOperations)
{
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE h[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& x : h)
        x = e;

    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, h, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, h, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 0), WAIT_FAILED);  // wait-all is refused
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // None of the failures consumed the event.
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, h, FALSE, 0), WAIT_OBJECT_0);

    HANDLE bad[2] = {e, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0))};
    SetEvent(e);
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);  // still set after the failed wait

    EXPECT_TRUE(CloseHandle(e));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(e));
    EXPECT_FALSE(ResetEvent(e));
    EXPECT_FALSE(PulseEvent(e));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // Named events would be shared between processes: refused.
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "name"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(Events, HandOverBetweenThreadsLosesNoWakeUp)
{
    // Two threads pass the turn back and forth many times through two
    // auto-reset events; a lost wake-up would stall one of them.
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const int rounds = 3000;
    std::atomic<int> failures{0};
    std::thread other([&] {
        for (int i = 0; i < rounds; i++) {
            if (WaitForSingleObject(ping, 10000) != WAIT_OBJECT_0)
                failures++;
            SetEvent(pong);
        }
    });
    for (int i = 0; i < rounds; i++) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0)
            failures++;
    }
    other.join();
    EXPECT_EQ(failures.load(), 0);
    CloseHandle(ping);
    CloseHandle(pong);
}

TEST(Events, ClosingAnEventWhileAThreadWaitsOnItKeepsTheWaitWorking)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] { result = WaitForSingleObject(e, 5000); });
    Sleep(30);
    CloseHandle(e);  // the waiting thread's reference keeps the event
    SetEvent(copy);  // same event through the duplicate
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    CloseHandle(copy);
}

}  // namespace
