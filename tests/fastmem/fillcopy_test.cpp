// The seven fill and copy routines and the MEM_fill/MEM_copy entry points:
// the bytes they leave (against memcpy and against the piece rules of the
// fills), the bytes they must leave alone, their results, and the x87/MMX state.
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

// A fill routine and the alignment its head stops at.
const struct FILLCASE {
    const char* name;
    FILLROUTINE routine;
    uintptr_t headalign;
} FILLS[] = {{"MEM_fill32", MEM_fill32, 4}, {"MEM_fillmmx", MEM_fillmmx, 4}, {"MEM_fillsse", MEM_fillsse, 32}};

const struct COPYCASE {
    const char* name;
    COPYROUTINE routine;
} COPIES[] = {{"MEM_copy32", MEM_copy32}, {"MEM_copyfpu", MEM_copyfpu}, {"MEM_copymmx", MEM_copymmx},
              {"MEM_copysse", MEM_copysse}};

const int MAXCOUNT = 300;

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define TEST_X86 1
// The MMX routines leave the MMX state for their caller to empty.
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

// Each call is followed by emms, so that no MMX state reaches the test's own code.
void* callfill(FILLROUTINE routine, void* d, uint32_t v, int32_t n) {
    void* end = routine(d, v, n);
    emptymmx();
    return end;
}
void* callcopy(COPYROUTINE routine, void* d, const void* s, int32_t n) {
    void* end = routine(d, s, n);
    emptymmx();
    return end;
}

