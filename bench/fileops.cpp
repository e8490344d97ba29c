// The file system's engine: (a) the round trip of a null operation queued
// and waited for, from the main thread (which waits by polling and running
// the sync tasks) and from another thread (which blocks), as a median; and
// (b) the throughput of FILESYS_read over a 64 MiB file in the page cache,
// against a plain read() loop with the same 8 KiB pieces, one with 1 MiB
// reads and one that seeks before each 8 KiB read (what a layer that did not
// keep the file's position would ask of the system), in the same run, and
// the same read and 8 KiB loop run in turns as a median of 40 pairs; and (c)
// a whole-file load of a 4 KiB file
// (FILE_loadquiet: a transaction with an open, a size query, a read and a
// close) against open/fstat/malloc/read/close; (d) the round trip with a
// CPU-bound process per processor running beside it, and a plain
// condition-variable ping-pong between two threads, which the round trips
// are measured against; and (e) the processor time that an idle program with
// a device thread running uses over 2 seconds. A table with the ratios
// follows the usual report.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/benchutil.h"
#include "vorl/nfile.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"

namespace {

constexpr int32_t kFileSize = 64 << 20;
std::string bigpath;
std::string smallpath;
constexpr int32_t kSmallSize = 4096;
std::vector<uint8_t> destination(kFileSize);

double median(std::vector<double>& values)
{
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

double microssince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

void roundtrips(benchmark::State& state)
{
    std::vector<double> micros;
    micros.reserve(1 << 16);
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        uint32_t op = FILESYS_nullop(1, 100, 0);
        FILESYS_waitop(op);
        FILESYS_completeop(op);
        micros.push_back(microssince(start));
    }
    state.counters["median_us"] = median(micros);
}

void BM_NullRoundTripMainThread(benchmark::State& state) { roundtrips(state); }

void BM_NullRoundTripOtherThread(benchmark::State& state)
{
    // The whole timed loop runs on a thread of its own, which blocks on its
    // event instead of polling.
    std::thread other([&state] { roundtrips(state); });
    other.join();
}

// The other side of each round trip is a thread that waits on a condition
// for a request and answers on the same condition.
void BM_CondvarPingPong(benchmark::State& state)
{
    std::mutex lock;
    std::condition_variable changed;
    int turn = 0;  // 1: a request waits, 2: answered, -1: stop
    std::thread answerer([&] {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            changed.wait(hold, [&] { return turn != 0 && turn != 2; });
            if (turn < 0)
                return;
            turn = 2;
            changed.notify_all();
        }
    });
    std::vector<double> micros;
    micros.reserve(1 << 16);
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> hold(lock);
        turn = 1;
        changed.notify_all();
        changed.wait(hold, [&] { return turn == 2; });
        turn = 0;
        hold.unlock();
        micros.push_back(microssince(start));
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        turn = -1;
    }
    changed.notify_all();
    answerer.join();
    state.counters["median_us"] = median(micros);
}

// Round trips from the main thread while one busy-looping child process per
// processor competes for every processor.
void BM_NullRoundTripBusy(benchmark::State& state)
{
    std::vector<pid_t> children;
    long processors = sysconf(_SC_NPROCESSORS_ONLN);
    for (long i = 0; i < processors; i++) {
        pid_t child = fork();
        if (child == 0) {
            for (volatile uint64_t spin = 0;; spin = spin + 1) {
            }
        }
        if (child > 0)
            children.push_back(child);
    }
    roundtrips(state);
    for (pid_t child : children) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}

double cpuseconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The processor time of the whole process over 2 idle seconds, with the
// device thread started and one operation just done.
void BM_IdleCPU(benchmark::State& state)
{
    double used = 0;
    for (auto _ : state) {
        uint32_t op = FILESYS_nullop(1, 100, 0);
        FILESYS_waitop(op);
        FILESYS_completeop(op);
        double before = cpuseconds();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        used = cpuseconds() - before;
    }
    state.counters["cpu_ms_per_s"] = used * 1000.0 / 2.0;
}

