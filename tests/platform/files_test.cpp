// The POSIX platform's file, mapping, path, volume and directory services, checked through them and the bytes on disk.
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

}  // namespace

TEST(PlatformFiles, OpensFollowTheirDispositionAndRefuseAllButPlainFiles)
{
    ScopedTempDir dir;
    std::string kept = dir.write("kept", "hello world"), cut = dir.write("cut", "0123456789"), prefix = dir.file("");
    // Whether the open succeeds, its last error, the file's size after it (-1: no file).
    const struct { std::string path; DWORD access, disposition, flags; bool opens; long long error, size; } rows[] = {
        {dir.file("new"), READWRITE, CREATE_NEW, 0, true, 0, 0},
        {dir.file("new"), READWRITE, CREATE_NEW, 0, false, ERROR_FILE_EXISTS, 0},
        {kept, GENERIC_READ, OPEN_ALWAYS, 0, true, ERROR_ALREADY_EXISTS, 11},
        {dir.file("none"), GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_FILE_NOT_FOUND, -1},
        {dir.file("nodir/none"), GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_PATH_NOT_FOUND, -1},
        {cut, GENERIC_READ, TRUNCATE_EXISTING, 0, false, ERROR_INVALID_PARAMETER, 10},  // needs write access
        {cut, GENERIC_WRITE, TRUNCATE_EXISTING, 0, true, 0, 0},
        {kept, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, false, ERROR_INVALID_PARAMETER, 11},
        {"C:\\autoexec.bat", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_PATH_NOT_FOUND, -1},
        {prefix + std::string(MAX_PATH, 'n'), GENERIC_WRITE, CREATE_ALWAYS, 0, false, ERROR_FILENAME_EXCED_RANGE, -1},
        {prefix + std::string(MAX_PATH - 1 - prefix.size(), 'f'), GENERIC_WRITE, CREATE_NEW, 0, true, 0, 0},
    };
    for (const auto& row : rows) {
        SetLastError(12345);
        HANDLE file = openwith(row.path, row.access, 0, row.disposition, row.flags);
        EXPECT_EQ(witherror({file != INVALID_HANDLE_VALUE}), V({row.opens, row.error})) << row.path;
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        EXPECT_EQ(ScopedTempDir::size(row.path), row.size) << row.path;
    }
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);  // opening or reading a FIFO or a device could block
    for (const std::string& name : {dir.file("pipe"), std::string("/dev/null")})
        EXPECT_EQ(witherror({openwith(name, READWRITE, 0, OPEN_ALWAYS) != INVALID_HANDLE_VALUE,
                             openwith(name, READWRITE, 0, CREATE_ALWAYS) != INVALID_HANDLE_VALUE}),
                  V({0, 0, ERROR_BAD_FILE_TYPE})) << name;
}

