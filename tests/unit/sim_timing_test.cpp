// The world's answer timing: the wake margin's bounds and the kernel's
// receive stamps on a loopback connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "sim/SimTiming.h"

namespace {

TEST(SimTiming, WakeMarginFollowsLatenessWithinItsBounds) {
  struct Case {
    uint64_t lateUs;
    uint32_t settlesAtLeast, settlesAtMost;
  } cases[] = {
      {0, ksim::WakeMargin::kMinUs, ksim::WakeMargin::kMinUs},
      {90, 80, 100},
      {1000000, ksim::WakeMargin::kMaxUs, ksim::WakeMargin::kMaxUs},
  };
  for (const Case& c : cases) {
    ksim::WakeMargin margin;
    for (int i = 0; i < 2000; ++i) margin.record(c.lateUs);
    EXPECT_GE(margin.us(), c.settlesAtLeast) << c.lateUs;
    EXPECT_LE(margin.us(), c.settlesAtMost) << c.lateUs;
  }
}

TEST(SimTiming, ReceiveStampTellsHowLongTheBytesWaited) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  int server = accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  ksim::EnableReceiveStamps(server);

  // The kernel turns stamping on a little after the first socket asks for
  // it; bytes received before come without a stamp (and count as just
  // arrived).
  const uint8_t request[2] = {0xAD, 0};
  uint8_t got[8];
  uint64_t agoUs = 0;
  for (int i = 0; i < 200 && agoUs == 0; ++i) {
    ASSERT_EQ(send(client, request, 2, 0), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(ksim::ReceiveStamped(server, got, sizeof got, &agoUs), 2);
  }
  ASSERT_GT(agoUs, 0u);
  ASSERT_EQ(send(client, request, 2, 0), 2);
  // The bytes are in the kernel before the pause begins: the stamp is at
  // least the pause old.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(ksim::ReceiveStamped(server, got, sizeof got, &agoUs), 2);
  EXPECT_GE(agoUs, 30000u);
  EXPECT_LE(agoUs, 1000000u);
  close(server);
  close(client);
  close(listener);
}

}  // namespace
