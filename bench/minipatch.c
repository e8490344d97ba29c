/* The obvious alternative to tarlok, for bench/e2e.sh: reads the whole file,
 * zeroes the four bytes after the first NUL-terminated key and writes the
 * buffer back over the file. No library, no threads, no checks beyond the
 * necessary. Exit status 1 when saved, as tarlok's. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char key[] = "Parts.OwnedDamageRepairList"; /* 27 characters and a NUL */

int main(int argc, char** argv)
{
    if (argc < 2)
        return 25;
    FILE* in = fopen(argv[1], "rb");
    if (!in)
        return 25;
    fseek(in, 0, SEEK_END);
    long size = ftell(in);
    fseek(in, 0, SEEK_SET);
    unsigned char* buffer = malloc(size > 0 ? (size_t)size : 1);
    size_t got = fread(buffer, 1, (size_t)size, in);
    fclose(in);
    for (long p = 0; p + 32 <= (long)got; p++) {
        if (buffer[p] == 'P' && memcmp(buffer + p, key, sizeof key) == 0) {
            memset(buffer + p + sizeof key, 0, 4);
            break;
        }
    }
    FILE* out = fopen(argv[1], "r+b");
    if (!out)
        return 2;
    fwrite(buffer, 1, got, out);
    fclose(out);
    free(buffer);
    return 1;
}
