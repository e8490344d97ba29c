// The memory manager's behaviour through its interface: the choice of free
// block, merging, every alert and what follows it when the alert returns,
// the safe handling of foreign and stale addresses, class management, the
// heap checker and the block report, and the alerts that end the process.
#include <gtest/gtest.h>

#include <stdio.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "memtest.h"
#include "alertrecorder.h"
#include "deathstyle.h"
#include "vorl/alert.h"
#include "vorl/pagemem.h"
#include "vorl/memory.h"
#include "platform/vplatform.h"

using namespace memtest;

namespace {

std::string format(const char* pattern, const void* address, const char* text, unsigned value)
{
    char buffer[256];
    snprintf(buffer, sizeof buffer, pattern, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)), text,
             value);
    return buffer;
}

std::string notablock(const void* address, const char* signature, unsigned value)
{
    return format("MEM_free - NOT A MEMBLOCK.  BLOCK @ 0x%08lx, SIGNATURE '%2.2s' (0x%02x)\n", address, signature,
                  value);
}

// A heap of 1 MiB over an aligned area.
class MemHeap : public ::testing::Test {
protected:
    MemHeap() : area(1 << 20) {}
    void SetUp() override
    {
        ALERTfile = nullptr;
        ALERTline = 0;
        ASSERT_GT(MEM_initadr(area.bytes, 1 << 20), 0);
        base = area.bytes;
    }
    Area area;
    uint8_t* base = nullptr;
};

// Free blocks of 200, 1000, 1000 and 504 bytes, in that address order,
// kept apart by small blocks in use, with nothing else free.
class MemChoice : public MemHeap {
protected:
    void SetUp() override
    {
        MemHeap::SetUp();
        a = MEM_alloc(nullptr, 184, MB_RAM);
        fence[0] = MEM_alloc(nullptr, 8, MB_RAM);
        b = MEM_alloc(nullptr, 984, MB_RAM);
        fence[1] = MEM_alloc(nullptr, 8, MB_RAM);
        c = MEM_alloc(nullptr, 984, MB_RAM);
        fence[2] = MEM_alloc(nullptr, 8, MB_RAM);
        d = MEM_alloc(nullptr, 488, MB_RAM);
        fence[3] = MEM_alloc(nullptr, 8, MB_RAM);
        rest = MEM_alloc(nullptr, MEM_largestfree() - 16, MB_RAM);
        ASSERT_NE(rest, nullptr);
        ASSERT_EQ(MEM_totalfree(), 0);
        ASSERT_EQ(MEM_largestfree(), 0);
        for (void* block : {a, b, c, d})
            ASSERT_EQ(MEM_free(block), 1);
        ASSERT_EQ(i32(header(a) + 4), 200);
        ASSERT_EQ(i32(header(b) + 4), 1000);
        ASSERT_EQ(i32(header(c) + 4), 1000);
        ASSERT_EQ(i32(header(d) + 4), 504);
    }
    void* a = nullptr;
    void* b = nullptr;
    void* c = nullptr;
    void* d = nullptr;
    void* fence[4] = {};
    void* rest = nullptr;
};

TEST_F(MemChoice, FirstFitFromEitherEnd)
{
    void* low = MEM_alloc(nullptr, 100, MB_RAM);
    EXPECT_EQ(header(low), header(a));
    ASSERT_EQ(MEM_free(low), 1);

    // From the high end the first that fits is d, and the block is carved
    // from its top: (504 - 120) rounded to 8 stays free below it.
    void* high = MEM_alloc(nullptr, 100, MB_RAM | MB_HIGH);
    EXPECT_EQ(header(high), header(d) + 384);
    EXPECT_EQ(nextblock(base, header(high)), header(fence[3]));
    EXPECT_EQ(signature(header(d)), "FB");
    EXPECT_EQ(i32(header(d) + 4), 384 - 16);
    ASSERT_EQ(MEM_free(high), 1);
    EXPECT_EQ(i32(header(d) + 4), 504);

    // Too big for every free block.
    ScopedAlertRecorder alerts;
    EXPECT_EQ(MEM_alloc("big", 1001, MB_RAM), nullptr);
    ASSERT_EQ(alerts.count(), 1u);
    EXPECT_EQ(alerts.messages()[0], "MEM_alloc - OUT OF MEMORY\nrequested 'big': 1001\navailable: 1000. type 0000\n");
    EXPECT_EQ(alerts.alerts()[0].file, "cmn/memalloc");
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
}

TEST_F(MemChoice, LargestAmongEqualsIsTheFirstMet)
{
    void* low = MEM_alloc(nullptr, 100, MB_RAM | MB_LARGEST);
    EXPECT_EQ(header(low), header(b));
    ASSERT_EQ(MEM_free(low), 1);

    void* high = MEM_alloc(nullptr, 100, MB_RAM | MB_LARGEST | MB_HIGH);
    EXPECT_EQ(header(high), header(c) + 880);
    EXPECT_EQ(nextblock(base, header(high)), header(fence[2]));
    ASSERT_EQ(MEM_free(high), 1);

    // The largest is taken even when a smaller block would fit first.
    void* small = MEM_alloc(nullptr, 10, MB_GLOBAL | MB_LARGEST);
    EXPECT_EQ(header(small), header(b));
    EXPECT_EQ(u16(header(small) + 2) & MB_CLASSMASK, static_cast<unsigned>(MB_GLOBAL));
    EXPECT_EQ(MEM_free(small), 1);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
}

