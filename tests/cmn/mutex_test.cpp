// Mutexes: the pool, recursion, ownership, misuse alerts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "alertrecorder.h"
#include "deathstyle.h"
#include "vorl/mutex.h"
#include "vorl/thread.h"

namespace {

using LIST = std::vector<uint32_t>;

// Processor time the process has used, in milliseconds (0 where not measured).
double processms()
{
#ifndef _WIN32
    return std::clock() * 1e3 / CLOCKS_PER_SEC;
#else
    return 0;  // (the clock there is the wall's)
#endif
}

TEST(Mutex, PoolRecursionAndOwnership)
{
    MUTEX* mutex = MUTEX_alloc();
    MUTEX* other = MUTEX_alloc();
    MUTEX_free(other);
    EXPECT_EQ(MUTEX_alloc(), other) << "the last record released comes back first";
    EXPECT_EQ((LIST{MUTEX_owner(other), MUTEX_count(other)}), (LIST{0, 0})) << "and unowned";
    MUTEX_lock(mutex);
    MUTEX_lock(mutex);
    uint32_t me = MUTEX_owner(mutex);
    EXPECT_EQ((LIST{me != 0, MUTEX_count(mutex)}), (LIST{1, 2}));
    std::atomic<int> acquired{0};
    std::thread waiter([&] {
        MUTEX_lock(mutex);
        acquired = 1;
        MUTEX_unlock(mutex);
    });
    MUTEX_unlock(mutex);
    EXPECT_EQ((LIST{MUTEX_owner(mutex) - me, MUTEX_count(mutex)}), (LIST{0, 1}));
    double spent = processms();
    THREAD_sleep(200);
    EXPECT_LT(processms() - spent, 40.0) << "the waiter sleeps";
    EXPECT_EQ(acquired.load(), 0) << "still held once";
    MUTEX_unlock(mutex);
    waiter.join();
    EXPECT_EQ((LIST{static_cast<uint32_t>(acquired), MUTEX_count(mutex), MUTEX_owner(mutex)}), (LIST{1, 0, 0}));

    // The pool grows past its first runs; no record is handed out twice.
    std::set<MUTEX*> kept;
    for (int i = 0; i < 200; i++)
        kept.insert(MUTEX_alloc());
    EXPECT_EQ(kept.size(), 200u);
}

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
    // Records that never came from the pool: a zeroed buffer, a pointer into a live record.
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
}

// Four threads take the mutex twice over, in turn: each finds itself the holder with two locks, and the
// counter that they read and write back under the lock loses nothing (a lost wake-up hangs instead).
TEST(Mutex, ContendedLocksExcludeAndKnowTheirHolder)
{
    MUTEX* mutex = MUTEX_alloc();
    const int ROUNDS = 20000;
    int shared = 0;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            const uint32_t me = THREAD_getid(THREAD_CURRENT);
            for (int i = 0; i < ROUNDS; i++) {
                MUTEX_lock(mutex);
                int seen = shared;
                MUTEX_lock(mutex);
                wrong += MUTEX_owner(mutex) != me || MUTEX_count(mutex) != 2;
                MUTEX_unlock(mutex);
                shared = seen + 1;
                MUTEX_unlock(mutex);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ((LIST{uint32_t(shared), uint32_t(wrong), MUTEX_owner(mutex), MUTEX_count(mutex)}),
              (LIST{4 * ROUNDS, 0, 0, 0}));
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
