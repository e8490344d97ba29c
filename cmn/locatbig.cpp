// Lookups in the header and index of a BIG archive once they are in memory:
// classifying the header, finding an entry by name or by number, and
// resolving a list of names against a whole archive in memory.
//
// Every walk of the index is bounded by the header size (or by the bytes the
// caller says are available): an entry whose fixed part or whose name's NUL
// would lie at or beyond that end is not an entry, and the index ends there.
#include <cstring>

#include "vorl/alert.h"
#include "vorl/big.h"
#include "vorl/memory.h"

static const char MODULE_FILE[] = "cmn/locatbig";

static const uint8_t SIGNATURE1[2] = {0xC0, 0xFB};
static const uint8_t SIGNATURE2[4] = {'B', 'I', 'G', 'F'};

int32_t BIG_layout(const void* header, uint32_t available)
{
    if (!header)
        return 0;
    if (available >= BIG_LAYOUT1HEADER && memcmp(header, SIGNATURE1, 2) == 0)
        return BIG_LAYOUT1;
    if (available >= BIG_LAYOUT2HEADER && memcmp(header, SIGNATURE2, 4) == 0)
        return BIG_LAYOUT2;
    return 0;
}

static uint32_t BIG_sizeof(const uint8_t* header, int32_t layout)
{
    if (layout == BIG_LAYOUT1)
        return ENDIAN_getbig(header + 2, 2) + 4;
    if (layout == BIG_LAYOUT2)
        return ENDIAN_getbig(header + 12, 4);
    return 0;
}

int32_t typeofbigfile(const void* header)
{
    if (!header) {
        ALERT_raise(MODULE_FILE, "typeofbigfile - NO BIG FILE SET (NULL POINTER)\n");
        return 0;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(header);
    if (memcmp(bytes, SIGNATURE1, 2) == 0)
        return BIG_LAYOUT1;
    if (memcmp(bytes, SIGNATURE2, 4) == 0)
        return BIG_LAYOUT2;
    ALERT_raise(MODULE_FILE, "typeofbigfile - FILE IS NOT A BIG FILE\n");
    return 0;
}

uint32_t BIG_headersize(const void* header)
{
    return BIG_sizeof(static_cast<const uint8_t*>(header), typeofbigfile(header));
}

uint32_t BIG_indexsize(const void* header, uint32_t available)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(header);
    return BIG_sizeof(bytes, BIG_layout(bytes, available));
}

uint32_t BIG_numentries(const void* header)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(header);
    switch (typeofbigfile(header)) {
    case BIG_LAYOUT1: return ENDIAN_getbig(bytes + 4, 2);
    case BIG_LAYOUT2: return ENDIAN_getbig(bytes + 8, 4);
    default: return 0;
    }
}

// ASCII letters compare without regard to case; every other byte as it is.
// Unlike the C library's comparison this does not depend on the locale.
static int32_t BIG_samename(const char* a, const char* b)
{
    for (;; a++, b++) {
        unsigned char x = static_cast<unsigned char>(*a);
        unsigned char y = static_cast<unsigned char>(*b);
        if (x >= 'a' && x <= 'z')
            x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y)
            return 0;
        if (x == 0)
            return 1;
    }
}

const char* BIG_findentrysized(const void* header, uint32_t available, const char* name, int32_t number,
                               uint32_t* offset, uint32_t* size)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(header);
    int32_t layout = BIG_layout(bytes, available);
    if (layout != 0) {
        uint32_t end = BIG_sizeof(bytes, layout);
        if (end > available)
            end = available;
        uint32_t fixed = layout == BIG_LAYOUT1 ? BIG_LAYOUT1ENTRY : BIG_LAYOUT2ENTRY;
        int32_t field = layout == BIG_LAYOUT1 ? 3 : 4;
        uint32_t entry = layout == BIG_LAYOUT1 ? BIG_LAYOUT1HEADER : BIG_LAYOUT2HEADER;
        for (int32_t position = 0; entry < end; position++) {
            // The fixed part and the whole name, NUL included, must lie
            // before the end; otherwise the index ends here.
            if (end - entry <= fixed)
                break;
            const char* entryname = reinterpret_cast<const char*>(bytes + entry + fixed);
            const void* nul = memchr(entryname, 0, end - entry - fixed);
            if (!nul)
                break;
            if (name ? BIG_samename(entryname, name) : position == number) {
                if (offset)
                    *offset = ENDIAN_getbig(bytes + entry, field);
                if (size)
                    *size = ENDIAN_getbig(bytes + entry + field, field);
                return entryname;
            }
            entry = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - bytes) + 1;
        }
    }
    if (offset)
        *offset = 0;
    if (size)
        *size = 0;
    return nullptr;
}

const char* BIG_findentry(const void* header, const char* name, int32_t number, uint32_t* offset, uint32_t* size)
{
    // Trusting the header: as many bytes are there as it says it spans, and
    // at least its layout's fixed part (which the classification reads).
    const uint8_t* bytes = static_cast<const uint8_t*>(header);
    uint32_t available = 0;
    if (bytes && memcmp(bytes, SIGNATURE1, 2) == 0)
        available = BIG_sizeof(bytes, BIG_LAYOUT1);
    else if (bytes && memcmp(bytes, SIGNATURE2, 4) == 0)
        available = BIG_sizeof(bytes, BIG_LAYOUT2);
    return BIG_findentrysized(header, available, name, number, offset, size);
}

const char* BIG_locateentry(const void* header, const char* name, int32_t number, uint32_t* offset, uint32_t* size)
{
    const char* found = BIG_findentry(header, name, number, offset, size);
    if (!found) {
        if (name)
            ALERT_raise(MODULE_FILE, "BIG_locateentry: ENTRY \"%s\" NOT FOUND\n", name);
        else
            ALERT_raise(MODULE_FILE, "BIG_locateentry: ENTRY #%d NOT FOUND\n", static_cast<int>(number));
    }
    return found;
}

uint32_t BIG_entryoffset(const void* header, const char* name)
{
    if (!name)
        return 0;
    uint32_t offset = 0;
    BIG_locateentry(header, name, 0, &offset, nullptr);
    return offset;
}

void* BIG_locate(const void* archive, const char* name)
{
    uint32_t offset = BIG_entryoffset(archive, name);
    if (offset == 0)
        return nullptr;
    return const_cast<uint8_t*>(static_cast<const uint8_t*>(archive)) + offset;
}

void* BIG_locatenumber(const void* archive, int32_t number)
{
    uint32_t offset = 0;
    if (!BIG_locateentry(archive, nullptr, number, &offset, nullptr))
        return nullptr;
    return const_cast<uint8_t*>(static_cast<const uint8_t*>(archive)) + offset;
}

char* BIG_entryname(const void* header, int32_t number, char* buffer)
{
    const char* name = BIG_locateentry(header, nullptr, number, nullptr, nullptr);
    if (!buffer)
        return nullptr;
    if (!name) {
        buffer[0] = 0;
        return nullptr;
    }
    memcpy(buffer, name, strlen(name) + 1);
    return buffer;
}

void BIG_locatemany(const void* archive, char* list, void** results)
{
    if (!list || !results)
        return;
    char* name = list;
    for (int32_t slot = 0;; slot++) {
        char* comma = strchr(name, ',');
        if (comma)
            *comma = 0;
        results[slot] = BIG_locate(archive, name);
        if (!results[slot]) {
            ALERT_raise(MODULE_FILE, "BIG_locatemany - FILE NOT FOUND '%s'\n", name);
        }
        if (!comma)
            return;
        *comma = ',';
        name = comma + 1;
    }
}
