// Mounted archives under concurrency: readers open, read and close entries of
// archives of both layouts while another thread mounts and unmounts others,
// some of whose entries the readers hold open.
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
#include "vorl/hlsfile.h"
#include "vorl/memory.h"

namespace {

const int32_t P = 100;
const std::string names[4] = {"steady", "firm", "come", "go"};  // two stay mounted, two come and go

std::string contentsof(int archive, int entry)
{
    return std::string(100 + entry * 37, static_cast<char>('a' + archive * 6 + entry)) + names[archive];
}

// Reads a whole entry through a handle; "" when it cannot be opened.
std::string readentry(const std::string& path, std::atomic<int>& failures)
{
    int32_t handle = 0;
    if (!FILESYS_open(path.c_str(), FOPEN_READ, P, &handle))
        return "";
    int32_t length = FILESYS_length(handle, P);
    std::string bytes(static_cast<size_t>(length), '\0');
    failures += FILESYS_read(handle, 0, &bytes[0], length, P) != length;
    failures += FILESYS_close(handle, P) != 1;
    return bytes;
}

TEST(BigMountStress, ReadersAndAMounterShareTheArchiveList)
{
    ASSERT_GT(MEM_init(), 0);
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    ScopedTempDir dir;
    std::vector<std::string> paths;
    for (int at = 0; at < 4; at++) {
        BigEntries entries;
        for (int entry = 0; entry < 6; entry++)
            entries.push_back({names[at] + "-" + std::to_string(entry), contentsof(at, entry)});
        paths.push_back(dir.write(names[at] + ".big", bigarchive(at % 2 + 1, entries)));
    }
    int32_t number = 0;
    ASSERT_TRUE(FILESYS_openbig(paths[0].c_str(), 0, P, &number) && FILESYS_openbig(paths[1].c_str(), 0, P, &number));
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::thread mounter([&] {
        for (int round = 0; round < 60; round++) {
            int32_t number = 0;
            failures += !FILESYS_openbig(paths[2 + round % 2].c_str(), 0, P, &number) || number >= 0;
            std::this_thread::yield();
            // Readers may hold entries open: the unmount is refused until they close them.
            while (number < 0 && !FILESYS_closebig(number, P))
                std::this_thread::yield();
        }
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int reader = 0; reader < 3; reader++)
        readers.emplace_back([&, reader] {
            for (int round = 0; !stop || round < 20; round++) {
                const int at = (round + reader) % 2, entry = (round * 5 + reader) % 6, churn = 2 + round % 2;
                const std::string name = names[at] + "-" + std::to_string(entry);
                // Plain names are searched; the bar form names the archive.
                const std::string want = contentsof(at, entry);
                failures += readentry(name, failures) != want;
                failures += readentry(paths[at] + "|" + name, failures) != want;
                void* block = FILE_loadquiet(name.c_str(), 0);
                failures += !block || std::string(static_cast<char*>(block), want.size()) != want;
                MEM_free(block);
                // An archive that comes and goes: whatever is found is whole.
                std::string got = readentry(names[churn] + "-" + std::to_string(entry), failures);
                failures += !got.empty() && got != contentsof(churn, entry);
            }
        });
    mounter.join();
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(failures.load(), 0);
    // Only the two stable archives are left, and no entry handle.
    EXPECT_EQ(FILEbiglist.count, 2u);
    EXPECT_EQ(std::count(FILEbigentries, FILEbigentries + FILEbigentrycount, nullptr), FILEbigentrycount);
    FILESYS_shutdown();
    MEM_shutdown();
}

}  // namespace
