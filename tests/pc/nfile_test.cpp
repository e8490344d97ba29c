// The file system's engine: records, their order, callbacks, cancelling, pool and transfers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
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
#include "vorl/thread.h"

namespace {

using ::testing::ElementsAre;
using Done = std::pair<int32_t, uint32_t>;
using Facts = std::vector<int64_t>;
const char* const kNotFound = "FILESYS_completeop - OPERATION NOT FOUND IN COMPLETED LIST.\n";

// Holds a device in a transaction at priority 0, so that records queued meanwhile wait.
struct DeviceHold {
    explicit DeviceHold(int32_t device) : thread([this, device] { FILESYS_atomic(routine, device, 0, this); })
    {
        held.get_future().wait();
    }
    ~DeviceHold() { go.set_value(), thread.join(); }
    static int32_t routine(int32_t, void* hold)
    {
        static_cast<DeviceHold*>(hold)->held.set_value();
        static_cast<DeviceHold*>(hold)->go.get_future().wait();
        return 1;
    }
    std::promise<void> held, go;
    std::thread thread;
};


// Waits for a record and collects it (a braced list runs in order): status and result.
Done finish(uint32_t op) { return {FILESYS_waitop(op), FILESYS_completeop(op)}; }

Facts facts(uint32_t op)
{
    return {FILESYS_waitop(op), FILESYS_statusop(op), FILESYS_errorop(op), FILESYS_deviceop(op),
            static_cast<int64_t>(FILESYS_contextop(op))};
}

using CALL = std::tuple<uint32_t, int32_t, uintptr_t, bool>;
std::mutex calllock;
std::vector<CALL> calls;
void recordcall(uint32_t op, int32_t status, uintptr_t context)
{
    std::lock_guard<std::mutex> hold(calllock);
    calls.emplace_back(op, status, context, THREAD_iscurrent(nullptr) != 0);
}

std::vector<int32_t> pieces;  // the length of every piece a transfer queues
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
        DeviceHold hold(5);
        for (int32_t priority : {20, 20, 10, 20, 10})
            FILESYS_callbackop(ops.emplace_back(FILESYS_nullop(5, priority, 'a' + ops.size())), recordcall);
        // Numbers are serial * 32 + device; every record waits; urgent ones overtake.
        EXPECT_EQ((Facts{ops[0] % 32, ops[4] - ops[0], FILESYS_statusop(ops[0]), FILESYS_priorityop(ops[3], 5)}),
                  Facts({5, 32 * 4, 0, ops[3]}));
    }
    for (uint32_t op : ops)
        EXPECT_EQ(finish(op), Done(1, 0));
    EXPECT_THAT(calls, ElementsAre(CALL{ops[3], 1, 'd', false}, CALL{ops[2], 1, 'c', false},
                                   CALL{ops[4], 1, 'e', false}, CALL{ops[0], 1, 'a', false},
                                   CALL{ops[1], 1, 'b', false}));

    // Numbers never handed out or collected already are unknown; completing them raises "not found".
    uint32_t op = FILESYS_nullop(7, 1, 55);
    EXPECT_EQ((std::pair{facts(op), FILESYS_completeop(op)}), std::pair(Facts({1, 1, 0, 7, 55}), 0u));
    for (uint32_t unknown : {0u, 32u + 11, op + 32 * 100, ops[0], op})
        EXPECT_EQ(facts(unknown), Facts({-3, -3, 0, 0, 0})) << unknown;
    ScopedAlertRecorder recorder;
    EXPECT_EQ(FILESYS_completeop(op) + FILESYS_completeop(32 + 11), 0u);
    FILESYS_callbackop(op, recordcall);
    op = FILESYS_nullop(4, 3, 0);
    FILESYS_callbackop(op, nullptr);
    finish(op);
    // An unknown type is reported from the device thread and completes with status 0.
    EXPECT_EQ(finish(FILE_queueop(FILE_allocateop(42, 10, 0, 4))), Done(0, 0));
    EXPECT_THAT(recorder.messages(), ElementsAre(kNotFound, kNotFound, "FILESYS_callbackop - UNKNOWN FILEOP.\n",
                                                 "FILESYS_callbackop - can not specify a NULL callback.\n",
                                                 "FILE_devicethread - UNKNOWN TYPE OF OPERATION 42.\n"));

    // Cancelling ends a waiting read at once, calling back here, but not a delete.
    calls.clear();
    ScopedTempDir dir;
    std::string path = dir.write("data", std::string(1000, 'y')), doomed = dir.write("doomed", "z");
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), FOPEN_READ, 100, &handle), 1);
    char buffer[40];
    uint32_t remove;
    {
        DeviceHold hold(FILESYS_pathdevice(path.c_str()));
        uint32_t read = FILESYS_readop(handle, 0, buffer, 40, 30, 77);
        FILESYS_callbackop(read, recordcall);
        FILESYS_cancelop(read);
        FILESYS_cancelop(read);
        EXPECT_EQ((std::pair{calls, finish(read)}), std::pair(std::vector<CALL>{{read, -1, 77, true}}, Done(-1, 40)));
        remove = FILESYS_deleteop(doomed.c_str(), 40, 0);
        FILESYS_cancelop(remove);
    }
    EXPECT_EQ((Facts{FILESYS_waitop(remove), FILESYS_completeop(remove), ScopedTempDir::size(doomed),
                     FILESYS_close(handle, 10), QUEUE_length(&FILEfreeops) - FILEopcount}), Facts({1, 1, -1, 1, 0}));
}

