// Critical sections, threads, events, waits and sleeping over POSIX threads,
// with the Windows semantics that the library relies on: recursive locks,
// auto-reset and manual-reset events, PulseEvent, wait-for-any over events
// and threads, suspended thread creation and stored thread priorities.
//
// Waits: every waitable object (event or thread) keeps a list of the waits
// blocked on it. A signal hands itself directly to blocked waits (an
// auto-reset event to the oldest one only, a manual-reset event or an ended
// thread to all of them) and only stays set when nobody took it. All of this
// happens under the process-wide wait lock, so no wake-up can be lost between
// a check and a sleep. Each blocked wait sleeps on a condition of its own,
// which only the signal that releases it wakes: idle threads blocked on other
// objects are not woken by every signal in the process.
#include "pwsync.h"

#include <errno.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "pwhandle.h"

static_assert(sizeof(CRITICAL_SECTION) == (sizeof(void*) == 8 ? 40 : 24),
              "a critical section has the size of the Windows record");

// ---------------------------------------------------------------------------
// Critical sections.

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->lock, &attr);
    pthread_mutexattr_destroy(&attr);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_destroy(&cs->lock); }

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_lock(&cs->lock); }

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_unlock(&cs->lock); }

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) { return pthread_mutex_trylock(&cs->lock) == 0; }

// ---------------------------------------------------------------------------
// Waitable objects.

struct PW_WAITER;

// One blocked wait's entry in one object's list of waits.
struct PW_WAITLINK {
    PW_WAITER* waiter;
    DWORD index;  // position of the object in the wait's handle array
    PW_WAITLINK* prev;
    PW_WAITLINK* next;
};

// A blocked wait: released when a signal stores an index in fired and wakes
// its condition.
struct PW_WAITER {
    long fired;  // -1 while nothing has released the wait
    pthread_cond_t wake;
    DWORD count;
    PW_WAITLINK links[MAXIMUM_WAIT_OBJECTS];
};

// The common head of events and thread objects; all fields but the first
// are guarded by the wait lock.
struct PW_WAITABLE {
    PW_OBJECT object;
    bool manual;     // stays signalled until reset (threads: once ended, for good)
    bool signalled;  // set and not taken by any wait
    PW_WAITLINK* first;
    PW_WAITLINK* last;
};

struct PW_EVENT_OBJECT {
    PW_WAITABLE wait;
};

struct PW_THREAD_OBJECT {
    PW_WAITABLE wait;  // signalled once the thread has ended
    DWORD id;
    pthread_t thread;
    bool threadknown;  // thread holds the pthread id
    bool ended;
    bool terminated;  // TerminateThread came before the thread could be cancelled
    bool exitset;  // exitcode holds the code of a return, ExitThread or TerminateThread
    DWORD exitcode;
    DWORD suspendcount;
    pthread_cond_t resumed;  // a suspended thread sleeps on it until resumed
    int priority;
    LPTHREAD_START_ROUTINE routine;
    LPVOID param;
};

static PW_WAITABLE* PW_waitable(PW_OBJECT* object) { return reinterpret_cast<PW_WAITABLE*>(object); }

static PW_THREAD_OBJECT* PW_threadobject(PW_OBJECT* object) { return reinterpret_cast<PW_THREAD_OBJECT*>(object); }

static void PW_linkwait(PW_WAITABLE* w, PW_WAITLINK* link)
{
    link->next = nullptr;
    link->prev = w->last;
    if (w->last != nullptr)
        w->last->next = link;
    else
        w->first = link;
    w->last = link;
}

static void PW_unlinkwait(PW_WAITABLE* w, PW_WAITLINK* link)
{
    if (link->prev != nullptr)
        link->prev->next = link->next;
    else
        w->first = link->next;
    if (link->next != nullptr)
        link->next->prev = link->prev;
    else
        w->last = link->prev;
}

