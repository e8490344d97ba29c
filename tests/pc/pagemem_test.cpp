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

#ifndef _WIN32
#include <unistd.h>
#endif

#include "vorl/pagemem.h"

namespace {

uint8_t readbyte(const uint8_t* p) { return *(const volatile uint8_t*)p; }
void writebyte(uint8_t* p, uint8_t v) { *(volatile uint8_t*)p = v; }

// Expects the protection of the mapping that holds address, as the system's
// own map of the process shows it ("rw-p", "---p", or "" when nothing is
// mapped there); only where that map exists.
void expectprotection(const std::string& expected, const void* address) {
#ifdef __linux__
    std::ifstream maps("/proc/self/maps");
    std::string line, found;
    uintmax_t low, high;
    char perms[8];
    while (found.empty() && std::getline(maps, line))
        if (sscanf(line.c_str(), "%jx-%jx %7s", &low, &high, perms) == 3 && (uintptr_t)address >= low &&
            (uintptr_t)address < high)
            found = perms;
    EXPECT_EQ(expected, found) << address;
#else
    (void)expected;
    (void)address;
#endif
}

TEST(PageMem, CountsRoundUpToWholePagesBetweenTwoGuards) {
    const int32_t page = [] {
        int32_t probe = 1;
        PAGE_free(PAGE_alloc(&probe));
        return (int32_t)PAGE_size();
    }();
    ASSERT_NE(0, page);
    EXPECT_EQ(0, page & (page - 1)) << "a page size is a power of two";
#ifndef _WIN32
    EXPECT_EQ(sysconf(_SC_PAGESIZE), page);
#endif
    // request, rounded count, and whether the guards are probed by a fault
    const struct {
        int32_t request, rounded;
        bool probe;
    } rows[] = {{1, page, true},         {page - 1, page, false},     {page, page, false},
                {page + 1, 2 * page, false}, {3 * page, 3 * page, true}, {3 * page - 5, 3 * page, false},
                {5 * page + 1, 6 * page, false}, {0, 0, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE("request " + std::to_string(row.request));
        int32_t count = row.request;
        uint8_t* run = (uint8_t*)PAGE_alloc(&count);
        ASSERT_NE(nullptr, run);
        EXPECT_EQ(row.rounded, count) << "the rounded count is written back";
        EXPECT_EQ(0u, (uintptr_t)run % page) << "the first usable byte starts a page";
        // Every byte of the run is usable and starts out zero.
        EXPECT_EQ(std::vector<uint8_t>(run, run + count), std::vector<uint8_t>(count, 0));
        memset(run, 0xA5, count);
        EXPECT_EQ(std::vector<uint8_t>(run, run + count), std::vector<uint8_t>(count, 0xA5));
        expectprotection("---p", run - 1);
        expectprotection("---p", run - page);
        expectprotection(count ? "rw-p" : "---p", run);
        expectprotection("---p", run + count);
        expectprotection("---p", run + count + page - 1);
        if (row.probe) {
            EXPECT_DEATH(readbyte(run - 1), "") << "the guard page before the run";
            EXPECT_DEATH(readbyte(run + count), "") << "the guard page after the run";
            EXPECT_DEATH(writebyte(run + count, 1), "");
        }
        EXPECT_NE(0, PAGE_free(run));
    }
}

TEST(PageMem, FreeMakesTheRunUnusableAndRefusedCountsAreLeftAsTheyWere) {
    int32_t count = 100;
    uint8_t* run = (uint8_t*)PAGE_alloc(&count);
    ASSERT_NE(nullptr, run);
    memset(run, 1, count);
    // The release and the access happen together in the dying process, so
    // that nothing can map the freed addresses again in between.
    EXPECT_DEATH(
        {
            PAGE_free(run);
            readbyte(run);
        },
        "");
    EXPECT_DEATH(
        {
            PAGE_free(run);
            writebyte(run + count - 1, 1);
        },
        "");
    EXPECT_NE(0, PAGE_free(run));
    // Neither the run nor its guards are mapped any longer.
    expectprotection("", run);
    expectprotection("", run - 1);
    expectprotection("", run + count);
    EXPECT_EQ(0, PAGE_free(nullptr)) << "null is no run";

    // Negative counts, and counts whose rounding would not fit a signed 32-bit count.
    const int32_t page = (int32_t)PAGE_size();
    for (int32_t request : {INT32_MAX, INT32_MAX / page * page + 1, -1, -page, INT32_MIN}) {
        count = request;
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
