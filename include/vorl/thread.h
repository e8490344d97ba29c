/* Threads and waitable events. The registry THREADitemlist records the
 * threads the library created, so that each is found by index and a key
 * that is never reused, its handle is closed exactly once, and threads still
 * running at process end are reported. Wherever a THREAD pointer is taken,
 * null stands for the main thread and THREAD_CURRENT for the calling thread. */
#ifndef VORL_THREAD_H
#define VORL_THREAD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct THREAD {
    void* handle;       /* platform thread handle, set at registration */
    uint32_t stacksize; /* as requested; 0 is the platform default */
    int32_t priority;   /* library level as requested */
    uint32_t reserved;  /* set to 0 at creation */
    uint32_t id;        /* platform thread id */
    uint32_t key;       /* registry key */
    int32_t index;      /* registry entry */
} THREAD;

/* One registry entry: three 32-bit words; key 0 marks a free entry. */
typedef struct THREADITEM {
    uint32_t key;
    uint32_t handle;
    uint32_t id;
} THREADITEM;

#define THREAD_CURRENT ((THREAD*)(intptr_t)-1)

/* Library priority levels. */
#define THREAD_IDLE (-3)
#define THREAD_LOWEST (-2)
#define THREAD_BELOWNORMAL (-1)
#define THREAD_NORMAL 0
#define THREAD_ABOVENORMAL 1
#define THREAD_HIGHEST 2
#define THREAD_TIMECRITICAL 3

typedef void (*THREADROUTINE)(void);
typedef void (*THREADPARAMROUTINE)(uint32_t param);

extern THREADITEM* THREADitemlist;
/* Set by a graphics layer while it holds its display surface; never set here. */
extern int32_t THREADsurfacelocked;

/* The first call (direct, or through mutex creation and the other THREAD_
 * calls) must come from the main thread before any other thread uses the
 * library: it takes no lock, and its caller becomes the main thread. */
void THREAD_init(int32_t capacity);
void THREAD_shutdown(void);
void THREAD_restore(void);
/* Number of registry entries (0 before initialisation). */
int32_t THREAD_capacity(void);

/* A null routine, or a record that is null or THREAD_CURRENT, raises an
 * alert ("THREAD_create - NO ROUTINE.\n", "... - NO THREAD RECORD.\n", named
 * after the call) and creates nothing: the result is null. */
void* THREAD_createparam(THREADPARAMROUTINE routine, uint32_t param, uint32_t stacksize, int32_t priority,
                         int32_t reserved, THREAD* thread);
void* THREAD_create(THREADROUTINE routine, uint32_t stacksize, int32_t priority, int32_t reserved, THREAD* thread);
/* A thread leaves the registry before it prints its exit message and ends,
 * so THREAD_wait may return while it still runs library code. An owner that
 * then frees what the thread used, or lets the process end, creates it with
 * THREAD_createheld: *held receives a handle of the owner's own (null if none
 * could be made), and THREAD_join waits until the thread has ended for good
 * and closes it. Called on that thread itself, THREAD_join only closes the
 * handle: a thread cannot wait for its own end. Without a held handle it
 * falls back to THREAD_wait on the record (while the registry exists, and
 * never on the calling thread); null waits for the main thread. held may be
 * null when no handle is wanted. */
void* THREAD_createheld(THREADPARAMROUTINE routine, uint32_t param, uint32_t stacksize, int32_t priority,
                        THREAD* thread, void** held);
void THREAD_join(const THREAD* thread, void* held);
/* Terminates the record's thread while it is registered; once it has left,
 * nothing happens (the record's handle may by then name another thread).
 * THREAD_CURRENT ends the calling thread, which leaves the registry first. */
void THREAD_remove(THREAD* thread);
void THREAD_exit(void);

int32_t THREAD_iscurrent(const THREAD* thread);
void* THREAD_gethandle(const THREAD* thread);
uint32_t THREAD_getid(const THREAD* thread);
/* A record's thread is reached through the registry: once it has left, its
 * level reads 0 and setting one changes nothing. */
int32_t THREAD_getpriority(const THREAD* thread);
void THREAD_setpriority(const THREAD* thread, int32_t level);
/* The record's entry, or null once its thread has left. The main thread
 * (null) has none; THREAD_CURRENT finds the calling thread's. */
THREADITEM* THREAD_finditem(const THREAD* thread);
/* 1 once the record's thread has left the registry; for the main thread,
 * once it has ended; 0 for THREAD_CURRENT. */
int32_t THREAD_isdone(const THREAD* thread);
/* Waits on a handle of its own, never on the record's copy, which is closed
 * when the thread leaves. Null waits for the main thread; a thread waiting
 * for itself (the main thread with null, or THREAD_CURRENT) waits the ticks
 * (0: not at all) and gets 0. */
int32_t THREAD_wait(const THREAD* thread, int32_t ticks);
void THREAD_forget(uint32_t id);

void THREAD_sleep(uint32_t milliseconds);
void THREAD_sleepticks(int32_t ticks);
/* ticks * 1000 / frequency, with 100 ticks per second while no timer runs. */
int32_t THREAD_tickstoms(int32_t ticks);

void* EVENT_create(void);
int32_t EVENT_set(void* event);
void* EVENT_waitany(int32_t count, void* const* handles, uint32_t milliseconds);
void* EVENT_waitanyforever(int32_t count, void* const* handles);
void* EVENT_wait(void* event);
int32_t EVENT_poll(void* event);
int32_t EVENT_waitticks(void* event, int32_t ticks);
int32_t EVENT_close(void* event);

void* SIGNAL_create(void);
int32_t SIGNAL_set(void* signal);
int32_t SIGNAL_reset(void* signal);
int32_t SIGNAL_pulse(void* signal);
void* SIGNAL_wait(void* signal);
int32_t SIGNAL_setclose(void* signal);

uint32_t SYS_getlasterror(void);
void SYS_setlasterror(uint32_t code);

#ifdef __cplusplus
}
#endif

#endif
