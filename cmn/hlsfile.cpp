// Whole-file services over the file system's blocking calls. Each entry point
// packs its arguments and its report flag (1 for the plain entry, 0 for the
// quiet one) into a parameter block and runs its worker as one transaction on
// the device that serves the path; the worker opens at the transaction's
// priority and issues every later operation one step more urgent, so that
// none of them waits behind the transaction's own limit.
#include <cstring>

#include "vorl/alert.h"
#include "vorl/big.h"
#include "vorl/nfile.h"
#include "vorl/hlsfile.h"
#include "vorl/pagemem.h"
#include "vorl/memory.h"
#include "vorl/thread.h"

static const char MODULE_FILE[] = "cmn/hlsfile";

// Platform codes this module hands back itself (Windows numbering).
static const uint32_t FILE_ERRORMEMORY = 8;      // no memory for the block
static const uint32_t FILE_ERROREXISTS = 80;     // a create-new found the file
static const uint32_t FILE_ERRORPARAMETER = 87;  // a negative length

int32_t FILE_defaultpriority = 100;
FILELOADFILTER FILE_loadfilter = nullptr;

// One block for every service; each worker uses the fields it needs.
struct FILEPARAMS {
    const char* path;
    uint32_t type;
    void* address;
    int32_t length;
    const void* source;
    int32_t count;
    const char* const* paths;
    void** results;
    void* block;     // the block a load returns
    int32_t report;  // 1: raise the service's alerts
    uint32_t error;  // platform code of the failed step, 0 when none
};

static FILEPARAMS FILE_params(const char* path, int32_t report)
{
    FILEPARAMS params;
    memset(&params, 0, sizeof params);
    params.path = path;
    params.report = report;
    return params;
}

static int32_t FILE_run(FILEATOMICROUTINE worker, const char* transactionpath, FILEPARAMS* params)
{
    int32_t result = FILESYS_atomic(worker, FILESYS_pathdevice(transactionpath), FILE_defaultpriority, params);
    // Set last, so that nothing the transaction does afterwards overwrites it.
    SYS_setlasterror(params->error);
    return result;
}

static void FILE_report(const FILEPARAMS* params, int32_t line, const char* format)
{
    if (!params->report)
        return;
    ALERT_raiseat(MODULE_FILE, line, format, params->path);
}

// Waits for a queued operation and collects it; when it failed, keeps the
// platform's reason unless an earlier step already gave one. The blocking
// calls drop the reason when they collect.
static uint32_t FILE_collect(uint32_t op, int32_t* status, uint32_t* error)
{
    *status = FILESYS_waitop(op);
    if (*status != FOPS_DONE && *error == 0)
        *error = FILESYS_errorop(op);
    return FILESYS_completeop(op);
}

// FILESYS_open that also keeps the platform's reason for a failure.
static int32_t FILE_openfor(const char* path, uint32_t flags, int32_t priority, int32_t* handle, uint32_t* error)
{
    *handle = 0;
    uint32_t op = FILESYS_openop(path, flags, priority, 0);
    if (op == 0)
        return 0;
    int32_t status;
    *handle = static_cast<int32_t>(FILE_collect(op, &status, error));
    return status == FOPS_DONE && *handle != 0;
}

// Every read-only open: failing, it raises the service's open alert.
static int32_t FILE_openread(FILEPARAMS* params, int32_t priority, int32_t line, const char* alert, int32_t* handle)
{
    if (FILE_openfor(params->path, FOPEN_READ, priority, handle, &params->error))
        return 1;
    FILE_report(params, line, alert);
    return 0;
}

// A block labelled with the path and stamped with this module as its owner.
static void* FILE_allocate(FILEPARAMS* params, int32_t size, int32_t line)
{
    ALERTfile = MODULE_FILE;
    ALERTline = line;
    void* block = MEM_alloc(params->path, size, params->type);
    if (!block)
        params->error = FILE_ERRORMEMORY;
    return block;
}

// The block for a file open at handle; when the heap has no room, null with
// the failure reported (format names the service) and the file closed.
static void* FILE_allocateopen(FILEPARAMS* params, int32_t handle, int32_t priority, int32_t size, int32_t line,
                               const char* format)
{
    void* block = FILE_allocate(params, size, line);
    if (!block) {
        FILE_report(params, line, format);
        FILESYS_close(handle, priority - 1);
    }
    return block;
}

