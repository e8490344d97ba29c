// Files of our POSIX platform, with the Windows behaviour that the native
// file layer relies on: the five dispositions, share modes that refuse a
// conflicting second open with ERROR_SHARING_VIOLATION, directories refused
// as files, and files that cannot be truncated while a mapping of them
// exists. The share registry lives here with the file objects, because every
// open and close goes through it; pwmap.cpp counts its mappings in it.
//
// The other file services: mappings and views in pwmap.cpp, paths, volumes,
// drives and the current directory in pwpath.cpp, searches in pwfind.cpp.
//
// Positions and sizes are 64-bit even in 32-bit builds.
#define _FILE_OFFSET_BITS 64

#include "pwfile.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pwfileint.h"
#include "pwsys.h"
#include "pwhandle.h"

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
    if (PW_sys.fstat(fd, &info) != 0)
        return 0;
    pthread_mutex_lock(&PW_sharelock);
    PW_SHARE* share = PW_findshare(info.st_dev, info.st_ino, false);
    int mappings = share != nullptr ? share->mappings : 0;
    pthread_mutex_unlock(&PW_sharelock);
    return mappings;
}

void PW_addmapping(dev_t device, ino_t inode)
{
    pthread_mutex_lock(&PW_sharelock);
    PW_findshare(device, inode, true)->mappings++;
    pthread_mutex_unlock(&PW_sharelock);
}

void PW_dropmapping(dev_t device, ino_t inode)
{
    pthread_mutex_lock(&PW_sharelock);
    PW_SHARE* share = PW_findshare(device, inode, false);
    if (share != nullptr) {
        share->mappings--;
        PW_dropshareifunused(share);
    }
    pthread_mutex_unlock(&PW_sharelock);
}

// ---------------------------------------------------------------------------
// File objects.

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
    PW_sys.close(file->fd);
    delete file;
}

PW_FILEOBJECT* PW_getfile(HANDLE handle)
{
    auto* file = static_cast<PW_FILEOBJECT*>(PW_gethandle(handle, PW_FILE));
    if (file != nullptr)
        file->opensize.store(-1, std::memory_order_relaxed);
    return file;
}

