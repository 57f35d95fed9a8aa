// UEI requests and replies through a running link, with the test playing
// the module on a socket pair.
#include <gtest/gtest.h>

#include <future>

#include "common/aLink.h"
#include "common/aUEI.h"
#include "link_peer.h"

using linktest::Bytes;
using linktest::PairStream;
using linktest::ReadPacket;
using linktest::WriteBytes;

namespace {

class UEILink : public ::testing::Test {
 protected:
  void SetUp() override {
    id_ = aLink_Create(pair_.release());
    ASSERT_NE(id_, 0u);
    ASSERT_EQ(ReadPacket(peer()), (Bytes{0xAF, 0x01, 0x01}));
  }
  void TearDown() override { aLink_Destroy(&id_); }
  int peer() { return pair_.peer(); }

  static uei Record(uint8_t address, uint8_t command, uint8_t option,
                    uint8_t index) {
    uei record = {};
    record.address = address;
    record.command = command;
    record.option = option;
    record.specifier = index;
    return record;
  }

  PairStream pair_;
  uint32_t id_ = 0;
};

TEST_F(UEILink, GetOfTheModelRoundTrips) {
  uei request = Record(6, cmdSYSTEM, 8 | aUEI_GET, 0);
  ASSERT_EQ(aUEI_Send(id_, &request), aErrNone);
  EXPECT_EQ(ReadPacket(peer()), (Bytes{0x06, 0x03, 0x03, 0x48, 0x20}));
  ASSERT_TRUE(WriteBytes(peer(), {0x06, 0x04, 0x03, 0x08, 0x00, 0x0D}));
  uei reply = Record(6, cmdSYSTEM, 8, 0);
  ASSERT_EQ(aUEI_Receive(id_, &reply), aErrNone);
  EXPECT_EQ(reply.v.byteVal, 13);
}

TEST_F(UEILink, SetIsAcknowledged) {
  uei request = Record(6, cmdSYSTEM, 34 | aUEI_SET, 0);
  request.type = ueiTypeInt;
  request.v.intVal = 0x01020304;
  ASSERT_EQ(aUEI_Send(id_, &request), aErrNone);
  EXPECT_EQ(ReadPacket(peer()),
            (Bytes{0x06, 0x07, 0x03, 0xA2, 0x20, 0x01, 0x02, 0x03, 0x04}));
  // An unrelated packet first: it stays queued for someone else.
  ASSERT_TRUE(WriteBytes(peer(), {0x06, 0x03, 0x03, 0x08, 0x00}));
  ASSERT_TRUE(WriteBytes(peer(), {0x06, 0x03, 0x03, 0xE2, 0x00}));
  uei ack = Record(6, cmdSYSTEM, 34 | aUEI_ACK, 0);
  EXPECT_EQ(aUEI_Receive(id_, &ack), aErrNone);
  std::unique_ptr<aPacket, aPacketDeleter> other(aLink_GetPacket(id_));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->data[1], 0x08);
}

TEST_F(UEILink, ErrorReplyIsTheResult) {
  ASSERT_TRUE(WriteBytes(peer(), {0x06, 0x04, 0x03, 0x08, 0x80, 21}));
  uei reply = Record(6, cmdSYSTEM, 8, 0);
  EXPECT_EQ(aUEI_Receive(id_, &reply), aErrUnimplemented);
}

TEST_F(UEILink, NoReplyTimesOut) {
  uei reply = Record(6, cmdSYSTEM, 8, 0);
  EXPECT_EQ(aUEI_Receive(id_, &reply), aErrTimeout);
}

// Sends an array of n bytes and returns the sequence bytes and payload
// sizes seen by the module.
void SendArray(uint32_t id, int peer, size_t n, std::vector<uint8_t>* sequence,
               std::vector<size_t>* payload) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i);
  uei request = {};
  request.address = 4;
  request.command = cmdSYSTEM;
  request.option = 32 | aUEI_SET;
  request.type = ueiTypeBytes;
  request.v.bytes.buffer = data.data();
  request.v.bytes.length = static_cast<uint32_t>(n);
  ASSERT_EQ(aUEI_Send(id, &request), aErrNone);
  size_t received = 0;
  for (;;) {
    Bytes packet = ReadPacket(peer);
    ASSERT_GE(packet.size(), 6u);
    ASSERT_EQ(packet[2], cmdSYSTEM);
    ASSERT_EQ(packet[3], 32 | aUEI_SET);
    ASSERT_EQ(packet[4], aUEI_REQUEST);
    const size_t size = packet[1] - 4u;
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(packet[5 + i], data[received + i]);
    received += size;
    sequence->push_back(packet.back());
    payload->push_back(size);
    if ((packet.back() & 0x80) == 0) break;
  }
  EXPECT_EQ(received, n);
}

