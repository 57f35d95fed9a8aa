// Expanding the zlib body of a BIRD file while its compressed bytes arrive,
// within BIRD_FILE_MAX_EXPANDED_SIZE, and walking its blocks as they come
// out (BirdBlockScanner). The one expansion loop behind loading a whole
// file (BirdFile, which keeps the expanded body) and the streaming check of
// a download (BirdStreamCheck, which looks at it through a window and
// drops it), so that both come to the same verdict.
#ifndef UPDATER_BIRDEXPANDER_H
#define UPDATER_BIRDEXPANDER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "store/BirdBlockScanner.h"

class DeflateDecoder;

// One zlib stream (RFC 1950), expanded piece by piece. The deflate data is
// decoded by DeflateDecoder, which refuses exactly what zlib's inflate
// refuses; the two header bytes and the Adler-32 trailer are checked here
// by zlib's own rules, with the checksum computed by a faster routine where
// one is built in (ISA-L's). The verdicts are zlib's: a bad header, a
// preset dictionary, corrupt data, a wrong or cut trailer all fail; bytes
// after the trailer are left unread.
class BirdInflater {
 public:
  enum class Status {
    NeedInput,   // all input taken; more is needed
    OutputFull,  // the output space is full; call again with more
    End,         // the stream and its trailer are complete
    Error,       // the stream is not a valid zlib stream (see Code)
  };

  BirdInflater();
  ~BirdInflater();
  BirdInflater(const BirdInflater&) = delete;
  BirdInflater& operator=(const BirdInflater&) = delete;

  // The next compressed bytes; they must stay valid until taken
  // (InputLeft() == 0) or the stream ends.
  void SetInput(const uint8_t* bytes, size_t length);
  size_t InputLeft() const { return inLeft_; }
  // Expands up to max bytes, handed out in place: *out points at them
  // (*produced bytes) until the next call. OutputFull: call again for more.
  Status Next(const uint8_t** out, size_t max, size_t* produced);
  // Expands into out (room bytes, any size); *produced receives the count.
  Status Expand(uint8_t* out, size_t room, size_t* produced);
  // Expands straight into a buffer that holds the whole output, with no
  // window between (DeflateDecoder::ExpandInPlace): out[0, *pos) is all
  // output so far (the buffer may have moved since, its bytes kept), *pos
  // advances past the new bytes, which End and Error may bring as well as
  // OutputFull (*pos at or up to 258 bytes past stop). out has room for
  // stop + DeflateDecoder::kInPlaceMargin bytes. An inflater expands either
  // this way or with Next and Expand, never both.
  Status ExpandInPlace(uint8_t* out, size_t* pos, size_t stop);
  // zlib's code for the failure: Z_DATA_ERROR for bad data or header,
  // Z_NEED_DICT for a preset dictionary, Z_MEM_ERROR without memory.
  int Code() const { return code_; }
  // Which routine computes the checksum: "ISA-L" or "zlib".
  static const char* ChecksumRoutine();

 private:
  Status Fail(int code);
  bool TakeHeader(Status* status);
  Status TakeTrailer();
  template <typename DecodeStep>
  Status Run(DecodeStep decodeStep);

  std::unique_ptr<DeflateDecoder> decoder_;
  const uint8_t* in_ = nullptr;
  size_t inLeft_ = 0;
  enum class Part { Header, Data, Trailer, Done, Failed } part_ = Part::Header;
  uint8_t held_[4] = {};
  size_t heldCount_ = 0;
  uint32_t adler_ = 1;
  int code_ = 0;
};

// Why an expansion stopped short.
enum class BirdExpandFailure { None, Corrupt, TooLarge, TooManyBlocks, OutOfMemory };

class BirdBodyExpander {
 public:
  // keepBody: gather the expanded body in one buffer (taken with
  // ReleaseBody); otherwise it is seen through a window and dropped.
  // sizeHint: the compressed size, when known, for the first buffer.
  explicit BirdBodyExpander(bool keepBody, size_t sizeHint = 0);
  ~BirdBodyExpander();
  BirdBodyExpander(const BirdBodyExpander&) = delete;
  BirdBodyExpander& operator=(const BirdBodyExpander&) = delete;

  // Takes the next compressed bytes. False once the body is refused
  // (corrupt, too large, too many blocks, out of memory); later bytes are
  // then ignored, as are bytes after the end of the stream.
  bool Feed(const uint8_t* bytes, size_t length);
  // The whole stream has been expanded and its checksum verified.
  bool Ended() const { return ended_; }
  bool Failed() const { return failure_ != BirdExpandFailure::None; }
  BirdExpandFailure Failure() const { return failure_; }
  // zlib's code for the failure, as loading logs it.
  int Code() const { return code_; }
  // The capacity in use when memory ran out.
  size_t Capacity() const { return capacity_; }
  uint64_t ExpandedSize() const { return total_; }
  // The block walk of the bytes expanded so far (not yet finished).
  BirdBlockScanner& Scanner() { return scanner_; }
  const BirdBlockScanner& Scanner() const { return scanner_; }
  // With keepBody, after the stream ended: the expanded body (to be
  // released with std::free; never null) and its size.
  uint8_t* ReleaseBody(size_t* size);

 private:
  bool Stop(BirdExpandFailure failure, int code);
  bool Grow(size_t needed);

  bool keep_;
  BirdInflater inflater_;
  BirdBlockScanner scanner_;
  // malloc'd: the body (keepBody), expanded in place, with room for the
  // inflater to write a little past where it is asked to stop.
  uint8_t* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t used_ = 0;  // bytes of buffer_ holding output (keepBody)
  uint64_t total_ = 0;
  bool ended_ = false;
  BirdExpandFailure failure_ = BirdExpandFailure::None;
  int code_ = 0;
};

#endif
