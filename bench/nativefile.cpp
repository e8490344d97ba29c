// The native file layer's transfers: readfromfile and writetofile over a
// 64 MiB file in the page cache, unmapped (16 KiB platform calls) and mapped
// (16 KiB copies with a yield after each), against a plain read()/write()
// loop with the same 16 KiB blocks, in the same run. A table with the ratios
// follows the usual report.
#include <benchmark/benchmark.h>

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "vorl/file.h"

namespace {

constexpr uint32_t kFileSize = 64u << 20;
constexpr size_t kBlock = FILE_DEFAULTBLOCK;
std::string readpath;
std::string writepath;
std::vector<uint8_t> buffer(kFileSize);

void layertransfer(benchmark::State& state, uint32_t mode, bool writes)
{
    int32_t handle = 0;
    if (!openfile(writes ? writepath.c_str() : readpath.c_str(), mode, 0, &handle)) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        seekfile(handle, 0);
        uint32_t done = writes ? writetofile(handle, buffer.data(), kFileSize)
                               : readfromfile(handle, buffer.data(), kFileSize);
        if (done != kFileSize)
            state.SkipWithError(writes ? "short write" : "short read");
        benchmark::ClobberMemory();
    }
    closefile(handle);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

void plaintransfer(benchmark::State& state, bool writes)
{
    bench::plaintransfer(state, writes ? writepath : readpath, writes, buffer.data(), kFileSize, kBlock, false);
}

void BM_ReadUnmapped(benchmark::State& state) { layertransfer(state, FM_READ | FM_SHAREREAD, false); }
void BM_ReadMapped(benchmark::State& state) { layertransfer(state, FM_READ | FM_SHAREREAD | FM_MAP, false); }
void BM_ReadPlain16KiB(benchmark::State& state) { plaintransfer(state, false); }
void BM_WriteUnmapped(benchmark::State& state) { layertransfer(state, FM_READ | FM_WRITE, true); }
void BM_WriteMapped(benchmark::State& state) { layertransfer(state, FM_READ | FM_WRITE | FM_MAP, true); }
void BM_WritePlain16KiB(benchmark::State& state) { plaintransfer(state, true); }

BENCHMARK(BM_ReadUnmapped)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadMapped)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlain16KiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteUnmapped)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteMapped)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePlain16KiB)->UseRealTime()->Unit(benchmark::kMillisecond);

// One line of the table: the layer's benchmark against the plain one.
void row(const bench::COUNTERREPORTER& reporter, const char* name, const char* layer, const char* plain)
{
    const double layerspeed = reporter.speed(std::string(layer) + "/real_time");
    const double plainspeed = reporter.speed(std::string(plain) + "/real_time");
    printf("  %-26s %9.1f MiB/s   plain %9.1f MiB/s   ratio %.2f\n", name, bench::mib(layerspeed),
           bench::mib(plainspeed), bench::ratio(layerspeed, plainspeed));
}

bool start(bench::TEMPFILES& temporary)
{
    initfiles(0);
    readpath = temporary.file("/tmp/vorl-nativefile-XXXXXX", kFileSize, false);
    writepath = temporary.file("/tmp/vorl-nativefile-XXXXXX", kFileSize, false);
    return temporary.made("the 64 MiB test files");
}

void stop() { shutdownfiles(); }

void summary(const bench::COUNTERREPORTER& reporter)
{
    printf("\n64 MiB in the page cache, 16 KiB blocks: the layer against a plain loop\n");
    row(reporter, "readfromfile, unmapped", "BM_ReadUnmapped", "BM_ReadPlain16KiB");
    row(reporter, "readfromfile, mapped", "BM_ReadMapped", "BM_ReadPlain16KiB");
    row(reporter, "writetofile, unmapped", "BM_WriteUnmapped", "BM_WritePlain16KiB");
    row(reporter, "writetofile, mapped", "BM_WriteMapped", "BM_WritePlain16KiB");
}

}  // namespace

int main(int argc, char** argv) { return bench::run(argc, argv, start, stop, summary); }
