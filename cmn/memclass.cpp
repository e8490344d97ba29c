// Memory classes: the table of the 16 class numbers, creating and forgetting
// classes, the layout of a class area (low bound block holding the class
// record, one free block, high bound block), the address-ordered free list
// and its insertion rule, free-space figures, and the class-wide walks:
// release-all, the heap checker and the block report.
#include <stdio.h>
#include <string.h>

#include "cmn/memblock.h"
#include "vorl/alert.h"
#include "vorl/pagemem.h"
#include "vorl/print.h"

static const char MODULE_FILE[] = "cmn/memclass";

MEMCLASS* MEMCLASS_table[MEMCLASS_MAX];
int32_t MEM_defaultclass = 0;

static bool MEMCLASS_ispoweroftwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

int32_t MEMCLASS_init(void)
{
    for (MEMCLASS*& slot : MEMCLASS_table)
        slot = nullptr;
    return 1;
}

// Where the first free block and the high bound block of an area go; false
// for a null area and when the area cannot hold both bound blocks and a free
// block with room for its links. Worked out in 64 bits so that no argument
// can wrap the sums.
static bool MEMCLASS_plan(const void* base, int32_t size, uint32_t alignment, uint32_t firstalignment,
                          uint32_t trailersize, uint64_t* first, uint64_t* top)
{
    if (!base || size <= 0 || !MEMCLASS_ispoweroftwo(alignment) || !MEMCLASS_ispoweroftwo(firstalignment))
        return false;
    if (trailersize > MEM_MAXTRAILER)
        return false;
    uint64_t b = reinterpret_cast<uintptr_t>(base);
    if (b + static_cast<uint64_t>(size) - 1 > UINTPTR_MAX)
        return false;
    *first = ((b + firstalignment + trailersize + 127) & ~static_cast<uint64_t>(firstalignment - 1)) - MB_HEADERSIZE;
    if (b + static_cast<uint64_t>(size) < static_cast<uint64_t>(trailersize) + 48)
        return false;
    *top = b + static_cast<uint64_t>(size) - trailersize - 48;
    return *top >= *first + MB_HEADERSIZE + MEM_MINFREE;
}

int32_t MEMCLASS_create(int32_t number, const char* name, void* base, int32_t size, uint32_t alignment,
                        uint32_t firstalignment, uint32_t trailersize, int32_t guard, int32_t where, int32_t named,
                        int32_t locked, MEMCLASSROUTINE callback)
{
    if (number < 0 || number >= MEMCLASS_MAX) {
        ALERT_raise(MODULE_FILE, "MEMCLASS_create - CLASS NUMBER OF %d IS OUT OF RANGE. SHOULD BE 0..%d\n",
                    static_cast<int>(number), MEMCLASS_MAX - 1);
        return 0;
    }
    uint64_t firstaddress = 0;
    uint64_t topaddress = 0;
    if (!MEMCLASS_plan(base, size, alignment, firstalignment, trailersize, &firstaddress, &topaddress))
        return 0;

    uint32_t flags = static_cast<uint32_t>(number);
    if (guard)
        flags |= MB_GUARD;
    if (where)
        flags |= MB_WHERE;
    if (named)
        flags |= MB_NAMED;

    uint8_t* low = static_cast<uint8_t*>(base);
    uint8_t* first = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(firstaddress));
    uint8_t* top = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(topaddress));
    int32_t freesize = static_cast<int32_t>(top - first - MB_HEADERSIZE);

    // The record keeps 8 bytes for the name and its NUL; the labels below
    // are made from the same cut name so that they fit the room left for them.
    char shortname[MEM_MAXNAME + 1] = "";
    if (name) {
        strncpy(shortname, name, MEM_MAXNAME);
        shortname[MEM_MAXNAME] = '\0';
    }
    char label[256];
    snprintf(label, sizeof label, "%s LOW", shortname);
    MEM_stampin(low, low, label, MEM_BOUNDSIZE, trailersize, flags | MB_BOUND, nullptr, first);
    MEM_stampin(low, first, nullptr, freesize, trailersize, flags, low, top);
    // After the free block: its trailer lies where the high block's header goes.
    snprintf(label, sizeof label, "%s HIGH", shortname);
    MEM_stampin(low, top, label, 0, trailersize, flags | MB_BOUND | MB_HIGH, first, nullptr);

    MEMCLASS* cls = reinterpret_cast<MEMCLASS*>(low + MB_HEADERSIZE);
    MEMCLASS_table[number] = cls;

    uint8_t* record = CLASS_bytes(cls);
    MEM_fill(record, 0, MEMCLASS_RECORDSIZE);
    memcpy(record + offsetof(MEMCLASS, name), shortname, strlen(shortname) + 1);
