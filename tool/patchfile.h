// One run of tarlok on a path: start the library, load the save, patch it,
// write it back unless it changed meanwhile, stop the library.
#ifndef TARLOK_PATCHFILE_H
#define TARLOK_PATCHFILE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Exit statuses of a run.
#define TARLOK_SAVED 1
#define TARLOK_NOTSAVED 2

// Patches the save at path and returns the run's exit status: TARLOK_SAVED,
// TARLOK_NOTSAVED (with "tarlok: PATH: not saved: REASON" on standard
// error) or, when the save step was not reached, what printing the usage
// line returned (25).
int32_t TARLOK_run(const char* path);

// Called, when set, between the patch and the check that comes before the
// save: tests stand in for another program writing the file then.
extern void (*TARLOK_beforesave)(const char* path);

#ifdef __cplusplus
}
#endif

#endif
