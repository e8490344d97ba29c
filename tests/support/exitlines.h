// Catches a shutdown that returns while a thread of its still runs: a print device that takes its time over exit lines.
#ifndef VORL_TESTS_EXITLINES_H
#define VORL_TESTS_EXITLINES_H

#include <atomic>
#include <cstring>

#include "vorl/print.h"
#include "vorl/thread.h"

class SlowExitLines {
public:
    explicit SlowExitLines(uint32_t milliseconds)
    {
        pause_ = milliseconds;
        done_ = 0;
        PRINT_setdevice(4, "slowexit", line);
        PRINT_enabledevice(4, 1);
        PRINT_enablechannel(PRINT_SYSTEM, 1);
    }
    ~SlowExitLines() { PRINT_enabledevice(4, 0); }

    size_t finished() const { return done_; }  // exit lines printed to the end

private:
    static int32_t line(int32_t, const char* text)
    {
        if (std::strncmp(text, "THREAD ", 7) == 0 && std::strstr(text, " exiting: ")) {
            THREAD_sleep(pause_);
            done_++;
        }
        return 1;
    }
    static inline std::atomic<uint32_t> pause_{0};
    static inline std::atomic<size_t> done_{0};
};

#endif