TEST(PlatformFiles, TransfersPointersAndEndsMoveBytesWhereAsked)
{
    ScopedTempDir dir;
    std::string path = dir.file("numbers");
    HANDLE file = openwith(path, READWRITE, 0, CREATE_NEW, FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING);
    DWORD done = 0, sizehigh = 0;
    EXPECT_EQ(V({WriteFile(file, "0123456789", 10, &done, nullptr), SetFilePointer(file, 2, nullptr, FILE_BEGIN),
                 SetFilePointer(file, 5, nullptr, FILE_CURRENT), SetFilePointer(file, -4, nullptr, FILE_END)}),
              V({1, 2, 7, 6}));
    char got[50];
    EXPECT_EQ(V({ReadFile(file, got, 50, &done, nullptr), done, std::string(got, 4) == "6789",
                 ReadFile(file, got, 50, &done, nullptr), done}), V({1, 4, 1, 1, 0}));
    // A failed move leaves the position alone; beyond 4 GiB only the high DWORD can tell it.
    EXPECT_EQ(witherror({SetFilePointer(file, -200, nullptr, FILE_CURRENT)}), V({NOPOINTER, ERROR_NEGATIVE_SEEK}));
    LONG high = 1;
    SetLastError(ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(witherror({SetFilePointer(file, 16, &high, FILE_BEGIN)}), V({16, 0}));
    EXPECT_EQ(V({high, SetEndOfFile(file), GetFileSize(file, &sizehigh), sizehigh}), V({1, 1, 16, 1}));
    EXPECT_EQ(witherror({SetFilePointer(file, 0, nullptr, FILE_CURRENT)}), V({NOPOINTER, ERROR_INVALID_PARAMETER}));
    // A refused open leaves the share registry unlocked and unchanged for the next.
    HANDLE reader = openwith(path, GENERIC_READ, SHAREALL, OPEN_EXISTING);
    EXPECT_EQ(witherror({reader != INVALID_HANDLE_VALUE, CloseHandle(file)}), V({0, 1, ERROR_SHARING_VIOLATION}));
    reader = openwith(path, GENERIC_READ, SHAREALL, OPEN_EXISTING);
    EXPECT_EQ(witherror({WriteFile(reader, "x", 1, &done, nullptr), done}), V({0, 0, ERROR_ACCESS_DENIED}));
    EXPECT_EQ(witherror({CloseHandle(reader), ReadFile(reader, &done, 1, &done, nullptr)}),
              V({1, 0, ERROR_INVALID_HANDLE}));
    // The refused transfer held nothing open: the file opens alone again.
    file = openwith(path, READWRITE, 0, OPEN_EXISTING);
    EXPECT_EQ(V({file != INVALID_HANDLE_VALUE, CloseHandle(file)}), V({1, 1}));
}

TEST(PlatformFiles, MappedViewsOutliveTheirHandlesAndKeepTheFileWholeOrStopAtItsEnd)
{
    ScopedTempDir dir;
    std::string contents(3 * 4096, 'v'), path = dir.write("mapped", contents);
    HANDLE file = openwith(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY | SEC_COMMIT, 0, 0, nullptr);
    const char* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, contents.size()));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(witherror({CloseHandle(mapping), CloseHandle(file), std::string(view, contents.size()) == contents,
                         UnmapViewOfFile(view), UnmapViewOfFile(view)}), V({1, 1, 1, 1, 0, ERROR_INVALID_ADDRESS}));
    // Cutting the file under a view would make the view fault.
    file = openwith(path, READWRITE, SHAREALL, OPEN_EXISTING);
    mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    char* cut = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(cut, nullptr);
    SetFilePointer(file, 10, nullptr, FILE_BEGIN);
    EXPECT_EQ(witherror({SetEndOfFile(file)}), V({0, ERROR_USER_MAPPED_FILE}));
    // Another process may still cut it: copies through the view stop at the file's end.
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
    // The copies above kept no reference: the file can be cut once mapping and view are gone.
    EXPECT_EQ(V({CloseHandle(mapping), SetEndOfFile(file), UnmapViewOfFile(cut), SetEndOfFile(file)}), V({1, 0, 1, 1}));
    EXPECT_EQ(V({ScopedTempDir::size(path), CloseHandle(file)}), V({10, 1}));
}

