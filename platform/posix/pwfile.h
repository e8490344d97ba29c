// File, file-mapping, path, drive and directory services, as our POSIX
// implementation provides them: files in pwfile.cpp, mappings and views in
// pwmap.cpp, paths, volumes, drives and directories in pwpath.cpp, searches
// in pwfind.cpp.
//
// Paths: a path that begins with a letter and a colon is a drive path. The
// path services give it its Windows form ("C:\dir\name"), but POSIX has no
// drives, so no drive path names a file, a directory or a volume here: every
// service that would touch one fails with ERROR_PATH_NOT_FOUND. Every other
// path is a POSIX path, with "/" as its only separator. Paths of MAX_PATH
// characters or more are refused with ERROR_FILENAME_EXCED_RANGE, as the
// Windows services that take ANSI paths do.
//
// Share modes are enforced among the handles of this process: an open whose
// access or sharing conflicts with a handle already open on the same file
// (same device and inode) fails with ERROR_SHARING_VIOLATION.
#ifndef VORL_PWFILE_H
#define VORL_PWFILE_H

#include "pwbase.h"
#include "pwmem.h"

// Codes the file services report beside those of pwbase.h.
#ifndef ERROR_INVALID_NAME
#define ERROR_INVALID_NAME 123
#endif
#ifndef ERROR_BAD_FILE_TYPE
#define ERROR_BAD_FILE_TYPE 222
#endif
#ifndef ERROR_PARTIAL_COPY
#define ERROR_PARTIAL_COPY 299
#endif
#ifndef ERROR_FILE_INVALID
#define ERROR_FILE_INVALID 1006
#endif
#ifndef ERROR_MAPPED_ALIGNMENT
#define ERROR_MAPPED_ALIGNMENT 1132
#endif
#ifndef ERROR_USER_MAPPED_FILE
#define ERROR_USER_MAPPED_FILE 1224
#endif

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu

#define SEC_COMMIT 0x08000000u
#define FILE_MAP_COPY 0x0001u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu

#define FILE_CASE_SENSITIVE_SEARCH 0x00000001u
#define FILE_CASE_PRESERVED_NAMES 0x00000002u
#define FILE_UNICODE_ON_DISK 0x00000004u

typedef struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

// 100-nanosecond intervals since 1 January 1601 (UTC).
typedef struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

#ifdef __cplusplus
extern "C" {
#endif

// Dispositions 1 to 5. Attributes: FILE_ATTRIBUTE_READONLY gives a new file
// no write permission; FILE_FLAG_WRITE_THROUGH opens with O_DSYNC;
// FILE_FLAG_SEQUENTIAL_SCAN and FILE_FLAG_RANDOM_ACCESS become access-pattern
// advice; FILE_FLAG_NO_BUFFERING and the other attribute bits are ignored;
// FILE_FLAG_OVERLAPPED is refused (ERROR_INVALID_PARAMETER). Directories
// cannot be opened (ERROR_ACCESS_DENIED), nor can FIFOs, sockets and devices
// (ERROR_BAD_FILE_TYPE): no open ever blocks. CREATE_ALWAYS and OPEN_ALWAYS
// that find the file leave ERROR_ALREADY_EXISTS on success.
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                          DWORD flags, HANDLE templatefile);
// Synchronous only: overlapped must be null. Reads stop early only at the
// end of the file; a read at the end succeeds with 0 bytes.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
// With high null the distance is a signed 32-bit value and the new position
// must fit in 32 bits. A successful call with high given clears the last
// error, so that a low part of all ones can be told from a failure.
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method);
// Ends the file at its current position; refused (ERROR_USER_MAPPED_FILE)
// while a mapping of the file exists.
BOOL WINAPI SetEndOfFile(HANDLE file);
DWORD WINAPI GetFileSize(HANDLE file, LPDWORD high);
// Refused with ERROR_SHARING_VIOLATION while a handle of this process holds
// the file open without FILE_SHARE_DELETE.
BOOL WINAPI DeleteFileA(LPCSTR path);

