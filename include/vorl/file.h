/* The native file layer and its path services: the only part of the library
 * that calls the platform's file services. Open files live in a table of
 * slots (64 unless initfiles says otherwise); a native file handle is the
 * bitwise NOT of a slot's index (-1, -2, ...), 0 for no file. Every transfer
 * on one device number holds that device's mutex, so transfers on one drive
 * never interleave while different drives proceed in parallel.
 *
 * Device number: 1 for drive A up to 26 for Z, 0 for a path without a drive
 * letter (every POSIX path, a network path, a name with "|" in it). */
#ifndef VORL_FILE_H
#define VORL_FILE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Open mode bits. */
#define FM_READ 0x0001u
#define FM_WRITE 0x0002u
#define FM_SHAREREAD 0x0004u
#define FM_SHAREWRITE 0x0008u
#define FM_CREATE 0x0010u
#define FM_TRUNCATE 0x0020u
#define FM_NOBUFFER 0x0100u
#define FM_SEQUENTIAL 0x0200u
#define FM_WRITETHROUGH 0x0400u
#define FM_MAP 0x0800u

#define FILE_DEFAULTHANDLES 64
#define FILE_DEFAULTBLOCK 16384
#define FILE_DEVICES 32
/* Working path buffers hold this many bytes, the terminating NUL included. */
#define FILE_PATHSIZE 260
/* getdirectory's buffer holds at least this many bytes. */
#define FILE_DIRECTORYSIZE 511

/* One slot of the open-file table. */
typedef struct FILEREC {
    uint8_t inuse;      /* 1 while the slot holds an open file (2 while it is being closed), 0 when free */
    uint8_t device;     /* device number of the file's drive */
    uint8_t reading;    /* 1 while readfromfile runs; cancelread clears it */
    uint8_t placed;     /* 1 while the platform's file pointer is known to stand at position */
    void* handle;       /* platform file handle; all ones for a memory file */
    uint32_t mode;      /* FM_* bits as opened; FM_MAP cleared when not mapped */
    uint32_t blocksize; /* most bytes moved by one platform call or copy */
    void* mapping;      /* platform mapping handle; all ones when no mapping was asked for */
    void* view;         /* mapped address or memory file's data; null when not mapped */
    int32_t position;   /* current byte offset */
    int32_t size;       /* file size in bytes as the layer knows it */
} FILEREC;

/* Report level of the "[FILE]" messages (printed when it is 1 or more). */
extern int32_t filereportlevel;

/* The table. */
void initfiles(int32_t capacity);
void shutdownfiles(void);
int32_t filetableexists(void);

/* Files. Operations on a handle set ERROR_INVALID_HANDLE and return 0 for an
 * invalid one, and otherwise clear the last-error code first, so that a
 * non-zero code afterwards is that of a platform call that failed. */
int32_t openfile(const char* path, uint32_t mode, uint32_t blocksize, int32_t* handle);
int32_t openmemoryfile(void* base, int32_t size, int32_t device, uint32_t blocksize, int32_t* handle);
int32_t closefile(int32_t handle);
uint32_t readfromfile(int32_t handle, void* buffer, uint32_t count);
uint32_t writetofile(int32_t handle, const void* buffer, uint32_t count);
int32_t seekfile(int32_t handle, int32_t position);
int32_t tellfile(int32_t handle);
int32_t setendfile(int32_t handle, int32_t position);
int32_t getfileinfo(int32_t handle, uint32_t* mode, uint32_t* blocksize, int32_t* size, uint32_t* freebytes);
void* getfileaddress(int32_t handle);
int32_t getfiledevice(int32_t handle);
int32_t cancelread(int32_t handle);
int32_t lockfiledevice(int32_t handle);
int32_t unlockfiledevice(int32_t handle);
int32_t removefile(const char* path);

/* Paths, drives and directories. */
int32_t canonicalpath(const char* path, char* out, int32_t outsize);
void rootofpath(const char* path, char* out);
int32_t isseparator(int32_t character);
int32_t findlogicaldrive(const char* path, char* root);
int32_t driveofpath(const char* path);
int32_t devicenumberofpath(const char* path);
uint32_t diskfreespace(const char* root);
int32_t setdirectory(const char* path);
int32_t getdirectory(char* buffer);

#ifdef __cplusplus
}
#endif

#endif
