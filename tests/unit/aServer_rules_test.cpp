// The sharing server's frame rules and byte-array pools, with time given.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/aServer.h"
#include "common/aUEI.h"

namespace {

using Bytes = std::vector<uint8_t>;

aPacket Make(uint8_t address, const Bytes& data) {
  aPacket p{};
  p.check = aPACKET_CHECK;
  p.address = address;
  p.dataSize = uint8_t(data.size());
  for (size_t i = 0; i < data.size(); i++) p.data[i] = data[i];
  p.fill = uint8_t(2 + data.size());
  return p;
}

// A packet of a name run: full with the continue bit, or the short last one.
aPacket RunPacket(uint8_t sequence, bool more, uint8_t address = 2) {
  Bytes data(more ? 28 : 10, 'x');
  data[0] = cmdSYSTEM;
  data[1] = 32 | aUEI_SET;
  data[2] = aUEI_REQUEST;
  data.back() = uint8_t(sequence | (more ? aUEI_BYTES_MORE : 0));
  return Make(address, data);
}

TEST(ServerRules, FrameIsExactlyOnePacket) {
  struct Case {
    Bytes frame;
    bool ok;
  } cases[] = {
      {{2, 0}, true},           {{2, 2, 3, 4}, true},
      {{}, false},              {{2}, false},
      {{2, 1}, false},          {{2, 0, 0}, false},
      {{2, 2, 3, 4, 5}, false}, {Bytes(30, 28), true},
      {Bytes(31, 29), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame.size());
    EXPECT_EQ(aServer_FrameIsPacket(c.frame.data(), c.frame.size()), c.ok);
  }
}

TEST(ServerRules, PooledWriteSplitsIntoPackets) {
  std::vector<Bytes> out;
  const Bytes two = {2, 1, 9, 0xAD, 0};
  ASSERT_TRUE(aServer_SplitPackets(two.data(), two.size(), &out));
  EXPECT_EQ(out, (std::vector<Bytes>{{2, 1, 9}, {0xAD, 0}}));
  for (const Bytes& bad : {Bytes{2, 3, 1}, Bytes{2, 29}, Bytes{2, 0, 2}, Bytes{}}) {
    SCOPED_TRACE(bad.size());
    EXPECT_FALSE(aServer_SplitPackets(bad.data(), bad.size(), &out));
  }
}

TEST(ServerRules, NeedsAnswer) {
  EXPECT_FALSE(aServer_NeedsAnswer(nullptr));
  const aPacket route = Make(aLINK_ADDRESS_FORCE_ROUTE, {1});
  EXPECT_FALSE(aServer_NeedsAnswer(&route));
  const aPacket run = RunPacket(1, true), last = RunPacket(2, false);
  EXPECT_FALSE(aServer_NeedsAnswer(&run));
  EXPECT_TRUE(aServer_NeedsAnswer(&last));
  const aPacket identify = Make(aLINK_ADDRESS_IDENTIFY, {});
  EXPECT_TRUE(aServer_NeedsAnswer(&identify));
}

TEST(ServerPools, WholeRunComesOutInOrder) {
  aServerPools pools;
  std::vector<aPacket> run;
  EXPECT_EQ(pools.offer("a", RunPacket(0, true), 0, &run), aServerPools::kHeld);
  EXPECT_EQ(pools.offer("b", Make(2, {3, 0x48, 0x20}), 1, &run), aServerPools::kNotPooled);
  EXPECT_EQ(pools.offer("a", RunPacket(1, true), 2, &run), aServerPools::kHeld);
  EXPECT_EQ(pools.offer("a", RunPacket(2, false), 3, &run), aServerPools::kComplete);
  ASSERT_EQ(run.size(), 3u);
  for (uint8_t i = 0; i < 3; i++) EXPECT_EQ(aUEI_getBytesSequence(&run[i]), i);
  EXPECT_EQ(pools.size(), 0u);
}

// What becomes of a pool: interrupted, out of sequence, expired, too long.
TEST(ServerPools, InterruptedStaleAndLongRunsLeaveNoPool) {
  struct Case {
    const char* name;
    aPacket next;
    uint32_t at;
    aServerPools::Result result;
  } cases[] = {
      {"other request", Make(2, {3, 0x48, 0x20}), 10, aServerPools::kNotPooled},
      {"sequence gap", RunPacket(5, true), 10, aServerPools::kNotPooled},
      {"new run", RunPacket(0, true), 10, aServerPools::kHeld},
      {"stale", RunPacket(1, false), 10 + aSERVER_POOL_TTL_MS + 1, aServerPools::kNotPooled},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    aServerPools pools;
    ASSERT_EQ(pools.offer("a", RunPacket(0, true), 0, nullptr), aServerPools::kHeld);
    EXPECT_EQ(pools.offer("a", c.next, c.at, nullptr), c.result);
    EXPECT_EQ(pools.size(), c.result == aServerPools::kHeld ? 1u : 0u);
  }
  aServerPools pools;
  pools.offer("a", RunPacket(0, true), 0, nullptr);
  pools.expire(aSERVER_POOL_TTL_MS + 1);
  EXPECT_EQ(pools.size(), 0u);
  // At most aSERVER_POOL_MAX_PACKETS: the run is dropped.
  ASSERT_EQ(pools.offer("a", RunPacket(0, true), 0, nullptr), aServerPools::kHeld);
  for (uint32_t i = 1; i < aSERVER_POOL_MAX_PACKETS; i++)
    ASSERT_EQ(pools.offer("a", RunPacket(uint8_t(i & 0x7F), true), 0, nullptr), aServerPools::kHeld);
  EXPECT_EQ(pools.offer("a", RunPacket(0, false), 0, nullptr), aServerPools::kHeld);
  EXPECT_EQ(pools.size(), 0u);
  // At most aSERVER_MAX_POOLS runs at once: one more client's is swallowed.
  for (uint32_t i = 0; i <= aSERVER_MAX_POOLS; i++)
    ASSERT_EQ(pools.offer(std::to_string(i), RunPacket(0, true), 0, nullptr), aServerPools::kHeld);
  EXPECT_EQ(pools.size(), size_t(aSERVER_MAX_POOLS));
}

}  // namespace
