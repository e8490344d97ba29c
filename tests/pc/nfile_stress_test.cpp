// Eight threads, the main thread among them, queue, wait for, poll, cancel,
// re-prioritise and collect thousands of file operations of every type on
// three devices, while completion callbacks queue further work. Every
// operation must be collected exactly once, every record must return to the
// pool, and shutting the file system down must end every device thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
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

constexpr int kWorkers = 8;
constexpr int kRounds = 300;
constexpr int kMemorySize = 65536;
// Device 0 serves every POSIX path; 3 and 4 serve drive paths (which cannot
// be opened here, so their name operations fail) and memory files.
constexpr int32_t kDevices[3] = {0, 3, 4};

// Every number a worker queues itself is entered here, and marked again
// when it is collected: 1 queued, 2 collected.
std::mutex ledgerlock;
std::unordered_map<uint32_t, int> ledger;
std::atomic<int> duplicates{0};
std::atomic<int> typesseen[FOP_NULL + 1];

uint32_t enter(uint32_t op, uint32_t type)
{
    if (op == 0)
        return op;
    typesseen[type]++;
    std::lock_guard<std::mutex> hold(ledgerlock);
    if (ledger[op]++ != 0)
        duplicates++;
    return op;
}

uint32_t collect(uint32_t op)
{
    {
        std::lock_guard<std::mutex> hold(ledgerlock);
        if (ledger[op]++ != 1)
            duplicates++;
    }
    return FILESYS_completeop(op);
}

struct WORKER {
    int index = 0;
    std::mt19937 random;
    std::string diskpath, sharedpath;
    std::vector<uint8_t> memory[2];  // backing of the memory files on devices 3 and 4
    int32_t memhandle[2] = {0, 0};
    std::vector<uint8_t> buffer;
    std::atomic<int> outstanding{0};  // operations that a callback will collect
    std::vector<int> failures;  // source lines of the checks that failed
    void check(bool ok, int line)
    {
        if (!ok)
            failures.push_back(line);
    }
    int32_t pick(int32_t low, int32_t high) { return std::uniform_int_distribution<int32_t>(low, high)(random); }
};

WORKER workers[kWorkers];

uint8_t expected(int worker, int file, int32_t position)
{
    return static_cast<uint8_t>((position * 13 + worker * 7 + file * 101) & 0xFF);
}

// Collects its record and, while links remain, queues a null operation on the
// next device whose callback is this one again. Runs on device threads. The
// context holds the worker's index and the links still to go.
void chain(uint32_t op, int32_t, uintptr_t context)
{
    WORKER& worker = workers[context / 16];
    int links = static_cast<int>(context % 16);
    collect(op);
    if (links > 0) {
        uint32_t next = FILESYS_nullop(kDevices[links % 3], 1 + links * 40, worker.index * 16 + links - 1);
        if (enter(next, FOP_NULL)) {
            worker.outstanding++;
            FILESYS_callbackop(next, chain);
        }
    }
    worker.outstanding--;
}

// Waits for an operation the way this round chooses: blocking, polling, or
// cancelling first. Returns the status seen.
int32_t settle(WORKER& worker, uint32_t op)
{
    int32_t status;
    switch (worker.pick(0, 2)) {
    case 0:
        return FILESYS_waitop(op);
    case 1:
        while ((status = FILESYS_statusop(op)) == 0)
            std::this_thread::yield();
        return status;
    default:
        FILESYS_cancelop(op);
        return FILESYS_waitop(op);
    }
}

void memoryreads(WORKER& worker)
{
    for (int file = 0; file < 2; file++) {
        int32_t position = worker.pick(0, kMemorySize - 1);
        int32_t length = worker.pick(0, 20000);
        uint8_t* buffer = worker.buffer.data();
        memset(buffer, 0, static_cast<size_t>(length));
        uint32_t op = enter(FILESYS_readop(worker.memhandle[file], position, buffer, length, worker.pick(1, 255),
                                           static_cast<uintptr_t>(worker.index)),
                            FOP_READ);
        if (worker.pick(0, 3) == 0)
            FILESYS_priorityop(op, worker.pick(0, 255));
        int32_t status = settle(worker, op);
        int32_t count = static_cast<int32_t>(collect(op));
        worker.check(status != 1 || count == std::min(length, kMemorySize - position), __LINE__);
        // Whatever a completed read moved, the bytes are the file's.
        for (int32_t i = 0; status == 1 && i < count; i++)
            if (buffer[i] != expected(worker.index, file, position + i)) {
                worker.check(false, __LINE__);
                break;
            }
    }
}