TEST_F(MemChoice, EmptyFreeListHasNoLargest)
{
    for (void* block : {a, b, c, d})
        ASSERT_NE(MEM_alloc(nullptr, i32(header(block) + 4) - 16, MB_RAM), nullptr);
    EXPECT_EQ(MEMCLASS_largestfree(MB_RAM), 0);
    EXPECT_EQ(MEM_totalfree(), 0);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
}

TEST_F(MemHeap, ReleasesMergeWithBothNeighbours)
{
    std::vector<void*> blocks;
    for (int i = 0; i < 5; i++)
        blocks.push_back(MEM_alloc(nullptr, 30 + i, MB_RAM));
    const uint8_t* after = header(blocks[4]);
    ASSERT_EQ(MEM_free(blocks[1]), 1);
    ASSERT_EQ(MEM_free(blocks[3]), 1);
    int32_t before = MEM_totalfree();
    int32_t middle = span(base, blocks[2]);
    ASSERT_EQ(MEM_free(blocks[2]), 1);
    // Two headers became contents: total free grows by the block and both.
    EXPECT_EQ(MEM_totalfree(), before + middle + 32);
    EXPECT_EQ(nextblock(base, header(blocks[1])), after);
    EXPECT_EQ(i32(header(blocks[1]) + 4), after - header(blocks[1]) - 16);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);

    // Releasing the last block in use of the area merges all of it back.
    for (void* block : {blocks[0], blocks[4]})
        ASSERT_EQ(MEM_free(block), 1);
    EXPECT_EQ(MEM_largestfree(), MEM_totalfree());
    EXPECT_EQ(nextfree(base, base + 32), base + 176);
    EXPECT_EQ(previousfree(base, base + 32), base + 176);
}

TEST_F(MemHeap, FreeListStaysInAddressOrder)
{
    std::vector<void*> blocks;
    for (int i = 0; i < 40; i++)
        blocks.push_back(MEM_alloc(nullptr, 16 + 8 * (i % 7), MB_RAM));
    // Every other block, in an order that inserts at both ends and between.
    for (int i : {20, 38, 0, 10, 30, 2, 36, 18, 22, 4, 34, 6, 12, 28, 14, 26, 16, 24, 8, 32})
        ASSERT_EQ(MEM_free(blocks[i]), 1);
    const uint8_t* head = base + 32;
    const uint8_t* previous = head;
    int count = 0;
    for (const uint8_t* node = nextfree(base, head); node != head; node = nextfree(base, node)) {
        EXPECT_EQ(signature(node), "FB");
        EXPECT_EQ(previousfree(base, node), previous);
        if (previous != head) {
            EXPECT_LT(previous, node);
        }
        previous = node;
        ASSERT_LE(++count, 21);
    }
    EXPECT_EQ(count, 21);  // twenty released and the rest of the heap
    EXPECT_EQ(previousfree(base, head), previous);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
}

TEST_F(MemHeap, DoubleReleasesAreCaught)
{
    void* a = MEM_alloc(nullptr, 40, MB_RAM);
    void* b = MEM_alloc(nullptr, 40, MB_RAM);
    void* fence = MEM_alloc(nullptr, 40, MB_RAM);
    ASSERT_TRUE(a && b && fence);
    ScopedAlertRecorder alerts;
    EXPECT_EQ(MEM_size(a), 40);
    ASSERT_EQ(MEM_free(a), 1);
    EXPECT_EQ(MEM_size(a), -1);  // no alert: a query
    EXPECT_EQ(MEM_free(a), 0);  // a free block: "FB"
    ASSERT_EQ(MEM_free(b), 1);  // merged into a
    EXPECT_EQ(MEM_free(b), 0);  // its header was cleared
    ASSERT_EQ(alerts.count(), 2u);
    EXPECT_EQ(alerts.messages()[0], notablock(a, "FB", 0x4642));
    EXPECT_EQ(alerts.messages()[1], notablock(b, "", 0));
    EXPECT_EQ(alerts.alerts()[0].file, "cmn/memalloc");
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
    EXPECT_EQ(MEM_free(nullptr), 1);
    EXPECT_EQ(alerts.count(), 2u);
}

