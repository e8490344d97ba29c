// tarlok end to end: the built program run on real files, checked by its exit
// status, its output and the bytes it leaves behind.
#include <gtest/gtest.h>

#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "fileinfo.h"
#include "patchfile.h"
#include "runprocess.h"
#include "savepatch.h"
#include "tempdir.h"

namespace {

const std::string KEY(TARLOK_KEY, TARLOK_KEYLENGTH);  // with its NUL
const std::string USAGE = "USAGE: tarlok target.sav\n";
const std::string VALUE = "\x2A\x01\xFF\x7F";
const std::string ZERO(4, '\0');

std::string filler(size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<char>(seed + i * 37 + i / 97);
    return bytes;
}

PROCESSRESULT tarlok(const std::vector<std::string>& args, const PROCESSOPTIONS& options = PROCESSOPTIONS())
{
    std::vector<std::string> argv = {TARLOK_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return runprocess(argv, options);
}

std::set<std::string> entries(const std::string& directory) { return directoryentries(directory); }

struct stat status(const std::string& path)
{
    struct stat info;
    memset(&info, 0, sizeof info);
#ifdef _WIN32
    stat(path.c_str(), &info);
#else
    lstat(path.c_str(), &info);
#endif
    return info;
}

// The modification time as exactly as the system keeps it.
long long modified(const std::string& path)
{
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return static_cast<long long>(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
#else
    struct stat info = status(path);
    return static_cast<long long>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
#endif
}

void expectsaved(const PROCESSRESULT& run)
{
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

TEST(TarlokRun, PatchesTheValueAfterTheFirstKey)
{
    ScopedTempDir dir;
    std::string path = dir.write("start.sav", KEY + VALUE);
    expectsaved(tarlok({path}));
    EXPECT_EQ(ScopedTempDir::read(path), KEY + ZERO);

    std::string head = filler(1000, 1), middle = filler(300, 2), tail = filler(5000, 3);
    path = dir.write("twice.sav", head + KEY + VALUE + middle + KEY + VALUE + tail);
    expectsaved(tarlok({path}));
    EXPECT_EQ(ScopedTempDir::read(path), head + KEY + ZERO + middle + KEY + VALUE + tail);

    // A longer name ending in the key still holds the key as a string.
    path = dir.write("suffix.sav", "Old" + KEY + VALUE + "end");
    expectsaved(tarlok({path}));
    EXPECT_EQ(ScopedTempDir::read(path), "Old" + KEY + ZERO + "end");
}

TEST(TarlokRun, FilesWithoutACompleteKeyComeBackUnchanged)
{
    ScopedTempDir dir;
    const std::string longer = std::string(TARLOK_KEY) + "s" + VALUE + filler(20, 4);
    const std::string lower = "parts.OwnedDamageRepairList" + std::string(1, '\0') + VALUE;
    const std::string cases[] = {
        longer,                            // 27 characters and not a NUL
        lower,                             // case matters
        KEY + "\x01",                      // 29 bytes: one start position, too near the end
        KEY + "\x01\x02\x03",              // a hit with three bytes after it is no hit
        filler(29, 5),                     // 29 bytes, no key
        filler(100000, 6),                 // larger than one transfer piece, no key
    };
    int n = 0;
    for (const std::string& bytes : cases) {
        SCOPED_TRACE(n);
        std::string path = dir.write("case" + std::to_string(n++) + ".sav", bytes);
        uint64_t before = fileidentity(path);
        expectsaved(tarlok({path}));
        EXPECT_EQ(ScopedTempDir::read(path), bytes);
        EXPECT_EQ(fileidentity(path), before);
    }
}

TEST(TarlokRun, TooSmallMissingAndDirectoriesGiveTheUsageLine)
{
    ScopedTempDir dir;
    // Read-only and run as an ordinary user: an attempt to save would end in
    // status 2, so the usage line shows that no save was tried.
    PROCESSOPTIONS plain;
    plain.nopermissionoverride = true;
    const std::string sizes[] = {"", filler(10, 7), KEY};
    for (const std::string& bytes : sizes) {
        SCOPED_TRACE(bytes.size());
        std::string path = dir.write("small" + std::to_string(bytes.size()) + ".sav", bytes);
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
        long long before = modified(path);
        PROCESSRESULT run = tarlok({path}, plain);
        EXPECT_EQ(run.status, 25);
        EXPECT_EQ(run.out, USAGE);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(ScopedTempDir::read(path), bytes);
        EXPECT_EQ(modified(path), before);
    }

    std::set<std::string> names = entries(dir.path());
    ASSERT_EQ(names.count("small0.sav"), 1u);
    PROCESSRESULT run = tarlok({dir.file("missing.sav")});
    EXPECT_EQ(run.status, 25);
    EXPECT_EQ(run.out, USAGE);
    EXPECT_EQ(entries(dir.path()), names);

    run = tarlok({dir.path()});
    EXPECT_EQ(run.status, 25);
    EXPECT_EQ(run.out, USAGE);
    EXPECT_TRUE(S_ISDIR(status(dir.path()).st_mode));
}

TEST(TarlokRun, PathsArgumentsAndLinks)
{
    ScopedTempDir dir;
    std::string body = filler(64, 8) + KEY + VALUE + filler(64, 9);
    std::string patched = filler(64, 8) + KEY + ZERO + filler(64, 9);

    // The second argument is ignored, even when it names a save.
    std::string first = dir.write("first.sav", body);
    std::string second = dir.write("second.sav", body);
    expectsaved(tarlok({first, second}));
    EXPECT_EQ(ScopedTempDir::read(first), patched);
    EXPECT_EQ(ScopedTempDir::read(second), body);

    // Relative to the working directory, and with spaces.
    std::string spaced = dir.write("my save file.sav", body);
    PROCESSOPTIONS inside;
    inside.directory = dir.path();
    expectsaved(tarlok({"my save file.sav"}, inside));
    EXPECT_EQ(ScopedTempDir::read(spaced), patched);
    std::string relative = dir.write("relative.sav", body);
    expectsaved(tarlok({"./relative.sav"}, inside));
    EXPECT_EQ(ScopedTempDir::read(relative), patched);

#ifndef _WIN32
    // "|" is an ordinary character in a POSIX file name.
    std::string barred = dir.write("a|b.sav", body);
    expectsaved(tarlok({barred}));
    EXPECT_EQ(ScopedTempDir::read(barred), patched);

    // Through a symbolic link: the link stays a link, its target is patched.
    // (Windows lets only privileged users make symbolic links.)
    std::string target = dir.write("target.sav", body);
    std::string link = dir.file("link.sav");
    ASSERT_EQ(symlink("target.sav", link.c_str()), 0);
    expectsaved(tarlok({link}));
    EXPECT_TRUE(S_ISLNK(status(link).st_mode));
    EXPECT_EQ(ScopedTempDir::read(target), patched);
#endif
}

TEST(TarlokRun, PatchesInPlaceKeepingIdentityAndPermissions)
{
    ScopedTempDir dir;
    std::string body = filler(20000, 10) + KEY + VALUE + filler(30, 11);
    std::string path = dir.write("inplace.sav", body);
    std::string hard = dir.file("hardlink.sav");
    ASSERT_TRUE(makehardlink(path, hard));
#ifndef _WIN32
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
#endif
    struct stat before = status(path);
    uint64_t identity = fileidentity(path);

    expectsaved(tarlok({path}));
    struct stat after = status(path);
    EXPECT_EQ(fileidentity(path), identity);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(linkcount(path), 2u);
    EXPECT_EQ(after.st_size, before.st_size);
    std::string expected = filler(20000, 10) + KEY + ZERO + filler(30, 11);
    EXPECT_EQ(ScopedTempDir::read(hard), expected);
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{".", "..", "inplace.sav", "hardlink.sav"}));
}

TEST(TarlokRun, AReadOnlyFileIsReportedAndLeftAsItWas)
{
    ScopedTempDir dir;
    std::string body = filler(5000, 12) + KEY + VALUE + filler(10, 13);
    std::string path = dir.write("readonly.sav", body);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    PROCESSOPTIONS plain;
    plain.nopermissionoverride = true;
#ifdef _WIN32
    // Windows refuses every user; wine run as root lets the file be written.
    HANDLE probe = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        GTEST_SKIP() << "this system lets a read-only file be written (wine run as root)";
    }
#else
    PROCESSRESULT probe = runprocess({"/bin/sh", "-c", "exec 3>>\"$0\"", path}, plain);
    if (probe.status == 0)
        GTEST_SKIP() << "this process cannot run a program without the power to write read-only files";
#endif
    std::set<std::string> names = entries(dir.path());
    ASSERT_EQ(names.count("readonly.sav"), 1u);

    PROCESSRESULT run = tarlok({path}, plain);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("permission denied"), std::string::npos) << run.err;
    EXPECT_EQ(ScopedTempDir::read(path), body);
    EXPECT_EQ(status(path).st_mode & 07777, 0444u);
    EXPECT_EQ(entries(dir.path()), names);
}

