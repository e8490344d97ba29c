// Threads and critical sections of the POSIX platform layer: creation,
// suspension, waiting for a thread's end, exit codes, priorities, the thread
// pseudo handle, termination, and recursive critical sections.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "platform/vplatform.h"

namespace {

long long nowms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::atomic<int> ran{0};
std::atomic<DWORD> seenid{0};

DWORD WINAPI returnparam(LPVOID param)
{
    seenid = GetCurrentThreadId();
    ran++;
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(param));
}

DWORD WINAPI waitonparam(LPVOID param)
{
    WaitForSingleObject(static_cast<HANDLE>(param), INFINITE);
    return 5;
}

TEST(Threads, WaitOnAThreadReturnsWhenItEndsWithItsExitCode)
{
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, waitonparam, gate, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(t), id);
    EXPECT_LE(reinterpret_cast<uintptr_t>(t), 0xFFFFFFFFu);  // fits in 32 bits
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(t, 20), WAIT_TIMEOUT);
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 5u);
    // An ended thread stays signalled for every later wait, and keeps its id.
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
    EXPECT_EQ(GetThreadId(t), id);
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_EQ(GetThreadId(t), 0u);
    CloseHandle(gate);
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResume)
{
    ran = 0;
    seenid = 0;
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, returnparam, reinterpret_cast<LPVOID>(42), CREATE_SUSPENDED, &id);
    ASSERT_NE(t, nullptr);
    Sleep(50);
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
    EXPECT_EQ(ResumeThread(t), 1u);  // the previous suspend count
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(seenid.load(), id);  // the id the creator got is the thread's own
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(ResumeThread(t), 0u);
    CloseHandle(t);
    SetLastError(0);
    EXPECT_EQ(ResumeThread(t), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Threads, PrioritiesAreStoredAndReportedBack)
{
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, waitonparam, gate, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    const int levels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                          THREAD_PRIORITY_NORMAL,       THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                          THREAD_PRIORITY_TIME_CRITICAL};
    for (int level : levels) {
        EXPECT_TRUE(SetThreadPriority(t, level));
        EXPECT_EQ(GetThreadPriority(t), level);
    }
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(t, 7));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
    ResumeThread(t);
    SetEvent(gate);
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_FALSE(SetThreadPriority(t, 0));

    // The calling thread, through its pseudo handle and a duplicate of it.
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
    HANDLE self = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    std::atomic<int> seen{0};
    std::thread other([&] {
        seen = GetThreadPriority(self);
        SetThreadPriority(self, THREAD_PRIORITY_LOWEST);
    });
    other.join();
    EXPECT_EQ(seen.load(), THREAD_PRIORITY_HIGHEST);
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_LOWEST);
    CloseHandle(self);
    CloseHandle(gate);
}

TEST(Threads, DuplicatedPseudoHandleIsValidOnOtherThreadsAndSignalsTheEnd)
{
    // A thread that CreateThread did not start duplicates its pseudo handle;
    // another thread waits on the copy and is released when that thread ends.
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE copy = nullptr;
    std::atomic<DWORD> ownid{0};
    std::thread worker([&] {
        ownid = GetCurrentThreadId();
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        SetEvent(gate);
        Sleep(30);
    });
    ASSERT_EQ(WaitForSingleObject(gate, 5000), WAIT_OBJECT_0);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(ownid.load(), GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(copy), ownid.load());
    EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(copy, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(copy, 5000), WAIT_OBJECT_0);
    worker.join();
    EXPECT_TRUE(GetExitCodeThread(copy, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(CloseHandle(copy));
    // The pseudo handle itself cannot be closed away.
    int priority = GetThreadPriority(GetCurrentThread());
    EXPECT_NE(priority, THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), priority);
    CloseHandle(gate);
}

DWORD WINAPI exitearly(LPVOID param)
{
    ExitThread(9);
    ran = 100;  // never reached
    return 1;
}

DWORD WINAPI terminateself(LPVOID param)
{
    TerminateThread(GetCurrentThread(), 11);
    ran = 100;  // never reached
    return 1;
}

TEST(Threads, ExitThreadAndTerminateOfTheCallingThreadEndIt)
{
    ran = 0;
    HANDLE a = CreateThread(nullptr, 0, exitearly, nullptr, 0, nullptr);
    HANDLE b = CreateThread(nullptr, 0, terminateself, nullptr, 0, nullptr);
    HANDLE both[2] = {a, b};
    EXPECT_LE(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(a, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(a, &code);
    EXPECT_EQ(code, 9u);
    GetExitCodeThread(b, &code);
    EXPECT_EQ(code, 11u);
    EXPECT_EQ(ran.load(), 0);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Threads, TerminateEndsAThreadBlockedInAWait)
{
    HANDLE gate = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, waitonparam, gate, 0, nullptr);
    Sleep(30);
    EXPECT_TRUE(TerminateThread(t, 77));
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 77u);
    // The ended wait left the event in order: a set now stays for the next
    // wait instead of going to the dead thread.
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(gate, 0), WAIT_OBJECT_0);
    CloseHandle(t);
    CloseHandle(gate);
}

