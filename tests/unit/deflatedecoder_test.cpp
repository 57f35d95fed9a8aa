// The deflate decoder against zlib's raw inflate on hand-made streams that
// sit on each of zlib's rules, whole and one byte at a time.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/DeflateDecoder.h"

namespace {

class Bits {
 public:
  Bits& Put(uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) Bit(i < 32 ? (value >> i) & 1 : 0);
    return *this;
  }
  // A Huffman code: its bits go out from the most significant.
  Bits& Code(uint32_t code, unsigned length) {
    for (unsigned i = length; i-- > 0;) Bit((code >> i) & 1);
    return *this;
  }
  std::vector<uint8_t> Done() const { return bytes_; }

 private:
  void Bit(unsigned b) {
    if (used_ % 8 == 0) bytes_.push_back(0);
    bytes_.back() = uint8_t(bytes_.back() | b << (used_ % 8));
    ++used_;
  }
  std::vector<uint8_t> bytes_;
  unsigned used_ = 0;
};

// Canonical codes of a set of code lengths.
std::vector<uint32_t> Canonical(const std::vector<unsigned>& lengths) {
  unsigned count[16] = {}, next[16] = {};
  for (unsigned l : lengths) ++count[l];
  count[0] = 0;
  for (unsigned len = 1, c = 0; len < 16; ++len) next[len] = c = (c + count[len - 1]) << 1;
  std::vector<uint32_t> codes(lengths.size());
  for (size_t s = 0; s < lengths.size(); ++s) {
    if (lengths[s]) codes[s] = next[lengths[s]]++;
  }
  return codes;
}

// A dynamic block header. Code lengths are written with a code length code
// that gives 0-14 four bits and the repeats 16 and 17 five bits, unless
// clLengths replaces it (in the order the format sends them).
struct Dynamic {
  std::vector<unsigned> lit, dist;
  std::vector<unsigned> clLengths;
  std::vector<std::pair<unsigned, unsigned>> lengthSymbols;  // symbol, extra; replaces lit+dist
  unsigned nlen = 0, ndist = 0;  // when set, the counts sent
};

const unsigned kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

void PutDynamic(Bits& b, const Dynamic& d, bool last) {
  b.Put(last, 1).Put(2, 2);
  b.Put((d.nlen ? d.nlen : unsigned(d.lit.size())) - 257, 5);
  b.Put((d.ndist ? d.ndist : unsigned(d.dist.size())) - 1, 5);
  std::vector<unsigned> cl(19, 0);
  for (unsigned s = 0; s < 15; ++s) cl[s] = 4;
  cl[16] = cl[17] = 5;
  if (!d.clLengths.empty()) {
    cl.assign(19, 0);
    for (size_t i = 0; i < d.clLengths.size(); ++i) cl[kOrder[i]] = d.clLengths[i];
  }
  b.Put(19 - 4, 4);
  for (unsigned i = 0; i < 19; ++i) b.Put(cl[kOrder[i]], 3);
  const std::vector<uint32_t> clCodes = Canonical(cl);
  std::vector<std::pair<unsigned, unsigned>> symbols = d.lengthSymbols;
  if (symbols.empty()) {
    for (unsigned l : d.lit) symbols.push_back({l, 0});
    for (unsigned l : d.dist) symbols.push_back({l, 0});
  }
  for (const auto& s : symbols) {
    b.Code(clCodes[s.first], cl[s.first]);
    if (s.first == 16) b.Put(s.second, 2);
    if (s.first == 17) b.Put(s.second, 3);
    if (s.first == 18) b.Put(s.second, 7);
  }
}

std::vector<unsigned> Lengths(size_t n, std::vector<std::pair<unsigned, unsigned>> set) {
  std::vector<unsigned> l(n, 0);
  for (const auto& s : set) l[s.first] = s.second;
  return l;
}

// zlib's raw inflate on the whole stream: the bytes and whether it ended.
bool Zlib(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  inflateInit2(&zs, -15);
  out.assign(1 << 20, 0);
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = uInt(in.size());
  zs.next_out = out.data();
  zs.avail_out = uInt(out.size());
  const int ret = inflate(&zs, Z_FINISH);
  out.resize(out.size() - zs.avail_out);
  inflateEnd(&zs);
  return ret == Z_STREAM_END;
}

struct Outcome {
  DeflateDecoder::Result result;
  std::vector<uint8_t> bytes;
  size_t unread = 0;  // input left after End
};

