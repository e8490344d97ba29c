// tarlok end to end: the built program run on real files, checked by its exit
// status, its output and the bytes it leaves behind.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include <cstdio>

#include "fileinfo.h"
#include "patchfile.h"
#include "runprocess.h"
#include "savepatch.h"
#include "tempdir.h"

namespace {

namespace fs = std::filesystem;

const std::string KEY(TARLOK_KEY, TARLOK_KEYLENGTH);  // with its NUL
const std::string USAGE = "USAGE: tarlok target.sav\n";
const std::string VALUE = "\x2A\x01\xFF\x7F";
const size_t NOHIT = std::string::npos;

std::string filler(size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<char>(seed + i * 37 + i / 97);
    return bytes;
}

// The bytes with the value after the key at hit zeroed.
std::string patched(std::string bytes, size_t hit)
{
    return hit == NOHIT ? bytes : bytes.replace(hit + KEY.size(), 4, 4, '\0');
}

void expectrun(const PROCESSRESULT& run, int status, const std::string& out = "", const std::string& err = "")
{
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
}

// Writes the named file and runs tarlok (on that file unless args say
// otherwise): saved in place, with the value after the key at hit zeroed, the
// same file with the same permissions, no other file made.
void expectsaved(const ScopedTempDir& dir, const std::string& name, const std::string& bytes, size_t hit,
                 std::vector<std::string> args = {}, const PROCESSOPTIONS& options = {})
{
    SCOPED_TRACE(name);
    std::string path = dir.write(name, bytes);
    std::set<std::string> names = directoryentries(dir.path());
    uint64_t identity = fileidentity(path);
    fs::perms mode = fs::status(path).permissions();
    expectrun(runprocess(args.empty() ? std::vector<std::string>{TARLOK_PATH, path} : args, options), 1);
    EXPECT_TRUE(ScopedTempDir::read(path) == patched(bytes, hit));
    EXPECT_EQ(fileidentity(path), identity);
    EXPECT_EQ(fs::status(path).permissions(), mode);
    EXPECT_EQ(directoryentries(dir.path()), names);
}

// Run as an ordinary user, who cannot write read-only files.
const PROCESSOPTIONS PLAINUSER = {"", -1, true};

TEST(TarlokRun, SavesTheFileWithTheFirstKeysValueZeroedOrAsItWas)
{
    ScopedTempDir dir;
    const std::string sample = ScopedTempDir::read(std::string(VORL_SOURCE_DIR) + "/examples/sample.sav");
    ASSERT_NE(sample.find(KEY), NOHIT);
    const std::string head = filler(1000, 1);
    const struct {
        std::string bytes;
        size_t hit;
    } rows[] = {
        {KEY + VALUE, 0},
        {head + KEY + VALUE + filler(300, 2) + KEY + VALUE + filler(5000, 3), head.size()},
        {sample, sample.find(KEY)},
        {KEY + "\x01", NOHIT},       // the shortest file loaded: too short after the key
        {filler(100000, 6), NOHIT},  // more than one transfer piece
    };
    for (const auto& row : rows)
        expectsaved(dir, std::to_string(row.bytes.size()) + ".sav", row.bytes, row.hit);
}

TEST(TarlokRun, WhatIsNotASaveOrCannotBeLoadedIsNeverWritten)
{
    ScopedTempDir dir;
    // Too large for the heap: the library's alert ends the run.
    std::string huge = KEY + VALUE + filler(33 * 1024 * 1024, 18);
    PROCESSRESULT run = runprocess({TARLOK_PATH, dir.write("huge.sav", huge)});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("MEM_alloc - OUT OF MEMORY"), NOHIT) << run.err;
    EXPECT_EQ(run.out.find(USAGE), NOHIT);
    EXPECT_TRUE(ScopedTempDir::read(dir.file("huge.sav")) == huge);
    // Everything else gives the usage line at once.
    expectrun(runprocess({TARLOK_PATH}), 25, USAGE);
    for (const std::string& bytes : {std::string(), filler(10, 7), KEY}) {
        SCOPED_TRACE(bytes.size());
        std::string path = dir.write("small" + std::to_string(bytes.size()) + ".sav", bytes);
        expectrun(runprocess({TARLOK_PATH, path}), 25, USAGE);
        EXPECT_EQ(ScopedTempDir::read(path), bytes);
    }
    std::set<std::string> names = directoryentries(dir.path());
    expectrun(runprocess({TARLOK_PATH, dir.file("missing.sav")}), 25, USAGE);
    EXPECT_EQ(directoryentries(dir.path()), names);
    expectrun(runprocess({TARLOK_PATH, dir.path()}), 25, USAGE);
#ifndef _WIN32
    // At once, also while a writer holds the FIFO open.
    std::string fifo = dir.file("p.sav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    expectrun(runprocess({TARLOK_PATH, fifo}), 25, USAGE);
    expectrun(runprocess({TARLOK_PATH, "/dev/zero"}), 25, USAGE);
    int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    expectrun(runprocess({TARLOK_PATH, fifo}), 25, USAGE);
    close(writer);
#endif
}

TEST(TarlokRun, PathsArgumentsAndLinks)
{
    ScopedTempDir dir;
    const std::string body = filler(20000, 8) + KEY + VALUE + filler(64, 9);
    // The second argument is ignored, even when it names a save.
    std::string second = dir.write("second.sav", body);
    expectsaved(dir, "first.sav", body, 20000, {TARLOK_PATH, dir.file("first.sav"), second});
    EXPECT_TRUE(ScopedTempDir::read(second) == body);
    expectsaved(dir, "my save file.sav", body, 20000, {TARLOK_PATH, "./my save file.sav"}, {dir.path()});
    // A hard link sees the patch.
    dir.write("inplace.sav", "");
    ASSERT_TRUE(makehardlink(dir.file("inplace.sav"), dir.file("hardlink.sav")));
#ifndef _WIN32
    ASSERT_EQ(chmod(dir.file("inplace.sav").c_str(), 0604), 0);
#endif
    expectsaved(dir, "inplace.sav", body, 20000);
    EXPECT_TRUE(ScopedTempDir::read(dir.file("hardlink.sav")) == patched(body, 20000));
#ifndef _WIN32
    // "|" is an ordinary character in a POSIX file name.
    expectsaved(dir, "a|b.sav", body, 20000);
    // Through a symbolic link, which stays a link (Windows lets only
    // privileged users make one).
    ASSERT_EQ(symlink("link target.sav", dir.file("link.sav").c_str()), 0);
    expectsaved(dir, "link target.sav", body, 20000, {TARLOK_PATH, dir.file("link.sav")});
    EXPECT_TRUE(fs::is_symlink(dir.file("link.sav")));
#endif
}

TEST(TarlokRun, AReadOnlyFileIsReportedAndLeftAsItWas)
{
    ScopedTempDir dir;
    std::string body = filler(5000, 12) + KEY + VALUE + filler(10, 13);
    std::string path = dir.write("readonly.sav", body);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
#ifdef _WIN32
    // Windows refuses every user; wine run as root lets the file be written.
    HANDLE probe = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE && CloseHandle(probe))
        GTEST_SKIP() << "this system lets a read-only file be written (wine run as root)";
#else
    if (runprocess({"/bin/sh", "-c", "exec 3>>\"$0\"", path}, PLAINUSER).status == 0)
        GTEST_SKIP() << "this process cannot run a program without the power to write read-only files";
#endif
    std::set<std::string> names = directoryentries(dir.path());
    expectrun(runprocess({TARLOK_PATH, path}, PLAINUSER), 2, "",
              "tarlok: " + path + ": not saved: permission denied (error 5)\n");
    EXPECT_EQ(ScopedTempDir::read(path), body);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0444));
    EXPECT_EQ(directoryentries(dir.path()), names);
}

