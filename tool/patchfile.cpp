// One run of tarlok on a path. The file is written back only when it is
// still the file that was loaded: same identity, size and last-write time as
// just before the load. Another program (a game, a sync client) writing it
// meanwhile makes the run write nothing and fail, instead of overwriting
// that program's change with the old contents.
//
// 64-bit file sizes and inode numbers also in 32-bit builds, whose stat
// would otherwise fail on file systems with large inode numbers.
#define _FILE_OFFSET_BITS 64

#include "patchfile.h"

#include <cstdio>
#include <cstring>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "savepatch.h"
#include "vorl/nfile.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"
#include "vorl/thread.h"

void (*TARLOK_beforesave)(const char* path) = nullptr;

// What tells one version of a file from another without reading it.
struct TARLOK_STAMP {
    uint64_t volume;
    uint64_t file;
    uint64_t size;
    uint64_t modified;  // as finely as the system keeps it
};

static int32_t TARLOK_stamp(const char* path, TARLOK_STAMP* stamp)
{
    memset(stamp, 0, sizeof *stamp);
#ifdef _WIN32
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!known)
        return 0;
    stamp->volume = info.dwVolumeSerialNumber;
    stamp->file = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    stamp->size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    stamp->modified =
        static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 | info.ftLastWriteTime.dwLowDateTime;
#else
    struct stat info;
    if (stat(path, &info) != 0)
        return 0;
    stamp->volume = static_cast<uint64_t>(info.st_dev);
    stamp->file = static_cast<uint64_t>(info.st_ino);
    stamp->size = static_cast<uint64_t>(info.st_size);
    stamp->modified =
        static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(info.st_mtim.tv_nsec);
#endif
    return 1;
}

// The platform's last-error codes (Windows numbering) that a save can meet.
static const char* TARLOK_reason(uint32_t error)
{
    switch (error) {
    case 0: return "the write stopped short";
    case 2: return "the file was not found";
    case 3: return "the path was not found";
    case 5: return "permission denied";
    case 8: return "not enough memory";
    case 19: return "the medium is write-protected";
    case 32: return "the file is in use";
    case 112: return "no space left on the disk";
    case 223: return "the file would grow beyond the allowed file size";
    default: return "the file system reported an error";
    }
}

// Patches the loaded buffer and writes it back when the file is unchanged.
// Returns TARLOK_SAVED or TARLOK_NOTSAVED, with the message printed.
static int32_t TARLOK_patchandsave(const char* path, uint8_t* buffer, const TARLOK_STAMP* loaded)
{
    // The save writes back exactly what was loaded.
    int32_t size = MEM_size(buffer);
    uint8_t was[4];
    int32_t hit = TARLOK_scanpatch(buffer, size, was);
    if (TARLOK_beforesave)
        TARLOK_beforesave(path);
    TARLOK_STAMP now;
    // A file changed between the stamp and the load has another size or
    // last-write time now, unless both changes fell within one tick of the
    // file system's clock.
    if (!TARLOK_stamp(path, &now) || memcmp(&now, loaded, sizeof now) != 0 ||
        loaded->size != static_cast<uint64_t>(size)) {
        fprintf(stderr, "tarlok: %s: not saved: the file changed while it was being patched\n", path);
        return TARLOK_NOTSAVED;
    }
    if (!FILE_savequiet(path, buffer, size)) {
        uint32_t error = SYS_getlasterror();
        // A save cut short (a full disk, a file-size limit) may have written
        // part of the four bytes. The old contents written back over it end
        // at the same place or later, so the file is left unpatched, not
        // half patched.
        if (hit >= 0) {
            memcpy(buffer + hit + TARLOK_KEYLENGTH, was, 4);
            FILE_savequiet(path, buffer, size);
        }
        fprintf(stderr, "tarlok: %s: not saved: %s (error %u)\n", path, TARLOK_reason(error),
                static_cast<unsigned>(error));
        return TARLOK_NOTSAVED;
    }
    return TARLOK_SAVED;
}

int32_t TARLOK_run(const char* path)
{
    int32_t status = 0;
    // A library that cannot start (no memory for its tables or threads)
    // leaves the file alone: the save step is never reached.
    int32_t started = MEM_init() > 0 && FILESYS_init(0, 0, 0) == 1;
    TARLOK_STAMP loaded;
    if (started && FILE_exists(path) && TARLOK_stamp(path, &loaded) && FILE_sizequiet(path) - TARLOK_KEYLENGTH > 0) {
        uint8_t* buffer = static_cast<uint8_t*>(FILE_loadquiet(path, MB_RAM));
        if (buffer) {
            status = TARLOK_patchandsave(path, buffer, &loaded);
            MEM_free(buffer);
        }
    }
    FILESYS_shutdown();
    MEM_shutdown();
    return status != 0 ? status : printf(TARLOK_USAGE);
}
