// The tick timer. A one-shot multimedia timer event is re-armed on every tick
// at an absolute due time kept in 16.16 fixed-point milliseconds, so that the
// average period is exactly 1000 / frequency ms and ticks do not drift. Each
// tick wakes the timer thread (priority 2), which advances the tick count and
// the sync clock and calls the per-tick routines.
//
// The state is shared by the multimedia callback (a platform thread), the
// timer thread and the callers, so every word is atomic. Each start of the
// timer gets a new generation number, carried by its thread and by its
// multimedia events: a callback or a thread of an earlier start that is still
// under way when the timer restarts sees the mismatch and does nothing.
#include <atomic>
#include <mutex>

#include "cmn/atomics.h"
#include "platform/vplatform.h"
#include "vorl/alert.h"
#include "vorl/mutex.h"
#include "vorl/synctask.h"
#include "vorl/thread.h"
#include "vorl/timer.h"

static const char MODULE_FILE[] = "pc/inittmr";

int32_t TIMERfrequency = 0;

static std::atomic<int32_t> running{0};
static std::atomic<int32_t> period{0};
static std::atomic<uint32_t> fraction{0};
static std::atomic<uint32_t> nextdue{0};
static std::atomic<uint32_t> resolution{0};
static std::atomic<uint32_t> eventid{0};
static std::atomic<uint32_t> holdcount{0};
// Ticks given to the timer thread and not yet counted by it.
static std::atomic<uint32_t> pendingticks{0};
static std::atomic<void*> timerevent{nullptr};
static THREAD timerthread;
static std::atomic<void*> timerheld{nullptr};  // for THREAD_join
static std::atomic<int32_t> threadsalive{0};
static std::atomic<uint32_t> generation{0};
static std::atomic<int32_t> tickcount{0};
static std::atomic<int32_t> syncclock{0};
static std::atomic<TIMERROUTINE> tickroutines[TIMER_MAXROUTINES];
static std::mutex tickroutinelock;
static std::atomic<int32_t> elapsedmark{0};
static std::atomic<int32_t> deadline{0};

