// The file system's engine: operation records on file devices, their order,
// their collection, cancelling and callbacks, the record pool, the blocking
// calls and their chained transfers, and transactions that hold a device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
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

// Holds a device in a transaction at priority 0 on a thread of its own, so
// that every record of priority 1 or more queued meanwhile stays waiting.
class DeviceHold {
public:
    explicit DeviceHold(int32_t device) : device_(device)
    {
        std::future<void> held = held_.get_future();
        thread_ = std::thread([this] { result_ = FILESYS_atomic(routine, device_, 0, this); });
        held.wait();
    }
    ~DeviceHold() { release(); }
    void release()
    {
        if (thread_.joinable()) {
            go_.set_value();
            thread_.join();
        }
    }
    int32_t result() const { return result_; }

private:
    static int32_t routine(int32_t priority, void* parameter)
    {
        auto* hold = static_cast<DeviceHold*>(parameter);
        std::future<void> go = hold->go_.get_future();
        hold->held_.set_value();
        go.wait();
        return 7;
    }

    int32_t device_;
    int32_t result_ = 0;
    std::promise<void> held_;
    std::promise<void> go_;
    std::thread thread_;
};

std::string pattern(size_t length)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

int32_t freerecords() { return QUEUE_length(&FILEfreeops); }

int32_t livethreads()
{
    int32_t count = 0;
    for (int32_t index = 0; THREADitemlist && index < THREAD_capacity(); index++)
        count += THREADitemlist[index].key != 0 ? 1 : 0;
    return count;
}

// Completion callbacks that record what they were given.
struct CALL {
    uint32_t op;
    int32_t status;
    uintptr_t context;
    bool onmain;
};
std::mutex calllock;
std::vector<CALL> calls;

void recordcall(uint32_t op, int32_t status, uintptr_t context)
{
    std::lock_guard<std::mutex> hold(calllock);
    calls.push_back({op, status, context, THREAD_iscurrent(nullptr) != 0});
}

void recordandcollect(uint32_t op, int32_t status, uintptr_t context)
{
    recordcall(op, status, context);
    FILESYS_completeop(op);
}

std::vector<uintptr_t> contextsinorder()
{
    std::lock_guard<std::mutex> hold(calllock);
    std::vector<uintptr_t> order;
    for (const CALL& call : calls)
        order.push_back(call.context);
    return order;
}

// A read front-end that records the length of every piece it queues.
std::vector<int32_t> pieces;
uint32_t recordingreadop(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority,
                         uintptr_t context)
{
    pieces.push_back(length);
    return FILESYS_readop(handle, position, buffer, length, priority, context);
}

// ---------------------------------------------------------------------------

TEST(FileOpsThreadQueue, EqualPrioritiesRunInAllocationOrderAndUrgentOnesOvertake)
{
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    calls.clear();
    uint32_t a, b, c, d, e;
    {
        DeviceHold hold(5);
        a = FILESYS_nullop(5, 20, 'a');
        b = FILESYS_nullop(5, 20, 'b');
        c = FILESYS_nullop(5, 10, 'c');
        d = FILESYS_nullop(5, 20, 'd');
        e = FILESYS_nullop(5, 10, 'e');
        for (uint32_t op : {a, b, c, d, e}) {
            ASSERT_NE(op, 0u);
            EXPECT_EQ(op % 32, 5u);
            FILESYS_callbackop(op, recordandcollect);
        }
        // Numbers count up per device: serial * 32 + device.
        EXPECT_EQ(b - a, 32u);
        EXPECT_EQ(e - d, 32u);
        // Above the transaction's limit, every record waits.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (uint32_t op : {a, b, c, d, e})
            EXPECT_EQ(FILESYS_statusop(op), 0);
        EXPECT_TRUE(calls.empty());
        EXPECT_EQ(FILESYS_priorityop(d, 5), d);
        hold.release();
        EXPECT_EQ(hold.result(), 7);
        // The limit is back: the thread was woken and takes them all.
        for (uint32_t op : {a, b, c, d, e})
            FILESYS_waitop(op);
    }
    EXPECT_THAT(contextsinorder(), ElementsAre('d', 'c', 'e', 'a', 'b'));
    for (const CALL& call : calls) {
        EXPECT_EQ(call.status, 1);
        EXPECT_FALSE(call.onmain);
    }
    // Collected by the callbacks: gone, and nothing to re-prioritise.
    EXPECT_EQ(FILESYS_statusop(a), -3);
    EXPECT_EQ(FILESYS_priorityop(a, 1), 0u);
    EXPECT_EQ(freerecords(), FILEopcount);
}

