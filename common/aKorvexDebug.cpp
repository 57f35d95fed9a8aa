#include "common/aKorvexDebug.h"

#include <cstdarg>
#include <cstdio>

std::atomic<bool> aKorvexDebuggingEnable{false};
std::atomic<uint32_t> aKorvexDebuggingLevel{0};

bool aKorvexDebug_Enabled(uint32_t bits) {
  return aKorvexDebuggingEnable.load(std::memory_order_relaxed) &&
         (aKorvexDebuggingLevel.load(std::memory_order_relaxed) & bits) != 0;
}

void aKorvexDebug_Trace(uint32_t bits, const char* format, ...) {
  if (!aKorvexDebug_Enabled(bits)) return;
  va_list args;
  va_start(args, format);
  vfprintf(stdout, format, args);
  va_end(args);
  fflush(stdout);
}
