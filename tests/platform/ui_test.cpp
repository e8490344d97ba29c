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

#include "platform/vplatform.h"

namespace {

struct CHILDRESULT {
    int status;  // exit code, or -signal
    std::string err;
    int traps;   // SIGTRAP stops seen while tracing
};

std::string readall(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    return text;
}

// Runs body in a child whose standard input is /dev/null and whose standard
// error is collected; the body's result is the exit code. With traced, the
// child asks to be traced by this process first (exit code 99 when that is
// not allowed here).
CHILDRESULT runchild(const std::function<int()>& body, bool traced = false)
{
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return {-1000, "", 0};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(pipefd[1], STDERR_FILENO);
        close(pipefd[0]);
        if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(99);
        _exit(body());
    }
    close(pipefd[1]);
    CHILDRESULT result = {0, "", 0};
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) < 0)
            break;
        if (WIFSTOPPED(status)) {
            int sig = WSTOPSIG(status);
            if (sig == SIGTRAP)
                result.traps++;
            ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(sig == SIGTRAP ? 0 : sig)));
            continue;
        }
        break;
    }
    result.err = readall(pipefd[0]);
    close(pipefd[0]);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}

TEST(MessageBox, WithoutATerminalAnswersTheHarmlessChoiceAtOnce)
{
    CHILDRESULT abortbox = runchild([] {
        return MessageBoxA(nullptr, "SOMETHING WENT WRONG.\n", "Abort from file \"cmn/x\", line 7",
                           MB_OKCANCEL | MB_ICONHAND | MB_SYSTEMMODAL | MB_SETFOREGROUND);
    });
    EXPECT_EQ(abortbox.status, IDCANCEL);
    EXPECT_NE(abortbox.err.find("Abort from file \"cmn/x\", line 7"), std::string::npos) << abortbox.err;
    EXPECT_NE(abortbox.err.find("SOMETHING WENT WRONG.\n"), std::string::npos);
    EXPECT_NE(abortbox.err.find("[OK] [Cancel]"), std::string::npos);
    // Caption before text.
    EXPECT_LT(abortbox.err.find("Abort from file"), abortbox.err.find("SOMETHING"));

    CHILDRESULT assertbox = runchild([] {
        return MessageBoxA(nullptr, "Assertion Failed!", "VORL Library",
                           MB_ABORTRETRYIGNORE | MB_ICONHAND | MB_TASKMODAL | MB_SETFOREGROUND);
    });
    EXPECT_EQ(assertbox.status, IDIGNORE);
    EXPECT_NE(assertbox.err.find("VORL Library"), std::string::npos);
    EXPECT_NE(assertbox.err.find("Assertion Failed!"), std::string::npos);
    EXPECT_NE(assertbox.err.find("[Abort] [Retry] [Ignore]"), std::string::npos);

    EXPECT_EQ(runchild([] { return MessageBoxA(nullptr, "t", "c", MB_YESNO); }).status, IDNO);
    EXPECT_EQ(runchild([] { return MessageBoxA(nullptr, "t", "c", MB_YESNOCANCEL); }).status, IDCANCEL);
    EXPECT_EQ(runchild([] { return MessageBoxA(nullptr, "t", "c", MB_RETRYCANCEL); }).status, IDCANCEL);
    EXPECT_EQ(runchild([] { return MessageBoxA(nullptr, "t", "c", MB_OK); }).status, IDOK);
}

struct HookSeen {
    std::string text, caption;
    UINT type = 0;
    int calls = 0;
} hookseen;

int answerretry(const char* text, const char* caption, UINT type)
{
    hookseen.text = text;
    hookseen.caption = caption;
    hookseen.type = type;
    hookseen.calls++;
    return IDRETRY;
}

TEST(MessageBox, HookReplacesTheAnswerAndTheBoxIsStillWritten)
{
    CHILDRESULT hooked = runchild([] {
        PW_setboxhook(answerretry);
        int answer = MessageBoxA(nullptr, "the text", "the caption", MB_ABORTRETRYIGNORE);
        bool sawargs = hookseen.calls == 1 && hookseen.text == "the text" && hookseen.caption == "the caption" &&
                       hookseen.type == MB_ABORTRETRYIGNORE;
        PW_setboxhook(nullptr);
        int unhooked = MessageBoxA(nullptr, "second", "box", MB_ABORTRETRYIGNORE);
        return sawargs && unhooked == IDIGNORE ? answer : 100;
    });
    EXPECT_EQ(hooked.status, IDRETRY);
    EXPECT_NE(hooked.err.find("the caption"), std::string::npos);
    EXPECT_NE(hooked.err.find("the text"), std::string::npos);
    EXPECT_NE(hooked.err.find("second"), std::string::npos);
}

// Shows an abort/retry/ignore box on a pseudo terminal, types input and
// returns the answer and what the terminal showed.
CHILDRESULT boxonterminal(const char* input)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return {-1000, "", 0};
    std::string slavename = ptsname(master);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int slave = open(slavename.c_str(), O_RDWR);
        dup2(slave, STDIN_FILENO);
        dup2(slave, STDERR_FILENO);
        close(master);
        _exit(MessageBoxA(nullptr, "Assertion Failed!", "VORL Library", MB_ABORTRETRYIGNORE));
    }
    (void)!write(master, input, strlen(input));
    int status = 0;
    waitpid(pid, &status, 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string shown = readall(master);
    close(master);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, shown, 0};
}

TEST(MessageBox, OnATerminalTheUserAnswersAtAPrompt)
{
    CHILDRESULT retry = boxonterminal("x\nr\n");  // an unknown choice asks again
    EXPECT_EQ(retry.status, IDRETRY) << retry.err;
    EXPECT_NE(retry.err.find("VORL Library"), std::string::npos);
    EXPECT_NE(retry.err.find("[A]bort"), std::string::npos);
    EXPECT_EQ(boxonterminal("Abort\n").status, IDABORT);
    // The end of input gives the unattended answer instead of blocking.
    EXPECT_EQ(boxonterminal("\x04").status, IDIGNORE);
}

TEST(Cursor, ShowCursorKeepsACounter)
{
    int start = ShowCursor(TRUE);
    EXPECT_EQ(ShowCursor(TRUE), start + 1);
    EXPECT_EQ(ShowCursor(FALSE), start);
    EXPECT_EQ(ShowCursor(FALSE), start - 1);
}

TEST(Debugger, OutputAndBreaksOnlyWhileADebuggerIsAttached)
{
    CHILDRESULT alone = runchild([] {
        BOOL present = IsDebuggerPresent();
        OutputDebugStringA("FOR THE DEBUGGER\n");
        DebugBreak();  // must not end the process
        return present ? 1 : 0;
    });
    EXPECT_EQ(alone.status, 0);
    EXPECT_EQ(alone.err.find("FOR THE DEBUGGER"), std::string::npos);

    CHILDRESULT traced = runchild(
        [] {
            BOOL present = IsDebuggerPresent();
            OutputDebugStringA("FOR THE DEBUGGER\n");
            DebugBreak();
            return present ? 1 : 0;
        },
        true);
    if (traced.status == 99)
        GTEST_SKIP() << "tracing is not allowed here";
    EXPECT_EQ(traced.status, 1);
    EXPECT_NE(traced.err.find("FOR THE DEBUGGER"), std::string::npos);
    EXPECT_EQ(traced.traps, 1);  // the break reached the tracer, then went on
}

}  // namespace
