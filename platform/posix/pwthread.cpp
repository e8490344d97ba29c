// Threads of our POSIX platform, with the Windows semantics that the library
// relies on: ids that are never 0, suspended creation, thread handles that
// are signalled once their thread has ended (a thread object is waitable
// like an event: pwwaitable.h, waits in pwsync.cpp), exit codes, stored
// priorities and TerminateThread; also ExitProcess and sleeping.
#define _FILE_OFFSET_BITS 64
#include "pwsync.h"

#include <errno.h>
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "pwhandle.h"
#include "pwwaitable.h"
#include "pwsys.h"

// ---------------------------------------------------------------------------
// Threads.

struct PW_THREAD_OBJECT {
    PW_WAITABLE wait;  // signalled once the thread has ended
    DWORD id;
    pthread_t thread;
    bool threadknown;  // thread holds the pthread id
    bool ended;
    bool terminated;  // TerminateThread came before the thread could be cancelled
    bool exitset;     // exitcode holds the code of a return, ExitThread or TerminateThread
    DWORD exitcode;
    DWORD suspendcount;
    pthread_cond_t resumed;  // a suspended thread sleeps on it until resumed
    int priority;
    LPTHREAD_START_ROUTINE routine;
    LPVOID param;
};

static PW_THREAD_OBJECT* PW_threadobject(PW_OBJECT* object) { return reinterpret_cast<PW_THREAD_OBJECT*>(object); }

static void PW_destroythread(PW_OBJECT* object)
{
    pthread_cond_destroy(&PW_threadobject(object)->resumed);
    delete PW_threadobject(object);
}

// Ids come from a counter: non-zero, and not reused before 2^32 threads.
static std::atomic<DWORD> PW_nextthreadid{1};
static thread_local DWORD PW_threadid = 0;

static DWORD PW_newthreadid(void)
{
    DWORD id;
    do
        id = PW_nextthreadid.fetch_add(1);
    while (id == 0);
    return id;
}

DWORD WINAPI GetCurrentThreadId(void)
{
    if (PW_threadid == 0)
        PW_threadid = PW_newthreadid();
    return PW_threadid;
}

HANDLE WINAPI GetCurrentThread(void) { return PW_CURRENTTHREAD; }

// Each thread's own reference to its thread object. The key's destructor
// runs whenever a thread ends (return, ExitThread, cancellation), including
// threads that CreateThread did not start; it marks the object ended.
static pthread_key_t PW_threadkey;
static pthread_once_t PW_threadkeyonce = PTHREAD_ONCE_INIT;

static void PW_threadend(void* value)
{
    PW_THREAD_OBJECT* t = static_cast<PW_THREAD_OBJECT*>(value);
    PW_waitlock();
    t->ended = true;
    if (!t->exitset) {
        t->exitset = true;
        t->exitcode = 0;
    }
    t->wait.signalled = true;
    PW_release_waits(&t->wait, false);
    PW_waitunlock();
    PW_release(&t->wait.object);
}

static void PW_threadkeyinit(void) { pthread_key_create(&PW_threadkey, PW_threadend); }

static PW_THREAD_OBJECT* PW_newthreadobject(void)
{
    PW_THREAD_OBJECT* t = new PW_THREAD_OBJECT();
    t->wait.object.kind = PW_THREAD;
    t->wait.object.refs = 1;
    t->wait.object.destroy = PW_destroythread;
    t->wait.manual = true;
    t->priority = THREAD_PRIORITY_NORMAL;
    PW_initcondition(&t->resumed);
    return t;
}

// The calling thread's object without a new reference, made on demand.
static PW_THREAD_OBJECT* PW_selfobject(void)
{
    pthread_once(&PW_threadkeyonce, PW_threadkeyinit);
    PW_THREAD_OBJECT* t = static_cast<PW_THREAD_OBJECT*>(pthread_getspecific(PW_threadkey));
    if (t == nullptr) {
        t = PW_newthreadobject();  // its one reference belongs to the thread
        t->id = GetCurrentThreadId();
        t->thread = pthread_self();
        t->threadknown = true;
        pthread_setspecific(PW_threadkey, t);
    }
    return t;
}

