// A scratch directory for a test, made fresh under the system's temporary
// directory and removed with all it holds when the test ends, with helpers
// to write and read whole files.
#ifndef VORL_TESTS_TEMPDIR_H
#define VORL_TESTS_TEMPDIR_H

#include <stdlib.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class ScopedTempDir {
public:
    ScopedTempDir()
    {
#ifdef _WIN32
        char base[MAX_PATH + 1];
        static unsigned serial = 0;
        for (int attempt = 0; attempt < 100 && path_.empty() && GetTempPathA(sizeof base, base) != 0; attempt++) {
            std::string name = base + ("vorl-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                       std::to_string(GetTickCount()) + "-" + std::to_string(serial++));
            if (CreateDirectoryA(name.c_str(), nullptr))
                path_ = name;
        }
#else
        char pattern[] = "/tmp/vorl-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path_ = pattern;
#endif
    }
    ~ScopedTempDir()
    {
        std::error_code ignored;
#ifdef _WIN32
        // Windows refuses to delete read-only files: they are made writable first.
        for (std::filesystem::recursive_directory_iterator it(path_, ignored), end; it != end; it.increment(ignored))
            SetFileAttributesA(it->path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }

    static constexpr char separator = static_cast<char>(std::filesystem::path::preferred_separator);
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + separator + name; }

    // Writes bytes as the whole of the named file; returns its path.
    std::string write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(file(name), std::ios::binary) << bytes;
        return file(name);
    }
    static std::string read(const std::string& whole)
    {
        std::ostringstream bytes;
        bytes << std::ifstream(whole, std::ios::binary).rdbuf();
        return bytes.str();
    }
    static long long size(const std::string& whole)
    {
        struct stat info;
        return stat(whole.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
    }

private:
    std::string path_;
};

#endif