void memorywrites(WORKER& worker)
{
    // Memory files are read-only: the write fails with its error saved and
    // moves nothing.
    int32_t handle = worker.memhandle[worker.pick(0, 1)];
    int32_t length = worker.pick(1, 8192);
    memset(worker.buffer.data(), 0xEE, static_cast<size_t>(length));
    uint32_t write = enter(FILESYS_writeop(handle, worker.pick(0, kMemorySize - 1), worker.buffer.data(), length,
                                           worker.pick(1, 255), 0),
                           FOP_WRITE);
    int32_t written = FILESYS_waitop(write);
    uint32_t error = FILESYS_errorop(write);
    worker.check(collect(write) == 0 && written == -2 && error == 5 /* access denied */, __LINE__);
    uint32_t size = enter(FILESYS_lengthop(handle, worker.pick(1, 255), 0), FOP_LENGTH);
    int32_t status = settle(worker, size);
    worker.check(collect(size) == static_cast<uint32_t>(kMemorySize) || status != 1, __LINE__);
    // Memory files cannot change length; the record fails, and a cancel
    // does not stop it.
    uint32_t setlength = enter(FILESYS_setlengthop(handle, 10, worker.pick(1, 255), 0), FOP_SETLENGTH);
    FILESYS_cancelop(setlength);
    worker.check(FILESYS_waitop(setlength) == -2, __LINE__);
    collect(setlength);
}

void reopenmemory(WORKER& worker)
{
    int file = worker.pick(0, 1);
    uint32_t close = enter(FILESYS_closeop(worker.memhandle[file], worker.pick(1, 255), 0), FOP_CLOSE);
    FILESYS_cancelop(close);  // has no effect
    FILESYS_waitop(close);
    worker.check(collect(close) == 1, __LINE__);
    worker.memhandle[file] = 0;
    worker.check(openmemoryfile(worker.memory[file].data(), kMemorySize, kDevices[1 + file], 0,
                                &worker.memhandle[file]) == 1,
                 __LINE__);
}

void nameoperations(WORKER& worker)
{
    // On device 0 the shared file exists; a cancel that came while the
    // record ran does not stop it. On 3 and 4 nothing can be opened.
    uint32_t exists = enter(FILESYS_existsop(worker.sharedpath.c_str(), worker.pick(1, 255), 0), FOP_EXISTS);
    int32_t found = settle(worker, exists);
    uint32_t answer = collect(exists);
    worker.check((found == 1 && answer == 1) || found == -1, __LINE__);
    const char* drivepath = worker.pick(0, 1) ? "C:\\stress\\missing.dat" : "D:\\stress\\missing.dat";
    uint32_t open = enter(FILESYS_openop(drivepath, FOPEN_READ, worker.pick(1, 255), 0), FOP_OPEN);
    int32_t status = settle(worker, open);
    worker.check(collect(open) == 0 && (status == -2 || status == -1), __LINE__);
    uint32_t remove = enter(FILESYS_deleteop(drivepath, worker.pick(1, 255), 0), FOP_DELETE);
    worker.check(settle(worker, remove) == -2 && collect(remove) == 0, __LINE__);
    uint32_t missing = enter(FILESYS_existsop(drivepath, worker.pick(1, 255), 0), FOP_EXISTS);
    settle(worker, missing);
    worker.check(collect(missing) == 0, __LINE__);
}

void nullsandchains(WORKER& worker)
{
    for (int32_t device : kDevices) {
        uint32_t op = enter(FILESYS_nullop(device, worker.pick(0, 255), 0), FOP_NULL);
        int32_t status = settle(worker, op);
        worker.check((status == 1 || status == -1) && collect(op) == 0, __LINE__);
    }
    uint32_t first = FILESYS_nullop(kDevices[worker.pick(0, 2)], worker.pick(1, 255),
                                    worker.index * 16 + worker.pick(0, 5));
    if (enter(first, FOP_NULL)) {
        worker.outstanding++;
        if (worker.pick(0, 1))
            FILESYS_waitop(first);  // the callback then runs at once, here
        FILESYS_callbackop(first, chain);
    }
}

