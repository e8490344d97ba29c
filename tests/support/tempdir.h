// A fresh scratch directory for a test, removed with all it holds when the test ends.
#ifndef VORL_TESTS_TEMPDIR_H
#define VORL_TESTS_TEMPDIR_H

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class ScopedTempDir {
public:
    ScopedTempDir()
    {
        static unsigned serial = 0;
        std::error_code failed;
        std::filesystem::path base = std::filesystem::temp_directory_path(failed);
        for (int attempt = 0; attempt < 100 && path_.empty() && !failed; attempt++) {
            auto now = std::chrono::steady_clock::now().time_since_epoch().count();
            std::filesystem::path name = base / ("vorl-test-" + std::to_string(now) + "-" + std::to_string(serial++));
            if (std::filesystem::create_directory(name, failed))
                path_ = name.string();
        }
    }
    ~ScopedTempDir()
    {
        namespace fs = std::filesystem;
        std::error_code ignored;
        // Windows refuses to delete read-only files.
        for (fs::recursive_directory_iterator it(path_, ignored), end; it != end; it.increment(ignored))
            fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add | fs::perm_options::nofollow,
                            ignored);
        if (!path_.empty())
            fs::remove_all(path_, ignored);
    }

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const
    {
        return path_ + static_cast<char>(std::filesystem::path::preferred_separator) + name;
    }
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
