// The memory manager's byte layout, read back from memory: class area,
// class record, block headers, free-list links and trailers. Every figure
// here must hold on 64-bit and on 32-bit builds alike.
#include <gtest/gtest.h>

#include <string>

#include "memtest.h"
#include "vorl/alert.h"
#include "vorl/memory.h"

using namespace memtest;

namespace {

const int32_t HEAP = MEM_HEAPSIZE;

class MemLayout : public ::testing::Test {
protected:
    MemLayout() : area(HEAP) {}
    void SetUp() override
    {
        ALERTfile = nullptr;
        ALERTline = 0;
        created = MEM_initadr(area.bytes, HEAP);
        base = area.bytes;
        top = base + 33554368;
    }
    Area area;
    int32_t created = 0;
    uint8_t* base = nullptr;
    uint8_t* top = nullptr;
};

TEST_F(MemLayout, HeapClassAreaOverAnAlignedBase)
{
    ASSERT_EQ(created, 33554176);
    EXPECT_EQ(MEM_largestfree(), 33554176);
    EXPECT_EQ(MEM_totalfree(), 33554176);
    EXPECT_EQ(MEM_heapbase, static_cast<void*>(base));
    EXPECT_EQ(reinterpret_cast<uint8_t*>(MEMCLASS_table[MB_RAM]), base + 16);
    EXPECT_EQ(MEMCLASS_table[MB_GLOBAL], MEMCLASS_table[MB_RAM]);

    // Low bound block: the class record is its 64 data bytes.
    const uint8_t* first = base + 176;
    EXPECT_EQ(signature(base), "MB");
    EXPECT_EQ(u16(base + 2), MB_BOUND | MB_NAMED | MB_GUARD | MB_WHERE);
    EXPECT_EQ(i32(base + 4), 64);
    EXPECT_EQ(nextblock(base, base), first);
    EXPECT_EQ(u32(base + 12), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(base + 80), 4), "BEND");
    EXPECT_STREQ(reinterpret_cast<char*>(base + 96), "RAM LOW");

    // The one free block: contents at base + 192, a multiple of 64.
    EXPECT_EQ(signature(first), "FB");
    EXPECT_EQ(u16(first + 2), MB_FREE | MB_NAMED | MB_GUARD | MB_WHERE);
    EXPECT_EQ(i32(first + 4), 33554176);
    EXPECT_EQ(nextblock(base, first), top);
    EXPECT_EQ(previousblock(base, first), base);
    EXPECT_EQ(nextfree(base, first), base + 32);
    EXPECT_EQ(previousfree(base, first), base + 32);

    // High bound block, with its trailer and label in the last 64 bytes.
    EXPECT_EQ(signature(top), "MB");
    EXPECT_EQ(u16(top + 2), MB_BOUND | MB_HIGH | MB_NAMED | MB_GUARD | MB_WHERE);
    EXPECT_EQ(i32(top + 4), 0);
    EXPECT_EQ(u32(top + 8), 0u);
    EXPECT_EQ(previousblock(base, top), first);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(top + 16), 4), "BEND");
    EXPECT_STREQ(reinterpret_cast<char*>(top + 32), "RAM HIGH");
    EXPECT_EQ(top + 64, base + HEAP);
}

TEST_F(MemLayout, ClassRecordAndFreeListHead)
{
    const uint8_t* record = base + 16;
    EXPECT_STREQ(reinterpret_cast<const char*>(record), "RAM");
    const uint8_t* head = record + 16;
    EXPECT_EQ(signature(head), "SB");
    EXPECT_EQ(u16(head + 2), 0u);
    EXPECT_EQ(i32(head + 4), 0x7FFFFFFF);
    EXPECT_EQ(u32(head + 8), 0u);
    EXPECT_EQ(u32(head + 12), 0u);
    EXPECT_EQ(nextfree(base, head), base + 176);
    EXPECT_EQ(previousfree(base, head), base + 176);
    EXPECT_EQ(u32(record + 40), 8u);   // alignment
    EXPECT_EQ(u32(record + 44), 64u);  // first-block alignment
    if (sizeof(void*) == 4) {
        EXPECT_EQ(u32(record + 8), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base)));
        EXPECT_EQ(u32(record + 12), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(top)));
        EXPECT_EQ(u32(record + 48), 16u);
        EXPECT_EQ(u32(record + 52), MB_NAMED | MB_GUARD | MB_WHERE);
        EXPECT_NE(u32(record + 56), 0u);  // the mutex
    } else {
        EXPECT_EQ(u32(record + 8), 33554368u);  // top as an offset from base
        EXPECT_EQ(u16(record + 12), 16u);
        EXPECT_EQ(u16(record + 14), MB_NAMED | MB_GUARD | MB_WHERE);
        void* mutex;
        memcpy(&mutex, record + 48, sizeof mutex);
        EXPECT_NE(mutex, nullptr);
    }
}

