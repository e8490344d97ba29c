// Every whole-file service with each platform call in turn failing (an error, a short transfer, an interruption), until
// the service completes without meeting the fault. After each: success only with the right results, failure only with
// a last-error code; a saved file holds its old bytes and length or its new ones; no heap block, descriptor or operation
// record is left behind; and the same call then works.
#define _FILE_OFFSET_BITS 64
#include <errno.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "../pc/bigarchive.h"
#include "alertrecorder.h"
#include "pc/nfileint.h"
#include "platform/posix/pwsys.h"
#include "tempdir.h"
#include "tool/patchfile.h"
#include "tool/savepatch.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"
#include "vorl/nfile.h"
#include "vorl/thread.h"

namespace {

struct PLAN { PW_SYSKIND kind; PW_FAULTHOW how; int error; };
const PLAN PLANS[] = {{PW_SYSANY, PW_FAULTERROR, EIO}, {PW_SYSANY, PW_FAULTERROR, ENOSPC}, {PW_SYSANY, PW_FAULTERROR, EFBIG},
                      {PW_SYSREAD, PW_FAULTSHORT, 0}, {PW_SYSWRITE, PW_FAULTSHORT, 0},
                      {PW_SYSREAD, PW_FAULTINTERRUPT, 0}, {PW_SYSWRITE, PW_FAULTINTERRUPT, 0}};

int descriptors() { return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})); }

class FaultInjection : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GT(MEM_init(), 0);
        FILESYS_init(0, 0, 0);
        std::ofstream(big, std::ios::binary) << bigarchive(2, {{"a.txt", std::string(700, 'a')}, {"b.txt", std::string(900, 'b')}});
    }
    void TearDown() override { FILESYS_shutdown(), MEM_shutdown(); }
    // Runs call with a fault at each platform call in turn. call answers -1 when the service failed, 1 when it
    // succeeded with the right results, 0 when it succeeded with wrong ones, and frees what the service handed out.
    // Returns how many runs met their fault.
    int sweep(const char* name, std::function<int()> call)
    {
        int injected = 0;
        for (const PLAN& plan : PLANS)
            for (long nth = 1;; nth++) {
                std::ofstream(old, std::ios::binary) << std::string(3000, 'o');
                int32_t free = MEM_totalfree(), fds = descriptors();
                PW_injectfault(plan.kind, nth, plan.how, plan.error);
                int result = call();
                uint32_t error = SYS_getlasterror();
                bool met = PW_faultmet();
                PW_endfault();
                injected += met;
                std::string where = std::string(name) + ", fault " + std::to_string(plan.how) + "/" +
                                    std::to_string(plan.error) + " at call " + std::to_string(nth);
                EXPECT_NE(result, 0) << where << ": success with wrong results";
                EXPECT_TRUE(result > 0 || (error != 0 && plan.how == PW_FAULTERROR)) << where << ": failed, error " << error;
                // After a failed save: new bytes, then old ones, with the old length; or all the new ones.
                std::string now = ScopedTempDir::read(old);
                EXPECT_TRUE(result > 0 || now == std::string(5000, 'n') ||
                            (now.size() == 3000 && now.find_first_not_of('n') >= now.find('o')))
                    << where << ": " << now.size() << " bytes";
                // Heap, descriptors and operation records as they were.
                EXPECT_EQ((std::vector<int>{MEM_totalfree(), MEMCLASS_check(MB_RAM), descriptors(), QUEUE_length(&FILEfreeops)}),
                          (std::vector<int>{free, 1, fds, FILEopcount})) << where;
                EXPECT_EQ(call(), 1) << where << ": the next call";
                if (!met || HasFailure())
                    break;
            }
        return injected;
    }
    ScopedTempDir dir;
    ScopedAlertRecorder recorder;
    std::string old = dir.path() + "/old.dat", big = dir.path() + "/a.big";
};

