// The native file layer: the handle table, transfers, mapped and memory
// files, cancelled reads, per-device serialisation and failure reports.
#include <signal.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fileinfo.h"
#include "lasterrors.h"
#include "platform/vplatform.h"
#include "tempdir.h"
#include "vorl/file.h"
#include "vorl/thread.h"

namespace {

const uint32_t READMODE = FM_READ | FM_SHAREREAD;
const uint32_t WRITEMODE = FM_READ | FM_WRITE;

std::string pattern(size_t count)
{
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; i++)
        bytes[i] = static_cast<char>(i * 7 + 3);
    return bytes;
}

int32_t openpath(const std::string& path, uint32_t mode, uint32_t block = 0)
{
    int32_t handle = 12345;
    int32_t result = openfile(path.c_str(), mode, block, &handle);
    EXPECT_EQ(result != 0, handle != 0);
    return handle;
}

int32_t openmemory(void* base, int32_t size, int32_t device, uint32_t block = 0)
{
    int32_t handle = 0;
    EXPECT_EQ(openmemoryfile(base, size, device, block, &handle), 1);
    return handle;
}

// What a read of count from at (or from where the file stands) gives; the buffer past it stays untouched.
std::string readat(int32_t handle, int32_t at, uint32_t count, uint32_t room = 0)
{
    EXPECT_TRUE(at < 0 || seekfile(handle, at) == 1);
    std::string buffer(room ? room : count, '#');
    uint32_t got = readfromfile(handle, &buffer[0], count);
    EXPECT_EQ(buffer.find_first_not_of('#', got), std::string::npos);
    return buffer.substr(0, got);
}

