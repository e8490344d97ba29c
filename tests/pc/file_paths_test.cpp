// The path, drive and directory services of the native file layer. Cases
// that need POSIX paths or our POSIX layer's volume overrides run there only.
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "alertrecorder.h"
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

#ifndef _WIN32
std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}
#endif

// The letter of the current directory's drive (0 on POSIX, which has no
// drives), and one that names no drive here (any letter, on POSIX).
int32_t currentdrive()
{
    char here[4096];
    DWORD length = GetCurrentDirectoryA(sizeof here, here);
    if (length < 2 || length >= sizeof here || here[1] != ':' || !isalpha(static_cast<unsigned char>(here[0])))
        return 0;
    return toupper(static_cast<unsigned char>(here[0]));
}

char absentdrive()
{
    for (char letter = 'Y'; letter >= 'D'; letter--) {
        if ((GetLogicalDrives() & (1u << (letter - 'A'))) == 0)
            return letter;
    }
    return 0;
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
        {"\\\\server\\share\\games\\save.sav", "\\\\server\\share\\"}, {"//server/share/x", "//server/share/"},
        {"\\\\server\\share", "\\\\server\\share"}, {"\\\\server", "\\\\server"}, {"slot1.sav", "slot1.sav"},
        {"games/save.sav", "games/"}, {"/tmp/save.sav", "/"}, {std::string(400, 'y'), std::string(FILE_PATHSIZE - 1, 'y')}};
    for (const auto& row : roots) {
        char out[FILE_PATHSIZE + 1];
        memset(out, '#', sizeof out);
        rootofpath(row.path.c_str(), out);
        EXPECT_EQ(out, row.root) << row.path;
    }

    // Paths without a drive letter are on the current drive; network and
    // archive paths are device 0, and only letters name drives, so nothing
    // reaches past the 32-entry tables.
    int32_t here = currentdrive();
    std::string longpath = "C:\\" + std::string(300, 'x');
    const struct { const char* path; int32_t drive; } drives[] = {
        {"C:\\games\\save.sav", 'C'}, {"c:\\games\\save.sav", 'C'}, {"a:/x", 'A'}, {"Z:", 'Z'}, {"Q:relative", 'Q'},
        {"\\\\server\\share\\save.sav", 0}, {"C:\\data\\archive.big|save.sav", 0}, {"/tmp/save.sav", here},
        {"save.sav", here}, {nullptr, here}, {"1:\\x", 0}, {"[:\\x", 0}, {"\x7f:\\x", 0}, {longpath.c_str(), 0}};
    for (const auto& row : drives)
        EXPECT_EQ(P(std::to_string(driveofpath(row.path)), devicenumberofpath(row.path)),
                  P(std::to_string(row.drive), row.drive ? row.drive - 64 : 0))
            << (row.path ? row.path : "(null)");
}

