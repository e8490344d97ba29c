// While a ScopedAlertRecorder lives, every alert's message and the source
// position stored at its site are kept instead of ending the process, and the
// routine returns 1, as it does while another alert is in progress.
#ifndef VORL_TESTS_ALERTRECORDER_H
#define VORL_TESTS_ALERTRECORDER_H

#include <stdarg.h>
#include <stdio.h>

#include <mutex>
#include <string>
#include <vector>

#include "vorl/alert.h"

// An alert's format with the routine's arguments, as a whole.
inline std::string alerttext(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    int length = format != nullptr ? vsnprintf(nullptr, 0, format, measure) : 0;
    va_end(measure);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        vsnprintf(&text[0], text.size() + 1, format, args);  // its NUL over the string's own
    return text;
}

struct RecordedAlert {
    std::string file;
    int line;
    std::string message;
};

class ScopedAlertRecorder {
public:
    ScopedAlertRecorder() : previous_(ALERTroutine)
    {
        clear();
        ALERTroutine = record;
    }
    ~ScopedAlertRecorder() { ALERTroutine = previous_; }

    // Copies of what was recorded so far (safe while other threads alert).
    std::vector<RecordedAlert> alerts() const
    {
        std::lock_guard<std::mutex> hold(lock_);
        return recorded_;
    }
    std::vector<std::string> messages() const
    {
        std::vector<std::string> texts;
        for (const RecordedAlert& alert : alerts())
            texts.push_back(alert.message);
        return texts;
    }
    size_t count() const { return alerts().size(); }
    void clear()
    {
        std::lock_guard<std::mutex> hold(lock_);
        recorded_.clear();
    }

private:
    static int32_t record(const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        std::string text = alerttext(format, args);
        va_end(args);
        std::lock_guard<std::mutex> hold(lock_);
        recorded_.push_back({ALERTfile ? ALERTfile : "", static_cast<int>(ALERTline), text});
        return 1;
    }
    static inline std::mutex lock_;
    static inline std::vector<RecordedAlert> recorded_;
    ALERTROUTINE previous_;
};

#endif
