/* The smallest VORL program: checks that headers and library agree, starts
 * the heap, takes a block for a greeting, and gives everything back. */
#include <stdio.h>
#include <string.h>

#include "vorl/vorl.h"

int main(void)
{
    if (strcmp(VORL_version(), VORL_VERSION_STRING) != 0) {
        fprintf(stderr, "headers are %s, the library is %s\n", VORL_VERSION_STRING, VORL_version());
        return 1;
    }
    if (MEM_init() == 0)
        return 1;
    char* text = (char*)MEM_alloc("greeting", 64, MB_RAM);
    if (!text)
        return 1;
    snprintf(text, 64, "hello from VORL %s", VORL_VERSION_STRING);
    puts(text);
    MEM_free(text);
    MEM_shutdown();
    return 0;
}
