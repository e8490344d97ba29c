// The native file layer: the handle table, transfers, mapped and memory files, cancelled reads and seeks.
#include <signal.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <atomic>
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

int32_t openpath(const std::string& path, uint32_t mode)
{
    int32_t handle = 12345, result = openfile(path.c_str(), mode, 0, &handle);
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

int32_t sizeoffile(int32_t handle)
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

TEST_F(FileLayer, TheTableHandsOutTheLowestFreeSlotUpToItsCapacity)
{
    std::string path = dir.write("f", "abc");
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(openpath(path, READMODE), -1 - i);
    // The 65th open fails with handle 0 and no error; a memory file's handle is left alone.
    int32_t handle = 777, memory = 777;
    char bytes[4] = {};
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(witherror({filetableexists(), openfile(path.c_str(), READMODE, 0, &handle), handle}), V({1, 0, 0, 0}));
    EXPECT_EQ(V({openmemoryfile(bytes, 4, 0, 0, &memory), memory}), V({0, 777}));
    // A slot closed twice fails the second time; a failed open (files of 2 GiB
    // or more are refused) gives its slot back at once.
    EXPECT_EQ(witherror({closefile(-1), closefile(-30), closefile(-30)}), V({1, 1, 0, ERROR_INVALID_HANDLE}));
    std::string huge = dir.file("huge");
    ASSERT_TRUE(setfilesize(huge, 0x80000000LL));
    EXPECT_EQ(witherror({openpath(huge, READMODE)}), V({0, ERROR_FILE_TOO_LARGE}));
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

    // Shutting down unmaps and closes the files; the next use makes a new table.
    handle = openpath(path, FM_READ | FM_WRITE | FM_MAP);
    ASSERT_EQ(V({handle, getfileaddress(handle) != nullptr}), V({-1, 1}));
    shutdownfiles();
    shutdownfiles();
    EXPECT_EQ(witherror({filetableexists(), getfileaddress(handle) != nullptr}), V({0, 0, ERROR_INVALID_HANDLE}));
    handle = openpath(path, FM_READ | FM_WRITE | FM_TRUNCATE);
    EXPECT_EQ(V({handle, sizeoffile(handle)}), V({-1, 0}));
}

TEST_F(FileLayer, TransfersAndSetLengthsStayWithinTheFile)
{
    std::string contents = pattern(50), path = dir.write("f", contents);
    int32_t handle = openpath(path, WRITEMODE);
    // Seeks clamp to the file; a count near 4 GiB is cut to what it holds, not wrapped.
    EXPECT_EQ(V({seekfile(handle, -5), tellfile(handle), seekfile(handle, 60), tellfile(handle)}), V({1, 0, 1, 50}));
    EXPECT_EQ(readat(handle, 45, 0xFFFFFFFFu, 100), contents.substr(45));
    EXPECT_EQ(V({writeat(handle, 50, "0123456789"), sizeoffile(handle), tellfile(handle)}), V({10, 60, 60}));
    // A set-length ends the file where asked; a negative one fails and changes nothing.
    EXPECT_EQ(V({seekfile(handle, 5), setendfile(handle, 20) != 0, sizeoffile(handle), tellfile(handle)}),
              V({1, 1, 20, 20}));
    EXPECT_EQ(V({setendfile(handle, -1), GetLastError(), closefile(handle)}), V({0, ERROR_NEGATIVE_SEEK, 1}));
    EXPECT_EQ(ScopedTempDir::read(path), contents.substr(0, 20));

    // Mapped writes never grow the file, but writes inside a writable view reach it.
    handle = openpath(dir.write("mapped", contents), WRITEMODE | FM_MAP);
    ASSERT_NE(getfileaddress(handle), nullptr);
    EXPECT_EQ(V({writeat(handle, 50, "0123456789"), GetLastError(), sizeoffile(handle), writeat(handle, 45, "ABCDEFGHIJ"),
                 tellfile(handle), setendfile(handle, 10), closefile(handle)}), V({0, 0, 50, 5, 50, 0, 1}));
    EXPECT_EQ(ScopedTempDir::read(dir.file("mapped")), contents.substr(0, 45) + "ABCDE");
}

TEST_F(FileLayer, ReadOnlyViewsAndMemoryFilesRefuseWrites)
{
    std::string contents = pattern(3000), path = dir.write("ro", contents);
    int32_t handle = openpath(path, READMODE | FM_MAP);
    ASSERT_NE(getfileaddress(handle), nullptr);
    EXPECT_EQ(V({writetofile(handle, "xyz", 3), GetLastError(), tellfile(handle)}), V({0, ERROR_ACCESS_DENIED, 0}));
    EXPECT_EQ(V({readat(handle, 1000, 3000) == contents.substr(1000), ScopedTempDir::read(path) == contents}), V({1, 1}));

    std::string memory = pattern(100);
    handle = openmemory(&memory[0], 100, 7);
    EXPECT_EQ(V({getfileaddress(handle) == &memory[0], getfiledevice(handle), writetofile(handle, "xyz", 3),
                 GetLastError(), readat(handle, 0, 150) == memory, setendfile(handle, 10)}),
              V({1, 7, 0, ERROR_ACCESS_DENIED, 1, 0}));
    // Devices outside the 32-entry tables, negative sizes and no memory are refused.
    char bytes[16] = {};
    handle = 99;
    EXPECT_EQ(witherror({openmemoryfile(bytes, 16, 32, 0, &handle), openmemoryfile(bytes, 16, -1, 0, &handle),
                         openmemoryfile(bytes, -1, 0, 0, &handle), openmemoryfile(nullptr, 16, 0, 0, &handle), handle}),
              V({0, 0, 0, 0, 99, ERROR_INVALID_PARAMETER}));
    EXPECT_EQ(getfiledevice(openmemory(bytes, 16, 31)), 31);
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
    ASSERT_EQ(V({cancelled.load(), got < size, got % block, tellfile(handle)}), V({1, 1, 0, got}));
    EXPECT_EQ(std::string(target.data(), got + 1), std::string(got, 'S') + ".");
    // The read is over: nothing left to cancel, and the next read runs whole.
    EXPECT_EQ(V({cancelread(handle), readfromfile(handle, target.data() + got, size)}), V({0, size - got}));
}

// The platform's seek is skipped when the file already stands where asked; whatever
// a transfer or a set-length left behind, a seek and a transfer must still land there.
TEST_F(FileLayer, SeeksAfterShortReadsFailedWritesAndSetLengthsLandWhereAsked)
{
    std::string contents = pattern(100), path = dir.write("f", contents);
    const uint32_t SHARED = FM_READ | FM_SHAREREAD | FM_SHAREWRITE;
    int32_t reader = openpath(path, SHARED), writer = openpath(path, SHARED | FM_WRITE);
    // The file shrinks behind the reader's back, then grows again.
    EXPECT_EQ(V({setendfile(writer, 30) != 0, readat(reader, 0, 100) == contents.substr(0, 30)}), V({1, 1}));
    ASSERT_EQ(writeat(writer, 30, "0123456789"), 10u);
    EXPECT_EQ(readat(reader, 30, 10) + readat(reader, 10, 5), "0123456789" + contents.substr(10, 5));
    EXPECT_EQ(V({writeat(reader, 12, "zz"), GetLastError() != 0, readat(reader, 12, 3) == contents.substr(12, 3)}),
              V({0, 1, 1}));
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
    EXPECT_EQ(V({seekfile(handle, 100), readat(handle, 100, 4) == contents.substr(100, 4), PW_seekcount() - before}),
              V({1, 1, 1}));
    // A refused set-length (the file is open for reading) moves the pointer and puts it back.
    EXPECT_EQ(V({setendfile(handle, 5), readat(handle, 104, 4) == contents.substr(104, 4), PW_seekcount() - before}),
              V({0, 1, 3}));
#endif
}

#ifndef _WIN32
static bool setsoftlimit(int resource, rlim_t value)
{
    struct rlimit limit;
    return getrlimit(resource, &limit) == 0 && (limit.rlim_cur = value, setrlimit(resource, &limit) == 0);
}

// A write that the platform takes only partly before failing leaves the file's
// pointer past the recorded position; the next seek must put it back.
TEST_F(FileLayer, AWriteThatFailsPartWayLeavesTheNextSeekExact)
{
    std::string path = dir.write("f", "");
    EXPECT_EXIT(
        {
            signal(SIGXFSZ, SIG_IGN);
            int32_t handle = 0;
            if (!setsoftlimit(RLIMIT_FSIZE, 20000) || openfile(path.c_str(), FM_READ | FM_WRITE, 0, &handle) == 0)
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

TEST_F(FileLayer, FirstOpensFromManyThreadsShareOneTableAndOneDriveMutex)
{
    // Sixteen racing first opens share one table and drive mutex: each gets its own slot and reads the whole file.
    THREAD_init(0);
    std::string path = dir.write("f", pattern(1000));
    std::vector<int32_t> handles(16, 0);
    std::vector<std::string> copies(16);
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; i++)
        threads.emplace_back([&, i] { copies[i] = readat(handles[i] = openpath(path, READMODE), 0, 1000); });
    for (std::thread& thread : threads)
        thread.join();
    std::sort(handles.begin(), handles.end());
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(V({handles[i], copies[i] == pattern(1000), closefile(handles[i])}), V({-16 + i, 1, 1})) << i;
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// With no page memory for the table there is none, and every open fails cleanly instead of touching a null table.
TEST_F(FileLayer, OpensFailCleanlyWhenTheTableCannotBeMade)
{
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
            int32_t handle = 9;
            int32_t memory = 9;
            char bytes[4];
            bool failed = setsoftlimit(RLIMIT_AS, static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE))) &&
                          openfile(path.c_str(), READMODE, 0, &handle) == 0;
            failed = failed && handle == 0 && GetLastError() == ERROR_NOT_ENOUGH_MEMORY && filetableexists() == 0;
            _exit(failed && openmemoryfile(bytes, 4, 0, 0, &memory) == 0 && memory == 9 ? 3 : 12);
        },
        testing::ExitedWithCode(3), "");
}
#endif
