// The file, mapping, path, volume and directory services of the POSIX
// platform: each behaviour of the Windows services that the native file
// layer relies on, checked through the services and the bytes on disk.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "lasterrors.h"
#include "tempdir.h"
#include "workingdir.h"

namespace {

const DWORD READWRITE = GENERIC_READ | GENERIC_WRITE, SHAREALL = FILE_SHARE_READ | FILE_SHARE_WRITE;
const long long NOPOINTER = INVALID_SET_FILE_POINTER;

HANDLE openwith(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0)
{
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags | FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string readall(HANDLE file, DWORD count)
{
    std::string bytes(count, '\0');
    DWORD got = 0;
    if (!ReadFile(file, &bytes[0], count, &got, nullptr))
        return "<failed>";
    bytes.resize(got);
    return bytes;
}

// Closes the handles that were opened (INVALID_HANDLE_VALUE is the process's
// pseudo handle, not a file).
void closeall(std::initializer_list<HANDLE> handles)
{
    for (HANDLE h : handles)
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
}

}  // namespace

TEST(PlatformFiles, OpensFollowTheirDispositionAndRefuseAllButPlainFiles)
{
    ScopedTempDir dir;
    std::string kept = dir.write("kept", "hello world"), cut = dir.write("cut", "0123456789");
    std::string replaced = dir.write("replaced", "0123456789"), prefix = dir.file("");
    // Each open: whether it succeeds, the last error it leaves, and the
    // file's size after it (-1: no file).
    const struct {
        std::string path;
        DWORD access, disposition, flags;
        bool opens;
        long long error, size;
    } rows[] = {
        {dir.file("new"), READWRITE, CREATE_NEW, 0, true, 0, 0},
        {dir.file("new"), READWRITE, CREATE_NEW, 0, false, ERROR_FILE_EXISTS, 0},
        {kept, GENERIC_READ, OPEN_ALWAYS, 0, true, ERROR_ALREADY_EXISTS, 11},
        {dir.file("none"), GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_FILE_NOT_FOUND, -1},
        {dir.file("nodir/none"), GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_PATH_NOT_FOUND, -1},
        {dir.file("none"), READWRITE, TRUNCATE_EXISTING, 0, false, ERROR_FILE_NOT_FOUND, -1},
        {cut, GENERIC_READ, TRUNCATE_EXISTING, 0, false, ERROR_INVALID_PARAMETER, 10},  // needs write access
        {cut, GENERIC_WRITE, TRUNCATE_EXISTING, 0, true, 0, 0},
        {replaced, GENERIC_READ, CREATE_ALWAYS, 0, true, ERROR_ALREADY_EXISTS, 0},
        {dir.file("fresh"), GENERIC_WRITE, CREATE_ALWAYS, 0, true, 0, 0},
        {kept, GENERIC_READ, 0, 0, false, ERROR_INVALID_PARAMETER, 11},
        {kept, GENERIC_READ, 6, 0, false, ERROR_INVALID_PARAMETER, 11},
        {kept, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, false, ERROR_INVALID_PARAMETER, 11},
        {dir.file("ro"), GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_READONLY, true, 0, 0},
        {"C:\\autoexec.bat", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_PATH_NOT_FOUND, -1},
        {"", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_PATH_NOT_FOUND, -1},
        {prefix + std::string(MAX_PATH, 'n'), GENERIC_WRITE, CREATE_ALWAYS, 0, false, ERROR_FILENAME_EXCED_RANGE, -1},
        {prefix + std::string(MAX_PATH - 1 - prefix.size(), 'f'), GENERIC_WRITE, CREATE_NEW, 0, true, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path + " disposition " + std::to_string(row.disposition));
        SetLastError(12345);
        HANDLE file = openwith(row.path, row.access, 0, row.disposition, row.flags);
        EXPECT_EQ(witherror({file != INVALID_HANDLE_VALUE}), V({row.opens, row.error}));
        closeall({file});
        EXPECT_EQ(ScopedTempDir::size(row.path), row.size);
    }
    struct stat info;
    EXPECT_EQ(V({stat(dir.file("ro").c_str(), &info), info.st_mode & 0222}), V({0, 0}));
    // FIFOs and devices are refused (opening or reading them could block).
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    for (const std::string& name : {dir.file("pipe"), std::string("/dev/null")})
        for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, TRUNCATE_EXISTING})
            EXPECT_EQ(witherror({openwith(name, READWRITE, 0, disposition) != INVALID_HANDLE_VALUE}),
                      V({0, ERROR_BAD_FILE_TYPE})) << name;
}

