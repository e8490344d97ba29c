// The file system's engine: operation records on file devices, their order,
// their collection, cancelling and callbacks, the record pool, the blocking
// calls and their chained transfers, and transactions that hold a device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "exitlines.h"
#include "tempdir.h"
#include "platform/vplatform.h"
#include "vorl/alert.h"
#include "pc/nfileint.h"
#include "vorl/pagemem.h"
#include "vorl/file.h"
#include "vorl/synctask.h"
#include "vorl/thread.h"
#include "vorl/timer.h"

namespace {

using ::testing::ElementsAre;
using Done = std::pair<int32_t, uint32_t>;
using Facts = std::vector<int64_t>;
const char* const kNotFound = "FILESYS_completeop - OPERATION NOT FOUND IN COMPLETED LIST.\n";

// Holds a device in a transaction at priority 0 on a thread of its own, so
// that every record of priority 1 or more queued meanwhile stays waiting.
class DeviceHold {
public:
    explicit DeviceHold(int32_t device) : thread_([this, device] { result = FILESYS_atomic(routine, device, 0, this); })
    {
        held_.get_future().wait();
    }
    ~DeviceHold() { release(); }
    void release()
    {
        if (thread_.joinable()) {
            go_.set_value();
            thread_.join();
        }
    }
    int32_t result = 0;

private:
    static int32_t routine(int32_t, void* parameter)
    {
        auto* hold = static_cast<DeviceHold*>(parameter);
        hold->held_.set_value();
        hold->go_.get_future().wait();
        return 7;
    }
    std::promise<void> held_, go_;
    std::thread thread_;
};

int32_t freerecords() { return QUEUE_length(&FILEfreeops); }

int32_t livethreads()
{
    auto live = [](const THREADITEM& item) { return item.key != 0; };
    return THREADitemlist ? std::count_if(THREADitemlist, THREADitemlist + THREAD_capacity(), live) : 0;
}

// Waits for a record and collects it: its status and its result.
Done finish(uint32_t op)
{
    int32_t status = FILESYS_waitop(op);
    return {status, FILESYS_completeop(op)};
}

// What the queries say of a record: wait, status, error, device, context.
Facts facts(uint32_t op)
{
    return {FILESYS_waitop(op), FILESYS_statusop(op), FILESYS_errorop(op), FILESYS_deviceop(op),
            static_cast<int64_t>(FILESYS_contextop(op))};
}

// Completion callbacks that record what they were given: number, status,
// context, and whether they ran on the main thread.
using CALL = std::tuple<uint32_t, int32_t, uintptr_t, bool>;
std::mutex calllock;
std::vector<CALL> calls;

void recordcall(uint32_t op, int32_t status, uintptr_t context)
{
    std::lock_guard<std::mutex> hold(calllock);
    calls.emplace_back(op, status, context, THREAD_iscurrent(nullptr) != 0);
}

void recordandcollect(uint32_t op, int32_t status, uintptr_t context)
{
    recordcall(op, status, context);
    FILESYS_completeop(op);
}

// A read front-end that records the length of every piece it queues.
std::vector<int32_t> pieces;
uint32_t recordingreadop(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority,
                         uintptr_t context)
{
    pieces.push_back(length);
    return FILESYS_readop(handle, position, buffer, length, priority, context);
}

TEST(FileOpsThread, RecordsRunInPriorityOrderAreFoundCancelledAndCalledBackAndCollectedOnce)
{
    EXPECT_EQ(facts(32 + 7), Facts({-3, -3, 0, 0, 0}));
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    std::vector<uint32_t> ops;
    {
        // Numbers count up per device: serial * 32 + device.
        DeviceHold hold(5);
        for (int32_t priority : {20, 20, 10, 20, 10}) {
            ops.push_back(FILESYS_nullop(5, priority, 'a' + ops.size()));
            EXPECT_EQ(ops.back(), ops[0] + 32 * (ops.size() - 1));
            FILESYS_callbackop(ops.back(), recordandcollect);
        }
        EXPECT_EQ(ops[0] % 32, 5u);
        // Above the transaction's limit, every record waits; urgent ones overtake.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (uint32_t op : ops)
            EXPECT_EQ(FILESYS_statusop(op), 0);
        EXPECT_EQ(FILESYS_priorityop(ops[3], 5), ops[3]);
        hold.release();
        EXPECT_EQ(hold.result, 7);
        // The limit is back: the thread was woken and takes them all.
        for (uint32_t op : ops)
            FILESYS_waitop(op);
    }
    // In priority order, then in allocation order, on the device thread.
    EXPECT_THAT(calls, ElementsAre(CALL{ops[3], 1, 'd', false}, CALL{ops[2], 1, 'c', false},
                                   CALL{ops[4], 1, 'e', false}, CALL{ops[0], 1, 'a', false},
                                   CALL{ops[1], 1, 'b', false}));
    EXPECT_EQ(FILESYS_priorityop(ops[0], 1), 0u);  // collected by the callback
    calls.clear();

    // Numbers never handed out (none, on a device that never ran, later
    // than the device's), and numbers collected already, are unknown.
    uint32_t op = FILESYS_nullop(7, 1, 55);
    EXPECT_EQ(facts(op), Facts({1, 1, 0, 7, 55}));
    for (uint32_t unknown : {0u, 32u + 11, op + 32 * 100, ops[0]})
        EXPECT_EQ(facts(unknown), Facts({-3, -3, 0, 0, 0})) << unknown;
    FILESYS_cancelop(op + 32 * 100);
    EXPECT_EQ(FILESYS_completeop(op), 0u);
    // Completing twice raises "not found" and touches no record; so does
    // completing a record that still waits, whose callback set meanwhile
    // then runs once, on the device thread.
    ScopedAlertRecorder recorder;
    EXPECT_EQ(FILESYS_completeop(op), 0u);
    EXPECT_EQ(FILESYS_completeop(32 + 11), 0u);
    EXPECT_EQ(recorder.alerts()[0].file, "pc/nfile");
    EXPECT_EQ(freerecords(), FILEopcount);
    uint32_t waiting, early;
    {
        DeviceHold hold(7);
        waiting = FILESYS_nullop(7, 10, 0);
        early = FILESYS_nullop(7, 3, 31);
        FILESYS_callbackop(early, recordcall);
        EXPECT_EQ(FILESYS_completeop(waiting), 0u);
        EXPECT_EQ(FILESYS_statusop(waiting), 0);
    }
    EXPECT_THAT(recorder.messages(), ElementsAre(kNotFound, kNotFound, kNotFound));
    EXPECT_EQ(finish(waiting), Done(1, 0));
    EXPECT_EQ(finish(early), Done(1, 0));  // the wait returns once the callback has run
    EXPECT_THAT(calls, ElementsAre(CALL{early, 1, 31, false}));

    // A failed record keeps its error; a callback registered after
    // completion is called at once, here.
    ScopedTempDir dir;
    std::string missing = dir.file("missing");
    uint32_t late = FILESYS_openop(missing.c_str(), FOPEN_READ, 10, 32);
    EXPECT_EQ(facts(late), Facts({-2, -2, 2 /* file not found */, FILESYS_pathdevice(missing.c_str()), 32}));
    FILESYS_callbackop(late, recordcall);
    EXPECT_THAT(calls, ElementsAre(CALL{early, 1, 31, false}, CALL{late, -2, 32, true}));
    EXPECT_EQ(FILESYS_completeop(late), 0u);

    // No null callbacks, none on collected records; an unknown type is
    // reported from the device thread and completes with status 0.
    recorder.clear();
    op = FILESYS_nullop(4, 3, 0);
    FILESYS_callbackop(op, nullptr);
    finish(op);
    FILESYS_callbackop(op, recordcall);
    EXPECT_EQ(finish(FILE_queueop(FILE_allocateop(42, 10, 0, 4))), Done(0, 0));
    EXPECT_THAT(recorder.messages(), ElementsAre("FILESYS_callbackop - can not specify a NULL callback.\n",
                                                 "FILESYS_callbackop - UNKNOWN FILEOP.\n",
                                                 "FILE_devicethread - UNKNOWN TYPE OF OPERATION 42.\n"));
    EXPECT_EQ(calls.size(), 2u);

    // Cancelling ends waiting reads, opens and nulls at once, calling the
    // callback here, but not a set-length, a close or a delete.
    calls.clear();
    std::string path = dir.write("data", std::string(1000, 'y')), doomed = dir.write("doomed", "z");
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), 0, 100, &handle), 1);
    char buffer[64];
    memset(buffer, '-', sizeof buffer);
    std::vector<uint32_t> uncancelled;
    {
        const int32_t device = FILESYS_pathdevice(path.c_str());
        DeviceHold hold(device);
        uint32_t read = FILESYS_readop(handle, 0, buffer, 40, 30, 77);
        uint32_t other = FILESYS_readop(handle, 0, buffer, 10, 30, 78);
        FILESYS_callbackop(read, recordcall);
        FILESYS_cancelop(read);
        EXPECT_THAT(calls, ElementsAre(CALL{read, -1, 77, true}));
        FILESYS_cancelop(read);  // does nothing; the record keeps its length
        EXPECT_EQ(finish(read), Done(-1, 40));
        // Cancelled before any callback: one registered later is called at
        // once with the record's status byte, which never changed.
        FILESYS_cancelop(other);
        FILESYS_callbackop(other, recordcall);
        EXPECT_THAT(calls, ElementsAre(CALL{read, -1, 77, true}, CALL{other, 0, 78, true}));
        EXPECT_EQ(FILESYS_completeop(other), 10u);
        uint32_t open = FILESYS_openop(path.c_str(), FOPEN_READ, 30, 0);
        FILESYS_cancelop(open);
        EXPECT_EQ(FILESYS_completeop(open), 0u);  // no handle
        uncancelled = {FILESYS_setlengthop(handle, 10, 20, 0), FILESYS_closeop(handle, 30, 0),
                       FILESYS_deleteop(doomed.c_str(), 40, 0), FILESYS_nullop(device, 40, 0)};
        for (uint32_t op : uncancelled)
            FILESYS_cancelop(op);
    }
    EXPECT_THAT((std::vector<Done>{finish(uncancelled[0]), finish(uncancelled[1]), finish(uncancelled[2]),
                                   finish(uncancelled[3])}),
                ElementsAre(Done(1, 1), Done(1, 1), Done(1, 1), Done(-1, 0)));
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(64, '-'));
    EXPECT_EQ(ScopedTempDir::size(path), 10);
    EXPECT_EQ(ScopedTempDir::size(doomed), -1);
    EXPECT_EQ(freerecords(), FILEopcount);
}

