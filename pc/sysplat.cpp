// The platform services behind pc/sysplat.h.
#include "pc/sysplat.h"

#include "platform/vplatform.h"

static_assert(sizeof(CRITICAL_SECTION) <= SYS_LOCKSIZE, "the lock room of a MUTEX holds a critical section");

void SYS_lockinit(void* lock) { InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(lock)); }

void SYS_lockdelete(void* lock) { DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(lock)); }

void SYS_lockenter(void* lock) { EnterCriticalSection(static_cast<CRITICAL_SECTION*>(lock)); }

void SYS_lockleave(void* lock) { LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(lock)); }

uint32_t SYS_threadid(void) { return GetCurrentThreadId(); }

int32_t SYS_messagebox(const char* text, const char* caption, uint32_t style)
{
    return MessageBoxA(nullptr, text, caption, style);
}

void SYS_showcursor(void) { ShowCursor(TRUE); }

void SYS_debugprint(const char* text) { OutputDebugStringA(text); }

void SYS_debugbreak(void)
{
    if (IsDebuggerPresent())
        DebugBreak();
}

void SYS_exitprocess(uint32_t code) { ExitProcess(code); }
