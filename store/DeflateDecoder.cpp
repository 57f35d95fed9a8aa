#include "store/DeflateDecoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "store/DeflateTables.h"

using namespace deflate;

namespace {

// The decoded output is kept in a window: the last 32 KiB (the farthest a
// distance reaches) followed by room to decode into before it slides.
const size_t kHistory = 32768;
const size_t kSpan = 64 * 1024;
const size_t kLimit = kHistory + kSpan;  // decoding stops here
const size_t kMaxMatch = 258;
const size_t kOvercopy = 16;  // a match copied a word at a time may write this far past its end
// Input the fast loop keeps ahead of it: two refills of 8 bytes each.
const ptrdiff_t kFastInput = 16;
const size_t kWindowSize = kLimit + kMaxMatch + kOvercopy;
static_assert(DeflateDecoder::kInPlaceMargin == kMaxMatch + kOvercopy,
              "a caller's buffer needs the room past its stop that the window has past kLimit");

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
    // Most matches are short: their first 16 bytes go without a loop (a
    // match is at least 3 bytes long, so at most 13 of them are overcopy).
    uint8_t* const end = out + length;
    std::memcpy(out, from, 8);
    std::memcpy(out + 8, from + 8, 8);
    out += 16;
    from += 16;
    while (out < end) {
      std::memcpy(out, from, 8);
      out += 8;
      from += 8;
    }
  } else if (distance == 1) {
    std::memset(out, from[0], length);
  } else {
    for (unsigned i = 0; i < length; ++i) out[i] = from[i];
  }
}

// Whether an entry is of a kind, tested on its bits in place.
inline bool Is(uint32_t e, uint32_t kind) { return (e & 0x700) == kind << 8; }

// The fast loop's state, kept in one value so that the helpers below,
// once inlined, leave it in registers.
struct FastState {
  const uint8_t* p;
  const uint8_t* last;  // the loop keeps kFastInput bytes of input ahead
  uint8_t* out;
  uint8_t* outStop;
  uint64_t hold;
  unsigned bits;
};

inline void Refill(FastState& s) {
  s.hold |= Load64(s.p) << s.bits;
  s.p += (63 - s.bits) >> 3;
  s.bits |= 56;
}

inline void Consume(FastState& s, unsigned count) {
  s.hold >>= count;
  s.bits -= count;
}

inline void Put(FastState& s, uint32_t literal) {
  Consume(s, Bits(literal));
  *s.out++ = uint8_t(Value(literal));
}

// Looks up the next entry after a refill; false when the input or the room
// the loop keeps ahead of it has run out.
inline bool Ahead(FastState& s, const uint32_t* lit, uint32_t& next) {
  if (s.p > s.last || s.out >= s.outStop) return false;
  Refill(s);
  next = lit[Low(s.hold, kLitRoot)];
  return true;
}

