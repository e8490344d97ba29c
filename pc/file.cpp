// The native file layer: a table of open files over the platform's file
// services, each with its own position, size, transfer block size and
// optional mapping, handed out as small negative handles; memory ranges
// opened as files; and the path, drive and directory services. All
// transfers on one device number hold that device's mutex, so that a drive's
// transfers never interleave while different drives proceed in parallel.
//
// Locks: the table mutex guards slot claiming and freeing, the making and
// releasing of the table and the creation of drive mutexes; it is always
// taken before a drive mutex, never while one is held.
//
// Only this layer moves the platform's file pointer of its files, so each
// slot remembers whether that pointer is known to stand at the recorded
// position ("placed"); a seek to where the file already is then needs no
// platform call, which halves the system calls of a chained read. Anything
// that leaves the pointer in doubt (a failed transfer or seek) clears it.
#include <atomic>
#include <string.h>

#include "cmn/atomics.h"
#include "pc/nfileint.h"
#include "platform/vplatform.h"
#include "vorl/alert.h"
#include "vorl/pagemem.h"
#include "vorl/mutex.h"
#include "vorl/file.h"
#include "vorl/thread.h"

static const char MODULE_FILE[] = "pc/file";

static_assert(sizeof(FILEREC) == (sizeof(void*) == 4 ? 32 : 48), "a slot is 8 words on 32-bit builds");

// States of a slot's in-use byte. A slot is closing from the moment one
// closefile claims it until it is free again, so that a second close, or a
// transfer that waited for the drive, finds the handle invalid. The in-use,
// reading and placed bytes are read or written without the drive mutex
// (handle checks, cancelread from another thread, tellfile), so they go
// through the atomic accessors.
enum { SLOT_FREE = 0, SLOT_INUSE = 1, SLOT_CLOSING = 2 };

enum { SECTOR_FALLBACK = 2048 };

int32_t filereportlevel = 0;

static std::atomic<FILEREC*> fileslots{nullptr};
static std::atomic<int32_t> filecapacity{0};
static std::atomic<MUTEX*> tablemutex{nullptr};
static std::atomic<MUTEX*> drivemutexes[FILE_DEVICES];

// A "[FILE]" report of the platform call that just failed; the caller still
// finds that call's code as the last error afterwards.
static void reportfailure(const char* format)
{
    DWORD code = GetLastError();
    ALERT_verbose(&filereportlevel, 1, format, static_cast<int>(code & 0xFFFF));
    SetLastError(code);
}

// Free bytes as an unsigned 32-bit number: 4 GiB or more reads 0xFFFFFFFF
// instead of wrapping round to a small number.
static uint32_t saturatedproduct(DWORD sectorspercluster, DWORD bytespersector, DWORD clusters)
{
    if (sectorspercluster == 0 || bytespersector == 0 || clusters == 0)
        return 0;
    uint64_t cluster = static_cast<uint64_t>(sectorspercluster) * bytespersector;
    if (cluster > 0xFFFFFFFFu)
        return 0xFFFFFFFFu;
    uint64_t product = cluster * clusters;
    return product > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(product);
}

// Copies at most room - 1 characters of text and always ends the copy.
static void copypath(char* out, const char* text, size_t room)
{
    if (text == nullptr)
        text = "";
    size_t length = strnlen(text, room - 1);
    memcpy(out, text, length);
    out[length] = '\0';
}

// The root of a device's drive: the letter, a colon and a backslash. Device 0
// gives the character before "A", which names no drive.
static void rootofdevice(int32_t device, char root[4])
{
    root[0] = static_cast<char>(device + 64);
    root[1] = ':';
    root[2] = '\\';
    root[3] = '\0';
}

// ---------------------------------------------------------------------------
// The table.

// The table mutex is made once, race-free: of two threads that make one at
// the same moment, the second gives its own back.
static MUTEX* gettablemutex(void)
{
    MUTEX* mutex = tablemutex.load(std::memory_order_acquire);
    if (mutex != nullptr)
        return mutex;
    MUTEX* fresh = MUTEX_alloc();
    if (fresh == nullptr)
        return nullptr;
    MUTEX* expected = nullptr;
    if (!tablemutex.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        MUTEX_free(fresh);
        return expected;
    }
    return fresh;
}

