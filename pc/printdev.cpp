// The built-in print devices that reach the platform: the console (standard
// output) and the debugger.
#include <cstdio>

#include "platform/vplatform.h"
#include "vorl/print.h"

int32_t PRINT_console(int32_t channel, const char* text) { return fputs(text, stdout) >= 0 ? 1 : 0; }

int32_t PRINT_debugger(int32_t channel, const char* text)
{
    OutputDebugStringA(text);
    return 1;
}
