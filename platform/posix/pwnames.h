// Link names of the Windows-style services that our POSIX implementation
// provides. pc/ calls them by their Windows names; the objects of the library
// define them under the platform layer's own prefix, so that a program
// linking libvorl.a can also link any other library that implements or wraps
// these names. Every file that declares, defines or calls one includes this
// through pwbase.h, before the first declaration.
#ifndef VORL_PWNAMES_H
#define VORL_PWNAMES_H

#define CharUpperA PW_CharUpperA
#define CloseHandle PW_CloseHandle
#define CreateEventA PW_CreateEventA
#define CreateFileA PW_CreateFileA
#define CreateFileMappingA PW_CreateFileMappingA
#define CreateThread PW_CreateThread
#define DebugBreak PW_DebugBreak
#define DeleteCriticalSection PW_DeleteCriticalSection
#define DeleteFileA PW_DeleteFileA
#define DuplicateHandle PW_DuplicateHandle
#define EnterCriticalSection PW_EnterCriticalSection
#define ExitProcess PW_ExitProcess
#define ExitThread PW_ExitThread
#define FindClose PW_FindClose
#define FindFirstFileA PW_FindFirstFileA
#define GetCurrentDirectoryA PW_GetCurrentDirectoryA
#define GetCurrentProcess PW_GetCurrentProcess
#define GetCurrentThread PW_GetCurrentThread
#define GetCurrentThreadId PW_GetCurrentThreadId
#define GetDiskFreeSpaceA PW_GetDiskFreeSpaceA
#define GetExitCodeThread PW_GetExitCodeThread
#define GetFileSize PW_GetFileSize
#define GetFullPathNameA PW_GetFullPathNameA
#define GetLastError PW_GetLastError
#define GetLogicalDriveStringsA PW_GetLogicalDriveStringsA
#define GetLogicalDrives PW_GetLogicalDrives
#define GetSystemInfo PW_GetSystemInfo
#define GetThreadId PW_GetThreadId
#define GetThreadPriority PW_GetThreadPriority
#define GetTickCount PW_GetTickCount
#define GetVolumeInformationA PW_GetVolumeInformationA
#define InitializeCriticalSection PW_InitializeCriticalSection
#define IsBadReadPtr PW_IsBadReadPtr
#define IsBadWritePtr PW_IsBadWritePtr
#define IsDebuggerPresent PW_IsDebuggerPresent
#define LeaveCriticalSection PW_LeaveCriticalSection
#define MapViewOfFile PW_MapViewOfFile
#define MessageBoxA PW_MessageBoxA
#define OutputDebugStringA PW_OutputDebugStringA
#define PulseEvent PW_PulseEvent
#define ReadFile PW_ReadFile
#define ReadProcessMemory PW_ReadProcessMemory
#define ResetEvent PW_ResetEvent
#define ResumeThread PW_ResumeThread
#define SetCurrentDirectoryA PW_SetCurrentDirectoryA
#define SetEndOfFile PW_SetEndOfFile
#define SetEvent PW_SetEvent
#define SetFilePointer PW_SetFilePointer
#define SetLastError PW_SetLastError
#define SetThreadPriority PW_SetThreadPriority
#define ShowCursor PW_ShowCursor
#define Sleep PW_Sleep
#define SleepEx PW_SleepEx
#define TerminateThread PW_TerminateThread
#define TryEnterCriticalSection PW_TryEnterCriticalSection
#define UnmapViewOfFile PW_UnmapViewOfFile
#define VirtualAlloc PW_VirtualAlloc
#define VirtualFree PW_VirtualFree
#define VirtualProtect PW_VirtualProtect
#define WaitForMultipleObjects PW_WaitForMultipleObjects
#define WaitForMultipleObjectsEx PW_WaitForMultipleObjectsEx
#define WaitForSingleObject PW_WaitForSingleObject
#define WriteFile PW_WriteFile
#define WriteProcessMemory PW_WriteProcessMemory
#define timeBeginPeriod PW_timeBeginPeriod
#define timeEndPeriod PW_timeEndPeriod
#define timeGetDevCaps PW_timeGetDevCaps
#define timeKillEvent PW_timeKillEvent
#define timeSetEvent PW_timeSetEvent

#endif