TEST(FileOpsThreadStatus, UnknownNumbersAndDevicesThatNeverRan)
{
    EXPECT_EQ(FILESYS_statusop(32 + 7), -3);
    EXPECT_EQ(FILESYS_waitop(32 + 7), -3);
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    EXPECT_EQ(FILESYS_waitop(0), -3);
    EXPECT_EQ(FILESYS_statusop(0), -3);
    EXPECT_EQ(FILESYS_waitop(32 + 7), -3);
    EXPECT_EQ(FILESYS_statusop(32 + 7), -3);
    EXPECT_EQ(FILEdevices[7].running, 0u);

    uint32_t op = FILESYS_nullop(7, 1, 55);
    EXPECT_EQ(FILEdevices[7].running, 1u);
    EXPECT_EQ(FILESYS_waitop(op), 1);
    // A number the device never handed out.
    EXPECT_EQ(FILESYS_statusop(op + 32 * 100), -3);
    EXPECT_EQ(FILESYS_waitop(op + 32 * 100), -3);
    EXPECT_EQ(FILESYS_errorop(op + 32 * 100), 0u);
    EXPECT_EQ(FILESYS_deviceop(op + 32 * 100), 0u);
    EXPECT_EQ(FILESYS_contextop(op + 32 * 100), 0u);
    FILESYS_cancelop(op + 32 * 100);
    EXPECT_EQ(FILESYS_completeop(op), 0u);
}

TEST(FileOpsThreadStatus, CompletingTwiceRaisesNotFoundAndTouchesNoRecord)
{
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    uint32_t op = FILESYS_nullop(2, 50, 9);
    EXPECT_EQ(FILESYS_waitop(op), 1);
    EXPECT_EQ(FILESYS_statusop(op), 1);
    EXPECT_EQ(FILESYS_deviceop(op), 2u);
    EXPECT_EQ(FILESYS_contextop(op), 9u);
    EXPECT_EQ(FILESYS_errorop(op), 0u);
    EXPECT_EQ(FILESYS_completeop(op), 0u);
    int32_t free = freerecords();
    EXPECT_EQ(free, FILEopcount);

    ScopedAlertRecorder recorder;
    EXPECT_EQ(FILESYS_completeop(op), 0u);
    EXPECT_EQ(FILESYS_completeop(32 + 11), 0u);  // a device that never ran
    EXPECT_THAT(recorder.messages(), ElementsAre("FILESYS_completeop - OPERATION NOT FOUND IN COMPLETED LIST.\n",
                                                 "FILESYS_completeop - OPERATION NOT FOUND IN COMPLETED LIST.\n"));
    EXPECT_EQ(recorder.alerts()[0].file, "pc/nfile");
    EXPECT_EQ(freerecords(), free);

    // A record that still waits is not collected either.
    recorder.clear();
    DeviceHold hold(2);
    uint32_t waiting = FILESYS_nullop(2, 10, 0);
    EXPECT_EQ(FILESYS_completeop(waiting), 0u);
    EXPECT_EQ(recorder.count(), 1u);
    EXPECT_EQ(FILESYS_statusop(waiting), 0);
    hold.release();
    EXPECT_EQ(FILESYS_waitop(waiting), 1);
    EXPECT_EQ(FILESYS_completeop(waiting), 0u);
    EXPECT_EQ(freerecords(), FILEopcount);
}

TEST(FileOpsThreadStatus, CancellingAWaitingReadCallsBackAtOnceAndKeepsItsLength)
{
    ScopedTempDir dir;
    std::string path = dir.write("data", std::string(100, 'x'));
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), FOPEN_READ, 100, &handle), 1);
    calls.clear();
    char buffer[64];
    memset(buffer, '-', sizeof buffer);
    {
        DeviceHold hold(FILESYS_pathdevice(path.c_str()));
        uint32_t op = FILESYS_readop(handle, 0, buffer, 40, 30, 77);
        FILESYS_callbackop(op, recordcall);
        EXPECT_TRUE(calls.empty());
        FILESYS_cancelop(op);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].op, op);
        EXPECT_EQ(calls[0].status, -1);
        EXPECT_EQ(calls[0].context, 77u);
        EXPECT_TRUE(calls[0].onmain);
        EXPECT_EQ(FILESYS_statusop(op), -1);
        EXPECT_EQ(FILESYS_waitop(op), -1);
        // A second cancel finds it completed and does nothing.
        FILESYS_cancelop(op);
        EXPECT_EQ(calls.size(), 1u);
        EXPECT_EQ(FILESYS_completeop(op), 40u);

        // Cancelled before any callback: one registered later is called at
        // once with the record's status byte, which never changed.
        uint32_t other = FILESYS_readop(handle, 0, buffer, 10, 30, 78);
        FILESYS_cancelop(other);
        FILESYS_callbackop(other, recordcall);
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].status, 0);
        EXPECT_EQ(FILESYS_completeop(other), 10u);

        // A cancelled open yields no handle.
        uint32_t open = FILESYS_openop(path.c_str(), FOPEN_READ, 30, 0);
        FILESYS_cancelop(open);
        EXPECT_EQ(FILESYS_completeop(open), 0u);
    }
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(64, '-'));
    EXPECT_EQ(FILESYS_close(handle, 100), 1);
    EXPECT_EQ(freerecords(), FILEopcount);
}

