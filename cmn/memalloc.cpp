// Blocks: MEM_alloc carves a block out of its class's free list (first fit
// from either end, or the largest), stamps its header and trailer; MEM_free
// merges it with free neighbours and puts it back. Also the stamp itself,
// pointer tests, big-endian byte helpers and the owner read-back.
#include <atomic>
#include <stdio.h>
#include <string.h>

#include "cmn/memblock.h"
#include "pc/memcheck.h"
#include "vorl/alert.h"
#include "vorl/pagemem.h"

static const char MODULE_FILE[] = "cmn/memalloc";

// On 64-bit builds an owner file name is kept as its 32-bit displacement
// from this object, which no caller can name as a file, so that 0 stays
// free to mean "no file".
static const char MEM_owneranchor[1] = {0};

static uint32_t OWNER_encode(const char* file)
{
#if MEM_LINKSAREADDRESSES
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(file));
#else
    if (!file)
        return 0;
    int64_t displacement =
        static_cast<int64_t>(reinterpret_cast<uintptr_t>(file) - reinterpret_cast<uintptr_t>(MEM_owneranchor));
    if (displacement < INT32_MIN || displacement > INT32_MAX)
        return 0;  // too far away to be expressed: recorded as no file
    return static_cast<uint32_t>(static_cast<int32_t>(displacement));
#endif
}

static const char* OWNER_decode(uint32_t word)
{
#if MEM_LINKSAREADDRESSES
    return reinterpret_cast<const char*>(static_cast<uintptr_t>(word));
#else
    if (word == 0)
        return nullptr;
    return reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(MEM_owneranchor) +
                                         static_cast<intptr_t>(static_cast<int32_t>(word)));
#endif
}

// The last caller file name found readable. Names are nearly always the
// same few string constants, so this spares a pointer test per allocation.
static std::atomic<const char*> MEM_lastreadablefile{nullptr};

static bool MEM_filereadable(const char* file)
{
    if (file == MEM_lastreadablefile.load(std::memory_order_relaxed))
        return true;
    if (!MEM_validptr(file, 4, 0))
        return false;
    MEM_lastreadablefile.store(file, std::memory_order_relaxed);
    return true;
}

uint32_t ENDIAN_getbig(const void* address, int32_t n)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(address);
    if (n > 4)
        n = 4;
    uint32_t value = 0;
    for (int32_t i = 0; i < n; i++)
        value = (value << 8) | bytes[i];
    return value;
}

void* ENDIAN_putbig(void* address, uint32_t value, int32_t n)
{
    uint8_t* bytes = static_cast<uint8_t*>(address);
    if (n <= 0)
        return address;
    if (n > 4)
        n = 4;
    for (int32_t i = 0; i < n; i++)
        bytes[i] = static_cast<uint8_t>(value >> (8 * (n - 1 - i)));
    return bytes + n;
}

int32_t MEM_validptr(const void* address, int32_t length, int32_t write)
{
    if (length < 0)
        return 0;
    if (SYS_badreadptr(address, static_cast<uint32_t>(length)))
        return 0;
    if (write && SYS_badwriteptr(const_cast<void*>(address), static_cast<uint32_t>(length)))
        return 0;
    return 1;
}

void MEM_stampin(uint8_t* base, uint8_t* block, const char* label, int32_t size, uint32_t trailersize, uint32_t flags,
                 uint8_t* previous, uint8_t* next)
{
    BLOCK_setsignature(block, "MB");
    BLOCK_setflags(block, flags);
    BLOCK_setsize(block, size);
    BLOCK_setnext(base, block, next);
    BLOCK_setprevious(base, block, previous);

    // Each trailer word is written only where the trailer has room for it,
    // so a class with a short trailer never has its next header overwritten.
    uint8_t* trailer = block + MB_HEADERSIZE + size;
    if ((flags & MB_GUARD) && trailersize >= MEM_TRAILERGUARD + 4)
        ENDIAN_putbig(trailer + MEM_TRAILERGUARD, MEM_GUARDWORD, 4);
    if ((flags & MB_WHERE) && trailersize >= MEM_TRAILERLINE + 4) {
        if (ALERTfile && !MEM_filereadable(ALERTfile)) {
            const char* bad = ALERTfile;
            ALERT_raise(MODULE_FILE, "MEM_alloc - INVALID CALLER FILE NAME POINTER %lx\n",
                        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(bad)));
        }
        MEM_store<uint32_t>(trailer + MEM_TRAILERFILE, OWNER_encode(ALERTfile));
        MEM_store<int32_t>(trailer + MEM_TRAILERLINE, ALERTline);
    }
    if ((flags & MB_CLEARSPARE) && trailersize >= MEM_TRAILERSPARE + 4)
        MEM_store<uint32_t>(trailer + MEM_TRAILERSPARE, 0);
    if ((flags & MB_NAMED) && label)
        memcpy(trailer + trailersize, label, strlen(label) + 1);
}

