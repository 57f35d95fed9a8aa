// Reading unsigned 32-bit numbers from text the same way on 32- and 64-bit
// hosts: the digits are read as a 64-bit number and a value that does not
// fit in 32 bits is refused rather than cut to its low bits.
#ifndef KORVEX_ANUMBER_H
#define KORVEX_ANUMBER_H

#include <cstdint>

#include "common/aError.h"

// Reads the number at the start of text, after any leading white space, in
// base 10 or 16, or (base 0) in the base its prefix names ("0x" hexadecimal,
// a leading "0" octal, else decimal); a "0x" prefix is also accepted in base
// 16. Characters after the digits end the number and are left to the caller
// (*end, when given, points at the first of them).
//   aErrNone     *value holds the number.
//   aErrNotFound no digits (a sign counts as none); *value is 0, *end = text.
//   aErrRange    the number is above 0xFFFFFFFF; *value is 0.
//   aErrParam    null text or value, or an unsupported base.
aErr aNumber_ParseU32(const char* text, int base, uint32_t* value, const char** end = nullptr);

#endif
