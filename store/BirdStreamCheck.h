// Checks a BIRD file while its bytes arrive, without keeping them: the
// header, the complete expansion of the zlib body and the block layout of
// the expanded body, with the expansion loop and block walk that loading
// uses (BirdBodyExpander, BirdBlockScanner). Gives the verdict
// BirdFile::VerifyHeader and BirdFile::LoadFromMemory give on the whole
// file, so a download can be judged as it comes in.
#ifndef UPDATER_BIRDSTREAMCHECK_H
#define UPDATER_BIRDSTREAMCHECK_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/BirdExpander.h"
#include "store/BirdFile.h"

class BirdStreamCheck {
 public:
  BirdStreamCheck();
  ~BirdStreamCheck();
  BirdStreamCheck(const BirdStreamCheck&) = delete;
  BirdStreamCheck& operator=(const BirdStreamCheck&) = delete;

  // Takes the next bytes of the file. False once the file can no longer be
  // a loadable one (bad header, corrupt or oversized body, more than
  // BIRD_FILE_MAX_BLOCKS blocks declared or found); later bytes are then
  // ignored. Bytes after the end of the zlib stream are ignored, as
  // loading ignores them.
  bool Feed(const uint8_t* bytes, size_t length);

  // After the last byte: true when the header is good and the body
  // expanded completely, i.e. when the whole file would load.
  bool Finish();
  // The file has been found not loadable (before or by Finish).
  bool Failed() const { return failed_; }

  // The block layout of the expanded body, valid after Finish: the same
  // verdict and counts as loading a BirdFile, and the build number of
  // the first information block (0 without one), as BirdFile::GetBuild.
  bool StructureValid() const { return structureValid_; }
  uint32_t BlockCount() const { return blockCount_; }
  uint32_t DeclaredBlockCount() const { return declaredCount_; }
  uint32_t GetBuild() const;
  uint64_t ExpandedSize() const { return expander_.ExpandedSize(); }
  // After Finish, the verdict BirdFile::Usable gives on the whole file, and
  // why not (BirdFile::Problem's text for the same cause).
  bool Usable() const { return finished_ && problem_.empty(); }
  const std::string& Problem() const { return problem_; }

 private:
  BirdBodyExpander expander_;  // the body, seen through a window
  bool failed_ = false;
  bool finished_ = false;
  uint8_t header_[BIRD_FILE_HEADER_SIZE];
  size_t headerCount_ = 0;
  bool structureValid_ = false;
  uint32_t blockCount_ = 0;
  uint32_t declaredCount_ = 0;
  BirdContent content_;  // what decides whether the package is usable
  std::string problem_;  // set when the file is refused, and by Finish
};

// A BirdStreamCheck on a thread of its own, so that expanding the body
// runs beside the code that receives and decodes the file. Bytes are
// copied into a bounded queue; Feed waits while the queue is full.
class BirdCheckWorker {
 public:
  // Starts the thread; throws std::system_error when it cannot.
  BirdCheckWorker();
  // Stops and joins the thread if Finish was not called.
  ~BirdCheckWorker();
  BirdCheckWorker(const BirdCheckWorker&) = delete;
  BirdCheckWorker& operator=(const BirdCheckWorker&) = delete;

  // Queues the next bytes of the file. False once the check has failed
  // (the bytes are then dropped). Not to be called after Finish.
  bool Feed(const uint8_t* bytes, size_t length);
  // Waits for every queued byte to be checked and joins the thread; then
  // the verdict of BirdStreamCheck::Finish. Later calls repeat it.
  bool Finish();
  // The check has already refused the file; does not wait.
  bool Refused();
  // The check itself, to be read after Finish.
  const BirdStreamCheck& Check() const { return check_; }

 private:
  void Run();

  BirdStreamCheck check_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> queue_;
  std::vector<std::vector<uint8_t>> spare_;  // checked pieces, for reuse
  size_t queuedBytes_ = 0;
  bool closing_ = false;  // no more bytes will come
  bool failed_ = false;   // the check has refused the file
  bool finished_ = false;
  bool verdict_ = false;
  std::thread thread_;
};

#endif
