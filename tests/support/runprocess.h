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

PROCESSRESULT runprocess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

#endif
