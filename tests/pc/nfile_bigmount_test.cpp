// Mounted archives: mounting and unmounting, archive numbers, entries that
// open, read, size and close like files, the "archive|entry" form, the search
// in mount order, and what a malformed or overlong archive can and cannot do.
#include <gtest/gtest.h>

#include <string>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "bigarchive.h"
#include "lasterrors.h"
#include "tempdir.h"
#include "pc/nfileint.h"
#include "vorl/hlsfile.h"
#include "vorl/pagemem.h"
#include "vorl/memory.h"
#include "vorl/file.h"
#include "vorl/thread.h"

namespace {

const int32_t P = 100;

std::string loaded(const std::string& path)
{
    void* block = FILE_loadquiet(path.c_str(), 0);
    if (!block)
        return "<none>";
    std::string bytes(static_cast<const char*>(block), static_cast<size_t>(FILE_sizequiet(path.c_str())));
    MEM_free(block);
    return bytes;
}

int32_t mount(const std::string& path)
{
    int32_t number = 0;
    FILESYS_openbig(path.c_str(), 0, P, &number);
    return number;
}

BIGFILE* mounted(int32_t number)
{
    for (auto* archive = static_cast<BIGFILE*>(FILEbiglist.head); archive; archive = archive->link)
        if (archive->number == number)
            return archive;
    return nullptr;
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

TEST_F(Mount, EntriesOpenReadAndSizeLikeFilesUntilTheUnmount)
{
    std::string alpha(5000, 'a');
    for (size_t at = 0; at < alpha.size(); at++)
        alpha[at] = static_cast<char>('a' + at % 26);
    std::string bytes = bigarchive(2, {{"Data\\Alpha.TXT", alpha}, {"empty", ""}, {"beta.bin", "BETA"}});
    std::string path = dir.write("one.big", bytes);

    int32_t number = 0;
    ASSERT_EQ(FILESYS_openbig(path.c_str(), 0, P, &number), 1);
    EXPECT_EQ(number, -1);
    BIGFILE* archive = mounted(-1);
    ASSERT_NE(archive, nullptr);
    EXPECT_STREQ(archive->name, path.c_str());
    EXPECT_EQ(archive->size, static_cast<int32_t>(bytes.size()));
    ASSERT_NE(archive->base, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(archive->base), bytes.size()), bytes);

    // Any letter case of the entry name, through every whole-file service.
    for (const char* name : {"data\\alpha.txt", "DATA\\ALPHA.TXT", "Data\\Alpha.TXT"}) {
        EXPECT_EQ(FILE_exists(name), 1) << name;
        EXPECT_EQ(FILE_sizequiet(name), 5000) << name;
        EXPECT_EQ(loaded(name), alpha) << name;
    }
    EXPECT_EQ(loaded("BETA.BIN"), "BETA");
    EXPECT_EQ(FILE_exists("empty"), 1);
    EXPECT_EQ(FILE_sizequiet("empty"), 0);
    EXPECT_EQ(FILE_exists("gamma.bin"), 0);

    // An entry handle reads from the mapping at any position, in pieces.
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open((path + "|beta.bin").c_str(), FOPEN_READ, P, &handle), 1);
    EXPECT_EQ(FILESYS_length(handle, P), 4);
    // An entry is served by its archive's drive.
    EXPECT_EQ(FILESYS_handledevice(handle), FILESYS_pathdevice(path.c_str()));
    char buffer[8] = {};
    EXPECT_EQ(FILESYS_read(handle, 1, buffer, 8, P), 3);
    EXPECT_EQ(std::string(buffer, 3), "ETA");
    EXPECT_EQ(static_cast<const char*>(FILESYS_handleaddress(handle)),
              static_cast<const char*>(archive->base) + bytes.find("BETA"));
    EXPECT_EQ(FILE_exists((path + "|BETA.bin").c_str()), 1);
    // Entries are read-only: a write moves nothing.
    EXPECT_EQ(FILESYS_write(handle, 0, "x", 1, P), 0);
    EXPECT_EQ(FILESYS_close(handle, P), 1);