#if MEM_LINKSAREADDRESSES
    MEM_store<uint8_t*>(record + offsetof(MEMCLASS, base), low);
    MEM_store<uint8_t*>(record + offsetof(MEMCLASS, top), top);
#else
    MEM_store<uint32_t>(record + offsetof(MEMCLASS, top), static_cast<uint32_t>(top - low));
#endif
    uint8_t* head = CLASS_head(cls);
    BLOCK_setsignature(head, "SB");
    BLOCK_setflags(head, 0);
    BLOCK_setsize(head, MEM_HEADSIZE);
    BLOCK_setnextfree(low, head, head);
    BLOCK_setpreviousfree(low, head, head);
    MEM_store<uint32_t>(record + offsetof(MEMCLASS, alignment), alignment);
    MEM_store<uint32_t>(record + offsetof(MEMCLASS, firstalignment), firstalignment);
    MEM_store<decltype(MEMCLASS::trailersize)>(record + offsetof(MEMCLASS, trailersize),
                                               static_cast<decltype(MEMCLASS::trailersize)>(trailersize));
    MEM_store<decltype(MEMCLASS::flags)>(record + offsetof(MEMCLASS, flags),
                                         static_cast<decltype(MEMCLASS::flags)>(flags));
    MEM_store<MEMCLASSROUTINE>(record + offsetof(MEMCLASS, callback), callback);

    MEMINDEX_start(cls);
    MEMCLASS_insertfree(cls, first);

    if (locked)
        MEM_store<MUTEX*>(record + offsetof(MEMCLASS, mutex), MUTEX_alloc());
    return freesize;
}

int32_t MEMCLASS_destroy(int32_t number)
{
    MEMCLASS* cls = MEMCLASS_table[number & MB_CLASSMASK];
    if (!cls)
        return 0;
    MUTEX_free(CLASS_mutex(cls));
    MEMINDEX_end(cls);
    MEM_fill(CLASS_bytes(cls), 0, MEMCLASS_RECORDSIZE);
    // Slots sharing the record (the heap's 0 and 1) would otherwise keep
    // pointing at a cleared record.
    for (MEMCLASS*& slot : MEMCLASS_table)
        if (slot == cls)
            slot = nullptr;
    return 1;
}

// The class with this number (its class bits), locked; null when there is
// none.
static MEMCLASS* CLASS_lockednumber(uint32_t number)
{
    MEMCLASS* cls = MEMCLASS_table[number & MB_CLASSMASK];
    if (cls)
        CLASS_lock(cls);
    return cls;
}

int32_t MEMCLASS_getfree(void)
{
    for (int32_t number = 3; number < MEMCLASS_MAX; number++)
        if (!MEMCLASS_table[number])
            return number;
    ALERT_raise(MODULE_FILE, "MEMCLASS_getfree - NO FREE CLASSES.  %d IS MAXIMUM\n", MEMCLASS_MAX);
    return MEMCLASS_MAX;
}

