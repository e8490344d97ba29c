// Eight threads, the main thread among them, queue, wait for, poll, cancel,
// re-prioritise and collect thousands of file operations of every type on
// three devices, while completion callbacks queue further work. Every
// operation must be collected exactly once, every record must return to the
// pool, and shutting the file system down must end every device thread.
#include <gtest/gtest.h>

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

void enter(uint32_t op, uint32_t type)
{
    if (op == 0)
        return;
    typesseen[type]++;
    std::lock_guard<std::mutex> hold(ledgerlock);
    if (ledger[op]++ != 0)
        duplicates++;
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
    std::string diskpath;
    std::string sharedpath;
    std::vector<uint8_t> memory[2];  // backing of the memory files on devices 3 and 4
    int32_t memhandle[2] = {0, 0};
    std::vector<uint8_t> buffer;
    std::atomic<int> outstanding{0};  // operations that a callback will collect
    std::vector<int> failures;  // source lines of the checks that failed
};

WORKER workers[kWorkers];

uint8_t expected(int worker, int file, int32_t position)
{
    return static_cast<uint8_t>((position * 13 + worker * 7 + file * 101) & 0xFF);
}

// Context of a chained callback: worker index and the links still to go.
uintptr_t chaincontext(int worker, int links) { return static_cast<uintptr_t>(worker * 16 + links); }

// Collects its record and, while links remain, queues a null operation on the
// next device whose callback is this one again. Runs on device threads.
void chain(uint32_t op, int32_t status, uintptr_t context)
{
    WORKER& worker = workers[context / 16];
    int links = static_cast<int>(context % 16);
    collect(op);
    if (links > 0) {
        int32_t device = kDevices[links % 3];
        uint32_t next = FILESYS_nullop(device, 1 + links * 40, chaincontext(worker.index, links - 1));
        if (next) {
            enter(next, FOP_NULL);
            worker.outstanding++;
            FILESYS_callbackop(next, chain);
        }
    }
    worker.outstanding--;
}

int32_t pick(WORKER& worker, int32_t low, int32_t high)
{
    return std::uniform_int_distribution<int32_t>(low, high)(worker.random);
}

// Waits for an operation the way this round chooses: blocking, polling, or
// cancelling first. Returns the status seen.
int32_t settle(WORKER& worker, uint32_t op)
{
    switch (pick(worker, 0, 2)) {
    case 0:
        return FILESYS_waitop(op);
    case 1: {
        int32_t status;
        while ((status = FILESYS_statusop(op)) == 0)
            std::this_thread::yield();
        return status;
    }
    default:
        FILESYS_cancelop(op);
        return FILESYS_waitop(op);
    }
}

void memoryreads(WORKER& worker)
{
    for (int file = 0; file < 2; file++) {
        int32_t position = pick(worker, 0, kMemorySize - 1);
        int32_t length = pick(worker, 0, 20000);
        uint8_t* buffer = worker.buffer.data();
        memset(buffer, 0, static_cast<size_t>(length));
        uint32_t op = FILESYS_readop(worker.memhandle[file], position, buffer, length, pick(worker, 1, 255),
                                     static_cast<uintptr_t>(worker.index));
        enter(op, FOP_READ);
        if (pick(worker, 0, 3) == 0)
            FILESYS_priorityop(op, pick(worker, 0, 255));
        int32_t status = settle(worker, op);
        int32_t count = static_cast<int32_t>(collect(op));
        if (status == 1) {
            int32_t wanted = std::min(length, kMemorySize - position);
            if (count != wanted)
                worker.failures.push_back(__LINE__);
        }
        // Whatever a read moved (a cancelled one may have moved a part), the
        // bytes are the file's.
        int32_t moved = status == 1 ? count : 0;
        for (int32_t i = 0; i < moved; i++)
            if (buffer[i] != expected(worker.index, file, position + i)) {
                worker.failures.push_back(__LINE__);
                break;
            }
    }
}