TEST(FileOpsThreadStatus, CloseSetLengthAndDeleteCannotBeCancelled)
{
    ScopedTempDir dir;
    std::string path = dir.write("data", std::string(1000, 'y'));
    std::string doomed = dir.write("doomed", "z");
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), 0, 100, &handle), 1);
    uint32_t setlength, close, remove, null;
    {
        DeviceHold hold(FILESYS_pathdevice(path.c_str()));
        setlength = FILESYS_setlengthop(handle, 10, 20, 0);
        close = FILESYS_closeop(handle, 30, 0);
        remove = FILESYS_deleteop(doomed.c_str(), 40, 0);
        null = FILESYS_nullop(FILESYS_pathdevice(path.c_str()), 40, 0);
        for (uint32_t op : {setlength, close, remove, null})
            FILESYS_cancelop(op);
        EXPECT_EQ(FILESYS_statusop(setlength), 0);
        EXPECT_EQ(FILESYS_statusop(close), 0);
        EXPECT_EQ(FILESYS_statusop(remove), 0);
        EXPECT_EQ(FILESYS_statusop(null), -1);
    }
    EXPECT_EQ(FILESYS_waitop(setlength), 1);
    EXPECT_EQ(FILESYS_completeop(setlength), 1u);
    EXPECT_EQ(FILESYS_waitop(close), 1);
    EXPECT_EQ(FILESYS_completeop(close), 1u);
    EXPECT_EQ(FILESYS_waitop(remove), 1);
    EXPECT_EQ(FILESYS_completeop(remove), 1u);
    EXPECT_EQ(FILESYS_completeop(null), 0u);
    EXPECT_EQ(ScopedTempDir::size(path), 10);
    EXPECT_EQ(ScopedTempDir::size(doomed), -1);
    EXPECT_EQ(freerecords(), FILEopcount);
}

TEST(FileOpsThreadStatus, CallbacksRunOnceOnTheRightThread)
{
    ScopedTempDir dir;
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    calls.clear();
    uint32_t early;
    {
        DeviceHold hold(4);
        early = FILESYS_nullop(4, 3, 31);
        FILESYS_callbackop(early, recordcall);
    }
    EXPECT_EQ(FILESYS_waitop(early), 1);  // returns once the callback has run
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].op, early);
    EXPECT_EQ(calls[0].status, 1);
    EXPECT_EQ(calls[0].context, 31u);
    EXPECT_FALSE(calls[0].onmain);
    EXPECT_EQ(FILESYS_completeop(early), 0u);

    // Registered after completion: called at once, here.
    std::string missing = dir.file("missing");
    uint32_t late = FILESYS_openop(missing.c_str(), FOPEN_READ, 10, 32);
    EXPECT_EQ(FILESYS_waitop(late), -2);
    EXPECT_EQ(FILESYS_errorop(late), 2u /* file not found */);
    FILESYS_callbackop(late, recordcall);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].status, -2);
    EXPECT_EQ(calls[1].context, 32u);
    EXPECT_TRUE(calls[1].onmain);
    EXPECT_EQ(FILESYS_completeop(late), 0u);

    ScopedAlertRecorder recorder;
    uint32_t op = FILESYS_nullop(4, 3, 0);
    FILESYS_callbackop(op, nullptr);
    FILESYS_waitop(op);
    FILESYS_completeop(op);
    FILESYS_callbackop(op, recordcall);
    EXPECT_THAT(recorder.messages(), ElementsAre("FILESYS_callbackop - can not specify a NULL callback.\n",
                                                 "FILESYS_callbackop - UNKNOWN FILEOP.\n"));
    EXPECT_EQ(calls.size(), 2u);

    // An unknown type is reported from the device thread and completes with
    // status 0.
    recorder.clear();
    FILEOP* strange = FILE_allocateop(42, 10, 0, 4);
    ASSERT_NE(strange, nullptr);
    uint32_t number = FILE_queueop(strange);
    EXPECT_EQ(FILESYS_waitop(number), 0);
    EXPECT_EQ(FILESYS_completeop(number), 0u);
    EXPECT_THAT(recorder.messages(), ElementsAre("FILE_devicethread - UNKNOWN TYPE OF OPERATION 42.\n"));
}