TEST_F(MemLayout, RequestSizesTakeRoundedContents)
{
    void* zero = MEM_alloc(nullptr, 0, MB_RAM);
    void* seven = MEM_alloc(nullptr, 7, MB_RAM);
    void* eight = MEM_alloc(nullptr, 8, MB_RAM);
    void* named = MEM_alloc("abc", 8, MB_RAM);
    void* hundred = MEM_alloc(nullptr, 100, MB_RAM);
    ASSERT_TRUE(zero && seven && eight && named && hundred);

    EXPECT_EQ(static_cast<uint8_t*>(zero), base + 192);
    EXPECT_EQ(span(base, zero), 24);
    EXPECT_EQ(span(base, seven), 24);
    EXPECT_EQ(span(base, eight), 24);
    EXPECT_EQ(span(base, named), 32);
    EXPECT_EQ(span(base, hundred), 120);

    // The header keeps the size as asked; with 0 the guard starts at the
    // contents address itself.
    EXPECT_EQ(i32(header(zero) + 4), 0);
    EXPECT_EQ(std::string(static_cast<char*>(zero), 4), "BEND");
    EXPECT_EQ(i32(header(seven) + 4), 7);
    EXPECT_EQ(std::string(static_cast<char*>(seven) + 7, 4), "BEND");
    EXPECT_EQ(u16(header(named) + 2), MB_NAMED | MB_GUARD | MB_WHERE);
    EXPECT_EQ(u16(header(eight) + 2), MB_GUARD | MB_WHERE);
    EXPECT_STREQ(static_cast<char*>(named) + 8 + 16, "abc");

    // Neighbours link both ways; the rest of the heap follows as one free block.
    EXPECT_EQ(previousblock(base, header(seven)), header(zero));
    EXPECT_EQ(nextblock(base, header(zero)), header(seven));
    const uint8_t* rest = nextblock(base, header(hundred));
    EXPECT_EQ(signature(rest), "FB");
    EXPECT_EQ(i32(rest + 4), top - rest - 16);
    EXPECT_EQ(MEM_totalfree(), top - rest - 16);
}

TEST_F(MemLayout, TrailerRecordsGuardOwnerAndSpare)
{
    static const char owner[] = "tests/memlayout";
    ALERTfile = owner;
    ALERTline = 574;
    uint8_t* block = static_cast<uint8_t*>(MEM_alloc("label", 13, MB_RAM | MB_CLEARSPARE));
    ASSERT_NE(block, nullptr);
    const uint8_t* trailer = block + 13;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(trailer), 4), "BEND");
    EXPECT_EQ(trailer[0], 0x42);
    EXPECT_EQ(trailer[3], 0x44);
    EXPECT_EQ(i32(trailer + 8), 574);
    EXPECT_EQ(u32(trailer + 12), 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(trailer + 16), "label");
    if (sizeof(void*) == 4) {
        EXPECT_EQ(u32(trailer + 4), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(owner)));
    }
    const char* file = nullptr;
    int32_t line = 0;
    ASSERT_EQ(MEM_owner(block, &file, &line), 1);
    EXPECT_EQ(file, owner);
    EXPECT_EQ(line, 574);

    // Without MB_CLEARSPARE the spare word keeps what the memory held.
    ASSERT_EQ(MEM_free(block), 1);
    memset(block + 8, 0xEE, 56);  // past the free block's two links
    uint8_t* again = static_cast<uint8_t*>(MEM_alloc(nullptr, 13, MB_RAM));
    ASSERT_EQ(again, block);
    EXPECT_EQ(u32(again + 13 + 12), 0xEEEEEEEEu);
    EXPECT_EQ(MEM_owner(again, &file, &line), 1);

    ALERTfile = nullptr;
    void* anonymous = MEM_alloc(nullptr, 8, MB_RAM);
    ASSERT_EQ(MEM_owner(anonymous, &file, &line), 1);
    EXPECT_EQ(file, nullptr);
}

