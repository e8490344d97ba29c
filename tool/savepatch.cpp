// The scan-and-patch of a loaded save file.
#include "savepatch.h"

#include <cstring>

int32_t TARLOK_scanpatch(uint8_t* buffer, int32_t size, uint8_t* was)
{
    static const char key[TARLOK_KEYLENGTH + 1] = TARLOK_KEY;
    static_assert(sizeof(TARLOK_KEY) == TARLOK_KEYLENGTH, "the key and its NUL are 28 bytes");

    if (!buffer)
        return -1;
    // Candidates are the places of the key's first byte: memchr finds them
    // many bytes at a time, where a byte loop would look at each one.
    const int32_t end = size - TARLOK_KEYLENGTH;
    for (int32_t p = 0; p < end; p++) {
        const void* first = memchr(buffer + p, key[0], static_cast<size_t>(end - p));
        if (first == nullptr)
            break;
        p = static_cast<int32_t>(static_cast<const uint8_t*>(first) - buffer);
        if (memcmp(buffer + p, key, TARLOK_KEYLENGTH) != 0)
            continue;
        // The first hit decides: a key too close to the end to be followed by
        // a whole 32-bit value leaves the file as it was.
        if (size - (p + TARLOK_KEYLENGTH) < 4)
            return -1;
        if (was)
            memcpy(was, buffer + p + TARLOK_KEYLENGTH, 4);
        memset(buffer + p + TARLOK_KEYLENGTH, 0, 4);
        return p;
    }
    return -1;
}