TEST(TarlokRun, ASaveFailingPartWayLeavesTheFileWhole)
{
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no per-process file-size limit to make a write fail part-way";
#endif
    ScopedTempDir dir;
    PROCESSOPTIONS full;
    full.filesizelimit = 12000;  // writes past it fail, as on a full disk

    // The key lies beyond what can be written: the file stays as it was.
    std::string distant = filler(30000, 14) + KEY + VALUE + filler(10000, 15);
    std::string path = dir.write("distant.sav", distant);
    std::set<std::string> names = entries(dir.path());
    ASSERT_EQ(names.count("distant.sav"), 1u);
    // The limit's signal keeps its default disposition, as from a shell:
    // tarlok itself must keep it from ending the run.
    PROCESSRESULT run = tarlok({path}, full);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "tarlok: " + path + ": not saved: the file would grow beyond the allowed file size (error 223)\n");
    EXPECT_EQ(ScopedTempDir::read(path), distant);
    EXPECT_EQ(entries(dir.path()), names);

    // The key lies in what can be written: patched or not, never damaged.
    std::string early = filler(100, 16) + KEY + VALUE + filler(30000, 17);
    std::string patched = filler(100, 16) + KEY + ZERO + filler(30000, 17);
    path = dir.write("early.sav", early);
    run = tarlok({path}, full);
    EXPECT_EQ(run.status, 2);
    std::string now = ScopedTempDir::read(path);
    EXPECT_TRUE(now == early || now == patched);
}

