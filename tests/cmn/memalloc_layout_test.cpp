// The memory manager's byte layout, read back from memory: class area,
// class record, block headers, free-list links and trailers. Every figure
// here must hold on 64-bit and on 32-bit builds alike.
#include "memtest.h"

using namespace memtest;

namespace {

const uint32_t OPTIONS = MB_NAMED | MB_GUARD | MB_WHERE;

class MemLayout : public ::testing::Test {
protected:
    void SetUp() override
    {
        ALERTfile = nullptr;
        created = MEM_initadr(area.bytes, MEM_HEAPSIZE);
    }
    uint32_t link(const void* to) { return linkword(base, to); }
    Area area{MEM_HEAPSIZE};
    int32_t created = 0;
    uint8_t* base = area.bytes;
    uint8_t* first = base + 176;
    uint8_t* top = base + MEM_HEAPSIZE - 64;
};

TEST_F(MemLayout, HeapClassAreaRecordAndFreeListHead)
{
    ASSERT_EQ(created, 33554176);
    EXPECT_EQ(heapstate(), std::make_tuple(created, created, 1));
    void* record = base + 16;
    EXPECT_EQ(std::make_tuple(MEM_heapbase, static_cast<void*>(MEMCLASS_table[MB_RAM]), MEMCLASS_table[MB_GLOBAL]),
              std::make_tuple(static_cast<void*>(base), record, MEMCLASS_table[MB_RAM]));
    // Low bound block (the class record is its 64 data bytes), the one free
    // block with contents at a multiple of 64, and the high bound block.
    EXPECT_EQ(text(base, 16), layout("MB", MB_BOUND | OPTIONS, {64, link(first), 0}));
    EXPECT_EQ(text(base + 80, 4) + reinterpret_cast<char*>(base + 96), "BENDRAM LOW");
    EXPECT_EQ(text(first, 24),
              layout("FB", MB_FREE | OPTIONS, {33554176, link(top), link(base), link(base + 32), link(base + 32)}));
    EXPECT_EQ(text(top, 16), layout("MB", MB_BOUND | MB_HIGH | OPTIONS, {0, 0, link(first)}));
    EXPECT_EQ(text(top + 16, 4) + reinterpret_cast<char*>(top + 32), "BENDRAM HIGH");
    // The record: name, the free-list head, alignments, top, trailer size,
    // options, and the mutex.
    EXPECT_STREQ(static_cast<char*>(record), "RAM");
    EXPECT_EQ(text(base + 32, 24), layout("SB", 0, {0x7FFFFFFF, 0, 0, link(first), link(first)}));
    EXPECT_EQ(text(base + 56, 8), words({8, 64}));
    // On 32-bit builds top is an address, and trailer size and options take
    // a word each; on 64-bit builds top is an offset and the two share one.
    bool narrow = sizeof(void*) == 4;
    EXPECT_EQ(text(base + 24, 8), narrow ? words({link(base), link(top)}) : words({33554368u, 16 | OPTIONS << 16}));
    EXPECT_EQ(text(base + 64, narrow ? 8 : 0), narrow ? words({16, OPTIONS}) : "");
    void* mutex = nullptr;
    memcpy(&mutex, base + (narrow ? 72 : 64), sizeof mutex);
    EXPECT_NE(mutex, nullptr);
}

TEST_F(MemLayout, BlocksTakeRoundedContentsAndATrailer)
{
    // Contents round up with room for the 16-byte trailer and the label;
    // the header keeps the size as asked, and the guard follows it.
    uint8_t* previous = base;
    uint8_t* expected = base + 192;
    using Row = std::tuple<const char*, int32_t, int32_t>;  // label, size, contents spanned
    for (auto [label, size, span] :
         std::vector<Row>{{nullptr, 0, 24}, {nullptr, 7, 24}, {nullptr, 8, 24}, {"abc", 8, 32}, {nullptr, 100, 120}}) {
        SCOPED_TRACE(size);
        uint8_t* block = static_cast<uint8_t*>(MEM_alloc(label, size, MB_RAM));
        ASSERT_EQ(block, expected);
        uint32_t flags = MB_GUARD | MB_WHERE | (label ? MB_NAMED : 0);
        EXPECT_EQ(text(header(block), 16), layout("MB", flags, {uint32_t(size), link(block + span), link(previous)}));
        EXPECT_EQ(text(block + size, 4), "BEND");
        EXPECT_STREQ(label ? reinterpret_cast<char*>(block + size + 16) : nullptr, label);
        previous = header(block);
        expected = block + span + 16;
    }
    // The rest of the heap follows as one free block.
    uint8_t* rest = header(expected);
    EXPECT_EQ(unflagged(rest, 16), "FB" + words({uint32_t(top - rest - 16), link(top), link(previous)}));
    EXPECT_EQ(MEM_totalfree(), top - rest - 16);

    // Trailer: guard, owner file (an address: kept only where it fits),
    // line, spare word, label.
    static const char file[] = "tests/memlayout";
    ALERTfile = file;
    ALERTline = 574;
    uint8_t* block = static_cast<uint8_t*>(MEM_alloc("label", 13, MB_RAM | MB_CLEARSPARE));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(text(block + 13, 4) + text(block + 13 + 8, 14), "BEND" + words({574, 0}) + std::string("label", 6));
    if (sizeof(void*) == 4) {
        EXPECT_EQ(u32(block + 13 + 4), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(file)));
    }
    EXPECT_EQ(owner(block), "tests/memlayout(574)");
    // Without MB_CLEARSPARE the spare word keeps what the memory held.
    ASSERT_EQ(MEM_free(block), 1);
    memset(block + 8, 0xEE, 56);  // past the free block's two links
    ALERTfile = nullptr;
    ASSERT_EQ(MEM_alloc(nullptr, 13, MB_RAM), block);
    EXPECT_EQ(u32(block + 13 + 12), 0xEEEEEEEEu);
    EXPECT_EQ(owner(block), "(null)(574)");
}

