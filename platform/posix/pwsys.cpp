// The table of system calls (pwsys.h), the system's own entries, and the
// wrappers that carry out a planned fault.
#define _FILE_OFFSET_BITS 64
#include "pwsys.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

// open and fcntl take their last argument through "...", which a table
// entry cannot point at.
static int PW_sysopen(const char* path, int flags, mode_t mode) { return open(path, flags, mode); }
static int PW_sysfcntl(int fd, int command, int argument) { return fcntl(fd, command, argument); }

constexpr PW_SYSCALLS PW_systemcalls = {PW_sysopen, close,  read,  write,     pread,       pwrite,   lseek,
                                        fstat,      stat,   lstat, ftruncate, PW_sysfcntl, unlink,   statvfs,
                                        opendir,    getcwd, chdir, mmap,      munmap,      mprotect, pthread_create};

PW_SYSCALLS PW_sys = PW_systemcalls;

// The plan. Counted with atomics: the device threads make the calls.
static std::atomic<int> PW_faultkind{PW_SYSANY};
static std::atomic<long> PW_faultnth{0};
static std::atomic<int> PW_faulthow{PW_FAULTERROR};
static std::atomic<int> PW_faulterror{0};
static std::atomic<long> PW_faultcount{0};
static std::atomic<bool> PW_faultdone{false};

// Counts a call of the given kinds; true when it is the one to fail.
static bool PW_faultdue(PW_SYSKIND group, PW_SYSKIND narrow)
{
    int kind = PW_faultkind.load();
    if (kind != PW_SYSANY && kind != group && kind != narrow)
        return false;
    if (PW_faultcount.fetch_add(1) + 1 != PW_faultnth.load())
        return false;
    PW_faultdone.store(true);
    return true;
}

// The result of a call that is to fail: -1 with the planned error, or
// with EINTR.
static int PW_faultfail(void)
{
    errno = PW_faulthow.load() == PW_FAULTINTERRUPT ? EINTR : PW_faulterror.load();
    return -1;
}

static size_t PW_faultpart(size_t count) { return count > 1 ? count / 2 : count; }

