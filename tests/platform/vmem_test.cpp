// Virtual memory of the POSIX platform layer: reservations, commits,
// protection changes, release as a whole, and pointer tests that never fault.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "lasterrors.h"

namespace {

const size_t PAGE = static_cast<size_t>(sysconf(_SC_PAGESIZE));

char* alloc(size_t bytes, DWORD type = MEM_COMMIT | MEM_RESERVE)
{
    return static_cast<char*>(VirtualAlloc(nullptr, bytes, type, PAGE_READWRITE));
}

// Whether the range reads (RO), and also writes (RW), without a fault.
const long long RW = 3, RO = 2, NONE = 0;
long long access(const void* address, size_t size)
{
    return 2 * !IsBadReadPtr(address, size) + !IsBadWritePtr(const_cast<void*>(address), size);
}

TEST(VirtualMemory, AllocationsAreZeroedPagesCommittedAndReleasedWholeFromTheirBase)
{
    EXPECT_EQ(witherror({alloc(0) == nullptr}), V({1, ERRORINVALIDPARAMETER}));
    EXPECT_EQ(witherror({alloc(~static_cast<size_t>(0) / 4) == nullptr}), V({1, ERRORNOTENOUGHMEMORY}));
    char* p = alloc(4 * PAGE);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(reinterpret_cast<uintptr_t>(p) % PAGE == 0 && std::string(p, PAGE) == std::string(PAGE, '\0'));
    // A release takes size 0 and the base, and frees every page.
    EXPECT_EQ(witherror({VirtualFree(p, 4 * PAGE, MEM_RELEASE)}), V({0, ERRORINVALIDPARAMETER}));
    EXPECT_EQ(witherror({VirtualFree(p + PAGE, 0, MEM_RELEASE)}), V({0, ERRORINVALIDADDRESS}));
    EXPECT_EQ(V({access(p, 4 * PAGE), VirtualFree(p, 0, MEM_RELEASE), access(p, 1), access(p + 3 * PAGE, 1)}),
              V({RW, 1, NONE, NONE}));
    // Reserved pages are unusable until committed (any byte names its page) and after a decommit.
    p = alloc(2 * PAGE, MEM_RESERVE);
    DWORD old;
    EXPECT_EQ(V({access(p, 1), VirtualProtect(p, PAGE, PAGE_READONLY, &old),
                 VirtualAlloc(p + PAGE + 5, 1, MEM_COMMIT, PAGE_READWRITE) == p + PAGE, access(p + PAGE, PAGE)}),
              V({NONE, 0, 1, RW}));
    EXPECT_EQ(V({VirtualFree(p + PAGE, PAGE, MEM_DECOMMIT), access(p + PAGE, 1), VirtualFree(p, 0, MEM_RELEASE)}),
              V({1, NONE, 1}));
}

const char literal[] = "read only text";

TEST(VirtualMemory, ProtectionChangesReportTheOldProtectionAndPointerTestsFollowThem)
{
    const size_t pages = 600;  // more than one batch of pointer checks
    char* p = alloc(pages * PAGE);
    ASSERT_NE(p, nullptr);
    p[PAGE] = 7;
    DWORD old = 0;
    EXPECT_EQ(V({VirtualProtect(p + PAGE, PAGE, PAGE_NOACCESS, &old), old, access(p + PAGE, 1), access(p, PAGE),
                 access(p + 2 * PAGE, PAGE), access(p + PAGE - 1, 2)}),
              V({1, PAGE_READWRITE, NONE, RW, RW, NONE}));
    EXPECT_EQ(V({VirtualProtect(p + PAGE + 10, 1, PAGE_READONLY, &old), old, access(p + PAGE, PAGE), p[PAGE]}),
              V({1, PAGE_NOACCESS, RO, 7}));
    EXPECT_EQ(V({VirtualProtect(p, 3 * PAGE, PAGE_READWRITE, &old), old}), V({1, PAGE_READWRITE}));  // the first page's
    // Outside any reservation, past its end, no place for the old protection, an unknown protection.
    int local = 0;
    EXPECT_EQ(witherror({VirtualProtect(p, (pages + 1) * PAGE, PAGE_READONLY, &old),
                         VirtualProtect(p, PAGE, PAGE_READONLY, nullptr), VirtualProtect(p, PAGE, 0x40, &old),
                         VirtualProtect(&local, sizeof local, PAGE_READONLY, &old)}),
              V({0, 0, 0, 0, ERRORINVALIDADDRESS}));
    // Empty ranges are never bad; a null address with a size, or a range that wraps, always is.
    std::string heap(100000, 'h');
    EXPECT_EQ(V({access(nullptr, 0), access(nullptr, 1), access(&local, ~static_cast<UINT_PTR>(0)),
                 access(&local, sizeof local), access(&heap[0], heap.size()), access(literal, sizeof literal),
                 access(reinterpret_cast<void*>(16), 4)}),
              V({RW, NONE, NONE, RW, RW, RO, NONE}));
    ASSERT_TRUE(VirtualProtect(p + (pages - 1) * PAGE, PAGE, PAGE_NOACCESS, &old));
    EXPECT_EQ(V({access(p, pages * PAGE), access(p, (pages - 1) * PAGE), access(p + 3, (pages - 1) * PAGE)}),
              V({NONE, RW, NONE}));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

}  // namespace
