// Virtual memory, page protection and pointer tests over mmap/mprotect.
#ifndef VORL_PWMEM_H
#define VORL_PWMEM_H

#include "pwbase.h"

#define MEM_COMMIT 0x00001000
#define MEM_RESERVE 0x00002000
#define MEM_DECOMMIT 0x00004000
#define MEM_RELEASE 0x00008000

#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04

typedef struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;

#ifdef __cplusplus
extern "C" {
#endif

void WINAPI GetSystemInfo(LPSYSTEM_INFO info);
// Reserves and commits (MEM_COMMIT | MEM_RESERVE) at an address of the
// system's choosing; an address hint is not supported and fails.
LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect);
BOOL WINAPI VirtualProtect(LPVOID address, SIZE_T size, DWORD protect, PDWORD oldprotect);
// MEM_RELEASE with size 0 releases the whole reservation made at address.
BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type);
// Non-zero when some byte of the range cannot be read / written.
BOOL WINAPI IsBadReadPtr(const void* address, UINT_PTR size);
BOOL WINAPI IsBadWritePtr(LPVOID address, UINT_PTR size);

#ifdef __cplusplus
}
#endif

#endif