    ASSERT_EQ(FILESYS_closebig(-1, P), 1);
    EXPECT_EQ(mounted(-1), nullptr);
    EXPECT_EQ(FILE_exists("data\\alpha.txt"), 0);
    EXPECT_EQ(FILE_exists((path + "|beta.bin").c_str()), 0);
    EXPECT_EQ(FILE_loadquiet("beta.bin", 0), nullptr);
    // Gone for good: a second unmount finds nothing and queues nothing.
    EXPECT_EQ(FILESYS_closebigop(-1, P, 0), 0u);
    EXPECT_EQ(FILESYS_closebig(-1, P), 0);
}

TEST_F(Mount, ArchivesAreSearchedInMountOrderAndAnArchivePartMustMatchExactly)
{
    std::string first = dir.write("first.big", bigarchive(1, {{"shared.txt", "from the first"}, {"one", "1"}}));
    std::string second =
        dir.write("second.big", bigarchive(2, {{"SHARED.TXT", "from the second"}, {"two", "2"}}));
    ASSERT_EQ(mount(first), -1);
    ASSERT_EQ(mount(second), -2);

    EXPECT_EQ(loaded("shared.txt"), "from the first");
    EXPECT_EQ(loaded(second + "|shared.txt"), "from the second");
    EXPECT_EQ(loaded("|shared.txt"), "from the first");
    EXPECT_EQ(loaded("two"), "2");
    EXPECT_EQ(loaded("|two"), "2");

    // A named archive that lacks the entry ends the search there.
    EXPECT_EQ(FILE_exists((first + "|two").c_str()), 0);
    // The archive part is compared exactly with the mount path.
    std::string upper = dir.file("FIRST.BIG");
    std::string relative = dir.path() + "/./first.big";
    EXPECT_EQ(FILE_exists((upper + "|one").c_str()), 0);
    EXPECT_EQ(FILE_exists((relative + "|one").c_str()), 0);
    EXPECT_EQ(FILE_exists("first.big|one"), 0);
    EXPECT_EQ(FILE_exists((first + "|one").c_str()), 1);
#ifndef _WIN32
    // A name whose archive part is mounted is never tried on disk, even
    // when such a file exists.
    std::string barfile = dir.write("first.big|zzz", "on disk");
    EXPECT_EQ(FILE_exists(barfile.c_str()), 0);
#endif

    // With the first unmounted, the second's entry is the one found.
    ASSERT_EQ(FILESYS_closebig(-1, P), 1);
    EXPECT_EQ(loaded("shared.txt"), "from the second");
    EXPECT_EQ(FILE_exists("one"), 0);
}

TEST_F(Mount, AMissingArchiveGivesZeroAndStillUsesUpItsNumber)
{
    std::string missing = dir.file("missing.big");
    uint32_t op = FILESYS_openbigop(missing.c_str(), 0, P, 0);
    ASSERT_NE(op, 0u);
    EXPECT_EQ(FILESYS_waitop(op), FOPS_FAILED);
    EXPECT_EQ(FILESYS_errorop(op), ERRORFILENOTFOUND);
    EXPECT_EQ(FILESYS_completeop(op), 0u);
    EXPECT_EQ(FILEbiglist.head, nullptr);

    int32_t number = 7;
    EXPECT_EQ(FILESYS_openbig(missing.c_str(), 0, P, &number), 0);
    EXPECT_EQ(number, 0);

    std::string present = dir.write("present.big", bigarchive(2, {{"x", "x"}}));
    EXPECT_EQ(mount(present), -3);
    // Unknown and non-archive numbers queue nothing.
    EXPECT_EQ(FILESYS_closebigop(-1, P, 0), 0u);
    EXPECT_EQ(FILESYS_closebigop(0, P, 0), 0u);
    EXPECT_EQ(FILESYS_closebigop(5, P, 0), 0u);
    EXPECT_EQ(FILESYS_closebig(-3, P), 1);
}

