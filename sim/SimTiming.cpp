#include "sim/SimTiming.h"

#include <sys/socket.h>
#include <time.h>

#include <chrono>
#include <cstring>

namespace ksim {

namespace {

// The quantile of the lateness the margin tracks, and its step.
constexpr double kQuantile = 0.8;
constexpr double kStepUs = 4;
constexpr uint64_t kOldestStampUs = 1000000;

uint64_t WallUs() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

uint64_t SteadyUs() {
  using namespace std::chrono;
  return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

void WakeMargin::record(uint64_t lateUs) {
  // Up by q steps when above the estimate, down by 1 - q when below: the
  // estimate settles where a fraction q of the samples lie below it.
  if (double(lateUs) > estimate_)
    estimate_ += kStepUs * kQuantile;
  else
    estimate_ -= kStepUs * (1 - kQuantile);
  if (estimate_ < kMinUs) estimate_ = kMinUs;
  if (estimate_ > kMaxUs) estimate_ = kMaxUs;
}

int PollUntil(pollfd* fds, size_t count, uint64_t deadlineUs, bool exact,
              WakeMargin& margin) {
  const uint64_t t = SteadyUs();
  const uint64_t waitUs = deadlineUs > t ? deadlineUs - t : 0;
  const uint64_t early = exact ? margin.us() : 0;
  const uint64_t sleepUs = waitUs > early ? waitUs - early : 0;
  const timespec timeout{time_t(sleepUs / 1000000), long(sleepUs % 1000000) * 1000};
  int n = ::ppoll(fds, nfds_t(count), &timeout, nullptr);
  if (n != 0) return n;
  uint64_t woke = SteadyUs();
  if (sleepUs > 0) margin.record(woke > t + sleepUs ? woke - (t + sleepUs) : 0);
  const timespec now{0, 0};
  while (exact && n == 0 && woke < deadlineUs) {
    n = ::ppoll(fds, nfds_t(count), &now, nullptr);
    woke = SteadyUs();
  }
  return n;
}

void EnableReceiveStamps(int fd) {
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
}

ssize_t ReceiveStamped(int fd, void* buffer, size_t size, uint64_t* agoUs) {
  *agoUs = 0;
  iovec io{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd, &message, 0);
  if (n <= 0) return n;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    // The stamp is wall-clock time; only its distance from now is used.
    const uint64_t stampUs = uint64_t(stamp.tv_sec) * 1000000u + uint64_t(stamp.tv_nsec) / 1000u;
    const uint64_t wallUs = WallUs();
    if (wallUs >= stampUs && wallUs - stampUs <= kOldestStampUs) *agoUs = wallUs - stampUs;
  }
  return n;
}

}  // namespace ksim