PW_OBJECT* PW_currentthread(void)
{
    PW_THREAD_OBJECT* t = PW_selfobject();
    PW_addref(&t->wait.object);
    return &t->wait.object;
}

// A thread handle or the pseudo handle, with a reference taken.
static PW_THREAD_OBJECT* PW_getthread(HANDLE handle)
{
    if (handle == PW_CURRENTTHREAD)
        return PW_threadobject(PW_currentthread());
    PW_OBJECT* object = PW_gethandle(handle, PW_THREAD);
    return object != nullptr ? PW_threadobject(object) : nullptr;
}

static void PW_unlockwait(void*) { PW_waitunlock(); }

static void* PW_threadstart(void* param)
{
    PW_THREAD_OBJECT* t = static_cast<PW_THREAD_OBJECT*>(param);
    pthread_once(&PW_threadkeyonce, PW_threadkeyinit);
    pthread_setspecific(PW_threadkey, t);
    PW_waitlock();
    PW_threadid = t->id;
    t->thread = pthread_self();
    t->threadknown = true;
    pthread_cleanup_push(PW_unlockwait, nullptr);
    while (t->suspendcount > 0)
        PW_waitcondition(&t->resumed, nullptr);
    pthread_cleanup_pop(0);
    LPTHREAD_START_ROUTINE routine = t->routine;
    LPVOID routineparam = t->param;
    bool terminated = t->terminated;
    PW_waitunlock();
    if (terminated)
        return nullptr;
    DWORD code = routine(routineparam);
    PW_waitlock();
    if (!t->exitset) {
        t->exitset = true;
        t->exitcode = code;
    }
    PW_waitunlock();
    return nullptr;
}

// Windows reserves stacks in units of its 64 KiB allocation granularity;
// a smaller request gets that much, and anything is rounded up to pages.
static size_t PW_stacksize(SIZE_T requested)
{
    const size_t minimum = 64 * 1024;
    size_t size = requested < minimum ? minimum : requested;
    if (size < static_cast<size_t>(PTHREAD_STACK_MIN))
        size = PTHREAD_STACK_MIN;
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (size > SIZE_MAX - page)
        return size;  // far too large: pthread_create refuses it
    return (size + page - 1) / page * page;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stacksize, LPTHREAD_START_ROUTINE routine,
                           LPVOID param, DWORD flags, LPDWORD id)
{
    if (routine == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    PW_THREAD_OBJECT* t = PW_newthreadobject();
    t->id = PW_newthreadid();
    t->suspendcount = (flags & CREATE_SUSPENDED) != 0 ? 1 : 0;
    t->routine = routine;
    t->param = param;
    HANDLE handle = PW_newhandle(&t->wait.object);
    if (handle == nullptr) {
        PW_destroythread(&t->wait.object);
        return nullptr;
    }
    PW_addref(&t->wait.object);  // the thread's own reference

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stacksize != 0)
        pthread_attr_setstacksize(&attr, PW_stacksize(stacksize));
    pthread_t thread;
    int err = PW_sys.pthread_create(&thread, &attr, PW_threadstart, t);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        PW_release(&t->wait.object);
        CloseHandle(handle);
        PW_seterrno(err);
        return nullptr;
    }
    PW_waitlock();
    t->thread = thread;
    t->threadknown = true;
    PW_waitunlock();
    if (id != nullptr)
        *id = t->id;
    return handle;
}

DWORD WINAPI ResumeThread(HANDLE thread)
{
    PW_THREAD_OBJECT* t = PW_getthread(thread);
    if (t == nullptr)
        return static_cast<DWORD>(-1);
    PW_waitlock();
    DWORD previous = t->suspendcount;
    if (t->suspendcount > 0 && --t->suspendcount == 0)
        pthread_cond_signal(&t->resumed);
    PW_waitunlock();
    PW_release(&t->wait.object);
    return previous;
}

