#include "app/FirmwareReceiver.h"

#include <exception>

FirmwareReceiver::FirmwareReceiver() {
  try {
    worker_.reset(new BirdCheckWorker);
  } catch (const std::exception&) {
    worker_.reset();  // no thread to spare: check on the receiving thread
  }
}

void FirmwareReceiver::WriteTo(AtomicFileWriter* file) {
  std::lock_guard<std::mutex> lock(fileMutex_);
  file_ = file;
  fileDecided_ = true;
  fileChanged_.notify_all();
}

void FirmwareReceiver::Write(const char* text, size_t count) {
  textLength_ += count;
  if (decoder_.Failed()) return;
  const size_t held = batch_.size();
  batch_.resize(held + Base64StreamDecoder::MaxOutput(count));
  const size_t n = decoder_.Feed(text, count, batch_.data() + held);
  batch_.resize(held + n);
  if (decoder_.Failed()) {
    batch_.resize(held);
    return;
  }
  if (batch_.size() >= (passed_ ? kBatchBytes : kFirstBatchBytes)) Pass();
}

bool FirmwareReceiver::FileValid() {
  Pass();
  return worker_ ? worker_->Finish() : direct_.Finish();
}

aErr FirmwareReceiver::FinishFile(int* error) {
  Pass();
  *error = fileError_;
  if (!file_) return aErrParam;
  if (fileResult_ != aErrNone) return fileResult_;
  return file_->Finish(error);
}

// Passes the decoded bytes held so far to the check and the file.
void FirmwareReceiver::Pass() {
  if (batch_.empty()) return;
  passed_ = true;
  if (!fileDecided_) {
    std::unique_lock<std::mutex> lock(fileMutex_);
    fileChanged_.wait(lock, [this] { return fileDecided_.load(); });
  }
  if (worker_) {
    worker_->Feed(batch_.data(), batch_.size());
  } else {
    direct_.Feed(batch_.data(), batch_.size());
  }
  // Nothing more goes to the disk once the check has refused the file.
  if (file_ && fileResult_ == aErrNone && !Refused()) {
    fileResult_ = file_->Append(batch_.data(), batch_.size(), &fileError_);
  }
  batch_.clear();
}