TEST_F(Mount, OpensForWritingSearchNoArchiveAndDiskFilesComeFirst)
{
    // The entry's name is a path in the scratch directory with no file there.
    std::string entry = dir.file("entry.txt");
    std::string path = dir.write("w.big", bigarchive(1, {{entry, "archived"}}));
    ASSERT_EQ(mount(path), -1);

    int32_t handle = 7;
    EXPECT_EQ(FILESYS_open(entry.c_str(), 0, P, &handle), 0);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(FILESYS_open(entry.c_str(), FOPEN_TRUNCATE, P, &handle), 0);
    EXPECT_EQ(FILESYS_open((path + "|" + entry).c_str(), FOPEN_CREATE, P, &handle), 0);
    EXPECT_EQ(ScopedTempDir::size(path + "|" + entry), -1);
    EXPECT_EQ(loaded(entry), "archived");

    // Created on disk, the file hides the entry from plain opens; the bar
    // form still reaches the archive.
    ASSERT_EQ(FILESYS_open(entry.c_str(), FOPEN_CREATE, P, &handle), 1);
    EXPECT_EQ(FILESYS_write(handle, 0, "disk", 4, P), 4);
    EXPECT_EQ(FILESYS_close(handle, P), 1);
    EXPECT_EQ(loaded(entry), "disk");
    EXPECT_EQ(loaded(path + "|" + entry), "archived");
}

TEST_F(Mount, AnArchiveWithOpenEntriesIsNotUnmounted)
{
    std::string path = dir.write("busy.big", bigarchive(2, {{"held", "held bytes"}, {"other", "o"}}));
    ASSERT_EQ(mount(path), -1);
    int32_t held = 0;
    int32_t other = 0;
    ASSERT_EQ(FILESYS_open("held", FOPEN_READ, P, &held), 1);
    ASSERT_EQ(FILESYS_open("other", FOPEN_READ, P, &other), 1);

    uint32_t op = FILESYS_closebigop(-1, P, 0);
    ASSERT_NE(op, 0u);
    EXPECT_EQ(FILESYS_waitop(op), FOPS_FAILED);
    EXPECT_EQ(FILESYS_errorop(op), ERRORBUSY);
    EXPECT_EQ(FILESYS_completeop(op), 0u);
    // Still mounted, and the open entries still read their bytes.
    EXPECT_EQ(FILE_exists("held"), 1);
    char buffer[16] = {};
    EXPECT_EQ(FILESYS_read(held, 0, buffer, 16, P), 10);
    EXPECT_EQ(std::string(buffer, 10), "held bytes");

    EXPECT_EQ(FILESYS_close(held, P), 1);
    EXPECT_EQ(FILESYS_closebig(-1, P), 0);
    EXPECT_EQ(FILESYS_close(other, P), 1);
    EXPECT_EQ(FILESYS_closebig(-1, P), 1);
    EXPECT_EQ(FILE_exists("held"), 0);
    // The closed entry handle is gone: it reads nothing.
    EXPECT_EQ(readfromfile(held, buffer, 4), 0u);
    EXPECT_EQ(SYS_getlasterror(), ERRORINVALIDHANDLE);
}

TEST_F(Mount, AnArchiveInsideAnotherKeepsItsHolderMounted)
{
    std::string inner = bigarchive(1, {{"deep.txt", "deep inside"}});
    std::string path = dir.write("outer.big", bigarchive(2, {{"readme", "r"}, {"inner.big", inner}}));
    ASSERT_EQ(mount(path), -1);
    EXPECT_EQ(mount(path + "|INNER.BIG"), -2);
    EXPECT_EQ(loaded("deep.txt"), "deep inside");
    EXPECT_EQ(loaded(path + "|INNER.BIG|deep.txt"), "<none>");  // the archive part ends at the first bar
    EXPECT_EQ(mounted(-2)->size, static_cast<int32_t>(inner.size()));

    EXPECT_EQ(FILESYS_closebig(-1, P), 0);
    EXPECT_EQ(FILESYS_closebig(-2, P), 1);
    EXPECT_EQ(FILESYS_closebig(-1, P), 1);
}

