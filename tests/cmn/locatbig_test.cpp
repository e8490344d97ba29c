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

typedef std::vector<uint8_t> BYTES;
typedef std::vector<std::string> TEXTS;

struct ENTRY {
    uint32_t offset;
    uint32_t size;
    std::string name;
};

void putbig(BYTES& out, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; i--)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// An archive's header and index as an archiver would write it.
BYTES archive(int layout, const std::vector<ENTRY>& entries)
{
    const int field = layout == 1 ? 3 : 4;
    BYTES index, out = layout == 1 ? BYTES{0xC0, 0xFB} : BYTES{'B', 'I', 'G', 'F', 0xDE, 0xAD, 0xBE, 0xEF};
    for (const ENTRY& e : entries) {
        putbig(index, e.offset, field);
        putbig(index, e.size, field);
        index.insert(index.end(), e.name.c_str(), e.name.c_str() + e.name.size() + 1);
    }
    const uint32_t count = static_cast<uint32_t>(entries.size()), size = static_cast<uint32_t>(index.size());
    putbig(out, layout == 1 ? size + 2 : count, layout == 1 ? 2 : 4);
    putbig(out, layout == 1 ? count : size + 16, layout == 1 ? 2 : 4);
    out.insert(out.end(), index.begin(), index.end());
    return out;
}

// A copy of bytes that ends exactly where a no-access guard page begins, so
// that any read past its end faults.
struct GUARDED {
    uint8_t* run;
    uint8_t* bytes;
    explicit GUARDED(const BYTES& data)
    {
        int32_t count = static_cast<int32_t>(data.size());
        run = static_cast<uint8_t*>(PAGE_alloc(&count));
        bytes = run + count - data.size();
        memcpy(bytes, data.data(), data.size());
    }
    ~GUARDED() { PAGE_free(run); }
};

// The silent lookup by name, or by number when name is null.
bool found(const void* header, const char* name, int32_t number = 0)
{
    return BIG_findentry(header, name, number, nullptr, nullptr) != nullptr;
}

TEST(BigLookup, TheExampleHeaderOfLayoutOne)
{
    GUARDED g({0xC0, 0xFB, 0x00, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x20, 0x00, 0x00, 0x05, 'A', '.', 'T', 'X', 'T', 0x00});
    EXPECT_EQ(typeofbigfile(g.bytes), 1);
    EXPECT_EQ(BIG_headersize(g.bytes), 18u);
    // name, number, the name's place in the index (0: none), offset, size
    const struct {
        const char* name;
        int32_t number, at;
        uint32_t offset, size;
    } rows[] = {{"a.txt", 0, 12, 32, 5}, {nullptr, 0, 12, 32, 5}, {nullptr, 1, 0, 0, 0}, {nullptr, -1, 0, 0, 0}};
    for (const auto& row : rows) {
        uint32_t offset = 99, size = 99;
        const char* at = BIG_findentry(g.bytes, row.name, row.number, &offset, &size);
        EXPECT_EQ(at, row.at ? reinterpret_cast<const char*>(g.bytes + row.at) : nullptr) << row.number;
        EXPECT_EQ(std::pair(offset, size), std::pair(row.offset, row.size)) << row.number;
    }
    EXPECT_EQ(BIG_entryoffset(g.bytes, "A.txt"), 32u);
}

