// Builds the bytes of a BIG archive of either layout from (name, contents)
// pairs: header, index (numbers big-endian), then the entries' data in index
// order. Used by the mount tests and the mount benchmark.
#ifndef VORL_TESTS_BIGARCHIVE_H
#define VORL_TESTS_BIGARCHIVE_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

using BigEntries = std::vector<std::pair<std::string, std::string>>;

inline void bigappend(std::string& out, uint32_t value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

// layout 1: C0 FB, header size - 4 (2), count (2); entries offset (3), size (3), name.
// layout 2: "BIGF", total (4), count (4), header size (4); entries offset (4), size (4), name.
inline std::string bigarchive(int layout, const BigEntries& entries)
{
    uint32_t fixed = layout == 1 ? 6 : 16;
    uint32_t field = layout == 1 ? 3 : 4;
    uint32_t headersize = fixed;
    for (const auto& entry : entries)
        headersize += 2 * field + static_cast<uint32_t>(entry.first.size()) + 1;
    std::string index;
    std::string data;
    for (const auto& entry : entries) {
        bigappend(index, headersize + static_cast<uint32_t>(data.size()), field);
        bigappend(index, static_cast<uint32_t>(entry.second.size()), field);
        index += entry.first;
        index += '\0';
        data += entry.second;
    }
    std::string header;
    if (layout == 1) {
        header = "\xC0\xFB";
        bigappend(header, headersize - 4, 2);
        bigappend(header, static_cast<uint32_t>(entries.size()), 2);
    } else {
        header = "BIGF";
        bigappend(header, headersize + static_cast<uint32_t>(data.size()), 4);
        bigappend(header, static_cast<uint32_t>(entries.size()), 4);
        bigappend(header, headersize, 4);
    }
    return header + index + data;
}

#endif
