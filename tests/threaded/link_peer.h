// Test helpers for the link engine: a stream over one end of a socket pair
// (built on the generic stream contract) and a scripted module at the other
// end, reading and writing raw bytes with bounded waits.
#ifndef UPDATER_TESTS_LINK_PEER_H
#define UPDATER_TESTS_LINK_PEER_H

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "common/aStream.h"

namespace linktest {

typedef std::vector<uint8_t> Bytes;

// The host end of a socket pair as an aStream: buffered get, whole writes,
// bounded wait. Write sizes are recorded, and writes can be held at a gate
// to model a writer that is busy while packets pile up.
class PairStream {
 public:
  struct Context {
    int fd = -1;
    uint8_t buffer[256];
    size_t have = 0;
    size_t at = 0;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<size_t> writes;
    std::thread::id lastWriter;  // the thread of the last write begun
    bool gateClosed = false;
    bool inWrite = false;
    std::atomic<uint32_t> gets{0};  // calls of get
    // Waits beside the reader made by threads other than caller (set
    // before the link is made).
    std::thread::id caller;
    std::atomic<uint32_t> otherBackingWaits{0};
  };

  // Makes the pair; stream() is the host end, peer() the module end. With
  // backingWait, waiting callers may read the stream beside the reader.
  explicit PairStream(bool backingWait = false) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    context_ = new Context;
    context_->fd = fds[0];
    peer_ = fds[1];
    aStreamOps ops = {Get, nullptr, Write, Delete, Wait};
    stream_ = aStream_CreateWithOps(&ops, context_);
    if (backingWait) aStream_SetBackingWait(stream_, WaitBacking);
  }
  ~PairStream() {
    if (stream_ != nullptr) aStream_Destroy(&stream_);
    if (peer_ >= 0) close(peer_);
  }
  PairStream(const PairStream&) = delete;
  PairStream& operator=(const PairStream&) = delete;

  // Hands the stream over (to a link, which destroys it). The context stays
  // reachable for write records until then.
  aStreamRef release() {
    aStreamRef s = stream_;
    stream_ = nullptr;
    return s;
  }
  int peer() const { return peer_; }
  Context* context() { return context_; }

  // Holds the next writes at the gate until openGate.
  void closeGate() {
    std::lock_guard<std::mutex> lock(context_->mutex);
    context_->gateClosed = true;
  }
  void openGate() {
    {
      std::lock_guard<std::mutex> lock(context_->mutex);
      context_->gateClosed = false;
    }
    context_->changed.notify_all();
  }
  // Waits until a write is held at the gate.
  bool waitHeldWrite(int timeoutMs) {
    std::unique_lock<std::mutex> lock(context_->mutex);
    return context_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [this] { return context_->inWrite; });
  }
  std::vector<size_t> writes() {
    std::lock_guard<std::mutex> lock(context_->mutex);
    return context_->writes;
  }
  std::thread::id lastWriter() {
    std::lock_guard<std::mutex> lock(context_->mutex);
    return context_->lastWriter;
  }

 private:
  static aErr Get(uint8_t* byte, void* ctx) {
    Context* c = static_cast<Context*>(ctx);
    ++c->gets;
    if (c->at == c->have) {
      ssize_t n = recv(c->fd, c->buffer, sizeof(c->buffer), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return aErrNotReady;
      if (n < 0) return aErrIO;
      if (n == 0) return aErrConnection;  // the peer is gone
      c->have = static_cast<size_t>(n);
      c->at = 0;
    }
    *byte = c->buffer[c->at++];
    return aErrNone;
  }
  static aErr Wait(uint32_t timeoutMs, void* ctx) {
    Context* c = static_cast<Context*>(ctx);
    if (c->at != c->have) return aErrNone;
    pollfd p = {c->fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(timeoutMs));
    return n > 0 ? aErrNone : n == 0 ? aErrTimeout : aErrIO;
  }
  static aErr WaitBacking(uint32_t timeoutMs, void* ctx) {
    Context* c = static_cast<Context*>(ctx);
    if (std::this_thread::get_id() != c->caller) ++c->otherBackingWaits;
    pollfd p = {c->fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(timeoutMs));
    return n > 0 ? aErrNone : n == 0 ? aErrTimeout : aErrIO;
  }
  static aErr Write(const uint8_t* data, size_t length, void* ctx) {
    Context* c = static_cast<Context*>(ctx);
    {
      std::unique_lock<std::mutex> lock(c->mutex);
      c->lastWriter = std::this_thread::get_id();
      c->inWrite = true;
      c->changed.notify_all();
      c->changed.wait_for(lock, std::chrono::seconds(5), [c] { return !c->gateClosed; });
      c->inWrite = false;
      c->writes.push_back(length);
    }
    size_t done = 0;
    while (done < length) {
      ssize_t n = send(c->fd, data + done, length - done, MSG_NOSIGNAL);
      if (n <= 0) return aErrWrite;
      done += static_cast<size_t>(n);
    }
    return aErrNone;
  }
  static aErr Delete(void* ctx) {
    Context* c = static_cast<Context*>(ctx);
    close(c->fd);
    delete c;
    return aErrNone;
  }

  Context* context_ = nullptr;
  aStreamRef stream_ = nullptr;
  int peer_ = -1;
};

// Reads exactly n bytes from fd within timeoutMs; fewer when time runs out
// or the other end closes.
inline Bytes ReadBytes(int fd, size_t n, int timeoutMs = 2000) {
  Bytes out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
    uint8_t buffer[512];
    size_t want = n - out.size() < sizeof(buffer) ? n - out.size() : sizeof(buffer);
    ssize_t got = read(fd, buffer, want);
    if (got <= 0) break;
    out.insert(out.end(), buffer, buffer + got);
  }
  return out;
}

// Reads one wire packet (address, size, data).
inline Bytes ReadPacket(int fd, int timeoutMs = 2000) {
  Bytes head = ReadBytes(fd, 2, timeoutMs);
  if (head.size() < 2) return head;
  Bytes data = ReadBytes(fd, head[1], timeoutMs);
  head.insert(head.end(), data.begin(), data.end());
  return head;
}

// True when nothing arrives within ms.
inline bool Silent(int fd, int ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

inline bool WriteBytes(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Polls cond every 10 ms for up to timeoutMs.
template <typename Cond>
bool Eventually(Cond cond, int timeoutMs = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(10000);
  }
  return true;
}

}  // namespace linktest

#endif