TEST_F(MemHeap, ForeignAndInteriorAddressesAreNotBlocks)
{
    ScopedAlertRecorder alerts;
    // Outside every class: nothing is read (a read in front of this buffer
    // would be caught by the address sanitizer).
    char* foreign = static_cast<char*>(malloc(64));
    EXPECT_EQ(MEM_free(foreign), 0);
    std::string foreignmessage = notablock(foreign, "", 0);
    free(foreign);
    EXPECT_EQ(MEM_free(reinterpret_cast<void*>(8)), 0);

    // A forged header inside a block's contents passes the signature test
    // but is not linked from its neighbours.
    uint8_t* block = static_cast<uint8_t*>(MEM_alloc(nullptr, 200, MB_RAM));
    memcpy(block + 32, header(block), 16);
    EXPECT_EQ(MEM_free(block + 48), 0);
    for (const void* notblock : {static_cast<void*>(block + 48), static_cast<void*>(base + 16), static_cast<void*>(nullptr)})
        EXPECT_EQ(MEM_size(notblock), -1);
    EXPECT_EQ(MEM_size(block), 200);

    // The class's bound blocks are never released.
    EXPECT_EQ(MEM_free(base + 16), 0);
    EXPECT_EQ(MEM_free(base + (1 << 20) - 64 + 16), 0);

    std::vector<std::string> messages = alerts.messages();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0], foreignmessage);
    EXPECT_EQ(messages[1], notablock(reinterpret_cast<void*>(8), "", 0));
    EXPECT_EQ(messages[2], notablock(block + 48, "MB", 0x4D42));
    EXPECT_EQ(messages[3], notablock(base + 16, "MB", 0x4D42));
    EXPECT_EQ(messages[4], notablock(base + (1 << 20) - 48, "MB", 0x4D42));
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
    EXPECT_EQ(MEM_free(block), 1);
}

TEST_F(MemHeap, InvalidSizesAreRefusedAndTheLockIsReleased)
{
    ScopedAlertRecorder alerts;
    int32_t largest = MEM_largestfree();
    EXPECT_EQ(MEM_alloc(nullptr, -1, MB_RAM), nullptr);
    // size + 16 + 16 + 7 passes 2^31 - 1: the rounded size would overflow.
    EXPECT_EQ(MEM_alloc("huge", INT32_MAX, MB_RAM), nullptr);
    EXPECT_EQ(MEM_alloc(nullptr, INT32_MAX - 38, MB_GLOBAL | MB_HIGH), nullptr);
    // One byte less does not overflow: it is simply more than there is.
    EXPECT_EQ(MEM_alloc(nullptr, INT32_MAX - 39, MB_RAM), nullptr);
    std::vector<std::string> messages = alerts.messages();
    ASSERT_EQ(messages.size(), 4u);
    char expected[256];
    snprintf(expected, sizeof expected,
             "MEM_alloc - INVALID SIZE REQUESTED\nrequested '(null)': -1\navailable: %d. type 0000 MB_LOW\n", largest);
    EXPECT_EQ(messages[0], expected);
    snprintf(expected, sizeof expected,
             "MEM_alloc - INVALID SIZE REQUESTED\nrequested 'huge': 2147483647\navailable: %d. type 0000 MB_LOW\n",
             largest);
    EXPECT_EQ(messages[1], expected);
    snprintf(expected, sizeof expected,
             "MEM_alloc - INVALID SIZE REQUESTED\nrequested '(null)': 2147483609\navailable: %d. type 0011 MB_LOW\n",
             largest);
    EXPECT_EQ(messages[2], expected);
    snprintf(expected, sizeof expected,
             "MEM_alloc - OUT OF MEMORY\nrequested '(null)': 2147483608\navailable: %d. type 0000\n", largest);
    EXPECT_EQ(messages[3], expected);

    // Another thread can still take the class's mutex.
    auto other = std::async(std::launch::async, [] {
        void* block = MEM_alloc(nullptr, 16, MB_RAM);
        return MEM_free(block);
    });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(other.get(), 1);
    EXPECT_EQ(MEM_largestfree(), largest);
}

TEST_F(MemHeap, CallerTypeCannotSetListBits)
{
    void* block = MEM_alloc(nullptr, 8, MB_RAM | MB_FREE | MB_BOUND | MB_NAMED | 0x1000u);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(u16(header(block) + 2), MB_GUARD | MB_WHERE | 0x1000u);
    void* next = MEM_alloc(nullptr, 8, MB_RAM);
    EXPECT_EQ(MEM_free(next), 1);
    EXPECT_EQ(MEM_free(block), 1);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
}

TEST_F(MemHeap, UnreadableCallerFileIsReportedAndReplaced)
{
    ScopedAlertRecorder alerts;
    ALERTfile = reinterpret_cast<const char*>(static_cast<uintptr_t>(0x10));
    ALERTline = 99;
    void* block = MEM_alloc(nullptr, 8, MB_RAM);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(alerts.count(), 1u);
    EXPECT_EQ(alerts.messages()[0], "MEM_alloc - INVALID CALLER FILE NAME POINTER 10\n");
    const char* file = nullptr;
    int32_t line = 0;
    ASSERT_EQ(MEM_owner(block, &file, &line), 1);
    ASSERT_NE(file, nullptr);
    EXPECT_STREQ(file, "cmn/memalloc");
    EXPECT_EQ(line, alerts.alerts()[0].line);
    EXPECT_EQ(MEM_free(block), 1);
}

