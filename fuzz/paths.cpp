// Arbitrary strings (up to 5,000 bytes) as paths through the path services:
// the device number, the full path, the drive letter with its root, and the
// path's letter. Each output goes into a buffer of exactly its documented
// size, so the address sanitizer catches a byte written beyond it; each must
// end within its buffer, the device must be a device number and the letters
// must be drive letters. The same path must give the same answers twice.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "vorl/memory.h"
#include "vorl/nfile.h"

namespace {

void fail(const char* what, const std::string& path)
{
    fprintf(stderr, "paths: %s for \"%s\"\n", what, path.c_str());
    abort();
}

bool isdriveletter(int32_t letter)
{
    return letter == 0 || (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
}

struct ANSWERS {
    int32_t device, full, letter, pathletter;
    std::string fullpath, root;
};

ANSWERS ask(const std::string& path)
{
    std::vector<char> full(260), root(261);
    ANSWERS answers;
    answers.device = FILESYS_pathdevice(path.c_str());
    answers.full = FILESYS_fullpath(path.c_str(), full.data());
    answers.letter = FILESYS_driveletter(path.c_str(), root.data());
    answers.pathletter = FILESYS_pathletter(path.c_str());
    if (!memchr(full.data(), 0, full.size()) || !memchr(root.data(), 0, root.size()))
        fail("an output that does not end in its buffer", path);
    answers.fullpath = full.data();
    answers.root = root.data();
    return answers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length)
{
    static bool started = MEM_init() > 0 && FILESYS_init(0, 0, 0) == 1;
    if (!started)
        fail("the library did not start", "");
    std::string path(reinterpret_cast<const char*>(data), length < 5000 ? length : 5000);
    path = path.c_str();  // up to the first NUL, as the services read it
    ANSWERS first = ask(path);
    if (first.device < 0 || first.device >= FILE_DEVICES)
        fail("a device number out of range", path);
    if (!isdriveletter(first.letter) || (first.pathletter != 0 && (first.pathletter < 'A' || first.pathletter > 'Z')))
        fail("a drive letter that is not a letter", path);
    if (path.find('|') != std::string::npos && (first.device != 0 || first.pathletter != 0))
        fail("an archive's entry name with a drive", path);
    ANSWERS second = ask(path);
    if (second.device != first.device || second.full != first.full || second.fullpath != first.fullpath ||
        second.letter != first.letter || second.root != first.root || second.pathletter != first.pathletter)
        fail("two different answers for one path", path);
    return 0;
}