Outcome Decode(const std::vector<uint8_t>& in, size_t piece) {
  DeflateDecoder decoder;
  Outcome o{DeflateDecoder::Result::NeedInput, {}, 0};
  for (size_t pos = 0; pos < in.size() && o.result == DeflateDecoder::Result::NeedInput;) {
    const uint8_t* p = in.data() + pos;
    size_t left = std::min(piece, in.size() - pos);
    const size_t given = left;
    do {
      const uint8_t* bytes = nullptr;
      size_t produced = 0;
      o.result = decoder.Next(&p, &left, 300, &bytes, &produced);
      o.bytes.insert(o.bytes.end(), bytes, bytes + produced);
    } while (o.result == DeflateDecoder::Result::OutputFull);
    pos += given - left;
    o.unread = in.size() - pos;
  }
  return o;
}

// The same in place: output straight into one buffer holding all of it,
// asked for step bytes at a time; the buffer moves (its bytes kept) as it
// grows, and besides on every fifth call that finds 32 KiB more made since
// the last move (every fifth call alone copies the whole output thousands
// of times with small steps).
Outcome DecodeInPlace(const std::vector<uint8_t>& in, size_t piece, size_t step) {
  DeflateDecoder decoder;
  Outcome o{DeflateDecoder::Result::NeedInput, {}, 0};
  std::vector<uint8_t> buffer;
  size_t made = 0;
  size_t calls = 0;
  size_t movedAt = 0;
  for (size_t pos = 0; pos < in.size() && o.result == DeflateDecoder::Result::NeedInput;) {
    const uint8_t* p = in.data() + pos;
    size_t left = std::min(piece, in.size() - pos);
    const size_t given = left;
    do {
      const size_t need = made + step + DeflateDecoder::kInPlaceMargin;
      if (buffer.size() < need || (++calls % 5 == 0 && made - movedAt >= 32768)) {
        movedAt = made;
        std::vector<uint8_t> moved(buffer.size() < need ? std::max(need, buffer.size() * 2)
                                                        : buffer.size(),
                                   0xEE);
        std::copy(buffer.begin(), buffer.begin() + made, moved.begin());
        buffer.swap(moved);
      }
      o.result = decoder.ExpandInPlace(&p, &left, buffer.data(), &made, made + step);
    } while (o.result == DeflateDecoder::Result::OutputFull);
    pos += given - left;
    o.unread = in.size() - pos;
  }
  o.bytes.assign(buffer.begin(), buffer.begin() + made);
  return o;
}

