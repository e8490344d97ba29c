// Last-error codes of the POSIX platform layer: one code per thread, and the
// one table that turns errno values into Windows error numbers.
#include <gtest/gtest.h>

#include <errno.h>

#include <thread>

#include "lasterrors.h"
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
    const struct {
        int err;
        DWORD code;
    } cases[] = {
        {ENOENT, ERRORFILENOTFOUND},
        {ENOTDIR, ERRORPATHNOTFOUND},
        {EMFILE, ERRORTOOMANYOPENFILES},
        {ENFILE, ERRORTOOMANYOPENFILES},
        {EACCES, ERRORACCESSDENIED},
        {EPERM, ERRORACCESSDENIED},
        {EISDIR, ERRORACCESSDENIED},  // a directory opened as a file
        {EROFS, ERRORWRITEPROTECT},
        {EBADF, ERRORINVALIDHANDLE},
        {ENOMEM, ERRORNOTENOUGHMEMORY},
        {EAGAIN, ERRORNOTENOUGHMEMORY},
        {ETXTBSY, ERRORSHARING},
        {EEXIST, ERRORFILEEXISTS},
        {EINVAL, ERRORINVALIDPARAMETER},
        {EPIPE, ERRORBROKENPIPE},
        {ENOSPC, ERRORDISKFULL},
        {EDQUOT, ERRORDISKFULL},
        {ENOTEMPTY, ERRORDIRNOTEMPTY},
        {EBUSY, ERRORBUSY},
        {ENAMETOOLONG, ERRORFILENAMETOOLONG},
        {EFBIG, ERRORFILETOOLARGE},
        {EXDEV, ERRORNOTSAMEDEVICE},
        {EFAULT, ERRORINVALIDADDRESS},
        {ETIMEDOUT, ERRORTIMEOUT},
        {0, ERRORSUCCESS},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PW_errortocode(c.err), c.code) << "errno " << c.err;
    // Anything the table does not know is a general failure, never success.
    EXPECT_EQ(PW_errortocode(EHOSTDOWN), ERRORGENFAILURE);
    EXPECT_EQ(PW_errortocode(-1), ERRORGENFAILURE);
}

}  // namespace