// 1 when block holds size bytes of fill (then freed), 0 when it holds others, -1 when there is none.
int holds(void* block, size_t size, char fill)
{
    bool right = block && MEM_size(block) == int32_t(size) && std::string(static_cast<char*>(block), size) == std::string(size, fill);
    return block ? (MEM_free(block), int(right)) : -1;
}

// As holds, for an archive's header loaded from path.
int bigheader(const std::string& path, uint32_t type)
{
    void* header = FILE_loadbigheaderquiet(path.c_str(), type);
    int right = header && MEM_size(header) > 0 && memcmp(header, "BIGF", 4) == 0;
    return header ? (MEM_free(header), right) : -1;
}

}  // namespace

TEST_F(FaultInjection, WholeFileServicesReportEveryFailureAndLeaveNothingBehind)
{
    const std::string& path = old;
    const char* paths[] = {old.c_str(), old.c_str()};
    int injected = sweep("FILE_exists", [&] { return FILE_exists(path.c_str()) ? 1 : -1; });
    injected += sweep("FILE_size", [&] { int32_t size = FILE_sizequiet(path.c_str()); return size == 0 ? -1 : size == 3000; });
    injected += sweep("FILE_load", [&] { return holds(FILE_loadquiet(path.c_str(), MB_RAM), 3000, 'o'); });
    injected += sweep("FILE_loadat", [&] {
        std::string at(4000, 'x');
        int32_t got = FILE_loadatquiet(path.c_str(), &at[0], 4000);
        return got == 0 ? -1 : got == 3000 && at == std::string(3000, 'o') + std::string(1000, 'x');
    });
    injected += sweep("FILE_scatterload", [&] {
        void* blocks[2] = {nullptr, nullptr};
        if (!FILE_scatterloadquiet(2, paths, blocks, MB_RAM))
            return MEM_free(blocks[0]), MEM_free(blocks[1]), -1;
        return holds(blocks[0], 3000, 'o') + holds(blocks[1], 3000, 'o') == 2 ? 1 : 0;
    });
    injected += sweep("FILE_loadbigheader", [&] { return bigheader(big, MB_RAM); });
    injected += sweep("FILESYS_openbig and an entry", [&] {  // a mount's reason is its record's
        uint32_t op = FILESYS_openbigop(big.c_str(), 0, 100, 0);
        if (!op)
            return -1;
        bool mounted = FILESYS_waitop(op) == FOPS_DONE;
        uint32_t error = FILESYS_errorop(op);
        int32_t number = int32_t(FILESYS_completeop(op));
        SYS_setlasterror(error);
        if (!mounted || !FILE_exists((big + "|b.txt").c_str()))  // (an index lookup: no platform call)
            return mounted ? 0 : -1;
        void* entry = FILE_loadquiet((big + "|b.txt").c_str(), MB_RAM);
        error = SYS_getlasterror();
        int right = holds(entry, 900, 'b'), closed = FILESYS_closebig(number, 100);
        SYS_setlasterror(error);
        return closed ? right : -1;
    });
    injected += sweep("FILE_save", [&] {
        std::string saved(5000, 'n');
        return FILE_savequiet(path.c_str(), saved.data(), 5000) ? ScopedTempDir::read(path) == saved : -1;
    });
    EXPECT_GT(injected, 50);
}

