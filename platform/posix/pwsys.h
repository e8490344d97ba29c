// The system calls that our POSIX file, path, mapping, memory and thread
// services make, all through one table. It starts out holding the system's
// own functions; a test may put its own in any entry, to make the Nth call
// fail with a chosen error, come back short or be interrupted, and so drive
// the library above down every failure path with the real code.
//
// Types such as off_t and struct stat depend on _FILE_OFFSET_BITS in 32-bit
// builds: every file that includes this header sets it to 64 before its
// first system header.
#ifndef VORL_PWSYS_H
#define VORL_PWSYS_H

#if !defined(_FILE_OFFSET_BITS) || _FILE_OFFSET_BITS != 64
#error "define _FILE_OFFSET_BITS as 64 before the first include"
#endif

#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

struct PW_SYSCALLS {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buffer, size_t count);
    ssize_t (*write)(int fd, const void* buffer, size_t count);
    ssize_t (*pread)(int fd, void* buffer, size_t count, off_t offset);
    ssize_t (*pwrite)(int fd, const void* buffer, size_t count, off_t offset);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*fstat)(int fd, struct stat* info);
    int (*stat)(const char* path, struct stat* info);
    int (*lstat)(const char* path, struct stat* info);
    int (*ftruncate)(int fd, off_t length);
    int (*fcntl)(int fd, int command, int argument);
    int (*unlink)(const char* path);
    int (*statvfs)(const char* path, struct statvfs* volume);
    DIR* (*opendir)(const char* path);
    char* (*getcwd)(char* buffer, size_t size);
    int (*chdir)(const char* path);
    void* (*mmap)(void* address, size_t length, int protection, int flags, int fd, off_t offset);
    int (*munmap)(void* address, size_t length);
    int (*mprotect)(void* address, size_t length, int protection);
    int (*pthread_create)(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument);
};

extern PW_SYSCALLS PW_sys;

// The system's own functions, for a test to put back.
extern const PW_SYSCALLS PW_systemcalls;

// A planned fault, for the tests: the nth call (from 1) of the chosen
// kind, counted from PW_injectfault, fails with error, or moves only part
// of its bytes (reads and writes), or is interrupted (EINTR) once. Calls of
// other kinds pass. PW_injectfault puts wrappers in the table and
// PW_endfault puts the system's functions back; neither may run while a
// call is under way on another thread.
enum PW_SYSKIND {
    PW_SYSANY,     // every call in the table
    PW_SYSFILE,    // open, close, read, write, pread, pwrite, lseek, fstat, ftruncate, fcntl, unlink
    PW_SYSPATH,    // stat, lstat, statvfs, opendir, getcwd, chdir
    PW_SYSMEMORY,  // mmap, munmap, mprotect
    PW_SYSREAD,    // read, pread
    PW_SYSWRITE,   // write, pwrite
    PW_SYSTHREAD   // pthread_create
};
enum PW_FAULTHOW { PW_FAULTERROR, PW_FAULTSHORT, PW_FAULTINTERRUPT };
void PW_injectfault(PW_SYSKIND kind, long nth, PW_FAULTHOW how, int error);
void PW_endfault(void);
// Calls of the planned kind since PW_injectfault, and whether the fault
// has been met.
long PW_faultcalls(void);
bool PW_faultmet(void);

#endif
