/* The memory manager: numbered memory classes carved into signed blocks, and
 * the 32 MiB heap that is class 0.
 *
 * Every block has a 16-byte header in front of its contents (signature "MB"
 * in use, "FB" free; flags; size; next and previous block in memory) and a
 * trailer behind them (guard word "BEND", owner file and line, a spare word),
 * followed by the caller's label. The free blocks of a class form a list in
 * address order whose head lives in the class record, and the class record
 * itself lives in the data of the class's low bound block, so a class needs
 * no memory beyond its own area.
 *
 * Byte layout on every build:
 *   header   0 signature (2), 2 flags (2), 4 size (4), 8 next (4), 12 previous (4)
 *   free     contents 0 next free (4), 4 previous free (4)
 *   trailer  0 "BEND", 4 owner file, 8 owner line, 12 spare
 * On 32-bit builds the link words hold addresses. On 64-bit builds they hold
 * offsets from the class's base, and the owner-file word holds the name's
 * displacement from a fixed point inside the library (MEM_owner decodes it).
 */
#ifndef VORL_MEMORY_H
#define VORL_MEMORY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Block type bits: in MEM_alloc's type, in block flags and in class flags. */
#define MB_CLASSMASK 0x000Fu  /* class number */
#define MB_RAM 0              /* the heap's class */
#define MB_GLOBAL 1           /* refers to the heap's class too */
#define MB_HIGH 0x0010u       /* search from the high end, carve from the top */
#define MB_LARGEST 0x0020u    /* take the largest free block that fits */
#define MB_NAMED 0x0100u      /* class option: label stored after the trailer */
#define MB_GUARD 0x0200u      /* class option: guard word after the contents */
#define MB_WHERE 0x0400u      /* class option: owner file and line in the trailer */
#define MB_CLEARSPARE 0x0800u /* set the trailer's spare word to 0 */
#define MB_FREE 0x4000u       /* on the class's free list */
#define MB_BOUND 0x8000u      /* one of the two bound blocks of a class */

#define MB_HEADERSIZE 16
#define MEMCLASS_MAX 16
#define MEMCLASS_RECORDSIZE 64
/* The heap: MEM_init's size, and the settings of its class. */
#define MEM_HEAPSIZE 33554432
#define MEM_HEAPALIGN 8
#define MEM_HEAPFIRSTALIGN 64
#define MEM_HEAPTRAILER 16

/* The class record (64 bytes inside the class's low bound block). */
typedef struct MEMCLASS MEMCLASS;
/* Kept in the class record at creation; the memory manager never calls it. */
typedef int32_t (*MEMCLASSROUTINE)(void);

/* Start of the heap area, null while the memory manager is not initialised. */
extern void* MEM_heapbase;
/* One class record per class number; empty slots are null. Lookups use only
 * the low 4 bits of a class number. */
extern MEMCLASS* MEMCLASS_table[MEMCLASS_MAX];
/* The class that MEM_largestfree and MEM_totalfree report on: 0. */
extern int32_t MEM_defaultclass;

/* ---- The heap ---- */

/* MEM_initsize (MEM_HEAPSIZE, 0). */
int32_t MEM_init(void);
/* Takes size bytes from malloc and makes them the heap's class (0, with 1
 * referring to it). Returns the first free block's size, 0 on failure.
 * dramsub must be 0. */
int32_t MEM_initsize(int32_t size, int32_t dramsub);
/* Makes the area at base the heap's class; returns its free bytes, 0 when the
 * area is too small for a class. */
int32_t MEM_initadr(void* base, int32_t size);
/* Ends the heap: an area that MEM_initsize took goes back to free() and the
 * class slots that referred to it are emptied. Safe to call twice. */
void MEM_shutdown(void);

/* ---- Blocks ---- */

/* Returns the contents of a new block of size bytes (not cleared), or null
 * after an alert. type: class number | MB_HIGH | MB_LARGEST | MB_CLEARSPARE.
 * label (may be null) is kept after the trailer when the class is MB_NAMED.
 * The owner recorded is ALERTfile/ALERTline as they stand at the call. */
