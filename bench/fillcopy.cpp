// Throughput of the seven fill and copy routines against memset and memcpy on
// the same buffers, at 64 B, 4 KiB, 1 MiB and 64 MiB, in one run. After the
// usual report a table gives each routine's speed as a ratio to memset (for
// the fills) or memcpy (for the copies) at the same size.
#include <benchmark/benchmark.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "vorl/pagemem.h"

namespace {

const int64_t SIZES[] = {64, 4 << 10, 1 << 20, 64 << 20};

// Destination and source, 64-byte aligned, large enough for the biggest size;
// the source is written once so that its pages are really there.
struct BUFFERS {
    std::vector<uint8_t> dest;
    std::vector<uint8_t> source;
    uint8_t* d;
    uint8_t* s;
};

uint8_t* align64(std::vector<uint8_t>& buffer)
{
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(buffer.data()) + 63) & ~uintptr_t{63});
}

BUFFERS& buffers()
{
    static BUFFERS b;
    if (b.dest.empty()) {
        const size_t size = (64 << 20) + 64;
        b.dest.assign(size, 1);
        b.source.assign(size, 2);
        b.d = align64(b.dest);
        b.s = align64(b.source);
    }
    return b;
}

void emptymmx()
{
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
    __asm__ __volatile__("emms");
#endif
}

typedef void* (*FILLROUTINE)(void*, uint32_t, int32_t);
typedef void* (*COPYROUTINE)(void*, const void*, int32_t);

void* libraryfill(void* d, uint32_t v, int32_t n)
{
    return memset(d, static_cast<int>(v & 0xFF), static_cast<size_t>(n));
}
void* librarycopy(void* d, const void* s, int32_t n) { return memcpy(d, s, static_cast<size_t>(n)); }

// One call of a routine on the buffers: a fill with 0, or a copy.
void* call(FILLROUTINE fill, BUFFERS& b, int32_t n) { return fill(b.d, 0, n); }
void* call(COPYROUTINE copy, BUFFERS& b, int32_t n) { return copy(b.d, b.s, n); }

template <class ROUTINE>
void run(benchmark::State& state, ROUTINE routine, bool usesmmx)
{
    BUFFERS& b = buffers();
    const int32_t n = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(call(routine, b, n));
        if (usesmmx)
            emptymmx();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * n);
}

// A fill or copy routine, and whether it leaves the MMX state for its
// caller to empty.
template <class ROUTINE>
struct ENTRY {
    const char* name;
    ROUTINE routine;
    bool usesmmx;
};

const ENTRY<FILLROUTINE> FILLS[] = {
    {"memset", libraryfill, false},
    {"MEM_fill32", MEM_fill32, false},
    {"MEM_fillmmx", MEM_fillmmx, true},
    {"MEM_fillsse", MEM_fillsse, false},
};
const ENTRY<COPYROUTINE> COPIES[] = {
    {"memcpy", librarycopy, false},
    {"MEM_copy32", MEM_copy32, false},
    {"MEM_copyfpu", MEM_copyfpu, false},
    {"MEM_copymmx", MEM_copymmx, true},
    {"MEM_copysse", MEM_copysse, false},
};

// Benchmarks are named "<kind>/<routine>/<size>".
template <class ROUTINE, size_t N>
void registerall(const std::string& kind, const ENTRY<ROUTINE> (&entries)[N])
{
    for (const ENTRY<ROUTINE>& e : entries)
        for (int64_t size : SIZES)
            benchmark::RegisterBenchmark((kind + "/" + e.name).c_str(), run<ROUTINE>, e.routine, e.usesmmx)->Arg(size);
}

std::string sizename(int64_t size)
{
    if (size >= (1 << 20))
        return std::to_string(size >> 20) + " MiB";
    if (size >= (1 << 10))
        return std::to_string(size >> 10) + " KiB";
    return std::to_string(size) + " B";
}

void printtable(const bench::COUNTERREPORTER& reporter)
{
    printf("\nThroughput (GB/s) and ratio to the library routine at the same size\n");
    printf("%-14s", "routine");
    for (int64_t size : SIZES)
        printf(" %20s", sizename(size).c_str());
    printf("\n");
    auto row = [&](const std::string& kind, const char* name, const char* baseline) {
        printf("%-14s", name);
        for (int64_t size : SIZES) {
            const std::string suffix = "/" + std::to_string(size);
            const double value = reporter.speed(kind + "/" + name + suffix);
            const double base = reporter.speed(kind + "/" + baseline + suffix);
            if (value > 0 && base > 0)
                printf(" %10.2f (x%6.2f)", value / 1e9, value / base);
            else
                printf(" %20s", "-");
        }
        printf("\n");
    };
    for (const ENTRY<FILLROUTINE>& f : FILLS)
        row("fill", f.name, "memset");
    for (const ENTRY<COPYROUTINE>& c : COPIES)
        row("copy", c.name, "memcpy");
}

}  // namespace

int main(int argc, char** argv)
{
    // A short minimum time per run keeps the whole program near 20 seconds;
    // an explicit --benchmark_min_time on the command line wins.
    std::vector<char*> args(argv, argv + argc);
    static char mintime[] = "--benchmark_min_time=0.2";
    bool given = false;
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], "--benchmark_min_time", 20) == 0)
            given = true;
    if (!given)
        args.insert(args.begin() + 1, mintime);
    int count = static_cast<int>(args.size());

    buffers();
    registerall("fill", FILLS);
    registerall("copy", COPIES);

    if (!bench::initialize(&count, args.data()))
        return 1;
    bench::COUNTERREPORTER reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printtable(reporter);
    benchmark::Shutdown();
    return 0;
}