void MEM_stamp(void* block, const char* label, int32_t size, uint32_t trailersize, uint32_t flags, void* previous,
               void* next)
{
    // Links are relative to the class whose area holds the block (the one
    // the flags name, where areas nest); outside any class a 64-bit build
    // keeps their low 32 bits.
    MEMCLASS* cls = MEMCLASS_holding(block, flags);
    uint8_t* base = cls ? CLASS_base(cls) : nullptr;
    MEM_stampin(base, static_cast<uint8_t*>(block), label, size, trailersize, flags, static_cast<uint8_t*>(previous),
                static_cast<uint8_t*>(next));
}

// Bytes after the header that a request takes, or -1 when the sum
// overflows a signed 32-bit count (sizes below 0 are caught before).
static int64_t MEM_need(const MEMCLASS* cls, const char* label, int32_t size)
{
    int64_t extra = CLASS_trailersize(cls);
    if (label && (CLASS_flags(cls) & MB_NAMED))
        extra += static_cast<int64_t>(strlen(label)) + 1;
    int64_t alignment = CLASS_alignment(cls);
    int64_t total =
        static_cast<int64_t>(size < MEM_MINFREE ? MEM_MINFREE : size) + MB_HEADERSIZE + extra + alignment - 1;
    if (total > INT32_MAX)
        return -1;
    return (total & ~(alignment - 1)) - MB_HEADERSIZE;
}

// First fit along the list from the chosen end, or the largest block that
// fits (the first met among equals); null when none fits. The index answers
// unless it is off, which only a failed page run makes it.
static uint8_t* MEM_choose(const MEMCLASS* cls, int64_t need, uint32_t type)
{
    uint8_t* indexed = nullptr;
    if (MEMINDEX_choose(cls, need, type, &indexed))
        return indexed;
    uint8_t* base = CLASS_base(cls);
    uint8_t* head = CLASS_head(cls);
    bool high = (type & MB_HIGH) != 0;
    bool largest = (type & MB_LARGEST) != 0;
    uint8_t* chosen = nullptr;
    int32_t chosensize = 0;
    uint8_t* node = high ? BLOCK_previousfree(base, head) : BLOCK_nextfree(base, head);
    while (node != head) {
        int32_t size = BLOCK_size(node);
        if (size >= need) {
            if (!largest)
                return node;
            if (!chosen || size > chosensize) {
                chosen = node;
                chosensize = size;
            }
        }
        node = high ? BLOCK_previousfree(base, node) : BLOCK_nextfree(base, node);
    }
    return chosen;
}

// Takes the chosen free block for a request: whole when no more than 64
// bytes would be left over, else split, the part left over keeping the
// block's place on the free list. Returns the header the caller's block
// gets, with its neighbour links set.
static uint8_t* MEM_carve(MEMCLASS* cls, uint8_t* chosen, int32_t need, uint32_t type)
{
    uint8_t* base = CLASS_base(cls);
    int32_t surplus = BLOCK_size(chosen) - need;
    int32_t below = surplus & ~static_cast<int32_t>(CLASS_alignment(cls) - 1);
    // With an alignment above 64 the rounded part below a high block may be
    // too small to be a free block of its own; the caller then gets the
    // whole block.
    if (surplus <= MEM_SPLITSLACK || ((type & MB_HIGH) && below < MB_HEADERSIZE + MEM_MINFREE)) {
        MEMCLASS_unlinkfree(cls, chosen);
        return chosen;
    }
    uint8_t* next = BLOCK_next(base, chosen);
    if (!(type & MB_HIGH)) {
        uint8_t* rest = chosen + MB_HEADERSIZE + need;
        MEM_stampin(base, rest, nullptr, 0, 0, 0, chosen, next);
        BLOCK_setprevious(base, next, rest);
        BLOCK_setnext(base, chosen, rest);
        MEMCLASS_replacefree(cls, chosen, rest);
        return chosen;
    }
    uint8_t* block = chosen + below;
    BLOCK_setprevious(base, block, chosen);
    BLOCK_setnext(base, block, next);
    BLOCK_setprevious(base, next, block);
    MEM_stampin(base, chosen, nullptr, 0, 0, 0, BLOCK_previous(base, chosen), block);
    MEMCLASS_replacefree(cls, chosen, chosen);
    return block;
}

