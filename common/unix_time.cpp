#include "common/aTime.h"

#include <ctime>

#include <unistd.h>

uint32_t aTime_GetMSTicks(void) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  // Computed in 32 bits on purpose: the counter wraps and callers only
  // take differences.
  return uint32_t(now.tv_sec) * 1000u + uint32_t(now.tv_nsec / 1000000);
}

aErr aTime_MSSleep(uint32_t milliseconds) {
  uint64_t remaining = uint64_t(milliseconds) * 1000u;
  while (remaining > 0) {
    const useconds_t step = remaining > 999999u ? 999999u : useconds_t(remaining);
    usleep(step);
    remaining -= step;
  }
  return aErrNone;
}
