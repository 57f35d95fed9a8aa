#include "recovery/Serial_SDPLoader_unix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "log/Log.h"

struct PrivateSerial_SDPLoader {
  int fd = -1;
  std::string path;
  struct termios settings = {};
  int settleMs = 0;
};

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepMs(int64_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool Retryable(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// Waits until the output queue is empty or the deadline passes. TIOCOUTQ
// keeps the wait bounded where tcdrain could block on a stuck line.
void Drain(int fd, int64_t deadline) {
  for (;;) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
      tcdrain(fd);
      return;
    }
    if (queued <= 0 || NowMs() >= deadline) return;
    // A fast line (or a pseudo-terminal) empties in microseconds.
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const std::string& devicePath, int settleMs)
    : d_(new PrivateSerial_SDPLoader) {
  d_->path = devicePath;
  d_->settleMs = settleMs < 0 ? 0 : settleMs;
}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (d_->fd >= 0) {
    tcflush(d_->fd, TCIOFLUSH);
    close(d_->fd);
  }
}

uint32_t Serial_SDPLoader::TransferMs(size_t bytes) {
  const uint64_t ms = (static_cast<uint64_t>(bytes) * 10 * 1000 + kBaud - 1) / kBaud;
  // Loader images are bounded far below this; the cap keeps the sum in range.
  return ms > 3600000 ? 3600000u : static_cast<uint32_t>(ms);
}

int Serial_SDPLoader::WriteDeadlineMs(size_t bytes) {
  return static_cast<int>(TransferMs(bytes)) + kWriteSlackMs;
}

bool Serial_SDPLoader::init() {
  if (d_->fd >= 0) {
    close(d_->fd);
    d_->fd = -1;
  }
  const int fd = open(d_->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    Log::log(DEBUG_iMXSerial, "Cannot open %s: %s\n", d_->path.c_str(), strerror(errno));
    return false;
  }
  struct termios t = {};
  if (!isatty(fd) || tcgetattr(fd, &t) != 0) {
    Log::log(DEBUG_iMXSerial, "%s is not a serial port\n", d_->path.c_str());
    close(fd);
    return false;
  }
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  t.c_cflag = CS8 | CREAD | CLOCAL | (t.c_cflag & (CBAUD | CBAUDEX));
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
    Log::log(DEBUG_iMXSerial, "Cannot set up %s: %s\n", d_->path.c_str(), strerror(errno));
    close(fd);
    return false;
  }
  d_->settings = t;
  d_->fd = fd;
  SleepMs(d_->settleMs);
  tcflush(fd, TCIOFLUSH);
  return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& data) {
  if (d_->fd < 0 || data.size() < 2) return 0;
  const uint8_t* p = data.data() + 1;
  const size_t size = data.size() - 1;
  const int64_t deadline = NowMs() + WriteDeadlineMs(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(d_->fd, p + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && !Retryable(errno)) {
      Log::log(DEBUG_iMXSerial, "Serial write failed after %zu of %zu bytes: %s\n", done, size,
               strerror(errno));
      break;
    }
    const int64_t left = deadline - NowMs();
    if (left <= 0) {
      Log::log(DEBUG_iMXSerial, "Serial write timed out after %zu of %zu bytes\n", done, size);
      break;
    }
    struct pollfd pfd = {d_->fd, POLLOUT, 0};
    if (poll(&pfd, 1, static_cast<int>(left < 10 ? left : 10)) > 0 && (pfd.revents & POLLNVAL)) break;
  }
  Drain(d_->fd, deadline);
  return static_cast<ssize_t>(done);
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& data, int timeoutMs) {
  if (d_->fd < 0) return 0;
  const int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
  for (;;) {
    struct pollfd pfd = {d_->fd, POLLIN, 0};
    const int64_t left = deadline - NowMs();
    const int ready = poll(&pfd, 1, static_cast<int>(left > 0 ? left : 0));
    if (ready > 0) {
      if (pfd.revents & POLLIN) break;
      return -1;  // hung up or failed, nothing to read
    }
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
  uint8_t buffer[kMaxReadBytes];
  size_t total = 0;
  while (total < kMaxReadBytes) {
    const ssize_t n = read(d_->fd, buffer, kMaxReadBytes - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (total == 0 && !(n < 0 && Retryable(errno))) return -1;
      break;  // all that was waiting is taken
    }
    data.insert(data.end(), buffer, buffer + n);
    total += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(total);
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& buffer, size_t offset,
                                         uint32_t& value) {
  return SDP_WordFromSerialAnswer(buffer, offset, value);
}

bool Serial_SDPLoader::getSecurityFromBuffer(const std::vector<uint8_t>& buffer, uint32_t& value) {
  return SDP_SecurityFromSerialAnswer(buffer, value);
}
