// The process's working directory kept for a test that moves it: put back
// when the object goes, however the test ends.
#ifndef VORL_TESTS_WORKINGDIR_H
#define VORL_TESTS_WORKINGDIR_H

#include <gtest/gtest.h>

#ifdef _WIN32
#include <direct.h>
#else
#include <unistd.h>
#endif

#include <string>

class ScopedWorkingDirectory {
public:
    ScopedWorkingDirectory()
    {
        char here[4096];
#ifdef _WIN32
        if (_getcwd(here, sizeof here) != nullptr)
#else
        if (getcwd(here, sizeof here) != nullptr)
#endif
            saved_ = here;
        else
            ADD_FAILURE() << "the working directory could not be read";
    }
    ~ScopedWorkingDirectory()
    {
#ifdef _WIN32
        int moved = _chdir(saved_.c_str());
#else
        int moved = chdir(saved_.c_str());
#endif
        EXPECT_EQ(moved, 0) << "the working directory could not be put back to " << saved_;
    }
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

private:
    std::string saved_;
};

#endif
