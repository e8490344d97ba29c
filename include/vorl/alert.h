/* Alerts and assertions: how every module reports a condition it cannot
 * handle. A site raises one with ALERT_raise, which stores its source
 * position in ALERTfile/ALERTline and calls ALERTroutine with a printf-style
 * message; the default routine, ALERT_abort, shows the abort box and ends
 * the process with exit code 0. */
#ifndef VORL_ALERT_H
#define VORL_ALERT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t (*ALERTROUTINE)(const char* format, ...);

extern const char* ALERTfile;
extern int32_t ALERTline;
extern ALERTROUTINE ALERTroutine;

/* Raises an alert from source file (a module's "cmn/<module>" name) at the
 * line of the call, or at the given line: stores the position, then hands
 * the printf-style message to ALERTroutine. Yields the routine's result. */
#define ALERT_raiseat(file, line, ...) (ALERTfile = (file), ALERTline = (line), ALERTroutine(__VA_ARGS__))
#define ALERT_raise(file, ...) ALERT_raiseat(file, __LINE__, __VA_ARGS__)

/* The default alert routine. Returns 1 at once while another alert is in
 * progress; otherwise shows the box and ends the process. */
int32_t ALERT_abort(const char* format, ...);
/* Puts ALERT_abort back into ALERTroutine. */
void ALERT_reset(void);
/* Prints a failed assertion on the "alert" channel and shows the
 * Abort/Retry/Ignore box: 1 for Retry, 0 for Ignore, Abort ends the process. */
int32_t ASSERT_report(const char* file, int32_t line, const char* expression);
/* The inline assertion check: when condition is 0, reports it and breaks into
 * the debugger (if one is attached) when the user chose Retry. Returns the
 * condition as 0 or 1 so that the site can take its failure path. */
int32_t ASSERT_check(int32_t condition, const char* file, int32_t line, const char* expression);
/* Prints a formatted message (at most 511 characters) on the "alert" channel. */
int32_t ALERT_print(const char* format, ...);
/* As ALERT_print, unless level is non-null and *level < minimum. */
void ALERT_verbose(const int32_t* level, int32_t minimum, const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif
