// The seven fill and copy routines and the MEM_fill/MEM_copy entry points:
// the bytes they leave (against memset/memcpy and against the piece rules),
// the bytes they must leave alone, their results, and the x87/MMX state.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "vorl/pagemem.h"

namespace {

typedef void* (*FILLROUTINE)(void*, uint32_t, int32_t);
typedef void* (*COPYROUTINE)(void*, const void*, int32_t);

struct FILLCASE {
    const char* name;
    FILLROUTINE routine;
    uintptr_t headalign;
    bool usesmmx;
};

struct COPYCASE {
    const char* name;
    COPYROUTINE routine;
    bool usesmmx;
};

const FILLCASE FILLS[] = {
    {"MEM_fill32", MEM_fill32, 4, false},
    {"MEM_fillmmx", MEM_fillmmx, 4, true},
    {"MEM_fillsse", MEM_fillsse, 32, false},
};

const COPYCASE COPIES[] = {
    {"MEM_copy32", MEM_copy32, false},
    {"MEM_copyfpu", MEM_copyfpu, false},
    {"MEM_copymmx", MEM_copymmx, true},
    {"MEM_copysse", MEM_copysse, false},
};

const int MAXCOUNT = 300;
const int MARGIN = 64;

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define TEST_X86 1
// The MMX routines leave the MMX state for their caller to empty; the test
// does it before any floating-point code of its own can run.
void emptymmx() { __asm__ __volatile__("emms"); }

// The x87 tag word (0xFFFF when every register is empty), read without
// disturbing the unit: fnstenv masks exceptions, fldenv puts them back.
uint16_t x87tags() {
    struct {
        uint32_t words[7];
    } env;
    __asm__ __volatile__("fnstenv %0\n\tfldenv %0" : "+m"(env));
    return (uint16_t)env.words[2];
}
#else
#define TEST_X86 0
void emptymmx() {}
#endif

void* callfill(const FILLCASE& r, void* d, uint32_t v, int32_t n) {
    void* end = r.routine(d, v, n);
    if (r.usesmmx)
        emptymmx();
    return end;
}

void* callcopy(const COPYCASE& r, void* d, const void* s, int32_t n) {
    void* end = r.routine(d, s, n);
    if (r.usesmmx)
        emptymmx();
    return end;
}

// A 64-aligned work area with MARGIN bytes before it and after it, and a
// canary pattern to compare against.
struct AREA {
    std::vector<uint8_t> storage;
    uint8_t* base;  // 64-aligned, MARGIN bytes into the storage
    size_t size;    // usable bytes from base (plus MARGIN after)
};

void makearea(AREA& a, size_t size, uint32_t seed) {
    a.storage.assign(size + 3 * MARGIN, 0);
    uintptr_t p = (uintptr_t)a.storage.data() + MARGIN;
    p = (p + 63) & ~(uintptr_t)63;
    a.base = (uint8_t*)p;
    a.size = size;
    std::mt19937 random(seed);
    for (auto& b : a.storage)
        b = (uint8_t)random();
}

// Writes what a fill routine with this head alignment leaves, piece by
// piece: the head's 1-, 2-, 4-, 8- and 16-byte pieces below the head
// alignment, 32-byte blocks, 8-byte pieces, then one 4-, 2- and 1-byte piece.
// Byte i of a piece is byte i mod 4 of the little-endian value.
void modelfill(uint8_t* out, uintptr_t address, int32_t count, uint32_t value, uintptr_t headalign) {
    int32_t n = count;
    auto piece = [&](int32_t size) {
        for (int32_t i = 0; i < size; i++)
            out[i] = (uint8_t)(value >> (8 * (i % 4)));
        out += size;
        address += size;
        n -= size;
    };
    if (address % headalign)
        for (uintptr_t size = 1; size < headalign; size <<= 1)
            if ((address & size) && n >= (int32_t)size)
                piece((int32_t)size);
    while (n >= 32)
        piece(32);
    while (n >= 8)
        piece(8);
    if (n >= 4)
        piece(4);
    if (n >= 2)
        piece(2);
    if (n >= 1)
        piece(1);
}

std::string where(const char* name, int align, int count, int srcalign = -1) {
    std::string s = std::string(name) + " dest%64=" + std::to_string(align) + " count=" + std::to_string(count);
    if (srcalign >= 0)
        s += " source%64=" + std::to_string(srcalign);
    return s;
}

// Fills at every destination alignment 0..63 and count 0..MAXCOUNT; the
// whole area, margins included, must equal the model (or memset's result,
// for a value of four equal bytes). Stops at the first mismatch so that one
// fault gives one report.
void sweepfill(const char* name, FILLROUTINE fill, bool usesmmx, uintptr_t headalign, uint32_t value,
               bool againstmemset = false) {
    AREA area, expected;
    makearea(area, 64 + MAXCOUNT + MARGIN, 1);
    makearea(expected, 64 + MAXCOUNT + MARGIN, 1);
    const size_t span = area.size + MARGIN;
    std::vector<uint8_t> canary(area.base - MARGIN, area.base + span);
    for (int align = 0; align < 64; align++) {
        for (int count = 0; count <= MAXCOUNT; count++) {
            memcpy(area.base - MARGIN, canary.data(), span + MARGIN);
            memcpy(expected.base - MARGIN, canary.data(), span + MARGIN);
            uint8_t* d = area.base + align;
            void* end = fill(d, value, count);
            if (usesmmx)
                emptymmx();
            if (againstmemset)
                memset(expected.base + align, (int)(value & 0xFF), count);
            else
                modelfill(expected.base + align, (uintptr_t)d, count, value, headalign);
            if (end != d + count || memcmp(area.base - MARGIN, expected.base - MARGIN, span + MARGIN) != 0) {
                ADD_FAILURE() << where(name, align, count) << " value=" << value
                              << (end != d + count ? " wrong result" : " wrong bytes");
                return;
            }
        }
    }
}

void sweepcopy(const char* name, COPYROUTINE copy, bool usesmmx, const std::vector<int>& srcaligns) {
    AREA area, expected, source;
    makearea(area, 64 + MAXCOUNT + MARGIN, 2);
    makearea(expected, 64 + MAXCOUNT + MARGIN, 2);
    makearea(source, 64 + MAXCOUNT + MARGIN, 3);
    const size_t span = area.size + MARGIN;
    std::vector<uint8_t> canary(area.base - MARGIN, area.base + span);
    for (int srcalign : srcaligns) {
        for (int align = 0; align < 64; align++) {
            for (int count = 0; count <= MAXCOUNT; count++) {
                memcpy(area.base - MARGIN, canary.data(), span + MARGIN);
                memcpy(expected.base - MARGIN, canary.data(), span + MARGIN);
                uint8_t* d = area.base + align;
                const uint8_t* s = source.base + srcalign;
                void* end = copy(d, s, count);
                if (usesmmx)
                    emptymmx();
                memcpy(expected.base + align, s, count);
                if (end != d + count || memcmp(area.base - MARGIN, expected.base - MARGIN, span + MARGIN) != 0) {
                    ADD_FAILURE() << where(name, align, count, srcalign)
                                  << (end != d + count ? " wrong result" : " wrong bytes");
                    return;
                }
            }
        }
    }
}

const std::vector<int> SOURCEALIGNS = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 32, 63};

