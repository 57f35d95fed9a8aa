// Byte-wise reading over loopback TCP: the socket stream (buffered, as the
// link engine's reader uses it) against a raw socket read one byte per
// recv(), the cost of an unbuffered stream, in the same run.
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "common/aStream.h"

namespace {

constexpr size_t kBlock = 64 * 1024;

struct Loopback {
  int listener = -1;
  int peer = -1;  // the sending side
  uint16_t port = 0;

  Loopback() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<struct sockaddr*>(&a), sizeof(a));
    listen(listener, 1);
    socklen_t len = sizeof(a);
    getsockname(listener, reinterpret_cast<struct sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  void AcceptPeer() { peer = accept(listener, nullptr, nullptr); }
  ~Loopback() {
    if (peer >= 0) close(peer);
    close(listener);
  }
};

void SendBlock(int fd, const std::vector<uint8_t>& block) {
  size_t sent = 0;
  while (sent < block.size()) {
    ssize_t n = send(fd, block.data() + sent, block.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

void BM_SocketStreamByteReads(benchmark::State& state) {
  Loopback l;
  aStreamRef s = nullptr;
  if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), l.port, &s) != aErrNone) {
    state.SkipWithError("connect failed");
    return;
  }
  l.AcceptPeer();
  const std::vector<uint8_t> block(kBlock, 0x5A);
  for (auto _ : state) {
    std::thread sender([&] { SendBlock(l.peer, block); });
    size_t got = 0;
    while (got < kBlock) {
      uint8_t b;
      aErr err = aStream_Read(s, &b, 1);
      if (err == aErrNone) {
        ++got;
      } else if (err == aErrNotReady) {
        aStream_WaitReadable(s, 1000);
      } else {
        break;
      }
    }
    sender.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
  aStream_Destroy(&s);
}
BENCHMARK(BM_SocketStreamByteReads)->UseRealTime();

void BM_RawRecvOneBytePerCall(benchmark::State& state) {
  Loopback l;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(l.port);
  connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a));
  l.AcceptPeer();
  const std::vector<uint8_t> block(kBlock, 0x5A);
  for (auto _ : state) {
    std::thread sender([&] { SendBlock(l.peer, block); });
    size_t got = 0;
    while (got < kBlock) {
      uint8_t b;
      ssize_t n = recv(fd, &b, 1, MSG_DONTWAIT);
      if (n == 1) {
        ++got;
      } else if (n < 0) {
        struct pollfd p = {fd, POLLIN, 0};
        poll(&p, 1, 1000);
      } else {
        break;
      }
    }
    sender.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
  close(fd);
}
BENCHMARK(BM_RawRecvOneBytePerCall)->UseRealTime();

}  // namespace
