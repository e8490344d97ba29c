// The free-block index against a plain walk of the free list: a million random allocations (low, high and
// largest, sizes from nothing to more than a class holds) and releases in random order, over classes of
// different alignments, trailers and labels. Each allocation must come out of the block the walk picks.
#include <random>

#include "memtest.h"

using namespace memtest;

namespace {

struct CONFIG { uint32_t alignment, first, trailer; int32_t named; };

// The documented request size: contents (at least 8), header, trailer and label, rounded to the alignment.
int64_t need(const CONFIG& c, const char* label, int32_t size)
{
    int64_t extra = c.trailer + (label && c.named ? strlen(label) + 1 : 0);
    return ((std::max<int64_t>(size, 8) + 16 + extra + c.alignment - 1) & ~int64_t(c.alignment - 1)) - 16;
}

// First fit from the low or high end, or the largest (the first met among equals), along the list.
uint8_t* walkchoice(uint8_t* base, int64_t wanted, uint32_t type)
{
    uint8_t* head = base + 32;
    int direction = type & MB_HIGH ? PREVIOUSFREE : NEXTFREE;
    uint8_t* chosen = nullptr;
    for (uint8_t* n = link(base, head, direction); n != head; n = link(base, n, direction)) {
        int32_t size = int32_t(u32(n + 4));
        if (size >= wanted && !(type & MB_LARGEST))
            return n;
        if (size >= wanted && (!chosen || size > int32_t(u32(chosen + 4))))
            chosen = n;
    }
    return chosen;
}

struct MODEL {
    CONFIG config;
    int32_t number = MEMCLASS_getfree();
    Area area{1 << 18};
    std::vector<void*> live;
    int32_t created;
    MODEL(const CONFIG& c) : config(c)
    {
        if (!MEM_heapbase)
            MEM_initsize(1 << 16, 0);  // allocation needs the heap, though these classes are not in it
        created = MEMCLASS_create(number, "MODEL", area.bytes, 1 << 18, c.alignment, c.first, c.trailer, 1, 1,
                                  c.named, 0, nullptr);
        EXPECT_GT(created, 0);
        live.reserve(4096);  // no allocation of the test's own while page memory is cut off
    }
    ~MODEL() { MEMCLASS_destroy(number); }

    // One random step; false (after a failed assertion) when the heap chose another block than the walk.
    bool step(std::mt19937& random)
    {
        if (!live.empty() && random() % 100 < (live.size() < 120 ? 40u : 60u)) {
            size_t slot = random() % live.size();
            EXPECT_EQ(MEM_free(live[slot]), 1);
            live[slot] = live.back();
            live.pop_back();
            return true;
        }
        int32_t size = int32_t(std::exp2(random() % 1900 / 100.0)) - 1;  // 0 to 512 KiB, log-uniform
        const char* label = random() % 2 ? "label" : nullptr;
        uint32_t type = uint32_t(number) | (random() % 2 ? MB_HIGH : 0) | (random() % 4 ? 0 : MB_LARGEST);
        int64_t wanted = need(config, label, size);
        uint8_t* chosen = walkchoice(area.bytes, wanted, type);
        if (!chosen) {
            EXPECT_LT(MEMCLASS_largestfree(type), wanted);
            return !testing::Test::HasFailure();
        }
        uint8_t* end = chosen + 16 + int32_t(u32(chosen + 4));
        uint8_t* block = static_cast<uint8_t*>(MEM_alloc(label, size, type));
        live.push_back(block);
        // Carved from the chosen block: its start from the low end, anywhere inside it from the high end.
        EXPECT_TRUE(block && header(block) >= chosen && block + wanted <= end) << size << " type " << type;
        EXPECT_TRUE((type & MB_HIGH) || header(block) == chosen);
        return !testing::Test::HasFailure();
    }
};

const CONFIG CONFIGS[] = {{8, 64, 16, 1}, {128, 256, 0, 0}, {4, 4, 4, 1}};

}  // namespace

TEST(MemIndex, AMillionChoicesAreTheWalksChoices)
{
    for (const CONFIG& config : CONFIGS) {
        MODEL model(config);
        std::mt19937 random(config.alignment);
        for (int step = 0; step < 333334; step++) {
            ASSERT_TRUE(model.step(random)) << "step " << step << ", alignment " << config.alignment;
            ASSERT_TRUE(step % 4096 || MEMCLASS_check(model.number) == 1) << step;
        }
        ASSERT_EQ(MEMCLASS_freeall(model.number), int32_t(model.live.size()));
        ASSERT_EQ(MEMCLASS_largestfree(model.number), model.created);
        ASSERT_EQ(MEMCLASS_check(model.number), 1);
    }
}

// (Without a limit on the address space on Windows; the sanitizers' own mappings need the address space.)
#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#include <sys/resource.h>

// Without page memory for the index the class walks its list (a thousand scattered free blocks make the index grow);
// when page memory is back the index is built again. A bit per failed part.
int withoutpagememory()
{
    MODEL model(CONFIGS[0]);
    std::mt19937 random(7);
    auto runs = [&](int steps) {
        for (int step = 0; step < steps; step++)
            if (!model.step(random) || (step % 1000 == 0 && MEMCLASS_check(model.number) != 1))
                return 1;
        return 0;
    };
    rlimit saved, none;
    getrlimit(RLIMIT_AS, &saved);
    none = {0, saved.rlim_max};
    int failed = runs(3000);
    setrlimit(RLIMIT_AS, &none);
    for (int i = 0; i < 2000; i++)
        if (void* block = MEM_alloc(nullptr, 0, uint32_t(model.number)); i % 2 == 0 || !MEM_free(block))
            model.live.push_back(block);
    failed |= runs(20000) << 1;
    setrlimit(RLIMIT_AS, &saved);
    return failed | runs(3000) << 2;
}

TEST(MemIndex, ChoicesStayTheWalksWhenTheIndexCannotGrow)
{
    EXPECT_EXIT(exit(withoutpagememory()), testing::ExitedWithCode(0), "");
}
#endif
