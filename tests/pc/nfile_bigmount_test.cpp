// Mounted archives: entries read like files, "archive|entry", mount order, bad archives.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
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

// What the whole-file services make of each path: "exists size bytes" ("-" when nothing loads).
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
    int32_t number = 7;
    EXPECT_EQ((V{FILESYS_openbig(missing.c_str(), 0, P, &number), number}), V({0, 0}));
    std::string alpha(5000, 'a'), bytes = bigarchive(2, {{"Data\\Alpha.TXT", alpha}, {"void", ""}, {"beta.b", "BETA"}});
    std::string path = dir.write("one.big", bytes);
    ASSERT_EQ(mount(path), -3);
    ASSERT_NE(mounted(-3), nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(mounted(-3)->base), mounted(-3)->size), bytes);
    EXPECT_EQ(FILESYS_closebigop(-1, P, 0) | FILESYS_closebigop(0, P, 0), 0u);  // unknown, not an archive
    // Any letter case of the entry name, through every whole-file service.
    expectseen({{"DATA\\alpha.txt", "1 5000 " + alpha}, {"BETA.B", "1 4 BETA"}, {"void", "1 0 "},
                {"gamma.bin", "0 0 -"}, {path + "|Beta.B", "1 4 BETA"}});

    // Searched in mount order; a named archive (exactly its mount path) ends the search.
    std::string first = dir.write("first.big", bigarchive(1, {{"shared.txt", "from the first"}, {"one", "1"}}));
    std::string second = dir.write("second.big", bigarchive(2, {{"SHARED.TXT", "from the second"}, {"two", "2"}}));
    ASSERT_EQ(mount(first), -4);
    ASSERT_EQ(mount(second), -5);
    expectseen({{"shared.txt", "1 14 from the first"}, {second + "|shared.txt", "1 15 from the second"},
                {"|shared.txt", "1 14 from the first"}, {"|two", "1 1 2"}, {first + "|two", "0 0 -"},
                {dir.file("FIRST.BIG") + "|one", "0 0 -"}, {"first.big|one", "0 0 -"}, {first + "|one", "1 1 1"}});
#ifndef _WIN32
    // On POSIX "|" is an ordinary character unless what precedes it names a mounted archive.
    expectseen({{dir.write("first.big|zzz", "on disk"), "0 0 -"}, {dir.write("a|b.txt", "plain"), "1 5 plain"}});
#endif
    // Unmounted, an archive's entries are gone; the next archive's entry is found instead.
    ASSERT_EQ((V{FILESYS_closebig(-4, P), FILESYS_closebig(-3, P), mounted(-3) == nullptr}), V({1, 1, 1}));
    expectseen({{"shared.txt", "1 15 from the second"}, {"one", "0 0 -"}, {path + "|beta.b", "0 0 -"}});
    EXPECT_EQ(FILESYS_closebigop(-3, P, 0), 0u);
}

TEST_F(Mount, ArchivesWithOpenEntriesOrMountedArchivesInsideStayUntilTheShutdown)
{
    std::string inner = bigarchive(1, {{"deep.txt", "deep inside"}});
    std::string path = dir.write("b.big", bigarchive(2, {{"held", "held bytes"}, {"other", "o"}, {"in.big", inner}}));
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

    // An archive mounted from inside another holds it; the archive part ends at the first bar.
    EXPECT_EQ(mount(path + "|IN.BIG"), -2);
    expectseen({{"deep.txt", "1 11 deep inside"}, {path + "|IN.BIG|deep.txt", "0 0 -"}});
    EXPECT_EQ(mounted(-2)->size, static_cast<int32_t>(inner.size()));
    EXPECT_EQ((V{FILESYS_closebig(-1, P), FILESYS_closebig(-2, P), FILESYS_closebig(-1, P), FILE_exists("held")}),
              V({0, 1, 1, 0}));
    EXPECT_EQ((V{readfromfile(held, buffer, 4), SYS_getlasterror()}), V({0, ERRORINVALIDHANDLE}));

    // The shutdown closes entry handles before the mapping goes.
    ASSERT_EQ(mount(path), -3);
    ASSERT_EQ(FILESYS_open("other", FOPEN_READ, P, &other), 1);
    FILESYS_shutdown();
    EXPECT_EQ((V{readfromfile(other, buffer, 4), SYS_getlasterror()}), V({0, ERRORINVALIDHANDLE}));
}

TEST_F(Mount, OverlongPathsAndMalformedArchivesNeverReachBeyondTheMapping)
{
    // Paths of 260 characters are refused, before numbering; "//" names the same file.
    std::string name = std::string(FILE_BIGNAMEMAX - dir.path().size() - 5, 'x') + ".big";
    std::string longest = dir.write(name, bigarchive(2, {{"in", "inside"}})), toolong = "/" + longest;
    EXPECT_EQ(FILESYS_openbigop(toolong.c_str(), 0, P, 0) | FILESYS_openbigop(nullptr, 0, P, 0), 0u);
    ASSERT_EQ(mount(longest), -1);
    expectseen({{longest + "|in", "1 6 inside"}, {toolong + "|in", "0 0 -"}});
    EXPECT_EQ(FILESYS_closebig(-1, P), 1);

    // "past" claims 1000 bytes where 10 are; the end of "wraps" wraps round in 32 bits.
    std::string bytes = bigarchive(2, {{"good", "good data"}, {"past", "0123456789"}, {"wraps", "w"}, {"tail", ""}});
    bytes.replace(bytes.find("past") - 4, 4, std::string("\x00\x00\x03\xE8", 4));
    bytes.replace(bytes.find("wraps") - 8, 4, "\xFF\xFF\xFF\xFF");
    ASSERT_EQ(mount(dir.write("bad.big", bytes)), -2);
    ASSERT_EQ(mount(dir.write("empty.big", "")), -3);  // mounted, nothing found, no alert
    expectseen({{"good", "1 9 good data"}, {"past", "0 0 -"}, {"wraps", "0 0 -"}, {"tail", "1 0 "}});
#ifndef _WIN32
    // Cut short by another process: read failures, never a fault (Windows refuses the cut).
    std::string path = dir.write("short.big", bigarchive(2, {{"head", std::string(6000, 'h')}, {"far", "f"}}));
    int32_t far = 0;
    char byte = 0;
    ASSERT_TRUE(mount(path) == -4 && FILESYS_open("far", FOPEN_READ, P, &far) && truncate(path.c_str(), 0) == 0);
    EXPECT_EQ(ran(FILESYS_readop(far, 0, &byte, 1, P, 0)), std::make_tuple(FOPS_FAILED, ERRORPARTIALCOPY, 0u));
    expectseen({{"head", "1 6000 -"}, {path + "|missing", "0 0 -"}});
    EXPECT_EQ(FILESYS_close(far, P), 1);
#endif
}

}  // namespace
