// The child's output and error output go to scratch files, read once it has
// ended: nothing waits on a pipe that a process the child started in turn
// still holds open (wine starts its desktop process for a message box).
#include "runprocess.h"

#include <sstream>

#ifdef _WIN32

#include <windows.h>

// One argument as the C runtime's command-line parser reads it back: quoted,
// with the backslashes before a quote (or the closing one) doubled.
static void appendargument(std::string& line, const std::string& arg)
{
    line += line.empty() ? "\"" : " \"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '"')
            line.append(backslashes + 1, '\\');
        backslashes = c == '\\' ? backslashes + 1 : 0;
        line += c;
    }
    line.append(backslashes, '\\') += '"';
}

static HANDLE scratch()
{
    char folder[MAX_PATH + 1], name[MAX_PATH + 16];
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "vrl", 0, name) == 0)
        return INVALID_HANDLE_VALUE;
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

static std::string takeall(HANDLE file)
{
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    return bytes;
}

// A file-size limit and dropping the power over permission bits have no
// counterpart here: a run that asks for the limit fails (status -1) so that
// a test relying on it notices.
PROCESSRESULT runprocess(const std::vector<std::string>& argv, const PROCESSOPTIONS& options)
{
    PROCESSRESULT result{-1, "", ""};
    if (argv.empty() || options.filesizelimit >= 0)
        return result;
    std::string line;
    for (const std::string& arg : argv)
        appendargument(line, arg);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                    0, nullptr);
    startup.hStdOutput = scratch();
    startup.hStdError = scratch();
    PROCESS_INFORMATION process;
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                       options.directory.empty() ? nullptr : options.directory.c_str(), &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result = {static_cast<int>(code), takeall(startup.hStdOutput), takeall(startup.hStdError)};
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    return result;
}

#else

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Unnamed, and closed at exec: the child keeps only the copy it makes as its
// standard descriptor.
static int scratch()
{
    char name[] = "/tmp/vorl-run-XXXXXX";
    int fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0)
        unlink(name);
    return fd;
}

static std::string takeall(int fd)
{
    std::string bytes;
    char chunk[4096];
    ssize_t got;
    lseek(fd, 0, SEEK_SET);
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        bytes.append(chunk, static_cast<size_t>(got));
    return bytes;
}

PROCESSRESULT runprocess(const std::vector<std::string>& argv, const PROCESSOPTIONS& options)
{
    PROCESSRESULT result{-1, "", ""};
    std::vector<std::string> words;
#ifdef VORL_TEST_EMULATOR
    // The emulator's command comes as words separated by blanks.
    std::istringstream emulator(VORL_TEST_EMULATOR);
    for (std::string word; emulator >> word;)
        words.push_back(word);
#endif
    words.insert(words.end(), argv.begin(), argv.end());
    // All that the child needs is made before the fork: between fork and exec
    // it makes only calls that are safe there, allocating nothing.
    std::vector<char*> args;
    for (std::string& word : words)
        args.push_back(&word[0]);
    args.push_back(nullptr);
    struct rlimit limit = {static_cast<rlim_t>(options.filesizelimit), static_cast<rlim_t>(options.filesizelimit)};

    int input = open("/dev/null", O_RDONLY | O_CLOEXEC), out = scratch(), err = scratch();
    pid_t child = argv.empty() || input < 0 || out < 0 || err < 0 ? -1 : fork();
    if (child == 0) {
        // Exit status 126 when an option cannot be applied, 127 when the
        // program cannot be run. Under the file-size limit the signal has its
        // default disposition, as from a shell.
        if (dup2(input, 0) != 0 || dup2(out, 1) != 1 || dup2(err, 2) != 2 ||
            (!options.directory.empty() && chdir(options.directory.c_str()) != 0) ||
            (options.filesizelimit >= 0 && (signal(SIGXFSZ, SIG_DFL) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit))))
            _exit(126);
        // CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH and CAP_FOWNER: out of the
        // bounding set, root does not get them back at exec.
        for (int capability : {1, 2, 3})
            if (options.nopermissionoverride && geteuid() == 0)
                prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child)
        result = {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), takeall(out), takeall(err)};
    for (int fd : {input, out, err})
        if (fd >= 0)
            close(fd);
    return result;
}

#endif
