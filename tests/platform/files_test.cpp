// The file, mapping, path, volume and directory services of the POSIX
// platform: each behaviour of the Windows services that the native file
// layer relies on, checked through the services and the bytes on disk.
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/vplatform.h"
#include "tempdir.h"
#include "workingdir.h"

namespace {

HANDLE openwith(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0)
{
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags | FILE_ATTRIBUTE_NORMAL, nullptr);
}

const DWORD READWRITE = GENERIC_READ | GENERIC_WRITE;

std::string readall(HANDLE file, DWORD count)
{
    std::string bytes(count, '\0');
    DWORD got = 0;
    if (!ReadFile(file, &bytes[0], count, &got, nullptr))
        return "<failed>";
    bytes.resize(got);
    return bytes;
}

}  // namespace

TEST(PlatformFiles, DispositionsCreateOpenAndTruncateAsOnWindows)
{
    ScopedTempDir dir;
    std::string path = dir.file("data.bin");

    // CREATE_NEW makes a missing file and refuses an existing one.
    HANDLE file = openwith(path, READWRITE, 0, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(file, "hello world", 11, &put, nullptr));
    EXPECT_EQ(put, 11u);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(openwith(path, READWRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    // OPEN_ALWAYS keeps what is there and says that it was there.
    file = openwith(path, GENERIC_READ, 0, OPEN_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(readall(file, 100), "hello world");
    CloseHandle(file);

    // OPEN_EXISTING and TRUNCATE_EXISTING need the file; a missing directory
    // is a missing path, a missing file in an existing one a missing file.
    EXPECT_EQ(openwith(dir.file("none"), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(openwith(dir.file("nodir/none"), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(openwith(dir.file("none"), READWRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ScopedTempDir::size(dir.file("none")), -1);

    // TRUNCATE_EXISTING empties the file, and needs write access to do it.
    EXPECT_EQ(openwith(path, GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ScopedTempDir::size(path), 11);
    file = openwith(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(ScopedTempDir::size(path), 0);

    // CREATE_ALWAYS empties an existing file (reporting that it existed) and
    // makes a missing one.
    dir.write("data.bin", "0123456789");
    file = openwith(path, GENERIC_READ, 0, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(file);
    EXPECT_EQ(ScopedTempDir::size(path), 0);
    file = openwith(dir.file("fresh"), GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(file);
    EXPECT_EQ(ScopedTempDir::size(dir.file("fresh")), 0);

    // Dispositions outside 1..5 and overlapped handles are refused.
    EXPECT_EQ(openwith(path, GENERIC_READ, 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(openwith(path, GENERIC_READ, 0, 6), INVALID_HANDLE_VALUE);
    EXPECT_EQ(openwith(path, GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(PlatformFiles, AttributeFlagsTakeTheirNearestPosixMeaning)
{
    ScopedTempDir dir;
    std::string path = dir.file("ro");
    HANDLE file = openwith(path, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0222, 0u);

    // Write-through, sequential and unbuffered opens move bytes as usual.
    file = openwith(dir.file("flags"), READWRITE, 0, CREATE_NEW,
                    FILE_FLAG_WRITE_THROUGH | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    EXPECT_TRUE(WriteFile(file, "abc", 3, &put, nullptr));
    CloseHandle(file);
    EXPECT_EQ(ScopedTempDir::read(dir.file("flags")), "abc");
}

TEST(PlatformFiles, ShareModesRefuseConflictingOpensWithinTheProcess)
{
    ScopedTempDir dir;
    std::string path = dir.write("shared", "original contents");

    HANDLE reader = openwith(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    // Another reader that shares reading is fine; a writer is not, and
    // neither is a reader that will not share reading.
    HANDLE second = openwith(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
    EXPECT_EQ(openwith(path, READWRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(openwith(path, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    // A refused CREATE_ALWAYS leaves the file as it was.
    EXPECT_EQ(openwith(path, READWRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ScopedTempDir::read(path), "original contents");

    // The same file reached through another name is the same file.
    std::string link = dir.file("link");
    ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
    EXPECT_EQ(openwith(link, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    // Closing the reader lifts every restriction.
    CloseHandle(reader);
    HANDLE writer = openwith(link, GENERIC_WRITE, 0, OPEN_EXISTING);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    // An exclusive writer keeps out readers that share everything.
    EXPECT_EQ(openwith(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(writer);

    // Writers that share writing may be open together.
    HANDLE one = openwith(path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING);
    HANDLE two = openwith(path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_NE(one, INVALID_HANDLE_VALUE);
    EXPECT_NE(two, INVALID_HANDLE_VALUE);
    CloseHandle(one);
    CloseHandle(two);
}

TEST(PlatformFiles, DirectoriesCannotBeOpenedOrDeletedAsFiles)
{
    ScopedTempDir dir;
    for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
        EXPECT_EQ(openwith(dir.path(), READWRITE, 0, disposition), INVALID_HANDLE_VALUE) << disposition;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << disposition;
    }
    EXPECT_FALSE(DeleteFileA(dir.path().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    struct stat info;
    EXPECT_EQ(stat(dir.path().c_str(), &info), 0);
}

TEST(PlatformFiles, FifosSocketsAndDevicesAreRefusedWithoutBlocking)
{
    ScopedTempDir dir;
    std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string socketpath = dir.file("socket");
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socketpath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
    // Each is tried without and then with a writer holding the FIFO open.
    for (int writer : {-1, open(fifo.c_str(), O_RDWR | O_NONBLOCK)}) {
        for (const std::string& name : {fifo, socketpath, std::string("/dev/null")}) {
            for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, TRUNCATE_EXISTING}) {
                EXPECT_EQ(openwith(name, READWRITE, 0, disposition), INVALID_HANDLE_VALUE) << name;
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_FILE_TYPE)) << name;
            }
            EXPECT_EQ(openwith(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE) << name;
        }
        if (writer >= 0)
            close(writer);
    }
    close(listener);
}

TEST(PlatformFiles, DrivePathsAndOverlongPathsNameNothing)
{
    EXPECT_EQ(openwith("C:\\autoexec.bat", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA("c:/x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(openwith("", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    ScopedTempDir dir;
    std::string longname = dir.file(std::string(MAX_PATH, 'n'));
    EXPECT_EQ(openwith(longname, GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    // One character short of MAX_PATH is still a path.
    std::string prefix = dir.file("");
    std::string fits = prefix + std::string(MAX_PATH - 1 - prefix.size(), 'f');
    HANDLE file = openwith(fits, GENERIC_WRITE, 0, CREATE_NEW);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
}

TEST(PlatformFiles, ReadWriteAndFilePointerMoveBytesAndPositions)
{
    ScopedTempDir dir;
    std::string path = dir.file("numbers");
    HANDLE file = openwith(path, READWRITE, 0, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string bytes;
    for (int i = 0; i < 100; i++)
        bytes += static_cast<char>(i);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(file, bytes.data(), 100, &done, nullptr));
    EXPECT_EQ(done, 100u);
    EXPECT_EQ(GetFileSize(file, nullptr), 100u);

    EXPECT_EQ(SetFilePointer(file, 10, nullptr, FILE_BEGIN), 10u);
    EXPECT_EQ(SetFilePointer(file, 5, nullptr, FILE_CURRENT), 15u);
    EXPECT_EQ(readall(file, 3), bytes.substr(15, 3));
    EXPECT_EQ(SetFilePointer(file, -10, nullptr, FILE_END), 90u);
    EXPECT_EQ(readall(file, 50), bytes.substr(90));
    // At the end a read succeeds with nothing.
    EXPECT_EQ(readall(file, 50), "");

    // A move before the start fails and leaves the position alone.
    EXPECT_EQ(SetFilePointer(file, -200, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 100u);
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Writing past the end grows the file over a gap of zeros.
    EXPECT_EQ(SetFilePointer(file, 120, nullptr, FILE_BEGIN), 120u);
    ASSERT_TRUE(WriteFile(file, "Z", 1, &done, nullptr));
    EXPECT_EQ(GetFileSize(file, nullptr), 121u);
    CloseHandle(file);
    std::string disk = ScopedTempDir::read(path);
    EXPECT_EQ(disk.substr(0, 100), bytes);
    EXPECT_EQ(disk.substr(100, 20), std::string(20, '\0'));
    EXPECT_EQ(disk[120], 'Z');
}

TEST(PlatformFiles, HighPartPointersReachBeyondFourGigabytes)
{
    ScopedTempDir dir;
    HANDLE file = openwith(dir.file("sparse"), READWRITE, 0, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(file, 16, &high, FILE_BEGIN), 16u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(high, 1);
    ASSERT_TRUE(SetEndOfFile(file));
    DWORD sizehigh = 0;
    EXPECT_EQ(GetFileSize(file, &sizehigh), 16u);
    EXPECT_EQ(sizehigh, 1u);
    // Without a high part the position cannot be told, so the move fails.
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A negative high part moves backwards.
    high = -1;
    EXPECT_EQ(SetFilePointer(file, 0, &high, FILE_END), 16u);
    EXPECT_EQ(high, 0);
    CloseHandle(file);
}

TEST(PlatformFiles, AccessRightsAndHandlesAreChecked)
{
    ScopedTempDir dir;
    std::string path = dir.write("f", "abcdef");
    HANDLE reader = openwith(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    HANDLE writer = openwith(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD done = 99;
    char buffer[8];
    EXPECT_FALSE(WriteFile(reader, "x", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(ReadFile(writer, buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetEndOfFile(reader));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    OVERLAPPED overlapped = {};
    EXPECT_FALSE(ReadFile(reader, buffer, 1, &done, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(CloseHandle(reader));
    EXPECT_FALSE(CloseHandle(reader));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReadFile(reader, buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetFileSize(INVALID_HANDLE_VALUE, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(writer);
}

TEST(PlatformFiles, SetEndOfFileCutsOrExtendsAtThePosition)
{
    ScopedTempDir dir;
    std::string path = dir.write("f", "0123456789");
    HANDLE file = openwith(path, READWRITE, 0, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    SetFilePointer(file, 4, nullptr, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(file));
    EXPECT_EQ(ScopedTempDir::read(path), "0123");
    SetFilePointer(file, 6, nullptr, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(file));
    EXPECT_EQ(ScopedTempDir::read(path), std::string("0123\0\0", 6));
    CloseHandle(file);
}

TEST(PlatformFiles, DeleteFileRemovesUnlessAnOpenHandleForbidsIt)
{
    ScopedTempDir dir;
    std::string path = dir.write("victim", "x");
    HANDLE file = openwith(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ScopedTempDir::size(path), 1);
    CloseHandle(file);

    file = openwith(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    EXPECT_EQ(ScopedTempDir::size(path), -1);
    // The open handle still reads the deleted file.
    EXPECT_EQ(readall(file, 10), "x");
    CloseHandle(file);

    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA(dir.file("nodir/victim").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(PlatformFiles, MappingsGiveReadOnlyAndWritableViews)
{
    ScopedTempDir dir;
    std::string contents(10000, '\0');
    for (size_t i = 0; i < contents.size(); i++)
        contents[i] = static_cast<char>('a' + i % 26);
    std::string path = dir.write("mapped", contents);

    HANDLE file = openwith(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    // A writable mapping needs a writable handle.
    EXPECT_EQ(CreateFileMappingA(file, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY | SEC_COMMIT, 0, 0, nullptr);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 10001), nullptr);
    EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 1, 100), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MAPPED_ALIGNMENT));
    const char* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 10000));
    ASSERT_NE(view, nullptr);
    // The view outlives the handles of the mapping and of the file.
    EXPECT_TRUE(CloseHandle(mapping));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(std::string(view, 10000), contents);
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_FALSE(UnmapViewOfFile(view));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));

    // A writable view writes the file.
    file = openwith(path, READWRITE, 0, OPEN_EXISTING);
    mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    ASSERT_NE(mapping, nullptr);
    char* writable = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(writable, nullptr);
    memcpy(writable + 9990, "0123456789", 10);
    EXPECT_TRUE(UnmapViewOfFile(writable));
    CloseHandle(mapping);
    CloseHandle(file);
    EXPECT_EQ(ScopedTempDir::read(path), contents.substr(0, 9990) + "0123456789");
}

TEST(PlatformFiles, EmptyFilesCannotBeMappedAndMappedFilesCannotBeCut)
{
    ScopedTempDir dir;
    std::string empty = dir.write("empty", "");
    HANDLE file = openwith(empty, GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_INVALID));
    CloseHandle(file);

    std::string path = dir.write("big", std::string(5000, 'q'));
    file = openwith(path, READWRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    ASSERT_NE(mapping, nullptr);
    const char* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    // Cutting the file under the view would make the view fault.
    SetFilePointer(file, 10, nullptr, FILE_BEGIN);
    EXPECT_FALSE(SetEndOfFile(file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_USER_MAPPED_FILE));
    EXPECT_EQ(openwith(path, READWRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_USER_MAPPED_FILE));
    EXPECT_EQ(ScopedTempDir::size(path), 5000);
    EXPECT_EQ(view[4999], 'q');
    CloseHandle(mapping);
    // The view alone still holds the mapping.
    EXPECT_FALSE(SetEndOfFile(file));
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(SetEndOfFile(file));
    EXPECT_EQ(ScopedTempDir::size(path), 10);
    CloseHandle(file);
}

TEST(PlatformFiles, ProcessMemoryCopiesFailWhereAViewsFileWasCutShort)
{
    ScopedTempDir dir;
    std::string path = dir.write("shrinks", std::string(3 * 4096, 'v'));
    HANDLE file = openwith(path, READWRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    char* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    // Another process cuts the file: the view's last two pages are gone.
    ASSERT_EQ(truncate(path.c_str(), 4096 + 10), 0);
    char buffer[8192];
    SIZE_T done = 99;
    EXPECT_TRUE(ReadProcessMemory(GetCurrentProcess(), view + 4090, buffer, 16, &done));
    EXPECT_EQ(done, 16u);
    EXPECT_EQ(std::string(buffer, 16), std::string(16, 'v'));
    EXPECT_FALSE(ReadProcessMemory(GetCurrentProcess(), view + 4096, buffer, 8192, &done));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PARTIAL_COPY));
    EXPECT_EQ(done, 10u);
    // A write stops at the file's end instead of growing the file again.
    EXPECT_FALSE(WriteProcessMemory(GetCurrentProcess(), view + 4100, "abcdefghij", 10, &done));
    EXPECT_EQ(done, 6u);
    EXPECT_EQ(ScopedTempDir::size(path), 4096 + 10);
    EXPECT_EQ(ScopedTempDir::read(path).substr(4100), "abcdef");
    // Memory outside any view, and another process, as Windows has them.
    EXPECT_TRUE(WriteProcessMemory(GetCurrentProcess(), buffer, "xyz", 3, &done));
    EXPECT_EQ(std::string(buffer, 3), "xyz");
    EXPECT_FALSE(ReadProcessMemory(reinterpret_cast<HANDLE>(8), buffer, buffer + 8, 3, &done));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(file);
}

TEST(PlatformPaths, FullPathsResolveAgainstTheCurrentDirectoryOrTheDriveRoot)
{
    ScopedTempDir dir;
    ScopedWorkingDirectory restored;
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));

    char full[MAX_PATH];
    char* filepart = nullptr;
    DWORD length = GetFullPathNameA("sub/./x/../name.txt", MAX_PATH, full, &filepart);
    std::string expected = dir.path() + "/sub/name.txt";
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(std::string(full), expected);
    ASSERT_NE(filepart, nullptr);
    EXPECT_STREQ(filepart, "name.txt");

    EXPECT_EQ(GetFullPathNameA("/a//b/../../..", MAX_PATH, full, &filepart), 1u);
    EXPECT_STREQ(full, "/");
    EXPECT_EQ(filepart, nullptr);
    EXPECT_EQ(GetFullPathNameA("/a/b/", MAX_PATH, full, &filepart), 5u);
    EXPECT_STREQ(full, "/a/b/");
    EXPECT_EQ(filepart, nullptr);

    // Drive paths keep their Windows form; a drive-relative path starts at
    // the drive's root, since no drive has a current directory here.
    EXPECT_EQ(GetFullPathNameA("c:/dir\\.\\sub/../file", MAX_PATH, full, &filepart), 11u);
    EXPECT_STREQ(full, "c:\\dir\\file");
    EXPECT_STREQ(filepart, "file");
    GetFullPathNameA("C:", MAX_PATH, full, nullptr);
    EXPECT_STREQ(full, "C:\\");
    GetFullPathNameA("Q:rel", MAX_PATH, full, nullptr);
    EXPECT_STREQ(full, "Q:\\rel");

    // Too small a buffer gives the room needed and is not written.
    memset(full, '#', sizeof full);
    EXPECT_EQ(GetFullPathNameA("C:\\abc", 6, full, nullptr), 7u);
    EXPECT_EQ(full[0], '#');
    EXPECT_EQ(GetFullPathNameA("C:\\abc", 7, full, nullptr), 6u);

    EXPECT_EQ(GetFullPathNameA(std::string(MAX_PATH, 'a').c_str(), MAX_PATH, full, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(GetFullPathNameA("", MAX_PATH, full, nullptr), 0u);
}

TEST(PlatformPaths, CharUpperAndTheEmptyDriveList)
{
    char text[] = "c:\\Mixed/case-1.txt";
    EXPECT_EQ(CharUpperA(text), text);
    EXPECT_STREQ(text, "C:\\MIXED/CASE-1.TXT");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CharUpperA(reinterpret_cast<LPSTR>(static_cast<uintptr_t>('q')))),
              static_cast<uintptr_t>('Q'));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CharUpperA(reinterpret_cast<LPSTR>(static_cast<uintptr_t>('7')))),
              static_cast<uintptr_t>('7'));

    EXPECT_EQ(GetLogicalDrives(), 0u);
    char list[8] = "xxxxxxx";
    EXPECT_EQ(GetLogicalDriveStringsA(sizeof list, list), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(list[0], '\0');
}

TEST(PlatformVolumes, FreeSpaceAndVolumeFlagsDescribeTheFileSystem)
{
    DWORD sectors = 0, bytes = 0, freeclusters = 0, clusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("/", &sectors, &bytes, &freeclusters, &clusters));
    struct statvfs volume;
    ASSERT_EQ(statvfs("/", &volume), 0);
    uint64_t block = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
    EXPECT_EQ(static_cast<uint64_t>(sectors) * bytes, block);
    EXPECT_EQ(bytes % 512, 0u);
    uint64_t expectedfree = volume.f_bavail > 0xFFFFFFFFu ? 0xFFFFFFFFu : volume.f_bavail;
    // Other processes may write meanwhile; the count is of the same volume.
    EXPECT_NEAR(static_cast<double>(freeclusters), static_cast<double>(expectedfree), expectedfree * 0.05 + 1024);
    EXPECT_GE(clusters, freeclusters);

    ScopedTempDir dir;
    std::string file = dir.write("f", "x");
    EXPECT_FALSE(GetDiskFreeSpaceA(file.c_str(), &sectors, &bytes, &freeclusters, &clusters));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(GetDiskFreeSpaceA("C:\\", &sectors, &bytes, &freeclusters, &clusters));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(GetDiskFreeSpaceA(dir.file("missing").c_str(), &sectors, &bytes, &freeclusters, &clusters));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    DWORD flags = 0, serial = 0, component = 0;
    char name[16] = "junk", system[3] = "zz";
    ASSERT_TRUE(GetVolumeInformationA("/", name, sizeof name, &serial, &component, &flags, system, sizeof system));
    EXPECT_EQ(flags, FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES);
    EXPECT_STREQ(name, "");
    EXPECT_GT(component, 0u);
    EXPECT_EQ(strlen(system), 2u);  // cut to the buffer, still terminated
    EXPECT_FALSE(GetVolumeInformationA("D:\\", nullptr, 0, nullptr, nullptr, &flags, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    PW_VOLUMEOVERRIDE fake = {FILE_UNICODE_ON_DISK, 8, 512, 123, 456};
    PW_setvolumeoverride(&fake);
    ASSERT_TRUE(GetVolumeInformationA("/", nullptr, 0, nullptr, nullptr, &flags, nullptr, 0));
    EXPECT_EQ(flags, static_cast<DWORD>(FILE_UNICODE_ON_DISK));
    ASSERT_TRUE(GetDiskFreeSpaceA("/", &sectors, &bytes, &freeclusters, &clusters));
    EXPECT_EQ(sectors, 8u);
    EXPECT_EQ(freeclusters, 123u);
    EXPECT_EQ(clusters, 456u);
    PW_setvolumeoverride(nullptr);
    ASSERT_TRUE(GetVolumeInformationA("/", nullptr, 0, nullptr, nullptr, &flags, nullptr, 0));
    EXPECT_EQ(flags, FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES);
}

TEST(PlatformSearch, FindFirstFileReportsTheFirstMatch)
{
    ScopedTempDir dir;
    dir.write("alpha.txt", "12345");
    dir.write("beta.dat", "");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(dir.file("alpha.txt").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(found.cFileName, "alpha.txt");
    EXPECT_EQ(found.nFileSizeLow, 5u);
    EXPECT_EQ(found.nFileSizeHigh, 0u);
    EXPECT_EQ(found.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    // Modification time in 100-ns units since 1601: after the year 2000.
    uint64_t written = (static_cast<uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                       found.ftLastWriteTime.dwLowDateTime;
    EXPECT_GT(written, 125911584000000000ull);
    EXPECT_TRUE(FindClose(search));
    EXPECT_FALSE(FindClose(search));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    search = FindFirstFileA(dir.file("*.d?t").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(found.cFileName, "beta.dat");
    FindClose(search);
    search = FindFirstFileA(dir.file("s*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(found.cFileName, "sub");
    EXPECT_EQ(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    FindClose(search);

    EXPECT_EQ(FindFirstFileA(dir.file("*.exe").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileA(dir.file("gamma").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileA(dir.file("none/*").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // The search is case-sensitive, as the volume says.
    EXPECT_EQ(FindFirstFileA(dir.file("ALPHA.TXT").c_str(), &found), INVALID_HANDLE_VALUE);
}

TEST(PlatformDirectories, CurrentDirectoryIsSetAndFetched)
{
    ScopedTempDir dir;
    ScopedWorkingDirectory restored;
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));
    char buffer[MAX_PATH];
    EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), dir.path().size());
    EXPECT_EQ(std::string(buffer), dir.path());
    // Too small: the room needed, with the NUL, and nothing written.
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GetCurrentDirectoryA(static_cast<DWORD>(dir.path().size()), buffer), dir.path().size() + 1);
    EXPECT_EQ(buffer[0], '#');

    EXPECT_FALSE(SetCurrentDirectoryA(dir.file("missing").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::string file = dir.write("plain", "");
    EXPECT_FALSE(SetCurrentDirectoryA(file.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(std::string(getcwd(buffer, sizeof buffer)), dir.path());
}
