#include "runprocess.h"

#include <stdio.h>

#include <sstream>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

int runprocess(const std::vector<std::string>& argv)
{
    std::vector<std::string> words;
#ifdef VORL_TEST_EMULATOR
    std::istringstream emulator(VORL_TEST_EMULATOR);  // its words separated by blanks
    for (std::string word; emulator >> word;)
        words.push_back(word);
#endif
    words.insert(words.end(), argv.begin(), argv.end());
#ifdef _WIN32
    for (std::string& word : words)
        word = '"' + word + '"';  // _spawnv joins the words with blanks
#endif
    std::vector<char*> args;
    for (std::string& word : words)
        args.push_back(&word[0]);
    args.push_back(nullptr);
    fflush(stdout);
#ifdef _WIN32
    _dup2(2, 1);
    return argv.empty() ? -1 : static_cast<int>(_spawnv(_P_WAIT, argv[0].c_str(), args.data()));
#else
    pid_t child;
    int status = 0;
    if (argv.empty() || dup2(2, 1) != 1 || posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ) != 0 ||
        waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
}
