// A mounted BIG archive whose file changes under it. Each input builds a
// valid archive (layout 1 or 2, one to four entries whose names and bytes come
// from the input), writes it to a scratch file, mounts it and opens one entry;
// then changes the file as the input says (cuts it short, overwrites a range,
// extends it, replaces it in place, or replaces it by renaming another file
// over its name; up to three changes), and reads the open entry at offsets
// from the input, asks its length, opens every entry again by
// "archive|name" and by "|name" and reads it whole, loads one with the
// whole-file service, closes everything and unmounts.
//
// What the library promises here: the index is the copy taken at the mount,
// so every entry that was there still opens, and an entry's length is the
// index's. An entry's bytes are read from the archive's file at their place,
// as the file (the one that was mounted: a file renamed over its name is
// another one) holds them now; where that file no longer reaches, the read
// stops and fails (the last-error code says why) instead of faulting. So a
// read gives exactly the bytes the file holds now, no more than it still
// holds, and all of them, with no error, when the file still holds the range.
// A whole-file load either fails or gives the whole entry as the file holds
// it. Also checked: the archive cannot be unmounted while an entry is open,
// unmounts afterwards, and leaves no entry handle, native handle or record.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzzinput.h"
#include "fuzzscratch.h"
#include "pc/nfileint.h"
#include "platform/vplatform.h"
#include "tests/pc/bigarchive.h"
#include "vorl/alert.h"
#include "vorl/file.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"

