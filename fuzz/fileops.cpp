// Random sequences of file operations on three scratch files, checked against
// a model of each file's bytes. The input is a list of steps: open (read-only,
// read-only mapped, open existing, create new, truncate existing, create or
// replace), close, read and write at an offset (below 64 KiB; written bytes
// come from the input), length, set length (cut or extend), a null operation,
// cancel of a queued operation, a new priority for a queued operation, a wait
// that collects, and transactions; each operation in its blocking form or as
// a queued record. Checked: every status and result, every byte read (and
// that nothing is written past what was read into the caller's buffer), the
// length, that a callback is called exactly once, and at the end of each input
// the files on disk (read with plain POSIX calls), that every record is back
// in the pool, that no native handle is left open, and that the heap holds.
//
// Order relied on. A device carries its records out one at a time, the lowest
// priority number first and, among equal priorities, the oldest first (the
// pending queue's key is priority * 2^24 + the 24-bit serial of the number).
// A record is taken up only when the device's thread looks at pending, so two
// records queued at different priorities may run in either order if the
// thread was quick. Outside transactions every record is therefore queued at
// a priority no lower than (a number no smaller than) every record still
// uncollected, and a new priority moves a record above all others: records
// then run in the order queued (the serial is kept away from its wrap-round
// by collecting everything first). Inside a transaction (FILESYS_atomic at
// limit L on the files' device) records above L stay pending until the
// transaction ends and then run in key order, while records at or below L
// (waited for at once) run meanwhile; cancelling or re-prioritising a held
// record is thus exact. A close takes effect when it is collected. Writes are
// not stopped by a cancel once running; a running read is stopped at a block,
// so its bytes are checked as far as it got. Whether a cancelled record never
// ran is what its callback says: a record taken out of pending is called back
// at once, on the cancelling thread.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzzinput.h"
#include "fuzzscratch.h"
#include "pc/nfileint.h"
#include "platform/vplatform.h"
#include "vorl/alert.h"
#include "vorl/file.h"
#include "vorl/memory.h"

