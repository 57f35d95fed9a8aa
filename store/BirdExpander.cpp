#include "store/BirdExpander.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include <zlib.h>

#ifdef UPDATER_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include "store/BirdBytes.h"
#include "store/DeflateDecoder.h"

namespace {

// Smallest first buffer for a kept body; it grows from there.
const size_t kMinKeepCapacity = 64 * 1024;
// A kept body is expanded in steps of this size, each checksummed and
// walked while it is still in the cache; the buffer grows when less than
// kKeepMinStep is left.
const size_t kKeepStep = 128 * 1024;
const size_t kKeepMinStep = 4 * 1024;
// The largest buffer of a kept body: the size limit, a byte to see whether
// the stream ends there, and the room the inflater may write past a step.
const uint64_t kKeepCeiling =
    uint64_t(BIRD_FILE_MAX_EXPANDED_SIZE) + 1 + DeflateDecoder::kInPlaceMargin;

uint32_t Adler32(uint32_t adler, const uint8_t* bytes, size_t length) {
#ifdef UPDATER_HAVE_ISAL
  return isal_adler32(adler, bytes, uint64_t(length));
#else
  const size_t kMaxZlibChunk = 1u << 30;  // zlib counts in uInt; larger pieces go in parts
  while (length > 0) {
    const size_t chunk = length < kMaxZlibChunk ? length : kMaxZlibChunk;
    adler = uint32_t(adler32(adler, bytes, uInt(chunk)));
    bytes += chunk;
    length -= chunk;
  }
  return adler;
#endif
}

// Has the kernel put pages under the whole pages of [bytes, bytes + length)
// in one call, before they are written: a step of fresh memory otherwise
// takes a page fault for every 4 KiB, which costs more than the decoding of
// it on some machines. Only a hint: where the kernel cannot, the faults
// come as before.
void PopulateForWriting(uint8_t* bytes, size_t length) {
#ifdef MADV_POPULATE_WRITE
  static const uintptr_t kPage = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t first = (uintptr_t(bytes) + kPage - 1) & ~(kPage - 1);
  const uintptr_t end = (uintptr_t(bytes) + length) & ~(kPage - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)bytes;
  (void)length;
#endif
}

}  // namespace

BirdInflater::BirdInflater() : decoder_(new DeflateDecoder) {}

BirdInflater::~BirdInflater() = default;

const char* BirdInflater::ChecksumRoutine() {
#ifdef UPDATER_HAVE_ISAL
  return "ISA-L";
#else
  return "zlib";
#endif
}

void BirdInflater::SetInput(const uint8_t* bytes, size_t length) {
  in_ = bytes;
  inLeft_ = bytes ? length : 0;
}

BirdInflater::Status BirdInflater::Fail(int code) {
  part_ = Part::Failed;
  code_ = code;
  return Status::Error;
}

// The two header bytes; false while they are not all there or when they
// are refused (*status says which).
bool BirdInflater::TakeHeader(Status* status) {
  while (heldCount_ < 2 && inLeft_ > 0) {
    held_[heldCount_++] = *in_++;
    --inLeft_;
  }
  if (heldCount_ < 2) {
    *status = Status::NeedInput;
    return false;
  }
  heldCount_ = 0;
  // zlib's rules for the two header bytes: the check bits, method 8
  // (deflate), a window of at most 32 KiB, no preset dictionary.
  int refusal = Z_OK;
  if ((uint32_t(held_[0]) * 256u + held_[1]) % 31u != 0) {
    refusal = Z_DATA_ERROR;
  } else if ((held_[0] & 0x0F) != Z_DEFLATED) {
    refusal = Z_DATA_ERROR;
  } else if ((held_[0] >> 4) + 8 > 15) {
    refusal = Z_DATA_ERROR;
  } else if (held_[1] & 0x20) {
    refusal = Z_NEED_DICT;
  }
  if (refusal != Z_OK) {
    *status = Fail(refusal);
    return false;
  }
  part_ = Part::Data;
  return true;
}

