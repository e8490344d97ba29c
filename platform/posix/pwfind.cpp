// Searches of our POSIX platform: FindFirstFileA with "*" and "?" in the
// last component of the pattern, matched case-sensitively, and FindClose.
// They have a file of their own because they share nothing with the open
// files but the path checks (pwpath.cpp) and the handle table.
//
// Sizes are 64-bit even in 32-bit builds.
#define _FILE_OFFSET_BITS 64

#include "pwfile.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "pwfileint.h"
#include "pwsys.h"
#include "pwhandle.h"

// ---------------------------------------------------------------------------
// Searches. The whole search is done by FindFirstFileA; the handle only
// stands for it until FindClose.

struct PW_FINDOBJECT : PW_OBJECT { };

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
        if (PW_sys.stat(pattern, &info) != 0) {
            PW_setpatherror(errno, pattern);
            return INVALID_HANDLE_VALUE;
        }
        PW_filldata(name, info, found);
    } else {
        DIR* listing = PW_sys.opendir(directory.c_str());
        if (listing == nullptr) {
            SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : PW_errortocode(errno));
            return INVALID_HANDLE_VALUE;
        }
        bool matched = false;
        while (struct dirent* entry = readdir(listing)) {
            if (strlen(entry->d_name) >= MAX_PATH || !PW_matches(name, entry->d_name))
                continue;
            std::string whole = directory + "/" + entry->d_name;
            if (PW_sys.stat(whole.c_str(), &info) != 0 && PW_sys.lstat(whole.c_str(), &info) != 0)
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
    HANDLE handle = PW_makehandle(new PW_FINDOBJECT(), PW_FIND, PW_destroyfind);
    return handle != nullptr ? handle : INVALID_HANDLE_VALUE;
}

BOOL WINAPI FindClose(HANDLE find)
{
    PW_OBJECT* search = PW_gethandle(find, PW_FIND);
    if (search == nullptr)
        return FALSE;
    PW_release(search);
    return CloseHandle(find);
}
