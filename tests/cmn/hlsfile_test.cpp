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
#include "vorl/hlsfile.h"
#include "vorl/memory.h"
#include "vorl/nfile.h"
#include "vorl/thread.h"

namespace {

using Texts = std::vector<std::string>;

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
    ScopedAlertRecorder recorder;
};

TEST_F(WholeFile, SizeLoadAndLoadAt)
{
    std::string data = pattern(20000, 1);
    std::string path = dir.write("data.bin", data);
    const char* p = path.c_str();
    EXPECT_EQ(V({FILE_exists(p), FILE_size(p), FILE_sizequiet(p)}), V({1, 20000, 20000}));
    void* block = FILE_load(path.c_str(), MB_RAM);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(contents(block, data.size()), data);
    EXPECT_EQ(labelafter(block, data.size()), path);
    const char* owner = nullptr;
    int32_t line = 0;
    ASSERT_EQ(MEM_owner(block, &owner, &line), 1);
    EXPECT_STREQ(owner, "cmn/hlsfile");
    EXPECT_EQ(V({MEM_free(block), SYS_getlasterror()}), V({1, 0}));

    // Loads at an address take at most the length given, all of the file for 0 or less.
    std::string ten = dir.write("ten.bin", "0123456789");
    const struct { int32_t length, got; const char* after; } loads[] = {
        {0, 10, "0123456789#"}, {4, 4, "0123#"}, {-1, 10, "0123456789#"}};
    for (const auto& row : loads) {
        std::vector<char> at(32, '#');
        EXPECT_EQ(FILE_loadatquiet(ten.c_str(), at.data(), row.length), row.got) << row.length;
        EXPECT_EQ(std::string(at.data(), 32), row.after + std::string(32 - strlen(row.after), '#')) << row.length;
    }
    std::vector<char> big(data.size());
    EXPECT_EQ(FILE_loadat(path.c_str(), big.data(), 0), 20000);
    EXPECT_EQ(std::string(big.begin(), big.end()), data);

    // An empty file gives an empty block, not a failure.
    std::string empty = dir.write("empty.bin", "");
    EXPECT_EQ(FILE_size(empty.c_str()), 0);
    void* none = FILE_loadquiet(empty.c_str(), MB_RAM);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(labelafter(none, 0), empty);
    MEM_free(none);
    EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(WholeFile, FilesThatCannotBeOpenedGiveZeroAndTheirAlerts)
{
    std::string missing = dir.file("missing.bin");
    const char* m = missing.c_str();
    std::vector<char> at(8);
    EXPECT_EQ(V({FILE_exists(m), FILE_exists(dir.path().c_str()), FILE_sizequiet(m), SYS_getlasterror()}),
              V({0, 0, 0, ERRORFILENOTFOUND}));
    EXPECT_EQ(V({FILE_loadquiet(m, MB_RAM) != nullptr, FILE_loadatquiet(m, at.data(), 8),
                 FILE_loadbigheaderquiet(m, MB_RAM) != nullptr, FILE_sizequiet("C:\\missing.bin")}),
              V({0, 0, 0, 0}));
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(V({FILE_size(m), FILE_load(m, MB_RAM) != nullptr, FILE_loadat(m, at.data(), 8),
                 FILE_loadbigheader(m, MB_RAM) != nullptr, FILE_size(dir.path().c_str())}),
              V({0, 0, 0, 0, 0}));
    EXPECT_EQ(recorder.messages(), (Texts{"FILE_size - unable to open file " + missing + "\n",
                                          "FILE_load - unable to open file " + missing + "\n",
                                          "FILE_loadat - unable to open file " + missing + "\n",
                                          "FILE_loadbigheader - unable to open file " + missing + "\n",
                                          "FILE_size - unable to open file " + dir.path() + "\n"}));
    for (const RecordedAlert& alert : recorder.alerts())
        EXPECT_EQ(alert.file, "cmn/hlsfile");
}

TEST_F(WholeFile, ScatterLoadGoesOnPastAMissingFile)
{
    std::string first = dir.write("first", pattern(300, 2)), third = dir.write("third", pattern(9000, 3));
    std::string missing = dir.file("second");
    const char* paths[] = {first.c_str(), missing.c_str(), third.c_str()};
    for (bool quiet : {true, false}) {
        void* results[3] = {&recorder, &recorder, &recorder};
        EXPECT_EQ((quiet ? FILE_scatterloadquiet : FILE_scatterload)(3, paths, results, MB_RAM), 0);
        ASSERT_TRUE(results[0] != nullptr && results[2] != nullptr);
        EXPECT_EQ(V({results[1] != nullptr, SYS_getlasterror()}), V({0, ERRORFILENOTFOUND}));
        EXPECT_EQ(contents(results[0], 300) + contents(results[2], 9000), pattern(300, 2) + pattern(9000, 3));
        EXPECT_EQ(labelafter(results[2], 9000), third);
        Texts expected = {"FILE_scatterload - unable to load file " + missing + "\n"};
        EXPECT_EQ(recorder.messages(), quiet ? Texts{} : expected);
        EXPECT_EQ(MEM_free(results[0]) + MEM_free(results[2]), 2);
    }
    void* results[2] = {&recorder, &recorder};
    EXPECT_EQ(FILE_scatterload(0, paths, results, MB_RAM), 0);
    EXPECT_EQ(results[0], &recorder);
    const char* two[] = {first.c_str(), third.c_str()};
    EXPECT_EQ(FILE_scatterload(2, two, results, MB_RAM), 1);
    EXPECT_EQ(MEM_free(results[0]) + MEM_free(results[1]), 2);
}

TEST_F(WholeFile, LoadsThatFailReleaseTheBufferAndTheFile)
{
    // Larger than the heap: the heap's alert, then the service's own; the
    // read handle is closed, so an unshared open for writing succeeds.
    std::string path = dir.write("huge.bin", std::string(MEM_HEAPSIZE + 1, 'h'));
    EXPECT_EQ(FILE_loadquiet(path.c_str(), MB_RAM), nullptr);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.messages()[0].rfind("MEM_alloc - OUT OF MEMORY\n", 0), 0u);
    EXPECT_EQ(FILE_load(path.c_str(), MB_RAM), nullptr);
    ASSERT_EQ(recorder.count(), 3u);
    EXPECT_EQ(recorder.messages()[2], "FILE_load - unable to reserve memory for file " + path + "\n");
    EXPECT_EQ(FILE_savequiet(path.c_str(), "small", 5), 1);
    recorder.clear();

    // The load filter decides what the caller gets; a null result frees the buffer.
    static Texts seen;
    static void* replacement;
    replacement = MEM_alloc("replacement", 4, MB_RAM);
    int32_t free = MEM_totalfree();
    FILE_loadfilter = [](void* buffer, const char* name, uint32_t type) -> void* {
        seen.push_back(contents(buffer, 5) + "|" + name + "|" + std::to_string(type));
        MEM_free(buffer);
        return replacement;
    };
    EXPECT_EQ(FILE_loadquiet(path.c_str(), MB_GLOBAL), replacement);
    EXPECT_EQ(seen, Texts{"small|" + path + "|1"});
    EXPECT_EQ(MEM_totalfree(), free);
    FILE_loadfilter = [](void*, const char*, uint32_t) -> void* { return nullptr; };
    EXPECT_EQ(FILE_load(path.c_str(), MB_RAM), nullptr);
    EXPECT_EQ(MEM_totalfree(), free);
    FILE_loadfilter = nullptr;

    // Kernel attribute files report a size of a whole page but hold a line:
    // a load that comes back short fails.
    const char* line = "/sys/devices/system/cpu/online";
    std::vector<char> buffer(8192);
    int32_t size = FILE_sizequiet(line), got = FILE_loadatquiet(line, buffer.data(), 0);
    if (size != 4096 || got <= 0 || got >= size)
        GTEST_SKIP() << "no file whose reported size exceeds its contents";
    EXPECT_EQ(FILE_loadquiet(line, MB_RAM), nullptr);
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(FILE_load(line, MB_RAM), nullptr);
    EXPECT_EQ(recorder.messages(), Texts{std::string("FILE_load - unable to read file ") + line + "\n"});
    EXPECT_EQ(MEM_totalfree(), free);
}

