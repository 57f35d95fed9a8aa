#include "store/RegularFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE* OpenRegularFile(const char* path, int* error) {
  int ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  if (!path || !*path) {
    *error = ENOENT;
    return nullptr;
  }
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
  // writer. It is cleared again once the file is known to be regular.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  struct stat st;
  int failure = 0;
  if (::fstat(fd, &st) != 0) {
    failure = errno;
  } else if (!S_ISREG(st.st_mode)) {
    failure = S_ISDIR(st.st_mode) ? EISDIR : kNotRegularFile;
  } else {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) failure = errno;
  }
  FILE* file = failure == 0 ? ::fdopen(fd, "rb") : nullptr;
  if (!file) {
    if (failure == 0) failure = errno;
    ::close(fd);
    *error = failure;
  }
  return file;
}

std::string OpenErrorText(int error) {
  if (error == kNotRegularFile) return "not a regular file";
  return std::strerror(error);
}
