// Last-error codes of the POSIX platform layer: one code per thread, and the
// one table that turns errno values into Windows error numbers.
#include <gtest/gtest.h>

#include <errno.h>

#include <thread>

#include "lasterrors.h"

TEST(LastError, IsKeptPerThreadAndSetFromErrnoByOneTable)
{
    SetLastError(ERROR_SHARING_VIOLATION);
    DWORD seen = 12345;
    std::thread([&] {
        seen = GetLastError();  // a new thread starts with no error
        SetLastError(ERROR_DISK_FULL);
    }).join();
    EXPECT_EQ(witherror({seen}), V({0, ERRORSHARING}));
    PW_seterrno(ENOENT);
    EXPECT_EQ(GetLastError(), ERRORFILENOTFOUND);
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
        {ERRORACCESSDENIED, {EACCES, EPERM, EISDIR}},
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
