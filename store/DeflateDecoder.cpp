#include "store/DeflateDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// The decoded output is kept in a window: the last 32 KiB (the farthest a
// distance reaches) followed by room to decode into before it slides.
const size_t kHistory = 32768;
const size_t kSpan = 128 * 1024;
const size_t kLimit = kHistory + kSpan;  // decoding stops here
const size_t kMaxMatch = 258;
const size_t kOvercopy = 16;
// Input the fast loop keeps ahead of it: two refills of 8 bytes each.
const ptrdiff_t kFastInput = 16;  // a match copied a word at a time may write this far past its end
const size_t kWindowSize = kLimit + kMaxMatch + kOvercopy;

// Table sizes: root lookups of kLitRoot and kDistRoot bits, then second-level
// tables for longer codes. 1334 and 402 entries are the most any complete
// code of up to 15 bits needs with these roots.
const unsigned kCodeLengthRoot = 7;
const unsigned kLitRoot = 10;
const unsigned kDistRoot = 8;
const size_t kCodeLengthEntries = size_t(1) << kCodeLengthRoot;
const size_t kLitEntries = 1536;
const size_t kDistEntries = 512;

// A table entry: bits 0-5 the code bits used at its level, 8-10 its kind,
// 11-15 the extra bits that follow the code (for a link, the second-level
// table's index bits), 16-31 the value (a literal byte, a length or
// distance base, a code length symbol, or a second-level table's offset).
enum : uint32_t { kLiteral = 0, kBase = 1, kEnd = 2, kInvalid = 3, kLink = 4 };

constexpr uint32_t Entry(uint32_t kind, unsigned bits, unsigned extra, uint32_t value) {
  return value << 16 | uint32_t(extra) << 11 | kind << 8 | bits;
}
// Masked to six bits so that a shift by it needs no further masking.
inline unsigned Bits(uint32_t e) { return e & 0x3F; }
inline uint32_t Kind(uint32_t e) { return (e >> 8) & 7; }
inline unsigned Extra(uint32_t e) { return (e >> 11) & 0x1F; }
inline uint32_t Value(uint32_t e) { return e >> 16; }
inline uint64_t Low(uint64_t hold, unsigned count) {
  return hold & ((uint64_t(1) << count) - 1);
}

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

enum class Code { CodeLengths, Literals, Distances };

uint32_t SymbolEntry(Code code, unsigned symbol, unsigned bits) {
  switch (code) {
    case Code::CodeLengths:
      return Entry(kLiteral, bits, 0, symbol);
    case Code::Literals:
      if (symbol < 256) return Entry(kLiteral, bits, 0, symbol);
      if (symbol == 256) return Entry(kEnd, bits, 0, 0);
      if (symbol < 286) return Entry(kBase, bits, kLengthExtra[symbol - 257], kLengthBase[symbol - 257]);
      return Entry(kInvalid, bits, 0, 0);
    case Code::Distances:
      if (symbol < 30) return Entry(kBase, bits, kDistExtra[symbol], kDistBase[symbol]);
      return Entry(kInvalid, bits, 0, 0);
  }
  return Entry(kInvalid, bits, 0, 0);
}

