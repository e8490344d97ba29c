// Paths, volumes, drives and the current directory of our POSIX platform,
// with the answers of the Windows path services for paths without drive
// letters: a drive path gets its Windows form but names nothing here. The
// path checks that every file service makes first are here too, with the
// other path rules (pwfileint.h declares them for pwfile.cpp, pwmap.cpp
// and pwfind.cpp).
//
// Positions and sizes are 64-bit even in 32-bit builds.
#define _FILE_OFFSET_BITS 64

#include "pwfile.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include "pwfileint.h"
#include "pwsys.h"

// ---------------------------------------------------------------------------
// Paths.

static bool PW_isdrivepath(const char* path)
{
    char letter = path[0];
    return ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) && path[1] == ':';
}

// Whether path can be handed to the POSIX calls; otherwise the last error
// says why not.
bool PW_checkpath(const char* path)
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
    return PW_sys.stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

static bool PW_parentexists(const char* path)
{
    const char* slash = strrchr(path, '/');
    if (slash == nullptr)
        return true;
    if (slash == path)
        return PW_isdirectory("/");
    // A parent too long for the system cannot be looked at either.
    char parent[PATH_MAX];
    size_t length = static_cast<size_t>(slash - path);
    if (length >= sizeof parent)
        return false;
    memcpy(parent, path, length);
    parent[length] = '\0';
    return PW_isdirectory(parent);
}

// errno of a call on path: a missing name is ERROR_FILE_NOT_FOUND when its
// directory exists and ERROR_PATH_NOT_FOUND when it does not, as on Windows.
void PW_setpatherror(int err, const char* path)
{
    if (err == ENOENT && !PW_parentexists(path))
        SetLastError(ERROR_PATH_NOT_FOUND);
    else
        PW_seterrno(err);
}

// Checks path and looks at what it names (with lstat when link is true, so
// that a symbolic link is seen itself); false, with the last error set, when
// the path is refused or names nothing.
bool PW_statpath(const char* path, struct stat* info, bool link)
{
    if (!PW_checkpath(path))
        return false;
    if ((link ? PW_sys.lstat(path, info) : PW_sys.stat(path, info)) != 0) {
        PW_setpatherror(errno, path);
        return false;
    }
    return true;
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
    struct stat info;
    if (!PW_statpath(path, &info, false))
        return nullptr;
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

BOOL WINAPI GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectorspercluster, LPDWORD bytespersector, LPDWORD freeclusters,
                              LPDWORD totalclusters)
{
    const char* path = PW_volumeroot(root);
    if (path == nullptr)
        return FALSE;
    struct statvfs volume;
    if (PW_sys.statvfs(path, &volume) != 0) {
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

void PW_putstring(LPSTR out, DWORD size, const char* text)
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
    if (PW_sys.stat(path, &info) != 0 || PW_sys.statvfs(path, &volume) != 0) {
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

// Resolves the components of text onto the full path in out (length
// bytes, of which the first root are the drive and never removed): "" and
// "." vanish, ".." removes the component before it (and stays at the root).
// No heap, so that resolving a path never makes the calling thread an arena
// of its own in the C library's allocator.
static void PW_resolve(const char* text, bool drive, char separator, char* out, size_t* length, size_t root)
{
    const char* at = text;
    while (*at != '\0') {
        const char* end = at;
        while (*end != '\0' && !PW_isseparator(*end, drive))
            end++;
        size_t size = static_cast<size_t>(end - at);
        if (size == 2 && at[0] == '.' && at[1] == '.') {
            while (*length > root && out[*length - 1] != separator)
                (*length)--;
            if (*length > root)
                (*length)--;
        } else if (size > 0 && !(size == 1 && at[0] == '.')) {
            out[(*length)++] = separator;
            memmove(out + *length, at, size);
            *length += size;
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
    // Resolving never lengthens a path by more than one separator, so the
    // current directory (at most PATH_MAX with its NUL) and the path fit.
    // The current directory is resolved where getcwd put it: it is absolute,
    // so each component is written no further on than it was read.
    char full[PATH_MAX + MAX_PATH + 2];
    size_t length = 0;
    size_t root = 0;
    const char* rest = path;
    if (drive) {
        // No drive has a current directory here: a drive-relative path is
        // taken from the drive's root.
        memcpy(full, path, 2);
        length = root = 2;
        rest = path + 2;
    } else if (path[0] != '/') {
        if (PW_sys.getcwd(full, PATH_MAX) == nullptr) {
            PW_seterrno(errno);
            return 0;
        }
        PW_resolve(full, false, separator, full, &length, root);
    }
    PW_resolve(rest, drive, separator, full, &length, root);
    if (length == root || PW_isseparator(path[strlen(path) - 1], drive))
        full[length++] = separator;
    full[length] = '\0';

    if (buffer == nullptr || size <= length)
        return static_cast<DWORD>(length + 1);
    memcpy(buffer, full, length + 1);
    if (filepart != nullptr && full[length - 1] != separator)
        *filepart = buffer + (strrchr(full, separator) - full) + 1;
    return static_cast<DWORD>(length);
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
    if (PW_sys.chdir(path) != 0) {
        int err = errno;
        struct stat info;
        if (err == ENOTDIR && PW_sys.stat(path, &info) == 0)
            SetLastError(ERROR_DIRECTORY);
        else
            PW_setpatherror(err, path);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer)
{
    char* here = PW_sys.getcwd(nullptr, 0);
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
