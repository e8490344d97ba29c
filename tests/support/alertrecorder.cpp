#include "alertrecorder.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex recordlock;
std::vector<RecordedAlert> recorded;

int32_t recordalert(const char* format, ...)
{
    char text[2048] = "";
    if (format) {
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
    }
    std::lock_guard<std::mutex> hold(recordlock);
    recorded.push_back({ALERTfile ? ALERTfile : "", static_cast<int>(ALERTline), text});
    return 1;
}
}  // namespace

ScopedAlertRecorder::ScopedAlertRecorder() : previous_(ALERTroutine)
{
    clear();
    ALERTroutine = recordalert;
}

ScopedAlertRecorder::~ScopedAlertRecorder() { ALERTroutine = previous_; }

std::vector<RecordedAlert> ScopedAlertRecorder::alerts() const
{
    std::lock_guard<std::mutex> hold(recordlock);
    return recorded;
}

std::vector<std::string> ScopedAlertRecorder::messages() const
{
    std::vector<std::string> texts;
    for (const RecordedAlert& alert : alerts())
        texts.push_back(alert.message);
    return texts;
}

size_t ScopedAlertRecorder::count() const
{
    std::lock_guard<std::mutex> hold(recordlock);
    return recorded.size();
}

void ScopedAlertRecorder::clear()
{
    std::lock_guard<std::mutex> hold(recordlock);
    recorded.clear();
}
