// Message boxes on Windows, as the library shows them (pc/sysplat.cpp): the
// same test hook as our POSIX layer has, so that tests answer boxes the same
// way on both systems. While a hook is installed, a box is written to
// standard error and the hook's answer is taken instead of showing it.
#ifndef VORL_WIN_PWUI_H
#define VORL_WIN_PWUI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*PW_BOXHOOK)(const char* text, const char* caption, UINT type);
void PW_setboxhook(PW_BOXHOOK hook);

#ifdef __cplusplus
}
#endif

// The buttons of each box style, shared with our POSIX layer.
#include "../pwbox.h"

#endif
