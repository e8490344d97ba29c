// Opens arbitrary "archive|entry" names through the file system while two
// small BIG archives (one of each layout) are mounted. The input is a byte of
// call choices, then one or two names separated by a line feed; bytes 0x01
// to 0x04 in a name stand for the first archive's mount path, the second's,
// the first's with its letters' case swapped, and the second's written with a
// "/./" in it, so that the fuzzer can reach the scratch folder's paths.
// A model of the documented rules says whether each name opens: an entry
// name's part before the first bar is empty (any archive, in mount order) or
// exactly a mounted archive's path (case and spelling), and the text after
// the bar must name an index entry, compared without regard to ASCII letter
// case, the first such entry winning; any other name with a bar is a plain
// path, searched whole in the archives after the disk (names that exist on
// disk are skipped; names without a bar are not fed).
// Checks that FILESYS_open opens exactly then and that the handle's length
// and bytes are the entry's (a whole read and a read at a position), that
// FILESYS_exists and FILE_sizequiet agree, that an open for writing never
// opens an entry name, that FILE_loadquiet of the second name gives the
// entry's bytes, that no call raises an alert (the alert routine aborts), and
// that every handle is closed again.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzzscratch.h"
#include "pc/nfileint.h"
#include "tests/pc/bigarchive.h"
#include "vorl/alert.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"

namespace {

const int32_t P = 100;
const size_t NAMEMAX = 6000;

struct ARCHIVE {
    std::string path;  // as given to the mount
    BigEntries entries;
};

std::string folder;
ARCHIVE archives[2];
std::string swappedone;  // the first archive's path, letters' case swapped
std::string dottedtwo;   // the second archive's path with "/./" before its file name

void fail(const char* what, const std::string& name)
{
    fprintf(stderr, "names: %s for \"%s\"\n", what, name.c_str());
    abort();
}

int32_t onalert(const char* format, ...)
{
    fprintf(stderr, "names: an alert was raised: %s", format ? format : "(null)\n");
    abort();
}

void writefile(const std::string& path, const std::string& bytes)
{
    if (!FUZZ_writefile(path, bytes.data(), bytes.size()))
        fail("cannot write", path);
}

void setup()
{
    folder = FUZZ_scratch("names");

    std::string bytes;
    for (int i = 0; i < 256; i++)
        bytes += static_cast<char>(i);
    archives[0].path = folder + "/one.big";
    archives[0].entries = {
        {"readme.txt", "the first archive's readme\n"},
        {"Data/Map.bin", bytes},
        {"SHARED.DAT", "one"},
        {"", "an entry without a name"},
        {"dup", "the first dup"},
        {"DUP", "the second dup"},
        {"zero", ""},
        {"a|b", "an entry whose name holds a bar"},
        {"x\xE9y.txt", "a name with a byte above 127"},
        {std::string(200, 'L'), "a long name"},
    };
    archives[1].path = folder + "/Two.BIG";
    archives[1].entries = {
        {"shared.dat", "two"},
        {"only2.txt", "only in the second archive"},
        {"README.TXT", "the second archive's readme\n"},
        {"big.bin", std::string(20000, '\0')},
        {"Data\\Map.bin", "backslash"},
    };
    std::string& big = archives[1].entries[3].second;
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);

    swappedone = archives[0].path;
    for (char& c : swappedone)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    dottedtwo = folder + "/./Two.BIG";

    writefile(archives[0].path, bigarchive(1, archives[0].entries));
    writefile(archives[1].path, bigarchive(2, archives[1].entries));
    ALERTroutine = onalert;
    for (const ARCHIVE& archive : archives) {
        int32_t number = 0;
        if (!FILESYS_openbig(archive.path.c_str(), 0, P, &number) || number >= 0)
            fail("the archive did not mount", archive.path);
    }
}

