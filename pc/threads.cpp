// Threads and waitable events over the platform's kernel objects. The
// registry THREADitemlist lets a thread be found by a small index and a key
// that is never reused, closes each thread's handle exactly once, and reports
// threads still running when the process ends. The module also knows the
// main thread, maps the library's seven priority levels onto the platform's,
// and wraps sleeping and events.
#include <atomic>

#include "cmn/atomics.h"
#include "platform/vplatform.h"
#include "vorl/alert.h"
#include "vorl/mutex.h"
#include "vorl/pagemem.h"
#include "vorl/print.h"
#include "vorl/thread.h"
#include "vorl/timer.h"

static const char MODULE_FILE[] = "pc/threads";

static_assert(sizeof(THREADITEM) == 12, "a registry entry is three 32-bit words");

THREADITEM* THREADitemlist = nullptr;
int32_t THREADsurfacelocked = 0;

static int32_t capacity = 0;
static uint32_t nextkey = 1;
static std::atomic<MUTEX*> listmutex{nullptr};
static MUTEX* createmutex = nullptr;
static DWORD mainid = 0;
static HANDLE mainhandle = nullptr;
static int32_t initialised = 0;
static int32_t exitregistered = 0;

// A thread may end while the registry shuts down (the process is ending and
// later exit callbacks still run). Every use of the registry counts itself in
// before it takes the list mutex and, once the registry is closed, turns back
// touching nothing; the shutdown closes it and waits for those already in
// before it releases the list and the mutex.
static std::atomic<int32_t> registryusers{0};
static std::atomic<int32_t> registryclosed{1};  // until THREAD_init opens it

// What a new thread copies from its creator's stack before the creator goes on.
struct STARTBLOCK {
    std::atomic<HANDLE> handle;
    THREAD* thread;
    THREADROUTINE routine;
    THREADPARAMROUTINE paramroutine;
    uint32_t param;
};

static HANDLE tohandle(uint32_t value) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)); }

// Thread handles fit in 32 bits on every platform we run on, so an entry
// stays three 32-bit words.
static uint32_t fromhandle(HANDLE handle) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)); }

static int32_t tolevel(int priority)
{
    switch (priority) {
    case THREAD_PRIORITY_IDLE: return -3;
    case THREAD_PRIORITY_LOWEST: return -2;
    case THREAD_PRIORITY_BELOW_NORMAL: return -1;
    case THREAD_PRIORITY_ABOVE_NORMAL: return 1;
    case THREAD_PRIORITY_HIGHEST: return 2;
    case THREAD_PRIORITY_TIME_CRITICAL: return 3;
    default: return 0;
    }
}

static int topriority(int32_t level)
{
    switch (level) {
    case -3: return THREAD_PRIORITY_IDLE;
    case -2: return THREAD_PRIORITY_LOWEST;
    case -1: return THREAD_PRIORITY_BELOW_NORMAL;
    case 1: return THREAD_PRIORITY_ABOVE_NORMAL;
    case 2: return THREAD_PRIORITY_HIGHEST;
    case 3: return THREAD_PRIORITY_TIME_CRITICAL;
    default: return THREAD_PRIORITY_NORMAL;
    }
}

void THREAD_init(int32_t requested)
{
    if (initialised)
        return;
    initialised = 1;
    if (requested == 0)
        requested = 100;

    if (!listmutex.load())
        listmutex.store(MUTEX_alloc());
    if (listmutex.load())
        registryclosed.store(0);
    if (!THREADitemlist) {
        int32_t bytes = requested * static_cast<int32_t>(sizeof(THREADITEM));
        THREADitemlist = static_cast<THREADITEM*>(PAGE_alloc(&bytes));
        if (THREADitemlist) {
            MEM_fill(THREADitemlist, 0, bytes);
            capacity = bytes / static_cast<int32_t>(sizeof(THREADITEM));
        } else {
            capacity = 0;
        }
    }
    mainid = GetCurrentThreadId();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainhandle, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    createmutex = MUTEX_alloc();
    if (!exitregistered) {
        exitregistered = 1;
        SYS_atexit(THREAD_shutdown);
    }
}

int32_t THREAD_capacity(void) { return capacity; }

// False when the registry is closed (not yet initialised, or shut down).
static bool lockregistry(void)
{
    registryusers.fetch_add(1);
    if (registryclosed.load()) {
        registryusers.fetch_sub(1);
        return false;
    }
    MUTEX_lock(listmutex.load());
    return true;
}

