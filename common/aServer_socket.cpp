// The broker's sleep: an eventfd that other threads signal, polled with
// the broker's descriptors.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "common/aServer_internal.h"

aServerWaker::~aServerWaker() {
  if (fd_ >= 0) close(fd_);
}

bool aServerWaker::open() {
  if (fd_ < 0) fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd_ >= 0;
}

void aServerWaker::wake() {
  const uint64_t one = 1;
  // A full counter (never in practice) already wakes the broker.
  if (fd_ >= 0 && write(fd_, &one, sizeof(one)) < 0) return;
}

int aServerWaker::wait(struct pollfd* extra, size_t count, long timeoutMs) {
  std::vector<struct pollfd> fds(1 + count);
  fds[0] = {fd_, POLLIN, 0};
  for (size_t i = 0; i < count; i++) fds[1 + i] = extra[i];
  const int timeout = timeoutMs < 0 ? -1 : timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
  const int n = poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout);
  for (size_t i = 0; i < count; i++) extra[i].revents = fds[1 + i].revents;
  if (n > 0 && (fds[0].revents & POLLIN)) {
    uint64_t value = 0;
    if (read(fd_, &value, sizeof(value)) < 0 && errno != EAGAIN) return -1;
  }
  return n;
}
