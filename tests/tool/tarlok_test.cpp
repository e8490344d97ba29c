// tarlok end to end: the built program run in a death test's child, which checks the file it leaves.
#include <gtest/gtest.h>

#include <cstdio>
#ifndef _WIN32
#include <sys/prctl.h>
#include <sys/resource.h>
#endif

#include "fileinfo.h"
#include "patchfile.h"
#include "runprocess.h"
#include "savepatch.h"
#include "tempdir.h"

namespace {

const std::string KEY(TARLOK_KEY, TARLOK_KEYLENGTH);  // with its NUL
const std::string USAGE = "^USAGE: tarlok target.sav\n$";

std::string filler(size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<char>(seed + i * 37 + i / 97);
    return bytes;
}

std::string zeroed(std::string bytes, size_t at)
{
    return bytes.replace(at, 4, 4, '\0');
}

const std::string BODY = filler(20000, 8) + KEY + "1234" + filler(64, 9), PATCHED = zeroed(BODY, 20000 + KEY.size());

// tarlok run in a death test's child (with args, or on path, from path's directory, after before): its status and
// error output, and path then the same file with the same mode holding after (else status 99).
void expectrun(const std::string& path, const std::string& after, const std::vector<std::string>& args = {},
               int status = 1, const std::string& err = "^$", void (*before)() = [] {})
{
    auto child = [&] {
        uint64_t identity = fileidentity(path);
        std::filesystem::perms mode = std::filesystem::status(path).permissions();
        std::filesystem::current_path(std::filesystem::path(path).parent_path());
        before();
        int ended = runprocess(args.empty() ? std::vector<std::string>{TARLOK_PATH, path} : args);
        bool kept = fileidentity(path) == identity && std::filesystem::status(path).permissions() == mode;
        exit(kept && ScopedTempDir::read(path) == after ? ended : 99);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(status), err) << path;
}

TEST(TarlokRun, SavesTheFileWithTheFirstKeysValueZeroedOrAsItWas)
{
    ScopedTempDir dir;
    std::string sample = ScopedTempDir::read(std::string(VORL_SOURCE_DIR) + "/examples/sample.sav");
    expectrun(dir.write("sample.sav", sample), zeroed(sample, sample.find(KEY) + KEY.size()));
    expectrun(dir.write("first.sav", KEY + "1234"), zeroed(KEY + "1234", KEY.size()));
    expectrun(dir.write("two.sav", BODY + BODY), PATCHED + BODY);
    expectrun(dir.write("short.sav", KEY + "1"), KEY + "1");                   // the shortest file loaded
    expectrun(dir.write("big.sav", filler(100000, 6)), filler(100000, 6));  // more than one transfer piece
}

TEST(TarlokRun, WhatIsNotASaveOrCannotBeLoadedIsNeverWritten)
{
    ScopedTempDir dir;
    // Too large for the heap: an alert ends the run (here in this program, whose boxes are answered at once).
    std::string huge = KEY + "1234" + filler(33 * 1024 * 1024, 18), path = dir.write("huge.sav", huge);
    EXPECT_EXIT(TARLOK_run(path.c_str()), testing::ExitedWithCode(0), "MEM_alloc - OUT OF MEMORY");
    EXPECT_TRUE(ScopedTempDir::read(path) == huge);
    // Everything else gives the usage line at once, and makes no file.
    expectrun(dir.write("28.sav", KEY), KEY, {}, 25, USAGE);
    std::vector<std::string> paths = {dir.write("0.sav", ""), dir.file("missing.sav"), dir.path()};
#ifndef _WIN32
    ASSERT_EQ(mkfifo(dir.file("p.sav").c_str(), 0600), 0);
    paths.insert(paths.end(), {dir.file("p.sav"), "/dev/zero"});
#endif
    EXPECT_EXIT(exit(runprocess({TARLOK_PATH})), testing::ExitedWithCode(25), USAGE);
    for (const std::string& path : paths)
        EXPECT_EXIT(exit(runprocess({TARLOK_PATH, path})), testing::ExitedWithCode(25), USAGE) << path;
    EXPECT_EQ(fileidentity(dir.file("missing.sav")), 0u);
}

TEST(TarlokRun, PathsArgumentsAndLinks)
{
    ScopedTempDir dir;
    // A relative path, of the working directory; the second argument is ignored.
    std::string first = dir.write("my save.sav", BODY), second = dir.write("2.sav", BODY);
    expectrun(first, PATCHED, {TARLOK_PATH, "./my save.sav", second});
    expectrun(second, BODY, {TARLOK_PATH, first, second});
    ASSERT_TRUE(makehardlink(dir.write("inplace.sav", BODY), dir.file("hardlink.sav")));  // patched for both names
    expectrun(dir.file("inplace.sav"), PATCHED, {TARLOK_PATH, dir.file("hardlink.sav")});
#ifndef _WIN32
    expectrun(dir.write("a|b.sav", BODY), PATCHED);  // "|" is an ordinary character in a POSIX file name
    // A symbolic link stays one (Windows lets only privileged users make one).
    ASSERT_EQ(symlink("target.sav", dir.file("link.sav").c_str()), 0);
    expectrun(dir.write("target.sav", BODY), PATCHED, {TARLOK_PATH, dir.file("link.sav")});
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.sav")));
#endif
}

TEST(TarlokRun, ASaveThatFailsIsReportedAndLeavesTheFileAsItWas)
{
    ScopedTempDir dir;
    std::string path = dir.write("failing.sav", BODY);
#ifndef _WIN32
    static const struct rlimit limit = {12000, 12000};  // writes past it fail; its signal as a shell leaves it
    expectrun(path, BODY, {}, 2,
              "^tarlok: .*: not saved: the file would grow beyond the allowed file size \\(error 223\\)\n$",
              [] { setrlimit(RLIMIT_FSIZE, &limit); });
#endif
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
#ifdef _WIN32
    HANDLE probe = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE && CloseHandle(probe))
        GTEST_SKIP() << "this system lets a read-only file be written (wine run as root)";
#else
    if (geteuid() == 0 && prctl(PR_CAPBSET_READ, 8) != 1)  // CAP_SETPCAP, which the drop needs
        GTEST_SKIP() << "this process cannot run a program without the power to write read-only files";
#endif
    // As an ordinary user: CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH and CAP_FOWNER out of the bounding set.
    expectrun(path, BODY, {}, 2, "^tarlok: .*: not saved: permission denied \\(error 5\\)\n$", [] {
#ifndef _WIN32
        for (int capability : {1, 2, 3})
            prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
#endif
    });
}

// Another program replaces the file between load and save (a new identity even if the clock has not moved on).
std::string otherversion;

TEST(TarlokChange, AFileChangedBeforeTheSaveIsNotWritten)
{
    ScopedTempDir dir;
    TARLOK_beforesave = [](const char* saved) {
        std::ofstream(saved + std::string(".new"), std::ios::binary) << otherversion;
        std::remove(saved);
        std::rename((saved + std::string(".new")).c_str(), saved);
    };
    for (const std::string& version : {BODY + "more", "QQQQ" + BODY.substr(4)}) {  // longer, then as long
        otherversion = version;
        std::string path = dir.write("changing.sav", BODY);
        EXPECT_EXIT(exit(TARLOK_run(path.c_str()) + (ScopedTempDir::read(path) == version ? 0 : 90)),
                    testing::ExitedWithCode(2),
                    "^tarlok: .*changing.sav: not saved: the file changed while it was being patched\n$");
    }
}

}  // namespace
