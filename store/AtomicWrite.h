// Replacing a file so that readers see either the old or the new contents,
// never a truncated mix: the bytes go to a temporary file in the same
// directory, are flushed to the disk, and the temporary file is renamed over
// the target.
//
// Temporary files are named ".NAME.tmpXXXXXX" beside the target NAME: the
// leading dot keeps them out of every listing of builds. A writer holds an
// exclusive lock (flock) on its temporary file until the file is committed
// or removed, so that RemoveLeftoverTemporaries can tell the leftovers of a
// killed writer from a file that is still being written.
#ifndef UPDATER_ATOMICWRITE_H
#define UPDATER_ATOMICWRITE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/aError.h"

// aErrNotFound when the temporary file cannot be created (missing
// directory, no permission), aErrWrite when writing, flushing or renaming
// fails (the target is then untouched and no temporary file is left);
// errnoOut, when given, receives the system error number of the failure.
// A new file gets mode 0644, a replaced file keeps its mode.
aErr WriteFileAtomically(const char* path, const uint8_t* data, size_t length,
                         int* errnoOut = nullptr);

// Whether a target that already holds exactly the new bytes is replaced
// all the same (Always) or left in place, unwritten (IfChanged). With
// IfChanged the bytes are compared with the target's as they arrive and go
// to the temporary file only from the first difference on (the matching
// start is copied then), so storing the same file again writes nothing.
enum class AtomicReplace { Always, IfChanged };

// The two halves of WriteFileAtomically, for a caller that wants the
// bytes flushed to the disk before it decides whether to put them in place.
// A prepared file that is not committed is removed.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter() { Abandon(); }
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Writes and flushes the bytes to a temporary file beside path; the
  // target is not touched. Results as for WriteFileAtomically.
  aErr Prepare(const char* path, const uint8_t* data, size_t length, int* errnoOut = nullptr);
  // Prepare in steps, for bytes that arrive over time: Begin creates the
  // temporary file beside path, Append adds bytes, Finish flushes them to
  // the disk; then Commit or Abandon. Each
  // step removes the temporary file when it fails. Results as for
  // WriteFileAtomically; aErrParam for a step out of order.
  aErr Begin(const char* path, int* errnoOut = nullptr,
             AtomicReplace replace = AtomicReplace::Always);
  aErr Append(const uint8_t* data, size_t length, int* errnoOut = nullptr);
  aErr Finish(int* errnoOut = nullptr);
  // Renames the prepared file over the target and makes the rename
  // durable. aErrWrite (temporary file removed) when the rename fails,
  // aErrParam when nothing is prepared.
  aErr Commit(int* errnoOut = nullptr);
  // Removes the prepared file, if any.
  void Abandon();
  // The prepared temporary file; empty when there is none.
  const std::string& TemporaryPath() const { return temp_; }
  // After a Commit with IfChanged: the target already held the bytes and
  // was left as it was.
  bool KeptTarget() const { return kept_; }

 private:
  bool CreateTemporary();
  void RemoveTemporary();
  void Release();
  aErr Fail(int error, int* errnoOut);
  bool MatchesTarget(const uint8_t* data, size_t length);
  bool CopyMatchedStart();
  bool TargetStillMatched() const;
  bool FlushTemporary();
  void DropTarget();

  // With IfChanged, while every byte so far matches the target: the
  // target's file, its size, its times of change (modification and status,
  // seconds and nanoseconds) and how many of its bytes have matched.
  int same_ = -1;
  uint64_t sameSize_ = 0;
  std::array<int64_t, 4> sameChanged_{};
  uint64_t matched_ = 0;
  std::vector<uint8_t> compare_;  // the target's bytes being compared or copied
  bool kept_ = false;

  std::string target_;
  std::string temp_;
  int fd_ = -1;  // open (and locked) from Prepare to Commit or Abandon
  bool writing_ = false;  // begun, not yet finished
  unsigned mode_ = 0644;  // of the new file
};

// Whether name is that of a temporary file of the atomic writer: this
// writer's ".NAME.tmpXXXXXX", or "NAME.bird.tmpXXXXXX" as earlier versions
// named the temporary files of packages.
bool IsTemporaryFileName(const std::string& name);

// Removes the temporary files in directory that no writer holds any more
// (left by a writer that was killed). Returns how many were removed.
unsigned RemoveLeftoverTemporaries(const std::string& directory);

#endif
