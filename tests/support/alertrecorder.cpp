#include "alertrecorder.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex recordlock;
std::vector<RecordedAlert> recorded;

int32_t recordalert(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = alerttext(format, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(recordlock);
    recorded.push_back({ALERTfile ? ALERTfile : "", static_cast<int>(ALERTline), text});
    return 1;
}
}  // namespace

std::string alerttext(const char* format, va_list args)
{
    if (format == nullptr)
        return "";
    va_list measure;
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0)
        return "";
    std::string text(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

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
