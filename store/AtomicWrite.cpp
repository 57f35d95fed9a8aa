#include "store/AtomicWrite.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kTempSuffix[] = ".tmpXXXXXX";
const size_t kTempSuffixLength = sizeof kTempSuffix - 1;
// The target's bytes are read for comparing and copying in pieces this size.
const size_t kCompareBytes = 64 * 1024;

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The temporary name for target: ".NAME.tmpXXXXXX" in target's directory.
std::string TemporaryPattern(const std::string& target) {
  const size_t slash = target.find_last_of('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  return target.substr(0, start) + "." + target.substr(start) + kTempSuffix;
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= size_t(n);
  }
  return true;
}

// Reads length bytes at offset; false (errno set) when the file ends first.
bool ReadAt(int fd, uint8_t* into, size_t length, uint64_t offset) {
  while (length > 0) {
    const ssize_t n = ::pread(fd, into, length, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    into += n;
    length -= size_t(n);
    offset += uint64_t(n);
  }
  return true;
}

// A file's modification and status-change times, seconds and nanoseconds.
std::array<int64_t, 4> ChangeTimes(const struct stat& st) {
  return {int64_t(st.st_mtim.tv_sec), int64_t(st.st_mtim.tv_nsec), int64_t(st.st_ctim.tv_sec),
          int64_t(st.st_ctim.tv_nsec)};
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

aErr WriteFileAtomically(const char* path, const uint8_t* data, size_t length, int* errnoOut) {
  AtomicFileWriter writer;
  const aErr err = writer.Prepare(path, data, length, errnoOut);
  return err != aErrNone ? err : writer.Commit(errnoOut);
}

aErr AtomicFileWriter::Prepare(const char* path, const uint8_t* data, size_t length,
                               int* errnoOut) {
  if (!data && length > 0) {
    Abandon();
    if (errnoOut) *errnoOut = EINVAL;
    return aErrParam;
  }
  aErr err = Begin(path, errnoOut);
  if (err == aErrNone) err = Append(data, length, errnoOut);
  if (err == aErrNone) err = Finish(errnoOut);
  return err;
}

aErr AtomicFileWriter::Begin(const char* path, int* errnoOut, AtomicReplace replace) {
  Abandon();
  kept_ = false;
  if (errnoOut) *errnoOut = 0;
  if (!path || !*path) {
    if (errnoOut) *errnoOut = EINVAL;
    return aErrParam;
  }
  target_ = path;
  if (!CreateTemporary()) {
    if (errnoOut) *errnoOut = errno;
    target_.clear();
    return aErrNotFound;
  }
  struct stat st;
  if (replace == AtomicReplace::IfChanged) {
    // Not through a link: a link at the target is replaced, never kept.
    const int same = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (same >= 0 && ::fstat(same, &st) == 0 && S_ISREG(st.st_mode)) {
      same_ = same;
      sameSize_ = uint64_t(st.st_size);
      sameChanged_ = ChangeTimes(st);
      matched_ = 0;
    } else if (same >= 0) {
      ::close(same);
    }
  }
  // A replaced file keeps its mode (st already describes it when compared).
  mode_ = 0644;
  if ((same_ >= 0 || ::stat(path, &st) == 0) && S_ISREG(st.st_mode))
    mode_ = unsigned(st.st_mode & 07777);
  writing_ = true;
  return aErrNone;
}

bool AtomicFileWriter::CreateTemporary() {
  const std::string pattern = TemporaryPattern(target_);
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  // Held until the file is committed or removed: a cleaner skips it.
  ::flock(fd, LOCK_EX | LOCK_NB);
  temp_ = name.data();
  fd_ = fd;
  return true;
}

// Removes the temporary file after a failed step; the error goes out.
aErr AtomicFileWriter::Fail(int error, int* errnoOut) {
  Abandon();
  if (errnoOut) *errnoOut = error;
  return aErrWrite;
}

aErr AtomicFileWriter::Append(const uint8_t* data, size_t length, int* errnoOut) {
  if (errnoOut) *errnoOut = 0;
  if (!writing_ || (!data && length > 0)) {
    if (errnoOut) *errnoOut = EINVAL;
    return aErrParam;
  }
  if (length == 0) return aErrNone;
  if (same_ >= 0) {
    if (MatchesTarget(data, length)) {
      matched_ += length;
      return aErrNone;
    }
    if (!CopyMatchedStart()) return Fail(errno, errnoOut);
  }
  if (!WriteAll(fd_, data, length)) return Fail(errno, errnoOut);
  return aErrNone;
}

bool AtomicFileWriter::MatchesTarget(const uint8_t* data, size_t length) {
  if (length > sameSize_ - matched_) return false;
  compare_.resize(std::min(length, kCompareBytes));
  uint64_t offset = matched_;
  while (length > 0) {
    const size_t piece = std::min(length, compare_.size());
    if (!ReadAt(same_, compare_.data(), piece, offset) ||
        std::memcmp(compare_.data(), data, piece) != 0) {
      return false;
    }
    data += piece;
    length -= piece;
    offset += piece;
  }
  return true;
}

// The bytes that matched the target so far go to the temporary file, which
// takes every byte from now on; the target is no longer compared.
bool AtomicFileWriter::CopyMatchedStart() {
  compare_.resize(size_t(std::min<uint64_t>(matched_, kCompareBytes)));
  for (uint64_t offset = 0; offset < matched_;) {
    const size_t piece = size_t(std::min<uint64_t>(matched_ - offset, compare_.size()));
    if (!ReadAt(same_, compare_.data(), piece, offset) || !WriteAll(fd_, compare_.data(), piece))
      return false;
    offset += piece;
  }
  DropTarget();
  return true;
}

void AtomicFileWriter::DropTarget() {
  if (same_ >= 0) ::close(same_);
  same_ = -1;
  std::vector<uint8_t>().swap(compare_);
}

aErr AtomicFileWriter::Finish(int* errnoOut) {
  if (errnoOut) *errnoOut = 0;
  if (!writing_) {
    if (errnoOut) *errnoOut = EINVAL;
    return aErrParam;
  }
  if (same_ >= 0 && matched_ != sameSize_ && !CopyMatchedStart()) return Fail(errno, errnoOut);
  if (same_ >= 0) {
    // The same bytes: the empty temporary file goes now, and what Commit
    // keeps must be on the disk as the file it would have put there.
    if (::fsync(same_) != 0) return Fail(errno, errnoOut);
    RemoveTemporary();
  } else if (!FlushTemporary()) {
    return Fail(errno, errnoOut);
  }
  writing_ = false;
  return aErrNone;
}

// The target is still the file compared, and nothing has written to it
// since Begin.
bool AtomicFileWriter::TargetStillMatched() const {
  struct stat now, then;
  if (::stat(target_.c_str(), &now) != 0 || ::fstat(same_, &then) != 0) return false;
  return now.st_dev == then.st_dev && now.st_ino == then.st_ino &&
         uint64_t(now.st_size) == sameSize_ && ChangeTimes(now) == sameChanged_;
}

// The temporary file gets its mode and goes to the disk.
bool AtomicFileWriter::FlushTemporary() {
  return ::fchmod(fd_, mode_t(mode_)) == 0 && ::fsync(fd_) == 0;
}

aErr AtomicFileWriter::Commit(int* errnoOut) {
  if (errnoOut) *errnoOut = 0;
  if ((temp_.empty() && same_ < 0) || writing_) {
    if (errnoOut) *errnoOut = EINVAL;
    return aErrParam;
  }
  if (same_ >= 0) {
    if (TargetStillMatched()) {
      Release();
      kept_ = true;
      return aErrNone;
    }
    // Replaced since Begin: the new bytes go in place after all.
    if (!CreateTemporary() || !CopyMatchedStart() || !FlushTemporary())
      return Fail(errno, errnoOut);
  }
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int error = errno;
    Abandon();
    if (errnoOut) *errnoOut = error;
    return aErrWrite;
  }
  temp_.clear();
  Release();
  // Make the rename itself durable.
  int dir = ::open(DirectoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return aErrNone;
}

void AtomicFileWriter::Abandon() {
  RemoveTemporary();
  writing_ = false;
  Release();
}

void AtomicFileWriter::RemoveTemporary() {
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void AtomicFileWriter::Release() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the lock
  fd_ = -1;
  DropTarget();
}

bool IsTemporaryFileName(const std::string& name) {
  if (name.size() <= kTempSuffixLength) return false;
  const size_t stem = name.size() - kTempSuffixLength;
  if (name.compare(stem, 4, ".tmp") != 0) return false;
  for (size_t i = stem + 4; i < name.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  const std::string target = name.substr(0, stem);
  return (target.size() > 1 && target[0] == '.') || EndsWith(target, ".bird");
}

unsigned RemoveLeftoverTemporaries(const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return 0;
  unsigned removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!IsTemporaryFileName(name)) continue;
    const std::string path = directory + "/" + name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    // Only a regular file that no writer holds.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::unlink(path.c_str()) == 0) {
      ++removed;
    }
    ::close(fd);
  }
  ::closedir(dir);
  return removed;
}
