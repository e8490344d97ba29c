// Linked into every test program on Windows: boxes are answered at once, as the POSIX layer does without a terminal.
#ifdef _WIN32
#include "platform/vplatform.h"

static int unattendedanswer(const char*, const char*, UINT type)
{
    UINT buttons = type & 0xFu;
    if (buttons == MB_OKCANCEL || buttons == MB_RETRYCANCEL || buttons == MB_YESNOCANCEL)
        return IDCANCEL;
    return buttons == MB_ABORTRETRYIGNORE ? IDIGNORE : buttons == MB_YESNO ? IDNO : IDOK;
}

static const bool installed = (PW_setboxhook(unattendedanswer), true);
#endif