// Each loading service with its class too small by every amount up to what it needs: a failure with the reason, never a
// short or damaged block, and the class whole and empty again. The larger index needs a second block beside the first.
TEST_F(FaultInjection, AClassTooSmallForWhatIsLoaded)
{
    BigEntries entries;
    for (int i = 0; i < 200; i++)
        entries.push_back({"entry" + std::to_string(i), "d"});
    std::string large = dir.write("large.big", bigarchive(2, entries)), bigs[] = {big, large};
    dir.write("old.dat", std::string(3000, 'o'));
    const char* paths[] = {old.c_str(), old.c_str()};
    std::vector<char> area(16384);
    int failed = 0;
    for (int32_t size = 256, loaded = 0; loaded < 4; size += 24) {
        ASSERT_GT(size <= int32_t(area.size()) ? MEMCLASS_create(9, "small", area.data(), size, 8, 8, 0, 0, 0, 0, 0, nullptr) : 0, 0);
        int32_t whole = MEMCLASS_largestfree(9);
        void* blocks[2] = {nullptr, nullptr};
        int all = FILE_scatterloadquiet(2, paths, blocks, 9), first = holds(blocks[0], 3000, 'o'),
            second = holds(blocks[1], 3000, 'o');  // a failed load may still hand out what it did load
        int results[] = {holds(FILE_loadquiet(old.c_str(), 9), 3000, 'o'), all ? first + second == 2 : first && second ? -1 : 0,
                         bigheader(bigs[0], 9), bigheader(bigs[1], 9)};
        loaded = 0;
        for (int result : results) {
            EXPECT_NE(result, 0) << size;
            loaded += result == 1, failed += result == -1;
        }
        EXPECT_EQ((std::vector<int32_t>{MEMCLASS_check(9), MEMCLASS_largestfree(9)}), (std::vector<int32_t>{1, whole})) << size;
        MEMCLASS_destroy(9);
        if (HasFailure())
            break;
    }
    EXPECT_GT(failed, 100);
}

// tarlok on a save with each platform call failing in turn, the library's start and stop included: it says whether it
// saved; a save holds the patched bytes, any other outcome the old ones (a failed save writes them back).
TEST(FaultInjectionTarlok, ASaveIsPatchedOrLeftAsItWas)
{
    ScopedTempDir dir;
    ScopedAlertRecorder recorder;  // a device thread that cannot start has its alert
    std::string path = dir.path() + "/game.sav", key(TARLOK_KEY, TARLOK_KEYLENGTH);
    std::string save = std::string(5000, 'x') + key + "1234" + std::string(40, 'y'), patched = save;
    patched.replace(5000 + key.size(), 4, 4, '\0');
    for (const PLAN& plan : PLANS)
        for (long nth = 1;; nth++) {
            std::ofstream(path, std::ios::binary) << save;
            int fds = descriptors();
            PW_injectfault(plan.kind, nth, plan.how, plan.error);
            int32_t status = TARLOK_run(path.c_str());
            bool met = PW_faultmet();
            PW_endfault();
            std::string now = ScopedTempDir::read(path);
            EXPECT_TRUE(status == TARLOK_SAVED ? now == patched : (status == TARLOK_NOTSAVED || status == 25) && now == save)
                << "fault " << plan.how << "/" << plan.error << " at call " << nth << ": status " << status;
            EXPECT_EQ(descriptors(), fds) << nth;
            if (!met || HasFailure())
                break;
        }
}

// Page memory failing at its nth request while the file system starts, loads, mounts and stops: each step works or
// fails as documented, and the heap stays whole. (The heap's own index without page memory: cmn_memindex_test.)
TEST(FaultInjectionMemory, PageMemoryFailingAtEachRequest)
{
    ScopedTempDir dir;
    ScopedAlertRecorder recorder;
    std::string path = dir.write("f.dat", std::string(5000, 'f')), big = dir.write("a.big", bigarchive(2, {{"a", "b"}}));
    ASSERT_GT(MEM_init(), 0);
    for (long nth = 1;; nth++) {
        PW_injectfault(PW_SYSMEMORY, nth, PW_FAULTERROR, ENOMEM);
        int32_t number = 0, started = FILESYS_init(0, 0, 0);
        int right = holds(started ? FILE_loadquiet(path.c_str(), MB_RAM) : nullptr, 5000, 'f');
        started && FILESYS_openbig(big.c_str(), 0, 100, &number) && FILESYS_closebig(number, 100);
        bool met = PW_faultmet();
        PW_endfault();
        FILESYS_shutdown();
        EXPECT_TRUE(right != 0 && MEMCLASS_check(MB_RAM) == 1) << "page memory failing at request " << nth;
        if (!met || HasFailure())
            break;
    }
    MEM_shutdown();
}
