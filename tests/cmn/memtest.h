// Helpers for the memory manager's tests: areas to build classes over, the
// documented byte layout read back from memory, and a capture of what is
// printed on the "memory" channel.
#ifndef VORL_TESTS_MEMTEST_H
#define VORL_TESTS_MEMTEST_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <stdarg.h>
#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

#include "vorl/alert.h"
#include "vorl/memory.h"
#include "vorl/print.h"

namespace memtest {

// An area of size bytes starting at a multiple of 64, taken from malloc
// (with room to align it) and handed back when it goes.
struct Area {
    explicit Area(size_t size)
        : size(size), block(static_cast<uint8_t*>(malloc(size + 64))),
          bytes(block + (64 - reinterpret_cast<uintptr_t>(block) % 64) % 64)
    {
    }
    ~Area() { free(block); }
    Area(const Area&) = delete;
    Area& operator=(const Area&) = delete;
    size_t size;
    uint8_t* block;
    uint8_t* bytes;
};

inline uint32_t u32(const uint8_t* at)
{
    uint32_t value;
    memcpy(&value, at, 4);
    return value;
}

inline int32_t i32(const uint8_t* at) { return static_cast<int32_t>(u32(at)); }

inline uint16_t u16(const uint8_t* at)
{
    uint16_t value;
    memcpy(&value, at, 2);
    return value;
}

inline std::string signature(const uint8_t* header) { return std::string(reinterpret_cast<const char*>(header), 2); }

// A link word as the layout defines it: an address on 32-bit builds, an
// offset from the class's base on 64-bit builds.
inline const uint8_t* link(const uint8_t* base, uint32_t word)
{
    if (sizeof(void*) == 4)
        return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(word));
    return base + word;
}

inline const uint8_t* nextblock(const uint8_t* base, const uint8_t* header) { return link(base, u32(header + 8)); }
inline const uint8_t* previousblock(const uint8_t* base, const uint8_t* header) { return link(base, u32(header + 12)); }
inline const uint8_t* nextfree(const uint8_t* base, const uint8_t* header) { return link(base, u32(header + 16)); }
inline const uint8_t* previousfree(const uint8_t* base, const uint8_t* header) { return link(base, u32(header + 20)); }

inline uint8_t* header(void* contents) { return static_cast<uint8_t*>(contents) - MB_HEADERSIZE; }

// Bytes of contents a block spans, up to the next header.
inline int32_t span(const uint8_t* base, void* contents)
{
    return static_cast<int32_t>(nextblock(base, header(contents)) - static_cast<uint8_t*>(contents));
}

// Collects the text printed on the "memory" channel while it lives.
class MemoryChannel {
public:
    MemoryChannel()
    {
        text().clear();
        PRINT_setdevice(DEVICE, "memtest", record);
        PRINT_enabledevice(DEVICE, 1);
        PRINT_enabledevice(PRINT_DEVCONSOLE, 0);
        PRINT_enablechannel(PRINT_MEMORY, 1);
    }
    ~MemoryChannel()
    {
        PRINT_enablechannel(PRINT_MEMORY, 0);
        PRINT_enabledevice(DEVICE, 0);
        PRINT_enabledevice(PRINT_DEVCONSOLE, 1);
    }
    std::string take()
    {
        std::string all = text();
        text().clear();
        return all;
    }

private:
    static const int32_t DEVICE = 6;
    static std::string& text()
    {
        static std::string printed;
        return printed;
    }
    static int32_t record(int32_t channel, const char* printed)
    {
        if (channel == PRINT_MEMORY)
            text() += printed;
        return 1;
    }
};

}  // namespace memtest

#endif
