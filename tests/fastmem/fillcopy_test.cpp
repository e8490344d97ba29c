// The seven fill and copy routines and the MEM_fill/MEM_copy entry points:
// the bytes they leave (against memset/memcpy and against the piece rules),
// the bytes they must leave alone, their results, and the x87/MMX state.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "vorl/pagemem.h"

namespace {

typedef void* (*FILLROUTINE)(void*, uint32_t, int32_t);
typedef void* (*COPYROUTINE)(void*, const void*, int32_t);

const struct FILLCASE {
    const char* name;
    FILLROUTINE routine;
    uintptr_t headalign;
    bool usesmmx;
} FILLS[] = {{"MEM_fill32", MEM_fill32, 4, false}, {"MEM_fillmmx", MEM_fillmmx, 4, true},
             {"MEM_fillsse", MEM_fillsse, 32, false}};

const struct COPYCASE {
    const char* name;
    COPYROUTINE routine;
    bool usesmmx;
} COPIES[] = {{"MEM_copy32", MEM_copy32, false}, {"MEM_copyfpu", MEM_copyfpu, false},
              {"MEM_copymmx", MEM_copymmx, true}, {"MEM_copysse", MEM_copysse, false}};

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

// A 64-aligned work area of size bytes with MARGIN bytes before and after
// it, all random.
struct AREA {
    std::vector<uint8_t> storage;
    uint8_t* base;
    size_t size;
    AREA(size_t size, uint32_t seed) : storage(size + 3 * MARGIN), size(size) {
        base = (uint8_t*)(((uintptr_t)storage.data() + MARGIN + 63) & ~(uintptr_t)63);
        std::mt19937 random(seed);
        for (auto& b : storage)
            b = (uint8_t)random();
    }
    // The area with its margins.
    uint8_t* begin() { return base - MARGIN; }
    size_t span() const { return size + 2 * MARGIN; }
};

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
    for (int32_t size : {4, 2, 1})
        if (n >= size)
            piece(size);
}

// What a routine does at dest from source, and what it must leave at out
// (a copy of the area at the same offset) for the same call.
typedef std::function<void*(uint8_t* dest, const uint8_t* source, int32_t count)> OPERATION;
typedef std::function<void(uint8_t* out, uint8_t* dest, const uint8_t* source, int32_t count)> MODEL;

// Runs the operation at every destination alignment 0..63, each source
// alignment and count 0..MAXCOUNT; the whole area, margins included, must
// equal the model's and the result must be dest + count. Stops at the first
// mismatch so that one fault gives one report.
void sweep(const std::string& name, const std::vector<int>& srcaligns, const OPERATION& operation,
           const MODEL& model) {
    AREA area(64 + MAXCOUNT + MARGIN, 1), expected(64 + MAXCOUNT + MARGIN, 1), source(64 + MAXCOUNT + MARGIN, 3);
    std::vector<uint8_t> canary(area.begin(), area.begin() + area.span());
    for (int srcalign : srcaligns)
        for (int align = 0; align < 64; align++)
            for (int count = 0; count <= MAXCOUNT; count++) {
                memcpy(area.begin(), canary.data(), canary.size());
                memcpy(expected.begin(), canary.data(), canary.size());
                uint8_t* d = area.base + align;
                const uint8_t* s = source.base + srcalign;
                void* end = operation(d, s, count);
                model(expected.base + align, d, s, count);
                if (end != d + count || memcmp(area.begin(), expected.begin(), canary.size()) != 0) {
                    ADD_FAILURE() << name << " dest%64=" << align << " count=" << count << " source%64=" << srcalign
                                  << (end != d + count ? " wrong result" : " wrong bytes");
                    return;
                }
            }
}