// Mappings of open files only (no paging-file sections, no names). PAGE_READONLY
// needs GENERIC_READ, PAGE_READWRITE both; SEC_COMMIT is accepted. A size of
// 0 maps the whole file, and an empty file cannot be mapped
// (ERROR_FILE_INVALID). A mapping keeps the file from being truncated.
HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD maxhigh,
                                 DWORD maxlow, LPCSTR name);
// A view keeps its mapping alive until UnmapViewOfFile, even after the
// mapping's handle is closed. The offset must be a multiple of the page size.
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsethigh, DWORD offsetlow, SIZE_T count);
// address must be one that MapViewOfFile returned.
BOOL WINAPI UnmapViewOfFile(LPCVOID address);

// Copies between memory of this process (process must be GetCurrentProcess)
// without ever faulting on a view whose file another process cut short: a
// range inside a shared view is read from (written to) the file itself, so
// the part beyond the file's end fails with ERROR_PARTIAL_COPY and *done
// says how much was copied. Any other memory is copied as it is.
BOOL WINAPI ReadProcessMemory(HANDLE process, LPCVOID address, LPVOID buffer, SIZE_T count, SIZE_T* done);
BOOL WINAPI WriteProcessMemory(HANDLE process, LPVOID address, LPCVOID buffer, SIZE_T count, SIZE_T* done);

// Any existing directory names its volume. Clusters are reported as whole
// file-system blocks of 512-byte sectors, counts saturated at 0xFFFFFFFF.
BOOL WINAPI GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectorspercluster, LPDWORD bytespersector, LPDWORD freeclusters,
                              LPDWORD totalclusters);
// Makes a path full and lexically resolves "." and "..": a POSIX path
// against the current directory, a drive path against its drive's root (in
// its Windows form, with "\" separators). Returns the length without the NUL,
// or the room needed (with the NUL) when size is too small, or 0.
DWORD WINAPI GetFullPathNameA(LPCSTR path, DWORD size, LPSTR buffer, LPSTR* filepart);
// POSIX volumes keep the case of names, search them case-sensitively and
// store names as bytes (FILE_UNICODE_ON_DISK is not reported).
BOOL WINAPI GetVolumeInformationA(LPCSTR root, LPSTR volumename, DWORD volumenamesize, LPDWORD serialnumber,
                                  LPDWORD maxcomponentlength, LPDWORD filesystemflags, LPSTR filesystemname,
                                  DWORD filesystemnamesize);
// "*" and "?" match in the last component; the search is case-sensitive.
HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA found);
BOOL WINAPI FindClose(HANDLE find);
// Upper-cases a string in place (ASCII letters), or, when the argument's
// value is below 0x10000, returns that one character upper-cased.
LPSTR WINAPI CharUpperA(LPSTR text);
// POSIX has no drives: the mask is 0 and the list is the empty list.
DWORD WINAPI GetLogicalDrives(void);
DWORD WINAPI GetLogicalDriveStringsA(DWORD size, LPSTR buffer);
BOOL WINAPI SetCurrentDirectoryA(LPCSTR path);
DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer);

// Test hook: while set, GetVolumeInformationA reports these file-system
// flags and GetDiskFreeSpaceA these figures for every root that exists.
typedef struct PW_VOLUMEOVERRIDE {
    DWORD flags;
    DWORD sectorspercluster;
    DWORD bytespersector;
    DWORD freeclusters;
    DWORD totalclusters;
} PW_VOLUMEOVERRIDE;
void PW_setvolumeoverride(const PW_VOLUMEOVERRIDE* values);

// Test hook: the number of SetFilePointer calls the process has made, so
// that tests can see which operations reach the platform.
DWORD PW_seekcount(void);

#ifdef __cplusplus
}
#endif

#endif
