// Random allocations and releases against a model of the live blocks, alone and then from four threads.
#include <atomic>
#include <random>
#include <thread>

#include "memtest.h"

using namespace memtest;

namespace {

struct LIVE { uint8_t* contents; int32_t size; char fill; };  // a live block: its contents are all one byte

// Sizes: 70% up to 256 bytes, 25% up to 4 KiB, the rest up to 64 KiB, so that large blocks split and merge often.
void exercise(uint32_t seed, int steps, bool alone)
{
    std::mt19937 random(seed);
    std::vector<LIVE> live;
    for (int step = 0; step < steps || !live.empty(); step++) {
        ASSERT_TRUE(!alone || MEMCLASS_check(MB_RAM) == 1) << step;
        if (step < steps && (live.empty() || random() % 100 < (live.size() < 300 ? 58u : 42u))) {
            uint32_t kind = random() % 100;
            int32_t size = static_cast<int32_t>(kind < 70 ? random() % 257 : random() % (kind < 95 ? 4097 : 65537));
            std::string label = random() % 2 ? "" : std::string(random() % 40, static_cast<char>('a' + random() % 26));
            uint32_t type = (random() % 2 ? MB_GLOBAL : MB_RAM) | (random() % 2 ? MB_HIGH : 0) |
                            (random() % 2 ? MB_LARGEST : 0) | (random() % 2 ? MB_CLEARSPARE : 0);
            uint8_t* contents = static_cast<uint8_t*>(MEM_alloc(label.empty() ? nullptr : label.c_str(), size, type));
            ASSERT_NE(contents, nullptr) << step;
            uint32_t flags = MB_GUARD | MB_WHERE | (label.empty() ? 0 : MB_NAMED) | type;
            ASSERT_EQ(text(header(contents), 8), layout("MB", flags, {uint32_t(size)}));
            size_t after = label.empty() ? 16 : 17 + label.size();
            std::string spare = type & MB_CLEARSPARE ? words({0}) : text(contents + size + 12, 4);
            ASSERT_EQ(text(contents + size, 4) + text(contents + size + 8, after - 8),
                      "BEND" + words({uint32_t(ALERTline)}) + spare + std::string(label.c_str(), after - 16));
            live.push_back({contents, size, static_cast<char>(random())});
            memset(contents, live.back().fill, size);
        } else {
            LIVE& gone = live[random() % live.size()];
            ASSERT_EQ(text(gone.contents, gone.size), std::string(gone.size, gone.fill)) << step;
            ASSERT_EQ(MEM_free(gone.contents), 1);
            gone = live.back();
            live.pop_back();
        }
    }
}

// Each time every block merges back into the one free block the class began with.
TEST(MemStress, ModelOfLiveBlocksInOneThread)
{
    Area area(16 << 20);
    const int32_t initial = MEM_initadr(area.bytes, 16 << 20);
    ALERTline = 42;
    exercise(20240611, 100000, true);
    EXPECT_EQ(heapstate(), std::make_tuple(initial, initial, 1));
}

// Four threads share the class while the main thread checks it; each finds its own blocks' bytes as it left them.
TEST(MemStress, FourThreadsInOneClass)
{
    Area area(16 << 20);
    const int32_t initial = MEM_initadr(area.bytes, 16 << 20);
    ALERTline = 42;
    std::atomic<int> running{4};
    std::vector<std::thread> workers;
    for (uint32_t t = 0; t < 4; t++)
        workers.emplace_back([t, &running] {
            exercise(1000 + t, 20000, false);
            running--;
        });
    for (; running.load() > 0; std::this_thread::yield())
        EXPECT_TRUE(MEMCLASS_check(MB_RAM) == 1 && MEM_largestfree() > 0 && MEM_totalfree() > 0);
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(heapstate(), std::make_tuple(initial, initial, 1));
}

}  // namespace