// The four trailer bytes, checked against the checksum of the output.
BirdInflater::Status BirdInflater::TakeTrailer() {
  while (heldCount_ < 4 && inLeft_ > 0) {
    held_[heldCount_++] = *in_++;
    --inLeft_;
  }
  if (heldCount_ < 4) return Status::NeedInput;
  if (bird::GetInt(held_) != adler_) return Fail(Z_DATA_ERROR);
  part_ = Part::Done;
  return Status::End;
}

// The header, the data (decodeStep: one call of the decoder, the checksum
// taken over what it produced) and the trailer, as far as the input goes.
template <typename DecodeStep>
BirdInflater::Status BirdInflater::Run(DecodeStep decodeStep) {
  for (;;) {
    switch (part_) {
      case Part::Header: {
        Status status;
        if (!TakeHeader(&status)) return status;
        break;
      }
      case Part::Data: {
        if (!decoder_->Ready()) return Fail(Z_MEM_ERROR);
        switch (decodeStep()) {
          case DeflateDecoder::Result::End:
            part_ = Part::Trailer;
            break;
          case DeflateDecoder::Result::NeedInput:
            return Status::NeedInput;
          case DeflateDecoder::Result::OutputFull:
            return Status::OutputFull;
          case DeflateDecoder::Result::Error:
            return Fail(Z_DATA_ERROR);
        }
        break;
      }
      case Part::Trailer:
        return TakeTrailer();
      case Part::Done:
        return Status::End;
      case Part::Failed:
        return Status::Error;
    }
  }
}

BirdInflater::Status BirdInflater::Next(const uint8_t** out, size_t max, size_t* produced) {
  *produced = 0;
  *out = nullptr;
  return Run([&] {
    const DeflateDecoder::Result result = decoder_->Next(&in_, &inLeft_, max, out, produced);
    adler_ = Adler32(adler_, *out, *produced);
    return result;
  });
}

BirdInflater::Status BirdInflater::ExpandInPlace(uint8_t* out, size_t* pos, size_t stop) {
  return Run([&] {
    const size_t from = *pos;
    const DeflateDecoder::Result result = decoder_->ExpandInPlace(&in_, &inLeft_, out, pos, stop);
    // The checksum is taken while the new bytes are still in the cache.
    adler_ = Adler32(adler_, out + from, *pos - from);
    return result;
  });
}

BirdInflater::Status BirdInflater::Expand(uint8_t* out, size_t room, size_t* produced) {
  *produced = 0;
  for (;;) {
    const uint8_t* bytes = nullptr;
    size_t n = 0;
    const Status status = Next(&bytes, room - *produced, &n);
    if (n > 0) std::memcpy(out + *produced, bytes, n);
    *produced += n;
    // Once out is full, one more call with no room says whether the
    // stream has ended there.
    if (status != Status::OutputFull || n == 0) return status;
  }
}

BirdBodyExpander::BirdBodyExpander(bool keepBody, size_t sizeHint) : keep_(keepBody) {
  if (!keep_) return;  // the body is seen in the inflater's own window
  uint64_t guess = uint64_t(sizeHint) * 4;
  if (guess < kMinKeepCapacity) guess = kMinKeepCapacity;
  if (guess > BIRD_FILE_MAX_EXPANDED_SIZE) guess = BIRD_FILE_MAX_EXPANDED_SIZE;
  capacity_ = size_t(guess);
  buffer_ = static_cast<uint8_t*>(std::malloc(capacity_));
  if (!buffer_) Stop(BirdExpandFailure::OutOfMemory, Z_MEM_ERROR);
}

BirdBodyExpander::~BirdBodyExpander() { std::free(buffer_); }

