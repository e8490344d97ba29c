// Runs a program with arguments and collects its standard output, standard
// error and exit status (standard input is empty).
#ifndef VORL_TESTS_RUNPROCESS_H
#define VORL_TESTS_RUNPROCESS_H

#include <string>
#include <vector>

struct PROCESSRESULT {
    int status;  // exit status, or -signal when a signal ended it; -1 when it could not be started
    std::string out;
    std::string err;
};

// What the child is given beside its arguments.
struct PROCESSOPTIONS {
    std::string directory;         // working directory; empty: ours
    long long filesizelimit = -1;  // RLIMIT_FSIZE in bytes, SIGXFSZ as by default; -1: ours (Windows: fails)
    // Without the power to override permission bits, as an ordinary user (root
    // drops it where the system lets it; a test that depends on it checks).
    bool nopermissionoverride = false;
};

PROCESSRESULT runprocess(const std::vector<std::string>& argv, const PROCESSOPTIONS& options = PROCESSOPTIONS());

#endif