TEST(FileOpsThreadStatus, CompletingAnUnknownNumberEndsTheProcessByDefault)
{
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    EXPECT_EXIT(FILESYS_completeop(32 + 3), ::testing::ExitedWithCode(0), "OPERATION NOT FOUND IN COMPLETED LIST");
}

// ---------------------------------------------------------------------------

TEST(FileOpsPool, HoldsEveryRecordThatFitsItsPages)
{
    ASSERT_EQ(FILESYS_init(0, 0, 65), 1);
    int32_t page = static_cast<int32_t>(PAGE_size());
    ASSERT_GT(page, 0);
    int32_t bytes = (65 * static_cast<int32_t>(sizeof(FILEOP)) + page - 1) / page * page;
    EXPECT_EQ(FILEopcount, bytes / static_cast<int32_t>(sizeof(FILEOP)));
    EXPECT_GE(FILEopcount, 65);
    EXPECT_EQ(freerecords(), FILEopcount);
    // The last record of the block is handed out first.
    FILEOP* op = FILE_allocateop(FOP_NULL, 1, 0, 1);
    EXPECT_EQ(op, &FILEoppool[FILEopcount - 1]);
    uint32_t number = FILE_queueop(op);
    EXPECT_EQ(FILESYS_waitop(number), 1);
    FILESYS_completeop(number);
    EXPECT_EQ(freerecords(), FILEopcount);
    // A second initialisation changes nothing.
    FILEDEVICE* devices = FILEdevices;
    EXPECT_EQ(FILESYS_init(0, 0, 1000), 1);
    EXPECT_EQ(FILEdevices, devices);
    EXPECT_EQ(FILEopcount, bytes / static_cast<int32_t>(sizeof(FILEOP)));
}

TEST(FileOpsPool, ExhaustedPoolAndBadArgumentsUseNoRecord)
{
    ASSERT_EQ(FILESYS_init(0, 0, 1), 1);
    const int32_t records = FILEopcount;
    ASSERT_GT(records, 0);
    ScopedAlertRecorder recorder;
    std::vector<uint32_t> queued;
    {
        DeviceHold hold(6);
        for (int32_t i = 0; i < records; i++) {
            uint32_t op = FILESYS_nullop(6, 1 + i % 200, 0);
            ASSERT_NE(op, 0u);
            queued.push_back(op);
        }
        EXPECT_EQ(freerecords(), 0);
        EXPECT_EQ(recorder.count(), 0u);
        EXPECT_EQ(FILESYS_nullop(6, 1, 0), 0u);
        EXPECT_EQ(FILESYS_openop("whatever", FOPEN_READ, 1, 0), 0u);
        EXPECT_THAT(recorder.messages(), ElementsAre("FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE.\n",
                                                     "FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE.\n"));
    }
    for (uint32_t op : queued) {
        EXPECT_EQ(FILESYS_waitop(op), 1);
        FILESYS_completeop(op);
    }
    EXPECT_EQ(freerecords(), records);

    recorder.clear();
    EXPECT_EQ(FILESYS_nullop(32, 1, 0), 0u);
    EXPECT_EQ(FILESYS_nullop(-1, 1, 0), 0u);
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(FILE_allocateop(FOP_NULL, 1, 0, 32), nullptr);
    EXPECT_EQ(FILE_allocateop(FOP_NULL, 1, 0, -1), nullptr);
    EXPECT_THAT(recorder.messages(), ElementsAre("FILE_allocateop - INVALID DEVICE (32), MUST BE [0..31].\n",
                                                 "FILE_allocateop - INVALID DEVICE (-1), MUST BE [0..31].\n"));
    EXPECT_EQ(freerecords(), records);

    // An invalid priority is reported and its low eight bits are used.
    recorder.clear();
    FILEOP* op = FILE_allocateop(FOP_NULL, 300, 0, 6);
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->priority, 300 & 0xFF);
    EXPECT_THAT(recorder.messages(), ElementsAre("FILE_allocateop - INVALID PRIORITY (300), MUST BE [0..255].\n"));
    uint32_t number = FILE_queueop(op);
    EXPECT_EQ(FILESYS_waitop(number), 1);
    FILESYS_completeop(number);
    EXPECT_EQ(freerecords(), records);
}

