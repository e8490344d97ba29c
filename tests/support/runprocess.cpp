#include "runprocess.h"

#ifdef _WIN32

#include <windows.h>

#include <cstring>

PROCESSRESULT runprocess(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    PROCESSOPTIONS options;
    options.environment = environment;
    return runprocess(argv, options);
}

// One argument as the C runtime's command-line parser reads it back: quoted
// when it holds blanks or quotes, with backslashes doubled before a quote.
static void appendargument(std::string& line, const std::string& arg)
{
    if (!line.empty())
        line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += arg;
        return;
    }
    line += '"';
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

static std::string variablename(const std::string& assignment)
{
    // Names of the drive-current-directory entries start with '='.
    size_t equals = assignment.find('=', 1);
    return assignment.substr(0, equals);
}

// Our environment block with the options' entries added (replacing entries
// of the same name, which Windows compares without regard to case).
static std::string environmentblock(const std::vector<std::string>& additions)
{
    std::string block;
    char* strings = GetEnvironmentStringsA();
    for (const char* entry = strings; entry != nullptr && *entry != '\0'; entry += strlen(entry) + 1) {
        std::string name = variablename(entry);
        bool replaced = false;
        for (const std::string& assignment : additions)
            replaced = replaced || _stricmp(variablename(assignment).c_str(), name.c_str()) == 0;
        if (!replaced)
            block.append(entry, strlen(entry) + 1);
    }
    if (strings != nullptr)
        FreeEnvironmentStringsA(strings);
    for (const std::string& assignment : additions)
        block.append(assignment.c_str(), assignment.size() + 1);
    block += '\0';
    return block;
}

// Takes what the pipe holds now without waiting for more; false once the
// pipe is broken.
static bool takeavailable(HANDLE pipe, std::string& into)
{
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
        return false;
    char buffer[4096];
    while (available > 0) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr) || got == 0)
            return false;
        into.append(buffer, got);
        available -= got;
    }
    return true;
}

// A file-size limit and dropping the power over permission bits have no
// counterpart here: a run that asks for the limit fails (status -1) so that
// a test relying on it notices; the permission option needs nothing, since
// Windows honours the read-only attribute for every user.
PROCESSRESULT runprocess(const std::vector<std::string>& argv, const PROCESSOPTIONS& options)
{
    PROCESSRESULT result{-1, "", ""};
    if (argv.empty() || options.filesizelimit >= 0)
        return result;
    std::string line;
    for (const std::string& arg : argv)
        appendargument(line, arg);

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outread, outwrite, errread, errwrite;
    if (!CreatePipe(&outread, &outwrite, &inherit, 0))
        return result;
    if (!CreatePipe(&errread, &errwrite, &inherit, 0)) {
        CloseHandle(outread);
        CloseHandle(outwrite);
        return result;
    }
    SetHandleInformation(outread, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errread, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = outwrite;
    startup.hStdError = errwrite;
    PROCESS_INFORMATION process;
    std::string block = environmentblock(options.environment);
    std::vector<char> commandline(line.begin(), line.end());
    commandline.push_back('\0');
    BOOL started = CreateProcessA(nullptr, commandline.data(), nullptr, nullptr, TRUE, 0, &block[0],
                                  options.directory.empty() ? nullptr : options.directory.c_str(), &startup,
                                  &process);
    // Only the child holds the write ends now, so the reads end with it.
    CloseHandle(outwrite);
    CloseHandle(errwrite);
    if (input != INVALID_HANDLE_VALUE)
        CloseHandle(input);
    if (started) {
        // The output is collected until the child has ended, not until the
        // pipes close: a process that the child starts in turn (wine starts
        // its desktop process when a message box is asked for) may inherit
        // the write ends and keep them open long after.
        bool out = true, err = true;
        for (;;) {
            DWORD waited = WaitForSingleObject(process.hProcess, 5);
            out = out && takeavailable(outread, result.out);
            err = err && takeavailable(errread, result.err);
            if (waited != WAIT_TIMEOUT)
                break;
        }
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result.status = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(outread);
    CloseHandle(errread);
    return result;
}

#else


#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#ifndef CAP_DAC_OVERRIDE
#define CAP_DAC_OVERRIDE 1
#define CAP_DAC_READ_SEARCH 2
#define CAP_FOWNER 3
#endif

static void drain(int fd, std::string& into)
{
    char buffer[4096];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0)
        into.append(buffer, static_cast<size_t>(got));
}

PROCESSRESULT runprocess(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    PROCESSOPTIONS options;
    options.environment = environment;
    return runprocess(argv, options);
}

// In the child, before exec: what the options ask for beyond the arguments.
static void applyoptions(const PROCESSOPTIONS& options)
{
    for (const std::string& assignment : options.environment)
        putenv(const_cast<char*>(assignment.c_str()));
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0)
        _exit(126);
    if (options.filesizelimit >= 0) {
        // The child starts with the signal's default disposition, as from a
        // shell: a write past the limit ends it unless it ignores the signal.
        signal(SIGXFSZ, SIG_DFL);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.filesizelimit);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(126);
    }
    if (options.nopermissionoverride && geteuid() == 0) {
        // Out of the bounding set, root does not get them back at exec. Best
        // effort: without the power to drop them the child keeps them, and
        // tests that depend on it check first.
        const int capabilities[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER};
        for (int capability : capabilities)
            prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    }
}

PROCESSRESULT runprocess(const std::vector<std::string>& argv, const PROCESSOPTIONS& options)
{
    PROCESSRESULT result{-1, "", ""};
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        applyoptions(options);
        std::vector<char*> args;
#ifdef VORL_TEST_EMULATOR
        static char emulator[] = VORL_TEST_EMULATOR;
        args.push_back(emulator);
#endif
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) > 0) {
        for (struct pollfd& fd : fds) {
            if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP)))
                continue;
            size_t before = (&fd == &fds[0] ? result.out : result.err).size();
            drain(fd.fd, &fd == &fds[0] ? result.out : result.err);
            if ((&fd == &fds[0] ? result.out : result.err).size() == before) {
                close(fd.fd);
                fd.fd = -1;
                open--;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}

#endif