// The list is read under the class's mutex: a walk racing an allocation
// could follow a link that is being rewritten.
int32_t MEMCLASS_largestfree(uint32_t number)
{
    MEMCLASS* cls = CLASS_lockednumber(number);
    if (!cls)
        return 0;
    int32_t largest = MEMINDEX_largest(cls);
    if (largest < 0) {
        // The index is off: the list is walked.
        uint8_t* base = CLASS_base(cls);
        uint8_t* head = CLASS_head(cls);
        largest = 0;
        for (uint8_t* node = BLOCK_nextfree(base, head); node != head; node = BLOCK_nextfree(base, node))
            if (BLOCK_size(node) > largest)
                largest = BLOCK_size(node);
    }
    CLASS_unlock(cls);
    return largest;
}

int32_t MEM_largestfree(void) { return MEMCLASS_largestfree(static_cast<uint32_t>(MEM_defaultclass)); }

int32_t MEM_totalfree(void)
{
    MEMCLASS* cls = CLASS_lockednumber(MEM_defaultclass);
    if (!cls)
        return 0;
    uint8_t* base = CLASS_base(cls);
    uint8_t* head = CLASS_head(cls);
    int32_t total = 0;
    for (uint8_t* node = BLOCK_nextfree(base, head); node != head; node = BLOCK_nextfree(base, node))
        total += BLOCK_size(node);
    CLASS_unlock(cls);
    return total;
}

// The free block that a new one at block follows in address order (the
// head when none), walking the list from whichever end is nearer.
static uint8_t* MEMCLASS_walkbefore(const MEMCLASS* cls, const uint8_t* block)
{
    uint8_t* base = CLASS_base(cls);
    uint8_t* head = CLASS_head(cls);
    uint8_t* low = BLOCK_nextfree(base, head);
    uint8_t* high = BLOCK_previousfree(base, head);
    if (block <= low + (high - low) / 2) {
        uint8_t* after = low;
        while (after != head && after < block)
            after = BLOCK_nextfree(base, after);
        return BLOCK_previousfree(base, after);
    }
    // The head lies in the record, below every block, so this walk stops.
    uint8_t* before = high;
    while (before != head && before > block)
        before = BLOCK_previousfree(base, before);
    return before;
}

// Makes block a free block of freesize bytes between two free-list nodes.
static void MEMCLASS_linkfree(uint8_t* base, uint8_t* block, int32_t freesize, uint8_t* before, uint8_t* after)
{
    BLOCK_setflags(block, BLOCK_flags(block) | MB_FREE);
    BLOCK_setsize(block, freesize);
    BLOCK_setnextfree(base, block, after);
    BLOCK_setpreviousfree(base, block, before);
    BLOCK_setnextfree(base, before, block);
    BLOCK_setpreviousfree(base, after, block);
    BLOCK_setsignature(block, "FB");
}

void MEMCLASS_insertfree(MEMCLASS* cls, uint8_t* block)
{
    uint8_t* base = CLASS_base(cls);
    int32_t freesize = static_cast<int32_t>(BLOCK_next(base, block) - block - MB_HEADERSIZE);
    uint8_t* before = MEMINDEX_before(cls, block, freesize);
    if (!before)
        before = MEMCLASS_walkbefore(cls, block);
    MEMCLASS_linkfree(base, block, freesize, before, BLOCK_nextfree(base, before));
}

void MEMCLASS_replacefree(MEMCLASS* cls, uint8_t* old, uint8_t* block)
{
    uint8_t* base = CLASS_base(cls);
    int32_t freesize = static_cast<int32_t>(BLOCK_next(base, block) - block - MB_HEADERSIZE);
    uint8_t* before = BLOCK_previousfree(base, old);
    uint8_t* after = BLOCK_nextfree(base, old);
    MEMINDEX_replace(cls, old, block, freesize);
    if (old != block) {
        BLOCK_setsignature(old, "\0\0");
        BLOCK_setflags(old, BLOCK_flags(old) & ~MB_FREE);
    }
    MEMCLASS_linkfree(base, block, freesize, before, after);
}

