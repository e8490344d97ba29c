// Writes arbitrary bytes as a file and loads its BIG header and index with
// FILE_loadbigheaderquiet and FILE_loadbigheader. The quiet form must raise no
// alert at all (the alert routine aborts while it runs). When a block comes
// back, the file starts with one of the two BIG signatures, its claimed
// header size is no more than the file's length, the block was requested with
// the larger of FILE_BIGHEADERSIZE and that claim, and it holds the file's
// first bytes followed by zeros. A null result means the file has no BIG
// signature or claims a header longer than itself. The loud form must give
// the same answer, and raise an alert exactly when it fails. Every block is
// freed, and the heap's free total is the same after each input as before.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzzscratch.h"
#include "vorl/alert.h"
#include "vorl/hlsfile.h"

namespace {

std::string path;
bool quietcall = false;
int32_t alerts = 0;

void fail(const char* what)
{
    fprintf(stderr, "bigheader: %s\n", what);
    abort();
}

int32_t onalert(const char* format, ...)
{
    if (quietcall) {
        fprintf(stderr, "bigheader: the quiet form raised an alert: %s", format ? format : "(null)\n");
        abort();
    }
    alerts++;
    return 1;
}

void setup()
{
    path = FUZZ_scratch("bigheader") + "/archive.big";
    ALERTroutine = onalert;
}

// Checks a returned block against the file's bytes. claim is the header size
// the file's first bytes state.
void checkblock(const uint8_t* block, const uint8_t* data, size_t length, uint32_t claim)
{
    uint64_t wanted = claim > FILE_BIGHEADERSIZE ? claim : FILE_BIGHEADERSIZE;
    if (MEM_size(block) != static_cast<int32_t>(wanted))
        fail("the block's size is not the larger of the first read and the claimed header");
    size_t common = length < wanted ? length : static_cast<size_t>(wanted);
    if (common && memcmp(block, data, common) != 0)
        fail("the block's bytes differ from the file's");
    for (size_t i = common; i < wanted; i++)
        if (block[i] != 0)
            fail("the block holds something other than zeros past the end of the file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length)
{
    if (path.empty())
        setup();
    if (!FUZZ_writefile(path, data, length))
        fail("cannot write the scratch file");
    int32_t freebefore = MEM_totalfree();

    // The file as the first read sees it: its bytes, then zeros.
    uint8_t head[16] = {0};
    memcpy(head, data, length < sizeof head ? length : sizeof head);
    bool layout1 = length >= 2 && head[0] == 0xC0 && head[1] == 0xFB;
    bool layout2 = !layout1 && length >= 4 && memcmp(head, "BIGF", 4) == 0;
    uint32_t claim = layout1 ? ENDIAN_getbig(head + 2, 2) + 4 : layout2 ? ENDIAN_getbig(head + 12, 4) : 0;
    bool loads = (layout1 || layout2) && claim <= length;

    quietcall = true;
    uint8_t* quiet = static_cast<uint8_t*>(FILE_loadbigheaderquiet(path.c_str(), 0));
    quietcall = false;
    alerts = 0;
    uint8_t* loud = static_cast<uint8_t*>(FILE_loadbigheader(path.c_str(), 0));

    if ((quiet != nullptr) != loads)
        fail(loads ? "a BIG header that fits in its file did not load" : "a header that does not fit loaded");
    if ((loud != nullptr) != (quiet != nullptr))
        fail("the loud and the quiet forms disagree");
    if ((alerts != 0) != (loud == nullptr))
        fail(loud ? "the loud form raised an alert and succeeded" : "the loud form failed without an alert");
    if (quiet) {
        checkblock(quiet, data, length, claim);
        checkblock(loud, data, length, claim);
        MEM_free(quiet);
        MEM_free(loud);
    }
    if (MEM_totalfree() != freebefore)
        fail("a block was left in the heap");
    return 0;
}
