// Throughput of the seven fill and copy routines against memset and memcpy on
// the same buffers, at 64 B, 4 KiB, 1 MiB and 64 MiB, in one run. After the
// usual report a table gives each routine's speed as a ratio to memset (for
// the fills) or memcpy (for the copies) at the same size.
#include <benchmark/benchmark.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

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

BUFFERS& buffers() {
    static BUFFERS b;
    if (b.dest.empty()) {
        const size_t size = (64 << 20) + 64;
        b.dest.assign(size, 1);
        b.source.assign(size, 2);
        b.d = (uint8_t*)(((uintptr_t)b.dest.data() + 63) & ~(uintptr_t)63);
        b.s = (uint8_t*)(((uintptr_t)b.source.data() + 63) & ~(uintptr_t)63);
    }
    return b;
}

void emptymmx() {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
    __asm__ __volatile__("emms");
#endif
}

typedef void* (*FILLROUTINE)(void*, uint32_t, int32_t);
typedef void* (*COPYROUTINE)(void*, const void*, int32_t);

void* libraryfill(void* d, uint32_t v, int32_t n) { return memset(d, (int)(v & 0xFF), (size_t)n); }
void* librarycopy(void* d, const void* s, int32_t n) { return memcpy(d, s, (size_t)n); }

void runfill(benchmark::State& state, FILLROUTINE fill, bool usesmmx) {
    BUFFERS& b = buffers();
    const int32_t n = (int32_t)state.range(0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(fill(b.d, 0, n));
        if (usesmmx)
            emptymmx();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * n);
}

void runcopy(benchmark::State& state, COPYROUTINE copy, bool usesmmx) {
    BUFFERS& b = buffers();
    const int32_t n = (int32_t)state.range(0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(copy(b.d, b.s, n));
        if (usesmmx)
            emptymmx();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * n);
}

struct FILLENTRY {
    const char* name;
    FILLROUTINE routine;
    bool usesmmx;
};
struct COPYENTRY {
    const char* name;
    COPYROUTINE routine;
    bool usesmmx;
};

const FILLENTRY FILLS[] = {
    {"memset", libraryfill, false},
    {"MEM_fill32", MEM_fill32, false},
    {"MEM_fillmmx", MEM_fillmmx, true},
    {"MEM_fillsse", MEM_fillsse, false},
};
const COPYENTRY COPIES[] = {
    {"memcpy", librarycopy, false},
    {"MEM_copy32", MEM_copy32, false},
    {"MEM_copyfpu", MEM_copyfpu, false},
    {"MEM_copymmx", MEM_copymmx, true},
    {"MEM_copysse", MEM_copysse, false},
};

// Keeps each run's bytes per second by routine and size for the table.
class RATIOREPORTER : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::map<int64_t, double>> speed;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it == run.counters.end() || run.run_type != Run::RT_Iteration)
                continue;
            // Names are "<kind>/<routine>/<size>".
            const std::string name = run.benchmark_name();
            const size_t first = name.find('/');
            const size_t last = name.rfind('/');
            const std::string routine = name.substr(first + 1, last - first - 1);
            const int64_t size = std::stoll(name.substr(last + 1));
            speed[routine][size] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string sizename(int64_t size) {
    if (size >= (1 << 20))
        return std::to_string(size >> 20) + " MiB";
    if (size >= (1 << 10))
        return std::to_string(size >> 10) + " KiB";
    return std::to_string(size) + " B";
}

void printtable(RATIOREPORTER& reporter) {
    printf("\nThroughput (GB/s) and ratio to the library routine at the same size\n");
    printf("%-14s", "routine");
    for (int64_t size : SIZES)
        printf(" %20s", sizename(size).c_str());
    printf("\n");
    auto row = [&](const char* name, const char* baseline) {
        printf("%-14s", name);
        for (int64_t size : SIZES) {
            const double value = reporter.speed[name][size];
            const double base = reporter.speed[baseline][size];
            if (value > 0 && base > 0)
                printf(" %10.2f (x%6.2f)", value / 1e9, value / base);
            else
                printf(" %20s", "-");
        }
        printf("\n");
    };
    for (const FILLENTRY& f : FILLS)
        row(f.name, "memset");
    for (const COPYENTRY& c : COPIES)
        row(c.name, "memcpy");
}

}  // namespace

int main(int argc, char** argv) {
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
    int count = (int)args.size();

    buffers();
    for (const FILLENTRY& f : FILLS)
        for (int64_t size : SIZES)
            benchmark::RegisterBenchmark((std::string("fill/") + f.name).c_str(), runfill, f.routine, f.usesmmx)
                ->Arg(size);
    for (const COPYENTRY& c : COPIES)
        for (int64_t size : SIZES)
            benchmark::RegisterBenchmark((std::string("copy/") + c.name).c_str(), runcopy, c.routine, c.usesmmx)
                ->Arg(size);

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    RATIOREPORTER reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printtable(reporter);
    benchmark::Shutdown();
    return 0;
}
