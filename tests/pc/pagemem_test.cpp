// Page runs: rounding and the written-back count, the guard pages on both
// sides, release, refused counts, and use from several threads.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "vorl/pagemem.h"

namespace {

#ifndef _WIN32
uint32_t systempagesize() { return (uint32_t)sysconf(_SC_PAGESIZE); }
#endif

uint8_t readbyte(const uint8_t* p) { return *(const volatile uint8_t*)p; }
void writebyte(uint8_t* p, uint8_t v) { *(volatile uint8_t*)p = v; }

#ifdef __linux__
// The protection of the mapping that holds address, as /proc/self/maps shows
// it ("rw-p", "---p"), or "" when nothing is mapped there.
std::string protectionat(const void* address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const uintptr_t a = (uintptr_t)address;
    while (std::getline(maps, line)) {
        std::istringstream in(line);
        std::string range, perms;
        in >> range >> perms;
        const size_t dash = range.find('-');
        const uintptr_t lo = (uintptr_t)std::stoull(range.substr(0, dash), nullptr, 16);
        const uintptr_t hi = (uintptr_t)std::stoull(range.substr(dash + 1), nullptr, 16);
        if (a >= lo && a < hi)
            return perms;
    }
    return "";
}
#endif

TEST(PageMem, OneByteTakesOnePageBetweenTwoGuards) {
    int32_t count = 1;
    uint8_t* run = (uint8_t*)PAGE_alloc(&count);
    ASSERT_NE(nullptr, run);
    const uint32_t page = PAGE_size();
    ASSERT_NE(0u, page);
    EXPECT_EQ(0u, page & (page - 1)) << "a page size is a power of two";
#ifndef _WIN32
    EXPECT_EQ(systempagesize(), page);
#endif
    EXPECT_EQ((int32_t)page, count) << "the rounded count is written back";
    EXPECT_EQ(0u, (uintptr_t)run % page) << "the first usable byte starts a page";

    // The whole page is usable and starts out zero.
    for (uint32_t i = 0; i < page; i++)
        ASSERT_EQ(0, readbyte(run + i));
    for (uint32_t i = 0; i < page; i++)
        writebyte(run + i, (uint8_t)i);
    for (uint32_t i = 0; i < page; i++)
        ASSERT_EQ((uint8_t)i, readbyte(run + i));

#ifdef __linux__
    EXPECT_EQ("---p", protectionat(run - 1));
    EXPECT_EQ("---p", protectionat(run - page));
    EXPECT_EQ("rw-p", protectionat(run));
    EXPECT_EQ("---p", protectionat(run + page));
    EXPECT_EQ("---p", protectionat(run + 2 * page - 1));
#endif

    EXPECT_DEATH(readbyte(run - 1), "") << "the guard page before the run";
    EXPECT_DEATH(readbyte(run + page), "") << "the guard page after the run";
    EXPECT_DEATH(writebyte(run + page, 1), "");
    EXPECT_NE(0, PAGE_free(run));
}

TEST(PageMem, CountsRoundUpToWholePages) {
    int32_t probe = 1;
    void* first = PAGE_alloc(&probe);
    ASSERT_NE(nullptr, first);
    PAGE_free(first);
    const int32_t page = (int32_t)PAGE_size();

    const int32_t requests[] = {page - 1, page, page + 1, 3 * page, 3 * page - 5, 5 * page + 1};
    const int32_t rounded[] = {page, page, 2 * page, 3 * page, 3 * page, 6 * page};
    for (size_t i = 0; i < sizeof requests / sizeof requests[0]; i++) {
        int32_t count = requests[i];
        uint8_t* run = (uint8_t*)PAGE_alloc(&count);
        ASSERT_NE(nullptr, run);
        EXPECT_EQ(rounded[i], count) << "request " << requests[i];
        // Every byte of the rounded run is usable, up to its last one.
        memset(run, 0xA5, count);
        EXPECT_EQ(0xA5, readbyte(run + count - 1));
#ifdef __linux__
        EXPECT_EQ("---p", protectionat(run + count)) << "request " << requests[i];
        EXPECT_EQ("---p", protectionat(run - 1)) << "request " << requests[i];
#endif
        EXPECT_NE(0, PAGE_free(run));
    }

    int32_t exact = 3 * page;
    uint8_t* run = (uint8_t*)PAGE_alloc(&exact);
    ASSERT_NE(nullptr, run);
    EXPECT_DEATH(readbyte(run + 3 * page), "") << "the guard follows an exact multiple directly";
    PAGE_free(run);
}

TEST(PageMem, ZeroBytesGiveAnAddressOnANoAccessPage) {
    int32_t count = 0;
    uint8_t* run = (uint8_t*)PAGE_alloc(&count);
    ASSERT_NE(nullptr, run);
    EXPECT_EQ(0, count);
    EXPECT_EQ(0u, (uintptr_t)run % PAGE_size());
#ifdef __linux__
    EXPECT_EQ("---p", protectionat(run));
    EXPECT_EQ("---p", protectionat(run - 1));
#endif
    EXPECT_DEATH(readbyte(run), "");
    EXPECT_DEATH(readbyte(run - 1), "");
    EXPECT_NE(0, PAGE_free(run));
}

TEST(PageMem, FreeMakesTheRunUnusable) {
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
#ifdef __linux__
    EXPECT_EQ("", protectionat(run)) << "the run is no longer mapped";
    EXPECT_EQ("", protectionat(run - 1)) << "nor is the guard before it";
    EXPECT_EQ("", protectionat(run + count)) << "nor the guard after it";
#endif
    EXPECT_EQ(0, PAGE_free(nullptr)) << "null is no run";
}

TEST(PageMem, RefusedCountsAreLeftAsTheyWere) {
    int32_t probe = 1;
    PAGE_free(PAGE_alloc(&probe));
    const int32_t page = (int32_t)PAGE_size();

    // Rounding any of these up would not fit a signed 32-bit count.
    const int32_t toolarge[] = {INT32_MAX, INT32_MAX / page * page + 1};
    for (int32_t request : toolarge) {
        int32_t count = request;
        EXPECT_EQ(nullptr, PAGE_alloc(&count)) << request;
        EXPECT_EQ(request, count);
    }
    const int32_t negative[] = {-1, -page, INT32_MIN};
    for (int32_t request : negative) {
        int32_t count = request;
        EXPECT_EQ(nullptr, PAGE_alloc(&count)) << request;
        EXPECT_EQ(request, count);
    }
    EXPECT_EQ(nullptr, PAGE_alloc(nullptr));
}

TEST(PageMem, RunsFromSeveralThreadsAreSeparate) {
    const int THREADS = 4;
    std::vector<std::thread> threads;
    std::vector<int> failures(THREADS, 0);
    for (int t = 0; t < THREADS; t++) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 50; i++) {
                int32_t count = 1000 * (i + 1);
                uint8_t* run = (uint8_t*)PAGE_alloc(&count);
                if (run == nullptr) {
                    failures[t]++;
                    continue;
                }
                memset(run, t + 1, count);
                for (int32_t j = 0; j < count; j += 997)
                    if (run[j] != t + 1)
                        failures[t]++;
                if (PAGE_free(run) == 0)
                    failures[t]++;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < THREADS; t++)
        EXPECT_EQ(0, failures[t]) << "thread " << t;
}

}  // namespace
