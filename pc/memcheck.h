// Pointer tests for the memory manager, over the platform's own: whether a
// range of bytes can be read or written without a fault.
#ifndef VORL_PC_MEMCHECK_H
#define VORL_PC_MEMCHECK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Non-zero when some byte of the range cannot be read / written.
int32_t SYS_badreadptr(const void* address, uint32_t length);
int32_t SYS_badwriteptr(void* address, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif
