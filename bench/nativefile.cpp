// The native file layer's transfers: readfromfile and writetofile over a
// 64 MiB file in the page cache, unmapped (16 KiB platform calls) and mapped
// (16 KiB copies with a yield after each), against a plain read()/write()
// loop with the same 16 KiB blocks, in the same run. A table with the ratios
// follows the usual report.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "vorl/file.h"

namespace {

constexpr uint32_t kFileSize = 64u << 20;
constexpr size_t kBlock = FILE_DEFAULTBLOCK;
std::string readpath;
std::string writepath;
std::vector<uint8_t> buffer(kFileSize);

void layerread(benchmark::State& state, uint32_t mode)
{
    int32_t handle = 0;
    if (!openfile(readpath.c_str(), mode, 0, &handle)) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        seekfile(handle, 0);
        if (readfromfile(handle, buffer.data(), kFileSize) != kFileSize)
            state.SkipWithError("short read");
        benchmark::ClobberMemory();
    }
    closefile(handle);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

void layerwrite(benchmark::State& state, uint32_t mode)
{
    int32_t handle = 0;
    if (!openfile(writepath.c_str(), mode, 0, &handle)) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        seekfile(handle, 0);
        if (writetofile(handle, buffer.data(), kFileSize) != kFileSize)
            state.SkipWithError("short write");
        benchmark::ClobberMemory();
    }
    closefile(handle);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

void plaintransfer(benchmark::State& state, bool writes)
{
    int fd = open(writes ? writepath.c_str() : readpath.c_str(), writes ? O_RDWR : O_RDONLY);
    if (fd < 0) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        lseek(fd, 0, SEEK_SET);
        size_t total = 0;
        ssize_t done = 1;
        while (total < kFileSize && done > 0) {
            size_t piece = std::min(kBlock, kFileSize - total);
            done = writes ? write(fd, buffer.data() + total, piece) : read(fd, buffer.data() + total, piece);
            total += done > 0 ? static_cast<size_t>(done) : 0;
        }
        if (total != kFileSize)
            state.SkipWithError("short transfer");
        benchmark::ClobberMemory();
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

void BM_ReadUnmapped(benchmark::State& state) { layerread(state, FM_READ | FM_SHAREREAD); }
void BM_ReadMapped(benchmark::State& state) { layerread(state, FM_READ | FM_SHAREREAD | FM_MAP); }
void BM_ReadPlain16KiB(benchmark::State& state) { plaintransfer(state, false); }
void BM_WriteUnmapped(benchmark::State& state) { layerwrite(state, FM_READ | FM_WRITE); }
void BM_WriteMapped(benchmark::State& state) { layerwrite(state, FM_READ | FM_WRITE | FM_MAP); }
void BM_WritePlain16KiB(benchmark::State& state) { plaintransfer(state, true); }

BENCHMARK(BM_ReadUnmapped)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadMapped)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlain16KiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteUnmapped)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteMapped)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePlain16KiB)->UseRealTime()->Unit(benchmark::kMillisecond);

// Keeps each benchmark's speed for the table: the median when repetitions
// were asked for, else the one run.
class SPEEDREPORTER : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> speeds;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            auto found = run.counters.find("bytes_per_second");
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (found != run.counters.end() && (run.run_type == Run::RT_Iteration || median))
                speeds[run.run_name.str()] = found->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double speed(const char* name) const
    {
        auto found = speeds.find(std::string(name) + "/real_time");
        return found == speeds.end() ? 0.0 : found->second;
    }
};

bool makefile(std::string* path)
{
    char pattern[] = "/tmp/vorl-nativefile-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0)
        return false;
    *path = pattern;
    std::vector<uint8_t> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); i++)
        chunk[i] = static_cast<uint8_t>(i * 31);
    bool ok = true;
    for (uint32_t written = 0; ok && written < kFileSize; written += static_cast<uint32_t>(chunk.size()))
        ok = write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    // Read once so that every run starts from the page cache.
    lseek(fd, 0, SEEK_SET);
    while (ok && read(fd, chunk.data(), chunk.size()) > 0) {
    }
    close(fd);
    return ok;
}

void row(const char* name, double layer, double plain)
{
    printf("  %-26s %9.1f MiB/s   plain %9.1f MiB/s   ratio %.2f\n", name, layer / (1 << 20), plain / (1 << 20),
           plain > 0 ? layer / plain : 0.0);
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    initfiles(0);
    if (!makefile(&readpath) || !makefile(&writepath)) {
        fprintf(stderr, "cannot make the 64 MiB test files\n");
        return 1;
    }
    SPEEDREPORTER reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    shutdownfiles();
    unlink(readpath.c_str());
    unlink(writepath.c_str());

    printf("\n64 MiB in the page cache, 16 KiB blocks: the layer against a plain loop\n");
    row("readfromfile, unmapped", reporter.speed("BM_ReadUnmapped"), reporter.speed("BM_ReadPlain16KiB"));
    row("readfromfile, mapped", reporter.speed("BM_ReadMapped"), reporter.speed("BM_ReadPlain16KiB"));
    row("writetofile, unmapped", reporter.speed("BM_WriteUnmapped"), reporter.speed("BM_WritePlain16KiB"));
    row("writetofile, mapped", reporter.speed("BM_WriteMapped"), reporter.speed("BM_WritePlain16KiB"));
    return 0;
}
