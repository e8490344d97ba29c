// Readers read entries of archives of both layouts while a mounter mounts and unmounts others.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bigarchive.h"
#include "tempdir.h"
#include "pc/nfileint.h"
#include "vorl/file.h"

namespace {

const std::string names[4] = {"steady", "firm", "come", "go"};  // two stay mounted, two come and go
std::atomic<int> failures{0};

// The model: an entry's name and bytes follow from its archive and index.
std::string nameof(int archive, int entry) { return names[archive] + "-" + std::to_string(entry); }
std::string contentsof(int archive, int entry) { return std::string(100 + entry * 37, 'a' + archive * 6 + entry); }

// Reads a whole entry through a handle; "" when it cannot be opened.
std::string readentry(const std::string& path)
{
    int32_t handle = 0;
    if (!FILESYS_open(path.c_str(), FOPEN_READ, 100, &handle))
        return "";
    int32_t length = FILESYS_length(handle, 100);
    std::string bytes(static_cast<size_t>(length), '\0');
    failures += FILESYS_read(handle, 0, &bytes[0], length, 100) != length;
    failures += FILESYS_close(handle, 100) != 1;
    return bytes;
}

TEST(BigMountStress, ReadersAndAMounterShareTheArchiveList)
{
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    ScopedTempDir dir;
    std::vector<std::string> paths;
    int32_t number = 0;
    for (int at = 0; at < 4; at++) {
        BigEntries entries;
        for (int entry = 0; entry < 6; entry++)
            entries.push_back({nameof(at, entry), contentsof(at, entry)});
        paths.push_back(dir.write(names[at] + ".big", bigarchive(at % 2 + 1, entries)));
        ASSERT_TRUE(at >= 2 || FILESYS_openbig(paths[at].c_str(), 0, 100, &number));
    }
    std::atomic<bool> stop{false};
    std::thread mounter([&] {
        for (int round = 0; round < 60; round++) {
            int32_t number = 0;
            failures += !FILESYS_openbig(paths[2 + round % 2].c_str(), 0, 100, &number) || number >= 0;
            std::this_thread::yield();
            while (number < 0 && !FILESYS_closebig(number, 100))  // refused while readers hold entries
                std::this_thread::yield();
        }
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int reader = 0; reader < 3; reader++)
        readers.emplace_back([&, reader] {
            for (int round = 0; !stop || round < 20; round++) {
                const int at = (round + reader) % 2, entry = (round * 5 + reader) % 6, churn = 2 + round % 2;
                failures += readentry(nameof(at, entry)) != contentsof(at, entry);
                failures += readentry(paths[at] + "|" + nameof(at, entry)) != contentsof(at, entry);
                std::string got = readentry(nameof(churn, entry));  // whatever is found is whole
                failures += !got.empty() && got != contentsof(churn, entry);
            }
        });
    mounter.join();
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(FILEbiglist.count, 2u);  // the two stable archives, and no entry handle
    EXPECT_EQ(std::count(FILEbigentries, FILEbigentries + FILEbigentrycount, nullptr), FILEbigentrycount);
    FILESYS_shutdown();
}

}  // namespace
