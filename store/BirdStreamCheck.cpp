#include "store/BirdStreamCheck.h"

#include <cstring>

namespace {

// How far the worker's input may run ahead of the check.
const size_t kMaxQueuedBytes = 1u << 20;
// Checked pieces kept for reuse.
const size_t kMaxSparePieces = 2;

}  // namespace

BirdStreamCheck::BirdStreamCheck() : expander_(false) { std::memset(header_, 0, sizeof header_); }

BirdStreamCheck::~BirdStreamCheck() = default;

bool BirdStreamCheck::Feed(const uint8_t* bytes, size_t length) {
  if (failed_) return false;
  if (!bytes || length == 0 || finished_) return true;
  while (headerCount_ < BIRD_FILE_HEADER_SIZE && length > 0) {
    header_[headerCount_++] = *bytes++;
    --length;
    if (headerCount_ == BIRD_FILE_HEADER_SIZE && !BirdFile::VerifyHeader(header_, sizeof header_)) {
      failed_ = true;
      return false;
    }
  }
  if (length == 0 || expander_.Feed(bytes, length)) return true;
  failed_ = true;
  switch (expander_.Failure()) {
    case BirdExpandFailure::TooLarge: problem_ = BirdLoadProblem(BirdLoadFailure::TooLarge); break;
    case BirdExpandFailure::TooManyBlocks: problem_ = expander_.Scanner().RefusalProblem(); break;
    default: break;
  }
  return false;
}

bool BirdStreamCheck::Finish() {
  if (finished_) return !failed_;
  finished_ = true;
  if (failed_ || headerCount_ < BIRD_FILE_HEADER_SIZE || !expander_.Ended()) {
    failed_ = true;
    structureValid_ = false;
    if (problem_.empty()) {
      const bool header = headerCount_ == BIRD_FILE_HEADER_SIZE &&
                          BirdFile::VerifyHeader(header_, sizeof header_);
      problem_ = BirdLoadProblem(header ? BirdLoadFailure::NotExpanded : BirdLoadFailure::BadHeader);
    }
    return false;
  }
  BirdBlockScanner& scanner = expander_.Scanner();
  scanner.Finish();
  structureValid_ = scanner.StructureValid();
  blockCount_ = scanner.BlockCount();
  declaredCount_ = scanner.DeclaredCount();
  content_ = scanner.Content();
  problem_ = BirdContentProblem(content_);
  return true;
}

uint32_t BirdStreamCheck::GetBuild() const {
  if (!content_.hasInfo || failed_) return 0;
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
  // Pieces are recycled: a buffer freed on the check's thread after
  // allocation on this one costs more than the copy itself.
  std::vector<uint8_t> piece;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spare_.empty()) {
      piece = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  piece.assign(bytes, bytes + length);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return failed_ || closing_ || queuedBytes_ < kMaxQueuedBytes; });
  if (failed_ || closing_) return false;
  const bool wasEmpty = queue_.empty();
  queuedBytes_ += piece.size();
  queue_.push_back(std::move(piece));
  lock.unlock();
  if (wasEmpty) changed_.notify_all();  // the check may be waiting for work
  return true;
}

void BirdCheckWorker::Run() {
  std::vector<uint8_t> piece;
  for (;;) {
    bool wasFull = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (piece.capacity() > 0 && spare_.size() < kMaxSparePieces) spare_.push_back(std::move(piece));
      piece = std::vector<uint8_t>();
      changed_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;  // closing and drained
      wasFull = queuedBytes_ >= kMaxQueuedBytes;
      piece = std::move(queue_.front());
      queue_.pop_front();
      queuedBytes_ -= piece.size();
    }
    if (wasFull) changed_.notify_all();  // Feed may be waiting for room
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
