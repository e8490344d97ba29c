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

std::atomic<int> destroyed{0};

void countdestroy(PW_OBJECT* object)
{
    destroyed++;
    delete object;
}

PW_OBJECT* newobject(PW_KIND kind)
{
    PW_OBJECT* object = new PW_OBJECT();
    object->kind = kind;
    object->refs = 1;
    object->destroy = countdestroy;
    return object;
}

TEST(Handles, ObjectGoesWithItsLastReference)
{
    destroyed = 0;
    HANDLE h = PW_newhandle(newobject(PW_FILE));
    ASSERT_NE(h, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_NE(copy, h);
    PW_OBJECT* looked = PW_gethandle(copy, PW_FILE);
    ASSERT_NE(looked, nullptr);
    EXPECT_EQ(looked, PW_gethandle(h, PW_NONE));  // the same object
    PW_release(looked);
    PW_release(looked);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(destroyed.load(), 0);  // the duplicate still holds it
    // A reference taken by lookup outlives the handle it came from.
    PW_OBJECT* held = PW_gethandle(copy, PW_FILE);
    EXPECT_TRUE(CloseHandle(copy));
    EXPECT_EQ(destroyed.load(), 0);
    PW_release(held);
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(Handles, ClosedAndForeignHandlesAreInvalid)
{
    HANDLE h = PW_newhandle(newobject(PW_MAPPING));
    SetLastError(0);
    EXPECT_EQ(PW_gethandle(h, PW_FILE), nullptr);  // another kind
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(h));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(PW_gethandle(h, PW_NONE), nullptr);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(3))));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x40000000))));
    HANDLE copy = nullptr;
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // Closing the pseudo handles does nothing and succeeds.
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
}

TEST(Handles, DuplicateCanCloseTheSource)
{
    destroyed = 0;
    HANDLE h = PW_newhandle(newobject(PW_FILE));
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_CLOSE_SOURCE));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_TRUE(CloseHandle(copy));
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(Handles, ValuesAreSmallDistinctAndNotReusedAtOnce)
{
    std::set<uintptr_t> seen;
    std::vector<HANDLE> open;
    for (int i = 0; i < 200; i++) {
        HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(h, nullptr);
        uintptr_t value = reinterpret_cast<uintptr_t>(h);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_LE(value, 0xFFFFFFFFu);
        EXPECT_TRUE(seen.insert(value).second);
        open.push_back(h);
    }
    HANDLE first = open.front();
    EXPECT_TRUE(CloseHandle(first));
    HANDLE next = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(next, first);  // a just-closed handle stays invalid a while
    open.push_back(next);
    for (size_t i = 1; i < open.size(); i++)
        EXPECT_TRUE(CloseHandle(open[i]));
}

TEST(Handles, ConcurrentCreateAndCloseKeepsTheTableConsistent)
{
    destroyed = 0;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; i++) {
                HANDLE h = PW_newhandle(newobject(PW_FILE));
                HANDLE copy = nullptr;
                if (h == nullptr ||
                    !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, 0) ||
                    !CloseHandle(h) || !CloseHandle(copy))
                    failures++;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(destroyed.load(), 8000);
}

}  // namespace
