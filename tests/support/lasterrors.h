// Last-error numbers written out, so that a wrong number in the platform's headers fails.
#ifndef VORL_TESTS_LASTERRORS_H
#define VORL_TESTS_LASTERRORS_H

#include <stdint.h>

#include <vector>

#include "platform/vplatform.h"

const uint32_t ERRORSUCCESS = 0, ERRORFILENOTFOUND = 2, ERRORPATHNOTFOUND = 3, ERRORTOOMANYOPENFILES = 4;
const uint32_t ERRORACCESSDENIED = 5, ERRORINVALIDHANDLE = 6, ERRORNOTENOUGHMEMORY = 8, ERRORNOTSAMEDEVICE = 17;
const uint32_t ERRORWRITEPROTECT = 19, ERRORGENFAILURE = 31, ERRORSHARING = 32, ERRORFILEEXISTS = 80;
const uint32_t ERRORINVALIDPARAMETER = 87, ERRORBROKENPIPE = 109, ERRORDISKFULL = 112, ERRORDIRNOTEMPTY = 145;
const uint32_t ERRORBUSY = 170, ERRORFILENAMETOOLONG = 206, ERRORFILETOOLARGE = 223, ERRORPARTIALCOPY = 299;
const uint32_t ERRORINVALIDADDRESS = 487, ERRORTIMEOUT = 1460;

// A sequence of calls' results compared in one line: the values, then the last error.
using V = std::vector<long long>;
inline V witherror(V values)
{
    values.push_back(static_cast<long long>(GetLastError()));
    return values;
}

#endif