TEST(MemClass, CreateRefusesBadNumbersAndSmallAreas)
{
    ScopedAlertRecorder alerts;
    Area area(4096);
    memset(area.bytes, 0x5A, 4096);
    EXPECT_EQ(MEMCLASS_create(16, "x", area.bytes, 4096, 8, 64, 16, 1, 1, 1, 1, nullptr), 0);
    EXPECT_EQ(MEMCLASS_create(-1, "x", area.bytes, 4096, 8, 64, 16, 1, 1, 1, 1, nullptr), 0);
    ASSERT_EQ(alerts.count(), 2u);
    EXPECT_EQ(alerts.messages()[0], "MEMCLASS_create - CLASS NUMBER OF 16 IS OUT OF RANGE. SHOULD BE 0..15\n");
    EXPECT_EQ(alerts.messages()[1], "MEMCLASS_create - CLASS NUMBER OF -1 IS OUT OF RANGE. SHOULD BE 0..15\n");
    EXPECT_EQ(alerts.alerts()[0].file, "cmn/memclass");

    // With the heap's settings a class needs 264 bytes: 176 below the free
    // block, its header and 8 bytes, and 64 above.
    EXPECT_EQ(MEMCLASS_create(6, "tiny", area.bytes, 263, 8, 64, 16, 1, 1, 1, 1, nullptr), 0);
    EXPECT_EQ(MEMCLASS_create(6, "tiny", area.bytes, 4096, 12, 64, 16, 1, 1, 1, 1, nullptr), 0);
    EXPECT_EQ(MEMCLASS_create(6, "tiny", area.bytes, 4096, 8, 0, 16, 1, 1, 1, 1, nullptr), 0);
    EXPECT_EQ(MEMCLASS_create(6, "tiny", area.bytes, 4096, 8, 64, 70000, 1, 1, 1, 1, nullptr), 0);
    EXPECT_EQ(MEMCLASS_create(6, "tiny", area.bytes, -4096, 8, 64, 16, 1, 1, 1, 1, nullptr), 0);
    EXPECT_EQ(MEMCLASS_create(6, "tiny", nullptr, 4096, 8, 64, 16, 1, 1, 1, 1, nullptr), 0);
    EXPECT_EQ(MEM_initadr(nullptr, 4096), 0);
    EXPECT_EQ(MEM_heapbase, nullptr);
    for (int i = 0; i < 4096; i++)
        ASSERT_EQ(area.bytes[i], 0x5A) << i;
    for (MEMCLASS* slot : MEMCLASS_table)
        EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(alerts.count(), 2u);

    EXPECT_EQ(MEMCLASS_create(6, "tiny", area.bytes, 264, 8, 64, 16, 1, 1, 1, 1, nullptr), 8);
    EXPECT_EQ(MEMCLASS_largestfree(6), 8);
    EXPECT_EQ(MEMCLASS_check(6), 1);
}

// With an alignment above 64 the part a high block would leave below it
// can round down to nothing; the caller then gets the whole free block.
TEST(MemClass, HighSplitNeverLeavesALessThanWholeFreeBlock)
{
    Area heap(4096);
    ASSERT_NE(MEM_initadr(heap.bytes, 4096), 0);
    Area area(8192 + 64);
    uint8_t* base = area.bytes + reinterpret_cast<uintptr_t>(area.bytes) % 128;  // a multiple of 128
    int32_t largest = MEMCLASS_create(3, "wide", base, 8192, 128, 128, 16, 1, 0, 0, 1, nullptr);
    ASSERT_EQ(largest, 8192 - 64 - 240 - 16);
    // need + 16 is a multiple of 128; take the largest need that leaves
    // between 65 and 127 bytes over.
    int32_t need = ((largest - 65 + 16) & ~127) - 16;
    ASSERT_GT(largest - need, 64);
    ASSERT_LT(largest - need, 128);
    uint8_t* block = static_cast<uint8_t*>(MEM_alloc(nullptr, need - 16, 3 | MB_HIGH));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(header(block), nextblock(base, base));
    EXPECT_EQ(MEMCLASS_largestfree(3), 0);
    EXPECT_EQ(MEMCLASS_check(3), 1);
    EXPECT_EQ(MEM_free(block), 1);
    EXPECT_EQ(MEMCLASS_largestfree(3), largest);

    // With more over, the block is carved from the top at a multiple of 128.
    block = static_cast<uint8_t*>(MEM_alloc(nullptr, need - 16 - 256, 3 | MB_HIGH));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ((header(block) - nextblock(base, base)) % 128, 0);
    EXPECT_GT(MEMCLASS_largestfree(3), 0);
    EXPECT_EQ(MEMCLASS_check(3), 1);
}

TEST(MemClass, NamesAreCutToSevenCharacters)
{
    Area area(4096);
    ASSERT_GT(MEMCLASS_create(3, "averylongname", area.bytes, 4096, 8, 64, 16, 1, 1, 1, 0, nullptr), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(area.bytes + 16), "averylo");
    EXPECT_STREQ(reinterpret_cast<char*>(area.bytes + 96), "averylo LOW");
    EXPECT_EQ(MEMCLASS_check(3), 1);
}

TEST(MemClass, GetFreeAndDestroy)
{
    std::vector<Area*> areas;
    for (int number = 3; number < 16; number++) {
        areas.push_back(new Area(1024));
        ASSERT_GT(MEMCLASS_create(number, "c", areas.back()->bytes, 1024, 8, 64, 16, 0, 0, 0, 0, nullptr), 0);
    }
    {
        ScopedAlertRecorder alerts;
        EXPECT_EQ(MEMCLASS_getfree(), 16);
        ASSERT_EQ(alerts.count(), 1u);
        EXPECT_EQ(alerts.messages()[0], "MEMCLASS_getfree - NO FREE CLASSES.  16 IS MAXIMUM\n");
    }
    EXPECT_EQ(MEMCLASS_destroy(3), 1);
    EXPECT_EQ(MEMCLASS_getfree(), 3);
    EXPECT_EQ(MEMCLASS_destroy(3), 0);
    EXPECT_EQ(MEMCLASS_destroy(9 + 16), 1);  // only the low 4 bits count
    EXPECT_EQ(MEMCLASS_table[9], nullptr);
    EXPECT_EQ(MEMCLASS_getfree(), 3);
    EXPECT_EQ(MEMCLASS_init(), 1);
    for (MEMCLASS* slot : MEMCLASS_table)
        EXPECT_EQ(slot, nullptr);
    for (Area* area : areas)
        delete area;
}

