// While a ScopedAlertRecorder lives, alerts are recorded instead of ending the process; the routine returns 1.
#ifndef VORL_TESTS_ALERTRECORDER_H
#define VORL_TESTS_ALERTRECORDER_H

#include <stdarg.h>
#include <stdio.h>

#include <mutex>
#include <string>
#include <vector>

#include "vorl/alert.h"

inline std::string alerttext(const char* format, va_list args)
{
    char text[4096];  // longer messages are cut
    return vsnprintf(text, sizeof text, format != nullptr ? format : "", args) >= 0 ? text : "";
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

    std::vector<RecordedAlert> alerts() const  // a copy, safe while other threads alert
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