static int32_t clockdiff(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

static int32_t clockadd(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

static void setfrequency(int32_t frequency)
{
    ATOMIC_poke(&TIMERfrequency, frequency);
    running.store(frequency);
}

static void alert(int32_t line, const char* format, int32_t value = 0)
{
    ALERT_raiseat(MODULE_FILE, line, format, static_cast<int>(value));
}

static void CALLBACK timercallback(UINT id, UINT message, DWORD_PTR user, DWORD_PTR unused1, DWORD_PTR unused2)
{
    if (static_cast<uint32_t>(user) != generation.load())
        return;
    uint32_t carried = fraction.load();
    uint32_t due = TIMER_stepdue(nextdue.load(), &carried, period.load());
    fraction.store(carried);
    nextdue.store(due);
    if (running.load()) {
        int32_t delay = static_cast<int32_t>(due - GetTickCount() - 1);
        if (delay < 1) {
            // Late ticks are caught up 1 ms apart; more than a second behind,
            // the schedule starts afresh from now.
            if (delay < -1000)
                nextdue.store(GetTickCount() + 1);
            delay = 1;
        }
        UINT armed = timeSetEvent(static_cast<UINT>(delay), resolution.load(), timercallback, user, TIME_ONESHOT);
        eventid.store(armed);
        if (!armed && running.exchange(0)) {
            ATOMIC_poke(&TIMERfrequency, 0);
            timeEndPeriod(resolution.load());
        }
    }
    void* event = timerevent.load();
    if (event && holdcount.load() == 0) {
        pendingticks.fetch_add(1);
        EVENT_set(event);
    }
    LOWTIMER_signal();
}

static void timerthreadmain(uint32_t mygeneration)
{
    void* event = EVENT_create();
    timerevent.store(event);
    if (event) {
        EVENT_wait(event);
        while (running.load() && generation.load() == mygeneration) {
            // The event holds one wake-up however often it was set: when the
            // thread was kept from running, it counts every tick given since.
            for (uint32_t due = pendingticks.exchange(0); due > 0; due--) {
                tickcount.fetch_add(1);
                syncclock.fetch_add(1);
                for (std::atomic<TIMERROUTINE>& slot : tickroutines)
                    if (TIMERROUTINE routine = slot.load())
                        routine();
            }
            EVENT_wait(event);
        }
    }
    // Whoever stopped the timer has already set TIMERfrequency to 0; writing
    // it here could undo a restart made meanwhile.
    void* mine = event;
    timerevent.compare_exchange_strong(mine, nullptr);
    if (event)
        EVENT_close(event);
    threadsalive.fetch_sub(1);
}

// Kills the pending event. A callback under way may arm one more before it
// sees the timer stopped, so kill again until the id stays put.
static void killpending(void)
{
    for (;;) {
        uint32_t id = eventid.load();
        if (!id)
            return;
        timeKillEvent(id);
        if (eventid.load() == id)
            return;
    }
}

// Wakes the timer thread until it has ended for good. A per-tick routine
// that stops the timer runs on that thread: it then ends once the routine
// has returned, and the next start or stop from elsewhere joins it.
static void endtimerthread(void)
{
    if (threadsalive.load() > 0 && THREAD_iscurrent(&timerthread))
        return;
    while (threadsalive.load() > 0) {
        if (void* event = timerevent.load())
            EVENT_set(event);
        THREAD_sleep(1);
    }
    // Until it has ended for good: after leaving the registry it still
    // prints its exit message.
    THREAD_join(&timerthread, timerheld.exchange(nullptr));
}

void TIMER_init(int32_t frequency)
{
    TIMER_stop();
    if (frequency == 0) {
        frequency = TIMER_DEFAULTFREQUENCY;
    } else if (frequency < 1 || frequency > 10000) {
        alert(262, "TIMER_init - BAD TIMER FREQUENCY SPECIFIED %d\n", frequency);
        frequency = TIMER_DEFAULTFREQUENCY;
    }
    fraction.store(0);
    period.store(65536000 / frequency);
    tickcount.store(0);
    pendingticks.store(0);

    TIMECAPS caps;
    if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) {
        alert(276, "TIMER_init - MULTIMEDIA TIMER NOT FOUND.\n");
        setfrequency(0);
        return;
    }
    resolution.store(1);
    if (period.load() < 65536) {
        alert(290, "TIMER_init - MULTIMEDIA TIMER CANNOT SUPPORT THIS FREQUENCY.\n");
        setfrequency(0);
        return;
    }

    uint32_t mygeneration = generation.fetch_add(1) + 1;
    threadsalive.fetch_add(1);
    // Left by a stop from the timer's own thread, which cannot wait for itself.
    THREAD_join(&timerthread, timerheld.exchange(nullptr));
    void* held = nullptr;
    void* created = THREAD_createheld(timerthreadmain, mygeneration, 0, THREAD_HIGHEST, &timerthread, &held);
    timerheld.store(held);
    if (!created) {
        threadsalive.fetch_sub(1);
        alert(299, "TIMER_init - FAILED TO CREATE TIMER THREAD.\n");
        setfrequency(0);
        return;
    }
    if (timeBeginPeriod(resolution.load()) != TIMERR_NOERROR) {
        setfrequency(0);
        endtimerthread();
        alert(308, "TIMER_init - FAILED TO INITIALIZE MULTIMEDIA TIMER.\n");
        return;
    }
    SYS_atexit(TIMER_stop);
    setfrequency(frequency);

    if (eventid.load() == 0) {
        // Arms the first event without counting a tick.
        uint32_t saved = holdcount.exchange(1);
        nextdue.store(GetTickCount());
        timercallback(0, 0, mygeneration, 0, 0);
        holdcount.store(saved);
    }

    // Wait for the first tick: five times the frequency in milliseconds, as
    // always, but never less than five periods, so that slow frequencies
    // (below 32 per second) get the time their first tick needs.
    int32_t first = tickcount.load();
    int32_t patience = 5 * frequency;
    if (5000 / frequency > patience)
        patience = 5000 / frequency;
    uint32_t until = GetTickCount() + static_cast<uint32_t>(patience);
    while (static_cast<int32_t>(GetTickCount() - until) < 0 && tickcount.load() == first)
        THREAD_sleep(1);
    if (tickcount.load() == first)
        TIMER_stop();
    if (ATOMIC_peek(&TIMERfrequency) == 0)
        alert(343, "TIMER_init - FAILED TO INITIALIZE WINDOWS MULTIMEDIA TIMER, TRY RE-RUNNING.\n");
}

void TIMER_stop(void)
{
    // Clearing running first keeps a callback already under way from
    // re-arming; whoever clears it gives the resolution back.
    if (running.exchange(0)) {
        ATOMIC_poke(&TIMERfrequency, 0);
        killpending();
        timeEndPeriod(resolution.load());
    }
    killpending();
    endtimerthread();
    fraction.store(0);
    holdcount.store(0);
    resolution.store(0);
    eventid.store(0);
}

void TIMER_hold(void) { holdcount.fetch_add(1); }

void TIMER_release(void)
{
    uint32_t count = holdcount.load();
    while (count > 0 && !holdcount.compare_exchange_weak(count, count - 1)) {
    }
}

int32_t TIMER_ticks(void) { return tickcount.load(); }

int32_t TIMER_elapsed(void)
{
    int32_t now = tickcount.load();
    return clockdiff(now, elapsedmark.exchange(now));
}

int32_t TIMER_reset(void)
{
    tickcount.store(0);
    elapsedmark.store(0);
    deadline.store(0);
    return 0;
}

int32_t TIMER_setticks(int32_t ticks) { return tickcount.exchange(ticks); }

int32_t TIMER_syncclock(void) { return syncclock.load(); }

int32_t TIMER_setdeadline(int32_t ticks)
{
    int32_t when = clockadd(tickcount.load(), ticks);
    deadline.store(when);
    return when;
}

int32_t TIMER_deadlinepassed(void) { return clockdiff(tickcount.load(), deadline.load()) >= 0 ? 1 : 0; }

int32_t TIMER_waitdeadline(void)
{
    while (!TIMER_deadlinepassed()) {
        if (!running.load()) {
            THREAD_sleepticks(clockdiff(deadline.load(), tickcount.load()));  // at 100 per second while stopped
            return 0;
        }
        SYNCTASK_run(0);
    }
    return 1;
}

int32_t TIMER_waitticks(int32_t ticks)
{
    int32_t end = clockadd(tickcount.load(), ticks);
    while (clockdiff(tickcount.load(), end) < 0) {
        if (!running.load()) {
            THREAD_sleepticks(clockdiff(end, tickcount.load()));
            return 0;
        }
        SYNCTASK_run(0);
    }
    return clockdiff(tickcount.load(), end);
}

int32_t TIMER_period(void) { return period.load(); }

uint32_t TIMER_nextdue(void) { return nextdue.load(); }

uint32_t TIMER_stepdue(uint32_t due, uint32_t* carried, int32_t step)
{
    uint32_t none = 0;
    if (!carried)
        carried = &none;  // nothing carried in, nothing kept
    int32_t sum = step + static_cast<int32_t>(*carried & 0xFFFFu);
    *carried = static_cast<uint32_t>(sum) & 0xFFFFu;
    return due + static_cast<uint32_t>(sum >> 16);
}

int32_t TIMER_addroutine(TIMERROUTINE routine)
{
    if (!routine)
        return 0;
    std::lock_guard<std::mutex> hold(tickroutinelock);
    std::atomic<TIMERROUTINE>* free = nullptr;
    for (std::atomic<TIMERROUTINE>& slot : tickroutines) {
        TIMERROUTINE current = slot.load();
        if (current == routine)
            return 1;
        if (!current && !free)
            free = &slot;
    }
    if (!free)
        return 0;
    free->store(routine);
    return 1;
}

int32_t TIMER_removeroutine(TIMERROUTINE routine)
{
    if (!routine)
        return 0;
    std::lock_guard<std::mutex> hold(tickroutinelock);
    for (std::atomic<TIMERROUTINE>& slot : tickroutines)
        if (slot.load() == routine) {
            slot.store(nullptr);
            return 1;
        }
    return 0;
}