// Before initialisation, with sizes that overflow, with the pool used up and
// after shutdown: what can and cannot be queued, and the records' return.
TEST(FileOpsPool, RecordsComeFromAPoolThatFillsItsPagesAndGoesWithTheShutdown)
{
    ScopedAlertRecorder recorder;
    EXPECT_EQ(FILE_allocateop(FOP_NULL, 1, 0, 1), nullptr);
    EXPECT_EQ(FILESYS_atomic(nullptr, 1, 100, nullptr), 0);
    EXPECT_THAT(recorder.messages(),
                ElementsAre("FILE_allocateop - FILE SYSTEM NOT INITIALIZED, CALL FILESYS_init().\n",
                            "FILESYS_atomic - FILE SYSTEM NOT INITIALIZED, CALL FILESYS_init().\n"));
    for (int32_t ops : {67108865, 16519168, INT32_MAX}) {
        EXPECT_EQ(FILESYS_init(0, 0, ops), 0) << ops;
        EXPECT_TRUE(FILEdevices == nullptr && !filetableexists());
    }
    const int32_t before = livethreads();

    // Every record that fits the pages; the last is handed out first.
    ASSERT_EQ(FILESYS_init(0, 0, 65), 1);
    const int32_t page = static_cast<int32_t>(PAGE_size()), size = static_cast<int32_t>(sizeof(FILEOP));
    const int32_t records = (65 * size + page - 1) / page * page / size;
    EXPECT_EQ(FILEopcount, records);
    EXPECT_EQ(freerecords(), records);
    FILEOP* op = FILE_allocateop(FOP_NULL, 1, 0, 1);
    EXPECT_EQ(op, &FILEoppool[records - 1]);
    EXPECT_EQ(finish(FILE_queueop(op)).first, 1);
    // A second initialisation changes nothing.
    FILEDEVICE* devices = FILEdevices;
    EXPECT_EQ(FILESYS_init(0, 0, 1000), 1);
    EXPECT_EQ(FILEdevices, devices);
    EXPECT_EQ(FILEopcount, records);

    // The pool used up: further records are refused with an alert.
    recorder.clear();
    std::vector<uint32_t> queued;
    {
        DeviceHold hold(6);
        for (int32_t i = 0; i < records; i++)
            queued.push_back(FILESYS_nullop(6, 1 + i % 200, 0));
        EXPECT_EQ(std::count(queued.begin(), queued.end(), 0u), 0);
        EXPECT_EQ(recorder.count(), 0u);
        EXPECT_EQ(FILESYS_openop("whatever", FOPEN_READ, 1, 0), 0u);
        EXPECT_THAT(recorder.messages(), ElementsAre("FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE.\n"));
    }
    for (uint32_t number : queued)
        EXPECT_EQ(finish(number).first, 1);
    // Bad devices take no record, and only the allocation reports them; an
    // invalid priority is reported and its low eight bits are used.
    recorder.clear();
    EXPECT_EQ(FILESYS_nullop(32, 1, 0) | FILESYS_nullop(-1, 1, 0), 0u);
    EXPECT_EQ(recorder.count(), 0u);
    for (int32_t device : {32, -1})
        EXPECT_EQ(FILE_allocateop(FOP_NULL, 1, 0, device), nullptr);
    op = FILE_allocateop(FOP_NULL, 300, 0, 6);
    EXPECT_EQ(op->priority, 300 & 0xFF);
    EXPECT_THAT(recorder.messages(), ElementsAre("FILE_allocateop - INVALID DEVICE (32), MUST BE [0..31].\n",
                                                 "FILE_allocateop - INVALID DEVICE (-1), MUST BE [0..31].\n",
                                                 "FILE_allocateop - INVALID PRIORITY (300), MUST BE [0..255].\n"));
    EXPECT_EQ(finish(FILE_queueop(op)).first, 1);
    EXPECT_EQ(freerecords(), records);

    // One thread per device that ran (1, 6 and these); the shutdown ends them,
    // not only takes them out of the registry: none runs on once the process may end.
    SlowExitLines lines(50);
    for (int32_t device : {0, 3, 17})
        EXPECT_EQ(finish(FILESYS_nullop(device, 1, 0)).first, 1);
    EXPECT_EQ(livethreads(), before + 5);
    FILESYS_shutdown();
    EXPECT_EQ(FILEdevices, nullptr);
    EXPECT_EQ(livethreads(), before);
    EXPECT_EQ(lines.finished(), 5u);
    FILESYS_shutdown();
    EXPECT_EQ(FILESYS_nullop(0, 1, 0), 0u);
    // Started again, the file system runs its devices and transactions as before.
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    EXPECT_EQ(finish(FILESYS_nullop(6, 1, 0)).first, 1);
    EXPECT_EQ(FILESYS_atomic([](int32_t, void*) -> int32_t { return 7; }, 6, 100, nullptr), 7);
    EXPECT_EQ(livethreads(), before + 1);
}

