// The memory manager's bytes as laid out in memory; every figure must hold on 64-bit and 32-bit builds alike.
#include "memtest.h"

using namespace memtest;

namespace {

const uint32_t OPTIONS = MB_NAMED | MB_GUARD | MB_WHERE;
int32_t size(const uint8_t* header) { return static_cast<int32_t>(u32(header + 4)); }

class MemLayout : public MemHeap {
protected:
    uint32_t to(const void* at) { return linkword(base, at); }
    uint8_t* first = base + 176;
};

TEST_F(MemLayout, HeapClassAreaRecordAndBlocks)
{
    // Low bound block (the record is its 64 data bytes), the free block (contents at a multiple of 64), high bound.
    EXPECT_EQ(text(base, 16), layout("MB", MB_BOUND | OPTIONS, {64, to(first), 0}));
    EXPECT_EQ(text(base + 80, 4) + reinterpret_cast<char*>(base + 96), "BENDRAM LOW");
    EXPECT_EQ(text(first, 24), layout("FB", MB_FREE | OPTIONS, {HEAP - 256, to(top), to(base), to(base + 32), to(base + 32)}));
    EXPECT_EQ(text(top, 16), layout("MB", MB_BOUND | MB_HIGH | OPTIONS, {0, 0, to(first)}));
    EXPECT_EQ(text(top + 16, 4) + reinterpret_cast<char*>(top + 32), "BENDRAM HIGH");
    // Record: name, list head, alignments, top, trailer size, options (64-bit: top is an offset sharing a word).
    EXPECT_EQ(text(base + 16, 4) + text(base + 32, 32),
              std::string("RAM", 4) + layout("SB", 0, {0x7FFFFFFF, 0, 0, to(first), to(first), 8, 64}));
    bool narrow = sizeof(void*) == 4;
    EXPECT_EQ(text(base + 24, 8), narrow ? words({to(base), to(top)}) : words({HEAP - 64u, 16 | OPTIONS << 16}));
    EXPECT_EQ(text(base + 64, narrow ? 8 : 0), narrow ? words({16, OPTIONS}) : "");
    // Contents round up with room for the 16-byte trailer and the label; the header keeps the size as asked.
    uint8_t* previous = base;
    uint8_t* expected = base + 192;
    using Row = std::tuple<const char*, int32_t, int32_t>;  // label, size, contents spanned
    for (auto [label, request, span] :
         std::vector<Row>{{nullptr, 0, 24}, {nullptr, 7, 24}, {nullptr, 8, 24}, {"abc", 8, 32}, {nullptr, 100, 120}}) {
        uint8_t* block = static_cast<uint8_t*>(MEM_alloc(label, request, MB_RAM));
        ASSERT_EQ(block, expected);
        uint32_t flags = MB_GUARD | MB_WHERE | (label ? MB_NAMED : 0);
        EXPECT_EQ(text(header(block), 16), layout("MB", flags, {uint32_t(request), to(block + span), to(previous)}));
        previous = header(block);
        expected = block + span + 16;
    }
    EXPECT_EQ(text(header(expected), 16), layout("FB", MB_FREE, {uint32_t(top - expected), to(top), to(previous)}));
    // Without MB_CLEARSPARE the trailer's spare word keeps what the memory held.
    memset(expected + 8, 0xEE, 56);  // past the free block's two links
    ASSERT_EQ(MEM_alloc(nullptr, 13, MB_RAM), expected);
    EXPECT_EQ(u32(expected + 13 + 12), 0xEEEEEEEEu);
}

// Free blocks of 200, 1000, 1000 and 504 bytes between fences, freed in an order that inserts at both ends and between.
TEST_F(MemLayout, SearchesSplitsAndMerges)
{
    std::vector<uint8_t*> freed, fences;
    for (int32_t request : {184, 984, 984, 488}) {
        freed.push_back(header(MEM_alloc(nullptr, request, MB_RAM)));
        fences.push_back(header(MEM_alloc(nullptr, 8, MB_RAM)));
    }
    ASSERT_NE(MEM_alloc(nullptr, MEM_largestfree() - 16, MB_RAM), nullptr);
    for (int i : {2, 0, 3, 1})
        ASSERT_EQ(MEM_free(freed[i] + 16), 1);
    ASSERT_EQ(MEMCLASS_check(MB_RAM), 1);  // the list in address order, linked both ways
    // First fit from either end, or the largest (first among equals); a high block is carved from the top.
    const Results sizes{200, 1000, 1000, 504};
    using Row = std::tuple<uint32_t, int32_t, int, int32_t>;  // type, size, block chosen, offset in it
    for (auto [type, request, chosen, offset] :
         std::vector<Row>{{MB_RAM, 100, 0, 0}, {MB_RAM | MB_HIGH, 100, 3, 384}, {MB_RAM | MB_LARGEST, 100, 1, 0},
                          {MB_LARGEST | MB_HIGH, 100, 2, 880}, {MB_GLOBAL | MB_LARGEST | MB_FREE | MB_BOUND, 10, 1, 0}}) {
        uint8_t* block = header(MEM_alloc(nullptr, request, type));
        ASSERT_EQ(block, freed[chosen] + offset) << type;
        // The caller's type cannot set the list bits.
        EXPECT_EQ(text(block, 8), layout("MB", MB_GUARD | MB_WHERE | (type & ~(MB_FREE | MB_BOUND)), {uint32_t(request)}));
        uint8_t* upper = link(base, freed[chosen], NEXT);
        uint8_t* rest = offset ? freed[chosen] : upper;
        EXPECT_EQ(std::make_tuple(link(base, upper, NEXT), link(base, upper, PREVIOUS),
                                  link(base, fences[chosen], PREVIOUS), text(rest, 2), size(rest)),
                  std::make_tuple(fences[chosen], freed[chosen], upper, "FB", (offset ? upper : fences[chosen]) - rest - 16));
        // Released, it merges with the rest again: the upper header is gone (all of it when merged into the block below).
        ASSERT_EQ(MEM_free(block + 16), 1);
        EXPECT_EQ(std::make_tuple(size(freed[chosen]), text(upper, offset ? 16 : 2)),
                  std::make_tuple(sizes[chosen], std::string(offset ? 16 : 2, '\0')));
    }
    ScopedAlertRecorder alerts;  // too big for every free block; a class that does not exist
    EXPECT_EQ((std::vector<void*>{MEM_alloc("big", 1001, MB_RAM), MEM_alloc("x", 8, 12)}), std::vector<void*>(2, nullptr));
    ASSERT_EQ(alerts.messages(), (Texts{"MEM_alloc - OUT OF MEMORY\nrequested 'big': 1001\navailable: 1000. type 0000\n",
                                        "MEM_alloc - OUT OF MEMORY\nrequested 'x': 8\navailable: 0. type 000c\n"}));
    // Each fits exactly and is taken whole, emptying the list; a block between two free ones merges with both.
    for (int32_t whole : sizes)
        ASSERT_NE(MEM_alloc(nullptr, whole - 16, MB_RAM), nullptr);
    EXPECT_EQ(heapstate(), std::make_tuple(0, 0, 1));
    for (uint8_t* block : {freed[0], freed[1], fences[0]})
        ASSERT_EQ(MEM_free(block + 16), 1);
    EXPECT_EQ(std::make_tuple(size(freed[0]), link(base, freed[0], NEXT), link(base, fences[1], PREVIOUS), MEM_totalfree()),
              std::make_tuple(int32_t(fences[1] - freed[0] - 16), fences[1], freed[0], int32_t(fences[1] - freed[0] - 16)));
}

// Other settings over an unaligned base: first = ((B + F + T + 127) & ~(F - 1)) - 16, top = B + S - T - 48.
TEST(MemLayoutClass, FormulaForAnyBaseAndSettingsAndDestroy)
{
    Area area(1 << 16);
    ASSERT_NE(MEM_initadr(area.bytes, 4096), 0);  // the heap, for MEM_heapbase
    uint8_t* base = area.bytes + 4096 + 5;
    uintptr_t b = reinterpret_cast<uintptr_t>(base);
    uint8_t* first = reinterpret_cast<uint8_t*>(((b + 256 + 24 + 127) & ~static_cast<uintptr_t>(255)) - 16);
    uint8_t* top = base + 20000 - 24 - 48;
    int32_t result = MEMCLASS_create(5, "odd", base, 20000, 16, 256, 24, 1, 1, 1, 0, nullptr);
    ASSERT_EQ(result, top - first - 16);
    EXPECT_EQ(std::make_tuple(link(base, base, NEXT), text(first, 2)), std::make_tuple(first, "FB"));
    EXPECT_EQ(text(top, 16), layout("MB", MB_BOUND | MB_HIGH | OPTIONS | 5u, {0, 0, linkword(base, first)}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(top + 16 + 24)) + reinterpret_cast<char*>(base + 16 + 64 + 24),
              "odd HIGHodd LOW");
    void* block = MEM_alloc("x", 1, 5);  // 8 + 16 + 24 + 2 = 50, rounded to 64, less the header
    EXPECT_EQ((std::tuple{header(block), link(base, first, NEXT), MEMCLASS_check(5), MEM_free(block)}),
              std::make_tuple(first, first + 64, 1, 1));
    EXPECT_EQ((Results{MEMCLASS_destroy(5), MEMCLASS_destroy(5)}), (Results{1, 0}));
    EXPECT_EQ(std::make_tuple(MEMCLASS_table[5], text(base, 2), text(base + 16, 64)),
              std::make_tuple(nullptr, "MB", std::string(64, '\0')));
}

}  // namespace
