// Page runs: rounding and the written-back count, the guard pages on both sides, release, refused counts.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

#include "vorl/pagemem.h"

namespace {

uint8_t readbyte(const uint8_t* p) { return *(const volatile uint8_t*)p; }

TEST(PageMem, CountsRoundUpToWholePagesBetweenTwoGuards) {
    int32_t probe = 1;
    PAGE_free(PAGE_alloc(&probe));
    const int32_t page = (int32_t)PAGE_size();
    ASSERT_EQ(probe, page);
    // request and rounded count
    const int32_t rows[][2] = {{1, page}, {page + 1, 2 * page}, {3 * page - 5, 3 * page}, {0, 0}};
    for (const auto& row : rows) {
        int32_t count = row[0];
        uint8_t* run = (uint8_t*)PAGE_alloc(&count);
        ASSERT_NE(nullptr, run);
        EXPECT_EQ(row[1], count) << "the rounded count is written back";
        EXPECT_EQ(0u, (uintptr_t)run % page) << "the first usable byte starts a page";
        EXPECT_EQ(std::vector<uint8_t>(run, run + count), std::vector<uint8_t>(count, 0)) << "usable, and zero";
        memset(run, 0xA5, count);
        EXPECT_DEATH(readbyte(run - 1), "") << "the guard page before the run";
        EXPECT_DEATH(readbyte(run + count), "") << "the guard page after the run";
        EXPECT_NE(0, PAGE_free(run));
    }
    // Released and read in the dying process, so nothing can map the addresses again in between.
    uint8_t* run = (uint8_t*)PAGE_alloc(&probe);
    EXPECT_DEATH((PAGE_free(run), readbyte(run)), "");
    EXPECT_NE(0, PAGE_free(run));
    EXPECT_EQ(0, PAGE_free(nullptr)) << "null is no run";

    // Negative counts, and counts whose rounding overflows, are refused and left as they were.
    for (int32_t request : {INT32_MAX / page * page + 1, -1}) {
        int32_t count = request;
        EXPECT_EQ(nullptr, PAGE_alloc(&count)) << request;
        EXPECT_EQ(request, count);
    }
    EXPECT_EQ(nullptr, PAGE_alloc(nullptr));
}

}  // namespace
