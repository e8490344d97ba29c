// Sync tasks: a table of 16 periodic routines that run on the main thread
// whenever it calls SYNCTASK_run, against the sync clock that the timer
// thread advances once per tick.
//
// Additions may come from any thread. They serialise on a lock of their own,
// which SYNCTASK_run never takes, so the main thread never waits for an
// adder. An entry is published by storing its routine last, so the main
// thread never sees a routine without its due time. The fields are read and
// written atomically because the main thread reads them while others write.
#include <mutex>

#include "cmn/atomics.h"
#include "vorl/alert.h"
#include "vorl/synctask.h"
#include "vorl/thread.h"
#include "vorl/timer.h"

static const char MODULE_FILE[] = "cmn/systask";

SYNCTASK SYNCTASKlist[SYNCTASK_MAX];

// Sync-clock value of the last pass over the table.
static int32_t lastrun = 0;
static std::mutex addlock;

// Signed difference a - b of two clock values, right across wrap-around.
static int32_t clockdiff(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

static int32_t clockadd(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

void SYNCTASK_add(SYNCTASKROUTINE routine, int32_t interval, int32_t delay)
{
    if (!routine)
        return;
    int32_t chosen = -1;
    {
        std::lock_guard<std::mutex> hold(addlock);
        int32_t same = -1;
        int32_t free = -1;
        for (int32_t index = 0; index < SYNCTASK_MAX; index++) {
            SYNCTASKROUTINE current = ATOMIC_load(&SYNCTASKlist[index].routine);
            if (current == routine)
                same = index;
            else if (!current && free < 0)
                free = index;
        }
        chosen = same >= 0 ? same : free;
        if (chosen >= 0) {
            SYNCTASK* task = &SYNCTASKlist[chosen];
            ATOMIC_store(&task->interval, interval);
            ATOMIC_store(&task->due, clockadd(TIMER_syncclock(), delay));
            ATOMIC_store(&task->busy, 0u);
            ATOMIC_store(&task->routine, routine);
        }
    }
    if (chosen < 0) {
        ALERT_raiseat(MODULE_FILE, 99, "SYNCTASK_add - LIST FULL\n");
    }
}

void SYNCTASK_remove(SYNCTASKROUTINE routine)
{
    if (!routine)
        return;
    std::lock_guard<std::mutex> hold(addlock);
    for (SYNCTASK& task : SYNCTASKlist)
        if (ATOMIC_load(&task.routine) == routine) {
            ATOMIC_store(&task.routine, static_cast<SYNCTASKROUTINE>(nullptr));
            return;
        }
}

int32_t SYNCTASK_run(int32_t arg)
{
    int32_t clock = TIMER_syncclock();
    if (clock == ATOMIC_load(&lastrun))
        return 0;
    if (!THREAD_iscurrent(nullptr)) {
        ALERT_raiseat(MODULE_FILE, 230,
                      "SYNCTASK_run - DO NOT, REPEAT NOT, CALL THIS FROM THREADS OTHER THAN THE MAIN ONE!\n");
        return 0;
    }
    ATOMIC_store(&lastrun, clock);
    int32_t result = 0;
    for (SYNCTASK& task : SYNCTASKlist) {
        SYNCTASKROUTINE routine = ATOMIC_load(&task.routine);
        if (!routine || ATOMIC_load(&task.busy))
            continue;
        int32_t now = TIMER_syncclock();
        int32_t due = ATOMIC_load(&task.due);
        if (clockdiff(now, due) < 0)
            continue;
        ATOMIC_store(&task.busy, 1u);
        result |= routine(arg, clockdiff(now, due));
        // A routine that removed itself may have had its entry taken by
        // another routine meanwhile; that one keeps the due time it was given.
        if (ATOMIC_load(&task.routine) == routine)
            ATOMIC_store(&task.due, clockadd(TIMER_syncclock(), ATOMIC_load(&task.interval)));
        ATOMIC_store(&task.busy, 0u);
    }
    return result;
}

int32_t SYNCTASK_wait(int32_t ticks)
{
    int32_t end = clockadd(TIMER_ticks(), ticks);
    int32_t result = 0;
    while (result == 0) {
        int32_t left = clockdiff(end, TIMER_ticks());
        if (left <= 0)
            break;
        if (ATOMIC_peek(&TIMERfrequency) == 0) {
            THREAD_sleepticks(left);  // at 100 ticks per second while stopped
            break;
        }
        result = SYNCTASK_run(0);
    }
    return result;
}
