// Whole-file services on real files: results and last-error codes, the blocks
// they hand out, their alerts in the plain form and silence in the quiet one,
// the in-place save that never truncates first, and loads that come back short.
#include <gtest/gtest.h>

#include <signal.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
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

// The size bytes of a block, a bar and the label that the heap keeps right
// after the block's 16-byte trailer (there only when it holds exactly size bytes).
std::string held(const void* block, size_t size)
{
    const char* bytes = static_cast<const char*>(block);
    return block ? std::string(bytes, size) + "|" + (bytes + size + MEM_HEAPTRAILER) : "(null)";
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
    std::string data = pattern(20000, 1), path = dir.write("data.bin", data), empty = dir.write("empty.bin", "");
    const char* p = path.c_str();
    EXPECT_EQ(V({FILE_exists(p), FILE_size(p), FILE_sizequiet(p), FILE_size(empty.c_str())}),
              V({1, 20000, 20000, 0}));
    void* block = FILE_load(p, MB_RAM);
    const char* owner = nullptr;
    int32_t line = 0;
    EXPECT_EQ(V({MEM_owner(block, &owner, &line), owner && strcmp(owner, "cmn/hlsfile") == 0}), V({1, 1}));
    EXPECT_EQ(held(block, 20000), data + "|" + path);
    EXPECT_EQ(V({MEM_free(block), SYS_getlasterror()}), V({1, 0}));
    // An empty file gives an empty block, not a failure.
    void* none = FILE_loadquiet(empty.c_str(), MB_RAM);
    EXPECT_EQ(held(none, 0), "|" + empty);
    MEM_free(none);
    // Loads at an address take at most the length given, all of the file for 0 or less.
    for (int32_t length : {0, 4, -1, 25000}) {
        std::vector<char> at(20010, '#');
        int32_t want = length > 0 && length < 20000 ? length : 20000;
        EXPECT_EQ((length < 0 ? FILE_loadatquiet : FILE_loadat)(p, at.data(), length), want) << length;
        EXPECT_EQ(std::string(at.begin(), at.end()), data.substr(0, want) + std::string(20010 - want, '#'));
    }
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
        EXPECT_EQ(V({results[1] != nullptr, SYS_getlasterror()}), V({0, ERRORFILENOTFOUND}));
        EXPECT_EQ(held(results[0], 300) + held(results[2], 9000),
                  pattern(300, 2) + "|" + first + pattern(9000, 3) + "|" + third);
        Texts alert = {"FILE_scatterload - unable to load file " + missing + "\n"};
        EXPECT_EQ(recorder.messages(), quiet ? Texts{} : alert);
        MEM_free(results[0]);
        MEM_free(results[2]);
    }
    // Nothing to load gives 0 and leaves the array alone; loading every file gives 1.
    void* results[2] = {&recorder, &recorder};
    const char* two[] = {first.c_str(), third.c_str()};
    EXPECT_EQ(V({FILE_scatterload(0, paths, results, MB_RAM), results[0] == &recorder,
                 FILE_scatterload(2, two, results, MB_RAM)}),
              V({0, 1, 1}));
    EXPECT_EQ(MEM_free(results[0]) + MEM_free(results[1]), 2);
}

