// The scan-and-patch on buffers, and the command's usage path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runprocess.h"
#include "savepatch.h"

namespace {

const std::string KEY(TARLOK_KEY, TARLOK_KEYLENGTH);  // with its NUL

std::vector<uint8_t> bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

int32_t patch(std::vector<uint8_t>& buffer)
{
    return TARLOK_scanpatch(buffer.data(), static_cast<int32_t>(buffer.size()));
}

TEST(TarlokScan, PatchesTheFourBytesAfterTheFirstKeyOnly)
{
    std::vector<uint8_t> buffer = bytes(KEY + "\x11\x22\x33\x44");
    EXPECT_EQ(patch(buffer), 0);
    EXPECT_EQ(buffer, bytes(KEY + std::string(4, '\0')));

    std::string twice = "head" + KEY + "\x01\x02\x03\x04" + "mid" + KEY + "\x05\x06\x07\x08" + "tail";
    buffer = bytes(twice);
    EXPECT_EQ(patch(buffer), 4);
    std::string expected = twice;
    expected.replace(4 + TARLOK_KEYLENGTH, 4, std::string(4, '\0'));
    EXPECT_EQ(buffer, bytes(expected));

    // Near misses that start like the key, overlapping it, come first.
    std::string partial = KEY.substr(0, 20);
    std::string misses = "PP" + partial + "P" + partial + "PPart" + KEY + "\x01\x02\x03\x04";
    buffer = bytes(misses);
    int32_t at = static_cast<int32_t>(misses.size()) - TARLOK_KEYLENGTH - 4;
    EXPECT_EQ(patch(buffer), at);
    expected = misses;
    expected.replace(static_cast<size_t>(at) + TARLOK_KEYLENGTH, 4, std::string(4, '\0'));
    EXPECT_EQ(buffer, bytes(expected));
}

TEST(TarlokScan, TheNulIsPartOfTheKeyAndCaseMatters)
{
    std::string longer = std::string(TARLOK_KEY) + "X" + std::string(8, '\x7f');
    std::vector<uint8_t> buffer = bytes(longer);
    EXPECT_EQ(patch(buffer), -1);
    EXPECT_EQ(buffer, bytes(longer));

    std::string lower = KEY + "\x01\x02\x03\x04";
    lower[0] = 'p';
    buffer = bytes(lower);
    EXPECT_EQ(patch(buffer), -1);
    EXPECT_EQ(buffer, bytes(lower));

    // A longer name that ends with the key still holds the key as a string.
    std::string suffixed = "x" + KEY + "\x01\x02\x03\x04";
    buffer = bytes(suffixed);
    EXPECT_EQ(patch(buffer), 1);
}

TEST(TarlokScan, AHitTooNearTheEndIsNoHitAndNothingBeyondIsWritten)
{
    for (int after = 1; after <= 4; after++) {
        // The buffer lies at the very end of a larger allocation whose tail
        // must stay untouched.
        std::vector<uint8_t> storage(64 + TARLOK_KEYLENGTH + after + 8, 0xAB);
        uint8_t* start = storage.data() + 64;
        memcpy(start, KEY.data(), TARLOK_KEYLENGTH);
        memset(start + TARLOK_KEYLENGTH, 0x55, static_cast<size_t>(after));
        int32_t size = TARLOK_KEYLENGTH + after;
        int32_t hit = TARLOK_scanpatch(start, size);
        if (after < 4) {
            EXPECT_EQ(hit, -1) << after;
            EXPECT_EQ(start[TARLOK_KEYLENGTH], 0x55);
        } else {
            EXPECT_EQ(hit, 0);
            EXPECT_EQ(start[TARLOK_KEYLENGTH + 3], 0);
        }
        for (size_t i = 64 + static_cast<size_t>(size); i < storage.size(); i++)
            ASSERT_EQ(storage[i], 0xAB);
    }
}

TEST(TarlokScan, ShortAndEmptyBuffersFindNothing)
{
    std::vector<uint8_t> exact = bytes(KEY);
    EXPECT_EQ(patch(exact), -1);
    EXPECT_EQ(TARLOK_scanpatch(nullptr, 100), -1);
    std::vector<uint8_t> none(100, 'P');
    EXPECT_EQ(patch(none), -1);
    EXPECT_EQ(none, std::vector<uint8_t>(100, 'P'));
}

TEST(TarlokCommand, WithoutArgumentsPrintsOnlyTheUsageLine)
{
    PROCESSRESULT run = runprocess({TARLOK_PATH});
    EXPECT_EQ(run.status, 25);
    EXPECT_EQ(run.out, "USAGE: tarlok target.sav\n");
    EXPECT_EQ(run.err, "");
}

}  // namespace
