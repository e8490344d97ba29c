/* The whole VORL interface in one include. */
#ifndef VORL_VORL_H
#define VORL_VORL_H

#include "vorl/alert.h"
#include "vorl/big.h"
#include "vorl/file.h"
#include "vorl/hlsfile.h"
#include "vorl/memory.h"
#include "vorl/mutex.h"
#include "vorl/nfile.h"
#include "vorl/pagemem.h"
#include "vorl/print.h"
#include "vorl/queue.h"
#include "vorl/synctask.h"
#include "vorl/thread.h"
#include "vorl/timer.h"
#include "vorl/version.h"

#endif