TEST(FileOpsPool, RecordsComeFromAPoolThatFillsItsPagesAndGoesWithTheShutdown)
{
    ScopedAlertRecorder recorder;
    EXPECT_EQ(FILE_allocateop(FOP_NULL, 1, 0, 1), nullptr);
    for (int32_t ops : {67108865, 16519168, INT32_MAX})  // pool or name slots too large for page memory
        EXPECT_TRUE(FILESYS_init(0, 0, ops) == 0 && FILEdevices == nullptr && !filetableexists()) << ops;

    // Every record that fits the pages; the last is handed out first.
    ASSERT_EQ(FILESYS_init(0, 0, 65), 1);
    const int32_t page = static_cast<int32_t>(PAGE_size()), size = static_cast<int32_t>(sizeof(FILEOP));
    const int32_t records = (65 * size + page - 1) / page * page / size;
    FILEOP* op = FILE_allocateop(FOP_NULL, 1, 0, 1);
    EXPECT_EQ(op, &FILEoppool[records - 1]);
    EXPECT_EQ((Facts{finish(FILE_queueop(op)).first, FILEopcount}), Facts({1, records}));
    EXPECT_EQ(FILESYS_init(0, 0, 1000), 1);  // a second initialisation changes nothing

    std::vector<uint32_t> queued;
    {
        DeviceHold hold(6);
        for (int32_t i = 0; i < records; i++)
            queued.push_back(FILESYS_nullop(6, 1 + i % 200, 0));
        EXPECT_EQ(std::count(queued.begin(), queued.end(), 0u), 0);
        EXPECT_EQ(FILESYS_openop("whatever", FOPEN_READ, 1, 0), 0u);
    }
    for (uint32_t number : queued)
        EXPECT_EQ(finish(number).first, 1);
    auto one = [](int32_t, void*) -> int32_t { return 1; };
    EXPECT_EQ((Facts{FILESYS_nullop(32, 1, 0), FILESYS_nullop(-1, 1, 0), FILESYS_atomic(one, 32, 100, nullptr),
                     FILESYS_atomic(one, -1, 100, nullptr)}), Facts(4, 0)) << "bad devices take no record";
    EXPECT_EQ(FILE_allocateop(FOP_NULL, 1, 0, 32), nullptr);
    EXPECT_THAT(recorder.messages(),
                ElementsAre("FILE_allocateop - FILE SYSTEM NOT INITIALIZED, CALL FILESYS_init().\n",
                            "FILE_allocateop - NO FREE OPS LEFT TO ALLOCATE.\n",
                            "FILESYS_atomic - CALLED WITH ILLEGAL FILE DEVICE (32).\n",
                            "FILESYS_atomic - CALLED WITH ILLEGAL FILE DEVICE (-1).\n",
                            "FILE_allocateop - INVALID DEVICE (32), MUST BE [0..31].\n"));
    EXPECT_EQ(QUEUE_length(&FILEfreeops), records);

    // The shutdown ends the thread of each device that ran (1, 6 and these): none runs on as the process ends.
    SlowExitLines lines(50);
    for (int32_t device : {0, 3, 17})
        EXPECT_EQ(finish(FILESYS_nullop(device, 1, 0)).first, 1);
    FILESYS_shutdown();
    EXPECT_EQ((Facts{FILEdevices == nullptr, static_cast<int64_t>(lines.finished())}), Facts({1, 5}));
    FILESYS_shutdown();
    EXPECT_EQ(FILESYS_nullop(0, 1, 0), 0u);
    // Started again, the file system runs its devices and transactions as before.
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    EXPECT_EQ(finish(FILESYS_nullop(6, 1, 0)).first, 1);
    EXPECT_EQ(FILESYS_atomic([](int32_t, void*) -> int32_t { return 7; }, 6, 100, nullptr), 7);
}

