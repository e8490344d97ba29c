// The heap's MEM_alloc + MEM_free against the C library's malloc + free, in
// the same run and on the same pre-drawn request sequences, and the lock that
// guards the heap against the standard ones:
//   lifo:      16 blocks of 16 to 256 bytes allocated, then released newest
//              first;
//   random1k:  1,000 blocks live, 8 B to 64 KiB; each step releases a random
//              one and allocates a new one in its place;
//   random10k: the same over 10,000 live blocks of 8 B to 1 KiB;
//   threads:   4 threads, each keeping 64 blocks of 16 B to 1 KiB live and
//              replacing a random one per step, all in the heap's one class
//              (throughput of the four together, over wall-clock time);
//   mutex:     an uncontended MUTEX_lock + MUTEX_unlock against std::mutex
//              and a recursive pthread mutex.
// Random sizes are log-uniform (every doubling of the size equally likely).
// Rates are operations per second, one operation being an allocation plus a
// release (a lock plus an unlock for the mutexes); the ratios follow the
// report, from the medians when repetitions are asked for.
//
// Both malloc columns become glibc's checking malloc under its preload, the
// peer that also checks its blocks:
//   LD_PRELOAD=/lib/x86_64-linux-gnu/libc_malloc_debug.so MALLOC_CHECK_=3 build-rel/bench/bench_alloc
// (ldconfig -p | grep malloc_debug finds the library elsewhere).
#include <pthread.h>

#include <cmath>
#include <mutex>
#include <random>

#include "bench/benchutil.h"
#include "vorl/memory.h"
#include "vorl/mutex.h"