TEST_F(WholeFile, SaveWritesInPlaceAndSetsTheLengthLast)
{
    std::string path = dir.write("save.bin", pattern(20000, 4)), link = dir.file("hardlink.bin");
#ifndef _WIN32
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
#endif
    ASSERT_TRUE(makehardlink(path, link));
    uint64_t before = fileidentity(path);
    // Shorter contents: the old tail goes.
    std::string shorter = pattern(5000, 5), longer = pattern(30000, 6);
    EXPECT_EQ(FILE_save(path.c_str(), shorter.data(), 5000), 1);
    EXPECT_EQ(ScopedTempDir::read(path) + ScopedTempDir::read(link), shorter + shorter);
    EXPECT_EQ(linkcount(path), 2u);
#ifdef _WIN32
    // (Symbolic links need a privilege on Windows: the longer contents go
    // through the hard link instead.)
    EXPECT_EQ(FILE_savequiet(link.c_str(), longer.data(), 30000), 1);
#else
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    // Longer contents through a symbolic link: the link stays a link.
    std::string symlink = dir.file("symlink.bin");
    ASSERT_EQ(::symlink(path.c_str(), symlink.c_str()), 0);
    EXPECT_EQ(FILE_savequiet(symlink.c_str(), longer.data(), 30000), 1);
    ASSERT_EQ(lstat(symlink.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
#endif
    EXPECT_EQ(ScopedTempDir::read(path), longer);
    // Nothing: the file stays, empty. Every save kept the same file.
    EXPECT_EQ(FILE_save(path.c_str(), "", 0), 1);
    EXPECT_EQ(V({ScopedTempDir::size(path), fileidentity(path) == before}), V({0, 1}));
    // A missing file is created.
    std::string fresh = dir.file("fresh.bin"), nothing = dir.file("nothing.bin");
    EXPECT_EQ(V({FILE_savequiet(fresh.c_str(), "abc", 3), FILE_savequiet(nothing.c_str(), nullptr, 0),
                 SYS_getlasterror()}),
              V({1, 1, 0}));
    EXPECT_EQ(ScopedTempDir::read(fresh), "abc");
    EXPECT_EQ(V({ScopedTempDir::size(nothing), static_cast<long long>(recorder.count())}), V({0, 0}));
}

TEST_F(WholeFile, SavesThatFailChangeNothingTheyDidNotWrite)
{
    std::string data = pattern(1000, 7);
    std::string path = dir.write("held.bin", data);
    // Bad lengths and arrays are refused before anything is opened.
    EXPECT_EQ(V({FILE_savequiet(path.c_str(), data.data(), -1), SYS_getlasterror()}), V({0, ERRORINVALIDPARAMETER}));
    EXPECT_EQ(FILE_scatterloadquiet(2, nullptr, nullptr, MB_RAM), 0);
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(FILE_save(path.c_str(), data.data(), INT32_MIN), 0);
    EXPECT_EQ(recorder.messages(), Texts{"FILE_save - failure writing to file " + path + "\n"});
    recorder.clear();
    // Held open for reading without shared writing: the save cannot open it,
    // and the create that follows finds it; the first reason is kept.
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), FOPEN_READ, 10, &handle), 1);
    EXPECT_EQ(V({FILE_savequiet(path.c_str(), "x", 1), SYS_getlasterror()}), V({0, ERRORSHARING}));
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(FILE_save(path.c_str(), "x", 1), 0);
    EXPECT_EQ(recorder.messages(), Texts{"FILE_save - unable to open file " + path + "\n"});
    FILESYS_close(handle, 10);
    EXPECT_EQ(ScopedTempDir::read(path), data);
    EXPECT_EQ(V({FILE_savequiet(dir.path().c_str(), "x", 1), SYS_getlasterror()}), V({0, ERRORACCESSDENIED}));
    EXPECT_EQ(FILE_savequiet(dir.file("no/such/dir.bin").c_str(), "x", 1), 0);
    EXPECT_NE(SYS_getlasterror(), 0u);
