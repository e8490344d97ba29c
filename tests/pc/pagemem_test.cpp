// Page runs: rounding and the written-back count, the guard pages on both
// sides, release, refused counts, and use from several threads.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "vorl/pagemem.h"

namespace {

uint8_t readbyte(const uint8_t* p) { return *(const volatile uint8_t*)p; }

// The protection of the mapping that holds address, as the system's own map
// of the process shows it ("rw-p", "---p", or "" when nothing is mapped
// there); where that map does not exist, the expected value itself.
std::string protection(const void* address, const char* expected) {
    std::string found = expected;
#ifdef __linux__
    std::ifstream maps("/proc/self/maps");
    std::string line;
    uintmax_t low, high;
    char perms[8];
    for (found.clear(); found.empty() && std::getline(maps, line);)
        if (sscanf(line.c_str(), "%jx-%jx %7s", &low, &high, perms) == 3 && (uintptr_t)address >= low &&
            (uintptr_t)address < high)
            found = perms;
#endif
    return found;
}

TEST(PageMem, CountsRoundUpToWholePagesBetweenTwoGuards) {
    int32_t probe = 1;
    PAGE_free(PAGE_alloc(&probe));
    const int32_t page = (int32_t)PAGE_size();
    ASSERT_EQ(probe, page);
    EXPECT_EQ(0, page & (page - 1)) << "a page size is a power of two";
    // request and rounded count; the guards of the first and last are probed by a fault
    const int32_t rows[][2] = {{1, page}, {page, page}, {page + 1, 2 * page}, {3 * page - 5, 3 * page}, {0, 0}};
    for (const auto& row : rows) {
        int32_t count = row[0];
        uint8_t* run = (uint8_t*)PAGE_alloc(&count);
        ASSERT_NE(nullptr, run);
        EXPECT_EQ(row[1], count) << "the rounded count is written back";
        EXPECT_EQ(0u, (uintptr_t)run % page) << "the first usable byte starts a page";
        EXPECT_EQ(std::vector<uint8_t>(run, run + count), std::vector<uint8_t>(count, 0)) << "usable, and zero";
        memset(run, 0xA5, count);
        for (const auto& [where, expected] : {std::pair<uint8_t*, const char*>{run - page, "---p"},
                                              {run - 1, "---p"}, {run, count ? "rw-p" : "---p"},
                                              {run + count, "---p"}, {run + count + page - 1, "---p"}})
            EXPECT_EQ(expected, protection(where, expected)) << row[0] << " " << (where - run);
        if (row[0] <= 1) {
            EXPECT_DEATH(readbyte(run - 1), "") << "the guard page before the run";
            EXPECT_DEATH(readbyte(run + count), "") << "the guard page after the run";
        }
        EXPECT_NE(0, PAGE_free(run));
        EXPECT_EQ("", protection(run + count, "")) << "neither the run nor its guards stay mapped";
    }
    // The release and the access happen together in the dying process, so
    // that nothing can map the freed addresses again in between.
    uint8_t* run = (uint8_t*)PAGE_alloc(&probe);
    EXPECT_DEATH(
        {
            PAGE_free(run);
            readbyte(run);
        },
        "");
    EXPECT_NE(0, PAGE_free(run));
    EXPECT_EQ(0, PAGE_free(nullptr)) << "null is no run";

    // Negative counts, and counts whose rounding would not fit a signed
    // 32-bit count, are refused and left as they were.
    for (int32_t request : {INT32_MAX, INT32_MAX / page * page + 1, -1, INT32_MIN}) {
        int32_t count = request;
        EXPECT_EQ(nullptr, PAGE_alloc(&count)) << request;
        EXPECT_EQ(request, count);
    }
    EXPECT_EQ(nullptr, PAGE_alloc(nullptr));
}

TEST(PageMem, RunsFromSeveralThreadsAreSeparate) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; i++) {
                int32_t count = 1000 * (i + 1);
                uint8_t* run = (uint8_t*)PAGE_alloc(&count);
                ASSERT_NE(nullptr, run);
                memset(run, t + 1, count);
                for (int32_t j = 0; j < count; j += 997)
                    ASSERT_EQ(t + 1, run[j]);
                EXPECT_NE(0, PAGE_free(run));
            }
        });
    for (auto& thread : threads)
        thread.join();
}

}  // namespace
