// Helpers for the memory manager's tests: aligned areas, a heap of 1 MiB,
// the bytes of headers and trailers read back, and a block's owner.
#ifndef VORL_TESTS_MEMTEST_H
#define VORL_TESTS_MEMTEST_H

#include <string.h>

#include <gtest/gtest.h>

#include "alertrecorder.h"
#include "vorl/memory.h"

namespace memtest {

using Texts = std::vector<std::string>;
using Results = std::vector<int32_t>;

// size bytes from malloc starting at a multiple of 64.
struct Area {
    explicit Area(size_t size) : block(static_cast<uint8_t*>(malloc(size + 64))) {}
    ~Area() { free(block); }
    uint8_t* block;
    uint8_t* bytes = block + (64 - reinterpret_cast<uintptr_t>(block) % 64) % 64;
};
const int32_t HEAP = 1 << 20;
class MemHeap : public ::testing::Test {
protected:
    void SetUp() override
    {
        ALERTfile = nullptr;
        ASSERT_EQ(MEM_initadr(base, HEAP), HEAP - 256);
    }
    Area area{HEAP};
    uint8_t* base = area.bytes;
    uint8_t* top = base + HEAP - 64;  // the high bound block
};

inline std::string text(const void* at, size_t n) { return std::string(static_cast<const char*>(at), n); }
inline uint32_t u32(const uint8_t* at)
{
    uint32_t value;
    memcpy(&value, at, 4);
    return value;
}
inline uint8_t* header(void* contents) { return static_cast<uint8_t*>(contents) - MB_HEADERSIZE; }

// A link word: an address on 32-bit builds, an offset from the class's base on 64-bit builds.
inline uint32_t linkword(const void* base, const void* to)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(to);
    return static_cast<uint32_t>(sizeof(void*) == 4 ? at : at - reinterpret_cast<uintptr_t>(base));
}
inline const uint8_t* link(const uint8_t* base, const uint8_t* header, int offset)
{
    uint32_t word = u32(header + offset);
    return sizeof(void*) == 4 ? reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(word)) : base + word;
}
enum { NEXT = 8, PREVIOUS = 12, NEXTFREE = 16, PREVIOUSFREE = 20 };  // link offsets in a header

// 32-bit words as memory holds them, and a header's bytes: signature, flags, then words.
inline std::string words(std::initializer_list<uint32_t> list)
{
    std::string bytes;
    for (uint32_t word : list)
        bytes += text(&word, 4);
    return bytes;
}
inline std::string layout(const char* sig, uint32_t flags, std::initializer_list<uint32_t> list)
{
    return std::string(sig, 2) + text(&flags, 2) + words(list);
}

// A block's owner as "file(line)", or "-" when MEM_owner has none; the heap's free space and checker's verdict.
inline std::string owner(const void* block)
{
    const char* file = nullptr;
    int32_t line = 0;
    if (MEM_owner(block, &file, &line) != 1)
        return "-";
    return std::string(file ? file : "(null)") + "(" + std::to_string(line) + ")";
}

inline std::tuple<int32_t, int32_t, int32_t> heapstate()
{
    return std::make_tuple(MEM_largestfree(), MEM_totalfree(), MEMCLASS_check(MB_RAM));
}

}  // namespace memtest

#endif
