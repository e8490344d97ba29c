// Loading many small files (256 of 4 KiB) with FILE_loadquiet: as entries of
// a mounted archive, named "archive|entry" (no disk open is tried) and by
// their plain names (a disk open fails first, then the mounted archives are
// searched), against the same data as 256 plain files on disk. The same run
// prints the throughputs and the ratios (archive / plain files).
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/pc/bigarchive.h"
#include "vorl/nfile.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"

namespace {

const int kEntries = 256;
const int kEntrySize = 4096;

std::string directory;
std::string archivepath;
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

class SPEEDREPORTER : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> speeds;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            auto b = run.counters.find("bytes_per_second");
            if (run.run_type == Run::RT_Iteration && b != run.counters.end())
                speeds[run.benchmark_name()] = b->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

bool makefiles()
{
    char pattern[] = "/tmp/vorl-bigmount-XXXXXX";
    if (!mkdtemp(pattern))
        return false;
    directory = pattern;
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
        FILE* out = fopen(plainpaths.back().c_str(), "wb");
        if (!out || fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || fclose(out) != 0)
            return false;
    }
    archivepath = directory + "/entries.big";
    std::string archive = bigarchive(2, entries);
    FILE* out = fopen(archivepath.c_str(), "wb");
    if (!out || fwrite(archive.data(), 1, archive.size(), out) != archive.size() || fclose(out) != 0)
        return false;
    for (const std::string& name : entrynames)
        barpaths.push_back(archivepath + "|" + name);
    return true;
}

void removefiles()
{
    for (const std::string& path : plainpaths)
        unlink(path.c_str());
    unlink(archivepath.c_str());
    rmdir(directory.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    MEM_init();
    FILESYS_init(0, 0, 0);
    int32_t number = 0;
    if (!makefiles() || !FILESYS_openbig(archivepath.c_str(), 0, FILE_defaultpriority, &number)) {
        fprintf(stderr, "cannot make or mount the test files\n");
        removefiles();
        return 1;
    }
    SPEEDREPORTER reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    FILESYS_closebig(number, FILE_defaultpriority);
    FILESYS_shutdown();
    MEM_shutdown();
    removefiles();

    auto speedof = [&](const char* name) {
        auto it = reporter.speeds.find(name);
        return it == reporter.speeds.end() ? 0.0 : it->second / (1 << 20);
    };
    double plain = speedof("BM_LoadPlainFiles/real_time");
    double bar = speedof("BM_LoadEntriesByArchiveName/real_time");
    double named = speedof("BM_LoadEntriesByPlainName/real_time");
    printf("\nloading %d files of %d bytes with FILE_loadquiet\n", kEntries, kEntrySize);
    printf("  %-32s %9.2f MiB/s\n", "plain files on disk", plain);
    printf("  %-32s %9.2f MiB/s   ratio %.2f\n", "entries, \"archive|entry\"", bar, plain > 0 ? bar / plain : 0.0);
    printf("  %-32s %9.2f MiB/s   ratio %.2f\n", "entries, plain names", named, plain > 0 ? named / plain : 0.0);
    return 0;
}
