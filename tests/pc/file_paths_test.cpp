// The path, drive and directory services of the native file layer: roots,
// drive letters and device numbers of drive, network, archive and POSIX
// paths; full and canonical forms; free space; the current directory and
// the alerts its services raise. Most cases run on both systems; the ones
// that need POSIX paths or our POSIX layer's volume overrides run there only.
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

#include <cctype>
#include <string>

#include <gtest/gtest.h>

#include "alertrecorder.h"
#include "platform/vplatform.h"
#include "tempdir.h"
#include "vorl/file.h"

namespace {

std::string root(const std::string& path)
{
    char out[FILE_PATHSIZE + 1];
    memset(out, '#', sizeof out);
    rootofpath(path.c_str(), out);
    return out;
}

std::string canonical(const std::string& path, int32_t* result, int32_t size = FILE_PATHSIZE)
{
    char out[4096];
    memset(out, '#', sizeof out);
    *result = canonicalpath(path.c_str(), out, size);
    EXPECT_LT(strnlen(out, sizeof out), static_cast<size_t>(size));
    return out;
}

// The device number of the current directory's drive: a path without a drive
// letter is on it. POSIX has no drives, so there it is 0.
int32_t currentdevice()
{
    char here[4096];
    DWORD length = GetCurrentDirectoryA(sizeof here, here);
    if (length < 2 || length >= sizeof here || here[1] != ':' || !isalpha(static_cast<unsigned char>(here[0])))
        return 0;
    return toupper(static_cast<unsigned char>(here[0])) - 64;
}

// A drive letter that names no drive here (any letter, on POSIX).
char absentdrive()
{
    DWORD drives = GetLogicalDrives();
    for (char letter = 'Y'; letter >= 'D'; letter--) {
        if ((drives & (1u << (letter - 'A'))) == 0)
            return letter;
    }
    return 0;
}

// Keeps the process's current directory across a test that changes it.
class DirectoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DWORD length = GetCurrentDirectoryA(sizeof saved_, saved_);
        ASSERT_TRUE(length > 0 && length < sizeof saved_);
    }
    void TearDown() override
    {
#ifndef _WIN32
        PW_setvolumeoverride(nullptr);
#endif
        ASSERT_TRUE(SetCurrentDirectoryA(saved_));
    }
    ScopedTempDir dir;

private:
    char saved_[4096];
};

}  // namespace

TEST(Paths, RootsOfDriveNetworkAndBarePaths)
{
    EXPECT_EQ(root("C:\\games\\saves\\slot1.sav"), "C:\\");
    EXPECT_EQ(root("d:/games/save.sav"), "d:/");
    EXPECT_EQ(root("\\\\server\\share\\games\\save.sav"), "\\\\server\\share\\");
    EXPECT_EQ(root("//server/share/games/save.sav"), "//server/share/");
    EXPECT_EQ(root("\\\\server\\share"), "\\\\server\\share");
    EXPECT_EQ(root("\\\\server"), "\\\\server");
    EXPECT_EQ(root("slot1.sav"), "slot1.sav");
    EXPECT_EQ(root(""), "");
    EXPECT_EQ(root("/tmp/save.sav"), "/");
    EXPECT_EQ(root("games/save.sav"), "games/");

    // A path of 260 characters or more is cut to 259 and still ended.
    std::string longpath = "C:\\" + std::string(400, 'x');
    EXPECT_EQ(root(longpath), "C:\\");
    EXPECT_EQ(root(std::string(400, 'y')), std::string(FILE_PATHSIZE - 1, 'y'));

    EXPECT_EQ(isseparator('\\'), 1);
    EXPECT_EQ(isseparator('/'), 1);
    EXPECT_EQ(isseparator(':'), 0);
    EXPECT_EQ(isseparator('|'), 0);
    EXPECT_EQ(isseparator(0), 0);
}

TEST(Paths, DeviceNumbersOfDriveNetworkArchiveAndPosixPaths)
{
    EXPECT_EQ(devicenumberofpath("C:\\games\\save.sav"), 3);
    EXPECT_EQ(devicenumberofpath("c:\\games\\save.sav"), 3);
    EXPECT_EQ(devicenumberofpath("a:/x"), 1);
    EXPECT_EQ(devicenumberofpath("Z:"), 26);
    EXPECT_EQ(devicenumberofpath("\\\\server\\share\\save.sav"), 0);
    EXPECT_EQ(devicenumberofpath("C:\\data\\archive.big|save.sav"), 0);
    // Paths without a drive letter are on the current drive.
    int32_t here = currentdevice();
    EXPECT_EQ(devicenumberofpath("/tmp/save.sav"), here);
    EXPECT_EQ(devicenumberofpath("save.sav"), here);
    EXPECT_EQ(devicenumberofpath(nullptr), here);
    // Only letters name drives: nothing else reaches past the 32-entry tables.
    EXPECT_EQ(devicenumberofpath("1:\\x"), 0);
    EXPECT_EQ(devicenumberofpath("[:\\x"), 0);
    EXPECT_EQ(devicenumberofpath("\x7f:\\x"), 0);
    EXPECT_EQ(devicenumberofpath(("C:\\" + std::string(300, 'x')).c_str()), 0);

    EXPECT_EQ(driveofpath("e:\\x"), 'E');
    EXPECT_EQ(driveofpath("Q:relative"), 'Q');
    EXPECT_EQ(driveofpath("a|b"), 0);
    // A relative path has the drive of the current directory.
    EXPECT_EQ(driveofpath("relative/name"), here != 0 ? here + 64 : 0);
    EXPECT_EQ(driveofpath(""), 0);
}

