// Critical sections, threads, events, waits and sleeping with the Windows
// semantics the library relies on, over POSIX threads: threads and sleeping
// in pwthread.cpp, the rest in pwsync.cpp.
#ifndef VORL_PWSYNC_H
#define VORL_PWSYNC_H

#include <pthread.h>

#include "pwbase.h"

// A recursive lock; the same size as the Windows record on both word sizes.
typedef struct CRITICAL_SECTION {
    pthread_mutex_t lock;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID param);

#define CREATE_SUSPENDED 0x00000004
// The exit code that GetExitCodeThread reports while a thread runs.
#define STILL_ACTIVE 259

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_IO_COMPLETION 0x000000C0u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

#ifdef __cplusplus
extern "C" {
#endif

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs);

// Thread ids are non-zero and unique among the threads alive at one time.
DWORD WINAPI GetCurrentThreadId(void);
// The pseudo handle of the calling thread.
HANDLE WINAPI GetCurrentThread(void);
// Thread handles are small values (they fit in 32 bits).
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stacksize, LPTHREAD_START_ROUTINE routine,
                           LPVOID param, DWORD flags, LPDWORD id);
DWORD WINAPI ResumeThread(HANDLE thread);
// Priorities are stored and reported back even where the system keeps its own.
BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);
int WINAPI GetThreadPriority(HANDLE thread);
BOOL WINAPI TerminateThread(HANDLE thread, DWORD exitcode);
void WINAPI ExitThread(DWORD exitcode);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitcode);
DWORD WINAPI GetThreadId(HANDLE thread);
void WINAPI ExitProcess(UINT exitcode);

DWORD WINAPI SleepEx(DWORD milliseconds, BOOL alertable);
void WINAPI Sleep(DWORD milliseconds);

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualreset, BOOL initialstate, LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);
BOOL WINAPI PulseEvent(HANDLE event);
// Waits on events and thread handles (a thread handle is signalled once the
// thread has ended).
DWORD WINAPI WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitall, DWORD milliseconds,
                                      BOOL alertable);
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitall, DWORD milliseconds);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);

#ifdef __cplusplus
}
#endif

#endif
