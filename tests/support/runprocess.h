// Runs a program with arguments and collects its standard output, standard
// error and exit status (standard input is empty).
#ifndef VORL_TESTS_RUNPROCESS_H
#define VORL_TESTS_RUNPROCESS_H

#include <string>
#include <vector>

struct PROCESSRESULT {
    int status;  // exit status, or -signal when a signal ended it
    std::string out;
    std::string err;
};

// What the child is given beside its arguments.
struct PROCESSOPTIONS {
    std::vector<std::string> environment;  // "NAME=value" entries added to ours
    std::string directory;                 // working directory; empty: ours
    long long filesizelimit = -1;          // RLIMIT_FSIZE in bytes (SIGXFSZ as by default); -1: ours
                                           // (POSIX only: on Windows such a run fails, status -1)
    // Run without the power to override file permission bits, as an ordinary
    // user would (drops those capabilities when we run as root, where the
    // system lets us; a test that depends on it should check). Windows
    // honours the read-only attribute for every user: nothing to do there.
    bool nopermissionoverride = false;
};

PROCESSRESULT runprocess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});
PROCESSRESULT runprocess(const std::vector<std::string>& argv, const PROCESSOPTIONS& options);

#endif
