#include "store/AtomicWrite.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
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

}  // namespace

aErr WriteFileAtomically(const char* path, const uint8_t* data, size_t length, int* errnoOut) {
  AtomicFileWriter writer;
  const aErr err = writer.Prepare(path, data, length, errnoOut);
  return err != aErrNone ? err : writer.Commit(errnoOut);
}

aErr AtomicFileWriter::Prepare(const char* path, const uint8_t* data, size_t length,
                               int* errnoOut) {
  Abandon();
  if (errnoOut) *errnoOut = 0;
  if (!path || !*path || (!data && length > 0)) {
    if (errnoOut) *errnoOut = EINVAL;
    return aErrParam;
  }
  std::string target(path);
  std::string pattern = target + ".tmpXXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) {
    if (errnoOut) *errnoOut = errno;
    return aErrNotFound;
  }
  mode_t mode = 0644;
  struct stat st;
  if (::stat(path, &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;

  bool ok = WriteAll(fd, data, length) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(name.data());
    if (errnoOut) *errnoOut = error;
    return aErrWrite;
  }
  target_ = target;
  temp_ = name.data();
  return aErrNone;
}

aErr AtomicFileWriter::Commit(int* errnoOut) {
  if (errnoOut) *errnoOut = 0;
  if (temp_.empty()) {
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
  // Make the rename itself durable.
  int dir = ::open(DirectoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return aErrNone;
}

void AtomicFileWriter::Abandon() {
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}