TEST(PlatformFiles, ShareModesRefuseConflictingOpensAndDeletes)
{
    ScopedTempDir dir;
    std::string path = dir.write("shared", "original contents"), link = dir.file("link");
    ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);  // the same file through another name
    // A second open while a first handle is open, allowed or refused.
    const struct {
        DWORD access, share;  // the first handle's
        std::string path;
        DWORD secondaccess, secondshare, disposition;
        bool opens;
    } rows[] = {
        {GENERIC_READ, FILE_SHARE_READ, path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, true},
        {GENERIC_READ, FILE_SHARE_READ, path, READWRITE, SHAREALL, OPEN_EXISTING, false},
        {GENERIC_READ, FILE_SHARE_READ, path, GENERIC_READ, 0, OPEN_EXISTING, false},
        {GENERIC_READ, FILE_SHARE_READ, path, READWRITE, FILE_SHARE_READ, CREATE_ALWAYS, false},
        {GENERIC_READ, FILE_SHARE_READ, link, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, false},
        {GENERIC_WRITE, 0, link, GENERIC_READ, SHAREALL, OPEN_EXISTING, false},
        {GENERIC_WRITE, FILE_SHARE_WRITE, path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING, true},
    };
    for (const auto& row : rows) {
        HANDLE first = openwith(path, row.access, row.share, OPEN_EXISTING);
        HANDLE second = openwith(row.path, row.secondaccess, row.secondshare, row.disposition);
        EXPECT_EQ(witherror({first != INVALID_HANDLE_VALUE, second != INVALID_HANDLE_VALUE}),
                  V({1, row.opens, row.opens ? 0 : ERROR_SHARING_VIOLATION})) << "row " << &row - rows;
        closeall({first, second});
    }
    EXPECT_EQ(ScopedTempDir::read(path), "original contents");  // the refused CREATE_ALWAYS cut nothing
    // Deleting needs every open handle to share deletion; the handle then
    // still reads the deleted file.
    HANDLE file = openwith(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(witherror({DeleteFileA(path.c_str()), ScopedTempDir::size(path)}), V({0, 17, ERROR_SHARING_VIOLATION}));
    CloseHandle(file);
    file = openwith(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    EXPECT_EQ(V({DeleteFileA(path.c_str()), ScopedTempDir::size(path), readall(file, 100) == "original contents"}),
              V({1, -1, 1}));
    CloseHandle(file);
    const std::pair<std::string, long long> refused[] = {{path, ERROR_FILE_NOT_FOUND},
        {dir.file("nodir/victim"), ERROR_PATH_NOT_FOUND}, {"c:/x", ERROR_PATH_NOT_FOUND},
        {dir.path(), ERROR_ACCESS_DENIED}};
    for (const auto& row : refused)
        EXPECT_EQ(witherror({DeleteFileA(row.first.c_str())}), V({0, row.second})) << row.first;
}

TEST(PlatformFiles, TransfersPointersAndEndsMoveBytesWhereAsked)
{
    ScopedTempDir dir;
    std::string path = dir.file("numbers"), bytes = "0123456789";
    // Write-through, sequential and unbuffered opens move bytes as usual.
    HANDLE file = openwith(path, READWRITE, 0, CREATE_NEW,
                           FILE_FLAG_WRITE_THROUGH | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_NO_BUFFERING);
    DWORD done = 0;
    EXPECT_EQ(V({WriteFile(file, bytes.data(), 10, &done, nullptr), done, SetFilePointer(file, 2, nullptr, FILE_BEGIN),
                 SetFilePointer(file, 5, nullptr, FILE_CURRENT), SetFilePointer(file, -4, nullptr, FILE_END)}),
              V({1, 10, 2, 7, 6}));
    EXPECT_EQ(readall(file, 50) + readall(file, 50), bytes.substr(6));  // at the end a read gets nothing
    // A move before the start, or of an unknown kind, fails and leaves the
    // position alone.
    EXPECT_EQ(witherror({SetFilePointer(file, -200, nullptr, FILE_CURRENT)}), V({NOPOINTER, ERROR_NEGATIVE_SEEK}));
    EXPECT_EQ(witherror({SetFilePointer(file, 0, nullptr, 7), SetFilePointer(file, 0, nullptr, FILE_CURRENT)}),
              V({NOPOINTER, 10, ERROR_INVALID_PARAMETER}));
    // High parts reach beyond 4 GiB; without one such a position cannot be
    // told, so the move fails. A negative high part moves backwards.
    LONG high = 1;
    DWORD sizehigh = 0;
    SetLastError(ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(witherror({SetFilePointer(file, 16, &high, FILE_BEGIN)}), V({16, 0}));
    EXPECT_EQ(V({high, SetEndOfFile(file), GetFileSize(file, &sizehigh), sizehigh}), V({1, 1, 16, 1}));
    EXPECT_EQ(witherror({SetFilePointer(file, 0, nullptr, FILE_CURRENT)}), V({NOPOINTER, ERROR_INVALID_PARAMETER}));
    high = -1;
    EXPECT_EQ(V({SetFilePointer(file, 0, &high, FILE_END), high}), V({16, 0}));
    // Each transfer needs its access right, and a live handle.
    CloseHandle(file);
    HANDLE reader = openwith(path, GENERIC_READ, SHAREALL, OPEN_EXISTING);
    HANDLE writer = openwith(path, GENERIC_WRITE, SHAREALL, OPEN_EXISTING);
    char buffer[8];
    OVERLAPPED overlapped = {};
    EXPECT_EQ(witherror({WriteFile(reader, "x", 1, &done, nullptr), done}), V({0, 0, ERROR_ACCESS_DENIED}));
    EXPECT_EQ(witherror({ReadFile(writer, buffer, 1, &done, nullptr)}), V({0, ERROR_ACCESS_DENIED}));
    EXPECT_EQ(witherror({SetEndOfFile(reader)}), V({0, ERROR_ACCESS_DENIED}));
    EXPECT_EQ(witherror({ReadFile(reader, buffer, 1, &done, &overlapped)}), V({0, ERROR_INVALID_PARAMETER}));
    closeall({reader, writer});
    EXPECT_EQ(witherror({ReadFile(reader, buffer, 1, &done, nullptr), CloseHandle(reader)}),
              V({0, 0, ERROR_INVALID_HANDLE}));
    EXPECT_EQ(witherror({GetFileSize(INVALID_HANDLE_VALUE, nullptr)}), V({INVALID_FILE_SIZE, ERROR_INVALID_HANDLE}));
    // The refused transfers held nothing open: the file opens alone again.
    file = openwith(path, READWRITE, 0, OPEN_EXISTING);
    EXPECT_EQ(V({file != INVALID_HANDLE_VALUE, CloseHandle(file)}), V({1, 1}));
}

TEST(PlatformFiles, MappedViewsOutliveTheirHandlesAndKeepTheFileWholeOrStopAtItsEnd)
{
    ScopedTempDir dir;
    std::string contents(3 * 4096, 'v'), path = dir.write("mapped", contents);
    // A writable mapping needs a writable handle, a writable view a writable
    // mapping; a view stays within the file and starts on the granularity.
    HANDLE file = openwith(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(witherror({CreateFileMappingA(file, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, 0, nullptr) != nullptr}),
              V({0, ERROR_ACCESS_DENIED}));
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY | SEC_COMMIT, 0, 0, nullptr);
    EXPECT_EQ(witherror({MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) != nullptr}), V({0, ERROR_ACCESS_DENIED}));
    EXPECT_EQ(witherror({MapViewOfFile(mapping, FILE_MAP_READ, 0, 1, 100) != nullptr}), V({0, ERROR_MAPPED_ALIGNMENT}));
    EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, contents.size() + 1), nullptr);
    const char* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, contents.size()));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(V({CloseHandle(mapping), CloseHandle(file), std::string(view, contents.size()) == contents}),
              V({1, 1, 1}));
    EXPECT_EQ(witherror({UnmapViewOfFile(view), UnmapViewOfFile(view)}), V({1, 0, ERROR_INVALID_ADDRESS}));
    // While a view or mapping lasts, the file cannot be cut, which would
    // make the view fault.
    file = openwith(path, READWRITE, SHAREALL, OPEN_EXISTING);
    mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    char* cut = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(cut, nullptr);
    SetFilePointer(file, 10, nullptr, FILE_BEGIN);
    EXPECT_EQ(witherror({SetEndOfFile(file)}), V({0, ERROR_USER_MAPPED_FILE}));
    EXPECT_EQ(witherror({openwith(path, READWRITE, SHAREALL, CREATE_ALWAYS) != INVALID_HANDLE_VALUE}),
              V({0, ERROR_USER_MAPPED_FILE}));
    // When another process cuts a view's file, copies through the view stop
    // at the file's end: reads fail part way, writes do not grow the file.
    ASSERT_EQ(truncate(path.c_str(), 4096 + 10), 0);
    char buffer[8192];
    SIZE_T done = 99;
    HANDLE self = GetCurrentProcess();
    EXPECT_EQ(V({ReadProcessMemory(self, cut + 4090, buffer, 16, &done), static_cast<long long>(done)}), V({1, 16}));
    EXPECT_EQ(witherror({ReadProcessMemory(self, cut + 4096, buffer, 8192, &done), static_cast<long long>(done)}),
              V({0, 10, ERROR_PARTIAL_COPY}));
    EXPECT_EQ(V({WriteProcessMemory(self, cut + 4100, "abcdefghij", 10, &done), static_cast<long long>(done)}),
              V({0, 6}));
    EXPECT_EQ(ScopedTempDir::read(path).substr(4090), "vvvvvvvvvvabcdef");
    // Memory outside any view, and another process, as Windows has them.
    EXPECT_EQ(V({WriteProcessMemory(self, buffer, "xyz", 3, &done), std::string(buffer, 3) == "xyz"}), V({1, 1}));
    EXPECT_EQ(witherror({ReadProcessMemory(reinterpret_cast<HANDLE>(8), buffer, buffer + 8, 3, &done)}),
              V({0, ERROR_INVALID_HANDLE}));
    // The file can be cut once the mapping and the view are gone; an empty
    // file cannot be mapped.
    EXPECT_EQ(V({CloseHandle(mapping), SetEndOfFile(file), UnmapViewOfFile(cut), SetEndOfFile(file)}), V({1, 0, 1, 1}));
    EXPECT_EQ(V({ScopedTempDir::size(path), CloseHandle(file)}), V({10, 1}));
    file = openwith(dir.write("empty", ""), GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_EQ(witherror({CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr) != nullptr}),
              V({0, ERROR_FILE_INVALID}));
    CloseHandle(file);
}