void* MEM_alloc(const char* label, int32_t size, uint32_t type)
{
    MEMCLASS* cls = MEMCLASS_table[type & MB_CLASSMASK];
    const char* shown = label ? label : "(null)";
    if (!MEM_heapbase) {
        ALERT_raise(MODULE_FILE, "MEM_alloc - MEMORY MANAGER NOT INITIALIZED\nrequested: %d\n", static_cast<int>(size));
        return nullptr;
    }
    int64_t need = (cls && size >= 0) ? MEM_need(cls, label, size) : 0;
    if (size < 0 || need < 0) {
        ALERT_raise(MODULE_FILE,
                    "MEM_alloc - INVALID SIZE REQUESTED\nrequested '%s': %d\navailable: %d. type %04lx MB_LOW\n", shown,
                    static_cast<int>(size), static_cast<int>(MEMCLASS_largestfree(type)),
                    static_cast<unsigned long>(type));
        return nullptr;
    }

    uint8_t* block = nullptr;
    if (cls) {
        CLASS_lock(cls);
        block = MEM_choose(cls, need, type);
        if (block) {
            block = MEM_carve(cls, block, static_cast<int32_t>(need), type);
            // The caller chooses only the class and the search; the option
            // bits are the class's, and the list bits are never the caller's.
            uint32_t flags = (type & ~(MB_FREE | MB_BOUND | MB_NAMED | MB_GUARD | MB_WHERE)) |
                             (CLASS_flags(cls) & (MB_NAMED | MB_GUARD | MB_WHERE));
            if (!label)
                flags &= ~MB_NAMED;
            uint8_t* base = CLASS_base(cls);
            MEM_stampin(base, block, label, size, CLASS_trailersize(cls), flags & 0xFFFFu, BLOCK_previous(base, block),
                        BLOCK_next(base, block));
        }
        CLASS_unlock(cls);
    }
    if (!block) {
        ALERT_raise(MODULE_FILE, "MEM_alloc - OUT OF MEMORY\nrequested '%s': %d\navailable: %d. type %04lx\n", shown,
                    static_cast<int>(size), static_cast<int>(MEMCLASS_largestfree(type)),
                    static_cast<unsigned long>(type));
        return nullptr;
    }
    return block + MB_HEADERSIZE;
}

static void MEM_notablock(const void* address, const uint8_t* block)
{
    // Without a class area around it the header may not be readable, so
    // its signature is shown as zeros rather than read.
    char signature[3] = {0, 0, 0};
    uint32_t value = 0;
    if (block) {
        memcpy(signature, block, 2);
        value = ENDIAN_getbig(block, 2);
    }
    ALERT_raise(MODULE_FILE, "MEM_free - NOT A MEMBLOCK.  BLOCK @ 0x%08lx, SIGNATURE '%2.2s' (0x%02x)\n",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)), signature,
                static_cast<unsigned>(value));
}

// A header that the class's own links lead to and from: a stray "MB"
// inside some block's contents is not a block.
static bool MEM_isblockinuse(const MEMCLASS* cls, const uint8_t* block)
{
    uint8_t* base = CLASS_base(cls);
    uint8_t* top = CLASS_top(cls);
    if (block <= base || block >= top || !BLOCK_hassignature(block, "MB"))
        return false;
    uint32_t flags = BLOCK_flags(block);
    if ((flags & (MB_FREE | MB_BOUND)) || MEMCLASS_table[flags & MB_CLASSMASK] != cls)
        return false;
    uint8_t* previous = BLOCK_previous(base, block);
    uint8_t* next = BLOCK_next(base, block);
    if (previous < base || previous >= block || next <= block || next > top)
        return false;
    return BLOCK_next(base, previous) == block && BLOCK_previous(base, next) == block;
}