static void unlockregistry(void)
{
    MUTEX_unlock(listmutex.load());
    registryusers.fetch_sub(1);
}

// The entry at index if it still holds key, or null (registry locked). Key 0
// is a free entry's, never a thread's.
static THREADITEM* entryat(int32_t index, uint32_t key)
{
    if (!THREADitemlist || key == 0 || index < 0 || index >= capacity)
        return nullptr;
    return THREADitemlist[index].key == key ? &THREADitemlist[index] : nullptr;
}

static THREADITEM* entryof(const THREAD* thread) { return entryat(thread->index, thread->key); }

// Entries come free anywhere, so every one is looked at (registry locked).
static THREADITEM* entryofid(DWORD id)
{
    for (int32_t index = 0; THREADitemlist && index < capacity; index++)
        if (THREADitemlist[index].key != 0 && THREADitemlist[index].id == id)
            return &THREADitemlist[index];
    return nullptr;
}

// Closes the entry's handle and frees it (registry locked).
static void dropentry(THREADITEM* item)
{
    CloseHandle(tohandle(item->handle));
    item->key = 0;
    item->id = 0;
    item->handle = 0;
}

static void removeentry(int32_t index, uint32_t key)
{
    if (!lockregistry())
        return;
    if (THREADITEM* item = entryat(index, key))
        dropentry(item);
    unlockregistry();
}

static void registerthread(THREAD* thread, HANDLE handle, DWORD id)
{
    bool listed = false;
    if (lockregistry()) {
        listed = THREADitemlist != nullptr;
        for (int32_t index = 0; listed && index < capacity; index++) {
            if (THREADitemlist[index].key != 0)
                continue;
            uint32_t key = nextkey++;
            THREADitemlist[index].key = key;
            THREADitemlist[index].handle = fromhandle(handle);
            THREADitemlist[index].id = id;
            thread->key = key;
            thread->index = index;
            thread->id = id;
            thread->handle = handle;
            break;
        }
        unlockregistry();
    }
    // Outside the lock: Abort ends the process through the exit callbacks,
    // and the registry's shutdown waits for everyone inside.
    ASSERT_check(listed, MODULE_FILE, 169, "THREADitemlist");
}

static DWORD WINAPI threadstart(LPVOID parameter)
{
    auto* block = static_cast<STARTBLOCK*>(parameter);
    THREAD* thread = block->thread;
    THREADROUTINE routine = block->routine;
    THREADPARAMROUTINE paramroutine = block->paramroutine;
    uint32_t param = block->param;
    HANDLE handle = block->handle.load();
    block->handle.store(nullptr);  // the creator may now go on; its stack holds the block

    int32_t index = thread->index;
    uint32_t key = thread->key;
    if (routine)
        routine();
    else
        paramroutine(param);

    removeentry(index, key);
    PRINT_printf(PRINT_SYSTEM, "THREAD %u exiting: index %d, handle %d, key %d\n",
                 static_cast<unsigned>(GetCurrentThreadId()), static_cast<int>(index),
                 static_cast<int>(fromhandle(handle)), static_cast<int>(key));
    return 0;
}

// A new thread needs a routine, and a record of its own for the registry.
static bool badcreation(const char* name, bool noroutine, const THREAD* thread)
{
    const char* problem = nullptr;
    if (noroutine)
        problem = "%s - NO ROUTINE.\n";
    else if (!thread || thread == THREAD_CURRENT)
        problem = "%s - NO THREAD RECORD.\n";
    if (!problem)
        return false;
    ALERT_raise(MODULE_FILE, problem, name);
    return true;
}

