// Whole-file services on real files: results, the blocks they hand out, their
// alerts in the plain form and silence in the quiet one, the in-place save
// that never truncates first, and loads that come back short.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstring>
#include <string>
#include <vector>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "fileinfo.h"
#include "lasterrors.h"
#include "tempdir.h"
#include "vorl/big.h"
#include "vorl/nfile.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"
#include "vorl/thread.h"

namespace {

std::string pattern(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xFF);
    return bytes;
}

std::string contents(const void* block, size_t size) { return std::string(static_cast<const char*>(block), size); }

// The label that a block of the heap keeps right after its 16-byte trailer:
// it sits there only when the block holds exactly size bytes.
std::string labelafter(const void* block, size_t size)
{
    return std::string(static_cast<const char*>(block) + size + MEM_HEAPTRAILER);
}

class WholeFile : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GT(MEM_init(), 0);
        FILESYS_init(0, 0, 0);
    }
    void TearDown() override
    {
        FILE_loadfilter = nullptr;
        FILESYS_shutdown();
        MEM_shutdown();
    }
    ScopedTempDir dir;
};

TEST_F(WholeFile, SizeLoadAndLoadAt)
{
    std::string data = pattern(20000, 1);
    std::string path = dir.write("data.bin", data);
    EXPECT_EQ(FILE_exists(path.c_str()), 1);
    EXPECT_EQ(FILE_size(path.c_str()), 20000);
    EXPECT_EQ(FILE_sizequiet(path.c_str()), 20000);

    void* block = FILE_load(path.c_str(), MB_RAM);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(contents(block, data.size()), data);
    EXPECT_EQ(labelafter(block, data.size()), path);
    const char* owner = nullptr;
    int32_t line = 0;
    ASSERT_EQ(MEM_owner(block, &owner, &line), 1);
    EXPECT_STREQ(owner, "cmn/hlsfile");
    EXPECT_EQ(MEM_free(block), 1);
    EXPECT_EQ(SYS_getlasterror(), 0u);

    std::string ten = dir.write("ten.bin", "0123456789");
    std::vector<char> at(32, '#');
    EXPECT_EQ(FILE_loadat(ten.c_str(), at.data(), 0), 10);
    EXPECT_EQ(std::string(at.data(), 11), "0123456789#");
    at.assign(32, '#');
    EXPECT_EQ(FILE_loadatquiet(ten.c_str(), at.data(), 4), 4);
    EXPECT_EQ(std::string(at.data(), 5), "0123#");
    EXPECT_EQ(FILE_loadatquiet(ten.c_str(), at.data(), -1), 10);
    std::vector<char> big(data.size());
    EXPECT_EQ(FILE_loadatquiet(path.c_str(), big.data(), 0), 20000);
    EXPECT_EQ(std::string(big.begin(), big.end()), data);

    // An empty file gives an empty block, not a failure.
    std::string empty = dir.write("empty.bin", "");
    EXPECT_EQ(FILE_size(empty.c_str()), 0);
    void* none = FILE_loadquiet(empty.c_str(), MB_RAM);
    EXPECT_NE(none, nullptr);
    EXPECT_EQ(labelafter(none, 0), empty);
    MEM_free(none);
}

TEST_F(WholeFile, FilesThatCannotBeOpenedGiveZeroAndTheirAlerts)
{
    ScopedAlertRecorder recorder;
    std::string missing = dir.file("missing.bin");
    const char* m = missing.c_str();
    std::vector<char> at(8);

    EXPECT_EQ(FILE_exists(m), 0);
    EXPECT_EQ(FILE_exists(dir.path().c_str()), 0);
    EXPECT_EQ(recorder.count(), 0u);

    EXPECT_EQ(FILE_sizequiet(m), 0);
    EXPECT_EQ(SYS_getlasterror(), ERRORFILENOTFOUND);
    EXPECT_EQ(FILE_loadquiet(m, MB_RAM), nullptr);
    EXPECT_EQ(FILE_loadatquiet(m, at.data(), 8), 0);
    EXPECT_EQ(FILE_loadbigheaderquiet(m, MB_RAM), nullptr);
    EXPECT_EQ(FILE_sizequiet("C:\\missing.bin"), 0);
    EXPECT_EQ(recorder.count(), 0u);

    EXPECT_EQ(FILE_size(m), 0);
    EXPECT_EQ(FILE_load(m, MB_RAM), nullptr);
    EXPECT_EQ(FILE_loadat(m, at.data(), 8), 0);
    EXPECT_EQ(FILE_loadbigheader(m, MB_RAM), nullptr);
    EXPECT_EQ(FILE_size(dir.path().c_str()), 0);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{
                                       "FILE_size - unable to open file " + missing + "\n",
                                       "FILE_load - unable to open file " + missing + "\n",
                                       "FILE_loadat - unable to open file " + missing + "\n",
                                       "FILE_loadbigheader - unable to open file " + missing + "\n",
                                       "FILE_size - unable to open file " + dir.path() + "\n",
                                   }));
    for (const RecordedAlert& alert : recorder.alerts())
        EXPECT_EQ(alert.file, "cmn/hlsfile");
}

