// The memory manager's behaviour through its interface: the choice of free
// block, merging, every alert and what follows it when the alert returns,
// the safe handling of foreign and stale addresses, class management, the
// heap checker and the block report, and the alerts that end the process.
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <future>

#include "memtest.h"
#include "deathstyle.h"
#include "vorl/pagemem.h"
#include "platform/vplatform.h"

using namespace memtest;
using Results = std::vector<int32_t>;

namespace {

std::string format(const char* pattern, const void* address, const char* text = "", long value = 0)
{
    char buffer[256];
    snprintf(buffer, sizeof buffer, pattern, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)), text,
             value);
    return buffer;
}

std::string notablock(const void* address, const char* signature = "", long value = 0)
{
    return format("MEM_free - NOT A MEMBLOCK.  BLOCK @ 0x%08lx, SIGNATURE '%2.2s' (0x%02lx)\n", address, signature,
                  value);
}

// A heap of 1 MiB over an aligned area.
class MemHeap : public ::testing::Test {
protected:
    void SetUp() override
    {
        ALERTfile = nullptr;
        ASSERT_GT(MEM_initadr(area.bytes, 1 << 20), 0);
    }
    Area area{1 << 20};
    uint8_t* base = area.bytes;
};

// Free blocks of 200, 1000, 1000 and 504 bytes, in that address order, kept
// apart by small blocks in use, with nothing else free: which block each
// search takes, and where in it.
TEST_F(MemHeap, SearchesChooseTheirFreeBlock)
{
    std::vector<uint8_t*> freed, fences;
    for (int32_t size : {184, 984, 984, 488}) {
        freed.push_back(header(MEM_alloc(nullptr, size, MB_RAM)));
        fences.push_back(header(MEM_alloc(nullptr, 8, MB_RAM)));
    }
    ASSERT_NE(MEM_alloc(nullptr, MEM_largestfree() - 16, MB_RAM), nullptr);
    ASSERT_EQ(heapstate(), std::make_tuple(0, 0, 1));
    for (uint8_t* block : freed)
        ASSERT_EQ(MEM_free(block + 16), 1);
    const Results sizes{200, 1000, 1000, 504};
    ASSERT_EQ((Results{i32(freed[0] + 4), i32(freed[1] + 4), i32(freed[2] + 4), i32(freed[3] + 4)}), sizes);
    // First fit from either end, and the largest (the first met among
    // equals, even when a smaller one fits first). From the high end the
    // block is carved from the top: e.g. (504 - 120) stays free below it.
    using Row = std::tuple<uint32_t, int32_t, int, int32_t>;  // type, size, block chosen, offset in it
    for (auto [type, size, chosen, offset] :
         std::vector<Row>{{MB_RAM, 100, 0, 0}, {MB_RAM | MB_HIGH, 100, 3, 384}, {MB_RAM | MB_LARGEST, 100, 1, 0},
                          {MB_RAM | MB_LARGEST | MB_HIGH, 100, 2, 880}, {MB_GLOBAL | MB_LARGEST, 10, 1, 0}}) {
        SCOPED_TRACE(type);
        uint8_t* block = header(MEM_alloc(nullptr, size, type));
        ASSERT_EQ(block, freed[chosen] + offset);
        EXPECT_EQ(u16(block + 2) & MB_CLASSMASK, type & MB_CLASSMASK);
        if (offset) {
            EXPECT_EQ(nextblock(base, block), fences[chosen]);
            EXPECT_EQ(unflagged(freed[chosen], 8), "FB" + words({uint32_t(offset - 16)}));
        }
        ASSERT_EQ(MEM_free(block + 16), 1);
        EXPECT_EQ(i32(freed[chosen] + 4), sizes[chosen]);
    }
    // Too big for every free block; a class that does not exist.
    ScopedAlertRecorder alerts;
    EXPECT_EQ(MEM_alloc("big", 1001, MB_RAM), nullptr);
    EXPECT_EQ(MEM_alloc("x", 8, 12), nullptr);
    EXPECT_EQ(MEMCLASS_largestfree(12), 0);
    std::string outofmemory = "MEM_alloc - OUT OF MEMORY\nrequested '";
    ASSERT_EQ(alerts.messages(), (Texts{outofmemory + "big': 1001\navailable: 1000. type 0000\n",
                                        outofmemory + "x': 8\navailable: 0. type 000c\n"}));
    EXPECT_EQ(alerts.alerts()[0].file, "cmn/memalloc");
    // Each taken whole: the free list is empty.
    for (int32_t size : sizes)
        ASSERT_NE(MEM_alloc(nullptr, size - 16, MB_RAM), nullptr);
    EXPECT_EQ(heapstate(), std::make_tuple(0, 0, 1));
}