namespace {

const int32_t P = 100;
const int MAXCHANGES = 3;

std::string archivepath, otherpath;

void fail(const char* what)
{
    fprintf(stderr, "bigchange: %s\n", what);
    abort();
}

int32_t alerted(const char* format, ...)
{
    fprintf(stderr, "bigchange: alert: %s", format);
    abort();
}

void setup()
{
    const std::string& folder = FUZZ_scratch("bigchange");
    archivepath = folder + "/archive.big";
    otherpath = folder + "/replacement.big";
    ALERTroutine = alerted;
}

void writefile(const std::string& path, const std::string& bytes, int flags)
{
    int descriptor = open(path.c_str(), O_WRONLY | flags, 0644);
    if (descriptor < 0 || (!bytes.empty() && write(descriptor, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) ||
        close(descriptor) != 0)
        fail("cannot write a scratch file");
}

// Changes the archive's file; mounted is what the mounted file holds now.
void change(FUZZINPUT& in, std::string& mounted, bool& renamed)
{
    uint8_t kind = in.byte();
    size_t at = in.word() % (mounted.size() + 64);
    switch (kind % 5) {
    case 0:  // cut short
        at = std::min(at, mounted.size());
        if (truncate(archivepath.c_str(), static_cast<off_t>(at)) != 0)
            fail("cannot cut the archive short");
        if (!renamed)
            mounted.resize(at);
        break;
    case 1: {  // overwrite a range, perhaps past the end
        std::string bytes = in.bytes(in.byte() % 64 + 1);
        int descriptor = open(archivepath.c_str(), O_WRONLY);
        if (descriptor < 0 ||
            pwrite(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(at)) !=
                static_cast<ssize_t>(bytes.size()) ||
            close(descriptor) != 0)
            fail("cannot overwrite the archive");
        if (!renamed && !bytes.empty()) {
            if (at + bytes.size() > mounted.size())
                mounted.resize(at + bytes.size(), '\0');
            mounted.replace(at, bytes.size(), bytes);
        }
        break;
    }
    case 2:  // extend with zeros
        if (truncate(archivepath.c_str(), static_cast<off_t>(mounted.size() + at)) != 0)
            fail("cannot extend the archive");
        if (!renamed)
            mounted.resize(mounted.size() + at, '\0');
        break;
    case 3: {  // replace the contents in place
        std::string bytes = in.bytes(in.byte());
        writefile(archivepath, bytes, O_TRUNC);
        if (!renamed)
            mounted = bytes;
        break;
    }
    default: {  // put another file in its place: the mounted one stays as it was
        std::string bytes = in.bytes(in.byte());
        writefile(otherpath, bytes, O_CREAT | O_TRUNC);
        if (rename(otherpath.c_str(), archivepath.c_str()) != 0)
            fail("cannot rename over the archive");
        renamed = true;
        break;
    }
    }
}

// Checks what a read of length bytes at position of the entry at offset
// (size bytes) gave: count bytes into buffer, with the last-error code error.
void checkread(const std::string& mounted, uint32_t offset, uint32_t size, int32_t position, int32_t length,
               const std::vector<char>& buffer, int32_t count, uint32_t error)
{
    int64_t start = offset + static_cast<int64_t>(std::min<uint32_t>(position, size));
    int64_t wanted = std::min<int64_t>(length, offset + static_cast<int64_t>(size) - start);
    int64_t held = std::max<int64_t>(0, std::min<int64_t>(wanted, static_cast<int64_t>(mounted.size()) - start));
    if (count < 0 || count > held)
        fail("a read gave more bytes than the file holds there");
    if (count > 0 && memcmp(buffer.data(), mounted.data() + start, count) != 0)
        fail("a read gave bytes that the file does not hold there");
    if (count < wanted && error == 0)
        fail("a read stopped short without an error");
    if (held == wanted && (count != wanted || error != 0))
        fail("a read of bytes that the file still holds failed");
    // Past the count only a failed read may have left bytes, and only the file's.
    for (size_t at = std::max(count, 0); at < buffer.size(); at++)
        if (buffer[at] != '\x5A' &&
            (error == 0 || start + static_cast<int64_t>(at) >= static_cast<int64_t>(mounted.size()) ||
             buffer[at] != mounted[start + at]))
            fail("a read wrote past the bytes it read");
}

// Reads an open entry at position; the bytes it gives must be the file's.
void readentry(int32_t handle, const std::string& mounted, uint32_t offset, uint32_t size, int32_t position,
               int32_t length)
{
    std::vector<char> buffer(length, '\x5A');
    SYS_setlasterror(0);
    int32_t count = FILESYS_read(handle, position, buffer.data(), length, P);
    uint32_t error = SYS_getlasterror();
    checkread(mounted, offset, size, position, length, buffer, count, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length)
{
    if (archivepath.empty())
        setup();
    FUZZINPUT in{data, length};
    uint8_t shape = in.byte();
    int layout = shape & 1 ? 1 : 2;
    int count = (shape >> 1) % 4 + 1;
    BigEntries entries;
    for (int index = 0; index < count; index++) {
        // Names differ in their first character; the rest comes from the input.
        std::string name(1, static_cast<char>('a' + index));
        for (char c : in.bytes(in.byte() % 8))
            name += (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '.' ? c : '_';
        uint8_t size = in.byte();
        std::string bytes = in.bytes(size < 200 ? size : (size - 199) * 300);
        entries.emplace_back(name, bytes);
    }
    std::string mounted = bigarchive(layout, entries);
    std::vector<uint32_t> offsets;
    for (size_t at = layout == 1 ? 6 : 16, index = 0; index < entries.size(); index++) {
        int field = layout == 1 ? 3 : 4;
        uint32_t offset = 0;
        for (int b = 0; b < field; b++)
            offset = offset << 8 | static_cast<uint8_t>(mounted[at + b]);
        offsets.push_back(offset);
        at += 2 * field + entries[index].first.size() + 1;
    }
    writefile(archivepath, mounted, O_CREAT | O_TRUNC);

    int32_t number = 0;
    if (!FILESYS_openbig(archivepath.c_str(), 0, P, &number) || number >= 0)
        fail("a valid archive did not mount");
    size_t chosen = in.byte() % entries.size();
    std::string entrypath = archivepath + "|" + entries[chosen].first;
    int32_t handle = 0;
    if (FILESYS_open(entrypath.c_str(), FOPEN_READ, P, &handle) != 1 || !handle)
        fail("an entry did not open");
    uint32_t offset = offsets[chosen], size = static_cast<uint32_t>(entries[chosen].second.size());
    readentry(handle, mounted, offset, size, 0, static_cast<int32_t>(size));

    bool renamed = false;
    int changes = in.byte() % MAXCHANGES + 1;
    for (int step = 0; step < changes; step++)
        change(in, mounted, renamed);

    // The open entry: its length is the index's; reads give the file's bytes.
    if (FILESYS_length(handle, P) != static_cast<int32_t>(size))
        fail("an entry's length changed with its file");
    for (int read = 0; read < 3 && in.left; read++) {
        int32_t position = in.word() % (size + 16);
        int32_t wanted = in.word() % (size + 16 + 1);
        readentry(handle, mounted, offset, size, position, wanted);
    }
    readentry(handle, mounted, offset, size, 0, static_cast<int32_t>(size) + 1);

    // Every entry still opens by either name, from the index read at the mount.
    for (size_t index = 0; index < entries.size(); index++) {
        uint32_t entrysize = static_cast<uint32_t>(entries[index].second.size());
        for (const std::string& path : {archivepath + "|" + entries[index].first, "|" + entries[index].first}) {
            int32_t other = 0;
            if (FILESYS_open(path.c_str(), FOPEN_READ, P, &other) != 1 || !other)
                fail("an entry no longer opens");
            if (FILESYS_length(other, P) != static_cast<int32_t>(entrysize))
                fail("an entry's length differs from the index");
            readentry(other, mounted, offsets[index], entrysize, 0, static_cast<int32_t>(entrysize));
            if (FILESYS_close(other, P) != 1)
                fail("an entry did not close");
        }
        if (FILESYS_exists(("|" + entries[index].first).c_str(), P) != 1)
            fail("an entry does not exist");
    }
    // The whole-file load either fails or gives the whole entry as the file holds it.
    size_t loaded = in.byte() % entries.size();
    uint32_t loadsize = static_cast<uint32_t>(entries[loaded].second.size());
    void* block = FILE_loadquiet((archivepath + "|" + entries[loaded].first).c_str(), 0);
    if (block) {
        if (loadsize > 0 && (offsets[loaded] + loadsize > mounted.size() ||
                             memcmp(block, mounted.data() + offsets[loaded], loadsize) != 0))
            fail("a load gave bytes that the file does not hold");
        MEM_free(block);
    } else if (offsets[loaded] + loadsize <= mounted.size() && loadsize > 0) {
        fail("a load of an entry that the file still holds failed");
    }

    if (FILESYS_closebig(number, P) != 0)
        fail("unmounted while an entry was open");
    if (FILESYS_close(handle, P) != 1)
        fail("the entry did not close");
    if (FILESYS_closebig(number, P) != 1)
        fail("the archive did not unmount");
    if (FILEbiglist.head)
        fail("an archive is still mounted");
    for (int32_t slot = 0; slot < FILEbigentrycount; slot++)
        if (FILEbigentries[slot])
            fail("an entry handle was left behind");
    for (int32_t slot = 0; slot < FILE_DEFAULTHANDLES; slot++) {
        SYS_setlasterror(0);
        getfiledevice(~slot);
        if (SYS_getlasterror() != ERROR_INVALID_HANDLE)
            fail("a native handle was left open");
    }
    if (QUEUE_length(&FILEfreeops) != FILEopcount)
        fail("a record is missing from the pool");
    unlink(archivepath.c_str());
    return 0;
}