TEST_F(WholeFile, ScatterLoadGoesOnPastAMissingFile)
{
    ScopedAlertRecorder recorder;
    std::string first = dir.write("first", pattern(300, 2));
    std::string third = dir.write("third", pattern(9000, 3));
    std::string missing = dir.file("second");
    const char* paths[] = {first.c_str(), missing.c_str(), third.c_str()};
    void* results[3] = {&recorder, &recorder, &recorder};

    EXPECT_EQ(FILE_scatterloadquiet(3, paths, results, MB_RAM), 0);
    ASSERT_NE(results[0], nullptr);
    EXPECT_EQ(results[1], nullptr);
    ASSERT_NE(results[2], nullptr);
    EXPECT_EQ(contents(results[0], 300), pattern(300, 2));
    EXPECT_EQ(contents(results[2], 9000), pattern(9000, 3));
    EXPECT_EQ(labelafter(results[2], 9000), third);
    EXPECT_EQ(SYS_getlasterror(), ERRORFILENOTFOUND);
    EXPECT_EQ(recorder.count(), 0u);
    MEM_free(results[0]);
    MEM_free(results[2]);

    EXPECT_EQ(FILE_scatterload(3, paths, results, MB_RAM), 0);
    EXPECT_EQ(recorder.messages(),
              std::vector<std::string>{"FILE_scatterload - unable to load file " + missing + "\n"});
    MEM_free(results[0]);
    MEM_free(results[2]);

    const char* two[] = {first.c_str(), third.c_str()};
    EXPECT_EQ(FILE_scatterload(2, two, results, MB_RAM), 1);
    MEM_free(results[0]);
    MEM_free(results[1]);

    void* untouched[1] = {&recorder};
    EXPECT_EQ(FILE_scatterload(0, paths, untouched, MB_RAM), 0);
    EXPECT_EQ(untouched[0], &recorder);
}

