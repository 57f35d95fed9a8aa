// The block walk of an expanded BIRD body, fed in pieces of any size: the
// declared count, the block heads, the BIRD_FILE_MAX_BLOCKS bound, the
// structure verdict and what the usability verdict needs (BirdContent).
// BirdFile feeds it a whole expanded body at once; the expansion loop
// (BirdBodyExpander) feeds it as the inflater produces bytes, so that a
// body with too many blocks is refused before the rest is expanded and the
// streaming check comes to the same verdict as loading.
//
// Body layout: a 4-byte big-endian block count, then blocks of a type/flags
// byte, a 4-byte big-endian data length and the data, then a 4-byte
// checksum. A block whose data runs past the end of the body is not
// counted; bytes after the blocks other than exactly the 4 checksum bytes
// make the structure invalid, as does a count other than the declared one.
#ifndef UPDATER_BIRDBLOCKSCANNER_H
#define UPDATER_BIRDBLOCKSCANNER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "store/BirdFile.h"

// The head of one block.
struct BirdBlockHead {
  uint8_t typeFlags = 0;
  uint32_t length = 0;  // data bytes
  uint64_t offset = 0;  // of the first data byte in the expanded body
  // The big-endian load address of a loader or firmware block: its first
  // data bytes, as many of the 4 as the block holds.
  uint32_t address = 0;

  uint8_t Type() const { return uint8_t(typeFlags & BIRD_FILE_TYPE_MASK); }
  bool IsImage() const { return Type() == BLOCK_LOADER || Type() == BLOCK_FIRMWARE; }
  uint8_t Flags() const {
    return uint8_t((typeFlags & BIRD_FILE_FLAG_MASK) >> BIRD_FILE_FLAG_SHIFT);
  }
};

class BirdBlockScanner {
 public:
  // Takes the next bytes of the expanded body. False once the body declares
  // or holds more than BIRD_FILE_MAX_BLOCKS blocks (later bytes are then
  // ignored); Refusal tells which.
  bool Feed(const uint8_t* bytes, size_t length);
  // After the last byte: settles the block list and the verdicts below.
  // Later calls do nothing.
  void Finish();

  bool Refused() const { return refused_; }
  // DeclaresTooMany or HoldsTooMany, when Refused.
  BirdLoadFailure Refusal() const { return refusal_; }
  std::string RefusalProblem() const { return BirdLoadProblem(refusal_, declared_); }

  uint64_t Size() const { return size_; }  // body bytes fed
  bool HasCount() const { return haveCount_; }
  uint32_t DeclaredCount() const { return declared_; }

  // After Finish: the blocks whose data lies wholly inside the body (all
  // heads read so far before it), in body order; at most
  // BIRD_FILE_MAX_BLOCKS.
  const std::vector<BirdBlockHead>& Blocks() const { return heads_; }
  uint32_t BlockCount() const { return uint32_t(heads_.size()); }
  // The block after the last counted one claims more data than the body
  // holds; it is OverrunBlock, and the walk stopped there.
  bool Overrun() const { return overrun_; }
  const BirdBlockHead& OverrunBlock() const { return overrunHead_; }
  // The 4 bytes after the last block, when exactly 4 follow it.
  bool HasChecksum() const { return hasChecksum_; }
  uint32_t Checksum() const { return checksum_; }
  // Bytes left over after the blocks and the checksum; negative when the
  // checksum is missing or cut short, 0 for an exact fit.
  int64_t Remaining() const { return remaining_; }
  // The blocks fill the body exactly (checksum included) with the declared
  // count.
  bool StructureValid() const { return structureValid_; }
  // What decides whether the package can be used (BirdContentProblem).
  const BirdContent& Content() const { return content_; }

 private:
  void BlockHead();
  // The image layout part of the usability verdict: wrapping and
  // overlapping images.
  void CheckImages();

  bool refused_ = false;
  bool finished_ = false;
  BirdLoadFailure refusal_ = BirdLoadFailure::HoldsTooMany;
  uint64_t size_ = 0;
  uint8_t head_[5] = {};
  size_t headCount_ = 0;  // bytes of the count word or a block head held
  bool haveCount_ = false;
  uint32_t declared_ = 0;
  uint64_t dataEnd_ = 0;  // end of the data of the last head read
  std::vector<BirdBlockHead> heads_;
  bool infoSeen_ = false;
  size_t infoIndex_ = 0;  // of the first information block in heads_

  bool overrun_ = false;
  BirdBlockHead overrunHead_;
  bool hasChecksum_ = false;
  uint32_t checksum_ = 0;
  int64_t remaining_ = 0;
  bool structureValid_ = false;
  BirdContent content_;
};

#endif
