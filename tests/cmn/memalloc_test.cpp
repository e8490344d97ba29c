// The memory manager's behaviour through its interface: every alert and what
// follows it when the alert returns, foreign and stale addresses, class
// management, the heap checker and the block report, and the alerts that end
// the process.
#include <stdio.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <future>

#include "memtest.h"
#include "deathstyle.h"
#include "vorl/pagemem.h"
#include "vorl/print.h"
#include "platform/vplatform.h"

using namespace memtest;

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

// Stale, foreign, interior and bound addresses: each release alerts and
// returns 0, and reads nothing outside the classes. Then sizes, types and
// caller files that cannot be used.
TEST_F(MemHeap, MisuseByTheCallerIsRefused)
{
    void* a = MEM_alloc(nullptr, 40, MB_RAM);
    void* b = MEM_alloc(nullptr, 40, MB_RAM);
    uint8_t* block = static_cast<uint8_t*>(MEM_alloc(nullptr, 200, MB_RAM));
    memcpy(block + 32, header(block), 16);  // forged headers: one that its neighbours do not link to,
    memcpy(block + 96, header(block), 16);  // and one whose next-block link leads backwards
    memset(block + 104, 0, 4);
    std::vector<char> foreign(64);          // a read in front of it would be caught by the address sanitizer
    void* low = reinterpret_cast<void*>(8);
    ScopedAlertRecorder alerts;
    // a twice (then "FB"), b twice (merged into a: its header was cleared), null, and outside every class.
    EXPECT_EQ((Results{MEM_size(a), MEM_free(a), MEM_size(a), MEM_free(a), MEM_free(b), MEM_free(b), MEM_free(nullptr),
                       MEM_free(foreign.data()), MEM_free(low), MEM_size(nullptr), MEM_size(block)}),
              (Results{40, 1, -1, 0, 1, 0, 1, 0, 0, -1, 200}));
    for (uint8_t* notblock : {block + 48, block + 112, base + 16, top + 16})
        EXPECT_EQ((Results{MEM_size(notblock), MEM_free(notblock)}), (Results{-1, 0}));
    ASSERT_EQ(alerts.messages(), (Texts{notablock(a, "FB", 0x4642), notablock(b), notablock(foreign.data()),
                                        notablock(low), notablock(block + 48, "MB", 0x4D42),
                                        notablock(block + 112, "MB", 0x4D42), notablock(base + 16, "MB", 0x4D42),
                                        notablock(top + 16, "MB", 0x4D42)}));
    EXPECT_EQ(std::make_tuple(alerts.alerts()[0].file, MEMCLASS_check(MB_RAM)), std::make_tuple("cmn/memalloc", 1));
    // size + 16 + 16 + 7 past 2^31 - 1 would overflow the rounded size; one byte less is simply more than there is.
    alerts.clear();
    int32_t largest = MEM_largestfree();
    EXPECT_EQ((std::vector<void*>{MEM_alloc(nullptr, -1, MB_RAM), MEM_alloc("huge", INT32_MAX, MB_RAM),
                                  MEM_alloc(nullptr, INT32_MAX - 38, MB_GLOBAL | MB_HIGH),
                                  MEM_alloc(nullptr, INT32_MAX - 39, MB_RAM)}),
              std::vector<void*>(4, nullptr));
    std::string invalid = "MEM_alloc - INVALID SIZE REQUESTED\nrequested ";
    std::string available = "\navailable: " + std::to_string(largest) + ". type 00";
    EXPECT_EQ(alerts.messages(), (Texts{invalid + "'(null)': -1" + available + "00 MB_LOW\n",
                                        invalid + "'huge': 2147483647" + available + "00 MB_LOW\n",
                                        invalid + "'(null)': 2147483609" + available + "11 MB_LOW\n",
                                        "MEM_alloc - OUT OF MEMORY\nrequested '(null)': 2147483608" + available +
                                            "00\n"}));
    // The caller's type cannot set the list bits; a caller file that cannot
    // be read is reported and replaced by the allocator's own.
    alerts.clear();
    EXPECT_EQ(MEM_free(block), 1);
    block = static_cast<uint8_t*>(MEM_alloc(nullptr, 8, MB_RAM | MB_FREE | MB_BOUND | MB_NAMED | 0x1000u));
    EXPECT_EQ(u32(header(block) + 2) & 0xFFFF, MB_GUARD | MB_WHERE | 0x1000u);
    ALERTfile = reinterpret_cast<const char*>(static_cast<uintptr_t>(0x10));
    void* next = MEM_alloc(nullptr, 8, MB_RAM);
    ASSERT_EQ(alerts.messages(), Texts{"MEM_alloc - INVALID CALLER FILE NAME POINTER 10\n"});
    EXPECT_EQ(owner(next), "cmn/memalloc(" + std::to_string(alerts.alerts()[0].line) + ")");
    EXPECT_EQ((Results{MEM_free(next), MEM_free(block)}), (Results{1, 1}));
    // Another thread can still take the class's mutex.
    auto other = std::async(std::launch::async, [] { return MEM_free(MEM_alloc(nullptr, 16, MB_RAM)); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(other.get(), 1);
    EXPECT_EQ(heapstate(), std::make_tuple(HEAP - 256, HEAP - 256, 1));
}

TEST(MemClass, CreateRefusesBadArgumentsAndCutsNames)
{
    ScopedAlertRecorder alerts;
    Area area(4096);
    memset(area.bytes, 0x5A, 4096);
    // With the heap's settings a class needs 264 bytes: 176 below the free
    // block, its header and 8 bytes, and 64 above.
    uint8_t* at = area.bytes;
    using Row = std::tuple<int32_t, uint8_t*, int32_t, uint32_t, uint32_t, uint32_t>;  // number, base, size,
    for (auto [number, start, size, alignment, first, trailer] :  // alignments of blocks and first block, trailer
         std::vector<Row>{{16, at, 4096, 8, 64, 16}, {-1, at, 4096, 8, 64, 16}, {6, at, 263, 8, 64, 16},
                          {6, at, 4096, 12, 64, 16}, {6, at, 4096, 8, 0, 16}, {6, at, 4096, 8, 64, 70000},
                          {6, at, -4096, 8, 64, 16}, {6, nullptr, 4096, 8, 64, 16}})
        EXPECT_EQ(MEMCLASS_create(number, "x", start, size, alignment, first, trailer, 1, 1, 1, 1, nullptr), 0) << size;
    EXPECT_EQ(MEM_initadr(nullptr, 4096), 0);
    EXPECT_EQ(text(area.bytes, 4096), std::string(4096, 0x5A));
    EXPECT_EQ(std::count(std::begin(MEMCLASS_table), std::end(MEMCLASS_table), nullptr), MEMCLASS_MAX);
    ASSERT_EQ(alerts.messages(), (Texts{"MEMCLASS_create - CLASS NUMBER OF 16 IS OUT OF RANGE. SHOULD BE 0..15\n",
                                        "MEMCLASS_create - CLASS NUMBER OF -1 IS OUT OF RANGE. SHOULD BE 0..15\n"}));
    EXPECT_EQ(alerts.alerts()[0].file, "cmn/memclass");
    EXPECT_EQ((Results{MEMCLASS_create(6, "averylongname", at, 264, 8, 64, 16, 1, 1, 1, 1, nullptr),
                       MEMCLASS_largestfree(6), MEMCLASS_check(6)}),
              (Results{8, 8, 1}));
    EXPECT_EQ(text(at + 16, 8) + reinterpret_cast<char*>(at + 96), std::string("averylo\0averylo LOW", 19));
}

// With an alignment above 64 what a high block would leave below it can
// round down to nothing; the caller then gets the whole free block.
TEST(MemClass, HighSplitNeverLeavesALessThanWholeFreeBlock)
{
    Area heap(4096), area(8192 + 64);
    ASSERT_NE(MEM_initadr(heap.bytes, 4096), 0);
    uint8_t* base = area.bytes + reinterpret_cast<uintptr_t>(area.bytes) % 128;  // a multiple of 128
    int32_t largest = MEMCLASS_create(3, "wide", base, 8192, 128, 128, 16, 1, 0, 0, 1, nullptr);
    ASSERT_EQ(largest, 8192 - 64 - 240 - 16);
    // need + 16 is a multiple of 128 and leaves between 65 and 127 bytes over.
    int32_t need = ((largest - 65 + 16) & ~127) - 16;
    uint8_t* block = static_cast<uint8_t*>(MEM_alloc(nullptr, need - 16, 3 | MB_HIGH));
    ASSERT_EQ(header(block), link(base, base, NEXT));
    EXPECT_EQ((Results{MEMCLASS_largestfree(3), MEMCLASS_check(3), MEM_free(block), MEMCLASS_largestfree(3)}),
              (Results{0, 1, 1, largest}));
    // With more over, the block is carved from the top at a multiple of 128.
    block = static_cast<uint8_t*>(MEM_alloc(nullptr, need - 16 - 256, 3 | MB_HIGH));
    EXPECT_EQ((header(block) - link(base, base, NEXT)) % 128, 0);
    EXPECT_EQ((Results{MEMCLASS_largestfree(3) > 0, MEMCLASS_check(3)}), (Results{1, 1}));
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
    ScopedAlertRecorder alerts;
    // Only the low 4 bits of the number count.
    EXPECT_EQ((Results{MEMCLASS_freeall(7), MEMCLASS_largestfree(7), MEMCLASS_check(7), MEMCLASS_freeall(7),
                       MEMCLASS_freeall(2), MEMCLASS_getfree(), MEMCLASS_destroy(3), MEMCLASS_getfree(),
                       MEMCLASS_destroy(3), MEMCLASS_destroy(9 + 16), MEMCLASS_getfree()}),
              (Results{45, (1 << 16) - 256, 1, 0, 0, 16, 1, 3, 0, 1, 3}));
    ASSERT_EQ(alerts.messages(), Texts{"MEMCLASS_getfree - NO FREE CLASSES.  16 IS MAXIMUM\n"});
    EXPECT_EQ((std::tuple{MEMCLASS_table[9], MEMCLASS_init()}), std::make_tuple(nullptr, 1));
    EXPECT_EQ(std::count(std::begin(MEMCLASS_table), std::end(MEMCLASS_table), nullptr), MEMCLASS_MAX);
}

// A class made in a block of another owns its blocks: the class that the
// block's flags name wins over the one around it. Made once in a heap block,
// and once in a block of class 3, whose trailer has no room for an owner and
// which precedes it in the table.
TEST_F(MemHeap, ClassMadeInABlockOfAnotherOwnsItsBlocks)
{
    Area outerarea(1 << 16);
    ScopedAlertRecorder alerts;
    ASSERT_GT(MEMCLASS_create(3, "outer", outerarea.bytes, 1 << 16, 8, 64, 8, 1, 0, 0, 1, nullptr), 0);
    for (int32_t outer : {MB_RAM, 3}) {
        uint8_t* area = static_cast<uint8_t*>(MEM_alloc(nullptr, 8192, outer));
        int32_t inner = MEMCLASS_getfree();
        int32_t created = MEMCLASS_create(inner, "inner", area, 8192, 8, 64, 16, 1, 1, 1, 1, nullptr);
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
                  (Results{1, 2, created, 1, 1, 1, 1}))
            << outer;
    }
    EXPECT_EQ(alerts.messages(), Texts{});
}

// The heap made by MEM_init goes back at shutdown; an area given by the
// caller stays the caller's (handing a static area to free() would be a fault).
TEST(MemHeapLife, InitShutdownAndInitAgain)
{
    alignas(64) static uint8_t area[8192];
    ScopedAlertRecorder alerts;
    EXPECT_EQ(MEM_alloc(nullptr, 10, MB_RAM), nullptr);
    ASSERT_GE(MEM_init(), MEM_HEAPSIZE - 320);  // less the bound blocks and the first block's alignment
    void* block = MEM_alloc("kept", 100, MB_RAM);
    MEM_shutdown();
    EXPECT_EQ(std::make_tuple(MEM_heapbase, MEMCLASS_table[MB_RAM], MEMCLASS_table[MB_GLOBAL]),
              std::make_tuple(nullptr, nullptr, nullptr));
    MEM_shutdown();
    EXPECT_EQ((Results{MEM_free(block), MEM_largestfree(), MEM_totalfree()}), (Results{0, 0, 0}));  // nothing is read
    int32_t again = MEM_initsize(4096, 1);
    EXPECT_EQ(heapstate(), std::make_tuple(again, again, 1));
    EXPECT_GE(again, 4096 - 320);
    MEM_shutdown();
    EXPECT_EQ((Results{MEM_initadr(area, sizeof area), MEM_initadr(area, sizeof area)}), (Results{8192 - 256, 8192 - 256}));
    MEM_shutdown();
    EXPECT_EQ(std::make_tuple(MEM_heapbase, reinterpret_cast<uint8_t*>(MEMCLASS_table[MB_RAM])),
              std::make_tuple(nullptr, area + 16));
    EXPECT_EQ((std::tuple{MEMCLASS_destroy(MB_RAM), MEMCLASS_table[MB_GLOBAL]}), std::make_tuple(1, nullptr));
    const std::string twice = " CLASS IS ALREADY CREATED.  CALLLED MEM_init TWICE?\n";
    ASSERT_EQ(alerts.messages(), (Texts{"MEM_alloc - MEMORY MANAGER NOT INITIALIZED\nrequested: 10\n", notablock(block),
                                        "MEM_initsize - DRAMSUB IS NOT SUPPORTED. PASS 0\n",
                                        "MEM_initadr - MB_RAM" + twice, "MEM_initadr - MB_GLOBAL" + twice}));
    EXPECT_EQ(alerts.alerts()[2].file, "cmn/meminit");
}

// Big-endian writes of n bytes (never more than four) over 0x11s and reads
// back; the pointer test.
TEST(MemHelpers, BigEndianBytesAndPointerTest)
{
    using Row = std::tuple<uint32_t, int32_t, std::string>;  // value, n, the first five bytes after
    for (auto [value, n, bytes] :
         std::vector<Row>{{0x00ABCDEFu, 3, "\xAB\xCD\xEF\x11\x11"}, {0x01020304u, 6, "\x01\x02\x03\x04\x11"},
                          {0xFFu, 0, std::string(5, 0x11)}, {0xFFu, -2, std::string(5, 0x11)}}) {
        uint8_t buffer[8];
        memset(buffer, 0x11, sizeof buffer);
        EXPECT_EQ(ENDIAN_putbig(buffer, value, n), buffer + std::clamp(n, 0, 4));
        EXPECT_EQ(std::make_tuple(text(buffer, 5), ENDIAN_getbig(buffer, n)), std::make_tuple(bytes, n > 0 ? value : 0));
    }
    int32_t local = 0, bytes = 1;
    uint8_t* page = static_cast<uint8_t*>(PAGE_alloc(&bytes));
    using Pointer = std::tuple<const void*, int32_t, int32_t, int32_t>;  // address, length, write, valid
    for (auto [address, length, write, valid] :
         std::vector<Pointer>{{&local, 4, 1, 1}, {nullptr, 4, 0, 0}, {nullptr, 0, 0, 1}, {page, bytes, 1, 1},
                              {page - 1, 1, 0, 0}, {page + bytes - 2, 4, 0, 0}, {&local, -1, 0, 0}})
        EXPECT_EQ(MEM_validptr(address, length, write), valid) << address << " " << length;
    PAGE_free(page);
}

// The heap checker and the block report, over six blocks: 1 and 4 released,
// 1 and 3 named; what they print on the "memory" channel is kept.
class MemCheck : public MemHeap {
protected:
    void SetUp() override
    {
        MemHeap::SetUp();
        for (int i = 0; i < 6; i++)
            h.push_back(header(MEM_alloc(i % 2 ? "named" : nullptr, 20 + i, MB_RAM)));
        MEM_free(h[1] + 16);
        MEM_free(h[4] + 16);
        PRINT_setdevice(6, "memtest", [](int32_t channel, const char* line) -> int32_t {
            printed += channel == PRINT_MEMORY ? line : "";
            return 1;
        });
        PRINT_enabledevice(6, 1);
        PRINT_enabledevice(PRINT_DEVCONSOLE, 0);
        PRINT_enablechannel(PRINT_MEMORY, 1);
    }
    void TearDown() override
    {
        PRINT_enablechannel(PRINT_MEMORY, 0);
        PRINT_enabledevice(6, 0);
        PRINT_enabledevice(PRINT_DEVCONSOLE, 1);
    }
    std::string where(const uint8_t* block) { return format("BLOCK @ 0x%08lx%s (BASE + %ld)", block, "", block - base); }
    static std::string take() { return std::exchange(printed, std::string()); }
    static inline std::string printed;
    std::vector<uint8_t*> h;
};

// Each kind of damage: the bytes written over the class, and what the
// checker prints. Each is undone, and the checker passes again.
TEST_F(MemCheck, FindsEachKindOfDamage)
{
    uint8_t* label = h[3] + 16 + 23 + 16;  // must end before the next header
    ASSERT_STREQ(reinterpret_cast<char*>(label), "named");
    uint8_t* last = const_cast<uint8_t*>(link(base, base + 32, PREVIOUSFREE));
    std::string freed = "F" + text(h[2] + 1, 2) + std::string(1, static_cast<char>(h[2][3] | 0x40));
    std::string zero(1, '\0');
    using Row = std::tuple<uint8_t*, std::string, std::string>;  // where, bytes written, printed
    for (auto [at, bytes, printed] : std::vector<Row>{
             {h[2] + 16 + 22, "X", "MEMCLASS_check - CLASS 0: GUARD WORD OVERWRITTEN. " + where(h[2])},
             {h[3] + 12, "\x01", "PREVIOUS-BLOCK LINK BROKEN. " + where(h[3])},
             {h[2] + 8, words({u32(h[2] + 8) + 24}),
              "PREVIOUS-BLOCK LINK BROKEN. " + where(h[3] + 24) + "\nMEMCLASS_check - CLASS 0: REACHED FROM " + where(h[2])},
             {h[2] + 11, "\x77", "NEXT-BLOCK LINK LEADS OUTSIDE THE CLASS OR BACKWARDS. " + where(h[2])},
             {h[1], "M", "FREE BLOCK WITHOUT SIGNATURE 'FB'. " + where(h[1])},
             {h[1] + 4, "\x55", "FREE BLOCK SIZE WRONG"},
             {h[3], "Q", "BLOCK IN USE WITHOUT SIGNATURE 'MB'"},
             {h[3] + 7, "\x40", "SIZE DOES NOT FIT THE BLOCK"},
             {h[5] + 2, "\x0E", "BLOCK IN USE NAMES ANOTHER CLASS"},
             {label + 5, std::string(h[4] - label - 5, '!'), "LABEL RUNS INTO THE NEXT BLOCK. " + where(h[3])},
             // A free block that the list skips, a list naming a block twice, and one holding a block in use.
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
        std::string kept = text(at, bytes.size());
        memcpy(at, bytes.data(), bytes.size());
        EXPECT_EQ(MEMCLASS_check(MB_RAM), 0);
        EXPECT_NE(take().find(printed), std::string::npos) << printed;
        memcpy(at, kept.data(), kept.size());
        EXPECT_EQ((std::tuple{MEMCLASS_check(MB_RAM), take()}), std::make_tuple(1, ""));
    }
    EXPECT_EQ((std::tuple{MEMCLASS_check(9), take()}), std::make_tuple(0, "MEMCLASS_check - CLASS 9: NO SUCH CLASS.\n"));
}

TEST_F(MemCheck, ReportListsTheBlocksInUse)
{
    ALERTfile = "tests/memreport";
    ALERTline = 12;
    uint8_t* mine = static_cast<uint8_t*>(MEM_alloc("alpha", 77, MB_RAM));
    ALERTfile = nullptr;
    EXPECT_EQ(MEMCLASS_report(MB_RAM), 5);
    std::string printed = take();
    EXPECT_EQ(printed.find("MEMCLASS_report - CLASS 0 'RAM': BLOCKS IN USE\n"), 0u);
    // 20 + 22 + 23 + 25 + 77 bytes in use; free: two released blocks and the rest.
    for (const std::string& line : {format("  0x%08lx%s %10ld 'alpha' tests/memreport(12)\n", mine, "", 77),
                                    format("  0x%08lx%s %10ld 'named' ", h[3] + 16, "", 23),
                                    format("  0x%08lx%s %10ld '' ?(0)\n", h[0] + 16, "", 20),
                                    std::string("MEMCLASS_report - CLASS 0: 5 IN USE (167 BYTES), 3 FREE (")})
        EXPECT_NE(printed.find(line), std::string::npos) << line << printed;
    // No such class; a damaged size never sends the label's read outside the block.
    memcpy(h[3] + 4, words({0x80000000u}).data(), 4);
    EXPECT_EQ((Results{MEMCLASS_report(11), MEMCLASS_report(MB_RAM)}), (Results{-1, 5}));
    EXPECT_NE(take().find(format("  0x%08lx%s %10ld '' -\n", h[3] + 16, "", INT32_MIN)), std::string::npos);
}

// Alerts that end the process: the default alert routine, with the abort box
// answered Cancel through the platform's test hook (exit code 0).
class MemDeathTest : public MemHeap {};
TEST_F(MemDeathTest, AlertsEndTheProcess)
{
    void* block = MEM_alloc(nullptr, 40, MB_RAM);
    MEM_alloc(nullptr, 40, MB_RAM);
    ASSERT_EQ(MEM_free(block), 1);
    using Row = std::tuple<std::function<void()>, const char*>;  // call, message
    for (auto [call, message] : std::vector<Row>{
             {[] { MEM_alloc("neg", -1, MB_RAM); }, "MEM_alloc - INVALID SIZE REQUESTED\nrequested 'neg': -1"},
             {[] { MEM_alloc("big", 1 << 21, MB_RAM); }, "MEM_alloc - OUT OF MEMORY\nrequested 'big': 2097152"},
             {[] { MEMCLASS_create(16, "x", nullptr, 0, 8, 64, 16, 0, 0, 0, 0, nullptr); },
              "MEMCLASS_create - CLASS NUMBER OF 16 IS OUT OF RANGE"},
             {[this] { MEM_initadr(base, HEAP); }, "MEM_initadr - MB_RAM CLASS IS ALREADY CREATED"},
             {[] { MEM_initsize(4096, 2); }, "MEM_initsize - DRAMSUB IS NOT SUPPORTED"},
             {[block] { MEM_free(block); }, "Abort from file \"cmn/memalloc\", line [0-9]+.*\nMEM_free - NOT A MEMBLOCK.  "
                                            "BLOCK @ 0x[0-9a-f]+, SIGNATURE 'FB' \\(0x4642\\)"},
             {[] { MEM_shutdown(), MEM_alloc(nullptr, 5, MB_RAM); },
              "MEM_alloc - MEMORY MANAGER NOT INITIALIZED\nrequested: 5"}})
        EXPECT_EXIT((ALERT_reset(), PW_setboxhook([](const char*, const char*, UINT) { return IDCANCEL; }), call()),
                    ::testing::ExitedWithCode(0), message);
}

}  // namespace
