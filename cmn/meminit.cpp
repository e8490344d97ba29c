// Start and end of the heap: one area taken from the standard library's heap
// and made memory class 0 ("RAM"), with class 1 referring to the same record.
#include <stdlib.h>

#include "cmn/memblock.h"
#include "vorl/alert.h"
#include "vorl/mutex.h"

static const char MODULE_FILE[] = "cmn/meminit";

void* MEM_heapbase = nullptr;

// The area MEM_initsize took from malloc, and its size: only that area is
// ever handed to free(); an area given to MEM_initadr stays the caller's.
static void* MEM_heaparea = nullptr;
static int32_t MEM_heapareasize = 0;
static bool MEM_shutdownregistered = false;

static int32_t MEM_nocallback(void) { return 0; }

int32_t MEM_init(void) { return MEM_initsize(MEM_HEAPSIZE, 0); }

int32_t MEM_initsize(int32_t size, int32_t dramsub)
{
    if (dramsub != 0) {
        ALERT_raise(MODULE_FILE, "MEM_initsize - DRAMSUB IS NOT SUPPORTED. PASS 0\n");
    }
    // Once is enough: MEM_shutdown ends whichever heap is current.
    if (!MEM_shutdownregistered) {
        SYS_atexit(MEM_shutdown);
        MEM_shutdownregistered = true;
    }
    if (size <= 0)
        return 0;
    void* area = malloc(static_cast<size_t>(size));
    if (!area)
        return 0;

    void* previousbase = MEM_heapbase;
    void* previousarea = MEM_heaparea;
    int32_t previoussize = MEM_heapareasize;
    MEM_heapbase = area;
    MEM_heaparea = area;
    MEM_heapareasize = size;
    int32_t result = MEM_initadr(area, size);
    if (!result) {
        MEM_heapbase = previousbase;
        MEM_heaparea = previousarea;
        MEM_heapareasize = previoussize;
        free(area);
    }
    return result;
}

int32_t MEM_initadr(void* base, int32_t size)
{
    if (MEMCLASS_table[MB_RAM]) {
        ALERT_raise(MODULE_FILE, "MEM_initadr - MB_RAM CLASS IS ALREADY CREATED.  CALLLED MEM_init TWICE?\n");
    }
    if (MEMCLASS_table[MB_GLOBAL]) {
        ALERT_raise(MODULE_FILE, "MEM_initadr - MB_GLOBAL CLASS IS ALREADY CREATED.  CALLLED MEM_init TWICE?\n");
    }
    int32_t result = MEMCLASS_create(MB_RAM, "RAM", base, size, MEM_HEAPALIGN, MEM_HEAPFIRSTALIGN, MEM_HEAPTRAILER, 1,
                                     1, 1, 1, MEM_nocallback);
    if (!result)
        return 0;
    MEMCLASS_table[MB_GLOBAL] = MEMCLASS_table[MB_RAM];
    if (!MEM_heapbase)
        MEM_heapbase = base;
    return result;
}

void MEM_shutdown(void)
{
    if (!MEM_heapbase)
        return;
    if (MEM_heaparea) {
        // Every class whose record lies in the area goes with it, so that no
        // slot is left pointing into memory handed back to free().
        uintptr_t from = reinterpret_cast<uintptr_t>(MEM_heaparea);
        uintptr_t to = from + static_cast<uintptr_t>(MEM_heapareasize);
        for (int32_t number = 0; number < MEMCLASS_MAX; number++) {
            uintptr_t record = reinterpret_cast<uintptr_t>(MEMCLASS_table[number]);
            if (record >= from && record < to)
                MEMCLASS_destroy(number);
        }
        free(MEM_heaparea);
        MEM_heaparea = nullptr;
        MEM_heapareasize = 0;
    }
    MEM_heapbase = nullptr;
}
