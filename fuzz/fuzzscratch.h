// What the fuzz targets that work on files share: a scratch folder of their
// own, emptied and removed when the target ends, with the memory manager and
// the file system started, and a way to write a scratch file whole.
#ifndef VORL_FUZZ_FUZZSCRATCH_H
#define VORL_FUZZ_FUZZSCRATCH_H

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "vorl/memory.h"
#include "vorl/nfile.h"

// The folder's path, empty until FUZZ_scratch has made it.
inline std::string& FUZZ_folder()
{
    static std::string folder;
    return folder;
}

// Makes /tmp/vorl-fuzz-TARGET-XXXXXX and starts the library; stops the target
// when either fails. The folder's files and the folder go at exit.
inline const std::string& FUZZ_scratch(const char* target)
{
    std::string& folder = FUZZ_folder();
    folder = std::string("/tmp/vorl-fuzz-") + target + "-XXXXXX";
    if (!mkdtemp(&folder[0]) || MEM_init() <= 0 || FILESYS_init(0, 0, 0) != 1) {
        fprintf(stderr, "%s: no scratch folder or no file system\n", target);
        abort();
    }
    atexit([] {
        const std::string& made = FUZZ_folder();
        if (DIR* listing = opendir(made.c_str())) {
            while (dirent* entry = readdir(listing))
                unlink((made + "/" + entry->d_name).c_str());  // refused for . and ..
            closedir(listing);
        }
        rmdir(made.c_str());
    });
    return folder;
}

// Writes length bytes as the whole file at path; whether it could.
inline bool FUZZ_writefile(const std::string& path, const void* data, size_t length)
{
    FILE* out = fopen(path.c_str(), "wb");
    bool written = out && (length == 0 || fwrite(data, 1, length, out) == length);
    return out && fclose(out) == 0 && written;
}

#endif