TEST_F(Mount, MalformedIndexesNeverReachBeyondTheMapping)
{
    std::string good = "good data";
    std::string bytes = bigarchive(2, {{"good", good}, {"past", "0123456789"}, {"wraps", "w"}, {"tail", ""}});
    // "past" claims 1000 bytes where only 10 are there; "wraps" claims an
    // offset near 4 GiB, whose end wraps round in 32 bits.
    size_t past = bytes.find("past") - 4;
    bytes[past] = 0x00, bytes[past + 1] = 0x00, bytes[past + 2] = 0x03, bytes[past + 3] = static_cast<char>(0xE8);
    size_t wraps = bytes.find("wraps") - 8;
    for (int at = 0; at < 4; at++)
        bytes[wraps + at] = static_cast<char>(0xFF);
    std::string path = dir.write("bad.big", bytes);
    ASSERT_EQ(mount(path), -1);
    EXPECT_EQ(loaded("good"), good);
    EXPECT_EQ(FILE_exists("past"), 0);
    EXPECT_EQ(FILE_exists("wraps"), 0);
    EXPECT_EQ(FILE_exists("tail"), 1);

    // A header that claims an index longer than the file: the walk stops at
    // the end of the mapping, and an entry cut there is not found.
    std::string cut = bigarchive(1, {{"first", "1"}, {"second-with-a-long-name", "2"}});
    std::string truncated = cut.substr(0, cut.find("second") + 3);
    ASSERT_EQ(mount(dir.write("cut.big", truncated)), -2);
    EXPECT_EQ(FILE_exists("second-with-a-long-name"), 0);
    EXPECT_EQ(FILE_exists("first"), 0);  // its data lay in the part cut away

    // Not an archive, and an empty file: mounted, nothing found, no alert.
    ASSERT_EQ(mount(dir.write("text.big", "just some text")), -3);
    ASSERT_EQ(mount(dir.write("empty.big", "")), -4);
    EXPECT_EQ(mounted(-4)->size, 0);
    EXPECT_EQ(FILE_exists("just"), 0);
    for (int32_t number = -1; number >= -4; number--)
        EXPECT_EQ(FILESYS_closebig(number, P), 1) << number;
}

TEST_F(Mount, PathsOfTwoHundredAndSixtyCharactersAreRefused)
{
    // Padding with "./" keeps the path naming the same file at any length.
    std::string base = dir.path() + "/";
    std::string name = "long.big";
    size_t need = FILE_BIGNAMEMAX - base.size() - name.size();
    std::string padding;
    for (size_t step = 0; step < need / 2; step++)
        padding += "./";
    if (need % 2)
        padding += "/";
    std::string longest = base + padding + name;
    ASSERT_EQ(longest.size(), static_cast<size_t>(FILE_BIGNAMEMAX));
    dir.write(name, bigarchive(2, {{"in", "inside"}}));
    std::string toolong = base + "/" + longest.substr(base.size());
    ASSERT_EQ(toolong.size(), static_cast<size_t>(FILE_BIGNAMEMAX + 1));

    EXPECT_EQ(FILESYS_openbigop(toolong.c_str(), 0, P, 0), 0u);
    EXPECT_EQ(FILESYS_openbigop(nullptr, 0, P, 0), 0u);
    std::string huge(5000, 'x');
    EXPECT_EQ(FILESYS_openbigop(huge.c_str(), 0, P, 0), 0u);
    // Refused before numbering: the first real mount is still -1.
    ASSERT_EQ(mount(longest), -1);
    EXPECT_STREQ(mounted(-1)->name, longest.c_str());
    EXPECT_EQ(loaded(longest + "|in"), "inside");
    EXPECT_EQ(FILE_exists((toolong + "|in").c_str()), 0);
    EXPECT_EQ(FILE_exists((huge + "|in").c_str()), 0);
    EXPECT_EQ(FILE_exists("in"), 1);
}

