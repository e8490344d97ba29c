// The handle table of the POSIX platform layer: small handle values,
// references shared by duplicates, one destruction with the last of them.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "lasterrors.h"
#include "platform/posix/pwhandle.h"

namespace {

int destroyed = 0;

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
    // Looked up as another kind, a handle is invalid; a lookup's reference outlives every handle.
    HANDLE h = newhandle(PW_FILE), copy = duplicate(h);
    PW_OBJECT* held = PW_gethandle(copy, PW_FILE);
    EXPECT_EQ(witherror({held != nullptr, copy != h, PW_gethandle(h, PW_MAPPING) == nullptr}),
              V({1, 1, 1, ERRORINVALIDHANDLE}));
    EXPECT_EQ(V({CloseHandle(h), CloseHandle(copy), destroyed}), V({1, 1, 0}));
    PW_release(held);
    EXPECT_EQ(witherror({destroyed, CloseHandle(h), PW_gethandle(h, PW_NONE) == nullptr, duplicate(h) == nullptr}),
              V({1, 0, 1, 1, ERRORINVALIDHANDLE}));
    // Distinct small multiples of four; a just-closed value is not given out again at once.
    std::set<uintptr_t> open;
    for (int i = 0; i < 200; i++)
        open.insert(reinterpret_cast<uintptr_t>(newhandle(PW_EVENT)));
    uintptr_t first = *open.begin(), last = *open.rbegin();
    HANDLE gone = reinterpret_cast<HANDLE>(first);
    EXPECT_EQ(V({static_cast<long long>(open.size()), (first | last) % 4 == 0, first != 0, last <= 0xFFFFFFFFu,
                 CloseHandle(gone), newhandle(PW_EVENT) != gone, CloseHandle(reinterpret_cast<HANDLE>(3))}),
              V({200, 1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(witherror({CloseHandle(GetCurrentProcess()), CloseHandle(GetCurrentThread()), destroyed,
                         duplicate(GetCurrentProcess()) == nullptr}),
              V({1, 1, 2, 1, ERROR_NOT_SUPPORTED}));
    // A full table refuses handles; a refused duplicate keeps no reference.
    std::vector<HANDLE> all = {newhandle(PW_EVENT)};
    while (all.back() != nullptr)
        all.push_back(newhandle(PW_EVENT));
    all.pop_back();
    EXPECT_EQ(witherror({all.size() > 3000, duplicate(all[0]) == nullptr}), V({1, 1, ERRORNOTENOUGHMEMORY}));
    for (HANDLE h : all)
        CloseHandle(h);
    EXPECT_EQ(destroyed, 2 + static_cast<int>(all.size()));
}

}  // namespace
