// Pointer tests for the memory manager, over IsBadReadPtr/IsBadWritePtr.
#include "pc/memcheck.h"

#include "platform/vplatform.h"

int32_t SYS_badreadptr(const void* address, uint32_t length)
{
    return IsBadReadPtr(address, static_cast<UINT_PTR>(length)) ? 1 : 0;
}

int32_t SYS_badwriteptr(void* address, uint32_t length)
{
    return IsBadWritePtr(address, static_cast<UINT_PTR>(length)) ? 1 : 0;
}
