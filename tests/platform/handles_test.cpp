// The handle table of the POSIX platform layer: small non-zero handle
// values, references shared by duplicates, one destruction when the last
// reference goes, and closed handles reported as invalid.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "platform/posix/pwhandle.h"
#include "platform/vplatform.h"

namespace {

using V = std::vector<long long>;
std::atomic<int> destroyed{0};

HANDLE newhandle(PW_KIND kind)
{
    PW_OBJECT* object = new PW_OBJECT();
    object->kind = kind;
    object->refs = 1;
    object->destroy = [](PW_OBJECT* gone) {
        destroyed++;
        delete gone;
    };
    return PW_newhandle(object);
}

// A duplicate of h in this process, or null when refused.
HANDLE duplicate(HANDLE h, DWORD options = DUPLICATE_SAME_ACCESS)
{
    HANDLE copy = nullptr;
    return DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, options) ? copy : nullptr;
}

TEST(Handles, ObjectGoesWithItsLastReferenceAndItsHandlesBecomeInvalid)
{
    destroyed = 0;
    HANDLE h = newhandle(PW_FILE), copy = duplicate(h);
    ASSERT_TRUE(h != nullptr && copy != nullptr && copy != h);
    PW_OBJECT* looked = PW_gethandle(copy, PW_FILE);
    ASSERT_NE(looked, nullptr);
    EXPECT_EQ(looked, PW_gethandle(h, PW_NONE));  // the same object
    PW_release(looked);
    PW_release(looked);
    SetLastError(0);
    // Looked up as another kind, the handle is invalid.
    EXPECT_EQ(V({PW_gethandle(h, PW_MAPPING) == nullptr, GetLastError()}), V({1, ERROR_INVALID_HANDLE}));
    // The duplicate, then a reference taken by lookup, outlive the handle.
    EXPECT_EQ(V({CloseHandle(h), destroyed.load()}), V({1, 0}));
    PW_OBJECT* held = PW_gethandle(copy, PW_FILE);
    EXPECT_EQ(V({CloseHandle(copy), destroyed.load()}), V({1, 0}));
    PW_release(held);
    EXPECT_EQ(destroyed.load(), 1);
    SetLastError(0);
    EXPECT_EQ(V({CloseHandle(h), GetLastError(), PW_gethandle(h, PW_NONE) == nullptr}),
              V({0, ERROR_INVALID_HANDLE, 1}));
    SetLastError(0);
    EXPECT_EQ(V({duplicate(h) == nullptr, GetLastError()}), V({1, ERROR_INVALID_HANDLE}));
    // A duplicate that closes its source takes over the only reference.
    h = newhandle(PW_FILE);
    copy = duplicate(h, DUPLICATE_CLOSE_SOURCE);
    EXPECT_EQ(V({CloseHandle(h), destroyed.load(), CloseHandle(copy), destroyed.load()}), V({0, 1, 1, 2}));
}

TEST(Handles, ValuesAreSmallDistinctAndNotReusedAtOnce)
{
    destroyed = 0;
    std::set<HANDLE> open;
    for (int i = 0; i < 200; i++) {
        HANDLE h = newhandle(PW_EVENT);
        EXPECT_TRUE(h != nullptr && h != INVALID_HANDLE_VALUE);
        EXPECT_LE(reinterpret_cast<uintptr_t>(h), 0xFFFFFFFFu);
        EXPECT_TRUE(open.insert(h).second);
    }
    HANDLE first = *open.begin();
    EXPECT_TRUE(CloseHandle(first));
    open.erase(first);
    EXPECT_TRUE(open.insert(newhandle(PW_EVENT)).second);
    EXPECT_EQ(open.count(first), 0u);  // a just-closed handle stays invalid a while
    for (HANDLE h : open)
        EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(destroyed.load(), 201);
    // Values never handed out fail; the pseudo handles close as a no-op.
    for (uintptr_t value : {0u, 3u, 0x40000000u})
        EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(value))) << value;
    EXPECT_EQ(V({CloseHandle(GetCurrentProcess()), CloseHandle(GetCurrentThread())}), V({1, 1}));
}

TEST(Handles, ConcurrentCreateAndCloseKeepsTheTableConsistent)
{
    destroyed = 0;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; i++) {
                HANDLE h = newhandle(PW_FILE), copy = duplicate(h, 0);
                failures += h == nullptr || copy == nullptr || !CloseHandle(h) || !CloseHandle(copy);
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(V({failures.load(), destroyed.load()}), V({0, 8000}));
}

}  // namespace
