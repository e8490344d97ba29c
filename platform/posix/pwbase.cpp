// The base of our POSIX platform: the calling thread's last-error code, the
// one table that turns errno values into Windows error codes, the handle
// table that every platform object lives in, and the process-wide wait lock
// that events and threads keep their signalled state under.
#include "pwbase.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include "pwhandle.h"

static thread_local DWORD PW_lasterror = 0;

DWORD WINAPI GetLastError(void) { return PW_lasterror; }

void WINAPI SetLastError(DWORD code) { PW_lasterror = code; }

// ---------------------------------------------------------------------------
// errno -> Windows error code. Choices that are not one-to-one:
// - EROFS gives ERROR_WRITE_PROTECT (19): the medium refuses writes, which is
//   what Windows reports for write-protected media; EACCES and EPERM stay
//   ERROR_ACCESS_DENIED (5).
// - EISDIR gives ERROR_ACCESS_DENIED, as Windows answers an attempt to open
//   a directory as a file.
// - EFBIG and EOVERFLOW give ERROR_FILE_TOO_LARGE (223): the file would pass
//   the size the system allows, which is not the same as a full disk.
// - EDQUOT gives ERROR_DISK_FULL (112), as Windows reports an exhausted quota.
// - EAGAIN gives ERROR_NOT_ENOUGH_MEMORY (8): in this layer it comes from
//   thread creation running out of resources.
// - Anything not listed gives ERROR_GEN_FAILURE (31).
struct PW_ERRORMAP {
    int err;
    DWORD code;
};

static const PW_ERRORMAP PW_errormap[] = {
    {0, ERROR_SUCCESS},
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {EIO, ERROR_GEN_FAILURE},
    {ENXIO, ERROR_NOT_READY},
    {EBADF, ERROR_INVALID_HANDLE},
    {EAGAIN, ERROR_NOT_ENOUGH_MEMORY},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {ENOBUFS, ERROR_NOT_ENOUGH_MEMORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EFAULT, ERROR_INVALID_ADDRESS},
    {EBUSY, ERROR_BUSY},
    {EEXIST, ERROR_FILE_EXISTS},
    {EXDEV, ERROR_NOT_SAME_DEVICE},
    {ENODEV, ERROR_NOT_READY},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENOTTY, ERROR_INVALID_FUNCTION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EFBIG, ERROR_FILE_TOO_LARGE},
    {EOVERFLOW, ERROR_FILE_TOO_LARGE},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {ESPIPE, ERROR_INVALID_FUNCTION},
    {EROFS, ERROR_WRITE_PROTECT},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOSYS, ERROR_INVALID_FUNCTION},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
    {ETIMEDOUT, ERROR_TIMEOUT},
};

DWORD PW_errortocode(int err)
{
    for (const PW_ERRORMAP& entry : PW_errormap)
        if (entry.err == err)
            return entry.code;
    return ERROR_GEN_FAILURE;
}

void PW_seterrno(int err) { SetLastError(PW_errortocode(err)); }

// ---------------------------------------------------------------------------
// The handle table. A handle is (slot + 1) * 4, like the small multiples of
// four that Windows hands out: never 0, never a pseudo handle, and well
// inside 32 bits. Free slots are searched from the one after the slot taken
// last, so that a closed handle is not at once given out again and a use
// after close is caught as ERROR_INVALID_HANDLE for as long as possible.
enum { PW_HANDLESLOTS = 4096, PW_HANDLESTEP = 4 };

static pthread_mutex_t PW_tablelock = PTHREAD_MUTEX_INITIALIZER;
static PW_OBJECT* PW_table[PW_HANDLESLOTS];
static int PW_tablenext = 0;

static int PW_slotofhandle(HANDLE handle)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value % PW_HANDLESTEP != 0 || value / PW_HANDLESTEP > PW_HANDLESLOTS)
        return -1;
    return static_cast<int>(value / PW_HANDLESTEP) - 1;
}

static HANDLE PW_handleofslot(int slot)
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(slot + 1) * PW_HANDLESTEP);
}