bool BirdBodyExpander::Stop(BirdExpandFailure failure, int code) {
  failure_ = failure;
  code_ = code;
  std::free(buffer_);
  buffer_ = nullptr;
  used_ = 0;
  return false;
}

// Grows a kept body's buffer to hold at least needed bytes (at most the
// size limit and the inflater's margin past it).
bool BirdBodyExpander::Grow(size_t needed) {
  uint64_t grown = uint64_t(capacity_) * 2;
  if (grown < needed) grown = needed;
  if (grown > kKeepCeiling) grown = kKeepCeiling;
  uint8_t* bigger = static_cast<uint8_t*>(std::realloc(buffer_, size_t(grown)));
  if (!bigger) return Stop(BirdExpandFailure::OutOfMemory, Z_MEM_ERROR);
  buffer_ = bigger;
  capacity_ = size_t(grown);
  return true;
}

bool BirdBodyExpander::Feed(const uint8_t* bytes, size_t length) {
  if (Failed()) return false;
  if (ended_ || !bytes || length == 0) return true;
  inflater_.SetInput(bytes, length);
  for (;;) {
    // At the size limit, the stream may only end: a byte more is too many.
    const bool atLimit = total_ >= BIRD_FILE_MAX_EXPANDED_SIZE;
    const size_t room = atLimit ? 1 : size_t(BIRD_FILE_MAX_EXPANDED_SIZE - total_);
    const uint8_t* out = nullptr;
    size_t produced = 0;
    BirdInflater::Status status;
    if (keep_) {
      // A kept body is expanded in place, a step at a time, so that the
      // checksum and the block walk see each step while it is in the
      // cache; a step is never more than the limit allows.
      size_t step = std::min(room, kKeepStep);
      if (capacity_ - used_ < DeflateDecoder::kInPlaceMargin + std::min(step, kKeepMinStep) &&
          !Grow(used_ + DeflateDecoder::kInPlaceMargin + step)) {
        return false;
      }
      step = std::min(step, capacity_ - used_ - DeflateDecoder::kInPlaceMargin);
      PopulateForWriting(buffer_ + used_, step);
      size_t pos = used_;
      status = inflater_.ExpandInPlace(buffer_, &pos, used_ + step);
      out = buffer_ + used_;
      produced = pos - used_;
    } else {
      status = inflater_.Next(&out, room, &produced);
    }
    // Bytes beyond the limit (a last match in place may run past the step):
    // the body is too large, once the walk has seen the bytes up to it.
    const size_t allowed = atLimit ? 0 : room;
    if (produced > allowed) {
      if (!scanner_.Feed(out, allowed)) return Stop(BirdExpandFailure::TooManyBlocks, Z_DATA_ERROR);
      return Stop(BirdExpandFailure::TooLarge, Z_BUF_ERROR);
    }
    if (!scanner_.Feed(out, produced)) return Stop(BirdExpandFailure::TooManyBlocks, Z_DATA_ERROR);
    total_ += produced;
    if (keep_) used_ += produced;
    switch (status) {
      case BirdInflater::Status::End:
        ended_ = true;
        return true;
      case BirdInflater::Status::NeedInput:
        return true;
      case BirdInflater::Status::Error:
        return Stop(inflater_.Code() == Z_MEM_ERROR ? BirdExpandFailure::OutOfMemory
                                                    : BirdExpandFailure::Corrupt,
                    inflater_.Code());
      case BirdInflater::Status::OutputFull:
        break;
    }
  }
}

uint8_t* BirdBodyExpander::ReleaseBody(size_t* size) {
  *size = 0;
  if (!keep_ || !ended_ || !buffer_) return nullptr;
  uint8_t* body = buffer_;
  if (used_ < capacity_) {
    uint8_t* fitted = static_cast<uint8_t*>(std::realloc(body, used_ ? used_ : 1));
    if (fitted) body = fitted;
  }
  *size = used_;
  buffer_ = nullptr;
  capacity_ = used_ = 0;
  return body;
}
