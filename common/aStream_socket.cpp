// TCP client streams to network modules. The socket is non-blocking; reads
// go through a buffer of their own; a connection that the peer resets or
// closes is made again once, and when that fails the stream reports
// aErrConnection instead of "no byte yet".
//
// The reader thread (get, wait) and the writer thread (write, put) share the
// descriptor, and either may reconnect, so the descriptor and the connected
// flag are guarded by the record's mutex. The lock is never held while
// waiting. The backing wait looks at the descriptor only, so that a caller
// of the link may wait for bytes beside the reader thread.
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/aStream.h"
#include "common/aTime.h"

namespace {

constexpr uint16_t kSocketTag = 0xDEAD;
constexpr uint32_t kConnected = 0x1;
constexpr int kMaxSendRetry = aSOCKET_MAX_SEND_RETRY;
constexpr int kSendPauseMs = 60;
constexpr uint32_t kClosePauseMs = 10;
constexpr size_t kReadBuffer = 1024;
constexpr int kConnectTimeoutMs = 3000;

struct SocketStream {
  uint16_t port = 0;
  struct sockaddr_in address = {};
  int fd = -1;
  uint32_t flags = 0;
  uint16_t tag = kSocketTag;
  std::mutex lock;
  // Reader side only.
  uint8_t buffer[kReadBuffer] = {};
  size_t bufferPos = 0;
  size_t bufferCount = 0;
};

SocketStream* sSocket(void* context) {
  SocketStream* s = static_cast<SocketStream*>(context);
  return (s != nullptr && s->tag == kSocketTag) ? s : nullptr;
}

bool sConnected(const SocketStream* s) { return (s->flags & kConnected) != 0; }

void sClose(SocketStream* s) {
  if (s->fd < 0) return;
  s->flags &= ~kConnected;
  close(s->fd);
  s->fd = -1;
  aTime_MSSleep(kClosePauseMs);
}

// Connects within kConnectTimeoutMs: a module that is restarting may not
// answer at all, and an unbounded connect would hold the reader (and with
// it a link's stop) for minutes. 0 or the errno.
int sConnect(int fd, const struct sockaddr_in* address) {
  return aStream_ConnectWithin(fd, address, kConnectTimeoutMs);
}

// (Re)connects. Called with the lock held (or before the record is shared).
aErr sSocketStreamReset(SocketStream* s) {
  if (s == nullptr || s->tag != kSocketTag) return aErrInitialization;
  sClose(s);

  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return aErrIO;
  const int e = sConnect(fd, &s->address);
  if (e != 0) {
    close(fd);
    if (e == EAGAIN || e == ECONNRESET || e == ETIMEDOUT || e == ECONNREFUSED)
      return aErrConnection;
    return aErrIO;
  }
  s->fd = fd;
  s->flags |= kConnected;

  int on = 1;
  struct timeval noTimeout = {0, 0};
  struct linger resetOnClose = {1, 0};
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof(resetOnClose)) != 0 ||
      ioctl(fd, FIONBIO, &on) != 0) {
    sClose(s);
    return aErrIO;
  }
  return aErrNone;
}

// The peer went away: one reconnection, aErrConnection when it fails.
aErr sReconnect(SocketStream* s) {
  s->flags &= ~kConnected;
  return (sSocketStreamReset(s) == aErrNone) ? aErrNone : aErrConnection;
}

aErr sSocketGet(uint8_t* byte, void* context) {
  SocketStream* s = sSocket(context);
  if (s == nullptr || byte == nullptr) return aErrParam;
  if (s->bufferCount == 0) {
    std::lock_guard<std::mutex> guard(s->lock);
    if (!sConnected(s)) return aErrConnection;
    ssize_t n = recv(s->fd, s->buffer, sizeof(s->buffer), 0);
    if (n == 0) {
      // Orderly close by the peer.
      aErr err = sReconnect(s);
      return (err == aErrNone) ? aErrNotReady : err;
    }
    if (n < 0) {
      const int e = errno;
      if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) return aErrNotReady;
      if (e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT || e == EPIPE) {
        aErr err = sReconnect(s);
        return (err == aErrNone) ? aErrNotReady : err;
      }
      return aErrConnection;
    }
    s->bufferPos = 0;
    s->bufferCount = static_cast<size_t>(n);
  }
  *byte = s->buffer[s->bufferPos++];
  --s->bufferCount;
  return aErrNone;
}

aErr sSocketWaitBacking(uint32_t timeoutMs, void* context);