TEST_F(WholeFile, SaveWritesInPlaceAndSetsTheLengthLast)
{
    std::string path = dir.write("save.bin", pattern(20000, 4));
#ifndef _WIN32
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
#endif
    std::string link = dir.file("hardlink.bin");
    ASSERT_TRUE(makehardlink(path, link));
    uint64_t before = fileidentity(path);

    // Shorter contents: the old tail goes.
    std::string shorter = pattern(5000, 5);
    EXPECT_EQ(FILE_save(path.c_str(), shorter.data(), 5000), 1);
    EXPECT_EQ(ScopedTempDir::read(path), shorter);
    EXPECT_EQ(ScopedTempDir::read(link), shorter);
    EXPECT_EQ(fileidentity(path), before);
    EXPECT_EQ(linkcount(path), 2u);
    std::string longer = pattern(30000, 6);
#ifdef _WIN32
    // (Symbolic links need a privilege on Windows: the longer contents go
    // through the hard link instead.)
    EXPECT_EQ(FILE_savequiet(link.c_str(), longer.data(), 30000), 1);
    EXPECT_EQ(ScopedTempDir::read(path), longer);
#else
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    // Longer contents through a symbolic link: the link stays a link.
    std::string symlink = dir.file("symlink.bin");
    ASSERT_EQ(::symlink(path.c_str(), symlink.c_str()), 0);
    EXPECT_EQ(FILE_savequiet(symlink.c_str(), longer.data(), 30000), 1);
    EXPECT_EQ(ScopedTempDir::read(path), longer);
    ASSERT_EQ(lstat(symlink.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
#endif
    EXPECT_EQ(fileidentity(path), before);

    // Nothing: the file stays, empty.
    EXPECT_EQ(FILE_save(path.c_str(), "", 0), 1);
    EXPECT_EQ(ScopedTempDir::size(path), 0);
    EXPECT_EQ(fileidentity(path), before);

    // A missing file is created.
    std::string fresh = dir.file("fresh.bin");
    EXPECT_EQ(FILE_savequiet(fresh.c_str(), "abc", 3), 1);
    EXPECT_EQ(ScopedTempDir::read(fresh), "abc");
    std::string nothing = dir.file("nothing.bin");
    EXPECT_EQ(FILE_savequiet(nothing.c_str(), nullptr, 0), 1);
    EXPECT_EQ(ScopedTempDir::size(nothing), 0);
    EXPECT_EQ(SYS_getlasterror(), 0u);
}

TEST_F(WholeFile, ASaveThatCannotOpenChangesNothing)
{
    ScopedAlertRecorder recorder;
    std::string data = pattern(1000, 7);
    std::string path = dir.write("held.bin", data);

    // Held open for reading without shared writing: the save cannot open it,
    // and the create that follows finds it; the first reason is kept.
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), FOPEN_READ, 10, &handle), 1);
    EXPECT_EQ(FILE_savequiet(path.c_str(), "x", 1), 0);
    EXPECT_EQ(SYS_getlasterror(), ERRORSHARING);
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(FILE_save(path.c_str(), "x", 1), 0);
    EXPECT_EQ(recorder.messages(), std::vector<std::string>{"FILE_save - unable to open file " + path + "\n"});
    FILESYS_close(handle, 10);
    EXPECT_EQ(ScopedTempDir::read(path), data);

    EXPECT_EQ(FILE_savequiet(dir.path().c_str(), "x", 1), 0);
    EXPECT_EQ(SYS_getlasterror(), ERRORACCESSDENIED);
    std::string nowhere = dir.file("no/such/dir.bin");
    EXPECT_EQ(FILE_savequiet(nowhere.c_str(), "x", 1), 0);
    EXPECT_NE(SYS_getlasterror(), 0u);
}

TEST_F(WholeFile, ASaveFailingPartWayKeepsTheLengthAndTheUnwrittenBytes)
{
    ScopedAlertRecorder recorder;
    std::string old = pattern(40000, 8);
    std::string path = dir.write("full.bin", old);
    std::string fresh = pattern(30000, 9);

#ifdef _WIN32
    GTEST_SKIP() << "Windows has no per-process file-size limit to make a write fail part-way";
#else
    // Writes past 12000 bytes fail as on a full disk.
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = 12000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    int32_t saved1 = FILE_save(path.c_str(), fresh.data(), 30000);
    uint32_t error = SYS_getlasterror();
    setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(saved1, 0);
    EXPECT_EQ(error, ERRORFILETOOLARGE);
    EXPECT_EQ(recorder.messages(), std::vector<std::string>{"FILE_save - failure writing to file " + path + "\n"});
    // Not cut to the new length: every byte the save did not reach is old.
    std::string now = ScopedTempDir::read(path);
    ASSERT_EQ(now.size(), old.size());
    size_t written = 0;
    while (written < now.size() && now[written] == fresh[written] && written < fresh.size())
        written++;
    EXPECT_LE(written, 12000u);
    EXPECT_EQ(now.substr(12000), old.substr(12000));
#endif
}

TEST_F(WholeFile, ALoadThatComesBackShortFails)
{
    // Kernel attribute files report a size of a whole page but hold a line.
    const char* path = "/sys/devices/system/cpu/online";
    int32_t size = FILE_sizequiet(path);
    std::vector<char> line(8192);
    int32_t got = FILE_loadatquiet(path, line.data(), 0);
    if (size != 4096 || got <= 0 || got >= size)
        GTEST_SKIP() << "no file whose reported size exceeds its contents";

    ScopedAlertRecorder recorder;
    int32_t free = MEM_totalfree();
    EXPECT_EQ(FILE_loadquiet(path, MB_RAM), nullptr);
    EXPECT_EQ(MEM_totalfree(), free);
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(FILE_load(path, MB_RAM), nullptr);
    EXPECT_EQ(recorder.messages(), std::vector<std::string>{std::string("FILE_load - unable to read file ") + path + "\n"});
    EXPECT_EQ(MEM_totalfree(), free);
}