#ifndef _WIN32
    // Writes past 12000 bytes fail as on a full disk: the file is not cut to
    // the new length, and every byte the save did not reach is old.
    recorder.clear();
    std::string old = pattern(40000, 8), fresh = pattern(30000, 9);
    dir.write("held.bin", old);
    struct rlimit saved, limit;
    getrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_IGN);
    limit = saved;
    limit.rlim_cur = 12000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    V result = {FILE_save(path.c_str(), fresh.data(), 30000), SYS_getlasterror()};
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(result, V({0, ERRORFILETOOLARGE}));
    EXPECT_EQ(recorder.messages(), Texts{"FILE_save - failure writing to file " + path + "\n"});
    std::string now = ScopedTempDir::read(path);
    ASSERT_EQ(now.size(), old.size());
    EXPECT_EQ(now.substr(12000), old.substr(12000));
#endif
}

// A BIG archive of count entries with names of about name bytes each.
std::string bigarchive(int layout, int count, size_t name)
{
    std::string index, out = layout == 1 ? "\xC0\xFB" : "BIGF";
    size_t field = layout == 1 ? 3 : 4, headersize = layout == 1 ? 6 : 16;
    for (int i = 0; i < count; i++)
        headersize += 2 * field + std::to_string(i).size() + name + 1;
    auto put = [](std::string& to, uint32_t value, size_t bytes) {
        for (size_t i = bytes; i-- > 0;)
            to += static_cast<char>(value >> (8 * i));
    };
    for (int i = 0; i < count; i++) {
        put(index, static_cast<uint32_t>(headersize + i), field);
        put(index, 1, field);
        index += std::to_string(i) + std::string(name, 'n') + '\0';
    }
    if (layout == 1) {
        put(out, static_cast<uint32_t>(headersize - 4), 2);
        put(out, static_cast<uint32_t>(count), 2);
    } else {
        put(out, 0, 4);
        put(out, static_cast<uint32_t>(count), 4);
        put(out, static_cast<uint32_t>(headersize), 4);
    }
    return out + index + std::string(static_cast<size_t>(count), 'd');
}

