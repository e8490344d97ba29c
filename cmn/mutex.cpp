// Recursive mutexes that know their owner and lock count, so that misuse (a
// null or released mutex, an unlock by a thread that does not hold it, the
// release of a held mutex) is caught by an alert. Records come from a pool of
// their own in page memory, so that every module can create mutexes before
// and beside the heap; released records are reused last-in, first-out.
// Taking a free mutex and leaving it cost one atomic exchange each; a thread
// that finds it held spins briefly, then sleeps until the holder leaves.
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

#include "cmn/atomics.h"
#include "pc/sysplat.h"
#include "vorl/alert.h"
#include "vorl/pagemem.h"
#include "vorl/mutex.h"
#include "vorl/thread.h"

static const char MODULE_FILE[] = "cmn/mutex";

// The lock word: free, held, or held with threads asleep that the holder
// wakes when it leaves.
enum : uint32_t { MUTEX_UNHELD = 0, MUTEX_HELD = 1, MUTEX_WAITED = 2 };

struct MUTEX {
    std::atomic<uint32_t> state;
    // Outstanding locks, changed only by the holder; MUTEX_FREEMARKER while
    // pooled.
    std::atomic<uint32_t> count;
    // Holder's thread id, 0 when unheld; the next free record while pooled.
    std::atomic<uintptr_t> owner;
    // Where threads that find the mutex held sleep; used only then.
    std::mutex parking;
    std::condition_variable woken;
};

// One page run of pool records.
struct MUTEXRUN {
    MUTEX* first;
    int32_t records;
};

static MUTEX* freelist = nullptr;
static int32_t growthstep = 32;
// Every run the pool has made, so that MUTEX_free can tell its records from
// other memory; kept in page memory of its own, which doubles when full.
static MUTEXRUN* runs = nullptr;
static int32_t runcount = 0;
static int32_t runcapacity = 0;
// The pool is shared by every thread that creates or releases mutexes.
static std::mutex poollock;

// Spins on a held mutex before sleeping: long enough for a short hold on
// another core to end, far shorter than a sleep and wake-up.
static const int MUTEX_SPINS = 100;

// The calling thread's id, asked of the system once per thread.
static thread_local uint32_t selfid = 0;

static inline uint32_t self(void)
{
    uint32_t id = selfid;
    if (id == 0)
        selfid = id = SYS_threadid();
    return id;
}

static unsigned addressof(const MUTEX* mutex) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(mutex)); }

// Takes a mutex that was held a moment ago.
static void waitfor(MUTEX* mutex)
{
    for (int spin = 0; spin < MUTEX_SPINS; spin++) {
        uint32_t unheld = MUTEX_UNHELD;
        if (mutex->state.load(std::memory_order_relaxed) == MUTEX_UNHELD &&
            mutex->state.compare_exchange_weak(unheld, MUTEX_HELD, std::memory_order_acquire))
            return;
        ATOMIC_pause();
    }
    // A thread that takes the mutex this way leaves MUTEX_WAITED behind, as
    // others may still sleep; at worst its leaving wakes nobody.
    while (mutex->state.exchange(MUTEX_WAITED, std::memory_order_acquire) != MUTEX_UNHELD) {
        std::unique_lock<std::mutex> hold(mutex->parking);
        // The holder clears the word before it takes the parking lock to
        // wake one of us, so testing the word under that lock loses no
        // wake-up.
        while (mutex->state.load(std::memory_order_relaxed) == MUTEX_WAITED)
            mutex->woken.wait(hold);
    }
}

static void wake(MUTEX* mutex)
{
    std::lock_guard<std::mutex> hold(mutex->parking);
    mutex->woken.notify_one();
}

// Makes room for one more run in the list (pool lock held).
static bool reserverun(void)
{
    if (runcount < runcapacity)
        return true;
    int32_t bytes = (runcapacity ? 2 * runcapacity : 1) * static_cast<int32_t>(sizeof(MUTEXRUN));
    auto* bigger = static_cast<MUTEXRUN*>(PAGE_alloc(&bytes));
    if (!bigger)
        return false;
    for (int32_t i = 0; i < runcount; i++)
        bigger[i] = runs[i];
    if (runs)
        PAGE_free(runs);
    runs = bigger;
    runcapacity = bytes / static_cast<int32_t>(sizeof(MUTEXRUN));
    return true;
}

// True when mutex is the start of a record in one of the pool's runs. Reads
// nothing of the record itself.
static bool inpool(const MUTEX* mutex)
{
    std::lock_guard<std::mutex> hold(poollock);
    uintptr_t at = reinterpret_cast<uintptr_t>(mutex);
    for (int32_t i = 0; i < runcount; i++) {
        uintptr_t first = reinterpret_cast<uintptr_t>(runs[i].first);
        uintptr_t offset = at - first;
        if (at >= first && offset / sizeof(MUTEX) < static_cast<uintptr_t>(runs[i].records))
            return offset % sizeof(MUTEX) == 0;
    }
    return false;
}