TEST(FileOpsPool, CountsWhoseSizesOverflowAreRefusedLeavingNothing)
{
    for (int32_t ops : {67108865, 16519168, INT32_MAX}) {
        EXPECT_EQ(FILESYS_init(0, 0, ops), 0) << ops;
        EXPECT_EQ(FILEdevices, nullptr);
        EXPECT_EQ(filetableexists(), 0);
    }
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    EXPECT_GE(FILEopcount, 64);
    uint32_t op = FILESYS_existsop("/", 1, 0);
    EXPECT_EQ(FILESYS_waitop(op), 1);
    FILESYS_completeop(op);
}

TEST(FileOpsPool, NothingIsQueuedBeforeInitialisationOrAfterShutdown)
{
    ScopedAlertRecorder recorder;
    EXPECT_EQ(FILE_allocateop(FOP_NULL, 1, 0, 1), nullptr);
    EXPECT_EQ(FILESYS_nullop(1, 1, 0), 0u);
    EXPECT_EQ(FILESYS_atomic(nullptr, 1, 100, nullptr), 0);
    EXPECT_THAT(recorder.messages(),
                ElementsAre("FILE_allocateop - FILE SYSTEM NOT INITIALIZED, CALL FILESYS_init().\n",
                            "FILE_allocateop - FILE SYSTEM NOT INITIALIZED, CALL FILESYS_init().\n",
                            "FILESYS_atomic - FILE SYSTEM NOT INITIALIZED, CALL FILESYS_init().\n"));

    int32_t before = livethreads();
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    recorder.clear();
    SlowExitLines lines(50);
    uint32_t ops[3] = {FILESYS_nullop(0, 1, 0), FILESYS_nullop(3, 1, 0), FILESYS_nullop(17, 1, 0)};
    for (uint32_t op : ops) {
        EXPECT_EQ(FILESYS_waitop(op), 1);
        FILESYS_completeop(op);
    }
    EXPECT_EQ(livethreads(), before + 3);
    FILESYS_shutdown();
    EXPECT_EQ(FILEdevices, nullptr);
    EXPECT_EQ(livethreads(), before);
    // The device threads have ended, not only left the registry: nothing of
    // them runs on once the process may end.
    EXPECT_EQ(lines.finished(), 3u);
    FILESYS_shutdown();
    EXPECT_EQ(FILESYS_nullop(0, 1, 0), 0u);
}

// ---------------------------------------------------------------------------

TEST(FileOpsThreadTransfer, ReadsInPiecesOfAtMost8192Bytes)
{
    ScopedTempDir dir;
    const std::string content = pattern(20000);
    std::string path = dir.write("whole", content);
    std::string shortpath = dir.write("short", content.substr(0, 5000));
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), FOPEN_READ, 100, &handle), 1);
    EXPECT_LT(handle, 0);
    EXPECT_EQ(FILESYS_length(handle, 99), 20000);

    std::vector<char> buffer(20000 + 16, '\0');
    pieces.clear();
    EXPECT_EQ(FILE_transfer(handle, 0, buffer.data(), 20000, 99, recordingreadop), 20000);
    EXPECT_THAT(pieces, ElementsAre(8192, 8192, 3616));
    EXPECT_EQ(std::string(buffer.data(), 20000), content);

    std::vector<char> again(20000, '\0');
    EXPECT_EQ(FILESYS_read(handle, 0, again.data(), 20000, 99), 20000);
    EXPECT_EQ(std::string(again.data(), 20000), content);
    EXPECT_EQ(FILESYS_read(handle, 19000, again.data(), 5000, 99), 1000);
    EXPECT_EQ(std::string(again.data(), 1000), content.substr(19000));

    pieces.clear();
    EXPECT_EQ(FILE_transfer(handle, 0, buffer.data(), 0, 99, recordingreadop), 0);
    EXPECT_THAT(pieces, ElementsAre(0));
    EXPECT_EQ(FILESYS_close(handle, 99), 1);

    int32_t shorthandle = 0;
    ASSERT_EQ(FILESYS_open(shortpath.c_str(), FOPEN_READ, 100, &shorthandle), 1);
    pieces.clear();
    memset(buffer.data(), 0, buffer.size());
    EXPECT_EQ(FILE_transfer(shorthandle, 0, buffer.data(), 20000, 99, recordingreadop), 5000);
    EXPECT_THAT(pieces, ElementsAre(8192));
    EXPECT_EQ(std::string(buffer.data(), 5000), content.substr(0, 5000));
    EXPECT_EQ(buffer[5000], '\0');
    EXPECT_EQ(FILESYS_close(shorthandle, 99), 1);

    // A failed piece counts nothing.
    EXPECT_EQ(FILESYS_read(shorthandle, 0, buffer.data(), 100, 99), 0);
    EXPECT_EQ(FILESYS_length(shorthandle, 99), 0);
    EXPECT_EQ(FILESYS_close(shorthandle, 99), 0);
    EXPECT_EQ(freerecords(), FILEopcount);
}

