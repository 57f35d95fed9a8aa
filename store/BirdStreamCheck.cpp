#include "store/BirdStreamCheck.h"

#include <cstdlib>
#include <cstring>

#include <zlib.h>

namespace {

uint32_t GetInt(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Expanded bytes are looked at through this window and then dropped.
const size_t kWindow = 64 * 1024;
// zlib counts in uInt; feed very large pieces in parts.
const size_t kMaxZlibChunk = 1u << 30;
// How far the worker's input may run ahead of the check.
const size_t kMaxQueuedBytes = 1u << 20;

}  // namespace

struct BirdStreamCheck::Inflater {
  z_stream zs;
  bool ready = false;
  uint8_t window[kWindow];

  Inflater() { std::memset(&zs, 0, sizeof zs); }
  ~Inflater() {
    if (ready) inflateEnd(&zs);
  }
};

BirdStreamCheck::BirdStreamCheck() : zlib_(new Inflater) {
  std::memset(header_, 0, sizeof header_);
  std::memset(head_, 0, sizeof head_);
}

BirdStreamCheck::~BirdStreamCheck() = default;

bool BirdStreamCheck::Feed(const uint8_t* bytes, size_t length) {
  if (failed_) return false;
  if (!bytes || length == 0 || ended_) return true;
  while (headerCount_ < BIRD_FILE_HEADER_SIZE && length > 0) {
    header_[headerCount_++] = *bytes++;
    --length;
  }
  if (headerCount_ < BIRD_FILE_HEADER_SIZE) return true;
  if (!zlib_->ready) {
    if (!BirdFile::VerifyHeader(header_, sizeof header_) || inflateInit(&zlib_->zs) != Z_OK) {
      failed_ = true;
      return false;
    }
    zlib_->ready = true;
  }
  return length == 0 || Expand(bytes, length);
}

bool BirdStreamCheck::Expand(const uint8_t* bytes, size_t length) {
  z_stream& zs = zlib_->zs;
  while (length > 0) {
    const size_t chunk = length < kMaxZlibChunk ? length : kMaxZlibChunk;
    zs.next_in = const_cast<Bytef*>(bytes);
    zs.avail_in = uInt(chunk);
    bytes += chunk;
    length -= chunk;
    do {
      zs.next_out = zlib_->window;
      zs.avail_out = uInt(kWindow);
      const int ret = inflate(&zs, Z_NO_FLUSH);
      const size_t produced = kWindow - zs.avail_out;
      if (expanded_ + produced > BIRD_FILE_MAX_EXPANDED_SIZE) {
        failed_ = true;  // the same refusal as loading: too large to expand
        problem_ = BirdLoadProblem(BirdLoadFailure::TooLarge);
        return false;
      }
      if (!Scan(zlib_->window, produced)) {
        failed_ = true;
        return false;
      }
      expanded_ += produced;
      if (ret == Z_STREAM_END) {
        ended_ = true;
        return true;
      }
      // Z_BUF_ERROR with all input taken: the stream continues in the
      // next piece.
      const bool needMore = ret == Z_BUF_ERROR && zs.avail_in == 0;
      if (ret != Z_OK && !needMore) {
        failed_ = true;
        return false;
      }
    } while (zs.avail_in > 0 || zs.avail_out == 0);
  }
  return true;
}

bool BirdStreamCheck::Scan(const uint8_t* bytes, size_t length) {
  uint64_t pos = expanded_;
  while (length > 0) {
    if (!haveCount_) {
      head_[headCount_++] = *bytes++;
      --length;
      ++pos;
      if (headCount_ == 4) {
        declaredCount_ = GetInt(head_);
        haveCount_ = true;
        headCount_ = 0;
        skipTo_ = 4;
        if (declaredCount_ > BIRD_FILE_MAX_BLOCKS) {
          problem_ = BirdLoadProblem(BirdLoadFailure::DeclaresTooMany, declaredCount_);
          return false;
        }
      }
    } else if (pos < skipTo_) {
      // Inside a block's data: keep the first bytes of the information
      // block, pass over everything else.
      uint64_t step = skipTo_ - pos;
      if (step > length) step = length;
      if (infoSeen_) {
        const uint64_t infoEnd = infoStart_ + (content_.infoLength < BIRD_INFO_SIZE
                                                   ? content_.infoLength
                                                   : BIRD_INFO_SIZE);
        for (uint64_t p = pos < infoStart_ ? infoStart_ : pos; p < infoEnd && p < pos + step; ++p)
          content_.info[p - infoStart_] = bytes[p - pos];
      }
      bytes += step;
      length -= size_t(step);
      pos += step;
    } else {
      head_[headCount_++] = *bytes++;
      --length;
      ++pos;
      if (headCount_ == 5) {
        headCount_ = 0;
        skipTo_ = pos + GetInt(head_ + 1);
        if (!BlockHead()) return false;
      }
    }
  }
  return true;
}

bool BirdStreamCheck::BlockHead() {
  if (blockCount_ == BIRD_FILE_MAX_BLOCKS) {
    problem_ = BirdLoadProblem(BirdLoadFailure::HoldsTooMany);
    return false;
  }
  lastType_ = head_[0] & BIRD_FILE_TYPE_MASK;
  lastLength_ = GetInt(head_ + 1);
  if (lastType_ == BLOCK_FIRMWARE) ++content_.firmwareBlocks;
  if ((lastType_ == BLOCK_LOADER || lastType_ == BLOCK_FIRMWARE) && lastLength_ < 4 &&
      !content_.shortImage) {
    content_.shortImage = true;
    content_.shortImageIndex = blockCount_;
  }
  if (lastType_ == BLOCK_INFO && !infoSeen_) {
    infoSeen_ = true;
    infoBlock_ = blockCount_;
    infoStart_ = skipTo_ - lastLength_;
    content_.infoLength = lastLength_;
  }
  ++blockCount_;
  return true;
}

void BirdStreamCheck::FinishScan() {
  structureValid_ = false;
  if (!haveCount_) {
    blockCount_ = declaredCount_ = 0;
    infoSeen_ = false;
    return;
  }
  if (skipTo_ > expanded_) {
    // The last block claims more data than the body holds: it does not
    // count, as a whole-body scan stops before it.
    --blockCount_;
    if (infoSeen_ && infoBlock_ == blockCount_) infoSeen_ = false;
    if (lastType_ == BLOCK_FIRMWARE) --content_.firmwareBlocks;
    if (content_.shortImage && content_.shortImageIndex == blockCount_) content_.shortImage = false;
    return;
  }
  // What follows the last block must be exactly the 4-byte checksum.
  structureValid_ = expanded_ - skipTo_ == 4 && blockCount_ == declaredCount_;
}

bool BirdStreamCheck::Finish() {
  if (finished_) return !failed_;
  finished_ = true;
  if (failed_ || headerCount_ < BIRD_FILE_HEADER_SIZE || !ended_) {
    failed_ = true;
    structureValid_ = false;
    if (problem_.empty()) {
      const bool header = headerCount_ == BIRD_FILE_HEADER_SIZE &&
                          BirdFile::VerifyHeader(header_, sizeof header_);
      problem_ = BirdLoadProblem(header ? BirdLoadFailure::NotExpanded : BirdLoadFailure::BadHeader);
    }
    return false;
  }
  FinishScan();
  content_.blocks = blockCount_;
  content_.hasInfo = infoSeen_;
  if (!infoSeen_) content_.infoLength = 0;
  problem_ = BirdContentProblem(content_);
  return true;
}

uint32_t BirdStreamCheck::GetBuild() const {
  if (!infoSeen_ || failed_) return 0;
  uint32_t build = 0;
  BirdInfoBuild(content_.info, content_.infoLength, &build);
  return build;
}

BirdCheckWorker::BirdCheckWorker() : thread_([this] { Run(); }) {}

BirdCheckWorker::~BirdCheckWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    queue_.clear();
    queuedBytes_ = 0;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool BirdCheckWorker::Feed(const uint8_t* bytes, size_t length) {
  if (!bytes || length == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    return !failed_;
  }
  std::vector<uint8_t> piece(bytes, bytes + length);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return failed_ || closing_ || queuedBytes_ < kMaxQueuedBytes; });
  if (failed_ || closing_) return false;
  queuedBytes_ += piece.size();
  queue_.push_back(std::move(piece));
  lock.unlock();
  changed_.notify_all();
  return true;
}

void BirdCheckWorker::Run() {
  for (;;) {
    std::vector<uint8_t> piece;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;  // closing and drained
      piece = std::move(queue_.front());
      queue_.pop_front();
      queuedBytes_ -= piece.size();
    }
    changed_.notify_all();
    if (!check_.Feed(piece.data(), piece.size())) {
      std::lock_guard<std::mutex> lock(mutex_);
      failed_ = true;
      queue_.clear();
      queuedBytes_ = 0;
      changed_.notify_all();
      // Keep waiting for closing_: later pieces are refused by Feed.
    }
  }
}

bool BirdCheckWorker::Refused() {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

bool BirdCheckWorker::Finish() {
  if (finished_) return verdict_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  finished_ = true;
  verdict_ = check_.Finish();
  return verdict_;
}