// Builds the decoding table of a canonical code from its code lengths, by
// zlib's rules: an over-subscribed set is refused; an incomplete one too,
// except a literal/length or distance code whose only code is one bit
// long; a set with no codes at all is taken (*empty), and any symbol read
// with it fails. Unused codes decode as invalid, one bit long, as in zlib.
bool BuildTable(const uint8_t* lengths, unsigned n, Code code, uint32_t* table, unsigned root,
                size_t capacity, bool* empty) {
  unsigned count[16] = {};
  for (unsigned i = 0; i < n; ++i) ++count[lengths[i]];
  count[0] = 0;
  unsigned max = 15;
  while (max > 0 && count[max] == 0) --max;
  int left = 1;
  for (unsigned len = 1; len <= 15; ++len) {
    left = 2 * left - int(count[len]);
    if (left < 0) return false;
  }
  if (left > 0 && max > 0 && (code == Code::CodeLengths || max != 1)) return false;
  // A complete code fills every entry; the others are invalid.
  if (left > 0) std::fill(table, table + (size_t(1) << root), Entry(kInvalid, 1, 0, 0));
  *empty = max == 0;
  if (max == 0) return true;

  unsigned total = 0;
  for (unsigned len = 1; len <= 15; ++len) total += count[len];
  unsigned offset[16] = {};
  for (unsigned len = 1; len < 15; ++len) offset[len + 1] = offset[len] + count[len];
  uint16_t sorted[320];
  for (unsigned sym = 0; sym < n; ++sym) {
    if (lengths[sym]) sorted[offset[lengths[sym]]++] = uint16_t(sym);
  }
  unsigned remaining[16];
  std::memcpy(remaining, count, sizeof remaining);
  const unsigned rootMask = (1u << root) - 1;
  size_t used = size_t(1) << root;
  unsigned linkedPrefix = ~0u, subBits = 0;
  size_t subOffset = 0;
  // The codes in canonical order, kept bit-reversed (the order they are
  // read in) and counted up from the most significant end.
  unsigned reversed = 0;
  for (unsigned k = 0; k < total; ++k) {
    const unsigned sym = sorted[k];
    const unsigned len = lengths[sym];
    if (len <= root) {
      const uint32_t e = SymbolEntry(code, sym, len);
      for (unsigned i = reversed; i <= rootMask; i += 1u << len) table[i] = e;
    } else {
      const unsigned prefix = reversed & rootMask;
      if (prefix != linkedPrefix) {
        // A second-level table wide enough for the codes under this prefix.
        subBits = len - root;
        int room = 1 << subBits;
        while (subBits + root < max) {
          room -= int(remaining[subBits + root]);
          if (room <= 0) break;
          ++subBits;
          room <<= 1;
        }
        subOffset = used;
        used += size_t(1) << subBits;
        if (used > capacity) return false;  // beyond any complete code's need
        table[prefix] = Entry(kLink, root, subBits, uint32_t(subOffset));
        linkedPrefix = prefix;
      }
      const uint32_t e = SymbolEntry(code, sym, len - root);
      for (unsigned i = reversed >> root; i < (1u << subBits); i += 1u << (len - root)) {
        table[subOffset + i] = e;
      }
    }
    --remaining[len];
    unsigned step = 1u << (len - 1);
    while (reversed & step) step >>= 1;
    reversed = step ? (reversed & (step - 1)) + step : 0;
  }
  return true;
}

struct FixedTables {
  uint32_t literals[kLitEntries];
  uint32_t distances[kDistEntries];
  FixedTables() {
    uint8_t lengths[288];
    std::fill(lengths, lengths + 144, 8);
    std::fill(lengths + 144, lengths + 256, 9);
    std::fill(lengths + 256, lengths + 280, 7);
    std::fill(lengths + 280, lengths + 288, 8);
    bool empty = false;
    BuildTable(lengths, 288, Code::Literals, literals, kLitRoot, kLitEntries, &empty);
    std::fill(lengths, lengths + 32, 5);
    BuildTable(lengths, 32, Code::Distances, distances, kDistRoot, kDistEntries, &empty);
  }
};

const FixedTables& Fixed() {
  static const FixedTables tables;
  return tables;
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// Copies a match of length bytes from distance bytes back; may write up to
// kOvercopy bytes past the end when the distance allows whole words.
inline void CopyMatch(uint8_t* out, size_t distance, unsigned length) {
  const uint8_t* from = out - distance;
  if (distance >= 8) {
    uint8_t* const end = out + length;
    do {
      std::memcpy(out, from, 8);
      out += 8;
      from += 8;
    } while (out < end);
  } else if (distance == 1) {
    std::memset(out, from[0], length);
  } else {
    for (unsigned i = 0; i < length; ++i) out[i] = from[i];
  }
}

}  // namespace

struct DeflateDecoder::Input {
  const uint8_t* p;
  const uint8_t* end;
};

DeflateDecoder::DeflateDecoder()
    : window_(new (std::nothrow) uint8_t[kWindowSize]),
      tables_(new (std::nothrow) uint32_t[kCodeLengthEntries + kLitEntries + kDistEntries]) {
  if (!tables_) window_.reset();
}

DeflateDecoder::~DeflateDecoder() = default;

bool DeflateDecoder::Fail() {
  mode_ = Mode::Bad;
  return true;
}

bool DeflateDecoder::Pull(Input& input) {
  if (input.p == input.end) return false;
  hold_ |= uint64_t(*input.p++) << bits_;
  bits_ += 8;
  ++pulled_;
  return true;
}

bool DeflateDecoder::Need(Input& input, unsigned count) {
  while (bits_ < count) {
    if (!Pull(input)) return false;
  }
  return true;
}

void DeflateDecoder::Drop(unsigned count) {
  hold_ >>= count;
  bits_ -= count;
}