void MEMCLASS_unlinkfree(MEMCLASS* cls, uint8_t* block)
{
    MEMINDEX_remove(cls, block);
    uint8_t* base = CLASS_base(cls);
    uint8_t* before = BLOCK_previousfree(base, block);
    uint8_t* after = BLOCK_nextfree(base, block);
    BLOCK_setnextfree(base, before, after);
    BLOCK_setpreviousfree(base, after, before);
    BLOCK_setsignature(block, "\0\0");
    BLOCK_setflags(block, BLOCK_flags(block) & ~MB_FREE);
}

static bool MEMCLASS_holds(const MEMCLASS* cls, uintptr_t at)
{
    return at >= reinterpret_cast<uintptr_t>(CLASS_base(cls)) && at <= reinterpret_cast<uintptr_t>(CLASS_top(cls));
}

// Areas overlap only by nesting (a class made inside a block of another), so
// of the classes holding an address the innermost is the one whose area
// starts highest.
static MEMCLASS* MEMCLASS_innermost(uintptr_t at)
{
    MEMCLASS* innermost = nullptr;
    for (MEMCLASS* cls : MEMCLASS_table)
        if (cls && MEMCLASS_holds(cls, at) && (!innermost || CLASS_base(cls) > CLASS_base(innermost)))
            innermost = cls;
    return innermost;
}

MEMCLASS* MEMCLASS_holding(const void* block, uint32_t flags)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(block);
    MEMCLASS* named = MEMCLASS_table[flags & MB_CLASSMASK];
    if (named && MEMCLASS_holds(named, at))
        return named;
    return MEMCLASS_innermost(at);
}

MEMCLASS* MEMCLASS_holdingheader(const void* block)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(block);
    for (MEMCLASS* cls : MEMCLASS_table)
        if (cls && MEMCLASS_holds(cls, at))
            return MEMCLASS_holding(block, BLOCK_flags(static_cast<const uint8_t*>(block)));
    return nullptr;
}

int32_t MEMCLASS_freeall(int32_t number)
{
    MEMCLASS* cls = CLASS_lockednumber(number);
    if (!cls)
        return 0;
    uint8_t* base = CLASS_base(cls);
    uint8_t* top = CLASS_top(cls);
    int32_t released = 0;
    uint8_t* block = BLOCK_next(base, base);
    // Starts after the low bound block and stops at the high one: the bound
    // blocks frame the class and are never released.
    while (block > base && block < top) {
        uint8_t* next = BLOCK_next(base, block);
        if (BLOCK_hassignature(block, "MB") && !(BLOCK_flags(block) & (MB_FREE | MB_BOUND))) {
            // A release may merge the block into its lower neighbour and
            // absorb the upper one; go on after whatever block it became.
            uint8_t* previous = BLOCK_previous(base, block);
            uint8_t* merged = (BLOCK_flags(previous) & MB_FREE) ? previous : block;
            if (!MEM_free(block + MB_HEADERSIZE))
                break;
            released++;
            next = BLOCK_next(base, merged);
        }
        if (next <= block)
            break;
        block = next;
    }
    CLASS_unlock(cls);
    return released;
}

// ---- The heap checker.

struct MEMCHECK {
    int32_t number;
    uint8_t* base;
};

static int32_t MEMCLASS_fault(const MEMCHECK& check, const char* what, const uint8_t* block)
{
    PRINT_printf(PRINT_MEMORY, "MEMCLASS_check - CLASS %d: %s. BLOCK @ 0x%08lx (BASE + %ld)\n",
                 static_cast<int>(check.number), what, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(block)),
                 static_cast<long>(reinterpret_cast<intptr_t>(block) - reinterpret_cast<intptr_t>(check.base)));
    return 0;
}

// True when a NUL ends the label that starts at from before limit.
static bool MEMCLASS_labelends(const uint8_t* from, const uint8_t* limit)
{
    return from < limit && memchr(from, 0, static_cast<size_t>(limit - from)) != nullptr;
}

