// A raw deflate decoder (RFC 1951) that takes its input in pieces of any
// size and hands out its output in pieces of any size, with zlib's verdicts:
// it refuses exactly what zlib's inflate refuses (block type 3, stored
// lengths that disagree, more than 286 length or 30 distance codes, code
// sets that are over-subscribed or incomplete beyond the one-code cases
// zlib allows, a repeat with nothing to repeat or past the end, a missing
// end-of-block code, codes outside the alphabet, a distance before the
// start of the output), at the same symbol, after the same bytes of
// output. It decodes whole symbols at a time from a 64-bit bit buffer and
// copies matches a word at a time, which is what makes it faster than
// zlib's inflate.
#ifndef UPDATER_DEFLATEDECODER_H
#define UPDATER_DEFLATEDECODER_H

#include <cstddef>
#include <cstdint>
#include <memory>

class DeflateDecoder {
 public:
  enum class Result {
    NeedInput,   // all input taken; more is needed
    OutputFull,  // more output waits: call again
    End,         // the last block has ended
    Error,       // the data is not valid deflate data
  };

  DeflateDecoder();
  ~DeflateDecoder();
  DeflateDecoder(const DeflateDecoder&) = delete;
  DeflateDecoder& operator=(const DeflateDecoder&) = delete;

  // False when the decoder could not get its memory.
  bool Ready() const { return window_ != nullptr; }

  // Decodes from *in (*inLeft bytes, advanced past what is taken) and hands
  // out up to max decoded bytes in place: *out points at them (*produced
  // bytes) until the next call. OutputFull: call again for more, with the
  // same input if any is left. At End, *in points at the first byte after
  // the deflate data (the stream's last bits are in the byte before it).
  Result Next(const uint8_t** in, size_t* inLeft, size_t max, const uint8_t** out,
              size_t* produced);

  // How far past `stop` ExpandInPlace may write: the caller's buffer holds
  // at least stop + kInPlaceMargin bytes.
  static constexpr size_t kInPlaceMargin = 258 + 16;

  // Decodes straight into the caller's buffer, which holds the whole output
  // of the stream: out[0, *pos) is everything decoded so far (the buffer
  // may have moved since the last call, its bytes kept), and decoding goes
  // on at *pos, advanced past the new bytes. OutputFull once *pos has
  // reached stop (a last match may take it up to 258 bytes past; at least
  // one byte is decoded when stop is not past *pos); End and Error may come
  // with new bytes too. Input is taken as by Next. A decoder expands either
  // in place or through Next, never both; mixing them, or a *pos other than
  // the one the last call left, is an Error.
  Result ExpandInPlace(const uint8_t** in, size_t* inLeft, uint8_t* out, size_t* pos,
                       size_t stop);

 private:
  enum class Mode { Header, StoredLength, Stored, TableCounts, CodeLengthLengths, CodeLengths,
                    Codes, Done, Bad };
  struct Input;

  // The decoding steps return false when the input runs out before they
  // are done, true otherwise; mode_ then says what comes next (Bad once
  // the data is refused: Fail marks it so and returns true).
  bool Run(Input& input, size_t want);
  bool Pull(Input& input);
  bool Need(Input& input, unsigned count);
  void Drop(unsigned count);
  bool BlockHeader(Input& input);
  bool StoredBytes(Input& input);
  bool CodeLengthLengths(Input& input);
  bool CodeLengths(Input& input);
  bool SlowSymbol(Input& input);
  void FastSymbols(Input& input, size_t stop);
  bool Peek(Input& input, const uint32_t* table, unsigned rootBits, unsigned at, uint32_t* entry,
            unsigned* used);
  bool Fail();
  void EndBlock();
  void Slide();
  Result GiveBack(Input& input);

  std::unique_ptr<uint8_t[]> window_;
  uint8_t* out_ = nullptr;  // the output space: window_, or the caller's buffer in place
  size_t limit_ = 0;        // decoding stops at this byte of out_
  size_t pos_ = 0;          // next byte of output in out_
  size_t given_ = 0;        // output up to here has been handed out
  uint64_t hold_ = 0;  // bit buffer; bits above bits_ are zero between calls
  unsigned bits_ = 0;
  size_t pulled_ = 0;  // bytes taken from the current input
  Mode mode_ = Mode::Header;
  bool last_ = false;
  uint32_t storedLeft_ = 0;
  unsigned lengthCount_ = 0, distanceCount_ = 0, codeLengthCount_ = 0, have_ = 0;
  bool emptyCodeLengthCode_ = false;
  uint8_t codeLengthLengths_[19] = {};
  uint8_t lengths_[320] = {};
  const uint32_t* litTable_ = nullptr;
  const uint32_t* distTable_ = nullptr;
  std::unique_ptr<uint32_t[]> tables_;  // code lengths, literal/length and distance codes
};

#endif