HANDLE PW_newhandle(PW_OBJECT* object)
{
    pthread_mutex_lock(&PW_tablelock);
    for (int tried = 0; tried < PW_HANDLESLOTS; tried++) {
        int slot = (PW_tablenext + tried) % PW_HANDLESLOTS;
        if (PW_table[slot] == nullptr) {
            PW_table[slot] = object;
            PW_tablenext = (slot + 1) % PW_HANDLESLOTS;
            pthread_mutex_unlock(&PW_tablelock);
            return PW_handleofslot(slot);
        }
    }
    pthread_mutex_unlock(&PW_tablelock);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

PW_OBJECT* PW_gethandle(HANDLE handle, PW_KIND kind)
{
    int slot = PW_slotofhandle(handle);
    PW_OBJECT* object = nullptr;
    pthread_mutex_lock(&PW_tablelock);
    if (slot >= 0 && PW_table[slot] != nullptr && (kind == PW_NONE || PW_table[slot]->kind == kind)) {
        object = PW_table[slot];
        object->refs.fetch_add(1, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&PW_tablelock);
    if (object == nullptr)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

// The caller holds a reference already, so the object cannot go meanwhile.
void PW_addref(PW_OBJECT* object) { object->refs.fetch_add(1, std::memory_order_relaxed); }

// No table lock: a look-up takes its reference under that lock while the
// handle is still in the table, so it can never see a count that has reached
// 0. The last release destroys the object; a destroy routine may close
// files or take locks of its own.
void PW_release(PW_OBJECT* object)
{
    if (object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        object->destroy(object);
}

BOOL WINAPI CloseHandle(HANDLE h)
{
    // Closing a pseudo handle has no effect, as on Windows.
    if (h == PW_CURRENTPROCESS || h == PW_CURRENTTHREAD)
        return TRUE;
    int slot = PW_slotofhandle(h);
    PW_OBJECT* object = nullptr;
    pthread_mutex_lock(&PW_tablelock);
    if (slot >= 0) {
        object = PW_table[slot];
        PW_table[slot] = nullptr;
    }
    pthread_mutex_unlock(&PW_tablelock);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    PW_release(object);
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) { return PW_CURRENTPROCESS; }

// Only handles of this process can be duplicated, into this process. The
// thread pseudo handle yields a real handle to the calling thread's object,
// which other threads can use and wait on.
BOOL WINAPI DuplicateHandle(HANDLE sourceprocess, HANDLE source, HANDLE targetprocess, LPHANDLE target, DWORD access,
                            BOOL inherit, DWORD options)
{
    if (sourceprocess != PW_CURRENTPROCESS || targetprocess != PW_CURRENTPROCESS) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (source == PW_CURRENTPROCESS) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    PW_OBJECT* object = source == PW_CURRENTTHREAD ? PW_currentthread() : PW_gethandle(source, PW_NONE);
    if (object == nullptr)
        return FALSE;
    HANDLE copy = PW_newhandle(object);
    if (copy == nullptr) {
        PW_release(object);
        return FALSE;
    }
    if (target != nullptr)
        *target = copy;
    else
        CloseHandle(copy);
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0 && source != PW_CURRENTTHREAD)
        CloseHandle(source);
    return TRUE;
}

// ---------------------------------------------------------------------------
// The wait lock. Each blocked wait (and each suspended thread) sleeps on a
// condition of its own, so that a signal wakes only the threads it releases
// rather than every thread that waits for anything. The conditions measure
// time-outs on the monotonic clock, so that a change of the wall clock
// neither cuts a wait short nor stretches it.
static pthread_mutex_t PW_waitmutex = PTHREAD_MUTEX_INITIALIZER;

void PW_waitlock(void) { pthread_mutex_lock(&PW_waitmutex); }

void PW_waitunlock(void) { pthread_mutex_unlock(&PW_waitmutex); }

void PW_initcondition(pthread_cond_t* condition)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(condition, &attr);
    pthread_condattr_destroy(&attr);
}

int PW_waitcondition(pthread_cond_t* condition, const struct timespec* deadline)
{
    if (deadline == nullptr)
        return pthread_cond_wait(condition, &PW_waitmutex);
    return pthread_cond_timedwait(condition, &PW_waitmutex, deadline);
}