bool samename(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

const std::string* findentry(const ARCHIVE& archive, const std::string& name)
{
    for (const auto& entry : archive.entries)
        if (samename(entry.first, name))
            return &entry.second;
    return nullptr;
}

// The bytes the name must open to, or null when it must not open. A name is
// an entry name when its part before the first bar is empty (any archive, in
// mount order) or is exactly a mounted archive's path (that archive alone).
// Any other name with a bar is a plain path ("|" is an ordinary character in
// POSIX file names): it is tried on disk (the caller skips names that exist
// there) and then, whole, as an entry name in every archive in mount order.
const std::string* model(const std::string& name)
{
    size_t bar = name.find('|');
    if (bar == std::string::npos)
        return nullptr;
    std::string part = name.substr(0, bar);
    std::string entry = name.substr(bar + 1);
    for (const ARCHIVE& archive : archives)
        if (part == archive.path)
            return findentry(archive, entry);
    if (!part.empty())
        entry = name;
    for (const ARCHIVE& archive : archives)
        if (const std::string* found = findentry(archive, entry))
            return found;
    return nullptr;
}

// Whether the name is a plain path that names something on disk, where the
// model cannot say what it holds.
bool ondisk(const std::string& name)
{
    size_t bar = name.find('|');
    if (bar == 0)
        return false;
    for (const ARCHIVE& archive : archives)
        if (name.compare(0, bar, archive.path) == 0 && bar == archive.path.size())
            return false;
    struct stat status;
    return stat(name.c_str(), &status) == 0;
}

std::string expand(const uint8_t* data, size_t length)
{
    std::string name;
    for (size_t i = 0; i < length && name.size() < NAMEMAX; i++) {
        switch (data[i]) {
        case 1: name += archives[0].path; break;
        case 2: name += archives[1].path; break;
        case 3: name += swappedone; break;
        case 4: name += dottedtwo; break;
        default: name += static_cast<char>(data[i]); break;
        }
    }
    // The file system sees a C string: a NUL ends the name.
    return name.substr(0, strlen(name.c_str()));
}

void checkhandle(const std::string& name, int32_t handle, const std::string& bytes, uint8_t choices)
{
    int32_t size = static_cast<int32_t>(bytes.size());
    if (FILESYS_length(handle, P) != size)
        fail("the opened entry's length differs", name);
    std::vector<char> buffer(bytes.size() + 1);
    if (FILESYS_read(handle, 0, buffer.data(), size + 1, P) != size)
        fail("a whole read of the entry read another count", name);
    if (size && memcmp(buffer.data(), bytes.data(), bytes.size()) != 0)
        fail("the entry's bytes differ", name);
    if (choices & 8) {
        int32_t position = static_cast<int32_t>((choices * 97u) % (bytes.size() + 1));
        int32_t want = size - position < 100 ? size - position : 100;
        if (FILESYS_read(handle, position, buffer.data(), 100, P) != want)
            fail("a read at a position read another count", name);
        if (want && memcmp(buffer.data(), bytes.data() + position, static_cast<size_t>(want)) != 0)
            fail("the entry's bytes at a position differ", name);
    }
}

void checkname(const std::string& name, uint8_t choices)
{
    const std::string* expected = model(name);
    int32_t handle = 0;
    int32_t opened = FILESYS_open(name.c_str(), FOPEN_READ, P, &handle);
    if (opened != (expected ? 1 : 0) || (handle != 0) != (expected != nullptr))
        fail(expected ? "an entry the name names did not open" : "a name that names no entry opened", name);
    if (handle) {
        checkhandle(name, handle, *expected, choices);
        if (FILESYS_close(handle, P) != 1)
            fail("close failed", name);
    }
    if ((choices & 1) && FILESYS_exists(name.c_str(), P) != (expected ? 1 : 0))
        fail("exists disagrees with the open", name);
    if (choices & 2) {
        int32_t writable = 0;
        if (FILESYS_open(name.c_str(), 0, P, &writable) != 0 || writable != 0)
            fail("an entry name opened for writing", name);
    }
    if ((choices & 4) && FILE_sizequiet(name.c_str()) != (expected ? static_cast<int32_t>(expected->size()) : 0))
        fail("the quiet size differs", name);
}

void checkload(const std::string& name)
{
    const std::string* expected = model(name);
    void* block = FILE_loadquiet(name.c_str(), 0);
    if (expected && !expected->empty()) {
        if (!block || MEM_size(block) != static_cast<int32_t>(expected->size()) ||
            memcmp(block, expected->data(), expected->size()) != 0)
            fail("the quiet load did not give the entry's bytes", name);
    } else if (!expected && block) {
        fail("a name that names no entry loaded", name);
    }
    if (block)
        MEM_free(block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length)
{
    if (folder.empty())
        setup();
    if (length == 0)
        return 0;
    uint8_t choices = data[0];
    const uint8_t* rest = data + 1;
    size_t restlength = length - 1;
    const uint8_t* split = static_cast<const uint8_t*>(memchr(rest, '\n', restlength));
    size_t firstlength = split ? static_cast<size_t>(split - rest) : restlength;

    // Names without a bar would be tried on disk; only entry names are fed.
    std::string first = expand(rest, firstlength);
    if (first.find('|') != std::string::npos && !ondisk(first))
        checkname(first, choices);
    if (split) {
        std::string second = expand(split + 1, restlength - firstlength - 1);
        if (second.find('|') != std::string::npos && !ondisk(second))
            checkload(second);
    }
    for (int32_t slot = 0; slot < FILEbigentrycount; slot++)
        if (FILEbigentries[slot])
            fail("an entry handle was left open", first);
    return 0;
}
