// tarlok: repairs a save file in place by zeroing the 32-bit value that
// follows the first "Parts.OwnedDamageRepairList" key.
//
// The run: start the heap and the file system; if the file exists and is at
// least 29 bytes long, load it whole, patch the first key (if any) and write
// the whole buffer back under the same path; stop the file system and the
// heap. Exit status 1 when the file was saved, 25 (the usage line's length)
// when it was not reached, 2 when the save failed (with a message on standard
// error). An alert of the library ends the process with status 0.
#include <cstdio>
#include <cstring>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "savepatch.h"
#include "vorl/file.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"
#include "vorl/thread.h"

// The size a memory-manager block was requested with, from its header. The
// save writes back exactly what was loaded: a file that changed size between
// the size query and the load is neither cut to its old size nor scanned
// beyond its buffer.
static int32_t TARLOK_blocksize(const void* block)
{
    int32_t size;
    memcpy(&size, static_cast<const uint8_t*>(block) - MB_HEADERSIZE + 4, sizeof size);
    return size;
}

// The platform's last-error codes (Windows numbering) that a save can meet.
static const char* TARLOK_reason(uint32_t error)
{
    switch (error) {
    case 0:
        return "the write stopped short";
    case 2:
        return "the file was not found";
    case 3:
        return "the path was not found";
    case 5:
        return "permission denied";
    case 8:
        return "not enough memory";
    case 19:
        return "the medium is write-protected";
    case 32:
        return "the file is in use";
    case 112:
        return "no space left on the disk";
    case 223:
        return "the file would grow beyond the allowed file size";
    default:
        return "the file system reported an error";
    }
}

int main(int argc, char** argv)
{
#ifdef _WIN32
    // Standard output carries the same bytes on every system: no carriage
    // return is slipped in before a line feed.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (argc <= 1)
        return printf(TARLOK_USAGE);

    const char* path = argv[1];
    int32_t patched = 0;
    int32_t savefailed = 0;
    uint32_t saveerror = 0;

    MEM_init();
    FILESYS_init(0, 0, 0);
    if (FILE_exists(path)) {
        int32_t size = FILE_sizequiet(path);
        if (size - TARLOK_KEYLENGTH > 0) {
            uint8_t* buffer = static_cast<uint8_t*>(FILE_loadquiet(path, MB_RAM));
            if (buffer) {
                int32_t loaded = TARLOK_blocksize(buffer);
                TARLOK_scanpatch(buffer, loaded);
                if (!FILE_savequiet(path, buffer, loaded)) {
                    saveerror = SYS_getlasterror();
                    savefailed = 1;
                }
                MEM_free(buffer);
                patched = 1;
            }
        }
    }
    FILESYS_shutdown();
    MEM_shutdown();

    if (savefailed) {
        fprintf(stderr, "tarlok: %s: not saved: %s (error %u)\n", path, TARLOK_reason(saveerror),
                static_cast<unsigned>(saveerror));
        return 2;
    }
    if (!patched)
        return printf(TARLOK_USAGE);
    return 1;
}
