// Stress of the memory manager against a model of what is live: random
// allocations (sizes up to 64 KiB, labels, MB_HIGH, MB_LARGEST) and releases
// in random order, with the heap checker after every step; then the same
// from four threads at once.
#include <atomic>
#include <random>
#include <thread>

#include "memtest.h"

using namespace memtest;

namespace {

// A live block, whose contents are all one byte.
struct LIVE {
    uint8_t* contents;
    int32_t size;
    char fill;
    bool intact() const { return text(contents, size) == std::string(size, fill); }
    LIVE(void* at, int32_t n, uint32_t seed) : contents(static_cast<uint8_t*>(at)), size(n), fill(char(seed))
    {
        memset(at, fill, n);
    }
};

// Releases one live block, first checking its contents.
bool release(std::vector<LIVE>& live, size_t index)
{
    bool released = live[index].intact() && MEM_free(live[index].contents) == 1;
    live[index] = live.back();
    live.pop_back();
    return released;
}

TEST(MemStress, ModelOfLiveBlocksOverManyRandomOperations)
{
    Area area(4 << 20);
    const int32_t initial = MEM_initadr(area.bytes, 4 << 20);
    std::mt19937 random(20240611);
    ALERTfile = "tests/memstress";
    ScopedAlertRecorder alerts;
    std::vector<LIVE> live;
    size_t outofmemory = 0;
    for (int step = 0; step < 100000; step++) {
        SCOPED_TRACE(step);
        ASSERT_EQ(MEMCLASS_check(MB_RAM), 1);
        if (live.empty() || random() % 100 < (live.size() < 300 ? 58u : 42u)) {
            // 70% up to 256 bytes, 25% up to 4 KiB, the rest up to 64 KiB; no label or up to 39 letters.
            uint32_t kind = random() % 100;
            int32_t size = static_cast<int32_t>(kind < 70 ? random() % 257 : random() % (kind < 95 ? 4097 : 65537));
            std::string label = random() % 2 ? "" : std::string(random() % 40, static_cast<char>('a' + random() % 26));
            uint32_t type = (random() % 2 ? MB_GLOBAL : MB_RAM) | (random() % 2 ? MB_HIGH : 0) |
                            (random() % 2 ? MB_LARGEST : 0) | (random() % 2 ? MB_CLEARSPARE : 0);
            ALERTline = step;
            uint8_t* contents = static_cast<uint8_t*>(MEM_alloc(label.empty() ? nullptr : label.c_str(), size, type));
            // Contents needed in the heap's class: alignment 8, trailer 16, the label.
            size_t after = 16 + (label.empty() ? 0 : label.size() + 1);
            int32_t need = static_cast<int32_t>((std::max(size, 8) + 16 + after + 7) & ~size_t(7)) - 16;
            if (!contents) {  // only when no free block is large enough
                ASSERT_EQ(alerts.count(), ++outofmemory);
                ASSERT_LT(MEMCLASS_largestfree(MB_RAM), need);
                continue;
            }
            uint8_t* hdr = header(contents);
            uint32_t flags = MB_GUARD | MB_WHERE | (label.empty() ? 0 : MB_NAMED);
            ASSERT_EQ(text(hdr, 8), layout("MB", flags | type, {uint32_t(size)}));
            ASSERT_GE(link(area.bytes, hdr, NEXT) - contents, need);
            ASSERT_EQ((hdr - area.bytes - 176) % 8, 0);
            // Guard, line, spare word (cleared if asked), label; and the owner.
            std::string spare = type & MB_CLEARSPARE ? words({0}) : text(contents + size + 12, 4);
            ASSERT_EQ(text(contents + size, 4) + text(contents + size + 8, after - 8),
                      "BEND" + words({uint32_t(step)}) + spare + std::string(label.c_str(), after - 16));
            ASSERT_EQ(owner(contents), "tests/memstress(" + std::to_string(step) + ")");
            live.emplace_back(contents, size, random());
        } else {
            ASSERT_TRUE(release(live, random() % live.size()));
        }
    }
    while (!live.empty())
        ASSERT_TRUE(release(live, 0));
    // Everything merged back into the one free block the class began with.
    EXPECT_EQ(heapstate(), std::make_tuple(initial, initial, 1));
    EXPECT_EQ(alerts.count(), outofmemory);
    ALERTfile = nullptr;
}

// Four threads allocate and release in the heap's class at once while the
// main thread runs the checker and the free-space figures.
TEST(MemStressThreads, FourThreadsInOneClass)
{
    Area area(8 << 20);
    const int32_t initial = MEM_initadr(area.bytes, 8 << 20);
    std::atomic<int> running{4}, failures{0};
    std::vector<std::thread> workers;
    for (uint32_t t = 0; t < 4; t++) {
        workers.emplace_back([t, &running, &failures] {
            std::mt19937 random(1000 + t);
            std::vector<LIVE> live;
            for (int step = 0; step < 20000; step++) {
                if (live.empty() || random() % 100 < (live.size() < 100 ? 55u : 45u)) {
                    int32_t size = static_cast<int32_t>(random() % 100 < 90 ? random() % 512 : random() % 16384);
                    uint32_t type = (t % 2 ? MB_GLOBAL : MB_RAM) | (random() % 2 ? MB_HIGH : 0) |
                                    (random() % 5 == 0 ? MB_LARGEST : 0);
                    live.emplace_back(MEM_alloc(t % 2 ? "worker" : nullptr, size, type), size, random());
                } else {
                    failures += !release(live, random() % live.size());
                }
            }
            while (!live.empty())
                failures += !release(live, 0);
            running--;
        });
    }
    for (; running.load() > 0; std::this_thread::yield())
        EXPECT_TRUE(MEMCLASS_check(MB_RAM) == 1 && MEM_largestfree() > 0 && MEM_totalfree() > 0);
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(heapstate(), std::make_tuple(initial, initial, 1));
}

}  // namespace
