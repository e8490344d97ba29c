// The handle table of the POSIX platform layer: small non-zero handle
// values, references shared by duplicates, one destruction when the last
// reference goes, and closed handles reported as invalid.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "lasterrors.h"
#include "platform/posix/pwhandle.h"

namespace {

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
    HANDLE handle = PW_newhandle(object);
    if (handle == nullptr)
        delete object;  // a full table leaves the reference with us
    return handle;
}

// A duplicate of h in this process, or null when refused.
HANDLE duplicate(HANDLE h, DWORD options = DUPLICATE_SAME_ACCESS)
{
    HANDLE copy = nullptr;
    return DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, options) ? copy : nullptr;
}

TEST(Handles, ObjectGoesWithItsLastReferenceAndItsHandlesBecomeInvalid)
{
    // Looked up as another kind, a handle is invalid. The duplicate, then a
    // reference taken by lookup, outlive the handle.
    HANDLE h = newhandle(PW_FILE), copy = duplicate(h);
    PW_OBJECT* held = PW_gethandle(copy, PW_FILE);
    EXPECT_EQ(witherror({held != nullptr, copy != h, PW_gethandle(h, PW_MAPPING) == nullptr}),
              V({1, 1, 1, ERRORINVALIDHANDLE}));
    EXPECT_EQ(V({CloseHandle(h), CloseHandle(copy), destroyed.load()}), V({1, 1, 0}));
    PW_release(held);
    EXPECT_EQ(witherror({destroyed, CloseHandle(h), PW_gethandle(h, PW_NONE) == nullptr, duplicate(h) == nullptr}),
              V({1, 0, 1, 1, ERRORINVALIDHANDLE}));
    // A duplicate that closes its source takes over the only reference.
    h = newhandle(PW_FILE);
    copy = duplicate(h, DUPLICATE_CLOSE_SOURCE);
    EXPECT_EQ(V({CloseHandle(h), destroyed.load(), CloseHandle(copy), destroyed.load()}), V({0, 1, 1, 2}));
    // Values are distinct small multiples of four, and a just-closed one is
    // not given out again at once; values never handed out fail; the pseudo
    // handles close as a no-op, and the process's is not duplicated.
    std::set<uintptr_t> open;
    for (int i = 0; i < 200; i++)
        open.insert(reinterpret_cast<uintptr_t>(newhandle(PW_EVENT)));
    uintptr_t first = *open.begin(), last = *open.rbegin();
    EXPECT_EQ(V({static_cast<long long>(open.size()), first % 4, last % 4, first != 0, last <= 0xFFFFFFFFu}),
              V({200, 0, 0, 1, 1}));
    EXPECT_EQ(V({CloseHandle(reinterpret_cast<HANDLE>(first)), newhandle(PW_EVENT) != reinterpret_cast<HANDLE>(first)}),
              V({1, 1}));
    for (uintptr_t value : {0u, 3u, 0x40000000u})
        EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(value))) << value;
    EXPECT_EQ(V({CloseHandle(GetCurrentProcess()), CloseHandle(GetCurrentThread()), destroyed.load()}), V({1, 1, 3}));
    EXPECT_EQ(witherror({duplicate(GetCurrentProcess()) == nullptr}), V({1, ERROR_NOT_SUPPORTED}));
    // A full table refuses handles; a refused duplicate keeps no reference.
    std::vector<HANDLE> all = {newhandle(PW_EVENT)};
    while (all.back() != nullptr)
        all.push_back(newhandle(PW_EVENT));
    all.pop_back();
    EXPECT_EQ(witherror({all.size() > 3000, duplicate(all[0]) == nullptr}), V({1, 1, ERRORNOTENOUGHMEMORY}));
    for (HANDLE h : all)
        CloseHandle(h);
    EXPECT_EQ(destroyed.load(), 3 + static_cast<int>(all.size()));
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
