#include "common/aNumber.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {

bool IsDigitIn(char c, int base) {
  const unsigned char u = static_cast<unsigned char>(c);
  return base == 16 ? std::isxdigit(u) != 0 : std::isdigit(u) != 0;
}

}  // namespace

aErr aNumber_ParseU32(const char* text, int base, uint32_t* value, const char** end) {
  if (end) *end = text;
  if (!text || !value || (base != 0 && base != 10 && base != 16)) return aErrParam;
  *value = 0;
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  // strtoull would take a sign, and "-1" would read as the largest value.
  if (!IsDigitIn(*p, base == 0 ? 10 : base)) return aErrNotFound;
  char* stop = nullptr;
  errno = 0;
  const unsigned long long number = std::strtoull(p, &stop, base);
  if (stop == p) return aErrNotFound;
  if (end) *end = stop;
  if (errno == ERANGE || number > 0xFFFFFFFFull) return aErrRange;
  *value = static_cast<uint32_t>(number);
  return aErrNone;
}
