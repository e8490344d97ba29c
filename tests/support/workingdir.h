// Keeps the working directory and puts it back however the test ends.
#ifndef VORL_TESTS_WORKINGDIR_H
#define VORL_TESTS_WORKINGDIR_H

#include <gtest/gtest.h>

#include <filesystem>

class ScopedWorkingDirectory {
public:
    ~ScopedWorkingDirectory()
    {
        std::error_code failed;
        std::filesystem::current_path(saved_, failed);
        EXPECT_FALSE(failed) << "the working directory could not be put back to " << saved_;
    }

private:
    std::filesystem::path saved_ = std::filesystem::current_path();
};

#endif