// held, when not null, receives a second handle to the new thread, taken
// before it runs so that it can never name a thread that already ended.
static void* createthread(const char* name, THREADROUTINE routine, THREADPARAMROUTINE paramroutine, uint32_t param,
                          uint32_t stacksize, int32_t priority, THREAD* thread, int32_t line, HANDLE* held)
{
    if (badcreation(name, !routine && !paramroutine, thread))
        return nullptr;
    if (!initialised)
        THREAD_init(0);
    MUTEX_lock(createmutex);
    if (THREADsurfacelocked) {
        ALERT_raiseat(MODULE_FILE, line, "THREAD_createparam - UNLOCK DDRAW SURFACE BEFORE CALLING.\n");
    }

    STARTBLOCK block;
    block.handle.store(nullptr);
    block.thread = thread;
    block.routine = routine;
    block.paramroutine = paramroutine;
    block.param = param;

    DWORD id = 0;
    HANDLE handle = CreateThread(nullptr, stacksize, threadstart, &block, CREATE_SUSPENDED, &id);
    if (!handle) {
        MUTEX_unlock(createmutex);
        return nullptr;
    }
    if (held &&
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), held, 0, FALSE, DUPLICATE_SAME_ACCESS))
        *held = nullptr;
    block.handle.store(handle);
    thread->stacksize = stacksize;
    thread->priority = priority;
    thread->reserved = 0;
    registerthread(thread, handle, id);
    // Set through the new handle: the record keeps its old handle when the
    // registry was full.
    SetThreadPriority(handle, topriority(priority));
    ResumeThread(handle);

    // The new thread releases us within microseconds; yield rather than
    // sleeping whole milliseconds, and only fall back to sleeping if it is slow.
    for (int spins = 0; block.handle.load() != nullptr; spins++)
        SleepEx(spins < 1000 ? 0 : 1, TRUE);

    MUTEX_unlock(createmutex);
    return handle;
}

void* THREAD_createparam(THREADPARAMROUTINE routine, uint32_t param, uint32_t stacksize, int32_t priority,
                         int32_t reserved, THREAD* thread)
{
    return createthread("THREAD_createparam", nullptr, routine, param, stacksize, priority, thread, 574, nullptr);
}

void* THREAD_createheld(THREADPARAMROUTINE routine, uint32_t param, uint32_t stacksize, int32_t priority,
                        THREAD* thread, void** held)
{
    if (held)
        *held = nullptr;
    return createthread("THREAD_createheld", nullptr, routine, param, stacksize, priority, thread, 574,
                        reinterpret_cast<HANDLE*>(held));
}

void THREAD_join(const THREAD* thread, void* held)
{
    if (held) {
        // A thread cannot wait for its own end: it only lets go of the handle.
        if (GetThreadId(held) != GetCurrentThreadId())
            WaitForSingleObject(held, INFINITE);
        CloseHandle(held);
    } else if (!THREAD_iscurrent(thread) && (!thread || (THREADitemlist && thread->handle))) {
        // No handle of the owner's own: the registry (or, for the main
        // thread, its handle) is all there is to go by.
        THREAD_wait(thread, 0);
    }
}

void* THREAD_create(THREADROUTINE routine, uint32_t stacksize, int32_t priority, int32_t reserved, THREAD* thread)
{
    return createthread("THREAD_create", routine, nullptr, 0, stacksize, priority, thread, 475, nullptr);
}

void THREAD_remove(THREAD* thread)
{
    if (!thread) {
        ALERT_raiseat(MODULE_FILE, 648, "THREAD_remove - CANNOT REMOVE THE MAIN THREAD.\n");
        ASSERT_check(0, MODULE_FILE, 227, "thread");
        return;
    }
    if (thread == THREAD_CURRENT) {
        // Leaves the registry first, as THREAD_exit does, so that waits end.
        THREAD_forget(GetCurrentThreadId());
        TerminateThread(GetCurrentThread(), 0);
        return;
    }
    if (!lockregistry())
        return;
    // Only the registry's handle surely names the record's thread: once the
    // thread has left, the record's copy is closed and its value may have
    // been given to another thread.
    THREADITEM* item = entryof(thread);
    bool self = item && item->id == GetCurrentThreadId();
    if (item && !self)
        TerminateThread(tohandle(item->handle), 0);
    if (item)
        dropentry(item);
    unlockregistry();
    if (self)
        TerminateThread(GetCurrentThread(), 0);  // not under the lock, which it would keep for ever
}

void THREAD_exit(void)
{
    DWORD id = GetCurrentThreadId();
    THREAD_forget(id);
    PRINT_printf(PRINT_SYSTEM, "THREAD_exit - terminating thread %u\n", static_cast<unsigned>(id));
    ExitThread(0);
}

void THREAD_forget(uint32_t id)
{
    if (!lockregistry())
        return;
    if (THREADITEM* item = entryofid(id))
        dropentry(item);
    unlockregistry();
}

int32_t THREAD_iscurrent(const THREAD* thread)
{
    if (thread == THREAD_CURRENT)
        return 1;
    if (!thread) {
        // The main thread stays what it was after a shutdown: a thread that
        // asks during the later exit callbacks must not become it.
        if (!initialised && mainid == 0)
            THREAD_init(0);
        return GetCurrentThreadId() == mainid ? 1 : 0;
    }
    return GetCurrentThreadId() == thread->id ? 1 : 0;
}

