// Mounts arbitrary bytes as a BIG archive (written to a scratch file) and
// opens, sizes, reads and closes every entry the index names, by the
// archive's own name and by the any-archive form. Checks that an entry opens
// exactly when the first index entry of its name lies inside the file, that
// its bytes are the archive's bytes there, that the archive cannot be
// unmounted while an entry is open, and that it unmounts afterwards.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzzscratch.h"
#include "vorl/big.h"
#include "pc/nfileint.h"
#include "vorl/memory.h"

namespace {

const int32_t P = 100;
const int MAXENTRIES = 48;

std::string scratchpath;

void fail(const char* what)
{
    fprintf(stderr, "bigmount: %s\n", what);
    abort();
}

void setup()
{
    char pattern[] = "/tmp/vorl-fuzz-bigmount-XXXXXX";
    int descriptor = mkstemp(pattern);
    if (descriptor < 0)
        fail("no scratch file");
    close(descriptor);
    scratchpath = pattern;
    atexit([] { unlink(scratchpath.c_str()); });
    if (MEM_init() <= 0 || FILESYS_init(0, 0, 0) != 1)
        fail("no file system");
}

BIGFILE* mounted(int32_t number)
{
    for (auto* archive = static_cast<BIGFILE*>(FILEbiglist.head); archive; archive = archive->link)
        if (archive->number == number)
            return archive;
    return nullptr;
}

// Opens path, reads the whole entry and checks it against the expected bytes.
// Returns the handle, still open, or 0.
int32_t openandcheck(const std::string& path, const uint8_t* expected, uint32_t size, bool present)
{
    int32_t handle = 0;
    int32_t opened = FILESYS_open(path.c_str(), FOPEN_READ, P, &handle);
    if (opened != (present ? 1 : 0) || (handle != 0) != present)
        fail(present ? "entry inside the file did not open" : "entry outside the file opened");
    if (!present)
        return 0;
    if (FILESYS_length(handle, P) != static_cast<int32_t>(size))
        fail("entry size differs from the index");
    std::vector<uint8_t> buffer(size + 1);
    if (FILESYS_read(handle, 0, buffer.data(), static_cast<int32_t>(size) + 1, P) != static_cast<int32_t>(size))
        fail("entry read a different length");
    if (size && memcmp(buffer.data(), expected, size) != 0)
        fail("entry bytes differ from the archive's");
    return handle;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length)
{
    if (scratchpath.empty())
        setup();
    if (!FUZZ_writefile(scratchpath, data, length))
        fail("cannot write the scratch file");

    int32_t number = 0;
    if (!FILESYS_openbig(scratchpath.c_str(), 0, P, &number) || number >= 0)
        fail("an existing file did not mount");
    BIGFILE* archive = mounted(number);
    if (!archive || archive->size != static_cast<int32_t>(length) || (length && !archive->base))
        fail("the mounted record does not describe the file");
    const uint8_t* base = static_cast<const uint8_t*>(archive->base);
    uint32_t available = static_cast<uint32_t>(archive->size);

    int32_t held = 0;
    for (int index = 0; index < MAXENTRIES && base; index++) {
        uint32_t offset = 0;
        uint32_t size = 0;
        const char* name = BIG_findentrysized(base, available, nullptr, index, &offset, &size);
        if (!name)
            break;
        // Lookups by name find the first entry of that name.
        uint32_t firstoffset = 0;
        uint32_t firstsize = 0;
        BIG_findentrysized(base, available, name, 0, &firstoffset, &firstsize);
        bool present = static_cast<uint64_t>(firstoffset) + firstsize <= available;
        std::string entry(name);
        int32_t handle = openandcheck(scratchpath + "|" + entry, base + firstoffset, firstsize, present);
        int32_t any = openandcheck("|" + entry, base + firstoffset, firstsize, present);
        if (any && FILESYS_close(any, P) != 1)
            fail("close failed");
        if (handle && !held)
            held = handle;
        else if (handle && FILESYS_close(handle, P) != 1)
            fail("close failed");
    }
    if (held) {
        if (FILESYS_closebig(number, P) != 0 || !mounted(number))
            fail("unmounted while an entry was open");
        if (FILESYS_close(held, P) != 1)
            fail("close failed");
    }
    if (FILESYS_closebig(number, P) != 1 || mounted(number))
        fail("unmount failed");
    for (int32_t slot = 0; slot < FILEbigentrycount; slot++)
        if (FILEbigentries[slot])
            fail("an entry handle was left behind");
    return 0;
}
