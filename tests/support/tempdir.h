// A scratch directory for a test: made fresh under the system's temporary
// directory (/tmp, or the user's temporary folder on Windows), removed with
// all it holds when the test ends, with helpers to write and read whole
// files in it.
#ifndef VORL_TESTS_TEMPDIR_H
#define VORL_TESTS_TEMPDIR_H

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <ftw.h>
#include <unistd.h>
#endif

#include <string>

class ScopedTempDir {
public:
    ScopedTempDir()
    {
#ifdef _WIN32
        char base[MAX_PATH + 1];
        DWORD length = GetTempPathA(sizeof base, base);
        if (length == 0 || length > MAX_PATH)
            return;
        static unsigned serial = 0;
        for (int attempt = 0; attempt < 100; attempt++) {
            char name[MAX_PATH + 64];
            snprintf(name, sizeof name, "%svorl-test-%lu-%lu-%u", base, GetCurrentProcessId(), GetTickCount(),
                     serial++);
            if (CreateDirectoryA(name, nullptr)) {
                path_ = name;
                break;
            }
        }
#else
        char pattern[] = "/tmp/vorl-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path_ = pattern;
#endif
    }
    ~ScopedTempDir()
    {
        if (path_.empty())
            return;
#ifdef _WIN32
        removetree(path_);
#else
        nftw(path_.c_str(), removeentry, 16, FTW_DEPTH | FTW_PHYS);
#endif
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + separator + name; }

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

#ifdef _WIN32
    static constexpr char separator = '\\';
#else
    static constexpr char separator = '/';
#endif

private:
#ifdef _WIN32
    // Read-only files are made writable first: Windows refuses to delete them.
    static void removetree(const std::string& directory)
    {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::string name = found.cFileName;
                if (name == "." || name == "..")
                    continue;
                std::string whole = directory + "\\" + name;
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                    !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                    removetree(whole);
                } else {
                    SetFileAttributesA(whole.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileA(whole.c_str());
                }
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(directory.c_str());
    }
#else
    static int removeentry(const char* entry, const struct stat*, int, struct FTW*) { return remove(entry); }
#endif

    std::string path_;
};

#endif