namespace {

const int FILES = 3;
const int MAXSTEPS = 48;
const int32_t SPAN = 65536;  // offsets, lengths and sizes stay below this
const uint8_t UNTOUCHED = 0xA5;

std::string paths[FILES];
std::thread::id mainthread;

void fail(const char* what)
{
    fprintf(stderr, "fileops: %s\n", what);
    abort();
}

int32_t alerted(const char* format, ...)
{
    fprintf(stderr, "fileops: alert: %s", format);
    abort();
}

// ---- Callbacks: how often each record was called back, and whether a
// cancel called it back at once on this thread.

std::mutex calllock;
std::map<uint32_t, int> calls;
std::atomic<uint32_t> cancelling{0};
bool calledatonce = false;

void noted(uint32_t op, int32_t status, uintptr_t)
{
    std::lock_guard<std::mutex> hold(calllock);
    calls[op]++;
    if (op == cancelling.load() && std::this_thread::get_id() == mainthread && status == FOPS_CANCELLED)
        calledatonce = true;
}

int callcount(uint32_t op)
{
    std::lock_guard<std::mutex> hold(calllock);
    auto found = calls.find(op);
    int count = found == calls.end() ? 0 : found->second;
    calls.erase(op);
    return count;
}

// ---- The model.

struct MODELFILE {
    bool exists = false;
    std::string bytes;
    int32_t handle = 0;  // 0 when not open (or its close is queued)
    bool writable = false;
};
MODELFILE files[FILES];

enum KIND { OPEN, CLOSE, READ, WRITE, LENGTH, SETLENGTH, NOTHING };

// A queued record not collected yet.
struct QUEUED {
    uint32_t op = 0;
    KIND kind = NOTHING;
    int file = 0;
    int32_t position = 0, length = 0;
    bool writable = false;
    std::vector<uint8_t> buffer;  // what a read reads into, or what a write writes
    bool cancelled = false;       // a cancel reached it
    bool neverran = false;        // the cancel took it out of pending
    uint8_t priority = 0;
    uint32_t key() const { return (static_cast<uint32_t>(priority) << 24) | ((op >> 5) & 0xFFFFFF); }
};

std::deque<QUEUED> outstanding;  // in the order they will run (outside transactions)
uint32_t lastserial = 0;

int32_t filedevice() { return FILESYS_pathdevice(paths[0].c_str()); }

// Reads what a record at position reads from the model: the position is
// clamped to the file, the count to what lies behind it.
std::string modelread(const std::string& bytes, int32_t position, int32_t length)
{
    size_t at = std::min(static_cast<size_t>(position), bytes.size());
    return bytes.substr(at, std::min(static_cast<size_t>(length), bytes.size() - at));
}

// Writes at position, clamped to the end of the file; the file grows.
void modelwrite(std::string& bytes, int32_t position, const uint8_t* data, int32_t length)
{
    size_t at = std::min(static_cast<size_t>(position), bytes.size());
    if (at + length > bytes.size())
        bytes.resize(at + length);
    if (length > 0)
        memcpy(&bytes[at], data, length);
}

void checkread(const QUEUED& record, const std::string& expected, int32_t count, bool whole)
{
    if (whole ? count != static_cast<int32_t>(expected.size()) : count > static_cast<int32_t>(expected.size()))
        fail("a read moved a different count");
    if (count > 0 && memcmp(record.buffer.data(), expected.data(), count) != 0)
        fail("a read gave bytes that the file does not hold");
    for (size_t at = std::max(count, 0); at < record.buffer.size(); at++)
        if (record.buffer[at] != UNTOUCHED)
            fail("a read wrote past the bytes it read");
}

// Checks one collected record against the model and applies it. status is
// FILESYS_waitop's, result FILESYS_completeop's.
void settle(QUEUED& record, int32_t status, uint32_t result)
{
    MODELFILE& file = files[record.file];
    if (record.neverran) {
        if (status != FOPS_CANCELLED)
            fail("a record cancelled while waiting has not the cancelled status");
        if ((record.kind == READ || record.kind == WRITE) && result != static_cast<uint32_t>(record.length))
            fail("a record cancelled while waiting changed its count");
        if ((record.kind == OPEN || record.kind == LENGTH || record.kind == NOTHING) && result != 0)
            fail("a record cancelled while waiting gave a result");
        if (record.kind == READ)
            checkread(record, "", 0, true);
        return;
    }
    // A cancel that came after the record had completed changed nothing; one
    // that reached it while it ran leaves the cancelled status.
    bool cancelled = status == FOPS_CANCELLED;
    bool cancellable = record.kind != CLOSE && record.kind != SETLENGTH;
    if (cancelled && !(record.cancelled && cancellable))
        fail("a record has the cancelled status that no cancel could give it");
    int32_t done = cancelled ? FOPS_CANCELLED : FOPS_DONE;
    int32_t failed = cancelled ? FOPS_CANCELLED : FOPS_FAILED;
    switch (record.kind) {
    case READ: {
        if (status != done)
            fail("a read failed");
        checkread(record, modelread(file.bytes, record.position, record.length), static_cast<int32_t>(result),
                  !cancelled);
        break;
    }
    case WRITE:
        if (record.writable) {
            if (status != done || result != static_cast<uint32_t>(record.length))
                fail("a write did not write everything");
            modelwrite(file.bytes, record.position, record.buffer.data(), record.length);
        } else if ((status != failed && record.length > 0) || result != 0) {
            // (Writing no bytes needs no write access: it may succeed.)
            fail("a write through a read-only handle did not fail");
        }
        break;
    case LENGTH:
        if (status != done || result != file.bytes.size())
            fail("a length differs from the model's");
        break;
    case SETLENGTH:
        if (record.writable) {
            if (status != FOPS_DONE || result != 1)
                fail("a set length failed");
            file.bytes.resize(record.length, '\0');
        } else if (status != FOPS_FAILED || result != 0) {
            fail("a set length through a read-only handle did not fail");
        }
        break;
    case CLOSE:
        if (status != FOPS_DONE || result != 1)
            fail("a close failed");
        break;
    case NOTHING:
        if (status != done || result != 0)
            fail("a null operation failed");
        break;
    case OPEN: break;  // opens are waited for where they are queued
    }
}

// Waits for and collects the first count records of the list, which have run
// in that order.
void collect(std::deque<QUEUED>& list, size_t count)
{
    // All of them have run before any is collected: a close takes effect only
    // when it is collected, and records after it may still use the handle.
    count = std::min(count, list.size());
    std::vector<int32_t> statuses;
    for (size_t index = 0; index < count; index++)
        statuses.push_back(FILESYS_waitop(list[index].op));
    for (size_t index = 0; index < count; index++) {
        QUEUED& record = list.front();
        int32_t status = statuses[index];
        if (FILESYS_statusop(record.op) != status)
            fail("status and wait disagree");
        uint32_t result = FILESYS_completeop(record.op);
        if (callcount(record.op) != 1)
            fail("a callback was not called exactly once");
        if (FILESYS_statusop(record.op) != FOPS_UNKNOWN)
            fail("a collected record is still known");
        settle(record, status, result);
        list.pop_front();
    }
}

void drain() { collect(outstanding, outstanding.size()); }

uint8_t highest(const std::deque<QUEUED>& list)
{
    uint8_t high = 0;
    for (const QUEUED& record : list)
        high = std::max(high, record.priority);
    return high;
}

// Queues one record of kind on an open file; false when nothing was queued.
bool queue(QUEUED& record)
{
    MODELFILE& file = files[record.file];
    record.writable = file.writable;
    uintptr_t context = static_cast<uintptr_t>(record.file);
    switch (record.kind) {
    case READ:
        record.buffer.assign(record.length, UNTOUCHED);
        record.op =
            FILESYS_readop(file.handle, record.position, record.buffer.data(), record.length, record.priority, context);
        break;
    case WRITE:
        record.op = FILESYS_writeop(file.handle, record.position, record.buffer.data(), record.length, record.priority,
                                    context);
        break;
    case LENGTH: record.op = FILESYS_lengthop(file.handle, record.priority, context); break;
    case SETLENGTH: record.op = FILESYS_setlengthop(file.handle, record.length, record.priority, context); break;
    case CLOSE:
        record.op = FILESYS_closeop(file.handle, record.priority, context);
        file.handle = 0;
        break;
    case NOTHING: record.op = FILESYS_nullop(filedevice(), record.priority, context); break;
    case OPEN: return false;
    }
    if (!record.op)
        fail("no record could be queued");
    if (FILESYS_deviceop(record.op) != static_cast<uint32_t>(filedevice()) || FILESYS_contextop(record.op) != context)
        fail("a queued record reports another device or context");
    lastserial = (record.op >> 5) & 0xFFFFFF;
    FILESYS_callbackop(record.op, noted);
    return true;
}

// Cancels a queued record and notes whether it was taken out of pending.
void cancel(QUEUED& record)
{
    calledatonce = false;
    cancelling.store(record.op);
    FILESYS_cancelop(record.op);
    cancelling.store(0);
    record.cancelled = true;
    bool cancellable = record.kind != CLOSE && record.kind != SETLENGTH;
    if (calledatonce && !cancellable)
        fail("a record that cannot be cancelled was cancelled");
    if (calledatonce)
        record.neverran = true;
}

// Reads the operation's shape from the input: kind, file, position, length, data.
bool decode(QUEUED& record, uint8_t code, FUZZINPUT& in, const bool* closed)
{
    static const KIND kinds[] = {READ, WRITE, LENGTH, SETLENGTH, CLOSE, NOTHING, READ, WRITE};
    record.kind = kinds[code % 8];
    record.file = (code >> 3) % FILES;
    if (record.kind != NOTHING && (!files[record.file].handle || (closed && closed[record.file])))
        return false;
    if (record.kind == READ || record.kind == WRITE) {
        record.position = in.word();
        uint8_t size = in.byte();
        // Small transfers mostly; now and then one of several pieces.
        record.length = size < 240 ? size : (size - 239) * 1237;
        record.length = std::min(record.length, SPAN - 1);
        if (record.kind == WRITE) {
            uint8_t chunk = std::max<uint8_t>(in.byte(), 1);
            std::vector<uint8_t> pattern;
            for (int at = 0; at < chunk && in.left; at++)
                pattern.push_back(in.byte());
            if (pattern.empty())
                pattern.push_back(static_cast<uint8_t>(code));
            record.buffer.resize(record.length);
            for (int32_t at = 0; at < record.length; at++)
                record.buffer[at] = pattern[at % pattern.size()];
        }
    } else if (record.kind == SETLENGTH) {
        record.length = in.word() % SPAN;
    }
    return true;
}

// The blocking forms of the same operations. Records queued before (at no
// more urgent priority) have run by the time a blocking call returns: they
// are collected into the model before its result is checked.
void blocking(QUEUED& record)
{
    MODELFILE& file = files[record.file];
    switch (record.kind) {
    case READ: {
        record.buffer.assign(record.length, UNTOUCHED);
        int32_t got = FILESYS_read(file.handle, record.position, record.buffer.data(), record.length, record.priority);
        drain();
        // A transfer moves pieces of at most FILE_PIECESIZE and stops at a short one.
        std::string expected;
        int32_t position = record.position;
        for (int32_t left = record.length;;) {
            int32_t piece = std::min(left, FILE_PIECESIZE);
            std::string part = modelread(file.bytes, position, piece);
            expected += part;
            position += static_cast<int32_t>(part.size());
            left -= static_cast<int32_t>(part.size());
            if (static_cast<int32_t>(part.size()) < piece || left <= 0)
                break;
        }
        checkread(record, expected, got, true);
        break;
    }
    case WRITE: {
        int32_t wrote =
            FILESYS_write(file.handle, record.position, record.buffer.data(), record.length, record.priority);
        drain();
        if (!file.writable) {
            if (wrote != 0)
                fail("a write through a read-only handle wrote");
            break;
        }
        if (wrote != record.length)
            fail("a blocking write did not write everything");
        int32_t position = record.position;
        for (int32_t at = 0; at < record.length; at += FILE_PIECESIZE) {
            int32_t piece = std::min(record.length - at, FILE_PIECESIZE);
            modelwrite(file.bytes, position, record.buffer.data() + at, piece);
            position += piece;
        }
        break;
    }
    case LENGTH: {
        int32_t size = FILESYS_length(file.handle, record.priority);
        drain();
        if (size != static_cast<int32_t>(file.bytes.size()))
            fail("a blocking length differs from the model's");
        break;
    }
    case SETLENGTH: {
        int32_t result = FILESYS_setlength(file.handle, record.length, record.priority);
        drain();
        if (result != (file.writable ? 1 : 0))
            fail("a blocking set length gave the wrong result");
        if (file.writable)
            file.bytes.resize(record.length, '\0');
        break;
    }
    case CLOSE:
        if (FILESYS_close(file.handle, record.priority) != 1)
            fail("a blocking close failed");
        drain();
        file.handle = 0;
        break;
    case NOTHING: {
        uint32_t op = FILESYS_nullop(filedevice(), record.priority, 0);
        if (FILESYS_waitop(op) != FOPS_DONE || FILESYS_completeop(op) != 0)
            fail("a null operation failed");
        drain();
        break;
    }
    case OPEN: break;
    }
}

const uint32_t OPENFLAGS[] = {FOPEN_READ,   FOPEN_READ | FOPEN_MAP, 0,
                              FOPEN_CREATE, FOPEN_TRUNCATE,         FOPEN_CREATE | FOPEN_TRUNCATE};

// Whether an open with flags succeeds on the model's file, and what it does to it.
bool opens(const MODELFILE& file, uint32_t flags)
{
    if (flags & FOPEN_READ)
        return file.exists;
    if ((flags & (FOPEN_CREATE | FOPEN_TRUNCATE)) == FOPEN_CREATE)
        return !file.exists;
    if ((flags & (FOPEN_CREATE | FOPEN_TRUNCATE)) == (FOPEN_CREATE | FOPEN_TRUNCATE))
        return true;
    return file.exists;
}

void opened(MODELFILE& file, uint32_t flags)
{
    if (!(flags & FOPEN_READ) && (flags & (FOPEN_CREATE | FOPEN_TRUNCATE)))
        file.bytes.clear();
    file.exists = true;
}

void openstep(FUZZINPUT& in)
{
    uint8_t code = in.byte();
    int index = code % FILES;
    MODELFILE& file = files[index];
    if (file.handle)
        return;
    drain();  // also collects a queued close of this file
    uint32_t flags = OPENFLAGS[(code >> 2) % 6];
    if (code & 0x80)
        flags |= FOPEN_SEQUENTIAL;
    uint8_t form = in.byte();
    uint8_t priority = in.byte();
    bool success = opens(file, flags);
    int32_t handle = 0;
    if (form % 3 == 0) {
        if (FILESYS_open(paths[index].c_str(), flags, priority, &handle) != (success ? 1 : 0) ||
            (handle != 0) != success)
            fail("a blocking open gave the wrong result");
    } else {
        uint32_t op = FILESYS_openop(paths[index].c_str(), flags, priority, 0);
        if (!op)
            fail("no record for an open");
        lastserial = (op >> 5) & 0xFFFFFF;
        FILESYS_callbackop(op, noted);
        QUEUED record;
        record.op = op;
        record.kind = OPEN;
        if (form % 3 == 2)
            cancel(record);
        int32_t status = FILESYS_waitop(op);
        handle = static_cast<int32_t>(FILESYS_completeop(op));
        if (callcount(op) != 1)
            fail("an open's callback was not called exactly once");
        if (record.neverran) {
            if (status != FOPS_CANCELLED || handle != 0)
                fail("an open cancelled while waiting gave a result");
            return;
        }
        if (status == FOPS_CANCELLED) {
            // It ran; its handle, if any, was closed when it was collected.
            if (!record.cancelled || handle != 0)
                fail("a cancelled open gave a handle");
            if (success)
                opened(file, flags);
            return;
        }
        if (status != (success ? FOPS_DONE : FOPS_FAILED) || (handle != 0) != success)
            fail("a queued open gave the wrong result");
    }
    if (!success)
        return;
    opened(file, flags);
    file.handle = handle;
    file.writable = !(flags & FOPEN_READ);
}

// Steps outside transactions.
void freestep(uint8_t code, FUZZINPUT& in)
{
    QUEUED record;
    if (!decode(record, code, in, nullptr))
        return;
    uint8_t form = in.byte();
    if (lastserial > 0xFFFF00)
        drain();
    // Never more urgent than anything still uncollected: records run in the order queued.
    record.priority = std::max(form, highest(outstanding));
    if (form & 1) {
        blocking(record);
        return;
    }
    queue(record);
    outstanding.push_back(std::move(record));
    if ((form & 6) == 6)
        cancel(outstanding.back());
}

void cancelstep(FUZZINPUT& in)
{
    if (outstanding.empty())
        return;
    QUEUED& record = outstanding[in.byte() % outstanding.size()];
    if (!record.cancelled)
        cancel(record);
}

void prioritystep(FUZZINPUT& in)
{
    if (outstanding.empty())
        return;
    size_t index = in.byte() % outstanding.size();
    uint8_t high = highest(outstanding);
    if (high == 255)
        return;
    QUEUED& record = outstanding[index];
    uint32_t result = FILESYS_priorityop(record.op, high + 1);
    if (result != 0 && result != record.op)
        fail("a new priority returned another number");
    if (result == 0)
        return;
    if (record.neverran)
        fail("a record cancelled while waiting was given a new priority");
    // It was waiting: now it runs after every other record.
    record.priority = static_cast<uint8_t>(high + 1);
    QUEUED moved = std::move(record);
    outstanding.erase(outstanding.begin() + index);
    outstanding.push_back(std::move(moved));
}

void waitstep(FUZZINPUT& in)
{
    if (!outstanding.empty())
        collect(outstanding, in.byte() % outstanding.size() + 1);
}

// ---- Transactions.

struct HELD {
    FUZZINPUT* in;
    int steps;
    int32_t limit;
    std::deque<QUEUED> records;  // queued above the limit: they run once the routine returns
    bool closed[FILES];
};

int32_t transaction(int32_t, void* parameter)
{
    HELD& held = *static_cast<HELD*>(parameter);
    const int32_t priority = held.limit;
    FUZZINPUT& in = *held.in;
    for (int step = 0; step < held.steps && in.left; step++) {
        uint8_t code = in.byte();
        if (code >= 0xE0 && !held.records.empty()) {
            QUEUED& record = held.records[in.byte() % held.records.size()];
            if (code & 1) {
                if (record.cancelled)
                    continue;
                cancel(record);
                bool cancellable = record.kind != CLOSE && record.kind != SETLENGTH;
                if (record.neverran != cancellable)
                    fail("a held record was not taken out by its cancel");
            } else {
                uint8_t to = static_cast<uint8_t>(priority + 1 + in.byte() % (255 - priority));
                uint32_t result = FILESYS_priorityop(record.op, to);
                if (result != (record.neverran ? 0 : record.op))
                    fail("a held record's new priority was refused");
                if (result)
                    record.priority = to;
            }
            continue;
        }
        QUEUED record;
        if (!decode(record, code, in, held.closed))
            continue;
        uint8_t form = in.byte();
        if ((form & 1) && record.kind != CLOSE) {
            // At or below the limit: carried out now, before every held record
            // (a close now would pull the handle from under the held ones).
            record.priority = static_cast<uint8_t>(form % (priority + 1));
            blocking(record);
            continue;
        }
        record.priority = static_cast<uint8_t>(priority + 1 + form % (255 - priority));
        int file = record.file;
        bool closing = record.kind == CLOSE;
        int32_t handle = files[file].handle;
        queue(record);
        if (closing) {
            // Ops decoded later leave this file alone; it stays open until collected.
            held.closed[file] = true;
            files[file].handle = handle;
        }
        held.records.push_back(std::move(record));
    }
    return 1;
}

void transactionstep(FUZZINPUT& in)
{
    drain();
    HELD held;
    held.in = &in;
    held.steps = in.byte() % 12 + 1;
    held.limit = in.byte() % 128;
    for (bool& closed : held.closed)
        closed = false;
    if (FILESYS_atomic(transaction, filedevice(), held.limit, &held) != 1)
        fail("a transaction did not run");
    // The held records ran in key order after the transaction.
    std::stable_sort(held.records.begin(), held.records.end(),
                     [](const QUEUED& a, const QUEUED& b) { return a.key() < b.key(); });
    collect(held.records, held.records.size());
    for (int file = 0; file < FILES; file++)
        if (held.closed[file])
            files[file].handle = 0;
}

// ---- The end of an input.

void setup()
{
    const std::string& folder = FUZZ_scratch("fileops");
    for (int index = 0; index < FILES; index++)
        paths[index] = folder + "/file" + std::to_string(index);
    mainthread = std::this_thread::get_id();
    ALERTroutine = alerted;
}

std::string ondisk(const std::string& path, bool& exists)
{
    std::string bytes;
    int descriptor = open(path.c_str(), O_RDONLY);
    exists = descriptor >= 0;
    if (!exists)
        return bytes;
    char chunk[4096];
    ssize_t got;
    while ((got = read(descriptor, chunk, sizeof chunk)) > 0)
        bytes.append(chunk, got);
    close(descriptor);
    return bytes;
}

void finish()
{
    drain();
    for (MODELFILE& file : files)
        if (file.handle && FILESYS_close(file.handle, 100) != 1)
            fail("a final close failed");
    for (int index = 0; index < FILES; index++) {
        bool exists = false;
        std::string bytes = ondisk(paths[index], exists);
        if (exists != files[index].exists)
            fail("a file exists on disk where the model has none, or the other way round");
        if (bytes != files[index].bytes)
            fail("a file's bytes on disk differ from the model's");
        unlink(paths[index].c_str());
        files[index] = MODELFILE();
    }
    if (QUEUE_length(&FILEfreeops) != FILEopcount)
        fail("a record is missing from the pool");
    for (int32_t slot = 0; slot < FILE_DEFAULTHANDLES; slot++) {
        SYS_setlasterror(0);
        getfiledevice(~slot);
        if (SYS_getlasterror() != ERROR_INVALID_HANDLE)
            fail("a native handle was left open");
    }
    if (MEMCLASS_check(0) != 1)
        fail("the heap is damaged");
    std::lock_guard<std::mutex> hold(calllock);
    if (!calls.empty())
        fail("a callback was called for a record never collected");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length)
{
    if (paths[0].empty())
        setup();
    FUZZINPUT in{data, length};
    for (int step = 0; step < MAXSTEPS && in.left; step++) {
        uint8_t code = in.byte();
        switch (code % 8) {
        case 0: openstep(in); break;
        case 1: cancelstep(in); break;
        case 2: prioritystep(in); break;
        case 3: waitstep(in); break;
        case 4: transactionstep(in); break;
        default: freestep(in.byte(), in); break;
        }
    }
    finish();
    return 0;
}
