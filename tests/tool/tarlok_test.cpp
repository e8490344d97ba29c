// tarlok end to end: the built program run on real files, checked by its exit
// status, its output and the bytes it leaves behind.
#include <gtest/gtest.h>

#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

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
const std::string ZERO(4, '\0');

std::string filler(size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<char>(seed + i * 37 + i / 97);
    return bytes;
}

void expectrun(const PROCESSRESULT& run, int status, const std::string& out = "", const std::string& err = "")
{
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
}

// Run as an ordinary user, who cannot write read-only files.
const PROCESSOPTIONS PLAINUSER = {"", -1, true};

TEST(TarlokRun, SavesTheFileWithTheFirstKeysValueZeroedOrAsItWas)
{
    ScopedTempDir dir;
    const std::string sample = ScopedTempDir::read(std::string(VORL_SOURCE_DIR) + "/examples/sample.sav");
    ASSERT_NE(sample.find(KEY), std::string::npos);
    ASSERT_EQ(sample.find(KEY, sample.find(KEY) + 1), std::string::npos);
    const std::string head = filler(1000, 1), middle = filler(300, 2), tail = filler(5000, 3);
    const struct {
        const char* name;
        std::string bytes;
        size_t hit;  // where the patched key starts
    } rows[] = {
        {"key first", KEY + VALUE, 0},
        {"two keys", head + KEY + VALUE + middle + KEY + VALUE + tail, head.size()},
        {"a longer name ending in the key", "Old" + KEY + VALUE + "end", 3},
        {"the bundled sample", sample, sample.find(KEY)},
        {"27 characters and not a NUL", std::string(TARLOK_KEY) + "s" + VALUE + filler(20, 4), std::string::npos},
        {"case matters", "parts.OwnedDamageRepairList" + std::string(1, '\0') + VALUE, std::string::npos},
        {"29 bytes, one byte after the key", KEY + "\x01", std::string::npos},
        {"three bytes after the key", KEY + "\x01\x02\x03", std::string::npos},
        {"29 bytes, no key", filler(29, 5), std::string::npos},
        {"more than one transfer piece, no key", filler(100000, 6), std::string::npos},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = dir.write("save.sav", row.bytes);
        std::string expected = row.bytes;
        if (row.hit != std::string::npos)
            expected.replace(row.hit + KEY.size(), 4, ZERO);
        EXPECT_TRUE(row.hit == std::string::npos || expected != row.bytes);
        uint64_t before = fileidentity(path);
        expectrun(runprocess({TARLOK_PATH, path}), 1);
        EXPECT_TRUE(ScopedTempDir::read(path) == expected);
        EXPECT_EQ(fileidentity(path), before);
    }
}

TEST(TarlokRun, WhatIsNotASaveOrCannotBeLoadedIsNeverWritten)
{
    ScopedTempDir dir;
    // Too large for the heap: the library's alert ends the run.
    std::string huge = KEY + VALUE + filler(33 * 1024 * 1024, 18);
    PROCESSRESULT run = runprocess({TARLOK_PATH, dir.write("huge.sav", huge)});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("MEM_alloc - OUT OF MEMORY"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find(USAGE), std::string::npos);
    EXPECT_TRUE(ScopedTempDir::read(dir.file("huge.sav")) == huge);
    // Everything else gives the usage line at once.
    expectrun(runprocess({TARLOK_PATH}), 25, USAGE);
    for (const std::string& bytes : {std::string(), filler(10, 7), KEY}) {
        SCOPED_TRACE(bytes.size());
        std::string path = dir.write("small" + std::to_string(bytes.size()) + ".sav", bytes);
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
        fs::file_time_type before = fs::last_write_time(path);
        expectrun(runprocess({TARLOK_PATH, path}, PLAINUSER), 25, USAGE);
        EXPECT_EQ(ScopedTempDir::read(path), bytes);
        EXPECT_TRUE(fs::last_write_time(path) == before);
    }
    std::set<std::string> names = directoryentries(dir.path());
    ASSERT_EQ(names.count("small0.sav"), 1u);
    expectrun(runprocess({TARLOK_PATH, dir.file("missing.sav")}), 25, USAGE);
    EXPECT_EQ(directoryentries(dir.path()), names);
    expectrun(runprocess({TARLOK_PATH, dir.path()}), 25, USAGE);
    EXPECT_TRUE(fs::is_directory(dir.path()));
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
    const std::string patched = filler(20000, 8) + KEY + ZERO + filler(64, 9);
    // In place each time: the same file with its permissions, no other file made.
    auto patches = [&](const std::string& name, const std::vector<std::string>& args, const PROCESSOPTIONS& options) {
        SCOPED_TRACE(name);
        std::string path = dir.write(name, body);
        std::set<std::string> names = directoryentries(dir.path());
        uint64_t identity = fileidentity(path);
        fs::perms mode = fs::status(path).permissions();
        expectrun(runprocess(args, options), 1);
        EXPECT_TRUE(ScopedTempDir::read(path) == patched);
        EXPECT_EQ(fileidentity(path), identity);
        EXPECT_EQ(fs::status(path).permissions(), mode);
        EXPECT_EQ(directoryentries(dir.path()), names);
    };
    // The second argument is ignored, even when it names a save.
    std::string second = dir.write("second.sav", body);
    patches("first.sav", {TARLOK_PATH, dir.file("first.sav"), second}, {});
    EXPECT_TRUE(ScopedTempDir::read(second) == body);
    patches("my save file.sav", {TARLOK_PATH, "my save file.sav"}, {dir.path()});
    patches("relative.sav", {TARLOK_PATH, "./relative.sav"}, {dir.path()});
    // A hard link sees the patch.
    dir.write("inplace.sav", "");
    ASSERT_TRUE(makehardlink(dir.file("inplace.sav"), dir.file("hardlink.sav")));
#ifndef _WIN32
    ASSERT_EQ(chmod(dir.file("inplace.sav").c_str(), 0604), 0);
#endif
    patches("inplace.sav", {TARLOK_PATH, dir.file("inplace.sav")}, {});
    EXPECT_EQ(linkcount(dir.file("inplace.sav")), 2u);
    EXPECT_TRUE(ScopedTempDir::read(dir.file("hardlink.sav")) == patched);
#ifndef _WIN32
    // "|" is an ordinary character in a POSIX file name.
    patches("a|b.sav", {TARLOK_PATH, dir.file("a|b.sav")}, {});
    // Through a symbolic link, which stays a link. (Windows lets only
    // privileged users make symbolic links.)
    ASSERT_EQ(symlink("link target.sav", dir.file("link.sav").c_str()), 0);
    patches("link target.sav", {TARLOK_PATH, dir.file("link.sav")}, {});
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
    PROCESSRESULT run = runprocess({TARLOK_PATH, path}, PLAINUSER);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("permission denied"), std::string::npos) << run.err;
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
    // limit's signal keeps its default disposition, as from a shell: tarlok
    // itself must keep it from ending the run.
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
    EXPECT_TRUE(now == early || now == filler(100, 16) + KEY + ZERO + filler(30000, 17));
}

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

}  // namespace