TEST(BigLookup, WholeArchivesInMemoryOfBothLayouts)
{
    for (int layout = 1; layout <= 2; layout++) {
        SCOPED_TRACE(layout);
        std::vector<ENTRY> entries = {{0, 3, "first.dat"}, {3, 5, "second.dat"}, {8, 4, "dir\\third.dat"}};
        const uint32_t headersize = static_cast<uint32_t>(archive(layout, entries).size());
        for (ENTRY& entry : entries)
            entry.offset += headersize;
        BYTES whole = archive(layout, entries);
        whole.resize(whole.size() + 12, 'x');
        uint8_t* data = whole.data() + headersize;

        EXPECT_EQ(typeofbigfile(whole.data()), layout);
        EXPECT_EQ(BIG_headersize(whole.data()), headersize);
        EXPECT_EQ(BIG_locate(whole.data(), "Dir\\Third.dat"), data + 8);
        EXPECT_EQ(BIG_locatenumber(whole.data(), 2), data + 8);
        uint32_t size = 0;
        BIG_findentry(whole.data(), "second.dat", 0, nullptr, &size);
        EXPECT_EQ(size, 5u);
        char name[32];
        EXPECT_STREQ(BIG_entryname(whole.data(), 2, name), "dir\\third.dat");

        // Each name of a list resolved in order, the list left as it was; a
        // miss alerts twice. Blanks are part of names; an empty name between
        // commas is a miss.
        ScopedAlertRecorder recorder;
        char list[] = "a.dat,FIRST.DAT", spaced[] = "second.dat,, first.dat";
        void* results[3] = {&recorder, &recorder, &recorder};
        BIG_locatemany(whole.data(), list, results);
        EXPECT_EQ((std::vector<void*>(results, results + 3)), (std::vector<void*>{nullptr, data, &recorder}));
        EXPECT_EQ(recorder.messages(), (TEXTS{"BIG_locateentry: ENTRY \"a.dat\" NOT FOUND\n",
                                              "BIG_locatemany - FILE NOT FOUND 'a.dat'\n"}));
        BIG_locatemany(whole.data(), spaced, results);
        EXPECT_EQ((std::vector<void*>(results, results + 3)), (std::vector<void*>{data + 3, nullptr, nullptr}));
        EXPECT_EQ(std::string(list) + spaced, "a.dat,FIRST.DATsecond.dat,, first.dat");
        EXPECT_EQ(recorder.count(), 6u);

        // The count field is reported, never used to walk the index.
        EXPECT_EQ(BIG_numentries(whole.data()), 3u);
        whole[layout == 1 ? 5 : 11] = 1;
        EXPECT_EQ(BIG_numentries(whole.data()), 1u);
        EXPECT_EQ(BIG_locatenumber(whole.data(), 2), data + 8);
    }
}

TEST(BigLookup, NamesClassificationAndTheAlertsOfTheLoudForms)
{
    // Names differ only in the case of ASCII letters; other bytes are compared as they are.
    BYTES header = archive(2, {{100, 1, "Maps/Level_1.MAP"}, {200, 1, "\xC9t\xE9.txt"}, {300, 1, "Zone.z"}});
    const std::pair<const char*, bool> names[] = {
        {"maps/level_1.map", true}, {"MAPS/LEVEL_1.MAP", true},  {"maps\\level_1.map", false},
        {"maps/level_1.ma", false}, {"maps/level_1.mapx", false}, {"", false},
        {"\xC9T\xE9.TXT", true},    {"\xE9t\xE9.txt", false},    {"zONE.Z", true}, {"zone.{", false}};
    for (auto [name, expected] : names)
        EXPECT_EQ(found(header.data(), name), expected) << name;

    // Anything else is no archive to the loud forms, and a null header is
    // reported as such; the silent lookup stays silent on anything.
    ScopedAlertRecorder recorder;
    const uint8_t others[][4] = {{'B', 'I', 'G', 'f'}, {0xC0, 0xFC, 0, 0}, {0xFB, 0xC0, 0, 0}, {'b', 'i', 'g', 'f'}};
    for (const auto& bytes : others) {
        EXPECT_EQ(typeofbigfile(bytes), 0);
        EXPECT_FALSE(found(bytes, nullptr));
    }
    EXPECT_EQ(recorder.messages(), TEXTS(4, "typeofbigfile - FILE IS NOT A BIG FILE\n"));
    EXPECT_EQ(recorder.alerts()[0].file, "cmn/locatbig");
    recorder.clear();
    EXPECT_EQ(typeofbigfile(nullptr), 0);
    EXPECT_EQ(BIG_headersize(nullptr), 0u);
    EXPECT_EQ(BIG_numentries(nullptr), 0u);
    EXPECT_FALSE(found(nullptr, nullptr));
    EXPECT_EQ(recorder.messages(), TEXTS(3, "typeofbigfile - NO BIG FILE SET (NULL POINTER)\n"));

    recorder.clear();
    BYTES whole = archive(1, {{40, 2, "a.dat"}});
    whole.resize(64, 0);
    EXPECT_EQ(BIG_locateentry(whole.data(), "b.dat", 0, nullptr, nullptr), nullptr);
    char name[8] = "junk";
    EXPECT_EQ(BIG_entryname(whole.data(), 5, name), nullptr);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(recorder.messages(),
              (TEXTS{"BIG_locateentry: ENTRY \"b.dat\" NOT FOUND\n", "BIG_locateentry: ENTRY #5 NOT FOUND\n"}));
    // A null name is no lookup at all; null buffers and lists are no places
    // to store results.
    recorder.clear();
    EXPECT_EQ(BIG_locate(whole.data(), nullptr), nullptr);
    EXPECT_EQ(BIG_entryname(whole.data(), 0, nullptr), nullptr);
    void* results[1] = {nullptr};
    BIG_locatemany(whole.data(), nullptr, results);
    BIG_locatemany(whole.data(), name, nullptr);
    EXPECT_EQ(recorder.count(), 0u);

    // An empty index of layout 2, whatever its count says; below the fixed
    // header, no index at all.
    BYTES empty = {'B', 'I', 'G', 'F', 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 16};
    GUARDED g(empty);
    EXPECT_EQ(BIG_headersize(g.bytes), 16u);
    EXPECT_FALSE(found(g.bytes, nullptr));
    EXPECT_FALSE(found(g.bytes, ""));
    empty[15] = 10;
    EXPECT_FALSE(found(GUARDED(empty).bytes, nullptr));
}