OPERATION filling(const FILLCASE& r, uint32_t value) {
    return [&r, value](uint8_t* d, const uint8_t*, int32_t n) { return callfill(r, d, value, n); };
}
// Zero is every piece's byte: memset is the faster model for it.
MODEL piecemodel(uintptr_t headalign, uint32_t value) {
    return [=](uint8_t* out, uint8_t* d, const uint8_t*, int32_t n) {
        value ? modelfill(out, (uintptr_t)d, n, value, headalign) : (void)memset(out, 0, n);
    };
}
MODEL memsetmodel(uint32_t value) {
    return [=](uint8_t* out, uint8_t*, const uint8_t*, int32_t n) { memset(out, (int)(value & 0xFF), n); };
}
OPERATION copying(const COPYCASE& r) {
    return [&r](uint8_t* d, const uint8_t* s, int32_t n) { return callcopy(r, d, s, n); };
}
const MODEL MEMCPY = [](uint8_t* out, uint8_t*, const uint8_t* s, int32_t n) { memcpy(out, s, n); };

TEST(FastMemFill, EveryRoutineMatchesMemsetAndThePieceStructure) {
    for (const FILLCASE& r : FILLS) {
        // With four equal bytes in the value every piece is that byte.
        for (uint32_t value : {0x00000000u, 0xFFFFFFFFu, 0x5A5A5A5Au})
            sweep(r.name, {0}, filling(r, value), memsetmodel(value));
        // 255 marks the first byte of every 4-byte store, every 2-byte piece
        // and every single byte; 0x44332211 also shows the little-endian order.
        for (uint32_t value : {255u, 0x44332211u})
            sweep(r.name, {0}, filling(r, value), piecemodel(r.headalign, value));

        // Two small cases written out: 3 bytes at 1 more than a multiple of 4
        // (a byte, then a 2-byte piece), and 13 bytes at 3 more than a
        // multiple of 8 (a byte, a 4-byte piece, then the value twice).
        AREA area(64, 5);
        memset(area.base, 0xEE, 32);
        EXPECT_EQ(area.base + 4, callfill(r, area.base + 1, 255u, 3)) << r.name;
        EXPECT_EQ(std::vector<uint8_t>(area.base, area.base + 5), (std::vector<uint8_t>{0xEE, 0xFF, 0xFF, 0x00, 0xEE}));
        memset(area.base, 0xEE, 32);
        EXPECT_EQ(area.base + 16, callfill(r, area.base + 3, 255u, 13)) << r.name;
        EXPECT_EQ(std::vector<uint8_t>(area.base, area.base + 17),
                  (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF,
                                        0x00, 0x00, 0x00, 0xEE}));
    }
}

TEST(FastMemCopy, EveryRoutineMatchesMemcpy) {
    for (const COPYCASE& r : COPIES)
        sweep(r.name, {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 32, 63}, copying(r), MEMCPY);
}

TEST(FastMem, CountZeroOrNegativeOrNullWritesNothing) {
    AREA area(64, 6), source(64, 9);
    std::vector<uint8_t> before(area.begin(), area.begin() + area.span());
    for (int align = 0; align < 64; align++) {
        uint8_t* d = area.base + align;
        for (int32_t count : {0, -1, -8, INT32_MIN}) {
            for (const FILLCASE& r : FILLS)
                EXPECT_EQ(d, callfill(r, d, 0x12345678u, count)) << r.name << count;
            for (const COPYCASE& r : COPIES)
                EXPECT_EQ(d, callcopy(r, d, source.base + 5, count)) << r.name << count;
        }
    }
    for (const FILLCASE& r : FILLS)
        EXPECT_EQ(nullptr, callfill(r, nullptr, 0x12345678u, 64)) << r.name;
    for (const COPYCASE& r : COPIES) {
        EXPECT_EQ(nullptr, callcopy(r, nullptr, source.base, 64)) << r.name;
        EXPECT_EQ(area.base, callcopy(r, area.base, nullptr, 64)) << r.name;
    }
    EXPECT_EQ(nullptr, MEM_fill(nullptr, 0, 64));
    EXPECT_EQ(nullptr, MEM_copy(nullptr, source.base, 64));
    EXPECT_EQ(area.base, MEM_copy(area.base, nullptr, 64));
    EXPECT_EQ(before, std::vector<uint8_t>(area.begin(), area.begin() + area.span()));
}