void* MEM_alloc(const char* label, int32_t size, uint32_t type);
/* Releases a block, merging it with free neighbours: 1 when released or
 * address is null, 0 (after the "NOT A MEMBLOCK" alert) when address is not
 * the contents of a block in use. Nothing outside the class areas is read.
 * The block goes back to the class its flags name, also when that class was
 * made inside a block of another. */
int32_t MEM_free(void* address);
/* The size a block in use was requested with (MEM_alloc's size); -1 without
 * an alert when address is null or not the contents of a block in use. */
int32_t MEM_size(const void* address);
/* Writes a block header with signature "MB" and the given fields, then the
 * trailer words that flags ask for (within trailersize) and the label. On
 * 64-bit builds the links are stored relative to the class whose area holds
 * block: the class that flags name when its area holds it (a class made
 * inside a block of another), else the innermost. */
void MEM_stamp(void* block, const char* label, int32_t size, uint32_t trailersize, uint32_t flags, void* previous,
               void* next);
/* 1 when length bytes at address can be read (and written, if write is not 0). */
int32_t MEM_validptr(const void* address, int32_t length, int32_t write);
/* For a block in use whose class records owners: stores its owner file (may
 * be null) and line and returns 1; otherwise returns 0. */
int32_t MEM_owner(const void* address, const char** file, int32_t* line);

/* The n bytes (1..4) at address as a big-endian number. */
uint32_t ENDIAN_getbig(const void* address, int32_t n);
/* Writes value big-endian over n bytes (its low n bytes when n < 4, four
 * bytes when n >= 4, nothing when n <= 0); returns the address after them. */
void* ENDIAN_putbig(void* address, uint32_t value, int32_t n);

/* ---- Classes ---- */

/* Empties every slot of the class table; returns 1. */
int32_t MEMCLASS_init(void);
/* Makes the area at base (size bytes) class number, and returns the size of
 * its one free block. Returns 0 and changes nothing when the number is out
 * of range (after an alert), when base is null or the area cannot hold two
 * bound blocks and one free block, when an alignment is not a power of two, or when the
 * trailer size is above 65535. Names are cut to 7 characters. */
int32_t MEMCLASS_create(int32_t number, const char* name, void* base, int32_t size, uint32_t alignment,
                        uint32_t firstalignment, uint32_t trailersize, int32_t guard, int32_t where, int32_t named,
                        int32_t locked, MEMCLASSROUTINE callback);
/* Forgets a class (and every other slot referring to the same record); the
 * area is not touched. 1 when the slot held a class, else 0. */
int32_t MEMCLASS_destroy(int32_t number);
/* The lowest empty class number from 3 to 15, or 16 (after an alert). */
int32_t MEMCLASS_getfree(void);
/* Size of the largest free block of a class; 0 when none or no class. This
 * and the two below read the free list under the class's mutex. */
int32_t MEMCLASS_largestfree(uint32_t number);
/* MEMCLASS_largestfree (MEM_defaultclass). */
int32_t MEM_largestfree(void);
/* Sum of the sizes of the free blocks of MEM_defaultclass. */
int32_t MEM_totalfree(void);
/* Releases every block in use of a class (never its two bound blocks);
 * returns how many were released. */
int32_t MEMCLASS_freeall(int32_t number);

/* ---- Diagnostics, printed on the "memory" print channel (4) ---- */

/* Walks a class from its low bound block to its high bound block and checks
 * every header (signature, flags, size, neighbour links both ways), that no
 * two free blocks are adjacent, that the free list holds exactly the free
 * blocks in ascending order with consistent links, and the guard word of
 * every block in use that has one. Returns 1 when all holds; otherwise prints
 * the first fault found and the block where it was found, and returns 0. */
int32_t MEMCLASS_check(int32_t number);
/* Prints every block in use of a class (address, size, label, owner file and
 * line) and a summary line; returns the number of blocks in use, or -1 when
 * the slot is empty. */
int32_t MEMCLASS_report(int32_t number);

#ifdef __cplusplus
}
#endif

#endif