// A free block of 200 bytes between two blocks in use, made by releasing
// a block that took exactly 200 bytes.
TEST_F(MemLayout, SplittingLeavesAFreeBlockAbove)
{
    void* wide = MEM_alloc(nullptr, 184, MB_RAM);
    void* fence = MEM_alloc(nullptr, 8, MB_RAM);
    void* narrow = MEM_alloc(nullptr, 168, MB_RAM);
    void* fence2 = MEM_alloc(nullptr, 8, MB_RAM);
    ASSERT_EQ(span(base, wide), 200);
    ASSERT_EQ(span(base, narrow), 184);
    uint8_t* chosen = header(wide);
    ASSERT_EQ(MEM_free(wide), 1);
    ASSERT_EQ(i32(chosen + 4), 200);

    void* hundred = MEM_alloc(nullptr, 100, MB_RAM);
    ASSERT_EQ(header(hundred), chosen);
    const uint8_t* left = chosen + 136;
    EXPECT_EQ(nextblock(base, chosen), left);
    EXPECT_EQ(signature(left), "FB");
    EXPECT_EQ(i32(left + 4), 64);
    EXPECT_EQ(u16(left + 2), MB_FREE);
    EXPECT_EQ(previousblock(base, left), chosen);
    EXPECT_EQ(nextblock(base, left), header(fence));
    EXPECT_EQ(previousblock(base, header(fence)), left);
    EXPECT_EQ(nextfree(base, base + 32), left);  // lowest on the list

    // 184 - 120 is not more than 64: the whole block is handed out.
    uint8_t* chosen184 = header(narrow);
    ASSERT_EQ(MEM_free(narrow), 1);
    void* whole = MEM_alloc(nullptr, 100, MB_RAM);
    ASSERT_EQ(header(whole), chosen184);
    EXPECT_EQ(span(base, whole), 184);
    EXPECT_EQ(nextblock(base, header(whole)), header(fence2));
    EXPECT_EQ(i32(header(whole) + 4), 100);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
}

TEST_F(MemLayout, HighBlocksAreCarvedFromTheTop)
{
    void* high = MEM_alloc(nullptr, 100, MB_RAM | MB_HIGH);
    ASSERT_NE(high, nullptr);
    // 33554176 - 120 = 33554056 bytes stay below, already a multiple of 8.
    EXPECT_EQ(header(high), base + 176 + 33554056);
    EXPECT_EQ(nextblock(base, header(high)), top);
    EXPECT_EQ(previousblock(base, top), header(high));
    EXPECT_EQ(u16(header(high) + 2), MB_HIGH | MB_GUARD | MB_WHERE);
    const uint8_t* first = base + 176;
    EXPECT_EQ(previousblock(base, header(high)), first);
    EXPECT_EQ(signature(first), "FB");
    EXPECT_EQ(i32(first + 4), 33554056 - 16);
    EXPECT_EQ(nextblock(base, first), header(high));
    EXPECT_EQ(previousblock(base, first), base);
}

TEST_F(MemLayout, MergedHeadersAreCleared)
{
    void* a = MEM_alloc(nullptr, 40, MB_RAM);
    void* b = MEM_alloc(nullptr, 40, MB_RAM);
    void* c = MEM_alloc(nullptr, 40, MB_RAM);
    void* fence = MEM_alloc(nullptr, 40, MB_RAM);
    ASSERT_TRUE(a && b && c && fence);
    ASSERT_EQ(MEM_free(a), 1);
    ASSERT_EQ(MEM_free(c), 1);
    ASSERT_EQ(MEM_free(b), 1);
    // One free block from a's header to fence's header.
    EXPECT_EQ(signature(header(a)), "FB");
    EXPECT_EQ(nextblock(base, header(a)), header(fence));
    EXPECT_EQ(previousblock(base, header(fence)), header(a));
    EXPECT_EQ(i32(header(a) + 4), header(fence) - header(a) - 16);
    // b merged into its lower neighbour: its whole header is zero. c was
    // absorbed from above: its signature is zero and it is off the list.
    static const uint8_t zeros[16] = {};
    EXPECT_EQ(memcmp(header(b), zeros, 16), 0);
    EXPECT_EQ(header(c)[0], 0);
    EXPECT_EQ(header(c)[1], 0);
    EXPECT_EQ(u16(header(c) + 2) & MB_FREE, 0u);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
}

