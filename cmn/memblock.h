// The byte layout shared by the memory manager's modules (meminit, memalloc,
// memclass): block header, free-list links and class record, and the small
// helpers that read and write them.
//
// Class areas may start at any address, so every field is read and written
// through memcpy rather than through a typed pointer.
#ifndef VORL_CMN_MEMBLOCK_H
#define VORL_CMN_MEMBLOCK_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "vorl/memory.h"
#include "vorl/mutex.h"

// A block header; the contents start right after it.
struct MEMHEADER {
    char signature[2];
    uint16_t flags;
    int32_t size;
    uint32_t next;
    uint32_t previous;
};

// The two links a free block keeps in the first bytes of its contents.
struct MEMLINKS {
    uint32_t nextfree;
    uint32_t previousfree;
};

// The free-list head is laid out like a free block: header, then links.
struct MEMNODE {
    MEMHEADER header;
    MEMLINKS links;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
#define MEM_LINKSAREADDRESSES 1
// 32-bit builds: the record as it always was, addresses in every link.
struct MEMCLASS {
    char name[8];
    uint8_t* base;
    uint8_t* top;
    MEMNODE head;
    uint32_t alignment;
    uint32_t firstalignment;
    uint32_t trailersize;
    uint32_t flags;
    MUTEX* mutex;
    MEMCLASSROUTINE callback;
};
#else
#define MEM_LINKSAREADDRESSES 0
// 64-bit builds: the two pointers that must stay pointers (mutex, callback)
// take 16 bytes, so base is derived (the record sits 16 bytes above it), top
// is an offset from base, and trailer size and flags keep 16 bits each
// (class flags are block flags, which are 16 bits anyway).
struct MEMCLASS {
    char name[8];
    uint32_t top;
    uint16_t trailersize;
    uint16_t flags;
    MEMNODE head;
    uint32_t alignment;
    uint32_t firstalignment;
    MUTEX* mutex;
    MEMCLASSROUTINE callback;
};
#endif

static_assert(sizeof(MEMHEADER) == MB_HEADERSIZE, "block header is 16 bytes");
static_assert(offsetof(MEMHEADER, flags) == 2 && offsetof(MEMHEADER, size) == 4, "header fields");
static_assert(offsetof(MEMHEADER, next) == 8 && offsetof(MEMHEADER, previous) == 12, "header links");
static_assert(sizeof(MEMLINKS) == 8, "free-list links are two 4-byte words");
static_assert(sizeof(MEMNODE) == 24 && offsetof(MEMNODE, links) == 16, "free node");
static_assert(sizeof(MEMCLASS) == MEMCLASS_RECORDSIZE, "the class record fills the low bound block's data");
static_assert(offsetof(MEMCLASS, name) == 0 && offsetof(MEMCLASS, head) == 16, "record name and list head");
#if MEM_LINKSAREADDRESSES
static_assert(offsetof(MEMCLASS, base) == 8 && offsetof(MEMCLASS, top) == 12, "32-bit record");
static_assert(offsetof(MEMCLASS, alignment) == 40 && offsetof(MEMCLASS, trailersize) == 48, "32-bit record");
static_assert(offsetof(MEMCLASS, mutex) == 56 && offsetof(MEMCLASS, callback) == 60, "32-bit record");
#else
static_assert(offsetof(MEMCLASS, top) == 8 && offsetof(MEMCLASS, trailersize) == 12, "64-bit record");
static_assert(offsetof(MEMCLASS, alignment) == 40 && offsetof(MEMCLASS, mutex) == 48, "64-bit record");
static_assert(offsetof(MEMCLASS, callback) == 56, "64-bit record");
#endif

// Fixed values of the layout.
#define MEM_BOUNDSIZE 64           // data bytes of the low bound block: the record
#define MEM_HEADSIZE 0x7FFFFFFF    // the list head's size: larger than any block
#define MEM_MINFREE 8              // a free block's contents hold its two links
#define MEM_SPLITSLACK 64          // surplus above which a free block is split
#define MEM_GUARDWORD 0x42454E44u  // "BEND"
#define MEM_HIGHLABELROOM 32       // room for the high bound block's label
#define MEM_MAXTRAILER 0xFFFFu
#define MEM_MAXNAME 7

// Trailer word offsets.
#define MEM_TRAILERGUARD 0
#define MEM_TRAILERFILE 4
#define MEM_TRAILERLINE 8
#define MEM_TRAILERSPARE 12

template <typename T>
inline T MEM_load(const void* address)
{
    T value;
    memcpy(&value, address, sizeof value);
    return value;
}

template <typename T>
inline void MEM_store(void* address, T value)
{
    memcpy(address, &value, sizeof value);
}

// ---- Links: the one place where a link word becomes an address and back.
// On 64-bit builds a link is the offset from the class's base (an area is
// below 2 GiB); a block stamped outside any class (base null) keeps the
// address's low 32 bits.

inline uint32_t LINK_encode(const uint8_t* base, const uint8_t* address)
{
#if MEM_LINKSAREADDRESSES
    (void)base;
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
#else
    if (!address)
        return 0;
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(base));
#endif
}

