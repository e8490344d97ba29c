// Last-error codes of the POSIX platform layer: one per thread, and the one
// table that turns errno values into Windows error numbers.
#include <gtest/gtest.h>

#include <errno.h>

#include <thread>

#include "lasterrors.h"

TEST(LastError, IsKeptPerThreadAndSetFromErrnoByOneTable)
{
    SetLastError(ERROR_SHARING_VIOLATION);
    DWORD seen = 12345;
    std::thread([&] {
        seen = GetLastError();
        SetLastError(ERROR_DISK_FULL);
    }).join();
    EXPECT_EQ(witherror({seen}), V({0, ERRORSHARING}));
    // What the table does not know is a general failure, never success.
    EXPECT_EQ(V({PW_errortocode(EISDIR), PW_errortocode(EDQUOT), PW_errortocode(ENOSPC), PW_errortocode(-1)}),
              V({ERRORACCESSDENIED, ERRORDISKFULL, ERRORDISKFULL, ERRORGENFAILURE}));
}