TEST_F(MemHeap, ReleasesKeepTheListInAddressOrderAndMerge)
{
    std::vector<void*> blocks;
    for (int i = 0; i < 40; i++)
        blocks.push_back(MEM_alloc(nullptr, 16 + 8 * (i % 7), MB_RAM));
    // Every other block, in an order that inserts at both ends and between.
    for (int i : {20, 38, 0, 10, 30, 2, 36, 18, 22, 4, 34, 6, 12, 28, 14, 26, 16, 24, 8, 32})
        ASSERT_EQ(MEM_free(blocks[i]), 1);
    const uint8_t* head = base + 32;
    std::vector<const uint8_t*> list{head};
    for (const uint8_t* node = nextfree(base, head); node != head && list.size() <= 22; node = nextfree(base, node)) {
        EXPECT_EQ(signature(node), "FB");
        EXPECT_EQ(previousfree(base, node), list.back());
        EXPECT_TRUE(list.size() == 1 || list.back() < node);
        list.push_back(node);
    }
    // The head, twenty released and the rest of the heap, in a ring.
    EXPECT_EQ(std::make_tuple(list.size(), previousfree(base, head), MEMCLASS_check(MB_RAM)),
              std::make_tuple(22u, list.back(), 1));
    // Block 1 lies between free blocks: two headers become contents.
    int32_t total = MEM_totalfree() + span(base, blocks[1]) + 32;
    ASSERT_EQ(MEM_free(blocks[1]), 1);
    EXPECT_EQ(std::make_tuple(MEM_totalfree(), nextblock(base, header(blocks[0])), MEMCLASS_check(MB_RAM)),
              std::make_tuple(total, header(blocks[3]), 1));
    // Releasing the last blocks in use merges all of the area back.
    for (int i = 3; i < 40; i += 2)
        ASSERT_EQ(MEM_free(blocks[i]), 1);
    EXPECT_EQ(std::make_tuple(MEM_largestfree(), nextfree(base, head), previousfree(base, head)),
              std::make_tuple(MEM_totalfree(), base + 176, base + 176));
}

// Stale, foreign, interior and bound addresses: each release alerts and
// returns 0, and reads nothing outside the classes. Then what else a
// caller passes in is checked.
TEST_F(MemHeap, MisuseByTheCallerIsRefused)
{
    void* a = MEM_alloc(nullptr, 40, MB_RAM);
    void* b = MEM_alloc(nullptr, 40, MB_RAM);
    uint8_t* block = static_cast<uint8_t*>(MEM_alloc(nullptr, 200, MB_RAM));
    ScopedAlertRecorder alerts;
    // A query, a release, a query and a release of a free block ("FB"),
    // then b, merged into a, whose header was cleared; null is no block.
    EXPECT_EQ((Results{MEM_size(a), MEM_free(a), MEM_size(a), MEM_free(a)}), (Results{40, 1, -1, 0}));
    EXPECT_EQ((Results{MEM_free(b), MEM_free(b), MEM_free(nullptr)}), (Results{1, 0, 1}));
    // Outside every class (a read in front of this buffer would be caught
    // by the address sanitizer).
    char* foreign = static_cast<char*>(malloc(64));
    EXPECT_EQ(MEM_free(foreign), 0);
    std::string foreignmessage = notablock(foreign);
    free(foreign);
    EXPECT_EQ(MEM_free(reinterpret_cast<void*>(8)), 0);
    // A forged header inside a block's contents passes the signature test
    // but is not linked from its neighbours; bound blocks are never released.
    memcpy(block + 32, header(block), 16);
    uint8_t* top = base + (1 << 20) - 48;
    for (uint8_t* notblock : {block + 48, base + 16, top})
        EXPECT_EQ((Results{MEM_size(notblock), MEM_free(notblock)}), (Results{-1, 0}));
    EXPECT_EQ((Results{MEM_size(nullptr), MEM_size(block)}), (Results{-1, 200}));
    ASSERT_EQ(alerts.messages(), (Texts{notablock(a, "FB", 0x4642), notablock(b), foreignmessage,
                                        notablock(reinterpret_cast<void*>(8)), notablock(block + 48, "MB", 0x4D42),
                                        notablock(base + 16, "MB", 0x4D42), notablock(top, "MB", 0x4D42)}));
    EXPECT_EQ(alerts.alerts()[0].file, "cmn/memalloc");
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
    EXPECT_EQ(MEM_free(block), 1);
    // The caller's type cannot set the list bits; a caller file that cannot
    // be read is reported and replaced by the allocator's own.
    alerts.clear();
    block = static_cast<uint8_t*>(MEM_alloc(nullptr, 8, MB_RAM | MB_FREE | MB_BOUND | MB_NAMED | 0x1000u));
    EXPECT_EQ(u16(header(block) + 2), MB_GUARD | MB_WHERE | 0x1000u);
    ALERTfile = reinterpret_cast<const char*>(static_cast<uintptr_t>(0x10));
    ALERTline = 99;
    void* next = MEM_alloc(nullptr, 8, MB_RAM);
    ASSERT_EQ(alerts.messages(), Texts{"MEM_alloc - INVALID CALLER FILE NAME POINTER 10\n"});
    EXPECT_EQ(owner(next), "cmn/memalloc(" + std::to_string(alerts.alerts()[0].line) + ")");
    EXPECT_EQ((Results{MEM_free(next), MEM_free(block), MEMCLASS_check(MB_RAM)}), (Results{1, 1, 1}));
}

