// A recording alert routine for the paths on which an alert returns: while a
// ScopedAlertRecorder lives, every alert's formatted message, with the source
// position stored at the site, is kept instead of ending the process, and
// the alert routine returns 1 as it does while another alert is in progress.
#ifndef VORL_TESTS_ALERTRECORDER_H
#define VORL_TESTS_ALERTRECORDER_H

#include <stdarg.h>

#include <string>
#include <vector>

#include "vorl/alert.h"

// An alert's message: its format with the routine's arguments, as a whole.
std::string alerttext(const char* format, va_list args);

struct RecordedAlert {
    std::string file;
    int line;
    std::string message;
};

class ScopedAlertRecorder {
public:
    ScopedAlertRecorder();
    ~ScopedAlertRecorder();
    ScopedAlertRecorder(const ScopedAlertRecorder&) = delete;
    ScopedAlertRecorder& operator=(const ScopedAlertRecorder&) = delete;

    // Copies of what was recorded so far (safe while other threads alert).
    std::vector<RecordedAlert> alerts() const;
    std::vector<std::string> messages() const;
    size_t count() const;
    void clear();

private:
    ALERTROUTINE previous_;
};

#endif