static void freedrivemutexes(void)
{
    for (std::atomic<MUTEX*>& entry : drivemutexes) {
        MUTEX* mutex = entry.exchange(nullptr);
        MUTEX_free(mutex);
    }
}

// Makes the table; the table mutex is held. When the pages cannot be had
// there is no table afterwards, and every open fails cleanly.
static void maketable(int32_t capacity)
{
    if (capacity <= 0)
        capacity = FILE_DEFAULTHANDLES;
    if (capacity > INT32_MAX / static_cast<int32_t>(sizeof(FILEREC)))
        return;
    int32_t bytes = capacity * static_cast<int32_t>(sizeof(FILEREC));
    FILEREC* slots = static_cast<FILEREC*>(PAGE_alloc(&bytes));
    if (slots == nullptr)
        return;
    MEM_fill(slots, 0, bytes);
    freedrivemutexes();
    filecapacity.store(capacity, std::memory_order_release);
    fileslots.store(slots, std::memory_order_release);
}

void initfiles(int32_t capacity)
{
    if (fileslots.load(std::memory_order_acquire) != nullptr)
        shutdownfiles();
    MUTEX* table = gettablemutex();
    if (table == nullptr)
        return;
    MUTEX_lock(table);
    if (fileslots.load(std::memory_order_acquire) == nullptr)
        maketable(capacity);
    MUTEX_unlock(table);
}

void shutdownfiles(void)
{
    FILEREC* slots = fileslots.load(std::memory_order_acquire);
    MUTEX* table = tablemutex.load(std::memory_order_acquire);
    if (slots == nullptr || table == nullptr)
        return;
    MUTEX_lock(table);
    int32_t capacity = filecapacity.load(std::memory_order_acquire);
    for (int32_t index = 0; index < capacity; index++)
        if (ATOMIC_load(&slots[index].inuse) == SLOT_INUSE)
            closefile(~index);
    fileslots.store(nullptr, std::memory_order_release);
    filecapacity.store(0, std::memory_order_release);
    PAGE_free(slots);
    freedrivemutexes();
    tablemutex.store(nullptr, std::memory_order_release);
    MUTEX_unlock(table);
    MUTEX_free(table);
}

int32_t filetableexists(void) { return fileslots.load(std::memory_order_acquire) != nullptr ? 1 : 0; }

// Claims the lowest free slot and returns its index; the capacity when every
// slot is in use; -1 when there is no table and none can be made.
static int32_t allocfile(void)
{
    MUTEX* table = gettablemutex();
    if (table == nullptr)
        return -1;
    MUTEX_lock(table);
    if (fileslots.load(std::memory_order_acquire) == nullptr)
        maketable(0);
    FILEREC* slots = fileslots.load(std::memory_order_acquire);
    int32_t capacity = filecapacity.load(std::memory_order_acquire);
    int32_t index = slots == nullptr ? -1 : capacity;
    for (int32_t at = 0; slots != nullptr && at < capacity; at++) {
        FILEREC* record = &slots[at];
        if (ATOMIC_load(&record->inuse) != SLOT_FREE)
            continue;
        record->device = 0;
        ATOMIC_store(&record->reading, 0);
        ATOMIC_store(&record->placed, 0);
        record->handle = nullptr;
        record->mode = 0;
        record->blocksize = 0;
        record->mapping = nullptr;
        record->view = nullptr;
        record->position = 0;
        record->size = 0;
        ATOMIC_store(&record->inuse, SLOT_INUSE);
        index = at;
        break;
    }
    MUTEX_unlock(table);
    return index;
}

static void freeslot(FILEREC* record)
{
    MUTEX* table = tablemutex.load(std::memory_order_acquire);
    MUTEX_lock(table);
    ATOMIC_store(&record->inuse, SLOT_FREE);
    MUTEX_unlock(table);
}

// The mutex of a device number (0 to 31), made on first use under the table
// mutex so that two first opens on one drive share one mutex.
static MUTEX* devicemutex(int32_t device)
{
    MUTEX* table = gettablemutex();
    if (table == nullptr)
        return nullptr;
    MUTEX_lock(table);
    MUTEX* mutex = drivemutexes[device].load(std::memory_order_acquire);
    if (mutex == nullptr) {
        mutex = MUTEX_alloc();
        drivemutexes[device].store(mutex, std::memory_order_release);
    }
    MUTEX_unlock(table);
    return mutex;
}