TEST(MemClass, ReleaseAllLeavesTheBoundBlocks)
{
    Area heap(1 << 16);
    ASSERT_NE(MEM_initadr(heap.bytes, 1 << 16), 0);
    Area area(1 << 16);
    int32_t created = MEMCLASS_create(7, "pool", area.bytes, 1 << 16, 8, 64, 16, 1, 1, 1, 1, nullptr);
    std::vector<void*> blocks;
    for (int i = 0; i < 60; i++)
        blocks.push_back(MEM_alloc(i % 2 ? "odd" : nullptr, 10 + 13 * i, 7 | (i % 3 ? 0 : MB_HIGH)));
    for (int i = 0; i < 60; i += 4)
        ASSERT_EQ(MEM_free(blocks[i]), 1);
    EXPECT_EQ(MEMCLASS_freeall(7), 45);
    EXPECT_EQ(MEMCLASS_largestfree(7), created);
    EXPECT_EQ(MEMCLASS_check(7), 1);
    EXPECT_EQ(signature(area.bytes), "MB");
    EXPECT_STREQ(reinterpret_cast<char*>(area.bytes + 16), "pool");
    EXPECT_EQ(MEMCLASS_freeall(7), 0);
    EXPECT_EQ(MEMCLASS_freeall(8), 0);
}

// A class made in a block of another class owns its blocks: the class that
// the block's flags name wins over the one around it. Made once in a heap
// block, and once in a block of class 3, whose trailer has no room for an
// owner and which precedes it in the table.
TEST_F(MemHeap, ClassMadeInABlockOfAnotherOwnsItsBlocks)
{
    static const char owner[] = "tests/nested";
    Area outerarea(1 << 16);
    ScopedAlertRecorder alerts;
    for (int32_t outer : {MB_RAM, 3}) {
        if (outer == 3) {
            ASSERT_GT(MEMCLASS_create(3, "outer", outerarea.bytes, 1 << 16, 8, 64, 8, 1, 0, 0, 1, nullptr), 0);
        }
        uint8_t* area = static_cast<uint8_t*>(MEM_alloc(nullptr, 8192, outer));
        int32_t inner = MEMCLASS_getfree();
        int32_t created = MEMCLASS_create(inner, "inner", area, 8192, 8, 64, 16, 1, 1, 1, 1, nullptr);
        ASSERT_GT(created, 0);
        ALERTfile = owner;
        ALERTline = 40 + outer;
        void* blocks[3];
        for (int i = 0; i < 3; i++)
            blocks[i] = MEM_alloc("in", 100 + i, inner | (i == 1 ? MB_HIGH : 0));
        ALERTfile = nullptr;
        const char* file = nullptr;
        int32_t line = 0;
        EXPECT_EQ(MEM_owner(blocks[2], &file, &line), 1) << outer;
        EXPECT_EQ(file, owner);
        EXPECT_EQ(line, 40 + outer);
        // A stamp keeps its links relative to the inner class's base.
        uint8_t* scratch = static_cast<uint8_t*>(blocks[2]);
        MEM_stamp(scratch, nullptr, 0, 0, inner, area, scratch + 64);
        EXPECT_EQ(previousblock(area, scratch), area);
        EXPECT_EQ(nextblock(area, scratch), scratch + 64);

        EXPECT_EQ(MEM_free(blocks[0]), 1) << outer;
        EXPECT_EQ(MEMCLASS_freeall(inner), 2) << outer;
        EXPECT_EQ(MEMCLASS_largestfree(inner), created);
        EXPECT_EQ(MEMCLASS_check(inner), 1);
        EXPECT_EQ(MEMCLASS_destroy(inner), 1);
        EXPECT_EQ(MEM_free(area), 1);
        EXPECT_EQ(MEMCLASS_check(outer), 1);
    }
    EXPECT_EQ(alerts.messages(), std::vector<std::string>{});
}

TEST(MemClass, UnknownClassHasNoMemory)
{
    Area heap(4096);
    ASSERT_NE(MEM_initadr(heap.bytes, 4096), 0);
    ScopedAlertRecorder alerts;
    EXPECT_EQ(MEM_alloc("x", 8, 12), nullptr);
    ASSERT_EQ(alerts.count(), 1u);
    EXPECT_EQ(alerts.messages()[0], "MEM_alloc - OUT OF MEMORY\nrequested 'x': 8\navailable: 0. type 000c\n");
    EXPECT_EQ(MEMCLASS_largestfree(12), 0);
}