void memorywrites(WORKER& worker)
{
    // Memory files are read-only: the write fails with its error saved and
    // moves nothing.
    int file = pick(worker, 0, 1);
    int32_t position = pick(worker, 0, kMemorySize - 1);
    int32_t length = pick(worker, 1, 8192);
    uint8_t* buffer = worker.buffer.data();
    memset(buffer, 0xEE, static_cast<size_t>(length));
    int32_t handle = worker.memhandle[file];
    uint32_t write = FILESYS_writeop(handle, position, buffer, length, pick(worker, 1, 255), 0);
    enter(write, FOP_WRITE);
    int32_t written = FILESYS_waitop(write);
    uint32_t error = FILESYS_errorop(write);
    if (collect(write) != 0 || written != -2 || error != 5 /* access denied */)
        worker.failures.push_back(__LINE__);

    uint32_t length_ = FILESYS_lengthop(handle, pick(worker, 1, 255), 0);
    enter(length_, FOP_LENGTH);
    int32_t status = settle(worker, length_);
    uint32_t size = collect(length_);
    if (status == 1 && size != static_cast<uint32_t>(kMemorySize))
        worker.failures.push_back(__LINE__);

    // Memory files cannot change length; the record fails, and a cancel
    // does not stop it.
    uint32_t setlength = FILESYS_setlengthop(handle, 10, pick(worker, 1, 255), 0);
    enter(setlength, FOP_SETLENGTH);
    FILESYS_cancelop(setlength);
    if (FILESYS_waitop(setlength) != -2)
        worker.failures.push_back(__LINE__);
    collect(setlength);
}

void reopenmemory(WORKER& worker)
{
    int file = pick(worker, 0, 1);
    uint32_t close = FILESYS_closeop(worker.memhandle[file], pick(worker, 1, 255), 0);
    enter(close, FOP_CLOSE);
    FILESYS_cancelop(close);  // has no effect
    FILESYS_waitop(close);
    if (collect(close) != 1)
        worker.failures.push_back(__LINE__);
    worker.memhandle[file] = 0;
    if (!openmemoryfile(worker.memory[file].data(), kMemorySize, kDevices[1 + file], 0, &worker.memhandle[file]))
        worker.failures.push_back(__LINE__);
}

void nameoperations(WORKER& worker)
{
    // On device 0 the shared file exists; on 3 and 4 nothing can be opened.
    uint32_t exists = FILESYS_existsop(worker.sharedpath.c_str(), pick(worker, 1, 255), 0);
    enter(exists, FOP_EXISTS);
    int32_t found = settle(worker, exists);
    uint32_t answer = collect(exists);
    // A cancel that came while the record ran does not stop it.
    if ((found == 1 && answer != 1) || (found != 1 && found != -1))
        worker.failures.push_back(__LINE__);

    const char* drivepath = pick(worker, 0, 1) ? "C:\\stress\\missing.dat" : "D:\\stress\\missing.dat";
    uint32_t open = FILESYS_openop(drivepath, FOPEN_READ, pick(worker, 1, 255), 0);
    enter(open, FOP_OPEN);
    int32_t status = settle(worker, open);
    if (collect(open) != 0 || (status != -2 && status != -1))
        worker.failures.push_back(__LINE__);
    uint32_t remove = FILESYS_deleteop(drivepath, pick(worker, 1, 255), 0);
    enter(remove, FOP_DELETE);
    if (settle(worker, remove) != -2 || collect(remove) != 0)
        worker.failures.push_back(__LINE__);
    uint32_t missing = FILESYS_existsop(drivepath, pick(worker, 1, 255), 0);
    enter(missing, FOP_EXISTS);
    settle(worker, missing);
    if (collect(missing) != 0)
        worker.failures.push_back(__LINE__);
}

