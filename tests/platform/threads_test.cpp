// Threads of the POSIX platform layer: exit, termination, exit codes. (Creation,
// suspension and priorities are driven through the library: pc/threads_test.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>

#include "lasterrors.h"

namespace {

std::atomic<int> ran{0};

DWORD exitcode(HANDLE thread)
{
    DWORD code = 12345;
    return GetExitCodeThread(thread, &code) ? code : 54321;
}

DWORD WINAPI waitonparam(LPVOID param) { return WaitForSingleObject(static_cast<HANDLE>(param), INFINITE) + 5; }

// Ends itself with TerminateThread when given a parameter, else with ExitThread.
DWORD WINAPI endself(LPVOID param)
{
    if (param != nullptr)
        TerminateThread(GetCurrentThread(), 11);
    ExitThread(9);
    ran = 100;  // never reached
    return 1;
}

TEST(Threads, ExitAndTerminateEndAThreadWhereverItIs)
{
    HANDLE gate = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE blocked = CreateThread(nullptr, 0, waitonparam, gate, 0, nullptr);
    HANDLE suspended = CreateThread(nullptr, 0, endself, nullptr, CREATE_SUSPENDED, nullptr);
    HANDLE both[2] = {CreateThread(nullptr, 0, endself, nullptr, 0, nullptr),
                      CreateThread(nullptr, 0, endself, gate, 0, nullptr)};
    EXPECT_LE(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_OBJECT_0 + 1);
    Sleep(30);
    EXPECT_EQ(V({TerminateThread(blocked, 77), TerminateThread(suspended, 3)}), V({1, 1}));
    const std::pair<HANDLE, DWORD> rows[] = {{both[0], 9}, {both[1], 11}, {blocked, 77}, {suspended, 3}};
    for (const auto& row : rows)
        EXPECT_EQ(V({WaitForSingleObject(row.first, 5000), exitcode(row.first)}), V({WAIT_OBJECT_0, row.second}));
    // Terminating an ended thread changes nothing; a set goes to the next wait, not to the dead thread.
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
