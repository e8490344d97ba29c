// Stress of the memory manager against a model of what is live: random
// allocations (sizes up to 64 KiB, labels, MB_HIGH, MB_LARGEST) and releases
// in random order, with the heap checker after every step and every block's
// contents checked for damage; then the same from four threads at once.
#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "memtest.h"

using namespace memtest;

namespace {

// A live block, whose contents hold a pattern made from its seed.
struct LIVE {
    uint8_t* contents;
    int32_t size;
    uint32_t seed;
    std::string pattern() const
    {
        std::string bytes(size, '\0');
        for (int32_t i = 0; i < size; i++)
            bytes[i] = static_cast<char>((seed ^ static_cast<uint32_t>(i) * 0x9E3779B9u) * 0x2C1B3C6Du >> 24);
        return bytes;
    }
    void fill() const { memcpy(contents, pattern().data(), size); }
    bool intact() const { return text(contents, size) == pattern(); }
};

TEST(MemStress, ModelOfLiveBlocksOverManyRandomOperations)
{
    Area area(4 << 20);
    const int32_t initial = MEM_initadr(area.bytes, 4 << 20);
    ASSERT_GT(initial, 0);
    std::mt19937 random(20240611);
    ALERTfile = "tests/memstress";
    ScopedAlertRecorder alerts;
    std::vector<LIVE> live;
    std::map<uintptr_t, uintptr_t> spans;  // header -> end of trailer and label, of every live block
    size_t outofmemory = 0;
    int released = 0;
    const int STEPS = 100000;
    for (int step = 0; step < STEPS; step++) {
        SCOPED_TRACE(step);
        // The state the previous step left.
        ASSERT_EQ(MEMCLASS_check(MB_RAM), 1);
        for (size_t i = 0; step % 4999 == 1 && i < live.size(); i++)
            ASSERT_TRUE(live[i].intact());
        if (live.empty() || random() % 100 < (live.size() < 300 ? 58u : 42u)) {
            // Sizes: 70% up to 256 bytes, 25% up to 4 KiB, the rest up to 64 KiB.
            uint32_t kind = random() % 100;
            int32_t size = static_cast<int32_t>(kind < 70   ? random() % 257
                                                : kind < 95 ? 257 + random() % 3840
                                                            : 4097 + random() % 61440);
            // Labels: none, "stress", or up to 39 random letters.
            std::string label = random() % 4 == 1 ? "stress" : "";
            for (uint32_t n = label.empty() && random() % 2 ? random() % 40 : 0; n > 0; n--)
                label += static_cast<char>('a' + random() % 26);
            uint32_t search = random() % 8;
            uint32_t type = (random() % 2 ? MB_GLOBAL : MB_RAM) | (search & 1 ? MB_HIGH : 0) |
                            (search & 2 ? MB_LARGEST : 0) | (search & 4 ? MB_CLEARSPARE : 0);
            ALERTline = step;
            uint8_t* contents = static_cast<uint8_t*>(MEM_alloc(label.empty() ? nullptr : label.c_str(), size, type));
            // Contents needed in the heap's class: alignment 8, trailer 16, the label.
            size_t after = 16 + (label.empty() ? 0 : label.size() + 1);
            int32_t need = static_cast<int32_t>((std::max(size, 8) + 16 + after + 7) & ~size_t(7)) - 16;
            if (!contents) {
                // Only when no free block is large enough.
                ASSERT_EQ(alerts.count(), ++outofmemory);
                ASSERT_EQ(alerts.messages().back().rfind("MEM_alloc - OUT OF MEMORY\n", 0), 0u);
                ASSERT_LT(MEMCLASS_largestfree(MB_RAM), need);
                continue;
            }
            uint8_t* hdr = header(contents);
            uint32_t flags = MB_GUARD | MB_WHERE | (label.empty() ? 0 : MB_NAMED);
            ASSERT_EQ(text(hdr, 8), layout("MB", flags | type, {uint32_t(size)}));
            ASSERT_GE(span(area.bytes, contents), need);
            ASSERT_EQ((hdr - area.bytes - 176) % 8, 0);
            // Guard, line, spare word (cleared if asked), label; and the owner.
            std::string spare = type & MB_CLEARSPARE ? words({0}) : text(contents + size + 12, 4);
            ASSERT_EQ(text(contents + size, 4) + text(contents + size + 8, after - 8),
                      "BEND" + words({uint32_t(step)}) + spare + std::string(label.c_str(), after - 16));
            ASSERT_EQ(owner(contents), "tests/memstress(" + std::to_string(step) + ")");
            // The block, its trailer and its label overlap no live block.
            uintptr_t from = reinterpret_cast<uintptr_t>(hdr);
            uintptr_t to = reinterpret_cast<uintptr_t>(contents) + size + after;
            auto above = spans.lower_bound(from);
            ASSERT_TRUE(above == spans.end() || to <= above->first);
            ASSERT_TRUE(above == spans.begin() || std::prev(above)->second <= from);
            spans[from] = to;
            live.push_back(LIVE{contents, size, static_cast<uint32_t>(random())});
            live.back().fill();
        } else {
            size_t index = random() % live.size();
            ASSERT_TRUE(live[index].intact());
            ASSERT_EQ(ENDIAN_getbig(live[index].contents + live[index].size, 4), 0x42454E44u);
            ASSERT_EQ(MEM_free(live[index].contents), 1);
            spans.erase(reinterpret_cast<uintptr_t>(header(live[index].contents)));
            live[index] = live.back();
            live.pop_back();
            released++;
        }
    }
    EXPECT_GT(released, STEPS / 3);
    std::shuffle(live.begin(), live.end(), random);
    for (const LIVE& block : live) {
        ASSERT_TRUE(block.intact());
        ASSERT_EQ(MEM_free(block.contents), 1);
        ASSERT_EQ(MEMCLASS_check(MB_RAM), 1);
    }
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
                    int32_t size = static_cast<int32_t>(random() % 100 < 90 ? random() % 512 : random() % 16384);
                    uint32_t type = (t % 2 ? MB_GLOBAL : MB_RAM) | (random() % 2 ? MB_HIGH : 0) |
                                    (random() % 5 == 0 ? MB_LARGEST : 0);
                    void* contents = MEM_alloc(t % 2 ? "worker" : nullptr, size, type);
                    failures += contents == nullptr;
                    if (contents) {
                        live.push_back(LIVE{static_cast<uint8_t*>(contents), size, uint32_t(random())});
                        live.back().fill();
                    }
                } else {
                    size_t index = random() % live.size();
                    failures += !live[index].intact();
                    failures += MEM_free(live[index].contents) != 1;
                    live[index] = live.back();
                    live.pop_back();
                }
            }
            for (const LIVE& block : live)
                failures += !block.intact() || MEM_free(block.contents) != 1;
            running--;
        });
    }
    int checks = 0;
    for (; running.load() > 0; checks++) {
        EXPECT_EQ(MEMCLASS_check(MB_RAM), 1);
        EXPECT_GT(MEM_largestfree(), 0);
        EXPECT_GT(MEM_totalfree(), 0);
        std::this_thread::yield();
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(checks, 0);
    EXPECT_EQ(heapstate(), std::make_tuple(initial, initial, 1));
}

}  // namespace