// Hands a signal of w to blocked waits (wait lock held): to the oldest one
// that nothing has released yet when one is enough, else to all of them.
// Returns whether any wait took it.
static bool PW_release_waits(PW_WAITABLE* w, bool one)
{
    bool taken = false;
    for (PW_WAITLINK* link = w->first; link != nullptr; link = link->next) {
        if (link->waiter->fired >= 0)
            continue;
        link->waiter->fired = static_cast<long>(link->index);
        // Under the wait lock: once the lock is free the released wait may
        // return and its condition go.
        pthread_cond_signal(&link->waiter->wake);
        taken = true;
        if (one)
            break;
    }
    return taken;
}

static void PW_destroyobject(PW_OBJECT* object)
{
    if (object->kind == PW_THREAD) {
        pthread_cond_destroy(&PW_threadobject(object)->resumed);
        delete PW_threadobject(object);
    } else {
        delete reinterpret_cast<PW_EVENT_OBJECT*>(object);
    }
}

// ---------------------------------------------------------------------------
// Threads.

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
    t->wait.object.destroy = PW_destroyobject;
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
        PW_destroyobject(&t->wait.object);
        return nullptr;
    }
    PW_addref(&t->wait.object);  // the thread's own reference

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stacksize != 0)
        pthread_attr_setstacksize(&attr, PW_stacksize(stacksize));
    pthread_t thread;
    int err = pthread_create(&thread, &attr, PW_threadstart, t);
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

int WINAPI GetThreadPriority(HANDLE thread)
{
    PW_THREAD_OBJECT* t = PW_getthread(thread);
    if (t == nullptr)
        return THREAD_PRIORITY_ERROR_RETURN;
    PW_waitlock();
    int priority = t->priority;
    PW_waitunlock();
    PW_release(&t->wait.object);
    return priority;
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
    PW_THREAD_OBJECT* t = PW_getthread(thread);
    if (t == nullptr)
        return 0;
    PW_waitlock();
    DWORD id = t->id;
    PW_waitunlock();
    PW_release(&t->wait.object);
    return id;
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitcode)
{
    PW_THREAD_OBJECT* t = PW_getthread(thread);
    if (t == nullptr)
        return FALSE;
    PW_waitlock();
    DWORD code = t->ended ? t->exitcode : STILL_ACTIVE;
    PW_waitunlock();
    PW_release(&t->wait.object);
    if (exitcode != nullptr)
        *exitcode = code;
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

// ---------------------------------------------------------------------------
// Events.

// Named events are shared between processes on Windows; nothing here needs
// them, so a name is refused rather than silently ignored.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualreset, BOOL initialstate, LPCSTR name)
{
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    PW_EVENT_OBJECT* e = new PW_EVENT_OBJECT();
    e->wait.object.kind = PW_EVENT;
    e->wait.object.refs = 1;
    e->wait.object.destroy = PW_destroyobject;
    e->wait.manual = manualreset != FALSE;
    e->wait.signalled = initialstate != FALSE;
    HANDLE handle = PW_newhandle(&e->wait.object);
    if (handle == nullptr)
        delete e;
    return handle;
}

enum PW_EVENTOP { PW_SET, PW_RESET, PW_PULSE };

static BOOL PW_eventop(HANDLE event, PW_EVENTOP op)
{
    PW_OBJECT* object = PW_gethandle(event, PW_EVENT);
    if (object == nullptr)
        return FALSE;
    PW_WAITABLE* w = PW_waitable(object);
    PW_waitlock();
    switch (op) {
    case PW_SET:
        // An auto-reset event that a blocked wait takes stays reset.
        if (!PW_release_waits(w, !w->manual) || w->manual)
            w->signalled = true;
        break;
    case PW_RESET:
        w->signalled = false;
        break;
    case PW_PULSE:
        // Releases the waits blocked right now (all, or the oldest one for an
        // auto-reset event) and leaves the event reset for later waits.
        PW_release_waits(w, !w->manual);
        w->signalled = false;
        break;
    }
    PW_waitunlock();
    PW_release(object);
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE event) { return PW_eventop(event, PW_SET); }

BOOL WINAPI ResetEvent(HANDLE event) { return PW_eventop(event, PW_RESET); }

BOOL WINAPI PulseEvent(HANDLE event) { return PW_eventop(event, PW_PULSE); }

// ---------------------------------------------------------------------------
// Waits.

static void PW_deadline(DWORD milliseconds, struct timespec* deadline)
{
    clock_gettime(CLOCK_MONOTONIC, deadline);
    deadline->tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline->tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline->tv_nsec >= 1000000000L) {
        deadline->tv_sec++;
        deadline->tv_nsec -= 1000000000L;
    }
}