static void growpool(void)
{
    if (!reserverun())
        return;
    int32_t bytes = growthstep * static_cast<int32_t>(sizeof(MUTEX));
    auto* block = static_cast<MUTEX*>(PAGE_alloc(&bytes));
    if (!block)
        return;
    int32_t fitted = bytes / static_cast<int32_t>(sizeof(MUTEX));
    runs[runcount++] = {block, fitted};
    for (int32_t i = 0; i < fitted; i++) {
        new (&block[i]) MUTEX;
        block[i].state.store(MUTEX_UNHELD, std::memory_order_relaxed);
        block[i].count.store(MUTEX_FREEMARKER, std::memory_order_relaxed);
        block[i].owner.store(reinterpret_cast<uintptr_t>(freelist), std::memory_order_relaxed);
        freelist = &block[i];
    }
    growthstep = fitted;
}

MUTEX* MUTEX_alloc(void)
{
    THREAD_init(0);

    MUTEX* mutex;
    {
        std::lock_guard<std::mutex> hold(poollock);
        if (!freelist)
            growpool();
        mutex = freelist;
        if (!mutex)
            return nullptr;
        freelist = reinterpret_cast<MUTEX*>(mutex->owner.load(std::memory_order_relaxed));
    }
    mutex->state.store(MUTEX_UNHELD, std::memory_order_relaxed);
    mutex->owner.store(0, std::memory_order_relaxed);
    mutex->count.store(0, std::memory_order_release);
    return mutex;
}

void MUTEX_lock(MUTEX* mutex)
{
    if (!mutex) {
        ALERT_raise(MODULE_FILE, "MUTEX_lock - ATTEMPTING TO LOCK A NULL MUTEX.\n");
        return;
    }
    uint32_t count = mutex->count.load(std::memory_order_acquire);
    if (count == MUTEX_FREEMARKER) {
        ALERT_raise(MODULE_FILE, "MUTEX_lock - ATTEMPTING TO LOCK AN UNALLOCATED MUTEX (%08x).\n", addressof(mutex));
        return;
    }
    // Only the holder finds its own id here, and only the holder changes the
    // count, so a relock needs no atomic exchange.
    uint32_t me = self();
    if (mutex->owner.load(std::memory_order_relaxed) == me) {
        mutex->count.store(count + 1, std::memory_order_relaxed);
        return;
    }
    uint32_t unheld = MUTEX_UNHELD;
    if (!mutex->state.compare_exchange_strong(unheld, MUTEX_HELD, std::memory_order_acquire))
        waitfor(mutex);
    mutex->owner.store(me, std::memory_order_relaxed);
    mutex->count.store(1, std::memory_order_relaxed);
}

void MUTEX_unlock(MUTEX* mutex)
{
    if (!mutex) {
        ALERT_raise(MODULE_FILE, "MUTEX_unlock - ATTEMPTING TO UNLOCK A NULL MUTEX.\n");
        return;
    }
    uint32_t count = mutex->count.load(std::memory_order_acquire);
    if (count == MUTEX_FREEMARKER) {
        ALERT_raise(MODULE_FILE, "MUTEX_unlock - ATTEMPTING TO UNLOCK AN UNALLOCATED MUTEX (%08x).\n",
                    addressof(mutex));
        return;
    }
    if (mutex->owner.load(std::memory_order_relaxed) != self()) {
        ALERT_raise(MODULE_FILE, "MUTEX_unlock - UNLOCKING AN UNOWNED MUTEX (%08x).\n", addressof(mutex));
        return;  // leaving a lock this thread does not hold would break it
    }
    if (count > 1) {
        mutex->count.store(count - 1, std::memory_order_relaxed);
        return;
    }
    mutex->owner.store(0, std::memory_order_relaxed);
    mutex->count.store(0, std::memory_order_relaxed);
    if (mutex->state.exchange(MUTEX_UNHELD, std::memory_order_release) == MUTEX_WAITED)
        wake(mutex);
}

void MUTEX_free(MUTEX* mutex)
{
    if (!mutex)
        return;
    // A record from outside the pool would otherwise be handed out again.
    uint32_t count = inpool(mutex) ? mutex->count.load(std::memory_order_acquire) : MUTEX_FREEMARKER;
    if (count == MUTEX_FREEMARKER) {
        ALERT_raise(MODULE_FILE, "MUTEX_free - FREEING AN UNALLOCATED MUTEX (%08x).\n", addressof(mutex));
        return;
    }
    if (mutex->owner.load(std::memory_order_relaxed) != 0 || count != 0 ||
        mutex->state.load(std::memory_order_relaxed) != MUTEX_UNHELD) {
        ALERT_raise(MODULE_FILE, "MUTEX_free - FREEING A LOCKED MUTEX (%08x).\n", addressof(mutex));
        return;  // its holder will still unlock it
    }
    std::lock_guard<std::mutex> hold(poollock);
    mutex->count.store(MUTEX_FREEMARKER, std::memory_order_release);
    mutex->owner.store(reinterpret_cast<uintptr_t>(freelist), std::memory_order_relaxed);
    freelist = mutex;
}

uint32_t MUTEX_owner(const MUTEX* mutex)
{
    if (!mutex)
        return 0;
    uint32_t count = mutex->count.load(std::memory_order_acquire);
    return count == MUTEX_FREEMARKER ? 0 : static_cast<uint32_t>(mutex->owner.load(std::memory_order_relaxed));
}

uint32_t MUTEX_count(const MUTEX* mutex) { return mutex ? mutex->count.load(std::memory_order_acquire) : 0; }

int32_t SYS_atexit(void (*routine)(void)) { return atexit(routine) == 0 ? 0 : -1; }
