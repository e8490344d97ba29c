// tarlok: repairs a save file in place by zeroing the 32-bit value that
// follows the first "Parts.OwnedDamageRepairList" key.
//
// The run: start the heap and the file system; if the file exists and is at
// least 29 bytes long, load it whole, patch the first key (if any) and write
// the whole buffer back under the same path, unless the file changed since
// it was loaded; stop the file system and the heap. Exit status 1 when the
// file was saved, 25 (the usage line's length) when it was not reached, 2
// when the save failed or was given up (with a message on standard error).
// An alert of the library ends the process with status 0.
#include <csignal>
#include <cstdio>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "patchfile.h"
#include "savepatch.h"

int main(int argc, char** argv)
{
#ifdef _WIN32
    // Standard output carries the same bytes on every system: no carriage
    // return is slipped in before a line feed.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (argc <= 1)
        return printf(TARLOK_USAGE);
#ifdef SIGXFSZ
    // Under a file-size limit a write past it then fails with the file-size
    // error, which the save reports, instead of ending the process silently.
    signal(SIGXFSZ, SIG_IGN);
#endif
    return TARLOK_run(argv[1]);
}
