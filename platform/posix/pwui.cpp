// Message boxes, the mouse cursor and the debugger for a console process on
// POSIX. A box is written to standard error; it is answered by the test hook
// when one is installed, at a prompt when standard input and standard error
// are terminals, and otherwise at once with its least destructive choice, so
// that a process without a user never blocks on a box. The buttons of each
// box style and the box's text are in platform/pwbox.h, which the library's
// box on Windows (pc/sysplat.cpp) uses too.
#include "pwui.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>

static std::atomic<PW_BOXHOOK> PW_boxhook{nullptr};
static std::atomic<int> PW_cursorcount{0};

void PW_setboxhook(PW_BOXHOOK hook) { PW_boxhook.store(hook); }

// One write per piece of text, so that a box is not torn apart by other
// output of the process.
static void PW_writeerr(const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (wrote <= 0)
            return;
        done += static_cast<size_t>(wrote);
    }
}

// Asks at the terminal until one of the buttons is chosen by its first
// letter; the end of input gives the unattended answer.
static int PW_askterminal(const PW_BOXBUTTONS& buttons)
{
    std::string prompt = "Choose";
    for (int i = 0; i < buttons.count; i++) {
        prompt += i == 0 ? " " : " / ";
        prompt += '[';
        prompt += PW_boxanswername(buttons.answers[i])[0];
        prompt += ']';
        prompt += PW_boxanswername(buttons.answers[i]) + 1;
    }
    prompt += ": ";
    for (;;) {
        PW_writeerr(prompt);
        char line[128];
        size_t length = 0;
        char c;
        ssize_t got;
        while ((got = read(STDIN_FILENO, &c, 1)) == 1 && c != '\n')
            if (length < sizeof line - 1)
                line[length++] = c;
        if (got <= 0 && length == 0)
            return buttons.unattended;
        char first = length > 0 ? static_cast<char>(line[0] & ~0x20) : '\0';
        for (int i = 0; i < buttons.count; i++)
            if (first == PW_boxanswername(buttons.answers[i])[0])
                return buttons.answers[i];
    }
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    PW_BOXBUTTONS buttons = PW_boxbuttons(type);
    PW_writeerr(PW_boxtext(text, caption, buttons));

    int answer;
    PW_BOXHOOK hook = PW_boxhook.load();
    if (hook != nullptr) {
        answer = hook(text, caption, type);
    } else if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
        answer = PW_askterminal(buttons);
    } else {
        answer = buttons.unattended;
        PW_writeerr(std::string("(no terminal: answered ") + PW_boxanswername(answer) + ")\n");
    }
    return answer;
}

int WINAPI ShowCursor(BOOL show) { return show ? ++PW_cursorcount : --PW_cursorcount; }

// A debugger is attached when the process is traced: the kernel names the
// tracer in /proc/self/status.
BOOL WINAPI IsDebuggerPresent(void)
{
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return FALSE;
    char status[4096];
    ssize_t got = read(fd, status, sizeof status - 1);
    close(fd);
    if (got <= 0)
        return FALSE;
    status[got] = '\0';
    const char* tracer = strstr(status, "TracerPid:");
    if (tracer == nullptr)
        return FALSE;
    tracer += strlen("TracerPid:");
    while (*tracer == ' ' || *tracer == '\t')
        tracer++;
    return *tracer >= '1' && *tracer <= '9';
}

void WINAPI OutputDebugStringA(LPCSTR text)
{
    if (text != nullptr && IsDebuggerPresent())
        PW_writeerr(text);
}

// Without a debugger, SIGTRAP would end the process with a core dump; the
// break is made only when someone is there to catch it.
void WINAPI DebugBreak(void)
{
    if (IsDebuggerPresent())
        raise(SIGTRAP);
}
