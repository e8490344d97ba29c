// Helpers for the memory manager's tests: areas to build classes over, the
// byte layout read back from memory, a block's owner, and a capture of the
// "memory" channel.
#ifndef VORL_TESTS_MEMTEST_H
#define VORL_TESTS_MEMTEST_H

#include <stdlib.h>
#include <string.h>

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "alertrecorder.h"
#include "vorl/memory.h"
#include "vorl/print.h"

namespace memtest {

using Texts = std::vector<std::string>;

// An area of size bytes starting at a multiple of 64, taken from malloc
// (with room to align it) and handed back when it goes.
struct Area {
    explicit Area(size_t size) : block(static_cast<uint8_t*>(malloc(size + 64))) {}
    ~Area() { free(block); }
    Area(const Area&) = delete;
    Area& operator=(const Area&) = delete;
    uint8_t* block;
    uint8_t* bytes = block + (64 - reinterpret_cast<uintptr_t>(block) % 64) % 64;
};

inline int32_t i32(const uint8_t* at)
{
    int32_t value;
    memcpy(&value, at, 4);
    return value;
}
inline uint32_t u32(const uint8_t* at) { return static_cast<uint32_t>(i32(at)); }
inline uint16_t u16(const uint8_t* at) { return static_cast<uint16_t>(u32(at)); }
inline std::string text(const void* at, size_t n) { return std::string(static_cast<const char*>(at), n); }
inline std::string signature(const uint8_t* header) { return text(header, 2); }
inline uint8_t* header(void* contents) { return static_cast<uint8_t*>(contents) - MB_HEADERSIZE; }

// A link word: an address on 32-bit builds, an offset from the class's base
// on 64-bit builds.
inline const uint8_t* link(const uint8_t* base, uint32_t word)
{
    return sizeof(void*) == 4 ? reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(word)) : base + word;
}
inline uint32_t linkword(const void* base, const void* to)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(to);
    return static_cast<uint32_t>(sizeof(void*) == 4 ? at : at - reinterpret_cast<uintptr_t>(base));
}
inline const uint8_t* nextblock(const uint8_t* base, const uint8_t* header) { return link(base, u32(header + 8)); }
inline const uint8_t* nextfree(const uint8_t* base, const uint8_t* header) { return link(base, u32(header + 16)); }
inline const uint8_t* previousfree(const uint8_t* base, const uint8_t* header) { return link(base, u32(header + 20)); }

// Bytes of contents a block spans, up to the next header.
inline int32_t span(const uint8_t* base, void* contents)
{
    return static_cast<int32_t>(nextblock(base, header(contents)) - static_cast<uint8_t*>(contents));
}

// 32-bit words as memory holds them; the bytes a header should hold
// (signature, flags, then size, next and previous block and the free
// links); and a free block's header less its flags, against "FB" + words.
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
inline std::string unflagged(const uint8_t* header, size_t n) { return text(header, 2) + text(header + 4, n - 4); }

// A block's owner as "file(line)", or "-" when MEM_owner has none.
inline std::string owner(const void* block)
{
    const char* file = nullptr;
    int32_t line = 0;
    if (MEM_owner(block, &file, &line) != 1)
        return "-";
    return std::string(file ? file : "(null)") + "(" + std::to_string(line) + ")";
}

// The heap's largest and total free space and the checker's verdict.
inline std::tuple<int32_t, int32_t, int32_t> heapstate()
{
    return std::make_tuple(MEM_largestfree(), MEM_totalfree(), MEMCLASS_check(MB_RAM));
}

// Collects the text printed on the "memory" channel while it lives.
struct MemoryChannel {
    static std::string& printed()
    {
        static std::string text;
        return text;
    }
    MemoryChannel()
    {
        printed().clear();
        PRINT_setdevice(6, "memtest", [](int32_t channel, const char* line) -> int32_t {
            printed() += channel == PRINT_MEMORY ? line : "";
            return 1;
        });
        PRINT_enabledevice(6, 1);
        PRINT_enabledevice(PRINT_DEVCONSOLE, 0);
        PRINT_enablechannel(PRINT_MEMORY, 1);
    }
    ~MemoryChannel()
    {
        PRINT_enablechannel(PRINT_MEMORY, 0);
        PRINT_enabledevice(6, 0);
        PRINT_enabledevice(PRINT_DEVCONSOLE, 1);
    }
    std::string take() { return std::exchange(printed(), std::string()); }
};

}  // namespace memtest

#endif