static int32_t FILE_sizeworker(int32_t priority, void* parameter)
{
    FILEPARAMS* params = static_cast<FILEPARAMS*>(parameter);
    int32_t handle;
    if (!FILE_openread(params, priority, __LINE__, "FILE_size - unable to open file %s\n", &handle))
        return 0;
    int32_t size = FILESYS_length(handle, priority - 1);
    FILESYS_close(handle, priority - 1);
    return size;
}

// FILESYS_read (or with write FILESYS_write), keeping the reason when a
// piece failed: -1 then, since the count of what came before it would pass
// for a shorter file.
static int32_t FILE_moveall(FILEPARAMS* params, int32_t handle, int32_t position, void* buffer, int32_t length,
                            int32_t priority, bool write)
{
    int32_t got = write ? FILESYS_write(handle, position, buffer, length, priority)
                        : FILESYS_read(handle, position, buffer, length, priority);
    uint32_t error = SYS_getlasterror();
    if (error == 0)
        return got;
    if (params->error == 0)
        params->error = error;
    return -1;
}

static int32_t FILE_readall(FILEPARAMS* params, int32_t handle, int32_t position, void* buffer, int32_t length,
                            int32_t priority)
{
    return FILE_moveall(params, handle, position, buffer, length, priority, false);
}

static int32_t FILE_loadworker(int32_t priority, void* parameter)
{
    FILEPARAMS* params = static_cast<FILEPARAMS*>(parameter);
    int32_t handle;
    if (!FILE_openread(params, priority, __LINE__, "FILE_load - unable to open file %s\n", &handle))
        return 0;
    int32_t size = FILESYS_length(handle, priority - 1);
    void* buffer = FILE_allocateopen(params, handle, priority, size, __LINE__,
                                     "FILE_load - unable to reserve memory for file %s\n");
    if (!buffer)
        return 0;
    int32_t got = FILE_readall(params, handle, 0, buffer, size, priority - 1);
    FILESYS_close(handle, priority - 1);
    // A file that shrank since its size was asked would leave the block's
    // tail unread: such a load fails rather than hand out that tail.
    if (got != size) {
        MEM_free(buffer);
        FILE_report(params, __LINE__, "FILE_load - unable to read file %s\n");
        return 0;
    }
    if (FILE_loadfilter) {
        void* filtered = FILE_loadfilter(buffer, params->path, params->type);
        if (!filtered)
            MEM_free(buffer);
        buffer = filtered;
    }
    params->block = buffer;
    return buffer != nullptr;
}

static int32_t FILE_loadatworker(int32_t priority, void* parameter)
{
    FILEPARAMS* params = static_cast<FILEPARAMS*>(parameter);
    int32_t handle;
    if (!FILE_openread(params, priority, __LINE__, "FILE_loadat - unable to open file %s\n", &handle))
        return 0;
    int32_t length = params->length > 0 ? params->length : 2147483647;
    int32_t got = FILE_readall(params, handle, 0, params->address, length, priority - 1);
    FILESYS_close(handle, priority - 1);
    return got < 0 ? 0 : got;
}

static int32_t FILE_scatterworker(int32_t priority, void* parameter)
{
    FILEPARAMS* params = static_cast<FILEPARAMS*>(parameter);
    int32_t result = 1;
    uint32_t error = 0;
    for (int32_t i = 0; i < params->count; i++) {
        // Each load runs its own transaction on its own path's device.
        params->results[i] = FILE_loadquiet(params->paths[i], params->type);
        if (!params->results[i]) {
            result = 0;
            if (error == 0)
                error = SYS_getlasterror();
            if (params->report) {
                ALERT_raise(MODULE_FILE, "FILE_scatterload - unable to load file %s\n", params->paths[i]);
            }
        }
    }
    params->error = error;
    return result;
}