// The same where at least kLitRoot bits are known to be in the buffer (a
// refill only adds bits above them): the lookup goes first, so that it
// does not wait for the refill.
inline bool AheadBuffered(FastState& s, const uint32_t* lit, uint32_t& next) {
  if (s.p > s.last || s.out >= s.outStop) return false;
  next = lit[Low(s.hold, kLitRoot)];
  Refill(s);
  return true;
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

// After a block's last symbol: the next block, or the end of the stream.
void DeflateDecoder::EndBlock() { mode_ = last_ ? Mode::Done : Mode::Header; }

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
      litTable_ = FixedLiterals();
      distTable_ = FixedDistances();
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
  while (storedLeft_ > 0 && bits_ >= 8 && pos_ < limit_) {
    out_[pos_++] = uint8_t(hold_);
    Drop(8);
    --storedLeft_;
  }
  const size_t n = std::min({size_t(storedLeft_), size_t(input.end - input.p), limit_ - pos_});
  std::memcpy(&out_[pos_], input.p, n);
  input.p += n;
  pulled_ += n;
  pos_ += n;
  storedLeft_ -= uint32_t(n);
  if (storedLeft_ == 0) {
    EndBlock();
    return true;
  }
  return pos_ >= limit_;  // out of input unless the output space is full
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
  if (!BuildTable(lengths_, lengthCount_, Code::Literals, lit, kLitRoot, kLitEntries) ||
      !BuildTable(lengths_ + lengthCount_, distanceCount_, Code::Distances, dist, kDistRoot,
                  kDistEntries)) {
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
      out_[pos_++] = uint8_t(Value(e));
      return true;
    case kEnd:
      Drop(at);
      EndBlock();
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
  for (unsigned i = 0; i < length; ++i, ++pos_) out_[pos_] = out_[pos_ - distance];
  return true;
}

// Symbols decoded while at least kFastInput input bytes are left and the
// window has room. A refill of the bit buffer leaves at least 56 bits in
// it: enough for three literals, or a length code with its extra bits; the
// distance gets a refill of its own.
void DeflateDecoder::FastSymbols(Input& input, size_t stop) {
  FastState s{input.p, input.end - kFastInput, out_ + pos_, out_ + stop, hold_, bits_};
  uint8_t* const base = out_;
  const uint32_t* const lit = litTable_;
  const uint32_t* const dist = distTable_;
  // Each pass begins with the next entry looked up; the check that input
  // and room are left comes before each lookup's refill, which leaves room
  // for one more refill (for a distance) before the next check.
  uint32_t e = 0;
  for (const bool started = Ahead(s, lit, e); started;) {
    if (Is(e, kLiteral)) {
      Put(s, e);
      e = lit[Low(s.hold, kLitRoot)];
      if (Is(e, kLiteral)) {
        Put(s, e);
        e = lit[Low(s.hold, kLitRoot)];
        if (Is(e, kLiteral)) {
          Put(s, e);  // three literals of at most 10 bits: 26 or more bits left
          if (!AheadBuffered(s, lit, e)) break;
          continue;
        }
      }
    }
    if (Is(e, kLink)) {
      Consume(s, kLitRoot);
      e = lit[Value(e) + Low(s.hold, Extra(e))];
      if (Is(e, kLiteral)) {
        Put(s, e);  // at most two literals and one of 15 bits: 21 or more bits left
        if (!AheadBuffered(s, lit, e)) break;
        continue;
      }
    }
    if (!Is(e, kBase)) {
      Consume(s, Bits(e));
      if (Is(e, kEnd)) {
        EndBlock();
      } else {
        Fail();
      }
      break;
    }
    // A code and its extra bits leave the buffer in one step.
    const unsigned length = Value(e) + unsigned(Low(s.hold >> Bits(e), Extra(e)));
    Consume(s, Bits(e) + Extra(e));
    Refill(s);
    uint32_t d = dist[Low(s.hold, kDistRoot)];
    if (Is(d, kLink)) {
      Consume(s, kDistRoot);
      d = dist[Value(d) + Low(s.hold, Extra(d))];
    }
    if (!Is(d, kBase)) {
      Fail();
      break;
    }
    const size_t distance = Value(d) + size_t(Low(s.hold >> Bits(d), Extra(d)));
    Consume(s, Bits(d) + Extra(d));
    if (distance > size_t(s.out - base)) {
      Fail();
      break;
    }
    if (s.p > s.last || s.out + length >= s.outStop) {
      CopyMatch(s.out, distance, length);
      s.out += length;
      break;
    }
    // Looked up before the copy, to overlap it, and before the refill: a
    // distance takes at most 28 of the 56 or more bits its refill left.
    e = lit[Low(s.hold, kLitRoot)];
    Refill(s);
    CopyMatch(s.out, distance, length);
    s.out += length;
  }
  pulled_ += size_t(s.p - input.p);
  input.p = s.p;
  hold_ = Low(s.hold, s.bits);
  bits_ = s.bits;
  pos_ = size_t(s.out - base);
}

void DeflateDecoder::Slide() {
  std::memmove(window_.get(), window_.get() + pos_ - kHistory, kHistory);
  pos_ = given_ = kHistory;
}

// Decodes until `want` bytes wait to be handed out, the output space is
// full, or the stream ends or fails (true), or until the input runs out
// (false). The window slides when it is full and all of it has been
// handed out; a caller's buffer does not.
bool DeflateDecoder::Run(Input& input, size_t want) {
  while (pos_ - given_ < want) {
    if (pos_ >= limit_) {
      if (given_ < pos_ || !window_ || out_ != window_.get()) return true;
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
          const size_t stop = want >= limit_ - given_ ? limit_ : given_ + want;
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

// At the end of the stream, the whole bytes read past its last bit go
// back to the input.
DeflateDecoder::Result DeflateDecoder::GiveBack(Input& input) {
  Drop(bits_ & 7);
  const size_t back = bits_ / 8;
  if (back > pulled_) {
    Fail();
    return Result::Error;
  }
  input.p -= back;
  pulled_ -= back;
  hold_ = 0;
  bits_ = 0;
  return Result::End;
}

DeflateDecoder::Result DeflateDecoder::Next(const uint8_t** in, size_t* inLeft, size_t max,
                                            const uint8_t** out, size_t* produced) {
  *produced = 0;
  *out = window_.get();
  if (!Ready() || (out_ && out_ != window_.get())) return Result::Error;
  out_ = window_.get();
  limit_ = kLimit;
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
    result = GiveBack(input);
  } else {
    pulled_ = 0;  // the next input is new
  }
  *inLeft -= size_t(input.p - *in);
  *in = input.p;
  return result;
}

DeflateDecoder::Result DeflateDecoder::ExpandInPlace(const uint8_t** in, size_t* inLeft,
                                                     uint8_t* out, size_t* pos, size_t stop) {
  if (!Ready() || !out || (out_ && out_ == window_.get()) || *pos != pos_) {
    return Result::Error;
  }
  out_ = out;
  limit_ = std::max(stop, pos_ + 1);
  given_ = pos_;
  Input input{*in, *in + *inLeft};
  if (mode_ != Mode::Done && mode_ != Mode::Bad) Run(input, limit_ - pos_);
  Result result;
  if (mode_ == Mode::Bad) {
    result = Result::Error;
  } else if (mode_ == Mode::Done) {
    result = GiveBack(input);
  } else if (pos_ >= limit_) {
    result = Result::OutputFull;
  } else {
    result = Result::NeedInput;
    pulled_ = 0;  // the next input is new
  }
  given_ = pos_;
  *pos = pos_;
  *inLeft -= size_t(input.p - *in);
  *in = input.p;
  return result;
}