// The heap's free block over an area that malloc placed: first =
// ((B + 64 + 16 + 127) & ~63) - 16, top = B + size - 64.
int32_t heapfree(const void* area, int32_t size)
{
    uintptr_t b = reinterpret_cast<uintptr_t>(area);
    uintptr_t first = ((b + 207) & ~static_cast<uintptr_t>(63)) - 16;
    return static_cast<int32_t>(b + size - 64 - first - 16);
}

TEST(MemHeapLife, InitShutdownAndInitAgain)
{
    ScopedAlertRecorder alerts;
    EXPECT_EQ(MEM_alloc(nullptr, 10, MB_RAM), nullptr);
    int32_t free0 = MEM_init();
    ASSERT_EQ(free0, heapfree(MEM_heapbase, 33554432));
    EXPECT_EQ(MEM_largestfree(), free0);
    EXPECT_EQ(MEM_totalfree(), free0);
    ASSERT_NE(MEM_heapbase, nullptr);
    void* block = MEM_alloc("kept", 100, MB_RAM);
    ASSERT_NE(block, nullptr);
    MEM_shutdown();
    EXPECT_EQ(MEM_heapbase, nullptr);
    EXPECT_EQ(MEMCLASS_table[MB_RAM], nullptr);
    EXPECT_EQ(MEMCLASS_table[MB_GLOBAL], nullptr);
    MEM_shutdown();
    EXPECT_EQ(MEM_alloc(nullptr, 10, MB_RAM), nullptr);
    EXPECT_EQ(MEM_free(block), 0);  // the area has gone back; nothing is read
    EXPECT_EQ(MEM_largestfree(), 0);
    int32_t again = MEM_initsize(4096, 1);
    EXPECT_EQ(again, heapfree(MEM_heapbase, 4096));
    std::vector<std::string> messages = alerts.messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], "MEM_alloc - MEMORY MANAGER NOT INITIALIZED\nrequested: 10\n");
    EXPECT_EQ(messages[1], "MEM_alloc - MEMORY MANAGER NOT INITIALIZED\nrequested: 10\n");
    EXPECT_EQ(messages[2], notablock(block, "", 0));
    EXPECT_EQ(messages[3], "MEM_initsize - DRAMSUB IS NOT SUPPORTED. PASS 0\n");
    EXPECT_EQ(alerts.alerts()[3].file, "cmn/meminit");
    EXPECT_EQ(MEM_largestfree(), again);
    EXPECT_EQ(MEM_totalfree(), again);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
}

TEST(MemHeapLife, AreaGivenByTheCallerStaysTheCallers)
{
    alignas(64) static uint8_t area[8192];
    ScopedAlertRecorder alerts;
    int32_t first = MEM_initadr(area, sizeof area);
    EXPECT_EQ(first, 8192 - 256);
    EXPECT_EQ(MEM_heapbase, static_cast<void*>(area));
    EXPECT_EQ(MEM_initadr(area, sizeof area), first);
    std::vector<std::string> messages = alerts.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "MEM_initadr - MB_RAM CLASS IS ALREADY CREATED.  CALLLED MEM_init TWICE?\n");
    EXPECT_EQ(messages[1], "MEM_initadr - MB_GLOBAL CLASS IS ALREADY CREATED.  CALLLED MEM_init TWICE?\n");
    // Not handed to free(), which would be a fault for a static area.
    MEM_shutdown();
    EXPECT_EQ(MEM_heapbase, nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(MEMCLASS_table[MB_RAM]), area + 16);
    EXPECT_EQ(MEMCLASS_destroy(MB_RAM), 1);
    EXPECT_EQ(MEMCLASS_table[MB_GLOBAL], nullptr);
}

TEST(MemHeapLife, PointerTests)
{
    int32_t local = 0;
    EXPECT_EQ(MEM_validptr(&local, 4, 0), 1);
    EXPECT_EQ(MEM_validptr(&local, 4, 1), 1);
    EXPECT_EQ(MEM_validptr(nullptr, 4, 0), 0);
    EXPECT_EQ(MEM_validptr(nullptr, 0, 0), 1);
    int32_t bytes = 1;
    uint8_t* page = static_cast<uint8_t*>(PAGE_alloc(&bytes));
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(MEM_validptr(page, bytes, 1), 1);
    EXPECT_EQ(MEM_validptr(page - 1, 1, 0), 0);
    EXPECT_EQ(MEM_validptr(page + bytes - 2, 4, 0), 0);
    PAGE_free(page);
}

// ---- The heap checker and the block report.

class MemCheck : public MemHeap {
protected:
    void SetUp() override
    {
        MemHeap::SetUp();
        for (int i = 0; i < 6; i++)
            blocks.push_back(static_cast<uint8_t*>(MEM_alloc(i % 2 ? "named" : nullptr, 20 + i, MB_RAM)));
        MEM_free(blocks[1]);
        MEM_free(blocks[4]);
    }
    // Corrupts one byte, runs the checker, puts the byte back and checks again.
    std::string corrupt(uint8_t* at, uint8_t value)
    {
        uint8_t kept = *at;
        *at = value;
        EXPECT_EQ(MEMCLASS_check(MB_RAM), 0);
        std::string printed = channel.take();
        *at = kept;
        EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
        EXPECT_EQ(channel.take(), "");
        return printed;
    }
    std::string where(const uint8_t* block)
    {
        char text[64];
        snprintf(text, sizeof text, "BLOCK @ 0x%08lx (BASE + %ld)",
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(block)), static_cast<long>(block - base));
        return text;
    }
    MemoryChannel channel;
    std::vector<uint8_t*> blocks;
};

