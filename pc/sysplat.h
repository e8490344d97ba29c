// The few platform services that the portable modules need, behind plain
// procedures, so that cmn/ never sees the platform's headers: thread ids,
// the message box, the mouse cursor, the debugger and process exit.
#ifndef VORL_SYSPLAT_H
#define VORL_SYSPLAT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Message box styles and answers, with the platform's values.
#define SYS_MB_OKCANCEL 0x00000001u
#define SYS_MB_ABORTRETRYIGNORE 0x00000002u
#define SYS_MB_ICONHAND 0x00000010u
#define SYS_MB_SYSTEMMODAL 0x00001000u
#define SYS_MB_TASKMODAL 0x00002000u
#define SYS_MB_SETFOREGROUND 0x00010000u
#define SYS_IDOK 1
#define SYS_IDCANCEL 2
#define SYS_IDABORT 3
#define SYS_IDRETRY 4
#define SYS_IDIGNORE 5

uint32_t SYS_threadid(void);

int32_t SYS_messagebox(const char* text, const char* caption, uint32_t style);
void SYS_showcursor(void);
void SYS_debugprint(const char* text);
// Breaks into the debugger only while one is attached.
void SYS_debugbreak(void);
// Ends the process at once, without exit callbacks.
void SYS_exitprocess(uint32_t code);

#ifdef __cplusplus
}
#endif

#endif