static HANDLE handleof(const THREAD* thread)
{
    if (!thread)
        return mainhandle;
    if (thread == THREAD_CURRENT)
        return GetCurrentThread();
    return thread->handle;
}

void* THREAD_gethandle(const THREAD* thread) { return handleof(thread); }

uint32_t THREAD_getid(const THREAD* thread)
{
    if (!thread)
        return mainid;
    return thread == THREAD_CURRENT ? GetCurrentThreadId() : thread->id;
}

// Priorities of a record's thread go through the registry's handle, which
// names that thread for as long as it is registered; then there is none.
int32_t THREAD_getpriority(const THREAD* thread)
{
    if (!initialised)
        THREAD_init(0);
    if (!thread || thread == THREAD_CURRENT) {
        HANDLE handle = handleof(thread);
        return handle ? tolevel(GetThreadPriority(handle)) : 0;
    }
    int32_t level = 0;
    if (lockregistry()) {
        if (THREADITEM* item = entryof(thread))
            level = tolevel(GetThreadPriority(tohandle(item->handle)));
        unlockregistry();
    }
    return level;
}

void THREAD_setpriority(const THREAD* thread, int32_t level)
{
    if (!initialised)
        THREAD_init(0);
    if (!thread || thread == THREAD_CURRENT) {
        if (HANDLE handle = handleof(thread))
            SetThreadPriority(handle, topriority(level));
        return;
    }
    if (lockregistry()) {
        if (THREADITEM* item = entryof(thread))
            SetThreadPriority(tohandle(item->handle), topriority(level));
        unlockregistry();
    }
}

// The main thread is never registered: null finds nothing, THREAD_CURRENT
// the calling thread's entry.
THREADITEM* THREAD_finditem(const THREAD* thread)
{
    ASSERT_check(THREADitemlist != nullptr, MODULE_FILE, 266, "THREADitemlist");
    THREADITEM* item = nullptr;
    if (thread && lockregistry()) {
        item = thread == THREAD_CURRENT ? entryofid(GetCurrentThreadId()) : entryof(thread);
        unlockregistry();
    }
    return item;
}

int32_t THREAD_isdone(const THREAD* thread)
{
    if (thread == THREAD_CURRENT)
        return 0;
    if (!thread)
        return mainhandle && WaitForSingleObject(mainhandle, 0) == WAIT_OBJECT_0 ? 1 : 0;
    return THREAD_finditem(thread) ? 0 : 1;
}

// A handle of the caller's own to a record's registered thread. The record's
// copy is closed when the thread leaves and may then name another object, so
// a wait on it could take another event's signal. *listed tells whether the
// thread was registered (the copy may fail when no handle is left).
static HANDLE ownhandle(const THREAD* thread, bool* listed)
{
    HANDLE own = nullptr;
    *listed = false;
    if (lockregistry()) {
        if (THREADITEM* item = entryof(thread)) {
            *listed = true;
            if (!DuplicateHandle(GetCurrentProcess(), tohandle(item->handle), GetCurrentProcess(), &own, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS))
                own = nullptr;
        }
        unlockregistry();
    }
    return own;
}

static void waitstep(HANDLE own, DWORD milliseconds)
{
    if (own)
        WaitForSingleObject(own, milliseconds);
    else
        SleepEx(milliseconds, TRUE);
}

// Null is the main thread and THREAD_CURRENT the caller, neither of them
// registered. No thread waits for its own end: it waits the ticks and has
// not finished.
static int32_t waitunlisted(const THREAD* thread, int32_t ticks)
{
    if (THREAD_iscurrent(thread)) {
        THREAD_sleepticks(ticks);
        return 0;
    }
    if (!mainhandle)
        return 0;
    WaitForSingleObject(mainhandle, ticks ? static_cast<DWORD>(THREAD_tickstoms(ticks)) : INFINITE);
    return THREAD_isdone(nullptr);
}

int32_t THREAD_wait(const THREAD* thread, int32_t ticks)
{
    if (!thread || thread == THREAD_CURRENT)
        return waitunlisted(thread, ticks);
    if (!thread->handle)
        return 0;
    bool listed = false;
    HANDLE own = ownhandle(thread, &listed);
    if (ticks != 0) {
        if (listed)
            waitstep(own, static_cast<DWORD>(THREAD_tickstoms(ticks)));
    } else {
        // Look again every 10 ms; with the timer stopped that is still a real
        // wait on the handle, never a spin.
        int32_t step = ATOMIC_peek(&TIMERfrequency) / 100;
        DWORD milliseconds = step > 0 ? static_cast<DWORD>(THREAD_tickstoms(step)) : 10;
        while (!THREAD_isdone(thread))
            waitstep(own, milliseconds);
    }
    if (own)
        CloseHandle(own);
    return THREAD_isdone(thread);
}

