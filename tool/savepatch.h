// The scan-and-patch of a loaded save: the first occurrence of the
// NUL-terminated key has the 32-bit value after its NUL set to zero.
#ifndef TARLOK_SAVEPATCH_H
#define TARLOK_SAVEPATCH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The key's 27 characters and its NUL: all 28 bytes are compared.
#define TARLOK_KEY "Parts.OwnedDamageRepairList"
#define TARLOK_KEYLENGTH 28
#define TARLOK_USAGE "USAGE: tarlok target.sav\n"

// Scans start positions 0 .. size - 29 for the key, case-sensitively, and
// zeroes the four bytes after the first hit's NUL. A hit with fewer than
// four bytes after it counts as no hit, so nothing beyond the buffer is ever
// written. Returns the hit's offset, or -1 when nothing was patched; was (when
// not null) receives the four bytes as they were before the patch.
int32_t TARLOK_scanpatch(uint8_t* buffer, int32_t size, uint8_t* was);

#ifdef __cplusplus
}
#endif

#endif
