// A socket stream used as the link engine uses it: one thread reads (get and
// the bounded wait), another writes, and the peer resets the connection
// while both run, so that either side may be the one that reconnects.
#include "common/aStream.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

int Listen(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a));
  listen(fd, 8);
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// Accepts a pending connection within timeoutMs; -1 when none came.
int AcceptWithin(int listener, int timeoutMs) {
  struct pollfd p = {listener, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return -1;
  return accept(listener, nullptr, nullptr);
}

void Reset(int fd) {
  struct linger l = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  close(fd);
}

TEST(SocketStreamThreads, ReaderAndWriterShareReconnection) {
  uint16_t port = 0;
  const int listener = Listen(&port);
  ASSERT_GE(listener, 0);
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &s), aErrNone);
  int peer = AcceptWithin(listener, 2000);
  ASSERT_GE(peer, 0);

  std::atomic<bool> sawMarker{false};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!sawMarker && std::chrono::steady_clock::now() < end) {
      uint8_t b = 0;
      aErr err = aStream_Read(s, &b, 1);
      if (err == aErrNone) {
        if (b == 'M') sawMarker = true;
        continue;
      }
      if (err == aErrNotReady) err = aStream_WaitReadable(s, 100);
      if (err != aErrNone && err != aErrTimeout)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::atomic<int> writes{0};
  std::thread writer([&] {
    const uint8_t packet[] = {0xAD, 0x00, 0xAF, 0x01, 0x01};
    for (int i = 0; i < 200 && !stop; ++i) {
      if (aStream_Write(s, packet, sizeof(packet)) == aErrNone) ++writes;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Reset(peer);
  // Keep the newest connection and offer it the marker until the reader
  // has seen it.
  peer = -1;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (!sawMarker && std::chrono::steady_clock::now() < end) {
    int next = AcceptWithin(listener, 50);
    if (next >= 0) {
      if (peer >= 0) close(peer);
      peer = next;
    }
    if (peer >= 0) send(peer, "M", 1, MSG_NOSIGNAL);
  }
  stop = true;
  reader.join();
  writer.join();
  EXPECT_TRUE(sawMarker);
  EXPECT_GT(writes.load(), 0);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
  if (peer >= 0) close(peer);
  close(listener);
}

}  // namespace
