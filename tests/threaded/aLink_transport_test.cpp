// Link engine over real transports: TCP links to a module listening on
// loopback (shared ids, use counts, a lost peer, reset) and serial links to a
// module behind a pseudo-terminal.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "common/aLink.h"
#include "link_peer.h"

using linktest::Bytes;
using linktest::ReadBytes;
using linktest::ReadPacket;
using linktest::WriteBytes;

namespace {

const Bytes kRouteOn = {0xAF, 0x01, 0x01};
const Bytes kRouteOff = {0xAF, 0x01, 0x00};
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A module's TCP listener on 127.0.0.1 with an ephemeral port.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd_, 4);
    socklen_t length = sizeof(address);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  uint16_t port() const { return port_; }
  // The next connection within timeoutMs, or -1.
  int Accept(int timeoutMs = 2000) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return -1;
    return accept(fd_, nullptr, nullptr);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

bool HeartbeatAnswered(int peer) {
  return WriteBytes(peer, {0x04, 0x02, 0x00, 0x00}) &&
         ReadPacket(peer) == Bytes{0x04, 0x02, 0x00, 0x02};
}

TEST(TcpLink, SameModuleSharesOneLinkWithUseCounts) {
  Listener module;
  uint32_t first = aLink_CreateTCPIP(kLoopback, module.port());
  ASSERT_NE(first, 0u);
  int peer = module.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(ReadPacket(peer), kRouteOn);

  uint32_t second = aLink_CreateTCPIP(kLoopback, module.port());
  EXPECT_EQ(second, first);
  EXPECT_EQ(aLink_GetUseCount(first), 2);
  EXPECT_EQ(module.Accept(200), -1);  // no second connection

  // Another module at another port gets its own link.
  Listener other;
  uint32_t third = aLink_CreateTCPIP(kLoopback, other.port());
  ASSERT_NE(third, 0u);
  EXPECT_NE(third, first);
  int otherPeer = other.Accept();
  ASSERT_GE(otherPeer, 0);

  ASSERT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(second, 0u);
  EXPECT_EQ(aLink_GetUseCount(first), 1);
  EXPECT_EQ(aLink_GetStatus(first), static_cast<uint32_t>(kLinkStateRunning));
  EXPECT_TRUE(HeartbeatAnswered(peer));

  uint32_t last = first;
  ASSERT_EQ(aLink_Destroy(&last), aErrNone);
  EXPECT_EQ(ReadPacket(peer), kRouteOff);
  EXPECT_EQ(aLink_GetUseCount(first), 0);
  EXPECT_EQ(aLink_GetStatus(first), static_cast<uint32_t>(kLinkStateNoStream));
  uint8_t byte;
  EXPECT_LE(read(peer, &byte, 1), 0);  // closed (with a reset: no linger)
  close(peer);

  aLink_Destroy(&third);
  close(otherPeer);
}

TEST(TcpLink, NoListenerNoLink) {
  uint16_t port;
  {
    Listener gone;
    port = gone.port();
  }
  EXPECT_EQ(aLink_CreateTCPIP(kLoopback, port), 0u);
}

TEST(TcpLink, PeerThatClosesIsReachedAgain) {
  Listener module;
  uint32_t id = aLink_CreateTCPIP(kLoopback, module.port());
  ASSERT_NE(id, 0u);
  int peer = module.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_EQ(ReadPacket(peer), kRouteOn);
  close(peer);
  // The stream connects again by itself; the module answers on the new
  // connection.
  peer = module.Accept(3000);
  ASSERT_GE(peer, 0);
  EXPECT_TRUE(HeartbeatAnswered(peer));
  aLink_Destroy(&id);
  close(peer);
}

TEST(TcpLink, ModuleThatGoesAwayLeavesTheLinkInError) {
  Listener module;
  uint32_t id = aLink_CreateTCPIP(kLoopback, module.port());
  ASSERT_NE(id, 0u);
  int peer = module.Accept();
  ASSERT_GE(peer, 0);
  module.Close();
  close(peer);
  EXPECT_TRUE(linktest::Eventually(
      [id] { return aLink_GetStatus(id) == kLinkStateIOError; }));
  EXPECT_EQ(aLink_AwaitFirst(id, nullptr, nullptr, 50), nullptr);
  aLink_Destroy(&id);
}

TEST(TcpLink, ResetConnectsAgainOrLeavesTheLinkStopped) {
  Listener module;
  uint32_t id = aLink_CreateTCPIP(kLoopback, module.port());
  ASSERT_NE(id, 0u);
  int peer = module.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_EQ(ReadPacket(peer), kRouteOn);

  ASSERT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(ReadPacket(peer), kRouteOff);
  close(peer);
  peer = module.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(ReadPacket(peer), kRouteOn);
  EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStateRunning));
  EXPECT_TRUE(HeartbeatAnswered(peer));

  // With the module gone for good, the reset gives up: no stream, no
  // threads, a state that callers read as a failure.
  module.Close();
  EXPECT_NE(aLink_Reset(id), aErrNone);
  close(peer);
  EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStateNoStream));
  EXPECT_EQ(aLink_Start(id), aErrConnection);
  EXPECT_EQ(aLink_AwaitFirst(id, nullptr, nullptr, 50), nullptr);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// A pseudo-terminal: the link opens the slave side, the test plays the
// module on the master side.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
      slave_ = ptsname(master_);
  }
  ~Pty() { Close(); }
  void Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  int master() const { return master_; }
  const char* slave() const { return slave_.c_str(); }

 private:
  int master_ = -1;
  std::string slave_;
};

TEST(SerialLink, TalksThroughAPseudoTerminal) {
  Pty pty;
  ASSERT_GE(pty.master(), 0);
  uint32_t id = aLink_CreateSerial(0x1234ABCD, pty.slave(), 115200);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(ReadPacket(pty.master()), kRouteOn);
  EXPECT_TRUE(HeartbeatAnswered(pty.master()));
  ASSERT_TRUE(WriteBytes(pty.master(), {0x04, 0x01, 0x55}));
  std::unique_ptr<aPacket, aPacketDeleter> in(aLink_AwaitPacket(id, 2000));
  ASSERT_TRUE(in);
  EXPECT_EQ(in->data[0], 0x55);

  // The same module by serial number shares the link.
  uint32_t again = aLink_CreateSerial(0x1234ABCD, pty.slave(), 115200);
  EXPECT_EQ(again, id);
  EXPECT_EQ(aLink_GetUseCount(id), 2);
  aLink_Destroy(&again);
  aLink_Destroy(&id);
  EXPECT_EQ(ReadPacket(pty.master()), kRouteOff);
}

TEST(SerialLink, RefusesUnknownRatesAndMissingPorts) {
  Pty pty;
  EXPECT_EQ(aLink_CreateSerial(0x11, pty.slave(), 1200), 0u);
  EXPECT_EQ(aLink_CreateSerial(0x11, "/dev/no-such-port-here", 115200), 0u);
  EXPECT_EQ(aLink_CreateSerial(0x11, nullptr, 115200), 0u);
  EXPECT_EQ(aLink_GetStatus(1u << 30), static_cast<uint32_t>(kLinkStateNoStream));
}

TEST(SerialLink, HangupIsAnIOError) {
  Pty pty;
  uint32_t id = aLink_CreateSerial(0x22, pty.slave(), 9600);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(ReadPacket(pty.master()), kRouteOn);
  pty.Close();
  EXPECT_TRUE(linktest::Eventually(
      [id] { return aLink_GetStatus(id) == kLinkStateIOError; }));
  aLink_Destroy(&id);
}

}  // namespace
