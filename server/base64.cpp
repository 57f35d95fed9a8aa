#include "server/base64.h"

#include <new>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

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
size_t DecodePlainGroupsOneByOne(const uint8_t* in, size_t groups, uint8_t* out) {
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

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define UPDATER_BASE64_AVX2 1

// Eight groups (32 characters) per step with AVX2, while every character
// of a step is in the alphabet; a step holding anything else is left to
// the one-by-one decoder, which finds the exact group. Each character's
// class comes from two nibble lookups whose bits meet only for characters
// outside the alphabet; the class's offset turns the character into its
// 6-bit value; two multiply-adds pack four values into three bytes. Writes
// exactly 24 bytes per step. Returns the groups done.
__attribute__((target("avx2"))) size_t DecodeEightGroupSteps(const uint8_t* in, size_t groups,
                                                             uint8_t* out) {
  const __m256i lowNibbleClass = _mm256_setr_epi8(
      0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A,
      0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i highNibbleClass = _mm256_setr_epi8(
      0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
      0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  // By high nibble ('/' at index 1): '+' 62, '/' 63, digits 52.., letters.
  const __m256i offset = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,
                                          0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i slash = _mm256_set1_epi8(0x2F);
  const __m256i pairs = _mm256_set1_epi32(0x01400140);
  const __m256i quads = _mm256_set1_epi32(0x00011000);
  const __m256i bytesInOrder = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                                2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanesTogether = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  size_t g = 0;
  for (; g + 8 <= groups; g += 8, in += 32, out += 24) {
    __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(text, 4), slash);
    const __m256i low = _mm256_and_si256(text, slash);
    const __m256i lowClass = _mm256_shuffle_epi8(lowNibbleClass, low);
    const __m256i highClass = _mm256_shuffle_epi8(highNibbleClass, high);
    if (!_mm256_testz_si256(lowClass, highClass)) break;
    const __m256i isSlash = _mm256_cmpeq_epi8(text, slash);
    text = _mm256_add_epi8(text, _mm256_shuffle_epi8(offset, _mm256_add_epi8(isSlash, high)));
    __m256i packed = _mm256_madd_epi16(_mm256_maddubs_epi16(text, pairs), quads);
    packed = _mm256_shuffle_epi8(packed, bytesInOrder);
    packed = _mm256_permutevar8x32_epi32(packed, lanesTogether);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
  }
  return g;
}
#endif

size_t DecodePlainGroups(const uint8_t* in, size_t groups, uint8_t* out) {
  size_t g = 0;
#ifdef UPDATER_BASE64_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2 && groups >= 8) g = DecodeEightGroupSteps(in, groups, out);
#endif
  return g + DecodePlainGroupsOneByOne(in + g * 4, groups - g, out + g * 3);
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
