// The platform's last-error numbers that tests expect, written out here
// rather than taken from the platform's own headers, so that a wrong number
// there shows as a failure.
#ifndef VORL_TESTS_LASTERRORS_H
#define VORL_TESTS_LASTERRORS_H

#include <stdint.h>

const uint32_t ERRORSUCCESS = 0;
const uint32_t ERRORFILENOTFOUND = 2;
const uint32_t ERRORPATHNOTFOUND = 3;
const uint32_t ERRORTOOMANYOPENFILES = 4;
const uint32_t ERRORACCESSDENIED = 5;
const uint32_t ERRORINVALIDHANDLE = 6;
const uint32_t ERRORNOTENOUGHMEMORY = 8;
const uint32_t ERRORNOTSAMEDEVICE = 17;
const uint32_t ERRORWRITEPROTECT = 19;
const uint32_t ERRORGENFAILURE = 31;
const uint32_t ERRORSHARING = 32;
const uint32_t ERRORFILEEXISTS = 80;
const uint32_t ERRORINVALIDPARAMETER = 87;
const uint32_t ERRORBROKENPIPE = 109;
const uint32_t ERRORDISKFULL = 112;
const uint32_t ERRORDIRNOTEMPTY = 145;
const uint32_t ERRORBUSY = 170;
const uint32_t ERRORFILENAMETOOLONG = 206;
const uint32_t ERRORFILETOOLARGE = 223;
const uint32_t ERRORPARTIALCOPY = 299;
const uint32_t ERRORINVALIDADDRESS = 487;
const uint32_t ERRORTIMEOUT = 1460;

#endif
