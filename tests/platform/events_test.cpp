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

// An event closed when the test ends.
class EVENT {
public:
    explicit EVENT(BOOL manual) : handle(CreateEventA(nullptr, manual, FALSE, nullptr)) {}
    ~EVENT()
    {
        if (handle != nullptr)
            CloseHandle(handle);
    }
    EVENT(const EVENT&) = delete;
    EVENT& operator=(const EVENT&) = delete;
    operator HANDLE() const { return handle; }

private:
    HANDLE handle;
};

// Threads that each wait once, without time limit, on an event and count
// themselves released; the constructor gives them time to block.
class BLOCKEDWAITERS {
public:
    BLOCKEDWAITERS(HANDLE event, int n)
    {
        for (int i = 0; i < n; i++)
            threads.emplace_back([this, event] {
                if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0)
                    count.fetch_add(1);
            });
        Sleep(100);
    }
    ~BLOCKEDWAITERS() { join(); }
    BLOCKEDWAITERS(const BLOCKEDWAITERS&) = delete;
    BLOCKEDWAITERS& operator=(const BLOCKEDWAITERS&) = delete;

    int released() const { return count.load(); }
    // Polls until at least value are released (or 5 s pass); returns how many are.
    int awaitreleased(int value) const
    {
        long long end = nowms() + 5000;
        while (count.load() < value && nowms() < end)
            Sleep(1);
        return count.load();
    }
    void join()
    {
        for (std::thread& t : threads)
            t.join();
        threads.clear();
    }

private:
    std::atomic<int> count{0};
    std::vector<std::thread> threads;
};

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
    EVENT e(FALSE);
    BLOCKEDWAITERS waiters(e, 3);
    EXPECT_EQ(waiters.released(), 0);
    for (int set = 1; set <= 3; set++) {
        EXPECT_TRUE(SetEvent(e));
        EXPECT_EQ(waiters.awaitreleased(set), set);
        Sleep(20);
        EXPECT_EQ(waiters.released(), set) << "one set released more than one waiter";
    }
    waiters.join();
    // Nobody was left to take the last signal, so nothing is left over.
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
}

TEST(Events, SetsInARowReachAsManyBlockedWaiters)
{
    // A set hands itself to a blocked waiter at once, so two sets in a row
    // release two waiters rather than leaving one set lost.
    EVENT e(FALSE);
    BLOCKEDWAITERS waiters(e, 2);
    SetEvent(e);
    SetEvent(e);
    EXPECT_EQ(waiters.awaitreleased(2), 2);
    waiters.join();
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
}

TEST(Events, ManualResetEventReleasesEveryoneUntilReset)
{
    EVENT e(TRUE);
    ASSERT_NE(static_cast<HANDLE>(e), nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    BLOCKEDWAITERS waiters(e, 4);
    EXPECT_EQ(waiters.released(), 0);
    SetEvent(e);
    EXPECT_EQ(waiters.awaitreleased(4), 4);
    waiters.join();
    // Still set: later waits pass too, again and again.
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 10), WAIT_OBJECT_0);
    ResetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
}

TEST(Events, PulseOfManualEventReleasesCurrentWaitersAndLeavesItReset)
{
    EVENT e(TRUE);
    BLOCKEDWAITERS waiters(e, 3);
    EXPECT_TRUE(PulseEvent(e));
    EXPECT_EQ(waiters.awaitreleased(3), 3);
    waiters.join();
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    // A waiter that comes after the pulse blocks.
    BLOCKEDWAITERS late(e, 1);
    EXPECT_EQ(late.released(), 0);
    SetEvent(e);
    EXPECT_EQ(late.awaitreleased(1), 1);
}

TEST(Events, PulseOfAutoEventReleasesOneWaiterAndLeavesItReset)
{
    EVENT e(FALSE);
    BLOCKEDWAITERS waiters(e, 2);
    PulseEvent(e);
    EXPECT_EQ(waiters.awaitreleased(1), 1);
    Sleep(30);
    EXPECT_EQ(waiters.released(), 1);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    SetEvent(e);
    EXPECT_EQ(waiters.awaitreleased(2), 2);
    waiters.join();
    // A pulse with nobody waiting leaves nothing behind, even on a set event.
    SetEvent(e);
    PulseEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
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
