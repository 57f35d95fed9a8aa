// Value streams of the Link object against the module simulator: callbacks
// on the worker, the value cache, wildcards, the filter's single owner,
// disabling from inside a callback and destroying a Link mid-stream.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "api/LocklessQueue.h"
#include "common/aLink.h"
#include "tests/threaded/link_object_support.h"

using Velmaris::Korvex::Link;
using namespace linkobject;

namespace {

struct Counter {
  std::atomic<int> calls{0};
  std::atomic<uint32_t> last{0};
};

Link::streamCallback Count(Counter& counter) {
  return [&counter](const aPacket* packet, void*) -> uint8_t {
    uint64_t timestamp;
    uint32_t value;
    uint8_t subindex;
    if (Link::getStreamSample(packet, timestamp, value, subindex) == aErrNone)
      counter.last = value;
    ++counter.calls;
    return 0;
  };
}

aErr SetOption3(Link& link, uint8_t value) {
  uei set{};
  set.address = 2;
  set.command = cmdSYSTEM;
  set.option = 3 | aUEI_SET;
  set.type = ueiTypeByte;
  set.v.byteVal = value;
  aErr err = link.sendUEI(set);
  uei ack{};
  return err != aErrNone ? err : link.receiveUEI(2, cmdSYSTEM, 3 | aUEI_ACK, 0, ack);
}

TEST(LinkStreams, CallbacksAndCachedValues) {
  World w({"serial=1,tcp,stream_ms=20"});
  Link link(w.spec(), "streams");
  EXPECT_EQ(link.enableStream(2, 3, 3, 0, true), aErrConnection);
  ASSERT_EQ(link.connect(), aErrNone);
  EXPECT_EQ(link.enableStream(0xFF, 3, 3, 0, true), aErrParam);
  EXPECT_EQ(link.enableStream(3, 3, 3, 0, true), aErrParam);
  ASSERT_EQ(SetOption3(link, 9), aErrNone);

  Counter counter;
  int reference = 0;
  ASSERT_EQ(link.registerStreamCallback(2, 3, 3, 0, true, Count(counter), &reference), aErrNone);
  bool streaming = false;
  EXPECT_EQ(link.isLinkStreaming(2, streaming), aErrNone);
  EXPECT_TRUE(streaming);
  ASSERT_TRUE(WaitFor([&] { return counter.calls >= 3; }));
  EXPECT_EQ(counter.last.load(), 9u);
  uint32_t value = 0;
  ASSERT_TRUE(WaitFor([&] { return link.getStreamValue(2, 3, 3, 0, 0, value) == aErrNone; }));
  EXPECT_EQ(value, 9u);

  Velmaris::Korvex::StreamStatusEntry entries[4];
  size_t count = 0;
  EXPECT_EQ(link.getStreamStatus(2, 0xFF, 0xFF, 0xFF, 0xFF, entries, 4, &count), aErrNone);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(entries[0].key, Link::createStreamKey(2, 3, 3, 0, 0));
  EXPECT_EQ(link.getStreamStatus(2, 3, 3, 0, 0, entries, 0, &count), aErrParam);

  ASSERT_EQ(link.enableStream(2, 3, 3, 0, false), aErrNone);
  EXPECT_EQ(link.getStreamValue(2, 3, 3, 0, 0, value), aErrNotFound);
  // UEI traffic goes its normal way again.
  EXPECT_EQ(SetOption3(link, 4), aErrNone);
}

// A wildcard on the command takes samples of option 3 whatever the command.
TEST(LinkStreams, WildcardRegistration) {
  World w({"serial=1,tcp,stream_ms=20"});
  Link link(w.spec(), "wild");
  ASSERT_EQ(link.connect(), aErrNone);
  Counter counter;
  ASSERT_EQ(link.registerStreamCallback(2, 0xFF, 3, 0, true, Count(counter), nullptr), aErrNone);
  ASSERT_TRUE(WaitFor([&] { return counter.calls >= 2; }));
  uint32_t value = 1;
  ASSERT_TRUE(WaitFor([&] { return link.getStreamValue(2, 3, 3, 0, 0, value) == aErrNone; }));
  EXPECT_EQ(value, 0u);
}

// The engine has one filter slot: a second Link on the same engine link is
// refused while the first holds it, and takes it once the first is gone.
TEST(LinkStreams, OneOwnerOfTheFilter) {
  World w({"serial=1,tcp,stream_ms=20"});
  Link second(w.spec(), "second");
  Counter first_calls, second_calls;
  {
    Link first(w.spec(), "first");
    ASSERT_EQ(first.connect(), aErrNone);
    ASSERT_EQ(second.connectThroughLinkModule(first), aErrNone);
    ASSERT_EQ(first.registerStreamCallback(2, 3, 3, 0, true, Count(first_calls), nullptr),
              aErrNone);
    EXPECT_EQ(second.registerStreamCallback(2, 3, 8, 0, true, Count(second_calls), nullptr),
              aErrBusy);
    ASSERT_TRUE(WaitFor([&] { return first_calls.calls >= 2; }));
    first.disconnect();  // the engine link lives on with the second Link
  }
  ASSERT_TRUE(second.isConnected());
  ASSERT_EQ(second.registerStreamCallback(2, 3, 3, 0, true, Count(second_calls), nullptr),
            aErrNone);
  EXPECT_TRUE(WaitFor([&] { return second_calls.calls >= 2; }));
}

// A reset through another holder drops the engine's filter; registering
// again puts it back.
TEST(LinkStreams, RegisterAgainAfterAnotherHoldersReset) {
  World w({"serial=1,tcp,stream_ms=20"});
  Link first(w.spec(), "first"), second("second");
  ASSERT_EQ(first.connect(), aErrNone);
  ASSERT_EQ(second.connectThroughLinkModule(first), aErrNone);
  Counter counter;
  ASSERT_EQ(first.registerStreamCallback(2, 3, 3, 0, true, Count(counter), nullptr), aErrNone);
  ASSERT_EQ(second.reset(), aErrNone);
  ASSERT_TRUE(WaitFor([&] { return first.isConnected(); }));
  ASSERT_EQ(first.registerStreamCallback(2, 3, 3, 0, true, Count(counter), nullptr), aErrNone);
  const int before = counter.calls;
  EXPECT_TRUE(WaitFor([&] { return counter.calls >= before + 2; }));
}

// A callback that disables its stream ends the worker's run without a join
// of itself; enabling again starts a fresh worker.
TEST(LinkStreams, DisableFromInsideCallback) {
  World w({"serial=1,tcp,stream_ms=10"});
  Link link(w.spec(), "inside");
  ASSERT_EQ(link.connect(), aErrNone);
  std::atomic<int> calls{0};
  std::atomic<int> disabled{-1};
  ASSERT_EQ(link.registerStreamCallback(
                2, 3, 3, 0, true,
                [&](const aPacket*, void*) -> uint8_t {
                  if (calls++ == 0) disabled = link.enableStream(2, 3, 3, 0, false);
                  return 0;
                },
                nullptr),
            aErrNone);
  ASSERT_TRUE(WaitFor([&] { return disabled >= 0; }));
  EXPECT_EQ(disabled.load(), int(aErrNone));
  Counter counter;
  ASSERT_EQ(link.registerStreamCallback(2, 3, 3, 0, true, Count(counter), nullptr), aErrNone);
  EXPECT_TRUE(WaitFor([&] { return counter.calls >= 2; }));
}

// Destroying a Link while samples flow stops its filter and worker first;
// queued items are freed without running.
TEST(LinkStreams, DestroyWhileSamplesFlow) {
  World w({"serial=1,tcp,stream_ms=10"});
  for (int round = 0; round < 3; ++round) {
    auto link = std::make_unique<Link>(w.spec(), "flowing");
    ASSERT_EQ(link->connect(), aErrNone);
    auto counter = std::make_shared<Counter>();
    auto slow = [counter](const aPacket*, void*) -> uint8_t {
      ++counter->calls;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return 0;
    };
    ASSERT_EQ(link->registerStreamCallback(2, 3, 3, 0, true, slow, nullptr), aErrNone);
    ASSERT_EQ(link->registerStreamCallback(2, 3, 0xFF, 0, true, slow, nullptr), aErrNone);
    ASSERT_TRUE(WaitFor([&] { return counter->calls >= 3; }));
    link.reset();
    const int after = counter->calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(counter->calls.load(), after);
  }
}

std::vector<uint8_t> Sample(uint8_t type, uint8_t size) {
  std::vector<uint8_t> d(size, 0);
  d[0] = 3;
  d[1] = 3;
  d[2] = 0x40;
  d[3] = type;
  return d;
}

TEST(LinkStreams, SampleClassifiers) {
  struct Case {
    uint8_t type, size;
    bool sample;
    uint32_t value;
    uint8_t subindex;
  } cases[] = {
      {1, 14, true, 0xAB, 0},      {2, 15, true, 0xABCD, 0},   {2, 16, false, 0, 0},
      {3, 17, true, 0xABCDEF01u, 0}, {5, 15, true, 0xAB, 7},   {6, 16, true, 0xABCD, 7},
      {7, 18, true, 0xABCDEF01u, 7}, {4, 14, false, 0, 0},     {8, 14, false, 0, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> d = Sample(c.type, c.size);
    size_t at = 4;
    if (Link::isSubindexType(c.type)) d[at++] = 7;
    d[at + 7] = 0x2A;  // timestamp
    at += 8;
    const uint8_t value[4] = {0xAB, 0xCD, 0xEF, 0x01};
    for (size_t i = 0; at + 1 < d.size() && i < 4; ++i) d[at++] = value[i];
    std::unique_ptr<aPacket, aPacketDeleter> p(aPacket_CreateWithData(2, c.size, d.data()));
    EXPECT_TRUE(Link::isStreamPacket(p.get()));
    EXPECT_EQ(Link::isStreamSample(p.get()), c.sample) << int(c.type) << "/" << int(c.size);
    uint64_t timestamp = 0;
    uint32_t v = 0;
    uint8_t subindex = 0;
    if (!c.sample) continue;
    ASSERT_EQ(Link::getStreamSample(p.get(), timestamp, v, subindex), aErrNone);
    EXPECT_EQ(timestamp, 0x2Au);
    EXPECT_EQ(v, c.value);
    EXPECT_EQ(subindex, c.subindex);
  }
  const uint64_t key = Link::createStreamKey(6, 0xFF, 3, 0, 0xFF);
  const uint8_t elements[5] = {6, 0xFF, 3, 0, 0xFF};
  for (uint8_t e = 0; e < 5; ++e) EXPECT_EQ(Link::getStreamKeyElement(key, e), elements[e]);
}

TEST(LinkStreams, QueueHoldsOneLessThanItsSlots) {
  Velmaris::LocklessQueue_SPSC<int> queue(4);
  EXPECT_TRUE(queue.push(1) && queue.push(2) && queue.push(3));
  EXPECT_FALSE(queue.push(4));
  int item = 0;
  for (int want = 1; want <= 3; ++want) {
    ASSERT_TRUE(queue.pop(item));
    EXPECT_EQ(item, want);
  }
  EXPECT_FALSE(queue.pop(item));

  // One producer, one consumer: every item once, in order.
  Velmaris::LocklessQueue_SPSC<int> ring(500);
  std::thread producer([&] {
    for (int i = 0; i < 20000;)
      if (ring.push(i)) ++i;
  });
  // Bounded in time, not in tries: on a loaded machine the producer may be
  // off the processor for a long while.
  int expected = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (expected < 20000 && std::chrono::steady_clock::now() < deadline) {
    if (ring.pop(item)) {
      EXPECT_EQ(item, expected++);
    } else {
      std::this_thread::yield();
    }
  }
  producer.join();
  EXPECT_EQ(expected, 20000);
}

}  // namespace
