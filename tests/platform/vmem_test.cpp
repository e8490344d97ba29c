// Virtual memory of the POSIX platform layer: reservations, protection
// changes that report the old protection, release as a whole, decommit, and
// pointer tests that never fault.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <vector>

#include "platform/vplatform.h"

namespace {

size_t pagesize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

TEST(VirtualMemory, SystemInfoReportsThePageSize)
{
    SYSTEM_INFO info;
    memset(&info, 0xAB, sizeof info);
    GetSystemInfo(&info);
    EXPECT_EQ(info.dwPageSize, pagesize());
    EXPECT_GE(info.dwNumberOfProcessors, 1u);
    EXPECT_EQ(info.dwAllocationGranularity % info.dwPageSize, 0u);
}

TEST(VirtualMemory, AllocatedPagesAreZeroedUsableAndPageAligned)
{
    char* p = static_cast<char*>(VirtualAlloc(nullptr, 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % pagesize(), 0u);
    // One byte asked, a whole page given, all of it zero and writable.
    for (size_t i = 0; i < pagesize(); i++)
        ASSERT_EQ(p[i], 0) << i;
    memset(p, 0x5A, pagesize());
    EXPECT_FALSE(IsBadReadPtr(p, pagesize()));
    EXPECT_FALSE(IsBadWritePtr(p, pagesize()));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

TEST(VirtualMemory, ProtectionChangesReportTheOldProtection)
{
    size_t page = pagesize();
    char* p = static_cast<char*>(VirtualAlloc(nullptr, 3 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    p[page] = 7;
    DWORD old = 0;
    EXPECT_TRUE(VirtualProtect(p + page, page, PAGE_NOACCESS, &old));
    EXPECT_EQ(old, static_cast<DWORD>(PAGE_READWRITE));
    EXPECT_TRUE(IsBadReadPtr(p + page, 1));
    EXPECT_TRUE(IsBadWritePtr(p + page, 1));
    // Pages beside it are untouched; a range that reaches into it is bad.
    EXPECT_FALSE(IsBadReadPtr(p, page));
    EXPECT_FALSE(IsBadWritePtr(p + 2 * page, page));
    EXPECT_TRUE(IsBadReadPtr(p + page - 1, 2));
    EXPECT_TRUE(IsBadWritePtr(p, 3 * page));

    EXPECT_TRUE(VirtualProtect(p + page + 10, 1, PAGE_READONLY, &old));  // any byte names its page
    EXPECT_EQ(old, static_cast<DWORD>(PAGE_NOACCESS));
    EXPECT_FALSE(IsBadReadPtr(p + page, page));
    EXPECT_TRUE(IsBadWritePtr(p + page, 1));
    EXPECT_EQ(p[page], 7);  // contents survive protection changes

    EXPECT_TRUE(VirtualProtect(p, 3 * page, PAGE_READWRITE, &old));
    EXPECT_EQ(old, static_cast<DWORD>(PAGE_READWRITE));  // the first page's protection
    EXPECT_FALSE(IsBadWritePtr(p, 3 * page));

    // Failures: outside any reservation, no place for the old protection, an
    // unknown protection.
    SetLastError(0);
    int local = 0;
    EXPECT_FALSE(VirtualProtect(&local, sizeof local, PAGE_READONLY, &old));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_FALSE(VirtualProtect(p, 4 * page, PAGE_READONLY, &old));  // runs past the end
    EXPECT_FALSE(VirtualProtect(p, page, PAGE_READONLY, nullptr));
    EXPECT_FALSE(VirtualProtect(p, page, 0x40, &old));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(IsBadWritePtr(p, 3 * page));  // nothing changed
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

TEST(VirtualMemoryDeathTest, NoAccessPageFaults)
{
    char* p = static_cast<char*>(VirtualAlloc(nullptr, pagesize(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(p, pagesize(), PAGE_NOACCESS, &old));
    volatile char* q = p;
    EXPECT_DEATH({ (void)q[100]; }, "");
    ASSERT_TRUE(VirtualProtect(p, pagesize(), PAGE_READONLY, &old));
    EXPECT_EQ(q[100], 0);
    EXPECT_DEATH({ q[100] = 1; }, "");
    VirtualFree(p, 0, MEM_RELEASE);
}

TEST(VirtualMemory, ReleaseFreesTheWholeReservationOnlyFromItsBase)
{
    size_t page = pagesize();
    char* p = static_cast<char*>(VirtualAlloc(nullptr, 4 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    SetLastError(0);
    EXPECT_FALSE(VirtualFree(p, 4 * page, MEM_RELEASE));  // release takes size 0
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(VirtualFree(p + page, 0, MEM_RELEASE));  // not the base
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_FALSE(IsBadWritePtr(p, 4 * page));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_TRUE(IsBadReadPtr(p, 1));
    EXPECT_TRUE(IsBadReadPtr(p + 3 * page, 1));
    SetLastError(0);
    EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));  // already released
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
}

TEST(VirtualMemory, ReserveCommitAndDecommit)
{
    size_t page = pagesize();
    char* p = static_cast<char*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(IsBadReadPtr(p, 1));  // reserved, not committed
    DWORD old;
    EXPECT_FALSE(VirtualProtect(p, page, PAGE_READONLY, &old));
    EXPECT_EQ(VirtualAlloc(p + page + 5, 1, MEM_COMMIT, PAGE_READWRITE), p + page);
    EXPECT_TRUE(IsBadReadPtr(p, 1));
    EXPECT_FALSE(IsBadWritePtr(p + page, page));
    p[page] = 42;
    EXPECT_TRUE(VirtualFree(p + page, page, MEM_DECOMMIT));
    EXPECT_TRUE(IsBadReadPtr(p + page, 1));
    EXPECT_EQ(VirtualAlloc(p + page, page, MEM_COMMIT, PAGE_READWRITE), p + page);
    EXPECT_EQ(p[page], 0);  // decommitted contents are gone
    // Committing outside a reservation is refused.
    int local;
    SetLastError(0);
    EXPECT_EQ(VirtualAlloc(&local, 1, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

const char literal[] = "read only text";

TEST(PointerTests, FollowWindowsRulesForEveryKindOfMemory)
{
    // Empty ranges are never bad, a null address with a size always is, and
    // so is a range that wraps around the end of the address space.
    EXPECT_FALSE(IsBadReadPtr(nullptr, 0));
    EXPECT_FALSE(IsBadWritePtr(nullptr, 0));
    EXPECT_TRUE(IsBadReadPtr(nullptr, 1));
    EXPECT_TRUE(IsBadWritePtr(nullptr, 1));
    int local = 0;
    EXPECT_TRUE(IsBadReadPtr(&local, ~static_cast<UINT_PTR>(0)));
    // Stack, heap, data and read-only data.
    EXPECT_FALSE(IsBadReadPtr(&local, sizeof local));
    EXPECT_FALSE(IsBadWritePtr(&local, sizeof local));
    std::vector<char> heap(100000);
    EXPECT_FALSE(IsBadReadPtr(heap.data(), heap.size()));
    EXPECT_FALSE(IsBadWritePtr(heap.data(), heap.size()));
    EXPECT_FALSE(IsBadReadPtr(literal, sizeof literal));
    EXPECT_TRUE(IsBadWritePtr(const_cast<char*>(literal), sizeof literal));
    // Low addresses are never mapped.
    EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<void*>(16), 4));
}

TEST(PointerTests, LargeRangesAreCheckedToTheLastPage)
{
    size_t page = pagesize();
    const size_t pages = 600;  // more pages than one batch of checks
    char* p = static_cast<char*>(VirtualAlloc(nullptr, pages * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(IsBadReadPtr(p, pages * page));
    EXPECT_FALSE(IsBadWritePtr(p, pages * page));
    DWORD old;
    ASSERT_TRUE(VirtualProtect(p + (pages - 1) * page, page, PAGE_NOACCESS, &old));
    EXPECT_TRUE(IsBadReadPtr(p, pages * page));
    EXPECT_TRUE(IsBadWritePtr(p, pages * page));
    EXPECT_FALSE(IsBadReadPtr(p, (pages - 1) * page));
    EXPECT_TRUE(IsBadReadPtr(p + 3, (pages - 1) * page));  // the last byte reaches it
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

}  // namespace
