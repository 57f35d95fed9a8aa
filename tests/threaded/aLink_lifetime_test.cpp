// Link table entries under concurrent use: resets, shares, the packet log,
// traffic and destroys on one link at once, and the reader of a stream
// that cannot wait for bytes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "link_peer.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A loopback TCP listener that never accepts: the kernel completes the
// connections a link (and each of its resets) makes, up to the backlog.
class QuietListener {
 public:
  QuietListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd_, 64);
    socklen_t length = sizeof(address);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~QuietListener() { close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

bool AnyOf(aErr err, std::initializer_list<aErr> allowed) {
  for (aErr a : allowed)
    if (err == a) return true;
  return false;
}

uint8_t sObserve(const aPacket*, const void*) { return 0; }

// Workers use the link on their own threads while main resets it and then
// destroys it with the workers still at it; they stop soon after (bounded
// either way). Results stay within the documented ones, and under the
// sanitizers a call touching a freed record or mutex fails here.
TEST(LinkLifetime, ResetShareLogTrafficAndDestroyAtOnce) {
  QuietListener module;
  uint32_t id = aLink_CreateTCPIP(kLoopback, module.port());
  ASSERT_NE(id, 0u);
  const uint32_t target = id;
  std::atomic<bool> gone{false};
  const int kRounds = 200000;
  const auto pause = [] {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  };
  const std::function<void()> logWorker = [&] {
    const uint8_t text[5] = {'S', 'T', 'A', 'R', 'T'};
    uint8_t buffer[64];
    for (int i = 0; i < kRounds && !gone; ++i) {
      EXPECT_TRUE(AnyOf(aLink_PacketDebug_SetLogSize(target, 512),
                        {aErrNone, aErrBusy, aErrParam}));
      EXPECT_TRUE(AnyOf(aLink_PacketDebug_Enable(target), {aErrNone, aErrParam}));
      EXPECT_TRUE(AnyOf(aLink_PacketDebug_Write(target, aPacketLogText, 5, text),
                        {aErrNone, aErrNotReady, aErrParam}));
      uint8_t type = 0;
      uint32_t length = sizeof(buffer);
      EXPECT_TRUE(AnyOf(aLink_PacketDebug_Read(target, &type, &length, buffer),
                        {aErrNone, aErrNotFound, aErrNotReady, aErrParam}));
      EXPECT_TRUE(AnyOf(aLink_PacketDebug_Disable(target),
                        {aErrNone, aErrNotReady, aErrParam}));
    }
  };
  const std::function<void()> trafficWorker = [&] {
    const uint8_t data[2] = {0x01, 0x02};
    aPacket* packet = aPacket_CreateWithData(0x04, 2, data);
    for (int i = 0; i < kRounds && !gone; ++i) {
      EXPECT_TRUE(AnyOf(aLink_PutPacket(target, packet), {aErrNone, aErrParam}));
      aPacket* got = aLink_AwaitPacket(target, 1);
      if (got != nullptr) aPacket_Destroy(&got);
      // aErrParam between the queues of a reset or after the destroy.
      EXPECT_TRUE(AnyOf(aLink_ForceRoute(target, 1),
                        {aErrNone, aErrParam, aErrNotFound}));
      EXPECT_TRUE(AnyOf(aLink_InstallUserPacketFilter(target, sObserve, nullptr),
                        {aErrNone, aErrParam}));
      EXPECT_TRUE(AnyOf(aLink_EnablePooledPackets(target, i % 2 == 0),
                        {aErrNone, aErrParam}));
      pause();
    }
    aPacket_Destroy(&packet);
  };
  const std::function<void()> shareWorker = [&] {
    for (int i = 0; i < kRounds && !gone; ++i, pause()) {
      uint32_t share = aLink_CreateClient(0, 0, target);
      if (share == 0) continue;
      EXPECT_EQ(share, target);
      EXPECT_EQ(aLink_Destroy(&share), aErrNone);
    }
  };
  std::vector<std::thread> threads;
  for (const auto* work : {&logWorker, &logWorker, &trafficWorker, &shareWorker})
    threads.emplace_back(*work);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(aLink_Reset(target), aErrNone);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  gone = true;
  for (std::thread& t : threads) t.join();
  // Every share was dropped again, so the last destroy tore the link down.
  EXPECT_EQ(aLink_GetUseCount(target), 0);
  EXPECT_EQ(aLink_GetStatus(target), kLinkStateNoStream);
}

// Shares racing the last destroy either get the link alive (its use count
// raised, so a destroy only dropped its own use) or an error; never an id
// on its way out. The sharer shares and drops again until refused.
TEST(LinkLifetime, ShareRacingTheLastDestroyGetsALiveLinkOrNone) {
  for (int round = 0; round < 40; ++round) {
    linktest::PairStream pair;
    uint32_t id = aLink_Create(pair.release());
    ASSERT_NE(id, 0u);
    const uint32_t target = id;
    std::thread sharer([target] {
      for (int i = 0; i < 100000; ++i) {
        uint32_t share = aLink_CreateClient(0, 0, target);
        if (share == 0) break;
        EXPECT_EQ(share, target);
        EXPECT_GE(aLink_GetUseCount(share), 1) << "a share of a dead link";
        EXPECT_EQ(aLink_Destroy(&share), aErrNone);
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    sharer.join();
    EXPECT_EQ(aLink_GetUseCount(target), 0);
  }
}

// A stream with no wait operation whose get never has a byte.
aErr sNothing(uint8_t*, void*) { return aErrNotReady; }
aErr sSwallow(const uint8_t*, size_t, void*) { return aErrNone; }

double sProcessCpuSeconds() {
  timespec t = {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// CPU, not wall time: a reader that asks again at once burns most of a core
// over the idle period; one that pauses uses next to none.
void ExpectReaderNearlyIdle(aStreamRef stream) {
  ASSERT_NE(stream, nullptr);
  uint32_t id = aLink_Create(stream);
  ASSERT_NE(id, 0u);
  const double cpuBefore = sProcessCpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const double cpu = sProcessCpuSeconds() - cpuBefore;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore)
          .count();
  EXPECT_LT(cpu, 0.2 * wall) << "cpu " << cpu << " s over " << wall << " s";
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(LinkLifetime, ReaderOfAStreamThatCannotWaitStaysNearlyIdle) {
  ExpectReaderNearlyIdle(aStream_Create(sNothing, nullptr, sSwallow, nullptr, nullptr));
}

// A stream callers may read beside the reader, whose wait says readable at
// once and whose get never has a byte. The reader takes an empty read after
// a readable wait for a caller having been first, so it waits longer before
// pausing, but a stream that keeps saying so still does not keep it busy.
aErr sReadableAtOnce(uint32_t, void*) { return aErrNone; }

TEST(LinkLifetime, ReaderOfASharedStreamThatSaysReadableWithNothingStaysNearlyIdle) {
  aStreamRef stream = aStream_Create(sNothing, nullptr, sSwallow, nullptr, nullptr);
  if (stream != nullptr) aStream_SetBackingWait(stream, sReadableAtOnce);
  ExpectReaderNearlyIdle(stream);
}

// A stream whose every write, once the link is stopping, puts another
// packet on the link: a caller that keeps putting while a stop drains the
// queue. It puts at most kFeeds packets.
struct Feeder {
  static constexpr int kFeeds = 1000;
  std::atomic<uint32_t> id{0};
  std::atomic<int> fed{0};
};

aErr sFeedingWrite(const uint8_t*, size_t, void* context) {
  Feeder* feeder = static_cast<Feeder*>(context);
  if (aLink_GetStatus(feeder->id) == kLinkStateStopping &&
      feeder->fed < Feeder::kFeeds) {
    const uint8_t data[1] = {0x01};
    aPacket* packet = aPacket_CreateWithData(0x04, 1, data);
    aLink_PutPacket(feeder->id, packet);
    aPacket_Destroy(&packet);
    ++feeder->fed;
    // A slow stream: the writes before the stopping thread clears running
    // (it may be descheduled there) stay few, while draining everything put
    // meanwhile would still feed all kFeeds.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return aErrNone;
}

// The writer writes what was queued when the stop came, not everything
// put meanwhile, so the stop ends while packets keep coming.
TEST(LinkLifetime, StopEndsWhileACallerKeepsPutting) {
  Feeder feeder;
  aStreamRef stream =
      aStream_Create(sNothing, nullptr, sFeedingWrite, nullptr, &feeder);
  ASSERT_NE(stream, nullptr);
  uint32_t id = aLink_Create(stream);
  ASSERT_NE(id, 0u);
  feeder.id = id;
  EXPECT_EQ(aLink_Stop(id), aErrNone);
  EXPECT_LT(feeder.fed, Feeder::kFeeds);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// The use count is 16 bits: a share beyond it is refused rather than
// wrapping the count, which would let a later destroy tear the link down
// under its holders.
TEST(LinkLifetime, ShareBeyondTheUseCountIsRefused) {
  linktest::PairStream pair;
  uint32_t id = aLink_Create(pair.release());
  ASSERT_NE(id, 0u);
  for (int32_t count = 1; count < INT16_MAX; ++count)
    ASSERT_EQ(aLink_CreateClient(0, 0, id), id);
  EXPECT_EQ(aLink_GetUseCount(id), INT16_MAX);
  EXPECT_EQ(aLink_CreateClient(0, 0, id), 0u);
  EXPECT_EQ(aLink_GetUseCount(id), INT16_MAX);
  for (int32_t count = INT16_MAX; count > 1; --count) {
    uint32_t share = id;
    ASSERT_EQ(aLink_Destroy(&share), aErrNone);
  }
  EXPECT_EQ(aLink_GetStatus(id), kLinkStateRunning);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

}  // namespace
