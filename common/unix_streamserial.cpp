// Serial streams over a termios port: raw 8N1/7E1-style lines at 2400 to
// 230400 bit/s. Reads return at once (VMIN 0, VTIME 0) and go through a
// small buffer, so a byte-wise reader costs one read() per burst, not per
// byte; waiting for input is a poll() on the port.
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "common/aStream.h"

namespace {

constexpr uint16_t kSerialTag = 0xBEEF;
constexpr size_t kPathMax = 4096;
constexpr size_t kReadBuffer = 256;

struct SerialStream {
  uint32_t speedIndex = 0;
  char path[kPathMax + 1] = {};
  int fd = -1;
  struct termios saved = {};
  struct termios working = {};
  bool savedValid = false;
  uint8_t buffer[kReadBuffer] = {};
  size_t bufferPos = 0;
  size_t bufferCount = 0;
  uint16_t tag = kSerialTag;
};

SerialStream* sSerial(void* context) {
  SerialStream* s = static_cast<SerialStream*>(context);
  return (s != nullptr && s->tag == kSerialTag) ? s : nullptr;
}

speed_t sSpeed(uint32_t index) {
  static const speed_t kSpeeds[] = {B2400,  B4800,  B9600,   B19200,
                                    B38400, B57600, B115200, B230400};
  return index < sizeof(kSpeeds) / sizeof(kSpeeds[0]) ? kSpeeds[index] : B0;
}

aErr sSerialGet(uint8_t* byte, void* context) {
  SerialStream* s = sSerial(context);
  if (s == nullptr || byte == nullptr) return aErrParam;
  if (s->bufferCount == 0) {
    ssize_t n = read(s->fd, s->buffer, sizeof(s->buffer));
    if (n == 0) {
      // Nothing waiting, or the line has hung up (a vanished adapter, a
      // closed pseudo-terminal master): only the latter shows in poll.
      struct pollfd p = {s->fd, POLLIN, 0};
      if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return aErrIO;
      return aErrNotReady;
    }
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return aErrNotReady;
      return aErrIO;
    }
    s->bufferPos = 0;
    s->bufferCount = static_cast<size_t>(n);
  }
  *byte = s->buffer[s->bufferPos++];
  --s->bufferCount;
  return aErrNone;
}

aErr sSerialWait(uint32_t timeoutMs, void* context) {
  SerialStream* s = sSerial(context);
  if (s == nullptr) return aErrParam;
  if (s->bufferCount > 0) return aErrNone;
  struct pollfd p = {s->fd, POLLIN, 0};
  int r = poll(&p, 1, static_cast<int>(timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : timeoutMs));
  if (r == 0) return aErrTimeout;
  if (r < 0) return (errno == EINTR) ? aErrNone : aErrIO;
  if (p.revents & POLLIN) return aErrNone;
  // Hung up (the other end of the line is gone) or an error without input:
  // waiting again would return at once for ever.
  return aErrIO;
}

aErr sSerialWrite(const uint8_t* data, size_t length, void* context) {
  SerialStream* s = sSerial(context);
  if (s == nullptr || data == nullptr) return aErrParam;
  if (length == 0) return aErrNone;
  ssize_t n = write(s->fd, data, length);
  if (n < 0 || static_cast<size_t>(n) != length) return aErrIO;
  if (tcdrain(s->fd) != 0) return aErrIO;
  return aErrNone;
}

aErr sSerialPut(uint8_t byte, void* context) {
  return sSerialWrite(&byte, 1, context);
}

aErr sSerialDelete(void* context) {
  SerialStream* s = sSerial(context);
  if (s == nullptr) return aErrParam;
  if (s->fd >= 0) {
    if (s->savedValid) tcsetattr(s->fd, TCSANOW, &s->saved);
    close(s->fd);
    s->fd = -1;
  }
  s->tag = 0;
  delete s;
  return aErrNone;
}

aErr sSerialOpen(SerialStream* s, uint32_t parity, uint32_t dataBitsMode,
                 uint32_t stopBits) {
  s->fd = open(s->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (s->fd < 0) {
    if (errno == ENOENT) return aErrNotFound;
    if (errno == EACCES || errno == EPERM) return aErrPermission;
    return aErrIO;
  }
  // Blocking from here on: writes wait for room, reads still return at once
  // through VMIN 0 / VTIME 0.
  if (fcntl(s->fd, F_SETFL, 0) != 0) return aErrIO;
  if (tcgetattr(s->fd, &s->saved) != 0) return aErrIO;
  s->savedValid = true;

  struct termios& t = s->working;
  memset(&t, 0, sizeof(t));
  t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) |
              (dataBitsMode == aSERIAL_DATA_BITS_7 ? CS7 : CS8) |
              (stopBits == 1 ? CSTOPB : 0);
  const speed_t speed = sSpeed(s->speedIndex);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(s->fd, TCSANOW, &t) != 0) return aErrIO;
  if (tcflush(s->fd, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* path, uint32_t speedIndex,
                          uint32_t parity, uint32_t dataBitsMode,
                          uint32_t stopBits, aStreamRef* stream) {
  if (path == nullptr || stream == nullptr || dataBitsMode > 1 || stopBits > 1)
    return aErrParam;
  *stream = nullptr;
  if (strlen(path) > kPathMax) return aErrParam;
  SerialStream* s = new (std::nothrow) SerialStream();
  if (s == nullptr) return aErrMemory;
  s->speedIndex = speedIndex;
  memcpy(s->path, path, strlen(path) + 1);

  const aStreamOps ops = {sSerialGet, sSerialPut, sSerialWrite, sSerialDelete,
                          sSerialWait};
  aStreamRef created = aStream_CreateWithOps(&ops, s);
  if (created == nullptr) {
    delete s;
    return aErrResource;
  }
  aErr err = sSerialOpen(s, parity, dataBitsMode, stopBits);
  if (err != aErrNone) {
    aStream_Destroy(&created);
    return err;
  }
  *stream = created;
  return aErrNone;
}
