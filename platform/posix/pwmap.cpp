// File mappings and their views, and the view copies ReadProcessMemory and
// WriteProcessMemory, with the Windows behaviour that the native file layer
// relies on: an empty file cannot be mapped, a mapping keeps its file from
// being truncated (it is counted in the share registry of pwfile.cpp), and
// a copy from or to a shared view goes through the file itself, so that a
// view whose file another process cut short never faults.
//
// Positions and sizes are 64-bit even in 32-bit builds.
#define _FILE_OFFSET_BITS 64

#include "pwfile.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pwfileint.h"
#include "pwsys.h"
#include "pwhandle.h"

// ---------------------------------------------------------------------------
// Mappings and views. A mapping holds its own descriptor of the file, so it
// outlives the file's handle as on Windows; a view holds a reference to its
// mapping until it is unmapped.

struct PW_MAPPINGOBJECT : PW_OBJECT {
    int fd;
    bool writable;
    uint64_t size;
    dev_t device;
    ino_t inode;
};

struct PW_VIEW {
    PW_VIEW* next;
    void* address;
    size_t length;
    uint64_t offset;  // of address in the file
    bool shared;      // false for a copy-on-write view
    PW_MAPPINGOBJECT* mapping;
};

static pthread_mutex_t PW_viewlock = PTHREAD_MUTEX_INITIALIZER;
static PW_VIEW* PW_views = nullptr;

static void PW_destroymapping(PW_OBJECT* object)
{
    PW_MAPPINGOBJECT* mapping = static_cast<PW_MAPPINGOBJECT*>(object);
    PW_dropmapping(mapping->device, mapping->inode);
    PW_sys.close(mapping->fd);
    delete mapping;
}

