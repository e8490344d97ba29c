// Virtual memory of the POSIX platform layer: reservations, protection
// changes that report the old protection, release as a whole, decommit, and
// pointer tests that never fault.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lasterrors.h"
#include "platform/vplatform.h"

namespace {

const size_t PAGE = static_cast<size_t>(sysconf(_SC_PAGESIZE));

char* alloc(size_t bytes, DWORD type = MEM_COMMIT | MEM_RESERVE)
{
    return static_cast<char*>(VirtualAlloc(nullptr, bytes, type, PAGE_READWRITE));
}

// Whether the range reads, and whether it writes, without a fault.
V access(const void* address, size_t size)
{
    return V({!IsBadReadPtr(address, size), !IsBadWritePtr(const_cast<void*>(address), size)});
}

TEST(VirtualMemory, AllocationsAreZeroedPagesCommittedAndReleasedWholeFromTheirBase)
{
    SYSTEM_INFO info;
    memset(&info, 0xAB, sizeof info);
    GetSystemInfo(&info);
    EXPECT_EQ(info.dwPageSize, PAGE);
    EXPECT_GE(info.dwNumberOfProcessors, 1u);
    EXPECT_EQ(info.dwAllocationGranularity % info.dwPageSize, 0u);
    EXPECT_EQ(witherror({alloc(0) == nullptr}), V({1, ERROR_INVALID_PARAMETER}));
    // One byte asked, a whole page given, all of it zero and writable.
    char* p = alloc(1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % PAGE, 0u);
    EXPECT_EQ(std::string(p, PAGE), std::string(PAGE, '\0'));
    memset(p, 0x5A, PAGE);
    EXPECT_EQ(V({!IsBadWritePtr(p, PAGE), VirtualFree(p, 0, MEM_RELEASE)}), V({1, 1}));
    // A release takes size 0 and the base, and frees every page.
    p = alloc(4 * PAGE);
    EXPECT_EQ(witherror({VirtualFree(p, 4 * PAGE, MEM_RELEASE)}), V({0, ERROR_INVALID_PARAMETER}));
    EXPECT_EQ(witherror({VirtualFree(p + PAGE, 0, MEM_RELEASE)}), V({0, ERROR_INVALID_ADDRESS}));
    EXPECT_EQ(V({!IsBadWritePtr(p, 4 * PAGE), VirtualFree(p, 0, MEM_RELEASE)}), V({1, 1}));
    EXPECT_EQ(V({IsBadReadPtr(p, 1), IsBadReadPtr(p + 3 * PAGE, 1)}), V({1, 1}));
    EXPECT_EQ(witherror({VirtualFree(p, 0, MEM_RELEASE)}), V({0, ERROR_INVALID_ADDRESS}));

    // Reserved pages are not usable until committed (any byte names its
    // page); decommitted contents are gone.
    p = alloc(2 * PAGE, MEM_RESERVE);
    ASSERT_NE(p, nullptr);
    DWORD old;
    EXPECT_EQ(V({IsBadReadPtr(p, 1), VirtualProtect(p, PAGE, PAGE_READONLY, &old)}), V({1, 0}));
    EXPECT_EQ(VirtualAlloc(p + PAGE + 5, 1, MEM_COMMIT, PAGE_READWRITE), p + PAGE);
    EXPECT_EQ(V({IsBadReadPtr(p, 1), !IsBadWritePtr(p + PAGE, PAGE)}), V({1, 1}));
    p[PAGE] = 42;
    EXPECT_EQ(V({VirtualFree(p + PAGE, PAGE, MEM_DECOMMIT), IsBadReadPtr(p + PAGE, 1)}), V({1, 1}));
    EXPECT_EQ(VirtualAlloc(p + PAGE, PAGE, MEM_COMMIT, PAGE_READWRITE), p + PAGE);
    EXPECT_EQ(p[PAGE], 0);
    int local;
    EXPECT_EQ(witherror({VirtualAlloc(&local, 1, MEM_COMMIT, PAGE_READWRITE) != nullptr}),
              V({0, ERROR_INVALID_ADDRESS}));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

TEST(VirtualMemory, ProtectionChangesReportTheOldProtection)
{
    char* p = alloc(3 * PAGE);
    ASSERT_NE(p, nullptr);
    p[PAGE] = 7;
    DWORD old = 0;
    EXPECT_EQ(V({VirtualProtect(p + PAGE, PAGE, PAGE_NOACCESS, &old), old}), V({1, PAGE_READWRITE}));
    // Pages beside it are untouched; a range that reaches into it is bad.
    EXPECT_EQ(access(p + PAGE, 1), V({0, 0}));
    EXPECT_EQ(access(p, PAGE), V({1, 1}));
    EXPECT_EQ(access(p + 2 * PAGE, PAGE), V({1, 1}));
    EXPECT_EQ(access(p + PAGE - 1, 2), V({0, 0}));
    EXPECT_EQ(access(p, 3 * PAGE), V({0, 0}));
    // Any byte names its page; contents survive protection changes.
    EXPECT_EQ(V({VirtualProtect(p + PAGE + 10, 1, PAGE_READONLY, &old), old}), V({1, PAGE_NOACCESS}));
    EXPECT_EQ(access(p + PAGE, PAGE), V({1, 0}));
    EXPECT_EQ(p[PAGE], 7);
    EXPECT_EQ(V({VirtualProtect(p, 3 * PAGE, PAGE_READWRITE, &old), old}), V({1, PAGE_READWRITE}));  // the first page's
    // Outside any reservation, past its end, no place for the old protection,
    // an unknown protection: refused, changing nothing.
    int local = 0;
    EXPECT_EQ(witherror({VirtualProtect(&local, sizeof local, PAGE_READONLY, &old)}), V({0, ERROR_INVALID_ADDRESS}));
    EXPECT_EQ(V({VirtualProtect(p, 4 * PAGE, PAGE_READONLY, &old), VirtualProtect(p, PAGE, PAGE_READONLY, nullptr)}),
              V({0, 0}));
    EXPECT_EQ(witherror({VirtualProtect(p, PAGE, 0x40, &old)}), V({0, ERROR_INVALID_PARAMETER}));
    EXPECT_EQ(access(p, 3 * PAGE), V({1, 1}));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

TEST(VirtualMemoryDeathTest, NoAccessPageFaults)
{
    char* p = alloc(PAGE);
    ASSERT_NE(p, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(p, PAGE, PAGE_NOACCESS, &old));
    volatile char* q = p;
    EXPECT_DEATH({ (void)q[100]; }, "");
    ASSERT_TRUE(VirtualProtect(p, PAGE, PAGE_READONLY, &old));
    EXPECT_EQ(q[100], 0);
    EXPECT_DEATH({ q[100] = 1; }, "");
    VirtualFree(p, 0, MEM_RELEASE);
}

const char literal[] = "read only text";

TEST(PointerTests, FollowWindowsRulesForEveryKindOfMemoryToTheLastPage)
{
    // Empty ranges are never bad, a null address with a size always is, and
    // so is a range that wraps around the end of the address space. Stack,
    // heap, data and read-only data; low addresses are never mapped.
    int local = 0;
    std::vector<char> heap(100000);
    EXPECT_EQ(access(nullptr, 0), V({1, 1}));
    EXPECT_EQ(access(nullptr, 1), V({0, 0}));
    EXPECT_EQ(access(&local, ~static_cast<UINT_PTR>(0)), V({0, 0}));
    EXPECT_EQ(access(&local, sizeof local), V({1, 1}));
    EXPECT_EQ(access(heap.data(), heap.size()), V({1, 1}));
    EXPECT_EQ(access(literal, sizeof literal), V({1, 0}));
    EXPECT_EQ(access(reinterpret_cast<void*>(16), 4), V({0, 0}));

    const size_t pages = 600;  // more pages than one batch of checks
    char* p = alloc(pages * PAGE);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(access(p, pages * PAGE), V({1, 1}));
    DWORD old;
    ASSERT_TRUE(VirtualProtect(p + (pages - 1) * PAGE, PAGE, PAGE_NOACCESS, &old));
    EXPECT_EQ(access(p, pages * PAGE), V({0, 0}));
    EXPECT_EQ(access(p, (pages - 1) * PAGE), V({1, 1}));
    EXPECT_EQ(access(p + 3, (pages - 1) * PAGE), V({0, 0}));  // the last byte reaches it
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

}  // namespace