#ifndef _WIN32
TEST(TarlokRun, FifosSocketsAndDevicesGiveTheUsageLineAtOnce)
{
    ScopedTempDir dir;
    std::string fifo = dir.file("p.sav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        PROCESSRESULT run = tarlok({path});
        EXPECT_EQ(run.status, 25) << path;
        EXPECT_EQ(run.out, USAGE) << path;
    }
    // Also while a writer holds the FIFO open.
    int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(tarlok({fifo}).status, 25);
    close(writer);
}
#endif

// tarlok in a child of this process, with another program's write between
// its load and its save: it writes nothing, so the other program's version
// stays. The child checks the file itself (where death tests start the
// program afresh, the child has a temporary folder of its own).
std::string otherversion;
void otherwrites(const char* path)
{
    std::string replacement = path + std::string(".new");
    std::ofstream(replacement, std::ios::binary) << otherversion;
    std::remove(path);
    std::rename(replacement.c_str(), path);
}

int runwhileanotherwrites(const std::string& path, const std::string& version)
{
    otherversion = version;
    TARLOK_beforesave = otherwrites;
    int status = TARLOK_run(path.c_str());
    return ScopedTempDir::read(path) == version ? status : 99;
}

TEST(TarlokChange, AFileChangedBeforeTheSaveIsNotWritten)
{
    ScopedTempDir dir;
    std::string body = filler(3000, 19) + KEY + VALUE;
    // Longer, then the same length with other bytes (a file of its own, so
    // a new identity even when the clock has not moved on).
    for (const std::string& version : {body + "more", filler(3000, 20) + KEY + VALUE}) {
        std::string path = dir.write("changing.sav", body);
        EXPECT_EXIT(exit(runwhileanotherwrites(path, version)), testing::ExitedWithCode(2),
                    "^tarlok: .*changing.sav: not saved: the file changed while it was being patched\n$");
    }
}

TEST(TarlokRun, AFileLargerThanTheHeapEndsWithTheMemoryAlert)
{
    ScopedTempDir dir;
    std::string body = KEY + VALUE + filler(33 * 1024 * 1024, 18);
    std::string path = dir.write("huge.sav", body);
    PROCESSRESULT run = tarlok({path});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("MEM_alloc - OUT OF MEMORY"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find(USAGE), std::string::npos);
    EXPECT_TRUE(ScopedTempDir::read(path) == body);
}

TEST(TarlokRun, TheBundledSampleIsPatchedAtItsOneKey)
{
    ScopedTempDir dir;
    std::string sample = ScopedTempDir::read(std::string(VORL_SOURCE_DIR) + "/examples/sample.sav");
    size_t at = sample.find(KEY);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(sample.find(KEY, at + 1), std::string::npos);
    std::string path = dir.write("sample.sav", sample);
    expectsaved(tarlok({path}));
    std::string expected = sample;
    expected.replace(at + KEY.size(), 4, ZERO);
    EXPECT_EQ(ScopedTempDir::read(path), expected);
    EXPECT_NE(sample, expected);
}

}  // namespace