TEST(FileOpsThreadTransfer, BadLengthsAndOutPointersAreRefusedBeforeAnythingMoves)
{
    ScopedTempDir dir;
    const std::string content = pattern(4096);
    std::string path = dir.write("kept", content);
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), 0, 100, &handle), 1);
    const int32_t records = freerecords();
    char small[32];
    memset(small, 'g', sizeof small);
    SYS_setlasterror(0);
    EXPECT_EQ(FILESYS_read(handle, 0, small, -1, 99), 0);
    EXPECT_EQ(SYS_getlasterror(), 87u);
    EXPECT_EQ(FILESYS_write(handle, 0, content.data(), -1, 99), 0);
    EXPECT_EQ(FILESYS_readop(handle, 0, small, INT32_MIN, 99, 0), 0u);
    EXPECT_EQ(FILESYS_writeop(handle, 0, small, -16, 99, 0), 0u);
    EXPECT_EQ(FILESYS_setlength(handle, -1, 99), 0);
    EXPECT_EQ(std::string(small, sizeof small), std::string(sizeof small, 'g'));
    SYS_setlasterror(0);
    EXPECT_EQ(FILESYS_open(path.c_str(), FOPEN_READ, 100, nullptr), 0);
    EXPECT_EQ(SYS_getlasterror(), 87u);
    EXPECT_EQ(FILESYS_openbig(path.c_str(), 0, 100, nullptr), 0);
    EXPECT_EQ(FILESYS_atomic(nullptr, 0, 100, nullptr), 0);
    EXPECT_EQ(freerecords(), records);
    EXPECT_EQ(FILESYS_length(handle, 99), 4096);
    // Nothing moves past the largest position, so no position overflows.
    EXPECT_LE(FILESYS_write(handle, INT32_MAX - 1, content.data(), 16, 99), 1);
    EXPECT_EQ(FILESYS_close(handle, 99), 1);
    EXPECT_EQ(ScopedTempDir::read(path).substr(0, 4096), content);
}

int aborting(const char*, const char*, UINT) { return IDABORT; }

void assertoncallback(uint32_t op, int32_t status, uintptr_t context)
{
    ASSERT_report("pc/sample", 1, "on a device thread");
}

TEST(FileOpsThreadDeathTest, AnAbortedAssertionOnADeviceThreadEndsTheProcess)
{
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

TEST(FileOpsThreadTransfer, WritesSetLengthsAndDeletesThroughTheDevice)
{
    ScopedTempDir dir;
    const std::string content = pattern(20000);
    std::string path = dir.file("made");
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), FOPEN_CREATE | FOPEN_TRUNCATE, 100, &handle), 1);
    EXPECT_EQ(FILESYS_handledevice(handle), FILESYS_pathdevice(path.c_str()));
    EXPECT_EQ(FILESYS_write(handle, 0, content.data(), 20000, 99), 20000);
    EXPECT_EQ(FILESYS_length(handle, 99), 20000);
    EXPECT_EQ(FILESYS_setlength(handle, 12345, 99), 1);
    EXPECT_EQ(FILESYS_length(handle, 99), 12345);
    EXPECT_EQ(FILESYS_close(handle, 99), 1);
    EXPECT_EQ(ScopedTempDir::read(path), content.substr(0, 12345));

    // Create-new refuses an existing file; open-existing refuses a missing one.
    EXPECT_EQ(FILESYS_open(path.c_str(), FOPEN_CREATE, 100, &handle), 0);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(FILESYS_open(dir.file("nothing").c_str(), 0, 100, &handle), 0);

    EXPECT_EQ(FILESYS_exists(path.c_str(), 100), 1);
    EXPECT_EQ(FILESYS_delete(path.c_str(), 100), 1);
    EXPECT_EQ(FILESYS_exists(path.c_str(), 100), 0);
    EXPECT_EQ(FILESYS_delete(path.c_str(), 100), 0);
    EXPECT_EQ(freerecords(), FILEopcount);
}