TEST_F(WholeFile, LoadsThatFailReleaseTheBufferAndTheFile)
{
    // Larger than the heap: the heap's alert, then the service's own; the
    // read handle is closed, so an unshared open for writing succeeds.
    std::string path = dir.write("huge.bin", std::string(MEM_HEAPSIZE + 1, 'h'));
    EXPECT_EQ(V({FILE_loadquiet(path.c_str(), MB_RAM) != nullptr, SYS_getlasterror()}),
              V({0, ERRORNOTENOUGHMEMORY}));
    EXPECT_EQ(FILE_load(path.c_str(), MB_RAM), nullptr);
    Texts messages = recorder.messages();
    ASSERT_EQ(messages.size(), 3u);
    for (int i : {0, 1})
        EXPECT_EQ(messages[i].rfind("MEM_alloc - OUT OF MEMORY\n", 0), 0u);
    EXPECT_EQ(messages[2], "FILE_load - unable to reserve memory for file " + path + "\n");
    EXPECT_EQ(FILE_savequiet(path.c_str(), "small", 5), 1);
    recorder.clear();

    // The load filter decides what the caller gets; a null result frees the buffer.
    static Texts seen;
    static void* replacement;
    replacement = MEM_alloc("replacement", 4, MB_RAM);
    int32_t free = MEM_totalfree();
    FILE_loadfilter = [](void* buffer, const char* name, uint32_t type) -> void* {
        seen.push_back(std::string(static_cast<char*>(buffer), 5) + "|" + name + "|" + std::to_string(type));
        MEM_free(buffer);
        return replacement;
    };
    EXPECT_EQ(FILE_loadquiet(path.c_str(), MB_GLOBAL), replacement);
    EXPECT_EQ(V({seen == Texts{"small|" + path + "|1"}, MEM_totalfree()}), V({1, free}));
    FILE_loadfilter = [](void*, const char*, uint32_t) -> void* { return nullptr; };
    EXPECT_EQ(V({FILE_load(path.c_str(), MB_RAM) != nullptr, MEM_totalfree()}), V({0, free}));
    FILE_loadfilter = nullptr;

    // Kernel attribute files report a size of a whole page but hold a line:
    // a load that comes back short fails.
    const char* line = "/sys/devices/system/cpu/online";
    std::vector<char> buffer(8192);
    int32_t size = FILE_sizequiet(line), got = FILE_loadatquiet(line, buffer.data(), 0);
    if (size != 4096 || got <= 0 || got >= size)
        GTEST_SKIP() << "no file whose reported size exceeds its contents";
    EXPECT_EQ(V({FILE_loadquiet(line, MB_RAM) != nullptr, FILE_load(line, MB_RAM) != nullptr, MEM_totalfree()}),
              V({0, 0, free}));
    EXPECT_EQ(recorder.messages(), Texts{std::string("FILE_load - unable to read file ") + line + "\n"});
}

TEST_F(WholeFile, SaveWritesInPlaceAndSetsTheLengthLast)
{
    // Through a hard link, shorter, longer and empty contents: the same file each time.
    std::string path = dir.write("save.bin", pattern(20000, 4)), link = dir.file("hardlink.bin");
    ASSERT_TRUE(makehardlink(path, link));
    uint64_t before = fileidentity(path);
    for (int32_t size : {5000, 30000, 0}) {
        std::string now = pattern(size, 5 + size);
        EXPECT_EQ(FILE_save((size == 30000 ? link : path).c_str(), now.data(), size), 1) << size;
        EXPECT_EQ(ScopedTempDir::read(path) + "|" + ScopedTempDir::read(link), now + "|" + now) << size;
    }
    EXPECT_EQ(V({linkcount(path), fileidentity(path) == before}), V({2, 1}));
    // A missing file is created.
    std::string fresh = dir.file("fresh.bin"), nothing = dir.file("nothing.bin");
    EXPECT_EQ(V({FILE_savequiet(fresh.c_str(), "abc", 3), FILE_savequiet(nothing.c_str(), nullptr, 0),
                 SYS_getlasterror(), ScopedTempDir::size(nothing), static_cast<long long>(recorder.count())}),
              V({1, 1, 0, 0, 0}));
    EXPECT_EQ(ScopedTempDir::read(fresh), "abc");
}

