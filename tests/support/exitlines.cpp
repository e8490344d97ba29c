#include "exitlines.h"

#include <atomic>
#include <cstring>

#include "vorl/print.h"
#include "vorl/thread.h"

namespace {

constexpr int32_t kDevice = 4;
std::atomic<uint32_t> pause{0};
std::atomic<size_t> begun{0};
std::atomic<size_t> done{0};

int32_t slowexitline(int32_t, const char* text)
{
    if (std::strncmp(text, "THREAD ", 7) == 0 && std::strstr(text, " exiting: ")) {
        begun++;
        THREAD_sleep(pause.load());
        done++;
    }
    return 1;
}

}  // namespace

SlowExitLines::SlowExitLines(uint32_t milliseconds)
{
    pause = milliseconds;
    begun = 0;
    done = 0;
    PRINT_setdevice(kDevice, "slowexit", slowexitline);
    PRINT_enabledevice(kDevice, 1);
    PRINT_enablechannel(PRINT_SYSTEM, 1);
}

SlowExitLines::~SlowExitLines() { PRINT_enabledevice(kDevice, 0); }

size_t SlowExitLines::started() const { return begun.load(); }

size_t SlowExitLines::finished() const { return done.load(); }
