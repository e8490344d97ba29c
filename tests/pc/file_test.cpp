// The native file layer: handles and the table, transfers and their
// clamping, mapped and memory files, cancelled reads, per-device
// serialisation, failures and their reports, through the layer's operations
// and the bytes left on disk.
#include <signal.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "alertrecorder.h"
#include "fileinfo.h"
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

int32_t sizeof_(int32_t handle)
{
    int32_t size = -1;
    EXPECT_EQ(getfileinfo(handle, nullptr, nullptr, &size, nullptr), 1);
    return size;
}

class FileLayer : public ::testing::Test {
protected:
    void TearDown() override { shutdownfiles(); }
    ScopedTempDir dir;
};

}  // namespace

TEST_F(FileLayer, HandlesAreNegatedSlotsAndTheLowestFreeSlotIsReused)
{
    std::string path = dir.write("f", "abc");
    EXPECT_EQ(filetableexists(), 0);
    int32_t first = openpath(path, READMODE);
    int32_t second = openpath(path, READMODE);
    EXPECT_EQ(filetableexists(), 1);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(second, -2);
    EXPECT_EQ(closefile(first), 1);
    EXPECT_EQ(openpath(path, READMODE), -1);
    EXPECT_EQ(openpath(path, READMODE), -3);

    // A failed open gives its slot back at once.
    EXPECT_EQ(openpath(dir.file("missing"), READMODE), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(closefile(second), 1);
    EXPECT_EQ(openpath(path, READMODE), -2);
}

TEST_F(FileLayer, TheSixtyFifthOpenFailsWithHandleZeroAndNoError)
{
    std::string path = dir.write("f", "abc");
    std::vector<int32_t> handles;
    for (int i = 0; i < 64; i++)
        handles.push_back(openpath(path, READMODE));
    EXPECT_EQ(handles.back(), -64);
    int32_t handle = 777;
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(openfile(path.c_str(), READMODE, 0, &handle), 0);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(GetLastError(), 0u);
    int32_t memory = 777;
    char bytes[4] = {};
    EXPECT_EQ(openmemoryfile(bytes, 4, 0, 0, &memory), 0);
    EXPECT_EQ(memory, 777);

    EXPECT_EQ(closefile(-30), 1);
    EXPECT_EQ(openpath(path, READMODE), -30);
}

TEST_F(FileLayer, InitfilesSetsTheCapacityAndReplacesTheTable)
{
    std::string path = dir.write("f", "abc");
    initfiles(2);
    int32_t kept = openpath(path, FM_READ);
    EXPECT_EQ(openpath(path, FM_READ), 0);  // exclusive: the file is not shared
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(openpath(path, READMODE), 0);
    openpath(dir.write("g", "x"), READMODE);
    EXPECT_EQ(openpath(dir.write("h", "x"), READMODE), 0);
    EXPECT_EQ(GetLastError(), 0u);

    // A new table closes every file of the old one.
    initfiles(0);
    char buffer[4];
    EXPECT_EQ(readfromfile(kept, buffer, 1), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(openpath(path, FM_READ), -1);
}

TEST_F(FileLayer, InvalidAndClosedHandlesFailEveryOperation)
{
    int32_t handle = openpath(dir.write("f", "abc"), READMODE);
    EXPECT_EQ(closefile(handle), 1);
    char buffer[8];
    uint32_t mode = 0;
    for (int32_t bad : {handle, 0, 5, -65, INT32_MIN}) {
        SetLastError(0);
        EXPECT_EQ(closefile(bad), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << bad;
        SetLastError(0);
        EXPECT_EQ(readfromfile(bad, buffer, 4), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << bad;
        SetLastError(0);
        EXPECT_EQ(writetofile(bad, buffer, 4), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << bad;
        SetLastError(0);
        EXPECT_EQ(seekfile(bad, 0), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << bad;
        EXPECT_EQ(tellfile(bad), 0);
        EXPECT_EQ(setendfile(bad, 0), 0);
        EXPECT_EQ(getfileinfo(bad, &mode, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(getfileaddress(bad), nullptr);
        EXPECT_EQ(getfiledevice(bad), 0);
        EXPECT_EQ(cancelread(bad), 0);
        EXPECT_EQ(lockfiledevice(bad), 0);
        EXPECT_EQ(unlockfiledevice(bad), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << bad;
    }
}

TEST_F(FileLayer, ReadsStopAtTheEndAndSeeksClampToTheFile)
{
    std::string contents = pattern(50);
    int32_t handle = openpath(dir.write("f", contents), READMODE);
    std::string buffer(100, '#');
    ASSERT_EQ(seekfile(handle, 10), 1);
    EXPECT_EQ(readfromfile(handle, &buffer[0], 100), 40u);
    EXPECT_EQ(buffer.substr(0, 40), contents.substr(10));
    EXPECT_EQ(buffer.substr(40), std::string(60, '#'));
    EXPECT_EQ(tellfile(handle), 50);
    EXPECT_EQ(readfromfile(handle, &buffer[0], 100), 0u);
    EXPECT_EQ(GetLastError(), 0u);

    EXPECT_EQ(seekfile(handle, -5), 1);
    EXPECT_EQ(tellfile(handle), 0);
    EXPECT_EQ(seekfile(handle, 60), 1);
    EXPECT_EQ(tellfile(handle), 50);
    // A count near 4 GiB is cut to what the file holds, not wrapped.
    ASSERT_EQ(seekfile(handle, 45), 1);
    EXPECT_EQ(readfromfile(handle, &buffer[0], 0xFFFFFFFFu), 5u);
    EXPECT_EQ(buffer.substr(0, 5), contents.substr(45));
}

TEST_F(FileLayer, UnmappedWritesGrowTheFileAndMappedWritesNever)
{
    std::string plain = dir.write("plain", pattern(50));
    int32_t handle = openpath(plain, WRITEMODE);
    ASSERT_EQ(seekfile(handle, 50), 1);
    EXPECT_EQ(writetofile(handle, "0123456789", 10), 10u);
    EXPECT_EQ(sizeof_(handle), 60);
    EXPECT_EQ(tellfile(handle), 60);
    EXPECT_EQ(closefile(handle), 1);
    EXPECT_EQ(ScopedTempDir::read(plain), pattern(50) + "0123456789");

    std::string mapped = dir.write("mapped", pattern(50));
    handle = openpath(mapped, WRITEMODE | FM_MAP);
    ASSERT_NE(getfileaddress(handle), nullptr);
    ASSERT_EQ(seekfile(handle, 50), 1);
    EXPECT_EQ(writetofile(handle, "0123456789", 10), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(sizeof_(handle), 50);
    // Writes inside a writable view reach the file.
    ASSERT_EQ(seekfile(handle, 45), 1);
    EXPECT_EQ(writetofile(handle, "ABCDEFGHIJ", 10), 5u);
    EXPECT_EQ(tellfile(handle), 50);
    EXPECT_EQ(setendfile(handle, 10), 0);
    EXPECT_EQ(closefile(handle), 1);
    EXPECT_EQ(ScopedTempDir::read(mapped), pattern(45) + "ABCDE");
}

TEST_F(FileLayer, ReadOnlyViewsAndMemoryFilesRefuseWrites)
{
    std::string contents = pattern(3000);
    std::string path = dir.write("ro", contents);
    int32_t handle = openpath(path, READMODE | FM_MAP);
    const char* view = static_cast<const char*>(getfileaddress(handle));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, 3000), contents);
    EXPECT_EQ(writetofile(handle, "xyz", 3), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(tellfile(handle), 0);
    std::string buffer(3000, '\0');
    ASSERT_EQ(seekfile(handle, 1000), 1);
    EXPECT_EQ(readfromfile(handle, &buffer[0], 3000), 2000u);
    EXPECT_EQ(buffer.substr(0, 2000), contents.substr(1000));
    closefile(handle);
    EXPECT_EQ(ScopedTempDir::read(path), contents);

    std::string memory = pattern(100);
    int32_t file = 0;
    ASSERT_EQ(openmemoryfile(&memory[0], 100, 7, 0, &file), 1);
    EXPECT_EQ(getfiledevice(file), 7);
    EXPECT_EQ(getfileaddress(file), &memory[0]);
    EXPECT_EQ(writetofile(file, "xyz", 3), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(memory, pattern(100));
    ASSERT_EQ(seekfile(file, 90), 1);
    EXPECT_EQ(readfromfile(file, &buffer[0], 50), 10u);
    EXPECT_EQ(buffer.substr(0, 10), memory.substr(90));
    uint32_t mode = 0, block = 0;
    int32_t size = 0;
    EXPECT_EQ(getfileinfo(file, &mode, &block, &size, nullptr), 1);
    EXPECT_EQ(mode, FM_MAP);
    EXPECT_EQ(block, 16384u);
    EXPECT_EQ(size, 100);
    EXPECT_EQ(setendfile(file, 10), 0);
    EXPECT_EQ(closefile(file), 1);
}

TEST_F(FileLayer, MemoryFilesOutsideTheDeviceTablesAreRefused)
{
    char bytes[16] = {};
    int32_t handle = 99;
    EXPECT_EQ(openmemoryfile(bytes, 16, 32, 0, &handle), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(openmemoryfile(bytes, 16, -1, 0, &handle), 0);
    EXPECT_EQ(openmemoryfile(bytes, -1, 0, 0, &handle), 0);
    EXPECT_EQ(openmemoryfile(nullptr, 16, 0, 0, &handle), 0);
    EXPECT_EQ(handle, 99);
    ASSERT_EQ(openmemoryfile(bytes, 16, 31, 100, &handle), 1);
    EXPECT_EQ(getfiledevice(handle), 31);
    uint32_t block = 0;
    getfileinfo(handle, nullptr, &block, nullptr, nullptr);
    EXPECT_EQ(block, 100u);
}

TEST_F(FileLayer, AnEmptyFileOpenedForMappingIsUsedUnmapped)
{
    std::string path = dir.write("empty", "");
    int32_t handle = openpath(path, WRITEMODE | FM_MAP);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(getfileaddress(handle), nullptr);
    uint32_t mode = 0;
    int32_t size = -1;
    EXPECT_EQ(getfileinfo(handle, &mode, nullptr, &size, nullptr), 1);
    EXPECT_EQ(mode, WRITEMODE);
    EXPECT_EQ(size, 0);
    // Unmapped, it grows like any other file.
    EXPECT_EQ(writetofile(handle, "data", 4), 4u);
    EXPECT_EQ(closefile(handle), 1);
    EXPECT_EQ(ScopedTempDir::read(path), "data");
}

TEST_F(FileLayer, ClosingTwiceGivesInvalidHandle)
{
    int32_t handle = openpath(dir.write("f", "abc"), READMODE | FM_MAP);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(closefile(handle), 1);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(closefile(handle), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FileLayer, OpenModesBecomeDispositionsAndShareModes)
{
    std::string path = dir.write("f", "old contents");
    EXPECT_EQ(openpath(path, WRITEMODE | FM_CREATE), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    int32_t handle = openpath(path, WRITEMODE | FM_CREATE | FM_TRUNCATE);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(sizeof_(handle), 0);
    // An exclusive writer keeps every other open out.
    EXPECT_EQ(openpath(path, READMODE), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(writetofile(handle, "new", 3), 3u);
    closefile(handle);

    handle = openpath(path, FM_READ | FM_SHAREREAD | FM_SHAREWRITE);
    int32_t writer = openpath(path, FM_WRITE | FM_SHAREREAD | FM_SHAREWRITE);
    EXPECT_NE(writer, 0);
    closefile(writer);
    closefile(handle);

    handle = openpath(path, WRITEMODE | FM_TRUNCATE);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(sizeof_(handle), 0);
    closefile(handle);
    EXPECT_EQ(openpath(dir.file("absent"), WRITEMODE | FM_TRUNCATE), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    handle = openpath(dir.file("made"), WRITEMODE | FM_CREATE | FM_SEQUENTIAL | FM_WRITETHROUGH | FM_NOBUFFER);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(writetofile(handle, "x", 1), 1u);
    closefile(handle);
    EXPECT_EQ(ScopedTempDir::read(dir.file("made")), "x");
}

TEST_F(FileLayer, ADirectoryCannotBeOpenedAsAFile)
{
    for (uint32_t mode : {READMODE, WRITEMODE, WRITEMODE | FM_CREATE | FM_TRUNCATE, READMODE | FM_MAP}) {
        int32_t handle = 5;
        EXPECT_EQ(openfile(dir.path().c_str(), mode, 0, &handle), 0);
        EXPECT_EQ(handle, 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
}

TEST_F(FileLayer, BlockSizesAreRoundedToWholeSectors)
{
    // POSIX paths are device 0, whose root names no drive: the sector size
    // falls back to 2048 bytes. On Windows the scratch file's drive has one.
    std::string path = dir.write("f", "abc");
#ifdef _WIN32
    DWORD clustersectors = 0, sector = 0, freeclusters = 0, clusters = 0;
    const char driveroot[] = {path[0], ':', '\\', '\0'};
    ASSERT_TRUE(GetDiskFreeSpaceA(driveroot, &clustersectors, &sector, &freeclusters, &clusters));
#else
    const uint64_t sector = 2048;
#endif
    uint32_t block = 0;
    int32_t handle = openpath(path, READMODE);
    getfileinfo(handle, nullptr, &block, nullptr, nullptr);
    EXPECT_EQ(block, 16384u);
    closefile(handle);
    for (uint32_t asked : {1u, 2048u, 2049u, 0xFFFFFFFFu}) {
        handle = openpath(path, READMODE, asked);
        getfileinfo(handle, nullptr, &block, nullptr, nullptr);
        uint64_t expected = (static_cast<uint64_t>(asked) + sector - 1) / sector * sector;
        if (expected > 0xFFFFFFFFu)
            expected = 0xFFFFFFFFu / sector * sector;
        EXPECT_EQ(block, expected) << asked;
        closefile(handle);
    }
    // Small blocks still move every byte.
    std::string contents = pattern(5000);
    handle = openpath(dir.write("g", contents), READMODE, 1);
    std::string buffer(6000, '\0');
    EXPECT_EQ(readfromfile(handle, &buffer[0], 6000), 5000u);
    EXPECT_EQ(buffer.substr(0, 5000), contents);
}

TEST_F(FileLayer, SetendfileEndsTheFileAtThePositionGiven)
{
    std::string path = dir.write("f", pattern(50));
    int32_t handle = openpath(path, WRITEMODE);
    ASSERT_EQ(seekfile(handle, 5), 1);
    EXPECT_NE(setendfile(handle, 20), 0);
    EXPECT_EQ(ScopedTempDir::size(path), 20);
    EXPECT_EQ(sizeof_(handle), 20);
    EXPECT_EQ(tellfile(handle), 20);
    std::string buffer(100, '\0');
    ASSERT_EQ(seekfile(handle, 0), 1);
    EXPECT_EQ(readfromfile(handle, &buffer[0], 100), 20u);
    EXPECT_EQ(buffer.substr(0, 20), pattern(20));

    // A negative end fails and leaves the file as it was.
    EXPECT_EQ(setendfile(handle, -1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(ScopedTempDir::size(path), 20);
    EXPECT_EQ(tellfile(handle), 20);
    closefile(handle);

    // A file opened for reading cannot be cut.
    handle = openpath(path, READMODE);
    EXPECT_EQ(setendfile(handle, 3), 0);
#ifdef _WIN32
    // (wine reports the refused truncate as an invalid parameter)
    if (runningunderwine() && GetLastError() == ERROR_INVALID_PARAMETER)
        SetLastError(ERROR_ACCESS_DENIED);
#endif
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ScopedTempDir::size(path), 20);
    EXPECT_EQ(tellfile(handle), 0);
}

TEST_F(FileLayer, FilesOfTwoGigabytesOrMoreAreRefused)
{
    std::string path = dir.file("huge");
    ASSERT_TRUE(setfilesize(path, 0x80000000LL));
    EXPECT_EQ(openpath(path, READMODE), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
    // The slot and the file were both given back.
    ASSERT_TRUE(setfilesize(path, 0x7FFFFFFFLL));
    int32_t handle = openpath(path, FM_READ);
    EXPECT_EQ(handle, -1);
    EXPECT_EQ(sizeof_(handle), INT32_MAX);
}

TEST_F(FileLayer, FailuresAreReportedOnlyAtReportLevelOne)
{
    std::string missing = dir.file("missing");
    testing::internal::CaptureStdout();
    EXPECT_EQ(openpath(missing, READMODE), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    filereportlevel = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(openpath(missing, READMODE), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    int32_t handle = openpath(dir.write("f", "abc"), READMODE);
    uint32_t freebytes = 1;
#ifdef _WIN32
    // The scratch file is on a drive, whose free space is known.
    EXPECT_EQ(getfileinfo(handle, nullptr, nullptr, nullptr, &freebytes), 1);
    std::string printed = testing::internal::GetCapturedStdout();
    filereportlevel = 0;
    EXPECT_EQ(printed, "[FILE] CreateFile failed (2)\n");
#else
    // Device 0's root names no drive, so its free space cannot be had.
    EXPECT_EQ(getfileinfo(handle, nullptr, nullptr, nullptr, &freebytes), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(freebytes, 0u);
    std::string printed = testing::internal::GetCapturedStdout();
    filereportlevel = 0;
    EXPECT_EQ(printed, "[FILE] CreateFile failed (2)\n[FILE] GetDiskFreeSpace failed (2)\n");
#endif
}

TEST_F(FileLayer, RemovefileDeletesUnlessAnOpenFileForbidsIt)
{
    std::string path = dir.write("f", "abc");
    int32_t handle = openpath(path, READMODE);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(removefile(path.c_str()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    closefile(handle);
    EXPECT_NE(removefile(path.c_str()), 0);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(ScopedTempDir::size(path), -1);
    EXPECT_EQ(removefile(path.c_str()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileLayer, ShutdownClosesEveryFileAndReleasesTheirShares)
{
    std::string path = dir.write("f", "abc");
    int32_t handle = openpath(path, FM_READ | FM_WRITE | FM_MAP);
    ASSERT_NE(handle, 0);
    ASSERT_NE(getfileaddress(handle), nullptr);
    shutdownfiles();
    EXPECT_EQ(filetableexists(), 0);
    shutdownfiles();
    EXPECT_EQ(getfileaddress(handle), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // The file is free again, for a new table made on first use.
    handle = openpath(path, FM_READ | FM_WRITE | FM_TRUNCATE);
    EXPECT_EQ(handle, -1);
    EXPECT_EQ(sizeof_(handle), 0);
}

TEST_F(FileLayer, CancelreadStopsALongReadAfterItsCurrentBlock)
{
    EXPECT_EQ(cancelread(openpath(dir.write("f", "abc"), READMODE)), 0);

    const uint32_t size = 8u << 20;
    const uint32_t block = 512;
    std::vector<char> source(size, 'S');
    std::vector<char> target(size, '.');
    int32_t handle = 0;
    ASSERT_EQ(openmemoryfile(source.data(), static_cast<int32_t>(size), 0, block, &handle), 1);

    std::atomic<bool> finished{false};
    std::atomic<int32_t> cancelled{0};
    std::thread canceller([&] {
        while (!finished.load() && cancelled.load() == 0)
            cancelled.store(cancelread(handle));
    });
    uint32_t got = readfromfile(handle, target.data(), size);
    finished.store(true);
    canceller.join();

    ASSERT_EQ(cancelled.load(), 1);
    // The flag is tested before each block, so a cancel that lands before
    // the first one leaves nothing read.
    EXPECT_LT(got, size);
    EXPECT_EQ(got % block, 0u);
    EXPECT_EQ(tellfile(handle), static_cast<int32_t>(got));
    EXPECT_EQ(std::string(target.data(), got), std::string(got, 'S'));
    EXPECT_EQ(target[got], '.');
    // The read is over: nothing left to cancel, and the next read runs whole.
    EXPECT_EQ(cancelread(handle), 0);
    EXPECT_EQ(readfromfile(handle, target.data() + got, size), size - got);
}

// Thread A copies one memory file into the very bytes that thread B reads
// as another memory file on the same device. Were their blocks to
// interleave, B would see a mixture of old and new bytes (and a thread
// checker would see the unordered accesses); holding the drive mutex for
// each whole transfer makes B see one or the other.
TEST_F(FileLayer, TransfersOnOneDeviceNeverInterleave)
{
    const uint32_t size = 2u << 20;
    std::vector<char> source(size);
    std::vector<char> shared(size);
    std::vector<char> seen(size);
    int32_t writerfile = 0, readerfile = 0;
    ASSERT_EQ(openmemoryfile(source.data(), static_cast<int32_t>(size), 3, 4096, &writerfile), 1);
    ASSERT_EQ(openmemoryfile(shared.data(), static_cast<int32_t>(size), 3, 4096, &readerfile), 1);
    for (int round = 0; round < 8; round++) {
        char before = static_cast<char>('a' + round);
        char after = static_cast<char>('A' + round);
        std::fill(source.begin(), source.end(), after);
        std::fill(shared.begin(), shared.end(), before);
        ASSERT_EQ(seekfile(writerfile, 0), 1);
        ASSERT_EQ(seekfile(readerfile, 0), 1);
        uint32_t copied = 0, read = 0;
        std::thread a([&] { copied = readfromfile(writerfile, shared.data(), size); });
        std::thread b([&] { read = readfromfile(readerfile, seen.data(), size); });
        a.join();
        b.join();
        EXPECT_EQ(copied, size);
        EXPECT_EQ(read, size);
        char first = seen[0];
        EXPECT_TRUE(first == before || first == after);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), first), static_cast<long>(size)) << "round " << round;
    }
}

TEST_F(FileLayer, DifferentDevicesProceedWhileOneIsLocked)
{
    std::string bytes = pattern(100000);
    int32_t held = 0, other = 0;
    ASSERT_EQ(openmemoryfile(&bytes[0], 100000, 0, 0, &held), 1);
    ASSERT_EQ(openmemoryfile(&bytes[0], 100000, 5, 0, &other), 1);
    ASSERT_EQ(lockfiledevice(held), 1);

    std::string heldcopy(100000, '\0'), othercopy(100000, '\0');
    std::atomic<bool> helddone{false};
    std::thread blocked([&] {
        readfromfile(held, &heldcopy[0], 100000);
        helddone.store(true);
    });
    std::thread runner([&] { EXPECT_EQ(readfromfile(other, &othercopy[0], 100000), 100000u); });
    runner.join();
    EXPECT_EQ(othercopy, bytes);
    EXPECT_FALSE(helddone.load());
    ASSERT_EQ(unlockfiledevice(held), 1);
    blocked.join();
    EXPECT_TRUE(helddone.load());
    EXPECT_EQ(heldcopy, bytes);
}

TEST_F(FileLayer, FirstOpensFromManyThreadsShareOneDriveMutex)
{
    // The library is started on the main thread, as a program does before its
    // threads call it; the table and the drive's mutex are still made by them.
    THREAD_init(0);
    std::string path = dir.write("f", pattern(1000));
    std::vector<std::thread> threads;
    std::vector<int32_t> handles(16, 0);
    for (int i = 0; i < 16; i++)
        threads.emplace_back([&, i] { handles[i] = openpath(path, READMODE); });
    for (std::thread& thread : threads)
        thread.join();
    std::sort(handles.begin(), handles.end());
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(handles[i], -16 + i);
    // Every handle transfers on device 0 under one mutex, from many threads.
    threads.clear();
    std::vector<std::string> copies(16, std::string(1000, '\0'));
    for (int i = 0; i < 16; i++)
        threads.emplace_back([&, i] { readfromfile(handles[i], &copies[i][0], 1000); });
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& copy : copies)
        EXPECT_EQ(copy, pattern(1000));
    for (int32_t handle : handles)
        EXPECT_EQ(closefile(handle), 1);
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
#if defined(VORL_SANITIZED)
    GTEST_SKIP() << "sanitizers reserve the address space that this test takes away";
#elif defined(_WIN32)
    GTEST_SKIP() << "Windows has no address-space limit to take memory away with";
#else
    std::string path = dir.write("f", "abc");
    EXPECT_EXIT(
        {
            // Make the table's mutex while memory is there, then take all
            // further address space away.
            initfiles(0);
            shutdownfiles();
            struct rlimit limit;
            getrlimit(RLIMIT_AS, &limit);
            long pages = 0;
            FILE* statm = fopen("/proc/self/statm", "r");
            if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1)
                _exit(10);
            fclose(statm);
            limit.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
            if (setrlimit(RLIMIT_AS, &limit) != 0)
                _exit(11);
            int32_t handle = 9;
            if (openfile(path.c_str(), READMODE, 0, &handle) != 0 || handle != 0)
                _exit(12);
            if (GetLastError() != ERROR_NOT_ENOUGH_MEMORY || filetableexists() != 0)
                _exit(13);
            char bytes[4];
            handle = 9;
            if (openmemoryfile(bytes, 4, 0, 0, &handle) != 0 || handle != 9)
                _exit(14);
            _exit(3);
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
    int32_t reader = openpath(path, SHARED);
    int32_t writer = openpath(path, SHARED | FM_WRITE);
    std::string buffer(100, '#');

    // The file shrinks behind the reader's back: its read comes back short.
    EXPECT_NE(setendfile(writer, 30), 0);
    ASSERT_EQ(seekfile(reader, 0), 1);
    EXPECT_EQ(readfromfile(reader, &buffer[0], 100), 30u);
    EXPECT_EQ(buffer.substr(0, 30), contents.substr(0, 30));
    // It grows again; the reader goes on from where its short read ended.
    ASSERT_EQ(seekfile(writer, 30), 1);
    ASSERT_EQ(writetofile(writer, "0123456789", 10), 10u);
    ASSERT_EQ(seekfile(reader, 30), 1);
    EXPECT_EQ(readfromfile(reader, &buffer[0], 10), 10u);
    EXPECT_EQ(buffer.substr(0, 10), "0123456789");
    ASSERT_EQ(seekfile(reader, 10), 1);
    EXPECT_EQ(readfromfile(reader, &buffer[0], 5), 5u);
    EXPECT_EQ(buffer.substr(0, 5), contents.substr(10, 5));

    // A write refused by the platform moves nothing.
    ASSERT_EQ(seekfile(reader, 12), 1);
    EXPECT_EQ(writetofile(reader, "zz", 2), 0u);
    EXPECT_NE(GetLastError(), 0u);
    ASSERT_EQ(seekfile(reader, 12), 1);
    EXPECT_EQ(readfromfile(reader, &buffer[0], 3), 3u);
    EXPECT_EQ(buffer.substr(0, 3), contents.substr(12, 3));

    // A set-length leaves the file at its new end, and a failed one where it was.
    ASSERT_EQ(seekfile(writer, 35), 1);
    EXPECT_NE(setendfile(writer, 20), 0);
    ASSERT_EQ(seekfile(writer, 20), 1);
    ASSERT_EQ(writetofile(writer, "xy", 2), 2u);
    ASSERT_EQ(seekfile(writer, 7), 1);
    EXPECT_EQ(setendfile(writer, -1), 0);
    ASSERT_EQ(seekfile(writer, 7), 1);
    ASSERT_EQ(writetofile(writer, "Q", 1), 1u);
    closefile(reader);
    closefile(writer);
    std::string expected = contents.substr(0, 20) + "xy";
    expected[7] = 'Q';
    EXPECT_EQ(ScopedTempDir::read(path), expected);
}

#ifndef _WIN32
// Only a seek that changes the position reaches the platform: a chained read
// costs one call per piece, not two.
TEST_F(FileLayer, OnlySeeksThatMoveTheFileReachThePlatform)
{
    std::string contents = pattern(3 * 8192);
    int32_t handle = openpath(dir.write("f", contents), READMODE);
    std::string buffer(8192, '#');
    DWORD before = PW_seekcount();
    for (int32_t at = 0; at < 3 * 8192; at += 8192) {
        ASSERT_EQ(seekfile(handle, at), 1);
        ASSERT_EQ(readfromfile(handle, &buffer[0], 8192), 8192u);
        EXPECT_EQ(buffer, contents.substr(at, 8192));
    }
    EXPECT_EQ(PW_seekcount() - before, 0u);
    ASSERT_EQ(seekfile(handle, 100), 1);
    ASSERT_EQ(seekfile(handle, 100), 1);
    EXPECT_EQ(PW_seekcount() - before, 1u);
    EXPECT_EQ(readfromfile(handle, &buffer[0], 4), 4u);
    EXPECT_EQ(buffer.substr(0, 4), contents.substr(100, 4));
}

// A write that the platform takes in part before it fails leaves the file's
// pointer past the recorded position; the next seek must put it back.
TEST_F(FileLayer, AWriteThatFailsPartWayLeavesTheNextSeekExact)
{
    std::string path = dir.write("f", "");
    EXPECT_EXIT(
        {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit;
            getrlimit(RLIMIT_FSIZE, &limit);
            rlim_t old = limit.rlim_cur;
            limit.rlim_cur = 20000;
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(10);
            int32_t handle = 0;
            if (openfile(path.c_str(), FM_READ | FM_WRITE, 0, &handle) == 0)
                _exit(11);
            std::string bytes = pattern(32768);
            // The first 16 KiB block goes whole, the second fails after 3616 bytes.
            if (writetofile(handle, bytes.data(), 32768) != 0 || GetLastError() != ERROR_FILE_TOO_LARGE)
                _exit(12);
            limit.rlim_cur = old;
            setrlimit(RLIMIT_FSIZE, &limit);
            if (seekfile(handle, 16384) != 1 || writetofile(handle, "abc", 3) != 3)
                _exit(13);
            closefile(handle);
            std::string file = ScopedTempDir::read(path);
            if (file.size() != 20000 || file.compare(0, 16384, bytes, 0, 16384) != 0)
                _exit(14);
            if (file.compare(16384, 3, "abc") != 0 || file.compare(16387, 3613, bytes, 16387, 3613) != 0)
                _exit(15);
            _exit(3);
        },
        testing::ExitedWithCode(3), "");
}
#endif