TEST_F(MemCheck, FindsEachKindOfDamage)
{
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
    EXPECT_EQ(channel.take(), "");

    std::string printed = corrupt(blocks[2] + 22, 'X');  // one byte past the contents
    EXPECT_NE(printed.find("MEMCLASS_check - CLASS 0: GUARD WORD OVERWRITTEN. " + where(header(blocks[2]))),
              std::string::npos)
        << printed;
    EXPECT_NE(corrupt(header(blocks[3]) + 12, 0x01).find("PREVIOUS-BLOCK LINK BROKEN. " + where(header(blocks[3]))),
              std::string::npos);
    // A next-block link that leads into the contents of blocks[3].
    uint8_t* link = header(blocks[2]) + 8;
    uint32_t kept = u32(link);
    uint32_t moved = kept + 24;
    memcpy(link, &moved, 4);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 0);
    printed = channel.take();
    memcpy(link, &kept, 4);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
    EXPECT_NE(printed.find("PREVIOUS-BLOCK LINK BROKEN. "), std::string::npos) << printed;
    EXPECT_NE(printed.find("REACHED FROM " + where(header(blocks[2]))), std::string::npos) << printed;
    EXPECT_NE(corrupt(header(blocks[2]) + 11, 0x77).find("NEXT-BLOCK LINK LEADS OUTSIDE THE CLASS OR BACKWARDS. " +
                                                         where(header(blocks[2]))),
              std::string::npos);
    EXPECT_NE(corrupt(header(blocks[1]), 'M').find("FREE BLOCK WITHOUT SIGNATURE 'FB'. " + where(header(blocks[1]))),
              std::string::npos);
    EXPECT_NE(corrupt(header(blocks[1]) + 4, 0x55).find("FREE BLOCK SIZE WRONG"), std::string::npos);
    EXPECT_NE(corrupt(header(blocks[3]), 'Q').find("BLOCK IN USE WITHOUT SIGNATURE 'MB'"), std::string::npos);
    EXPECT_NE(corrupt(header(blocks[3]) + 7, 0x40).find("SIZE DOES NOT FIT THE BLOCK"), std::string::npos);
    EXPECT_NE(corrupt(header(blocks[5]) + 2, 0x0E).find("BLOCK IN USE NAMES ANOTHER CLASS"), std::string::npos);
    // The label of a named block must end before the next header.
    uint8_t* label = blocks[3] + 23 + 16;
    ASSERT_STREQ(reinterpret_cast<char*>(label), "named");
    uint8_t* next = header(blocks[4]);
    std::vector<uint8_t> slack(label + 5, next);
    memset(label + 5, '!', next - label - 5);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 0);
    EXPECT_NE(channel.take().find("LABEL RUNS INTO THE NEXT BLOCK. " + where(header(blocks[3]))), std::string::npos);
    memcpy(label + 5, slack.data(), slack.size());
    // Free-list links: a free block that the list skips, and a list that
    // names a block twice over.
    EXPECT_NE(corrupt(header(blocks[1]) + 16, 0x00).find("NOT IN ITS PLACE ON THE FREE LIST"), std::string::npos);
    EXPECT_NE(corrupt(header(blocks[4]) + 20, 0x00).find("PREVIOUS-FREE LINK BROKEN"), std::string::npos);
    // Bound blocks, their guard words and the list head.
    EXPECT_NE(corrupt(base + 80, 'b').find("GUARD WORD OVERWRITTEN. " + where(base)), std::string::npos);
    EXPECT_NE(corrupt(base + 1, 'X').find("LOW BOUND BLOCK OVERWRITTEN"), std::string::npos);
    uint8_t* top = base + (1 << 20) - 64;
    EXPECT_NE(corrupt(top + 4, 3).find("HIGH BOUND BLOCK OVERWRITTEN"), std::string::npos);
    EXPECT_NE(corrupt(top + 16, 0).find("GUARD WORD OVERWRITTEN. " + where(top)), std::string::npos);
    EXPECT_NE(corrupt(base + 32, 'F').find("FREE-LIST HEAD OVERWRITTEN"), std::string::npos);
}

TEST_F(MemCheck, TwoFreeNeighboursAndAStrayListNode)
{
    // Mark a block in use as free without merging it: it sits beside a
    // free neighbour and is not on the list.
    uint8_t* hdr = header(blocks[2]);
    uint8_t kept[4];
    memcpy(kept, hdr, 4);
    hdr[0] = 'F';
    hdr[3] |= 0x40;
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 0);
    EXPECT_NE(channel.take().find("TWO FREE BLOCKS SIDE BY SIDE. " + where(hdr)), std::string::npos);
    memcpy(hdr, kept, 4);

    // The highest free block's next-free link leads to a block in use.
    uint8_t* last = const_cast<uint8_t*>(previousfree(base, base + 32));
    uint8_t links[4];
    memcpy(links, last + 16, 4);
    uint32_t word = sizeof(void*) == 4 ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(header(blocks[5])))
                                       : static_cast<uint32_t>(header(blocks[5]) - base);
    memcpy(last + 16, &word, 4);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 0);
    EXPECT_NE(channel.take().find("FREE LIST HOLDS A BLOCK THAT IS NOT FREE. " + where(header(blocks[5]))),
              std::string::npos);
    memcpy(last + 16, links, 4);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);

    EXPECT_EQ(MEMCLASS_check(9), 0);
    EXPECT_EQ(channel.take(), "MEMCLASS_check - CLASS 9: NO SUCH CLASS.\n");
}

