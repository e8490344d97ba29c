// The tick timer. (Its operations arrive with the timer work; the frequency
// is read by the thread module's tick conversions.)
#include "vorl/timer.h"

int32_t TIMERfrequency = 0;
