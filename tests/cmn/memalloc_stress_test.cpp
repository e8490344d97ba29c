// Stress of the memory manager against a model of what is live: random
// allocations (sizes up to 64 KiB, labels, MB_HIGH, MB_LARGEST) and releases
// in random order, with the heap checker after every step and every block's
// contents checked for damage; then the same from four threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "alertrecorder.h"
#include "memtest.h"
#include "vorl/alert.h"
#include "vorl/memory.h"

using namespace memtest;

namespace {

struct LIVE {
    uint8_t* contents;
    int32_t size;
    uint32_t seed;
    std::string label;
    bool named;
};

uint8_t patternbyte(uint32_t seed, int32_t index)
{
    uint32_t x = seed ^ (static_cast<uint32_t>(index) * 0x9E3779B9u);
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    x ^= x >> 12;
    return static_cast<uint8_t>(x);
}

void fill(const LIVE& block)
{
    for (int32_t i = 0; i < block.size; i++)
        block.contents[i] = patternbyte(block.seed, i);
}

// The first damaged byte of a block's contents, or -1.
int32_t damaged(const LIVE& block)
{
    for (int32_t i = 0; i < block.size; i++)
        if (block.contents[i] != patternbyte(block.seed, i))
            return i;
    return -1;
}

int32_t randomsize(std::mt19937& random)
{
    uint32_t kind = random() % 100;
    if (kind < 70)
        return static_cast<int32_t>(random() % 257);
    if (kind < 95)
        return static_cast<int32_t>(257 + random() % (4096 - 257 + 1));
    return static_cast<int32_t>(4097 + random() % (65536 - 4097 + 1));
}

std::string randomlabel(std::mt19937& random)
{
    switch (random() % 4) {
    case 0:
        return "";
    case 1:
        return "stress";
    default: {
        std::string label;
        for (uint32_t n = random() % 40; n > 0; n--)
            label += static_cast<char>('a' + random() % 26);
        return label;
    }
    }
}

// Contents needed for a request in the heap's class (alignment 8, trailer 16).
int32_t heapneed(int32_t size, size_t labellength)
{
    int32_t extra = 16 + (labellength ? static_cast<int32_t>(labellength) + 1 : 0);
    return ((std::max(size, 8) + 16 + extra + 7) & ~7) - 16;
}

TEST(MemStress, ModelOfLiveBlocksOverManyRandomOperations)
{
    const int32_t HEAP = 4 << 20;
    Area area(HEAP);
    const int32_t initial = MEM_initadr(area.bytes, HEAP);
    ASSERT_GT(initial, 0);
    std::mt19937 random(20240611);
    static const char owner[] = "tests/memstress";
    ALERTfile = owner;
    ScopedAlertRecorder alerts;

    std::vector<LIVE> live;
    std::map<uintptr_t, uintptr_t> spans;  // header -> end of trailer and label, of every live block
    int outofmemory = 0;
    int released = 0;
    const int STEPS = 100000;
    for (int step = 0; step < STEPS; step++) {
        bool allocate = live.empty() || random() % 100 < (live.size() < 300 ? 58u : 42u);
        if (allocate) {
            LIVE block{};
            block.size = randomsize(random);
            block.label = randomlabel(random);
            block.seed = random();
            uint32_t type = (random() % 2 ? MB_GLOBAL : MB_RAM);
            uint32_t search = random() % 8;
            if (search & 1)
                type |= MB_HIGH;
            if (search & 2)
                type |= MB_LARGEST;
            if (search & 4)
                type |= MB_CLEARSPARE;
            ALERTline = step;
            const char* label = block.label.empty() ? nullptr : block.label.c_str();
            block.named = label != nullptr;
            block.contents = static_cast<uint8_t*>(MEM_alloc(label, block.size, type));
            if (!block.contents) {
                // Only when no free block is large enough.
                ASSERT_EQ(alerts.count(), static_cast<size_t>(outofmemory + 1)) << step;
                ASSERT_EQ(alerts.messages().back().rfind("MEM_alloc - OUT OF MEMORY\n", 0), 0u) << step;
                ASSERT_LT(MEMCLASS_largestfree(MB_RAM), heapneed(block.size, block.label.size())) << step;
                outofmemory++;
            } else {
                uint8_t* hdr = header(block.contents);
                ASSERT_EQ(signature(hdr), "MB") << step;
                ASSERT_EQ(i32(hdr + 4), block.size) << step;
                uint32_t flags = u16(hdr + 2);
                ASSERT_EQ(flags & (MB_CLASSMASK | MB_HIGH | MB_LARGEST | MB_CLEARSPARE), type) << step;
                ASSERT_EQ((flags & MB_NAMED) != 0, block.named) << step;
                ASSERT_GE(span(area.bytes, block.contents), heapneed(block.size, block.label.size())) << step;
                ASSERT_EQ((reinterpret_cast<uintptr_t>(hdr) - reinterpret_cast<uintptr_t>(area.bytes) - 176) % 8, 0u);
                const uint8_t* trailer = block.contents + block.size;
                ASSERT_EQ(ENDIAN_getbig(trailer, 4), 0x42454E44u) << step;
                ASSERT_EQ(i32(trailer + 8), step);
                if (type & MB_CLEARSPARE) {
                    ASSERT_EQ(u32(trailer + 12), 0u) << step;
                }
                if (block.named) {
                    ASSERT_STREQ(reinterpret_cast<const char*>(trailer + 16), label) << step;
                }
                const char* file = nullptr;
                int32_t line = -1;
                ASSERT_EQ(MEM_owner(block.contents, &file, &line), 1);
                ASSERT_EQ(file, owner);
                ASSERT_EQ(line, step);

                // The block, its trailer and its label overlap no live block.
                uintptr_t from = reinterpret_cast<uintptr_t>(hdr);
                uintptr_t to = reinterpret_cast<uintptr_t>(trailer) + 16 + (block.named ? block.label.size() + 1 : 0);
                auto above = spans.lower_bound(from);
                if (above != spans.end()) {
                    ASSERT_LE(to, above->first) << step;
                }
                if (above != spans.begin()) {
                    ASSERT_LE(std::prev(above)->second, from) << step;
                }
                spans[from] = to;
                fill(block);
                live.push_back(block);
            }
        } else {
            size_t index = random() % live.size();
            LIVE block = live[index];
            ASSERT_EQ(damaged(block), -1) << step;
            ASSERT_EQ(ENDIAN_getbig(block.contents + block.size, 4), 0x42454E44u) << step;
            ASSERT_EQ(MEM_free(block.contents), 1) << step;
            spans.erase(reinterpret_cast<uintptr_t>(header(block.contents)));
            live[index] = live.back();
            live.pop_back();
            released++;
        }
        ASSERT_EQ(MEMCLASS_check(MB_RAM), 1) << "after step " << step;
        if (step % 4999 == 0) {
            for (const LIVE& block : live)
                ASSERT_EQ(damaged(block), -1) << step;
        }
    }
    EXPECT_GT(released, STEPS / 3);

    std::shuffle(live.begin(), live.end(), random);
    for (const LIVE& block : live) {
        ASSERT_EQ(damaged(block), -1);
        ASSERT_EQ(MEM_free(block.contents), 1);
        ASSERT_EQ(MEMCLASS_check(MB_RAM), 1);
    }
    // Everything merged back into the one free block the class began with.
    EXPECT_EQ(MEM_largestfree(), initial);
    EXPECT_EQ(MEM_totalfree(), initial);
    EXPECT_EQ(alerts.count(), static_cast<size_t>(outofmemory));
    ALERTfile = nullptr;
}

// Four threads allocate and release in the heap's class at once while the
// main thread runs the checker and the free-space figures.
TEST(MemStressThreads, FourThreadsInOneClass)
{
    const int32_t HEAP = 8 << 20;
    Area area(HEAP);
    const int32_t initial = MEM_initadr(area.bytes, HEAP);
    ASSERT_GT(initial, 0);
    std::atomic<int> running{4};
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (uint32_t t = 0; t < 4; t++) {
        workers.emplace_back([t, &running, &failures] {
            std::mt19937 random(1000 + t);
            std::vector<LIVE> live;
            for (int step = 0; step < 20000; step++) {
                if (live.empty() || random() % 100 < (live.size() < 100 ? 55u : 45u)) {
                    LIVE block{};
                    block.size = static_cast<int32_t>(random() % 100 < 90 ? random() % 512 : random() % 16384);
                    block.seed = random();
                    uint32_t type = (t % 2 ? MB_GLOBAL : MB_RAM) | (random() % 2 ? MB_HIGH : 0) |
                                    (random() % 5 == 0 ? MB_LARGEST : 0);
                    block.contents = static_cast<uint8_t*>(MEM_alloc(t % 2 ? "worker" : nullptr, block.size, type));
                    if (!block.contents) {
                        failures++;
                        continue;
                    }
                    fill(block);
                    live.push_back(block);
                } else {
                    size_t index = random() % live.size();
                    if (damaged(live[index]) != -1)
                        failures++;
                    if (MEM_free(live[index].contents) != 1)
                        failures++;
                    live[index] = live.back();
                    live.pop_back();
                }
            }
            for (const LIVE& block : live) {
                if (damaged(block) != -1 || MEM_free(block.contents) != 1)
                    failures++;
            }
            running--;
        });
    }
    int checks = 0;
    while (running.load() > 0) {
        EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
        EXPECT_GT(MEM_largestfree(), 0);
        EXPECT_GT(MEM_totalfree(), 0);
        checks++;
        std::this_thread::yield();
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(checks, 0);
    EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
    EXPECT_EQ(MEM_largestfree(), initial);
    EXPECT_EQ(MEM_totalfree(), initial);
}

}  // namespace
