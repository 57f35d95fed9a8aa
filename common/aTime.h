// Millisecond ticks and sleeps.
#ifndef KORVEX_ATIME_H
#define KORVEX_ATIME_H

#include <cstdint>

#include "common/aError.h"

// A 32-bit millisecond counter that wraps. It is read from a monotonic
// clock, so only differences of two readings mean anything, and stepping
// the time of day never breaks a time-out.
uint32_t aTime_GetMSTicks(void);

// Sleeps milliseconds in steps of under a second; 0 returns at once.
aErr aTime_MSSleep(uint32_t milliseconds);

#endif
