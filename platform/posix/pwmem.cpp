// Virtual memory over mmap/mprotect, with the Windows rules the library
// relies on: a reservation is released as a whole from its base address,
// protection changes report the old protection, and the pointer tests tell
// whether a range can be read or written without ever touching it.
//
// Each reservation is remembered (base, length and the protection of each of
// its pages), because munmap needs the length and VirtualProtect must report
// the protection the range had.
#define _FILE_OFFSET_BITS 64
#include "pwmem.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <map>
#include <vector>
#include "pwsys.h"

struct PW_RESERVATION {
    size_t length;
    std::vector<BYTE> protect;  // per page: a PAGE_ value, 0 while not committed
};

static pthread_mutex_t PW_memlock = PTHREAD_MUTEX_INITIALIZER;

// Never destroyed: threads may still release memory while the process exits.
static std::map<uintptr_t, PW_RESERVATION>& PW_reservations(void)
{
    static std::map<uintptr_t, PW_RESERVATION>* table = new std::map<uintptr_t, PW_RESERVATION>();
    return *table;
}

static size_t PW_pagesize(void)
{
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

void WINAPI GetSystemInfo(LPSYSTEM_INFO info)
{
    long processors = sysconf(_SC_NPROCESSORS_ONLN);
    *info = SYSTEM_INFO();
    info->wProcessorArchitecture = sizeof(void*) == 8 ? 9 : 0;  // AMD64 / INTEL
    info->dwPageSize = static_cast<DWORD>(PW_pagesize());
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(PW_pagesize());
    info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(~static_cast<uintptr_t>(0) - PW_pagesize());
    info->dwNumberOfProcessors = processors > 0 ? static_cast<DWORD>(processors) : 1;
    info->dwActiveProcessorMask = 1;
    for (DWORD i = 1; i < info->dwNumberOfProcessors && i < sizeof(DWORD_PTR) * 8; i++)
        info->dwActiveProcessorMask |= static_cast<DWORD_PTR>(1) << i;
    info->dwProcessorType = sizeof(void*) == 8 ? 8664 : 586;
    // Reservations are aligned to pages only, so that is their granularity.
    info->dwAllocationGranularity = static_cast<DWORD>(PW_pagesize());
    info->wProcessorLevel = 6;
}

// The mmap protection of a PAGE_ value, or -1 for one that is not supported.
static int PW_protection(DWORD protect)
{
    switch (protect) {
    case PAGE_NOACCESS: return PROT_NONE;
    case PAGE_READONLY: return PROT_READ;
    case PAGE_READWRITE: return PROT_READ | PROT_WRITE;
    default: return -1;
    }
}

// The reservation that holds [address, address + size), with the lock held;
// null when the range is not inside one reservation.
static std::pair<const uintptr_t, PW_RESERVATION>* PW_findreservation(uintptr_t address, size_t size)
{
    std::map<uintptr_t, PW_RESERVATION>& table = PW_reservations();
    auto found = table.upper_bound(address);
    if (found == table.begin())
        return nullptr;
    --found;
    uintptr_t base = found->first;
    if (address - base >= found->second.length || size > found->second.length - (address - base))
        return nullptr;
    return &*found;
}

// Rounds [address, address + size) out to whole pages, [*first, *end), and
// returns the reservation that holds them, with the lock held; null when
// they are not inside one reservation.
static std::pair<const uintptr_t, PW_RESERVATION>* PW_findpages(uintptr_t address, size_t size, uintptr_t* first,
                                                                uintptr_t* end)
{
    size_t page = PW_pagesize();
    *first = address / page * page;
    *end = (address + size + page - 1) / page * page;
    return PW_findreservation(*first, *end - *first);
}

// Records protect (0: not committed) for the pages [first, end) of a
// reservation, with the lock held.
static void PW_recordpages(std::pair<const uintptr_t, PW_RESERVATION>* reservation, uintptr_t first, uintptr_t end,
                           DWORD protect)
{
    size_t page = PW_pagesize();
    size_t from = (first - reservation->first) / page;
    for (size_t i = 0; i < (end - first) / page; i++)
        reservation->second.protect[from + i] = static_cast<BYTE>(protect);
}

// Commits pages of a reservation: the only use of an address, since
// reserving at a chosen address is not supported.
static LPVOID PW_commit(uintptr_t address, SIZE_T size, int protection, DWORD protect)
{
    uintptr_t first, end;
    LPVOID result = nullptr;
    pthread_mutex_lock(&PW_memlock);
    auto* reservation = PW_findpages(address, size, &first, &end);
    if (reservation == nullptr) {
        SetLastError(ERROR_INVALID_ADDRESS);
    } else if (PW_sys.mprotect(reinterpret_cast<void*>(first), end - first, protection) != 0) {
        PW_seterrno(errno);
    } else {
        PW_recordpages(reservation, first, end, protect);
        result = reinterpret_cast<LPVOID>(first);
    }
    pthread_mutex_unlock(&PW_memlock);
    return result;
}

LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect)
{
    int protection = PW_protection(protect);
    if (size == 0 || protection < 0 || (type & (MEM_COMMIT | MEM_RESERVE)) == 0 ||
        (type & ~static_cast<DWORD>(MEM_COMMIT | MEM_RESERVE)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (address != nullptr) {
        if (type != MEM_COMMIT || start + size < start) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return nullptr;
        }
        return PW_commit(start, size, protection, protect);
    }
    size_t page = PW_pagesize();
    if (size > SIZE_MAX - page) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    size_t length = (size + page - 1) / page * page;
    bool commit = (type & MEM_COMMIT) != 0;
    // A reservation alone holds address space but no memory until committed.
    int flags = MAP_PRIVATE | MAP_ANONYMOUS | (commit ? 0 : MAP_NORESERVE);
    void* base = PW_sys.mmap(nullptr, length, commit ? protection : PROT_NONE, flags, -1, 0);
    if (base == MAP_FAILED) {
        PW_seterrno(errno);
        return nullptr;
    }
    pthread_mutex_lock(&PW_memlock);
    PW_RESERVATION& reservation = PW_reservations()[reinterpret_cast<uintptr_t>(base)];
    reservation.length = length;
    reservation.protect.assign(length / page, static_cast<BYTE>(commit ? protect : 0));
    pthread_mutex_unlock(&PW_memlock);
    return base;
}

BOOL WINAPI VirtualProtect(LPVOID address, SIZE_T size, DWORD protect, PDWORD oldprotect)
{
    int protection = PW_protection(protect);
    uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (protection < 0 || oldprotect == nullptr || size == 0 || start + size < start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size_t page = PW_pagesize();
    uintptr_t first, end;
    BOOL ok = FALSE;
    pthread_mutex_lock(&PW_memlock);
    auto* reservation = PW_findpages(start, size, &first, &end);
    size_t from = reservation != nullptr ? (first - reservation->first) / page : 0;
    size_t pages = (end - first) / page;
    bool committed = reservation != nullptr;
    for (size_t i = 0; committed && i < pages; i++)
        committed = reservation->second.protect[from + i] != 0;
    if (!committed) {
        // Windows refuses to protect memory that is not committed, or that
        // lies outside any reservation it gave out.
        SetLastError(ERROR_INVALID_ADDRESS);
    } else if (PW_sys.mprotect(reinterpret_cast<void*>(first), end - first, protection) != 0) {
        PW_seterrno(errno);
    } else {
        *oldprotect = reservation->second.protect[from];
        PW_recordpages(reservation, first, end, protect);
        ok = TRUE;
    }
    pthread_mutex_unlock(&PW_memlock);
    return ok;
}

BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type)
{
    uintptr_t start = reinterpret_cast<uintptr_t>(address);
    size_t page = PW_pagesize();
    BOOL ok = FALSE;
    pthread_mutex_lock(&PW_memlock);
    std::map<uintptr_t, PW_RESERVATION>& table = PW_reservations();
    if (type == MEM_RELEASE) {
        auto found = table.find(start);
        if (size != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
        } else if (found == table.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
        } else if (PW_sys.munmap(address, found->second.length) != 0) {
            PW_seterrno(errno);
        } else {
            table.erase(found);
            ok = TRUE;
        }
    } else if (type == MEM_DECOMMIT) {
        // Size 0 decommits the whole reservation that starts at address.
        std::pair<const uintptr_t, PW_RESERVATION>* reservation = nullptr;
        uintptr_t first = 0, end = 0;
        if (size == 0) {
            auto found = table.find(start);
            if (found != table.end()) {
                reservation = &*found;
                first = start;
                end = start + found->second.length;
            }
        } else if (start + size > start && start + size <= UINTPTR_MAX - page) {
            reservation = PW_findpages(start, size, &first, &end);
        }
        // Mapping fresh pages over the range drops its contents, as a
        // decommit does.
        if (reservation == nullptr) {
            SetLastError(ERROR_INVALID_ADDRESS);
        } else if (PW_sys.mmap(reinterpret_cast<void*>(first), end - first, PROT_NONE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0) == MAP_FAILED) {
            PW_seterrno(errno);
        } else {
            PW_recordpages(reservation, first, end, 0);
            ok = TRUE;
        }
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    pthread_mutex_unlock(&PW_memlock);
    return ok;
}

// ---------------------------------------------------------------------------
// Pointer tests. Neither ever touches the range, so neither can fault.

// Whether every page of the range is mapped with the given access, from the
// process's own map of its address space.
static bool PW_mapsallow(uintptr_t start, uintptr_t end, bool write)
{
    int fd = PW_sys.open("/proc/self/maps", O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    char buffer[4096];
    char line[512];
    size_t linelength = 0;
    uintptr_t covered = start;  // everything below is known to allow the access
    bool done = false;
    ssize_t got;
    while (!done && (got = PW_sys.read(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < got && !done; i++) {
            if (buffer[i] != '\n') {
                if (linelength < sizeof line - 1)
                    line[linelength++] = buffer[i];
                continue;
            }
            line[linelength] = '\0';
            linelength = 0;
            // "low-high perms offset ...", addresses in hexadecimal.
            char* p = line;
            uintptr_t low = 0, high = 0;
            while (*p != '\0' && *p != '-')
                low = low * 16 + static_cast<uintptr_t>(*p <= '9' ? *p - '0' : (*p | 0x20) - 'a' + 10), p++;
            if (*p == '-')
                p++;
            while (*p != '\0' && *p != ' ')
                high = high * 16 + static_cast<uintptr_t>(*p <= '9' ? *p - '0' : (*p | 0x20) - 'a' + 10), p++;
            if (*p == ' ')
                p++;
            bool allowed = p[0] == 'r' && (!write || p[1] == 'w');
            if (high <= covered)
                continue;
            if (low > covered || !allowed) {
                done = true;  // a hole or a page without the access
                break;
            }
            covered = high;
            if (covered >= end)
                done = true;
        }
    }
    PW_sys.close(fd);
    return covered >= end;
}

// Readability is checked by letting the kernel copy one byte of each page of
// the range out of our own address space; a page that cannot be read makes
// the copy stop short instead of faulting. Where that call is not allowed,
// the process's map answers instead.
static bool PW_readable(uintptr_t start, uintptr_t end)
{
    size_t page = PW_pagesize();
    enum { BATCH = 256 };
    struct iovec remote[BATCH];
    char sink[BATCH];
    uintptr_t at = start;
    while (at < end) {
        int count = 0;
        while (count < BATCH && at < end) {
            remote[count].iov_base = reinterpret_cast<void*>(at);
            remote[count].iov_len = 1;
            count++;
            uintptr_t next = (at / page + 1) * page;
            at = next > at ? next : end;
        }
        struct iovec local = {sink, static_cast<size_t>(count)};
        ssize_t got = process_vm_readv(getpid(), &local, 1, remote, static_cast<unsigned long>(count), 0);
        if (got < 0 && (errno == ENOSYS || errno == EPERM))
            return PW_mapsallow(start, end, false);
        if (got != count)
            return false;
    }
    return true;
}

// Windows rules: an empty range is never bad; a range that wraps around the
// address space, or a null address with a size, always is.
BOOL WINAPI IsBadReadPtr(const void* address, UINT_PTR size)
{
    if (size == 0)
        return FALSE;
    uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (address == nullptr || start + size < start)
        return TRUE;
    return PW_readable(start, start + size) ? FALSE : TRUE;
}

BOOL WINAPI IsBadWritePtr(LPVOID address, UINT_PTR size)
{
    if (size == 0)
        return FALSE;
    uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (address == nullptr || start + size < start)
        return TRUE;
    return PW_mapsallow(start, start + size, true) ? FALSE : TRUE;
}