aErr sSocketWait(uint32_t timeoutMs, void* context) {
  SocketStream* s = sSocket(context);
  if (s == nullptr) return aErrParam;
  if (s->bufferCount > 0) return aErrNone;
  return sSocketWaitBacking(timeoutMs, context);
}

// The descriptor only: safe beside the reader.
aErr sSocketWaitBacking(uint32_t timeoutMs, void* context) {
  SocketStream* s = sSocket(context);
  if (s == nullptr) return aErrParam;
  int fd;
  {
    std::lock_guard<std::mutex> guard(s->lock);
    if (!sConnected(s)) return aErrConnection;
    fd = s->fd;
  }
  // Readable also covers a closed or reset peer; get tells them apart.
  struct pollfd p = {fd, POLLIN, 0};
  int r = poll(&p, 1, static_cast<int>(timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : timeoutMs));
  if (r == 0) return aErrTimeout;
  if (r < 0 && errno != EINTR) return aErrIO;
  return aErrNone;
}

// Waits up to the retry pause for room in the send buffer.
void sAwaitWritable(SocketStream* s) {
  int fd;
  {
    std::lock_guard<std::mutex> guard(s->lock);
    fd = s->fd;
  }
  if (fd < 0) {
    aTime_MSSleep(kSendPauseMs);
    return;
  }
  struct pollfd p = {fd, POLLOUT, 0};
  if (poll(&p, 1, kSendPauseMs) < 0) aTime_MSSleep(kSendPauseMs);
}

aErr sSocketWrite(const uint8_t* data, size_t length, void* context) {
  SocketStream* s = sSocket(context);
  if (s == nullptr || data == nullptr) return aErrParam;
  {
    std::lock_guard<std::mutex> guard(s->lock);
    if (!sConnected(s)) return aErrConnection;
  }
  size_t sent = 0;
  int attempts = 0;
  aErr result = aErrNone;
  do {
    {
      std::lock_guard<std::mutex> guard(s->lock);
      ssize_t n = -1;
      int e = 0;
      if (sConnected(s)) {
        n = send(s->fd, data + sent, length - sent, MSG_NOSIGNAL);
        e = errno;
      }
      if (!sConnected(s)) {
        // The reader lost the connection meanwhile and could not make it
        // again: that was the one reconnection.
        result = aErrConnection;
      } else if (n >= 0) {
        sent += static_cast<size_t>(n);
        if (sent < length) attempts = 1;
      } else if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) {
        ++attempts;
        result = aErrBusy;
      } else if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) {
        result = sReconnect(s);
        if (result == aErrNone) {
          // What went out on the old connection is lost with it: the new
          // connection gets the whole buffer.
          sent = 0;
          ++attempts;
          result = aErrBusy;
        }
      } else {
        result = aErrIO;
      }
    }
    if (sent < length || result == aErrBusy) {
      if (result == aErrBusy || result == aErrNone) {
        result = aErrNone;
        if (sent < length) sAwaitWritable(s);
      }
    }
  } while (sent < length && attempts < kMaxSendRetry && result == aErrNone);

  if (result == aErrNone && sent < length) result = aErrTimeout;
  return result;
}

aErr sSocketPut(uint8_t byte, void* context) {
  return sSocketWrite(&byte, 1, context);
}

aErr sSocketDelete(void* context) {
  SocketStream* s = sSocket(context);
  if (s == nullptr) return aErrParam;
  {
    std::lock_guard<std::mutex> guard(s->lock);
    sClose(s);
    s->tag = 0;
  }
  delete s;
  return aErrNone;
}

}  // namespace

int aStream_ConnectWithin(int fd, const struct sockaddr_in* address, int timeoutMs) {
  if (connect(fd, reinterpret_cast<const struct sockaddr*>(address),
              sizeof(*address)) == 0)
    return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  struct pollfd p = {fd, POLLOUT, 0};
  const int ready = poll(&p, 1, timeoutMs);
  if (ready == 0) return ETIMEDOUT;
  if (ready < 0) return errno;
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  SocketStream* s = new (std::nothrow) SocketStream();
  if (s == nullptr) return aErrResource;
  s->port = port;
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(port);
  s->address.sin_addr.s_addr = address;
  if (sSocketStreamReset(s) != aErrNone) {
    delete s;
    return aErrResource;
  }
  const aStreamOps ops = {sSocketGet, sSocketPut, sSocketWrite, sSocketDelete,
                          sSocketWait};
  aStreamRef created = aStream_CreateWithOps(&ops, s);
  if (created == nullptr) {
    sSocketDelete(s);
    return aErrResource;
  }
  aStream_SetBackingWait(created, sSocketWaitBacking);
  *stream = created;
  return aErrNone;
}