TEST_F(WholeFile, SavesThatFailChangeNothingTheyDidNotWrite)
{
    std::string data = pattern(1000, 7);
    std::string path = dir.write("held.bin", data);
    // Bad lengths and arrays are refused before anything is opened.
    EXPECT_EQ(V({FILE_savequiet(path.c_str(), data.data(), -1), SYS_getlasterror()}),
              V({0, ERRORINVALIDPARAMETER}));
    EXPECT_EQ(FILE_scatterloadquiet(2, nullptr, nullptr, MB_RAM), 0);
    EXPECT_EQ(FILE_save(path.c_str(), data.data(), INT32_MIN), 0);
    // Held open for reading without shared writing: the save cannot open it,
    // and the create that follows finds it; the first reason is kept.
    int32_t handle = 0;
    ASSERT_EQ(FILESYS_open(path.c_str(), FOPEN_READ, 10, &handle), 1);
    EXPECT_EQ(V({FILE_savequiet(path.c_str(), "x", 1), SYS_getlasterror(), FILE_save(path.c_str(), "x", 1)}),
              V({0, ERRORSHARING, 0}));
    FILESYS_close(handle, 10);
    EXPECT_EQ(recorder.messages(), (Texts{"FILE_save - failure writing to file " + path + "\n",
                                          "FILE_save - unable to open file " + path + "\n"}));
    EXPECT_EQ(ScopedTempDir::read(path), data);
    EXPECT_EQ(V({FILE_savequiet(dir.path().c_str(), "x", 1), SYS_getlasterror()}), V({0, ERRORACCESSDENIED}));
    EXPECT_EQ(V({FILE_savequiet(dir.file("no/such/dir.bin").c_str(), "x", 1), SYS_getlasterror() != 0}), V({0, 1}));
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
    EXPECT_EQ(ScopedTempDir::read(path), fresh.substr(0, 12000) + old.substr(12000));
#endif
}

// A BIG archive (layout 1 or 2) of count one-byte entries with names of about name bytes each.
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
    put(out, static_cast<uint32_t>(layout == 1 ? headersize - 4 : 0), layout == 1 ? 2 : 4);
    put(out, static_cast<uint32_t>(count), layout == 1 ? 2 : 4);
    if (layout == 2)
        put(out, static_cast<uint32_t>(headersize), 4);
    return out + index + std::string(static_cast<size_t>(count), 'd');
}

TEST_F(WholeFile, BigHeaders)
{
    for (int layout = 1; layout <= 2; layout++) {
        // Header and index larger than the first read: the block is exactly
        // the header size and holds the whole index. A small archive: the
        // first 2704 bytes, zeros past the file's end.
        for (int count : {300, 2}) {
            SCOPED_TRACE(std::to_string(layout) + " with " + std::to_string(count));
            std::string archive = bigarchive(layout, count, 12), path = dir.write("a.big", archive);
            uint32_t headersize = static_cast<uint32_t>(archive.size()) - count, offset = 0;
            uint32_t size = std::max<uint32_t>(headersize, FILE_BIGHEADERSIZE);
            uint8_t* block = static_cast<uint8_t*>(FILE_loadbigheader(path.c_str(), MB_RAM));
            ASSERT_NE(block, nullptr);
            archive.resize(std::max<size_t>(archive.size(), size), '\0');
            EXPECT_EQ(held(block, size), archive.substr(0, size) + "|" + path);
            std::string last = std::to_string(count - 1) + "NNNNNNNNNNNN";
            EXPECT_EQ(V({BIG_findentry(block, last.c_str(), 0, &offset, nullptr) != nullptr, offset}),
                      V({1, headersize + count - 1}));
            MEM_free(block);
            // The same archive cut short inside its index fails.
            for (uint32_t cut : {headersize - 10, std::min(headersize - 10, 1000u)}) {
                std::string cutpath = dir.write("cut.big", archive.substr(0, cut));
                EXPECT_EQ(FILE_loadbigheaderquiet(cutpath.c_str(), MB_RAM), nullptr) << cut;
            }
        }
    }
    EXPECT_EQ(recorder.count(), 0u);
    std::string cut = dir.write("cutsmall.big", bigarchive(2, 2, 12).substr(0, 40));
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
