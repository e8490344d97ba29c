// Threads of the POSIX platform layer: creation, suspension, waiting for a
// thread's end, exit codes, priorities, the thread pseudo handle and
// termination. (Critical sections are the library's locks: cmn/mutex_test.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <thread>

#include "lasterrors.h"

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

DWORD WINAPI waitonparam(LPVOID param) { return WaitForSingleObject(static_cast<HANDLE>(param), INFINITE) + 5; }

DWORD WINAPI stacksize(LPVOID param)
{
    pthread_attr_t attr;
    size_t* size = static_cast<size_t*>(param);
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, size);
        pthread_attr_destroy(&attr);
    }
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
    // Resuming gives the previous suspend count; the id the creator got is
    // the thread's own.
    t = CreateThread(nullptr, 0, returnparam, reinterpret_cast<LPVOID>(42), CREATE_SUSPENDED, &id);
    Sleep(50);
    EXPECT_EQ(V({ran.load(), WaitForSingleObject(t, 0), ResumeThread(t)}), V({0, WAIT_TIMEOUT, 1}));
    EXPECT_EQ(V({WaitForSingleObject(t, 5000), ran.load(), seenid.load() == id, exitcode(t), ResumeThread(t)}),
              V({WAIT_OBJECT_0, 1, 1, 42, 0}));
    CloseHandle(t);
    EXPECT_EQ(witherror({ResumeThread(t)}), V({0xFFFFFFFF, ERRORINVALIDHANDLE}));
    // Stack sizes are honoured, tiny ones rounded up to a workable minimum.
    size_t big = 0, tiny = 0;
    HANDLE a = CreateThread(nullptr, 3 * 1024 * 1024, stacksize, &big, 0, nullptr);
    HANDLE b = CreateThread(nullptr, 100, stacksize, &tiny, 0, nullptr);
    EXPECT_EQ(V({WaitForSingleObject(a, 5000), WaitForSingleObject(b, 5000), CloseHandle(a), CloseHandle(b)}),
              V({WAIT_OBJECT_0, WAIT_OBJECT_0, 1, 1}));
    EXPECT_TRUE(big >= 3u * 1024 * 1024 && tiny >= 64u * 1024) << big << " " << tiny;
}

TEST(Threads, PrioritiesAndPseudoHandlesWorkThroughAnyHandle)
{
    // The calling thread, through its pseudo handle and a duplicate of it
    // used on another thread; the pseudo handle cannot be closed away.
    HANDLE self = GetCurrentThread(), process = GetCurrentProcess(), copy = nullptr;
    EXPECT_EQ(V({GetThreadPriority(self), SetThreadPriority(self, THREAD_PRIORITY_IDLE), CloseHandle(self),
                 GetThreadId(self) == GetCurrentThreadId()}),
              V({THREAD_PRIORITY_NORMAL, 1, 1, 1}));
    EXPECT_EQ(witherror({SetThreadPriority(self, 3), GetThreadPriority(self)}),
              V({0, THREAD_PRIORITY_IDLE, ERRORINVALIDPARAMETER}));
    ASSERT_TRUE(DuplicateHandle(process, self, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    std::atomic<int> seen{0};
    std::thread([&] {
        seen = GetThreadPriority(copy);
        SetThreadPriority(copy, THREAD_PRIORITY_TIME_CRITICAL);
    }).join();
    EXPECT_EQ(V({seen.load(), GetThreadPriority(self), CloseHandle(copy)}),
              V({THREAD_PRIORITY_IDLE, THREAD_PRIORITY_TIME_CRITICAL, 1}));
    EXPECT_EQ(V({GetThreadPriority(copy), SetThreadPriority(copy, 0)}), V({THREAD_PRIORITY_ERROR_RETURN, 0}));
    // A thread that CreateThread did not start duplicates its pseudo handle;
    // another thread waits on the copy and is released when that thread ends.
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> ownid{0};
    std::thread worker([&] {
        ownid = GetCurrentThreadId();
        DuplicateHandle(process, GetCurrentThread(), process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
        SetEvent(gate);
        Sleep(30);
    });
    ASSERT_EQ(WaitForSingleObject(gate, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(V({GetThreadId(copy) == ownid.load(), exitcode(copy), WaitForSingleObject(copy, 5000)}),
              V({1, STILL_ACTIVE, WAIT_OBJECT_0}));
    worker.join();
    EXPECT_EQ(V({ownid.load() != GetCurrentThreadId(), exitcode(copy), CloseHandle(copy), CloseHandle(gate)}),
              V({1, 0, 1, 1}));
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
    EXPECT_EQ(V({TerminateThread(blocked, 77), TerminateThread(suspended, 3)}), V({1, 1}));
    // The calling thread's own ExitThread and TerminateThread, one in a wait,
    // one that never ran.
    const std::pair<HANDLE, DWORD> rows[] = {{both[0], 9}, {both[1], 11}, {blocked, 77}, {suspended, 3}};
    for (const auto& row : rows)
        EXPECT_EQ(V({WaitForSingleObject(row.first, 5000), exitcode(row.first)}), V({WAIT_OBJECT_0, row.second}));
    // Terminating an ended thread changes nothing. The ended wait left the
    // event in order: a set now stays for the next wait instead of going to
    // the dead thread.
    EXPECT_EQ(V({ran.load(), TerminateThread(suspended, 4), exitcode(suspended)}), V({0, 1, 3}));
    EXPECT_EQ(V({SetEvent(gate), WaitForSingleObject(gate, 0)}), V({1, WAIT_OBJECT_0}));
    for (HANDLE h : {blocked, suspended, both[0], both[1], gate})
        CloseHandle(h);
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