// The entry of the code that begins at bit `at` of the buffer, taking
// input one byte at a time until the whole code is there; *used is its
// length. False when the input runs out first.
bool DeflateDecoder::Peek(Input& input, const uint32_t* table, unsigned rootBits, unsigned at,
                          uint32_t* entry, unsigned* used) {
  uint32_t e;
  for (;;) {
    e = table[Low(hold_ >> at, rootBits)];
    if (at + (Kind(e) == kLink ? rootBits : Bits(e)) <= bits_) break;
    if (!Pull(input)) return false;
  }
  if (Kind(e) != kLink) {
    *entry = e;
    *used = Bits(e);
    return true;
  }
  const uint32_t* sub = table + Value(e);
  const unsigned subBits = Extra(e);
  for (;;) {
    e = sub[Low(hold_ >> (at + rootBits), subBits)];
    if (at + rootBits + Bits(e) <= bits_) break;
    if (!Pull(input)) return false;
  }
  *entry = e;
  *used = rootBits + Bits(e);
  return true;
}

bool DeflateDecoder::BlockHeader(Input& input) {
  if (!Need(input, 3)) return false;
  last_ = (hold_ & 1) != 0;
  const unsigned type = unsigned(hold_ >> 1) & 3;
  Drop(3);
  switch (type) {
    case 0:
      Drop(bits_ & 7);
      mode_ = Mode::StoredLength;
      return true;
    case 1:
      litTable_ = Fixed().literals;
      distTable_ = Fixed().distances;
      mode_ = Mode::Codes;
      return true;
    case 2:
      mode_ = Mode::TableCounts;
      return true;
    default:
      return Fail();
  }
}

bool DeflateDecoder::StoredBytes(Input& input) {
  while (storedLeft_ > 0 && bits_ >= 8 && pos_ < kLimit) {
    window_[pos_++] = uint8_t(hold_);
    Drop(8);
    --storedLeft_;
  }
  const size_t n = std::min({size_t(storedLeft_), size_t(input.end - input.p), kLimit - pos_});
  std::memcpy(&window_[pos_], input.p, n);
  input.p += n;
  pulled_ += n;
  pos_ += n;
  storedLeft_ -= uint32_t(n);
  if (storedLeft_ == 0) {
    mode_ = last_ ? Mode::Done : Mode::Header;
    return true;
  }
  return pos_ >= kLimit;  // out of input unless the window is full
}

bool DeflateDecoder::CodeLengthLengths(Input& input) {
  while (have_ < codeLengthCount_) {
    if (!Need(input, 3)) return false;
    codeLengthLengths_[kCodeLengthOrder[have_++]] = uint8_t(hold_ & 7);
    Drop(3);
  }
  while (have_ < 19) codeLengthLengths_[kCodeLengthOrder[have_++]] = 0;
  if (!BuildTable(codeLengthLengths_, 19, Code::CodeLengths, tables_.get(), kCodeLengthRoot,
                  kCodeLengthEntries, &emptyCodeLengthCode_)) {
    return Fail();
  }
  have_ = 0;
  mode_ = Mode::CodeLengths;
  return true;
}

bool DeflateDecoder::CodeLengths(Input& input) {
  const unsigned total = lengthCount_ + distanceCount_;
  while (have_ < total) {
    if (emptyCodeLengthCode_) {
      // zlib reads a one-bit length of 0 from a code with no codes.
      if (!Need(input, 1)) return false;
      Drop(1);
      lengths_[have_++] = 0;
      continue;
    }
    uint32_t e;
    unsigned used;
    if (!Peek(input, tables_.get(), kCodeLengthRoot, 0, &e, &used)) return false;
    const unsigned symbol = Value(e);
    if (symbol < 16) {
      Drop(used);
      lengths_[have_++] = uint8_t(symbol);
      continue;
    }
    const unsigned extra = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
    if (!Need(input, used + extra)) return false;
    if (symbol == 16 && have_ == 0) return Fail();
    const uint8_t length = symbol == 16 ? lengths_[have_ - 1] : 0;
    const unsigned copies = (symbol == 18 ? 11 : 3) + unsigned(Low(hold_ >> used, extra));
    Drop(used + extra);
    if (have_ + copies > total) return Fail();
    std::memset(lengths_ + have_, length, copies);
    have_ += copies;
  }
  if (lengths_[256] == 0) return Fail();
  uint32_t* lit = tables_.get() + kCodeLengthEntries;
  uint32_t* dist = lit + kLitEntries;
  bool empty = false;
  if (!BuildTable(lengths_, lengthCount_, Code::Literals, lit, kLitRoot, kLitEntries, &empty) ||
      !BuildTable(lengths_ + lengthCount_, distanceCount_, Code::Distances, dist, kDistRoot,
                  kDistEntries, &empty)) {
    return Fail();
  }
  litTable_ = lit;
  distTable_ = dist;
  mode_ = Mode::Codes;
  return true;
}

