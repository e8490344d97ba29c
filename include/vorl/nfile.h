/* The asynchronous file system: file work is queued as operation records
 * on a file device (one per drive), and each device's own worker
 * thread carries its records out one at a time, lowest priority number first
 * and, among equals, oldest first. A caller gets an operation number at once
 * and later polls, waits, cancels or has a callback run, then collects the
 * result exactly once with FILESYS_completeop.
 *
 * Three layers are named by pattern: FILESYS_<verb>op queues one operation
 * and returns its number; FILESYS_<verb> queues it, waits and returns its
 * result; FILESYS_atomic runs a caller's routine as a transaction that holds
 * a device. Paths, drives and handles are reached through thin FILESYS_ calls
 * over the native file layer. */
#ifndef VORL_NFILE_H
#define VORL_NFILE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Number of file devices; a device number is 0..31 (1 = drive A .. 26 = Z,
 * 0 for paths without a drive letter and names inside mounted archives). */
#define FILE_DEVICES 32
/* The priority limit of a device that no transaction holds. */
#define FILE_NOLIMIT 255
/* Largest piece that one record of a blocking read or write moves. */
#define FILE_PIECESIZE 8192

/* Open flags of FILESYS_openop and FILESYS_open. FOPEN_READ opens read-only,
 * shared for reading, searching mounted archives when the disk open fails;
 * without it the file is opened for reading and writing, unshared, and FOPEN_CREATE /
 * FOPEN_TRUNCATE choose between open existing, create new, truncate existing
 * and create or replace. */
#define FOPEN_READ 0x01u
#define FOPEN_CREATE 0x02u
#define FOPEN_TRUNCATE 0x04u
#define FOPEN_MAP 0x08u
#define FOPEN_NOBUFFER 0x10u
#define FOPEN_SEQUENTIAL 0x20u

/* Operation status, as FILESYS_statusop and FILESYS_waitop report it. */
#define FOPS_NONE 0 /* not carried out yet, or without effect */
#define FOPS_DONE 1
#define FOPS_CANCELLED (-1)
#define FOPS_FAILED (-2)
#define FOPS_UNKNOWN (-3) /* no such operation */

/* Completion callback: operation number, status (-1 when cancelled) and the
 * caller's context. Runs on the device thread, or at once on the thread of
 * FILESYS_callbackop / FILESYS_cancelop. It may queue more work and collect
 * operations, but must never wait for an operation of its own device. The
 * context is pointer-sized so that a caller can pass an address through it. */
typedef void (*FILEOPCALLBACK)(uint32_t op, int32_t status, uintptr_t context);

/* Longest archive path (and archive part of an entry path), NUL excluded. */
#define FILE_BIGNAMEMAX 259

/* A transaction's routine: (priority, parameter block) -> result. */
typedef int32_t (*FILEATOMICROUTINE)(int32_t priority, void* parameter);

/* ---- Engine ---- */

/* handles: native open-file table size (0: 64); reserved: unused; ops:
 * records wanted (0: 64; every record that fits the page-rounded pool is
 * used). Returns 1; does nothing when already initialised. */
int32_t FILESYS_init(int32_t handles, int32_t reserved, int32_t ops);
/* Ends every device thread and releases queues, pool and tables. Safe to call
 * twice. The file system cannot be initialised again afterwards. */
void FILESYS_shutdown(void);

/* 0 while waiting or running; when completed -1 if cancelled, else its
 * status (1, -2 or 0); -3 when no such operation exists. */
int32_t FILESYS_statusop(uint32_t op);
/* Waits until the operation is no longer waiting or running, then returns
 * FILESYS_statusop; -3 at once for 0 or a device that is not running. The
 * main thread keeps running the sync tasks while it waits. */
int32_t FILESYS_waitop(uint32_t op);
/* Collects a completed operation, frees its record and returns its result.
 * Must be called exactly once per queued operation. */
uint32_t FILESYS_completeop(uint32_t op);
void FILESYS_callbackop(uint32_t op, FILEOPCALLBACK callback);
/* Cancels an open, read, write, length, exists, null or archive mount that
 * has not completed; closes, set-lengths, deletes and unmounts go on. */
void FILESYS_cancelop(uint32_t op);
/* New priority for a waiting operation: its number, or 0 when it is not
 * waiting in pending. */
uint32_t FILESYS_priorityop(uint32_t op, int32_t priority);
uint32_t FILESYS_errorop(uint32_t op);
uint32_t FILESYS_deviceop(uint32_t op);
uintptr_t FILESYS_contextop(uint32_t op);