TEST(FileOpsThreadTransfer, PathsFindTheirDevicesAndTransfersMoveInPiecesAndRefuseBadLengths)
{
    // A vertical bar names an archive entry, served by device 0.
    EXPECT_EQ(FILESYS_pathdevice("C:\\games\\save.sav"), 3);
    EXPECT_EQ(FILESYS_pathdevice("C:\\archive.big|entry.txt"), 0);
#ifndef _WIN32
    EXPECT_EQ(FILESYS_pathdevice("/tmp/anything"), 0);  // Windows takes the current drive
#endif
    ScopedTempDir dir;
    std::string content(20000, '\0');
    for (size_t i = 0; i < content.size(); i++)
        content[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    std::string path = dir.write("whole", content), shortpath = dir.write("short", content.substr(0, 5000));
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    // Pieces of at most 8192 bytes; a short piece ends the transfer; a
    // transfer of nothing queues one piece.
    struct {
        const std::string& path;
        int32_t length, moved;
        std::vector<int32_t> pieces;
    } rows[] = {{path, 20000, 20000, {8192, 8192, 3616}}, {shortpath, 20000, 5000, {8192}}, {path, 0, 0, {0}}};
    int32_t handle = 0;
    std::vector<char> buffer(20000 + 16);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path + " " + std::to_string(row.length));
        std::fill(buffer.begin(), buffer.end(), '\0');
        pieces.clear();
        ASSERT_EQ(FILESYS_open(row.path.c_str(), FOPEN_READ, 100, &handle), 1);
        EXPECT_LT(handle, 0);
        EXPECT_EQ(FILE_transfer(handle, 0, buffer.data(), row.length, 99, recordingreadop), row.moved);
        EXPECT_EQ(pieces, row.pieces);
        EXPECT_EQ(std::string(buffer.data(), row.moved + 1), content.substr(0, row.moved) + '\0');
        EXPECT_EQ(FILESYS_close(handle, 99), 1);
    }
    // On a closed handle a failed piece counts nothing.
    EXPECT_EQ((Facts{FILESYS_read(handle, 0, buffer.data(), 100, 99), FILESYS_length(handle, 99),
                     FILESYS_close(handle, 99)}),
              Facts({0, 0, 0}));

    // Writes, lengths and deletes go through the path's device; bad lengths
    // and out pointers are refused before anything moves.
    std::string made = dir.file("made");
    ASSERT_EQ(FILESYS_open(made.c_str(), FOPEN_CREATE | FOPEN_TRUNCATE, 100, &handle), 1);
    EXPECT_EQ(FILESYS_handledevice(handle), FILESYS_pathdevice(made.c_str()));
    EXPECT_EQ((Facts{FILESYS_write(handle, 0, content.data(), 20000, 99), FILESYS_length(handle, 99)}),
              Facts({20000, 20000}));
    EXPECT_EQ(FILESYS_read(handle, 19000, buffer.data(), 5000, 99), 1000);
    EXPECT_EQ(std::string(buffer.data(), 1000), content.substr(19000));
    char small[32];
    memset(small, 'g', sizeof small);
    SYS_setlasterror(0);
    EXPECT_EQ((Facts{FILESYS_read(handle, 0, small, -1, 99), FILESYS_write(handle, 0, content.data(), -1, 99),
                     FILESYS_readop(handle, 0, small, INT32_MIN, 99, 0), FILESYS_writeop(handle, 0, small, -16, 99, 0),
                     FILESYS_setlength(handle, -1, 99), FILESYS_openbig(path.c_str(), 0, 100, nullptr),
                     FILESYS_atomic(nullptr, 0, 100, nullptr), FILESYS_open(path.c_str(), FOPEN_READ, 100, nullptr),
                     SYS_getlasterror()}),
              Facts({0, 0, 0, 0, 0, 0, 0, 0, 87}));
    EXPECT_EQ(std::string(small, sizeof small), std::string(sizeof small, 'g'));
    EXPECT_EQ(freerecords(), FILEopcount);
    // Nothing moves past the largest position, so no position overflows.
    EXPECT_LE(FILESYS_write(handle, INT32_MAX - 1, content.data(), 16, 99), 1);
    EXPECT_EQ((Facts{FILESYS_setlength(handle, 12345, 99), FILESYS_length(handle, 99), FILESYS_close(handle, 99)}),
              Facts({1, 12345, 1}));
    EXPECT_EQ(ScopedTempDir::read(made), content.substr(0, 12345));
    // Create-new refuses an existing file; open-existing refuses a missing one.
    EXPECT_EQ((Facts{FILESYS_open(made.c_str(), FOPEN_CREATE, 100, &handle), handle,
                     FILESYS_open(dir.file("nothing").c_str(), 0, 100, &handle)}),
              Facts({0, 0, 0}));
    EXPECT_EQ((Facts{FILESYS_exists(made.c_str(), 100), FILESYS_delete(made.c_str(), 100),
                     FILESYS_exists(made.c_str(), 100), FILESYS_delete(made.c_str(), 100)}),
              Facts({1, 1, 0, 0}));

    // Missing and locked files exist as nothing.
    std::string locked = dir.write("locked", "abc"), missing = dir.file("missing");
    ScopedAlertRecorder recorder;
    for (const char* nothing : {missing.c_str(), static_cast<const char*>(nullptr), dir.path().c_str()})
        EXPECT_EQ(FILESYS_exists(nothing, 100), 0) << (nothing ? nothing : "null");
    ASSERT_EQ(FILESYS_open(locked.c_str(), 0, 100, &handle), 1);
    EXPECT_EQ((Facts{FILESYS_exists(locked.c_str(), 100), FILESYS_close(handle, 100), FILESYS_exists(locked.c_str(), 100)}),
              Facts({0, 1, 1}));
    EXPECT_EQ(recorder.count(), 0u);
}

