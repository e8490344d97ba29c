/* BIG archives: one file holding many named entries behind a header and an
 * index. Every number in them is unsigned and big-endian; offsets count from
 * the archive's first byte.
 *
 *   layout 1:  0 signature C0 FB (2), 2 header size - 4 (2), 4 entries (2)
 *              index entry: data offset (3), data size (3), name and NUL
 *   layout 2:  0 "BIGF" (4), 4 unused (4), 8 entries (4), 12 header size (4)
 *              index entry: data offset (4), data size (4), name and NUL
 *
 * The header size is the number of bytes from the archive's start to the end
 * of its index. The lookups walk the index from its first entry for as long
 * as an entry lies before that end; they never read at or beyond it, and an
 * entry cut short by it (its fixed part or its name's NUL missing) ends the
 * index there. The entry count field is reported but never used to walk.
 * The lookups trust the header size: the memory at header must hold that many
 * bytes (and at least the fixed header of its layout). BIG_findentrysized
 * takes the number of bytes actually available instead of trusting it. */
#ifndef VORL_BIG_H
#define VORL_BIG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BIG_LAYOUT1 1
#define BIG_LAYOUT2 2
#define BIG_LAYOUT1HEADER 6 /* bytes before the first index entry */
#define BIG_LAYOUT2HEADER 16
#define BIG_LAYOUT1ENTRY 6 /* fixed bytes of an index entry before its name */
#define BIG_LAYOUT2ENTRY 8

/* 1 or 2 for the layout; 0 when neither, after the alert
 * "typeofbigfile - FILE IS NOT A BIG FILE\n" (or the null-pointer alert). */
int32_t typeofbigfile(const void* header);
/* As typeofbigfile, looking at no more than available bytes and without
 * alert: a layout counts only when its fixed header fits in them. */
int32_t BIG_layout(const void* header, uint32_t available);
/* The header size of either layout; 0 when neither (after typeofbigfile's
 * alert). */
uint32_t BIG_headersize(const void* header);
/* The header size that the first available bytes at header claim; 0 when
 * they hold neither layout's fixed header. Never raises an alert: for
 * callers that read an index from a file and must bound the claim by the
 * file's length first. */
uint32_t BIG_indexsize(const void* header, uint32_t available);
/* The entry count field of either layout; 0 when neither. */
uint32_t BIG_numentries(const void* header);

/* Finds an entry by name (ASCII letters compared without regard to case) or,
 * when name is null, by its position number in the index (from 0). Returns
 * the address of the entry's name inside the index and stores its data offset
 * and size through the pointers that are not null; when nothing is found
 * returns null and stores 0. Never raises an alert. */
const char* BIG_findentry(const void* header, const char* name, int32_t number, uint32_t* offset, uint32_t* size);
/* As BIG_findentry over an index held in only available bytes at header: the
 * walk ends at the smaller of the header size and available, and a header
 * shorter than its layout's fixed part has no entries. For archives whose
 * length is known, such as a mapped file. */
const char* BIG_findentrysized(const void* header, uint32_t available, const char* name, int32_t number,
                               uint32_t* offset, uint32_t* size);
/* As BIG_findentry, with the alert "BIG_locateentry: ENTRY ... NOT FOUND"
 * when nothing is found. */
const char* BIG_locateentry(const void* header, const char* name, int32_t number, uint32_t* offset, uint32_t* size);
/* The named entry's data offset; 0 when name is null or nothing is found
 * (after BIG_locateentry's alert). An entry at offset 0 looks missing. */
uint32_t BIG_entryoffset(const void* header, const char* name);
/* archive + the named entry's data offset, or null (after the alert). With
 * the whole archive in memory, this is the entry's data. */
void* BIG_locate(const void* archive, const char* name);
/* archive + the data offset of entry number, or null (after the alert). */
void* BIG_locatenumber(const void* archive, int32_t number);
/* Copies entry number's name and its NUL into buffer and returns buffer; when
 * there is no such entry stores an empty string and returns null (after the
 * alert). buffer must hold the name: an entry name is shorter than the header
 * size. */
char* BIG_entryname(const void* header, int32_t number, char* buffer);
/* For each name of the comma-separated list, in order, stores BIG_locate's
 * result in the next slot of results (one slot more than the list has
 * commas); a name not found also raises "BIG_locatemany - FILE NOT FOUND".
 * Commas are replaced by NULs while their name is looked up, so the list
 * must be writable; it is left as it was. */
void BIG_locatemany(const void* archive, char* list, void** results);

#ifdef __cplusplus
}
#endif

#endif
