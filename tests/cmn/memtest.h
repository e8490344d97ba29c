// Helpers for the memory manager's tests: aligned areas, a 1 MiB heap, header bytes, owners.
#ifndef VORL_TESTS_MEMTEST_H
#define VORL_TESTS_MEMTEST_H

#include <string.h>

#include <gtest/gtest.h>

#include "alertrecorder.h"
#include "vorl/memory.h"

namespace memtest {

using Texts = std::vector<std::string>;
using Results = std::vector<int32_t>;

struct Area {  // size bytes from malloc starting at a multiple of 64
    explicit Area(size_t size) : block(static_cast<uint8_t*>(malloc(size + 64))) {}
    ~Area() { free(block); }
    uint8_t* block;
    uint8_t* bytes = block + (64 - reinterpret_cast<uintptr_t>(block) % 64) % 64;
};
const int32_t HEAP = 1 << 20;
class MemHeap : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(MEM_initadr(base, HEAP), HEAP - 256); }
    Area area{HEAP};
    uint8_t* base = area.bytes;
    uint8_t* top = base + HEAP - 64;  // the high bound block
};

inline std::string text(const void* at, size_t n) { return std::string(static_cast<const char*>(at), n); }
inline uint32_t u32(const uint8_t* at)
{
    uint32_t value;
    return *static_cast<uint32_t*>(memcpy(&value, at, 4));
}
inline uint8_t* header(void* contents) { return static_cast<uint8_t*>(contents) - MB_HEADERSIZE; }

// A link word: an address on 32-bit builds, an offset from the class's base on 64-bit builds.
inline uintptr_t origin(const void* base) { return sizeof(void*) == 4 ? 0 : reinterpret_cast<uintptr_t>(base); }
inline uint32_t linkword(const void* base, const void* to) { return uint32_t(uintptr_t(to) - origin(base)); }
inline uint8_t* link(uint8_t* base, const uint8_t* header, int offset)
{
    return reinterpret_cast<uint8_t*>(origin(base) + u32(header + offset));
}
enum { NEXT = 8, PREVIOUS = 12, NEXTFREE = 16, PREVIOUSFREE = 20 };  // link offsets in a header

// 32-bit words as memory holds them; a header's bytes: signature, flags, then words.
inline std::string words(std::initializer_list<uint32_t> list) { return text(list.begin(), list.size() * 4); }
inline std::string layout(const char* sig, uint32_t flags, std::initializer_list<uint32_t> list)
{
    return std::string(sig, 2) + text(&flags, 2) + words(list);
}

inline std::string owner(const void* block)
{
    const char* file = nullptr;
    int32_t line = 0;
    int32_t found = MEM_owner(block, &file, &line);
    return found != 1 ? "-" : std::string(file ? file : "(null)") + "(" + std::to_string(line) + ")";
}
inline auto heapstate() { return std::make_tuple(MEM_largestfree(), MEM_totalfree(), MEMCLASS_check(MB_RAM)); }

}  // namespace memtest

#endif