// Checks what a block in use says about its contents and trailer, given
// room, the bytes from the end of its header to the next header.
static int32_t MEMCLASS_checkused(const MEMCHECK& check, const MEMCLASS* cls, const uint8_t* block, int64_t room)
{
    uint32_t flags = BLOCK_flags(block);
    int32_t size = BLOCK_size(block);
    uint32_t trailersize = CLASS_trailersize(cls);
    if (size < 0 || static_cast<int64_t>(size) + trailersize > room)
        return MEMCLASS_fault(check, "SIZE DOES NOT FIT THE BLOCK", block);
    const uint8_t* trailer = block + MB_HEADERSIZE + size;
    if ((flags & MB_GUARD) && trailersize >= 4 && ENDIAN_getbig(trailer + MEM_TRAILERGUARD, 4) != MEM_GUARDWORD)
        return MEMCLASS_fault(check, "GUARD WORD OVERWRITTEN", block);
    if ((flags & MB_NAMED) && !MEMCLASS_labelends(trailer + trailersize, block + MB_HEADERSIZE + room))
        return MEMCLASS_fault(check, "LABEL RUNS INTO THE NEXT BLOCK", block);
    return 1;
}

static int32_t MEMCLASS_checkbounds(const MEMCHECK& check, const MEMCLASS* cls)
{
    uint8_t* base = check.base;
    uint8_t* top = CLASS_top(cls);
    uint32_t classbits = CLASS_flags(cls) & MB_CLASSMASK;
    if (!BLOCK_hassignature(base, "MB") || (BLOCK_flags(base) & (MB_BOUND | MB_HIGH | MB_FREE)) != MB_BOUND)
        return MEMCLASS_fault(check, "LOW BOUND BLOCK OVERWRITTEN", base);
    if ((BLOCK_flags(base) & MB_CLASSMASK) != classbits || BLOCK_size(base) != MEM_BOUNDSIZE ||
        MEM_load<uint32_t>(base + offsetof(MEMHEADER, previous)) != 0)
        return MEMCLASS_fault(check, "LOW BOUND BLOCK OVERWRITTEN", base);
    uint8_t* first = BLOCK_next(base, base);
    if (first <= base || first > top)
        return MEMCLASS_fault(check, "NEXT-BLOCK LINK LEADS OUTSIDE THE CLASS OR BACKWARDS", base);
    if (!MEMCLASS_checkused(check, cls, base, first - base - MB_HEADERSIZE))
        return 0;
    if (!BLOCK_hassignature(top, "MB") || (BLOCK_flags(top) & (MB_BOUND | MB_HIGH | MB_FREE)) != (MB_BOUND | MB_HIGH))
        return MEMCLASS_fault(check, "HIGH BOUND BLOCK OVERWRITTEN", top);
    if ((BLOCK_flags(top) & MB_CLASSMASK) != classbits || BLOCK_size(top) != 0 ||
        MEM_load<uint32_t>(top + offsetof(MEMHEADER, next)) != 0)
        return MEMCLASS_fault(check, "HIGH BOUND BLOCK OVERWRITTEN", top);
    if (!MEMCLASS_checkused(check, cls, top, CLASS_trailersize(cls) + MEM_HIGHLABELROOM))
        return 0;
    uint8_t* head = CLASS_head(cls);
    if (!BLOCK_hassignature(head, "SB") || BLOCK_size(head) != MEM_HEADSIZE)
        return MEMCLASS_fault(check, "FREE-LIST HEAD OVERWRITTEN", head);
    return 1;
}

