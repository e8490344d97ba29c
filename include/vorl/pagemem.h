/* Raw memory services: page runs with guard pages, and the fill and copy
 * entry points that pick a processor-specific routine by capability flag. */
#ifndef VORL_PAGEMEM_H
#define VORL_PAGEMEM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Processor capability flags, 0 clear and anything else set. Nothing in the
 * library changes them; MEM_fill and MEM_copy read them on every call. */
extern int32_t CPU_fpu;
extern int32_t CPU_mmx;
extern int32_t CPU_sse;
extern int32_t CPU_fpucopy;

/* Rounds *count up to whole pages, writes it back and returns the first
 * usable byte of a run framed by two no-access guard pages (null on failure). */
void* PAGE_alloc(int32_t* count);
/* Releases a run that PAGE_alloc returned, guard pages included. */
int32_t PAGE_free(void* address);
/* The system page size once the first PAGE_alloc has run, else 0. */
uint32_t PAGE_size(void);

/* Fill count bytes with the 32-bit pattern value / copy count bytes forward.
 * Both return dest + count; a count of 0 or less, a null dest or a null
 * source writes nothing and returns dest unchanged. */
void* MEM_fill(void* dest, uint32_t value, int32_t count);
void* MEM_copy(void* dest, const void* source, int32_t count);

/* The processor-specific routines behind the two entry points. */
void* MEM_fill32(void* dest, uint32_t value, int32_t count);
void* MEM_fillmmx(void* dest, uint32_t value, int32_t count);
void* MEM_fillsse(void* dest, uint32_t value, int32_t count);
void* MEM_copy32(void* dest, const void* source, int32_t count);
void* MEM_copyfpu(void* dest, const void* source, int32_t count);
void* MEM_copymmx(void* dest, const void* source, int32_t count);
void* MEM_copysse(void* dest, const void* source, int32_t count);

#ifdef __cplusplus
}
#endif

#endif
