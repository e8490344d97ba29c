// Last-error codes of the POSIX platform layer: one code per thread, and the
// one table that turns errno values into Windows error numbers.
#include <gtest/gtest.h>

#include <errno.h>

#include <thread>

#include "platform/vplatform.h"

namespace {

TEST(LastError, IsKeptPerThread)
{
    SetLastError(ERROR_SHARING_VIOLATION);
    DWORD seen = 12345;
    std::thread other([&] {
        seen = GetLastError();  // a new thread starts with no error
        SetLastError(ERROR_DISK_FULL);
    });
    other.join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    PW_seterrno(ENOENT);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    PW_seterrno(0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(LastError, ErrnoValuesMapToTheWindowsNumbers)
{
    struct Case {
        int err;
        DWORD code;
    };
    const Case cases[] = {
        {ENOENT, 2},      // ERROR_FILE_NOT_FOUND
        {ENOTDIR, 3},     // ERROR_PATH_NOT_FOUND
        {EMFILE, 4},      // ERROR_TOO_MANY_OPEN_FILES
        {ENFILE, 4},
        {EACCES, 5},      // ERROR_ACCESS_DENIED
        {EPERM, 5},
        {EISDIR, 5},      // a directory opened as a file
        {EROFS, 19},      // ERROR_WRITE_PROTECT
        {EBADF, 6},       // ERROR_INVALID_HANDLE
        {ENOMEM, 8},      // ERROR_NOT_ENOUGH_MEMORY
        {EAGAIN, 8},
        {ETXTBSY, 32},    // ERROR_SHARING_VIOLATION
        {EEXIST, 80},     // ERROR_FILE_EXISTS
        {EINVAL, 87},     // ERROR_INVALID_PARAMETER
        {EPIPE, 109},     // ERROR_BROKEN_PIPE
        {ENOSPC, 112},    // ERROR_DISK_FULL
        {EDQUOT, 112},
        {ENOTEMPTY, 145}, // ERROR_DIR_NOT_EMPTY
        {EBUSY, 170},     // ERROR_BUSY
        {ENAMETOOLONG, 206},  // ERROR_FILENAME_EXCED_RANGE
        {EFBIG, 223},     // ERROR_FILE_TOO_LARGE
        {EXDEV, 17},      // ERROR_NOT_SAME_DEVICE
        {EFAULT, 487},    // ERROR_INVALID_ADDRESS
        {ETIMEDOUT, 1460},  // ERROR_TIMEOUT
        {0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PW_errortocode(c.err), c.code) << "errno " << c.err;
    // Anything the table does not know is a general failure, never success.
    EXPECT_EQ(PW_errortocode(EHOSTDOWN), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(PW_errortocode(-1), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

}  // namespace
