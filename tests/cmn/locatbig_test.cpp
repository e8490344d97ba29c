// BIG archive lookups over both layouts; no lookup reads at or beyond the end of the index it was given.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "alertrecorder.h"
#include "vorl/big.h"
#include "vorl/pagemem.h"

namespace {

typedef std::vector<uint8_t> BYTES;
typedef std::vector<std::string> TEXTS;

typedef std::tuple<uint32_t, uint32_t, std::string> ENTRY;  // offset, size, name

void putbig(BYTES& out, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; i--)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

BYTES archive(int layout, const std::vector<ENTRY>& entries)
{
    const int field = layout == 1 ? 3 : 4;
    BYTES index, out = layout == 1 ? BYTES{0xC0, 0xFB} : BYTES{'B', 'I', 'G', 'F', 0xDE, 0xAD, 0xBE, 0xEF};
    for (const auto& [offset, size, name] : entries) {
        putbig(index, offset, field);
        putbig(index, size, field);
        index.insert(index.end(), name.c_str(), name.c_str() + name.size() + 1);
    }
    const uint32_t count = static_cast<uint32_t>(entries.size()), size = static_cast<uint32_t>(index.size());
    putbig(out, layout == 1 ? size + 2 : count, layout == 1 ? 2 : 4);
    putbig(out, layout == 1 ? count : size + 16, layout == 1 ? 2 : 4);
    out.insert(out.end(), index.begin(), index.end());
    return out;
}

// A copy of bytes that ends where a no-access guard page begins.
struct GUARDED {
    uint8_t *run, *bytes;
    explicit GUARDED(const BYTES& data)
    {
        int32_t count = static_cast<int32_t>(data.size());
        run = static_cast<uint8_t*>(PAGE_alloc(&count));
        bytes = run + count - data.size();
        memcpy(bytes, data.data(), data.size());
    }
    ~GUARDED() { PAGE_free(run); }
};

bool found(const void* header, const char* name, int32_t number = 0, uint32_t available = 0)
{
    return (available ? BIG_findentrysized(header, available, name, number, nullptr, nullptr)
                      : BIG_findentry(header, name, number, nullptr, nullptr)) != nullptr;
}

TEST(BigLookup, TheExampleHeaderOfLayoutOne)
{
    GUARDED g({0xC0, 0xFB, 0x00, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x20, 0x00, 0x00, 0x05, 'A', '.', 'T', 'X', 'T', 0x00});
    EXPECT_EQ(std::pair(typeofbigfile(g.bytes), BIG_headersize(g.bytes)), std::pair(1, 18u));
    uint32_t offset = 0, size = 0;
    EXPECT_EQ(BIG_findentry(g.bytes, "a.txt", 0, &offset, &size), reinterpret_cast<const char*>(g.bytes + 12));
    EXPECT_EQ(std::pair(offset, size), std::pair(32u, 5u));
    EXPECT_EQ(BIG_findentry(g.bytes, nullptr, 1, &offset, &size), nullptr);
    EXPECT_EQ(std::pair(offset, size), std::pair(0u, 0u)) << "a miss clears the results";
    EXPECT_EQ(std::pair(found(g.bytes, nullptr, 0), found(g.bytes, nullptr, -1)), std::pair(true, false));
}

TEST(BigLookup, NamesClassificationAndTheAlertsOfTheLoudForms)
{
    // Names differ only in the case of ASCII letters; other bytes are compared as they are.
    BYTES header = archive(2, {{100, 1, "Maps/Level_1.MAP"}, {200, 1, "\xC9t\xE9.txt"}, {300, 1, "Zone.z"}});
    const std::pair<const char*, bool> names[] = {
        {"maps/level_1.map", true}, {"maps\\level_1.map", false}, {"maps/level_1.ma", false},
        {"maps/level_1.mapx", false}, {"", false}, {"\xC9T\xE9.TXT", true}, {"\xE9t\xE9.txt", false},
        {"zONE.Z", true}, {"zone.{", false}};
    for (auto [name, expected] : names)
        EXPECT_EQ(found(header.data(), name), expected) << name;

    // Anything else is no archive to the loud forms; the silent lookup stays silent.
    ScopedAlertRecorder recorder;
    const uint8_t other[4] = {'B', 'I', 'G', 'f'};
    EXPECT_EQ(std::pair(typeofbigfile(other), found(other, nullptr)), std::pair(0, false));
    EXPECT_EQ(typeofbigfile(nullptr), 0);
    // The quiet classification: a layout only when its fixed header fits in what is available.
    BYTES one = archive(1, {{40, 2, "a.dat"}});
    EXPECT_EQ((std::vector<int32_t>{BIG_layout(one.data(), 6), BIG_layout(one.data(), 5), BIG_layout(header.data(), 16),
                                    BIG_layout(header.data(), 15), BIG_layout(other, 4), BIG_layout(nullptr, 99)}),
              (std::vector<int32_t>{1, 0, 2, 0, 0, 0}));
    EXPECT_EQ(recorder.messages(), (TEXTS{"typeofbigfile - FILE IS NOT A BIG FILE\n",
                                          "typeofbigfile - NO BIG FILE SET (NULL POINTER)\n"}));
    recorder.clear();
    EXPECT_EQ(BIG_locateentry(one.data(), "b.dat", 0, nullptr, nullptr), nullptr);
    char name[8] = "junk";
    EXPECT_EQ((std::pair{BIG_entryname(one.data(), 5, name), std::string(name)}), (std::pair<char*, std::string>()));
    EXPECT_EQ(recorder.messages(),
              (TEXTS{"BIG_locateentry: ENTRY \"b.dat\" NOT FOUND\n", "BIG_locateentry: ENTRY #5 NOT FOUND\n"}));
}

TEST(BigLookup, WholeArchivesAndLookupsThatStayInsideTheIndex)
{
    for (int layout = 1; layout <= 2; layout++) {
        SCOPED_TRACE(layout);
        std::vector<ENTRY> entries = {{0, 3, "first.dat"}, {3, 5, "second.dat"}, {8, 4, "dir\\third.dat"}};
        const uint32_t headersize = static_cast<uint32_t>(archive(layout, entries).size());
        for (ENTRY& entry : entries)
            std::get<0>(entry) += headersize;
        const BYTES full = archive(layout, entries);
        BYTES whole = full;
        whole.resize(whole.size() + 12, 'x');
        uint8_t* data = whole.data() + headersize;
        EXPECT_EQ(std::pair(typeofbigfile(whole.data()), BIG_headersize(whole.data())), std::pair(layout, headersize));
        EXPECT_EQ(BIG_locate(whole.data(), "Dir\\Third.dat"), data + 8);
        char name[32];
        EXPECT_STREQ(BIG_entryname(whole.data(), 2, name), "dir\\third.dat");

        // Each name of a list resolved in order, the list left as it was; a miss (even empty) alerts twice.
        ScopedAlertRecorder recorder;
        char list[] = "a.dat,,FIRST.DAT";
        void* results[4] = {&recorder, &recorder, &recorder, &recorder};
        BIG_locatemany(whole.data(), list, results);
        EXPECT_EQ((std::vector<void*>(results, results + 4)), (std::vector<void*>{nullptr, nullptr, data, &recorder}));
        EXPECT_EQ(std::string(list), "a.dat,,FIRST.DAT");
        EXPECT_EQ(recorder.count(), 4u);
        EXPECT_EQ(recorder.messages()[1], "BIG_locatemany - FILE NOT FOUND 'a.dat'\n");

        EXPECT_EQ(BIG_numentries(whole.data()), 3u);  // the count field is reported, never used to walk the index
        whole[layout == 1 ? 5 : 11] = 1;
        EXPECT_EQ(BIG_numentries(whole.data()), 1u);
        EXPECT_EQ(BIG_locatenumber(whole.data(), 2), data + 8);

        // The header cut inside the third entry (its size saying so) before a guard page: two entries remain.
        for (size_t end = full.size() - (layout == 1 ? 6 : 8) - 14; end <= full.size(); end++) {
            SCOPED_TRACE(end);
            BYTES cut(full.begin(), full.begin() + static_cast<long>(end));
            const uint32_t size = static_cast<uint32_t>(end) - (layout == 1 ? 4 : 0);
            cut[layout == 1 ? 2 : 14] = static_cast<uint8_t>(size >> 8);
            cut[layout == 1 ? 3 : 15] = static_cast<uint8_t>(size);
            GUARDED g(cut);
            EXPECT_EQ((std::vector<bool>{found(g.bytes, "SECOND.dat"), found(g.bytes, "dir\\third.dat"),
                                         found(g.bytes, nullptr, 2), found(g.bytes, "four")}),
                      (std::vector<bool>{true, end == full.size(), end == full.size(), false}));
        }
    }

    // The sized lookup trusts only the bytes available, not a header that claims far more.
    BYTES full = archive(2, {{100, 1, "one"}, {200, 2, "two"}});
    full[13] = 0x7F;
    GUARDED g(full);
    const uint32_t available = static_cast<uint32_t>(full.size());
    EXPECT_EQ((std::vector<bool>{found(g.bytes, "two", 0, available), found(g.bytes, "two", 0, available - 1),
                                 found(g.bytes, "one", 0, available - 1), found(g.bytes, nullptr, 0, 15)}),
              (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(std::pair(BIG_indexsize(g.bytes, 16), BIG_indexsize(g.bytes, 15)),
              std::pair(0x7F0000u + full[14] * 256u + full[15], 0u));
}

TEST(BigLookupDeathTest, AMissEndsTheProcessWithTheDefaultAlertRoutine)
{
    BYTES whole = archive(2, {{40, 2, "a.dat"}});
    EXPECT_EXIT(BIG_locate(whole.data(), "missing.dat"), testing::ExitedWithCode(0),
                "BIG_locateentry: ENTRY \"missing.dat\" NOT FOUND");
}

}  // namespace
