#include "server/base64.h"

#include <new>

namespace {

const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Each character's 6 bits already shifted to their place in a group of
// four; kBad marks the fill and every character outside the alphabet, so
// one test of the combined group finds any of them.
const uint32_t kBad = 0x01000000u;
struct DecodeTables {
  uint32_t d[4][256];
  DecodeTables() {
    for (unsigned k = 0; k < 4; ++k)
      for (unsigned i = 0; i < 256; ++i) d[k][i] = kBad;
    for (uint32_t i = 0; i < 64; ++i) {
      const uint8_t c = static_cast<uint8_t>(kAlphabet[i]);
      d[0][c] = i << 18;
      d[1][c] = i << 12;
      d[2][c] = i << 6;
      d[3][c] = i;
    }
  }
};
const DecodeTables kTables;

// Decodes groups of four alphabet characters into three bytes each and
// stops at the first group holding anything else. Returns the groups done.
size_t DecodePlainGroups(const uint8_t* in, size_t groups, uint8_t* out) {
  const uint32_t* d0 = kTables.d[0];
  const uint32_t* d1 = kTables.d[1];
  const uint32_t* d2 = kTables.d[2];
  const uint32_t* d3 = kTables.d[3];
  size_t g = 0;
  for (; g < groups; ++g, in += 4, out += 3) {
    const uint32_t v = d0[in[0]] | d1[in[1]] | d2[in[2]] | d3[in[3]];
    if (v & kBad) break;
    out[0] = static_cast<uint8_t>(v >> 16);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v);
  }
  return g;
}

// The closing group of a text with fill: "AB==" gives one byte, "ABC=" two.
// -1 for any other group that is not plain ("A===", "A=B=", "AB=C", ...).
int DecodeClosingGroup(const uint8_t* in, uint8_t* out) {
  const uint32_t ab = kTables.d[0][in[0]] | kTables.d[1][in[1]];
  if ((ab & kBad) || in[3] != '=') return -1;
  if (in[2] == '=') {
    out[0] = static_cast<uint8_t>(ab >> 16);
    return 1;
  }
  const uint32_t v = ab | kTables.d[2][in[2]];
  if (v & kBad) return -1;
  out[0] = static_cast<uint8_t>(v >> 16);
  out[1] = static_cast<uint8_t>(v >> 8);
  return 2;
}

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
  const size_t groups = length / 4;
  // Room for whole groups; fill makes the text up to two bytes shorter.
  std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[groups * 3 + 1]);
  if (!out) return nullptr;

  const uint8_t* in = reinterpret_cast<const uint8_t*>(text);
  const size_t plain = DecodePlainGroups(in, groups, out.get());
  size_t o = plain * 3;
  if (plain < groups) {
    // Only the last group may differ, and only by closing the text.
    if (plain + 1 != groups) return nullptr;
    const int n = DecodeClosingGroup(in + plain * 4, out.get() + o);
    if (n < 0) return nullptr;
    o += static_cast<size_t>(n);
  }
  out[o] = 0;
  if (outLength) *outLength = o;
  return out;
}

size_t Base64StreamDecoder::Feed(const char* text, size_t length, uint8_t* out) {
  if (failed_ || length == 0) return 0;
  if (!text || !out || padded_) {
    failed_ = true;  // nothing may follow the fill
    return 0;
  }
  const uint8_t* in = reinterpret_cast<const uint8_t*>(text);
  size_t o = 0;
  if (pendingCount_ > 0) {
    // Complete the group an earlier piece began.
    while (pendingCount_ < 4 && length > 0) {
      pending_[pendingCount_++] = *in++;
      --length;
    }
    if (pendingCount_ < 4) return 0;
    pendingCount_ = 0;
    if (DecodePlainGroups(pending_, 1, out) == 1) {
      o = 3;
    } else {
      const int n = DecodeClosingGroup(pending_, out);
      if (n < 0 || length > 0) {
        failed_ = true;
        return 0;
      }
      padded_ = true;
      return static_cast<size_t>(n);
    }
  }
  const size_t groups = length / 4;
  // The characters of a group that a later piece completes: fewer than 4,
  // written so that the compiler sees the bound of pending_ too.
  const size_t tail = length % 4;
  const size_t plain = DecodePlainGroups(in, groups, out + o);
  o += plain * 3;
  if (plain < groups) {
    // Only the last group may differ, and nothing may follow it.
    const int n = DecodeClosingGroup(in + plain * 4, out + o);
    if (n < 0 || plain + 1 != groups || tail != 0) {
      failed_ = true;
      return 0;
    }
    padded_ = true;
    return o + static_cast<size_t>(n);
  }
  for (size_t i = 0; i < tail; ++i) pending_[i] = in[groups * 4 + i];
  pendingCount_ = tail;
  return o;
}