void BM_ReadFILESYS(benchmark::State& state)
{
    int32_t handle = 0;
    if (!FILESYS_open(bigpath.c_str(), FOPEN_READ, 100, &handle)) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        int32_t got = FILESYS_read(handle, 0, destination.data(), kFileSize, 99);
        if (got != kFileSize)
            state.SkipWithError("short read");
        benchmark::ClobberMemory();
    }
    FILESYS_close(handle, 99);
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void plainread(benchmark::State& state, size_t piece, bool seekeach)
{
    bench::plaintransfer(state, bigpath, false, destination.data(), kFileSize, piece, seekeach);
}

void BM_ReadPlain8KiB(benchmark::State& state) { plainread(state, FILE_PIECESIZE, false); }
void BM_ReadPlain1MiB(benchmark::State& state) { plainread(state, 1 << 20, false); }
// A seek and a read per piece: what the native file layer would ask of the
// system if it did not skip a seek to where the file already is.
void BM_ReadPlainSeek8KiB(benchmark::State& state) { plainread(state, FILE_PIECESIZE, true); }

// The two in turns, one pass of each per iteration and which goes first
// alternating, so that a slow spell of the machine falls on both: the median
// of the pairs' ratios is steadier than two throughputs measured apart.
void BM_ReadPaired(benchmark::State& state)
{
    int32_t handle = 0;
    int fd = open(bigpath.c_str(), O_RDONLY);
    if (fd < 0 || !FILESYS_open(bigpath.c_str(), FOPEN_READ, 100, &handle)) {
        state.SkipWithError("open failed");
        return;
    }
    auto micros = [](auto pass) {
        auto start = std::chrono::steady_clock::now();
        pass();
        return microssince(start);
    };
    auto library = [&] {
        if (FILESYS_read(handle, 0, destination.data(), kFileSize, 99) != kFileSize)
            state.SkipWithError("short read");
    };
    auto plain = [&] {
        if (bench::plainpass(fd, false, destination.data(), kFileSize, FILE_PIECESIZE, false) != kFileSize)
            state.SkipWithError("short read");
    };
    std::vector<double> ratios;
    for (auto _ : state) {
        bool libraryfirst = ratios.size() % 2 == 0;
        double first = micros([&] { libraryfirst ? library() : plain(); });
        double second = micros([&] { libraryfirst ? plain() : library(); });
        ratios.push_back(libraryfirst ? second / first : first / second);
        benchmark::ClobberMemory();
    }
    FILESYS_close(handle, 99);
    close(fd);
    state.counters["median_ratio"] = median(ratios);
}

// Medians here too: on a shared machine a preempted thread adds
// milliseconds to a few runs, which would swamp a mean of microseconds.
void BM_LoadSmallFILE(benchmark::State& state)
{
    std::vector<double> micros;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        void* block = FILE_loadquiet(smallpath.c_str(), 0);
        if (!block)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(block);
        MEM_free(block);
        micros.push_back(microssince(start));
    }
    state.counters["median_us"] = median(micros);
}

void BM_LoadSmallPlain(benchmark::State& state)
{
    std::vector<double> micros;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        int fd = open(smallpath.c_str(), O_RDONLY);
        struct stat info;
        if (fd < 0 || fstat(fd, &info) != 0) {
            state.SkipWithError("open failed");
            break;
        }
        void* block = malloc(static_cast<size_t>(info.st_size));
        if (read(fd, block, static_cast<size_t>(info.st_size)) != info.st_size)
            state.SkipWithError("short read");
        close(fd);
        benchmark::DoNotOptimize(block);
        free(block);
        micros.push_back(microssince(start));
    }
    state.counters["median_us"] = median(micros);
}

BENCHMARK(BM_NullRoundTripMainThread)->UseRealTime();
BENCHMARK(BM_NullRoundTripOtherThread)->UseRealTime()->Iterations(20000);
BENCHMARK(BM_CondvarPingPong)->UseRealTime()->Iterations(20000);
BENCHMARK(BM_NullRoundTripBusy)->UseRealTime()->Iterations(5000);
BENCHMARK(BM_IdleCPU)->UseRealTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_ReadFILESYS)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlain8KiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlain1MiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlainSeek8KiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPaired)->Iterations(40)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadSmallFILE)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadSmallPlain)->UseRealTime()->Unit(benchmark::kMicrosecond);