// One walk over the blocks in address order, with the free list followed in
// step: every free block met must be the list's next node, so order and
// membership are proved together, and no link is followed before the block
// it leads to has been found by the walk.
static int32_t MEMCLASS_checkwalk(const MEMCHECK& check, MEMCLASS* cls)
{
    uint8_t* base = check.base;
    uint8_t* top = CLASS_top(cls);
    uint8_t* head = CLASS_head(cls);
    uint8_t* expected = BLOCK_nextfree(base, head);
    uint8_t* lastfree = head;
    bool previousfree = false;
    uint8_t* previous = base;
    uint8_t* block = BLOCK_next(base, base);
    for (;;) {
        if (block <= previous || block > top)
            return MEMCLASS_fault(check, "NEXT-BLOCK LINK LEADS OUTSIDE THE CLASS OR BACKWARDS", previous);
        if (BLOCK_previous(base, block) != previous) {
            // Either link may be the damaged one: name both blocks.
            MEMCLASS_fault(check, "PREVIOUS-BLOCK LINK BROKEN", block);
            PRINT_printf(PRINT_MEMORY, "MEMCLASS_check - CLASS %d: REACHED FROM BLOCK @ 0x%08lx (BASE + %ld)\n",
                         static_cast<int>(check.number),
                         static_cast<unsigned long>(reinterpret_cast<uintptr_t>(previous)),
                         static_cast<long>(previous - base));
            return 0;
        }
        if (block == top)
            break;
        uint8_t* next = BLOCK_next(base, block);
        if (next <= block || next > top)
            return MEMCLASS_fault(check, "NEXT-BLOCK LINK LEADS OUTSIDE THE CLASS OR BACKWARDS", block);
        int64_t room = next - block - MB_HEADERSIZE;
        uint32_t flags = BLOCK_flags(block);
        if (flags & MB_BOUND)
            return MEMCLASS_fault(check, "BOUND BLOCK INSIDE THE CLASS", block);
        if (flags & MB_FREE) {
            if (!BLOCK_hassignature(block, "FB"))
                return MEMCLASS_fault(check, "FREE BLOCK WITHOUT SIGNATURE 'FB'", block);
            if (previousfree)
                return MEMCLASS_fault(check, "TWO FREE BLOCKS SIDE BY SIDE", block);
            if (BLOCK_size(block) != room || room < MEM_MINFREE)
                return MEMCLASS_fault(check, "FREE BLOCK SIZE WRONG", block);
            if (block != expected)
                return MEMCLASS_fault(check, "FREE BLOCK NOT IN ITS PLACE ON THE FREE LIST", block);
            if (BLOCK_previousfree(base, block) != lastfree)
                return MEMCLASS_fault(check, "PREVIOUS-FREE LINK BROKEN", block);
            lastfree = block;
            expected = BLOCK_nextfree(base, block);
            previousfree = true;
        } else {
            if (!BLOCK_hassignature(block, "MB"))
                return MEMCLASS_fault(check, "BLOCK IN USE WITHOUT SIGNATURE 'MB'", block);
            if (MEMCLASS_table[flags & MB_CLASSMASK] != cls)
                return MEMCLASS_fault(check, "BLOCK IN USE NAMES ANOTHER CLASS", block);
            if (!MEMCLASS_checkused(check, cls, block, room))
                return 0;
            previousfree = false;
        }
        previous = block;
        block = next;
    }
    if (expected != head)
        return MEMCLASS_fault(check, "FREE LIST HOLDS A BLOCK THAT IS NOT FREE", expected);
    if (BLOCK_previousfree(base, head) != lastfree)
        return MEMCLASS_fault(check, "FREE-LIST HEAD'S PREVIOUS-FREE LINK BROKEN", head);
    return 1;
}

int32_t MEMCLASS_check(int32_t number)
{
    MEMCLASS* cls = MEMCLASS_table[number & MB_CLASSMASK];
    MEMCHECK check = {number & static_cast<int32_t>(MB_CLASSMASK), nullptr};
    if (!cls) {
        PRINT_printf(PRINT_MEMORY, "MEMCLASS_check - CLASS %d: NO SUCH CLASS.\n", static_cast<int>(check.number));
        return 0;
    }
    CLASS_lock(cls);
    check.base = CLASS_base(cls);
    int32_t result = MEMCLASS_checkbounds(check, cls) && MEMCLASS_checkwalk(check, cls);
    if (result && !MEMINDEX_check(cls))
        result = MEMCLASS_fault(check, "FREE-BLOCK INDEX DISAGREES WITH THE FREE LIST", CLASS_head(cls));
    CLASS_unlock(cls);
    return result;
}

