// The message sockets' wire protocol as a peer may send it: the input,
// after a byte that says how it is cut, arrives in pieces of that size;
// whatever comes, the reader hands out frames no larger than its bound,
// consumes what it hands out, and commands and READY properties parse or
// are refused without reading past their bodies.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/aZmtp.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const size_t step = 1 + in.Byte() % 64;
  const bool startsWithGreeting = in.Byte() & 1;  // or frames from the first byte on
  aZmtpReader reader;
  bool greeted = !startsWithGreeting;
  while (!in.Empty()) {
    const std::vector<uint8_t> piece = in.Bytes(step);
    reader.add(piece.data(), piece.size());
    for (;;) {
      const size_t before = reader.pending();
      aZmtpFrame f;
      const aZmtpReader::Result r = greeted ? reader.next(&f) : reader.greeting();
      if (r == aZmtpReader::kBad) return 0;  // the connection would close here
      if (r == aZmtpReader::kNeedMore) {
        if (reader.pending() != before) std::abort();
        break;
      }
      if (reader.pending() >= before) std::abort();
      if (!greeted) {
        greeted = true;
        continue;
      }
      if (f.body.size() > aZMTP_MAX_FRAME) std::abort();
      std::string name, body, type;
      if (f.command && aZmtp_ParseCommand(f.body, &name, &body)) {
        if (name.size() + body.size() + 1 != f.body.size()) std::abort();
        if (aZmtp_ReadySocketType(body, &type) && type.size() > body.size()) std::abort();
        if (aZmtp_PongFor(body).size() > 16) std::abort();
      }
    }
  }
  return 0;
}
