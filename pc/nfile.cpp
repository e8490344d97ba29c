// The file system's engine: operation records queued on file devices, each
// device served by a worker thread of its own in priority order; the
// transactions that hold a device for one caller; the front-ends that build
// and queue one record of each type, the blocking calls over them, and the
// thin path, drive and handle calls over the native file layer.
//
// Locks: each device's lock (the mutex of its pending queue, shared by its
// completed queue) guards pending, completed, current, calling and the
// waiter list, and is held only briefly. The free list's mutex guards the
// pool and serialises device start-up. Records are carried out and callbacks
// are called (by the device thread, and at once by FILESYS_callbackop and
// FILESYS_cancelop) without any of these locks, so that a callback that
// queues work on another device never holds two device locks.
//
// Waiting: a thread that must wait for a record puts a waiter on the
// device's list (under the device lock) with an auto-reset event of its own,
// and the device thread sets that event once the record has completed and
// its callback has returned. The event latches, so a completion between the
// waiter's look and its wait is never lost, however many threads wait on the
// device. The main thread waits on its event for at most a millisecond at a
// time and runs the sync tasks between waits.
//
// Mounted archives: the list's mutex guards the list and the table of entry
// handles (FILEbigentries). A search holds it from the first archive to the
// opening of the entry, an unmount holds it while it checks that no entry
// handle is open and takes the archive off the list, and a close of a handle
// holds it from the close to the clearing of the handle's slot; so no entry
// is ever opened in, or left open on, an archive whose mapping goes away.
// Lock order: the list's mutex before the native layer's mutexes.
//
// Sections, in order (each opens with a ruled comment):
//   Initialisation and shutdown     FILESYS_init, FILESYS_shutdown
//   Records and devices             record keys, FILE_startdevice, FILE_allocateop,
//                                   FILE_queueop, FILE_findop
//   Opening by name, and archives   FILE_openname, mounting and unmounting
//   The device thread               carrying a record out, FILE_devicethread
//   Looking at, waiting for ...     FILESYS_statusop, _waitop, _completeop,
//                                   _callbackop, _cancelop, _priorityop, the queries
//   Transactions                    FILESYS_atomic
//   Front-ends                      FILESYS_<verb>op: one record of each type
//   Blocking calls                  FILESYS_<verb>, the piecewise transfer
//   Paths, drives and handles       thin calls over the native file layer
// The internal records and tables are declared in pc/nfileint.h.
#include <string.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "cmn/atomics.h"
#include "pc/nfileint.h"
#include "platform/vplatform.h"
#include "vorl/alert.h"
#include "vorl/big.h"
#include "vorl/file.h"
#include "vorl/mutex.h"
#include "vorl/pagemem.h"
#include "vorl/queue.h"
#include "vorl/synctask.h"
#include "vorl/thread.h"

static const char MODULE_FILE[] = "pc/nfile";

FILEDEVICE* FILEdevices = nullptr;
FILEOP* FILEoppool = nullptr;
int32_t FILEopcount = 0;
char* FILEnamepool = nullptr;
QUEUE FILEfreeops;
QUEUE FILEbiglist;
MUTEX* FILEbigmutex = nullptr;
int32_t FILEbignumber = -1;
BIGFILE** FILEbigentries = nullptr;
int32_t FILEbigentrycount = 0;
int32_t FILEshutdowns = 0;

static int32_t exitregistered = 0;

static void unmountall(void);

// A thread blocked in FILESYS_waitop, linked into its device's list.
struct FILEWAITER {
    FILEWAITER* next;
    uint32_t op;  // the number it waits for
    void* event;  // its own auto-reset event
};

static void raisealert(int32_t line, const char* format, int32_t value)
{
    ALERT_raiseat(MODULE_FILE, line, format, value);
}

static int32_t isrunning(const FILEDEVICE* device) { return ATOMIC_load(&device->running) != 0; }

// The device of an operation number, or null when the file system is absent.
static FILEDEVICE* deviceof(uint32_t op)
{
    FILEDEVICE* devices = FILEdevices;
    return devices ? &devices[op % FILE_DEVICES] : nullptr;
}

static int32_t lockdevice(FILEDEVICE* device) { return QUEUE_lock(&device->pending); }

static void unlockdevice(FILEDEVICE* device, int32_t token) { QUEUE_unlock(&device->pending, token); }

static int32_t hasnumber(void* element, intptr_t op)
{
    return static_cast<FILEOP*>(element)->id == static_cast<uint32_t>(op) ? 1 : 0;
}

// Device lock held: sets the event of every waiter for op (0: every waiter).
static void wakewaiters(FILEDEVICE* device, uint32_t op)
{
    for (auto* waiter = static_cast<FILEWAITER*>(device->waiters); waiter; waiter = waiter->next)
        if (op == 0 || waiter->op == op)
            EVENT_set(waiter->event);
}

// Puts a waiter that has an event on the device's list (device lock held).
static void linkwaiter(FILEDEVICE* device, FILEWAITER* waiter)
{
    if (waiter->event) {
        waiter->next = static_cast<FILEWAITER*>(device->waiters);
        device->waiters = waiter;
    }
}

static void unlinkwaiter(FILEDEVICE* device, FILEWAITER* waiter)
{
    auto** link = reinterpret_cast<FILEWAITER**>(&device->waiters);
    while (*link && *link != waiter)
        link = &(*link)->next;
    if (*link)
        *link = waiter->next;
}

// The record's own name slot, or null for a record outside the pool.
static char* nameslot(const FILEOP* op)
{
    if (!FILEnamepool || op < FILEoppool || op >= FILEoppool + FILEopcount)
        return nullptr;
    return FILEnamepool + (op - FILEoppool) * FILE_NAMESIZE;
}

// Spin-then-park: a thread about to block first spins this long (in
// nanoseconds) on what it waits for, since a handoff through an event costs
// two sleeps and wake-ups and most records finish, and most next records
// arrive, within it. How the bounds were chosen: docs/fileops.md.
static const int64_t FILE_WAITSPIN = 50000;  // a waiter, for its record
static const int64_t FILE_IDLESPIN = 50000;  // a device thread, for its next record
static const int64_t FILE_STALLSPIN = 8000;  // a waiter, for a device that shows no progress

// Spins until ready() holds or nanoseconds have passed; whether it holds.
// The processor is given up every FILEyieldperiod nanoseconds, so that a
// spinner that shares a processor with the thread it waits for lets it run;
// each thread's period runs from FILE_SPINYIELD, kept while yields help, to
// FILE_SPINYIELDMAX, where they do not. A spinner that finds it was off the
// processor for FILE_SPINGAP (the machine has more runnable threads than
// processors) stops, and nobody spins for FILE_SPINREST: a thread preempted
// while it spins is not woken by anything, so it would wait for the
// scheduler's next turn, which takes milliseconds, where a parked thread is
// woken at once.
static const int64_t FILE_SPINYIELD = 1000;
static const int64_t FILE_SPINYIELDMAX = 16000;
static thread_local int64_t FILEyieldperiod = FILE_SPINYIELD;
static const int64_t FILE_SPINGAP = 30000;
static const int64_t FILE_SPINREST = 10000000;
static int64_t FILEspinrest = 0;  // steady-clock nanoseconds until which nobody spins

// Steady-clock nanoseconds, for the spins.
static int64_t spinclock(void)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

template <typename READY>
static bool spinfor(int64_t nanoseconds, READY ready)
{
    const int64_t start = spinclock();
    if (start < ATOMIC_peek(&FILEspinrest))
        return ready();
    int64_t last = start;
    int64_t yielded = start;
    for (;;) {
        for (int32_t turn = 0; turn < 16; turn++) {
            if (ready())
                return true;
            ATOMIC_pause();
        }
        int64_t time = spinclock();
        if (time - last >= FILE_SPINGAP)
            ATOMIC_poke(&FILEspinrest, time + FILE_SPINREST);
        if (time - start >= nanoseconds || time - last >= FILE_SPINGAP)
            return ready();
        last = time;
        if (time - yielded >= FILEyieldperiod) {
            // Yielding pays when what this thread waits for shares its
            // processor: then it is ready after the yield, and this thread
            // keeps yielding often. Otherwise the yield was a system call
            // for nothing (or let another program run), and the next comes
            // twice as late.
            std::this_thread::yield();
            yielded = spinclock();
            bool helped = ready();
            FILEyieldperiod = helped ? FILE_SPINYIELD : std::min(2 * FILEyieldperiod, FILE_SPINYIELDMAX);
            if (helped)
                return true;
        }
    }
}