// The class whose area holds the header in front of a contents address.
static MEMCLASS* MEM_classofcontents(const void* address)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    return at >= MB_HEADERSIZE ? MEMCLASS_holdingheader(reinterpret_cast<void*>(at - MB_HEADERSIZE)) : nullptr;
}

int32_t MEM_free(void* address)
{
    if (!address)
        return 1;
    MEMCLASS* cls = MEM_classofcontents(address);
    if (!cls) {
        MEM_notablock(address, nullptr);
        return 0;
    }
    uint8_t* block = static_cast<uint8_t*>(address) - MB_HEADERSIZE;
    if (!BLOCK_hassignature(block, "MB")) {
        MEM_notablock(address, block);
        return 0;
    }

    CLASS_lock(cls);
    if (!MEM_isblockinuse(cls, block)) {
        CLASS_unlock(cls);
        MEM_notablock(address, block);
        return 0;
    }
    uint8_t* base = CLASS_base(cls);
    uint8_t* merged = block;
    uint8_t* previous = BLOCK_previous(base, block);
    uint8_t* next = BLOCK_next(base, block);
    bool previousfree = (BLOCK_flags(previous) & MB_FREE) != 0;
    bool nextfree = (BLOCK_flags(next) & MB_FREE) != 0;
    if (previousfree) {
        BLOCK_setnext(base, previous, next);
        BLOCK_setprevious(base, next, previous);
        // The absorbed header must not pass for a block: a second release of
        // this address then meets no signature.
        MEM_fill(block, 0, MB_HEADERSIZE);
        merged = previous;
    }
    if (nextfree) {
        uint8_t* after = BLOCK_next(base, next);
        BLOCK_setnext(base, merged, after);
        BLOCK_setprevious(base, after, merged);
    }
    // The merged block takes the free list place of a free neighbour: the
    // lower one grows, or the block steps into the upper one's place.
    if (previousfree && nextfree)
        MEMCLASS_unlinkfree(cls, next);
    if (previousfree || nextfree)
        MEMCLASS_replacefree(cls, previousfree ? previous : next, merged);
    else
        MEMCLASS_insertfree(cls, merged);
    CLASS_unlock(cls);
    return 1;
}

int32_t MEM_size(const void* address)
{
    MEMCLASS* cls = MEM_classofcontents(address);
    if (!cls)
        return -1;
    const uint8_t* block = static_cast<const uint8_t*>(address) - MB_HEADERSIZE;
    CLASS_lock(cls);
    int32_t size = MEM_isblockinuse(cls, block) ? BLOCK_size(block) : -1;
    CLASS_unlock(cls);
    return size;
}

int32_t MEM_owner(const void* address, const char** file, int32_t* line)
{
    MEMCLASS* cls = MEM_classofcontents(address);
    if (!cls)
        return 0;
    const uint8_t* block = static_cast<const uint8_t*>(address) - MB_HEADERSIZE;
    uint32_t trailersize = CLASS_trailersize(cls);
    if (!BLOCK_hassignature(block, "MB") || !(BLOCK_flags(block) & MB_WHERE) || trailersize < MEM_TRAILERLINE + 4)
        return 0;
    // The trailer must lie inside the class area before it is read.
    int32_t size = BLOCK_size(block);
    uint8_t* areaend = CLASS_top(cls) + MB_HEADERSIZE + trailersize + MEM_HIGHLABELROOM;
    if (size < 0 || static_cast<int64_t>(size) + MB_HEADERSIZE + trailersize > areaend - block)
        return 0;
    const uint8_t* trailer = block + MB_HEADERSIZE + size;
    if (file)
        *file = OWNER_decode(MEM_load<uint32_t>(trailer + MEM_TRAILERFILE));
    if (line)
        *line = MEM_load<int32_t>(trailer + MEM_TRAILERLINE);
    return 1;
}
