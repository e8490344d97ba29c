// The platform services behind pc/sysplat.h.
#include "pc/sysplat.h"

#include "platform/vplatform.h"

#include <stdio.h>

#include <atomic>
#include <string>

uint32_t SYS_threadid(void) { return GetCurrentThreadId(); }

#ifdef _WIN32
// On Windows the box is the system's own. Two cases answer it without a
// user, as our POSIX layer does: a test's hook, and a process that has no
// desktop to show it on (a service, or wine without a display), where the
// call fails and waiting would hang; the box then goes to standard error and
// takes its least destructive answer, so such a process never blocks.
static std::atomic<PW_BOXHOOK> SYS_boxhook{nullptr};

void PW_setboxhook(PW_BOXHOOK hook) { SYS_boxhook.store(hook); }

// The box as text (platform/pwbox.h), in one write so that other output
// does not tear it.
static void SYS_writebox(const char* text, const char* caption, const PW_BOXBUTTONS& buttons, const char* after)
{
    std::string box = PW_boxtext(text, caption, buttons) + after;
    fflush(stderr);
    DWORD wrote = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), box.data(), static_cast<DWORD>(box.size()), &wrote, nullptr);
}

int32_t SYS_messagebox(const char* text, const char* caption, uint32_t style)
{
    PW_BOXBUTTONS buttons = PW_boxbuttons(style);
    PW_BOXHOOK hook = SYS_boxhook.load();
    if (hook != nullptr) {
        SYS_writebox(text, caption, buttons, "");
        return hook(text, caption, style);
    }
    int32_t answer = MessageBoxA(nullptr, text, caption, style);
    for (int i = 0; i < buttons.count; i++)
        if (answer == buttons.answers[i])
            return answer;
    answer = buttons.unattended;
    std::string after = std::string("(no desktop: answered ") + PW_boxanswername(answer) + ")\n";
    SYS_writebox(text, caption, buttons, after.c_str());
    return answer;
}
#else
int32_t SYS_messagebox(const char* text, const char* caption, uint32_t style)
{
    return MessageBoxA(nullptr, text, caption, style);
}
#endif

void SYS_showcursor(void) { ShowCursor(TRUE); }

void SYS_debugprint(const char* text) { OutputDebugStringA(text); }

void SYS_debugbreak(void)
{
    if (IsDebuggerPresent())
        DebugBreak();
}

void SYS_exitprocess(uint32_t code) { ExitProcess(code); }