void nullsandchains(WORKER& worker)
{
    for (int32_t device : kDevices) {
        uint32_t op = FILESYS_nullop(device, pick(worker, 0, 255), 0);
        enter(op, FOP_NULL);
        int32_t status = settle(worker, op);
        if ((status != 1 && status != -1) || collect(op) != 0)
            worker.failures.push_back(__LINE__);
    }
    uint32_t first = FILESYS_nullop(kDevices[pick(worker, 0, 2)], pick(worker, 1, 255),
                                    chaincontext(worker.index, pick(worker, 0, 5)));
    if (first) {
        enter(first, FOP_NULL);
        worker.outstanding++;
        if (pick(worker, 0, 1))
            FILESYS_waitop(first);  // the callback then runs at once, here
        FILESYS_callbackop(first, chain);
    }
}

void diskcycle(WORKER& worker)
{
    const int32_t length = pick(worker, 1, 30000);
    std::vector<uint8_t> data(static_cast<size_t>(length)), back(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; i++)
        data[i] = static_cast<uint8_t>(pick(worker, 0, 255));
    int32_t handle = 0;
    const char* path = worker.diskpath.c_str();
    if (!FILESYS_open(path, FOPEN_CREATE | FOPEN_TRUNCATE, 100, &handle)) {
        worker.failures.push_back(__LINE__);
        return;
    }
    if (FILESYS_write(handle, 0, data.data(), length, 99) != length)
        worker.failures.push_back(__LINE__);
    if (FILESYS_read(handle, 0, back.data(), length, 99) != length || back != data)
        worker.failures.push_back(__LINE__);
    if (FILESYS_length(handle, 99) != length || !FILESYS_setlength(handle, length / 2, 99))
        worker.failures.push_back(__LINE__);
    if (FILESYS_length(handle, 99) != length / 2 || FILESYS_close(handle, 99) != 1)
        worker.failures.push_back(__LINE__);
    if (FILESYS_exists(path, 50) != 1 || FILESYS_delete(path, 50) != 1 || FILESYS_exists(path, 50) != 0)
        worker.failures.push_back(__LINE__);
}

struct TRANSACTION {
    WORKER* worker;
    int32_t ok;
};

int32_t transactionroutine(int32_t priority, void* parameter)
{
    auto* t = static_cast<TRANSACTION*>(parameter);
    WORKER& worker = *t->worker;
    int32_t position = pick(worker, 0, kMemorySize - 100);
    int32_t got = FILESYS_read(worker.memhandle[0], position, worker.buffer.data(), 100, priority - 1);
    uint32_t op = FILESYS_nullop(3, priority / 2, 0);
    enter(op, FOP_NULL);
    int32_t status = FILESYS_waitop(op);
    collect(op);
    t->ok = got == 100 && status == 1 && worker.buffer[0] == expected(worker.index, 0, position);
    return 1;
}

void transaction(WORKER& worker)
{
    TRANSACTION t = {&worker, 0};
    if (FILESYS_atomic(transactionroutine, 3, 100, &t) != 1 || !t.ok)
        worker.failures.push_back(__LINE__);
}

void run(WORKER& worker)
{
    for (int round = 0; round < kRounds; round++) {
        switch (pick(worker, 0, 6)) {
        case 0: memoryreads(worker); break;
        case 1: memorywrites(worker); break;
        case 2: reopenmemory(worker); break;
        case 3: nameoperations(worker); break;
        case 4: nullsandchains(worker); break;
        case 5: diskcycle(worker); break;
        default: transaction(worker); break;
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

    size_t failures = 0;
    for (WORKER& worker : workers) {
        failures += worker.failures.size();
        for (int line : worker.failures)
            ADD_FAILURE() << "worker " << worker.index << " failed the check at line " << line;
        for (int32_t handle : worker.memhandle)
            FILESYS_close(handle, 10);
    }
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(duplicates.load(), 0);
    size_t uncollected = 0;
    for (const auto& entry : ledger)
        uncollected += entry.second != 2 ? 1 : 0;
    EXPECT_EQ(uncollected, 0u);
    EXPECT_GE(ledger.size(), 5000u);
    for (int type = FOP_OPEN; type <= FOP_NULL; type++)
        EXPECT_GT(typesseen[type].load(), 0) << "type " << type;
    EXPECT_EQ(recorder.count(), 0u);
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
