// Last-error codes of the POSIX platform layer: one code per thread, and the
// one table that turns errno values into Windows error numbers.
#include <gtest/gtest.h>

#include <errno.h>

#include <thread>
#include <vector>

#include "lasterrors.h"
#include "platform/vplatform.h"

namespace {

TEST(LastError, IsKeptPerThreadAndSetFromErrnoByOneTable)
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

    // Each Windows number with the errno values that become it. Anything the
    // table does not know is a general failure, never success.
    const struct {
        DWORD code;
        std::vector<int> errs;
    } rows[] = {
        {ERRORSUCCESS, {0}},
        {ERRORFILENOTFOUND, {ENOENT}},
        {ERRORPATHNOTFOUND, {ENOTDIR}},
        {ERRORTOOMANYOPENFILES, {EMFILE, ENFILE}},
        {ERRORACCESSDENIED, {EACCES, EPERM, EISDIR}},  // EISDIR: a directory opened as a file
        {ERRORWRITEPROTECT, {EROFS}},
        {ERRORINVALIDHANDLE, {EBADF}},
        {ERRORNOTENOUGHMEMORY, {ENOMEM, EAGAIN}},
        {ERRORSHARING, {ETXTBSY}},
        {ERRORFILEEXISTS, {EEXIST}},
        {ERRORINVALIDPARAMETER, {EINVAL}},
        {ERRORBROKENPIPE, {EPIPE}},
        {ERRORDISKFULL, {ENOSPC, EDQUOT}},
        {ERRORDIRNOTEMPTY, {ENOTEMPTY}},
        {ERRORBUSY, {EBUSY}},
        {ERRORFILENAMETOOLONG, {ENAMETOOLONG}},
        {ERRORFILETOOLARGE, {EFBIG}},
        {ERRORNOTSAMEDEVICE, {EXDEV}},
        {ERRORINVALIDADDRESS, {EFAULT}},
        {ERRORTIMEOUT, {ETIMEDOUT}},
        {ERRORGENFAILURE, {EHOSTDOWN, -1}},
    };
    for (const auto& row : rows)
        for (int err : row.errs)
            EXPECT_EQ(PW_errortocode(err), row.code) << "errno " << err;
}

}  // namespace