void diskcycle(WORKER& worker)
{
    const int32_t length = worker.pick(1, 30000);
    std::vector<uint8_t> data(static_cast<size_t>(length)), back(static_cast<size_t>(length));
    for (uint8_t& byte : data)
        byte = static_cast<uint8_t>(worker.pick(0, 255));
    int32_t handle = 0;
    const char* path = worker.diskpath.c_str();
    worker.check(FILESYS_open(path, FOPEN_CREATE | FOPEN_TRUNCATE, 100, &handle) == 1, __LINE__);
    worker.check(FILESYS_write(handle, 0, data.data(), length, 99) == length, __LINE__);
    worker.check(FILESYS_read(handle, 0, back.data(), length, 99) == length && back == data, __LINE__);
    worker.check(FILESYS_length(handle, 99) == length && FILESYS_setlength(handle, length / 2, 99), __LINE__);
    worker.check(FILESYS_length(handle, 99) == length / 2 && FILESYS_close(handle, 99) == 1, __LINE__);
    worker.check(FILESYS_exists(path, 50) == 1 && FILESYS_delete(path, 50) == 1 && FILESYS_exists(path, 50) == 0,
                 __LINE__);
}

// Inside a transaction on device 3: a read at a more urgent priority and a
// null operation at a much more urgent one both complete.
int32_t transactionroutine(int32_t priority, void* parameter)
{
    WORKER& worker = *static_cast<WORKER*>(parameter);
    int32_t position = worker.pick(0, kMemorySize - 100);
    int32_t got = FILESYS_read(worker.memhandle[0], position, worker.buffer.data(), 100, priority - 1);
    uint32_t op = enter(FILESYS_nullop(3, priority / 2, 0), FOP_NULL);
    int32_t status = FILESYS_waitop(op);
    collect(op);
    return got == 100 && status == 1 && worker.buffer[0] == expected(worker.index, 0, position) ? 1 : 2;
}

void run(WORKER& worker)
{
    for (int round = 0; round < kRounds; round++) {
        switch (worker.pick(0, 6)) {
        case 0: memoryreads(worker); break;
        case 1: memorywrites(worker); break;
        case 2: reopenmemory(worker); break;
        case 3: nameoperations(worker); break;
        case 4: nullsandchains(worker); break;
        case 5: diskcycle(worker); break;
        default: worker.check(FILESYS_atomic(transactionroutine, 3, 100, &worker) == 1, __LINE__); break;
        }
    }
    // Chains end on their own; wait until the last link is collected.
    while (worker.outstanding.load() != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

int32_t livethreads()
{
    int32_t count = 0;
    for (int32_t index = 0; THREADitemlist && index < THREAD_capacity(); index++)
        count += THREADitemlist[index].key != 0 ? 1 : 0;
    return count;
}

TEST(FileOpsStress, EightThreadsQueueWaitPollCancelAndCollectEveryType)
{
    ScopedTempDir dir;
    ASSERT_EQ(FILESYS_init(0, 0, 512), 1);
    ScopedAlertRecorder recorder;
    std::string shared = dir.write("shared", "present");
    for (int w = 0; w < kWorkers; w++) {
        WORKER& worker = workers[w];
        worker.index = w;
        worker.random.seed(static_cast<unsigned>(w * 7919 + 1));
        worker.diskpath = dir.file("disk" + std::to_string(w));
        worker.sharedpath = shared;
        worker.buffer.assign(32768, 0);
        for (int file = 0; file < 2; file++) {
            worker.memory[file].resize(kMemorySize);
            for (int32_t i = 0; i < kMemorySize; i++)
                worker.memory[file][i] = expected(w, file, i);
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
    for (int type = FOP_OPEN; type <= FOP_NULL; type++)
        EXPECT_GT(typesseen[type].load(), 0) << "type " << type;
    for (const std::string& message : recorder.messages())
        ADD_FAILURE() << message;

    EXPECT_EQ(QUEUE_length(&FILEfreeops), FILEopcount);
    for (int32_t device : kDevices) {
        EXPECT_EQ(FILEdevices[device].running, 1u);
        EXPECT_EQ(QUEUE_length(&FILEdevices[device].pending), 0);
        EXPECT_EQ(QUEUE_length(&FILEdevices[device].completed), 0);
    }
    EXPECT_EQ(livethreads(), 3);
    FILESYS_shutdown();
    EXPECT_EQ(FILEdevices, nullptr);
    EXPECT_EQ(livethreads(), 0);
}

}  // namespace
