#include "common/aNumber.h"

#include <gtest/gtest.h>

#include <cstring>

// 32-bit numbers read the same on every host: a value beyond 32 bits is
// refused, never cut to its low bits.
TEST(aNumber, ParsesUnsigned32BitNumbers) {
  struct Case {
    const char* text;
    int base;
    aErr err;
    uint32_t value;
    const char* rest;
  };
  const Case cases[] = {
      {"1234", 10, aErrNone, 1234, ""},
      {"  1300.bird", 10, aErrNone, 1300, ".bird"},
      {"4294967295", 10, aErrNone, 0xFFFFFFFFu, ""},
      {"4294968530", 10, aErrRange, 0, ""},
      {"99999999999999999999999", 10, aErrRange, 0, ""},
      {"40F5849A", 16, aErrNone, 0x40F5849Au, ""},
      {"0x10", 16, aErrNone, 16, ""},
      {"100000000", 16, aErrRange, 0, ""},
      {"010", 0, aErrNone, 8, ""},
      {"0x10 ", 0, aErrNone, 16, " "},
      {"0x100000000", 0, aErrRange, 0, ""},
      {"-1", 10, aErrNotFound, 0, "-1"},
      {"+5", 10, aErrNotFound, 0, "+5"},
      {"", 10, aErrNotFound, 0, ""},
      {"abc", 10, aErrNotFound, 0, "abc"},
      {"12", 8, aErrParam, 0, "12"},
  };
  for (const Case& c : cases) {
    uint32_t value = 77;
    const char* end = nullptr;
    EXPECT_EQ(aNumber_ParseU32(c.text, c.base, &value, &end), c.err) << c.text;
    EXPECT_EQ(value, c.err == aErrParam ? 77u : c.value) << c.text;
    if (c.err != aErrRange) {
      EXPECT_STREQ(end, c.rest) << c.text;
    }
  }
  uint32_t value = 0;
  EXPECT_EQ(aNumber_ParseU32(nullptr, 10, &value), aErrParam);
  EXPECT_EQ(aNumber_ParseU32("1", 10, nullptr), aErrParam);
}
