// Tick precision of the timer: over 10 seconds at 100 and at 1000 ticks per
// second, the ticks counted against the ticks expected (drift) and the spread
// of the intervals between ticks (jitter). The obvious alternative runs in
// the same window on a thread of its own: a loop that sleeps one period after
// each tick, which accumulates every wake-up delay as drift.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "vorl/timer.h"

namespace {

const int SECONDS = 10;

int64_t nowns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<int64_t> stamps;
std::atomic<int> stamped{0};

void stamptick()
{
    int index = stamped.load(std::memory_order_relaxed);
    if (index < static_cast<int>(stamps.size())) {
        stamps[index] = nowns();
        stamped.store(index + 1, std::memory_order_release);
    }
}

struct FIGURES {
    int counted;
    int expected;
    double meanus;
    double stddevus;
    double minus;
    double maxus;
};

// Ticks stamped within [start, start + SECONDS) and the intervals between them.
FIGURES measure(const std::vector<int64_t>& times, int count, int64_t start, int frequency)
{
    FIGURES figures = {0, SECONDS * frequency, 0, 0, 0, 0};
    int64_t end = start + static_cast<int64_t>(SECONDS) * 1000000000;
    std::vector<double> intervals;
    int64_t previous = -1;
    for (int i = 0; i < count; i++) {
        if (times[i] < start || times[i] >= end)
            continue;
        figures.counted++;
        if (previous >= 0)
            intervals.push_back((times[i] - previous) / 1000.0);
        previous = times[i];
    }
    if (intervals.empty())
        return figures;
    double sum = 0;
    for (double interval : intervals)
        sum += interval;
    figures.meanus = sum / intervals.size();
    double squares = 0;
    for (double interval : intervals)
        squares += (interval - figures.meanus) * (interval - figures.meanus);
    figures.stddevus = std::sqrt(squares / intervals.size());
    figures.minus = *std::min_element(intervals.begin(), intervals.end());
    figures.maxus = *std::max_element(intervals.begin(), intervals.end());
    return figures;
}

void printfigures(const char* name, int frequency, const FIGURES& figures)
{
    std::printf("%-12s %5d/s: counted %6d expected %6d drift %+5d ticks (%+.3f%%); interval mean %8.1f us "
                "stddev %7.1f us min %8.1f us max %8.1f us\n",
                name, frequency, figures.counted, figures.expected, figures.counted - figures.expected,
                100.0 * (figures.counted - figures.expected) / figures.expected, figures.meanus, figures.stddevus,
                figures.minus, figures.maxus);
}

void BM_TickPrecision(benchmark::State& state)
{
    const int frequency = static_cast<int>(state.range(0));
    for (auto _ : state) {
        size_t room = static_cast<size_t>(SECONDS + 3) * frequency + 100;
        stamps.assign(room, 0);
        stamped = 0;
        TIMER_addroutine(stamptick);
        TIMER_init(frequency);
        while (stamped.load(std::memory_order_acquire) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        int64_t start = stamps[0];

        // The alternative, in the same window: sleep one period per tick.
        std::vector<int64_t> naive(room, 0);
        int naivecount = 0;
        std::thread sleeper([&] {
            int64_t end = start + static_cast<int64_t>(SECONDS + 1) * 1000000000;
            auto period = std::chrono::microseconds(1000000 / frequency);
            while (nowns() < end && naivecount < static_cast<int>(room)) {
                std::this_thread::sleep_for(period);
                naive[naivecount++] = nowns();
            }
        });
        int64_t began = nowns();
        std::this_thread::sleep_for(std::chrono::milliseconds(SECONDS * 1000 + 300));
        sleeper.join();
        TIMER_stop();
        TIMER_removeroutine(stamptick);
        state.SetIterationTime((nowns() - began) / 1e9);

        FIGURES timer = measure(stamps, stamped.load(std::memory_order_acquire), start, frequency);
        FIGURES sleeping = measure(naive, naivecount, start, frequency);
        printfigures("timer", frequency, timer);
        printfigures("sleep loop", frequency, sleeping);
        double timerdrift = std::abs(timer.counted - timer.expected);
        double sleepdrift = std::abs(sleeping.counted - sleeping.expected);
        std::printf("ratio (sleep loop / timer): drift %.1fx (|%d| vs |%d| ticks), jitter stddev %.2fx\n\n",
                    sleepdrift / std::max(timerdrift, 1.0), sleeping.counted - sleeping.expected,
                    timer.counted - timer.expected, sleeping.stddevus / std::max(timer.stddevus, 1e-3));
        std::fflush(stdout);

        state.counters["ticks"] = timer.counted;
        state.counters["expected"] = timer.expected;
        state.counters["drift"] = timer.counted - timer.expected;
        state.counters["jitter_us"] = timer.stddevus;
        state.counters["sleep_drift"] = sleeping.counted - sleeping.expected;
        state.counters["sleep_jitter_us"] = sleeping.stddevus;
    }
}

BENCHMARK(BM_TickPrecision)->Arg(100)->Arg(1000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
