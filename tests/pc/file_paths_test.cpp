// The path, drive and directory services of the native file layer. Cases
// that need POSIX paths or our POSIX layer's volume overrides run there only.
#include <cctype>
#include <string>
#include <utility>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "alertrecorder.h"
#include "lasterrors.h"
#include "platform/vplatform.h"
#include "tempdir.h"
#include "vorl/file.h"
#include "workingdir.h"

namespace {

using P = std::pair<std::string, int32_t>;

// The canonical form, always ended inside the size given, and the result.
P canonical(const std::string& path, int32_t size = FILE_PATHSIZE)
{
    char out[4096];
    memset(out, '#', sizeof out);
    int32_t result = canonicalpath(path.c_str(), out, size);
    EXPECT_LT(strnlen(out, sizeof out), static_cast<size_t>(size));
    return {out, result};
}

// The working directory comes back before the scratch folder goes.
class DirectoryTest : public ::testing::Test {
protected:
#ifndef _WIN32
    void TearDown() override { PW_setvolumeoverride(nullptr); }
#endif
    ScopedTempDir dir;
    ScopedWorkingDirectory here;
};

}  // namespace

TEST(Paths, RootsDrivesAndDeviceNumbers)
{
    // A path of 260 characters or more is cut to 259 and still ended.
    const struct { std::string path, root; } roots[] = {
        {"C:\\games\\saves\\slot1.sav", "C:\\"}, {"d:/games/save.sav", "d:/"},
        {"\\\\server\\share\\games\\save.sav", "\\\\server\\share\\"}, {"\\\\server", "\\\\server"},
        {"games/save.sav", "games/"}, {"/tmp/save.sav", "/"}, {std::string(400, 'y'), std::string(FILE_PATHSIZE - 1, 'y')}};
    for (const auto& row : roots) {
        char out[FILE_PATHSIZE + 1];
        memset(out, '#', sizeof out);
        rootofpath(row.path.c_str(), out);
        EXPECT_EQ(out, row.root) << row.path;
    }
    // Network and archive paths are device 0, and only the letters A to Z name drives.
    EXPECT_EQ(V({driveofpath("c:\\x"), devicenumberofpath("c:\\x"), devicenumberofpath("Z:"), devicenumberofpath("[:\\x"),
                 devicenumberofpath("\\\\server\\share\\x"), devicenumberofpath("C:\\data\\archive.big|x")}),
              V({'C', 3, 26, 0, 0, 0}));
}

TEST_F(DirectoryTest, CanonicalPathsAndFreeSpace)
{
    std::string stored = dir.write("Stored.Name", "x");
    ASSERT_EQ(setdirectory(dir.path().c_str()), 1);
    char drive = 0;
    for (char letter = 'Y'; drive == 0 && letter >= 'D'; letter--)
        drive = (GetLogicalDrives() & (1u << (letter - 'A'))) == 0 ? letter : 0;
    std::string lower(1, static_cast<char>(tolower(drive))), letter(1, drive);
    // The last component as the search finds it on the disk; a path that does
    // not fit, or one on a missing drive, gives 0 and a cut, ended copy.
    const struct { std::string path; int32_t size; P expected; } rows[] = {
        {"sub/../Stored.Name", FILE_PATHSIZE, {stored, 1}}, {"./*.Name", FILE_PATHSIZE, {stored, 1}},
        {"missing.txt", FILE_PATHSIZE, {dir.file("missing.txt"), 1}}, {"Stored.Name", 8, {"Stored.", 0}},
        {std::string(300, 'L'), 4000, {std::string(FILE_PATHSIZE - 1, 'L'), 0}},
        {lower + ":/games/../saves/slot.sav", FILE_PATHSIZE, {lower + ":\\saves\\slot.sav", 0}}, {"x", 1, {"", 0}}};
    for (const auto& row : rows)
        EXPECT_EQ(canonical(row.path, row.size), row.expected) << row.path << " in " << row.size;
#ifndef _WIN32
    // Volumes that do not keep case give upper-case paths, with the stored name found by a search.
    PW_VOLUMEOVERRIDE nocase = {0, 8, 512, 1, 1};
    PW_setvolumeoverride(&nocase);
    std::string upper = dir.path();
    for (char& c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(canonical("missing.txt"), P(upper + "/MISSING.TXT", 1));
    EXPECT_EQ(canonical("Stored.Name"), P(upper + "/Stored.Name", 1));
    // Free clusters times sectors per cluster times bytes per sector, saturated at 4 GiB.
    const struct { PW_VOLUMEOVERRIDE volume; uint32_t free; } volumes[] = {
        {{0, 8, 512, 1000, 2000}, 4096000u}, {{0, 8, 512, 1048575, 2000000}, 0xFFFFF000u},
        {{0, 8, 512, 1048576, 2000000}, 0xFFFFFFFFu}};
    for (const auto& v : volumes) {
        PW_setvolumeoverride(&v.volume);
        EXPECT_EQ(diskfreespace("/"), v.free) << v.volume.freeclusters << " free clusters";
    }
#endif
    EXPECT_EQ(diskfreespace((letter + ":\\").c_str()), 0u);
    EXPECT_NE(GetLastError(), 0u);
}

TEST(PathsDeathTest, AFailedSetdirectoryEndsTheProcessThroughItsAlert)
{
    EXPECT_EXIT(setdirectory("/no/such/directory"), testing::ExitedWithCode(0),
                "setdirectory - FAILED ON '/no/such/directory'");
}

#ifndef _WIN32
// Only POSIX can enter a directory 511 characters deep (Windows' ANSI
// directory services, and so our POSIX layer's, stop short of it): there
// getdirectory fails with its alert and leaves an empty string, not an
// unterminated buffer. A path on no listed drive finds no drive.
TEST_F(DirectoryTest, TooDeepADirectoryIsAFailureWithAnEmptyBuffer)
{
    std::string path = dir.path();
    while (path.size() + 101 <= 510) {
        path += "/" + std::string(100, 'd');
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    path += "/" + std::string(510 - path.size() - 1, 'e');
    char buffer[FILE_DIRECTORYSIZE];
    ASSERT_EQ(mkdir(path.c_str(), 0755) + chdir(path.c_str()), 0);
    EXPECT_EQ(P(buffer, getdirectory(buffer)), P(path, 510));
    ScopedAlertRecorder recorder;
    ASSERT_EQ(mkdir((path + "/f").c_str(), 0755) + chdir((path + "/f").c_str()), 0);
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(V({getdirectory(buffer), buffer[0], getdirectory(nullptr), findlogicaldrive("/", nullptr)}),
              V({0, 0, 0, 0}));
    EXPECT_EQ(recorder.messages(),
              std::vector<std::string>(2, "getdirectory - FAILED TO FETCH, OR WAS TOO LONG (%D CHAR).\n"));
}
#endif
