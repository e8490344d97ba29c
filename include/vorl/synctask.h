/* Sync tasks: periodic routines that must run on the main thread. A module
 * registers a routine with an interval and a first delay in ticks of the sync
 * clock (TIMER_syncclock, advanced once per timer tick); the main thread runs
 * the due routines whenever it calls SYNCTASK_run, which the library's waiting
 * loops do on every turn. While the timer is stopped the sync clock stands
 * still and SYNCTASK_run returns 0 at once. */
#ifndef VORL_SYNCTASK_H
#define VORL_SYNCTASK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SYNCTASK_MAX 16

/* A task: arg is SYNCTASK_run's argument, lateness the ticks by which the
 * run comes after the due time. The results of one pass are ORed together. */
typedef int32_t (*SYNCTASKROUTINE)(int32_t arg, int32_t lateness);

typedef struct SYNCTASK {
    SYNCTASKROUTINE routine; /* null marks a free entry */
    int32_t interval;        /* ticks from one run to the next */
    int32_t due;             /* sync-clock time of the next run */
    uint32_t busy;           /* 1 while the routine runs */
} SYNCTASK;

/* The task table (read it for diagnostics; change it only through the
 * operations below). */
extern SYNCTASK SYNCTASKlist[SYNCTASK_MAX];

/* Registers routine, or updates its entry, to run delay ticks from now and
 * then every interval ticks. Any thread may call it; additions from several
 * threads at once each get an entry of their own. A 17th distinct routine
 * raises "SYNCTASK_add - LIST FULL\n" and is not registered. */
void SYNCTASK_add(SYNCTASKROUTINE routine, int32_t interval, int32_t delay);
/* Frees the first entry holding routine; nothing when there is none. */
void SYNCTASK_remove(SYNCTASKROUTINE routine);
/* Main thread only. Runs each due routine that is not already running, at
 * most one pass per tick, and returns the OR of their results (0 when none
 * ran). A late routine runs once and its next due time counts from the end
 * of its run. */
int32_t SYNCTASK_run(int32_t arg);
/* Runs SYNCTASK_run (0) for up to ticks timer ticks and returns its first
 * non-zero result, or 0 when the time ran out. With the timer stopped no
 * task can come due, so it sleeps for the ticks as they would last at 100
 * ticks per second and returns 0 (it also switches to that when the timer
 * stops during the wait). */
int32_t SYNCTASK_wait(int32_t ticks);

#ifdef __cplusplus
}
#endif

#endif