// The slot of a valid handle, or null with ERROR_INVALID_HANDLE.
static FILEREC* filerecord(int32_t handle)
{
    FILEREC* slots = fileslots.load(std::memory_order_acquire);
    int32_t capacity = filecapacity.load(std::memory_order_acquire);
    int32_t index = ~handle;
    if (slots == nullptr || index < 0 || index >= capacity || ATOMIC_load(&slots[index].inuse) != SLOT_INUSE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &slots[index];
}

static MUTEX* recordmutex(const FILEREC* record)
{
    return drivemutexes[record->device].load(std::memory_order_acquire);
}

// Validates a handle and locks its drive; the handle is checked again once
// the lock is held, since a close may have finished while this thread waited.
// Clears the last-error code.
static FILEREC* lockrecord(int32_t handle)
{
    FILEREC* record = filerecord(handle);
    if (record == nullptr)
        return nullptr;
    MUTEX* drive = recordmutex(record);
    MUTEX_lock(drive);
    if (ATOMIC_load(&record->inuse) != SLOT_INUSE) {
        MUTEX_unlock(drive);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return record;
}

static void unlockrecord(const FILEREC* record) { MUTEX_unlock(recordmutex(record)); }

// Brings the position back into 0..size before a transfer. The platform's
// pointer did not move with it, so it is no longer known to be there.
static void clampposition(FILEREC* record)
{
    if (record->position >= 0 && record->position <= record->size)
        return;
    record->position = record->position < 0 ? 0 : record->size;
    ATOMIC_store(&record->placed, 0);
}

// ---------------------------------------------------------------------------
// Files.

static DWORD sectorsize(int32_t device)
{
    char root[4];
    rootofdevice(device, root);
    DWORD sectorspercluster = 0, bytespersector = 0, freeclusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceA(root, &sectorspercluster, &bytespersector, &freeclusters, &clusters))
        return SECTOR_FALLBACK;
    return bytespersector;
}

// 16 KiB unless the caller asks for a size, which is rounded up to whole
// sectors (16 KiB when the sector size is 0).
static uint32_t blocksizefor(uint32_t requested, DWORD sector)
{
    if (requested == 0 || sector == 0)
        return FILE_DEFAULTBLOCK;
    uint64_t rounded = (static_cast<uint64_t>(requested) + sector - 1) / sector * sector;
    if (rounded > 0xFFFFFFFFu)
        rounded = 0xFFFFFFFFu / sector * sector;
    return static_cast<uint32_t>(rounded);
}

static DWORD dispositionfor(uint32_t mode)
{
    if ((mode & FM_CREATE) != 0)
        return (mode & FM_TRUNCATE) != 0 ? CREATE_ALWAYS : CREATE_NEW;
    return (mode & FM_TRUNCATE) != 0 ? TRUNCATE_EXISTING : OPEN_EXISTING;
}

static DWORD attributesfor(uint32_t mode)
{
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if ((mode & FM_NOBUFFER) != 0)
        attributes |= FILE_FLAG_NO_BUFFERING;
    if ((mode & FM_SEQUENTIAL) != 0)
        attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
    if ((mode & FM_WRITETHROUGH) != 0)
        attributes |= FILE_FLAG_WRITE_THROUGH;
    return attributes;
}

// Maps the whole of an open file; on any failure the file stays unmapped and
// is used through the platform calls.
static void mapfile(FILEREC* record)
{
    bool writes = (record->mode & FM_WRITE) != 0;
    HANDLE mapping = CreateFileMappingA(record->handle, nullptr, (writes ? PAGE_READWRITE : PAGE_READONLY) | SEC_COMMIT,
                                        0, 0, nullptr);
    void* view = nullptr;
    if (mapping != nullptr) {
        view = MapViewOfFile(mapping, writes ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(record->size));
        if (view == nullptr) {
            DWORD code = GetLastError();
            CloseHandle(mapping);
            SetLastError(code);
            mapping = nullptr;
        }
    }
    record->mapping = mapping;
    record->view = view;
    if (view == nullptr)
        record->mode &= ~FM_MAP;
}

// Takes a free slot for a new handle: its index, with *record set; -1 when
// the table has no room (ERROR_NOT_ENOUGH_MEMORY when it could not grow).
static int32_t takeslot(FILEREC** record)
{
    int32_t index = allocfile();
    if (index < 0)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    if (index < 0 || index >= filecapacity.load(std::memory_order_acquire))
        return -1;
    *record = &fileslots.load(std::memory_order_acquire)[index];
    return index;
}

int32_t openfile(const char* path, uint32_t mode, uint32_t blocksize, int32_t* handle)
{
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *handle = 0;
    SetLastError(ERROR_SUCCESS);
    FILEREC* record = nullptr;
    int32_t index = takeslot(&record);
    if (index < 0)
        return 0;

    DWORD access = ((mode & FM_READ) != 0 ? GENERIC_READ : 0) | ((mode & FM_WRITE) != 0 ? GENERIC_WRITE : 0);
    DWORD sharing =
        ((mode & FM_SHAREREAD) != 0 ? FILE_SHARE_READ : 0) | ((mode & FM_SHAREWRITE) != 0 ? FILE_SHARE_WRITE : 0);
    record->mode = mode;
    int32_t device = devicenumberofpath(path);
    record->device = static_cast<uint8_t>(device);
    MUTEX* drive = devicemutex(device);
    if (drive == nullptr) {
        freeslot(record);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    MUTEX_lock(drive);

    // Only a block size asked for is rounded to sectors: the query costs a
    // system call per open.
    DWORD sector = blocksize != 0 ? sectorsize(device) : 0;
    HANDLE platform = CreateFileA(path, access, sharing, nullptr, dispositionfor(mode), attributesfor(mode), nullptr);
    record->handle = platform;
    if (platform == INVALID_HANDLE_VALUE) {
        reportfailure("[FILE] CreateFile failed (%d)\n");
        MUTEX_unlock(drive);
        freeslot(record);
        return 0;
    }
    record->blocksize = blocksizefor(blocksize, sector);
    // Positions and sizes are signed 32-bit: a file of 2 GiB or more is
    // refused rather than read at a wrapped offset.
    DWORD high = 0;
    DWORD size = GetFileSize(platform, &high);
    if (high != 0 || size > static_cast<DWORD>(INT32_MAX)) {
        CloseHandle(platform);
        SetLastError(ERROR_FILE_TOO_LARGE);
        MUTEX_unlock(drive);
        freeslot(record);
        return 0;
    }
    record->size = static_cast<int32_t>(size);
    record->mapping = INVALID_HANDLE_VALUE;
    record->view = nullptr;
    if ((mode & FM_MAP) != 0)
        mapfile(record);
    record->position = 0;
    ATOMIC_store(&record->placed, 1);
    *handle = ~index;
    MUTEX_unlock(drive);
    return 1;
}

int32_t openmemoryfile(void* base, int32_t size, int32_t device, uint32_t blocksize, int32_t* handle)
{
    if (handle == nullptr || base == nullptr || device < 0 || device >= FILE_DEVICES || size < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    FILEREC* record = nullptr;
    int32_t index = takeslot(&record);
    if (index < 0)
        return 0;
    if (devicemutex(device) == nullptr) {
        freeslot(record);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    record->device = static_cast<uint8_t>(device);
    record->handle = INVALID_HANDLE_VALUE;
    record->mode = FM_MAP;
    record->blocksize = blocksize != 0 ? blocksize : FILE_DEFAULTBLOCK;
    record->mapping = INVALID_HANDLE_VALUE;
    record->view = base;
    record->position = 0;
    record->size = size;
    *handle = ~index;
    return 1;
}

int32_t closefile(int32_t handle)
{
    FILEREC* record = filerecord(handle);
    if (record == nullptr)
        return 0;
    if (!ATOMIC_swapif(&record->inuse, SLOT_INUSE, SLOT_CLOSING)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    MUTEX* drive = recordmutex(record);
    MUTEX_lock(drive);
    SetLastError(ERROR_SUCCESS);
    if (record->mapping != INVALID_HANDLE_VALUE) {
        if (record->view != nullptr)
            UnmapViewOfFile(record->view);
        if (record->mapping != nullptr)
            CloseHandle(record->mapping);
    }
    if (record->handle != INVALID_HANDLE_VALUE)
        CloseHandle(record->handle);
    record->view = nullptr;
    record->mapping = INVALID_HANDLE_VALUE;
    record->handle = INVALID_HANDLE_VALUE;
    MUTEX_unlock(drive);
    freeslot(record);
    return 1;
}

// Copies one block between memory and a view. Another process may cut a
// mapped file short, and touching a view's pages past the file's new end
// would fault; the platform's process-memory copy fails instead, and the
// transfer fails with its code.
static bool copyview(char* memory, const char* view, uint32_t count, bool write)
{
    BOOL copied = write ? WriteProcessMemory(GetCurrentProcess(), const_cast<char*>(view), memory, count, nullptr)
                        : ReadProcessMemory(GetCurrentProcess(), view, memory, count, nullptr);
    if (!copied)
        reportfailure(write ? "[FILE] WriteProcessMemory failed (%d)\n" : "[FILE] ReadProcessMemory failed (%d)\n");
    return copied != FALSE;
}

// Moves count bytes between memory and the file at its position, a block at
// a time, with the drive locked; reads and writes share it. A read stops
// between blocks once cancelread has cleared its flag. The bytes moved, or
// 0 when a block failed.
static uint32_t moveblocks(FILEREC* record, char* memory, uint32_t count, bool write)
{
    uint32_t total = 0;
    uint32_t block = record->blocksize;
    while (count != 0) {
        if (!write && ATOMIC_load(&record->reading) == 0)
            break;
        if (block > count)
            block = count;
        uint32_t moved = 0;
        if (record->view != nullptr) {
            if (!copyview(memory, static_cast<char*>(record->view) + record->position, block, write))
                return 0;
            moved = block;
            // Let other threads in between blocks; after the last one the
            // caller goes on at once (a yield costs milliseconds on a busy
            // machine, and a small entry is a single block).
            if (count > block)
                THREAD_sleep(0);
        } else {
            DWORD done = 0;
            BOOL ok = write ? WriteFile(record->handle, memory, block, &done, nullptr)
                            : ReadFile(record->handle, memory, block, &done, nullptr);
            if (!ok) {
                // Part of the block may have moved the pointer.
                ATOMIC_store(&record->placed, 0);
                if (GetLastError() == ERROR_IO_PENDING) {
                    THREAD_sleep(1);
                    continue;
                }
                reportfailure(write ? "[FILE] WriteFile failed (%d)\n" : "[FILE] ReadFile failed (%d)\n");
                return 0;
            }
            moved = done;
        }
        record->position += static_cast<int32_t>(moved);
        total += moved;
        memory += moved;
        if (record->position > record->size) {
            if (write) {
                record->size = record->position;
            } else {
                record->position = record->size;
                ATOMIC_store(&record->placed, 0);
            }
        }
        if (moved < block)
            break;
        count -= moved;
    }
    return total;
}

// The locked record of handle, or null (with the last error set) when the
// handle is not open or buffer is null for a transfer of count bytes.
static FILEREC* lockfortransfer(int32_t handle, const void* buffer, uint32_t count)
{
    FILEREC* record = lockrecord(handle);
    if (record != nullptr && buffer == nullptr && count != 0) {
        unlockrecord(record);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return record;
}

// The transfers and the seek below, on a record whose drive is locked.
static uint32_t readrecord(FILEREC* record, void* buffer, uint32_t count)
{
    clampposition(record);
    if (static_cast<int64_t>(record->position) + count > record->size)
        count = static_cast<uint32_t>(record->size - record->position);
    ATOMIC_store(&record->reading, 1);
    uint32_t total = moveblocks(record, static_cast<char*>(buffer), count, false);
    ATOMIC_store(&record->reading, 0);
    return total;
}

static uint32_t writerecord(FILEREC* record, const void* buffer, uint32_t count)
{
    // A view opened without write access is read-only memory: refuse
    // rather than fault.
    if (record->view != nullptr && (record->mode & FM_WRITE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    clampposition(record);
    if (record->view != nullptr) {
        if (static_cast<int64_t>(record->position) + count > record->size)
            count = static_cast<uint32_t>(record->size - record->position);
    } else if (static_cast<int64_t>(record->position) + count > INT32_MAX) {
        count = static_cast<uint32_t>(INT32_MAX - record->position);
    }
    // The source is only read: the block loop moves bytes in both directions.
    return moveblocks(record, const_cast<char*>(static_cast<const char*>(buffer)), count, true);
}

static int32_t placerecord(FILEREC* record, int32_t position)
{
    if (position > record->size)
        position = record->size;
    if (position < 0)
        position = 0;
    if (record->view != nullptr) {
        record->position = position;
    } else if (ATOMIC_load(&record->placed) == 0 || record->position != position) {
        DWORD at = SetFilePointer(record->handle, position, nullptr, FILE_BEGIN);
        if (at == INVALID_SET_FILE_POINTER) {
            ATOMIC_store(&record->placed, 0);
            return 0;
        }
        record->position = static_cast<int32_t>(at);
        ATOMIC_store(&record->placed, 1);
    }
    return 1;
}

static uint32_t moverecord(FILEREC* record, const void* buffer, uint32_t count, bool write)
{
    return write ? writerecord(record, buffer, count) : readrecord(record, const_cast<void*>(buffer), count);
}

// readfromfile and writetofile.
static uint32_t transferfile(int32_t handle, const void* buffer, uint32_t count, bool write)
{
    FILEREC* record = lockfortransfer(handle, buffer, count);
    if (record == nullptr)
        return 0;
    uint32_t total = moverecord(record, buffer, count, write);
    unlockrecord(record);
    return total;
}

uint32_t readfromfile(int32_t handle, void* buffer, uint32_t count)
{
    return transferfile(handle, buffer, count, false);
}

uint32_t writetofile(int32_t handle, const void* buffer, uint32_t count)
{
    return transferfile(handle, buffer, count, true);
}

int32_t seekfile(int32_t handle, int32_t position)
{
    FILEREC* record = lockrecord(handle);
    if (record == nullptr)
        return 0;
    int32_t result = placerecord(record, position);
    unlockrecord(record);
    return result;
}

int32_t FILE_transferat(int32_t handle, int32_t position, void* buffer, uint32_t count, int32_t write, uint32_t* moved)
{
    *moved = 0;
    FILEREC* record = lockrecord(handle);
    if (record == nullptr)
        return 0;
    int32_t placed = placerecord(record, position);
    if (placed) {
        // As after seekfile, readfromfile and writetofile: only the transfer's
        // own failure leaves a code.
        SetLastError(buffer == nullptr && count != 0 ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS);
        if (buffer != nullptr || count == 0)
            *moved = moverecord(record, buffer, count, write != 0);
    }
    unlockrecord(record);
    return placed;
}

int32_t tellfile(int32_t handle)
{
    FILEREC* record = filerecord(handle);
    if (record == nullptr)
        return 0;
    SetLastError(ERROR_SUCCESS);
    if (record->view != nullptr)
        return record->position;
    DWORD at = SetFilePointer(record->handle, 0, nullptr, FILE_CURRENT);
    if (at == INVALID_SET_FILE_POINTER) {
        reportfailure("[FILE] SetFilePointer failed (%d)\n");
        ATOMIC_store(&record->placed, 0);
        record->position = 0;
        return 0;
    }
    record->position = static_cast<int32_t>(at);
    return record->position;
}

// Ends the file at position (the new size), which is also where the file's
// position is left, and the recorded size follows.
int32_t setendfile(int32_t handle, int32_t position)
{
    FILEREC* record = lockrecord(handle);
    if (record == nullptr)
        return 0;
    if (record->view != nullptr) {
        unlockrecord(record);
        return 0;
    }
    BOOL ended = FALSE;
    ATOMIC_store(&record->placed, 0);
    if (SetFilePointer(record->handle, position, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
        ended = SetEndOfFile(record->handle);
        if (ended) {
            record->position = position;
            record->size = position;
            ATOMIC_store(&record->placed, 1);
        } else {
            // Back to where the file was, keeping the failure's code.
            DWORD code = GetLastError();
            if (SetFilePointer(record->handle, record->position, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER)
                ATOMIC_store(&record->placed, 1);
            SetLastError(code);
        }
    }
    unlockrecord(record);
    return ended ? 1 : 0;
}

int32_t getfileinfo(int32_t handle, uint32_t* mode, uint32_t* blocksize, int32_t* size, uint32_t* freebytes)
{
    FILEREC* record = lockrecord(handle);
    if (record == nullptr)
        return 0;
    if (mode != nullptr)
        *mode = record->mode;
    if (blocksize != nullptr)
        *blocksize = record->blocksize;
    if (size != nullptr)
        *size = record->size;
    int32_t result = 1;
    if (freebytes != nullptr) {
        char root[4];
        rootofdevice(record->device, root);
        DWORD sectorspercluster = 0, bytespersector = 0, freeclusters = 0, clusters = 0;
        if (GetDiskFreeSpaceA(root, &sectorspercluster, &bytespersector, &freeclusters, &clusters)) {
            *freebytes = saturatedproduct(sectorspercluster, bytespersector, freeclusters);
        } else {
            reportfailure("[FILE] GetDiskFreeSpace failed (%d)\n");
            *freebytes = 0;
            result = 0;
        }
    }
    unlockrecord(record);
    return result;
}

void* getfileaddress(int32_t handle)
{
    FILEREC* record = filerecord(handle);
    return record != nullptr ? record->view : nullptr;
}

int32_t getfiledevice(int32_t handle)
{
    FILEREC* record = filerecord(handle);
    return record != nullptr ? record->device : 0;
}

int32_t cancelread(int32_t handle)
{
    FILEREC* record = filerecord(handle);
    if (record == nullptr)
        return 0;
    SetLastError(ERROR_SUCCESS);
    return ATOMIC_swapif(&record->reading, 1, 0) ? 1 : 0;
}

int32_t lockfiledevice(int32_t handle) { return lockrecord(handle) != nullptr ? 1 : 0; }

int32_t unlockfiledevice(int32_t handle)
{
    FILEREC* record = filerecord(handle);
    if (record == nullptr)
        return 0;
    SetLastError(ERROR_SUCCESS);
    unlockrecord(record);
    return 1;
}

int32_t removefile(const char* path)
{
    SetLastError(ERROR_SUCCESS);
    return DeleteFileA(path);
}

// ---------------------------------------------------------------------------
// Paths, drives and directories.

int32_t isseparator(int32_t character) { return character == '\\' || character == '/' ? 1 : 0; }

static int32_t upper(int32_t character)
{
    return character >= 'a' && character <= 'z' ? character - 'a' + 'A' : character;
}

static bool samename(const char* a, const char* b)
{
    while (*a != '\0' && upper(static_cast<unsigned char>(*a)) == upper(static_cast<unsigned char>(*b))) {
        a++;
        b++;
    }
    return upper(static_cast<unsigned char>(*a)) == upper(static_cast<unsigned char>(*b));
}

int32_t canonicalpath(const char* path, char* out, int32_t outsize)
{
    if (out == nullptr || outsize <= 0)
        return 0;
    char* filepart = nullptr;
    DWORD length = GetFullPathNameA(path, static_cast<DWORD>(outsize), out, &filepart);
    // A full path that does not fit counts as a failure: out was not written.
    if (length == 0 || length >= static_cast<DWORD>(outsize)) {
        copypath(out, path, outsize < FILE_PATHSIZE ? static_cast<size_t>(outsize) : FILE_PATHSIZE);
        return 0;
    }
    char root[FILE_PATHSIZE + 1];
    rootofpath(out, root);
    DWORD flags = 0;
    if (!GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
        reportfailure("[FILE] GetVolumeInformation failed (%d)\n");
        return 0;
    }
    if ((flags & FILE_CASE_PRESERVED_NAMES) == 0)
        CharUpperA(out);
    if ((flags & FILE_UNICODE_ON_DISK) != 0)
        return 1;
    // The last component takes the form stored on the disk, when it fits.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        size_t room = filepart != nullptr ? static_cast<size_t>(outsize - (filepart - out)) : 0;
        size_t needed = strnlen(found.cFileName, MAX_PATH - 1) + 1;
        if (needed <= room) {
            memcpy(filepart, found.cFileName, needed - 1);
            filepart[needed - 1] = '\0';
        }
    }
    return 1;
}

void rootofpath(const char* path, char* out)
{
    copypath(out, path, FILE_PATHSIZE);
    char* at = out;
    while (at[0] != '\0' && !(isseparator(at[0]) && isseparator(at[1])))
        at++;
    if (at[0] != '\0') {
        // A network path: two separators, the server, a separator, the share
        // and the separator after it.
        at += 2;
        while (*at != '\0' && !isseparator(*at))
            at++;
        if (*at != '\0')
            at++;
        while (*at != '\0' && !isseparator(*at))
            at++;
        if (*at != '\0')
            at++;
        *at = '\0';
        return;
    }
    for (at = out; *at != '\0'; at++) {
        if (isseparator(*at)) {
            at[1] = '\0';
            return;
        }
    }
}

int32_t findlogicaldrive(const char* path, char* root)
{
    char scratch[FILE_PATHSIZE + 1];
    if (root == nullptr)
        root = scratch;
    int32_t bytes = 4096;
    char* block = static_cast<char*>(PAGE_alloc(&bytes));
    if (block == nullptr) {
        root[0] = '\0';
        return 0;
    }
    if (!canonicalpath(path, block, 4095))
        getdirectory(block);
    rootofpath(block, root);

    DWORD length = GetLogicalDriveStringsA(0, nullptr);
    if (length > 4095) {
        PAGE_free(block);
        bytes = static_cast<int32_t>(length) + 1;
        block = static_cast<char*>(PAGE_alloc(&bytes));
        if (block == nullptr)
            return 0;
    }
    DWORD filled = GetLogicalDriveStringsA(static_cast<DWORD>(bytes), block);
    if (filled == 0 || filled >= static_cast<DWORD>(bytes))
        block[0] = '\0';
    block[bytes - 1] = '\0';
    DWORD mask = GetLogicalDrives();

    // Only a listed drive whose root matches gives a letter; a scan that runs
    // off the end of the list finds none.
    int32_t letter = 0;
    const char* entry = block;
    for (int32_t index = 0; index < 32 && entry < block + bytes && *entry != '\0'; index++) {
        if ((mask & (1u << index)) == 0)
            continue;
        if (samename(entry, root)) {
            letter = 65 + index;
            break;
        }
        entry += strlen(entry) + 1;
    }
    PAGE_free(block);
    return letter;
}

int32_t driveofpath(const char* path)
{
    if (path == nullptr)
        path = ".";
    if (strchr(path, '|') != nullptr)
        return 0;
    char full[FILE_PATHSIZE + 1];
    DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full)
        return 0;
    CharUpperA(full);
    // Only the letters A to Z are drives, so a device number stays in 1..26.
    if (length < 2 || full[1] != ':' || full[0] < 'A' || full[0] > 'Z')
        return 0;
    return full[0];
}

int32_t devicenumberofpath(const char* path)
{
    int32_t letter = driveofpath(path);
    return letter != 0 ? letter - 64 : 0;
}

uint32_t diskfreespace(const char* root)
{
    SetLastError(ERROR_SUCCESS);
    DWORD sectorspercluster = 0, bytespersector = 0, freeclusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceA(root, &sectorspercluster, &bytespersector, &freeclusters, &clusters))
        return 0;
    return saturatedproduct(sectorspercluster, bytespersector, freeclusters);
}

int32_t setdirectory(const char* path)
{
    SetLastError(ERROR_SUCCESS);
    BOOL done = SetCurrentDirectoryA(path);
    if (done)
        return done;
    ALERT_raise(MODULE_FILE, "setdirectory - FAILED ON '%s'\n", path != nullptr ? path : "");
    return 0;
}

int32_t getdirectory(char* buffer)
{
    SetLastError(ERROR_SUCCESS);
    DWORD length = buffer != nullptr ? GetCurrentDirectoryA(FILE_DIRECTORYSIZE, buffer) : 0;
    if (length >= 1 && length <= FILE_DIRECTORYSIZE)
        return static_cast<int32_t>(length);
    // The buffer was not written: leave it an empty string.
    if (buffer != nullptr)
        buffer[0] = '\0';
    ALERT_raise(MODULE_FILE, "getdirectory - FAILED TO FETCH, OR WAS TOO LONG (%D CHAR).\n", static_cast<int>(length));
    return 0;
}