static int PW_fopen(const char* path, int flags, mode_t mode)
{
    return PW_faultdue(PW_SYSFILE, PW_SYSFILE) ? PW_faultfail() : PW_systemcalls.open(path, flags, mode);
}
static int PW_fclose(int fd)
{
    // A failed close still closes on Linux; so does this one.
    return PW_faultdue(PW_SYSFILE, PW_SYSFILE) ? (PW_systemcalls.close(fd), PW_faultfail()) : PW_systemcalls.close(fd);
}
// A transfer of count bytes by move (one of read, write, pread, pwrite with
// its other arguments bound): when due, it fails or moves half the bytes.
template <typename MOVE>
static ssize_t PW_ftransfer(PW_SYSKIND narrow, size_t count, MOVE move)
{
    if (!PW_faultdue(PW_SYSFILE, narrow))
        return move(count);
    return PW_faulthow.load() == PW_FAULTSHORT ? move(PW_faultpart(count)) : PW_faultfail();
}
static ssize_t PW_fread(int fd, void* buffer, size_t count)
{
    return PW_ftransfer(PW_SYSREAD, count, [=](size_t n) { return PW_systemcalls.read(fd, buffer, n); });
}
static ssize_t PW_fwrite(int fd, const void* buffer, size_t count)
{
    return PW_ftransfer(PW_SYSWRITE, count, [=](size_t n) { return PW_systemcalls.write(fd, buffer, n); });
}
static ssize_t PW_fpread(int fd, void* buffer, size_t count, off_t offset)
{
    return PW_ftransfer(PW_SYSREAD, count, [=](size_t n) { return PW_systemcalls.pread(fd, buffer, n, offset); });
}
static ssize_t PW_fpwrite(int fd, const void* buffer, size_t count, off_t offset)
{
    return PW_ftransfer(PW_SYSWRITE, count, [=](size_t n) { return PW_systemcalls.pwrite(fd, buffer, n, offset); });
}
static off_t PW_flseek(int fd, off_t offset, int whence)
{
    return PW_faultdue(PW_SYSFILE, PW_SYSFILE) ? PW_faultfail() : PW_systemcalls.lseek(fd, offset, whence);
}
static int PW_ffstat(int fd, struct stat* info)
{
    return PW_faultdue(PW_SYSFILE, PW_SYSFILE) ? PW_faultfail() : PW_systemcalls.fstat(fd, info);
}
static int PW_fstat(const char* path, struct stat* info)
{
    return PW_faultdue(PW_SYSPATH, PW_SYSPATH) ? PW_faultfail() : PW_systemcalls.stat(path, info);
}
static int PW_flstat(const char* path, struct stat* info)
{
    return PW_faultdue(PW_SYSPATH, PW_SYSPATH) ? PW_faultfail() : PW_systemcalls.lstat(path, info);
}
static int PW_fftruncate(int fd, off_t length)
{
    return PW_faultdue(PW_SYSFILE, PW_SYSFILE) ? PW_faultfail() : PW_systemcalls.ftruncate(fd, length);
}
static int PW_ffcntl(int fd, int command, int argument)
{
    return PW_faultdue(PW_SYSFILE, PW_SYSFILE) ? PW_faultfail() : PW_systemcalls.fcntl(fd, command, argument);
}
static int PW_funlink(const char* path)
{
    return PW_faultdue(PW_SYSFILE, PW_SYSFILE) ? PW_faultfail() : PW_systemcalls.unlink(path);
}
static int PW_fstatvfs(const char* path, struct statvfs* volume)
{
    return PW_faultdue(PW_SYSPATH, PW_SYSPATH) ? PW_faultfail() : PW_systemcalls.statvfs(path, volume);
}
static DIR* PW_fopendir(const char* path)
{
    return PW_faultdue(PW_SYSPATH, PW_SYSPATH) ? (PW_faultfail(), nullptr) : PW_systemcalls.opendir(path);
}
static char* PW_fgetcwd(char* buffer, size_t size)
{
    return PW_faultdue(PW_SYSPATH, PW_SYSPATH) ? (PW_faultfail(), nullptr) : PW_systemcalls.getcwd(buffer, size);
}
static int PW_fchdir(const char* path)
{
    return PW_faultdue(PW_SYSPATH, PW_SYSPATH) ? PW_faultfail() : PW_systemcalls.chdir(path);
}
static void* PW_fmmap(void* address, size_t length, int protection, int flags, int fd, off_t offset)
{
    if (PW_faultdue(PW_SYSMEMORY, PW_SYSMEMORY)) {
        PW_faultfail();
        return MAP_FAILED;
    }
    return PW_systemcalls.mmap(address, length, protection, flags, fd, offset);
}
static int PW_fmunmap(void* address, size_t length)
{
    return PW_faultdue(PW_SYSMEMORY, PW_SYSMEMORY) ? PW_faultfail() : PW_systemcalls.munmap(address, length);
}
static int PW_fmprotect(void* address, size_t length, int protection)
{
    return PW_faultdue(PW_SYSMEMORY, PW_SYSMEMORY) ? PW_faultfail()
                                                   : PW_systemcalls.mprotect(address, length, protection);
}
static int PW_fpthreadcreate(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument)
{
    // pthread_create reports its error as its result, not in errno.
    if (PW_faultdue(PW_SYSTHREAD, PW_SYSTHREAD))
        return PW_faulthow.load() == PW_FAULTINTERRUPT ? EAGAIN : PW_faulterror.load();
    return PW_systemcalls.pthread_create(thread, attributes, start, argument);
}

static const PW_SYSCALLS PW_faultingcalls = {
    PW_fopen,    PW_fclose,  PW_fread,  PW_fwrite,     PW_fpread,  PW_fpwrite,   PW_flseek,
    PW_ffstat,   PW_fstat,   PW_flstat, PW_fftruncate, PW_ffcntl,  PW_funlink,   PW_fstatvfs,
    PW_fopendir, PW_fgetcwd, PW_fchdir, PW_fmmap,      PW_fmunmap, PW_fmprotect, PW_fpthreadcreate};

void PW_injectfault(PW_SYSKIND kind, long nth, PW_FAULTHOW how, int error)
{
    PW_faultkind.store(kind);
    PW_faultnth.store(nth);
    PW_faulthow.store(how);
    PW_faulterror.store(error);
    PW_faultcount.store(0);
    PW_faultdone.store(false);
    PW_sys = PW_faultingcalls;
}

void PW_endfault(void) { PW_sys = PW_systemcalls; }

long PW_faultcalls(void) { return PW_faultcount.load(); }

bool PW_faultmet(void) { return PW_faultdone.load(); }