TEST(PlatformPaths, FullPathsDrivesTheCurrentDirectoryVolumesAndSearches)
{
    ScopedTempDir dir;
    ScopedWorkingDirectory restored;
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));
    // No drive has a current directory here: a drive-relative path starts at its root.
    const struct { const char* path; std::string full; const char* filepart; } rows[] = {
        {"sub/./x/../name.txt", dir.path() + "/sub/name.txt", "name.txt"}, {"/a//b/../../..", "/", nullptr},
        {"c:/dir\\.\\sub/../file", "c:\\dir\\file", "file"}, {"Q:rel", "Q:\\rel", "rel"}};
    char full[MAX_PATH];
    for (const auto& row : rows) {
        char* filepart = full;
        EXPECT_EQ(GetFullPathNameA(row.path, MAX_PATH, full, &filepart), row.full.size()) << row.path;
        EXPECT_EQ(full, row.full);
        EXPECT_STREQ(filepart, row.filepart) << row.path;
    }
    memset(full, '#', sizeof full);  // too small a buffer gives the room needed and is not written
    EXPECT_EQ(V({GetFullPathNameA("C:\\ab", 5, full, nullptr), full[0], GetFullPathNameA("C:\\ab", 6, full, nullptr)}),
              V({6, '#', 5}));
    // Beneath a current directory longer than MAX_PATH: the room needed, and its ".." steps taken.
    std::string deep = dir.path();
    for (int level = 0; level < 3; level++)
        ASSERT_EQ(mkdir((deep += "/" + std::string(120, 'd')).c_str(), 0700), 0);
    ASSERT_EQ(chdir(deep.c_str()), 0);  // too long for SetCurrentDirectoryA
    EXPECT_EQ(V({GetFullPathNameA("x/../y", MAX_PATH, full, nullptr), GetFullPathNameA("../../../z", MAX_PATH, full,
                                                                                        nullptr)}),
              V({static_cast<long long>(deep.size() + 3), static_cast<long long>(dir.path().size() + 2)}));
    EXPECT_EQ(full, dir.path() + "/z");
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));
    char list[8] = "xxxxxxx", name[16] = "junk", system[3] = "zz";
    EXPECT_EQ(witherror({GetLogicalDrives(), GetLogicalDriveStringsA(1, list), list[0]}), V({0, 0, 0, 0}));
    EXPECT_EQ(witherror({SetCurrentDirectoryA(dir.write("plain", "").c_str())}), V({0, ERROR_DIRECTORY}));
    DWORD length = static_cast<DWORD>(dir.path().size());
    EXPECT_EQ(V({GetCurrentDirectoryA(sizeof full, full), full == dir.path(), GetCurrentDirectoryA(length, full)}),
              V({length, 1, length + 1}));
    // The serial number is the device's; the file system's name is cut to the buffer and still ended.
    DWORD flags = 0, serial = 0, component = 0, sectors, bytes, freeclusters, clusters;
    struct stat root;
    ASSERT_EQ(stat("/", &root), 0);
    ASSERT_TRUE(GetVolumeInformationA("/", name, sizeof name, &serial, &component, &flags, system, sizeof system));
    EXPECT_EQ(V({flags, name[0], component > 0, system[2] == 0 && strlen(system) == 2, serial}),
              V({FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES, 0, 1, 1, static_cast<DWORD>(root.st_dev)}));
    PW_VOLUMEOVERRIDE fake = {FILE_UNICODE_ON_DISK, 8, 512, 123, 456};
    PW_setvolumeoverride(&fake);
    EXPECT_EQ(V({GetDiskFreeSpaceA("/", &sectors, &bytes, &freeclusters, &clusters), clusters}), V({1, 456}));
    PW_setvolumeoverride(nullptr);
    EXPECT_EQ(V({GetVolumeInformationA("/", nullptr, 0, nullptr, nullptr, &flags, nullptr, 0), flags}),
              V({1, FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES}));
    // The first match, its time in 100-ns units since 1601 (after 2000); case-sensitive as the volume says.
    dir.write("alpha.txt", "12345");
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA(dir.file("*.t?t").c_str(), &found);
    uint64_t written = (static_cast<uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                       found.ftLastWriteTime.dwLowDateTime;
    EXPECT_EQ(witherror({found.cFileName == std::string("alpha.txt"), found.dwFileAttributes, found.nFileSizeLow,
                         written > 125911584000000000ull, FindClose(search), FindClose(search)}),
              V({1, FILE_ATTRIBUTE_NORMAL, 5, 1, 1, 0, ERROR_INVALID_HANDLE}));
    const std::pair<const char*, long long> missing[] = {
        {"none/*", ERROR_PATH_NOT_FOUND}, {"ALPHA.TXT", ERROR_FILE_NOT_FOUND}, {"*.exe", ERROR_FILE_NOT_FOUND}};
    for (const auto& row : missing)
        EXPECT_EQ(witherror({FindFirstFileA(dir.file(row.first).c_str(), &found) == INVALID_HANDLE_VALUE}),
                  V({1, row.second})) << row.first;
}