TEST_F(DirectoryTest, CanonicalPathsAreFullAndTakeTheStoredName)
{
    dir.write("Stored.Name", "x");
    ASSERT_EQ(setdirectory(dir.path().c_str()), 1);
    int32_t result = -1;
    EXPECT_EQ(canonical("sub/../Stored.Name", &result), dir.file("Stored.Name"));
    EXPECT_EQ(result, 1);
    // The last component becomes the name the search finds on the disk.
    EXPECT_EQ(canonical("./*.Name", &result), dir.file("Stored.Name"));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(canonical("missing.txt", &result), dir.file("missing.txt"));
    EXPECT_EQ(result, 1);

    // A full path that does not fit, or a path the platform refuses, gives 0
    // and a cut, ended copy of the path.
    EXPECT_EQ(canonical("Stored.Name", &result, 8), "Stored.");
    EXPECT_EQ(result, 0);
    std::string longpath(300, 'L');
    EXPECT_EQ(canonical(longpath, &result, 4000), std::string(FILE_PATHSIZE - 1, 'L'));
    EXPECT_EQ(result, 0);
    char tiny[1] = {'#'};
    EXPECT_EQ(canonicalpath("x", tiny, 1), 0);
    EXPECT_EQ(tiny[0], '\0');
    EXPECT_EQ(canonicalpath("x", tiny, 0), 0);
}

