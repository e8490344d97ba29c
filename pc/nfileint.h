/* The file system's engine internals, shared by pc/nfile.cpp and the tests
 * that look inside it: the operation record and the device, the mounted
 * archive record, the process-wide tables, and the engine's own steps.
 * Programs use include/vorl/nfile.h, which has everything they call. */
#ifndef VORL_PC_NFILEINT_H
#define VORL_PC_NFILEINT_H

#include <stdint.h>

#include "vorl/mutex.h"
#include "vorl/nfile.h"
#include "vorl/queue.h"
#include "vorl/thread.h"

#ifdef __cplusplus
extern "C" {
#endif

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

/* Record flags (FILEOP.flags); cleared at allocation. */
#define FOPF_OWNNAME 0x1u   /* pointer holds a private copy of a path */
#define FOPF_CANCELLED 0x2u /* FILESYS_cancelop reached the record */
#define FOPF_CALLBACK 0x4u  /* a callback was registered */
#define FOPF_CALLED 0x8u    /* the callback has been called */

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
    uint32_t arg;  /* open flags, file position, size obtained, existence */
    int32_t count; /* bytes asked for and then done, new file size */
    void* pointer; /* name copy, caller's buffer or archive record */
} FILEOP;

/* One file device: a worker thread and its queues. */
typedef struct FILEDEVICE {
    uint32_t running; /* 1 while the thread runs; a device at 0 is absent */
    THREAD thread;
    FILEOP* current;   /* record being carried out, null between records */
    QUEUE pending;     /* waiting records, ordered by FILE_opkey */
    QUEUE completed;   /* finished or cancelled, not yet collected; peer of pending */
    void* wake;        /* auto-reset: look at pending again */
    MUTEX* mutex;      /* held for the length of a transaction */
    void* done;        /* manual-reset: set by the thread once it runs */
    uint32_t serial;   /* next serial, 1..2^24-1 */
    int32_t limit;     /* only records with priority <= limit are carried out */
    uint32_t calling;  /* number whose completion callback the thread is running */
    void* waiters;     /* threads blocked in FILESYS_waitop or a blocking transfer */
    void* held;        /* the file system's own handle to the thread, for THREAD_join */
    uint32_t parked;   /* 1 while the thread waits (or is about to wait) on wake; set under the lock */
    uint32_t finished; /* records finished or cancelled so far, counted once the lock is let go */
    uint32_t queued;   /* records queued so far, counted once the lock is let go */
    uint32_t started;  /* records taken up so far, counted once the lock is let go */
} FILEDEVICE;

/* A mounted archive (one page-memory block each). */
typedef struct BIGFILE {
    struct BIGFILE* link;
    int32_t number;    /* -1, -2, ... in the order of the mount requests */
    uint32_t device;   /* device of the archive's path */
    int32_t handle;    /* native handle of the open archive; 0 until opened */
    void* base;        /* the mapped archive; null when it could not be mapped */
    char name[260];    /* the path as given to the mount (at most 259 characters) */
    int32_t size;      /* bytes mapped at base: no lookup or entry reaches beyond them */
    void* index;       /* page-memory copy of the header and index, read at the mount; null when none */
    int32_t indexsize; /* bytes at index: lookups read only these, never the mapping */
} BIGFILE;

/* One blocking read or write, on the caller's stack for the call's length. */
typedef uint32_t (*FILETRANSFEROP)(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority,
                                   uintptr_t context);
typedef struct FILETRANSFER {
    int32_t priority;
    int32_t handle;
    int32_t position;  /* file position of the next piece */
    int32_t remaining; /* bytes still to move; 0 ends the transfer */
    int32_t total;     /* bytes moved so far */
    int32_t piece;     /* length of the piece in flight */
    uint8_t* buffer;   /* address of the next piece */
    FILETRANSFEROP frontend;
    uint32_t current; /* operation number of the piece in flight, 0 when none */
    void* event;      /* set, under the device lock, when the transfer ends */
    uint32_t error;   /* last-error code of the piece that failed, 0 while none has */
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
extern int32_t FILEshutdowns; /* how many shutdowns there have been: a device thread runs until it changes */

/* ---- Engine steps ---- */

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

/* Opens by name. A path with "|" names an entry of a mounted archive: the
 * text before the first bar must equal a mount path exactly (empty: any
 * archive), the text after it is the entry name; it is never tried on disk.
 * Any other path is opened on disk and, when that fails and search is set,
 * looked for in the mounted archives in mount order. Entries compare without
 * regard to ASCII letter case. Native handle or 0. */
int32_t FILE_openname(const char* path, uint32_t mode, int32_t search);

/* The body of FILESYS_read and FILESYS_write, and the callback that chains
 * its pieces (context: the FILETRANSFER's address). */
int32_t FILE_transfer(int32_t handle, int32_t position, void* buffer, int32_t length, int32_t priority,
                      FILETRANSFEROP frontend);
void FILE_transferchunk(uint32_t op, int32_t status, uintptr_t context);

/* What the device thread does for a read or write record (pc/file.cpp):
 * seekfile and then readfromfile or writetofile, under one hold of the
 * drive lock. 0 when the seek failed; else 1, with *moved the bytes moved
 * and the last-error code that of the transfer. */
int32_t FILE_transferat(int32_t handle, int32_t position, void* buffer, uint32_t count, int32_t write, uint32_t* moved);

#ifdef __cplusplus
}
#endif

#endif
