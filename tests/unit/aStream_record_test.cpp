// Record reads checked against a plain reference on many generated inputs:
// small alphabets make overlapping, broken and repeated terminators common,
// and a backing that runs dry at random points exercises the pushback.
#include "common/aStream.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Source {
  std::string data;
  size_t pos = 0;
  size_t limit = 0;  // bytes handed out before the next "not ready"
};

aErr SourceGet(uint8_t* byte, void* context) {
  Source* s = static_cast<Source*>(context);
  if (s->pos >= s->data.size()) return aErrEOF;
  if (s->pos >= s->limit) return aErrNotReady;
  *byte = static_cast<uint8_t>(s->data[s->pos++]);
  return aErrNone;
}

// The first record of data: up to the first whole terminator when it starts
// before maximum bytes, else the first maximum bytes; at the end of the data
// whatever is left. Returns the record and where the stream continues.
std::string Reference(const std::string& data, const std::string& term,
                      size_t maximum, size_t* next) {
  const size_t found = data.find(term);
  if (found != std::string::npos && found < maximum) {
    *next = found + term.size();
    return data.substr(0, found);
  }
  const size_t n = std::min(maximum, data.size());
  *next = n;
  return data.substr(0, n);
}

std::string Rest(aStreamRef s) {
  std::string rest;
  uint8_t b = 0;
  while (aStream_Read(s, &b, 1) == aErrNone) rest.push_back(static_cast<char>(b));
  return rest;
}

TEST(StreamRecord, MatchesTheReferenceOnGeneratedInputs) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 4000; ++round) {
    const int alphabet = 2 + static_cast<int>(random() % 2);
    auto text = [&](size_t n) {
      std::string t;
      for (size_t i = 0; i < n; ++i) t.push_back(static_cast<char>('a' + random() % alphabet));
      return t;
    };
    const std::string term = text(1 + random() % 4);
    Source src;
    src.data = text(random() % 24);
    const size_t maximum = 1 + random() % 12;
    const bool stalls = (round % 2) == 1;
    src.limit = stalls ? random() % (src.data.size() + 1) : src.data.size();

    aStreamRef s = aStream_Create(SourceGet, nullptr, nullptr, nullptr, &src);
    ASSERT_NE(s, nullptr);
    uint8_t buffer[16] = {};
    size_t length = 0;
    aErr err;
    int tries = 0;
    // A stalled backing makes the read give everything back; it is asked
    // again as more bytes become available, until the record completes.
    while ((err = aStream_ReadRecord(s, buffer, &length, maximum,
                                     reinterpret_cast<const uint8_t*>(term.data()),
                                     term.size())) == aErrNotReady &&
           tries++ < 40) {
      src.limit += 1 + random() % 3;
    }

    size_t next = 0;
    const std::string expected = Reference(src.data, term, maximum, &next);
    const std::string where = "data '" + src.data + "' term '" + term +
                              "' max " + std::to_string(maximum);
    if (expected.empty() && next == src.data.size() && next == 0) {
      EXPECT_EQ(err, aErrEOF) << where;
    } else {
      ASSERT_EQ(err, aErrNone) << where;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), expected) << where;
    }
    src.limit = src.data.size();
    EXPECT_EQ(Rest(s), src.data.substr(std::min(next, src.data.size()))) << where;
    aStream_Destroy(&s);
  }
}

}  // namespace