// ---------------------------------------------------------------------------

TEST(FastMemFill, EveryRoutineMatchesMemsetForUniformValues) {
    // With four equal bytes in the value every piece is that byte.
    const uint32_t values[] = {0x00000000u, 0xFFFFFFFFu, 0x5A5A5A5Au};
    for (const FILLCASE& r : FILLS)
        for (uint32_t value : values)
            sweepfill(r.name, r.routine, r.usesmmx, r.headalign, value, true);
}

TEST(FastMemFill, BytesFollowThePieceStructure) {
    // 255 marks the first byte of every 4-byte store, every 2-byte piece and
    // every single byte; 0x44332211 also shows the little-endian order.
    for (const FILLCASE& r : FILLS) {
        sweepfill(r.name, r.routine, r.usesmmx, r.headalign, 255u);
        sweepfill(r.name, r.routine, r.usesmmx, r.headalign, 0x44332211u);
    }
}

TEST(FastMemFill, SmallHeadCases) {
    AREA area;
    makearea(area, 64, 5);
    for (const FILLCASE& r : FILLS) {
        // 3 bytes at 1 more than a multiple of 4: a byte, then a 2-byte piece.
        memset(area.base, 0xEE, 32);
        EXPECT_EQ(area.base + 4, callfill(r, area.base + 1, 255u, 3)) << r.name;
        const uint8_t three[] = {0xEE, 0xFF, 0xFF, 0x00, 0xEE};
        EXPECT_EQ(0, memcmp(area.base, three, sizeof three)) << r.name;

        // 13 bytes at 3 more than a multiple of 8: a byte, a 4-byte piece,
        // then 8 bytes holding the value twice.
        memset(area.base, 0xEE, 32);
        EXPECT_EQ(area.base + 16, callfill(r, area.base + 3, 255u, 13)) << r.name;
        const uint8_t thirteen[] = {0xEE, 0xEE, 0xEE, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF,
                                    0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xEE};
        EXPECT_EQ(0, memcmp(area.base, thirteen, sizeof thirteen)) << r.name;
    }
}

