// The scan-and-patch on buffers.
#include <gtest/gtest.h>

#include <string>

#include "savepatch.h"

namespace {

const std::string KEY(TARLOK_KEY, TARLOK_KEYLENGTH);  // with its NUL

TEST(TarlokScan, PatchesTheFourBytesAfterTheFirstWholeKeyAndNothingElse)
{
    const std::string partial = KEY.substr(0, 20);
    const std::pair<std::string, int32_t> rows[] = {  // the bytes, and where the key that is patched lies
        {KEY + "\x11\x22\x33\x44", 0},
        {"head" + KEY + "1234mid" + KEY + "5678", 4},
        {"PP" + partial + "P" + partial + "PPart" + KEY + "1234", 48},  // overlapping near misses first
        {std::string(TARLOK_KEY) + "X" + std::string(8, '\x7f'), -1},   // the NUL is part of the key
        {KEY + "123", -1},
    };
    for (const auto& [bytes, hit] : rows) {
        std::string buffer = bytes + std::string(8, '\xAB'), expected = buffer;  // the tail past size stays as it was
        if (hit >= 0)
            expected.replace(static_cast<size_t>(hit) + KEY.size(), 4, 4, '\0');
        char was[4] = {};  // the value as it was
        EXPECT_EQ(TARLOK_scanpatch(reinterpret_cast<uint8_t*>(&buffer[0]), static_cast<int32_t>(bytes.size()),
                                   reinterpret_cast<uint8_t*>(was)), hit);
        EXPECT_TRUE(buffer == expected && (hit < 0 || bytes.substr(hit + KEY.size(), 4) == std::string(was, 4))) << hit;
    }
    EXPECT_EQ(TARLOK_scanpatch(nullptr, 100, nullptr), -1);
}

}  // namespace
