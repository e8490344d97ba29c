// The scan-and-patch on buffers.
#include <gtest/gtest.h>

#include <string>

#include "savepatch.h"

namespace {

const std::string KEY(TARLOK_KEY, TARLOK_KEYLENGTH);  // with its NUL

TEST(TarlokScan, PatchesTheFourBytesAfterTheFirstWholeKeyAndNothingElse)
{
    const std::string partial = KEY.substr(0, 20);
    const struct {
        const char* name;
        std::string bytes;
        int32_t hit;
    } rows[] = {
        {"key first", KEY + "\x11\x22\x33\x44", 0},
        {"two keys", "head" + KEY + "\x01\x02\x03\x04" + "mid" + KEY + "\x05\x06\x07\x08" + "tail", 4},
        {"overlapping near misses first", "PP" + partial + "P" + partial + "PPart" + KEY + "\x01\x02\x03\x04", 48},
        {"a longer name ending with the key", "x" + KEY + "\x01\x02\x03\x04", 1},
        {"the NUL is part of the key", std::string(TARLOK_KEY) + "X" + std::string(8, '\x7f'), -1},
        {"case matters", "p" + KEY.substr(1) + "\x01\x02\x03\x04", -1},
        {"three bytes after the key", KEY + "\x55\x55\x55", -1},
        {"four bytes after the key", KEY + "\x55\x55\x55\x55", 0},
        {"the key alone", KEY, -1},
        {"no key", std::string(100, 'P'), -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // The buffer lies at the start of a larger one whose tail must stay untouched.
        std::string buffer = row.bytes + std::string(8, '\xAB');
        std::string expected = buffer;
        if (row.hit >= 0)
            expected.replace(static_cast<size_t>(row.hit) + KEY.size(), 4, std::string(4, '\0'));
        int32_t size = static_cast<int32_t>(row.bytes.size());
        EXPECT_EQ(TARLOK_scanpatch(reinterpret_cast<uint8_t*>(&buffer[0]), size), row.hit);
        EXPECT_TRUE(buffer == expected);
    }
    EXPECT_EQ(TARLOK_scanpatch(nullptr, 100), -1);
}

}  // namespace