// ---- The block report.

static void MEMCLASS_reportblock(const MEMCLASS* cls, const uint8_t* block, const uint8_t* next)
{
    uint32_t flags = BLOCK_flags(block);
    int32_t size = BLOCK_size(block);
    // A damaged (negative) size would place the label outside the block.
    const uint8_t* label = size >= 0 ? block + MB_HEADERSIZE + size + CLASS_trailersize(cls) : next;
    int labellength = 0;
    if ((flags & MB_NAMED) && label < next) {
        const void* end = memchr(label, 0, static_cast<size_t>(next - label));
        labellength = end ? static_cast<int>(static_cast<const uint8_t*>(end) - label) : static_cast<int>(next - label);
    }
    const char* file = nullptr;
    int32_t line = 0;
    char owner[64] = "-";
    if (MEM_owner(block + MB_HEADERSIZE, &file, &line)) {
        if (file && MEM_validptr(file, 1, 0))
            snprintf(owner, sizeof owner, "%.40s(%d)", file, static_cast<int>(line));
        else if (file)
            snprintf(owner, sizeof owner, "0x%08lx(%d)", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(file)),
                     static_cast<int>(line));
        else
            snprintf(owner, sizeof owner, "?(%d)", static_cast<int>(line));
    }
    PRINT_printf(PRINT_MEMORY, "  0x%08lx %10d '%.*s' %s\n",
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(block + MB_HEADERSIZE)), static_cast<int>(size),
                 labellength, reinterpret_cast<const char*>(label), owner);
}

int32_t MEMCLASS_report(int32_t number)
{
    MEMCLASS* cls = CLASS_lockednumber(number);
    if (!cls)
        return -1;
    uint8_t* base = CLASS_base(cls);
    uint8_t* top = CLASS_top(cls);
    char name[MEM_MAXNAME + 1];
    memcpy(name, CLASS_bytes(cls) + offsetof(MEMCLASS, name), sizeof name);
    name[MEM_MAXNAME] = '\0';
    PRINT_printf(PRINT_MEMORY, "MEMCLASS_report - CLASS %d '%s': BLOCKS IN USE\n",
                 static_cast<int>(number & MB_CLASSMASK), name);
    int32_t used = 0;
    int64_t usedbytes = 0;
    int32_t freeblocks = 0;
    int64_t freebytes = 0;
    uint8_t* block = BLOCK_next(base, base);
    while (block > base && block < top) {
        uint8_t* next = BLOCK_next(base, block);
        if (next <= block || next > top) {
            PRINT_printf(PRINT_MEMORY, "  BROKEN NEXT-BLOCK LINK @ 0x%08lx: RUN MEMCLASS_check\n",
                         static_cast<unsigned long>(reinterpret_cast<uintptr_t>(block)));
            break;
        }
        if (BLOCK_flags(block) & MB_FREE) {
            freeblocks++;
            freebytes += BLOCK_size(block);
        } else {
            used++;
            usedbytes += BLOCK_size(block);
            MEMCLASS_reportblock(cls, block, next);
        }
        block = next;
    }
    PRINT_printf(PRINT_MEMORY, "MEMCLASS_report - CLASS %d: %d IN USE (%lld BYTES), %d FREE (%lld BYTES)\n",
                 static_cast<int>(number & MB_CLASSMASK), static_cast<int>(used), static_cast<long long>(usedbytes),
                 static_cast<int>(freeblocks), static_cast<long long>(freebytes));
    CLASS_unlock(cls);
    return used;
}