int aborting(const char*, const char*, UINT) { return IDABORT; }

void assertoncallback(uint32_t, int32_t, uintptr_t) { ASSERT_report("pc/sample", 1, "on a device thread"); }

TEST(FileOpsThreadDeathTest, UnknownCompletionsAndAbortedAssertionsOnADeviceThreadEndTheProcess)
{
    // Completing a number never handed out ends the process by default.
    EXPECT_EXIT(
        {
            FILESYS_init(0, 0, 0);
            FILESYS_completeop(32 + 3);
        },
        ::testing::ExitedWithCode(0), "OPERATION NOT FOUND IN COMPLETED LIST");
    // The exit callbacks then run on the device thread, and the file
    // system's shutdown must not wait for the thread it runs on.
    EXPECT_EXIT(
        {
            PW_setboxhook(aborting);
            FILESYS_init(0, 0, 0);
            DeviceHold hold(0);  // so that the record completes on the device thread
            FILESYS_callbackop(FILESYS_nullop(0, 1, 0), assertoncallback);
            hold.release();
            for (;;)
                THREAD_sleep(100);
        },
        testing::ExitedWithCode(0), "Assertion Failed");
}

std::atomic<int> syncruns{0};
int32_t countsync(int32_t, int32_t)
{
    syncruns++;
    return 0;
}