uint32_t writeat(int32_t handle, int32_t at, const std::string& bytes)
{
    EXPECT_EQ(seekfile(handle, at), 1);
    return writetofile(handle, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// The mode, block size and size that getfileinfo reports, and whether the file is mapped.
V info(int32_t handle)
{
    uint32_t mode = 0, block = 0;
    int32_t size = -1;
    EXPECT_EQ(getfileinfo(handle, &mode, &block, &size, nullptr), 1);
    return {mode, block, size, getfileaddress(handle) != nullptr};
}

#ifndef _WIN32
bool setlimit(int resource, rlim_t value)
{
    struct rlimit limit;
    getrlimit(resource, &limit);
    limit.rlim_cur = value;
    return setrlimit(resource, &limit) == 0;
}
#endif

class FileLayer : public ::testing::Test {
protected:
    void TearDown() override { shutdownfiles(); }
    ScopedTempDir dir;
};

}  // namespace

TEST_F(FileLayer, TheTableHandsOutTheLowestFreeSlotUpToItsCapacity)
{
    std::string path = dir.write("f", "abc");
    EXPECT_EQ(filetableexists(), 0);
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(openpath(path, READMODE), -1 - i);
    EXPECT_EQ(filetableexists(), 1);
    // The 65th open fails with handle 0 and no error; a memory file's handle is left alone.
    int32_t handle = 777, memory = 777;
    char bytes[4] = {};
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(witherror({openfile(path.c_str(), READMODE, 0, &handle), handle}), V({0, 0, 0}));
    EXPECT_EQ(V({openmemoryfile(bytes, 4, 0, 0, &memory), memory}), V({0, 777}));
    // The lowest free slot comes next; a failed open gives its slot back at once.
    EXPECT_EQ(closefile(-1) + closefile(-30), 2);
    EXPECT_EQ(witherror({openpath(dir.file("missing"), READMODE)}), V({0, ERROR_FILE_NOT_FOUND}));
    EXPECT_EQ(V({openpath(path, READMODE), openpath(path, READMODE)}), V({-1, -30}));

    // A new table closes every file of the old one and holds as many as asked.
    initfiles(2);
    EXPECT_EQ(witherror({readfromfile(-6, bytes, 1)}), V({0, ERROR_INVALID_HANDLE}));
    int32_t kept = openpath(path, FM_READ);
    EXPECT_EQ(witherror({openpath(path, FM_READ)}), V({0, ERROR_SHARING_VIOLATION}));
    std::string g = dir.write("g", "x"), h = dir.write("h", "x");
    EXPECT_EQ(witherror({openpath(path, READMODE), openpath(g, READMODE), openpath(h, READMODE)}), V({0, -2, 0, 0}));
    initfiles(0);
    EXPECT_EQ(witherror({readfromfile(kept, bytes, 1)}), V({0, ERROR_INVALID_HANDLE}));

    // Shutting down closes the files and releases their shares; the next use makes a new table.
    handle = openpath(path, FM_READ | FM_WRITE | FM_MAP);
    ASSERT_EQ(V({handle, getfileaddress(handle) != nullptr}), V({-1, 1}));
    shutdownfiles();
    EXPECT_EQ(filetableexists(), 0);
    shutdownfiles();
    EXPECT_EQ(witherror({getfileaddress(handle) != nullptr}), V({0, ERROR_INVALID_HANDLE}));
    handle = openpath(path, FM_READ | FM_WRITE | FM_TRUNCATE);
    EXPECT_EQ(V({handle, info(handle)[2]}), V({-1, 0}));
}

TEST_F(FileLayer, InvalidAndClosedHandlesFailEveryOperation)
{
    int32_t handle = openpath(dir.write("f", "abc"), READMODE | FM_MAP);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(witherror({closefile(handle)}), V({1, 0}));
    char buffer[8];
    uint32_t mode = 0;
    const std::vector<std::function<long long(int32_t)>> operations = {
        closefile, tellfile, getfiledevice, cancelread, lockfiledevice, unlockfiledevice,
        [&](int32_t bad) { return readfromfile(bad, buffer, 4); },
        [&](int32_t bad) { return writetofile(bad, buffer, 4); },
        [](int32_t bad) { return seekfile(bad, 0); },
        [](int32_t bad) { return setendfile(bad, 0); },
        [&](int32_t bad) { return getfileinfo(bad, &mode, nullptr, nullptr, nullptr); },
        [](int32_t bad) { return getfileaddress(bad) != nullptr; },
    };
    for (int32_t bad : {handle, 0, 5, -65, INT32_MIN}) {
        for (size_t i = 0; i < operations.size(); i++) {
            SetLastError(0);
            EXPECT_EQ(witherror({operations[i](bad)}), V({0, ERROR_INVALID_HANDLE})) << bad << ", operation " << i;
        }
    }
}

TEST_F(FileLayer, TransfersAndSetLengthsStayWithinTheFile)
{
    std::string contents = pattern(50);
    std::string path = dir.write("f", contents);
    int32_t handle = openpath(path, WRITEMODE);
    EXPECT_EQ(readat(handle, 10, 100), contents.substr(10));
    EXPECT_EQ(witherror({tellfile(handle), static_cast<long long>(readat(handle, -1, 100).size())}), V({50, 0, 0}));
    // Seeks clamp to the file; a count near 4 GiB is cut to what it holds, not wrapped.
    EXPECT_EQ(V({seekfile(handle, -5), tellfile(handle), seekfile(handle, 60), tellfile(handle)}), V({1, 0, 1, 50}));
    EXPECT_EQ(readat(handle, 45, 0xFFFFFFFFu, 100), contents.substr(45));
    // Unmapped writes grow the file.
    EXPECT_EQ(V({writeat(handle, 50, "0123456789"), info(handle)[2], tellfile(handle), closefile(handle)}),
              V({10, 60, 60, 1}));
    EXPECT_EQ(ScopedTempDir::read(path), contents + "0123456789");

    // A set-length ends the file where asked; a negative one fails and changes nothing.
    handle = openpath(path, WRITEMODE);
    EXPECT_EQ(V({seekfile(handle, 5), setendfile(handle, 20) != 0, ScopedTempDir::size(path), info(handle)[2],
                 tellfile(handle)}),
              V({1, 1, 20, 20, 20}));
    EXPECT_EQ(readat(handle, 0, 100), contents.substr(0, 20));
    EXPECT_EQ(V({setendfile(handle, -1), GetLastError(), ScopedTempDir::size(path), tellfile(handle),
                 closefile(handle)}),
              V({0, ERROR_NEGATIVE_SEEK, 20, 20, 1}));
    // A file opened for reading cannot be cut (wine reports it as an invalid parameter).
    handle = openpath(path, READMODE);
    EXPECT_EQ(setendfile(handle, 3), 0);
    DWORD refused = GetLastError();
#ifdef _WIN32
    refused = refused == ERROR_INVALID_PARAMETER && runningunderwine() ? ERROR_ACCESS_DENIED : refused;
#endif
    EXPECT_EQ(V({refused, ScopedTempDir::size(path), tellfile(handle)}), V({ERROR_ACCESS_DENIED, 20, 0}));

    // Mapped writes never grow the file, but writes inside a writable view reach it.
    std::string mapped = dir.write("mapped", contents);
    handle = openpath(mapped, WRITEMODE | FM_MAP);
    ASSERT_NE(getfileaddress(handle), nullptr);
    EXPECT_EQ(V({writeat(handle, 50, "0123456789"), GetLastError(), info(handle)[2], writeat(handle, 45, "ABCDEFGHIJ"),
                 tellfile(handle), setendfile(handle, 10), closefile(handle)}),
              V({0, 0, 50, 5, 50, 0, 1}));
    EXPECT_EQ(ScopedTempDir::read(mapped), contents.substr(0, 45) + "ABCDE");
    // An empty file opened for mapping is used unmapped, and grows like any other.
    std::string empty = dir.write("empty", "");
    handle = openpath(empty, WRITEMODE | FM_MAP);
    EXPECT_EQ(info(handle), V({WRITEMODE, FILE_DEFAULTBLOCK, 0, 0}));
    EXPECT_EQ(V({writetofile(handle, "data", 4), closefile(handle)}), V({4, 1}));
    EXPECT_EQ(ScopedTempDir::read(empty), "data");
}

TEST_F(FileLayer, ReadOnlyViewsAndMemoryFilesRefuseWrites)
{
    std::string contents = pattern(3000);
    std::string path = dir.write("ro", contents);
    int32_t handle = openpath(path, READMODE | FM_MAP);
    const char* view = static_cast<const char*>(getfileaddress(handle));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(V({std::string(view, 3000) == contents, writetofile(handle, "xyz", 3), GetLastError(), tellfile(handle)}),
              V({1, 0, ERROR_ACCESS_DENIED, 0}));
    EXPECT_EQ(readat(handle, 1000, 3000), contents.substr(1000));
    EXPECT_EQ(V({closefile(handle), ScopedTempDir::read(path) == contents}), V({1, 1}));

    std::string memory = pattern(100);
    handle = openmemory(&memory[0], 100, 7);
    EXPECT_EQ(witherror({getfileaddress(handle) == &memory[0], getfiledevice(handle), writetofile(handle, "xyz", 3)}),
              V({1, 7, 0, ERROR_ACCESS_DENIED}));
    EXPECT_EQ(readat(handle, 0, 150), pattern(100));
    EXPECT_EQ(info(handle), V({FM_MAP, FILE_DEFAULTBLOCK, 100, 1}));
    EXPECT_EQ(V({setendfile(handle, 10), closefile(handle)}), V({0, 1}));

    // Devices outside the 32-entry tables, negative sizes and no memory are refused.
    char bytes[16] = {};
    const struct { char* base; int32_t size, device; } refused[] = {
        {bytes, 16, 32}, {bytes, 16, -1}, {bytes, -1, 0}, {nullptr, 16, 0}};
    handle = 99;
    for (const auto& row : refused)
        EXPECT_EQ(witherror({openmemoryfile(row.base, row.size, row.device, 0, &handle), handle}),
                  V({0, 99, ERROR_INVALID_PARAMETER}))
            << row.size << " bytes on device " << row.device;
    handle = openmemory(bytes, 16, 31, 100);
    EXPECT_EQ(V({getfiledevice(handle), info(handle)[1]}), V({31, 100}));
}

TEST_F(FileLayer, OpenModesSharesRemovalAndTheSizeLimit)
{
    // Files of 2 GiB or more are refused, and the slot and the file given back.
    std::string huge = dir.file("huge");
    ASSERT_TRUE(setfilesize(huge, 0x80000000LL));
    EXPECT_EQ(witherror({openpath(huge, READMODE)}), V({0, ERROR_FILE_TOO_LARGE}));
    ASSERT_TRUE(setfilesize(huge, 0x7FFFFFFFLL));
    int32_t handle = openpath(huge, FM_READ);
    EXPECT_EQ(V({handle, info(handle)[2], closefile(handle)}), V({-1, INT32_MAX, 1}));
    // An exclusive writer keeps every other open out; shared ones let each other in.
    std::string path = dir.write("f", "old contents");
    EXPECT_EQ(witherror({openpath(path, WRITEMODE | FM_CREATE)}), V({0, ERROR_FILE_EXISTS}));
    handle = openpath(path, WRITEMODE | FM_CREATE | FM_TRUNCATE);
    EXPECT_EQ(witherror({info(handle)[2], openpath(path, READMODE)}), V({0, 0, ERROR_SHARING_VIOLATION}));
    EXPECT_EQ(V({writetofile(handle, "new", 3), closefile(handle)}), V({3, 1}));
    handle = openpath(path, FM_READ | FM_SHAREREAD | FM_SHAREWRITE);
    EXPECT_EQ(V({openpath(path, FM_WRITE | FM_SHAREREAD | FM_SHAREWRITE), closefile(-2), closefile(handle)}),
              V({-2, 1, 1}));
    EXPECT_EQ(info(openpath(path, WRITEMODE | FM_TRUNCATE))[2], 0);
    EXPECT_EQ(witherror({closefile(-1), openpath(dir.file("absent"), WRITEMODE | FM_TRUNCATE)}),
              V({1, 0, ERROR_FILE_NOT_FOUND}));
    handle = openpath(dir.file("made"), WRITEMODE | FM_CREATE | FM_SEQUENTIAL | FM_WRITETHROUGH | FM_NOBUFFER);
    EXPECT_EQ(V({writetofile(handle, "x", 1), closefile(handle)}), V({1, 1}));
    EXPECT_EQ(ScopedTempDir::read(dir.file("made")), "x");
    for (uint32_t mode : {READMODE, WRITEMODE | FM_CREATE | FM_TRUNCATE, READMODE | FM_MAP})
        EXPECT_EQ(witherror({openpath(dir.path(), mode)}), V({0, ERROR_ACCESS_DENIED})) << mode;
    // A file open without shared deletion cannot be removed.
    handle = openpath(path, READMODE);
    EXPECT_EQ(witherror({removefile(path.c_str())}), V({0, ERROR_SHARING_VIOLATION}));
    closefile(handle);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(witherror({removefile(path.c_str()) != 0}), V({1, 0}));
    EXPECT_EQ(witherror({ScopedTempDir::size(path), removefile(path.c_str())}), V({-1, 0, ERROR_FILE_NOT_FOUND}));

    // Failures are printed only at report level 1. Device 0's root names no
    // drive on POSIX, so its free space cannot be had there.
    testing::internal::CaptureStdout();
    int32_t missing = openpath(path, READMODE);
    filereportlevel = 1;
    EXPECT_EQ(witherror({missing, openpath(path, READMODE)}), V({0, 0, ERROR_FILE_NOT_FOUND}));
    uint32_t freebytes = 1;
    V known = witherror({getfileinfo(openpath(huge, READMODE), nullptr, nullptr, nullptr, &freebytes)});
    known.push_back(freebytes);
    filereportlevel = 0;
    std::string printed = testing::internal::GetCapturedStdout();
#ifdef _WIN32
    EXPECT_EQ(V({known[0], printed == "[FILE] CreateFile failed (2)\n"}), V({1, 1}));
#else
    EXPECT_EQ(known, V({0, ERROR_FILE_NOT_FOUND, 0}));
    EXPECT_EQ(printed, "[FILE] CreateFile failed (2)\n[FILE] GetDiskFreeSpace failed (2)\n");
#endif
}

TEST_F(FileLayer, BlockSizesAreRoundedToWholeSectors)
{
    // POSIX paths are device 0, whose root names no drive: sectors of 2048 bytes are assumed.
    std::string path = dir.write("f", "abc");
#ifdef _WIN32
    DWORD clustersectors = 0, sector = 0, freeclusters = 0, clusters = 0;
    const char driveroot[] = {path[0], ':', '\\', '\0'};
    ASSERT_TRUE(GetDiskFreeSpaceA(driveroot, &clustersectors, &sector, &freeclusters, &clusters));
#else
    const uint64_t sector = 2048;
#endif
    for (uint32_t asked : {0u, 1u, 2048u, 2049u, 0xFFFFFFFFu}) {
        int32_t handle = openpath(path, READMODE, asked);
        long long expected = static_cast<long long>((static_cast<uint64_t>(asked) + sector - 1) / sector * sector);
        expected = asked == 0 ? FILE_DEFAULTBLOCK : std::min<long long>(expected, 0xFFFFFFFFu / sector * sector);
        EXPECT_EQ(V({info(handle)[1], closefile(handle)}), V({expected, 1})) << asked;
    }
    // Small blocks still move every byte.
    std::string contents = pattern(5000);
    EXPECT_EQ(readat(openpath(dir.write("g", contents), READMODE, 1), 0, 6000), contents);
}

TEST_F(FileLayer, CancelreadStopsALongReadAfterItsCurrentBlock)
{
    EXPECT_EQ(cancelread(openpath(dir.write("f", "abc"), READMODE)), 0);
    const uint32_t size = 8u << 20, block = 512;
    std::vector<char> source(size, 'S'), target(size, '.');
    int32_t handle = openmemory(source.data(), static_cast<int32_t>(size), 0, block);
    std::atomic<bool> finished{false};
    std::atomic<int32_t> cancelled{0};
    std::thread canceller([&] {
        while (!finished.load() && cancelled.load() == 0)
            cancelled.store(cancelread(handle));
    });
    uint32_t got = readfromfile(handle, target.data(), size);
    finished.store(true);
    canceller.join();
    // The flag is tested before each block: a cancel before the first one leaves nothing read.
    ASSERT_EQ(V({cancelled.load(), got < size, got % block, tellfile(handle)}), V({1, 1, 0, got}));
    EXPECT_EQ(std::string(target.data(), got + 1), std::string(got, 'S') + ".");
    // The read is over: nothing left to cancel, and the next read runs whole.
    EXPECT_EQ(V({cancelread(handle), readfromfile(handle, target.data() + got, size)}), V({0, size - got}));
}

void onthreads(int count, const std::function<void(int)>& body)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < count; i++)
        threads.emplace_back(body, i);
    for (std::thread& thread : threads)
        thread.join();
}

