// What tests ask of files beyond their bytes, on POSIX and on Windows; symbolic links are not followed.
#ifndef VORL_TESTS_FILEINFO_H
#define VORL_TESTS_FILEINFO_H

#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <string>

#ifdef _WIN32
inline BY_HANDLE_FILE_INFORMATION fileinformation(const std::string& path)
{
    BY_HANDLE_FILE_INFORMATION info = {};  // all zero when the file is missing
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE && !GetFileInformationByHandle(file, &info))
        info = {};
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return info;
}

// Wine names itself through an export of ntdll that Windows does not have.
inline bool runningunderwine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Inode or file index; 0 when the file is missing.
inline uint64_t fileidentity(const std::string& path)
{
    BY_HANDLE_FILE_INFORMATION info = fileinformation(path);
    return info.nNumberOfLinks == 0 ? 0 : (static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow) + 1;
}
inline uint32_t linkcount(const std::string& path) { return fileinformation(path).nNumberOfLinks; }
#else
inline uint64_t fileidentity(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_ino) : 0;
}
inline uint32_t linkcount(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? static_cast<uint32_t>(info.st_nlink) : 0;
}
#endif

inline bool makehardlink(const std::string& existing, const std::string& link)
{
    std::error_code failed;
    std::filesystem::create_hard_link(existing, link, failed);
    return !failed;
}

// Sets the file's length (making it when missing), sparse where the system allows it.
inline bool setfilesize(const std::string& path, long long size)
{
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = size;
    bool done = file != INVALID_HANDLE_VALUE && SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    return file != INVALID_HANDLE_VALUE && CloseHandle(file) && done;
#else
    FILE* out = fopen(path.c_str(), "ab");
    return out != nullptr && fclose(out) == 0 && truncate(path.c_str(), static_cast<off_t>(size)) == 0;
#endif
}

#endif