TEST(TarlokRun, ASaveFailingPartWayLeavesTheFileWhole)
{
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no per-process file-size limit to make a write fail part-way";
#endif
    ScopedTempDir dir;
    const PROCESSOPTIONS full = {"", 12000};  // writes past it fail, as on a full disk
    // The key lies beyond what can be written: the file stays as it was. The
    // limit's signal is as a shell leaves it: tarlok must keep it from ending the run.
    std::string distant = filler(30000, 14) + KEY + VALUE + filler(10000, 15);
    std::string path = dir.write("distant.sav", distant);
    std::set<std::string> names = directoryentries(dir.path());
    expectrun(runprocess({TARLOK_PATH, path}, full), 2, "",
              "tarlok: " + path + ": not saved: the file would grow beyond the allowed file size (error 223)\n");
    EXPECT_TRUE(ScopedTempDir::read(path) == distant);
    EXPECT_EQ(directoryentries(dir.path()), names);
    // The key lies in what can be written: patched or not, never damaged.
    std::string early = filler(100, 16) + KEY + VALUE + filler(30000, 17);
    path = dir.write("early.sav", early);
    EXPECT_EQ(runprocess({TARLOK_PATH, path}, full).status, 2);
    std::string now = ScopedTempDir::read(path);
    EXPECT_TRUE(now == early || now == patched(early, 100));
}

// tarlok in a child of this process, with another program's write between its
// load and its save; the child checks that the other program's version stays.
std::string otherversion;

int runwhileanotherwrites(const std::string& path)
{
    TARLOK_beforesave = [](const char* saved) {
        std::string replacement = saved + std::string(".new");
        std::ofstream(replacement, std::ios::binary) << otherversion;
        std::remove(saved);
        std::rename(replacement.c_str(), saved);
    };
    int status = TARLOK_run(path.c_str());
    return ScopedTempDir::read(path) == otherversion ? status : 99;
}

TEST(TarlokChange, AFileChangedBeforeTheSaveIsNotWritten)
{
    ScopedTempDir dir;
    std::string body = filler(3000, 19) + KEY + VALUE;
    // Longer, then the same length with other bytes (a file of its own: a new
    // identity even when the clock has not moved on).
    for (const std::string& version : {body + "more", filler(3000, 20) + KEY + VALUE}) {
        std::string path = dir.write("changing.sav", body);
        otherversion = version;
        EXPECT_EXIT(exit(runwhileanotherwrites(path)), testing::ExitedWithCode(2),
                    "^tarlok: .*changing.sav: not saved: the file changed while it was being patched\n$");
    }
}

}  // namespace