TEST_F(DirectoryTest, CanonicalPathsOnAMissingDriveKeepTheFullPathAndReport)
{
    char drive = absentdrive();
    ASSERT_NE(drive, 0);
    std::string lower(1, static_cast<char>(tolower(drive)));
    std::string upper(1, drive);
    int32_t result = -1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(canonical(lower + ":/games/../saves/slot.sav", &result), lower + ":\\saves\\slot.sav");
    EXPECT_EQ(result, 0);
    filereportlevel = 1;
    char out[FILE_PATHSIZE];
    EXPECT_EQ(canonicalpath((upper + ":\\x").c_str(), out, sizeof out), 0);
    // (taken at once: on Windows the C runtime's own file calls reset it)
    DWORD code = GetLastError();
    filereportlevel = 0;
    EXPECT_EQ(std::string(out), upper + ":\\x");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[FILE] GetVolumeInformation failed (3)\n");
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// The volume overrides are our POSIX layer's way to stand in for other
// volumes; a Windows build asks the real volume.
#ifndef _WIN32
TEST_F(DirectoryTest, VolumesThatDoNotKeepCaseGiveUpperCasePaths)
{
    ASSERT_EQ(setdirectory(dir.path().c_str()), 1);
    std::string upper = dir.path() + "/missing.txt";
    for (char& c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    int32_t result = -1;

    PW_VOLUMEOVERRIDE nocase = {0, 8, 512, 1, 1};
    PW_setvolumeoverride(&nocase);
    EXPECT_EQ(canonical("missing.txt", &result), upper);
    EXPECT_EQ(result, 1);
    // A volume that stores names in Unicode is not searched for the stored
    // form: the upper-case full path is the answer.
    dir.write("Stored", "x");
    PW_VOLUMEOVERRIDE unicode = {FILE_UNICODE_ON_DISK, 8, 512, 1, 1};
    PW_setvolumeoverride(&unicode);
    std::string expected = dir.path() + "/Stored";
    for (char& c : expected)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(canonical("Stored", &result), expected);
    // Without it the stored name comes back over the upper-case one.
    PW_setvolumeoverride(&nocase);
    EXPECT_EQ(canonical("Stored", &result), expected.substr(0, expected.size() - 6) + "Stored");
}

#endif

TEST_F(DirectoryTest, ALogicalDriveIsFoundOnlyWhenItsRootIsListed)
{
    std::string path = dir.file("save.sav");
#ifdef _WIN32
    // The scratch folder is on a listed drive.
    int32_t letter = toupper(static_cast<unsigned char>(path[0]));
    std::string root = path.substr(0, 3);
#else
    // POSIX lists no drives.
    int32_t letter = 0;
    std::string root = "/";
#endif
    char found[FILE_PATHSIZE + 1];
    EXPECT_EQ(findlogicaldrive(path.c_str(), found), letter);
    EXPECT_EQ(std::string(found), root);
    // A path on a missing drive has no canonical form, so the current
    // directory's root stands in.
    ASSERT_EQ(setdirectory(dir.path().c_str()), 1);
    memset(found, '#', sizeof found);
    std::string missing = std::string(1, absentdrive()) + ":\\save.sav";
    EXPECT_EQ(findlogicaldrive(missing.c_str(), found), letter);
    EXPECT_EQ(std::string(found), root);
}

TEST(Paths, FreeSpaceIsSaturatedAtFourGigabytes)
{
#ifdef _WIN32
    ScopedTempDir dir;
    std::string root = dir.path().substr(0, 3);
    ULARGE_INTEGER available, total, free;
    ASSERT_TRUE(GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free));
    uint64_t expected = available.QuadPart;
#else
    std::string root = "/";
    struct statvfs volume;
    ASSERT_EQ(statvfs("/", &volume), 0);
    uint64_t block = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
    uint64_t expected = static_cast<uint64_t>(volume.f_bavail) * block;
#endif
    uint32_t reported = diskfreespace(root.c_str());
    if (expected >= 0x100000000ull)
        EXPECT_EQ(reported, 0xFFFFFFFFu);
    else
        EXPECT_NEAR(static_cast<double>(reported), static_cast<double>(expected), expected * 0.05 + 1e6);

#ifndef _WIN32
    // Free clusters times sectors per cluster times bytes per sector, up to
    // the saturation just above a byte short of 4 GiB.
    const struct {
        PW_VOLUMEOVERRIDE volume;
        uint32_t free;
    } volumes[] = {
        {{0, 8, 512, 1000, 2000}, 4096000u},
        {{0, 8, 512, 1048575, 2000000}, 0xFFFFF000u},
        {{0, 8, 512, 1048576, 2000000}, 0xFFFFFFFFu},
        {{0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, 0xFFFFFFFFu},
    };
    for (const auto& v : volumes) {
        PW_setvolumeoverride(&v.volume);
        EXPECT_EQ(diskfreespace("/"), v.free) << v.volume.freeclusters << " free clusters of "
                                               << v.volume.sectorspercluster << " x " << v.volume.bytespersector;
    }
    PW_setvolumeoverride(nullptr);

    EXPECT_EQ(diskfreespace("/no/such/volume/"), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
#endif
    EXPECT_EQ(diskfreespace((std::string(1, absentdrive()) + ":\\").c_str()), 0u);
    EXPECT_NE(GetLastError(), 0u);
}

TEST_F(DirectoryTest, SetAndGetTheCurrentDirectory)
{
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_NE(setdirectory(dir.path().c_str()), 0);
    EXPECT_EQ(GetLastError(), 0u);
    char buffer[FILE_DIRECTORYSIZE];
    EXPECT_EQ(getdirectory(buffer), static_cast<int32_t>(dir.path().size()));
    EXPECT_EQ(std::string(buffer), dir.path());

    ScopedAlertRecorder recorder;
    EXPECT_EQ(setdirectory(dir.file("missing").c_str()), 0);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.alerts()[0].file, "pc/file");
    EXPECT_EQ(recorder.messages()[0], "setdirectory - FAILED ON '" + dir.file("missing") + "'\n");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(getdirectory(buffer), static_cast<int32_t>(dir.path().size()));
}

// Windows' ANSI directory services (and so our POSIX layer's) stop short of
// 511 characters: only POSIX itself can enter a directory that deep.
#ifndef _WIN32
TEST_F(DirectoryTest, GetdirectoryRefusesDirectoriesOf511CharactersOrMore)
{
    // Nest directories until the path has exactly 510 characters, which
    // still fits, then one level more.
    std::string path = dir.path();
    while (path.size() + 101 <= 510) {
        path += "/" + std::string(100, 'd');
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    path += "/" + std::string(510 - path.size() - 1, 'e');
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(path.size(), 510u);
    ASSERT_EQ(chdir(path.c_str()), 0);
    char buffer[FILE_DIRECTORYSIZE];
    EXPECT_EQ(getdirectory(buffer), 510);
    EXPECT_EQ(std::string(buffer), path);

    path += "/f";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(chdir(path.c_str()), 0);
    ScopedAlertRecorder recorder;
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(getdirectory(buffer), 0);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.alerts()[0].file, "pc/file");
    // "%D" is no conversion: the text reads as it stands.
    EXPECT_EQ(recorder.messages()[0], "getdirectory - FAILED TO FETCH, OR WAS TOO LONG (%D CHAR).\n");
    EXPECT_EQ(buffer[0], '\0');
    // Without a buffer: the same failure, nothing written.
    EXPECT_EQ(getdirectory(nullptr), 0);
    EXPECT_EQ(recorder.count(), 2u);
    EXPECT_EQ(findlogicaldrive("/", nullptr), 0);
}

#endif

TEST(PathsDeathTest, AFailedSetdirectoryEndsTheProcessThroughItsAlert)
{
    EXPECT_EXIT(setdirectory("/no/such/directory"), testing::ExitedWithCode(0),
                "setdirectory - FAILED ON '/no/such/directory'");
}