TEST_F(WholeFile, BigHeaders)
{
    for (int layout = 1; layout <= 2; layout++) {
        SCOPED_TRACE(layout);
        // Header and index larger than the first read: the block is exactly
        // the header size and holds the whole index.
        std::string archive = bigarchive(layout, 300, 12);
        std::string path = dir.write("large" + std::to_string(layout) + ".big", archive);
        uint8_t* block = static_cast<uint8_t*>(FILE_loadbigheader(path.c_str(), MB_RAM));
        ASSERT_NE(block, nullptr);
        uint32_t size = BIG_headersize(block), offset = 0;
        ASSERT_GT(size, static_cast<uint32_t>(FILE_BIGHEADERSIZE));
        EXPECT_EQ(contents(block, size), archive.substr(0, size));
        EXPECT_EQ(labelafter(block, size), path);
        EXPECT_NE(BIG_findentry(block, "299NNNNNNNNNNNN", 0, &offset, nullptr), nullptr);
        EXPECT_EQ(offset, size + 299);
        MEM_free(block);
        // The same archive cut short inside its index fails.
        for (uint32_t cut : {size - 10, 1000u})
            EXPECT_EQ(FILE_loadbigheaderquiet(dir.write("cut.big", archive.substr(0, cut)).c_str(), MB_RAM), nullptr)
                << cut;
    }
    EXPECT_EQ(recorder.count(), 0u);

    // A small archive: the first 2704 bytes, zeros past the file's end.
    std::string sample = std::string(VORL_SOURCE_DIR) + "/examples/sample.big";
    std::string file = ScopedTempDir::read(sample);
    ASSERT_GT(file.size(), 16u);
    uint8_t* block = static_cast<uint8_t*>(FILE_loadbigheaderquiet(sample.c_str(), MB_RAM));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(contents(block, FILE_BIGHEADERSIZE), file + std::string(FILE_BIGHEADERSIZE - file.size(), '\0'));
    EXPECT_EQ(labelafter(block, FILE_BIGHEADERSIZE), sample);
    EXPECT_NE(BIG_findentry(block, "READme.txt", 0, nullptr, nullptr), nullptr);
    MEM_free(block);
    std::string cut = dir.write("cutsmall.big", file.substr(0, 40));
    EXPECT_EQ(FILE_loadbigheader(cut.c_str(), MB_RAM), nullptr);
    // Not an archive: typeofbigfile's alert, then the service's own.
    std::string plain = dir.write("plain.big", "PK\x03\x04 not an archive");
    EXPECT_EQ(FILE_loadbigheader(plain.c_str(), MB_RAM), nullptr);
    EXPECT_EQ(FILE_loadbigheaderquiet(plain.c_str(), MB_RAM), nullptr);
    EXPECT_EQ(recorder.messages(), (Texts{"FILE_loadbigheader - unable to read file " + cut + "\n",
                                          "typeofbigfile - FILE IS NOT A BIG FILE\n",
                                          "FILE_loadbigheader - invalid big file header in file " + plain + "\n",
                                          "typeofbigfile - FILE IS NOT A BIG FILE\n"}));
    // A header that claims 1 GiB in a 2704-byte file: nothing is reserved
    // for the claim, so the heap raises nothing.
    recorder.clear();
    std::string claim = std::string("BIGF") + std::string(8, '\0') + "\x40";
    std::string liar = dir.write("liar.big", claim + std::string(FILE_BIGHEADERSIZE - claim.size(), 'x'));
    EXPECT_EQ(FILE_loadbigheaderquiet(liar.c_str(), MB_RAM), nullptr);
    EXPECT_EQ(recorder.count(), 0u);
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