// One literal, length/distance pair or end of block, taken only when all
// its bits are there.
bool DeflateDecoder::SlowSymbol(Input& input) {
  uint32_t e;
  unsigned at;
  if (!Peek(input, litTable_, kLitRoot, 0, &e, &at)) return false;
  switch (Kind(e)) {
    case kLiteral:
      Drop(at);
      window_[pos_++] = uint8_t(Value(e));
      return true;
    case kEnd:
      Drop(at);
      mode_ = last_ ? Mode::Done : Mode::Header;
      return true;
    case kBase:
      break;
    default:
      return Fail();
  }
  if (!Need(input, at + Extra(e))) return false;
  const unsigned length = Value(e) + unsigned(Low(hold_ >> at, Extra(e)));
  at += Extra(e);
  uint32_t d;
  unsigned used;
  if (!Peek(input, distTable_, kDistRoot, at, &d, &used)) return false;
  at += used;
  if (Kind(d) != kBase) return Fail();
  if (!Need(input, at + Extra(d))) return false;
  const size_t distance = Value(d) + size_t(Low(hold_ >> at, Extra(d)));
  if (distance > pos_) return Fail();
  Drop(at + Extra(d));
  for (unsigned i = 0; i < length; ++i, ++pos_) window_[pos_] = window_[pos_ - distance];
  return true;
}

// Symbols decoded while at least kFastInput input bytes are left and the
// window has room. A refill of the bit buffer leaves at least 56 bits in
// it: enough for three literals, or a length code with its extra bits; the
// distance gets a refill of its own.
void DeflateDecoder::FastSymbols(Input& input, size_t stop) {
  const uint8_t* p = input.p;
  const uint8_t* const last = input.end - kFastInput;
  uint8_t* const base = window_.get();
  uint8_t* out = base + pos_;
  uint8_t* const outStop = base + stop;
  uint64_t hold = hold_;
  unsigned bits = bits_;
  const uint32_t* const lit = litTable_;
  const uint32_t* const dist = distTable_;
  const auto refill = [&] {
    hold |= Load64(p) << bits;
    p += (63 - bits) >> 3;
    bits |= 56;
  };
  const auto consume = [&](unsigned count) {
    hold >>= count;
    bits -= count;
  };
  // Each pass begins with the next entry looked up; the check that input
  // and room are left comes before each lookup's refill, which leaves room
  // for one more refill (for a distance) before the next check.
  if (p > last || out >= outStop) goto leave;
  refill();
  for (uint32_t e = lit[Low(hold, kLitRoot)];;) {
    if (Kind(e) == kLiteral) {
      consume(Bits(e));
      *out++ = uint8_t(Value(e));
      e = lit[Low(hold, kLitRoot)];
      if (Kind(e) == kLiteral) {
        consume(Bits(e));
        *out++ = uint8_t(Value(e));
        e = lit[Low(hold, kLitRoot)];
        if (Kind(e) == kLiteral) {
          consume(Bits(e));
          *out++ = uint8_t(Value(e));
          if (p > last || out >= outStop) break;
          refill();
          e = lit[Low(hold, kLitRoot)];
          continue;
        }
      }
    }
    if (Kind(e) == kLink) {
      consume(kLitRoot);
      e = lit[Value(e) + Low(hold, Extra(e))];
      if (Kind(e) == kLiteral) {
        consume(Bits(e));
        *out++ = uint8_t(Value(e));
        if (p > last || out >= outStop) break;
        refill();
        e = lit[Low(hold, kLitRoot)];
        continue;
      }
    }
    consume(Bits(e));
    if (Kind(e) != kBase) {
      mode_ = Kind(e) == kEnd ? (last_ ? Mode::Done : Mode::Header) : Mode::Bad;
      break;
    }
    const unsigned length = Value(e) + unsigned(Low(hold, Extra(e)));
    consume(Extra(e));
    refill();
    uint32_t d = dist[Low(hold, kDistRoot)];
    if (Kind(d) == kLink) {
      consume(kDistRoot);
      d = dist[Value(d) + Low(hold, Extra(d))];
    }
    consume(Bits(d));
    if (Kind(d) != kBase) {
      mode_ = Mode::Bad;
      break;
    }
    const size_t distance = Value(d) + size_t(Low(hold, Extra(d)));
    consume(Extra(d));
    if (distance > size_t(out - base)) {
      mode_ = Mode::Bad;
      break;
    }
    if (p > last || out + length >= outStop) {
      CopyMatch(out, distance, length);
      out += length;
      break;
    }
    refill();
    e = lit[Low(hold, kLitRoot)];
    CopyMatch(out, distance, length);
    out += length;
  }
leave:
  pulled_ += size_t(p - input.p);
  input.p = p;
  hold_ = Low(hold, bits);
  bits_ = bits;
  pos_ = size_t(out - base);
}