TEST(FileOpsThreadTransfer, MissingAndLockedFilesOpenAndExistAsNothing)
{
    ScopedTempDir dir;
    std::string missing = dir.file("missing");
    std::string locked = dir.write("locked", "abc");
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    ScopedAlertRecorder recorder;
    int32_t handle = 12345;
    EXPECT_EQ(FILESYS_open(missing.c_str(), FOPEN_READ, 100, &handle), 0);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(FILESYS_exists(missing.c_str(), 100), 0);
    EXPECT_EQ(FILESYS_exists(nullptr, 100), 0);
    EXPECT_EQ(FILESYS_exists(dir.path().c_str(), 100), 0);

    int32_t exclusive = 0;
    ASSERT_EQ(FILESYS_open(locked.c_str(), 0, 100, &exclusive), 1);
    EXPECT_EQ(FILESYS_exists(locked.c_str(), 100), 0);
    EXPECT_EQ(FILESYS_close(exclusive, 100), 1);
    EXPECT_EQ(FILESYS_exists(locked.c_str(), 100), 1);
    EXPECT_EQ(recorder.count(), 0u);
}

TEST(FileOpsThreadTransfer, PathsReachTheirDevices)
{
    // A vertical bar names an archive entry, served by device 0.
    EXPECT_EQ(FILESYS_pathdevice("C:\\games\\save.sav"), 3);
    EXPECT_EQ(FILESYS_pathdevice("C:\\archive.big|entry.txt"), 0);
#ifdef _WIN32
    // Windows puts a path without a drive letter on the current drive.
    char current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, current), 1u);
    EXPECT_EQ(FILESYS_pathdevice("/tmp/anything"), (current[0] & ~0x20) - 64);
#else
    EXPECT_EQ(FILESYS_pathdevice("/tmp/anything"), 0);
#endif

    // A name on drive C queues on device 3, even where it cannot be opened.
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    uint32_t op = FILESYS_existsop("C:\\games\\save.sav", 10, 0);
    EXPECT_EQ(op % 32, 3u);
    EXPECT_EQ(FILESYS_waitop(op), 1);
    EXPECT_EQ(FILESYS_completeop(op), 0u);
    EXPECT_EQ(FILEdevices[3].running, 1u);
}

// ---------------------------------------------------------------------------

struct TRANSACTION {
    uint32_t urgent = 0;
    uint32_t lazy = 0;
    int32_t urgentstatus = 99;
    int32_t lazystatus = 99;
    int32_t running = -1;
    int32_t inner = 0;
    int32_t refused = 0;
    int32_t limitinside = 0;
};

int32_t innerroutine(int32_t priority, void* parameter) { return 1000 + priority; }

int32_t outerroutine(int32_t priority, void* parameter)
{
    auto* t = static_cast<TRANSACTION*>(parameter);
    t->running = static_cast<int32_t>(FILEdevices[9].running);
    // Another thread queues one record less urgent than the transaction and
    // one more urgent; it waits only for the urgent one.
    std::thread other([t] {
        t->lazy = FILESYS_nullop(9, 150, 0);
        t->urgent = FILESYS_nullop(9, 50, 0);
        t->urgentstatus = FILESYS_waitop(t->urgent);
    });
    other.join();
    t->lazystatus = FILESYS_statusop(t->lazy);
    t->inner = FILESYS_atomic(innerroutine, 9, 100, nullptr);
    t->refused = FILESYS_atomic(innerroutine, 9, 120, nullptr);
    t->limitinside = FILEdevices[9].limit;
    return 5;
}

