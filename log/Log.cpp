#include "log/Log.h"

#include <cstdarg>

FILE* Log::fh = nullptr;
uint32_t Log::package_bitmask = 0;

namespace {
constexpr size_t kLineBuffer = 2048;  // longer lines are cut to 2047 characters
}

void Log::log(uint32_t mask, const char* format, ...) {
  if (mask != 0 && (mask & package_bitmask) == 0) return;
  if (!fh || !format) return;
  char text[kLineBuffer];
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (length <= 0) return;
  const size_t count = size_t(length) < sizeof(text) ? size_t(length) : sizeof(text) - 1;
  fwrite(text, 1, count, fh);
  fflush(fh);
}

void Log::SetOutput(FILE* stream) { fh = stream; }
void Log::ActivatePackage(uint32_t mask) { package_bitmask |= mask; }
void Log::DeactivatePackage(uint32_t mask) { package_bitmask &= ~mask; }
uint32_t Log::EnabledPackages() { return package_bitmask; }
bool Log::IsActive(uint32_t mask) { return mask == 0 || (mask & package_bitmask) != 0; }
