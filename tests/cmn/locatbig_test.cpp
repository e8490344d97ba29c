// BIG archive lookups over both layouts: classification, lookups by name and
// by number, the alerts of the loud forms, and the rule that no lookup reads
// at or beyond the end of the index it was given.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "alertrecorder.h"
#include "vorl/big.h"
#include "vorl/pagemem.h"

namespace {

struct ENTRY {
    uint32_t offset;
    uint32_t size;
    std::string name;
};

void putbig(std::vector<uint8_t>& out, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; i--)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// An archive's header and index as an archiver would write it.
std::vector<uint8_t> archive(int layout, const std::vector<ENTRY>& entries)
{
    std::vector<uint8_t> index;
    for (const ENTRY& e : entries) {
        putbig(index, e.offset, layout == 1 ? 3 : 4);
        putbig(index, e.size, layout == 1 ? 3 : 4);
        index.insert(index.end(), e.name.begin(), e.name.end());
        index.push_back(0);
    }
    std::vector<uint8_t> out;
    if (layout == 1) {
        out = {0xC0, 0xFB};
        putbig(out, static_cast<uint32_t>(6 + index.size() - 4), 2);
        putbig(out, static_cast<uint32_t>(entries.size()), 2);
    } else {
        out = {'B', 'I', 'G', 'F', 0xDE, 0xAD, 0xBE, 0xEF};
        putbig(out, static_cast<uint32_t>(entries.size()), 4);
        putbig(out, static_cast<uint32_t>(16 + index.size()), 4);
    }
    out.insert(out.end(), index.begin(), index.end());
    return out;
}

// A copy of bytes that ends exactly where a no-access guard page begins, so
// that any read past its end faults.
struct GUARDED {
    uint8_t* run;
    uint8_t* bytes;
    explicit GUARDED(const std::vector<uint8_t>& data)
    {
        int32_t count = static_cast<int32_t>(data.size());
        run = static_cast<uint8_t*>(PAGE_alloc(&count));
        bytes = run + count - data.size();
        memcpy(bytes, data.data(), data.size());
    }
    ~GUARDED() { PAGE_free(run); }
};

TEST(BigLookup, TheExampleHeaderOfLayoutOne)
{
    const std::vector<uint8_t> header = {0xC0, 0xFB, 0x00, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x20,
                                         0x00, 0x00, 0x05, 'A',  '.',  'T',  'X',  'T',  0x00};
    GUARDED g(header);
    EXPECT_EQ(typeofbigfile(g.bytes), 1);
    EXPECT_EQ(BIG_headersize(g.bytes), 18u);
    EXPECT_EQ(BIG_numentries(g.bytes), 1u);

    uint32_t offset = 99, size = 99;
    EXPECT_EQ(BIG_findentry(g.bytes, "a.txt", 0, &offset, &size), reinterpret_cast<const char*>(g.bytes + 12));
    EXPECT_EQ(offset, 32u);
    EXPECT_EQ(size, 5u);

    offset = size = 99;
    EXPECT_EQ(BIG_findentry(g.bytes, nullptr, 0, &offset, &size), reinterpret_cast<const char*>(g.bytes + 12));
    EXPECT_EQ(offset, 32u);
    EXPECT_EQ(size, 5u);

    offset = size = 99;
    EXPECT_EQ(BIG_findentry(g.bytes, nullptr, 1, &offset, &size), nullptr);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(BIG_findentry(g.bytes, nullptr, -1, nullptr, nullptr), nullptr);

    char name[32];
    EXPECT_EQ(BIG_entryname(g.bytes, 0, name), name);
    EXPECT_STREQ(name, "A.TXT");
    EXPECT_EQ(BIG_entryoffset(g.bytes, "A.txt"), 32u);
}

TEST(BigLookup, WholeArchivesInMemoryOfBothLayouts)
{
    for (int layout = 1; layout <= 2; layout++) {
        SCOPED_TRACE(layout);
        std::vector<ENTRY> entries = {{0, 3, "first.dat"}, {0, 5, "second.dat"}, {0, 4, "dir\\third.dat"}};
        size_t headersize = archive(layout, entries).size();
        entries[0].offset = static_cast<uint32_t>(headersize);
        entries[1].offset = static_cast<uint32_t>(headersize + 3);
        entries[2].offset = static_cast<uint32_t>(headersize + 8);
        std::vector<uint8_t> whole = archive(layout, entries);
        std::string data = "abcHELLOwxyz";
        whole.insert(whole.end(), data.begin(), data.end());

        EXPECT_EQ(typeofbigfile(whole.data()), layout);
        EXPECT_EQ(BIG_headersize(whole.data()), headersize);
        EXPECT_EQ(BIG_numentries(whole.data()), 3u);
        EXPECT_EQ(BIG_locate(whole.data(), "SECOND.DAT"), whole.data() + headersize + 3);
        EXPECT_EQ(BIG_locate(whole.data(), "Dir\\Third.dat"), whole.data() + headersize + 8);
        EXPECT_EQ(BIG_locatenumber(whole.data(), 0), whole.data() + headersize);
        EXPECT_EQ(BIG_locatenumber(whole.data(), 2), whole.data() + headersize + 8);
        uint32_t size = 0;
        BIG_findentry(whole.data(), "second.dat", 0, nullptr, &size);
        EXPECT_EQ(size, 5u);
        char name[32];
        EXPECT_STREQ(BIG_entryname(whole.data(), 2, name), "dir\\third.dat");

        // The count field is reported, never used to walk the index.
        std::vector<uint8_t> wrongcount = whole;
        if (layout == 1)
            wrongcount[5] = 1;
        else
            wrongcount[11] = 1;
        EXPECT_EQ(BIG_numentries(wrongcount.data()), 1u);
        EXPECT_EQ(BIG_locatenumber(wrongcount.data(), 2), wrongcount.data() + headersize + 8);
    }
}

TEST(BigLookup, NamesDifferOnlyInTheCaseOfAsciiLetters)
{
    std::vector<uint8_t> header = archive(2, {{100, 1, "Maps/Level_1.MAP"}, {200, 1, "\xC9t\xE9.txt"}});
    EXPECT_NE(BIG_findentry(header.data(), "maps/level_1.map", 0, nullptr, nullptr), nullptr);
    EXPECT_NE(BIG_findentry(header.data(), "MAPS/LEVEL_1.MAP", 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentry(header.data(), "maps\\level_1.map", 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentry(header.data(), "maps/level_1.ma", 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentry(header.data(), "maps/level_1.mapx", 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentry(header.data(), "", 0, nullptr, nullptr), nullptr);
    // Bytes outside ASCII are compared as they are.
    EXPECT_NE(BIG_findentry(header.data(), "\xC9T\xE9.TXT", 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentry(header.data(), "\xE9t\xE9.txt", 0, nullptr, nullptr), nullptr);
}

TEST(BigLookup, ClassificationAndItsAlerts)
{
    ScopedAlertRecorder recorder;
    const uint8_t others[][4] = {{'B', 'I', 'G', 'f'}, {0xC0, 0xFC, 0, 0}, {0xFB, 0xC0, 0, 0}, {0, 0, 0, 0},
                                 {'b', 'i', 'g', 'f'}};
    for (const auto& bytes : others) {
        recorder.clear();
        EXPECT_EQ(typeofbigfile(bytes), 0);
        ASSERT_EQ(recorder.count(), 1u);
        EXPECT_EQ(recorder.alerts()[0].message, "typeofbigfile - FILE IS NOT A BIG FILE\n");
        EXPECT_EQ(recorder.alerts()[0].file, "cmn/locatbig");
        EXPECT_GT(recorder.alerts()[0].line, 0);
    }
    recorder.clear();
    EXPECT_EQ(typeofbigfile(nullptr), 0);
    EXPECT_EQ(BIG_headersize(nullptr), 0u);
    EXPECT_EQ(BIG_numentries(nullptr), 0u);
    EXPECT_EQ(recorder.messages(), std::vector<std::string>(3, "typeofbigfile - NO BIG FILE SET (NULL POINTER)\n"));

    // The silent lookup stays silent on anything.
    recorder.clear();
    const uint8_t junk[16] = {'J', 'U', 'N', 'K'};
    EXPECT_EQ(BIG_findentry(junk, "x", 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentry(nullptr, nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(recorder.count(), 0u);
}

TEST(BigLookup, LoudLookupsAlertOnMisses)
{
    ScopedAlertRecorder recorder;
    std::vector<uint8_t> whole = archive(1, {{40, 2, "a.dat"}});
    whole.resize(64, 0);

    EXPECT_EQ(BIG_locateentry(whole.data(), "b.dat", 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_locatenumber(whole.data(), 1), nullptr);
    char name[8] = "junk";
    EXPECT_EQ(BIG_entryname(whole.data(), 5, name), nullptr);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(BIG_locate(whole.data(), "c.dat"), nullptr);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{"BIG_locateentry: ENTRY \"b.dat\" NOT FOUND\n",
                                                             "BIG_locateentry: ENTRY #1 NOT FOUND\n",
                                                             "BIG_locateentry: ENTRY #5 NOT FOUND\n",
                                                             "BIG_locateentry: ENTRY \"c.dat\" NOT FOUND\n"}));

    // A null name is no lookup at all; null buffers and lists are no places
    // to store results.
    recorder.clear();
    EXPECT_EQ(BIG_entryoffset(whole.data(), nullptr), 0u);
    EXPECT_EQ(BIG_locate(whole.data(), nullptr), nullptr);
    EXPECT_EQ(BIG_entryname(whole.data(), 0, nullptr), nullptr);
    void* results[1] = {nullptr};
    BIG_locatemany(whole.data(), nullptr, results);
    BIG_locatemany(whole.data(), name, nullptr);
    EXPECT_EQ(recorder.count(), 0u);
}

TEST(BigLookup, EmptyIndexOfLayoutTwo)
{
    ScopedAlertRecorder recorder;
    std::vector<uint8_t> header = {'B', 'I', 'G', 'F', 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 16};
    GUARDED g(header);
    EXPECT_EQ(BIG_headersize(g.bytes), 16u);
    EXPECT_EQ(BIG_numentries(g.bytes), 3u);
    EXPECT_EQ(BIG_findentry(g.bytes, nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentry(g.bytes, "", 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_locatenumber(g.bytes, 0), nullptr);
    EXPECT_EQ(recorder.messages(), std::vector<std::string>{"BIG_locateentry: ENTRY #0 NOT FOUND\n"});

    // A header size below the fixed header: no index at all.
    header[15] = 10;
    GUARDED shorter(header);
    EXPECT_EQ(BIG_findentry(shorter.bytes, nullptr, 0, nullptr, nullptr), nullptr);
}

TEST(BigLookup, LookupsStayInsideTheIndex)
{
    for (int layout = 1; layout <= 2; layout++) {
        SCOPED_TRACE(layout);
        std::vector<uint8_t> full = archive(layout, {{100, 1, "one"}, {200, 2, "two"}, {300, 3, "three"}});

        // Exactly the index, ending at a guard page: every entry is found and
        // a miss walks to the very end without touching the guard.
        GUARDED exact(full);
        EXPECT_NE(BIG_findentry(exact.bytes, "THREE", 0, nullptr, nullptr), nullptr);
        EXPECT_EQ(BIG_findentry(exact.bytes, "four", 0, nullptr, nullptr), nullptr);
        EXPECT_EQ(BIG_findentry(exact.bytes, nullptr, 3, nullptr, nullptr), nullptr);

        // The header size cut one byte short: the last name lacks its NUL
        // before the end, so the index ends after the second entry.
        std::vector<uint8_t> cut(full.begin(), full.end() - 1);
        if (layout == 1)
            cut[3]--;
        else
            cut[15]--;
        GUARDED unterminated(cut);
        uint32_t offset = 0;
        EXPECT_NE(BIG_findentry(unterminated.bytes, "two", 0, &offset, nullptr), nullptr);
        EXPECT_EQ(offset, 200u);
        EXPECT_EQ(BIG_findentry(unterminated.bytes, "three", 0, nullptr, nullptr), nullptr);
        EXPECT_EQ(BIG_findentry(unterminated.bytes, nullptr, 2, nullptr, nullptr), nullptr);

        // Cut inside the fixed part of the third entry.
        size_t third = full.size() - (layout == 1 ? 6 : 8) - 6;
        for (size_t end = third + 1; end <= third + (layout == 1 ? 6u : 8u); end++) {
            std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<long>(end));
            uint32_t size = static_cast<uint32_t>(end) - (layout == 1 ? 4 : 0);
            if (layout == 1) {
                part[2] = static_cast<uint8_t>(size >> 8);
                part[3] = static_cast<uint8_t>(size);
            } else {
                part[15] = static_cast<uint8_t>(size);
            }
            GUARDED g(part);
            EXPECT_EQ(BIG_findentry(g.bytes, nullptr, 2, nullptr, nullptr), nullptr) << end;
            EXPECT_NE(BIG_findentry(g.bytes, nullptr, 1, nullptr, nullptr), nullptr) << end;
        }
    }
}

TEST(BigLookup, SizedLookupTrustsOnlyTheBytesAvailable)
{
    std::vector<uint8_t> full = archive(2, {{100, 1, "one"}, {200, 2, "two"}});
    // The header claims far more than there is.
    full[13] = 0x7F;
    GUARDED g(full);
    uint32_t offset = 0;
    uint32_t available = static_cast<uint32_t>(full.size());
    EXPECT_NE(BIG_findentrysized(g.bytes, available, "two", 0, &offset, nullptr), nullptr);
    EXPECT_EQ(offset, 200u);
    EXPECT_EQ(BIG_findentrysized(g.bytes, available, "three", 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentrysized(g.bytes, available - 1, "two", 0, nullptr, nullptr), nullptr);
    EXPECT_NE(BIG_findentrysized(g.bytes, available - 1, "one", 0, nullptr, nullptr), nullptr);

    // Fewer bytes than the fixed header: nothing, and nothing read past them.
    std::vector<uint8_t> stub = {0xC0, 0xFB, 0x00, 0x20, 0x00};
    GUARDED s(stub);
    EXPECT_EQ(BIG_findentrysized(s.bytes, 5, nullptr, 0, nullptr, nullptr), nullptr);
    std::vector<uint8_t> stub2 = {'B', 'I', 'G', 'F', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    GUARDED s2(stub2);
    EXPECT_EQ(BIG_findentrysized(s2.bytes, 15, nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentrysized(nullptr, 100, nullptr, 0, nullptr, nullptr), nullptr);

    // The claim of the fixed header alone, silently; nothing when the bytes
    // hold no fixed header.
    EXPECT_EQ(BIG_indexsize(g.bytes, 16), 0x7F0000u + full[14] * 256u + full[15]);
    EXPECT_EQ(BIG_indexsize(g.bytes, 15), 0u);
    EXPECT_EQ(BIG_indexsize(s.bytes, 5), 0u);
    const uint8_t layout1[6] = {0xC0, 0xFB, 0x00, 0x20, 0x00, 0x01};
    EXPECT_EQ(BIG_indexsize(layout1, 6), 0x24u);
}

TEST(BigLookup, LocateManyResolvesEachNameAndRestoresTheList)
{
    ScopedAlertRecorder recorder;
    std::vector<ENTRY> entries = {{0, 4, "b.dat"}, {0, 4, "c.dat"}};
    size_t headersize = archive(1, entries).size();
    entries[0].offset = static_cast<uint32_t>(headersize);
    entries[1].offset = static_cast<uint32_t>(headersize + 4);
    std::vector<uint8_t> whole = archive(1, entries);
    whole.resize(headersize + 8, 'x');

    char list[] = "a.dat,B.DAT";
    void* results[3] = {&recorder, &recorder, &recorder};
    BIG_locatemany(whole.data(), list, results);
    EXPECT_EQ(results[0], nullptr);
    EXPECT_EQ(results[1], whole.data() + headersize);
    EXPECT_EQ(results[2], &recorder);
    EXPECT_STREQ(list, "a.dat,B.DAT");
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{"BIG_locateentry: ENTRY \"a.dat\" NOT FOUND\n",
                                                             "BIG_locatemany - FILE NOT FOUND 'a.dat'\n"}));

    // Blanks are part of names; an empty name between commas is a miss.
    recorder.clear();
    char spaced[] = "c.dat,, b.dat";
    void* three[3];
    BIG_locatemany(whole.data(), spaced, three);
    EXPECT_EQ(three[0], whole.data() + headersize + 4);
    EXPECT_EQ(three[1], nullptr);
    EXPECT_EQ(three[2], nullptr);
    EXPECT_STREQ(spaced, "c.dat,, b.dat");
    EXPECT_EQ(recorder.count(), 4u);

    char single[] = "c.dat";
    void* one[1];
    BIG_locatemany(whole.data(), single, one);
    EXPECT_EQ(one[0], whole.data() + headersize + 4);
}

TEST(BigLookupDeathTest, AMissEndsTheProcessWithTheDefaultAlertRoutine)
{
    std::vector<uint8_t> whole = archive(2, {{40, 2, "a.dat"}});
    EXPECT_EXIT(BIG_locate(whole.data(), "missing.dat"), testing::ExitedWithCode(0),
                "BIG_locateentry: ENTRY \"missing.dat\" NOT FOUND");
}

}  // namespace