inline uint8_t* LINK_decode(uint8_t* base, uint32_t link)
{
#if MEM_LINKSAREADDRESSES
    (void)base;
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(link));
#else
    return reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(base) + link);
#endif
}

// ---- Class record fields.

inline uint8_t* CLASS_bytes(const MEMCLASS* cls) { return reinterpret_cast<uint8_t*>(const_cast<MEMCLASS*>(cls)); }

inline uint8_t* CLASS_base(const MEMCLASS* cls)
{
#if MEM_LINKSAREADDRESSES
    return MEM_load<uint8_t*>(CLASS_bytes(cls) + offsetof(MEMCLASS, base));
#else
    return CLASS_bytes(cls) - MB_HEADERSIZE;
#endif
}

inline uint8_t* CLASS_top(const MEMCLASS* cls)
{
#if MEM_LINKSAREADDRESSES
    return MEM_load<uint8_t*>(CLASS_bytes(cls) + offsetof(MEMCLASS, top));
#else
    return CLASS_base(cls) + MEM_load<uint32_t>(CLASS_bytes(cls) + offsetof(MEMCLASS, top));
#endif
}

inline uint8_t* CLASS_head(const MEMCLASS* cls) { return CLASS_bytes(cls) + offsetof(MEMCLASS, head); }

inline uint32_t CLASS_alignment(const MEMCLASS* cls)
{
    return MEM_load<uint32_t>(CLASS_bytes(cls) + offsetof(MEMCLASS, alignment));
}

inline uint32_t CLASS_trailersize(const MEMCLASS* cls)
{
    return MEM_load<decltype(MEMCLASS::trailersize)>(CLASS_bytes(cls) + offsetof(MEMCLASS, trailersize));
}

inline uint32_t CLASS_flags(const MEMCLASS* cls)
{
    return MEM_load<decltype(MEMCLASS::flags)>(CLASS_bytes(cls) + offsetof(MEMCLASS, flags));
}

inline MUTEX* CLASS_mutex(const MEMCLASS* cls)
{
    return MEM_load<MUTEX*>(CLASS_bytes(cls) + offsetof(MEMCLASS, mutex));
}

inline void CLASS_lock(const MEMCLASS* cls)
{
    if (MUTEX* mutex = CLASS_mutex(cls))
        MUTEX_lock(mutex);
}

inline void CLASS_unlock(const MEMCLASS* cls)
{
    if (MUTEX* mutex = CLASS_mutex(cls))
        MUTEX_unlock(mutex);
}

// ---- Block header fields; block is the header's address.

inline bool BLOCK_hassignature(const uint8_t* block, const char* signature)
{
    return block[0] == static_cast<uint8_t>(signature[0]) && block[1] == static_cast<uint8_t>(signature[1]);
}

inline void BLOCK_setsignature(uint8_t* block, const char* signature)
{
    block[0] = static_cast<uint8_t>(signature[0]);
    block[1] = static_cast<uint8_t>(signature[1]);
}

inline uint32_t BLOCK_flags(const uint8_t* block) { return MEM_load<uint16_t>(block + offsetof(MEMHEADER, flags)); }
inline void BLOCK_setflags(uint8_t* block, uint32_t flags)
{
    MEM_store<uint16_t>(block + offsetof(MEMHEADER, flags), static_cast<uint16_t>(flags));
}

inline int32_t BLOCK_size(const uint8_t* block) { return MEM_load<int32_t>(block + offsetof(MEMHEADER, size)); }
inline void BLOCK_setsize(uint8_t* block, int32_t size) { MEM_store<int32_t>(block + offsetof(MEMHEADER, size), size); }

