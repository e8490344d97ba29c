// What tests ask of files beyond their bytes, on POSIX and on Windows: a
// file's identity (inode, or file index), its link count, hard links, its
// length and the names in a directory. A symbolic link is not followed.
#ifndef VORL_TESTS_FILEINFO_H
#define VORL_TESTS_FILEINFO_H

#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

#include <set>
#include <string>

#ifdef _WIN32
// (all zero when the file is missing)
inline BY_HANDLE_FILE_INFORMATION fileinformation(const std::string& path)
{
    BY_HANDLE_FILE_INFORMATION info = {};
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
#endif

// 0 when the file is missing.
inline uint64_t fileidentity(const std::string& path)
{
#ifdef _WIN32
    BY_HANDLE_FILE_INFORMATION info = fileinformation(path);
    return info.nNumberOfLinks == 0 ? 0 : (static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow) + 1;
#else
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_ino) : 0;
#endif
}

inline uint32_t linkcount(const std::string& path)
{
#ifdef _WIN32
    return fileinformation(path).nNumberOfLinks;
#else
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? static_cast<uint32_t>(info.st_nlink) : 0;
#endif
}

inline bool makehardlink(const std::string& existing, const std::string& link)
{
#ifdef _WIN32
    return CreateHardLinkA(link.c_str(), existing.c_str(), nullptr) != 0;
#else
    return ::link(existing.c_str(), link.c_str()) == 0;
#endif
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

// Every name in the directory, "." and ".." included.
inline std::set<std::string> directoryentries(const std::string& directory)
{
    std::set<std::string> names;
#ifdef _WIN32
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
        names.insert(found.cFileName);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
#else
    // (readdir64: directory offsets of large file systems do not fit the 32-bit form)
    DIR* d = opendir(directory.c_str());
    while (struct dirent64* e = d != nullptr ? readdir64(d) : nullptr)
        names.insert(e->d_name);
    if (d != nullptr)
        closedir(d);
#endif
    return names;
}

#endif