// Writes what a fill routine with this head alignment leaves, piece by
// piece: the head's 1-, 2-, 4-, 8- and 16-byte pieces below the head
// alignment, 32-byte blocks, 8-byte pieces, then one 4-, 2- and 1-byte piece.
// Byte i of a piece is byte i mod 4 of the little-endian value.
void modelfill(uint8_t* out, uintptr_t address, int32_t n, uint32_t value, uintptr_t headalign) {
    auto piece = [&](int32_t size) {
        for (int32_t i = 0; i < size; i++)
            out[i] = (uint8_t)(value >> (8 * (i % 4)));
        out += size;
        address += size;
        n -= size;
    };
    for (uintptr_t size = 1; size < headalign && address % headalign; size <<= 1)
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

// Runs a fill (fill set) or a copy at every destination alignment 0..63, each
// source alignment and count 0..MAXCOUNT, amid random bytes; all of them must
// equal the model's (the piece rules, or memcpy) and the result must be
// dest + count. Stops at the first mismatch: one fault, one report.
void sweep(const std::string& name, FILLROUTINE fill, uint32_t value, uintptr_t headalign, COPYROUTINE copy,
           const std::vector<int>& srcaligns) {
    const size_t span = 64 + MAXCOUNT + 128;
    std::vector<uint8_t> canary(span + 64), area(span + 64), expected(span + 64), source(span + 64);
    std::mt19937 random(1);
    for (size_t i = 0; i < canary.size(); i++) {
        canary[i] = (uint8_t)random();
        source[i] = (uint8_t)random();
    }
    const size_t skip = 64 - (uintptr_t)area.data() % 64, sourceskip = 64 - (uintptr_t)source.data() % 64;
    for (int srcalign : srcaligns)
        for (int align = 0; align < 64; align++)
            for (int count = 0; count <= MAXCOUNT; count++) {
                area = expected = canary;
                uint8_t* d = area.data() + skip + 64 + align;
                const uint8_t* s = source.data() + sourceskip + srcalign;
                void* end = fill ? callfill(fill, d, value, count) : callcopy(copy, d, s, count);
                if (fill)
                    modelfill(expected.data() + (d - area.data()), (uintptr_t)d, count, value, headalign);
                else
                    memcpy(expected.data() + (d - area.data()), s, count);
                if (end != d + count || area != expected) {
                    ADD_FAILURE() << name << " dest%64=" << align << " count=" << count << " source%64=" << srcalign
                                  << (end != d + count ? " wrong result" : " wrong bytes");
                    return;
                }
            }
}

TEST(FastMemFill, EveryRoutineMatchesThePieceStructure) {
    // 0x44332211 shows every piece's start and the little-endian order.
    for (const FILLCASE& r : FILLS)
        for (uint32_t value : {0u, 0xFFFFFFFFu, 0x44332211u})
            sweep(r.name, r.routine, value, r.headalign, nullptr, {0});
}

TEST(FastMemCopy, EveryRoutineMatchesMemcpy) {
    for (const COPYCASE& r : COPIES)
        sweep(r.name, nullptr, 0, 0, r.routine, {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 32, 63});
}

TEST(FastMem, CountZeroOrNegativeOrNullWritesNothing) {
    std::vector<uint8_t> area(128, 0xEE);
    const std::vector<uint8_t> before = area;
    for (uint8_t* d : {&area[0], &area[1], &area[3], &area[32]})
        for (int32_t count : {0, -1, -8, INT32_MIN}) {
            for (const FILLCASE& r : FILLS)
                EXPECT_EQ(d, callfill(r.routine, d, 0x12345678u, count)) << r.name << count;
            for (const COPYCASE& r : COPIES)
                EXPECT_EQ(d, callcopy(r.routine, d, &area[64], count)) << r.name << count;
        }
    // A null destination gives null, a null source the destination.
    for (const FILLCASE& r : FILLS)
        EXPECT_EQ(nullptr, callfill(r.routine, nullptr, 0x12345678u, 64)) << r.name;
    for (const COPYCASE& r : COPIES) {
        EXPECT_EQ(nullptr, callcopy(r.routine, nullptr, &area[64], 64)) << r.name;
        EXPECT_EQ(&area[0], callcopy(r.routine, &area[0], nullptr, 64)) << r.name;
    }
    EXPECT_EQ(before, area);
}

TEST(FastMemCopy, CopyFpuKeepsEveryBitPattern) {
    // Doubles that a floating-point load would change or trap on: signalling
    // and quiet NaNs, denormals, infinities, and the integer extremes.
    const uint64_t patterns[] = {0x7FF0000000000001ull, 0x7FF4000000000000ull, 0xFFF0000000000001ull,
                                 0x7FF8000000000000ull, 0xFFFFFFFFFFFFFFFFull, 0x0000000000000001ull,
                                 0x800FFFFFFFFFFFFFull, 0x7FF0000000000000ull, 0x8000000000000000ull,
                                 0x7FFFFFFFFFFFFFFFull, 0x7F800001FF800001ull, 0x8000000000000001ull};
    // Each pattern fills the source, so that it passes through every stage;
    // the offsets put the words on and off 8-byte boundaries.
    std::vector<uint8_t> source(2048 + 16), dest(2048 + 16);
    for (uint64_t pattern : patterns) {
        for (size_t i = 0; i + 8 <= source.size(); i += 8)
            memcpy(&source[i], &pattern, 8);
        for (int32_t length : {24, 168, 2028})
            for (auto [srcoffset, destoffset] : {std::pair{0, 0}, {4, 8}, {8, 12}, {0, 12}}) {
                MEM_copyfpu(dest.data() + destoffset, source.data() + srcoffset, length);
                ASSERT_EQ(0, memcmp(dest.data() + destoffset, source.data() + srcoffset, length))
                    << std::hex << pattern << std::dec << " length " << length << " at " << srcoffset << ", "
                    << destoffset;
#if TEST_X86
                ASSERT_EQ(0xFFFF, x87tags()) << "the x87 stack is left as it was found";
#endif
            }
    }
}

// The entry points pick a routine by the flags (any non-zero value counts as
// set); whatever they pick leaves the same bytes and no MMX state behind.
TEST(FastMemEntry, EveryFlagCombinationGivesTheSameBytes) {
    EXPECT_EQ((std::vector<int32_t>{CPU_fpu, CPU_mmx, CPU_sse, CPU_fpucopy}), (std::vector<int32_t>{1, 0, 0, 0}));
    uint8_t area[256] = {}, other[256] = {};
    // The entry points without the emms that follows every other call.
    auto leaves = [&](int flags, bool fill) {
        CPU_fpu = flags & 1;
        CPU_mmx = (flags & 2) ? 1 : 0;
        CPU_sse = (flags & 4) ? 7 : 0;
        CPU_fpucopy = (flags & 8) ? -1 : 0;
        fill ? MEM_fill(area, 1, 200) : MEM_copy(area, other, 200);
#if TEST_X86
        EXPECT_EQ(0xFFFF, x87tags()) << "flags=" << flags << (fill ? " MEM_fill" : " MEM_copy");
        emptymmx();
#endif
    };
#if TEST_X86
    // The MMX routines themselves leave the state to their caller, so that check can fail.
    MEM_fillmmx(area, 1, 200);
    EXPECT_NE(0xFFFF, x87tags());
    emptymmx();
#endif
    for (int flags = 0; flags < 16; flags++) {
        const std::string name = "flags=" + std::to_string(flags);
        leaves(flags, true);
        sweep(name + " MEM_fill", MEM_fill, 0x44332211u, CPU_sse ? 32 : 4, nullptr, {0});
        leaves(flags, false);
        sweep(name + " MEM_copy", nullptr, 0, 0, MEM_copy, {0, 7});
    }
    CPU_fpu = 1;
    CPU_mmx = CPU_sse = CPU_fpucopy = 0;
}

TEST(FastMemEntry, RangesEndingAtGuardPagesStayInside) {
    // Destination and source end (or start) exactly at a guard page, so a
    // routine that reads or writes one byte too far faults.
    int32_t size = 4096, size2 = size;
    uint8_t* drun = (uint8_t*)PAGE_alloc(&size);
    uint8_t* srun = (uint8_t*)PAGE_alloc(&size2);
    ASSERT_TRUE(drun && srun);
    for (int32_t count = 0; count <= MAXCOUNT; count++)
        for (uint8_t* d : {drun + size - count, drun}) {
            for (const uint8_t* s : {srun + size2 - count, srun})
                for (const COPYCASE& r : COPIES)
                    EXPECT_EQ(d + count, callcopy(r.routine, d, s, count)) << r.name;
            for (const FILLCASE& r : FILLS)
                EXPECT_EQ(d + count, callfill(r.routine, d, 0x77777777u, count)) << r.name;
        }
    PAGE_free(srun);
    PAGE_free(drun);
}

}  // namespace