TEST(BigLookup, LookupsStayInsideTheIndex)
{
    for (int layout = 1; layout <= 2; layout++) {
        SCOPED_TRACE(layout);
        const size_t fixed = layout == 1 ? 6 : 8;
        BYTES full = archive(layout, {{100, 1, "one"}, {200, 2, "two"}, {300, 3, "three"}});
        // Exactly the index, ending at a guard page: every entry is found and
        // a miss walks to the very end without touching the guard.
        GUARDED exact(full);
        EXPECT_EQ((std::vector<bool>{found(exact.bytes, "THREE"), found(exact.bytes, "four"),
                                     found(exact.bytes, nullptr, 3)}),
                  (std::vector<bool>{true, false, false}));

        // Cut anywhere inside the third entry, with the header size saying
        // so: the index ends after the second entry.
        const size_t third = full.size() - fixed - 6;
        for (size_t end = third + 1; end < full.size(); end++) {
            SCOPED_TRACE(end);
            BYTES part(full.begin(), full.begin() + static_cast<long>(end));
            const uint32_t size = static_cast<uint32_t>(end) - (layout == 1 ? 4 : 0);
            part[layout == 1 ? 2 : 14] = static_cast<uint8_t>(size >> 8);
            part[layout == 1 ? 3 : 15] = static_cast<uint8_t>(size);
            GUARDED g(part);
            uint32_t offset = 0;
            EXPECT_NE(BIG_findentry(g.bytes, "two", 0, &offset, nullptr), nullptr);
            EXPECT_EQ(offset, 200u);
            EXPECT_EQ(
                (std::vector<bool>{found(g.bytes, nullptr, 1), found(g.bytes, "three"), found(g.bytes, nullptr, 2)}),
                (std::vector<bool>{true, false, false}));
        }
    }

    // The sized lookup trusts only the bytes available, not a header that
    // claims far more.
    BYTES full = archive(2, {{100, 1, "one"}, {200, 2, "two"}});
    full[13] = 0x7F;
    GUARDED g(full);
    uint32_t offset = 0, available = static_cast<uint32_t>(full.size());
    EXPECT_NE(BIG_findentrysized(g.bytes, available, "two", 0, &offset, nullptr), nullptr);
    EXPECT_EQ(offset, 200u);
    EXPECT_EQ(BIG_findentrysized(g.bytes, available, "three", 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentrysized(g.bytes, available - 1, "two", 0, nullptr, nullptr), nullptr);
    EXPECT_NE(BIG_findentrysized(g.bytes, available - 1, "one", 0, nullptr, nullptr), nullptr);
    // Fewer bytes than the fixed header: nothing, and nothing read past them.
    GUARDED s({0xC0, 0xFB, 0x00, 0x20, 0x00}), s2({'B', 'I', 'G', 'F', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(BIG_findentrysized(s.bytes, 5, nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentrysized(s2.bytes, 15, nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(BIG_findentrysized(nullptr, 100, nullptr, 0, nullptr, nullptr), nullptr);
    // The claim of the fixed header alone, silently; nothing when the bytes
    // hold no fixed header.
    const uint8_t layout1[6] = {0xC0, 0xFB, 0x00, 0x20, 0x00, 0x01};
    EXPECT_EQ(BIG_indexsize(g.bytes, 16), 0x7F0000u + full[14] * 256u + full[15]);
    EXPECT_EQ(BIG_indexsize(g.bytes, 15), 0u);
    EXPECT_EQ(BIG_indexsize(s.bytes, 5), 0u);
    EXPECT_EQ(BIG_indexsize(layout1, 6), 0x24u);
}

TEST(BigLookupDeathTest, AMissEndsTheProcessWithTheDefaultAlertRoutine)
{
    BYTES whole = archive(2, {{40, 2, "a.dat"}});
    EXPECT_EXIT(BIG_locate(whole.data(), "missing.dat"), testing::ExitedWithCode(0),
                "BIG_locateentry: ENTRY \"missing.dat\" NOT FOUND");
}

}  // namespace
