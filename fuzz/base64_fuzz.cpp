// Base64 decoding of arbitrary text (the firmware payload of an update
// server reply): never a read or write out of bounds, and whatever decodes
// encodes back to text that decodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "server/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  size_t decodedLength = 0;
  std::unique_ptr<uint8_t[]> decoded = base64_decode(text, size, &decodedLength);
  if (decoded) {
    if (decodedLength > size / 4 * 3) std::abort();
    size_t encodedLength = 0;
    std::unique_ptr<char[]> encoded = base64_encode(decoded.get(), decodedLength, &encodedLength);
    if (!encoded || encodedLength != size) std::abort();
    size_t againLength = 0;
    std::unique_ptr<uint8_t[]> again = base64_decode(encoded.get(), encodedLength, &againLength);
    if (!again || againLength != decodedLength ||
        std::memcmp(again.get(), decoded.get(), decodedLength) != 0) {
      std::abort();
    }
  }
  // The streaming decoder, fed in pieces cut at sizes taken from the data,
  // gives the same verdict and bytes.
  {
    // One room for every piece, and the output reserved at once: a heap
    // block per piece of a few bytes, freed at once, fills the address
    // sanitizer's quarantine (which counts the bytes asked for, not the
    // far larger blocks that hold them) until memory runs out.
    Base64StreamDecoder stream;
    std::vector<uint8_t> out;
    out.reserve(size / 4 * 3 + 3);
    uint8_t room[16];
    if (Base64StreamDecoder::MaxOutput(16) > sizeof room) std::abort();
    size_t pos = 0;
    for (size_t i = 0; pos < size; ++i) {
      size_t n = 1 + data[i % size] % 16;
      if (n > size - pos) n = size - pos;
      const size_t got = stream.Feed(text + pos, n, room);
      if (got > Base64StreamDecoder::MaxOutput(n)) std::abort();
      out.insert(out.end(), room, room + got);
      pos += n;
    }
    if (stream.Complete() != (decoded != nullptr)) std::abort();
    if (decoded && (out.size() != decodedLength ||
                    (decodedLength && std::memcmp(out.data(), decoded.get(), decodedLength) != 0))) {
      std::abort();
    }
  }
  // The input as bytes survives a round trip.
  size_t encodedLength = 0;
  std::unique_ptr<char[]> encoded = base64_encode(data, size, &encodedLength);
  if (!encoded) std::abort();
  size_t backLength = 0;
  std::unique_ptr<uint8_t[]> back = base64_decode(encoded.get(), encodedLength, &backLength);
  if (!back || backLength != size || (size && std::memcmp(back.get(), data, size) != 0)) std::abort();
  return 0;
}
