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

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef CAP_DAC_OVERRIDE
#define CAP_DAC_OVERRIDE 1
#define CAP_DAC_READ_SEARCH 2
#define CAP_FOWNER 3
#endif

extern char** environ;

PROCESSRESULT runprocess(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    PROCESSOPTIONS options;
    options.environment = environment;
    return runprocess(argv, options);
}

namespace {

// A descriptor closed when the run ends, however it ends.
class DESCRIPTOR {
public:
    DESCRIPTOR() = default;
    DESCRIPTOR(const DESCRIPTOR&) = delete;
    DESCRIPTOR& operator=(const DESCRIPTOR&) = delete;
    ~DESCRIPTOR() { reset(); }
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    int fd = -1;
};

// Both ends are closed at exec: the child keeps only the copies it makes as
// its standard descriptors, and a program that another thread starts in the
// meantime holds no end that would keep our reads waiting.
bool makepipe(DESCRIPTOR& read, DESCRIPTOR& write)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    read.fd = ends[0];
    write.fd = ends[1];
    return true;
}

std::string variablename(const std::string& assignment) { return assignment.substr(0, assignment.find('=')); }

char* writable(std::string& text) { return &text[0]; }

// Everything the child needs, made before the fork. The parent has other
// threads, so between fork and exec the child may make only
// async-signal-safe calls: it allocates nothing and only reads this.
class CHILDPLAN {
public:
    CHILDPLAN(const std::vector<std::string>& arguments, const PROCESSOPTIONS& options)
        : directory(options.directory.empty() ? nullptr : options.directory.c_str()),
          filesizelimit(options.filesizelimit),
          nopermissionoverride(options.nopermissionoverride)
    {
#ifdef VORL_TEST_EMULATOR
        // The emulator's command comes as words separated by blanks.
        const std::string emulator = VORL_TEST_EMULATOR;
        for (size_t start = 0; start < emulator.size();) {
            size_t end = emulator.find(' ', start);
            if (end == std::string::npos)
                end = emulator.size();
            if (end > start)
                words.push_back(emulator.substr(start, end - start));
            start = end + 1;
        }
#endif
        words.insert(words.end(), arguments.begin(), arguments.end());

        // Ours, less the variables the options set, then the options' entries
        // (of two with the same name the later one counts).
        for (char** entry = environ; entry != nullptr && *entry != nullptr; entry++) {
            std::string name = variablename(*entry);
            bool replaced = false;
            for (const std::string& assignment : options.environment)
                replaced = replaced || variablename(assignment) == name;
            if (!replaced)
                environment.push_back(*entry);
        }
        for (size_t i = 0; i < options.environment.size(); i++) {
            bool overridden = false;
            for (size_t j = i + 1; j < options.environment.size(); j++)
                overridden = overridden || variablename(options.environment[j]) == variablename(options.environment[i]);
            if (!overridden)
                environment.push_back(options.environment[i]);
        }

        // Where to look for the program, in execvp's order: the name itself
        // when it holds a slash, else each directory of the child's PATH (an
        // empty one is the working directory).
        const std::string& name = words[0];
        if (name.find('/') != std::string::npos) {
            programs.push_back(name);
        } else {
            std::string path = "/bin:/usr/bin";
            for (const std::string& entry : environment) {
                if (entry.compare(0, 5, "PATH=") == 0) {
                    path = entry.substr(5);
                    break;
                }
            }
            for (size_t start = 0;;) {
                size_t end = path.find(':', start);
                std::string folder = path.substr(start, end == std::string::npos ? end : end - start);
                programs.push_back(folder.empty() ? name : folder + "/" + name);
                if (end == std::string::npos)
                    break;
                start = end + 1;
            }
        }

        for (std::string& word : words)
            argv.push_back(writable(word));
        argv.push_back(nullptr);
        // A file that is not an executable image is run by the shell, as
        // execvp does; the child fills in the file's path.
        shellargv.push_back(const_cast<char*>("/bin/sh"));
        shellargv.push_back(nullptr);
        shellargv.insert(shellargv.end(), argv.begin() + 1, argv.end());
        for (std::string& entry : environment)
            envp.push_back(writable(entry));
        envp.push_back(nullptr);
        for (std::string& program : programs)
            programp.push_back(program.c_str());
    }
    CHILDPLAN(const CHILDPLAN&) = delete;
    CHILDPLAN& operator=(const CHILDPLAN&) = delete;

    // In the child: standard descriptors, options, exec. Exit status 126 when
    // an option cannot be applied, 127 when the program cannot be run.
    [[noreturn]] void start(int input, int output, int error)
    {
        if (dup2(input, 0) != 0 || dup2(output, 1) != 1 || dup2(error, 2) != 2)
            _exit(126);
        if (directory != nullptr && chdir(directory) != 0)
            _exit(126);
        if (filesizelimit >= 0) {
            // The child starts with the signal's default disposition, as
            // from a shell: a write past the limit ends it unless it ignores
            // the signal.
            signal(SIGXFSZ, SIG_DFL);
            struct rlimit limit;
            limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(filesizelimit);
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(126);
        }
        if (nopermissionoverride && geteuid() == 0) {
            // Out of the bounding set, root does not get them back at exec.
            // Best effort: without the power to drop them the child keeps
            // them, and tests that depend on it check first.
            const int capabilities[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER};
            for (int capability : capabilities)
                prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
        }
        for (size_t i = 0; i < programp.size(); i++) {
            execve(programp[i], argv.data(), envp.data());
            if (errno == ENOEXEC) {
                shellargv[1] = const_cast<char*>(programp[i]);
                execve(shellargv[0], shellargv.data(), envp.data());
            }
        }
        _exit(127);
    }

private:
    std::vector<std::string> words;  // the emulator's, then the arguments
    std::vector<std::string> environment;
    std::vector<std::string> programs;
    std::vector<char*> argv;
    std::vector<char*> shellargv;
    std::vector<char*> envp;
    std::vector<const char*> programp;
    const char* directory;
    long long filesizelimit;
    bool nopermissionoverride;
};

// Appends what the descriptor holds now; false at its end (or on a failure).
bool drain(int fd, std::string& into)
{
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<size_t>(got));
            return true;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return false;
    }
}

}  // namespace

PROCESSRESULT runprocess(const std::vector<std::string>& argv, const PROCESSOPTIONS& options)
{
    PROCESSRESULT result{-1, "", ""};
    if (argv.empty())
        return result;
    CHILDPLAN plan(argv, options);
    DESCRIPTOR input, outread, outwrite, errread, errwrite;
    input.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (input.fd < 0 || !makepipe(outread, outwrite) || !makepipe(errread, errwrite))
        return result;
    pid_t pid = fork();
    if (pid < 0)
        return result;
    if (pid == 0)
        plan.start(input.fd, outwrite.fd, errwrite.fd);
    // Only the child holds the write ends now, so the reads end with it.
    input.reset();
    outwrite.reset();
    errwrite.reset();
    struct pollfd fds[2] = {{outread.fd, POLLIN, 0}, {errread.fd, POLLIN, 0}};
    std::string* into[2] = {&result.out, &result.err};
    int reading = 2;
    while (reading > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            if (!drain(fds[i].fd, *into[i])) {
                fds[i].fd = -1;
                reading--;
            }
        }
    }
    // (closed before the wait: a child still writing is not left blocked)
    outread.reset();
    errread.reset();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return result;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}

#endif