/* ---- Transactions ---- */

/* Runs routine (priority, parameter) on the calling thread while holding
 * the device: no other transaction starts on it, and its thread carries out
 * only records whose priority is not above priority. Nests on one thread at
 * the same or a more urgent priority. The routine's result, or 0 when it was
 * not run. */
int32_t FILESYS_atomic(FILEATOMICROUTINE routine, int32_t device, int32_t priority, void* parameter);

/* ---- Front-ends: queue one operation; its number, or 0 ---- */

uint32_t FILESYS_openop(const char* path, uint32_t flags, int32_t priority, uintptr_t context);
uint32_t FILESYS_closeop(int32_t handle, int32_t priority, uintptr_t context);
uint32_t FILESYS_readop(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority,
                        uintptr_t context);
uint32_t FILESYS_writeop(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority,
                         uintptr_t context);
uint32_t FILESYS_lengthop(int32_t handle, int32_t priority, uintptr_t context);
uint32_t FILESYS_setlengthop(int32_t handle, int32_t size, int32_t priority, uintptr_t context);
uint32_t FILESYS_existsop(const char* path, int32_t priority, uintptr_t context);
uint32_t FILESYS_deleteop(const char* path, int32_t priority, uintptr_t context);
/* 0 without allocating when device is outside 0..31. */
uint32_t FILESYS_nullop(int32_t device, int32_t priority, uintptr_t context);
/* Mounts the archive at path (at most FILE_BIGNAMEMAX characters; longer or
 * null paths are refused with 0). Each request takes the next archive number
 * (-1, -2, ...), even when the mount fails; the completed operation yields
 * the number, or 0 when the archive could not be opened. */
uint32_t FILESYS_openbigop(const char* path, int32_t reserved, int32_t priority, uintptr_t context);
/* Unmounts archive number; 0 when no mounted archive has that number. The
 * completed operation yields 1 when unmounted, 0 when it was refused because
 * handles on its entries are still open (error ERROR_BUSY). */
uint32_t FILESYS_closebigop(int32_t number, int32_t priority, uintptr_t context);

/* ---- Blocking calls ---- */

/* 1 when opened; *handle receives the handle or 0. */
int32_t FILESYS_open(const char* path, uint32_t flags, int32_t priority, int32_t* handle);
int32_t FILESYS_close(int32_t handle, int32_t priority);
/* Bytes moved, in pieces of at most FILE_PIECESIZE; stops at the first
 * failed, cancelled or short piece. The caller's last-error code is then
 * the failed piece's reason, 0 when no piece failed. */
int32_t FILESYS_read(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority);
int32_t FILESYS_write(int32_t handle, int32_t position, const void* buffer, int32_t length, int32_t priority);
/* The file's size, 0 on failure. */
int32_t FILESYS_length(int32_t handle, int32_t priority);
int32_t FILESYS_setlength(int32_t handle, int32_t size, int32_t priority);
/* 1 when the file can be opened for reading. */
int32_t FILESYS_exists(const char* path, int32_t priority);
int32_t FILESYS_delete(const char* path, int32_t priority);
/* 1 when mounted; *number receives the archive number or 0. */
int32_t FILESYS_openbig(const char* path, int32_t reserved, int32_t priority, int32_t* number);
/* 1 when unmounted; 0 for an unknown number or while entries are open. */
int32_t FILESYS_closebig(int32_t number, int32_t priority);

/* ---- Paths, drives and handles ---- */

/* 0 for a name inside a mounted archive (it holds "|"), else the path's
 * device number. */
int32_t FILESYS_pathdevice(const char* path);
int32_t FILESYS_handledevice(int32_t handle);
void* FILESYS_handleaddress(int32_t handle);
/* Full, case-corrected form of path into out (260 bytes). */
int32_t FILESYS_fullpath(const char* path, char* out);
int32_t FILESYS_setdirectory(const char* path);
/* Current directory into out (at least 511 bytes); its length. */
int32_t FILESYS_getdirectory(char* out);
/* Bit mask of logical drives, bit 0 = A. */
uint32_t FILESYS_drives(void);
/* The drive letter whose root is the path's root, or 0; root receives the
 * path's root (at least 261 bytes). */
int32_t FILESYS_driveletter(const char* path, char* root);
/* The path's drive letter in upper case, or 0. */
int32_t FILESYS_pathletter(const char* path);
/* Free bytes of the volume with this root. */
uint32_t FILESYS_diskfree(const char* root);

#ifdef __cplusplus
}
#endif

#endif
