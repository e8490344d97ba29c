/* Intrusive, thread-safe queues. A QUEUE links caller-owned elements through
 * their first word (a pointer-sized link, null in the back element) and never
 * allocates, copies or frees them. It serves as a FIFO, a LIFO, a double-ended
 * queue or a priority queue: QUEUE_insert keeps elements in ascending order of
 * an unsigned 32-bit priority (smallest at the front; among equal priorities
 * the newest goes first). Each queue is guarded by a MUTEX, its own or a peer
 * queue's, so that an element can move between peers under one lock.
 *
 * A zero-filled QUEUE is uninitialised; every operation except QUEUE_lock and
 * QUEUE_unlock raises "<operation> - UNINITIALIZED QUEUE %08x USED.\n" on one
 * and, when the alert returns, goes on without a lock and with the default
 * priority routine. A null QUEUE pointer raises the same alert with address
 * 00000000 (QUEUE_lock and QUEUE_unlock: the mutex's null alerts); when it
 * returns, the operation touches nothing and gives its empty result (null,
 * 0, -1 for QUEUE_position and the iterations, 0xFFFFFFFF for priorities).
 * Every operation that takes an element out sets its link to null. */
#ifndef VORL_QUEUE_H
#define VORL_QUEUE_H

#include <stdint.h>

#include "vorl/mutex.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Set by every operation that changes the queue, and by QUEUE_iterate to end a walk. */
#define QF_CHANGED 0x1u
/* The queue created its mutex; QUEUE_free releases it. */
#define QF_OWNMUTEX 0x2u

/* Gives an element's priority; context is the queue's context. */
typedef uint32_t (*QUEUEPRIORITY)(void* element, intptr_t context);
/* Find and fetch tests: non-zero picks the element. */
typedef int32_t (*QUEUETEST)(void* element, intptr_t context);
/* QUEUE_iterate's routine: 0 ends the walk, anything else goes on. */
typedef int32_t (*QUEUEROUTINE)(void* element, intptr_t context);
/* QUEUE_sort's comparison: below 0 when a belongs before b. */
typedef int32_t (*QUEUECOMPARE)(void* a, void* b);

typedef struct QUEUE {
    uint32_t count;
    uint32_t flags;
    void* head;
    void* tail;
    QUEUEPRIORITY priority;
    intptr_t context;
    MUTEX* mutex; /* null: not initialised */
} QUEUE;

/* The priority used when none is given: the element's own address (its low
 * 32 bits; QUEUE_insert compares whole addresses when this routine is in use,
 * so address order holds on 64-bit systems too). */
uint32_t QUEUE_defaultpriority(void* element, intptr_t context);

void QUEUE_init(QUEUE* queue, QUEUEPRIORITY priority, intptr_t context);
/* As QUEUE_init, but shares the peer's mutex. A peer must be freed no later
 * than the queue that owns the mutex. */
void QUEUE_initpeer(QUEUE* queue, QUEUEPRIORITY priority, intptr_t context, QUEUE* peer);
/* Back to uninitialised; releases the mutex only if the queue created it.
 * Elements still queued are left alone. Does not lock. */
void QUEUE_free(QUEUE* queue);

void QUEUE_push(QUEUE* queue, void* element);
void QUEUE_bottom(QUEUE* queue, void* element);
void* QUEUE_pop(QUEUE* queue);
void* QUEUE_popbottom(QUEUE* queue);
void QUEUE_insert(QUEUE* queue, void* element);
int32_t QUEUE_remove(QUEUE* queue, void* element);

/* The count, read without locking. */
int32_t QUEUE_length(QUEUE* queue);
/* Zero-based index from the front; -1 when absent or null. */
int32_t QUEUE_position(QUEUE* queue, void* element);
/* Priority of the front element; 0xFFFFFFFF when empty. */
uint32_t QUEUE_getlowestpriority(QUEUE* queue);
/* Priority of the back element; 0xFFFFFFFF when empty. In a queue kept by
 * QUEUE_insert that is the highest priority value, so the two operations
 * bound the queue's range (the front is the most urgent, the back the least).
 * A queue built otherwise reports its back element, as the lowest reports
 * its front. */
uint32_t QUEUE_gethighestpriority(QUEUE* queue);

void* QUEUE_find(QUEUE* queue, QUEUETEST test, intptr_t context);
void* QUEUE_findindex(QUEUE* queue, uint32_t index);
void* QUEUE_findpriority(QUEUE* queue, uint32_t priority);
void* QUEUE_fetch(QUEUE* queue, QUEUETEST test, intptr_t context);
void* QUEUE_fetchindex(QUEUE* queue, uint32_t index);
/* Takes out the element n + 1 links after element (n = 0: its successor).
 * element must be in this queue; a null element gives null. */
void* QUEUE_fetchnext(QUEUE* queue, void* element, uint32_t n);
void* QUEUE_fetchpriority(QUEUE* queue, uint32_t priority);

/* Calls routine for each element from the front while the queue stays
 * unchanged, without holding the mutex during the calls. -1: every element
 * was visited and nothing changed; n: the walk stopped after the n-th call
 * (the routine returned 0, or the queue changed). Another thread may take an
 * element out between the check and the call, so a queue whose elements are
 * released by other threads should be walked with QUEUE_safeiterate. */
int32_t QUEUE_iterate(QUEUE* queue, QUEUEROUTINE routine, intptr_t context);
/* QUEUE_iterate while holding the mutex for the whole walk. */
int32_t QUEUE_safeiterate(QUEUE* queue, QUEUEROUTINE routine, intptr_t context);
/* Stable selection sort by compare; quadratic, for short queues. */
void QUEUE_sort(QUEUE* queue, QUEUECOMPARE compare);

/* Hold the queue's mutex across several operations; the token is ignored. */
int32_t QUEUE_lock(QUEUE* queue);
void QUEUE_unlock(QUEUE* queue, int32_t token);

#ifdef __cplusplus
}
#endif

#endif
