// The sharing server's TCP frontend and the client stream on the wire: what
// a connection that does not speak the protocol gets, heartbeats both
// ways. The bytes are written out here as the protocol gives them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "tests/threaded/running_world.h"
#include "tests/threaded/sharing_raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// Version 3.1, NULL mechanism.
std::string Greeting() {
  std::string g(64, '\0');
  g[0] = '\xFF';
  g[9] = '\x7F';
  g[10] = 3;
  g[11] = 1;
  g.replace(12, 4, "NULL");
  return g;
}

std::string Ready(const std::string& type) {
  std::string body = std::string("\x05READY\x0BSocket-Type", 18) +
                     std::string("\0\0\0", 3) + char(type.size()) + type;
  return std::string("\x04", 1) + char(body.size()) + body;
}

const std::string kPing = std::string("\x04\x07\x04PING\x00\x00", 9);

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = Loopback();
  to.sin_port = htons(port);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
  return fd;
}

// Everything the peer sends until it closes or timeoutMs pass; *closed
// tells which.
std::string ReadUntilClosed(int fd, uint32_t timeoutMs, bool* closed) {
  std::string got;
  *closed = false;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (poll(&p, 1, int(left.count()) + 1) <= 0) continue;
    char chunk[512];
    const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
    if (n <= 0) {
      *closed = true;
      break;
    }
    got.append(chunk, size_t(n));
  }
  return got;
}

// Connections that do not speak the protocol, or stop speaking it, are
// closed; one that asks is answered; a client link is served all along.
TEST(SharingWire, FrontendClosesWhatDoesNotSpeakTheProtocol) {
  RunningWorld world({"serial=5,model=13,tcp"});
  const uint32_t tcp = aLink_CreateTCPIP(Loopback(), world.port());
  ASSERT_NE(tcp, 0u);
  ASSERT_EQ(aLink_Sync(tcp), aErrNone);
  uint16_t port = 0;
  uint32_t iface = 0;
  uint32_t own = aLink_CreateServerFor(tcp, &port, &iface, 1);
  ASSERT_NE(own, 0u);
  const std::string hello = Greeting() + Ready("DEALER");
  struct Case {
    const char* what;
    std::string send;
    bool closed;       // within the wait
    std::string sees;  // among what comes back
  };
  // Read in this order: the one left open first, before it falls silent.
  const Case cases[] = {
      {"a PING with a context", hello + std::string("\x04\x09\x04PING\x00\x00", 9) + "ab", false,
       std::string("\x04\x07\x04PONGab", 9)},
      {"garbage greeting", std::string(64, 'x'), true, ""},
      {"version 2", Greeting().replace(10, 1, 1, '\x02'), true, ""},
      {"no READY first", Greeting() + std::string("\x00\x02\xAD\x00", 4), true, ""},
      {"a PUB socket", Greeting() + Ready("PUB"), true, ""},
      {"frame too large", hello + std::string("\x02\x00\x00\x00\x00\x10\x00\x00\x00", 9), true, ""},
      {"silent", "", true, ""},
      {"silent after its greeting", hello, true, kPing},
  };
  std::vector<int> fds;
  for (const Case& c : cases) {
    fds.push_back(Connect(port));
    if (!c.send.empty()) {
      ASSERT_EQ(send(fds.back(), c.send.data(), c.send.size(), 0), ssize_t(c.send.size()));
    }
  }
  uint8_t model = 0;
  EXPECT_EQ(_aLink_GetModel(own, 2, &model), aErrNone);
  // Silent ones go after three seconds without a word.
  for (size_t i = 0; i < fds.size(); i++) {
    SCOPED_TRACE(cases[i].what);
    bool closed = false;
    const std::string got = ReadUntilClosed(fds[i], cases[i].closed ? 5000 : 500, &closed);
    EXPECT_EQ(closed, cases[i].closed);
    if (!cases[i].sees.empty()) {
      EXPECT_NE(got.find(cases[i].sees), std::string::npos);
    }
    close(fds[i]);
  }
  EXPECT_EQ(_aLink_GetModel(own, 2, &model), aErrNone);
  EXPECT_EQ(model, 13);
  aLink_Destroy(&own);
}

// A server that stops answering anything, its connection still open: the
// client link notices within a few seconds instead of waiting for ever.
TEST(SharingWire, ClientNoticesAServerGoneSilent) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = Loopback();
  socklen_t size = sizeof(at);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size), 0);
  std::atomic<bool> silent{false}, done{false};
  // Answers every identify (0xAD, no data) as module 2, until told to be
  // silent; then it reads and says nothing.
  std::thread server([&] {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    const std::string hello = Greeting() + Ready("ROUTER");
    if (send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) < 0) {}
    std::string in;
    size_t at = 64;  // past the client's greeting
    const auto end = Clock::now() + std::chrono::seconds(15);
    while (!done && Clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char chunk[256];
      const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
      if (n <= 0) break;
      in.append(chunk, size_t(n));
      while (in.size() >= at + 2 && in.size() >= at + 2 + uint8_t(in[at + 1])) {
        const bool identify = (in[at] & 4) == 0 && in.compare(at + 1, 3, "\x02\xAD\x00", 3) == 0;
        at += 2 + uint8_t(in[at + 1]);
        const std::string answer("\x00\x02\x02\x00", 4);
        if (identify && !silent && send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {}
      }
    }
    close(fd);
  });
  uint32_t link = aLink_CreateClient(Loopback(), ntohs(at.sin_port), 0);
  EXPECT_NE(link, 0u);
  silent = true;
  bool noticed = false;
  for (int i = 0; i < 800 && link != 0 && !noticed; i++) {  // bounded: 8 s
    noticed = aLink_GetStatus(link) != kLinkStateRunning;
    if (!noticed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(noticed);
  done = true;
  server.join();
  close(listener);
  if (link != 0) aLink_Destroy(&link);
}

}  // namespace
