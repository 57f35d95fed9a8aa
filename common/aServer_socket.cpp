// A message socket used by two threads: one sleeps in poll waiting for its
// input, another sends on it directly instead of handing messages over.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "common/aServer_internal.h"

aSharedSocket::~aSharedSocket() { close(); }

bool aSharedSocket::open(zsock_t* socket) {
  close();
  if (socket == nullptr) return false;
  const int fd = zsock_fd(socket);
  const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0 || wakeFd < 0) {
    if (wakeFd >= 0) ::close(wakeFd);
    zsock_destroy(&socket);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  socket_ = socket;
  fd_ = fd;
  wakeFd_ = wakeFd;
  return true;
}

void aSharedSocket::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  zsock_destroy(&socket_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
  fd_ = -1;
}

aSharedSocket::Use::Use(aSharedSocket& shared)
    : shared_(shared), lock_(shared.mutex_) {}

aSharedSocket::Use::~Use() {
  // This use may have taken the news of arrived input from the socket's
  // descriptor; the waiter would then sleep on with input waiting.
  if (lookAtEvents_ && shared_.socket_ != nullptr &&
      (zsock_events(shared_.socket_) & ZMQ_POLLIN))
    shared_.wakeLocked();
}

void* aSharedSocket::Use::socket() const {
  return shared_.socket_ != nullptr ? zsock_resolve(shared_.socket_) : nullptr;
}

void aSharedSocket::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  wakeLocked();
}

void aSharedSocket::wakeLocked() {
  const uint64_t one = 1;
  // A full counter (never in practice) already wakes the waiter.
  if (wakeFd_ >= 0 && write(wakeFd_, &one, sizeof(one)) < 0) return;
}

bool aSharedSocket::readable() {
  std::lock_guard<std::mutex> lock(mutex_);
  return socket_ != nullptr && (zsock_events(socket_) & ZMQ_POLLIN) != 0;
}

int aSharedSocket::wait(zmq_pollitem_t* extra, int count, long timeoutMs) {
  if (count < 0) return -1;
  std::vector<zmq_pollitem_t> items(2 + static_cast<size_t>(count));
  items[0] = {nullptr, fd_, ZMQ_POLLIN, 0};
  items[1] = {nullptr, wakeFd_, ZMQ_POLLIN, 0};
  for (int i = 0; i < count; i++) items[2 + i] = extra[i];
  bool descriptorsOnly = true;
  for (int i = 0; i < count; i++) descriptorsOnly = descriptorsOnly && extra[i].socket == nullptr;
  int n;
  if (descriptorsOnly) {
    // Descriptors alone are polled in one call: the messaging library's
    // poll would make a pass without waiting before every wait.
    std::vector<struct pollfd> fds(items.size());
    for (size_t i = 0; i < fds.size(); i++) {
      const short events = static_cast<short>(((items[i].events & ZMQ_POLLIN) ? POLLIN : 0) |
                                              ((items[i].events & ZMQ_POLLOUT) ? POLLOUT : 0));
      fds[i] = {items[i].fd, events, 0};
    }
    const long long asked = timeoutMs;
    const int timeout = asked < 0 ? -1 : asked > INT_MAX ? INT_MAX : static_cast<int>(asked);
    n = ::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout);  // errno as zmq_errno() reads it
    for (size_t i = 0; i < fds.size(); i++) {
      const bool failed = (fds[i].revents & (POLLERR | POLLHUP)) != 0;
      items[i].revents = static_cast<short>(
          ((fds[i].revents & POLLIN) || failed ? (items[i].events & ZMQ_POLLIN) : 0) |
          ((fds[i].revents & POLLOUT) || failed ? (items[i].events & ZMQ_POLLOUT) : 0));
    }
  } else {
    n = zmq_poll(items.data(), 2 + count, timeoutMs);
  }
  for (int i = 0; i < count; i++) extra[i].revents = items[2 + i].revents;
  if (n > 0 && (items[1].revents & ZMQ_POLLIN)) {
    uint64_t value = 0;
    if (read(wakeFd_, &value, sizeof(value)) < 0 && errno != EAGAIN) return -1;
  }
  return n;
}
