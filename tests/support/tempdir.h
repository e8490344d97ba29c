// A scratch directory for a test: made fresh under /tmp, removed with all it
// holds when the test ends, with helpers to write and read whole files in it.
#ifndef VORL_TESTS_TEMPDIR_H
#define VORL_TESTS_TEMPDIR_H

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

class ScopedTempDir {
public:
    ScopedTempDir()
    {
        char pattern[] = "/tmp/vorl-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path_ = pattern;
    }
    ~ScopedTempDir()
    {
        if (!path_.empty())
            nftw(path_.c_str(), removeentry, 16, FTW_DEPTH | FTW_PHYS);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes bytes as the whole of the named file; returns its path.
    std::string write(const std::string& name, const std::string& bytes) const
    {
        std::string whole = file(name);
        FILE* out = fopen(whole.c_str(), "wb");
        if (out != nullptr) {
            fwrite(bytes.data(), 1, bytes.size(), out);
            fclose(out);
        }
        return whole;
    }

    static std::string read(const std::string& whole)
    {
        std::string bytes;
        FILE* in = fopen(whole.c_str(), "rb");
        if (in == nullptr)
            return bytes;
        char chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, in)) > 0)
            bytes.append(chunk, got);
        fclose(in);
        return bytes;
    }

    static long long size(const std::string& whole)
    {
        struct stat info;
        return stat(whole.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
    }

private:
    static int removeentry(const char* entry, const struct stat*, int, struct FTW*) { return remove(entry); }

    std::string path_;
};

#endif
