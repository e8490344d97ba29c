// What the files of our POSIX file services share among themselves, and
// nothing else includes: the path checks (pwpath.cpp), the file object and
// the share registry's count of mappings (pwfile.cpp), and the one way they
// give a new object its handle. The services themselves are declared in
// pwfile.h.
//
// The file object holds a dev_t and an ino_t, whose sizes depend on
// _FILE_OFFSET_BITS in 32-bit builds: every file that includes this header
// sets it to 64 before its first system header.
#ifndef VORL_PWFILEINT_H
#define VORL_PWFILEINT_H

#if !defined(_FILE_OFFSET_BITS) || _FILE_OFFSET_BITS != 64
#error "define _FILE_OFFSET_BITS as 64 before the first include"
#endif

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>

#include "pwfile.h"
#include "pwhandle.h"

// Paths (pwpath.cpp).

// Whether path can be handed to the POSIX calls; otherwise the last error
// says why not.
bool PW_checkpath(const char* path);
// errno of a call on path: a missing name is ERROR_FILE_NOT_FOUND when its
// directory exists and ERROR_PATH_NOT_FOUND when it does not, as on Windows.
void PW_setpatherror(int err, const char* path);
// Checks path and looks at what it names (with lstat when link is true, so
// that a symbolic link is seen itself); false, with the last error set, when
// the path is refused or names nothing.
bool PW_statpath(const char* path, struct stat* info, bool link);
// Copies text into out (size bytes, NUL included), cut short if it must be;
// nothing when out is null or size is 0.
void PW_putstring(LPSTR out, DWORD size, const char* text);

// Files (pwfile.cpp).

struct PW_FILEOBJECT : PW_OBJECT {
    int fd;
    DWORD access;
    DWORD sharing;
    dev_t device;
    ino_t inode;
    // The length the open saw, for a size query that comes right after it
    // (the native file layer asks at once, under its drive lock): it saves
    // a system call. Any other call on the handle sets it to -1, unknown.
    std::atomic<int64_t> opensize;
};

// The file a handle names, with a reference taken; null with
// ERROR_INVALID_HANDLE when the handle is not an open file's.
PW_FILEOBJECT* PW_getfile(HANDLE handle);

// Counts a mapping of the file (device and inode) in the share registry, and
// out again, so that the file cannot be truncated while a mapping exists.
void PW_addmapping(dev_t device, ino_t inode);
void PW_dropmapping(dev_t device, ino_t inode);

// Gives a new object of the file services its kind, its one reference and
// its destroy function, and puts it into the handle table. Null with
// ERROR_NOT_ENOUGH_MEMORY when the table is full; the object is destroyed.
HANDLE PW_makehandle(PW_OBJECT* object, PW_KIND kind, void (*destroy)(PW_OBJECT* object));

#endif