bool start(bench::TEMPFILES& temporary)
{
    // The first thread that touches the library is its main thread.
    MEM_init();
    FILESYS_init(0, 0, 0);
    bigpath = temporary.file("/tmp/vorl-fileops-XXXXXX", kFileSize, true);
    smallpath = temporary.file("/tmp/vorl-fileops-small-XXXXXX", kSmallSize, false);
    return temporary.made("the 64 MiB test file");
}

void stop()
{
    FILESYS_shutdown();
    MEM_shutdown();
}

void summary(const bench::COUNTERREPORTER& reporter)
{
    double pingpong = reporter.median("BM_CondvarPingPong/iterations:20000/real_time");
    double mainthread = reporter.median("BM_NullRoundTripMainThread/real_time");
    double otherthread = reporter.median("BM_NullRoundTripOtherThread/iterations:20000/real_time");
    double busy = reporter.median("BM_NullRoundTripBusy/iterations:5000/real_time");
    printf("\nround trip of a FOP_NULL, median, against a condition-variable ping-pong (target: at most 0.35)\n");
    printf("  %-24s %9.2f us\n", "condvar ping-pong", pingpong);
    printf("  %-24s %9.2f us   ratio %.2f\n", "main thread", mainthread, bench::ratio(mainthread, pingpong));
    printf("  %-24s %9.2f us   ratio %.2f\n", "other thread", otherthread, bench::ratio(otherthread, pingpong));
    printf("  %-24s %9.2f us   ratio %.2f to the quiet main thread\n", "busy process per core", busy,
           bench::ratio(busy, mainthread));
    printf("\nidle, device thread running (target: at most 1 ms per second)\n");
    printf("  %-24s %9.3f ms/s\n", "processor time",
           reporter.value("BM_IdleCPU/iterations:1/real_time", "cpu_ms_per_s"));
    double library = reporter.speed("BM_ReadFILESYS/real_time");
    double plain8 = reporter.speed("BM_ReadPlain8KiB/real_time");
    double plain1m = reporter.speed("BM_ReadPlain1MiB/real_time");
    double plainseek = reporter.speed("BM_ReadPlainSeek8KiB/real_time");
    printf("\n64 MiB from the page cache (target: FILESYS_read at least 0.9 of the 8 KiB loop)\n");
    printf("  %-24s %9.1f MiB/s\n", "FILESYS_read", bench::mib(library));
    printf("  %-24s %9.1f MiB/s   ratio %.2f\n", "read() 8 KiB pieces", bench::mib(plain8),
           bench::ratio(library, plain8));
    printf("  %-24s %9.1f MiB/s   ratio %.2f\n", "read() 1 MiB pieces", bench::mib(plain1m),
           bench::ratio(library, plain1m));
    printf("  %-24s %9.1f MiB/s   ratio %.2f\n", "lseek()+read() 8 KiB", bench::mib(plainseek),
           bench::ratio(library, plainseek));
    printf("  %-24s %9s         ratio %.2f, median of 40 pairs run in turns\n", "FILESYS_read, paired", "",
           reporter.value("BM_ReadPaired/iterations:40/real_time", "median_ratio"));
    double load = reporter.median("BM_LoadSmallFILE/real_time");
    double plainload = reporter.median("BM_LoadSmallPlain/real_time");
    printf("\nwhole-file load of a 4 KiB file, median (target: at most 4 times the plain calls)\n");
    printf("  %-24s %9.1f us   ratio %.2f\n", "FILE_loadquiet", load, bench::ratio(load, plainload));
    printf("  %-24s %9.1f us\n", "open/fstat/read/close", plainload);
}

}  // namespace

int main(int argc, char** argv) { return bench::run(argc, argv, start, stop, summary); }
