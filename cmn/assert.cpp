// Alerts and assertions. An alert names its source position through
// ALERTfile/ALERTline and hands a printf-style message to ALERTroutine; the
// default routine shows the abort box once per process and ends it with exit
// code 0. Assertions print their line on the "alert" channel and ask
// Abort/Retry/Ignore.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "pc/sysplat.h"
#include "vorl/alert.h"
#include "vorl/print.h"
#include "vorl/thread.h"

static const char MODULE_FILE[] = "cmn/assert";

const char* ALERTfile = nullptr;
int32_t ALERTline = 0;
ALERTROUTINE ALERTroutine = ALERT_abort;

// Set by the first alert and never cleared: alerts raised while one is being
// shown, or by the exit callbacks it runs, return at once.
static volatile int32_t alertinprogress = 0;

int32_t ALERT_abort(const char* format, ...)
{
    if (alertinprogress)
        return 1;
    alertinprogress = 1;

    char message[512] = "";
    if (format) {
        va_list args;
        va_start(args, format);
        vsnprintf(message, sizeof message, format, args);
        va_end(args);
    }
    char title[128];
    if (ALERTfile)
        snprintf(title, sizeof title, "Abort from file \"%s\", line %d", ALERTfile, static_cast<int>(ALERTline));
    else
        snprintf(title, sizeof title, "Abort Message");

    SYS_showcursor();
    int32_t answer =
        SYS_messagebox(message, title, SYS_MB_OKCANCEL | SYS_MB_ICONHAND | SYS_MB_SYSTEMMODAL | SYS_MB_SETFOREGROUND);
    SYS_debugprint(message);
    if (answer == SYS_IDOK)
        SYS_debugbreak();

    // Only the main thread may run the exit callbacks: they stop the very
    // threads another caller might be running on.
    if (THREAD_iscurrent(nullptr))
        exit(0);
    SYS_exitprocess(0);
    return 0;
}

void ALERT_reset(void) { ALERTroutine = ALERT_abort; }

int32_t ASSERT_report(const char* file, int32_t line, const char* expression)
{
    ALERT_print("%s(%d) : Assertion Failed: %s\n", file, static_cast<int>(line), expression);

    char text[512];
    snprintf(text, sizeof text,
             "Assertion Failed!\n\nFile:\t%s\nLine:\t%d\n\n\n%s is FALSE\n\n\n(Press Retry to debug the application)",
             file, static_cast<int>(line), expression);
    int32_t answer = SYS_messagebox(
        text, "VORL Library", SYS_MB_ABORTRETRYIGNORE | SYS_MB_ICONHAND | SYS_MB_TASKMODAL | SYS_MB_SETFOREGROUND);
    if (answer == SYS_IDABORT)
        exit(0);
    return answer == SYS_IDRETRY ? 1 : 0;
}

int32_t ASSERT_check(int32_t condition, const char* file, int32_t line, const char* expression)
{
    if (condition)
        return 1;
    if (ASSERT_report(file, line, expression))
        SYS_debugbreak();
    return 0;
}

static int32_t printliteral(const char* format, va_list args)
{
    char text[512];
    int strlength = vsnprintf(text, sizeof text, format, args);
    // A text that did not fit is reported, and the part that fit is printed.
    if (strlength >= static_cast<int>(sizeof text))
        strlength = -1;
    ASSERT_check(strlength >= 0, MODULE_FILE, 204, "strlength >= 0");
    return PRINT_printf(PRINT_ALERT, "%s", text);
}

int32_t ALERT_print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int32_t result = printliteral(format, args);
    va_end(args);
    return result;
}

void ALERT_verbose(const int32_t* level, int32_t minimum, const char* format, ...)
{
    if (level && *level < minimum)
        return;
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ALERT_print("%s", text);
}