HANDLE WINAPI CreateFileMappingA(HANDLE handle, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD maxhigh,
                                 DWORD maxlow, LPCSTR name)
{
    DWORD protection = protect & ~SEC_COMMIT;
    if (name != nullptr || (protection != PAGE_READONLY && protection != PAGE_READWRITE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    PW_FILEOBJECT* file = PW_getfile(handle);
    if (file == nullptr)
        return nullptr;
    bool writable = protection == PAGE_READWRITE;
    DWORD needed = writable ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
    uint64_t size = (static_cast<uint64_t>(maxhigh) << 32) | maxlow;
    DWORD error = ERROR_SUCCESS;
    struct stat info;
    if ((file->access & needed) != needed)
        error = ERROR_ACCESS_DENIED;
    else if (PW_sys.fstat(file->fd, &info) != 0)
        error = PW_errortocode(errno);
    else if (size == 0 && info.st_size == 0)
        error = ERROR_FILE_INVALID;
    else if (size > static_cast<uint64_t>(info.st_size) && !writable)
        error = ERROR_INVALID_PARAMETER;
    else if (size > SIZE_MAX)
        error = ERROR_NOT_ENOUGH_MEMORY;
    else if (size > static_cast<uint64_t>(info.st_size) && PW_sys.ftruncate(file->fd, static_cast<off_t>(size)) != 0)
        error = PW_errortocode(errno);  // a larger writable mapping grows the file
    int fd = -1;
    if (error == ERROR_SUCCESS) {
        if (size == 0)
            size = static_cast<uint64_t>(info.st_size);
        fd = PW_sys.fcntl(file->fd, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            error = PW_errortocode(errno);
    }
    PW_release(file);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }

    PW_addmapping(info.st_dev, info.st_ino);
    PW_MAPPINGOBJECT* mapping = new PW_MAPPINGOBJECT{{}, fd, writable, size, info.st_dev, info.st_ino};
    HANDLE result = PW_makehandle(mapping, PW_MAPPING, PW_destroymapping);
    if (result == nullptr)
        return nullptr;
    SetLastError(ERROR_SUCCESS);
    return result;
}

LPVOID WINAPI MapViewOfFile(HANDLE handle, DWORD access, DWORD offsethigh, DWORD offsetlow, SIZE_T count)
{
    PW_MAPPINGOBJECT* mapping = static_cast<PW_MAPPINGOBJECT*>(PW_gethandle(handle, PW_MAPPING));
    if (mapping == nullptr)
        return nullptr;
    bool copy = access == FILE_MAP_COPY;
    bool writes = (access & FILE_MAP_WRITE) != 0;
    uint64_t offset = (static_cast<uint64_t>(offsethigh) << 32) | offsetlow;
    uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    DWORD error = ERROR_SUCCESS;
    if (writes && !mapping->writable)
        error = ERROR_ACCESS_DENIED;
    else if (offset % page != 0)
        error = ERROR_MAPPED_ALIGNMENT;
    else if (offset >= mapping->size)
        error = ERROR_INVALID_PARAMETER;
    else if (count != 0 && count > mapping->size - offset)
        error = ERROR_ACCESS_DENIED;  // the view would reach past the mapping
    void* address = MAP_FAILED;
    size_t length = count != 0 ? count : static_cast<size_t>(mapping->size - offset);
    if (error == ERROR_SUCCESS) {
        int prot = PROT_READ | (writes || copy ? PROT_WRITE : 0);
        address = PW_sys.mmap(nullptr, length, prot, copy ? MAP_PRIVATE : MAP_SHARED, mapping->fd,
                              static_cast<off_t>(offset));
        if (address == MAP_FAILED)
            error = PW_errortocode(errno);
    }
    if (error != ERROR_SUCCESS) {
        PW_release(mapping);
        SetLastError(error);
        return nullptr;
    }
    // The view keeps the reference that PW_gethandle took.
    PW_VIEW* view = new PW_VIEW();
    view->address = address;
    view->length = length;
    view->offset = offset;
    view->shared = !copy;
    view->mapping = mapping;
    pthread_mutex_lock(&PW_viewlock);
    view->next = PW_views;
    PW_views = view;
    pthread_mutex_unlock(&PW_viewlock);
    return address;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID address)
{
    PW_VIEW* found = nullptr;
    pthread_mutex_lock(&PW_viewlock);
    for (PW_VIEW** link = &PW_views; *link != nullptr; link = &(*link)->next) {
        if ((*link)->address == address) {
            found = *link;
            *link = found->next;
            break;
        }
    }
    pthread_mutex_unlock(&PW_viewlock);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    PW_sys.munmap(found->address, found->length);
    PW_release(found->mapping);
    delete found;
    return TRUE;
}

// The shared view that holds address: its mapping, with a reference taken,
// the file offset of address and the view's bytes from there on. Null when
// address lies in no shared view.
static PW_MAPPINGOBJECT* PW_viewat(const void* address, uint64_t* offset, size_t* room)
{
    const char* at = static_cast<const char*>(address);
    PW_MAPPINGOBJECT* found = nullptr;
    pthread_mutex_lock(&PW_viewlock);
    for (PW_VIEW* view = PW_views; view != nullptr; view = view->next) {
        const char* start = static_cast<const char*>(view->address);
        if (view->shared && at >= start && at < start + view->length) {
            found = view->mapping;
            PW_addref(found);
            *offset = view->offset + static_cast<uint64_t>(at - start);
            *room = view->length - static_cast<size_t>(at - start);
            break;
        }
    }
    pthread_mutex_unlock(&PW_viewlock);
    return found;
}

// Moves up to count bytes between memory and the mapped file at offset
// through the file itself, which reports the end of the file where the view
// would fault. A write never reaches past the file's current end.
static size_t PW_viewtransfer(const PW_MAPPINGOBJECT* mapping, char* memory, size_t count, uint64_t offset, bool write)
{
    if (write) {
        struct stat info;
        uint64_t end = PW_sys.fstat(mapping->fd, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
        uint64_t room = end > offset ? end - offset : 0;
        if (count > room)
            count = static_cast<size_t>(room);
    }
    size_t moved = 0;
    while (moved < count) {
        off_t at = static_cast<off_t>(offset + moved);
        ssize_t n = write ? PW_sys.pwrite(mapping->fd, memory + moved, count - moved, at)
                          : PW_sys.pread(mapping->fd, memory + moved, count - moved, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        moved += static_cast<size_t>(n);
    }
    return moved;
}

// The body of ReadProcessMemory and WriteProcessMemory: view is the side of
// the copy that may lie in a mapped view, memory the other side.
static BOOL PW_processcopy(HANDLE process, void* view, void* memory, SIZE_T count, SIZE_T* done, bool write)
{
    if (done != nullptr)
        *done = 0;
    if (process != PW_CURRENTPROCESS) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (count == 0)
        return TRUE;
    if (view == nullptr || memory == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t offset = 0;
    size_t room = 0;
    size_t moved = count;
    PW_MAPPINGOBJECT* mapping = PW_viewat(view, &offset, &room);
    if (mapping != nullptr) {
        moved = PW_viewtransfer(mapping, static_cast<char*>(memory), count < room ? count : room, offset, write);
        PW_release(mapping);
    } else if (write) {
        memcpy(view, memory, count);
    } else {
        memcpy(memory, view, count);
    }
    if (done != nullptr)
        *done = moved;
    if (moved < count) {
        SetLastError(ERROR_PARTIAL_COPY);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ReadProcessMemory(HANDLE process, LPCVOID address, LPVOID buffer, SIZE_T count, SIZE_T* done)
{
    return PW_processcopy(process, const_cast<void*>(address), buffer, count, done, false);
}

BOOL WINAPI WriteProcessMemory(HANDLE process, LPVOID address, LPCVOID buffer, SIZE_T count, SIZE_T* done)
{
    return PW_processcopy(process, address, const_cast<void*>(buffer), count, done, true);
}
