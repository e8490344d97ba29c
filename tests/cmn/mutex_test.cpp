// Mutexes: recursion, ownership, misuse alerts, and the pool.
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

std::string addressof(MUTEX* mutex)
{
    char text[16];
    snprintf(text, sizeof text, "%08x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(mutex)));
    return text;
}

TEST(Mutex, IsRecursiveAndKnowsItsOwner)
{
    MUTEX* mutex = MUTEX_alloc();
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(MUTEX_count(mutex), 0u);
    EXPECT_EQ(MUTEX_owner(mutex), 0u);

    MUTEX_lock(mutex);
    MUTEX_lock(mutex);
    EXPECT_EQ(MUTEX_count(mutex), 2u);
    uint32_t me = MUTEX_owner(mutex);
    EXPECT_NE(me, 0u);

    std::atomic<int> acquired{0};
    std::thread waiter([&] {
        MUTEX_lock(mutex);
        acquired = 1;
        MUTEX_unlock(mutex);
    });
    MUTEX_unlock(mutex);
    EXPECT_EQ(MUTEX_count(mutex), 1u);
    EXPECT_EQ(MUTEX_owner(mutex), me);
    THREAD_sleep(20);
    EXPECT_EQ(acquired.load(), 0);
    MUTEX_unlock(mutex);
    waiter.join();
    EXPECT_EQ(acquired.load(), 1);
    EXPECT_EQ(MUTEX_count(mutex), 0u);
    EXPECT_EQ(MUTEX_owner(mutex), 0u);
    MUTEX_free(mutex);
}

TEST(Mutex, MisuseRaisesItsAlertsAndTouchesNothing)
{
    MUTEX* mutex = MUTEX_alloc();
    ScopedAlertRecorder recorder;

    MUTEX_lock(mutex);
    std::thread stranger([&] { MUTEX_unlock(mutex); });
    stranger.join();
    EXPECT_EQ(MUTEX_count(mutex), 1u);

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

    std::string at = addressof(mutex);
    std::vector<std::string> expected = {
        "MUTEX_unlock - UNLOCKING AN UNOWNED MUTEX (" + at + ").\n",
        "MUTEX_free - FREEING A LOCKED MUTEX (" + at + ").\n",
        "MUTEX_free - FREEING AN UNALLOCATED MUTEX (" + at + ").\n",
        "MUTEX_lock - ATTEMPTING TO LOCK AN UNALLOCATED MUTEX (" + at + ").\n",
        "MUTEX_unlock - ATTEMPTING TO UNLOCK AN UNALLOCATED MUTEX (" + at + ").\n",
        "MUTEX_lock - ATTEMPTING TO LOCK A NULL MUTEX.\n",
        "MUTEX_unlock - ATTEMPTING TO UNLOCK A NULL MUTEX.\n",
    };
    EXPECT_EQ(recorder.messages(), expected);
    for (const RecordedAlert& alert : recorder.alerts())
        EXPECT_EQ(alert.file, "cmn/mutex");

    // Records that never came from the pool (a zeroed buffer, a pointer into
    // a live record) are refused and never handed out.
    recorder.clear();
    alignas(64) static unsigned char zeroed[256];
    MUTEX* live = MUTEX_alloc();
    MUTEX* strays[] = {reinterpret_cast<MUTEX*>(zeroed), reinterpret_cast<MUTEX*>(reinterpret_cast<char*>(live) + 8)};
    for (MUTEX* stray : strays)
        MUTEX_free(stray);
    expected.clear();
    for (MUTEX* stray : strays)
        expected.push_back("MUTEX_free - FREEING AN UNALLOCATED MUTEX (" + addressof(stray) + ").\n");
    EXPECT_EQ(recorder.messages(), expected);
    MUTEX_lock(live);
    EXPECT_EQ(MUTEX_count(live), 1u);
    MUTEX_unlock(live);
    MUTEX* next = MUTEX_alloc();
    EXPECT_NE(next, strays[0]);
    EXPECT_NE(next, strays[1]);
    EXPECT_EQ(MUTEX_owner(nullptr), 0u);
    EXPECT_EQ(MUTEX_count(nullptr), 0u);
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

TEST(MutexPool, ReusesTheLastReleasedRecordAndInitialisesTheRegistry)
{
    MUTEX* first = MUTEX_alloc();
    EXPECT_NE(THREADitemlist, nullptr);
    EXPECT_EQ(THREAD_iscurrent(nullptr), 1);

    MUTEX* second = MUTEX_alloc();
    MUTEX_free(first);
    MUTEX_free(second);
    EXPECT_EQ(MUTEX_alloc(), second);
    EXPECT_EQ(MUTEX_alloc(), first);

    // Growing the pool hands out distinct, usable records.
    std::set<MUTEX*> seen;
    std::vector<MUTEX*> many;
    for (int i = 0; i < 500; i++) {
        MUTEX* mutex = MUTEX_alloc();
        ASSERT_NE(mutex, nullptr);
        EXPECT_TRUE(seen.insert(mutex).second);
        MUTEX_lock(mutex);
        MUTEX_unlock(mutex);
        many.push_back(mutex);
    }
    for (MUTEX* mutex : many)
        MUTEX_free(mutex);
}

TEST(MutexPoolConcurrency, ManyThreadsCreateLockAndReleaseSafely)
{
    MUTEX* shared = MUTEX_alloc();
    long total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; i++) {
                MUTEX* own = MUTEX_alloc();
                MUTEX_lock(own);
                MUTEX_lock(shared);
                MUTEX_lock(shared);
                total++;
                MUTEX_unlock(shared);
                MUTEX_unlock(shared);
                MUTEX_unlock(own);
                MUTEX_free(own);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(total, 6 * 300);
    EXPECT_EQ(MUTEX_count(shared), 0u);
    MUTEX_free(shared);
}

}  // namespace