TEST(FileOpsThreadTransfer, PathsFindTheirDevicesAndTransfersMoveInPiecesAndRefuseBadLengths)
{
    // A vertical bar names an archive entry, served by device 0.
    EXPECT_EQ(FILESYS_pathdevice("C:\\games\\save.sav"), 3);
    EXPECT_EQ(FILESYS_pathdevice("C:\\archive.big|entry.txt"), 0);
    ScopedTempDir dir;
    std::string content(20000, '\0'), buffer(25000, '\0');
    for (size_t i = 0; i < content.size(); i++)
        content[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    std::string path = dir.write("whole", content);
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    // Pieces of at most 8192 bytes; the short piece at the end of the file ends the transfer.
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), FOPEN_READ, 100, &handle), 1);
    EXPECT_EQ((Facts{FILE_transfer(handle, 0, &buffer[0], 25000, 99, recordingreadop),
                     buffer.substr(0, 20001) == content + '\0', FILESYS_close(handle, 99)}), Facts({20000, 1, 1}));
    EXPECT_EQ(pieces, std::vector<int32_t>({8192, 8192, 8192}));
    // Bad lengths and out pointers are refused before anything moves; no position overflows.
    ASSERT_EQ(FILESYS_open(dir.write("made", content).c_str(), 0, 100, &handle), 1);
    buffer.assign(25000, 'g');
    SYS_setlasterror(0);
    char* into = &buffer[0];
    EXPECT_EQ((Facts{FILESYS_read(handle, 0, into, -1, 99), FILESYS_write(handle, 0, into, -1, 99),
                     FILESYS_readop(handle, 0, into, INT32_MIN, 99, 0), FILESYS_writeop(handle, 0, into, -16, 99, 0),
                     FILESYS_setlength(handle, -1, 99), FILESYS_openbig(path.c_str(), 0, 100, nullptr),
                     FILESYS_atomic(nullptr, 0, 100, nullptr), FILESYS_open(path.c_str(), FOPEN_READ, 100, nullptr),
                     SYS_getlasterror(), QUEUE_length(&FILEfreeops) - FILEopcount}),
              Facts({0, 0, 0, 0, 0, 0, 0, 0, 87, 0}));
    EXPECT_EQ((Facts{FILESYS_write(handle, INT32_MAX - 1, content.data(), 16, 99) <= 1, FILESYS_close(handle, 99),
                     buffer == std::string(25000, 'g')}), Facts({1, 1, 1}));
}

