// Eight threads queue, wait for, poll, cancel, re-prioritise and collect
// thousands of operations of every type on three devices while callbacks queue
// more: each is collected once, every record returns, the shutdown ends all.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "alertrecorder.h"
#include "tempdir.h"
#include "pc/nfileint.h"
#include "vorl/file.h"
#include "vorl/thread.h"

namespace {

constexpr int kWorkers = 8, kRounds = 300, kMemorySize = 65536;
// Device 0 serves every POSIX path; 3 and 4 serve drive paths (which cannot
// be opened here, so their name operations fail) and memory files.
constexpr int32_t kDevices[3] = {0, 3, 4};

// The model: every number a worker queues is entered (1) and collected (2).
std::mutex ledgerlock;
std::unordered_map<uint32_t, int> ledger;
std::atomic<int> duplicates{0};

uint32_t mark(uint32_t op, int was)
{
    std::lock_guard<std::mutex> hold(ledgerlock);
    duplicates += op != 0 && ledger[op]++ != was ? 1 : 0;
    return op;
}
uint32_t enter(uint32_t op) { return mark(op, 0); }
uint32_t collect(uint32_t op) { return FILESYS_completeop(mark(op, 1)); }

using Seen = std::pair<int32_t, uint32_t>;
struct WORKER {
    int index = 0;
    std::mt19937 random;
    std::vector<uint8_t> memory[2];  // backing of the memory files on devices 3 and 4
    int32_t memhandle[2] = {0, 0};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(32768);
    std::atomic<int> outstanding{0};  // operations that a callback will collect
    std::vector<int> failures;  // source lines of the checks that failed
    void check(bool ok, int line) { failures.insert(failures.end(), ok ? 0 : 1, line); }
    int32_t pick(int32_t low, int32_t high) { return std::uniform_int_distribution<int32_t>(low, high)(random); }
    int32_t priority() { return pick(1, 255); }
    // Waits blocking, polling, or cancelling first; the status seen.
    int32_t settle(uint32_t op)
    {
        int32_t status, how = pick(0, 2);
        if (how == 2)
            FILESYS_cancelop(op);
        while (how == 1 && (status = FILESYS_statusop(op)) == 0)
            std::this_thread::yield();
        return how == 1 ? status : FILESYS_waitop(op);
    }
    // Queues, settles and collects: the status and the result.
    Seen run(uint32_t op)
    {
        int32_t status = settle(enter(op));
        return {status, collect(op)};
    }
};
WORKER workers[kWorkers];
std::string shared;  // a file that exists, on device 0

// Collects its record and, while links remain, queues a null operation on the
// next device whose callback is this one again. Runs on device threads. The
// context holds the worker's index and the links still to go.
void chain(uint32_t op, int32_t, uintptr_t context)
{
    WORKER& worker = workers[context / 16];
    int links = static_cast<int>(context % 16);
    collect(op);
    uint32_t next = links > 0 ? FILESYS_nullop(kDevices[links % 3], 1 + links * 40, context - 1) : 0;
    if (enter(next)) {
        worker.outstanding++;
        FILESYS_callbackop(next, chain);
    }
    worker.outstanding--;
}

void memoryfiles(WORKER& w)
{
    int file = w.pick(0, 1);
    int32_t handle = w.memhandle[file], position = w.pick(0, kMemorySize - 1), length = w.pick(0, 20000);
    uint8_t* buffer = w.buffer.data();
    uint32_t op = enter(FILESYS_readop(handle, position, buffer, length, w.priority(), 0));
    if (w.pick(0, 3) == 0)
        FILESYS_priorityop(op, w.pick(0, 255));
    int32_t status = w.settle(op), count = static_cast<int32_t>(collect(op));
    w.check(status != 1 || (count == std::min(length, kMemorySize - position) &&
                            std::equal(buffer, buffer + count, w.memory[file].begin() + position)),
            __LINE__);
    // Memory files are read-only and keep their length; a cancel stops no
    // set-length and no close.
    uint32_t write = enter(FILESYS_writeop(handle, position, buffer, 1, w.priority(), 0));
    w.check(FILESYS_waitop(write) == -2 && FILESYS_errorop(write) == 5 && collect(write) == 0, __LINE__);
    auto size = w.run(FILESYS_lengthop(handle, w.priority(), 0));
    w.check(size.first != 1 || size.second == kMemorySize, __LINE__);
    w.check(w.run(FILESYS_setlengthop(handle, 10, w.priority(), 0)) == Seen(-2, 0), __LINE__);
    w.check(w.run(FILESYS_closeop(handle, w.priority(), 0)) == Seen(1, 1), __LINE__);
    w.check(openmemoryfile(w.memory[file].data(), kMemorySize, kDevices[1 + file], 0, &w.memhandle[file]), __LINE__);
}

void names(WORKER& w)
{
    // On device 0 the shared file exists; on 3 and 4 nothing can be opened.
    auto exists = w.run(FILESYS_existsop(shared.c_str(), w.priority(), 0));
    w.check(exists == Seen(1, 1) || exists.first == -1, __LINE__);
    const char* drivepath = w.pick(0, 1) ? "C:\\stress\\missing.dat" : "D:\\stress\\missing.dat";
    auto open = w.run(FILESYS_openop(drivepath, FOPEN_READ, w.priority(), 0));
    w.check(open.second == 0 && (open.first == -2 || open.first == -1), __LINE__);
    w.check(w.run(FILESYS_deleteop(drivepath, w.priority(), 0)) == Seen(-2, 0), __LINE__);
    w.check(w.run(FILESYS_existsop(drivepath, w.priority(), 0)).second == 0, __LINE__);
}

void nullsandchains(WORKER& w)
{
    for (int32_t device : kDevices) {
        auto null = w.run(FILESYS_nullop(device, w.pick(0, 255), 0));
        w.check((null.first == 1 || null.first == -1) && null.second == 0, __LINE__);
    }
    uint32_t first = FILESYS_nullop(kDevices[w.pick(0, 2)], w.priority(), w.index * 16 + w.pick(0, 5));
    if (enter(first)) {
        w.outstanding++;
        if (w.pick(0, 1))
            FILESYS_waitop(first);  // the callback then runs at once, here
        FILESYS_callbackop(first, chain);
    }
}

// Inside a transaction on device 3: a read at a more urgent priority and a
// null operation at a much more urgent one both complete.
int32_t transaction(int32_t priority, void* parameter)
{
    WORKER& w = *static_cast<WORKER*>(parameter);
    int32_t position = w.pick(0, kMemorySize - 100);
    int32_t got = FILESYS_read(w.memhandle[0], position, w.buffer.data(), 100, priority - 1);
    uint32_t op = enter(FILESYS_nullop(3, priority / 2, 0));
    int32_t status = FILESYS_waitop(op);
    collect(op);
    return got == 100 && status == 1 && w.buffer[0] == w.memory[0][position] ? 1 : 2;
}

void run(WORKER& w)
{
    for (int round = 0; round < kRounds; round++) {
        switch (w.pick(0, 3)) {
        case 0: memoryfiles(w); break;
        case 1: names(w); break;
        case 2: nullsandchains(w); break;
        default: w.check(FILESYS_atomic(transaction, 3, 100, &w) == 1, __LINE__); break;
        }
    }
    while (w.outstanding.load() != 0)  // chains end on their own
        std::this_thread::yield();
}

int32_t livethreads()
{
    auto live = [](const THREADITEM& item) { return item.key != 0; };
    return THREADitemlist ? std::count_if(THREADitemlist, THREADitemlist + THREAD_capacity(), live) : 0;
}

TEST(FileOpsStress, EightThreadsQueueWaitPollCancelAndCollectEveryType)
{
    ScopedTempDir dir;
    ASSERT_EQ(FILESYS_init(0, 0, 512), 1);
    ScopedAlertRecorder recorder;
    shared = dir.write("shared", "present");
    for (int w = 0; w < kWorkers; w++) {
        WORKER& worker = workers[w];
        worker.index = w;
        worker.random.seed(static_cast<unsigned>(w * 7919 + 1));
        for (int file = 0; file < 2; file++) {
            for (int32_t i = 0; i < kMemorySize; i++)
                worker.memory[file].push_back(static_cast<uint8_t>(i * 13 + w * 7 + file * 101));
            ASSERT_EQ(openmemoryfile(worker.memory[file].data(), kMemorySize, kDevices[1 + file], 0,
                                     &worker.memhandle[file]),
                      1);
        }
    }
    std::vector<std::thread> threads;
    for (int w = 1; w < kWorkers; w++)
        threads.emplace_back([w] { run(workers[w]); });
    run(workers[0]);
    for (std::thread& thread : threads)
        thread.join();

    for (WORKER& worker : workers) {
        for (int line : worker.failures)
            ADD_FAILURE() << "worker " << worker.index << " failed the check at line " << line;
        for (int32_t handle : worker.memhandle)
            FILESYS_close(handle, 10);
    }
    EXPECT_EQ(duplicates.load(), 0);
    EXPECT_EQ(std::count_if(ledger.begin(), ledger.end(), [](const auto& entry) { return entry.second != 2; }), 0);
    EXPECT_GE(ledger.size(), 5000u);
    EXPECT_EQ(recorder.count(), 0u) << recorder.messages()[0];
    EXPECT_EQ(QUEUE_length(&FILEfreeops), FILEopcount);
    for (int32_t device : kDevices)
        EXPECT_EQ(QUEUE_length(&FILEdevices[device].pending) + QUEUE_length(&FILEdevices[device].completed), 0);
    EXPECT_EQ(livethreads(), 3);
    FILESYS_shutdown();
    EXPECT_EQ(livethreads(), 0);
}

}  // namespace
