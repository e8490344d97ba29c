// The handle table of our POSIX platform: every HANDLE that the platform
// gives out (events, threads, files, file mappings, searches) is a small
// non-zero value naming a slot that holds a reference to a kernel object.
// DuplicateHandle makes a second slot for the same object; CloseHandle empties
// a slot, and an object goes when its last reference goes.
//
// Waitable objects (events and threads) keep their state under one
// process-wide wait lock, so that a wait for any of several objects sees a
// consistent picture and never misses a wake-up; each blocked thread sleeps
// on a condition of its own.
#ifndef VORL_PWHANDLE_H
#define VORL_PWHANDLE_H

#include <pthread.h>
#include <time.h>

#include <atomic>

#include "pwbase.h"

// The pseudo handles of the calling process and thread, as Windows has them.
#define PW_CURRENTPROCESS ((HANDLE)(intptr_t)-1)
#define PW_CURRENTTHREAD ((HANDLE)(intptr_t)-2)

enum PW_KIND { PW_NONE = 0, PW_EVENT = 1, PW_THREAD = 2, PW_FILE = 3, PW_MAPPING = 4, PW_FIND = 5 };

struct PW_OBJECT {
    PW_KIND kind;
    std::atomic<int> refs;               // taken under the handle table's lock, dropped without it
    void (*destroy)(PW_OBJECT* object);  // called once, when refs reach 0
};

// Puts object (with one reference already counted by the caller) into a free
// slot. Returns the handle, or null with ERROR_NOT_ENOUGH_MEMORY when the
// table is full; the reference then stays with the caller.
HANDLE PW_newhandle(PW_OBJECT* object);
// Looks a handle up and takes a reference to its object; kind PW_NONE
// accepts any kind. Null with ERROR_INVALID_HANDLE when the handle is not
// open or is of another kind.
PW_OBJECT* PW_gethandle(HANDLE handle, PW_KIND kind);
// Takes one more reference / drops one (destroying the object at 0).
void PW_addref(PW_OBJECT* object);
void PW_release(PW_OBJECT* object);

// The process-wide wait lock, for waitable objects.
void PW_waitlock(void);
void PW_waitunlock(void);
// Makes a condition for waits under the wait lock, timed on CLOCK_MONOTONIC.
void PW_initcondition(pthread_cond_t* condition);
// Waits on condition (wait lock held) until woken or until the deadline on
// CLOCK_MONOTONIC has passed (null: no deadline). Returns 0 when woken (or
// spuriously), ETIMEDOUT after the deadline. A cancellation point: cancelled
// threads leave it holding the lock.
int PW_waitcondition(pthread_cond_t* condition, const struct timespec* deadline);

// The calling thread's thread object, with one reference taken for the
// caller; made on demand for threads that CreateThread did not start (the
// main thread among them).
PW_OBJECT* PW_currentthread(void);

#endif