struct Case {
  const char* name;
  std::vector<uint8_t> stream;
  bool valid;
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  // Fixed codes: literals 0-143 are 8 bits from 0x30, 256-279 seven bits
  // from 0, 280-287 eight bits from 0xC0; distances five bits.
  const auto lit = [](Bits& b, unsigned c) -> Bits& { return b.Code(0x30 + c, 8); };
  {
    Bits b;
    lit(b.Put(1, 1).Put(1, 2), 'a').Code(1, 7).Code(0, 5).Code(0, 7);  // "a", copy 3 from 1
    cases.push_back({"fixed literal and run", b.Done(), true});
  }
  for (unsigned sym : {286u, 287u}) {
    Bits b;
    lit(b.Put(1, 1).Put(1, 2), 'a').Code(0xC0 + sym - 280, 8).Code(0, 7);
    cases.push_back({"fixed length code outside the alphabet", b.Done(), false});
  }
  for (unsigned d : {30u, 31u}) {
    Bits b;
    lit(b.Put(1, 1).Put(1, 2), 'a').Code(1, 7).Code(d, 5).Code(0, 7);
    cases.push_back({"fixed distance code outside the alphabet", b.Done(), false});
  }
  {
    Bits b;  // distance 2 after one byte of output
    lit(b.Put(1, 1).Put(1, 2), 'a').Code(1, 7).Code(1, 5).Code(0, 7);
    cases.push_back({"distance before the start", b.Done(), false});
  }
  cases.push_back({"block type 3", Bits().Put(1, 1).Put(3, 2).Put(0, 13).Done(), false});
  {
    Bits b;
    b.Put(0, 1).Put(0, 2).Put(0, 5).Put(2, 16).Put(0xFFFD, 16).Put('h', 8).Put('i', 8);
    b.Put(1, 1).Put(0, 2).Put(0, 5).Put(0, 16).Put(0xFFFF, 16);  // an empty last block
    cases.push_back({"stored blocks", b.Done(), true});
    Bits bad;
    bad.Put(1, 1).Put(0, 2).Put(0, 5).Put(2, 16).Put(0xFFFC, 16).Put('h', 8).Put('i', 8);
    cases.push_back({"stored lengths that disagree", bad.Done(), false});
  }
  const std::vector<unsigned> twoLits = Lengths(257, {{'a', 1}, {256, 1}});
  const std::vector<unsigned> oneDist = {1};
  {
    Bits b;  // 'a' is 0, end of block is 1
    PutDynamic(b, {twoLits, oneDist, {}, {}, 0, 0}, true);
    b.Code(0, 1).Code(0, 1).Code(1, 1);
    cases.push_back({"dynamic block", b.Done(), true});
  }
  {
    // Otherwise whole blocks with one length or distance code too many.
    Bits b;
    PutDynamic(b, {Lengths(287, {{'a', 1}, {256, 1}}), oneDist, {}, {}, 0, 0}, true);
    b.Code(0, 1).Code(1, 1);
    cases.push_back({"287 length codes", b.Done(), false});
    Bits c;
    PutDynamic(c, {twoLits, Lengths(31, {{0, 1}}), {}, {}, 0, 0}, true);
    c.Code(0, 1).Code(1, 1);
    cases.push_back({"31 distance codes", c.Done(), false});
  }
  {
    Bits b;  // a code length code of two 2-bit codes, enough for the lengths
    std::vector<unsigned> half(18, 0);
    half[3] = half[17] = 2;  // code lengths 0 and 1
    PutDynamic(b, {twoLits, oneDist, half, {}, 0, 0}, true);
    b.Code(0, 1).Code(1, 1);
    cases.push_back({"incomplete code length code", b.Done(), false});
    Bits c;
    PutDynamic(c, {twoLits, oneDist, {0, 0, 0, 1, 1, 1}, {}, 0, 0}, true);
    cases.push_back({"over-subscribed code length code", c.Done(), false});
    Bits e;  // no code length codes: every length reads as one bit, then no end of block
    PutDynamic(e, {twoLits, oneDist, {0}, {{0, 0}}, 0, 0}, true);
    e.Put(0, 258);
    cases.push_back({"empty code length code", e.Done(), false});
  }
  {
    Bits b;
    PutDynamic(b, {twoLits, oneDist, {}, {{16, 0}}, 0, 0}, true);
    cases.push_back({"repeat with nothing before", b.Done(), false});
    std::vector<std::pair<unsigned, unsigned>> over;
    for (unsigned l : twoLits) over.push_back({l, 0});
    over.push_back({16, 0});  // three more 1s where one distance length remains
    Bits c;
    PutDynamic(c, {twoLits, oneDist, {}, over, 0, 0}, true);
    c.Code(0, 1).Code(1, 1);
    cases.push_back({"repeat past the last length", c.Done(), false});
  }
  {
    Bits b;
    PutDynamic(b, {Lengths(257, {{'a', 1}, {'b', 1}}), oneDist, {}, {}, 0, 0}, true);
    cases.push_back({"no end-of-block code", b.Done(), false});
    Bits c;
    PutDynamic(c, {Lengths(257, {{'a', 2}, {256, 2}}), oneDist, {}, {}, 0, 0}, true);
    c.Code(0, 2).Code(1, 2);
    cases.push_back({"incomplete literal code of two codes", c.Done(), false});
  }
  const std::vector<unsigned> onlyEnd = Lengths(257, {{256, 1}});
  for (unsigned sym : {0u, 1u}) {
    Bits b;  // zlib allows one 1-bit code; the other code is invalid
    PutDynamic(b, {onlyEnd, {0}, {}, {}, 0, 0}, true);
    b.Code(sym, 1);
    cases.push_back({sym ? "unused half of a one-code literal code" : "one-code literal code",
                     b.Done(), sym == 0});
  }
  const std::vector<unsigned> withLength = Lengths(258, {{'a', 1}, {256, 2}, {257, 2}});
  for (unsigned sym : {0u, 1u}) {
    Bits b;  // one distance code of one bit
    PutDynamic(b, {withLength, {1}, {}, {}, 0, 0}, true);
    b.Code(0, 1).Code(3, 2).Code(sym, 1).Code(2, 2);
    cases.push_back({sym ? "unused half of a one-code distance code" : "one-code distance code",
                     b.Done(), sym == 0});
  }
  {
    Bits b;  // no distance codes at all, then a length
    PutDynamic(b, {withLength, {0}, {}, {}, 0, 0}, true);
    b.Code(0, 1).Code(3, 2).Code(0, 1).Code(2, 2);
    cases.push_back({"length with no distance codes", b.Done(), false});
  }
  return cases;
}