TEST_F(FileLayer, TransfersFromManyThreadsKeepToTheirDevices)
{
    // Started on the main thread, as a program does; the threads still make the table and the drive's mutex.
    THREAD_init(0);
    std::string path = dir.write("f", pattern(1000));
    std::vector<int32_t> handles(16, 0);
    std::vector<std::string> copies(16);
    onthreads(16, [&](int i) { handles[i] = openpath(path, READMODE); });
    std::sort(handles.begin(), handles.end());
    onthreads(16, [&](int i) { copies[i] = readat(handles[i], -1, 1000); });
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(V({handles[i], copies[i] == pattern(1000), closefile(handles[i])}), V({-16 + i, 1, 1})) << i;

    // One thread copies a memory file into the very bytes that another reads
    // as a memory file on the same device: holding the device's mutex for the
    // whole transfer, the reader sees all old bytes or all new ones.
    const uint32_t size = 2u << 20;
    std::vector<char> source(size), shared(size), seen(size);
    int32_t files[2] = {openmemory(source.data(), size, 3, 4096), openmemory(shared.data(), size, 3, 4096)};
    char* targets[2] = {shared.data(), seen.data()};
    for (int round = 0; round < 8; round++) {
        std::fill(source.begin(), source.end(), static_cast<char>('A' + round));
        std::fill(shared.begin(), shared.end(), static_cast<char>('a' + round));
        ASSERT_EQ(seekfile(files[0], 0) + seekfile(files[1], 0), 2);
        onthreads(2, [&](int i) { EXPECT_EQ(readfromfile(files[i], targets[i], size), size); });
        EXPECT_TRUE(seen[0] == 'A' + round || seen[0] == 'a' + round);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[0]), static_cast<long>(size)) << "round " << round;
    }

    // A locked device holds its transfers back while other devices proceed.
    std::string bytes = pattern(100000), heldcopy;
    int32_t held = openmemory(&bytes[0], 100000, 0), other = openmemory(&bytes[0], 100000, 5);
    ASSERT_EQ(lockfiledevice(held), 1);
    std::atomic<bool> helddone{false};
    std::thread blocked([&] {
        heldcopy = readat(held, -1, 100000);
        helddone.store(true);
    });
    EXPECT_EQ(V({readat(other, -1, 100000) == bytes, helddone.load(), unlockfiledevice(held)}), V({1, 0, 1}));
    blocked.join();
    EXPECT_EQ(heldcopy, bytes);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VORL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VORL_SANITIZED 1
