// UEI packing, classification, request building and reply matching.
#include <gtest/gtest.h>

#include <vector>

#include "common/aUEI.h"

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

PacketPtr Make(uint8_t address, std::vector<uint8_t> data) {
  return PacketPtr(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                          data.data()));
}

std::vector<uint8_t> Data(const aPacket* packet) {
  return std::vector<uint8_t>(packet->data, packet->data + packet->dataSize);
}

uei Request(uint8_t address, uint8_t command, uint8_t option, uint8_t index) {
  uei record = {};
  record.address = address;
  record.command = command;
  record.option = option;
  record.specifier = index;
  return record;
}

TEST(aUEI, BigEndianHelpers) {
  uint8_t buffer[4];
  aUEI_StoreShort(buffer, 0x1234);
  EXPECT_EQ(buffer[0], 0x12);
  EXPECT_EQ(buffer[1], 0x34);
  EXPECT_EQ(aUEI_RetrieveShort(buffer), 0x1234);
  aUEI_StoreInt(buffer, 0x01020304);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4),
            (std::vector<uint8_t>{1, 2, 3, 4}));
  const uint8_t big[4] = {0xFF, 0xFF, 0xFF, 0xFE};
  EXPECT_EQ(aUEI_RetrieveInt(big), 0xFFFFFFFEu);

  uint32_t words[2];
  const uint8_t wire[8] = {0, 0, 1, 0, 0xDE, 0xAD, 0xBE, 0xEF};
  memcpy(words, wire, sizeof(words));
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x100u);
  EXPECT_EQ(words[1], 0xDEADBEEFu);
}

TEST(aUEI, ClassifiesPackets) {
  EXPECT_TRUE(aUEI_isNotUEIPayload(Make(4, {95, 1, 0x20}).get()));
  EXPECT_TRUE(aUEI_isNotUEIPayload(Make(4, {73, 0xFF}).get()));
  EXPECT_FALSE(aUEI_isNotUEIPayload(Make(4, {3, 8, 0x20}).get()));
  EXPECT_TRUE(aUEI_isUEIPayload(Make(4, {3, 8, 0x20}).get()));
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));

  EXPECT_TRUE(aUEI_isStreamPacket(Make(4, {3, 8, 0x40, 1, 0}).get()));
  EXPECT_FALSE(aUEI_isStreamPacket(Make(4, {3, 8, 0x40, 1}).get()));
  EXPECT_FALSE(aUEI_isStreamPacket(Make(4, {3, 0x48, 0x40, 1, 0}).get()));
  EXPECT_FALSE(aUEI_isStreamPacket(Make(4, {3, 8, 0x20, 1, 0}).get()));
  EXPECT_FALSE(aUEI_isStreamPacket(Make(4, {95, 8, 0x40, 1, 0}).get()));

  PacketPtr run = Make(4, {3, 32, 0x00, 'a', 'b', 0x85});
  EXPECT_EQ(aUEI_getBytesSequence(run.get()), 5);
  EXPECT_EQ(aUEI_getBytesContinue(run.get()), 1);
  EXPECT_FALSE(aUEI_getBytesFullPacket(run.get()));
  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  std::vector<uint8_t> full(28, 0);
  EXPECT_TRUE(aUEI_getBytesFullPacket(Make(4, full).get()));
  full.pop_back();
  EXPECT_TRUE(aUEI_getBytesFullPacket(Make(4, full).get()));
}

TEST(aUEI, BuildsAGetOfSystemModel) {
  uei request = Request(6, cmdSYSTEM, 8 | aUEI_GET, 0);
  aPacket* packet = nullptr;
  ASSERT_EQ(aUEI_BuildRequest(&request, &packet), aErrNone);
  PacketPtr owned(packet);
  EXPECT_EQ(packet->address, 6);
  EXPECT_EQ(Data(packet), (std::vector<uint8_t>{0x03, 0x48, 0x20}));
}

TEST(aUEI, BuildsASetOfAnInt) {
  uei request = Request(6, cmdSYSTEM, 34 | aUEI_SET, 0);
  request.type = ueiTypeInt;
  request.v.intVal = 0x01020304;
  aPacket* packet = nullptr;
  ASSERT_EQ(aUEI_BuildRequest(&request, &packet), aErrNone);
  PacketPtr owned(packet);
  EXPECT_EQ(Data(packet),
            (std::vector<uint8_t>{0x03, 0xA2, 0x20, 0x01, 0x02, 0x03, 0x04}));

  request.type = ueiTypeShort;
  request.v.shortVal = 0xBEEF;
  ASSERT_EQ(aUEI_BuildRequestSubindex(&request, 2, &packet), aErrNone);
  PacketPtr owned2(packet);
  EXPECT_EQ(Data(packet), (std::vector<uint8_t>{0x03, 0xA2, 0x20, 2, 0xBE, 0xEF}));
}

TEST(aUEI, RefusesBadAddressesAndTypes) {
  uei request = Request(5, cmdSYSTEM, 8 | aUEI_GET, 0);
  aPacket* packet = nullptr;
  EXPECT_EQ(aUEI_BuildRequest(&request, &packet), aErrPacket);
  request.address = 0;
  EXPECT_EQ(aUEI_BuildRequest(&request, &packet), aErrPacket);
  request.address = 4;
  request.type = ueiTypeBytes;
  EXPECT_EQ(aUEI_BuildRequest(&request, &packet), aErrParam);
  EXPECT_EQ(packet, nullptr);
}

