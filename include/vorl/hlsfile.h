/* Whole-file services: does a file exist, how large is it, load it into new
 * memory or at a given address, load a list of files, load the header and
 * index of a BIG archive, write a buffer as the file.
 *
 * Each service but FILE_exists runs as one transaction (FILESYS_atomic) at
 * FILE_defaultpriority P on the device that serves its path: it opens at P
 * and issues every later operation at P - 1, so P must lie in 1..255. The
 * plain entry points raise an alert ("FILE_load - unable to open file %s\n"
 * and its sisters) when they fail; the quiet ones fail silently; both return
 * the same results. Buffers that the services return are memory-manager
 * blocks labelled with the file's path; free them with MEM_free.
 *
 * After a service (FILE_exists aside) the calling thread's last-error code
 * (SYS_getlasterror) is the platform's code for the step that failed, or 0
 * when it succeeded or no platform call failed (a file that shrank while it
 * was read, for instance).
 *
 * Two guarantees that callers may rely on:
 * - FILE_save never truncates first: it opens the existing file for writing
 *   (creating it only when it is missing), writes the new contents over the
 *   old, and only then sets the file's length. The file keeps its identity,
 *   links, owner and permission bits; a save that fails at any step returns 0
 *   having changed no byte but those it had already overwritten, and gives
 *   the file its old length back when it had written past it.
 * - A load whose read comes back short (the file shrank meanwhile) fails as
 *   an open failure does: the block is freed and the result is null. A BIG
 *   header whose index is longer than the file fails the same way. */
#ifndef VORL_HLSFILE_H
#define VORL_HLSFILE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes that FILE_loadbigheader reads first; only a larger header makes it
 * read the rest. */
#define FILE_BIGHEADERSIZE 2704

/* Hands every buffer that FILE_load loads to a component, which returns the
 * buffer the caller gets; a null result makes the load free the buffer and
 * return null. */
typedef void* (*FILELOADFILTER)(void* buffer, const char* path, uint32_t type);

/* The transaction priority of every service; initially 100. */
extern int32_t FILE_defaultpriority;
/* Null unless a component installs a filter; nothing in the library does. */
extern FILELOADFILTER FILE_loadfilter;

/* 1 when the file can be opened for reading (or is an entry of a mounted
 * archive), else 0. No transaction, no alert. */
int32_t FILE_exists(const char* path);

/* The file's size in bytes; 0 when it cannot be opened. */
int32_t FILE_size(const char* path);
int32_t FILE_sizequiet(const char* path);

/* A new block of exactly the file's size (memory type as for MEM_alloc)
 * holding the whole file, or null. The memory manager's own alerts (out of
 * memory, for one) are raised by both forms. */
void* FILE_load(const char* path, uint32_t type);
void* FILE_loadquiet(const char* path, uint32_t type);

/* Reads the file into address, at most maxlength bytes (no limit when
 * maxlength <= 0); the number of bytes read, 0 when it cannot be opened or
 * a read fails. */
int32_t FILE_loadat(const char* path, void* address, int32_t maxlength);
int32_t FILE_loadatquiet(const char* path, void* address, int32_t maxlength);

/* Loads count files: results[i] receives paths[i]'s block or null. 1 when
 * every file was loaded, else 0; 0 at once when count < 1. */
int32_t FILE_scatterload(int32_t count, const char* const* paths, void** results, uint32_t type);
int32_t FILE_scatterloadquiet(int32_t count, const char* const* paths, void** results, uint32_t type);

/* A new block holding the BIG archive's header and whole index: of
 * FILE_BIGHEADERSIZE bytes when they fit in it (the tail then holds the
 * archive's first data bytes, or zeros past the end of a shorter file), else
 * of the header size. Null when the file cannot be opened or read or holds
 * no BIG header (the loud form after typeofbigfile's alert; the quiet form
 * raises no alert at all). */
void* FILE_loadbigheader(const char* path, uint32_t type);
void* FILE_loadbigheaderquiet(const char* path, uint32_t type);

/* Writes length bytes at buffer as the whole file, in place, creating it when
 * it is missing. 1 on success, else 0. */
int32_t FILE_save(const char* path, const void* buffer, int32_t length);
int32_t FILE_savequiet(const char* path, const void* buffer, int32_t length);

#ifdef __cplusplus
}
#endif

#endif
