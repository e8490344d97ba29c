// tarlok: repairs a save file in place by zeroing the 32-bit value that
// follows the first "Parts.OwnedDamageRepairList" key.
#include <cstdio>

#include "savepatch.h"

int main(int argc, char** argv)
{
    if (argc <= 1)
        return printf(TARLOK_USAGE);
    fprintf(stderr, "tarlok: %s: patching files needs the file services, which this build does not have yet\n",
            argv[1]);
    return 2;
}