static int32_t FILE_bigheaderworker(int32_t priority, void* parameter)
{
    FILEPARAMS* params = static_cast<FILEPARAMS*>(parameter);
    int32_t handle;
    if (!FILE_openread(params, priority, __LINE__, "FILE_loadbigheader - unable to open file %s\n", &handle))
        return 0;
    uint8_t* buffer =
        static_cast<uint8_t*>(FILE_allocateopen(params, handle, priority, FILE_BIGHEADERSIZE, __LINE__,
                                                "FILE_loadbigheader - unable to reserve memory for file %s\n"));
    if (!buffer)
        return 0;
    int32_t got = FILE_readall(params, handle, 0, buffer, FILE_BIGHEADERSIZE, priority - 1);
    if (got < 0) {
        FILE_report(params, __LINE__, "FILE_loadbigheader - unable to read file %s\n");
        MEM_free(buffer);
        FILESYS_close(handle, priority - 1);
        return 0;
    }
    // Past the end of a short file the block holds zeros, never stale bytes.
    if (got < FILE_BIGHEADERSIZE)
        MEM_fill(buffer + got, 0, FILE_BIGHEADERSIZE - got);
    // The layout is asked without alert, so the quiet form raises none; the
    // loud one still names the fault as typeofbigfile does.
    if (BIG_layout(buffer, FILE_BIGHEADERSIZE) == 0) {
        if (params->report)
            typeofbigfile(buffer);
        FILE_report(params, __LINE__, "FILE_loadbigheader - invalid big file header in file %s\n");
        MEM_free(buffer);
        FILESYS_close(handle, priority - 1);
        return 0;
    }
    uint32_t size = BIG_indexsize(buffer, FILE_BIGHEADERSIZE);
    // The header's claim is untrusted: nothing is reserved for an index
    // longer than the file, which the check below then fails.
    if (size > FILE_BIGHEADERSIZE && got == FILE_BIGHEADERSIZE &&
        size <= static_cast<uint32_t>(FILESYS_length(handle, priority - 1))) {
        uint8_t* larger = static_cast<uint8_t*>(FILE_allocate(params, static_cast<int32_t>(size), __LINE__));
        if (!larger) {
            FILE_report(params, __LINE__, "FILE_loadbigheader - unable to reserve memory for file %s\n");
            MEM_free(buffer);
            FILESYS_close(handle, priority - 1);
            return 0;
        }
        MEM_copy(larger, buffer, FILE_BIGHEADERSIZE);
        MEM_free(buffer);
        buffer = larger;
        int32_t rest = static_cast<int32_t>(size) - FILE_BIGHEADERSIZE;
        int32_t more =
            FILE_readall(params, handle, FILE_BIGHEADERSIZE, buffer + FILE_BIGHEADERSIZE, rest, priority - 1);
        got = more < 0 ? 0 : got + more;
    }
    FILESYS_close(handle, priority - 1);
    // An index that runs past the end of the file is not an index: the
    // lookups would walk into bytes the file never had.
    if (static_cast<uint32_t>(got) < size) {
        FILE_report(params, __LINE__, "FILE_loadbigheader - unable to read file %s\n");
        MEM_free(buffer);
        return 0;
    }
    params->block = buffer;
    return 1;
}

// Opens the file for writing without truncating it, or creates it when it is
// missing. A create that finds the file after all keeps the first reason.
static int32_t FILE_openwrite(FILEPARAMS* params, int32_t priority, int32_t* handle)
{
    if (FILE_openfor(params->path, 0, priority, handle, &params->error))
        return 1;
    uint32_t first = params->error;
    params->error = 0;
    if (FILE_openfor(params->path, FOPEN_CREATE, priority, handle, &params->error))
        return 1;
    if (params->error == FILE_ERROREXISTS || params->error == 0)
        params->error = first;
    return 0;
}

static int32_t FILE_saveworker(int32_t priority, void* parameter)
{
    FILEPARAMS* params = static_cast<FILEPARAMS*>(parameter);
    int32_t handle;
    if (!FILE_openwrite(params, priority, &handle)) {
        FILE_report(params, __LINE__, "FILE_save - unable to open file %s\n");
        return 0;
    }
    // The new contents go over the old ones; only a complete write may then
    // cut the file to its new length, so a failure loses no byte that was
    // not already overwritten. A failed save that wrote past the old end
    // gives the file its old length back.
    int32_t status = FOPS_FAILED;
    uint32_t unused = 0;
    uint32_t op = FILESYS_lengthop(handle, priority - 1, 0);
    int32_t oldlength = op ? static_cast<int32_t>(FILE_collect(op, &status, &unused)) : 0;
    bool known = op && status == FOPS_DONE;
    void* source = const_cast<void*>(params->source);
    int32_t ok = FILE_moveall(params, handle, 0, source, params->length, priority - 1, true) == params->length;
    if (ok || (known && params->length > oldlength)) {
        op = FILESYS_setlengthop(handle, ok ? params->length : oldlength, priority - 1, 0);
        int32_t set = op != 0 && FILE_collect(op, &status, &params->error) == 1;
        ok = ok && set;
    }
    // The handle is closed on this thread as the close is collected, so the
    // thread's own last-error code holds the reason when it fails.
    if (!FILESYS_close(handle, priority - 1)) {
        if (params->error == 0)
            params->error = SYS_getlasterror();
        ok = 0;
    }
    if (!ok)
        FILE_report(params, __LINE__, "FILE_save - failure writing to file %s\n");
    return ok;
}

