// Multimedia timer services and the millisecond tick count.
//
// One platform thread of our own serves every timer event: it sleeps until
// the earliest due event and runs its callback, one callback at a time, as the
// multimedia timer does. Times come from the monotonic clock.
#ifndef VORL_PWTIMER_H
#define VORL_PWTIMER_H

#include "pwbase.h"

typedef UINT MMRESULT;

typedef struct TIMECAPS {
    UINT wPeriodMin;
    UINT wPeriodMax;
} TIMECAPS, *LPTIMECAPS;

typedef void(CALLBACK* LPTIMECALLBACK)(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR dw1, DWORD_PTR dw2);

#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_INVALPARAM 11
#define TIMERR_BASE 96
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO (TIMERR_BASE + 1)

#define TIME_ONESHOT 0x0000
#define TIME_PERIODIC 0x0001
#define TIME_CALLBACK_FUNCTION 0x0000

// The range of periods and delays, in milliseconds, that the service accepts.
#define PW_TIMER_PERIODMIN 1u
#define PW_TIMER_PERIODMAX 1000000u

#ifdef __cplusplus
extern "C" {
#endif

// Fills caps (size must be sizeof (TIMECAPS)): TIMERR_NOERROR, or
// TIMERR_NOCANDO for a null record or a wrong size.
MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS caps, UINT size);
// Requests / gives back a minimum timer resolution; each timeEndPeriod must
// match an earlier timeBeginPeriod with the same period (else TIMERR_NOCANDO).
MMRESULT WINAPI timeBeginPeriod(UINT period);
MMRESULT WINAPI timeEndPeriod(UINT period);
// Arms an event that calls callback (id, 0, user, 0, 0) on the timer thread
// when GetTickCount reaches its present value plus delay, once (TIME_ONESHOT)
// or every delay milliseconds from then on (TIME_PERIODIC). Returns the event's id, never 0, or 0 when
// the delay is out of range, the callback is null or the flags are not
// supported. The resolution is accepted and not needed.
MMRESULT WINAPI timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user, UINT flags);
// Cancels an event. When its callback is running on the timer thread and the
// caller is another thread, waits until that callback has returned, so that
// after this call the event's callback is neither pending nor running.
// TIMERR_NOERROR when the event existed, MMSYSERR_INVALPARAM otherwise.
MMRESULT WINAPI timeKillEvent(UINT id);

// Milliseconds of the monotonic clock, as a 32-bit value that wraps.
DWORD WINAPI GetTickCount(void);

// Number of timeBeginPeriod requests not yet given back (for checks).
int32_t PW_timeperiods(void);
// Number of events armed and not yet fired or killed (for checks).
int32_t PW_timeevents(void);

#ifdef __cplusplus
}
#endif

#endif