TEST(Threads, TerminateOfASuspendedThreadEndsItBeforeItRuns)
{
    ran = 0;
    HANDLE t = CreateThread(nullptr, 0, returnparam, nullptr, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(TerminateThread(t, 3));
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(ran.load(), 0);
    // Terminating an ended thread changes nothing.
    EXPECT_TRUE(TerminateThread(t, 4));
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 3u);
    CloseHandle(t);
}

TEST(Threads, StackSizeIsHonoured)
{
    struct Probe {
        static DWORD WINAPI run(LPVOID param)
        {
            pthread_attr_t attr;
            size_t size = 0;
            if (pthread_getattr_np(pthread_self(), &attr) == 0) {
                pthread_attr_getstacksize(&attr, &size);
                pthread_attr_destroy(&attr);
            }
            *static_cast<size_t*>(param) = size;
            return 0;
        }
    };
    size_t big = 0, tiny = 0;
    HANDLE a = CreateThread(nullptr, 3 * 1024 * 1024, Probe::run, &big, 0, nullptr);
    HANDLE b = CreateThread(nullptr, 100, Probe::run, &tiny, 0, nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    WaitForSingleObject(a, 5000);
    WaitForSingleObject(b, 5000);
    EXPECT_GE(big, 3u * 1024 * 1024);
    EXPECT_GE(tiny, 64u * 1024);  // rounded up to a workable minimum
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Threads, SleepWaitsAtLeastTheTimeAndZeroReturns)
{
    long long start = nowms();
    Sleep(0);
    EXPECT_EQ(SleepEx(0, TRUE), 0u);
    EXPECT_LT(nowms() - start, 1000);
    start = nowms();
    Sleep(25);
    EXPECT_GE(nowms() - start, 24);
}

TEST(CriticalSections, AreRecursiveAndExcludeOtherThreads)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    std::atomic<int> other{-1};
    std::thread t1([&] { other = TryEnterCriticalSection(&cs); });
    t1.join();
    EXPECT_EQ(other.load(), 0);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread t2([&] { other = TryEnterCriticalSection(&cs); });
    t2.join();
    EXPECT_EQ(other.load(), 0);  // still held once
    LeaveCriticalSection(&cs);
    std::thread t3([&] {
        other = TryEnterCriticalSection(&cs);
        if (other)
            LeaveCriticalSection(&cs);
    });
    t3.join();
    EXPECT_EQ(other.load(), 1);

    // Four threads add to a plain counter under the lock.
    long counter = 0;
    std::thread workers[4];
    for (std::thread& w : workers)
        w = std::thread([&] {
            for (int i = 0; i < 20000; i++) {
                EnterCriticalSection(&cs);
                EnterCriticalSection(&cs);
                counter++;
                LeaveCriticalSection(&cs);
                LeaveCriticalSection(&cs);
            }
        });
    for (std::thread& w : workers)
        w.join();
    EXPECT_EQ(counter, 80000);
    DeleteCriticalSection(&cs);
}

TEST(Threads, ThreadIdsAreDistinctAndStable)
{
    DWORD mine = GetCurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(GetCurrentThreadId(), mine);
    DWORD ids[8] = {};
    std::thread threads[8];
    for (int i = 0; i < 8; i++)
        threads[i] = std::thread([&ids, i] { ids[i] = GetCurrentThreadId(); });
    for (std::thread& t : threads)
        t.join();
    for (int i = 0; i < 8; i++) {
        EXPECT_NE(ids[i], 0u);
        EXPECT_NE(ids[i], mine);
        for (int j = 0; j < i; j++)
            EXPECT_NE(ids[i], ids[j]);
    }
}

void exitcallback(void) { fputs("EXIT CALLBACK RAN", stderr); }

TEST(ThreadsDeathTest, ExitProcessEndsWithTheCodeAndNoExitCallbacks)
{
    // Output still in a stream's buffer is not lost; exit callbacks do not run.
    EXPECT_EXIT(
        {
            atexit(exitcallback);
            static char buffer[256];
            setvbuf(stderr, buffer, _IOFBF, sizeof buffer);
            fputs("PENDING OUTPUT", stderr);
            ExitProcess(3);
        },
        testing::ExitedWithCode(3),
        testing::AllOf(testing::HasSubstr("PENDING OUTPUT"), testing::Not(testing::HasSubstr("CALLBACK"))));
}

}  // namespace