int32_t innerroutine(int32_t priority, void*) { return 1000 + priority; }

// Inside a transaction on device 9, another thread queues one record less
// urgent than the transaction and one more urgent, and waits for the urgent
// one; then nested transactions, and the device's limit.
int32_t outerroutine(int32_t, void* parameter)
{
    auto* seen = static_cast<std::vector<uint32_t>*>(parameter);
    std::thread([seen] {
        seen->push_back(FILESYS_nullop(9, 150, 0));
        seen->push_back(FILESYS_nullop(9, 50, 0));
        seen->push_back(FILESYS_waitop(seen->back()));
    }).join();
    seen->push_back(FILESYS_statusop((*seen)[0]));
    seen->push_back(FILESYS_atomic(innerroutine, 9, 100, nullptr));
    seen->push_back(FILESYS_atomic(innerroutine, 9, 120, nullptr));
    seen->push_back(FILEdevices[9].limit);
    return 5;
}

TEST(FileOpsThreadAtomic, TransactionsHoldBackWorkNestAndExcludeEachOtherAndWaitersAreAllWoken)
{
    ASSERT_EQ(FILESYS_init(0, 0, 256), 1);
    ScopedAlertRecorder recorder;
    std::vector<uint32_t> seen;
    EXPECT_EQ(FILESYS_atomic(outerroutine, 9, 100, &seen), 5);
    // The urgent record ran, the lazy one waited; a nested transaction at the
    // same priority ran, a less urgent one was refused; the limit was the
    // transaction's, and is back to none.
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_THAT(std::vector<uint32_t>(seen.begin() + 2, seen.end()), ElementsAre(1, 0, 1100, 0, 100));
    EXPECT_THAT(recorder.messages(),
                ElementsAre("FILESYS_atomic - CALLED AT PRIORITY (120) LOWER THAN CURRENT DEVICE PRIORITY (100).\n"));
    EXPECT_EQ(FILEdevices[9].limit, 255);
    EXPECT_EQ(MUTEX_count(FILEdevices[9].mutex), 0u);
    EXPECT_EQ(finish(seen[0]).first, 1);  // held back until the end, then carried out
    FILESYS_completeop(seen[1]);
    recorder.clear();
    EXPECT_EQ(FILESYS_atomic(innerroutine, 32, 100, nullptr) | FILESYS_atomic(innerroutine, -1, 100, nullptr), 0);
    EXPECT_THAT(recorder.messages(), ElementsAre("FILESYS_atomic - CALLED WITH ILLEGAL FILE DEVICE (32).\n",
                                                 "FILESYS_atomic - CALLED WITH ILLEGAL FILE DEVICE (-1).\n"));

    // A second transaction on a device waits for the first: counters hold
    // those running now and the most ever seen at once.
    auto routine = [](int32_t priority, void* parameter) -> int32_t {
        auto* counters = static_cast<std::atomic<int>*>(parameter);
        int now = ++counters[0], most = counters[1].load();
        while (now > most && !counters[1].compare_exchange_weak(most, now)) {
        }
        finish(FILESYS_nullop(12, priority - 1, 0));
        --counters[0];
        return 1;
    };
    std::atomic<int> counters[2] = {{0}, {0}}, good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 5; t++)
        threads.emplace_back([&] {
            for (int n = 0; n < 50; n++)
                good += FILESYS_atomic(routine, 12, 100, counters);
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(good.load(), 250);
    EXPECT_EQ(counters[1].load(), 1);

    // Many threads waiting on one device are all woken, and, while it
    // waits, the main thread runs the sync tasks.
    TIMER_init(1000);
    SYNCTASK_add(countsync, 1, 0);
    good = 0;
    threads.clear();
    {
        DeviceHold hold(8);
        std::atomic<int> queued{0};
        for (int t = 0; t < 6; t++)
            threads.emplace_back([&, t] {
                uint32_t ops[2] = {FILESYS_nullop(8, 10 + t, 0), FILESYS_nullop(8, 200 - t, 0)};
                queued++;
                good += finish(ops[1]).first + finish(ops[0]).first;  // the later first
            });
        while (queued.load() < 6)
            std::this_thread::yield();
        threads.emplace_back([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            hold.release();
        });
        EXPECT_EQ(finish(FILESYS_nullop(8, 5, 0)).first, 1);
        for (std::thread& thread : threads)
            thread.join();
    }
    EXPECT_EQ(good.load(), 6 * 2);
    EXPECT_GT(syncruns.load(), 0);
    EXPECT_EQ(freerecords(), FILEopcount);
    SYNCTASK_remove(countsync);
    TIMER_stop();
}

}  // namespace
