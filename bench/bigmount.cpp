// Loading many small files (256 of 4 KiB) with FILE_loadquiet: as entries of
// a mounted archive, named "archive|entry" (no disk open is tried) and by
// their plain names (a disk open fails first, then the mounted archives are
// searched), against the same data as 256 plain files on disk. The same run
// prints the throughputs and the ratios (archive / plain files).
#include <benchmark/benchmark.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "tests/pc/bigarchive.h"
#include "vorl/nfile.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"

namespace {

const int kEntries = 256;
const int kEntrySize = 4096;

std::string directory;
std::string archivepath;
int32_t archivenumber = 0;
bool mounted = false;
std::vector<std::string> plainpaths;
std::vector<std::string> barpaths;
std::vector<std::string> entrynames;

void loadall(benchmark::State& state, const std::vector<std::string>& paths)
{
    for (auto _ : state) {
        for (const std::string& path : paths) {
            void* block = FILE_loadquiet(path.c_str(), 0);
            if (!block) {
                state.SkipWithError("a load failed");
                return;
            }
            benchmark::DoNotOptimize(block);
            MEM_free(block);
        }
    }
    state.SetBytesProcessed(state.iterations() * kEntries * kEntrySize);
}

void BM_LoadPlainFiles(benchmark::State& state) { loadall(state, plainpaths); }
void BM_LoadEntriesByArchiveName(benchmark::State& state) { loadall(state, barpaths); }
void BM_LoadEntriesByPlainName(benchmark::State& state) { loadall(state, entrynames); }

BENCHMARK(BM_LoadPlainFiles)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadEntriesByArchiveName)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadEntriesByPlainName)->UseRealTime()->Unit(benchmark::kMillisecond);

bool makefiles(bench::TEMPFILES& temporary)
{
    directory = temporary.folder("/tmp/vorl-bigmount-XXXXXX");
    if (directory.empty())
        return false;
    BigEntries entries;
    for (int index = 0; index < kEntries; index++) {
        std::string bytes(kEntrySize, '\0');
        for (int at = 0; at < kEntrySize; at++)
            bytes[at] = static_cast<char>(at * 31 + index);
        char name[64];
        snprintf(name, sizeof name, "vorl-bench-entry-%03d.bin", index);
        entries.push_back({name, bytes});
        entrynames.push_back(name);
        plainpaths.push_back(directory + "/" + name);
        if (!temporary.write(plainpaths.back(), bytes))
            return false;
    }
    archivepath = directory + "/entries.big";
    if (!temporary.write(archivepath, bigarchive(2, entries)))
        return false;
    for (const std::string& name : entrynames)
        barpaths.push_back(archivepath + "|" + name);
    return true;
}

bool start(bench::TEMPFILES& temporary)
{
    MEM_init();
    FILESYS_init(0, 0, 0);
    mounted = makefiles(temporary) && FILESYS_openbig(archivepath.c_str(), 0, FILE_defaultpriority, &archivenumber);
    if (!mounted)
        fprintf(stderr, "cannot make or mount the test files\n");
    return mounted;
}

void stop()
{
    if (mounted)
        FILESYS_closebig(archivenumber, FILE_defaultpriority);
    FILESYS_shutdown();
    MEM_shutdown();
}

void summary(const bench::COUNTERREPORTER& reporter)
{
    double plain = bench::mib(reporter.speed("BM_LoadPlainFiles/real_time"));
    double bar = bench::mib(reporter.speed("BM_LoadEntriesByArchiveName/real_time"));
    double named = bench::mib(reporter.speed("BM_LoadEntriesByPlainName/real_time"));
    printf("\nloading %d files of %d bytes with FILE_loadquiet\n", kEntries, kEntrySize);
    printf("  %-32s %9.2f MiB/s\n", "plain files on disk", plain);
    printf("  %-32s %9.2f MiB/s   ratio %.2f\n", "entries, \"archive|entry\"", bar, bench::ratio(bar, plain));
    printf("  %-32s %9.2f MiB/s   ratio %.2f\n", "entries, plain names", named, bench::ratio(named, plain));
}

}  // namespace

int main(int argc, char** argv) { return bench::run(argc, argv, start, stop, summary); }
