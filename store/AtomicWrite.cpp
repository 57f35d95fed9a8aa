#include "store/AtomicWrite.h"

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

aErr AtomicFileWriter::Begin(const char* path, int* errnoOut) {
  Abandon();
  if (errnoOut) *errnoOut = 0;
  if (!path || !*path) {
    if (errnoOut) *errnoOut = EINVAL;
    return aErrParam;
  }
  std::string target(path);
  std::string pattern = TemporaryPattern(target);
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    if (errnoOut) *errnoOut = errno;
    return aErrNotFound;
  }
  // Held until the file is committed or removed: a cleaner skips it.
  ::flock(fd, LOCK_EX | LOCK_NB);
  mode_ = 0644;
  struct stat st;
  if (::stat(path, &st) == 0 && S_ISREG(st.st_mode)) mode_ = unsigned(st.st_mode & 07777);
  target_ = target;
  temp_ = name.data();
  fd_ = fd;
  writing_ = true;
  return aErrNone;
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
  if (!WriteAll(fd_, data, length)) return Fail(errno, errnoOut);
  return aErrNone;
}

aErr AtomicFileWriter::Finish(int* errnoOut) {
  if (errnoOut) *errnoOut = 0;
  if (!writing_) {
    if (errnoOut) *errnoOut = EINVAL;
    return aErrParam;
  }
  if (::fchmod(fd_, mode_t(mode_)) != 0 || ::fsync(fd_) != 0) return Fail(errno, errnoOut);
  writing_ = false;
  return aErrNone;
}

aErr AtomicFileWriter::Commit(int* errnoOut) {
  if (errnoOut) *errnoOut = 0;
  if (temp_.empty() || writing_) {
    if (errnoOut) *errnoOut = EINVAL;
    return aErrParam;
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
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  writing_ = false;
  Release();
}

void AtomicFileWriter::Release() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the lock
  fd_ = -1;
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
