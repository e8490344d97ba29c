// Files, file mappings, paths, drives and directories of our POSIX platform,
// with the Windows behaviour that the native file layer relies on: the five
// dispositions, share modes that refuse a conflicting second open with
// ERROR_SHARING_VIOLATION, directories refused as files, mappings that an
// empty file cannot have and that keep their file from being truncated, and
// the path services' answers for paths without drive letters.
//
// Positions and sizes are 64-bit even in 32-bit builds.
#define _FILE_OFFSET_BITS 64

#include "pwfile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include <string>
#include <vector>

#include "pwhandle.h"

// ---------------------------------------------------------------------------
// Paths.

static bool PW_isdrivepath(const char* path)
{
    char letter = path[0];
    return ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) && path[1] == ':';
}

// Whether path can be handed to the POSIX calls; otherwise the last error
// says why not.
static bool PW_checkpath(const char* path)
{
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (strnlen(path, MAX_PATH) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // No drive path names anything here, and "" names nothing anywhere.
    if (path[0] == '\0' || PW_isdrivepath(path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return true;
}

static bool PW_isdirectory(const char* path)
{
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

static bool PW_parentexists(const char* path)
{
    const char* slash = strrchr(path, '/');
    if (slash == nullptr)
        return true;
    if (slash == path)
        return PW_isdirectory("/");
    std::string parent(path, static_cast<size_t>(slash - path));
    return PW_isdirectory(parent.c_str());
}

// errno of a call on path: a missing name is ERROR_FILE_NOT_FOUND when its
// directory exists and ERROR_PATH_NOT_FOUND when it does not, as on Windows.
static void PW_setpatherror(int err, const char* path)
{
    if (err == ENOENT && !PW_parentexists(path))
        SetLastError(ERROR_PATH_NOT_FOUND);
    else
        PW_seterrno(err);
}

// ---------------------------------------------------------------------------
// The share registry: for every file (device and inode) that this process
// holds open, how its handles use and share it, and how many mappings of it
// exist. The lock also covers each open from the POSIX open() to its
// registration, so that two conflicting opens cannot both pass the check.

struct PW_SHARE {
    PW_SHARE* next;
    dev_t device;
    ino_t inode;
    int readers;        // handles with GENERIC_READ
    int writers;        // handles with GENERIC_WRITE
    int noshareread;    // handles without FILE_SHARE_READ
    int nosharewrite;   // handles without FILE_SHARE_WRITE
    int nosharedelete;  // handles without FILE_SHARE_DELETE
    int handles;
    int mappings;
};

static pthread_mutex_t PW_sharelock = PTHREAD_MUTEX_INITIALIZER;
static PW_SHARE* PW_shares = nullptr;

static PW_SHARE* PW_findshare(dev_t device, ino_t inode, bool make)
{
    for (PW_SHARE* share = PW_shares; share != nullptr; share = share->next)
        if (share->device == device && share->inode == inode)
            return share;
    if (!make)
        return nullptr;
    PW_SHARE* share = new PW_SHARE();
    share->device = device;
    share->inode = inode;
    share->next = PW_shares;
    PW_shares = share;
    return share;
}

static void PW_dropshareifunused(PW_SHARE* share)
{
    if (share->handles != 0 || share->mappings != 0)
        return;
    for (PW_SHARE** link = &PW_shares; *link != nullptr; link = &(*link)->next) {
        if (*link == share) {
            *link = share->next;
            delete share;
            return;
        }
    }
}

static bool PW_shareconflict(const PW_SHARE* share, DWORD access, DWORD sharing)
{
    if ((access & GENERIC_READ) != 0 && share->noshareread != 0)
        return true;
    if ((access & GENERIC_WRITE) != 0 && share->nosharewrite != 0)
        return true;
    if ((sharing & FILE_SHARE_READ) == 0 && share->readers != 0)
        return true;
    if ((sharing & FILE_SHARE_WRITE) == 0 && share->writers != 0)
        return true;
    return false;
}

// Adds (step 1) or removes (step -1) one handle's use of a file.
static void PW_countuse(PW_SHARE* share, DWORD access, DWORD sharing, int step)
{
    share->handles += step;
    share->readers += (access & GENERIC_READ) != 0 ? step : 0;
    share->writers += (access & GENERIC_WRITE) != 0 ? step : 0;
    share->noshareread += (sharing & FILE_SHARE_READ) == 0 ? step : 0;
    share->nosharewrite += (sharing & FILE_SHARE_WRITE) == 0 ? step : 0;
    share->nosharedelete += (sharing & FILE_SHARE_DELETE) == 0 ? step : 0;
}

static int PW_mappingsof(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return 0;
    pthread_mutex_lock(&PW_sharelock);
    PW_SHARE* share = PW_findshare(info.st_dev, info.st_ino, false);
    int mappings = share != nullptr ? share->mappings : 0;
    pthread_mutex_unlock(&PW_sharelock);
    return mappings;
}

// ---------------------------------------------------------------------------
// File objects.

struct PW_FILEOBJECT : PW_OBJECT {
    int fd;
    DWORD access;
    DWORD sharing;
    dev_t device;
    ino_t inode;
};

static void PW_destroyfile(PW_OBJECT* object)
{
    PW_FILEOBJECT* file = static_cast<PW_FILEOBJECT*>(object);
    pthread_mutex_lock(&PW_sharelock);
    PW_SHARE* share = PW_findshare(file->device, file->inode, false);
    if (share != nullptr) {
        PW_countuse(share, file->access, file->sharing, -1);
        PW_dropshareifunused(share);
    }
    pthread_mutex_unlock(&PW_sharelock);
    close(file->fd);
    delete file;
}

static PW_FILEOBJECT* PW_getfile(HANDLE handle)
{
    return static_cast<PW_FILEOBJECT*>(PW_gethandle(handle, PW_FILE));
}

static int PW_openretry(const char* path, int flags, mode_t mode)
{
    int fd;
    do
        fd = open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens path for the disposition; existed tells whether the file was there
// already. Never truncates: that waits until the share check has passed.
static int PW_openfordisposition(const char* path, int flags, mode_t mode, DWORD disposition, bool* existed)
{
    *existed = true;
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
        return PW_openretry(path, flags, mode);
    if (disposition == CREATE_NEW) {
        *existed = false;
        return PW_openretry(path, flags | O_CREAT | O_EXCL, mode);
    }
    // OPEN_ALWAYS and CREATE_ALWAYS: open what is there, else create it; a
    // file made or removed by someone else in between just means another try.
    for (int attempt = 0; attempt < 100; attempt++) {
        int fd = PW_openretry(path, flags, mode);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = PW_openretry(path, flags | O_CREAT | O_EXCL, mode);
        if (fd >= 0 || errno != EEXIST) {
            *existed = false;
            return fd;
        }
    }
    errno = EBUSY;
    return -1;
}

// Empties an existing file for CREATE_ALWAYS and TRUNCATE_EXISTING, also
// when the handle itself has no write access (CREATE_ALWAYS allows that).
static int PW_emptyfile(int fd, const char* path)
{
    if (ftruncate(fd, 0) == 0)
        return 0;
    int writer = PW_openretry(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (writer < 0)
        return -1;
    int result = ftruncate(writer, 0);
    int err = errno;
    close(writer);
    errno = err;
    return result;
}

// What a name of this type gives when it is opened as a file: directories
// are refused as on Windows; FIFOs, sockets and devices are refused too,
// since opening or reading them can block for ever.
static DWORD PW_filetypeerror(mode_t type)
{
    if (S_ISREG(type))
        return ERROR_SUCCESS;
    return S_ISDIR(type) ? ERROR_ACCESS_DENIED : ERROR_BAD_FILE_TYPE;
}

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                          DWORD disposition, DWORD flags, HANDLE templatefile)
{
    if (!PW_checkpath(path))
        return INVALID_HANDLE_VALUE;
    bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING || (flags & FILE_FLAG_OVERLAPPED) != 0 ||
        (disposition == TRUNCATE_EXISTING && (access & GENERIC_WRITE) == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    struct stat named;
    DWORD typeerror = stat(path, &named) == 0 ? PW_filetypeerror(named.st_mode) : ERROR_SUCCESS;
    if (typeerror != ERROR_SUCCESS) {
        SetLastError(typeerror);
        return INVALID_HANDLE_VALUE;
    }

    // Non-blocking, so that a name that became a FIFO since the look above
    // cannot hold the share lock (and with it every other open) for ever.
    int oflags = O_CLOEXEC | O_NONBLOCK;
    if ((access & GENERIC_READ) != 0 && (access & GENERIC_WRITE) != 0)
        oflags |= O_RDWR;
    else if ((access & GENERIC_WRITE) != 0)
        oflags |= O_WRONLY;
    else
        oflags |= O_RDONLY;
    if ((flags & FILE_FLAG_WRITE_THROUGH) != 0)
        oflags |= O_DSYNC;
    mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;

    pthread_mutex_lock(&PW_sharelock);
    bool existed = false;
    int fd = PW_openfordisposition(path, oflags, mode, disposition, &existed);
    if (fd < 0) {
        int err = errno;
        pthread_mutex_unlock(&PW_sharelock);
        PW_setpatherror(err, path);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info;
    DWORD error = ERROR_SUCCESS;
    PW_SHARE* shared = nullptr;
    if (fstat(fd, &info) != 0)
        error = PW_errortocode(errno);
    else if (PW_filetypeerror(info.st_mode) != ERROR_SUCCESS)
        error = PW_filetypeerror(info.st_mode);
    else if (fcntl(fd, F_SETFL, oflags & ~O_NONBLOCK) != 0)
        error = PW_errortocode(errno);
    else {
        shared = PW_findshare(info.st_dev, info.st_ino, true);
        if (PW_shareconflict(shared, access, share))
            error = ERROR_SHARING_VIOLATION;
        else if (existed && truncates && shared->mappings != 0)
            error = ERROR_USER_MAPPED_FILE;
        else if (existed && truncates && PW_emptyfile(fd, path) != 0)
            error = PW_errortocode(errno);
    }
    if (error != ERROR_SUCCESS) {
        if (shared != nullptr)
            PW_dropshareifunused(shared);
        pthread_mutex_unlock(&PW_sharelock);
        close(fd);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    PW_countuse(shared, access, share, 1);
    pthread_mutex_unlock(&PW_sharelock);

    if ((flags & FILE_FLAG_SEQUENTIAL_SCAN) != 0)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    else if ((flags & FILE_FLAG_RANDOM_ACCESS) != 0)
        posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);

    PW_FILEOBJECT* file = new PW_FILEOBJECT();
    file->kind = PW_FILE;
    file->refs = 1;
    file->destroy = PW_destroyfile;
    file->fd = fd;
    file->access = access;
    file->sharing = share;
    file->device = info.st_dev;
    file->inode = info.st_ino;
    HANDLE handle = PW_newhandle(file);
    if (handle == nullptr) {
        PW_release(file);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    bool opened = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(opened ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// One read() or write() moves at most 1 GiB, well inside ssize_t.
static size_t PW_chunk(DWORD left) { return left < 0x40000000u ? left : 0x40000000u; }

// The checks ReadFile and WriteFile share: clears *done, refuses overlapped
// transfers and null buffers, and returns the file with a reference taken
// when it is open with the access asked for (null with the last error set).
static PW_FILEOBJECT* PW_transferfile(HANDLE handle, const void* buffer, DWORD count, LPDWORD done,
                                      LPOVERLAPPED overlapped, DWORD access)
{
    if (done != nullptr)
        *done = 0;
    if (overlapped != nullptr || (buffer == nullptr && count != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    PW_FILEOBJECT* file = PW_getfile(handle);
    if (file != nullptr && (file->access & access) == 0) {
        PW_release(file);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return file;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    PW_FILEOBJECT* file = PW_transferfile(handle, buffer, count, done, overlapped, GENERIC_READ);
    if (file == nullptr)
        return FALSE;
    char* into = static_cast<char*>(buffer);
    DWORD got = 0;
    int err = 0;
    while (got < count) {
        ssize_t n = read(file->fd, into + got, PW_chunk(count - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            err = errno;
        if (n <= 0)
            break;
        got += static_cast<DWORD>(n);
    }
    PW_release(file);
    if (done != nullptr)
        *done = got;
    if (err != 0) {
        PW_seterrno(err);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    PW_FILEOBJECT* file = PW_transferfile(handle, buffer, count, done, overlapped, GENERIC_WRITE);
    if (file == nullptr)
        return FALSE;
    const char* from = static_cast<const char*>(buffer);
    DWORD put = 0;
    int err = 0;
    while (put < count) {
        ssize_t n = write(file->fd, from + put, PW_chunk(count - put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        put += static_cast<DWORD>(n);
    }
    PW_release(file);
    if (done != nullptr)
        *done = put;
    if (err != 0) {
        PW_seterrno(err);
        return FALSE;
    }
    return TRUE;
}

static DWORD PW_seeks = 0;

DWORD PW_seekcount(void) { return __atomic_load_n(&PW_seeks, __ATOMIC_RELAXED); }

DWORD WINAPI SetFilePointer(HANDLE handle, LONG distance, PLONG high, DWORD method)
{
    __atomic_fetch_add(&PW_seeks, 1, __ATOMIC_RELAXED);
    PW_FILEOBJECT* file = PW_getfile(handle);
    if (file == nullptr)
        return INVALID_SET_FILE_POINTER;
    int64_t move = high != nullptr
                       ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32) |
                                              static_cast<uint32_t>(distance))
                       : static_cast<int64_t>(distance);
    int64_t base = 0;
    DWORD error = ERROR_SUCCESS;
    if (method == FILE_CURRENT) {
        off_t now = lseek(file->fd, 0, SEEK_CUR);
        if (now < 0)
            error = PW_errortocode(errno);
        base = now;
    } else if (method == FILE_END) {
        struct stat info;
        if (fstat(file->fd, &info) != 0)
            error = PW_errortocode(errno);
        else
            base = info.st_size;
    } else if (method != FILE_BEGIN) {
        error = ERROR_INVALID_PARAMETER;
    }
    int64_t target = 0;
    if (error == ERROR_SUCCESS) {
        if ((move > 0 && base > INT64_MAX - move) || base + move < 0)
            error = ERROR_NEGATIVE_SEEK;
        else
            target = base + move;
    }
    // Without a high part the result must be told from INVALID_SET_FILE_POINTER.
    if (error == ERROR_SUCCESS && high == nullptr && target >= static_cast<int64_t>(INVALID_SET_FILE_POINTER))
        error = ERROR_INVALID_PARAMETER;
    if (error == ERROR_SUCCESS && lseek(file->fd, static_cast<off_t>(target), SEEK_SET) < 0)
        error = PW_errortocode(errno);
    PW_release(file);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_SET_FILE_POINTER;
    }
    if (high != nullptr) {
        *high = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
        SetLastError(ERROR_SUCCESS);
    }
    return static_cast<DWORD>(target);
}

BOOL WINAPI SetEndOfFile(HANDLE handle)
{
    PW_FILEOBJECT* file = PW_getfile(handle);
    if (file == nullptr)
        return FALSE;
    DWORD error = ERROR_SUCCESS;
    if ((file->access & GENERIC_WRITE) == 0)
        error = ERROR_ACCESS_DENIED;
    else if (PW_mappingsof(file->fd) != 0)
        error = ERROR_USER_MAPPED_FILE;  // a view past the new end would fault
    else {
        off_t now = lseek(file->fd, 0, SEEK_CUR);
        if (now < 0 || ftruncate(file->fd, now) != 0)
            error = PW_errortocode(errno);
    }
    PW_release(file);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD high)
{
    PW_FILEOBJECT* file = PW_getfile(handle);
    if (file == nullptr)
        return INVALID_FILE_SIZE;
    struct stat info;
    int result = fstat(file->fd, &info);
    int err = errno;
    PW_release(file);
    if (result != 0) {
        PW_seterrno(err);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = static_cast<uint64_t>(info.st_size);
    if (high != nullptr)
        *high = static_cast<DWORD>(size >> 32);
    if (static_cast<DWORD>(size) == INVALID_FILE_SIZE)
        SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL WINAPI DeleteFileA(LPCSTR path)
{
    if (!PW_checkpath(path))
        return FALSE;
    struct stat info;
    if (lstat(path, &info) != 0) {
        PW_setpatherror(errno, path);
        return FALSE;
    }
    if (S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    pthread_mutex_lock(&PW_sharelock);
    PW_SHARE* share = PW_findshare(info.st_dev, info.st_ino, false);
    DWORD error = ERROR_SUCCESS;
    if (share != nullptr && share->nosharedelete != 0)
        error = ERROR_SHARING_VIOLATION;
    else if (unlink(path) != 0)
        error = PW_errortocode(errno);
    pthread_mutex_unlock(&PW_sharelock);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

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
    pthread_mutex_lock(&PW_sharelock);
    PW_SHARE* share = PW_findshare(mapping->device, mapping->inode, false);
    if (share != nullptr) {
        share->mappings--;
        PW_dropshareifunused(share);
    }
    pthread_mutex_unlock(&PW_sharelock);
    close(mapping->fd);
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
    else if (fstat(file->fd, &info) != 0)
        error = PW_errortocode(errno);
    else if (size == 0 && info.st_size == 0)
        error = ERROR_FILE_INVALID;
    else if (size > static_cast<uint64_t>(info.st_size) && !writable)
        error = ERROR_INVALID_PARAMETER;
    else if (size > SIZE_MAX)
        error = ERROR_NOT_ENOUGH_MEMORY;
    else if (size > static_cast<uint64_t>(info.st_size) && ftruncate(file->fd, static_cast<off_t>(size)) != 0)
        error = PW_errortocode(errno);  // a larger writable mapping grows the file
    int fd = -1;
    if (error == ERROR_SUCCESS) {
        if (size == 0)
            size = static_cast<uint64_t>(info.st_size);
        fd = fcntl(file->fd, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            error = PW_errortocode(errno);
    }
    PW_release(file);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }

    pthread_mutex_lock(&PW_sharelock);
    PW_findshare(info.st_dev, info.st_ino, true)->mappings++;
    pthread_mutex_unlock(&PW_sharelock);
    PW_MAPPINGOBJECT* mapping = new PW_MAPPINGOBJECT();
    mapping->kind = PW_MAPPING;
    mapping->refs = 1;
    mapping->destroy = PW_destroymapping;
    mapping->fd = fd;
    mapping->writable = writable;
    mapping->size = size;
    mapping->device = info.st_dev;
    mapping->inode = info.st_ino;
    HANDLE result = PW_newhandle(mapping);
    if (result == nullptr) {
        PW_release(mapping);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
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
        address = mmap(nullptr, length, prot, copy ? MAP_PRIVATE : MAP_SHARED, mapping->fd,
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
    munmap(found->address, found->length);
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
static size_t PW_viewtransfer(const PW_MAPPINGOBJECT* mapping, char* memory, size_t count, uint64_t offset,
                              bool write)
{
    if (write) {
        struct stat info;
        uint64_t end = fstat(mapping->fd, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
        uint64_t room = end > offset ? end - offset : 0;
        if (count > room)
            count = static_cast<size_t>(room);
    }
    size_t moved = 0;
    while (moved < count) {
        off_t at = static_cast<off_t>(offset + moved);
        ssize_t n = write ? pwrite(mapping->fd, memory + moved, count - moved, at)
                          : pread(mapping->fd, memory + moved, count - moved, at);
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

// ---------------------------------------------------------------------------
// Volumes.

static pthread_mutex_t PW_overridelock = PTHREAD_MUTEX_INITIALIZER;
static bool PW_overridden = false;
static PW_VOLUMEOVERRIDE PW_override;

void PW_setvolumeoverride(const PW_VOLUMEOVERRIDE* values)
{
    pthread_mutex_lock(&PW_overridelock);
    PW_overridden = values != nullptr;
    if (values != nullptr)
        PW_override = *values;
    pthread_mutex_unlock(&PW_overridelock);
}

static bool PW_getoverride(PW_VOLUMEOVERRIDE* values)
{
    pthread_mutex_lock(&PW_overridelock);
    bool overridden = PW_overridden;
    if (overridden)
        *values = PW_override;
    pthread_mutex_unlock(&PW_overridelock);
    return overridden;
}

// A null root is the current directory's volume, as on Windows; otherwise the
// root must be an existing directory.
static const char* PW_volumeroot(LPCSTR root)
{
    const char* path = root != nullptr ? root : ".";
    if (!PW_checkpath(path))
        return nullptr;
    struct stat info;
    if (stat(path, &info) != 0) {
        PW_setpatherror(errno, path);
        return nullptr;
    }
    if (!S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return nullptr;
    }
    return path;
}

static DWORD PW_saturate(uint64_t value) { return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(value); }

static void PW_putdword(LPDWORD out, DWORD value)
{
    if (out != nullptr)
        *out = value;
}

BOOL WINAPI GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectorspercluster, LPDWORD bytespersector,
                              LPDWORD freeclusters, LPDWORD totalclusters)
{
    const char* path = PW_volumeroot(root);
    if (path == nullptr)
        return FALSE;
    struct statvfs volume;
    if (statvfs(path, &volume) != 0) {
        PW_seterrno(errno);
        return FALSE;
    }
    PW_VOLUMEOVERRIDE values;
    if (!PW_getoverride(&values)) {
        uint64_t block = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
        values.bytespersector = block % 512 == 0 ? 512 : PW_saturate(block);
        values.sectorspercluster = PW_saturate(block / values.bytespersector);
        values.freeclusters = PW_saturate(volume.f_bavail);
        values.totalclusters = PW_saturate(volume.f_blocks);
    }
    PW_putdword(sectorspercluster, values.sectorspercluster);
    PW_putdword(bytespersector, values.bytespersector);
    PW_putdword(freeclusters, values.freeclusters);
    PW_putdword(totalclusters, values.totalclusters);
    return TRUE;
}

static void PW_putstring(LPSTR out, DWORD size, const char* text)
{
    if (out == nullptr || size == 0)
        return;
    size_t length = strnlen(text, size - 1);
    memcpy(out, text, length);
    out[length] = '\0';
}

static const char* PW_filesystemname(const char* path)
{
#ifdef __linux__
    struct statfs info;
    if (statfs(path, &info) == 0) {
        switch (static_cast<unsigned long>(info.f_type)) {
        case 0xEF53: return "ext";
        case 0x01021994: return "tmpfs";
        case 0x9123683E: return "btrfs";
        case 0x58465342: return "xfs";
        case 0x794C7630: return "overlay";
        case 0x4D44: return "vfat";
        default: break;
        }
    }
#endif
    return "posix";
}

BOOL WINAPI GetVolumeInformationA(LPCSTR root, LPSTR volumename, DWORD volumenamesize, LPDWORD serialnumber,
                                  LPDWORD maxcomponentlength, LPDWORD filesystemflags, LPSTR filesystemname,
                                  DWORD filesystemnamesize)
{
    const char* path = PW_volumeroot(root);
    if (path == nullptr)
        return FALSE;
    struct stat info;
    struct statvfs volume;
    if (stat(path, &info) != 0 || statvfs(path, &volume) != 0) {
        PW_seterrno(errno);
        return FALSE;
    }
    PW_VOLUMEOVERRIDE values;
    DWORD flags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES;
    if (PW_getoverride(&values))
        flags = values.flags;
    PW_putstring(volumename, volumenamesize, "");
    PW_putdword(serialnumber, static_cast<DWORD>(info.st_dev));
    PW_putdword(maxcomponentlength, PW_saturate(volume.f_namemax));
    PW_putdword(filesystemflags, flags);
    PW_putstring(filesystemname, filesystemnamesize, PW_filesystemname(path));
    return TRUE;
}

// ---------------------------------------------------------------------------
// Full paths.

static bool PW_isseparator(char c, bool drive) { return c == '/' || (drive && c == '\\'); }

// Splits text into its components and resolves them onto parts: "" and "."
// vanish, ".." removes the component before it (and stays at the root).
static void PW_resolve(const char* text, bool drive, std::vector<std::string>* parts)
{
    const char* at = text;
    while (*at != '\0') {
        const char* end = at;
        while (*end != '\0' && !PW_isseparator(*end, drive))
            end++;
        std::string part(at, static_cast<size_t>(end - at));
        if (part == "..") {
            if (!parts->empty())
                parts->pop_back();
        } else if (!part.empty() && part != ".") {
            parts->push_back(part);
        }
        at = *end != '\0' ? end + 1 : end;
    }
}

DWORD WINAPI GetFullPathNameA(LPCSTR path, DWORD size, LPSTR buffer, LPSTR* filepart)
{
    if (filepart != nullptr)
        *filepart = nullptr;
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (path[0] == '\0') {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    if (strnlen(path, MAX_PATH) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    bool drive = PW_isdrivepath(path);
    char separator = drive ? '\\' : '/';
    std::string full;
    std::vector<std::string> parts;
    const char* rest = path;
    if (drive) {
        // No drive has a current directory here: a drive-relative path is
        // taken from the drive's root.
        full.assign(path, 2);
        rest = path + 2;
    } else if (path[0] != '/') {
        char* here = getcwd(nullptr, 0);
        if (here == nullptr) {
            PW_seterrno(errno);
            return 0;
        }
        PW_resolve(here, false, &parts);
        free(here);
    }
    PW_resolve(rest, drive, &parts);
    for (const std::string& part : parts)
        full += separator + part;
    size_t length = strlen(path);
    if (parts.empty() || PW_isseparator(path[length - 1], drive))
        full += separator;

    if (buffer == nullptr || size <= full.size())
        return static_cast<DWORD>(full.size() + 1);
    memcpy(buffer, full.c_str(), full.size() + 1);
    if (filepart != nullptr && full.back() != separator)
        *filepart = buffer + full.rfind(separator) + 1;
    return static_cast<DWORD>(full.size());
}

LPSTR WINAPI CharUpperA(LPSTR text)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(text);
    if (value >> 16 == 0) {
        uintptr_t c = value & 0xFF;
        return reinterpret_cast<LPSTR>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    for (char* at = text; *at != '\0'; at++)
        if (*at >= 'a' && *at <= 'z')
            *at = static_cast<char>(*at - 'a' + 'A');
    return text;
}

// ---------------------------------------------------------------------------
// Searches. The whole search is done by FindFirstFileA; the handle only
// stands for it until FindClose.

struct PW_FINDOBJECT : PW_OBJECT {};

static void PW_destroyfind(PW_OBJECT* object) { delete static_cast<PW_FINDOBJECT*>(object); }

// "*" matches any run of characters, "?" any one character.
static bool PW_matches(const char* pattern, const char* name)
{
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || *pattern == *name) {
            pattern++;
            name++;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        pattern++;
    return *pattern == '\0';
}

static void PW_filetime(const struct timespec& when, FILETIME* out)
{
    // 100-ns intervals between 1601-01-01 and 1970-01-01.
    const uint64_t epoch = 116444736000000000ull;
    uint64_t ticks = epoch + static_cast<uint64_t>(when.tv_sec) * 10000000ull + when.tv_nsec / 100;
    out->dwLowDateTime = static_cast<DWORD>(ticks);
    out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

static void PW_filldata(const char* name, const struct stat& info, LPWIN32_FIND_DATAA found)
{
    memset(found, 0, sizeof *found);
    DWORD attributes = 0;
    if (S_ISDIR(info.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    found->dwFileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    PW_filetime(info.st_ctim, &found->ftCreationTime);
    PW_filetime(info.st_atim, &found->ftLastAccessTime);
    PW_filetime(info.st_mtim, &found->ftLastWriteTime);
    uint64_t size = S_ISDIR(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_size);
    found->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    found->nFileSizeLow = static_cast<DWORD>(size);
    PW_putstring(found->cFileName, MAX_PATH, name);
}

HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA found)
{
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!PW_checkpath(pattern))
        return INVALID_HANDLE_VALUE;
    const char* slash = strrchr(pattern, '/');
    std::string directory = slash == nullptr ? "." : slash == pattern ? "/" : std::string(pattern, slash);
    const char* name = slash == nullptr ? pattern : slash + 1;
    if (name[0] == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    struct stat info;
    if (strpbrk(name, "*?") == nullptr) {
        if (stat(pattern, &info) != 0) {
            PW_setpatherror(errno, pattern);
            return INVALID_HANDLE_VALUE;
        }
        PW_filldata(name, info, found);
    } else {
        DIR* listing = opendir(directory.c_str());
        if (listing == nullptr) {
            SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : PW_errortocode(errno));
            return INVALID_HANDLE_VALUE;
        }
        bool matched = false;
        while (struct dirent* entry = readdir(listing)) {
            if (strlen(entry->d_name) >= MAX_PATH || !PW_matches(name, entry->d_name))
                continue;
            std::string whole = directory + "/" + entry->d_name;
            if (stat(whole.c_str(), &info) != 0 && lstat(whole.c_str(), &info) != 0)
                continue;
            PW_filldata(entry->d_name, info, found);
            matched = true;
            break;
        }
        closedir(listing);
        if (!matched) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
    }
    PW_FINDOBJECT* search = new PW_FINDOBJECT();
    search->kind = PW_FIND;
    search->refs = 1;
    search->destroy = PW_destroyfind;
    HANDLE handle = PW_newhandle(search);
    if (handle == nullptr) {
        PW_release(search);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL WINAPI FindClose(HANDLE find)
{
    PW_OBJECT* search = PW_gethandle(find, PW_FIND);
    if (search == nullptr)
        return FALSE;
    PW_release(search);
    return CloseHandle(find);
}

// ---------------------------------------------------------------------------
// Drives and the current directory.

DWORD WINAPI GetLogicalDrives(void)
{
    SetLastError(ERROR_SUCCESS);
    return 0;
}

DWORD WINAPI GetLogicalDriveStringsA(DWORD size, LPSTR buffer)
{
    // The empty list: only its terminating empty string.
    if (buffer != nullptr && size >= 1)
        buffer[0] = '\0';
    SetLastError(ERROR_SUCCESS);
    return 0;
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR path)
{
    if (!PW_checkpath(path))
        return FALSE;
    if (chdir(path) != 0) {
        int err = errno;
        struct stat info;
        if (err == ENOTDIR && stat(path, &info) == 0)
            SetLastError(ERROR_DIRECTORY);
        else
            PW_setpatherror(err, path);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer)
{
    char* here = getcwd(nullptr, 0);
    if (here == nullptr) {
        PW_seterrno(errno);
        return 0;
    }
    size_t length = strlen(here);
    DWORD result;
    if (buffer != nullptr && size > length) {
        memcpy(buffer, here, length + 1);
        result = static_cast<DWORD>(length);
    } else {
        result = static_cast<DWORD>(length + 1);
    }
    free(here);
    return result;
}