// Splitting leaves the rest of a free block above the new block, unless no
// more than 64 bytes would be left; merged headers are cleared.
TEST_F(MemLayout, SplitsAndMerges)
{
    std::vector<uint8_t*> blocks;  // 200 and 184 bytes, each followed by a fence
    for (int32_t size : {184, 8, 168, 8})
        blocks.push_back(header(MEM_alloc(nullptr, size, MB_RAM)));
    ASSERT_EQ(blocks[1] - blocks[0], 216);
    ASSERT_EQ(blocks[3] - blocks[2], 200);
    ASSERT_EQ(MEM_free(blocks[0] + 16), 1);
    ASSERT_EQ(MEM_free(blocks[2] + 16), 1);
    ASSERT_EQ(header(MEM_alloc(nullptr, 100, MB_RAM)), blocks[0]);
    uint8_t* left = blocks[0] + 136;
    EXPECT_EQ(u32(blocks[0] + 8), link(left));
    EXPECT_EQ(text(left, 16), layout("FB", MB_FREE, {64, link(blocks[1]), link(blocks[0])}));
    EXPECT_EQ(u32(blocks[1] + 12), link(left));
    EXPECT_EQ(nextfree(base, base + 32), left);  // lowest on the list
    // 184 - 120 is not more than 64: the whole block is handed out.
    ASSERT_EQ(header(MEM_alloc(nullptr, 100, MB_RAM)), blocks[2]);
    EXPECT_EQ(text(blocks[2], 12), layout("MB", MB_GUARD | MB_WHERE, {100, link(blocks[3])}));
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);

    // Releasing a, c, then b: one free block from a's header to d's.
    uint8_t* a = header(MEM_alloc(nullptr, 60, MB_RAM));
    uint8_t* b = header(MEM_alloc(nullptr, 60, MB_RAM));
    uint8_t* c = header(MEM_alloc(nullptr, 60, MB_RAM));
    uint8_t* d = header(MEM_alloc(nullptr, 60, MB_RAM));
    for (uint8_t* block : {a, c, b})
        ASSERT_EQ(MEM_free(block + 16), 1);
    EXPECT_EQ(unflagged(a, 12), "FB" + words({uint32_t(d - a - 16), link(d)}));
    EXPECT_EQ(u32(d + 12), link(a));
    // b merged into its lower neighbour: its whole header is zero. c was
    // absorbed from above: its signature is zero and it is off the list.
    EXPECT_EQ(text(b, 16), std::string(16, '\0'));
    EXPECT_EQ(text(c, 2), std::string(2, '\0'));
    EXPECT_EQ(u16(c + 2) & MB_FREE, 0u);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
}

