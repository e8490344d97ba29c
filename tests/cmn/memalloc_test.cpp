// The memory manager through its interface: refused calls, classes, the checker, the report, fatal alerts.
#include <stdio.h>

#include <algorithm>
#include <functional>
#include <future>

#include "memtest.h"
#include "deathstyle.h"
#include "vorl/print.h"
#include "platform/vplatform.h"

using namespace memtest;

namespace {

std::string format(const char* pattern, const void* address, const char* text = "", long value = 0)
{
    char buffer[256];
    snprintf(buffer, sizeof buffer, pattern, static_cast<unsigned long>(uintptr_t(address)), text, value);
    return buffer;
}
std::string notablock(const void* address, const char* signature = "")
{
    long value = signature[0] ? signature[0] << 8 | signature[1] : 0;
    return format("MEM_free - NOT A MEMBLOCK.  BLOCK @ 0x%08lx, SIGNATURE '%2.2s' (0x%02lx)\n", address, signature, value);
}

// Each refused call alerts, returns, reads nothing outside the classes and leaves the mutex free.
TEST_F(MemHeap, MisuseByTheCallerIsRefused)
{
    void *a = MEM_alloc(nullptr, 40, MB_RAM), *b = MEM_alloc(nullptr, 40, MB_RAM);
    uint8_t* block = static_cast<uint8_t*>(MEM_alloc(nullptr, 200, MB_RAM));
    memcpy(block + 32, header(block), 16);  // forged headers: one that its neighbours do not link to,
    memcpy(block + 96, header(block), 16);  // and one whose next-block link leads backwards
    memset(block + 104, 0, 4);
    std::vector<char> foreign(64);  // a read in front of it would be caught by the address sanitizer
    ScopedAlertRecorder alerts;
    // a twice (then "FB"), b twice (merged into a: its header was cleared), null, and outside every class.
    EXPECT_EQ((Results{MEM_size(a), MEM_free(a), MEM_size(a), MEM_free(a), MEM_free(b), MEM_free(b), MEM_free(nullptr),
                       MEM_free(foreign.data()), MEM_size(nullptr), MEM_size(block)}),
              (Results{40, 1, -1, 0, 1, 0, 1, 0, -1, 200}));
    for (uint8_t* notblock : {block + 48, block + 112, base + 16, top + 16})
        EXPECT_EQ((Results{MEM_size(notblock), MEM_free(notblock)}), (Results{-1, 0}));
    ASSERT_EQ(alerts.messages(), (Texts{notablock(a, "FB"), notablock(b), notablock(foreign.data()),
                                        notablock(block + 48, "MB"), notablock(block + 112, "MB"),
                                        notablock(base + 16, "MB"), notablock(top + 16, "MB")}));
    EXPECT_EQ((Results{MEM_free(block), MEM_validptr(nullptr, 4, 0), MEM_validptr(nullptr, 0, 0),
                       MEM_validptr(base, -1, 0), MEM_validptr(base, HEAP, 1)}), (Results{1, 0, 1, 0, 1}));
    auto other = std::async(std::launch::async, heapstate);
    ASSERT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(other.get(), std::make_tuple(HEAP - 256, HEAP - 256, 1));
}

// An area that cannot be laid out is refused and left as it was; a name is cut to 7 letters.
TEST(MemClass, CreateRefusesBadArgumentsAndCutsNames)
{
    ScopedAlertRecorder alerts;
    Area area(4096);
    uint8_t* at = area.bytes;
    memset(at, 0x5A, 4096);
    // number, base, size, alignments of blocks and of the first block, trailer; the heap's settings need 264 bytes.
    using Row = std::tuple<int32_t, uint8_t*, int32_t, uint32_t, uint32_t, uint32_t>;
    for (auto [number, start, size, alignment, first, trailer] :
         std::vector<Row>{{16, at, 4096, 8, 64, 16}, {-1, at, 4096, 8, 64, 16}, {6, at, 263, 8, 64, 16},
                          {6, at, 4096, 12, 64, 16}, {6, at, 4096, 8, 0, 16}, {6, at, 4096, 8, 64, 70000},
                          {6, at, -4096, 8, 64, 16}, {6, nullptr, 4096, 8, 64, 16}})
        EXPECT_EQ(MEMCLASS_create(number, "x", start, size, alignment, first, trailer, 1, 1, 1, 1, nullptr), 0) << size;
    EXPECT_EQ((std::tuple{MEM_initadr(nullptr, 4096), text(at, 4096), MEMCLASS_table[6], MEMCLASS_table[MB_RAM]}),
              std::make_tuple(0, std::string(4096, 0x5A), nullptr, nullptr));
    EXPECT_EQ((Results{MEMCLASS_create(6, "averylongname", at, 264, 8, 64, 16, 1, 1, 1, 1, nullptr), MEMCLASS_check(6)}),
              (Results{8, 1}));
    EXPECT_EQ(text(at + 16, 8) + reinterpret_cast<char*>(at + 96), std::string("averylo\0averylo LOW", 19));
}

TEST_F(MemHeap, HighSplitNeverLeavesALessThanWholeFreeBlock)
{
    // At alignment 128 the rounded surplus below a high block may be too small for a free block: the caller gets all.
    Area area(8192 + 64);
    uint8_t* wide = area.bytes + reinterpret_cast<uintptr_t>(area.bytes) % 128;  // a multiple of 128
    int32_t largest = MEMCLASS_create(3, "wide", wide, 8192, 128, 128, 16, 1, 0, 0, 1, nullptr);
    ASSERT_EQ(largest, 8192 - 64 - 240 - 16);
    int32_t need = ((largest - 65 + 16) & ~127) - 16;  // need + 16 leaves 65 to 127 bytes over
    uint8_t* block = static_cast<uint8_t*>(MEM_alloc(nullptr, need - 16, 3 | MB_HIGH));
    ASSERT_EQ(header(block), link(wide, wide, NEXT));
    EXPECT_EQ((Results{MEMCLASS_largestfree(3), MEMCLASS_check(3), MEM_free(block), MEMCLASS_largestfree(3)}),
              (Results{0, 1, 1, largest}));
    // With more over, the block is carved from the top at a multiple of 128.
    block = static_cast<uint8_t*>(MEM_alloc(nullptr, need - 16 - 256, 3 | MB_HIGH));
    EXPECT_EQ((Results{static_cast<int32_t>((header(block) - link(wide, wide, NEXT)) % 128),
                       MEMCLASS_largestfree(3) > 0, MEMCLASS_check(3)}), (Results{0, 1, 1}));
}

// Class 4 in a block of class 3 owns its blocks, though 3 comes first in the table and has no room for owners.
TEST_F(MemHeap, ClassMadeInABlockOfAnotherOwnsItsBlocks)
{
    Area outer(1 << 16);
    ASSERT_GT(MEMCLASS_create(3, "outer", outer.bytes, 1 << 16, 8, 64, 8, 1, 0, 0, 1, nullptr), 0);
    uint8_t* area = static_cast<uint8_t*>(MEM_alloc(nullptr, 8192, 3));
    int32_t created = MEMCLASS_create(4, "inner", area, 8192, 8, 64, 16, 1, 1, 1, 1, nullptr);
    ALERTline = 43;
    void* blocks[] = {MEM_alloc("in", 100, 4), MEM_alloc("in", 101, 4 | MB_HIGH), MEM_alloc("in", 102, 4)};
    EXPECT_EQ(owner(blocks[1]), "(null)(43)");
    // Releasing all skips the bound blocks and leaves the one free block; only the low 4 bits of a number count.
    EXPECT_EQ((Results{MEM_free(blocks[0]), MEMCLASS_freeall(4), MEMCLASS_largestfree(4), MEMCLASS_check(4),
                       MEMCLASS_destroy(4 + 16), MEMCLASS_destroy(4), MEM_free(area), MEMCLASS_check(3)}),
              (Results{1, 2, created, 1, 1, 0, 1, 1}));
}
// The heap made by MEM_init goes back at shutdown; an area given by the caller stays the caller's.
TEST(MemHeapLife, InitShutdownAndInitAgain)
{
    alignas(64) static uint8_t area[8192];
    ScopedAlertRecorder alerts;
    ASSERT_GE(MEM_init(), MEM_HEAPSIZE - 320);  // less the bound blocks and the first block's alignment
    void* block = MEM_alloc("kept", 100, MB_RAM);
    MEM_shutdown();
    EXPECT_EQ(std::make_tuple(MEM_heapbase, MEMCLASS_table[MB_RAM], MEMCLASS_table[MB_GLOBAL]),
              std::make_tuple(nullptr, nullptr, nullptr));
    MEM_shutdown();
    EXPECT_EQ((Results{MEM_free(block), MEM_largestfree(), MEM_totalfree()}), (Results{0, 0, 0}));  // nothing is read
    EXPECT_EQ((Results{MEM_initadr(area, sizeof area), MEM_initadr(area, sizeof area)}), (Results{8192 - 256, 8192 - 256}));
    MEM_shutdown();
    EXPECT_EQ(std::make_tuple(MEM_heapbase, reinterpret_cast<uint8_t*>(MEMCLASS_table[MB_RAM])),
              std::make_tuple(nullptr, area + 16));
    EXPECT_EQ((Results{MEMCLASS_destroy(MB_RAM), MEMCLASS_table[MB_GLOBAL] == nullptr}), (Results{1, 1}));
    const std::string twice = " CLASS IS ALREADY CREATED.  CALLLED MEM_init TWICE?\n";
    ASSERT_EQ(alerts.messages(), (Texts{notablock(block), "MEM_initadr - MB_RAM" + twice, "MEM_initadr - MB_GLOBAL" + twice}));
}

// Six blocks, 1 and 4 released, 1, 3 and 5 named: each kind of damage is found and undone; then the report.
TEST_F(MemHeap, CheckerFindsEachKindOfDamageAndReportListsBlocks)
{
    static std::string printed;
    PRINT_setdevice(6, "memtest",
                    [](int32_t channel, const char* s) { return printed += channel == PRINT_MEMORY ? s : "", 1; });
    PRINT_enabledevice(6, 1);
    PRINT_enablechannel(PRINT_MEMORY, 1);
    auto take = [] { return std::exchange(printed, std::string()); };
    auto where = [this](uint8_t* block) { return format("BLOCK @ 0x%08lx%s (BASE + %ld)", block, "", block - base); };
    ALERTfile = "tests/memcheck";
    ALERTline = 12;
    std::vector<uint8_t*> h;
    for (int i = 0; i < 6; i++)
        h.push_back(header(MEM_alloc(i % 2 ? "named" : nullptr, 20 + i, MB_RAM)));
    EXPECT_EQ((Results{MEM_free(h[1] + 16), MEM_free(h[4] + 16)}), (Results{1, 1}));
    uint8_t* label = h[3] + 16 + 23 + 16;
    uint8_t* last = link(base, base + 32, PREVIOUSFREE);
    std::string freed = "F" + text(h[2] + 1, 2) + std::string(1, static_cast<char>(h[2][3] | 0x40));
    using Row = std::tuple<uint8_t*, std::string, std::string>;  // where, bytes written, printed
    for (auto [at, bytes, printed] : std::vector<Row>{
             {h[2] + 16 + 22, "X", "MEMCLASS_check - CLASS 0: GUARD WORD OVERWRITTEN. " + where(h[2])},
             {h[2] + 8, words({u32(h[2] + 8) + 24}),
              "PREVIOUS-BLOCK LINK BROKEN. " + where(h[3] + 24) + "\nMEMCLASS_check - CLASS 0: REACHED FROM " + where(h[2])},
             {h[2] + 11, "\x77", "NEXT-BLOCK LINK LEADS OUTSIDE THE CLASS OR BACKWARDS. " + where(h[2])},
             {h[1], "M", "FREE BLOCK WITHOUT SIGNATURE 'FB'. " + where(h[1])},
             {h[1] + 4, "\x55", "FREE BLOCK SIZE WRONG"}, {h[3], "Q", "BLOCK IN USE WITHOUT SIGNATURE 'MB'"},
             {h[3] + 7, "\x40", "SIZE DOES NOT FIT THE BLOCK"}, {h[5] + 2, "\x0E", "BLOCK IN USE NAMES ANOTHER CLASS"},
             {label + 5, std::string(h[4] - label - 5, '!'), "LABEL RUNS INTO THE NEXT BLOCK. " + where(h[3])},
             {h[1] + 16, words({0}), "NOT IN ITS PLACE ON THE FREE LIST"}, {h[4] + 20, words({0}), "PREVIOUS-FREE LINK BROKEN"},
             {last + 16, words({linkword(base, h[5])}), "FREE LIST HOLDS A BLOCK THAT IS NOT FREE. " + where(h[5])},
             {h[2], freed, "TWO FREE BLOCKS SIDE BY SIDE. " + where(h[2])},  // a block in use marked free, unmerged
             {base + 80, "b", "GUARD WORD OVERWRITTEN. " + where(base)},
             {top + 16, words({0}), "GUARD WORD OVERWRITTEN. " + where(top)},
             {base + 1, "X", "LOW BOUND BLOCK OVERWRITTEN"}, {top + 4, "\x03", "HIGH BOUND BLOCK OVERWRITTEN"},
             {base + 32, "F", "FREE-LIST HEAD OVERWRITTEN"}}) {
        std::string kept = text(at, bytes.size());
        memcpy(at, bytes.data(), bytes.size());
        EXPECT_EQ(MEMCLASS_check(MB_RAM), 0);
        EXPECT_NE(take().find(printed), std::string::npos) << printed;
        memcpy(at, kept.data(), kept.size());
        EXPECT_EQ((std::tuple{MEMCLASS_check(MB_RAM), take()}), std::make_tuple(1, ""));
    }
    EXPECT_EQ((std::tuple{MEMCLASS_check(9), take()}), std::make_tuple(0, "MEMCLASS_check - CLASS 9: NO SUCH CLASS.\n"));
    memcpy(h[3] + 4, words({0x80000000u}).data(), 4);  // a damaged size: no label is looked for
    EXPECT_EQ((Results{MEMCLASS_report(MB_RAM), MEMCLASS_report(11)}), (Results{4, -1}));
    EXPECT_NE(take().find(format("  0x%08lx%s %10ld '' -\n", h[3] + 16, "", INT32_MIN) +
                          format("  0x%08lx%s %10ld 'named' tests/memcheck(12)\n", h[5] + 16, "", 25)),
              std::string::npos);
}

// Big-endian writes of n bytes, never more than four, over 0x11s, and the reads back.
TEST(MemHelpers, BigEndianBytesStopAtFour)
{
    const struct { uint32_t value; int32_t n; const char* bytes; } rows[] = {  // bytes: the first five after
        {0x00ABCDEFu, 3, "\xAB\xCD\xEF\x11\x11"}, {0x01020304u, 6, "\x01\x02\x03\x04\x11"},
        {0xFFu, 0, "\x11\x11\x11\x11\x11"}, {0xFFu, -2, "\x11\x11\x11\x11\x11"}};
    for (const auto& row : rows) {
        uint8_t buffer[8];
        memset(buffer, 0x11, sizeof buffer);
        EXPECT_EQ(ENDIAN_putbig(buffer, row.value, row.n), buffer + std::clamp(row.n, 0, 4));
        EXPECT_EQ(text(buffer, 5), text(row.bytes, 5));
        EXPECT_EQ(ENDIAN_getbig(buffer, row.n), row.n > 0 ? row.value : 0u);
    }
}

// Alerts that end the process: the default routine, the abort box answered Cancel (exit code 0).
class MemDeathTest : public MemHeap {};
TEST_F(MemDeathTest, AlertsEndTheProcess)
{
    using Row = std::tuple<std::function<void()>, const char*>;  // call, message
    for (auto [call, message] : std::vector<Row>{
             {[] { MEM_alloc("neg", -1, MB_RAM); }, "MEM_alloc - INVALID SIZE REQUESTED\nrequested 'neg': -1"},
             // size + 16 + 16 + 4 for the label + 7 past 2^31 - 1 would overflow the rounded size.
             {[] { MEM_alloc("big", INT32_MAX - 42, MB_RAM); }, "MEM_alloc - INVALID SIZE REQUESTED\nrequested 'big': 2147483605"},
             {[] { MEM_alloc("big", INT32_MAX - 43, MB_RAM); }, "MEM_alloc - OUT OF MEMORY\nrequested 'big': 2147483604"},
             {[] { MEMCLASS_create(16, "x", nullptr, 0, 8, 64, 16, 0, 0, 0, 0, nullptr); },
              "MEMCLASS_create - CLASS NUMBER OF 16 IS OUT OF RANGE. SHOULD BE 0..15"},
             {[this] { MEM_initadr(base, HEAP); }, "MEM_initadr - MB_RAM CLASS IS ALREADY CREATED"},
             {[] { MEM_initsize(4096, 2); }, "MEM_initsize - DRAMSUB IS NOT SUPPORTED"},
             {[this] { MEM_free(top + 16); }, "Abort from file \"cmn/memalloc\", line [0-9]+.*\nMEM_free - NOT A MEMBLOCK.  "
                                              "BLOCK @ 0x[0-9a-f]+, SIGNATURE 'MB' \\(0x4d42\\)"},
             {[] { MEM_shutdown(), MEM_alloc(nullptr, 5, MB_RAM); }, "MEMORY MANAGER NOT INITIALIZED\nrequested: 5"},
             {[] { ALERTfile = reinterpret_cast<const char*>(16), MEM_alloc(nullptr, 5, MB_RAM); },
              "MEM_alloc - INVALID CALLER FILE NAME POINTER 10"},
             {[] { std::fill_n(MEMCLASS_table, MEMCLASS_MAX, MEMCLASS_table[0]), MEMCLASS_getfree(); },
              "MEMCLASS_getfree - NO FREE CLASSES.  16 IS MAXIMUM"}})
        EXPECT_EXIT((ALERT_reset(), PW_setboxhook([](const char*, const char*, UINT) { return IDCANCEL; }), call()),
                    ::testing::ExitedWithCode(0), message);
}

}  // namespace