TEST(FastMemFill, CountZeroOrNegativeOrNullWritesNothing) {
    AREA area;
    makearea(area, 64, 6);
    std::vector<uint8_t> before(area.base - MARGIN, area.base + 64 + MARGIN);
    for (const FILLCASE& r : FILLS) {
        for (int align = 0; align < 64; align++) {
            uint8_t* d = area.base + align;
            EXPECT_EQ(d, callfill(r, d, 0x12345678u, 0)) << r.name;
            EXPECT_EQ(d, callfill(r, d, 0x12345678u, -1)) << r.name;
            EXPECT_EQ(d, callfill(r, d, 0x12345678u, INT32_MIN)) << r.name;
        }
        EXPECT_EQ(0, memcmp(area.base - MARGIN, before.data(), before.size())) << r.name;
        EXPECT_EQ(nullptr, callfill(r, nullptr, 0x12345678u, 64)) << r.name;
    }
    EXPECT_EQ(nullptr, MEM_fill(nullptr, 0, 64));
}

TEST(FastMemFill, LargeRanges) {
    const int32_t sizes[] = {1 << 20, 16 << 20};
    for (int32_t size : sizes) {
        AREA area;
        makearea(area, size + 64, 7);
        std::vector<uint8_t> expected;
        for (const FILLCASE& r : FILLS) {
            for (int align : {0, 3, 20}) {
                const uint32_t value = 0x44332211u;
                expected.assign(area.base - MARGIN, area.base + area.size + MARGIN);
                uint8_t* d = area.base + align;
                modelfill(expected.data() + MARGIN + align, (uintptr_t)d, size, value, r.headalign);
                EXPECT_EQ(d + size, callfill(r, d, value, size)) << r.name;
                EXPECT_EQ(0, memcmp(area.base - MARGIN, expected.data(), expected.size()))
                    << r.name << " size=" << size << " align=" << align;
                memset(expected.data() + MARGIN + align, 0, size);
                callfill(r, d, 0, size);
                EXPECT_EQ(0, memcmp(area.base - MARGIN, expected.data(), expected.size()))
                    << r.name << " zero fill size=" << size << " align=" << align;
            }
        }
    }
}

TEST(FastMemCopy, EveryRoutineMatchesMemcpy) {
    for (const COPYCASE& r : COPIES)
        sweepcopy(r.name, r.routine, r.usesmmx, SOURCEALIGNS);
}

TEST(FastMemCopy, CountZeroOrNegativeOrNullWritesNothing) {
    AREA area, source;
    makearea(area, 64, 8);
    makearea(source, 64, 9);
    std::vector<uint8_t> before(area.base - MARGIN, area.base + 64 + MARGIN);
    for (const COPYCASE& r : COPIES) {
        for (int align = 0; align < 64; align++) {
            uint8_t* d = area.base + align;
            EXPECT_EQ(d, callcopy(r, d, source.base + 5, 0)) << r.name;
            EXPECT_EQ(d, callcopy(r, d, source.base + 5, -8)) << r.name;
        }
        EXPECT_EQ(nullptr, callcopy(r, nullptr, source.base, 64)) << r.name;
        EXPECT_EQ(area.base, callcopy(r, area.base, nullptr, 64)) << r.name;
        EXPECT_EQ(0, memcmp(area.base - MARGIN, before.data(), before.size())) << r.name;
    }
    EXPECT_EQ(nullptr, MEM_copy(nullptr, source.base, 64));
    EXPECT_EQ(area.base, MEM_copy(area.base, nullptr, 64));
}

