// Mounted archives: mounting and unmounting, archive numbers, entries that
// open, read, size and close like files, the "archive|entry" form, the search
// in mount order, and what a malformed or overlong archive can and cannot do.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "bigarchive.h"
#include "lasterrors.h"
#include "tempdir.h"
#include "pc/nfileint.h"
#include "vorl/file.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"

namespace {

const int32_t P = 100;

// What the whole-file services make of each path: "exists size bytes", the
// bytes "-" when nothing loads.
void expectseen(const std::vector<std::pair<std::string, std::string>>& rows)
{
    for (const auto& row : rows) {
        void* block = FILE_loadquiet(row.first.c_str(), 0);
        int32_t size = FILE_sizequiet(row.first.c_str());
        std::string bytes = block ? std::string(static_cast<const char*>(block), static_cast<size_t>(size)) : "-";
        MEM_free(block);
        EXPECT_EQ(std::to_string(FILE_exists(row.first.c_str())) + " " + std::to_string(size) + " " + bytes,
                  row.second)
            << row.first;
    }
}

int32_t mount(const std::string& path)
{
    int32_t number = 0;
    FILESYS_openbig(path.c_str(), 0, P, &number);
    return number;
}

BIGFILE* mounted(int32_t number)
{
    auto* archive = static_cast<BIGFILE*>(FILEbiglist.head);
    while (archive && archive->number != number)
        archive = archive->link;
    return archive;
}

// Waits for a record and collects it: its status, error and result.
std::tuple<int32_t, uint32_t, uint32_t> ran(uint32_t op)
{
    int32_t status = FILESYS_waitop(op);
    uint32_t error = FILESYS_errorop(op);
    return {status, error, FILESYS_completeop(op)};
}

class Mount : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GT(MEM_init(), 0);
        ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    }
    void TearDown() override
    {
        FILESYS_shutdown();
        MEM_shutdown();
    }
    ScopedTempDir dir;
};

TEST_F(Mount, EntriesReadLikeFilesAreFoundInMountOrderAndGoWithTheUnmount)
{
    // A missing archive gives zero and still uses up its number.
    std::string missing = dir.file("missing.big");
    EXPECT_EQ(ran(FILESYS_openbigop(missing.c_str(), 0, P, 0)), std::make_tuple(FOPS_FAILED, ERRORFILENOTFOUND, 0u));
    int32_t number = 7, handle = 0;
    EXPECT_EQ(FILESYS_openbig(missing.c_str(), 0, P, &number), 0);
    EXPECT_EQ(number, 0);
    std::string alpha;
    while (alpha.size() < 5000)
        alpha += "abcdefghijklmnopqrstuvwxy";
    std::string bytes = bigarchive(2, {{"Data\\Alpha.TXT", alpha}, {"empty", ""}, {"beta.bin", "BETA"}});
    std::string path = dir.write("one.big", bytes);
    ASSERT_EQ(mount(path), -3);
    BIGFILE* archive = mounted(-3);
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(archive->base), archive->size), bytes);
    // Unknown and non-archive numbers queue no unmount.
    for (int32_t other : {-1, 0, 5})
        EXPECT_EQ(FILESYS_closebigop(other, P, 0), 0u) << other;
    // Any letter case of the entry name, through every whole-file service.
    expectseen({{"data\\alpha.txt", "1 5000 " + alpha}, {"DATA\\ALPHA.TXT", "1 5000 " + alpha},
                {"BETA.BIN", "1 4 BETA"}, {"empty", "1 0 "}, {"gamma.bin", "0 0 -"}, {path + "|BETA.bin", "1 4 BETA"}});
    // An entry handle reads from the mapping at any position, on its
    // archive's drive; entries are read-only.
    ASSERT_EQ(FILESYS_open((path + "|beta.bin").c_str(), FOPEN_READ, P, &handle), 1);
    EXPECT_EQ(FILESYS_handledevice(handle), FILESYS_pathdevice(path.c_str()));
    EXPECT_EQ(static_cast<const char*>(FILESYS_handleaddress(handle)),
              static_cast<const char*>(archive->base) + bytes.find("BETA"));
    char buffer[8] = {};
    EXPECT_EQ(FILESYS_read(handle, 1, buffer, 8, P), 3);
    EXPECT_EQ(std::string(buffer, 3), "ETA");
    EXPECT_EQ((V{FILESYS_length(handle, P), FILESYS_write(handle, 0, "x", 1, P), FILESYS_close(handle, P)}), V({4, 0, 1}));

    // Searched in mount order; a named archive that lacks the entry ends the
    // search there; the archive part is compared exactly with the mount path.
    std::string first = dir.write("first.big", bigarchive(1, {{"shared.txt", "from the first"}, {"one", "1"}}));
    std::string second = dir.write("second.big", bigarchive(2, {{"SHARED.TXT", "from the second"}, {"two", "2"}}));
    ASSERT_EQ(mount(first), -4);
    ASSERT_EQ(mount(second), -5);
    expectseen({{"shared.txt", "1 14 from the first"}, {second + "|shared.txt", "1 15 from the second"},
                {"|shared.txt", "1 14 from the first"}, {"|two", "1 1 2"}, {first + "|two", "0 0 -"},
                {dir.file("FIRST.BIG") + "|one", "0 0 -"}, {dir.path() + "/./first.big|one", "0 0 -"},
                {"first.big|one", "0 0 -"}, {first + "|one", "1 1 1"}});