TEST(PlatformPaths, FullPathsDrivesTheCurrentDirectoryVolumesAndSearches)
{
    ScopedTempDir dir;
    ScopedWorkingDirectory restored;
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));
    // Relative paths resolve against the current directory; drive paths keep
    // their Windows form, a drive-relative one starting at the drive's root
    // since no drive has a current directory here.
    const struct {
        const char* path;
        std::string full;
        const char* filepart;
    } rows[] = {
        {"sub/./x/../name.txt", dir.path() + "/sub/name.txt", "name.txt"},
        {"/a//b/../../..", "/", nullptr},
        {"/a/b/", "/a/b/", nullptr},
        {"c:/dir\\.\\sub/../file", "c:\\dir\\file", "file"},
        {"C:", "C:\\", nullptr},
        {"Q:rel", "Q:\\rel", "rel"},
    };
    char full[MAX_PATH];
    for (const auto& row : rows) {
        char* filepart = full;
        EXPECT_EQ(GetFullPathNameA(row.path, MAX_PATH, full, &filepart), row.full.size()) << row.path;
        EXPECT_EQ(full, row.full);
        EXPECT_STREQ(filepart, row.filepart) << row.path;
    }
    // Too small a buffer gives the room needed and is not written.
    memset(full, '#', sizeof full);
    EXPECT_EQ(V({GetFullPathNameA("C:\\abc", 6, full, nullptr), full[0]}), V({7, '#'}));
    EXPECT_EQ(GetFullPathNameA("C:\\abc", 7, full, nullptr), 6u);
    EXPECT_EQ(witherror({GetFullPathNameA(std::string(MAX_PATH, 'a').c_str(), MAX_PATH, full, nullptr)}),
              V({0, ERROR_FILENAME_EXCED_RANGE}));
    EXPECT_EQ(GetFullPathNameA("", MAX_PATH, full, nullptr), 0u);
    // No drives are listed; only directories can be entered; the serial
    // number is the device's, the file system's name cut to the buffer and
    // still ended.
    char list[8] = "xxxxxxx", name[16] = "junk", system[3] = "zz";
    EXPECT_EQ(witherror({GetLogicalDrives(), GetLogicalDriveStringsA(1, list), list[0]}), V({0, 0, 0, 0}));
    EXPECT_EQ(witherror({SetCurrentDirectoryA(dir.write("plain", "").c_str())}), V({0, ERROR_DIRECTORY}));
    DWORD length = static_cast<DWORD>(dir.path().size());  // too small a buffer gives the room needed
    EXPECT_EQ(V({GetCurrentDirectoryA(sizeof full, full), full == dir.path(), GetCurrentDirectoryA(length, full)}),
              V({length, 1, length + 1}));
    DWORD flags = 0, serial = 0, component = 0, sectors, bytes, freeclusters, clusters;
    struct stat root;
    ASSERT_EQ(stat("/", &root), 0);
    ASSERT_TRUE(GetVolumeInformationA("/", name, sizeof name, &serial, &component, &flags, system, sizeof system));
    EXPECT_EQ(V({flags, name[0], component > 0, system[2] == 0 && strlen(system) == 2, serial}),
              V({FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES, 0, 1, 1, static_cast<DWORD>(root.st_dev)}));
    const std::pair<std::string, long long> refused[] = {
        {dir.file("plain"), ERROR_DIRECTORY}, {"C:\\", ERROR_PATH_NOT_FOUND}, {dir.file("none"), ERROR_FILE_NOT_FOUND}};
    for (const auto& row : refused)
        EXPECT_EQ(witherror({GetDiskFreeSpaceA(row.first.c_str(), &sectors, &bytes, &freeclusters, &clusters)}),
                  V({0, row.second})) << row.first;
    // An override stands in for the volume until it is taken away.
    PW_VOLUMEOVERRIDE fake = {FILE_UNICODE_ON_DISK, 8, 512, 123, 456};
    PW_setvolumeoverride(&fake);
    EXPECT_EQ(V({GetDiskFreeSpaceA("/", &sectors, &bytes, &freeclusters, &clusters), clusters}), V({1, 456}));
    PW_setvolumeoverride(nullptr);
    EXPECT_EQ(V({GetVolumeInformationA("/", nullptr, 0, nullptr, nullptr, &flags, nullptr, 0), flags}),
              V({1, FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES}));
    // Searches report the first match, with its size, attributes and time
    // (in 100-ns units since 1601: after the year 2000); wildcards; the
    // search is case-sensitive, as the volume says.
    dir.write("alpha.txt", "12345");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    const struct {
        const char* pattern;
        std::string first;  // empty: nothing found, with the error
        long long error, attributes, size;
    } searches[] = {
        {"alpha.txt", "alpha.txt", 0, FILE_ATTRIBUTE_NORMAL, 5},
        {"*.t?t", "alpha.txt", 0, FILE_ATTRIBUTE_NORMAL, 5},
        {"s*", "sub", 0, FILE_ATTRIBUTE_DIRECTORY, 0},
        {"*.exe", "", ERROR_FILE_NOT_FOUND, 0, 0},
        {"none/*", "", ERROR_PATH_NOT_FOUND, 0, 0},
        {"ALPHA.TXT", "", ERROR_FILE_NOT_FOUND, 0, 0},
    };
    for (const auto& row : searches) {
        WIN32_FIND_DATAA found = {};
        SetLastError(0);
        HANDLE search = FindFirstFileA(dir.file(row.pattern).c_str(), &found);
        uint64_t written = (static_cast<uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                           found.ftLastWriteTime.dwLowDateTime;
        EXPECT_EQ(witherror({found.cFileName == row.first, found.dwFileAttributes, found.nFileSizeLow,
                             written > 125911584000000000ull}),
                  V({1, row.attributes, row.size, !row.first.empty(), row.error})) << row.pattern;
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(dir.file("*").c_str(), &found);
    EXPECT_EQ(witherror({FindClose(search), FindClose(search)}), V({1, 0, ERROR_INVALID_HANDLE}));
}
