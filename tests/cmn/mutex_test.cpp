// Mutexes: the pool, recursion, ownership, misuse alerts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "vorl/mutex.h"
#include "vorl/thread.h"

namespace {

TEST(Mutex, PoolRecursionAndOwnership)
{
    MUTEX* mutex = MUTEX_alloc();
    EXPECT_EQ(THREAD_iscurrent(nullptr), 1) << "the first mutex makes the registry, on the main thread";
    MUTEX* other = MUTEX_alloc();
    MUTEX_free(other);
    EXPECT_EQ(MUTEX_alloc(), other) << "the last record released comes back first";
    MUTEX_lock(mutex);
    MUTEX_lock(mutex);
    uint32_t me = MUTEX_owner(mutex);
    EXPECT_EQ(MUTEX_count(mutex), 2u);
    std::atomic<int> acquired{0};
    std::thread waiter([&] {
        MUTEX_lock(mutex);
        acquired = 1;
        MUTEX_unlock(mutex);
    });
    MUTEX_unlock(mutex);
    EXPECT_NE(me, 0u);
    EXPECT_EQ(MUTEX_owner(mutex) + MUTEX_count(mutex), me + 1);
    THREAD_sleep(20);
    EXPECT_EQ(acquired.load(), 0) << "still held once";
    MUTEX_unlock(mutex);
    waiter.join();
    EXPECT_EQ((std::vector<uint32_t>{static_cast<uint32_t>(acquired), MUTEX_count(mutex), MUTEX_owner(mutex)}),
              (std::vector<uint32_t>{1, 0, 0}));

    // Many threads take records and share a lock; half the records are kept
    // to the end, so the pool grows, and those alive together are distinct.
    std::vector<MUTEX*> kept;
    long total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 300; i++) {
                MUTEX* own = MUTEX_alloc();
                MUTEX_lock(mutex);
                MUTEX_lock(mutex);
                total++;
                if (i % 2 == 0)
                    kept.push_back(own);
                MUTEX_unlock(mutex);
                MUTEX_unlock(mutex);
                if (i % 2)
                    MUTEX_free(own);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(total, 6 * 300);
    EXPECT_EQ(std::set<MUTEX*>(kept.begin(), kept.end()).size(), 6u * 150u);
}

// An alert's text about the record at mutex.
std::string about(const char* text, MUTEX* mutex)
{
    char address[16];
    snprintf(address, sizeof address, "%08x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(mutex)));
    return std::string(text) + " (" + address + ").\n";
}

TEST(Mutex, MisuseRaisesItsAlertsAndTouchesNothing)
{
    MUTEX* mutex = MUTEX_alloc();
    MUTEX* live = MUTEX_alloc();
    ScopedAlertRecorder recorder;
    MUTEX_lock(mutex);
    std::thread([&] { MUTEX_unlock(mutex); }).join();
    MUTEX_free(mutex);
    EXPECT_EQ(MUTEX_count(mutex), 1u);
    MUTEX_unlock(mutex);
    MUTEX_free(mutex);
    MUTEX_free(mutex);
    MUTEX_lock(mutex);
    MUTEX_unlock(mutex);
    MUTEX_lock(nullptr);
    MUTEX_unlock(nullptr);
    MUTEX_free(nullptr);
    // Records that never came from the pool (a zeroed buffer, a pointer into
    // a live record) are refused.
    alignas(64) static unsigned char zeroed[256];
    MUTEX* strays[] = {reinterpret_cast<MUTEX*>(zeroed), reinterpret_cast<MUTEX*>(reinterpret_cast<char*>(live) + 8)};
    for (MUTEX* stray : strays)
        MUTEX_free(stray);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{
                                       about("MUTEX_unlock - UNLOCKING AN UNOWNED MUTEX", mutex),
                                       about("MUTEX_free - FREEING A LOCKED MUTEX", mutex),
                                       about("MUTEX_free - FREEING AN UNALLOCATED MUTEX", mutex),
                                       about("MUTEX_lock - ATTEMPTING TO LOCK AN UNALLOCATED MUTEX", mutex),
                                       about("MUTEX_unlock - ATTEMPTING TO UNLOCK AN UNALLOCATED MUTEX", mutex),
                                       "MUTEX_lock - ATTEMPTING TO LOCK A NULL MUTEX.\n",
                                       "MUTEX_unlock - ATTEMPTING TO UNLOCK A NULL MUTEX.\n",
                                       about("MUTEX_free - FREEING AN UNALLOCATED MUTEX", strays[0]),
                                       about("MUTEX_free - FREEING AN UNALLOCATED MUTEX", strays[1]),
                                   }));
    EXPECT_EQ(MUTEX_owner(nullptr) + MUTEX_count(nullptr) + MUTEX_owner(mutex), 0u);
}

TEST(MutexDeathTest, MisuseEndsTheProcessWithTheDefaultRoutine)
{
    EXPECT_EXIT(
        {
            MUTEX* mutex = MUTEX_alloc();
            MUTEX_free(mutex);
            MUTEX_free(mutex);
        },
        testing::ExitedWithCode(0), "cmn/mutex.*MUTEX_free - FREEING AN UNALLOCATED MUTEX");
}

}  // namespace
