// The secondary timer: a thread at priority 1 that runs up to eight
// registered routines once per tick of the running timer. The timer's
// callback wakes it through LOWTIMER_signal; the table is kept packed from
// slot 0 and guarded by the secondary mutex, which the thread holds during a
// pass, so LOWTIMER_add and LOWTIMER_remove wait for a pass to end.
//
// A routine may remove itself, even as the last one, or shut the secondary
// timer down: on its own thread the shutdown cannot wait for the thread or
// free the mutex the pass holds, so it hands both to the thread, which stops
// the pass, ends, and releases the mutex on its way out.
#include <atomic>

#include "platform/vplatform.h"
#include "vorl/alert.h"
#include "vorl/mutex.h"
#include "vorl/thread.h"
#include "vorl/timer.h"

static const char MODULE_FILE[] = "pc/lowtimer";

static TIMERROUTINE routines[TIMER_MAXROUTINES];  // guarded by the secondary mutex
static std::atomic<MUTEX*> secondarymutex{nullptr};
static std::atomic<int32_t> stopflag{0};
static std::atomic<void*> secondaryevent{nullptr};
static THREAD secondarythread;
static std::atomic<void*> secondaryheld{nullptr};  // for THREAD_join
static std::atomic<int32_t> threadsalive{0};
// Set on the secondary thread by a shutdown that one of its routines made.
static thread_local bool stopfrominside = false;

static void secondarymain(uint32_t)
{
    MUTEX* mutex = secondarymutex.load();
    void* event = EVENT_create();
    secondaryevent.store(event);
    while (event && !stopflag.load() && !stopfrominside) {
        EVENT_wait(event);
        if (stopflag.load())
            break;
        MUTEX_lock(mutex);
        for (TIMERROUTINE routine : routines) {
            if (!routine)
                break;
            routine();
            if (stopfrominside)
                break;
        }
        MUTEX_unlock(mutex);
    }
    void* mine = event;
    secondaryevent.compare_exchange_strong(mine, nullptr);
    if (event)
        EVENT_close(event);
    if (stopfrominside)
        MUTEX_free(mutex);
    threadsalive.fetch_sub(1);
}

void wininittimer(void)
{
    // Already started: a second start changes nothing (it would wait for
    // the running thread, which nothing tells to stop).
    if (secondarymutex.load())
        return;
    SYS_atexit(LOWTIMER_shutdown);
    MUTEX* mutex = MUTEX_alloc();
    if (!mutex)
        return;
    stopflag.store(0);
    secondarymutex.store(mutex);
    // A thread that shut itself down may still be on its way out.
    THREAD_join(&secondarythread, secondaryheld.exchange(nullptr));
    // Held until the thread is registered, so no pass starts before.
    MUTEX_lock(mutex);
    threadsalive.fetch_add(1);
    void* held = nullptr;
    if (THREAD_createheld(secondarymain, 0, 0, THREAD_ABOVENORMAL, &secondarythread, &held)) {
        secondaryheld.store(held);
        MUTEX_unlock(mutex);
        return;
    }
    threadsalive.fetch_sub(1);
    MUTEX_unlock(mutex);
    MUTEX_free(mutex);
    secondarymutex.store(nullptr);
    ALERT_raiseat(MODULE_FILE, 75, "wininittimer - FAILED TO CREATE SECONDARY TIMER`S THREAD.\n");
}

void LOWTIMER_add(TIMERROUTINE routine)
{
    if (!routine)
        return;
    if (!secondarymutex.load())
        wininittimer();
    MUTEX* mutex = secondarymutex.load();
    if (!mutex)
        return;
    MUTEX_lock(mutex);
    TIMERROUTINE* free = nullptr;
    for (TIMERROUTINE& slot : routines) {
        if (slot == routine) {
            MUTEX_unlock(mutex);
            return;
        }
        if (!slot && !free)
            free = &slot;
    }
    if (free)
        *free = routine;
    MUTEX_unlock(mutex);
}

void LOWTIMER_remove(TIMERROUTINE routine)
{
    MUTEX* mutex = secondarymutex.load();
    if (!mutex || !routine)
        return;
    MUTEX_lock(mutex);
    for (int32_t index = 0; index < TIMER_MAXROUTINES; index++) {
        if (routines[index] != routine)
            continue;
        for (int32_t later = index + 1; later < TIMER_MAXROUTINES; later++)
            routines[later - 1] = routines[later];
        routines[TIMER_MAXROUTINES - 1] = nullptr;
        break;
    }
    bool empty = routines[0] == nullptr;
    MUTEX_unlock(mutex);
    if (empty)
        LOWTIMER_shutdown();
}

void LOWTIMER_shutdown(void)
{
    MUTEX* mutex = secondarymutex.load();
    bool inside = threadsalive.load() > 0 && THREAD_iscurrent(&secondarythread);
    if (inside) {
        if (mutex) {
            stopfrominside = true;
            secondarymutex.store(nullptr);
        }
        return;
    }
    // Without a mutex there may still be a thread that stopped itself and
    // is on its way out: wait for it too, so that none outlives a shutdown.
    if (mutex)
        stopflag.store(1);
    // The thread may not have published its event yet: keep waking it.
    while (threadsalive.load() > 0) {
        if (void* event = secondaryevent.load())
            EVENT_set(event);
        THREAD_sleep(1);
    }
    // Until it has ended for good: after leaving the registry it still
    // prints its exit message.
    THREAD_join(&secondarythread, secondaryheld.exchange(nullptr));
    if (mutex) {
        MUTEX_free(mutex);
        secondarymutex.store(nullptr);
    }
}

void LOWTIMER_signal(void)
{
    if (void* event = secondaryevent.load())
        EVENT_set(event);
}

int32_t LOWTIMER_isrunning(void) { return secondarymutex.load() ? 1 : 0; }