static bool PW_validpriority(int priority)
{
    return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
           (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

// The priority is kept in the thread object and reported back; the system's
// scheduling is left alone (raising a thread needs privileges a normal
// process lacks, and lowering one could not be undone).
BOOL WINAPI SetThreadPriority(HANDLE thread, int priority)
{
    if (!PW_validpriority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PW_THREAD_OBJECT* t = PW_getthread(thread);
    if (t == nullptr)
        return FALSE;
    PW_waitlock();
    t->priority = priority;
    PW_waitunlock();
    PW_release(&t->wait.object);
    return TRUE;
}

// What the getters report of a thread, read under the wait lock.
struct PW_THREADSTATE {
    DWORD id;
    int priority;
    DWORD exitcode;  // STILL_ACTIVE until the thread has ended
};

// The state of the thread a handle (or the pseudo handle) names; false, with
// the last error set, when it names no thread.
static bool PW_threadstate(HANDLE thread, PW_THREADSTATE* state)
{
    PW_THREAD_OBJECT* t = PW_getthread(thread);
    if (t == nullptr)
        return false;
    PW_waitlock();
    state->id = t->id;
    state->priority = t->priority;
    state->exitcode = t->ended ? t->exitcode : STILL_ACTIVE;
    PW_waitunlock();
    PW_release(&t->wait.object);
    return true;
}

int WINAPI GetThreadPriority(HANDLE thread)
{
    PW_THREADSTATE state;
    return PW_threadstate(thread, &state) ? state.priority : THREAD_PRIORITY_ERROR_RETURN;
}

void WINAPI ExitThread(DWORD exitcode)
{
    PW_THREAD_OBJECT* t = PW_selfobject();
    PW_waitlock();
    if (!t->exitset) {
        t->exitset = true;
        t->exitcode = exitcode;
    }
    PW_waitunlock();
    pthread_exit(nullptr);
}

// Terminating the calling thread is ExitThread. Another thread is cancelled
// (pthread_cancel): it ends at its next cancellation point (a wait, a sleep,
// a blocking read), not at once; its handle is signalled when it has ended.
BOOL WINAPI TerminateThread(HANDLE thread, DWORD exitcode)
{
    PW_THREAD_OBJECT* t = PW_getthread(thread);
    if (t == nullptr)
        return FALSE;
    if (t == PW_selfobject()) {
        PW_release(&t->wait.object);
        ExitThread(exitcode);
    }
    PW_waitlock();
    bool cancel = !t->ended && t->threadknown;
    if (!t->exitset) {
        t->exitset = true;
        t->exitcode = exitcode;
    }
    if (cancel)
        pthread_cancel(t->thread);
    else
        t->terminated = true;
    PW_waitunlock();
    PW_release(&t->wait.object);
    return TRUE;
}

DWORD WINAPI GetThreadId(HANDLE thread)
{
    PW_THREADSTATE state;
    return PW_threadstate(thread, &state) ? state.id : 0;
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitcode)
{
    PW_THREADSTATE state;
    if (!PW_threadstate(thread, &state))
        return FALSE;
    if (exitcode != nullptr)
        *exitcode = state.exitcode;
    return TRUE;
}

// Ends the process at once: no exit callbacks run, but standard output and
// standard error are flushed so that nothing already printed is lost. (Not
// every stream: flushing all of them would also wait for the lock of standard
// input, which a thread blocked in a read may hold.)
void WINAPI ExitProcess(UINT exitcode)
{
    fflush(stdout);
    fflush(stderr);
    _exit(static_cast<int>(exitcode));
}

// ---------------------------------------------------------------------------
// Sleeping. There are no asynchronous procedure calls, so an alertable sleep
// is an ordinary one and always returns 0.

DWORD WINAPI SleepEx(DWORD milliseconds, BOOL alertable)
{
    if (milliseconds == 0) {
        sched_yield();
        return 0;
    }
    if (milliseconds == INFINITE) {
        for (;;)
            pause();
    }
    struct timespec rest;
    rest.tv_sec = static_cast<time_t>(milliseconds / 1000);
    rest.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
    return 0;
}

void WINAPI Sleep(DWORD milliseconds) { SleepEx(milliseconds, FALSE); }