TEST(MemLayoutClass, FormulaForAnyBaseAndSettingsAndDestroy)
{
    Area area(1 << 16);
    ASSERT_NE(MEM_initadr(area.bytes, 4096), 0);  // the heap, for MEM_heapbase
    uint8_t* base = area.bytes + 4096 + 5;        // deliberately unaligned
    // first = ((B + F + T + 127) & ~(F - 1)) - 16, top = B + S - T - 48.
    uintptr_t b = reinterpret_cast<uintptr_t>(base);
    uint8_t* first = reinterpret_cast<uint8_t*>(((b + 256 + 24 + 127) & ~static_cast<uintptr_t>(255)) - 16);
    uint8_t* top = base + 20000 - 24 - 48;
    int32_t result = MEMCLASS_create(5, "odd", base, 20000, 16, 256, 24, 1, 1, 1, 0, nullptr);
    ASSERT_EQ(result, top - first - 16);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first + 16) % 256, 0u);
    EXPECT_EQ(nextblock(base, base), first);
    EXPECT_EQ(text(top, 16), layout("MB", MB_BOUND | MB_HIGH | OPTIONS | 5u, {0, 0, linkword(base, first)}));
    EXPECT_EQ(signature(first), "FB");
    EXPECT_STREQ(reinterpret_cast<char*>(top + 16 + 24), "odd HIGH");
    EXPECT_STREQ(reinterpret_cast<char*>(base + 16 + 64 + 24), "odd LOW");
    // Blocks span multiples of 16: 8 + 16 + 24 + 2 = 50, rounded to 64, less the header.
    void* block = MEM_alloc("x", 1, 5);
    ASSERT_EQ(header(block), first);
    EXPECT_EQ(span(base, block), 48);
    EXPECT_EQ(MEMCLASS_check(5), 1);
    EXPECT_EQ(MEM_free(block), 1);
    EXPECT_EQ(MEMCLASS_largestfree(5), result);
    // Destroying clears the record and leaves the area's blocks as they were.
    ASSERT_EQ(reinterpret_cast<uint8_t*>(MEMCLASS_table[5]), base + 16);
    EXPECT_EQ(MEMCLASS_destroy(5), 1);
    EXPECT_EQ(MEMCLASS_table[5], nullptr);
    EXPECT_EQ(text(base + 16, 64), std::string(64, '\0'));
    EXPECT_EQ(MEMCLASS_destroy(5), 0);
    EXPECT_EQ(signature(base), "MB");
}

TEST(MemLayoutEndian, BigEndianBytes)
{
    // Writes of n bytes (never more than four) over 0x11s, and reads back.
    using Row = std::tuple<uint32_t, int32_t, std::string>;  // value, n, the first five bytes after
    for (auto [value, n, bytes] :
         std::vector<Row>{{0x00ABCDEFu, 3, "\xAB\xCD\xEF\x11\x11"}, {0x42454E44u, 4, "BEND\x11"},
                          {0x01020304u, 6, "\x01\x02\x03\x04\x11"}, {0xFFu, 0, std::string(5, 0x11)},
                          {0xFFu, -2, std::string(5, 0x11)}, {0x1234u, 2, "\x12\x34\x11\x11\x11"}}) {
        SCOPED_TRACE(n);
        uint8_t buffer[8];
        memset(buffer, 0x11, sizeof buffer);
        int32_t written = n < 0 ? 0 : n > 4 ? 4 : n;
        EXPECT_EQ(ENDIAN_putbig(buffer, value, n), buffer + written);
        EXPECT_EQ(text(buffer, 5), bytes);
        EXPECT_EQ(written ? ENDIAN_getbig(buffer, written) : 0, written ? value : 0);
    }
    const uint8_t abc[] = {0xAB, 0xCD, 0xEF};
    EXPECT_EQ(std::make_tuple(ENDIAN_getbig(abc, 2), ENDIAN_getbig(abc, 1)), std::make_tuple(0xABCDu, 0xABu));
}

}  // namespace