TEST(FastMem, LargeRanges) {
    for (int32_t size : {1 << 20, 16 << 20}) {
        AREA area(size + 64, 10), source(size + 64, 11);
        const std::vector<uint8_t> canary(area.begin(), area.begin() + area.span());
        std::vector<uint8_t> expected(canary.size());
        // One call, with the whole area compared with the canary as the model changes it.
        auto check = [&](const std::string& name, int align, int srcalign, const OPERATION& operation,
                         const MODEL& model) {
            memcpy(expected.data(), canary.data(), canary.size());
            uint8_t* d = area.base + align;
            model(expected.data() + MARGIN + align, d, source.base + srcalign, size);
            const std::string where = name + " size=" + std::to_string(size) + " dest%64=" + std::to_string(align);
            EXPECT_EQ(d + size, operation(d, source.base + srcalign, size)) << where << " source%64=" << srcalign;
            EXPECT_EQ(0, memcmp(area.begin(), expected.data(), expected.size())) << where << " source%64=" << srcalign;
            memcpy(area.begin(), canary.data(), canary.size());
        };
        for (const FILLCASE& r : FILLS)
            for (int align : {0, 3, 20})
                for (uint32_t value : {0x44332211u, 0u})
                    check(r.name + (" value=" + std::to_string(value)), align, 0, filling(r, value),
                          piecemodel(r.headalign, value));
        for (const COPYCASE& r : COPIES)
            for (auto [align, srcalign] : {std::pair{0, 0}, {0, 5}, {3, 0}, {13, 40}, {40, 13}})
                check(r.name, align, srcalign, copying(r), MEMCPY);
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
        for (int32_t length : {8, 24, 40, 168, 2028})
            for (int srcoffset : {0, 4, 8})
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

#if TEST_X86
TEST(FastMemEntry, MmxStateIsEmptiedByTheEntryPointsOnly) {
    AREA area(256, 12), source(256, 13);
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
    const FILLCASE entryfill = {"MEM_fill", MEM_fill, 0, false};
    const COPYCASE entrycopy = {"MEM_copy", MEM_copy, false};
    for (int flags = 0; flags < 16; flags++) {
        CPU_fpu = flags & 1;
        CPU_mmx = (flags & 2) ? 1 : 0;
        CPU_sse = (flags & 4) ? 7 : 0;  // any non-zero value counts as set
        CPU_fpucopy = (flags & 8) ? -1 : 0;
        const std::string name = "flags=" + std::to_string(flags);
        sweep(name + " MEM_fill", {0}, filling(entryfill, 0x44332211u), piecemodel(CPU_sse ? 32 : 4, 0x44332211u));
        sweep(name + " MEM_fill", {0}, filling(entryfill, 0u), memsetmodel(0u));
        sweep(name + " MEM_copy", {0, 7}, copying(entrycopy), MEMCPY);
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
    int32_t size = 2 * 4096, size2 = size;
    uint8_t* drun = (uint8_t*)PAGE_alloc(&size);
    uint8_t* srun = (uint8_t*)PAGE_alloc(&size2);
    ASSERT_NE(nullptr, drun);
    ASSERT_NE(nullptr, srun);
    for (int32_t i = 0; i < size2; i++)
        srun[i] = (uint8_t)(i * 7 + 1);
    std::vector<uint8_t> expected(size);
    const std::vector<uint8_t> sevens(MAXCOUNT, 0x77);
    // Expects a call's result to be d + count, and want's bytes at d with zeros elsewhere.
    auto check = [&](const char* name, uint8_t* d, int32_t count, void* end, const uint8_t* want) {
        std::fill(expected.begin(), expected.end(), 0);
        memcpy(expected.data() + (d - drun), want, count);
        EXPECT_EQ(d + count, end) << name;
        ASSERT_EQ(0, memcmp(drun, expected.data(), size)) << name << " count=" << count;
        memset(drun, 0, size);
    };
    memset(drun, 0, size);
    for (int32_t count = 0; count <= MAXCOUNT; count++)
        for (uint8_t* d : {drun + size - count, drun}) {
            for (const uint8_t* s : {srun + size2 - count, srun})
                for (const COPYCASE& r : COPIES)
                    check(r.name, d, count, callcopy(r, d, s, count), s);
            for (const FILLCASE& r : FILLS)
                check(r.name, d, count, callfill(r, d, 0x77777777u, count), sevens.data());
        }
    PAGE_free(srun);
    PAGE_free(drun);
}

}  // namespace