TEST_F(MemCheck, ReportListsTheBlocksInUse)
{
    static const char owner[] = "tests/memreport";
    ALERTfile = owner;
    ALERTline = 12;
    uint8_t* mine = static_cast<uint8_t*>(MEM_alloc("alpha", 77, MB_RAM));
    ALERTfile = nullptr;
    channel.take();
    EXPECT_EQ(MEMCLASS_report(MB_RAM), 5);
    std::string printed = channel.take();
    char line[128];
    snprintf(line, sizeof line, "  0x%08lx %10d 'alpha' tests/memreport(12)\n",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(mine)), 77);
    EXPECT_NE(printed.find(line), std::string::npos) << printed;
    snprintf(line, sizeof line, "  0x%08lx %10d 'named' ",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(blocks[3])), 23);
    EXPECT_NE(printed.find(line), std::string::npos) << printed;
    snprintf(line, sizeof line, "  0x%08lx %10d '' ?(0)\n",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(blocks[0])), 20);
    EXPECT_NE(printed.find(line), std::string::npos) << printed;
    EXPECT_EQ(printed.find("MEMCLASS_report - CLASS 0 'RAM': BLOCKS IN USE\n"), 0u);
    // 20 + 22 + 23 + 25 + 77 bytes in use; free: two released blocks and the rest.
    EXPECT_NE(printed.find("MEMCLASS_report - CLASS 0: 5 IN USE (167 BYTES), 3 FREE ("), std::string::npos) << printed;
    EXPECT_EQ(MEMCLASS_report(11), -1);

    // A damaged size never sends the label's read outside the block.
    int32_t damaged = INT32_MIN;
    memcpy(header(blocks[3]) + 4, &damaged, 4);
    EXPECT_EQ(MEMCLASS_report(MB_RAM), 5);
    snprintf(line, sizeof line, "  0x%08lx %10d '' -\n",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(blocks[3])), INT32_MIN);
    EXPECT_NE(channel.take().find(line), std::string::npos);
}

// ---- Alerts that end the process (default alert routine: exit code 0).

int answercancel(const char*, const char*, UINT) { return IDCANCEL; }

void defaultalerts()
{
    ALERT_reset();
    PW_setboxhook(answercancel);
}

// The abort box is answered Cancel through the platform's test hook.
class MemDeathTest : public MemHeap {};

TEST_F(MemDeathTest, AlertsEndTheProcess)
{
    EXPECT_EXIT((defaultalerts(), MEM_alloc("neg", -1, MB_RAM)), ::testing::ExitedWithCode(0),
                "MEM_alloc - INVALID SIZE REQUESTED\nrequested 'neg': -1");
    EXPECT_EXIT((defaultalerts(), MEM_alloc("big", 1 << 21, MB_RAM)), ::testing::ExitedWithCode(0),
                "MEM_alloc - OUT OF MEMORY\nrequested 'big': 2097152");
    EXPECT_EXIT((defaultalerts(), MEMCLASS_create(16, "x", nullptr, 0, 8, 64, 16, 0, 0, 0, 0, nullptr)),
                ::testing::ExitedWithCode(0), "MEMCLASS_create - CLASS NUMBER OF 16 IS OUT OF RANGE");
    EXPECT_EXIT((defaultalerts(), MEM_initadr(area.bytes, 1 << 20)), ::testing::ExitedWithCode(0),
                "MEM_initadr - MB_RAM CLASS IS ALREADY CREATED");
    EXPECT_EXIT((defaultalerts(), MEM_initsize(4096, 2)), ::testing::ExitedWithCode(0),
                "MEM_initsize - DRAMSUB IS NOT SUPPORTED");
}

TEST_F(MemDeathTest, DoubleReleaseEndsTheProcess)
{
    void* block = MEM_alloc(nullptr, 40, MB_RAM);
    MEM_alloc(nullptr, 40, MB_RAM);
    ASSERT_EQ(MEM_free(block), 1);
    EXPECT_EXIT((defaultalerts(), MEM_free(block)), ::testing::ExitedWithCode(0),
                "Abort from file \"cmn/memalloc\", line [0-9]+.*\nMEM_free - NOT A MEMBLOCK.  BLOCK @ 0x[0-9a-f]+, "
                "SIGNATURE 'FB' \\(0x4642\\)");
}

TEST(MemLifeDeathTest, AllocationBeforeInitEndsTheProcess)
{
    EXPECT_EXIT((defaultalerts(), MEM_alloc(nullptr, 5, MB_RAM)), ::testing::ExitedWithCode(0),
                "MEM_alloc - MEMORY MANAGER NOT INITIALIZED\nrequested: 5");
}

}  // namespace