// ---------------------------------------------------------------------------
// Initialisation and shutdown.

// Whether the pool of ops records and its name slots have byte sizes that a
// page-memory request can hold, with room for the rounding up to whole
// pages (the pool then holds more records, each with a name slot).
static int32_t poolfits(int32_t ops)
{
    const int64_t limit = INT32_MAX - (1 << 20);
    int64_t poolsize = static_cast<int64_t>(ops) * static_cast<int64_t>(sizeof(FILEOP));
    int64_t rounded = (poolsize + (1 << 20)) / static_cast<int64_t>(sizeof(FILEOP));
    return poolsize <= limit && rounded * FILE_NAMESIZE <= limit;
}

int32_t FILESYS_init(int32_t handles, int32_t reserved, int32_t ops)
{
    if (FILEdevices)
        return 1;
    if (ops <= 0)
        ops = 64;
    if (!poolfits(ops)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    QUEUE_init(&FILEfreeops, nullptr, 0);
    QUEUE_init(&FILEbiglist, nullptr, 0);

    int32_t size = FILE_DEVICES * static_cast<int32_t>(sizeof(FILEDEVICE));
    auto* devices = static_cast<FILEDEVICE*>(PAGE_alloc(&size));
    if (devices)
        MEM_fill(devices, 0, size);

    int32_t poolsize = ops * static_cast<int32_t>(sizeof(FILEOP));
    auto* pool = static_cast<FILEOP*>(PAGE_alloc(&poolsize));
    int32_t count = poolsize / static_cast<int32_t>(sizeof(FILEOP));
    // Name slots: mapping and unmapping a page per path would cost system
    // calls (and, with several threads, cross-processor flushes) per open.
    int32_t namesize = count * FILE_NAMESIZE;
    auto* names = pool ? static_cast<char*>(PAGE_alloc(&namesize)) : nullptr;
    // One owner per native handle slot: which archive an entry handle reads.
    // Entries in slots beyond this table are refused, so a bound is safe.
    int32_t slots = handles > 0 ? (handles < (1 << 20) ? handles : (1 << 20)) : FILE_DEFAULTHANDLES;
    int32_t entrysize = slots * static_cast<int32_t>(sizeof(BIGFILE*));
    auto* entries = names ? static_cast<BIGFILE**>(PAGE_alloc(&entrysize)) : nullptr;
    if (!devices || !pool || !names || !entries) {
        // Without page memory there is no file system; leave none behind.
        void* blocks[4] = {devices, pool, names, entries};
        for (void* block : blocks)
            if (block)
                PAGE_free(block);
        QUEUE_free(&FILEbiglist);
        QUEUE_free(&FILEfreeops);
        return 0;
    }
    initfiles(handles ? handles : FILE_DEFAULTHANDLES);
    MEM_fill(pool, 0, poolsize);
    // Every whole record that fits the rounded block, pushed from the lowest
    // address up, so the last record of the block is handed out first.
    FILEopcount = count;
    for (int32_t index = 0; index < FILEopcount; index++)
        QUEUE_push(&FILEfreeops, &pool[index]);
    FILEoppool = pool;
    FILEnamepool = names;
    MEM_fill(entries, 0, entrysize);
    FILEbigentrycount = entrysize / static_cast<int32_t>(sizeof(BIGFILE*));
    FILEbigentries = entries;

    FILEbigmutex = MUTEX_alloc();
    FILEbignumber = -1;
    FILEdevices = devices;
    if (!exitregistered) {
        exitregistered = 1;
        SYS_atexit(FILESYS_shutdown);
    }
    return 1;
}

void FILESYS_shutdown(void)
{
    if (!FILEdevices)
        return;
    unmountall();
    ATOMIC_store(&FILEshutdowns, ATOMIC_load(&FILEshutdowns) + 1);

    // A shutdown may run on a device thread (the process ending from a
    // callback or from an alert raised there): that thread cannot be waited
    // for, and it goes on using its device, the table and its record.
    int32_t self = -1;
    for (int32_t number = 0; number < FILE_DEVICES; number++) {
        FILEDEVICE* device = &FILEdevices[number];
        if (isrunning(device) && THREAD_iscurrent(&device->thread))
            self = number;
    }
    for (int32_t number = 0; number < FILE_DEVICES; number++) {
        FILEDEVICE* device = &FILEdevices[number];
        if (!isrunning(device) || number == self)
            continue;
        EVENT_set(device->wake);
        while (isrunning(device))
            THREAD_sleep(0);
        // Then until the thread has ended for good: after leaving the
        // registry it still prints its exit message, and the process may end
        // or the library be started again right after this returns.
        THREAD_join(&device->thread, device->held);
        device->held = nullptr;
        EVENT_close(device->wake);
        SIGNAL_setclose(device->done);
        QUEUE_free(&device->completed);
        QUEUE_free(&device->pending);
        // The transaction mutex goes too: the pool of mutexes is finite.
        MUTEX_free(device->mutex);
    }

    PAGE_free(FILEbigentries);
    FILEbigentries = nullptr;
    FILEbigentrycount = 0;
    if (self < 0) {
        PAGE_free(FILEnamepool);
        PAGE_free(FILEoppool);
        PAGE_free(FILEdevices);
    }
    FILEnamepool = nullptr;
    FILEoppool = nullptr;
    FILEopcount = 0;
    QUEUE_free(&FILEfreeops);
    QUEUE_free(&FILEbiglist);
    MUTEX_free(FILEbigmutex);
    FILEbigmutex = nullptr;
    FILEdevices = nullptr;
}

// ---------------------------------------------------------------------------
// Records and devices.

uint32_t FILE_opkey(void* element, intptr_t context)
{
    const auto* op = static_cast<const FILEOP*>(element);
    return (static_cast<uint32_t>(op->priority) << 24) + ((op->id >> 5) & 0xFFFFFFu);
}

// Releases what a start-up made when the thread could not be created, so
// that a later start begins afresh.
static void undostart(FILEDEVICE* device)
{
    QUEUE_free(&device->completed);
    QUEUE_free(&device->pending);
    if (device->wake)
        EVENT_close(device->wake);
    if (device->done)
        SIGNAL_setclose(device->done);
    if (device->mutex)
        MUTEX_free(device->mutex);
    device->wake = nullptr;
    device->done = nullptr;
    device->mutex = nullptr;
}

void FILE_startdevice(int32_t number)
{
    if (!FILEdevices || number < 0 || number >= FILE_DEVICES)
        return;
    FILEDEVICE* device = &FILEdevices[number];
    if (isrunning(device))
        return;
    int32_t token = QUEUE_lock(&FILEfreeops);
    // Another thread may have started it while this one waited for the lock.
    if (!isrunning(device)) {
        device->current = nullptr;
        device->calling = 0;
        device->waiters = nullptr;
        device->parked = 0;
        device->finished = 0;
        device->queued = 0;
        device->started = 0;
        QUEUE_init(&device->pending, FILE_opkey, 0);
        QUEUE_initpeer(&device->completed, nullptr, 0, &device->pending);
        device->wake = EVENT_create();
        device->done = SIGNAL_create();
        device->mutex = MUTEX_alloc();
        device->serial = 1;
        ATOMIC_store(&device->limit, static_cast<int32_t>(FILE_NOLIMIT));
        void* handle = nullptr;
        if (device->wake && device->done && device->mutex)
            handle = THREAD_createheld(FILE_devicethread, static_cast<uint32_t>(number), 0, THREAD_ABOVENORMAL,
                                       &device->thread, &device->held);
        if (handle) {
            // The thread sets done once it runs.
            SIGNAL_wait(device->done);
            SIGNAL_reset(device->done);
        } else {
            undostart(device);
            ALERT_raise(MODULE_FILE, "FILE_startdevice - FAILED TO START THREAD FOR FILE SYSTEM DEVICE.\n");
        }
    }
    QUEUE_unlock(&FILEfreeops, token);
}

// A new record number on a device. The serial runs modulo 2^24 and skips 0;
// taken without the device lock, which every record's allocation would
// otherwise add to.
static uint32_t newid(FILEDEVICE* device, int32_t number)
{
    uint32_t serial = ATOMIC_load(&device->serial);
    uint32_t next;
    do {
        next = (serial + 1) & 0xFFFFFFu;
        if (next == 0)
            next = 1;
    } while (!__atomic_compare_exchange_n(&device->serial, &serial, next, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    return serial * FILE_DEVICES + static_cast<uint32_t>(number);
}

FILEOP* FILE_allocateop(uint32_t type, int32_t priority, uintptr_t context, int32_t number)
{
    if (!FILEdevices) {
        // Going on would use the free list and device table that do not exist.
        raisealert(__LINE__, "FILE_allocateop - FILE SYSTEM NOT INITIALIZED, CALL FILESYS_init().\n", 0);
        return nullptr;
    }
    if (priority < 0 || priority > 255)
        raisealert(__LINE__, "FILE_allocateop - INVALID PRIORITY (%d), MUST BE [0..255].\n", priority);
    if (number < 0 || number >= FILE_DEVICES) {
        raisealert(__LINE__, "FILE_allocateop - INVALID DEVICE (%d), MUST BE [0..31].\n", number);
        return nullptr;
    }
    auto* op = static_cast<FILEOP*>(QUEUE_pop(&FILEfreeops));
    if (!op) {
        raisealert(__LINE__, "FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE.\n", 0);
        return nullptr;
    }
    FILEDEVICE* device = &FILEdevices[number];
    if (!isrunning(device)) {
        FILE_startdevice(number);
        if (!isrunning(device)) {
            // No thread would ever carry the record out.
            QUEUE_push(&FILEfreeops, op);
            return nullptr;
        }
    }
    op->priority = static_cast<uint8_t>(priority);
    op->type = type;
    op->status = FOPS_NONE;
    op->flags &= ~(FOPF_OWNNAME | FOPF_CANCELLED | FOPF_CALLBACK | FOPF_CALLED);
    op->error = 0;
    op->handle = 0;
    op->context = context;
    op->callback = nullptr;
    op->arg = 0;
    op->count = 0;
    op->pointer = nullptr;

    op->id = newid(device, number);
    return op;
}

uint32_t FILE_queueop(FILEOP* op)
{
    FILEDEVICE* device = deviceof(op->id);
    if (!device) {
        raisealert(__LINE__, "FILE_queueop - ATTEMPT TO QUEUE FILEOP ON NON-EXISTANT DEVICE.\n", 0);
        return 0;
    }
    // Read before queueing: from then on the record may complete at any time.
    uint32_t id = op->id;
    QUEUE_insert(&device->pending, op);
    // Counted after the insertion has let the lock go, so that the spinning
    // device thread does not run into the held lock and sleep on it.
    ATOMIC_add(&device->queued, 1);
    // The thread marks itself parked under the device lock after it found
    // pending empty, and the insertion took the same lock: a thread that
    // parked before it is seen parked here. One that is spinning, or the
    // device's own thread queueing from a callback, looks at pending again
    // before it ever waits, so it needs no wake-up.
    if (ATOMIC_load(&device->parked) && !THREAD_iscurrent(&device->thread))
        EVENT_set(device->wake);
    return id;
}

FILEOP* FILE_findop(FILEDEVICE* device, uint32_t op, int32_t* state)
{
    *state = 0;
    if (!isrunning(device) || op == 0)
        return nullptr;
    if (device->current && device->current->id == op) {
        *state = -1;
        return device->current;
    }
    auto* found = static_cast<FILEOP*>(QUEUE_find(&device->pending, hasnumber, static_cast<intptr_t>(op)));
    if (found) {
        *state = 1;
        return found;
    }
    return static_cast<FILEOP*>(QUEUE_find(&device->completed, hasnumber, static_cast<intptr_t>(op)));
}

// Native open mode bits for the open flags of a FOP_OPEN.
static uint32_t openmode(uint32_t flags)
{
    uint32_t mode;
    if (flags & FOPEN_READ) {
        mode = FM_READ | FM_SHAREREAD;
    } else {
        mode = FM_READ | FM_WRITE;
        if (flags & FOPEN_CREATE)
            mode |= FM_CREATE;
        if (flags & FOPEN_TRUNCATE)
            mode |= FM_TRUNCATE;
    }
    if (flags & FOPEN_MAP)
        mode |= FM_MAP;
    if (flags & FOPEN_NOBUFFER)
        mode |= FM_NOBUFFER;
    if (flags & FOPEN_SEQUENTIAL)
        mode |= FM_SEQUENTIAL;
    return mode;
}

// ---------------------------------------------------------------------------
// Opening by name, and the archives that names are searched in.

struct FILESEARCH {
    const char* archive;  // the archive part; empty for any archive
    const char* entry;    // the entry name
    int32_t handle;       // the entry's handle once opened
};

// List mutex held: opens the entry in one archive. 0 ends the walk.
static int32_t searcharchive(void* element, intptr_t context)
{
    auto* archive = static_cast<BIGFILE*>(element);
    auto* search = reinterpret_cast<FILESEARCH*>(context);
    if (search->archive[0] && strcmp(search->archive, archive->name) != 0)
        return 1;
    uint32_t offset = 0;
    uint32_t size = 0;
    const char* found = nullptr;
    // The walk reads the index copied at the mount, never the mapping, whose
    // file another process may have cut short since.
    if (archive->base && archive->index)
        found = BIG_findentrysized(archive->index, static_cast<uint32_t>(archive->indexsize), search->entry, 0, &offset,
                                   &size);
    // An entry whose data would lie beyond the mapping is no entry at all.
    if (found && static_cast<uint64_t>(offset) + size > static_cast<uint64_t>(archive->size))
        found = nullptr;
    if (!found)
        return search->archive[0] ? 0 : 1;
    int32_t handle = 0;
    if (openmemoryfile(static_cast<uint8_t*>(archive->base) + offset, static_cast<int32_t>(size),
                       static_cast<int32_t>(archive->device), 0, &handle)) {
        if (~handle < FILEbigentrycount) {
            FILEbigentries[~handle] = archive;
        } else {
            // A handle that cannot be tracked could outlive the mapping.
            closefile(handle);
            handle = 0;
            SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        }
    }
    search->handle = handle;
    return 0;
}

static int32_t hasname(void* element, intptr_t name)
{
    return strcmp(static_cast<BIGFILE*>(element)->name, reinterpret_cast<const char*>(name)) == 0 ? 1 : 0;
}

// Whether path, whose first bar is at bar, names an entry: its archive part
// is empty (any archive) or names a mounted archive, and is copied into
// archivepart. On POSIX "|" is an ordinary character in file names, so any
// other name with a bar is a plain path.
static int32_t isentrypath(const char* path, const char* bar, char* archivepart)
{
    size_t length = static_cast<size_t>(bar - path);
    if (length > FILE_BIGNAMEMAX || !FILEbigentries)
        return length == 0;
    memcpy(archivepart, path, length);
    archivepart[length] = '\0';
    return length == 0 || QUEUE_find(&FILEbiglist, hasname, reinterpret_cast<intptr_t>(archivepart)) != nullptr;
}

int32_t FILE_openname(const char* path, uint32_t mode, int32_t search)
{
    if (!path)
        path = "";
    char archivepart[FILE_BIGNAMEMAX + 1];
    archivepart[0] = '\0';
    const char* entry = path;
    int32_t handle = 0;
    const char* bar = strchr(path, '|');
    if (bar && isentrypath(path, bar, archivepart)) {
        entry = bar + 1;
        SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
        archivepart[0] = '\0';
        openfile(path, mode, 0, &handle);
    }
    if (handle || !search || !FILEbigentries)
        return handle;
    // A failed search leaves the disk open's reason.
    DWORD error = GetLastError();
    FILESEARCH find = {archivepart, entry, 0};
    QUEUE_safeiterate(&FILEbiglist, searcharchive, reinterpret_cast<intptr_t>(&find));
    if (!find.handle)
        SetLastError(error);
    return find.handle;
}

// Closes a native handle; an entry handle stops counting for its archive.
// The slot is cleared under the list's mutex together with the close, so a
// new entry cannot claim the slot in between and lose its mark.
static int32_t closehandle(int32_t handle)
{
    if (!FILEbigentries)
        return closefile(handle);
    int32_t token = QUEUE_lock(&FILEbiglist);
    int32_t result = closefile(handle);
    if (~handle >= 0 && ~handle < FILEbigentrycount)
        FILEbigentries[~handle] = nullptr;
    QUEUE_unlock(&FILEbiglist, token);
    return result;
}

// List mutex held.
static int32_t hasentries(const BIGFILE* archive)
{
    for (int32_t slot = 0; slot < FILEbigentrycount; slot++)
        if (FILEbigentries[slot] == archive)
            return 1;
    return 0;
}

static int32_t hasarchivenumber(void* element, intptr_t number)
{
    return static_cast<BIGFILE*>(element)->number == static_cast<int32_t>(number) ? 1 : 0;
}

static int32_t isarchivehandle(void* element, intptr_t handle)
{
    return static_cast<BIGFILE*>(element)->handle == static_cast<int32_t>(handle) ? 1 : 0;
}

// Closes an archive's file and releases its index and its record.
static void releasearchive(BIGFILE* archive)
{
    if (archive->handle)
        closehandle(archive->handle);
    if (archive->index)
        PAGE_free(archive->index);
    PAGE_free(archive);
}

// Shutdown: closes every entry handle still open (its memory is about to go),
// then every archive, the last mounted first, so that an archive mounted
// from an entry of another is closed before the archive that holds it.
static void unmountall(void)
{
    int32_t token = QUEUE_lock(&FILEbiglist);
    for (int32_t slot = 0; FILEbigentries && slot < FILEbigentrycount; slot++) {
        if (!FILEbigentries[slot])
            continue;
        if (!QUEUE_find(&FILEbiglist, isarchivehandle, static_cast<intptr_t>(~slot))) {
            closefile(~slot);
            FILEbigentries[slot] = nullptr;
        }
    }
    while (auto* archive = static_cast<BIGFILE*>(QUEUE_popbottom(&FILEbiglist)))
        releasearchive(archive);
    QUEUE_unlock(&FILEbiglist, token);
}

static const char* nameof(const FILEOP* op) { return op->pointer ? static_cast<const char*>(op->pointer) : ""; }

// Reads the archive's header and index (as much of it as the file holds)
// into page memory through the file layer, whose reads fail where the
// mapping's file has been cut short instead of faulting. 0 when it has them
// (a file cut short gives a short index), else the reason: no memory for
// the copy, or a read that failed.
static uint32_t copyindex(BIGFILE* archive)
{
    uint8_t fixed[BIG_LAYOUT2HEADER] = {};
    uint32_t got = 0;
    SetLastError(ERROR_SUCCESS);
    if (seekfile(archive->handle, 0))
        got = readfromfile(archive->handle, fixed, sizeof fixed);
    uint32_t claimed = BIG_indexsize(fixed, got);
    int32_t bytes = claimed < static_cast<uint32_t>(archive->size) ? static_cast<int32_t>(claimed) : archive->size;
    if (GetLastError() != ERROR_SUCCESS || bytes <= 0)
        return GetLastError();
    int32_t rounded = bytes;
    archive->index = PAGE_alloc(&rounded);
    if (!archive->index)
        return ERROR_NOT_ENOUGH_MEMORY;
    got = 0;
    if (seekfile(archive->handle, 0))
        got = readfromfile(archive->handle, archive->index, static_cast<uint32_t>(bytes));
    archive->indexsize = static_cast<int32_t>(got);
    return GetLastError();
}

// FOP_OPENBIG on the device thread: opens and maps the archive. It is put
// on the list only when the mount is collected.
static void mountarchive(FILEOP* op)
{
    auto* archive = static_cast<BIGFILE*>(op->pointer);
    if (!archive)
        return;
    archive->handle = FILE_openname(archive->name, FM_READ | FM_SHAREREAD | FM_MAP, 1);
    if (!archive->handle) {
        op->error = SYS_getlasterror();
        op->status = FOPS_FAILED;
        return;
    }
    archive->base = getfileaddress(archive->handle);
    int32_t size = 0;
    uint32_t error = ERROR_SUCCESS;
    // Without its size, or without a mapping of the bytes it has (whose
    // reason went with the open), an archive cannot serve its entries: the
    // mount fails rather than show an empty archive.
    if (!getfileinfo(archive->handle, nullptr, nullptr, &size, nullptr))
        error = SYS_getlasterror();
    else if (size > 0 && !archive->base)
        error = ERROR_NOT_ENOUGH_MEMORY;
    archive->size = size;
    if (error == ERROR_SUCCESS && size > 0)
        error = copyindex(archive);
    op->error = error;
    op->status = error == ERROR_SUCCESS ? FOPS_DONE : FOPS_FAILED;
}

// FOP_CLOSEBIG on the device thread: takes the archive off the list, unless
// an entry handle still reads from its mapping. The archive is found again by
// its number, so that two unmounts of one archive never touch a released
// record. The record pointer then names the archive taken off (or null).
static void unlistarchive(FILEOP* op)
{
    int32_t token = QUEUE_lock(&FILEbiglist);
    auto* archive = static_cast<BIGFILE*>(
        QUEUE_find(&FILEbiglist, hasarchivenumber, static_cast<intptr_t>(static_cast<int32_t>(op->arg))));
    if (archive && hasentries(archive)) {
        op->error = ERROR_BUSY;
        op->status = FOPS_FAILED;
        archive = nullptr;
    } else if (archive) {
        QUEUE_remove(&FILEbiglist, archive);
        op->status = FOPS_DONE;
    } else {
        op->error = ERROR_INVALID_HANDLE;
        op->status = FOPS_FAILED;
    }
    op->pointer = archive;
    QUEUE_unlock(&FILEbiglist, token);
}

// ---------------------------------------------------------------------------
// The device thread.

// Carries one record out on the device thread.
static void carryout(FILEOP* op)
{
    switch (op->type) {
    case FOP_OPEN:
        op->handle = FILE_openname(nameof(op), openmode(op->arg), (op->arg & FOPEN_READ) ? 1 : 0);
        if (op->handle) {
            op->status = FOPS_DONE;
        } else {
            op->error = SYS_getlasterror();
            op->status = FOPS_FAILED;
        }
        break;
    case FOP_CLOSE: op->status = FOPS_DONE; break;
    case FOP_READ:
    case FOP_WRITE: {
        uint32_t moved = 0;
        if (FILE_transferat(op->handle, static_cast<int32_t>(op->arg), op->pointer, static_cast<uint32_t>(op->count),
                            op->type == FOP_WRITE, &moved)) {
            op->count = static_cast<int32_t>(moved);
            op->status = FOPS_DONE;
        }
        // The last-error code alone decides, whatever count was moved.
        op->error = SYS_getlasterror();
        if (op->error != 0)
            op->status = FOPS_FAILED;
        break;
    }
    case FOP_LENGTH: {
        int32_t size = 0;
        if (getfileinfo(op->handle, nullptr, nullptr, &size, nullptr)) {
            op->arg = static_cast<uint32_t>(size);
            op->status = FOPS_DONE;
        } else {
            op->arg = 0;
            op->status = FOPS_FAILED;
            op->error = SYS_getlasterror();
        }
        break;
    }
    case FOP_SETLENGTH:
        if (setendfile(op->handle, op->count)) {
            op->status = FOPS_DONE;
        } else {
            op->status = FOPS_FAILED;
            op->error = SYS_getlasterror();
        }
        break;
    case FOP_EXISTS: {
        int32_t handle = FILE_openname(nameof(op), FM_READ | FM_SHAREREAD, 1);
        if (handle)
            closehandle(handle);
        op->arg = handle ? 1 : 0;
        op->status = FOPS_DONE;
        break;
    }
    case FOP_DELETE:
        if (removefile(nameof(op))) {
            op->status = FOPS_DONE;
        } else {
            op->status = FOPS_FAILED;
            op->error = SYS_getlasterror();
        }
        break;
    case FOP_NULL:
        op->status = FOPS_DONE;
        op->error = 0;
        break;
    case FOP_OPENBIG: mountarchive(op); break;
    case FOP_CLOSEBIG: unlistarchive(op); break;
    default:
        raisealert(__LINE__, "FILE_devicethread - UNKNOWN TYPE OF OPERATION %d.\n", static_cast<int32_t>(op->type));
        op->status = FOPS_NONE;
        break;
    }
}

// The bytes a transfer still has to move once its piece has moved count of
// them: 0 after a short piece, which ends the transfer.
static int32_t remainingafter(const FILETRANSFER* transfer, int32_t count)
{
    return count < transfer->piece ? 0 : transfer->remaining - count;
}

// Counts a piece that moved count bytes and, while remaining is above 0,
// sets up the next piece of at most FILE_PIECESIZE bytes.
static void advancetransfer(FILETRANSFER* transfer, int32_t count, int32_t remaining)
{
    transfer->position += count;
    transfer->total += count;
    transfer->buffer += count;
    if (remaining > 0) {
        transfer->piece = remaining < FILE_PIECESIZE ? remaining : FILE_PIECESIZE;
        ATOMIC_store(&transfer->remaining, remaining);
    }
}

// Device lock held, on the device's thread, for a record just carried out.
// When it is a piece of FILESYS_read or FILESYS_write that moved whole, with
// more left for this device, the record becomes the next piece at once:
// FILE_transferchunk would collect it and queue a new record with the same
// fields, a round through the record pool, the completed queue and their
// locks for each piece. Nobody sees the difference, since the lock is held
// throughout. 1 when it did.
static int32_t chainpiece(FILEDEVICE* device, FILEOP* op, int32_t number)
{
    if (op->callback != FILE_transferchunk || op->status != FOPS_DONE || (op->flags & FOPF_CANCELLED))
        return 0;
    auto* transfer = reinterpret_cast<FILETRANSFER*>(op->context);
    if (transfer->frontend != FILESYS_readop && transfer->frontend != FILESYS_writeop)
        return 0;
    int32_t remaining = remainingafter(transfer, op->count);
    if (remaining <= 0 || getfiledevice(transfer->handle) != number)
        return 0;
    advancetransfer(transfer, op->count, remaining);
    op->priority = static_cast<uint8_t>(transfer->priority);
    op->status = FOPS_NONE;
    op->flags &= ~(FOPF_CALLED | FOPF_CANCELLED);
    op->error = 0;
    op->arg = static_cast<uint32_t>(transfer->position);
    op->count = transfer->piece;
    op->pointer = transfer->buffer;
    op->id = newid(device, number);
    ATOMIC_store(&transfer->current, op->id);
    QUEUE_insert(&device->pending, op);
    ATOMIC_add(&device->queued, 1);
    return 1;
}

void FILE_devicethread(uint32_t number)
{
    // The table stays put until FILESYS_shutdown has seen this thread end.
    FILEDEVICE* device = &FILEdevices[number];
    // Taken before the start is signalled: a shutdown after it ends this
    // thread, and a file system started again later does not revive it.
    int32_t life = ATOMIC_load(&FILEshutdowns);
    ATOMIC_store(&device->running, 1u);
    SIGNAL_set(device->done);
    // The device lock is held everywhere in this loop except while a record
    // is carried out, while its callback runs and while the thread waits or
    // spins. Finished records are counted for the spinning waiters whenever
    // it lets the lock go, so that they do not run into the held lock.
    int32_t token = lockdevice(device);
    uint32_t unpublished = 0;
    auto letgo = [device, &token, &unpublished] {
        unlockdevice(device, token);
        if (unpublished)
            ATOMIC_add(&device->finished, unpublished);
        unpublished = 0;
    };
    int32_t worked = 0;
    while (ATOMIC_load(&FILEshutdowns) == life) {
        auto* op = static_cast<FILEOP*>(QUEUE_pop(&device->pending));
        int32_t heldback = op && op->priority > ATOMIC_load(&device->limit);
        if (heldback) {
            // Held back by a transaction until it ends and sets wake.
            QUEUE_insert(&device->pending, op);
            op = nullptr;
        }
        device->current = op;
        if (!op && worked && !heldback) {
            // Right after work the next record often follows at once; an
            // idle device never spins.
            worked = 0;
            uint32_t seen = ATOMIC_peek(&device->queued);
            letgo();
            spinfor(FILE_IDLESPIN, [device, life, seen] {
                return ATOMIC_peek(&device->queued) != seen || ATOMIC_peek(&FILEshutdowns) != life;
            });
            token = lockdevice(device);
            continue;
        }
        if (!op) {
            ATOMIC_store(&device->parked, 1u);
            letgo();
            EVENT_wait(device->wake);
            token = lockdevice(device);
            ATOMIC_store(&device->parked, 0u);
            continue;
        }
        worked = 1;
        int32_t cancelled = (op->flags & FOPF_CANCELLED) != 0;
        letgo();
        ATOMIC_add(&device->started, 1);
        if (!cancelled)
            carryout(op);

        // What the callback needs is taken under the lock: once the record is
        // in completed, any thread may collect it and free it.
        token = lockdevice(device);
        device->current = nullptr;
        uint32_t id = op->id;
        if (chainpiece(device, op, static_cast<int32_t>(number))) {
            wakewaiters(device, id);
            unpublished++;
            continue;
        }
        QUEUE_push(&device->completed, op);
        FILEOPCALLBACK callback = op->callback;
        if (!callback) {
            wakewaiters(device, id);
            unpublished++;
            continue;
        }
        uintptr_t context = op->context;
        int32_t status = (op->flags & FOPF_CANCELLED) ? FOPS_CANCELLED : op->status;
        op->flags |= FOPF_CALLED;
        op->callback = nullptr;
        device->calling = id;
        letgo();
        callback(id, status, context);

        token = lockdevice(device);
        device->calling = 0;
        wakewaiters(device, id);
        unpublished++;
    }
    ATOMIC_store(&device->running, 0u);
    wakewaiters(device, 0);
    letgo();
}

// ---------------------------------------------------------------------------
// Looking at, waiting for, collecting and steering records.

// Finds op with its device locked and returns what look makes of the
// record (null when op is no longer in the device) and its state; absent
// when op's device is not running.
template <typename R, typename LOOK>
static R lookup(uint32_t op, R absent, LOOK look)
{
    FILEDEVICE* device = deviceof(op);
    if (!device || op == 0 || !isrunning(device))
        return absent;
    int32_t state;
    int32_t token = lockdevice(device);
    FILEOP* record = FILE_findop(device, op, &state);
    R result = look(record, state);
    unlockdevice(device, token);
    return result;
}

// What FILESYS_statusop reports of a record found in its state.
static int32_t statusof(const FILEOP* record, int32_t state)
{
    if (!record)
        return FOPS_UNKNOWN;
    return state != 0 ? FOPS_NONE : (record->flags & FOPF_CANCELLED) ? FOPS_CANCELLED : record->status;
}

int32_t FILESYS_statusop(uint32_t op) { return lookup(op, FOPS_UNKNOWN, statusof); }

// Device lock held: 1 while op waits, runs, or its completion callback runs.
static int32_t isbusy(FILEDEVICE* device, uint32_t op)
{
    int32_t state;
    FILE_findop(device, op, &state);
    return state != 0 || (op != 0 && device->calling == op);
}

// One round of a wait, entered and left with the device lock held: lets the
// lock go, runs the sync tasks on the main thread, and sleeps until the
// waiter's event is set (on the main thread a millisecond at most; without
// an event, a millisecond and then a fresh look). Returns the new token.
static int32_t waitround(FILEDEVICE* device, int32_t token, FILEWAITER* waiter, int32_t main)
{
    unlockdevice(device, token);
    if (main)
        SYNCTASK_run(0);
    if (!waiter->event)
        THREAD_sleep(1);
    else if (main)
        EVENT_waitany(1, &waiter->event, 1);
    else
        EVENT_wait(waiter->event);
    return lockdevice(device);
}

// Ends a wait that holds the device lock: the waiter leaves the device's
// list, the lock goes, and the waiter's event is closed.
static void endwait(FILEDEVICE* device, int32_t token, FILEWAITER* waiter)
{
    if (waiter->event)
        unlinkwaiter(device, waiter);
    unlockdevice(device, token);
    if (waiter->event)
        EVENT_close(waiter->event);
}

int32_t FILESYS_waitop(uint32_t op)
{
    FILEDEVICE* device = deviceof(op);
    if (!device || op == 0 || !isrunning(device))
        return FOPS_UNKNOWN;
    int32_t main = THREAD_iscurrent(nullptr);
    FILEWAITER waiter = {nullptr, op, nullptr};
    int32_t token = lockdevice(device);
    // Before it parks, the waiter spins while the device finishes records,
    // looking again under the lock each time one finishes. Until it has seen
    // the device start or finish a record it spins only FILE_STALLSPIN: a
    // device thread that does not move is off its processor or parked.
    const int64_t spinstart = spinclock();
    int64_t spinleft = FILE_WAITSPIN;
    int32_t moving = 0;
    while (isbusy(device, op) && spinleft > 0) {
        uint32_t seen = ATOMIC_peek(&device->finished);
        uint32_t began = ATOMIC_peek(&device->started);
        unlockdevice(device, token);
        if (main)
            SYNCTASK_run(0);
        auto moved = [device, seen, began, moving] {
            return ATOMIC_peek(&device->finished) != seen || (!moving && ATOMIC_peek(&device->started) != began) ||
                   !isrunning(device);
        };
        // A spin that ran out (or may not run at all) parks.
        if (!spinfor(moving ? spinleft : std::min(spinleft, FILE_STALLSPIN), moved)) {
            spinleft = 0;
        } else {
            moving = 1;
            spinleft = FILE_WAITSPIN - (spinclock() - spinstart);
        }
        token = lockdevice(device);
    }
    while (isbusy(device, op)) {
        if (!waiter.event) {
            waiter.event = EVENT_create();
            linkwaiter(device, &waiter);
        }
        token = waitround(device, token, &waiter, main);
    }
    int32_t state;
    FILEOP* record = FILE_findop(device, op, &state);
    int32_t status = statusof(record, state);
    endwait(device, token, &waiter);
    return status;
}

uint32_t FILESYS_completeop(uint32_t op)
{
    FILEDEVICE* device = deviceof(op);
    FILEOP* record = nullptr;
    if (device && op != 0 && isrunning(device))
        record = static_cast<FILEOP*>(QUEUE_fetch(&device->completed, hasnumber, static_cast<intptr_t>(op)));
    if (!record) {
        // Nothing else happens: there is no record to look at.
        raisealert(__LINE__, "FILESYS_completeop - OPERATION NOT FOUND IN COMPLETED LIST.\n", 0);
        return 0;
    }
    uint32_t result;
    switch (record->type) {
    case FOP_OPEN:
        if (record->flags & FOPF_CANCELLED) {
            if (record->handle)
                closehandle(record->handle);
            result = 0;
        } else {
            result = static_cast<uint32_t>(record->handle);
        }
        break;
    case FOP_CLOSE: result = static_cast<uint32_t>(closehandle(record->handle)); break;
    case FOP_READ:
    case FOP_WRITE: result = static_cast<uint32_t>(record->count); break;
    case FOP_LENGTH:
    case FOP_EXISTS: result = record->arg; break;
    case FOP_NULL: result = 0; break;
    case FOP_OPENBIG: {
        auto* archive = static_cast<BIGFILE*>(record->pointer);
        result = 0;
        if (archive && !(record->flags & FOPF_CANCELLED) && record->status == FOPS_DONE) {
            QUEUE_bottom(&FILEbiglist, archive);
            result = static_cast<uint32_t>(archive->number);
        } else if (archive) {
            releasearchive(archive);
        }
        break;
    }
    case FOP_CLOSEBIG: {
        auto* archive = static_cast<BIGFILE*>(record->pointer);
        result = 0;
        if (archive && record->status == FOPS_DONE) {
            releasearchive(archive);
            result = 1;
        }
        break;
    }
    default: result = record->status == FOPS_DONE ? 1 : 0; break;
    }
    if ((record->flags & FOPF_OWNNAME) && record->pointer != nameslot(record))
        PAGE_free(record->pointer);
    record->pointer = nullptr;
    record->id = 0;
    QUEUE_bottom(&FILEfreeops, record);
    return result;
}

void FILESYS_callbackop(uint32_t op, FILEOPCALLBACK callback)
{
    if (!callback) {
        raisealert(__LINE__, "FILESYS_callbackop - can not specify a NULL callback.\n", 0);
        return;
    }
    FILEDEVICE* device = deviceof(op);
    if (!device || op == 0 || !isrunning(device)) {
        raisealert(__LINE__, "FILESYS_callbackop - UNKNOWN FILEOP.\n", 0);
        return;
    }
    int32_t state;
    int32_t token = lockdevice(device);
    FILEOP* record = FILE_findop(device, op, &state);
    int32_t now = 0;
    int32_t status = 0;
    uintptr_t context = 0;
    if (record) {
        record->flags |= FOPF_CALLBACK;
        if (state != 0) {
            record->callback = callback;
        } else {
            record->flags |= FOPF_CALLED;
            record->callback = nullptr;
            now = 1;
            status = record->status;
            context = record->context;
        }
    }
    unlockdevice(device, token);
    if (!record)
        raisealert(__LINE__, "FILESYS_callbackop - UNKNOWN FILEOP.\n", 0);
    // Called without the device lock: a callback that queues work on another
    // device would otherwise hold two device locks, and two such callbacks on
    // two threads could each wait for the other's.
    if (now)
        callback(op, status, context);
}

static int32_t iscancellable(uint32_t type)
{
    switch (type) {
    case FOP_OPEN:
    case FOP_READ:
    case FOP_WRITE:
    case FOP_LENGTH:
    case FOP_EXISTS:
    case FOP_NULL:
    case FOP_OPENBIG: return 1;
    default: return 0;
    }
}

void FILESYS_cancelop(uint32_t op)
{
    FILEDEVICE* device = deviceof(op);
    if (!device || op == 0 || !isrunning(device))
        return;
    int32_t state;
    int32_t token = lockdevice(device);
    FILEOP* record = FILE_findop(device, op, &state);
    FILEOPCALLBACK callback = nullptr;
    uintptr_t context = 0;
    int32_t removed = 0;
    if (record && state != 0 && iscancellable(record->type)) {
        if (state == -1 && (record->type == FOP_READ || record->type == FOP_WRITE))
            cancelread(record->handle);
        record->flags |= FOPF_CANCELLED;
        removed = QUEUE_remove(&device->pending, record);
        if (removed) {
            QUEUE_push(&device->completed, record);
            callback = record->callback;
            context = record->context;
            if (callback) {
                record->flags |= FOPF_CALLED;
                record->callback = nullptr;
            }
        }
    }
    unlockdevice(device, token);
    if (!removed)
        return;
    // As in FILESYS_callbackop, the callback runs without the device lock;
    // waiters are woken once it has returned.
    if (callback)
        callback(op, FOPS_CANCELLED, context);
    token = lockdevice(device);
    wakewaiters(device, op);
    unlockdevice(device, token);
    ATOMIC_add(&device->finished, 1);
}

uint32_t FILESYS_priorityop(uint32_t op, int32_t priority)
{
    FILEDEVICE* device = deviceof(op);
    if (!device || op == 0 || !isrunning(device))
        return 0;
    // Held across the fetch and the re-insertion, so that no waiter looks for
    // the record while it is in neither queue.
    int32_t token = lockdevice(device);
    auto* record = static_cast<FILEOP*>(QUEUE_fetch(&device->pending, hasnumber, static_cast<intptr_t>(op)));
    uint32_t result = 0;
    if (record) {
        record->priority = static_cast<uint8_t>(priority);
        result = FILE_queueop(record);
    }
    unlockdevice(device, token);
    return result;
}

uint32_t FILESYS_errorop(uint32_t op)
{
    // A record being carried out has no error saved yet (and its thread may
    // be writing the field).
    return lookup(op, 0u, [](FILEOP* record, int32_t state) { return record && state != -1 ? record->error : 0u; });
}

uint32_t FILESYS_deviceop(uint32_t op)
{
    return lookup(op, 0u, [op](FILEOP* record, int32_t) { return record ? op % FILE_DEVICES : 0u; });
}

uintptr_t FILESYS_contextop(uint32_t op)
{
    return lookup(op, uintptr_t(0), [](FILEOP* record, int32_t) { return record ? record->context : uintptr_t(0); });
}

// ---------------------------------------------------------------------------
// Transactions.

int32_t FILESYS_atomic(FILEATOMICROUTINE routine, int32_t number, int32_t priority, void* parameter)
{
    if (!FILEdevices) {
        raisealert(__LINE__, "FILESYS_atomic - FILE SYSTEM NOT INITIALIZED, CALL FILESYS_init().\n", 0);
        return 0;
    }
    if (number < 0 || number >= FILE_DEVICES) {
        raisealert(__LINE__, "FILESYS_atomic - CALLED WITH ILLEGAL FILE DEVICE (%d).\n", number);
        return 0;
    }
    FILEDEVICE* device = &FILEdevices[number];
    if (!routine)
        return 0;
    if (!isrunning(device)) {
        FILE_startdevice(number);
        if (!isrunning(device))
            return 0;
    }
    MUTEX_lock(device->mutex);
    int32_t previous = ATOMIC_load(&device->limit);
    int32_t result = 0;
    if (previous < priority) {
        ALERT_raise(MODULE_FILE, "FILESYS_atomic - CALLED AT PRIORITY (%d) LOWER THAN CURRENT DEVICE PRIORITY (%d).\n",
                    priority, previous);
    } else {
        ATOMIC_store(&device->limit, priority);
        result = routine(priority, parameter);
        // Restored before wake is set, so the thread sees the old limit when
        // it looks at the records that the transaction held back.
        ATOMIC_store(&device->limit, previous);
        EVENT_set(device->wake);
    }
    MUTEX_unlock(device->mutex);
    return result;
}

// ---------------------------------------------------------------------------
// Front-ends.

void FILE_copyname(FILEOP* op, const char* path)
{
    if (!path)
        path = "";
    int32_t length = static_cast<int32_t>(strlen(path)) + 1;
    char* copy = nameslot(op);
    if (!copy || length > FILE_NAMESIZE) {
        int32_t size = length;
        copy = static_cast<char*>(PAGE_alloc(&size));
    }
    op->pointer = copy;
    if (copy) {
        op->flags |= FOPF_OWNNAME;
        MEM_copy(copy, path, length);
    }
}

int32_t FILESYS_pathdevice(const char* path)
{
    if (path && strchr(path, '|'))
        return 0;
    return devicenumberofpath(path);
}

uint32_t FILESYS_openop(const char* path, uint32_t flags, int32_t priority, uintptr_t context)
{
    FILEOP* op = FILE_allocateop(FOP_OPEN, priority, context, FILESYS_pathdevice(path));
    if (!op)
        return 0;
    FILE_copyname(op, path);
    op->arg = flags;
    return FILE_queueop(op);
}

uint32_t FILESYS_closeop(int32_t handle, int32_t priority, uintptr_t context)
{
    FILEOP* op = FILE_allocateop(FOP_CLOSE, priority, context, getfiledevice(handle));
    if (!op)
        return 0;
    op->handle = handle;
    return FILE_queueop(op);
}

static uint32_t transferop(uint32_t type, int32_t handle, int32_t position, void* buffer, int32_t length,
                           int32_t priority, uintptr_t context)
{
    // A negative length would read as a count near 4 GiB further down.
    if (length < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    FILEOP* op = FILE_allocateop(type, priority, context, getfiledevice(handle));
    if (!op)
        return 0;
    op->handle = handle;
    op->arg = static_cast<uint32_t>(position);
    op->count = length;
    op->pointer = buffer;
    return FILE_queueop(op);
}

uint32_t FILESYS_readop(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority,
                        uintptr_t context)
{
    return transferop(FOP_READ, handle, position, buffer, length, priority, context);
}

uint32_t FILESYS_writeop(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority,
                         uintptr_t context)
{
    return transferop(FOP_WRITE, handle, position, buffer, length, priority, context);
}

uint32_t FILESYS_lengthop(int32_t handle, int32_t priority, uintptr_t context)
{
    FILEOP* op = FILE_allocateop(FOP_LENGTH, priority, context, getfiledevice(handle));
    if (!op)
        return 0;
    op->handle = handle;
    return FILE_queueop(op);
}

uint32_t FILESYS_setlengthop(int32_t handle, int32_t size, int32_t priority, uintptr_t context)
{
    if (size < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    FILEOP* op = FILE_allocateop(FOP_SETLENGTH, priority, context, getfiledevice(handle));
    if (!op)
        return 0;
    op->handle = handle;
    op->count = size;
    return FILE_queueop(op);
}

static uint32_t nameop(uint32_t type, const char* path, int32_t priority, uintptr_t context)
{
    FILEOP* op = FILE_allocateop(type, priority, context, FILESYS_pathdevice(path));
    if (!op)
        return 0;
    FILE_copyname(op, path);
    return FILE_queueop(op);
}

uint32_t FILESYS_existsop(const char* path, int32_t priority, uintptr_t context)
{
    return nameop(FOP_EXISTS, path, priority, context);
}

uint32_t FILESYS_deleteop(const char* path, int32_t priority, uintptr_t context)
{
    return nameop(FOP_DELETE, path, priority, context);
}

uint32_t FILESYS_nullop(int32_t device, int32_t priority, uintptr_t context)
{
    if (device < 0 || device >= FILE_DEVICES)
        return 0;
    FILEOP* op = FILE_allocateop(FOP_NULL, priority, context, device);
    return op ? FILE_queueop(op) : 0;
}

uint32_t FILESYS_openbigop(const char* path, int32_t reserved, int32_t priority, uintptr_t context)
{
    // The path must fit the record's name with its NUL; a longer one is
    // refused before anything is reserved or numbered.
    size_t length = 0;
    while (path && length <= FILE_BIGNAMEMAX && path[length])
        length++;
    if (!path || length > FILE_BIGNAMEMAX) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (!FILEdevices) {
        // Raises the not-initialised alert; there is no counter to number from.
        FILE_allocateop(FOP_OPENBIG, priority, context, 0);
        return 0;
    }
    int32_t bytes = static_cast<int32_t>(sizeof(BIGFILE));
    auto* archive = static_cast<BIGFILE*>(PAGE_alloc(&bytes));
    if (!archive)
        return 0;
    MEM_fill(archive, 0, static_cast<int32_t>(sizeof(BIGFILE)));
    archive->device = static_cast<uint32_t>(FILESYS_pathdevice(path));
    MUTEX_lock(FILEbigmutex);
    archive->number = FILEbignumber;
    FILEbignumber--;
    MUTEX_unlock(FILEbigmutex);
    MEM_copy(archive->name, path, static_cast<int32_t>(length) + 1);
    FILEOP* op = FILE_allocateop(FOP_OPENBIG, priority, context, static_cast<int32_t>(archive->device));
    if (!op) {
        // Nothing will ever collect the record: it goes back at once (its
        // number stays used).
        PAGE_free(archive);
        return 0;
    }
    op->pointer = archive;
    return FILE_queueop(op);
}

uint32_t FILESYS_closebigop(int32_t number, int32_t priority, uintptr_t context)
{
    if (!FILEdevices || number >= 0)
        return 0;
    // The archive's device is read under the list's mutex: another unmount
    // may release the record as soon as the lock is let go.
    int32_t token = QUEUE_lock(&FILEbiglist);
    auto* archive = static_cast<BIGFILE*>(QUEUE_find(&FILEbiglist, hasarchivenumber, static_cast<intptr_t>(number)));
    int32_t device = archive ? getfiledevice(archive->handle) : 0;
    QUEUE_unlock(&FILEbiglist, token);
    if (!archive)
        return 0;
    FILEOP* op = FILE_allocateop(FOP_CLOSEBIG, priority, context, device);
    if (!op)
        return 0;
    op->pointer = archive;
    op->arg = static_cast<uint32_t>(number);
    return FILE_queueop(op);
}

// ---------------------------------------------------------------------------
// Blocking calls.

// Waits for op (0: it was not queued) and collects it into *result (0 when
// not queued); 1 when it completed with status done.
static int32_t collectinto(uint32_t op, int32_t* result)
{
    *result = 0;
    if (!op)
        return 0;
    int32_t ok = FILESYS_waitop(op) == FOPS_DONE ? 1 : 0;
    *result = static_cast<int32_t>(FILESYS_completeop(op));
    return ok;
}

int32_t FILESYS_open(const char* path, uint32_t flags, int32_t priority, int32_t* handle)
{
    // Without a place for the handle an opened file could never be closed.
    if (!handle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return collectinto(FILESYS_openop(path, flags, priority, 0), handle);
}

int32_t FILESYS_openbig(const char* path, int32_t reserved, int32_t priority, int32_t* number)
{
    if (!number) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return collectinto(FILESYS_openbigop(path, reserved, priority, 0), number) && *number != 0 ? 1 : 0;
}

static int32_t collect(uint32_t op)
{
    int32_t result;
    collectinto(op, &result);
    return result;
}

int32_t FILESYS_close(int32_t handle, int32_t priority) { return collect(FILESYS_closeop(handle, priority, 0)); }

int32_t FILESYS_length(int32_t handle, int32_t priority) { return collect(FILESYS_lengthop(handle, priority, 0)); }

int32_t FILESYS_setlength(int32_t handle, int32_t size, int32_t priority)
{
    return collect(FILESYS_setlengthop(handle, size, priority, 0));
}

int32_t FILESYS_exists(const char* path, int32_t priority) { return collect(FILESYS_existsop(path, priority, 0)); }

int32_t FILESYS_delete(const char* path, int32_t priority) { return collect(FILESYS_deleteop(path, priority, 0)); }

int32_t FILESYS_closebig(int32_t number, int32_t priority) { return collect(FILESYS_closebigop(number, priority, 0)); }

// The waiting caller reads remaining and current while the device thread
// writes them, so both go through ATOMIC_load/ATOMIC_store. The end of a
// transfer is stored and signalled under the device lock, and the caller
// looks under the same lock, so the caller cannot return (and take the
// context and its event with it) while a chunk still uses them.
void FILE_transferchunk(uint32_t op, int32_t status, uintptr_t context)
{
    auto* transfer = reinterpret_cast<FILETRANSFER*>(context);
    if (status != FOPS_DONE)
        transfer->error = FILESYS_errorop(op);
    int32_t count = static_cast<int32_t>(FILESYS_completeop(op));
    if (status == FOPS_DONE) {
        int32_t remaining = remainingafter(transfer, count);
        advancetransfer(transfer, count, remaining);
        if (remaining > 0) {
            uint32_t next = transfer->frontend(transfer->handle, transfer->position, transfer->buffer, transfer->piece,
                                               transfer->priority, context);
            if (next) {
                ATOMIC_store(&transfer->current, next);
                FILESYS_callbackop(next, FILE_transferchunk);
                return;
            }
        }
    }
    FILEDEVICE* device = deviceof(op);
    int32_t token = lockdevice(device);
    ATOMIC_store(&transfer->remaining, 0);
    ATOMIC_store(&transfer->current, 0u);
    if (transfer->event)
        EVENT_set(transfer->event);
    unlockdevice(device, token);
}

static int32_t transferdone(FILETRANSFER* transfer)
{
    return ATOMIC_load(&transfer->remaining) == 0 && ATOMIC_load(&transfer->current) == 0;
}

int32_t FILE_transfer(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority,
                      FILETRANSFEROP frontend)
{
    // Positions are signed 32-bit: nothing moves beyond the largest one, so
    // the position of the next piece never overflows. (A negative length is
    // refused by the front-end that would queue the first piece.)
    if (position > 0 && length > INT32_MAX - position)
        length = INT32_MAX - position;
    FILETRANSFER transfer;
    transfer.priority = priority;
    transfer.handle = handle;
    transfer.position = position;
    transfer.remaining = length;
    transfer.total = 0;
    transfer.piece = length < FILE_PIECESIZE ? length : FILE_PIECESIZE;
    transfer.buffer = static_cast<uint8_t*>(buffer);
    transfer.frontend = frontend;
    transfer.current = 0;
    transfer.event = nullptr;
    transfer.error = 0;
    uint32_t first =
        frontend(handle, position, buffer, transfer.piece, priority, reinterpret_cast<uintptr_t>(&transfer));
    if (!first)
        return 0;
    // Pieces follow each other on the device thread; the caller is woken
    // once, when the last one has been collected, not once per piece.
    FILEDEVICE* device = deviceof(first);
    ATOMIC_store(&transfer.current, first);
    FILESYS_callbackop(first, FILE_transferchunk);

    // A short transfer is over within the spin; a long one parks on an
    // event made only then. Either way the end is looked at once more under
    // the lock, which the last chunk holds while it still uses the context.
    int32_t main = THREAD_iscurrent(nullptr);
    if (main)
        SYNCTASK_run(0);
    spinfor(FILE_WAITSPIN, [&transfer, device] { return transferdone(&transfer) || !isrunning(device); });
    // Listed with number 0, so that only a stopping device wakes it besides
    // the transfer's own end.
    FILEWAITER waiter = {nullptr, 0, nullptr};
    int32_t token = lockdevice(device);
    while (!transferdone(&transfer) && isrunning(device)) {
        if (!waiter.event) {
            waiter.event = EVENT_create();
            transfer.event = waiter.event;
            linkwaiter(device, &waiter);
        }
        token = waitround(device, token, &waiter, main);
    }
    endwait(device, token, &waiter);
    // The reason a piece failed, for the caller, who sees only the count.
    SetLastError(transfer.error);
    return transfer.total;
}

int32_t FILESYS_read(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority)
{
    return FILE_transfer(handle, position, buffer, length, priority, FILESYS_readop);
}

int32_t FILESYS_write(int32_t handle, int32_t position, const void* buffer, int32_t length, int32_t priority)
{
    // The pieces only read from the buffer.
    return FILE_transfer(handle, position, const_cast<void*>(buffer), length, priority, FILESYS_writeop);
}

// ---------------------------------------------------------------------------
// Paths, drives and handles.

int32_t FILESYS_handledevice(int32_t handle) { return getfiledevice(handle); }

void* FILESYS_handleaddress(int32_t handle) { return getfileaddress(handle); }

int32_t FILESYS_fullpath(const char* path, char* out) { return canonicalpath(path, out, FILE_PATHSIZE); }

int32_t FILESYS_setdirectory(const char* path) { return setdirectory(path); }

int32_t FILESYS_getdirectory(char* out) { return getdirectory(out); }

uint32_t FILESYS_drives(void) { return GetLogicalDrives(); }

int32_t FILESYS_driveletter(const char* path, char* root) { return findlogicaldrive(path, root); }

int32_t FILESYS_pathletter(const char* path) { return driveofpath(path); }

uint32_t FILESYS_diskfree(const char* root) { return diskfreespace(root); }
