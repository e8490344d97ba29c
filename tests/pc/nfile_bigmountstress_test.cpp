// Mounted archives under concurrency: several threads open, read and close
// entries of archives of both layouts while another thread mounts and
// unmounts other archives, some of whose entries the readers hold open.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bigarchive.h"
#include "tempdir.h"
#include "pc/nfileint.h"
#include "vorl/hlsfile.h"
#include "vorl/pagemem.h"
#include "vorl/memory.h"
#include "vorl/file.h"

namespace {

const int32_t P = 100;

std::string contentsof(const std::string& archive, int entry)
{
    std::string bytes(100 + entry * 37, '\0');
    for (size_t at = 0; at < bytes.size(); at++)
        bytes[at] = static_cast<char>((at * 7 + entry * 13 + archive.size()) & 0xFF);
    return bytes;
}

// Reads a whole entry through a handle; "" when it cannot be opened.
std::string readentry(const std::string& path, std::atomic<int>& failures)
{
    int32_t handle = 0;
    if (!FILESYS_open(path.c_str(), FOPEN_READ, P, &handle))
        return "";
    int32_t length = FILESYS_length(handle, P);
    std::string bytes(static_cast<size_t>(length), '\0');
    failures += FILESYS_read(handle, 0, &bytes[0], length, P) != length ? 1 : 0;
    failures += FILESYS_close(handle, P) != 1 ? 1 : 0;
    return bytes;
}

TEST(BigMountStress, ReadersAndAMounterShareTheArchiveList)
{
    ASSERT_GT(MEM_init(), 0);
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    ScopedTempDir dir;
    // Two archives stay mounted, two come and go; both layouts among each.
    const std::vector<std::string> names = {"steady", "firm", "come", "go"};
    std::vector<std::string> paths;
    for (size_t at = 0; at < names.size(); at++) {
        BigEntries entries;
        for (int entry = 0; entry < 6; entry++)
            entries.push_back({names[at] + "-" + std::to_string(entry), contentsof(names[at], entry)});
        paths.push_back(dir.write(names[at] + ".big", bigarchive(static_cast<int>(at % 2) + 1, entries)));
        int32_t number = 0;
        if (at < 2) {
            ASSERT_EQ(FILESYS_openbig(paths.back().c_str(), 0, P, &number), 1);
        }
    }
    std::atomic<int> failures{0}, mounts{0}, refusals{0}, churnreads{0};
    std::atomic<bool> stop{false};
    std::thread mounter([&] {
        for (int round = 0; round < 60; round++) {
            int32_t number = 0;
            if (!FILESYS_openbig(paths[2 + round % 2].c_str(), 0, P, &number) || number >= 0) {
                failures++;
                continue;
            }
            mounts++;
            std::this_thread::yield();
            // Readers may hold entries open: the unmount is refused until
            // they have closed them.
            while (!FILESYS_closebig(number, P)) {
                refusals++;
                std::this_thread::yield();
            }
        }
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int reader = 0; reader < 3; reader++) {
        readers.emplace_back([&, reader] {
            for (int round = 0; !stop || round < 20; round++) {
                const size_t at = (round + reader) % 2;
                const int entry = (round * 5 + reader) % 6;
                const std::string entryname = names[at] + "-" + std::to_string(entry);
                const std::string want = contentsof(names[at], entry);
                // Plain names are searched; the bar form names the archive.
                failures += readentry(entryname, failures) != want ? 1 : 0;
                failures += readentry(paths[at] + "|" + entryname, failures) != want ? 1 : 0;
                void* block = FILE_loadquiet(entryname.c_str(), 0);
                failures += !block || std::string(static_cast<char*>(block), want.size()) != want ? 1 : 0;
                if (block)
                    MEM_free(block);
                // An archive that comes and goes: whatever is found is whole.
                const std::string& churn = names[2 + round % 2];
                std::string got = readentry(churn + "-" + std::to_string(entry), failures);
                churnreads += got.empty() ? 0 : 1;
                failures += !got.empty() && got != contentsof(churn, entry) ? 1 : 0;
            }
        });
    }
    mounter.join();
    for (auto& reader : readers)
        reader.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mounts.load(), 60);
    // Only the two stable archives are left, and no entry handle.
    EXPECT_EQ(FILEbiglist.count, 2u);
    EXPECT_EQ(std::count(FILEbigentries, FILEbigentries + FILEbigentrycount, nullptr), FILEbigentrycount);
    EXPECT_EQ(FILESYS_closebig(-1, P), 1);
    EXPECT_EQ(FILESYS_closebig(-2, P), 1);
    FILESYS_shutdown();
    MEM_shutdown();
    // How often the churning archives were seen and held is timing; print it.
    printf("churning archives: %d reads, %d refused unmounts\n", churnreads.load(), refusals.load());
}

}  // namespace
