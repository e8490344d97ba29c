/* Recursive, owner-aware mutexes from a pool in page memory, and the
 * exit-callback service through which modules register their shutdowns. */
#ifndef VORL_MUTEX_H
#define VORL_MUTEX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MUTEX MUTEX;

/* The count of a record that is back in the pool: "FREE". */
#define MUTEX_FREEMARKER 0x46524545u

MUTEX* MUTEX_alloc(void);
void MUTEX_lock(MUTEX* mutex);
void MUTEX_unlock(MUTEX* mutex);
/* Returns the record to the pool. Null is ignored; a record that is not an
 * allocated one of the pool (already released, or never from the pool) gets
 * the "FREEING AN UNALLOCATED MUTEX" alert and is left alone. */
void MUTEX_free(MUTEX* mutex);

/* Current holder's thread id (0 when unheld) and lock count, for
 * diagnostics and tests; both 0 for a null mutex. */
uint32_t MUTEX_owner(const MUTEX* mutex);
uint32_t MUTEX_count(const MUTEX* mutex);

/* Registers routine to run at normal process exit, last registered first.
 * 0 on success, -1 when the runtime refuses. */
int32_t SYS_atexit(void (*routine)(void));

#ifdef __cplusplus
}
#endif

#endif