inline uint8_t* BLOCK_next(uint8_t* base, const uint8_t* block)
{
    return LINK_decode(base, MEM_load<uint32_t>(block + offsetof(MEMHEADER, next)));
}
inline void BLOCK_setnext(uint8_t* base, uint8_t* block, const uint8_t* next)
{
    MEM_store<uint32_t>(block + offsetof(MEMHEADER, next), LINK_encode(base, next));
}

inline uint8_t* BLOCK_previous(uint8_t* base, const uint8_t* block)
{
    return LINK_decode(base, MEM_load<uint32_t>(block + offsetof(MEMHEADER, previous)));
}
inline void BLOCK_setprevious(uint8_t* base, uint8_t* block, const uint8_t* previous)
{
    MEM_store<uint32_t>(block + offsetof(MEMHEADER, previous), LINK_encode(base, previous));
}

inline uint8_t* BLOCK_nextfree(uint8_t* base, const uint8_t* node)
{
    return LINK_decode(base, MEM_load<uint32_t>(node + offsetof(MEMNODE, links) + offsetof(MEMLINKS, nextfree)));
}
inline void BLOCK_setnextfree(uint8_t* base, uint8_t* node, const uint8_t* next)
{
    MEM_store<uint32_t>(node + offsetof(MEMNODE, links) + offsetof(MEMLINKS, nextfree), LINK_encode(base, next));
}

inline uint8_t* BLOCK_previousfree(uint8_t* base, const uint8_t* node)
{
    return LINK_decode(base, MEM_load<uint32_t>(node + offsetof(MEMNODE, links) + offsetof(MEMLINKS, previousfree)));
}
inline void BLOCK_setpreviousfree(uint8_t* base, uint8_t* node, const uint8_t* previous)
{
    MEM_store<uint32_t>(node + offsetof(MEMNODE, links) + offsetof(MEMLINKS, previousfree),
                        LINK_encode(base, previous));
}

// ---- Shared within the memory manager.

// MEM_stamp with the class base given, for stamps made before the class is
// in the table or with flags that do not name it.
void MEM_stampin(uint8_t* base, uint8_t* block, const char* label, int32_t size, uint32_t trailersize, uint32_t flags,
                 uint8_t* previous, uint8_t* next);
// Puts a block whose next-block field is set on its class's free list, in
// address order, walking from the nearer end.
void MEMCLASS_insertfree(MEMCLASS* cls, uint8_t* block);
// Puts a block whose next-block field is set in the place of old on the
// list, where no other free block lies between them; old, when it is
// another block, is taken off as MEMCLASS_unlinkfree does. With old the
// block itself, this records the block's new size.
void MEMCLASS_replacefree(MEMCLASS* cls, uint8_t* old, uint8_t* block);
// Takes a free block off the list: signature zeroed, MB_FREE cleared.
void MEMCLASS_unlinkfree(MEMCLASS* cls, uint8_t* block);
// The free-block index (cmn/memindex.cpp), kept under the class's mutex.
// MEMINDEX_start gives a new class an empty index, MEMINDEX_end drops it.
void MEMINDEX_start(const MEMCLASS* cls);
void MEMINDEX_end(const MEMCLASS* cls);
// Enters a free block of size bytes and returns the free block it follows
// in address order (the list head when none); null when the index is off.
uint8_t* MEMINDEX_before(const MEMCLASS* cls, uint8_t* block, int32_t size);
void MEMINDEX_remove(const MEMCLASS* cls, uint8_t* block);
// Puts block, of size bytes, in the place of old, its neighbour in the order.
void MEMINDEX_replace(const MEMCLASS* cls, uint8_t* old, uint8_t* block, int32_t size);
// The block that first fit (or MB_LARGEST) chooses, null when none fits;
// false when the index is off and cannot be built again.
bool MEMINDEX_choose(const MEMCLASS* cls, int64_t need, uint32_t type, uint8_t** chosen);
// The largest free size, -1 when the index is off.
int32_t MEMINDEX_largest(const MEMCLASS* cls);
// True when the index holds exactly the free list's blocks, in its order,
// with their sizes (and when it is off).
bool MEMINDEX_check(const MEMCLASS* cls);
// The class whose area holds the header address, or null; reads only the
// class records. Where areas nest, the class that flags name wins when its
// area holds the address, else the innermost.
MEMCLASS* MEMCLASS_holding(const void* block, uint32_t flags);
// The same for a header that is already stamped, whose own flags name its
// class. The header is read only when some class's area holds it.
MEMCLASS* MEMCLASS_holdingheader(const void* block);

#endif