TEST(MemLayoutClass, FormulaForAnyBaseAndSettings)
{
    Area area(1 << 16);
    ASSERT_NE(MEM_initadr(area.bytes, 4096), 0);  // the heap, for MEM_heapbase
    uint8_t* base = area.bytes + 4096 + 5;        // deliberately unaligned
    int32_t size = 20000;
    // first = ((B + F + T + 127) & ~(F - 1)) - 16, top = B + S - T - 48.
    uintptr_t b = reinterpret_cast<uintptr_t>(base);
    uint8_t* first = reinterpret_cast<uint8_t*>(((b + 256 + 24 + 127) & ~static_cast<uintptr_t>(255)) - 16);
    uint8_t* top = base + size - 24 - 48;
    int32_t result = MEMCLASS_create(5, "odd", base, size, 16, 256, 24, 1, 1, 1, 0, nullptr);
    ASSERT_EQ(result, top - first - 16);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first + 16) % 256, 0u);
    EXPECT_EQ(nextblock(base, base), first);
    EXPECT_EQ(previousblock(base, top), first);
    EXPECT_EQ(signature(first), "FB");
    EXPECT_EQ(u16(top + 2), MB_BOUND | MB_HIGH | MB_NAMED | MB_GUARD | MB_WHERE | 5u);
    EXPECT_STREQ(reinterpret_cast<char*>(top + 16 + 24), "odd HIGH");
    EXPECT_STREQ(reinterpret_cast<char*>(base + 16 + 64 + 24), "odd LOW");

    // Blocks of this class span multiples of 16 with their header.
    void* block = MEM_alloc("x", 1, 5);
    ASSERT_EQ(header(block), first);
    EXPECT_EQ((span(base, block) + 16) % 16, 0);
    EXPECT_EQ(span(base, block), 48);  // 8 + 16 + 24 + 2 = 50, rounded to 64, less the header
    EXPECT_EQ(MEMCLASS_check(5), 1);
    EXPECT_EQ(MEM_free(block), 1);
    EXPECT_EQ(MEMCLASS_largestfree(5), result);
}

TEST(MemLayoutClass, DestroyClearsTheRecord)
{
    Area heap(4096);
    ASSERT_NE(MEM_initadr(heap.bytes, 4096), 0);
    Area area(8192);
    ASSERT_GT(MEMCLASS_create(4, "pool", area.bytes, 8192, 8, 64, 16, 1, 1, 1, 1, nullptr), 0);
    ASSERT_EQ(reinterpret_cast<uint8_t*>(MEMCLASS_table[4]), area.bytes + 16);
    EXPECT_EQ(MEMCLASS_destroy(4), 1);
    EXPECT_EQ(MEMCLASS_table[4], nullptr);
    static const uint8_t zeros[64] = {};
    EXPECT_EQ(memcmp(area.bytes + 16, zeros, 64), 0);
    EXPECT_EQ(MEMCLASS_destroy(4), 0);
    // The area's blocks are left as they were.
    EXPECT_EQ(signature(area.bytes), "MB");
}

TEST(MemLayoutEndian, BigEndianBytes)
{
    uint8_t bytes[8] = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
    EXPECT_EQ(ENDIAN_putbig(bytes, 0x00ABCDEFu, 3), bytes + 3);
    EXPECT_EQ(bytes[0], 0xAB);
    EXPECT_EQ(bytes[1], 0xCD);
    EXPECT_EQ(bytes[2], 0xEF);
    EXPECT_EQ(bytes[3], 0x11);
    EXPECT_EQ(ENDIAN_getbig(bytes, 3), 0x00ABCDEFu);
    EXPECT_EQ(ENDIAN_getbig(bytes, 2), 0xABCDu);
    EXPECT_EQ(ENDIAN_getbig(bytes, 1), 0xABu);
    EXPECT_EQ(ENDIAN_putbig(bytes, 0x42454E44u, 4), bytes + 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), "BEND");
    EXPECT_EQ(ENDIAN_getbig(bytes, 4), 0x42454E44u);
    EXPECT_EQ(ENDIAN_putbig(bytes, 0x01020304u, 6), bytes + 4);  // never more than four
    EXPECT_EQ(bytes[4], 0x11);
    EXPECT_EQ(ENDIAN_putbig(bytes, 0xFFu, 0), bytes);
    EXPECT_EQ(ENDIAN_putbig(bytes, 0xFFu, -2), bytes);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(ENDIAN_putbig(bytes + 4, 0x1234u, 2), bytes + 6);
    EXPECT_EQ(ENDIAN_getbig(bytes + 4, 2), 0x1234u);
}

}  // namespace