TEST(FastMemCopy, LargeRanges) {
    const int32_t sizes[] = {1 << 20, 16 << 20};
    for (int32_t size : sizes) {
        AREA area, source;
        makearea(area, size + 64, 10);
        makearea(source, size + 64, 11);
        std::vector<uint8_t> canary(area.base - MARGIN, area.base + area.size + MARGIN);
        std::vector<uint8_t> expected;
        for (const COPYCASE& r : COPIES) {
            const int pairs[][2] = {{0, 0}, {0, 5}, {3, 0}, {13, 40}, {40, 13}};
            for (const auto& pair : pairs) {
                memcpy(area.base - MARGIN, canary.data(), canary.size());
                expected = canary;
                uint8_t* d = area.base + pair[0];
                const uint8_t* s = source.base + pair[1];
                memcpy(expected.data() + MARGIN + pair[0], s, size);
                EXPECT_EQ(d + size, callcopy(r, d, s, size)) << r.name;
                EXPECT_EQ(0, memcmp(area.base - MARGIN, expected.data(), expected.size()))
                    << r.name << " size=" << size << " dest%64=" << pair[0] << " source%64=" << pair[1];
            }
        }
    }
}

TEST(FastMemCopy, CopyFpuKeepsEveryBitPattern) {
    // Doubles that a floating-point load would change or trap on: signalling
    // and quiet NaNs, denormals, infinities, and the integer extremes.
    const uint64_t patterns[] = {
        0x7FF0000000000001ull, 0x7FF4000000000000ull, 0xFFF0000000000001ull, 0x7FF8000000000000ull,
        0xFFFFFFFFFFFFFFFFull, 0x0000000000000001ull, 0x000FFFFFFFFFFFFFull, 0x800FFFFFFFFFFFFFull,
        0x7FF0000000000000ull, 0xFFF0000000000000ull, 0x8000000000000000ull, 0x7FFFFFFFFFFFFFFFull,
        0x7F800001FF800001ull, 0x0000000100000001ull, 0x8000000000000001ull, 0x0000000000000000ull,
    };
    // Each pattern fills the whole source, so that it passes through the
    // head, the 128-byte and 32-byte blocks, the 8-byte pieces and the tail;
    // the offsets put the words on and off 8-byte boundaries.
    std::vector<uint8_t> source(2048 + 16), dest(2048 + 16);
    for (uint64_t pattern : patterns) {
        for (size_t i = 0; i + 8 <= source.size(); i += 8)
            memcpy(&source[i], &pattern, 8);
        for (int32_t length : {8, 24, 40, 168, 2028}) {
            for (int srcoffset : {0, 4, 8}) {
                for (int destoffset : {0, 8, 12}) {
                    memset(dest.data(), 0xEE, dest.size());
                    MEM_copyfpu(dest.data() + destoffset, source.data() + srcoffset, length);
                    ASSERT_EQ(0, memcmp(dest.data() + destoffset, source.data() + srcoffset, length))
                        << std::hex << pattern << std::dec << " length " << length << " source offset "
                        << srcoffset << " dest offset " << destoffset;
#if TEST_X86
                    ASSERT_EQ(0xFFFF, x87tags()) << "the x87 stack is left as it was found";
#endif
                }
            }
        }
    }
}

