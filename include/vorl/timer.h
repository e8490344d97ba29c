/* The tick timer over the platform's multimedia timer, and the secondary
 * timer that runs registered routines once per tick.
 *
 * The timer re-arms a one-shot multimedia event on every tick at an absolute
 * due time kept in 16.16 fixed-point milliseconds, so ticks do not drift; each
 * tick wakes a high-priority timer thread that advances the tick count and the
 * sync clock. While the timer is stopped TIMERfrequency is 0, the counters do
 * not move, and tick conversions elsewhere use 100 ticks per second.
 *
 * The waiting operations (TIMER_waitticks, TIMER_waitdeadline) are for the
 * main thread: while the timer runs they spin on SYNCTASK_run, which runs the
 * sync tasks once per tick. While the timer is stopped the tick count never
 * moves, so instead of spinning for ever they sleep for the time the ticks
 * still to go would last at 100 ticks per second and then return as
 * described at each of them; if the timer stops during a wait, the wait goes
 * on in the same way from that moment. While the timer is held the tick count
 * does not move either and the waits go on spinning until it is released. */
#ifndef VORL_TIMER_H
#define VORL_TIMER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Ticks per second while the timer runs; 0 while it is stopped. */
extern int32_t TIMERfrequency;

/* Slots in the per-tick table and in the secondary timer's table. */
#define TIMER_MAXROUTINES 8
/* Frequency used when TIMER_init is given 0 or a bad value. */
#define TIMER_DEFAULTFREQUENCY 100

typedef void (*TIMERROUTINE)(void);

/* Starts (or restarts) the timer; 0 means 100 ticks per second. Accepted are
 * 1 to 1000; 0 and values outside 1..10000 give 100 (the latter with the
 * bad-frequency alert); 1001 to 10000 leave the timer stopped with an alert. */
void TIMER_init(int32_t frequency);
/* Stops the timer and waits until its thread has ended; also an exit callback. */
void TIMER_stop(void);
/* While held (count above 0) ticks do not reach the timer thread: the tick
 * count and the sync clock stand still, though the schedule goes on. */
void TIMER_hold(void);
void TIMER_release(void);

/* The tick count: +1 per tick, cleared by TIMER_init and TIMER_reset. */
int32_t TIMER_ticks(void);
/* Ticks since the previous TIMER_elapsed (or TIMER_reset). */
int32_t TIMER_elapsed(void);
/* Clears the tick count, the elapsed mark and the deadline; returns 0. */
int32_t TIMER_reset(void);
/* Sets the tick count to ticks and returns the previous count, for programs
 * that carry a clock across a restart; the counting goes on from there. */
int32_t TIMER_setticks(int32_t ticks);
/* The sync clock: +1 per tick, never cleared. Sync tasks run against it. */
int32_t TIMER_syncclock(void);

/* Deadline = tick count + ticks; returns it. */
int32_t TIMER_setdeadline(int32_t ticks);
/* 1 when the tick count has reached the deadline (wrap-around safe), else 0. */
int32_t TIMER_deadlinepassed(void);
/* Runs sync tasks until the deadline has passed and returns 1. With the timer
 * stopped: sleeps for the ticks still to go at 100 per second and returns 0,
 * since the tick count did not reach the deadline. */
int32_t TIMER_waitdeadline(void);
/* Runs sync tasks until ticks have passed; returns by how many ticks the end
 * was overshot (0 or more). With the timer stopped: sleeps for the ticks still
 * to go at 100 per second and returns 0. */
int32_t TIMER_waitticks(int32_t ticks);

/* Milliseconds per tick in 16.16 fixed point (65536000 / frequency), as set
 * by the last TIMER_init that got that far; 0 before. */
int32_t TIMER_period(void);
/* The GetTickCount millisecond time at which the next tick is due. */
uint32_t TIMER_nextdue(void);
/* The schedule's step, as the multimedia callback takes it on every tick:
 * adds period plus the carried fraction to due (in 16.16 milliseconds),
 * stores the new fraction (low 16 bits) and returns the new due time. A null
 * fraction counts as none carried, and the new one is not kept. */
uint32_t TIMER_stepdue(uint32_t due, uint32_t* fraction, int32_t period);

/* The per-tick table: up to 8 routines that the timer thread calls, in
 * order, on every tick. Add returns 1 (also when already there) or 0 when the
 * table is full; remove returns 1 when the routine was there. Routines must
 * be quick: they delay the counting of the next tick. */
int32_t TIMER_addroutine(TIMERROUTINE routine);
int32_t TIMER_removeroutine(TIMERROUTINE routine);

/* The secondary timer: a thread of its own that runs up to 8 routines once
 * per tick of the running timer. wininittimer starts it (a second start
 * while it runs changes nothing); LOWTIMER_add starts
 * it when needed and ignores a routine already there or a full table;
 * LOWTIMER_remove stops it when the last routine goes; LOWTIMER_shutdown
 * stops it (also an exit callback); LOWTIMER_signal wakes its thread (the
 * timer does so on every tick). A routine may remove itself, even as the last
 * one: the thread then ends after the pass. */
void wininittimer(void);
void LOWTIMER_add(TIMERROUTINE routine);
void LOWTIMER_remove(TIMERROUTINE routine);
void LOWTIMER_shutdown(void);
void LOWTIMER_signal(void);
/* 1 while the secondary thread is started, else 0. */
int32_t LOWTIMER_isrunning(void);

#ifdef __cplusplus
}
#endif

#endif
