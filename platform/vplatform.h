// The platform services that pc/ and fastmem/ are written against: the
// Windows services themselves on Windows, and elsewhere our own POSIX
// implementation of exactly the subset that pc/ calls. cmn/ never includes it.
#ifndef VORL_VPLATFORM_H
#define VORL_VPLATFORM_H

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#include "win/pwui.h"
#else
#include "posix/pwbase.h"
#include "posix/pwmem.h"
#include "posix/pwsync.h"
#include "posix/pwui.h"
#include "posix/pwtimer.h"
#include "posix/pwfile.h"
#endif

#endif
