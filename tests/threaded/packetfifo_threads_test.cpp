// Packet FIFOs between threads: order under a producer, filtered waits woken
// by later puts, and waiters woken by destruction.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "common/packetfifo.h"

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

void Put(aPacketFifoRef fifo, uint8_t mark) {
  PacketPtr packet(aPacket_CreateWithData(4, 1, &mark));
  ASSERT_EQ(aPacketFifo_Put(fifo, packet.get()), aErrNone);
}

uint8_t FromEight(const aPacket* packet, const void*) { return packet->address == 8; }

uint8_t OnlyMark(const aPacket* packet, const void* reference) {
  return packet->data[0] == *static_cast<const uint8_t*>(reference);
}

TEST(FifoThreads, ConsumerSeesProducerOrder) {
  aPacketFifoRef fifo = aPacketFifo_Create();
  const int kCount = 5000;
  std::thread producer([fifo] {
    for (int i = 0; i < kCount; ++i) {
      uint8_t data[2] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
      PacketPtr packet(aPacket_CreateWithData(4, 2, data));
      aPacketFifo_Put(fifo, packet.get());
      // Keep the queue well below the overflow limit.
      while (aPacketFifo_GetLength(fifo) > 500) std::this_thread::yield();
    }
  });
  int expected = 0;
  while (expected < kCount) {
    PacketPtr packet(aPacketFifo_Await(fifo, 5000));
    ASSERT_TRUE(packet) << "stalled at " << expected;
    ASSERT_EQ((packet->data[0] << 8) | packet->data[1], expected);
    ++expected;
  }
  producer.join();
  aPacketFifo_Destroy(&fifo);
}

TEST(FifoThreads, AwaitFirstWakesForALaterMatchingPut) {
  aPacketFifoRef fifo = aPacketFifo_Create();
  Put(fifo, 1);
  auto waiter = std::async(std::launch::async, [fifo] {
    const uint8_t want = 3;
    return PacketPtr(aPacketFifo_AwaitFirst(fifo, OnlyMark, &want, 5000));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Put(fifo, 2);
  Put(fifo, 3);
  PacketPtr got = waiter.get();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data[0], 3);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 2u);
  aPacketFifo_Destroy(&fifo);
}

TEST(FifoThreads, DestroyWakesEveryWaiter) {
  aPacketFifoRef fifo = aPacketFifo_Create();
  auto plain = std::async(std::launch::async, [fifo] {
    return PacketPtr(aPacketFifo_Await(fifo, 20000));
  });
  auto filtered = std::async(std::launch::async, [fifo] {
    const uint8_t want = 9;
    return PacketPtr(aPacketFifo_AwaitFirst(fifo, OnlyMark, &want, 20000));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  aPacketFifoRef handle = fifo;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
  EXPECT_FALSE(plain.get());
  EXPECT_FALSE(filtered.get());
  // Woken, not timed out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // The old handle now behaves as unknown.
  EXPECT_EQ(aPacketFifo_Await(fifo, 10), nullptr);
  EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNotFound);
}

TEST(FifoThreads, FilteredWaiterOutlivesAnOverflow) {
  aPacketFifoRef fifo = aPacketFifo_Create();
  for (int i = 0; i < 1000; ++i) Put(fifo, static_cast<uint8_t>(i));
  // A filtered waiter that matches nothing of the 1000 sees the overflow
  // shed the queue and then still receives a later match.
  auto waiter = std::async(std::launch::async, [fifo] {
    return PacketPtr(aPacketFifo_AwaitFirst(fifo, FromEight, nullptr, 5000));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Put(fifo, 1);  // the 1001st: the oldest half goes
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 500u);
  const uint8_t mark = 0x42;
  PacketPtr packet(aPacket_CreateWithData(8, 1, &mark));
  ASSERT_EQ(aPacketFifo_Put(fifo, packet.get()), aErrNone);
  PacketPtr got = waiter.get();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data[0], mark);
  aPacketFifo_Destroy(&fifo);
}

// A flood that nobody reads fills the queue again and again; the answer a
// waiter waits for, put just before an overflow, is never what goes.
TEST(FifoThreads, AnAwaitedAnswerSurvivesTheFloodAroundIt) {
  aPacketFifoRef fifo = aPacketFifo_Create();
  for (int round = 0; round < 20; ++round) {
    auto waiter = std::async(std::launch::async, [fifo] {
      return PacketPtr(aPacketFifo_AwaitFirst(fifo, FromEight, nullptr, 5000));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the waiter waits
    while (aPacketFifo_GetLength(fifo) < 999) Put(fifo, 0);
    const uint8_t mark = static_cast<uint8_t>(round);
    PacketPtr answer(aPacket_CreateWithData(8, 1, &mark));
    ASSERT_EQ(aPacketFifo_Put(fifo, answer.get()), aErrNone);
    for (int i = 0; i < 600; ++i) Put(fifo, 0);
    PacketPtr got = waiter.get();
    ASSERT_TRUE(got) << "round " << round;
    EXPECT_EQ(got->data[0], mark);
  }
  aPacketFifo_Destroy(&fifo);
}

}  // namespace
