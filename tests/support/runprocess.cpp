#include "runprocess.h"

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
        // Writes past the limit then fail with EFBIG instead of ending the
        // process; an ignored signal stays ignored across exec.
        signal(SIGXFSZ, SIG_IGN);
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
