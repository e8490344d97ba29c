// The seven fill and copy routines and the entry points against a model; their results and x87/MMX state.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vorl/pagemem.h"

namespace {

typedef void* (*FILLROUTINE)(void*, uint32_t, int32_t);
typedef void* (*COPYROUTINE)(void*, const void*, int32_t);

const std::pair<const char*, FILLROUTINE> FILLS[] = {
    {"fill32", MEM_fill32}, {"fillmmx", MEM_fillmmx}, {"fillsse", MEM_fillsse}};
const std::pair<const char*, COPYROUTINE> COPIES[] = {
    {"copy32", MEM_copy32}, {"copyfpu", MEM_copyfpu}, {"copymmx", MEM_copymmx}, {"copysse", MEM_copysse}};

const int MAXCOUNT = 300;

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define TEST_X86 1
// The MMX routines leave the MMX state for their caller to empty.
void emptymmx() { __asm__ __volatile__("emms"); }

// The x87 tag word (0xFFFF: all empty); fldenv undoes the exception masking of fnstenv.
uint16_t x87tags() {
    uint32_t env[7];
    __asm__ __volatile__("fnstenv %0\n\tfldenv %0" : "+m"(env));
    return (uint16_t)env[2];
}
#else
#define TEST_X86 0
void emptymmx() {}
#endif

template <class ROUTINE, class... ARGS>
void* call(ROUTINE routine, ARGS... args) {
    void* end = routine(args...);
    emptymmx();
    return end;
}

// A fill's pieces: 1 and 2 bytes up to 4-byte alignment, words, then 2 and 1; each starts the little-endian value.
void modelfill(uint8_t* out, uintptr_t address, int32_t n, uint32_t value) {
    auto piece = [&](int32_t size) {
        for (int32_t i = 0; i < size; i++)
            out[i] = (uint8_t)(value >> (8 * i));
        out += size;
        address += size;
        n -= size;
    };
    for (int32_t size : {1, 2})
        if ((address & size) && n >= size)
            piece(size);
    while (n >= 4)
        piece(4);
    for (int32_t size : {2, 1})
        if (n >= size)
            piece(size);
}

// A fill (fill set) or copy at each dest alignment and count -1..MAXCOUNT amid random bytes, against the model.
// The source ends srcalign bytes before a guard page; every other word is a double an x87 load would alter.
void sweep(const std::string& name, FILLROUTINE fill, uint32_t value, COPYROUTINE copy,
           const std::vector<int>& srcaligns) {
    const uint64_t doubles[] = {0x7FF0000000000001ull, 0x7FF4000000000000ull, 0xFFF0000000000001ull,
                                0x7FF8000000000000ull, 0x800FFFFFFFFFFFFFull, 0x7FF0000000000000ull};
    std::vector<uint8_t> canary(64 + 64 + MAXCOUNT + 128), area = canary, expected = canary;
    int32_t runsize = 4096;
    uint8_t* run = (uint8_t*)PAGE_alloc(&runsize);
    std::unique_ptr<void, decltype(&PAGE_free)> release(run, PAGE_free);
    std::mt19937 random(1);
    for (uint8_t& byte : canary)
        byte = (uint8_t)random();
    for (int32_t i = 0; i < runsize; i += 16) {
        memcpy(run + i, &doubles[i / 16 % 6], 8);
        for (int32_t j = 8; j < 16; j++)
            run[i + j] = (uint8_t)random();
    }
    const size_t skip = 64 - (uintptr_t)area.data() % 64;
    for (int srcalign : srcaligns)
        for (int align = 0; align < 64; align++)
            for (int count = -1; count <= MAXCOUNT; count++) {
                const int32_t n = std::max(count, 0);
                area = expected = canary;
                uint8_t* d = area.data() + skip + 64 + align;
                const uint8_t* s = run + runsize - n - srcalign;
                void* end = fill ? call(fill, d, value, count) : call(copy, d, s, count);
                uint8_t* model = expected.data() + (d - area.data());
                fill ? modelfill(model, (uintptr_t)d, n, value) : (void)memcpy(model, s, n);
                if (end != d + n || area != expected)
                    return ADD_FAILURE() << name << " dest%64=" << align << " count=" << count << " source end-"
                                         << srcalign << (end != d + n ? " wrong result" : " wrong bytes");
            }
}

TEST(FastMem, EveryRoutineMatchesItsModel) {
    for (const auto& [name, fill] : FILLS)
        for (uint32_t value : {0u, 0xFFFFFFFFu, 0x44332211u})
            sweep(name, fill, value, nullptr, {0});
    for (const auto& [name, copy] : COPIES)
        sweep(name, nullptr, 0, copy, {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 32, 63});
}

TEST(FastMem, NullAddressesWriteNothing) {
    uint8_t area[64] = {};
    for (const auto& [name, fill] : FILLS)
        EXPECT_EQ(call(fill, nullptr, 1u, 64), nullptr) << name;
    for (const auto& [name, copy] : COPIES)
        EXPECT_EQ(std::pair(call(copy, nullptr, area, 64), call(copy, area, nullptr, 64)),
                  (std::pair<void*, void*>(nullptr, area))) << name;
}

// Whatever routine the flags pick (any non-zero value is set) leaves the same bytes and no MMX state.
TEST(FastMemEntry, EveryFlagCombinationGivesTheSameBytes) {
    EXPECT_EQ((std::vector<int32_t>{CPU_fpu, CPU_mmx, CPU_sse, CPU_fpucopy}), (std::vector<int32_t>{1, 0, 0, 0}));
    uint8_t area[256] = {}, other[256] = {};
#if TEST_X86
    // The MMX routines themselves leave the state to their caller, so the check below can fail.
    MEM_fillmmx(area, 1, 200);
    EXPECT_NE(0xFFFF, x87tags());
    emptymmx();
#endif
    for (int flags = 0; flags < 16; flags++) {
        const std::string name = "flags=" + std::to_string(flags);
        CPU_fpu = flags & 1, CPU_mmx = flags & 2 ? 1 : 0, CPU_sse = flags & 4 ? 7 : 0, CPU_fpucopy = flags & 8 ? -1 : 0;
        MEM_fill(area, 1, 200);
        MEM_copy(area, other, 200);
#if TEST_X86
        EXPECT_EQ(0xFFFF, x87tags()) << name;
        emptymmx();
#endif
        sweep(name + " MEM_fill", MEM_fill, 0x44332211u, nullptr, {0});
        sweep(name + " MEM_copy", nullptr, 0, MEM_copy, {0, 7});
    }
    CPU_fpu = 1;
    CPU_mmx = CPU_sse = CPU_fpucopy = 0;
}

}  // namespace
