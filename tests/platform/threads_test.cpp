// Threads and critical sections of the POSIX platform layer: creation,
// suspension, waiting for a thread's end, exit codes, priorities, the thread
// pseudo handle, termination, and recursive critical sections.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "lasterrors.h"
#include "platform/vplatform.h"

namespace {


std::atomic<int> ran{0};
std::atomic<DWORD> seenid{0};

DWORD exitcode(HANDLE thread)
{
    DWORD code = 12345;
    return GetExitCodeThread(thread, &code) ? code : 54321;
}

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

DWORD WINAPI stacksize(LPVOID param)
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

TEST(Threads, WaitOnAThreadEndsWithItASuspendedOneRunsOnlyAfterResumeAndStacksAreAsAsked)
{
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, waitonparam, gate, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_LE(reinterpret_cast<uintptr_t>(t), 0xFFFFFFFFu);  // fits in 32 bits
    EXPECT_TRUE(id != 0 && id != GetCurrentThreadId() && GetThreadId(t) == id);
    EXPECT_EQ(V({exitcode(t), WaitForSingleObject(t, 20), SetEvent(gate)}), V({STILL_ACTIVE, WAIT_TIMEOUT, 1}));
    // An ended thread stays signalled for every later wait, and keeps its id
    // until its handle is closed.
    EXPECT_EQ(V({WaitForSingleObject(t, 5000), exitcode(t), WaitForSingleObject(t, 0), GetThreadId(t) == id}),
              V({WAIT_OBJECT_0, 5, WAIT_OBJECT_0, 1}));
    EXPECT_EQ(V({CloseHandle(t), GetThreadId(t), CloseHandle(gate)}), V({1, 0, 1}));

    t = CreateThread(nullptr, 0, returnparam, reinterpret_cast<LPVOID>(42), CREATE_SUSPENDED, &id);
    ASSERT_NE(t, nullptr);
    Sleep(50);
    // Resuming gives the previous suspend count; the id the creator got is
    // the thread's own.
    EXPECT_EQ(V({ran.load(), WaitForSingleObject(t, 0), ResumeThread(t)}), V({0, WAIT_TIMEOUT, 1}));
    EXPECT_EQ(V({WaitForSingleObject(t, 5000), ran.load(), seenid.load() == id, exitcode(t), ResumeThread(t)}),
              V({WAIT_OBJECT_0, 1, 1, 42, 0}));
    CloseHandle(t);
    EXPECT_EQ(witherror({ResumeThread(t)}), V({0xFFFFFFFF, ERROR_INVALID_HANDLE}));

    // Stack sizes are honoured, tiny ones rounded up to a workable minimum.
    size_t big = 0, tiny = 0;
    HANDLE a = CreateThread(nullptr, 3 * 1024 * 1024, stacksize, &big, 0, nullptr);
    HANDLE b = CreateThread(nullptr, 100, stacksize, &tiny, 0, nullptr);
    EXPECT_EQ(V({WaitForSingleObject(a, 5000), WaitForSingleObject(b, 5000), CloseHandle(a), CloseHandle(b)}),
              V({WAIT_OBJECT_0, WAIT_OBJECT_0, 1, 1}));
    EXPECT_GE(big, 3u * 1024 * 1024);
    EXPECT_GE(tiny, 64u * 1024);

    // Sleeps of zero return at once; others last at least their time.
    auto start = std::chrono::steady_clock::now();
    Sleep(0);
    EXPECT_EQ(SleepEx(0, TRUE), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    start = std::chrono::steady_clock::now();
    Sleep(25);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(24));
}

TEST(Threads, PrioritiesAndPseudoHandlesWorkThroughAnyHandle)
{
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, waitonparam, gate, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    for (int level : {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL,
                      THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                      THREAD_PRIORITY_TIME_CRITICAL})
        EXPECT_EQ(V({SetThreadPriority(t, level), GetThreadPriority(t)}), V({1, level}));
    EXPECT_EQ(witherror({SetThreadPriority(t, 7), GetThreadPriority(t)}),
              V({0, THREAD_PRIORITY_TIME_CRITICAL, ERROR_INVALID_PARAMETER}));
    ResumeThread(t);
    SetEvent(gate);
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    EXPECT_EQ(V({GetThreadPriority(t), SetThreadPriority(t, 0)}), V({THREAD_PRIORITY_ERROR_RETURN, 0}));

    // The calling thread, through its pseudo handle and a duplicate of it
    // used on another thread; the pseudo handle cannot be closed away.
    HANDLE self = GetCurrentThread(), copy = nullptr;
    EXPECT_EQ(V({SetThreadPriority(self, THREAD_PRIORITY_HIGHEST), CloseHandle(self), GetThreadPriority(self)}),
              V({1, 1, THREAD_PRIORITY_HIGHEST}));
    EXPECT_EQ(GetThreadId(self), GetCurrentThreadId());
    HANDLE process = GetCurrentProcess();
    ASSERT_TRUE(DuplicateHandle(process, self, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    std::atomic<int> seen{0};
    std::thread([&] {
        seen = GetThreadPriority(copy);
        SetThreadPriority(copy, THREAD_PRIORITY_LOWEST);
    }).join();
    EXPECT_EQ(V({seen.load(), GetThreadPriority(self)}), V({THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_LOWEST}));
    CloseHandle(copy);

    // A thread that CreateThread did not start duplicates its pseudo handle;
    // another thread waits on the copy and is released when that thread ends.
    ResetEvent(gate);
    copy = nullptr;
    std::atomic<DWORD> ownid{0};
    std::thread worker([&] {
        ownid = GetCurrentThreadId();
        DuplicateHandle(process, GetCurrentThread(), process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
        SetEvent(gate);
        Sleep(30);
    });
    ASSERT_EQ(WaitForSingleObject(gate, 5000), WAIT_OBJECT_0);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(ownid.load(), GetCurrentThreadId());
    EXPECT_EQ(V({GetThreadId(copy) == ownid.load(), exitcode(copy), WaitForSingleObject(copy, 5000)}),
              V({1, STILL_ACTIVE, WAIT_OBJECT_0}));
    worker.join();
    EXPECT_EQ(V({exitcode(copy), CloseHandle(copy), CloseHandle(gate)}), V({0, 1, 1}));
}

DWORD WINAPI exitearly(LPVOID)
{
    ExitThread(9);
    ran = 100;  // never reached
    return 1;
}

DWORD WINAPI terminateself(LPVOID)
{
    TerminateThread(GetCurrentThread(), 11);
    ran = 100;  // never reached
    return 1;
}

TEST(Threads, ExitAndTerminateEndAThreadWhereverItIs)
{
    ran = 0;
    HANDLE gate = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE blocked = CreateThread(nullptr, 0, waitonparam, gate, 0, nullptr);
    HANDLE suspended = CreateThread(nullptr, 0, returnparam, nullptr, CREATE_SUSPENDED, nullptr);
    HANDLE both[2] = {CreateThread(nullptr, 0, exitearly, nullptr, 0, nullptr),
                      CreateThread(nullptr, 0, terminateself, nullptr, 0, nullptr)};
    EXPECT_LE(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_OBJECT_0 + 1);
    Sleep(30);
    EXPECT_TRUE(TerminateThread(blocked, 77));
    EXPECT_TRUE(TerminateThread(suspended, 3));
    // The calling thread's own ExitThread and TerminateThread, one in a wait,
    // one that never ran.
    const struct {
        HANDLE thread;
        DWORD code;
    } rows[] = {{both[0], 9}, {both[1], 11}, {blocked, 77}, {suspended, 3}};
    for (const auto& row : rows)
        EXPECT_EQ(V({WaitForSingleObject(row.thread, 5000), exitcode(row.thread)}), V({WAIT_OBJECT_0, row.code}));
    // Terminating an ended thread changes nothing. The ended wait left the
    // event in order: a set now stays for the next wait instead of going to
    // the dead thread.
    EXPECT_EQ(V({ran.load(), TerminateThread(suspended, 4), exitcode(suspended)}), V({0, 1, 3}));
    EXPECT_EQ(V({SetEvent(gate), WaitForSingleObject(gate, 0)}), V({1, WAIT_OBJECT_0}));
    for (HANDLE h : {blocked, suspended, both[0], both[1], gate})
        CloseHandle(h);
}

TEST(CriticalSections, AreRecursiveAndExcludeOtherThreads)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    // What another thread's try gets, leaving again when it got in.
    auto othertry = [&cs] {
        BOOL got = FALSE;
        std::thread([&] {
            got = TryEnterCriticalSection(&cs);
            if (got)
                LeaveCriticalSection(&cs);
        }).join();
        return got;
    };
    EXPECT_FALSE(othertry());
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(othertry());  // still held once
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(othertry());
    DeleteCriticalSection(&cs);
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
