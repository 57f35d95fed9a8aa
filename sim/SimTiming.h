// Timing of the world's answers: a module answers r after a request reaches
// it, so the world takes the time the kernel received the bytes, and meets
// the due time of an answer to the microsecond although its timed waits
// wake late.
#ifndef KORVEX_SIM_TIMING_H
#define KORVEX_SIM_TIMING_H

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace ksim {

// How much earlier than an answer's due time the world's thread ends its
// timed wait, to spin the rest. Timed waits wake tens of microseconds late
// on a virtual machine and more on a busy host; the margin follows the
// lateness of recent waits (a high quantile of it), within bounds, so that
// a quiet host spins little.
class WakeMargin {
 public:
  static constexpr uint32_t kMinUs = 10;
  static constexpr uint32_t kMaxUs = 200;

  uint32_t us() const { return uint32_t(estimate_); }
  // A timed wait that ended by its time-out woke this late.
  void record(uint64_t lateUs);

 private:
  double estimate_ = 60;
};

// ppoll() until deadlineUs on the world's clock (microseconds of the
// steady clock). An exact deadline (an answer due) ends the timed wait
// early by the margin and is met by polling without waiting until it has
// come; the lateness of the timed wait goes into the margin. ppoll's
// result: 0 once the deadline has come with nothing readable.
int PollUntil(pollfd* fds, size_t count, uint64_t deadlineUs, bool exact,
              WakeMargin& margin);

// Asks the kernel to stamp the data received on a socket.
void EnableReceiveStamps(int fd);

// recv() on a stream socket; *agoUs is how long ago the kernel received
// the bytes (0 when it gave no stamp, or one from the future or more than
// a second old).
ssize_t ReceiveStamped(int fd, void* buffer, size_t size, uint64_t* agoUs);

}  // namespace ksim

#endif
