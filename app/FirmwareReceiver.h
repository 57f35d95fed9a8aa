// The receiving end of a firmware download.
#ifndef UPDATER_FIRMWARERECEIVER_H
#define UPDATER_FIRMWARERECEIVER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/aError.h"
#include "server/UpdateServerRequest.h"
#include "server/base64.h"
#include "store/AtomicWrite.h"
#include "store/BirdStreamCheck.h"

// Decodes the BIRD text of a download while it arrives, checks the decoded
// bytes as a BIRD file at the same time (expanding them on a thread of
// their own) and writes them to the temporary file that will become the
// stored file, so that this work is done while the server is still
// sending rather than after it. The decoded bytes are not kept.
class FirmwareReceiver : public BuildTextSink {
 public:
  FirmwareReceiver();

  // The file is made while the server is asked: until WriteTo says where
  // the bytes go (file, begun and not finished, or null for nowhere), the
  // first bytes to be written wait for it.
  void AwaitFile() { fileDecided_ = false; }
  void WriteTo(AtomicFileWriter* file);

  void Write(const char* text, size_t count) override;

  bool HasText() const { return textLength_ > 0; }
  bool TextValid() const { return decoder_.Complete(); }
  // The decoded bytes would load as a BIRD file.
  bool FileValid();
  // The check has already refused the file (it may still be running).
  bool Refused() { return worker_ ? worker_->Refused() : direct_.Failed(); }
  // After FileValid.
  const BirdStreamCheck& Check() const { return worker_ ? worker_->Check() : direct_; }
  // After the fetch: flushes the written file to the disk; aErrNone, or
  // why the file could not be written (*error: the system error number).
  aErr FinishFile(int* error);
  void Release() { std::vector<uint8_t>().swap(batch_); }

 private:
  // The transfer delivers the text in pieces of a few kilobytes; the decoded
  // bytes go on to the check and the file in larger batches, for fewer
  // hand-offs to the check's thread and fewer writes.
  static constexpr size_t kBatchBytes = 96 * 1024;
  // A smaller first batch starts the check sooner.
  static constexpr size_t kFirstBatchBytes = 16 * 1024;

  void Pass();

  uint64_t textLength_ = 0;
  bool passed_ = false;
  Base64StreamDecoder decoder_;
  std::vector<uint8_t> batch_;  // decoded bytes not yet passed on
  BirdStreamCheck direct_;
  std::unique_ptr<BirdCheckWorker> worker_;
  AtomicFileWriter* file_ = nullptr;  // set once, under fileMutex_
  std::atomic<bool> fileDecided_{true};
  std::mutex fileMutex_;
  std::condition_variable fileChanged_;
  aErr fileResult_ = aErrNone;
  int fileError_ = 0;
};

#endif