#endif
#endif

// With no page memory to be had when the table is made, there is no table
// and every open fails cleanly instead of touching a null table.
TEST_F(FileLayer, OpensFailCleanlyWhenTheTableCannotBeMade)
{
#if defined(VORL_SANITIZED) || defined(_WIN32)
    GTEST_SKIP() << "sanitizers reserve the address space that this test takes away, and Windows has no such limit";
#else
    std::string path = dir.write("f", "abc");
    EXPECT_EXIT(
        {
            // The table's mutex is made while memory is there; then all further address space goes.
            initfiles(0);
            shutdownfiles();
            long pages = 0;
            FILE* statm = fopen("/proc/self/statm", "r");
            if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1)
                _exit(10);
            if (!setlimit(RLIMIT_AS, static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE))))
                _exit(11);
            int32_t handle = 9;
            int32_t memory = 9;
            char bytes[4];
            bool failed = openfile(path.c_str(), READMODE, 0, &handle) == 0 && handle == 0;
            failed = failed && GetLastError() == ERROR_NOT_ENOUGH_MEMORY && filetableexists() == 0;
            _exit(failed && openmemoryfile(bytes, 4, 0, 0, &memory) == 0 && memory == 9 ? 3 : 12);
        },
        testing::ExitedWithCode(3), "");
