// Threads and waitable events over the platform's kernel objects. The
// registry THREADitemlist lets a thread be found by a small index and a key
// that is never reused, closes each thread's handle exactly once, and reports
// threads still running when the process ends. The module also knows the
// main thread, maps the library's seven priority levels onto the platform's,
// and wraps sleeping and events.
#include <atomic>

#include "platform/vplatform.h"
#include "vorl/alert.h"
#include "vorl/mem.h"
#include "vorl/mutex.h"
#include "vorl/print.h"
#include "vorl/thread.h"
#include "vorl/timer.h"

static const char MODULE_FILE[] = "pc/threads";

static_assert(sizeof(THREADITEM) == 12, "a registry entry is three 32-bit words");

THREADITEM* THREADitemlist = nullptr;
int32_t THREADsurfacelocked = 0;

static int32_t capacity = 0;
static uint32_t nextkey = 1;
static MUTEX* listmutex = nullptr;
static MUTEX* createmutex = nullptr;
static DWORD mainid = 0;
static HANDLE mainhandle = nullptr;
static int32_t initialised = 0;
static int32_t exitregistered = 0;

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

    if (!listmutex)
        listmutex = MUTEX_alloc();
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

static void removeentry(int32_t index, uint32_t key)
{
    MUTEX_lock(listmutex);
    if (THREADitemlist && index >= 0 && index < capacity && THREADitemlist[index].key == key) {
        CloseHandle(tohandle(THREADitemlist[index].handle));
        THREADitemlist[index].key = 0;
        THREADitemlist[index].id = 0;
        THREADitemlist[index].handle = 0;
    }
    MUTEX_unlock(listmutex);
}

