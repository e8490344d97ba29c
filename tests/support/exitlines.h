// Catches a shutdown that returns while one of its threads still runs: the
// system print channel goes to a device that takes its time over each
// thread's exit line and only then counts it. A caller that waited for the
// thread's end has every line counted when it returns.
#ifndef VORL_TESTS_EXITLINES_H
#define VORL_TESTS_EXITLINES_H

#include <stddef.h>
#include <stdint.h>

class SlowExitLines {
public:
    explicit SlowExitLines(uint32_t milliseconds);
    ~SlowExitLines();
    SlowExitLines(const SlowExitLines&) = delete;
    SlowExitLines& operator=(const SlowExitLines&) = delete;

    size_t started() const;   // exit lines the device has begun to print
    size_t finished() const;  // exit lines printed to the end
};

#endif
