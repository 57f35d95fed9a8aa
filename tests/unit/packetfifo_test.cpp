// Packet FIFOs on one thread: order, filters, drain, the overflow rule,
// unknown handles.
#include <gtest/gtest.h>

#include <vector>

#include "common/packetfifo.h"

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

class Fifo : public ::testing::Test {
 protected:
  void SetUp() override { handle_ = aPacketFifo_Create(); ASSERT_NE(handle_, 0u); }
  void TearDown() override {
    if (handle_ != 0) aPacketFifo_Destroy(&handle_);
  }
  void PutMarked(uint8_t mark) {
    PacketPtr packet(aPacket_CreateWithData(4, 1, &mark));
    ASSERT_EQ(aPacketFifo_Put(handle_, packet.get()), aErrNone);
  }
  aPacketFifoRef handle_ = 0;
};

uint8_t OnlyMark(const aPacket* packet, const void* reference) {
  return packet->data[0] == *static_cast<const uint8_t*>(reference);
}

uint8_t Odd(const aPacket* packet, const void*) { return packet->data[0] & 1; }

struct Counter {
  int calls = 0;
};
uint8_t CountingReject(const aPacket*, const void* reference) {
  ++const_cast<Counter*>(static_cast<const Counter*>(reference))->calls;
  return 0;
}

TEST_F(Fifo, HandsOutFreshNonZeroHandles) {
  aPacketFifoRef other = aPacketFifo_Create();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, handle_);
  EXPECT_EQ(aPacketFifo_Destroy(&other), aErrNone);
  EXPECT_EQ(other, 0u);
  aPacketFifoRef again = aPacketFifo_Create();
  EXPECT_GT(again, handle_);
  aPacketFifo_Destroy(&again);
}

TEST_F(Fifo, KeepsOrderAndCopiesPackets) {
  uint8_t mark = 1;
  PacketPtr mine(aPacket_CreateWithData(4, 1, &mark));
  ASSERT_EQ(aPacketFifo_Put(handle_, mine.get()), aErrNone);
  mine->data[0] = 99;  // the FIFO holds its own copy
  PutMarked(2);
  EXPECT_EQ(aPacketFifo_GetLength(handle_), 2u);
  PacketPtr first(aPacketFifo_Get(handle_));
  PacketPtr second(aPacketFifo_Get(handle_));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->data[0], 1);
  EXPECT_EQ(second->data[0], 2);
  EXPECT_EQ(aPacketFifo_Get(handle_), nullptr);
  EXPECT_EQ(aPacketFifo_Await(handle_, 10), nullptr);
}

TEST_F(Fifo, RejectsInvalidPackets) {
  aPacket forged = {};
  EXPECT_EQ(aPacketFifo_Put(handle_, &forged), aErrParam);
  EXPECT_EQ(aPacketFifo_Put(handle_, nullptr), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(handle_), 0u);
}

uint8_t FromEight(const aPacket* packet, const void*) { return packet->address == 8; }

TEST_F(Fifo, OverflowShedsTheOldestAndKeepsTheAnswerJustQueued) {
  for (int i = 0; i < 999; ++i) PutMarked(static_cast<uint8_t>(i));
  // An answer, then the 1001st packet: the oldest go, the answer stays.
  const uint8_t mark = 0xAA;
  PacketPtr answer(aPacket_CreateWithData(8, 1, &mark));
  EXPECT_EQ(aPacketFifo_Put(handle_, answer.get()), aErrNone);
  PutMarked(1);
  EXPECT_EQ(aPacketFifo_GetLength(handle_), 500u);
  PacketPtr got(aPacketFifo_GetFirst(handle_, FromEight, nullptr));
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data[0], mark);
  PacketPtr oldest(aPacketFifo_Get(handle_));
  ASSERT_TRUE(oldest);
  EXPECT_EQ(oldest->data[0], 501 & 0xFF);
}

TEST_F(Fifo, AwaitFirstTakesTheAcceptedPacketAndKeepsTheRest) {
  PutMarked(1);
  PutMarked(2);
  PutMarked(3);
  PutMarked(4);
  const uint8_t want = 3;
  PacketPtr third(aPacketFifo_AwaitFirst(handle_, OnlyMark, &want, 100));
  ASSERT_TRUE(third);
  EXPECT_EQ(third->data[0], 3);
  PacketPtr a(aPacketFifo_Get(handle_));
  PacketPtr b(aPacketFifo_Get(handle_));
  PacketPtr c(aPacketFifo_Get(handle_));
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(a->data[0], 1);
  EXPECT_EQ(b->data[0], 2);
  EXPECT_EQ(c->data[0], 4);
}

TEST_F(Fifo, AwaitFirstTestsEachPacketOnceAndTimesOut) {
  PutMarked(1);
  PutMarked(2);
  Counter counter;
  EXPECT_EQ(aPacketFifo_AwaitFirst(handle_, CountingReject, &counter, 30), nullptr);
  EXPECT_EQ(counter.calls, 2);
  EXPECT_EQ(aPacketFifo_GetLength(handle_), 2u);
}

TEST_F(Fifo, GetFirstAndDrainUseTheFilter) {
  for (uint8_t i = 1; i <= 6; ++i) PutMarked(i);
  PacketPtr odd(aPacketFifo_GetFirst(handle_, Odd, nullptr));
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->data[0], 1);
  EXPECT_EQ(aPacketFifo_DrainPackets(handle_, Odd, nullptr), 2u);  // 3 and 5
  std::vector<uint8_t> rest;
  for (PacketPtr p(aPacketFifo_Get(handle_)); p; p.reset(aPacketFifo_Get(handle_)))
    rest.push_back(p->data[0]);
  EXPECT_EQ(rest, (std::vector<uint8_t>{2, 4, 6}));
  const uint8_t none = 9;
  EXPECT_EQ(aPacketFifo_GetFirst(handle_, OnlyMark, &none), nullptr);
}

TEST_F(Fifo, UnknownHandlesAnswerEmpty) {
  aPacketFifoRef gone = aPacketFifo_Create();
  aPacketFifoRef copy = gone;
  ASSERT_EQ(aPacketFifo_Destroy(&gone), aErrNone);
  uint8_t mark = 1;
  PacketPtr packet(aPacket_CreateWithData(4, 1, &mark));
  EXPECT_EQ(aPacketFifo_Put(copy, packet.get()), aErrParam);
  EXPECT_EQ(aPacketFifo_Get(copy), nullptr);
  EXPECT_EQ(aPacketFifo_Await(copy, 10), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(copy), 0u);
  EXPECT_EQ(aPacketFifo_DrainPackets(copy, nullptr, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
  aPacketFifoRef zero = 0;
  EXPECT_EQ(aPacketFifo_Destroy(&zero), aErrNotFound);
}

}  // namespace
