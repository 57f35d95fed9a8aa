// TCP socket streams against a listener of the test on 127.0.0.1.
#include "common/aStream.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

class Listener {
 public:
  explicit Listener(int receiveBuffer = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (receiveBuffer > 0)
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    a.sin_port = 0;
    bind(fd_, reinterpret_cast<struct sockaddr*>(&a), sizeof(a));
    listen(fd_, 4);
    socklen_t len = sizeof(a);
    getsockname(fd_, reinterpret_cast<struct sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    ClosePeer();
    CloseListener();
  }
  uint16_t port() const { return port_; }

  // Accepts the connection the stream made (it is already queued).
  bool Accept() {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) return false;
    ClosePeer();
    peer_ = accept(fd_, nullptr, nullptr);
    return peer_ >= 0;
  }
  void Send(const std::string& bytes) {
    ASSERT_EQ(send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  std::string Receive(size_t n) {
    std::string got;
    for (int i = 0; i < 100 && got.size() < n; ++i) {
      struct pollfd p = {peer_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      char buf[4096];
      ssize_t r = recv(peer_, buf, sizeof(buf), 0);
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }
  // An abortive close: the stream sees a reset.
  void ResetPeer() {
    struct linger l = {1, 0};
    setsockopt(peer_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    ClosePeer();
  }
  void ClosePeer() {
    if (peer_ >= 0) close(peer_);
    peer_ = -1;
  }
  void CloseListener() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int peer_ = -1;
  uint16_t port_ = 0;
};

// Reads up to n bytes, waiting through the stream; stops at the first error
// other than "not ready", which is returned in *last.
std::string ReadBytes(aStreamRef s, size_t n, aErr* last = nullptr) {
  std::string got;
  aErr err = aErrNone;
  for (int idle = 0; idle < 20 && got.size() < n;) {
    uint8_t b = 0;
    err = aStream_Read(s, &b, 1);
    if (err == aErrNone) {
      got.push_back(static_cast<char>(b));
      continue;
    }
    if (err != aErrNotReady) break;
    err = aStream_WaitReadable(s, 100);
    if (err == aErrTimeout) ++idle;
    else if (err != aErrNone) break;
  }
  if (last != nullptr) *last = err;
  return got;
}

TEST(SocketStream, ConnectFailuresAndArguments) {
  EXPECT_EQ(aStream_CreateSocket(kLoopback, 1, nullptr), aErrParam);
  uint16_t closedPort;
  {
    Listener gone;
    closedPort = gone.port();
  }
  aStreamRef s = reinterpret_cast<aStreamRef>(1);
  EXPECT_EQ(aStream_CreateSocket(kLoopback, closedPort, &s), aErrResource);
  EXPECT_EQ(s, nullptr);
}

TEST(SocketStream, BytesBothWaysWithBoundedWaits) {
  Listener l;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &s), aErrNone);
  ASSERT_TRUE(l.Accept());

  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
  EXPECT_EQ(aStream_WaitReadable(s, 30), aErrTimeout);

  l.Send(std::string("\x06\x00\x06\x00", 4));
  EXPECT_EQ(aStream_WaitReadable(s, 1000), aErrNone);
  EXPECT_EQ(ReadBytes(s, 4), std::string("\x06\x00\x06\x00", 4));

  std::vector<uint8_t> big(3000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(aStream_Write(s, big.data(), big.size()), aErrNone);
  const uint8_t one = 0xAD;
  EXPECT_EQ(aStream_Write(s, &one, 1), aErrNone);
  std::string expected(big.begin(), big.end());
  expected.push_back('\xAD');
  EXPECT_EQ(l.Receive(expected.size()), expected);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SocketStream, PeerResetIsReconnectedInsideTheNextGet) {
  Listener l;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &s), aErrNone);
  ASSERT_TRUE(l.Accept());
  l.ResetPeer();
  EXPECT_EQ(aStream_WaitReadable(s, 1000), aErrNone);
  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);  // reconnected, no byte yet
  ASSERT_TRUE(l.Accept());
  l.Send("Z");
  EXPECT_EQ(ReadBytes(s, 1), "Z");
  b = 'Y';
  EXPECT_EQ(aStream_Write(s, &b, 1), aErrNone);
  EXPECT_EQ(l.Receive(1), "Y");
  aStream_Destroy(&s);
}

TEST(SocketStream, OrderlyCloseReconnectsOnceThenReportsTheLoss) {
  Listener l;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &s), aErrNone);
  ASSERT_TRUE(l.Accept());
  l.Send("ab");
  l.ClosePeer();
  // The bytes sent before the close still arrive, then the stream
  // reconnects to the listener that is still there.
  aErr last = aErrNone;
  EXPECT_EQ(ReadBytes(s, 2, &last), "ab");
  uint8_t b = 0;
  EXPECT_EQ(aStream_WaitReadable(s, 1000), aErrNone);
  EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
  ASSERT_TRUE(l.Accept());

  // Now the module is gone for good: no listener to reconnect to.
  l.CloseListener();
  l.ClosePeer();
  EXPECT_EQ(aStream_WaitReadable(s, 1000), aErrNone);
  EXPECT_EQ(aStream_Read(s, &b, 1), aErrConnection);
  // It stays reported, and nothing waits or spins on it.
  EXPECT_EQ(aStream_WaitReadable(s, 1000), aErrConnection);
  EXPECT_EQ(aStream_Read(s, &b, 1), aErrConnection);
  EXPECT_EQ(aStream_Write(s, &b, 1), aErrConnection);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SocketStream, WriteToAVanishedPeerReportsTheConnection) {
  Listener l;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &s), aErrNone);
  ASSERT_TRUE(l.Accept());
  l.CloseListener();
  l.ResetPeer();
  const uint8_t data[] = {1, 2, 3, 4};
  aErr err = aErrNone;
  for (int i = 0; i < 20 && err == aErrNone; ++i) {
    err = aStream_Write(s, data, sizeof(data));
    if (err == aErrNone) usleep(10000);
  }
  EXPECT_EQ(err, aErrConnection);
  aStream_Destroy(&s);
}

TEST(SocketStream, WriteThatCannotGetOutReportsTimeout) {
  Listener l(4096);
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &s), aErrNone);
  ASSERT_TRUE(l.Accept());
  // The peer never reads: once both sides' buffers are full, the retries
  // run out with bytes unsent.
  std::vector<uint8_t> flood(32u << 20, 0x55);
  EXPECT_EQ(aStream_Write(s, flood.data(), flood.size()), aErrTimeout);
  aStream_Destroy(&s);
}

}  // namespace
