// What events (pwsync.cpp) and thread objects (pwthread.cpp) share, and
// nothing else includes: the head of every waitable object, and the one
// way a signal reaches the waits blocked on one. The waits themselves, and
// the lists they link into each object, are pwsync.cpp's.
#ifndef VORL_PWWAITABLE_H
#define VORL_PWWAITABLE_H

#include "pwhandle.h"

struct PW_WAITLINK;

// The common head of events and thread objects; all fields but the first
// are guarded by the wait lock.
struct PW_WAITABLE {
    PW_OBJECT object;
    bool manual;     // stays signalled until reset (threads: once ended, for good)
    bool signalled;  // set and not taken by any wait
    PW_WAITLINK* first;
    PW_WAITLINK* last;
};

// Hands a signal of w to blocked waits (wait lock held): to the oldest one
// that nothing has released yet when one is enough, else to all of them.
// Returns whether any wait took it.
bool PW_release_waits(PW_WAITABLE* w, bool one);

#endif
