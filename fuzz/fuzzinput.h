// The fuzz targets' way of taking their input apart: bytes and big-endian
// words from the front, zeros once the input is used up.
#ifndef VORL_FUZZ_FUZZINPUT_H
#define VORL_FUZZ_FUZZINPUT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

struct FUZZINPUT {
    const uint8_t* data;
    size_t left;
    uint8_t byte()
    {
        if (!left)
            return 0;
        left--;
        return *data++;
    }
    uint16_t word() { return static_cast<uint16_t>(byte() << 8 | byte()); }
    // Up to count bytes, fewer when the input ends first.
    std::string bytes(size_t count)
    {
        std::string out;
        while (count-- && left)
            out += static_cast<char>(byte());
        return out;
    }
};

#endif
