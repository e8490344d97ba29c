// Message boxes, the cursor counter and the debugger services of the POSIX
// platform layer, shown in child processes without a terminal or at a pseudo one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "lasterrors.h"

namespace {

struct CHILDRESULT {
    int status;  // exit code, or -signal
    std::string err;
    int traps;  // SIGTRAP stops seen while tracing
};

// Runs body in a child, its result the exit code, reading /dev/null with its
// standard error collected; or at a pseudo terminal typed terminal, collecting
// its output. Traced, it asks to be traced by us first (exit code 99 if refused).
CHILDRESULT runchild(const std::function<int()>& body, bool traced = false, const char* terminal = nullptr)
{
    int pipefd[2];
    int master = terminal ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
    if (terminal ? master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 : pipe(pipefd) != 0)
        return {-1000, "", 0};
    std::string slavename = terminal ? ptsname(master) : "";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (terminal)
            setsid();
        int in = terminal ? open(slavename.c_str(), O_RDWR) : open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(terminal ? in : pipefd[1], STDERR_FILENO);
        if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(99);
        _exit(body());
    }
    int output = terminal ? master : pipefd[0];
    if (terminal)
        (void)!write(master, terminal, strlen(terminal));
    else
        close(pipefd[1]);
    CHILDRESULT result = {0, "", 0};
    int status = 0;
    while (waitpid(pid, &status, 0) >= 0 && WIFSTOPPED(status)) {
        int sig = WSTOPSIG(status);
        result.traps += sig == SIGTRAP;
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(sig == SIGTRAP ? 0 : sig)));
    }
    fcntl(output, F_SETFL, O_NONBLOCK);
    char buffer[4096];
    for (ssize_t got; (got = read(output, buffer, sizeof buffer)) > 0;)
        result.err.append(buffer, static_cast<size_t>(got));
    close(output);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}

TEST(MessageBox, WithoutATerminalTheHarmlessChoiceIsTakenAtOnceAtOneTheUserGivesTheAnswer)
{
    auto box = [](UINT type) { return [type] { return MessageBoxA(nullptr, "Failed!", "VORL Library", type); }; };
    CHILDRESULT alone = runchild(box(MB_OKCANCEL | MB_ICONHAND));
    size_t text = alone.err.find("Failed!"), buttons = alone.err.find("[OK] [Cancel]");
    EXPECT_TRUE(alone.err.find("VORL Library") < text && text < buttons && buttons != std::string::npos) << alone.err;
    EXPECT_EQ(V({alone.status, runchild(box(MB_YESNOCANCEL)).status}), V({IDCANCEL, IDCANCEL}));
    // An empty line or an unknown choice asks again; the end of input gives the unattended answer.
    CHILDRESULT retry = runchild(box(MB_ABORTRETRYIGNORE), false, "\nx\nr\n");
    EXPECT_EQ(V({retry.status, retry.err.find("[A]bort") != std::string::npos}), V({IDRETRY, 1})) << retry.err;
    EXPECT_EQ(V({runchild(box(MB_ABORTRETRYIGNORE), false, "Abort\n").status,
                 runchild(box(MB_ABORTRETRYIGNORE), false, "\x04").status}),
              V({IDABORT, IDIGNORE}));
}

TEST(Debugger, OutputAndBreaksOnlyWhileADebuggerIsAttachedAndTheCursorCounter)
{
    int start = ShowCursor(TRUE);
    EXPECT_EQ(V({ShowCursor(TRUE), ShowCursor(FALSE), ShowCursor(FALSE)}), V({start + 1, start, start - 1}));
    auto body = [] {
        BOOL present = IsDebuggerPresent();
        OutputDebugStringA("FOR THE DEBUGGER\n");
        DebugBreak();  // must not end the process when nobody is attached
        return present ? 1 : 0;
    };
    CHILDRESULT alone = runchild(body), traced = runchild(body, true);
    EXPECT_EQ(V({alone.status, alone.err.empty()}), V({0, 1})) << alone.err;
    if (traced.status == 99)
        GTEST_SKIP() << "tracing is not allowed here";
    EXPECT_EQ(V({traced.status, traced.err == "FOR THE DEBUGGER\n", traced.traps}), V({1, 1, 1})) << traced.err;
}

}  // namespace