TEST_F(MemHeap, InvalidSizesAreRefusedAndTheLockIsReleased)
{
    ScopedAlertRecorder alerts;
    int32_t largest = MEM_largestfree();
    // size + 16 + 16 + 7 past 2^31 - 1 would overflow the rounded size; one
    // byte less does not: it is simply more than there is.
    EXPECT_EQ(MEM_alloc(nullptr, -1, MB_RAM), nullptr);
    EXPECT_EQ(MEM_alloc("huge", INT32_MAX, MB_RAM), nullptr);
    EXPECT_EQ(MEM_alloc(nullptr, INT32_MAX - 38, MB_GLOBAL | MB_HIGH), nullptr);
    EXPECT_EQ(MEM_alloc(nullptr, INT32_MAX - 39, MB_RAM), nullptr);
    std::string invalid = "MEM_alloc - INVALID SIZE REQUESTED\nrequested ";
    std::string available = "\navailable: " + std::to_string(largest) + ". type 00";
    ASSERT_EQ(alerts.messages(), (Texts{invalid + "'(null)': -1" + available + "00 MB_LOW\n",
                                        invalid + "'huge': 2147483647" + available + "00 MB_LOW\n",
                                        invalid + "'(null)': 2147483609" + available + "11 MB_LOW\n",
                                        "MEM_alloc - OUT OF MEMORY\nrequested '(null)': 2147483608" + available +
                                            "00\n"}));
    // Another thread can still take the class's mutex.
    auto other = std::async(std::launch::async, [] { return MEM_free(MEM_alloc(nullptr, 16, MB_RAM)); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(other.get(), 1);
    EXPECT_EQ(MEM_largestfree(), largest);
}

TEST(MemClass, CreateRefusesBadArgumentsAndCutsNames)
{
    ScopedAlertRecorder alerts;
    Area area(4096);
    memset(area.bytes, 0x5A, 4096);
    // With the heap's settings a class needs 264 bytes: 176 below the free
    // block, its header and 8 bytes, and 64 above.
    uint8_t* at = area.bytes;
    // Rows: number, base, size, alignment, first block's alignment, trailer size.
    using Row = std::tuple<int32_t, uint8_t*, int32_t, uint32_t, uint32_t, uint32_t>;
    for (auto [number, start, size, alignment, first, trailer] :
         std::vector<Row>{{16, at, 4096, 8, 64, 16}, {-1, at, 4096, 8, 64, 16}, {6, at, 263, 8, 64, 16},
                          {6, at, 4096, 12, 64, 16}, {6, at, 4096, 8, 0, 16}, {6, at, 4096, 8, 64, 70000},
                          {6, at, -4096, 8, 64, 16}, {6, nullptr, 4096, 8, 64, 16}})
        EXPECT_EQ(MEMCLASS_create(number, "x", start, size, alignment, first, trailer, 1, 1, 1, 1, nullptr), 0) << size;
    EXPECT_EQ(MEM_initadr(nullptr, 4096), 0);
    EXPECT_EQ(MEM_heapbase, nullptr);
    EXPECT_EQ(text(area.bytes, 4096), std::string(4096, 0x5A));
    EXPECT_EQ(std::count(std::begin(MEMCLASS_table), std::end(MEMCLASS_table), nullptr), MEMCLASS_MAX);
    ASSERT_EQ(alerts.messages(), (Texts{"MEMCLASS_create - CLASS NUMBER OF 16 IS OUT OF RANGE. SHOULD BE 0..15\n",
                                        "MEMCLASS_create - CLASS NUMBER OF -1 IS OUT OF RANGE. SHOULD BE 0..15\n"}));
    EXPECT_EQ(alerts.alerts()[0].file, "cmn/memclass");
    EXPECT_EQ(MEMCLASS_create(6, "averylongname", area.bytes, 264, 8, 64, 16, 1, 1, 1, 1, nullptr), 8);
    EXPECT_EQ((Results{MEMCLASS_largestfree(6), MEMCLASS_check(6)}), (Results{8, 1}));
    EXPECT_EQ(text(area.bytes + 16, 8) + reinterpret_cast<char*>(area.bytes + 96),
              std::string("averylo\0averylo LOW", 19));
}

// With an alignment above 64 what a high block would leave below it
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
    ASSERT_TRUE(largest - need > 64 && largest - need < 128);
    uint8_t* block = static_cast<uint8_t*>(MEM_alloc(nullptr, need - 16, 3 | MB_HIGH));
    ASSERT_EQ(header(block), nextblock(base, base));
    EXPECT_EQ((Results{MEMCLASS_largestfree(3), MEMCLASS_check(3), MEM_free(block), MEMCLASS_largestfree(3)}),
              (Results{0, 1, 1, largest}));
    // With more over, the block is carved from the top at a multiple of 128.
    block = static_cast<uint8_t*>(MEM_alloc(nullptr, need - 16 - 256, 3 | MB_HIGH));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ((header(block) - nextblock(base, base)) % 128, 0);
    EXPECT_GT(MEMCLASS_largestfree(3), 0);
    EXPECT_EQ(MEMCLASS_check(3), 1);
}

TEST(MemClass, GetFreeDestroyAndReleaseAll)
{
    Area heap(1 << 16);
    ASSERT_NE(MEM_initadr(heap.bytes, 1 << 16), 0);
    std::deque<Area> areas;
    for (int number = 3; number < 16; number++) {
        int32_t size = number == 7 ? 1 << 16 : 1024;
        areas.emplace_back(size);
        ASSERT_GT(MEMCLASS_create(number, "pool", areas.back().bytes, size, 8, 64, 16, 1, 1, 1, 1, nullptr), 0);
    }
    // Releasing all leaves the bound blocks and the one free block.
    std::vector<void*> blocks;
    for (int i = 0; i < 60; i++)
        blocks.push_back(MEM_alloc(i % 2 ? "odd" : nullptr, 10 + 13 * i, 7 | (i % 3 ? 0 : MB_HIGH)));
    for (int i = 0; i < 60; i += 4)
        ASSERT_EQ(MEM_free(blocks[i]), 1);
    EXPECT_EQ((Results{MEMCLASS_freeall(7), MEMCLASS_largestfree(7), MEMCLASS_check(7), MEMCLASS_freeall(7),
                       MEMCLASS_freeall(2)}),
              (Results{45, (1 << 16) - 256, 1, 0, 0}));
    EXPECT_EQ(text(areas[4].bytes, 2) + reinterpret_cast<char*>(areas[4].bytes + 16), "MBpool");
    ScopedAlertRecorder alerts;
    EXPECT_EQ(MEMCLASS_getfree(), 16);
    ASSERT_EQ(alerts.messages(), Texts{"MEMCLASS_getfree - NO FREE CLASSES.  16 IS MAXIMUM\n"});
    // Only the low 4 bits of the number count.
    EXPECT_EQ((Results{MEMCLASS_destroy(3), MEMCLASS_getfree(), MEMCLASS_destroy(3), MEMCLASS_destroy(9 + 16),
                       MEMCLASS_getfree()}),
              (Results{1, 3, 0, 1, 3}));
    EXPECT_EQ(MEMCLASS_table[9], nullptr);
    EXPECT_EQ(MEMCLASS_init(), 1);
    EXPECT_EQ(std::count(std::begin(MEMCLASS_table), std::end(MEMCLASS_table), nullptr), MEMCLASS_MAX);
}

// A class made in a block of another owns its blocks: the class that the
// block's flags name wins over the one around it. Made once in a heap
// block, and once in a block of class 3, whose trailer has no room for an
// owner and which precedes it in the table.
TEST_F(MemHeap, ClassMadeInABlockOfAnotherOwnsItsBlocks)
{
    Area outerarea(1 << 16);
    ScopedAlertRecorder alerts;
    ASSERT_GT(MEMCLASS_create(3, "outer", outerarea.bytes, 1 << 16, 8, 64, 8, 1, 0, 0, 1, nullptr), 0);
    for (int32_t outer : {MB_RAM, 3}) {
        SCOPED_TRACE(outer);
        uint8_t* area = static_cast<uint8_t*>(MEM_alloc(nullptr, 8192, outer));
        int32_t inner = MEMCLASS_getfree();
        int32_t created = MEMCLASS_create(inner, "inner", area, 8192, 8, 64, 16, 1, 1, 1, 1, nullptr);
        ASSERT_GT(created, 0);
        ALERTfile = "tests/nested";
        ALERTline = 40 + outer;
        void* blocks[3];
        for (int i = 0; i < 3; i++)
            blocks[i] = MEM_alloc("in", 100 + i, inner | (i == 1 ? MB_HIGH : 0));
        ALERTfile = nullptr;
        EXPECT_EQ(owner(blocks[2]), "tests/nested(" + std::to_string(40 + outer) + ")");
        // A stamp keeps its links relative to the inner class's base.
        uint8_t* scratch = static_cast<uint8_t*>(blocks[2]);
        MEM_stamp(scratch, nullptr, 0, 0, inner, area, scratch + 64);
        EXPECT_EQ(text(scratch + 8, 8), words({linkword(area, scratch + 64), linkword(area, area)}));
        EXPECT_EQ((Results{MEM_free(blocks[0]), MEMCLASS_freeall(inner), MEMCLASS_largestfree(inner),
                           MEMCLASS_check(inner), MEMCLASS_destroy(inner), MEM_free(area), MEMCLASS_check(outer)}),
                  (Results{1, 2, created, 1, 1, 1, 1}));
    }
    EXPECT_EQ(alerts.messages(), Texts{});
}

// The heap's free block over an area that malloc placed: first =
// ((B + 64 + 16 + 127) & ~63) - 16, top = B + size - 64.
int32_t heapfree(const void* area, int32_t size)
{
    uintptr_t b = reinterpret_cast<uintptr_t>(area);
    return static_cast<int32_t>(b + size - 64 - (((b + 207) & ~static_cast<uintptr_t>(63)) - 16) - 16);
}

// The heap made by MEM_init goes back at shutdown; an area given by the
// caller stays the caller's (handing a static area to free() would be a fault).
TEST(MemHeapLife, InitShutdownAndInitAgain)
{
    alignas(64) static uint8_t area[8192];
    ScopedAlertRecorder alerts;
    EXPECT_EQ(MEM_alloc(nullptr, 10, MB_RAM), nullptr);
    int32_t free0 = MEM_init();
    ASSERT_NE(MEM_heapbase, nullptr);
    ASSERT_EQ(free0, heapfree(MEM_heapbase, 33554432));
    EXPECT_EQ(heapstate(), std::make_tuple(free0, free0, 1));
    void* block = MEM_alloc("kept", 100, MB_RAM);
    ASSERT_NE(block, nullptr);
    MEM_shutdown();
    EXPECT_EQ(std::make_tuple(MEM_heapbase, MEMCLASS_table[MB_RAM], MEMCLASS_table[MB_GLOBAL]),
              std::make_tuple(nullptr, nullptr, nullptr));
    MEM_shutdown();
    EXPECT_EQ(MEM_alloc(nullptr, 10, MB_RAM), nullptr);
    EXPECT_EQ(MEM_free(block), 0);  // the area has gone back; nothing is read
    EXPECT_EQ(MEM_largestfree(), 0);
    int32_t again = MEM_initsize(4096, 1);
    EXPECT_EQ(again, heapfree(MEM_heapbase, 4096));
    EXPECT_EQ(heapstate(), std::make_tuple(again, again, 1));
    MEM_shutdown();
    EXPECT_EQ(MEM_initadr(area, sizeof area), 8192 - 256);
    EXPECT_EQ(MEM_heapbase, static_cast<void*>(area));
    EXPECT_EQ(MEM_initadr(area, sizeof area), 8192 - 256);
    MEM_shutdown();
    EXPECT_EQ(std::make_tuple(MEM_heapbase, reinterpret_cast<uint8_t*>(MEMCLASS_table[MB_RAM])),
              std::make_tuple(nullptr, area + 16));
    EXPECT_EQ(MEMCLASS_destroy(MB_RAM), 1);
    EXPECT_EQ(MEMCLASS_table[MB_GLOBAL], nullptr);
    const char* uninitialised = "MEM_alloc - MEMORY MANAGER NOT INITIALIZED\nrequested: 10\n";
    const char* twice = " CLASS IS ALREADY CREATED.  CALLLED MEM_init TWICE?\n";
    ASSERT_EQ(alerts.messages(), (Texts{uninitialised, uninitialised, notablock(block),
                                        "MEM_initsize - DRAMSUB IS NOT SUPPORTED. PASS 0\n",
                                        std::string("MEM_initadr - MB_RAM") + twice,
                                        std::string("MEM_initadr - MB_GLOBAL") + twice}));
    EXPECT_EQ(alerts.alerts()[3].file, "cmn/meminit");
}

TEST(MemHeapLife, PointerTests)
{
    int32_t local = 0;
    int32_t bytes = 1;
    uint8_t* page = static_cast<uint8_t*>(PAGE_alloc(&bytes));
    ASSERT_NE(page, nullptr);
    using Row = std::tuple<const void*, int32_t, int32_t, int32_t>;  // address, length, write, valid
    for (auto [address, length, write, valid] :
         std::vector<Row>{{&local, 4, 0, 1}, {&local, 4, 1, 1}, {nullptr, 4, 0, 0}, {nullptr, 0, 0, 1},
                          {page, bytes, 1, 1}, {page - 1, 1, 0, 0}, {page + bytes - 2, 4, 0, 0}})
        EXPECT_EQ(MEM_validptr(address, length, write), valid) << address << " " << length;
    PAGE_free(page);
}

// ---- The heap checker and the block report.

class MemCheck : public MemHeap {
protected:
    void SetUp() override
    {
        MemHeap::SetUp();
        for (int i = 0; i < 6; i++)
            h.push_back(header(MEM_alloc(i % 2 ? "named" : nullptr, 20 + i, MB_RAM)));
        MEM_free(h[1] + 16);
        MEM_free(h[4] + 16);
    }
    std::string where(const uint8_t* block)
    {
        return format("BLOCK @ 0x%08lx%s (BASE + %ld)", block, "", static_cast<long>(block - base));
    }
    MemoryChannel channel;
    std::vector<uint8_t*> h;  // the headers of six blocks: 1 and 4 released, 1 and 3 named
};

// Each kind of damage: the bytes written over the class, and what the
// checker prints. Each is undone, and the checker passes again.
TEST_F(MemCheck, FindsEachKindOfDamage)
{
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
    EXPECT_EQ(channel.take(), "");
    uint8_t* label = h[3] + 16 + 23 + 16;  // must end before the next header
    ASSERT_STREQ(reinterpret_cast<char*>(label), "named");
    uint8_t* top = base + (1 << 20) - 64;
    uint8_t* last = const_cast<uint8_t*>(previousfree(base, base + 32));
    std::string freed = "F" + text(h[2] + 1, 2) + std::string(1, static_cast<char>(h[2][3] | 0x40));
    std::string zero(1, '\0');
    using Row = std::tuple<uint8_t*, std::string, std::string>;  // where, bytes written, printed
    for (auto [at, bytes, printed] : std::vector<Row>{
             {h[2] + 16 + 22, "X", "MEMCLASS_check - CLASS 0: GUARD WORD OVERWRITTEN. " + where(h[2])},
             {h[3] + 12, "\x01", "PREVIOUS-BLOCK LINK BROKEN. " + where(h[3])},
             // A next-block link that leads into the contents of block 3.
             {h[2] + 8, words({u32(h[2] + 8) + 24}), "PREVIOUS-BLOCK LINK BROKEN. "},
             {h[2] + 8, words({u32(h[2] + 8) + 24}), "REACHED FROM " + where(h[2])},
             {h[2] + 11, "\x77", "NEXT-BLOCK LINK LEADS OUTSIDE THE CLASS OR BACKWARDS. " + where(h[2])},
             {h[1], "M", "FREE BLOCK WITHOUT SIGNATURE 'FB'. " + where(h[1])},
             {h[1] + 4, "\x55", "FREE BLOCK SIZE WRONG"},
             {h[3], "Q", "BLOCK IN USE WITHOUT SIGNATURE 'MB'"},
             {h[3] + 7, "\x40", "SIZE DOES NOT FIT THE BLOCK"},
             {h[5] + 2, "\x0E", "BLOCK IN USE NAMES ANOTHER CLASS"},
             {label + 5, std::string(h[4] - label - 5, '!'), "LABEL RUNS INTO THE NEXT BLOCK. " + where(h[3])},
             // Free-list links: a free block that the list skips, a list that
             // names a block twice over, and one that holds a block in use.
             {h[1] + 16, zero, "NOT IN ITS PLACE ON THE FREE LIST"},
             {h[4] + 20, zero, "PREVIOUS-FREE LINK BROKEN"},
             {last + 16, words({linkword(base, h[5])}), "FREE LIST HOLDS A BLOCK THAT IS NOT FREE. " + where(h[5])},
             // A block in use marked free without merging: beside a free neighbour, off the list.
             {h[2], freed, "TWO FREE BLOCKS SIDE BY SIDE. " + where(h[2])},
             // Bound blocks, their guard words and the list head.
             {base + 80, "b", "GUARD WORD OVERWRITTEN. " + where(base)},
             {base + 1, "X", "LOW BOUND BLOCK OVERWRITTEN"},
             {top + 4, "\x03", "HIGH BOUND BLOCK OVERWRITTEN"},
             {top + 16, zero, "GUARD WORD OVERWRITTEN. " + where(top)},
             {base + 32, "F", "FREE-LIST HEAD OVERWRITTEN"}}) {
        SCOPED_TRACE(printed);
        std::string kept = text(at, bytes.size());
        memcpy(at, bytes.data(), bytes.size());
        EXPECT_EQ(MEMCLASS_check(MB_RAM), 0);
        EXPECT_NE(channel.take().find(printed), std::string::npos);
        memcpy(at, kept.data(), kept.size());
        EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
        EXPECT_EQ(channel.take(), "");
    }
    EXPECT_EQ(MEMCLASS_check(9), 0);
    EXPECT_EQ(channel.take(), "MEMCLASS_check - CLASS 9: NO SUCH CLASS.\n");
}

TEST_F(MemCheck, ReportListsTheBlocksInUse)
{
    ALERTfile = "tests/memreport";
    ALERTline = 12;
    uint8_t* mine = static_cast<uint8_t*>(MEM_alloc("alpha", 77, MB_RAM));
    ALERTfile = nullptr;
    channel.take();
    EXPECT_EQ(MEMCLASS_report(MB_RAM), 5);
    std::string printed = channel.take();
    EXPECT_EQ(printed.find("MEMCLASS_report - CLASS 0 'RAM': BLOCKS IN USE\n"), 0u);
    // 20 + 22 + 23 + 25 + 77 bytes in use; free: two released blocks and the rest.
    for (const std::string& line : {format("  0x%08lx%s %10ld 'alpha' tests/memreport(12)\n", mine, "", 77),
                                    format("  0x%08lx%s %10ld 'named' ", h[3] + 16, "", 23),
                                    format("  0x%08lx%s %10ld '' ?(0)\n", h[0] + 16, "", 20),
                                    std::string("MEMCLASS_report - CLASS 0: 5 IN USE (167 BYTES), 3 FREE (")})
        EXPECT_NE(printed.find(line), std::string::npos) << line << printed;
    EXPECT_EQ(MEMCLASS_report(11), -1);
    // A damaged size never sends the label's read outside the block.
    memcpy(h[3] + 4, words({0x80000000u}).data(), 4);
    EXPECT_EQ(MEMCLASS_report(MB_RAM), 5);
    EXPECT_NE(channel.take().find(format("  0x%08lx%s %10ld '' -\n", h[3] + 16, "", INT32_MIN)), std::string::npos);
}

// ---- Alerts that end the process (default alert routine: exit code 0).

int answercancel(const char*, const char*, UINT) { return IDCANCEL; }

// The abort box is answered Cancel through the platform's test hook.
void defaultalerts()
{
    ALERT_reset();
    PW_setboxhook(answercancel);
}

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