TEST(aUEI, MatchesAByteReply) {
  uei reply = Request(6, cmdSYSTEM, 8, 0);
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x03, 0x08, 0x00, 0x0D}).get(), &reply), 1);
  EXPECT_EQ(reply.type, static_cast<uint32_t>(ueiTypeByte));
  EXPECT_EQ(reply.v.byteVal, 13);
}

TEST(aUEI, MatchesOnlyTheExpectedReply) {
  uei reply = Request(6, cmdSYSTEM, 8, 1);
  EXPECT_EQ(aUEI_MatchReply(Make(8, {0x03, 0x08, 0x01, 0x0D}).get(), &reply), 0);
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x04, 0x08, 0x01, 0x0D}).get(), &reply), 0);
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x03, 0x48, 0x01, 0x0D}).get(), &reply), 0);
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x03, 0x08, 0x02, 0x0D}).get(), &reply), 0);
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x03, 0x08}).get(), &reply), 0);
  // A late stream sample of the same option (specifier bit 6, type 1,
  // timestamp, value, sequence) is not the reply.
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x03, 0x08, 0x41, 1, 0, 0, 0, 0, 0, 0, 0, 9, 0x0D, 0}).get(),
                            &reply), 0);
  // Bits above the index do not matter.
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x03, 0x08, 0x21, 0x01, 0x02}).get(), &reply), 1);
  EXPECT_EQ(reply.v.shortVal, 0x0102);
}

TEST(aUEI, MatchesAnAcknowledgementAndAnInt) {
  uei ack = Request(6, cmdSYSTEM, 34 | aUEI_ACK, 0);
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x03, 0xE2, 0x00}).get(), &ack), 1);
  EXPECT_EQ(ack.type, static_cast<uint32_t>(ueiTypeNone));
  uei get = Request(6, cmdSYSTEM, 9, 0);
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x03, 0x09, 0x00, 0x12, 0x34, 0x56, 0x78}).get(), &get), 1);
  EXPECT_EQ(get.v.intVal, 0x12345678u);
}

TEST(aUEI, ErrorReplyCarriesItsCode) {
  uei reply = Request(6, cmdSYSTEM, 8, 0);
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x03, 0x08, 0x80, 21}).get(), &reply), 1);
  EXPECT_EQ(reply.specifier & aUEI_ERROR, aUEI_ERROR);
  EXPECT_EQ(static_cast<aErr>(reply.v.byteVal), aErrUnimplemented);
}

TEST(aUEI, ReceivesAByteArrayInSequence) {
  uint8_t buffer[40] = {};
  uint32_t count = 0;
  uei reply = Request(6, cmdSYSTEM, 32, 0);
  reply.type = ueiTypeBytes;
  reply.v.bytes.buffer = buffer;
  reply.v.bytes.length = sizeof(buffer);
  reply.v.bytes.count = &count;

  std::vector<uint8_t> first = {0x03, 32, 0x00};
  for (int i = 0; i < 24; ++i) first.push_back(static_cast<uint8_t>('a' + i % 26));
  first.push_back(0x80);
  std::vector<uint8_t> second = {0x03, 32, 0x00, 'x', 'y', 0x01};
  // Out of order: the second packet is left alone until its turn.
  EXPECT_EQ(aUEI_MatchReply(Make(6, second).get(), &reply), 0);
  EXPECT_EQ(aUEI_MatchReply(Make(6, first).get(), &reply), 1);
  EXPECT_EQ(count, 24u);
  EXPECT_EQ(reply.v.bytes.more, 1);
  EXPECT_EQ(aUEI_MatchReply(Make(6, second).get(), &reply), 1);
  EXPECT_EQ(count, 26u);
  EXPECT_EQ(reply.v.bytes.more, 0);
  EXPECT_EQ(buffer[24], 'x');
  EXPECT_EQ(buffer[0], 'a');
}

TEST(aUEI, ByteArrayThatDoesNotFitBecomesAMemoryError) {
  uint8_t buffer[4] = {};
  uint32_t count = 0;
  uei reply = Request(6, cmdSYSTEM, 32, 0);
  reply.type = ueiTypeBytes;
  reply.v.bytes.buffer = buffer;
  reply.v.bytes.length = sizeof(buffer);
  reply.v.bytes.count = &count;
  EXPECT_EQ(aUEI_MatchReply(Make(6, {0x03, 32, 0x00, 1, 2, 3, 4, 5, 0x00}).get(), &reply), 1);
  EXPECT_EQ(reply.specifier & aUEI_ERROR, aUEI_ERROR);
  EXPECT_EQ(reply.v.byteVal, aErrMemory);
  EXPECT_EQ(reply.v.bytes.buffer, buffer);  // the caller's pointer is intact
  EXPECT_EQ(count, 0u);
}

TEST(aUEI, TimeoutGrowsForLargeByteArrays) {
  uei record = Request(6, cmdSYSTEM, 32, 0);
  EXPECT_EQ(aUEI_ReplyTimeout(&record), 1000u);
  record.type = ueiTypeBytes;
  record.v.bytes.length = 1000;
  EXPECT_EQ(aUEI_ReplyTimeout(&record), 1000u);
  record.v.bytes.length = 1001;
  EXPECT_EQ(aUEI_ReplyTimeout(&record), 4000u);
}

}  // namespace
