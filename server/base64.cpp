#include "server/base64.h"

#include <new>

namespace {

const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0-63 for alphabet characters, 64 for the fill character, 255 otherwise.
struct DecodeTable {
  uint8_t value[256];
  DecodeTable() {
    for (unsigned i = 0; i < 256; ++i) value[i] = 255;
    for (unsigned i = 0; i < 64; ++i) value[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
    value[static_cast<uint8_t>('=')] = 64;
  }
};
const DecodeTable kDecode;

}  // namespace

std::unique_ptr<char[]> base64_encode(const uint8_t* data, size_t length,
                                      size_t* outLength) {
  if (outLength) *outLength = 0;
  if (!data && length != 0) return nullptr;
  const size_t groups = length / 3 + (length % 3 ? 1 : 0);
  if (groups > (static_cast<size_t>(-1) - 1) / 4) return nullptr;
  const size_t size = groups * 4;
  std::unique_ptr<char[]> out(new (std::nothrow) char[size + 1]);
  if (!out) return nullptr;

  size_t o = 0;
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
    out[o++] = kAlphabet[(v >> 18) & 0x3F];
    out[o++] = kAlphabet[(v >> 12) & 0x3F];
    out[o++] = kAlphabet[(v >> 6) & 0x3F];
    out[o++] = kAlphabet[v & 0x3F];
  }
  const size_t rest = length - i;
  if (rest) {
    uint32_t v = uint32_t(data[i]) << 16;
    if (rest == 2) v |= uint32_t(data[i + 1]) << 8;
    out[o++] = kAlphabet[(v >> 18) & 0x3F];
    out[o++] = kAlphabet[(v >> 12) & 0x3F];
    out[o++] = rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : '=';
    out[o++] = '=';
  }
  out[o] = '\0';
  if (outLength) *outLength = o;
  return out;
}

std::unique_ptr<uint8_t[]> base64_decode(const char* text, size_t length,
                                         size_t* outLength) {
  if (outLength) *outLength = 0;
  if ((!text && length != 0) || length % 4 != 0) return nullptr;

  size_t padding = 0;
  if (length >= 4) {
    if (text[length - 1] == '=') ++padding;
    if (text[length - 2] == '=') ++padding;
    // "A=B=" and "AB=C" are not valid fills.
    if (padding == 1 && text[length - 2] == '=') return nullptr;
    if (text[length - 2] == '=' && text[length - 1] != '=') return nullptr;
  }
  const size_t size = length / 4 * 3 - padding;
  std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[size + 1]);
  if (!out) return nullptr;

  const uint8_t* in = reinterpret_cast<const uint8_t*>(text);
  size_t o = 0;
  for (size_t i = 0; i < length; i += 4) {
    const bool last = i + 4 == length;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const uint8_t d = kDecode.value[in[i + k]];
      if (d == 255) return nullptr;
      if (d == 64) {
        // The fill may only close the text.
        if (!last || k < 2) return nullptr;
        v <<= 6;
        continue;
      }
      v = (v << 6) | d;
    }
    const size_t n = last ? 3 - padding : 3;
    if (n >= 1) out[o++] = static_cast<uint8_t>(v >> 16);
    if (n >= 2) out[o++] = static_cast<uint8_t>(v >> 8);
    if (n >= 3) out[o++] = static_cast<uint8_t>(v);
  }
  out[o] = 0;
  if (outLength) *outLength = o;
  return out;
}
