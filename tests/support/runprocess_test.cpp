// Running a program for a test: what comes back (output, error output, exit
// status or ending signal), what the child is given (working directory, empty
// input), and starts that fail, also part way, reported as failures that
// leave no descriptor open.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "runprocess.h"
#include "tempdir.h"

namespace {

#ifndef _WIN32
// How many more descriptors this process can open now.
int freedescriptors()
{
    std::vector<int> opened;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
        opened.push_back(fd);
    for (int fd : opened)
        close(fd);
    return static_cast<int>(opened.size());
}

TEST(RunProcess, TheChildGetsItsDirectoryAndEmptyInputAndAllItsOutputAndEndComeBack)
{
#ifdef VORL_TEST_EMULATOR
    GTEST_SKIP() << "the shell is not a program for the emulator";
#endif
    ScopedTempDir dir;
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    // (a name without a slash is looked up in PATH)
    PROCESSRESULT run = runprocess({"sh", "-c",
                                    "pwd -P; wc -c; head -c 300000 /dev/zero | tr '\\000' o; "
                                    "head -c 200000 /dev/zero | tr '\\000' e >&2; kill -TERM $$"},
                                   {dir.path()});
    EXPECT_TRUE(run.out == std::string(real) + "\n0\n" + std::string(300000, 'o')) << run.out.size() << " bytes";
    EXPECT_TRUE(run.err == std::string(200000, 'e')) << run.err.size() << " bytes of error output";
    EXPECT_EQ(run.status, -SIGTERM);
    EXPECT_EQ(runprocess({"/bin/sh", "-c", "exit 7"}).status, 7);
}
#endif

TEST(RunProcess, AStartThatFailsIsAFailureAndLeavesNoDescriptorOpen)
{
    ScopedTempDir dir;
    PROCESSRESULT missing = runprocess({dir.file("missing")});
    EXPECT_NE(missing.status, 0);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(runprocess({}).status, -1);
#ifndef _WIN32
    struct rlimit saved, low;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    low = {saved.rlim_max < 64 ? saved.rlim_max : 64, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const int available = freedescriptors();
    // Each count below what a start needs makes another of its steps fail.
    for (int left = 0; left <= 6; left++) {
        std::vector<int> held;
        for (int i = 0; i < available - left; i++)
            held.push_back(open("/dev/null", O_RDONLY));
        ASSERT_EQ(freedescriptors(), left);
        runprocess({TARLOK_PATH});
        EXPECT_EQ(freedescriptors(), left) << "with " << left << " descriptors to spare";
        for (int fd : held)
            close(fd);
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
#endif
    EXPECT_EQ(runprocess({TARLOK_PATH}).out, "USAGE: tarlok target.sav\n");
}

}  // namespace
