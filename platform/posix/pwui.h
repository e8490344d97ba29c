// Message boxes, the mouse cursor and the debugger, as a console process on
// POSIX has them: the box is written to standard error and answered at a
// prompt only when standard input and standard error are terminals.
#ifndef VORL_PWUI_H
#define VORL_PWUI_H

#include "pwbase.h"

#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ABORTRETRYIGNORE 0x00000002u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_RETRYCANCEL 0x00000005u
#define MB_ICONHAND 0x00000010u
#define MB_ICONSTOP MB_ICONHAND
#define MB_SYSTEMMODAL 0x00001000u
#define MB_TASKMODAL 0x00002000u
#define MB_SETFOREGROUND 0x00010000u

#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
int WINAPI ShowCursor(BOOL show);
void WINAPI OutputDebugStringA(LPCSTR text);
BOOL WINAPI IsDebuggerPresent(void);
void WINAPI DebugBreak(void);

// Test hook: while installed, MessageBoxA still writes the box to standard
// error and then returns the hook's answer instead of asking anyone.
typedef int (*PW_BOXHOOK)(const char* text, const char* caption, UINT type);
void PW_setboxhook(PW_BOXHOOK hook);

#ifdef __cplusplus
}
#endif

// The buttons of each box style, shared with the Windows build.
#include "../pwbox.h"

#endif