TEST_F(WholeFile, LoadFilterDecidesWhatTheCallerGets)
{
    static std::vector<std::string> seen;
    static void* replacement = nullptr;
    std::string path = dir.write("filtered.bin", "payload");
    replacement = MEM_alloc("replacement", 4, MB_RAM);
    int32_t free = MEM_totalfree();

    FILE_loadfilter = [](void* buffer, const char* name, uint32_t type) -> void* {
        seen.push_back(contents(buffer, 7) + "|" + name + "|" + std::to_string(type));
        MEM_free(buffer);
        return replacement;
    };
    EXPECT_EQ(FILE_loadquiet(path.c_str(), MB_GLOBAL), replacement);
    EXPECT_EQ(seen, std::vector<std::string>{"payload|" + path + "|1"});
    EXPECT_EQ(MEM_totalfree(), free);

    // A null result: the service frees the buffer and returns null.
    FILE_loadfilter = [](void*, const char*, uint32_t) -> void* { return nullptr; };
    EXPECT_EQ(FILE_load(path.c_str(), MB_RAM), nullptr);
    EXPECT_EQ(MEM_totalfree(), free);
    MEM_free(replacement);
}

TEST_F(WholeFile, ALoadLargerThanTheHeapReleasesTheFile)
{
    ScopedAlertRecorder recorder;
    std::string path = dir.write("huge.bin", std::string(MEM_HEAPSIZE + 1, 'h'));
    EXPECT_EQ(FILE_loadquiet(path.c_str(), MB_RAM), nullptr);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.messages()[0].rfind("MEM_alloc - OUT OF MEMORY\n", 0), 0u);
    EXPECT_EQ(FILE_load(path.c_str(), MB_RAM), nullptr);
    ASSERT_EQ(recorder.count(), 3u);
    EXPECT_EQ(recorder.messages()[2], "FILE_load - unable to reserve memory for file " + path + "\n");
    // The read handle was closed: an unshared open for writing succeeds.
    EXPECT_EQ(FILE_savequiet(path.c_str(), "small", 5), 1);
}

// A BIG archive of count entries with names of about name bytes each.
std::string bigarchive(int layout, int count, size_t name)
{
    std::string index;
    std::vector<std::string> names;
    for (int i = 0; i < count; i++)
        names.push_back(std::to_string(i) + std::string(name, 'n'));
    size_t fixed = layout == 1 ? 6 : 16, field = layout == 1 ? 3 : 4;
    size_t headersize = fixed;
    for (const std::string& n : names)
        headersize += 2 * field + n.size() + 1;
    auto put = [](std::string& out, uint32_t value, size_t bytes) {
        for (size_t i = bytes; i-- > 0;)
            out += static_cast<char>(value >> (8 * i));
    };
    for (int i = 0; i < count; i++) {
        put(index, static_cast<uint32_t>(headersize + i), static_cast<uint32_t>(field));
        put(index, 1, field);
        index += names[i] + '\0';
    }
    std::string out;
    if (layout == 1) {
        out = "\xC0\xFB";
        put(out, static_cast<uint32_t>(headersize - 4), 2);
        put(out, static_cast<uint32_t>(count), 2);
    } else {
        out = "BIGF";
        put(out, 0, 4);
        put(out, static_cast<uint32_t>(count), 4);
        put(out, static_cast<uint32_t>(headersize), 4);
    }
    return out + index + std::string(static_cast<size_t>(count), 'd');
}