TEST(FileOpsThreadAtomic, TransactionsHoldBackLessUrgentWorkAndNest)
{
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    ScopedAlertRecorder recorder;
    TRANSACTION t;
    EXPECT_EQ(FILEdevices[9].running, 0u);
    EXPECT_EQ(FILESYS_atomic(outerroutine, 9, 100, &t), 5);
    EXPECT_EQ(t.running, 1);  // the first transaction started the thread
    EXPECT_EQ(t.urgentstatus, 1);
    EXPECT_EQ(t.lazystatus, 0);
    EXPECT_EQ(t.inner, 1100);
    EXPECT_EQ(t.refused, 0);
    EXPECT_EQ(t.limitinside, 100);
    EXPECT_THAT(recorder.messages(),
                ElementsAre("FILESYS_atomic - CALLED AT PRIORITY (120) LOWER THAN CURRENT DEVICE PRIORITY (100).\n"));
    EXPECT_EQ(FILEdevices[9].limit, 255);
    EXPECT_EQ(MUTEX_count(FILEdevices[9].mutex), 0u);
    // Held back until the end of the transaction, then carried out.
    EXPECT_EQ(FILESYS_waitop(t.lazy), 1);
    FILESYS_completeop(t.lazy);
    FILESYS_completeop(t.urgent);

    recorder.clear();
    EXPECT_EQ(FILESYS_atomic(innerroutine, 32, 100, nullptr), 0);
    EXPECT_EQ(FILESYS_atomic(innerroutine, -1, 100, nullptr), 0);
    EXPECT_THAT(recorder.messages(), ElementsAre("FILESYS_atomic - CALLED WITH ILLEGAL FILE DEVICE (32).\n",
                                                 "FILESYS_atomic - CALLED WITH ILLEGAL FILE DEVICE (-1).\n"));
    EXPECT_EQ(freerecords(), FILEopcount);
}

TEST(FileOpsThreadAtomic, ASecondTransactionOnADeviceWaitsForTheFirst)
{
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    auto routine = [](int32_t priority, void* parameter) -> int32_t {
        auto* counters = static_cast<std::atomic<int>*>(parameter);
        int now = ++counters[0];
        int seen = counters[1].load();
        while (now > seen && !counters[1].compare_exchange_weak(seen, now)) {
        }
        uint32_t op = FILESYS_nullop(12, priority - 1, 0);
        FILESYS_waitop(op);
        FILESYS_completeop(op);
        --counters[0];
        return 1;
    };
    std::atomic<int> counters[2] = {{0}, {0}};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&] {
            for (int n = 0; n < 50; n++)
                FILESYS_atomic(routine, 12, 100, counters);
        });
    for (int n = 0; n < 50; n++)
        EXPECT_EQ(FILESYS_atomic(routine, 12, 100, counters), 1);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counters[1].load(), 1);
    EXPECT_EQ(freerecords(), FILEopcount);
}

// ---------------------------------------------------------------------------

TEST(FileOpsConcurrency, ManyThreadsWaitingOnOneDeviceAreAllWoken)
{
    ASSERT_EQ(FILESYS_init(0, 0, 256), 1);
    constexpr int kThreads = 6;
    constexpr int kHeld = 20;
    std::atomic<int> good{0};
    {
        DeviceHold hold(8);
        std::atomic<int> queued{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&, t] {
                std::vector<uint32_t> ops;
                for (int i = 0; i < kHeld; i++)
                    ops.push_back(FILESYS_nullop(8, 1 + (t * kHeld + i) % 250, 0));
                queued++;
                // The last queued first: most of these wait while others finish.
                for (auto op = ops.rbegin(); op != ops.rend(); ++op) {
                    if (FILESYS_waitop(*op) == 1)
                        good++;
                    FILESYS_completeop(*op);
                }
            });
        while (queued.load() < kThreads)
            std::this_thread::yield();
        hold.release();
        for (std::thread& thread : threads)
            thread.join();
    }
    EXPECT_EQ(good.load(), kThreads * kHeld);

    // Round trips from every thread at once, the main thread among them.
    good = 0;
    constexpr int kTrips = 2000;
    std::vector<std::thread> threads;
    auto trips = [&] {
        for (int i = 0; i < kTrips; i++) {
            uint32_t op = FILESYS_nullop(8, i % 256, 0);
            if (FILESYS_waitop(op) == 1)
                good++;
            FILESYS_completeop(op);
        }
    };
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back(trips);
    trips();
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(good.load(), (kThreads + 1) * kTrips);
    EXPECT_EQ(freerecords(), FILEopcount);
}

std::atomic<int> syncruns{0};
int32_t countsync(int32_t arg, int32_t lateness)
{
    syncruns++;
    return 0;
}

TEST(FileOpsConcurrency, TheMainThreadRunsSyncTasksWhileItWaits)
{
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    TIMER_init(1000);
    SYNCTASK_add(countsync, 1, 0);
    uint32_t op;
    {
        DeviceHold hold(10);
        op = FILESYS_nullop(10, 5, 0);
        std::thread releaser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            hold.release();
        });
        syncruns = 0;
        EXPECT_EQ(FILESYS_waitop(op), 1);
        releaser.join();
    }
    EXPECT_GT(syncruns.load(), 0);
    SYNCTASK_remove(countsync);
    TIMER_stop();
    FILESYS_completeop(op);
}

}  // namespace
