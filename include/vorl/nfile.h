/* The asynchronous file system: file work is queued as operation records
 * (FILEOP) on a file device (one per drive), and each device's own worker
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

#include "vorl/mutex.h"
#include "vorl/queue.h"
#include "vorl/thread.h"

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

/* Operation types (FILEOP.type). */
#define FOP_OPEN 0
#define FOP_CLOSE 1
#define FOP_READ 2
#define FOP_WRITE 3
#define FOP_LENGTH 4
#define FOP_SETLENGTH 5
#define FOP_EXISTS 6
#define FOP_DELETE 7
#define FOP_NULL 8
#define FOP_OPENBIG 9
#define FOP_CLOSEBIG 10

/* Open flags (FILEOP.arg of FOP_OPEN). FOPEN_READ opens read-only, shared for
 * reading, searching mounted archives when the disk open fails; without it
 * the file is opened for reading and writing, unshared, and FOPEN_CREATE /
 * FOPEN_TRUNCATE choose between open existing, create new, truncate existing
 * and create or replace. */
#define FOPEN_READ 0x01u
#define FOPEN_CREATE 0x02u
#define FOPEN_TRUNCATE 0x04u
#define FOPEN_MAP 0x08u
#define FOPEN_NOBUFFER 0x10u
#define FOPEN_SEQUENTIAL 0x20u

/* Record flags (FILEOP.flags); cleared at allocation. */
#define FOPF_OWNNAME 0x1u   /* pointer holds a private copy of a path */
#define FOPF_CANCELLED 0x2u /* FILESYS_cancelop reached the record */
#define FOPF_CALLBACK 0x4u  /* a callback was registered */
#define FOPF_CALLED 0x8u    /* the callback has been called */

/* Record status (FILEOP.status) and the extra values of FILESYS_statusop. */
#define FOPS_NONE 0       /* not carried out yet, or without effect */
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

/* One operation. The first field is the link that the queues use. */
typedef struct FILEOP {
    struct FILEOP* link;
    uint32_t id;       /* operation number: serial * 32 + device; 0 while free */
    uint32_t type;     /* FOP_* */
    uint32_t flags;    /* FOPF_* */
    int8_t status;     /* FOPS_NONE, FOPS_DONE or FOPS_FAILED */
    uint8_t priority;  /* 0..255, 0 the most urgent */
    uint32_t error;    /* platform last-error code of a failed operation */
    int32_t handle;    /* native file handle; for an open, the one obtained */
    uintptr_t context; /* the caller's value, passed to the callback */
    FILEOPCALLBACK callback;
    uint32_t arg;      /* open flags, file position, size obtained, existence */
    int32_t count;     /* bytes asked for and then done, new file size */
    void* pointer;     /* name copy, caller's buffer or archive record */
} FILEOP;

/* One file device: a worker thread and its queues. */
typedef struct FILEDEVICE {
    uint32_t running; /* 1 while the thread runs; a device at 0 is absent */
    THREAD thread;
    FILEOP* current;  /* record being carried out, null between records */
    QUEUE pending;    /* waiting records, ordered by FILE_opkey */
    QUEUE completed;  /* finished or cancelled, not yet collected; peer of pending */
    void* wake;       /* auto-reset: look at pending again */
    MUTEX* mutex;     /* held for the length of a transaction */
    void* done;       /* manual-reset: set by the thread once it runs */
    uint32_t serial;  /* next serial, 1..2^24-1 */
    int32_t limit;    /* only records with priority <= limit are carried out */
    uint32_t calling; /* number whose completion callback the thread is running */
    void* waiters;    /* threads blocked in FILESYS_waitop or a blocking transfer */
    void* held;       /* the file system's own handle to the thread, for THREAD_join */
} FILEDEVICE;

/* A mounted archive (one page-memory block each). */
typedef struct BIGFILE {
    struct BIGFILE* link;
    int32_t number;  /* -1, -2, ... in the order of the mount requests */
    uint32_t device; /* device of the archive's path */
    int32_t handle;  /* native handle of the open archive; 0 until opened */
    void* base;      /* the mapped archive; null when it could not be mapped */
    char name[260];  /* the path as given to the mount (at most 259 characters) */
    int32_t size;    /* bytes mapped at base: no lookup or entry reaches beyond them */
    void* index;     /* page-memory copy of the header and index, read at the mount; null when none */
    int32_t indexsize; /* bytes at index: lookups read only these, never the mapping */
} BIGFILE;
/* Longest archive path (and archive part of an entry path), NUL excluded. */
#define FILE_BIGNAMEMAX 259