#if TEST_X86
TEST(FastMemEntry, MmxStateIsEmptiedByTheEntryPointsOnly) {
    AREA area, source;
    makearea(area, 256, 12);
    makearea(source, 256, 13);
    ASSERT_EQ(0xFFFF, x87tags());

    MEM_fillmmx(area.base, 1, 200);
    const uint16_t afterfill = x87tags();
    emptymmx();
    EXPECT_NE(0xFFFF, afterfill) << "MEM_fillmmx runs MMX code and leaves the state to its caller";
    MEM_copymmx(area.base, source.base, 200);
    const uint16_t aftercopy = x87tags();
    emptymmx();
    EXPECT_NE(0xFFFF, aftercopy) << "MEM_copymmx runs MMX code and leaves the state to its caller";

    const int32_t saved = CPU_mmx;
    CPU_mmx = 1;
    MEM_fill(area.base, 1, 200);
    EXPECT_EQ(0xFFFF, x87tags()) << "MEM_fill empties the MMX state";
    MEM_copy(area.base, source.base, 200);
    EXPECT_EQ(0xFFFF, x87tags()) << "MEM_copy empties the MMX state";
    CPU_mmx = saved;
}
#endif

TEST(FastMemEntry, EveryFlagCombinationGivesTheSameBytes) {
    EXPECT_NE(0, CPU_fpu);
    EXPECT_EQ(0, CPU_mmx);
    EXPECT_EQ(0, CPU_sse);
    EXPECT_EQ(0, CPU_fpucopy);
    const int32_t saved[4] = {CPU_fpu, CPU_mmx, CPU_sse, CPU_fpucopy};
    for (int flags = 0; flags < 16; flags++) {
        CPU_fpu = flags & 1;
        CPU_mmx = (flags & 2) ? 1 : 0;
        CPU_sse = (flags & 4) ? 7 : 0;  // any non-zero value counts as set
        CPU_fpucopy = (flags & 8) ? -1 : 0;
        const std::string name = "flags=" + std::to_string(flags);
        const uintptr_t headalign = CPU_sse ? 32 : 4;
        sweepfill((name + " MEM_fill").c_str(), MEM_fill, false, headalign, 0x44332211u);
        sweepfill((name + " MEM_fill").c_str(), MEM_fill, false, headalign, 0u, true);
        sweepcopy((name + " MEM_copy").c_str(), MEM_copy, false, {0, 7});
#if TEST_X86
        EXPECT_EQ(0xFFFF, x87tags()) << name;
#endif
    }
    CPU_fpu = saved[0];
    CPU_mmx = saved[1];
    CPU_sse = saved[2];
    CPU_fpucopy = saved[3];
}

TEST(FastMemEntry, RangesEndingAtGuardPagesStayInside) {
    // Destination and source end (or start) exactly at a guard page, so a
    // routine that reads or writes one byte too far faults.
    int32_t size = 2 * 4096;
    uint8_t* drun = (uint8_t*)PAGE_alloc(&size);
    int32_t size2 = size;
    uint8_t* srun = (uint8_t*)PAGE_alloc(&size2);
    ASSERT_NE(nullptr, drun);
    ASSERT_NE(nullptr, srun);
    for (int32_t i = 0; i < size2; i++)
        srun[i] = (uint8_t)(i * 7 + 1);
    std::vector<uint8_t> expected(size);
    for (int32_t count = 0; count <= MAXCOUNT; count++) {
        uint8_t* dests[] = {drun + size - count, drun};
        const uint8_t* sources[] = {srun + size2 - count, srun};
        for (uint8_t* d : dests) {
            for (const uint8_t* s : sources) {
                for (const COPYCASE& r : COPIES) {
                    memset(drun, 0, size);
                    memset(expected.data(), 0, size);
                    memcpy(expected.data() + (d - drun), s, count);
                    EXPECT_EQ(d + count, callcopy(r, d, s, count)) << r.name;
                    ASSERT_EQ(0, memcmp(drun, expected.data(), size)) << r.name << " count=" << count;
                }
            }
            for (const FILLCASE& r : FILLS) {
                memset(drun, 0, size);
                memset(expected.data(), 0, size);
                memset(expected.data() + (d - drun), 0x77, count);
                EXPECT_EQ(d + count, callfill(r, d, 0x77777777u, count)) << r.name;
                ASSERT_EQ(0, memcmp(drun, expected.data(), size)) << r.name << " count=" << count;
            }
        }
    }
    PAGE_free(srun);
    PAGE_free(drun);
}

}  // namespace
