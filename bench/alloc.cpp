// The heap's MEM_alloc + MEM_free against the C library's malloc + free, in
// the same run and on the same request sequences:
//   lifo:   blocks of 16 to 256 bytes, 64 allocated then released newest first;
//   random: 1,000 blocks live, each step releases a random one and allocates
//           a random size from 8 bytes to 64 KiB (uniform) in its place.
// Prints the operations (one allocation plus one release) per second of each
// and their ratio.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "vorl/memory.h"

namespace {

const int LIFODEPTH = 64;
const int LIVE = 1000;
const int STEPS = 1 << 16;  // length of the pre-drawn random sequence
const int32_t HEAP = 128 << 20;  // room for 1,000 blocks of up to 64 KiB

struct SEQUENCE {
    std::vector<int32_t> sizes;
    std::vector<int32_t> slots;
};

const SEQUENCE& sequence()
{
    static SEQUENCE drawn = [] {
        SEQUENCE s;
        std::mt19937 random(12345);
        std::uniform_int_distribution<int32_t> size(8, 65536);
        std::uniform_int_distribution<int32_t> slot(0, LIVE - 1);
        for (int i = 0; i < STEPS; i++) {
            s.sizes.push_back(size(random));
            s.slots.push_back(slot(random));
        }
        return s;
    }();
    return drawn;
}

int32_t lifosize(int i) { return 16 + (i * 61) % 241; }

void* heapalloc(int32_t size) { return MEM_alloc(nullptr, size, MB_RAM); }
void heapfree(void* block) { MEM_free(block); }
void* crtalloc(int32_t size) { return malloc(static_cast<size_t>(size)); }
void crtfree(void* block) { free(block); }

template <void* (*ALLOC)(int32_t), void (*FREE)(void*)>
void lifo(benchmark::State& state)
{
    void* blocks[LIFODEPTH];
    for (auto _ : state) {
        for (int i = 0; i < LIFODEPTH; i++) {
            blocks[i] = ALLOC(lifosize(i));
            benchmark::DoNotOptimize(blocks[i]);
        }
        benchmark::ClobberMemory();
        for (int i = LIFODEPTH - 1; i >= 0; i--)
            FREE(blocks[i]);
    }
    state.SetItemsProcessed(state.iterations() * LIFODEPTH);
}

template <void* (*ALLOC)(int32_t), void (*FREE)(void*)>
void randomlive(benchmark::State& state)
{
    const SEQUENCE& s = sequence();
    std::vector<void*> live(LIVE);
    for (int i = 0; i < LIVE; i++)
        live[i] = ALLOC(s.sizes[(STEPS - 1 - i)]);
    size_t step = 0;
    for (auto _ : state) {
        for (int k = 0; k < 256; k++) {
            int32_t slot = s.slots[step];
            FREE(live[slot]);
            live[slot] = ALLOC(s.sizes[step]);
            static_cast<char*>(live[slot])[0] = 1;
            benchmark::DoNotOptimize(live[slot]);
            step = (step + 1) % STEPS;
        }
    }
    for (void* block : live)
        FREE(block);
    state.SetItemsProcessed(state.iterations() * 256);
}

BENCHMARK(lifo<heapalloc, heapfree>)->Name("lifo/MEM_alloc+MEM_free");
BENCHMARK(lifo<crtalloc, crtfree>)->Name("lifo/malloc+free");
BENCHMARK(randomlive<heapalloc, heapfree>)->Name("random/MEM_alloc+MEM_free");
BENCHMARK(randomlive<crtalloc, crtfree>)->Name("random/malloc+free");

// Keeps each run's operations per second for the closing comparison.
class RATIOREPORTER : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end())
                rates[run.benchmark_name()] = rate->second;
        }
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (MEM_initsize(HEAP, 0) == 0) {
        fprintf(stderr, "bench_alloc: cannot take a heap of %d bytes\n", static_cast<int>(HEAP));
        return 1;
    }
    RATIOREPORTER reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* test : {"lifo", "random"}) {
        std::string name = test;
        double heap = reporter.rates[name + "/MEM_alloc+MEM_free"];
        double crt = reporter.rates[name + "/malloc+free"];
        if (heap > 0 && crt > 0)
            printf("%-7s MEM_alloc+MEM_free %12.0f ops/s   malloc+free %12.0f ops/s   ratio %.2f\n", test, heap, crt,
                   heap / crt);
    }
    MEM_shutdown();
    benchmark::Shutdown();
    return 0;
}
