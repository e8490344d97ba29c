// The multimedia timer services over POSIX threads: a table of armed events
// and one service thread that sleeps until the earliest is due and runs its
// callback. The thread starts when an event is armed while none is running,
// and ends when no event is left, so an idle process keeps no timer thread.
#define _FILE_OFFSET_BITS 64
#include "platform/posix/pwtimer.h"

#include <pthread.h>
#include <time.h>
#include "platform/posix/pwsys.h"

namespace {

const int MAXEVENTS = 256;

enum { SLOT_FREE = 0, SLOT_ARMED = 1 };

struct TIMEREVENT {
    int state;
    UINT id;
    UINT flags;
    UINT delay;
    LPTIMECALLBACK callback;
    DWORD_PTR user;
    int64_t due;     // monotonic nanoseconds
    uint64_t order;  // arming order: among events due at once, the older fires first
};

// Everything below is guarded by timerlock.
pthread_mutex_t timerlock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t servicewake;   // the service thread sleeps on it (monotonic clock)
pthread_cond_t callbackdone;  // timeKillEvent waits on it for a running callback
pthread_once_t condsonce = PTHREAD_ONCE_INIT;
TIMEREVENT events[MAXEVENTS];
UINT nextid = 1;
uint64_t nextorder = 1;
bool servicerunning = false;
pthread_t servicethread;
UINT firingid = 0;  // id whose callback is running now, 0 when none
int32_t periods = 0;

void initconds()
{
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&servicewake, &attributes);
    pthread_condattr_destroy(&attributes);
    pthread_cond_init(&callbackdone, nullptr);
}

int64_t nownanoseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

TIMEREVENT* findarmed(UINT id)
{
    for (TIMEREVENT& event : events)
        if (event.state == SLOT_ARMED && event.id == id)
            return &event;
    return nullptr;
}

TIMEREVENT* earliest()
{
    TIMEREVENT* best = nullptr;
    for (TIMEREVENT& event : events)
        if (event.state == SLOT_ARMED &&
            (!best || event.due < best->due || (event.due == best->due && event.order < best->order)))
            best = &event;
    return best;
}

// An id that is not 0 and not held by an armed event or a running callback.
UINT takeid()
{
    for (;;) {
        UINT id = nextid++;
        if (id != 0 && id != firingid && !findarmed(id))
            return id;
    }
}

void* servicemain(void*)
{
    pthread_mutex_lock(&timerlock);
    for (;;) {
        TIMEREVENT* event = earliest();
        if (!event)
            break;
        int64_t now = nownanoseconds();
        if (event->due > now) {
            struct timespec until;
            until.tv_sec = static_cast<time_t>(event->due / 1000000000);
            until.tv_nsec = static_cast<long>(event->due % 1000000000);
            pthread_cond_timedwait(&servicewake, &timerlock, &until);
            continue;  // the table may have changed meanwhile
        }
        UINT id = event->id;
        LPTIMECALLBACK callback = event->callback;
        DWORD_PTR user = event->user;
        if (event->flags & TIME_PERIODIC) {
            event->due += static_cast<int64_t>(event->delay) * 1000000;
            event->order = nextorder++;
        } else {
            event->state = SLOT_FREE;
        }
        firingid = id;
        pthread_mutex_unlock(&timerlock);
        callback(id, 0, user, 0, 0);
        pthread_mutex_lock(&timerlock);
        firingid = 0;
        pthread_cond_broadcast(&callbackdone);
    }
    servicerunning = false;
    pthread_mutex_unlock(&timerlock);
    return nullptr;
}

// Starts the service thread unless it runs (timerlock held). False when the
// system refuses a thread.
bool startservice()
{
    if (servicerunning)
        return true;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int failed = PW_sys.pthread_create(&servicethread, &attributes, servicemain, nullptr);
    pthread_attr_destroy(&attributes);
    if (failed)
        return false;
    servicerunning = true;
    return true;
}

bool onservicethread() { return servicerunning && pthread_equal(servicethread, pthread_self()); }

}  // namespace

extern "C" {

MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS caps, UINT size)
{
    if (!caps || size != sizeof(TIMECAPS))
        return TIMERR_NOCANDO;
    caps->wPeriodMin = PW_TIMER_PERIODMIN;
    caps->wPeriodMax = PW_TIMER_PERIODMAX;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeBeginPeriod(UINT period)
{
    if (period < PW_TIMER_PERIODMIN || period > PW_TIMER_PERIODMAX)
        return TIMERR_NOCANDO;
    pthread_mutex_lock(&timerlock);
    periods++;
    pthread_mutex_unlock(&timerlock);
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT period)
{
    if (period < PW_TIMER_PERIODMIN || period > PW_TIMER_PERIODMAX)
        return TIMERR_NOCANDO;
    MMRESULT result = TIMERR_NOCANDO;
    pthread_mutex_lock(&timerlock);
    if (periods > 0) {
        periods--;
        result = TIMERR_NOERROR;
    }
    pthread_mutex_unlock(&timerlock);
    return result;
}

MMRESULT WINAPI timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user, UINT flags)
{
    if (!callback || delay < PW_TIMER_PERIODMIN || delay > PW_TIMER_PERIODMAX ||
        (flags & ~static_cast<UINT>(TIME_PERIODIC)) != 0)
        return 0;
    pthread_once(&condsonce, initconds);
    // Events fire on the millisecond grid of GetTickCount, as a timer of
    // 1 ms resolution does: when the count reaches its value now plus delay.
    int64_t due = (nownanoseconds() / 1000000 + delay) * 1000000;
    pthread_mutex_lock(&timerlock);
    TIMEREVENT* slot = nullptr;
    for (TIMEREVENT& event : events)
        if (event.state == SLOT_FREE) {
            slot = &event;
            break;
        }
    UINT id = 0;
    if (slot && startservice()) {
        id = takeid();
        slot->state = SLOT_ARMED;
        slot->id = id;
        slot->flags = flags;
        slot->delay = delay;
        slot->callback = callback;
        slot->user = user;
        slot->due = due;
        slot->order = nextorder++;
        pthread_cond_signal(&servicewake);
    }
    pthread_mutex_unlock(&timerlock);
    return id;
}

MMRESULT WINAPI timeKillEvent(UINT id)
{
    if (id == 0)
        return MMSYSERR_INVALPARAM;
    pthread_once(&condsonce, initconds);
    MMRESULT result = MMSYSERR_INVALPARAM;
    pthread_mutex_lock(&timerlock);
    if (TIMEREVENT* event = findarmed(id)) {
        event->state = SLOT_FREE;
        result = TIMERR_NOERROR;
        pthread_cond_signal(&servicewake);
    }
    if (firingid == id) {
        result = TIMERR_NOERROR;
        // The callback itself may kill its own event; waiting there would
        // never end.
        while (firingid == id && !onservicethread())
            pthread_cond_wait(&callbackdone, &timerlock);
    }
    pthread_mutex_unlock(&timerlock);
    return result;
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(nownanoseconds() / 1000000); }

int32_t PW_timeperiods(void)
{
    pthread_mutex_lock(&timerlock);
    int32_t count = periods;
    pthread_mutex_unlock(&timerlock);
    return count;
}

int32_t PW_timeevents(void)
{
    pthread_mutex_lock(&timerlock);
    int32_t count = 0;
    for (const TIMEREVENT& event : events)
        count += event.state == SLOT_ARMED;
    pthread_mutex_unlock(&timerlock);
    return count;
}

}  // extern "C"