namespace {

const int LIFODEPTH = 16;
const int STEPS = 1 << 16;  // length of each pre-drawn random sequence
const int BATCH = 256;  // operations per benchmark iteration
const int THREADLIVE = 64;
const int32_t HEAP = 128 << 20;  // room for 1,000 blocks of up to 64 KiB, or 10,000 of 1 KiB, with slack

struct SEQUENCE {
    std::vector<int32_t> sizes;
    std::vector<int32_t> slots;
};

// STEPS sizes, log-uniform from smallest to largest, and slots below live.
SEQUENCE draw(uint32_t seed, int32_t smallest, int32_t largest, int32_t live)
{
    SEQUENCE s;
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> exponent(std::log(smallest), std::log(largest + 1.0));
    std::uniform_int_distribution<int32_t> slot(0, live - 1);
    for (int i = 0; i < STEPS; i++) {
        s.sizes.push_back(std::min(largest, static_cast<int32_t>(std::exp(exponent(random)))));
        s.slots.push_back(slot(random));
    }
    return s;
}

const SEQUENCE& sequence(int32_t live)
{
    static const SEQUENCE thousand = draw(12345, 8, 65536, 1000);
    static const SEQUENCE tenthousand = draw(54321, 8, 1024, 10000);
    static const SEQUENCE perthread = draw(777, 16, 1024, THREADLIVE);
    return live == 1000 ? thousand : live == 10000 ? tenthousand : perthread;
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

// Random replacement over state.range(0) live blocks; each thread starts at
// its own place in the sequence.
template <void* (*ALLOC)(int32_t), void (*FREE)(void*)>
void randomlive(benchmark::State& state)
{
    const int32_t count = static_cast<int32_t>(state.range(0));
    const SEQUENCE& s = sequence(state.threads() > 1 ? THREADLIVE : count);
    std::vector<void*> live(count);
    for (int32_t i = 0; i < count; i++)
        live[i] = ALLOC(s.sizes[STEPS - 1 - i]);
    size_t step = static_cast<size_t>(state.thread_index()) * (STEPS / 4);
    for (auto _ : state) {
        for (int k = 0; k < BATCH; k++) {
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
    state.SetItemsProcessed(state.iterations() * BATCH);
}

MUTEX* heaplock = nullptr;
std::mutex standardlock;
pthread_mutex_t recursivelock;

struct VORLLOCK {
    static void lock() { MUTEX_lock(heaplock); }
    static void unlock() { MUTEX_unlock(heaplock); }
};
struct STDLOCK {
    static void lock() { standardlock.lock(); }
    static void unlock() { standardlock.unlock(); }
};
struct PTHREADLOCK {
    static void lock() { pthread_mutex_lock(&recursivelock); }
    static void unlock() { pthread_mutex_unlock(&recursivelock); }
};

template <typename LOCK>
void uncontended(benchmark::State& state)
{
    for (auto _ : state)
        for (int k = 0; k < BATCH; k++) {
            LOCK::lock();
            benchmark::ClobberMemory();
            LOCK::unlock();
        }
    state.SetItemsProcessed(state.iterations() * BATCH);
}

BENCHMARK(lifo<heapalloc, heapfree>)->Name("lifo/MEM_alloc+MEM_free");
BENCHMARK(lifo<crtalloc, crtfree>)->Name("lifo/malloc+free");
BENCHMARK(randomlive<heapalloc, heapfree>)->Name("random1k/MEM_alloc+MEM_free")->Arg(1000);
BENCHMARK(randomlive<crtalloc, crtfree>)->Name("random1k/malloc+free")->Arg(1000);
BENCHMARK(randomlive<heapalloc, heapfree>)->Name("random10k/MEM_alloc+MEM_free")->Arg(10000);
BENCHMARK(randomlive<crtalloc, crtfree>)->Name("random10k/malloc+free")->Arg(10000);
BENCHMARK(randomlive<heapalloc, heapfree>)->Name("threads/MEM_alloc+MEM_free")->Arg(THREADLIVE)->Threads(4)->UseRealTime();
BENCHMARK(randomlive<crtalloc, crtfree>)->Name("threads/malloc+free")->Arg(THREADLIVE)->Threads(4)->UseRealTime();
BENCHMARK(uncontended<VORLLOCK>)->Name("mutex/MUTEX_lock+MUTEX_unlock");
BENCHMARK(uncontended<STDLOCK>)->Name("mutex/std::mutex");
BENCHMARK(uncontended<PTHREADLOCK>)->Name("mutex/pthread_recursive");

bool start(bench::TEMPFILES&)
{
    if (MEM_initsize(HEAP, 0) == 0) {
        fprintf(stderr, "bench_alloc: cannot take a heap of %d bytes\n", static_cast<int>(HEAP));
        return false;
    }
    pthread_mutexattr_t recursive;
    pthread_mutexattr_init(&recursive);
    pthread_mutexattr_settype(&recursive, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&recursivelock, &recursive);
    pthread_mutexattr_destroy(&recursive);
    heaplock = MUTEX_alloc();
    return heaplock != nullptr;
}

void stop()
{
    MUTEX_free(heaplock);
    pthread_mutex_destroy(&recursivelock);
    MEM_shutdown();
}

// Skips a pair of which either did not run (filtered out).
void line(const char* test, const char* name, double rate, const char* against, double base)
{
    if (rate <= 0 || base <= 0)
        return;
    printf("%-10s %-24s %8.2f M ops/s   %-18s %8.2f M ops/s   ratio %.2f\n", test, name, rate / 1e6, against,
           base / 1e6, bench::ratio(rate, base));
}

// The lock's cost as a multiple of the other's: their rates inverted.
void costline(const char* name, double rate, const char* against, double base)
{
    if (rate <= 0 || base <= 0)
        return;
    printf("mutex      %-24s %6.1f ns per pair  %-18s %6.1f ns per pair   cost ratio %.2f\n", name, 1e9 / rate,
           against, 1e9 / base, bench::ratio(base, rate));
}

void summary(const bench::COUNTERREPORTER& reporter)
{
    const char* rate = "items_per_second";
    // Each test's name, and what follows the two parties in the run names.
    const char* tests[][2] = {{"lifo", ""}, {"random1k", "/1000"}, {"random10k", "/10000"},
                              {"threads", "/64/real_time/threads:4"}};
    for (const auto& test : tests) {
        std::string name = test[0];
        line(test[0], "MEM_alloc+MEM_free", reporter.value(name + "/MEM_alloc+MEM_free" + test[1], rate),
             "malloc+free", reporter.value(name + "/malloc+free" + test[1], rate));
    }
    double mutex = reporter.value("mutex/MUTEX_lock+MUTEX_unlock", rate);
    costline("MUTEX_lock+MUTEX_unlock", mutex, "std::mutex", reporter.value("mutex/std::mutex", rate));
    costline("MUTEX_lock+MUTEX_unlock", mutex, "recursive pthread", reporter.value("mutex/pthread_recursive", rate));
}

}  // namespace

int main(int argc, char** argv) { return bench::run(argc, argv, start, stop, summary); }