#ifndef _WIN32
    // A name whose archive part is mounted is never tried on disk, even when
    // such a file exists; on POSIX "|" is otherwise an ordinary character.
    expectseen({{dir.write("first.big|zzz", "on disk"), "0 0 -"}, {dir.write("a|b.txt", "plain"), "1 5 plain"}});
    EXPECT_EQ(FILE_savequiet(dir.file("a|b.txt").c_str(), "saved", 5), 1);
    EXPECT_EQ(ScopedTempDir::read(dir.file("a|b.txt")), "saved");
#endif

    // Opens for writing search no archive, and files on disk come first.
    std::string entry = dir.file("entry.txt");  // a path with no file there
    std::string written = dir.write("w.big", bigarchive(1, {{entry, "archived"}}));
    ASSERT_EQ(mount(written), -6);
    EXPECT_EQ((V{FILESYS_open(entry.c_str(), 0, P, &handle), FILESYS_open(entry.c_str(), FOPEN_TRUNCATE, P, &handle),
                 FILESYS_open((written + "|" + entry).c_str(), FOPEN_CREATE, P, &handle)}),
              V({0, 0, 0}));
    EXPECT_EQ(ScopedTempDir::size(written + "|" + entry), -1);
    ASSERT_EQ(FILESYS_open(entry.c_str(), FOPEN_CREATE, P, &handle), 1);
    EXPECT_EQ((V{FILESYS_write(handle, 0, "disk", 4, P), FILESYS_close(handle, P)}), V({4, 1}));
    expectseen({{entry, "1 4 disk"}, {written + "|" + entry, "1 8 archived"}});

    // Unmounted, an archive's entries are gone for good; the next archive's
    // entry is found instead.
    ASSERT_EQ((V{FILESYS_closebig(-4, P), FILESYS_closebig(-3, P)}), V({1, 1}));
    EXPECT_EQ(mounted(-3), nullptr);
    expectseen({{"shared.txt", "1 15 from the second"}, {"one", "0 0 -"}, {"data\\alpha.txt", "0 0 -"},
                {path + "|beta.bin", "0 0 -"}, {"beta.bin", "0 0 -"}});
    EXPECT_EQ(FILESYS_closebigop(-3, P, 0), 0u);
}

TEST_F(Mount, ArchivesWithOpenEntriesOrMountedArchivesInsideStayUntilTheShutdown)
{
    std::string inner = bigarchive(1, {{"deep.txt", "deep inside"}});
    std::string path =
        dir.write("busy.big", bigarchive(2, {{"held", "held bytes"}, {"other", "o"}, {"inner.big", inner}}));
    ASSERT_EQ(mount(path), -1);
    int32_t held = 0, other = 0;
    ASSERT_EQ(FILESYS_open("held", FOPEN_READ, P, &held), 1);
    ASSERT_EQ(FILESYS_open("other", FOPEN_READ, P, &other), 1);
    EXPECT_EQ(ran(FILESYS_closebigop(-1, P, 0)), std::make_tuple(FOPS_FAILED, ERRORBUSY, 0u));
    // Still mounted, and the open entries still read their bytes.
    char buffer[16] = {};
    EXPECT_EQ((V{FILESYS_read(held, 0, buffer, 16, P), FILESYS_close(held, P), FILESYS_closebig(-1, P),
                 FILESYS_close(other, P)}),
              V({10, 1, 0, 1}));
    EXPECT_EQ(std::string(buffer, 10), "held bytes");

    // An archive mounted from inside another holds it; the archive part of
    // a path ends at the first bar.
    EXPECT_EQ(mount(path + "|INNER.BIG"), -2);
    expectseen({{"deep.txt", "1 11 deep inside"}, {path + "|INNER.BIG|deep.txt", "0 0 -"}});
    EXPECT_EQ(mounted(-2)->size, static_cast<int32_t>(inner.size()));
    EXPECT_EQ((V{FILESYS_closebig(-1, P), FILESYS_closebig(-2, P), FILESYS_closebig(-1, P), FILE_exists("held")}),
              V({0, 1, 1, 0}));
    // The closed entry handle is gone: it reads nothing.
    EXPECT_EQ(readfromfile(held, buffer, 4), 0u);
    EXPECT_EQ(SYS_getlasterror(), ERRORINVALIDHANDLE);

    // The shutdown closes entry handles before the mapping goes.
    ASSERT_EQ(mount(path), -3);
    ASSERT_EQ(FILESYS_open("other", FOPEN_READ, P, &other), 1);
    FILESYS_shutdown();
    EXPECT_EQ(readfromfile(other, buffer, 4), 0u);
    EXPECT_EQ(SYS_getlasterror(), ERRORINVALIDHANDLE);
}

