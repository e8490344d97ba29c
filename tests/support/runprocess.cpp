#include "runprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

static void drain(int fd, std::string& into)
{
    char buffer[4096];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0)
        into.append(buffer, static_cast<size_t>(got));
}

PROCESSRESULT runprocess(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
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
        for (const std::string& assignment : environment)
            putenv(const_cast<char*>(assignment.c_str()));
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
