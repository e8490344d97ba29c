// Critical sections, events and waits over POSIX threads, with the Windows
// semantics that the library relies on: recursive locks, auto-reset and
// manual-reset events, PulseEvent, and wait-for-any over events and threads.
// Threads themselves (and sleeping) are in pwthread.cpp; both files meet in
// pwwaitable.h, since a thread object is waitable like an event.
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
#include <time.h>

#include "pwhandle.h"
#include "pwwaitable.h"

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

struct PW_EVENT_OBJECT {
    PW_WAITABLE wait;
};

static PW_WAITABLE* PW_waitable(PW_OBJECT* object) { return reinterpret_cast<PW_WAITABLE*>(object); }

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
bool PW_release_waits(PW_WAITABLE* w, bool one)
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

static void PW_destroyevent(PW_OBJECT* object) { delete reinterpret_cast<PW_EVENT_OBJECT*>(object); }

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
    e->wait.object.destroy = PW_destroyevent;
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
    case PW_RESET: w->signalled = false; break;
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