struct PW_WAITCONTEXT {
    PW_WAITER* waiter;
    PW_OBJECT** objects;
};

static void PW_unlinkall(PW_WAITER* waiter, PW_OBJECT** objects)
{
    for (DWORD i = 0; i < waiter->count; i++)
        PW_unlinkwait(PW_waitable(objects[i]), &waiter->links[i]);
}

// A wait cancelled by TerminateThread leaves its object lists and the lock,
// and drops its references to the objects.
static void PW_waitcancelled(void* param)
{
    PW_WAITCONTEXT* context = static_cast<PW_WAITCONTEXT*>(param);
    PW_unlinkall(context->waiter, context->objects);
    pthread_cond_destroy(&context->waiter->wake);
    PW_waitunlock();
    for (DWORD i = 0; i < context->waiter->count; i++)
        PW_release(context->objects[i]);
}

// Takes the first signalled object (lowest index), consuming an auto-reset
// event; the wait lock is held. Returns its index or -1.
static long PW_takesignalled(PW_OBJECT** objects, DWORD count)
{
    for (DWORD i = 0; i < count; i++) {
        PW_WAITABLE* w = PW_waitable(objects[i]);
        if (w->signalled) {
            if (!w->manual)
                w->signalled = false;
            return static_cast<long>(i);
        }
    }
    return -1;
}

// Waits for any one of the handles (events and threads). Waiting for all of
// them is not supported: nothing here needs it, and it is refused with
// ERROR_INVALID_PARAMETER. There are no asynchronous procedure calls, so
// alertable waits never return WAIT_IO_COMPLETION.
DWORD WINAPI WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitall, DWORD milliseconds,
                                      BOOL alertable)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || waitall) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    PW_OBJECT* objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; i++) {
        PW_OBJECT* object = handles[i] == PW_CURRENTTHREAD ? PW_currentthread() : PW_gethandle(handles[i], PW_NONE);
        if (object != nullptr && object->kind != PW_EVENT && object->kind != PW_THREAD) {
            PW_release(object);
            object = nullptr;
        }
        if (object == nullptr) {
            for (DWORD j = 0; j < i; j++)
                PW_release(objects[j]);
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects[i] = object;
    }

    struct timespec deadline;
    if (milliseconds != INFINITE)
        PW_deadline(milliseconds, &deadline);

    PW_waitlock();
    long result = PW_takesignalled(objects, count);
    if (result < 0 && milliseconds != 0) {
        PW_WAITER waiter;
        waiter.fired = -1;
        PW_initcondition(&waiter.wake);
        waiter.count = count;
        for (DWORD i = 0; i < count; i++) {
            waiter.links[i].waiter = &waiter;
            waiter.links[i].index = i;
            PW_linkwait(PW_waitable(objects[i]), &waiter.links[i]);
        }
        PW_WAITCONTEXT context = {&waiter, objects};
        pthread_cleanup_push(PW_waitcancelled, &context);
        while (waiter.fired < 0) {
            int rc = PW_waitcondition(&waiter.wake, milliseconds == INFINITE ? nullptr : &deadline);
            if (rc == ETIMEDOUT)
                break;
        }
        pthread_cleanup_pop(0);
        PW_unlinkall(&waiter, objects);
        pthread_cond_destroy(&waiter.wake);
        result = waiter.fired;
    }
    PW_waitunlock();

    for (DWORD i = 0; i < count; i++)
        PW_release(objects[i]);
    return result < 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0 + static_cast<DWORD>(result);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitall, DWORD milliseconds)
{
    return WaitForMultipleObjectsEx(count, handles, waitall, milliseconds, FALSE);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return WaitForMultipleObjectsEx(1, &handle, FALSE, milliseconds, FALSE);
}
