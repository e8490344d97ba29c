// Fuzzes the BIG archive lookups over arbitrary bytes.
//
// The sized lookup runs over the input exactly as given, in a heap copy of
// its own size, so that the sanitizer sees any read past it. The trusting
// lookups run only where the input holds the whole header and index it
// claims: they get a copy that ends exactly at the header size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vorl/alert.h"
#include "vorl/big.h"

static int32_t BIGFUZZ_alert(const char*, ...) { return 1; }

static void BIGFUZZ_fail(const char* what)
{
    fprintf(stderr, "fuzz_big: %s\n", what);
    abort();
}

static bool BIGFUZZ_samename(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z')
            x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z')
            y = static_cast<unsigned char>(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

// A found name must lie, NUL included, inside [bytes, bytes + end).
static void BIGFUZZ_inside(const uint8_t* bytes, uint32_t end, const char* name)
{
    const uint8_t* at = reinterpret_cast<const uint8_t*>(name);
    if (at < bytes || at >= bytes + end || !memchr(at, 0, static_cast<size_t>(bytes + end - at)))
        BIGFUZZ_fail("a name outside the index");
}

static void BIGFUZZ_sized(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> copy(data, data + size);
    const uint8_t* bytes = copy.empty() ? nullptr : copy.data();
    uint32_t available = static_cast<uint32_t>(size);
    std::vector<std::string> names;
    for (int32_t n = 0;; n++) {
        uint32_t offset = 1, length = 1;
        const char* name = BIG_findentrysized(bytes, available, nullptr, n, &offset, &length);
        if (!name) {
            if (offset != 0 || length != 0)
                BIGFUZZ_fail("a miss left its results");
            break;
        }
        BIGFUZZ_inside(bytes, available, name);
        names.push_back(name);
    }
    // Each name finds the first entry of that name (ignoring ASCII case).
    for (size_t i = 0; i < names.size(); i++) {
        const char* found = BIG_findentrysized(bytes, available, names[i].c_str(), 0, nullptr, nullptr);
        if (!found)
            BIGFUZZ_fail("a listed name is not found");
        size_t first = 0;
        while (!BIGFUZZ_samename(names[first], names[i]))
            first++;
        if (!BIGFUZZ_samename(found, names[first]))
            BIGFUZZ_fail("a name found the wrong entry");
    }
}

static void BIGFUZZ_trusting(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    uint32_t fixed;
    uint32_t headersize;
    if (data[0] == 0xC0 && data[1] == 0xFB && size >= BIG_LAYOUT1HEADER) {
        fixed = BIG_LAYOUT1HEADER;
        headersize = ((uint32_t)data[2] << 8 | data[3]) + 4;
    } else if (size >= BIG_LAYOUT2HEADER && memcmp(data, "BIGF", 4) == 0) {
        fixed = BIG_LAYOUT2HEADER;
        headersize = (uint32_t)data[12] << 24 | (uint32_t)data[13] << 16 | (uint32_t)data[14] << 8 | data[15];
    } else {
        return;
    }
    if (headersize > size)
        return;
    size_t length = headersize > fixed ? headersize : fixed;
    uint8_t* bytes = static_cast<uint8_t*>(malloc(length));
    memcpy(bytes, data, length);

    if (BIG_headersize(bytes) != headersize)
        BIGFUZZ_fail("header size");
    BIG_numentries(bytes);
    std::string list;
    std::vector<char> name(length + 1);
    int32_t n = 0;
    for (; BIG_entryname(bytes, n, name.data()); n++) {
        BIGFUZZ_inside(bytes, headersize, BIG_findentry(bytes, nullptr, n, nullptr, nullptr));
        BIG_locatenumber(bytes, n);
        BIG_entryoffset(bytes, name.data());
        if (!strchr(name.data(), ','))
            list += std::string(name.data()) + ",";
    }
    if (name[0] != 0)
        BIGFUZZ_fail("a miss left a name");
    BIG_locateentry(bytes, "\x01no such entry", 0, nullptr, nullptr);
    list += "\x01no such entry";
    std::string before = list;
    std::vector<void*> results(static_cast<size_t>(n) + 1);
    BIG_locatemany(bytes, &list[0], results.data());
    if (list != before)
        BIGFUZZ_fail("the list was changed");
    free(bytes);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ALERTroutine = BIGFUZZ_alert;
    BIGFUZZ_sized(data, size);
    BIGFUZZ_trusting(data, size);
    return 0;
}