TEST_F(UEILink, ByteArraysTravelInRunsOf24) {
  std::vector<uint8_t> sequence;
  std::vector<size_t> payload;
  SendArray(id_, peer(), 50, &sequence, &payload);
  EXPECT_EQ(sequence, (std::vector<uint8_t>{0x80, 0x81, 0x02}));
  EXPECT_EQ(payload, (std::vector<size_t>{24, 24, 2}));
  sequence.clear();
  payload.clear();
  SendArray(id_, peer(), 24, &sequence, &payload);
  EXPECT_EQ(sequence, (std::vector<uint8_t>{0x00}));
  sequence.clear();
  payload.clear();
  SendArray(id_, peer(), 48, &sequence, &payload);
  EXPECT_EQ(sequence, (std::vector<uint8_t>{0x80, 0x01}));
}

// A run numbers its packets 0..127: the longest array fills all 128, a
// longer one is refused rather than numbering two packets alike.
TEST_F(UEILink, ByteArraysLongerThanOneRunAreRefused) {
  std::vector<uint8_t> sequence;
  std::vector<size_t> payload;
  SendArray(id_, peer(), aUEI_BYTES_RUN_MAX, &sequence, &payload);
  ASSERT_EQ(sequence.size(), 128u);
  EXPECT_EQ(sequence.back(), 0x7F);
  std::vector<uint8_t> data(aUEI_BYTES_RUN_MAX + 1);
  uei request = Record(4, cmdSYSTEM, 32 | aUEI_SET, 0);
  request.type = ueiTypeBytes;
  request.v.bytes.buffer = data.data();
  request.v.bytes.length = static_cast<uint32_t>(data.size());
  EXPECT_EQ(aUEI_Send(id_, &request), aErrParam);
}

TEST_F(UEILink, EmptyByteArrayIsOnePacket) {
  uei request = Record(4, cmdSYSTEM, 32 | aUEI_SET, 0);
  request.type = ueiTypeBytes;
  ASSERT_EQ(aUEI_Send(id_, &request), aErrNone);
  EXPECT_EQ(ReadPacket(peer()), (Bytes{0x04, 0x04, 0x03, 0xA0, 0x20, 0x00}));
}

TEST_F(UEILink, ByteArrayReplyIsGatheredInOrder) {
  // The module's run arrives with its second packet first.
  Bytes first = {0x06, 28, 0x03, 32, 0x00};
  for (int i = 0; i < 24; ++i) first.push_back(static_cast<uint8_t>('A' + i));
  first.push_back(0x80);
  Bytes second = {0x06, 0x07, 0x03, 32, 0x00, 'y', 'z', '!', 0x01};
  ASSERT_TRUE(WriteBytes(peer(), second));
  ASSERT_TRUE(WriteBytes(peer(), first));
  uint8_t buffer[64] = {};
  uint32_t count = 99;
  uei reply = Record(6, cmdSYSTEM, 32, 0);
  reply.type = ueiTypeBytes;
  reply.v.bytes.buffer = buffer;
  reply.v.bytes.length = sizeof(buffer);
  reply.v.bytes.count = &count;
  ASSERT_EQ(aUEI_Receive(id_, &reply), aErrNone);
  EXPECT_EQ(count, 27u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 27),
            "ABCDEFGHIJKLMNOPQRSTUVWXyz!");
}

TEST_F(UEILink, RefusesBadAddressesAndDeadLinks) {
  uei request = Record(5, cmdSYSTEM, 8 | aUEI_GET, 0);
  EXPECT_EQ(aUEI_Send(id_, &request), aErrPacket);
  request.address = 6;
  EXPECT_EQ(aUEI_Send(987654, &request), aErrConnection);
  EXPECT_EQ(aUEI_SendSubindex(id_, &request, 1), aErrNone);
  EXPECT_EQ(ReadPacket(peer()), (Bytes{0x06, 0x04, 0x03, 0x48, 0x20, 0x01}));
}

}  // namespace
