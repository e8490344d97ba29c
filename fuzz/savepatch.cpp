// Fuzzes the scan-and-patch over arbitrary buffers: the patch touches only
// the four bytes after the first complete key, and only when all four lie
// inside the buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "savepatch.h"

static void PATCHFUZZ_fail(const char* what)
{
    fprintf(stderr, "fuzz_savepatch: %s\n", what);
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0x7FFFFFFF)
        return 0;
    // A heap copy of exactly the input's size, so that the sanitizer sees
    // any access past its end.
    uint8_t* buffer = static_cast<uint8_t*>(malloc(size ? size : 1));
    if (size)
        memcpy(buffer, data, size);
    int32_t length = static_cast<int32_t>(size);
    uint8_t was[4];
    int32_t hit = TARLOK_scanpatch(size ? buffer : nullptr, length, was);

    // The first place where the key stands complete, NUL included.
    int32_t first = -1;
    for (int32_t p = 0; p + TARLOK_KEYLENGTH < length; p++) {
        if (memcmp(data + p, TARLOK_KEY, TARLOK_KEYLENGTH) == 0) {
            first = p;
            break;
        }
    }
    int32_t expected = first >= 0 && first + TARLOK_KEYLENGTH + 4 <= length ? first : -1;
    if (hit != expected)
        PATCHFUZZ_fail("patched at the wrong place");
    if (hit >= 0 && memcmp(was, data + hit + TARLOK_KEYLENGTH, 4) != 0)
        PATCHFUZZ_fail("the value before the patch was not handed back");
    for (int32_t i = 0; i < length; i++) {
        bool patched = hit >= 0 && i >= hit + TARLOK_KEYLENGTH && i < hit + TARLOK_KEYLENGTH + 4;
        if (patched ? buffer[i] != 0 : buffer[i] != data[i])
            PATCHFUZZ_fail("a byte changed that should not have");
    }
    free(buffer);
    return 0;
}