TEST_F(WholeFile, BigHeaders)
{
    ScopedAlertRecorder recorder;
    for (int layout = 1; layout <= 2; layout++) {
        SCOPED_TRACE(layout);
        // Header and index larger than the first read: the block is exactly
        // the header size and holds the whole index.
        std::string archive = bigarchive(layout, 300, 12);
        std::string path = dir.write("large" + std::to_string(layout) + ".big", archive);
        uint8_t* block = static_cast<uint8_t*>(FILE_loadbigheader(path.c_str(), MB_RAM));
        ASSERT_NE(block, nullptr);
        uint32_t size = BIG_headersize(block);
        ASSERT_GT(size, static_cast<uint32_t>(FILE_BIGHEADERSIZE));
        EXPECT_EQ(contents(block, size), archive.substr(0, size));
        EXPECT_EQ(labelafter(block, size), path);
        uint32_t offset = 0;
        EXPECT_NE(BIG_findentry(block, "299NNNNNNNNNNNN", 0, &offset, nullptr), nullptr);
        EXPECT_EQ(offset, size + 299);
        MEM_free(block);

        // The same archive cut short inside its index fails.
        std::string cut = dir.write("cut" + std::to_string(layout) + ".big", archive.substr(0, size - 10));
        EXPECT_EQ(FILE_loadbigheaderquiet(cut.c_str(), MB_RAM), nullptr);
        std::string cutshort = dir.write("cutshort.big", archive.substr(0, 1000));
        EXPECT_EQ(FILE_loadbigheaderquiet(cutshort.c_str(), MB_RAM), nullptr);
    }
    EXPECT_EQ(recorder.count(), 0u);

    // A small archive: the first 2704 bytes, zeros past the file's end.
    std::string sample = std::string(VORL_SOURCE_DIR) + "/examples/sample.big";
    std::string file = ScopedTempDir::read(sample);
    ASSERT_GT(file.size(), 16u);
    uint8_t* block = static_cast<uint8_t*>(FILE_loadbigheaderquiet(sample.c_str(), MB_RAM));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(contents(block, FILE_BIGHEADERSIZE),
              file + std::string(FILE_BIGHEADERSIZE - file.size(), '\0'));
    EXPECT_EQ(labelafter(block, FILE_BIGHEADERSIZE), sample);
    EXPECT_NE(BIG_findentry(block, "READme.txt", 0, nullptr, nullptr), nullptr);
    MEM_free(block);

    std::string cut = dir.write("cutsmall.big", file.substr(0, 40));
    EXPECT_EQ(FILE_loadbigheader(cut.c_str(), MB_RAM), nullptr);
    EXPECT_EQ(recorder.messages(), std::vector<std::string>{"FILE_loadbigheader - unable to read file " + cut + "\n"});

    // Not an archive: typeofbigfile's alert, then the service's own.
    recorder.clear();
    std::string plain = dir.write("plain.big", "PK\x03\x04 not an archive");
    EXPECT_EQ(FILE_loadbigheader(plain.c_str(), MB_RAM), nullptr);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{
                                       "typeofbigfile - FILE IS NOT A BIG FILE\n",
                                       "FILE_loadbigheader - invalid big file header in file " + plain + "\n"}));
    recorder.clear();
    EXPECT_EQ(FILE_loadbigheaderquiet(plain.c_str(), MB_RAM), nullptr);
    EXPECT_EQ(recorder.messages(), std::vector<std::string>{"typeofbigfile - FILE IS NOT A BIG FILE\n"});

    // A header that claims 1 GiB in a 2704-byte file: nothing is reserved
    // for the claim, so the heap raises nothing.
    recorder.clear();
    std::string claim = std::string("BIGF") + std::string(8, '\0') + "\x40\x00\x00\x00";
    std::string liar = dir.write("liar.big", claim + std::string(FILE_BIGHEADERSIZE - claim.size(), 'x'));
    EXPECT_EQ(FILE_loadbigheaderquiet(liar.c_str(), MB_RAM), nullptr);
    EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(WholeFile, BadLengthsAndArraysAreRefusedBeforeAnythingIsOpened)
{
    ScopedAlertRecorder recorder;
    std::string old = pattern(4096, 9);
    std::string path = dir.write("kept.bin", old);
    EXPECT_EQ(FILE_savequiet(path.c_str(), old.data(), -1), 0);
    EXPECT_EQ(SYS_getlasterror(), 87u);
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(FILE_scatterloadquiet(2, nullptr, nullptr, MB_RAM), 0);
    EXPECT_EQ(FILE_save(path.c_str(), old.data(), INT32_MIN), 0);
    EXPECT_EQ(recorder.messages(), std::vector<std::string>{"FILE_save - failure writing to file " + path + "\n"});
    EXPECT_EQ(ScopedTempDir::read(path), old);
}

TEST(WholeFileDeathTest, APlainServiceEndsTheProcessWhenItFails)
{
    EXPECT_EXIT(
        {
            MEM_init();
            FILESYS_init(0, 0, 0);
            FILE_load("/nonexistent/vorl/file.bin", MB_RAM);
        },
        testing::ExitedWithCode(0), "FILE_load - unable to open file /nonexistent/vorl/file.bin");
}

}  // namespace