TEST(DeflateDecoder, RefusesAndAcceptsWhatZlibDoes) {
  for (const Case& c : Cases()) {
    std::vector<uint8_t> want;
    ASSERT_EQ(Zlib(c.stream, want), c.valid) << c.name << ": the case itself is wrong";
    // Two bytes after the stream: handed back, never decoded.
    std::vector<uint8_t> stream = c.stream;
    stream.insert(stream.end(), {0xA5, 0x5A});
    for (size_t piece : {stream.size(), size_t(1), size_t(3)}) {
      const Outcome got = Decode(stream, piece);
      const bool ended = got.result == DeflateDecoder::Result::End;
      EXPECT_EQ(ended, c.valid) << c.name << ", pieces of " << piece;
      if (c.valid) {
        EXPECT_EQ(got.bytes, want) << c.name;
        EXPECT_EQ(got.unread, 2u) << c.name << ", pieces of " << piece;
      }
      for (size_t step : {size_t(1), size_t(2), size_t(1000)}) {
        const Outcome flat = DecodeInPlace(stream, piece, step);
        EXPECT_EQ(flat.result == DeflateDecoder::Result::End, c.valid)
            << c.name << " in place, pieces of " << piece << ", steps of " << step;
        if (c.valid) {
          EXPECT_EQ(flat.bytes, want) << c.name << " in place";
          EXPECT_EQ(flat.unread, 2u) << c.name << " in place, pieces of " << piece;
        }
      }
    }
  }
}

TEST(DeflateDecoder, ExpandsInPlaceOrThroughItsWindowNeverBoth) {
  Bits b;  // fixed codes: "a", then a copy of 3 from 1
  b.Put(1, 1).Put(1, 2).Code(0x30 + 'a', 8).Code(1, 7).Code(0, 5).Code(0, 7);
  const std::vector<uint8_t> stream = b.Done();
  uint8_t buffer[8 + DeflateDecoder::kInPlaceMargin] = {};
  {
    DeflateDecoder decoder;
    const uint8_t* p = stream.data();
    size_t left = stream.size();
    size_t made = 0;
    EXPECT_EQ(decoder.ExpandInPlace(&p, &left, buffer, &made, 8), DeflateDecoder::Result::End);
    EXPECT_EQ(made, 4u);
    EXPECT_EQ(std::string(buffer, buffer + 4), "aaaa");
    const uint8_t* bytes = nullptr;
    size_t produced = 0;
    EXPECT_EQ(decoder.Next(&p, &left, 8, &bytes, &produced), DeflateDecoder::Result::Error);
  }
  {
    DeflateDecoder decoder;  // a position other than the one left
    const uint8_t* p = stream.data();
    size_t left = 1;
    size_t made = 0;
    EXPECT_EQ(decoder.ExpandInPlace(&p, &left, buffer, &made, 8),
              DeflateDecoder::Result::NeedInput);
    made = 1;
    left = stream.size() - 1;
    EXPECT_EQ(decoder.ExpandInPlace(&p, &left, buffer, &made, 8), DeflateDecoder::Result::Error);
  }
  {
    DeflateDecoder decoder;
    const uint8_t* p = stream.data();
    size_t left = 1;
    const uint8_t* bytes = nullptr;
    size_t produced = 0;
    EXPECT_EQ(decoder.Next(&p, &left, 8, &bytes, &produced), DeflateDecoder::Result::NeedInput);
    size_t made = 0;
    left = stream.size() - 1;
    EXPECT_EQ(decoder.ExpandInPlace(&p, &left, buffer, &made, 8), DeflateDecoder::Result::Error);
  }
}

// Long streams of every kind of block, compressed by zlib, through the fast
// path and the window's slide, in pieces and output space of odd sizes.
TEST(DeflateDecoder, ExpandsZlibsOwnStreamsInAnyPieces) {
  std::mt19937 rng(11);
  std::vector<uint8_t> plain(700000);
  for (size_t i = 0; i < plain.size(); ++i) {
    plain[i] = (i / 4096) % 3 == 0 ? uint8_t(rng()) : uint8_t("korvex"[rng() % 6]);
  }
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE}) {
    for (int level : {0, 9}) {
      z_stream zs;
      std::memset(&zs, 0, sizeof zs);
      deflateInit2(&zs, level, Z_DEFLATED, -15, 8, strategy);
      std::vector<uint8_t> packed(deflateBound(&zs, uLong(plain.size())) + 2);
      zs.next_in = plain.data();
      zs.avail_in = uInt(plain.size());
      zs.next_out = packed.data();
      zs.avail_out = uInt(packed.size());
      ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
      packed.resize(zs.total_out);
      deflateEnd(&zs);
      for (size_t piece : {size_t(1) << 20, size_t(4093)}) {
        const Outcome got = Decode(packed, piece);
        EXPECT_EQ(got.result, DeflateDecoder::Result::End) << strategy << "/" << level;
        EXPECT_TRUE(got.bytes == plain) << strategy << "/" << level << " pieces of " << piece;
        for (size_t step : {size_t(1) << 20, size_t(65521), size_t(97)}) {
          const Outcome flat = DecodeInPlace(packed, piece, step);
          EXPECT_EQ(flat.result, DeflateDecoder::Result::End) << strategy << "/" << level;
          EXPECT_TRUE(flat.bytes == plain)
              << strategy << "/" << level << " in place, pieces of " << piece << ", steps of "
              << step;
        }
      }
    }
  }
}

}  // namespace