TEST_F(Mount, OverlongPathsAndMalformedArchivesNeverReachBeyondTheMapping)
{
    // Paths of 260 characters are refused, before numbering. Padding with
    // "./" keeps the path naming the same file at any length.
    std::string base = dir.path() + "/", name = "long.big", padding;
    size_t need = FILE_BIGNAMEMAX - base.size() - name.size();
    while (padding.size() < need / 2 * 2)
        padding += "./";
    std::string longest = base + padding + (need % 2 ? "/" : "") + name, huge(5000, 'x');
    std::string toolong = base + "/" + longest.substr(base.size());
    ASSERT_EQ(longest.size(), static_cast<size_t>(FILE_BIGNAMEMAX));
    dir.write(name, bigarchive(2, {{"in", "inside"}}));
    for (const char* refused : {toolong.c_str(), static_cast<const char*>(nullptr), huge.c_str()})
        EXPECT_EQ(FILESYS_openbigop(refused, 0, P, 0), 0u);
    ASSERT_EQ(mount(longest), -1);
    EXPECT_STREQ(mounted(-1)->name, longest.c_str());
    expectseen({{longest + "|in", "1 6 inside"}, {toolong + "|in", "0 0 -"}, {huge + "|in", "0 0 -"}});
    EXPECT_EQ(FILESYS_closebig(-1, P), 1);

    // "past" claims 1000 bytes where only 10 are there; "wraps" claims an
    // offset near 4 GiB, whose end wraps round in 32 bits.
    std::string bytes = bigarchive(2, {{"good", "good data"}, {"past", "0123456789"}, {"wraps", "w"}, {"tail", ""}});
    bytes.replace(bytes.find("past") - 4, 4, std::string("\x00\x00\x03\xE8", 4));
    bytes.replace(bytes.find("wraps") - 8, 4, "\xFF\xFF\xFF\xFF");
    ASSERT_EQ(mount(dir.write("bad.big", bytes)), -2);
    // A header that claims an index longer than the file: the walk stops at
    // the end of the mapping, and an entry cut there is not found; the first
    // entry's data lay in the part cut away.
    std::string cut = bigarchive(1, {{"first", "1"}, {"second-with-a-long-name", "2"}});
    ASSERT_EQ(mount(dir.write("cut.big", cut.substr(0, cut.find("second") + 3))), -3);
    // Not an archive, and an empty file: mounted, nothing found, no alert.
    ASSERT_EQ(mount(dir.write("text.big", "just some text")), -4);
    ASSERT_EQ(mount(dir.write("empty.big", "")), -5);
    EXPECT_EQ(mounted(-5)->size, 0);
    expectseen({{"good", "1 9 good data"}, {"past", "0 0 -"}, {"wraps", "0 0 -"}, {"tail", "1 0 "},
                {"second-with-a-long-name", "0 0 -"}, {"first", "0 0 -"}, {"just", "0 0 -"}});
    for (int32_t number = -2; number >= -5; number--)
        EXPECT_EQ(FILESYS_closebig(number, P), 1) << number;
#ifndef _WIN32
    // An archive cut short by another process gives read failures, never a
    // fault (Windows refuses to cut a mapped file).
    std::string head(6000, 'h'), path = dir.write("short.big", bigarchive(2, {{"head", head}, {"far", "f"}}));
    ASSERT_EQ(mount(path), -6);
    int32_t farhandle = 0, headhandle = 0;
    ASSERT_EQ(FILESYS_open("far", FOPEN_READ, P, &farhandle), 1);
    ASSERT_EQ(truncate(path.c_str(), 3000), 0);
    char buffer[100];
    EXPECT_EQ(ran(FILESYS_readop(farhandle, 0, buffer, 1, P, 0)), std::make_tuple(FOPS_FAILED, ERRORPARTIALCOPY, 0u));
    expectseen({{"head", "1 6000 -"}});
    ASSERT_EQ(FILESYS_open("head", FOPEN_READ, P, &headhandle), 1);
    EXPECT_EQ(FILESYS_read(headhandle, 10, buffer, 100, P), 100);
    EXPECT_EQ(std::string(buffer, 100), head.substr(10, 100));
    // With the index gone too, lookups still read only their own copy.
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    expectseen({{"head", "1 6000 -"}, {path + "|missing", "0 0 -"}});
    EXPECT_EQ(FILESYS_read(headhandle, 0, buffer, 100, P), 0);
    EXPECT_EQ((V{FILESYS_close(headhandle, P), FILESYS_close(farhandle, P), FILESYS_closebig(-6, P)}), V({1, 1, 1}));
#endif
}

}  // namespace