int32_t FILE_exists(const char* path) { return FILESYS_exists(path, FILE_defaultpriority); }

static int32_t FILE_sizeentry(const char* path, int32_t report)
{
    FILEPARAMS params = FILE_params(path, report);
    return FILE_run(FILE_sizeworker, path, &params);
}

int32_t FILE_size(const char* path) { return FILE_sizeentry(path, 1); }
int32_t FILE_sizequiet(const char* path) { return FILE_sizeentry(path, 0); }

static void* FILE_loadentry(const char* path, uint32_t type, int32_t report)
{
    FILEPARAMS params = FILE_params(path, report);
    params.type = type;
    FILE_run(FILE_loadworker, path, &params);
    return params.block;
}

void* FILE_load(const char* path, uint32_t type) { return FILE_loadentry(path, type, 1); }
void* FILE_loadquiet(const char* path, uint32_t type) { return FILE_loadentry(path, type, 0); }

static int32_t FILE_loadatentry(const char* path, void* address, int32_t maxlength, int32_t report)
{
    FILEPARAMS params = FILE_params(path, report);
    params.address = address;
    params.length = maxlength;
    return FILE_run(FILE_loadatworker, path, &params);
}

int32_t FILE_loadat(const char* path, void* address, int32_t maxlength)
{
    return FILE_loadatentry(path, address, maxlength, 1);
}

int32_t FILE_loadatquiet(const char* path, void* address, int32_t maxlength)
{
    return FILE_loadatentry(path, address, maxlength, 0);
}

static int32_t FILE_scatterentry(int32_t count, const char* const* paths, void** results, uint32_t type, int32_t report)
{
    if (count < 1 || !paths || !results)
        return 0;
    FILEPARAMS params = FILE_params(paths[0], report);
    params.count = count;
    params.paths = paths;
    params.results = results;
    params.type = type;
    return FILE_run(FILE_scatterworker, paths[0], &params);
}

int32_t FILE_scatterload(int32_t count, const char* const* paths, void** results, uint32_t type)
{
    return FILE_scatterentry(count, paths, results, type, 1);
}

int32_t FILE_scatterloadquiet(int32_t count, const char* const* paths, void** results, uint32_t type)
{
    return FILE_scatterentry(count, paths, results, type, 0);
}

static void* FILE_bigheaderentry(const char* path, uint32_t type, int32_t report)
{
    FILEPARAMS params = FILE_params(path, report);
    params.type = type;
    FILE_run(FILE_bigheaderworker, path, &params);
    return params.block;
}

void* FILE_loadbigheader(const char* path, uint32_t type) { return FILE_bigheaderentry(path, type, 1); }
void* FILE_loadbigheaderquiet(const char* path, uint32_t type) { return FILE_bigheaderentry(path, type, 0); }

static int32_t FILE_saveentry(const char* path, const void* buffer, int32_t length, int32_t report)
{
    FILEPARAMS params = FILE_params(path, report);
    // Refused before the file is opened: a negative length would write a
    // count near 4 GiB of whatever memory follows the buffer.
    if (length < 0) {
        FILE_report(&params, __LINE__, "FILE_save - failure writing to file %s\n");
        SYS_setlasterror(FILE_ERRORPARAMETER);
        return 0;
    }
    params.source = buffer;
    params.length = length;
    return FILE_run(FILE_saveworker, path, &params);
}

int32_t FILE_save(const char* path, const void* buffer, int32_t length)
{
    return FILE_saveentry(path, buffer, length, 1);
}

int32_t FILE_savequiet(const char* path, const void* buffer, int32_t length)
{
    return FILE_saveentry(path, buffer, length, 0);
}