void THREAD_shutdown(void)
{
    if (!initialised)
        return;
    initialised = 0;
    THREAD_restore();
    if (mainhandle)
        CloseHandle(mainhandle);
    mainhandle = nullptr;
    MUTEX_free(createmutex);
    createmutex = nullptr;
}

void THREAD_restore(void)
{
    MUTEX* mutex = listmutex.load();
    if (!mutex)
        return;
    registryclosed.store(1);
    while (registryusers.load() > 0)  // each of them is a short step under the lock
        SleepEx(0, TRUE);
    MUTEX_lock(mutex);
    for (int32_t index = 0; THREADitemlist && index < capacity; index++) {
        if (THREADitemlist[index].handle == 0)
            continue;
        PRINT_printf(PRINT_ALERT, "THREAD_restore - Thread running, index %2d, handle %#010x, id %#010x\n",
                     static_cast<int>(index), static_cast<unsigned>(THREADitemlist[index].handle),
                     static_cast<unsigned>(THREADitemlist[index].id));
        dropentry(&THREADitemlist[index]);
    }
    if (THREADitemlist) {
        PAGE_free(THREADitemlist);
        THREADitemlist = nullptr;
        capacity = 0;
    }
    listmutex.store(nullptr);
    MUTEX_unlock(mutex);
    MUTEX_free(mutex);
}

void THREAD_sleep(uint32_t milliseconds) { SleepEx(milliseconds, TRUE); }

// The timer sets the frequency from its own threads while others convert.
static int32_t tickfrequency(void)
{
    int32_t frequency = ATOMIC_peek(&TIMERfrequency);
    return frequency ? frequency : 100;
}

int32_t THREAD_tickstoms(int32_t ticks)
{
    // Computed wide so that long waits do not overflow; a wait too long for
    // 32 bits is as good as for ever.
    int64_t milliseconds = static_cast<int64_t>(ticks) * 1000 / tickfrequency();
    return milliseconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(milliseconds);
}

void THREAD_sleepticks(int32_t ticks) { SleepEx(static_cast<DWORD>(THREAD_tickstoms(ticks)), TRUE); }

void* EVENT_create(void) { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }

int32_t EVENT_set(void* event) { return SetEvent(event); }

void* EVENT_waitany(int32_t count, void* const* handles, uint32_t milliseconds)
{
    // Refused here: the platform copies the array before it checks the count.
    if (count < 1 || count > MAXIMUM_WAIT_OBJECTS || !handles)
        return nullptr;
    DWORD result = WaitForMultipleObjectsEx(static_cast<DWORD>(count), handles, FALSE, milliseconds, FALSE);
    // Only an object that was signalled counts; abandonment and failure do not.
    if (result - WAIT_OBJECT_0 < static_cast<DWORD>(count))
        return handles[result - WAIT_OBJECT_0];
    return nullptr;
}

void* EVENT_waitanyforever(int32_t count, void* const* handles) { return EVENT_waitany(count, handles, INFINITE); }

void* EVENT_wait(void* event) { return EVENT_waitany(1, &event, INFINITE); }

int32_t EVENT_poll(void* event) { return EVENT_waitany(1, &event, 0) ? 1 : 0; }

int32_t EVENT_waitticks(void* event, int32_t ticks)
{
    return EVENT_waitany(1, &event, static_cast<DWORD>(THREAD_tickstoms(ticks))) ? 1 : 0;
}

int32_t EVENT_close(void* event) { return CloseHandle(event); }

void* SIGNAL_create(void) { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

int32_t SIGNAL_set(void* signal) { return SetEvent(signal); }

int32_t SIGNAL_reset(void* signal) { return ResetEvent(signal); }

int32_t SIGNAL_pulse(void* signal) { return PulseEvent(signal); }

void* SIGNAL_wait(void* signal) { return EVENT_waitany(1, &signal, INFINITE); }

int32_t SIGNAL_setclose(void* signal)
{
    SetEvent(signal);
    return CloseHandle(signal);
}

uint32_t SYS_getlasterror(void) { return GetLastError(); }

void SYS_setlasterror(uint32_t code) { SetLastError(code); }