static void registerthread(THREAD* thread, HANDLE handle, DWORD id)
{
    MUTEX_lock(listmutex);
    ASSERT_check(THREADitemlist != nullptr, MODULE_FILE, 169, "THREADitemlist");
    for (int32_t index = 0; THREADitemlist && index < capacity; index++) {
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
    MUTEX_unlock(listmutex);
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

// held, when not null, receives a second handle to the new thread, taken
// before it runs so that it can never name a thread that already ended.
static void* createthread(THREADROUTINE routine, THREADPARAMROUTINE paramroutine, uint32_t param,
                          uint32_t stacksize, int32_t priority, THREAD* thread, int32_t line, HANDLE* held)
{
    if (!initialised)
        THREAD_init(0);
    MUTEX_lock(createmutex);
    if (THREADsurfacelocked) {
        ALERTfile = MODULE_FILE;
        ALERTline = line;
        ALERTroutine("THREAD_createparam - UNLOCK DDRAW SURFACE BEFORE CALLING.\n");
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
    if (held && !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), held, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS))
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
    return createthread(nullptr, routine, param, stacksize, priority, thread, 574, nullptr);
}

void* THREAD_createheld(THREADPARAMROUTINE routine, uint32_t param, uint32_t stacksize, int32_t priority,
                        THREAD* thread, void** held)
{
    *held = nullptr;
    return createthread(nullptr, routine, param, stacksize, priority, thread, 574, reinterpret_cast<HANDLE*>(held));
}

void THREAD_join(const THREAD* thread, void* held)
{
    if (held) {
        // A thread cannot wait for its own end: it only lets go of the handle.
        if (GetThreadId(held) != GetCurrentThreadId())
            WaitForSingleObject(held, INFINITE);
        CloseHandle(held);
    } else if (THREADitemlist && thread->handle && !THREAD_iscurrent(thread)) {
        // No handle of the owner's own: the registry is all there is to go by.
        THREAD_wait(thread, 0);
    }
}

void* THREAD_create(THREADROUTINE routine, uint32_t stacksize, int32_t priority, int32_t reserved, THREAD* thread)
{
    return createthread(routine, nullptr, 0, stacksize, priority, thread, 475, nullptr);
}

void THREAD_remove(THREAD* thread)
{
    if (!thread) {
        ALERTfile = MODULE_FILE;
        ALERTline = 648;
        ALERTroutine("THREAD_remove - CANNOT REMOVE THE MAIN THREAD.\n");
        ASSERT_check(0, MODULE_FILE, 227, "thread");
        return;
    }
    if (thread == THREAD_CURRENT) {
        TerminateThread(GetCurrentThread(), 0);
        return;
    }
    if (thread->handle)
        TerminateThread(thread->handle, 0);
    removeentry(thread->index, thread->key);
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
    if (!listmutex)
        return;
    MUTEX_lock(listmutex);
    for (int32_t index = 0; THREADitemlist && index < capacity && THREADitemlist[index].key != 0; index++) {
        if (THREADitemlist[index].id == id) {
            removeentry(index, THREADitemlist[index].key);
            break;
        }
    }
    MUTEX_unlock(listmutex);
}

int32_t THREAD_iscurrent(const THREAD* thread)
{
    if (thread == THREAD_CURRENT)
        return 1;
    if (!thread) {
        if (!initialised)
            THREAD_init(0);
        return GetCurrentThreadId() == mainid ? 1 : 0;
    }
    return GetCurrentThreadId() == thread->id ? 1 : 0;
}

void* THREAD_gethandle(const THREAD* thread) { return thread->handle; }

uint32_t THREAD_getid(const THREAD* thread) { return thread->id; }

static HANDLE handleof(const THREAD* thread)
{
    if (!thread)
        return mainhandle;
    if (thread == THREAD_CURRENT)
        return GetCurrentThread();
    return thread->handle;
}

int32_t THREAD_getpriority(const THREAD* thread)
{
    if (!initialised)
        THREAD_init(0);
    HANDLE handle = handleof(thread);
    return handle ? tolevel(GetThreadPriority(handle)) : 0;
}

void THREAD_setpriority(const THREAD* thread, int32_t level)
{
    if (!initialised)
        THREAD_init(0);
    HANDLE handle = handleof(thread);
    if (handle)
        SetThreadPriority(handle, topriority(level));
}

THREADITEM* THREAD_finditem(const THREAD* thread)
{
    ASSERT_check(THREADitemlist != nullptr, MODULE_FILE, 266, "THREADitemlist");
    if (thread->index < 0 || thread->index >= capacity || !listmutex)
        return nullptr;
    THREADITEM* item = nullptr;
    MUTEX_lock(listmutex);
    if (THREADitemlist && THREADitemlist[thread->index].key == thread->key)
        item = &THREADitemlist[thread->index];
    MUTEX_unlock(listmutex);
    return item;
}

int32_t THREAD_isdone(const THREAD* thread)
{
    THREADITEM* item = THREAD_finditem(thread);
    if (!item)
        return 1;
    MUTEX_lock(listmutex);
    int32_t done = item->key != thread->key ? 1 : 0;
    MUTEX_unlock(listmutex);
    return done;
}

int32_t THREAD_wait(const THREAD* thread, int32_t ticks)
{
    if (!thread->handle)
        return 0;
    if (ticks != 0) {
        EVENT_waitticks(thread->handle, ticks);
        return THREAD_isdone(thread);
    }
    // Look again every 10 ms; with the timer stopped that is still a real wait
    // on the handle, never a spin.
    int32_t step = __atomic_load_n(&TIMERfrequency, __ATOMIC_RELAXED) / 100;
    while (!THREAD_isdone(thread)) {
        if (step > 0)
            EVENT_waitticks(thread->handle, step);
        else
            WaitForSingleObject(thread->handle, 10);
    }
    return 1;
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
    if (!listmutex)
        return;
    MUTEX_lock(listmutex);
    for (int32_t index = 0; THREADitemlist && index < capacity; index++) {
        if (THREADitemlist[index].handle == 0)
            continue;
        PRINT_printf(PRINT_ALERT, "THREAD_restore - Thread running, index %2d, handle %#010x, id %#010x\n",
                     static_cast<int>(index), static_cast<unsigned>(THREADitemlist[index].handle),
                     static_cast<unsigned>(THREADitemlist[index].id));
        removeentry(index, THREADitemlist[index].key);
    }
    if (THREADitemlist) {
        PAGE_free(THREADitemlist);
        THREADitemlist = nullptr;
        capacity = 0;
    }
    MUTEX* mutex = listmutex;
    listmutex = nullptr;
    MUTEX_unlock(mutex);
    MUTEX_free(mutex);
}

void THREAD_sleep(uint32_t milliseconds) { SleepEx(milliseconds, TRUE); }

// The timer sets the frequency from its own threads while others convert.
static int32_t tickfrequency(void)
{
    int32_t frequency = __atomic_load_n(&TIMERfrequency, __ATOMIC_RELAXED);
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
