// Page memory and the fill/copy entry points. A page run is one reservation
// of whole pages framed by a no-access guard page on each side, so that any
// access running off either end of a table faults at once. MEM_fill and
// MEM_copy pick one of the processor-specific routines by the capability
// flags, which nothing in the library changes from their initial values.
#include <atomic>
#include <stdint.h>

#include "platform/vplatform.h"
#include "vorl/pagemem.h"

int32_t CPU_fpu = 1;
int32_t CPU_mmx = 0;
int32_t CPU_sse = 0;
int32_t CPU_fpucopy = 0;

// Set once from the system; concurrent first calls store the same value.
static std::atomic<uint32_t> pagesize{0};

static uint32_t PAGE_systemsize(void)
{
    uint32_t page = pagesize.load(std::memory_order_relaxed);
    if (page == 0) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page = info.dwPageSize;
        pagesize.store(page, std::memory_order_relaxed);
    }
    return page;
}

uint32_t PAGE_size(void) { return pagesize.load(std::memory_order_relaxed); }

void* PAGE_alloc(int32_t* count)
{
    if (count == nullptr)
        return nullptr;
    const int64_t page = PAGE_systemsize();
    const int64_t wanted = *count;
    // A negative count, or one whose rounding would not fit the caller's
    // signed 32-bit variable, is refused before anything is written back.
    if (wanted < 0 || page == 0)
        return nullptr;
    const int64_t rounded = (wanted + page - 1) / page * page;
    if (rounded > INT32_MAX)
        return nullptr;
    *count = static_cast<int32_t>(rounded);

    uint8_t* base = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, static_cast<SIZE_T>(rounded + 2 * page), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (base == nullptr)
        return nullptr;
    DWORD previous;
    VirtualProtect(base, static_cast<SIZE_T>(page), PAGE_NOACCESS, &previous);
    VirtualProtect(base + page + rounded, static_cast<SIZE_T>(page), PAGE_NOACCESS, &previous);
    return base + page;
}

int32_t PAGE_free(void* address)
{
    const uint32_t page = PAGE_size();
    // No run can exist before the first PAGE_alloc, and null is no run.
    if (address == nullptr || page == 0)
        return 0;
    return VirtualFree(static_cast<uint8_t*>(address) - page, 0, MEM_RELEASE);
}

// Takes an MMX routine's result, so it runs after that routine: frees the
// MMX registers for x87 code again and returns the result.
static void* MEM_emptymmx(void* end)
{
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
    __asm__ __volatile__("emms");
#endif
    return end;
}

void* MEM_fill(void* dest, uint32_t value, int32_t count)
{
    if (CPU_sse)
        return MEM_fillsse(dest, value, count);
    if (CPU_mmx)
        return MEM_emptymmx(MEM_fillmmx(dest, value, count));
    return MEM_fill32(dest, value, count);
}

void* MEM_copy(void* dest, const void* source, int32_t count)
{
    if (CPU_sse)
        return MEM_copysse(dest, source, count);
    if (CPU_mmx)
        return MEM_emptymmx(MEM_copymmx(dest, source, count));
    if (CPU_fpu && CPU_fpucopy)
        return MEM_copyfpu(dest, source, count);
    return MEM_copy32(dest, source, count);
}
