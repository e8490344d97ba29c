// Message boxes, the cursor counter and the debugger services of the POSIX
// platform layer. Boxes are shown in child processes whose standard input
// and standard error are set up by the test: no terminal, a pseudo
// terminal, or a hook that answers.
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

bool has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

struct CHILDRESULT {
    int status;  // exit code, or -signal
    std::string err;
    int traps;  // SIGTRAP stops seen while tracing
};

// Runs body in a child whose standard error is collected and whose standard
// input is /dev/null, or with terminal, a pseudo terminal that is typed that
// text and whose output is collected instead. The body's result is the exit
// code. With traced, the child asks to be traced by this process first (exit
// code 99 when that is not allowed here).
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

TEST(MessageBox, WithoutATerminalAnswersTheHarmlessChoiceAtOnce)
{
    // The caption, then the text, then the buttons are written out.
    const struct {
        const char *caption, *text;
        UINT type;
        int answer;
        const char* buttons;
    } rows[] = {
        {"Abort from \"cmn/x\", line 7", "WRONG.\n", MB_OKCANCEL | MB_ICONHAND, IDCANCEL, "[OK] [Cancel]"},
        {"VORL Library", "Failed!", MB_ABORTRETRYIGNORE | MB_TASKMODAL, IDIGNORE, "[Abort] [Retry] [Ignore]"},
        {"Caption", "Body text", MB_YESNO, IDNO, "[Yes] [No]"},
        {"Caption", "Body text", MB_YESNOCANCEL, IDCANCEL, "[Yes] [No] [Cancel]"},
        {"Caption", "Body text", MB_RETRYCANCEL, IDCANCEL, "[Retry] [Cancel]"},
        {"Caption", "Body text", MB_OK, IDOK, "[OK]"},
    };
    for (const auto& row : rows) {
        CHILDRESULT box = runchild([&row] { return MessageBoxA(nullptr, row.text, row.caption, row.type); });
        size_t text = box.err.find(row.text), buttons = box.err.find(row.buttons);
        EXPECT_TRUE(box.err.find(row.caption) < text && text < buttons && buttons != std::string::npos) << box.err;
        EXPECT_EQ(box.status, row.answer) << box.err;
    }
}

TEST(MessageBox, AtATerminalTheUserGivesTheAnswer)
{
    // An empty line or an unknown choice asks again; the end of input gives
    // the unattended answer instead of blocking. (The test hook that answers
    // instead is checked with the library's alerts: cmn/assert_test.)
    auto box = [] { return MessageBoxA(nullptr, "Assertion Failed!", "VORL Library", MB_ABORTRETRYIGNORE); };
    CHILDRESULT retry = runchild(box, false, "\nx\nr\n");
    EXPECT_EQ(retry.status, IDRETRY) << retry.err;
    EXPECT_TRUE(has(retry.err, "VORL Library") && has(retry.err, "[A]bort")) << retry.err;
    EXPECT_EQ(V({runchild(box, false, "Abort\n").status, runchild(box, false, "\x04").status}), V({IDABORT, IDIGNORE}));
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
    EXPECT_EQ(V({alone.status, has(alone.err, "FOR THE DEBUGGER")}), V({0, 0}));
    if (traced.status == 99)
        GTEST_SKIP() << "tracing is not allowed here";
    // The break reached the tracer, then went on.
    EXPECT_EQ(V({traced.status, has(traced.err, "FOR THE DEBUGGER"), traced.traps}), V({1, 1, 1}));
}

}  // namespace