// The library's own front-ends: each whole piece's record is the next piece's, on the device thread.
TEST(FileOpsThreadTransfer, ReadsAndWritesOfManyPiecesMoveEveryByteAndGiveTheirRecordsBack)
{
    ScopedTempDir dir;
    std::string content(28000, '\0');
    for (size_t i = 0; i < content.size(); i++)
        content[i] = static_cast<char>((i * 13 + i / 509) & 0xFF);
    std::string path = dir.write("pieces", "12345");
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), 0, 100, &handle), 1);
    std::string back(28010, 'z'), exact(16384, 'z');
    // Written after 5 bytes, read back whole (short at the end), then exactly two pieces from 7.
    EXPECT_EQ((Facts{FILESYS_write(handle, 5, content.data(), 28000, 99), FILESYS_read(handle, 0, &back[0], 28010, 99),
                     FILESYS_read(handle, 7, &exact[0], 16384, 99), FILESYS_close(handle, 99),
                     QUEUE_length(&FILEfreeops) - FILEopcount}),
              Facts({28000, 28005, 16384, 1, 0}));
    EXPECT_EQ(back, "12345" + content + "zzzzz");
    EXPECT_EQ(exact, content.substr(2, 16384));
    EXPECT_EQ(ScopedTempDir::read(path), "12345" + content);
    // Held back by a transaction, a read waits for its end and then runs through every piece.
    ASSERT_EQ(FILESYS_open(path.c_str(), FOPEN_READ, 100, &handle), 1);
    auto hold = std::make_unique<DeviceHold>(FILESYS_pathdevice(path.c_str()));
    back.assign(28010, 'z');
    std::future<int32_t> got =
        std::async(std::launch::async, [&] { return FILESYS_read(handle, 3, &back[0], 28002, 10); });
    THREAD_sleep(20);
    hold.reset();
    EXPECT_EQ((Facts{got.get(), back == ("12345" + content).substr(3) + "zzzzzzzz", FILESYS_close(handle, 99)}),
              Facts({28002, 1, 1}));
    FILESYS_shutdown();
}

int aborting(const char*, const char*, UINT) { return IDABORT; }

void assertoncallback(uint32_t, int32_t, uintptr_t) { ASSERT_report("pc/sample", 1, "on a device thread"); }

#ifndef _WIN32  // (where the C library's clock is the process's processor time)

// (How often a wait spins rather than sleeps is the benchmarks' business: bench_fileops.)
TEST(FileOpsHandoff, LongWaitsSleepAndWakeAndAnIdleDeviceSleeps)
{
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    // Held back well past any spin, a record and a transfer still wake their waiters once they finish.
    ScopedTempDir dir;
    std::string path = dir.write("data", std::string(20000, 'q'));
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), FOPEN_READ, 100, &handle), 1);
    std::vector<char> buffer(20000);
    Done held;
    int32_t got = 0, device = FILESYS_pathdevice(path.c_str());
    auto hold = std::make_unique<DeviceHold>(device);
    uint32_t op = FILESYS_nullop(device, 10, 0);
    std::thread waiter([&] { held = finish(op); }), reader([&] { got = FILESYS_read(handle, 0, &buffer[0], 20000, 10); });
    THREAD_sleep(30);
    hold.reset();
    waiter.join();
    reader.join();
    EXPECT_EQ((Facts{held.first, got, buffer[19999]}), Facts({1, 20000, 'q'}));
    // An idle device uses next to no processor time, and a record queued to it wakes it.
    std::clock_t before = std::clock();
    THREAD_sleep(200);
    EXPECT_LT(double(std::clock() - before) / CLOCKS_PER_SEC, 0.040);
    EXPECT_EQ(finish(FILESYS_nullop(6, 10, 0)), Done(1, 0));
    FILESYS_close(handle, 10);
    FILESYS_shutdown();
}
#endif

TEST(FileOpsThreadDeathTest, UnknownCompletionsAndAbortedAssertionsOnADeviceThreadEndTheProcess)
{
    EXPECT_EXIT((FILESYS_init(0, 0, 0), FILESYS_completeop(32 + 3)), ::testing::ExitedWithCode(0),
                "OPERATION NOT FOUND IN COMPLETED LIST");
    // The exit then runs on the device thread: the shutdown must not wait for it.
    EXPECT_EXIT(
        {
            PW_setboxhook(aborting);
            FILESYS_init(0, 0, 0);
            {
                DeviceHold hold(0);  // so that the record completes on the device thread
                FILESYS_callbackop(FILESYS_nullop(0, 1, 0), assertoncallback);
            }
            for (;;)
                THREAD_sleep(100);
        },
        testing::ExitedWithCode(0), "Assertion Failed");
}

}  // namespace