HANDLE PW_makehandle(PW_OBJECT* object, PW_KIND kind, void (*destroy)(PW_OBJECT* object))
{
    object->kind = kind;
    object->refs = 1;
    object->destroy = destroy;
    HANDLE handle = PW_newhandle(object);
    if (handle == nullptr) {
        PW_release(object);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

static int PW_openretry(const char* path, int flags, mode_t mode)
{
    int fd;
    do
        fd = PW_sys.open(path, flags, mode);
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
    if (PW_sys.ftruncate(fd, 0) == 0)
        return 0;
    int writer = PW_openretry(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (writer < 0)
        return -1;
    int result = PW_sys.ftruncate(writer, 0);
    int err = errno;
    PW_sys.close(writer);
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

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                          DWORD flags, HANDLE templatefile)
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
    DWORD typeerror = PW_sys.stat(path, &named) == 0 ? PW_filetypeerror(named.st_mode) : ERROR_SUCCESS;
    if (typeerror != ERROR_SUCCESS) {
        SetLastError(typeerror);
        return INVALID_HANDLE_VALUE;
    }

    // Non-blocking, so that a name that became a FIFO since the look above
    // cannot hold the share lock (and with it every other open) for ever.
    // Only regular files are kept, and on them the flag changes nothing, so
    // it stays set (clearing it would cost a system call per open).
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
    if (PW_sys.fstat(fd, &info) != 0)
        error = PW_errortocode(errno);
    else if (PW_filetypeerror(info.st_mode) != ERROR_SUCCESS)
        error = PW_filetypeerror(info.st_mode);
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
        PW_sys.close(fd);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    PW_countuse(shared, access, share, 1);
    pthread_mutex_unlock(&PW_sharelock);

    if ((flags & FILE_FLAG_SEQUENTIAL_SCAN) != 0)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    else if ((flags & FILE_FLAG_RANDOM_ACCESS) != 0)
        posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);

    PW_FILEOBJECT* file = new PW_FILEOBJECT{
        {}, fd, access, share, info.st_dev, info.st_ino, truncates ? 0 : static_cast<int64_t>(info.st_size)};
    HANDLE handle = PW_makehandle(file, PW_FILE, PW_destroyfile);
    if (handle == nullptr)
        return INVALID_HANDLE_VALUE;
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

// The body of ReadFile and WriteFile: moves count bytes between buffer and
// the file in chunks, going on after signals. A read stops early only at the
// end of the file; a write that moves nothing fails as a full disk would.
static BOOL PW_transfer(HANDLE handle, void* buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped, bool writes)
{
    PW_FILEOBJECT* file =
        PW_transferfile(handle, buffer, count, done, overlapped, writes ? GENERIC_WRITE : GENERIC_READ);
    if (file == nullptr)
        return FALSE;
    char* memory = static_cast<char*>(buffer);
    DWORD moved = 0;
    int err = 0;
    while (moved < count) {
        ssize_t n = writes ? PW_sys.write(file->fd, memory + moved, PW_chunk(count - moved))
                           : PW_sys.read(file->fd, memory + moved, PW_chunk(count - moved));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            err = errno;
        else if (n == 0 && writes)
            err = ENOSPC;
        if (n <= 0)
            break;
        moved += static_cast<DWORD>(n);
    }
    PW_release(file);
    if (done != nullptr)
        *done = moved;
    if (err != 0) {
        PW_seterrno(err);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    return PW_transfer(handle, buffer, count, done, overlapped, false);
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    return PW_transfer(handle, const_cast<void*>(buffer), count, done, overlapped, true);
}

static DWORD PW_seeks = 0;

DWORD PW_seekcount(void) { return __atomic_load_n(&PW_seeks, __ATOMIC_RELAXED); }

DWORD WINAPI SetFilePointer(HANDLE handle, LONG distance, PLONG high, DWORD method)
{
    __atomic_fetch_add(&PW_seeks, 1, __ATOMIC_RELAXED);
    PW_FILEOBJECT* file = PW_getfile(handle);
    if (file == nullptr)
        return INVALID_SET_FILE_POINTER;
    int64_t move = high != nullptr ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32) |
                                                          static_cast<uint32_t>(distance))
                                   : static_cast<int64_t>(distance);
    int64_t base = 0;
    DWORD error = ERROR_SUCCESS;
    if (method == FILE_CURRENT) {
        off_t now = PW_sys.lseek(file->fd, 0, SEEK_CUR);
        if (now < 0)
            error = PW_errortocode(errno);
        base = now;
    } else if (method == FILE_END) {
        struct stat info;
        if (PW_sys.fstat(file->fd, &info) != 0)
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
    if (error == ERROR_SUCCESS && PW_sys.lseek(file->fd, static_cast<off_t>(target), SEEK_SET) < 0)
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
        off_t now = PW_sys.lseek(file->fd, 0, SEEK_CUR);
        if (now < 0 || PW_sys.ftruncate(file->fd, now) != 0)
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
    auto* file = static_cast<PW_FILEOBJECT*>(PW_gethandle(handle, PW_FILE));
    if (file == nullptr)
        return INVALID_FILE_SIZE;
    struct stat info;
    int64_t known = file->opensize.exchange(-1, std::memory_order_relaxed);
    int result = known >= 0 ? 0 : PW_sys.fstat(file->fd, &info);
    int err = errno;
    PW_release(file);
    if (result != 0) {
        PW_seterrno(err);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = static_cast<uint64_t>(known >= 0 ? known : info.st_size);
    if (high != nullptr)
        *high = static_cast<DWORD>(size >> 32);
    if (static_cast<DWORD>(size) == INVALID_FILE_SIZE)
        SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL WINAPI DeleteFileA(LPCSTR path)
{
    struct stat info;
    if (!PW_statpath(path, &info, true))
        return FALSE;
    if (S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    pthread_mutex_lock(&PW_sharelock);
    PW_SHARE* share = PW_findshare(info.st_dev, info.st_ino, false);
    DWORD error = ERROR_SUCCESS;
    if (share != nullptr && share->nosharedelete != 0)
        error = ERROR_SHARING_VIOLATION;
    else if (PW_sys.unlink(path) != 0)
        error = PW_errortocode(errno);
    pthread_mutex_unlock(&PW_sharelock);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
