// Mounted archives under concurrency: several threads open, read and close
// entries of archives of both layouts while another thread mounts and
// unmounts other archives, some of whose entries the readers hold open.
#include <gtest/gtest.h>

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

BigEntries entriesof(const std::string& archive)
{
    BigEntries entries;
    for (int entry = 0; entry < 6; entry++)
        entries.push_back({archive + "-" + std::to_string(entry), contentsof(archive, entry)});
    return entries;
}

// Reads a whole entry through a handle; "" when it cannot be opened.
std::string readentry(const std::string& path, std::atomic<int>* failures)
{
    int32_t handle = 0;
    if (!FILESYS_open(path.c_str(), FOPEN_READ, P, &handle))
        return "";
    int32_t length = FILESYS_length(handle, P);
    std::string bytes(static_cast<size_t>(length), '\0');
    if (FILESYS_read(handle, 0, &bytes[0], length, P) != length)
        failures->fetch_add(1);
    if (FILESYS_close(handle, P) != 1)
        failures->fetch_add(1);
    return bytes;
}

TEST(BigMountStress, ReadersAndAMounterShareTheArchiveList)
{
    ASSERT_GT(MEM_init(), 0);
    ASSERT_EQ(FILESYS_init(0, 0, 0), 1);
    ScopedTempDir dir;
    const std::vector<std::string> stable = {"steady", "firm"};
    const std::vector<std::string> churning = {"come", "go"};
    std::vector<std::string> paths;
    for (size_t at = 0; at < stable.size(); at++) {
        paths.push_back(dir.write(stable[at] + ".big", bigarchive(static_cast<int>(at % 2) + 1, entriesof(stable[at]))));
        int32_t number = 0;
        ASSERT_EQ(FILESYS_openbig(paths.back().c_str(), 0, P, &number), 1);
    }
    std::vector<std::string> churnpaths;
    for (size_t at = 0; at < churning.size(); at++)
        churnpaths.push_back(
            dir.write(churning[at] + ".big", bigarchive(static_cast<int>(at % 2) + 1, entriesof(churning[at]))));

    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::atomic<int> mounts{0};
    std::atomic<int> refusals{0};
    std::atomic<int> churnreads{0};

    std::thread mounter([&] {
        for (int round = 0; round < 60; round++) {
            const std::string& path = churnpaths[round % churnpaths.size()];
            int32_t number = 0;
            if (!FILESYS_openbig(path.c_str(), 0, P, &number) || number >= 0) {
                failures.fetch_add(1);
                continue;
            }
            mounts.fetch_add(1);
            std::this_thread::yield();
            // Readers may hold entries open: the unmount is refused until
            // they have closed them.
            while (!FILESYS_closebig(number, P)) {
                refusals.fetch_add(1);
                std::this_thread::yield();
            }
        }
        stop = true;
    });

    std::vector<std::thread> readers;
    for (int reader = 0; reader < 3; reader++) {
        readers.emplace_back([&, reader] {
            int round = 0;
            while (!stop || round < 20) {
                const std::string& name = stable[(round + reader) % stable.size()];
                int entry = (round * 5 + reader) % 6;
                std::string entryname = name + "-" + std::to_string(entry);
                // Plain names are searched; the bar form names the archive.
                if (readentry(entryname, &failures) != contentsof(name, entry))
                    failures.fetch_add(1);
                std::string barpath = paths[(round + reader) % stable.size()] + "|" + entryname;
                if (readentry(barpath, &failures) != contentsof(name, entry))
                    failures.fetch_add(1);
                void* block = FILE_loadquiet(entryname.c_str(), 0);
                if (!block || std::string(static_cast<char*>(block), contentsof(name, entry).size()) !=
                                  contentsof(name, entry))
                    failures.fetch_add(1);
                if (block)
                    MEM_free(block);
                // An archive that comes and goes: whatever is found is whole.
                const std::string& churn = churning[round % churning.size()];
                std::string got = readentry(churn + "-" + std::to_string(entry), &failures);
                if (!got.empty()) {
                    churnreads.fetch_add(1);
                    if (got != contentsof(churn, entry))
                        failures.fetch_add(1);
                }
                round++;
            }
        });
    }
    mounter.join();
    for (auto& reader : readers)
        reader.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mounts.load(), 60);
    // Only the two stable archives are left.
    EXPECT_EQ(FILEbiglist.count, 2u);
    for (int32_t slot = 0; slot < FILEbigentrycount; slot++)
        EXPECT_EQ(FILEbigentries[slot], nullptr) << slot;
    EXPECT_EQ(FILESYS_closebig(-1, P), 1);
    EXPECT_EQ(FILESYS_closebig(-2, P), 1);
    FILESYS_shutdown();
    MEM_shutdown();
    // How often the churning archives were seen and held is timing; print it.
    printf("churning archives: %d reads, %d refused unmounts\n", churnreads.load(), refusals.load());
}

}  // namespace