void DeflateDecoder::Slide() {
  std::memmove(window_.get(), window_.get() + pos_ - kHistory, kHistory);
  pos_ = given_ = kHistory;
}

// Decodes until `want` bytes wait to be handed out, the window is full, or
// the stream ends or fails (true), or until the input runs out (false).
bool DeflateDecoder::Run(Input& input, size_t want) {
  while (pos_ - given_ < want) {
    if (pos_ >= kLimit) {
      if (given_ < pos_) return true;
      Slide();
    }
    bool going = true;
    switch (mode_) {
      case Mode::Header:
        going = BlockHeader(input);
        break;
      case Mode::StoredLength:
        if (!Need(input, 32)) return false;
        if ((hold_ & 0xFFFF) != (~(hold_ >> 16) & 0xFFFF)) return Fail();
        storedLeft_ = uint32_t(hold_ & 0xFFFF);
        Drop(32);
        mode_ = Mode::Stored;
        break;
      case Mode::Stored:
        going = StoredBytes(input);
        break;
      case Mode::TableCounts:
        if (!Need(input, 14)) return false;
        lengthCount_ = unsigned(hold_ & 31) + 257;
        distanceCount_ = unsigned(hold_ >> 5 & 31) + 1;
        codeLengthCount_ = unsigned(hold_ >> 10 & 15) + 4;
        Drop(14);
        if (lengthCount_ > 286 || distanceCount_ > 30) return Fail();
        have_ = 0;
        mode_ = Mode::CodeLengthLengths;
        break;
      case Mode::CodeLengthLengths:
        going = CodeLengthLengths(input);
        break;
      case Mode::CodeLengths:
        going = CodeLengths(input);
        break;
      case Mode::Codes:
        if (input.end - input.p >= kFastInput) {
          const size_t stop = want >= kLimit - given_ ? kLimit : given_ + want;
          FastSymbols(input, std::max(stop, pos_ + 1));
        } else {
          going = SlowSymbol(input);
        }
        break;
      case Mode::Done:
      case Mode::Bad:
        return true;
    }
    if (!going) return false;
  }
  return true;
}

DeflateDecoder::Result DeflateDecoder::Next(const uint8_t** in, size_t* inLeft, size_t max,
                                            const uint8_t** out, size_t* produced) {
  *produced = 0;
  *out = window_.get();
  if (!Ready()) return Result::Error;
  Input input{*in, *in + *inLeft};
  if (pos_ == given_ && mode_ != Mode::Done && mode_ != Mode::Bad) {
    Run(input, std::max<size_t>(max, 1));
  }
  Result result = Result::NeedInput;
  if (pos_ > given_) {
    *out = &window_[given_];
    *produced = std::min(pos_ - given_, max);
    given_ += *produced;
    result = Result::OutputFull;
  } else if (mode_ == Mode::Bad) {
    result = Result::Error;
  } else if (mode_ == Mode::Done) {
    // The stream ends at its last bit; whole bytes read past it go back.
    Drop(bits_ & 7);
    const size_t back = bits_ / 8;
    if (back > pulled_) {
      mode_ = Mode::Bad;
      result = Result::Error;
    } else {
      input.p -= back;
      pulled_ -= back;
      hold_ = 0;
      bits_ = 0;
      result = Result::End;
    }
  } else {
    pulled_ = 0;  // the next input is new
  }
  *inLeft -= size_t(input.p - *in);
  *in = input.p;
  return result;
}

DeflateDecoder::Result DeflateDecoder::Decode(const uint8_t** in, size_t* inLeft, uint8_t* out,
                                              size_t room, size_t* produced) {
  *produced = 0;
  for (;;) {
    const uint8_t* bytes = nullptr;
    size_t n = 0;
    const Result result = Next(in, inLeft, room - *produced, &bytes, &n);
    if (n > 0) std::memcpy(out + *produced, bytes, n);
    *produced += n;
    // Once out is full, one more call with no room says whether the
    // stream has ended there.
    if (result != Result::OutputFull || n == 0) return result;
  }
}
