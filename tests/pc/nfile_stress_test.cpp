// Eight threads queue, wait for, poll, cancel, re-prioritise and collect operations on three
// devices, some in callbacks; the model is a ledger: every number entered once, collected once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "pc/nfileint.h"
#include "vorl/file.h"

namespace {

constexpr int kWorkers = 8, kRounds = 300, kMemorySize = 65536;
constexpr int32_t kDevices[3] = {0, 3, 4};

std::mutex ledgerlock;
std::unordered_map<uint32_t, int> ledger;  // 1 entered, 2 collected
std::atomic<int> duplicates{0}, failures{0};  // failures: results that contradict the model

uint32_t mark(uint32_t op, int was)
{
    std::lock_guard<std::mutex> hold(ledgerlock);
    duplicates += op != 0 && ledger[op]++ != was ? 1 : 0;
    return op;
}
uint32_t enter(uint32_t op) { return mark(op, 0); }
uint32_t collect(uint32_t op) { return FILESYS_completeop(mark(op, 1)); }

struct WORKER {
    std::mt19937 random;
    std::vector<uint8_t> memory, buffer = std::vector<uint8_t>(20000);  // memory backs a memory file on device 3
    int32_t memhandle = 0;
    std::atomic<int> outstanding{0};  // operations that a callback will collect
    int32_t pick(int32_t low, int32_t high) { return std::uniform_int_distribution<int32_t>(low, high)(random); }
    // Queues, waits (blocking, polling, or cancelling first), collects.
    std::pair<int32_t, uint32_t> run(uint32_t op)
    {
        int32_t status = 0, how = pick(0, 2);
        if (enter(op) && how == 2)
            FILESYS_cancelop(op);
        while (how == 1 && (status = FILESYS_statusop(op)) == 0)
            std::this_thread::yield();
        return {how == 1 ? status : FILESYS_waitop(op), collect(op)};
    }
};
WORKER workers[kWorkers];

void collectcallback(uint32_t op, int32_t, uintptr_t index)
{
    collect(op);
    workers[index].outstanding--;
}

void run(WORKER& w, int index)
{
    for (int round = 0; round < kRounds; round++) {
        int32_t position = w.pick(0, kMemorySize - 1), length = w.pick(0, 20000), how = w.pick(0, 3);
        if (how == 3) {  // a blocking read of up to three pieces, chained on the device thread
            auto got = static_cast<uint32_t>(FILESYS_read(w.memhandle, position, &w.buffer[0], length, w.pick(1, 255)));
            failures += got != std::min<uint32_t>(length, kMemorySize - position) ||
                        !std::equal(&w.buffer[0], &w.buffer[got], &w.memory[position]);
            continue;
        }
        uint32_t op = how == 0 ? FILESYS_readop(w.memhandle, position, w.buffer.data(), length, w.pick(1, 255), 0)
                               : FILESYS_nullop(kDevices[w.pick(0, 2)], w.pick(0, 255), index);
        if (how == 0 && w.pick(0, 3) == 0)
            FILESYS_priorityop(op, w.pick(0, 255));
        if (how == 2) {  // collected by its callback, on a device thread or at once here
            w.outstanding += enter(op) != 0;
            if (w.pick(0, 1))
                FILESYS_waitop(op);
            FILESYS_callbackop(op, collectcallback);
            continue;
        }
        auto seen = w.run(op);
        if (how == 0)
            failures += seen.first == 1 && (seen.second != std::min<uint32_t>(length, kMemorySize - position) ||
                                            !std::equal(&w.buffer[0], &w.buffer[seen.second], &w.memory[position]));
        else
            failures += (seen.first != 1 && seen.first != -1) || seen.second != 0;
    }
    while (w.outstanding.load() != 0)
        std::this_thread::yield();
}

TEST(FileOpsStress, EightThreadsQueueWaitPollCancelAndCollectEachOnce)
{
    ASSERT_EQ(FILESYS_init(0, 0, 512), 1);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; w++) {
        workers[w].random.seed(static_cast<unsigned>(w * 7919 + 1));
        for (int32_t i = 0; i < kMemorySize; i++)
            workers[w].memory.push_back(static_cast<uint8_t>(i * 13 + w * 7));
        ASSERT_EQ(openmemoryfile(workers[w].memory.data(), kMemorySize, 3, 0, &workers[w].memhandle), 1);
    }
    for (int w = 0; w < kWorkers; w++)
        threads.emplace_back([w] { run(workers[w], w); });
    for (std::thread& thread : threads)
        thread.join();

    for (WORKER& worker : workers)
        EXPECT_EQ(FILESYS_close(worker.memhandle, 10), 1);
    EXPECT_EQ(duplicates.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(std::count_if(ledger.begin(), ledger.end(), [](const auto& entry) { return entry.second != 2; }), 0);
    EXPECT_EQ(QUEUE_length(&FILEfreeops), FILEopcount);
    for (int32_t device : kDevices)
        EXPECT_EQ(QUEUE_length(&FILEdevices[device].pending) + QUEUE_length(&FILEdevices[device].completed), 0);
    FILESYS_shutdown();
}

}  // namespace
