// A BIG archive's bytes: header, index (numbers big-endian), data in index order;
// layout 1: C0 FB, header size - 4 (2), count (2); entries offset (3), size (3), name.
// layout 2: "BIGF", total (4), count (4), header size (4); entries offset (4), size (4), name.
#ifndef VORL_TESTS_BIGARCHIVE_H
#define VORL_TESTS_BIGARCHIVE_H

#include <string>
#include <utility>
#include <vector>

using BigEntries = std::vector<std::pair<std::string, std::string>>;

inline void bigappend(std::string& out, size_t value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

inline std::string bigarchive(int layout, const BigEntries& entries)
{
    const int field = layout == 1 ? 3 : 4, width = layout == 1 ? 2 : 4;
    size_t headersize = layout == 1 ? 6 : 16;
    for (const auto& entry : entries)
        headersize += 2 * field + entry.first.size() + 1;
    std::string index, data, header = layout == 1 ? "\xC0\xFB" : "BIGF";
    for (const auto& entry : entries) {
        bigappend(index, headersize + data.size(), field);
        bigappend(index, entry.second.size(), field);
        index += entry.first + '\0';
        data += entry.second;
    }
    bigappend(header, layout == 1 ? headersize - 4 : headersize + data.size(), width);
    bigappend(header, entries.size(), width);
    bigappend(header, headersize, layout == 1 ? 0 : 4);
    return header + index + data;
}

#endif