/* A transaction's routine: (priority, parameter block) -> result. */
typedef int32_t (*FILEATOMICROUTINE)(int32_t priority, void* parameter);

/* One blocking read or write, on the caller's stack for the call's length. */
typedef uint32_t (*FILETRANSFEROP)(int32_t handle, int32_t position, void* buffer, int32_t length,
                                   int32_t priority, uintptr_t context);
typedef struct FILETRANSFER {
    int32_t priority;
    int32_t handle;
    int32_t position;  /* file position of the next piece */
    int32_t remaining; /* bytes still to move; 0 ends the transfer */
    int32_t total;     /* bytes moved so far */
    int32_t piece;     /* length of the piece in flight */
    uint8_t* buffer;   /* address of the next piece */
    FILETRANSFEROP frontend;
    uint32_t current;  /* operation number of the piece in flight, 0 when none */
    void* event;       /* set, under the device lock, when the transfer ends */
} FILETRANSFER;

/* Process-wide state. FILEdevices is null while the file system is not
 * initialised. FILEfreeops holds every free record; its mutex also
 * serialises device start-up. FILEbiglist holds the mounted archives. */
extern FILEDEVICE* FILEdevices;
extern FILEOP* FILEoppool;
extern int32_t FILEopcount; /* records in the pool */
/* One FILE_NAMESIZE-byte slot per record of the pool, where the record's
 * private copy of a path lives when it fits (longer paths get a page-memory
 * block of their own). */
extern char* FILEnamepool;
#define FILE_NAMESIZE 260
extern QUEUE FILEfreeops;
extern QUEUE FILEbiglist;
extern MUTEX* FILEbigmutex;
extern int32_t FILEbignumber; /* next archive number: -1, -2, ... */
/* Which archive each open entry handle reads from: indexed by the handle's
 * slot (~handle), null for a slot that holds no entry. Guarded by
 * FILEbiglist's mutex. An archive is not unmounted while it has entries. */
extern BIGFILE** FILEbigentries;
extern int32_t FILEbigentrycount;
extern int32_t FILEstop;      /* set by FILESYS_shutdown, never cleared */

/* ---- Engine ---- */

/* handles: native open-file table size (0: 64); reserved: unused; ops:
 * records wanted (0: 64; every record that fits the page-rounded pool is
 * used). Returns 1; does nothing when already initialised. */
int32_t FILESYS_init(int32_t handles, int32_t reserved, int32_t ops);
/* Ends every device thread and releases queues, pool and tables. Safe to call
 * twice. The file system cannot be initialised again afterwards. */
void FILESYS_shutdown(void);

/* Takes a free record for device (0..31), numbers it and starts the device's
 * thread if needed; the record is not queued yet. Null (after an alert) when
 * the pool is exhausted or the device is out of range. */
FILEOP* FILE_allocateop(uint32_t type, int32_t priority, uintptr_t context, int32_t device);
/* Queues an allocated record on its device; returns its operation number. */
uint32_t FILE_queueop(FILEOP* op);
/* Starts the device's worker thread unless it runs. */
void FILE_startdevice(int32_t device);
/* The worker thread's routine; param is the device number. */
void FILE_devicethread(uint32_t device);
/* With the device lock held: the record with this number in the device, and
 * state -1 (running), 1 (pending) or 0 (completed or not found). */
FILEOP* FILE_findop(FILEDEVICE* device, uint32_t op, int32_t* state);
/* The pending queue's key: priority * 2^24 + the number's 24-bit serial. */
uint32_t FILE_opkey(void* element, intptr_t context);
/* Gives the record a private page-memory copy of path (null: ""). */
void FILE_copyname(FILEOP* op, const char* path);

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

/* Opens by name. A path with "|" names an entry of a mounted archive: the
 * text before the first bar must equal a mount path exactly (empty: any
 * archive), the text after it is the entry name; it is never tried on disk.
 * Any other path is opened on disk and, when that fails and search is set,
 * looked for in the mounted archives in mount order. Entries compare without
 * regard to ASCII letter case. Native handle or 0. */
int32_t FILE_openname(const char* path, uint32_t mode, int32_t search);

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
 * failed, cancelled or short piece. */
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

/* The body of FILESYS_read and FILESYS_write, and the callback that chains
 * its pieces (context: the FILETRANSFER's address). */
int32_t FILE_transfer(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority,
                      FILETRANSFEROP frontend);
void FILE_transferchunk(uint32_t op, int32_t status, uintptr_t context);

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
