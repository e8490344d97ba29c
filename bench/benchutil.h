// What the benchmark programs share: starting Google Benchmark, a reporter
// that keeps each benchmark's counters for the summary printed after the
// usual report, the temporary files and folders they run on, the course of
// a program (run), and ratios.
#ifndef VORL_BENCH_BENCHUTIL_H
#define VORL_BENCH_BENCHUTIL_H

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace bench {

// Hands the command line to Google Benchmark; false (after it has reported
// them) when there are arguments it does not know.
inline bool initialize(int* argc, char** argv)
{
    benchmark::Initialize(argc, argv);
    return !benchmark::ReportUnrecognizedArguments(*argc, argv);
}

// Keeps the counters of every benchmark that ran, by its full name
// ("BM_ReadMapped/real_time", "fill/MEM_fill32/64"): those of its one run,
// or their median when repetitions were asked for.
class COUNTERREPORTER : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median)
                continue;
            for (const auto& counter : run.counters)
                counters[run.run_name.str()][counter.first] = counter.second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The counter's value in the named benchmark, 0 when it did not run.
    double value(const std::string& name, const char* counter) const
    {
        auto found = counters.find(name);
        if (found == counters.end())
            return 0.0;
        auto value = found->second.find(counter);
        return value == found->second.end() ? 0.0 : value->second;
    }

    // Bytes per second (SetBytesProcessed).
    double speed(const std::string& name) const { return value(name, "bytes_per_second"); }

    // The "median_us" counter that the latency benchmarks set.
    double median(const std::string& name) const { return value(name, "median_us"); }

private:
    std::map<std::string, std::map<std::string, double>> counters;
};

// The temporary files and folders a program makes for its benchmarks, all
// removed again by remove (the files first, then the folders, newest first).
class TEMPFILES {
public:
    // Makes a file from a mkstemp pattern ("/tmp/name-XXXXXX") holding size
    // bytes (byte i is i * 31, modulo 256), written back to the disk first
    // when writeback is set so that the write-back does not compete with the
    // runs, then read once so that every run starts from the page cache.
    // Returns its path, or "" when it could not be made in full.
    std::string file(const char* pattern, int64_t size, bool writeback)
    {
        std::vector<char> name(pattern, pattern + strlen(pattern) + 1);
        int fd = mkstemp(name.data());
        if (fd < 0)
            return failure();
        files.push_back(name.data());
        std::vector<uint8_t> chunk(1 << 20);
        for (size_t i = 0; i < chunk.size(); i++)
            chunk[i] = static_cast<uint8_t>(i * 31);
        bool ok = true;
        for (int64_t written = 0; ok && written < size; written += static_cast<int64_t>(chunk.size())) {
            size_t piece = static_cast<size_t>(std::min<int64_t>(size - written, static_cast<int64_t>(chunk.size())));
            ok = ::write(fd, chunk.data(), piece) == static_cast<ssize_t>(piece);
        }
        if (writeback)
            fsync(fd);
        lseek(fd, 0, SEEK_SET);
        while (ok && read(fd, chunk.data(), chunk.size()) > 0) {
        }
        close(fd);
        return ok ? files.back() : failure();
    }

    // Makes a folder from a mkdtemp pattern; returns its path, or "".
    std::string folder(const char* pattern)
    {
        std::vector<char> name(pattern, pattern + strlen(pattern) + 1);
        if (!mkdtemp(name.data()))
            return failure();
        folders.push_back(name.data());
        return folders.back();
    }

    // Writes bytes as the whole contents of a new file at path.
    bool write(const std::string& path, const std::string& bytes)
    {
        FILE* out = fopen(path.c_str(), "wb");
        if (out)
            files.push_back(path);
        bool written = out && fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        written = out && (fclose(out) == 0) && written;
        failed = failed || !written;
        return written;
    }

    // Whether everything asked for so far was made; if not, says "cannot
    // make " and what on standard error.
    bool made(const char* what) const
    {
        if (failed)
            fprintf(stderr, "cannot make %s\n", what);
        return !failed;
    }

    void remove()
    {
        for (const std::string& path : files)
            unlink(path.c_str());
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
            rmdir(folder->c_str());
        files.clear();
        folders.clear();
    }

private:
    std::vector<std::string> files;
    std::vector<std::string> folders;
    bool failed = false;

    // Notes that something could not be made; returns the empty path.
    std::string failure()
    {
        failed = true;
        return "";
    }
};

// The course of a benchmark program, for its main to return: hands the
// command line to Google Benchmark, calls start (which starts what the
// benchmarks need, makes their temporary files, and returns false, after
// saying why on standard error, when it cannot), runs the benchmarks
// selected with a COUNTERREPORTER, calls stop (after a failed start too),
// removes the temporary files and last calls summary, which prints the table
// that follows the usual report.
inline int run(int argc, char** argv, bool (*start)(TEMPFILES&), void (*stop)(),
               void (*summary)(const COUNTERREPORTER&))
{
    if (!initialize(&argc, argv))
        return 1;
    TEMPFILES temporary;
    const bool started = start(temporary);
    COUNTERREPORTER reporter;
    if (started)
        benchmark::RunSpecifiedBenchmarks(&reporter);
    stop();
    temporary.remove();
    if (!started)
        return 1;
    summary(reporter);
    return 0;
}

// One pass of the plain loop below over an open file; the bytes moved.
inline size_t plainpass(int fd, bool writes, uint8_t* buffer, size_t size, size_t piece, bool seekeach)
{
    lseek(fd, 0, SEEK_SET);
    size_t total = 0;
    ssize_t done = 1;
    while (total < size && done > 0) {
        if (seekeach)
            lseek(fd, static_cast<off_t>(total), SEEK_SET);
        size_t part = std::min(piece, size - total);
        done = writes ? write(fd, buffer + total, part) : read(fd, buffer + total, part);
        total += done > 0 ? static_cast<size_t>(done) : 0;
    }
    return total;
}

// The plain loop that the library's transfers are measured against: in each
// run, read() (or write()) of the size bytes of the file at path from its
// start, in pieces of piece bytes into (or from) buffer; with seekeach an
// lseek() before each piece, as the native file layer does.
inline void plaintransfer(benchmark::State& state, const std::string& path, bool writes, uint8_t* buffer, size_t size,
                          size_t piece, bool seekeach)
{
    int fd = open(path.c_str(), writes ? O_RDWR : O_RDONLY);
    if (fd < 0) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        if (plainpass(fd, writes, buffer, size, piece, seekeach) != size)
            state.SkipWithError(writes ? "short write" : "short read");
        benchmark::ClobberMemory();
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

// part / whole, or 0 when whole is 0 (a benchmark that did not run).
inline double ratio(double part, double whole) { return whole > 0 ? part / whole : 0.0; }

// Bytes as MiB.
inline double mib(double bytes) { return bytes / (1 << 20); }

}  // namespace bench

#endif
