// For a death test's child: runs a program (under the tests' emulator, if any) with its output sent to our standard
// error, where the test reads it. Returns its exit status, 128 + the signal that ended it, or -1 if it did not start.
#ifndef VORL_TESTS_RUNPROCESS_H
#define VORL_TESTS_RUNPROCESS_H

#include <string>
#include <vector>

int runprocess(const std::vector<std::string>& argv);

#endif