TEST_F(Mount, ABarNamesAnEntryOnlyWhenItsArchivePartIsMountedOrEmpty)
{
    std::string path = dir.write("x.big", bigarchive(1, {{"b.txt", "entry"}}));
    ASSERT_EQ(mount(path), -1);
    EXPECT_EQ(loaded(path + "|b.txt"), "entry");
    EXPECT_EQ(loaded("|B.TXT"), "entry");
    EXPECT_EQ(FILE_exists((path + "|c.txt").c_str()), 0);
#ifndef _WIN32
    // On POSIX "|" is an ordinary character in file names.
    std::string plain = dir.write("a|b.txt", "plain");
    EXPECT_EQ(FILE_exists(plain.c_str()), 1);
    EXPECT_EQ(loaded(plain), "plain");
    EXPECT_EQ(FILE_savequiet(plain.c_str(), "saved", 5), 1);
    EXPECT_EQ(ScopedTempDir::read(plain), "saved");
#endif
}

#ifndef _WIN32
// Windows refuses to cut a mapped file; another POSIX process may.
TEST_F(Mount, AnArchiveCutShortGivesReadFailuresNeverAFault)
{
    std::string head(6000, 'h'), far(9000, 'f');
    std::string path = dir.write("cut.big", bigarchive(2, {{"head", head}, {"far", far}}));
    ASSERT_EQ(mount(path), -1);
    int32_t farhandle = 0, headhandle = 0;
    ASSERT_EQ(FILESYS_open("far", FOPEN_READ, P, &farhandle), 1);
    ASSERT_EQ(truncate(path.c_str(), 3000), 0);
    char buffer[9000];
    uint32_t op = FILESYS_readop(farhandle, 0, buffer, 9000, P, 0);
    EXPECT_EQ(FILESYS_waitop(op), FOPS_FAILED);
    EXPECT_EQ(FILESYS_errorop(op), ERRORPARTIALCOPY);
    FILESYS_completeop(op);
    EXPECT_EQ(loaded("head"), "<none>");
    ASSERT_EQ(FILESYS_open("head", FOPEN_READ, P, &headhandle), 1);
    EXPECT_EQ(FILESYS_read(headhandle, 0, buffer, 100, P), 100);
    EXPECT_EQ(std::string(buffer, 100), head.substr(0, 100));
    // With the index gone too, lookups still read only their own copy.
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    EXPECT_EQ(FILE_exists("head"), 1);
    EXPECT_EQ(FILE_exists((path + "|missing").c_str()), 0);
    EXPECT_EQ(FILESYS_read(headhandle, 0, buffer, 100, P), 0);
    EXPECT_EQ(FILESYS_close(headhandle, P), 1);
    EXPECT_EQ(FILESYS_close(farhandle, P), 1);
    EXPECT_EQ(FILESYS_closebig(-1, P), 1);
}
#endif

TEST_F(Mount, ShutdownClosesEntryHandlesBeforeTheMappingGoes)
{
    std::string path = dir.write("s.big", bigarchive(1, {{"kept", "kept open"}}));
    ASSERT_EQ(mount(path), -1);
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open("kept", FOPEN_READ, P, &handle), 1);
    FILESYS_shutdown();
    char buffer[4];
    EXPECT_EQ(readfromfile(handle, buffer, 4), 0u);
    EXPECT_EQ(SYS_getlasterror(), ERRORINVALIDHANDLE);
}

}  // namespace