TEST_F(DirectoryTest, CanonicalPathsLogicalDrivesAndFreeSpace)
{
    std::string stored = dir.write("Stored.Name", "x");
    ASSERT_EQ(setdirectory(dir.path().c_str()), 1);
    char drive = absentdrive();
    std::string lower(1, static_cast<char>(tolower(drive))), letter(1, drive);
    // Full, with the last component as the search finds it on the disk. A
    // full path that does not fit, or one the platform refuses (as on a
    // missing drive), gives 0 and a cut, ended copy of the path.
    const struct { std::string path; int32_t size; P expected; } rows[] = {
        {"sub/../Stored.Name", FILE_PATHSIZE, {stored, 1}}, {"./*.Name", FILE_PATHSIZE, {stored, 1}},
        {"missing.txt", FILE_PATHSIZE, {dir.file("missing.txt"), 1}}, {"Stored.Name", 8, {"Stored.", 0}},
        {std::string(300, 'L'), 4000, {std::string(FILE_PATHSIZE - 1, 'L'), 0}},
        {lower + ":/games/../saves/slot.sav", FILE_PATHSIZE, {lower + ":\\saves\\slot.sav", 0}}, {"x", 1, {"", 0}}};
    for (const auto& row : rows)
        EXPECT_EQ(canonical(row.path, row.size), row.expected) << row.path << " in " << row.size;
    char out[FILE_PATHSIZE];
    EXPECT_EQ(canonicalpath("x", out, 0), 0);

    // The failure on a missing drive is reported at report level 1.
    testing::internal::CaptureStdout();
    filereportlevel = 1;
    EXPECT_EQ(canonicalpath((letter + ":\\x").c_str(), out, sizeof out), 0);
    // (taken at once: on Windows the C runtime's own file calls reset it)
    DWORD code = GetLastError();
    filereportlevel = 0;
    EXPECT_EQ(P(out, code), P(letter + ":\\x", ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[FILE] GetVolumeInformation failed (3)\n");

    // A logical drive is found only when its root is listed; a path on a
    // missing drive has no canonical form, so the current directory's root stands in.
    std::string path = dir.file("save.sav");
    P listed = currentdrive() ? P(path.substr(0, 3), currentdrive()) : P("/", 0);  // POSIX lists no drives
    for (std::string asked : {path, letter + ":\\save.sav"}) {
        memset(out, '#', sizeof out);
        int32_t found = findlogicaldrive(asked.c_str(), out);
        EXPECT_EQ(P(out, found), listed) << asked;
    }
#ifndef _WIN32
    // Volumes that do not keep case give upper-case paths, with the stored
    // name found by a search; one that stores names in Unicode is not searched.
    PW_VOLUMEOVERRIDE nocase = {0, 8, 512, 1, 1}, unicode = {FILE_UNICODE_ON_DISK, 8, 512, 1, 1};
    PW_setvolumeoverride(&nocase);
    EXPECT_EQ(canonical("missing.txt"), P(upper(dir.file("missing.txt")), 1));
    EXPECT_EQ(canonical("Stored.Name"), P(upper(dir.path()) + "/Stored.Name", 1));
    PW_setvolumeoverride(&unicode);
    EXPECT_EQ(canonical("Stored.Name"), P(upper(stored), 1));

    // Free space is free clusters times sectors per cluster times bytes per
    // sector, saturated just above a byte short of 4 GiB.
    const struct { PW_VOLUMEOVERRIDE volume; uint32_t free; } volumes[] = {
        {{0, 8, 512, 1000, 2000}, 4096000u}, {{0, 8, 512, 1048575, 2000000}, 0xFFFFF000u},
        {{0, 8, 512, 1048576, 2000000}, 0xFFFFFFFFu}, {{0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, 0xFFFFFFFFu}};
    for (const auto& v : volumes) {
        PW_setvolumeoverride(&v.volume);
        EXPECT_EQ(diskfreespace("/"), v.free) << v.volume.freeclusters << " free clusters";
    }
    PW_setvolumeoverride(nullptr);
    EXPECT_EQ(diskfreespace("/no/such/volume/"), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
#endif
    EXPECT_EQ(diskfreespace((letter + ":\\").c_str()), 0u);
    EXPECT_NE(GetLastError(), 0u);
}

TEST_F(DirectoryTest, SetAndGetTheCurrentDirectory)
{
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_NE(setdirectory(dir.path().c_str()), 0);
    EXPECT_EQ(GetLastError(), 0u);
    char buffer[FILE_DIRECTORYSIZE];
    int32_t length = getdirectory(buffer);
    EXPECT_EQ(P(buffer, length), P(dir.path(), dir.path().size()));
    ScopedAlertRecorder recorder;
    EXPECT_EQ(setdirectory(dir.file("missing").c_str()), 0);
    EXPECT_EQ(P(buffer, GetLastError()), P(dir.path(), ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(getdirectory(buffer), static_cast<int32_t>(dir.path().size()));
    std::vector<std::string> messages = {"setdirectory - FAILED ON '" + dir.file("missing") + "'\n"};
#ifndef _WIN32
    // Windows' ANSI directory services (and so our POSIX layer's) stop short
    // of 511 characters: only POSIX itself can enter a directory that deep.
    // Nest directories to a path of exactly 510 characters, then one more.
    std::string path = dir.path();
    while (path.size() + 101 <= 510) {
        path += "/" + std::string(100, 'd');
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    path += "/" + std::string(510 - path.size() - 1, 'e');
    ASSERT_EQ(mkdir(path.c_str(), 0755) + chdir(path.c_str()), 0);
    length = getdirectory(buffer);
    EXPECT_EQ(P(buffer, length), P(path, 510));
    ASSERT_EQ(mkdir((path + "/f").c_str(), 0755) + chdir((path + "/f").c_str()), 0);
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(getdirectory(buffer), 0);
    EXPECT_EQ(buffer[0], '\0');
    // Without a buffer: the same failure, nothing written. ("%D" is no
    // conversion: the text reads as it stands.)
    EXPECT_EQ(getdirectory(nullptr) + findlogicaldrive("/", nullptr), 0);
    messages.resize(3, "getdirectory - FAILED TO FETCH, OR WAS TOO LONG (%D CHAR).\n");
#endif
    EXPECT_EQ(recorder.messages(), messages);
    for (const RecordedAlert& alert : recorder.alerts())
        EXPECT_EQ(alert.file, "pc/file");
}

TEST(PathsDeathTest, AFailedSetdirectoryEndsTheProcessThroughItsAlert)
{
    EXPECT_EXIT(setdirectory("/no/such/directory"), testing::ExitedWithCode(0),
                "setdirectory - FAILED ON '/no/such/directory'");
}