#endif
}

// The layer skips the platform's seek when the file is already where it is
// asked to go; whatever a transfer or a set-length left behind, a seek and a
// transfer must still reach the bytes asked for.
TEST_F(FileLayer, SeeksAfterShortReadsFailedWritesAndSetLengthsLandWhereAsked)
{
    std::string contents = pattern(100);
    std::string path = dir.write("f", contents);
    const uint32_t SHARED = FM_READ | FM_SHAREREAD | FM_SHAREWRITE;
    int32_t reader = openpath(path, SHARED), writer = openpath(path, SHARED | FM_WRITE);
    // The file shrinks behind the reader's back, then grows again.
    EXPECT_NE(setendfile(writer, 30), 0);
    EXPECT_EQ(readat(reader, 0, 100), contents.substr(0, 30));
    ASSERT_EQ(writeat(writer, 30, "0123456789"), 10u);
    EXPECT_EQ(readat(reader, 30, 10) + readat(reader, 10, 5), "0123456789" + contents.substr(10, 5));
    // A write refused by the platform moves nothing.
    EXPECT_EQ(V({writeat(reader, 12, "zz"), GetLastError() != 0}), V({0, 1}));
    EXPECT_EQ(readat(reader, 12, 3), contents.substr(12, 3));
    // A set-length leaves the file at its new end, and a failed one where it was.
    EXPECT_EQ(V({seekfile(writer, 35), setendfile(writer, 20) != 0, writeat(writer, 20, "xy"), seekfile(writer, 7),
                 setendfile(writer, -1), writeat(writer, 7, "Q"), closefile(reader), closefile(writer)}),
              V({1, 1, 2, 1, 0, 1, 1, 1}));
    EXPECT_EQ(ScopedTempDir::read(path), contents.substr(0, 7) + "Q" + contents.substr(8, 12) + "xy");
#ifndef _WIN32
    // Only a seek that changes the position reaches the platform.
    contents = pattern(3 * 8192);
    int32_t handle = openpath(dir.write("g", contents), READMODE);
    DWORD before = PW_seekcount();
    for (int32_t at = 0; at < 3 * 8192; at += 8192)
        EXPECT_EQ(readat(handle, at, 8192), contents.substr(at, 8192));
    EXPECT_EQ(PW_seekcount() - before, 0u);
    ASSERT_EQ(seekfile(handle, 100), 1);
    EXPECT_EQ(readat(handle, 100, 4), contents.substr(100, 4));
    EXPECT_EQ(PW_seekcount() - before, 1u);
    // A refused set-length (the file is open for reading) moves the pointer and puts it back where it was.
    EXPECT_EQ(V({setendfile(handle, 5), readat(handle, 104, 4) == contents.substr(104, 4)}), V({0, 1}));
    EXPECT_EQ(PW_seekcount() - before, 3u);
#endif
}

#ifndef _WIN32
// A write that the platform takes in part before it fails leaves the file's
// pointer past the recorded position; the next seek must put it back.
TEST_F(FileLayer, AWriteThatFailsPartWayLeavesTheNextSeekExact)
{
    std::string path = dir.write("f", "");
    EXPECT_EXIT(
        {
            signal(SIGXFSZ, SIG_IGN);
            int32_t handle = 0;
            if (!setlimit(RLIMIT_FSIZE, 20000) || openfile(path.c_str(), FM_READ | FM_WRITE, 0, &handle) == 0)
                _exit(10);
            std::string bytes = pattern(32768);
            // The first 16 KiB block goes whole, the second fails after 3616 bytes.
            if (writetofile(handle, bytes.data(), 32768) != 0 || GetLastError() != ERROR_FILE_TOO_LARGE)
                _exit(12);
            if (seekfile(handle, 16384) != 1 || writetofile(handle, "abc", 3) != 3 || closefile(handle) != 1)
                _exit(13);
            _exit(ScopedTempDir::read(path) == bytes.replace(16384, 3, "abc").substr(0, 20000) ? 3 : 14);
        },
        testing::ExitedWithCode(3), "");
}
#endif
