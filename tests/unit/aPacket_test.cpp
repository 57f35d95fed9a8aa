// Packets: creation, getters, byte-by-byte assembly, and the traffic log.
#include <gtest/gtest.h>

#include <vector>

#include "common/aPacket.h"

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

aErr Feed(aPacket* packet, const std::vector<uint8_t>& bytes) {
  aErr err = aErrNone;
  for (uint8_t b : bytes) {
    err = aPacket_AddByte(packet, b);
    if (err != aErrNone) break;
  }
  return err;
}

TEST(aPacket, CreateWithDataTakesUpTo28Bytes) {
  uint8_t data[29] = {1, 2, 3};
  PacketPtr full(aPacket_CreateWithData(4, 28, data));
  ASSERT_TRUE(full);
  EXPECT_EQ(full->address, 4);
  EXPECT_EQ(full->dataSize, 28);
  EXPECT_EQ(full->fill, 30);
  EXPECT_TRUE(aPacket_IsComplete(full.get()));
  EXPECT_EQ(aPacket_CreateWithData(4, 29, data), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(4, 1, nullptr), nullptr);
}

TEST(aPacket, CopyKeepsAddressAndData) {
  const uint8_t data[3] = {0x03, 0x48, 0x20};
  PacketPtr original(aPacket_CreateWithData(6, 3, data));
  PacketPtr copy(aPacket_Copy(original.get()));
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->address, 6);
  EXPECT_EQ(copy->dataSize, 3);
  EXPECT_EQ(0, memcmp(copy->data, data, 3));
  EXPECT_EQ(copy->data[3], 0);
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
  aPacket forged = {};
  EXPECT_EQ(aPacket_Copy(&forged), nullptr);
}

TEST(aPacket, GettersMaskAndCheckLength) {
  const uint8_t data[3] = {0x03, 0xC8, 0xE5};
  PacketPtr packet(aPacket_CreateWithData(6, 3, data));
  uint8_t out = 0;
  EXPECT_EQ(aPacket_GetCmd(packet.get(), &out), aErrNone);
  EXPECT_EQ(out, 0x03);
  EXPECT_EQ(aPacket_GetOption(packet.get(), &out), aErrNone);
  EXPECT_EQ(out, 0x08);
  EXPECT_EQ(aPacket_GetIndex(packet.get(), &out), aErrNone);
  EXPECT_EQ(out, 0x05);

  PacketPtr shortPacket(aPacket_CreateWithData(6, 2, data));
  EXPECT_EQ(aPacket_GetIndex(shortPacket.get(), &out), aErrPacket);
  EXPECT_EQ(aPacket_GetIndex(shortPacket.get(), nullptr), aErrParam);
  EXPECT_EQ(aPacket_GetCmd(nullptr, &out), aErrPacket);
}

TEST(aPacket, AssemblesAnEmptyPacket) {
  PacketPtr packet(aPacket_Create());
  EXPECT_EQ(aPacket_AddByte(packet.get(), 0x04), aErrNone);
  EXPECT_FALSE(aPacket_IsComplete(packet.get()));
  EXPECT_EQ(aPacket_AddByte(packet.get(), 0x00), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(packet.get()));
  EXPECT_EQ(packet->address, 4);
  EXPECT_EQ(packet->dataSize, 0);
}

TEST(aPacket, AssemblesDataBytesInOrder) {
  PacketPtr packet(aPacket_Create());
  ASSERT_EQ(Feed(packet.get(), {0x06, 0x04, 0x03, 0x08, 0x00}), aErrNone);
  EXPECT_FALSE(aPacket_IsComplete(packet.get()));
  ASSERT_EQ(aPacket_AddByte(packet.get(), 0x0D), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(packet.get()));
  EXPECT_EQ(packet->data[3], 0x0D);
  uint8_t wire[aPACKET_MAX_WIRE];
  ASSERT_EQ(aPacket_WireBytes(packet.get(), wire), 6u);
  EXPECT_EQ(wire[0], 0x06);
  EXPECT_EQ(wire[1], 0x04);
}

TEST(aPacket, RejectsBytesThatCannotBelong) {
  PacketPtr packet(aPacket_Create());
  EXPECT_EQ(aPacket_AddByte(packet.get(), 0x05), aErrPacket);
  aPacket_Reset(packet.get());
  EXPECT_EQ(aPacket_AddByte(packet.get(), 0x00), aErrPacket);
  aPacket_Reset(packet.get());
  EXPECT_EQ(Feed(packet.get(), {0x04, 29}), aErrPacket);
  aPacket_Reset(packet.get());
  // A full packet takes no further byte.
  std::vector<uint8_t> full = {0x04, 28};
  full.resize(30, 0xAA);
  EXPECT_EQ(Feed(packet.get(), full), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(packet.get()));
  EXPECT_EQ(aPacket_AddByte(packet.get(), 0xAA), aErrOverrun);
  EXPECT_EQ(aPacket_AddByte(nullptr, 0x04), aErrParam);
  // Nor does a shorter one: the byte after an empty packet is no length.
  for (const std::vector<uint8_t>& complete : {std::vector<uint8_t>{0x04, 0},
                                                std::vector<uint8_t>{0x04, 1, 0x07}}) {
    aPacket_Reset(packet.get());
    ASSERT_EQ(Feed(packet.get(), complete), aErrNone);
    ASSERT_TRUE(aPacket_IsComplete(packet.get()));
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0x01), aErrPacket) << complete.size();
  }
}

TEST(aPacket, ResetClearsEverything) {
  PacketPtr packet(aPacket_Create());
  Feed(packet.get(), {0x04, 0x02, 0x09});
  EXPECT_EQ(aPacket_Reset(packet.get()), aErrNone);
  EXPECT_EQ(packet->fill, 0);
  EXPECT_EQ(packet->address, 0);
  EXPECT_EQ(packet->dataSize, 0);
  EXPECT_EQ(packet->data[0], 0);
  EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
}

TEST(aPacket, DestroyNullsThePointer) {
  aPacket* packet = aPacket_Create();
  EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
  EXPECT_EQ(packet, nullptr);
  EXPECT_EQ(aPacket_Destroy(&packet), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

// ---- traffic log -----------------------------------------------------------

struct LogCloser {
  void operator()(aPacketLog* log) const { aPacketLog_Destroy(&log); }
};
typedef std::unique_ptr<aPacketLog, LogCloser> LogPtr;

TEST(aPacketLog, RecordOf13BytesFitsOnlyAnEmptyRingOf16) {
  LogPtr log(aPacketLog_Create(16));
  uint8_t bytes[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  EXPECT_EQ(aPacketLog_Put(log.get(), 2, 14, bytes), aErrOverrun);
  EXPECT_EQ(aPacketLog_Put(log.get(), 1, 1, bytes), aErrNone);
  EXPECT_EQ(aPacketLog_Put(log.get(), 2, 13, bytes), aErrNone);
  // The older record made room.
  uint8_t type = 0;
  uint8_t out[16];
  uint32_t length = sizeof(out);
  ASSERT_EQ(aPacketLog_Get(log.get(), &type, &length, out), aErrNone);
  EXPECT_EQ(type, 2);
  EXPECT_EQ(length, 13u);
  EXPECT_EQ(out[12], 13);
  length = sizeof(out);
  EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, out), aErrNotFound);
}

TEST(aPacketLog, DropsOldestFirstAndWraps) {
  LogPtr log(aPacketLog_Create(20));
  for (uint8_t i = 0; i < 10; ++i) {
    uint8_t bytes[3] = {i, i, i};
    ASSERT_EQ(aPacketLog_Put(log.get(), 1, 3, bytes), aErrNone);
  }
  // Five bytes a record, 19 usable bytes: the last three survive.
  std::vector<uint8_t> seen;
  uint8_t type;
  uint8_t out[8];
  uint32_t length = sizeof(out);
  while (aPacketLog_Get(log.get(), &type, &length, out) == aErrNone) {
    EXPECT_EQ(length, 3u);
    seen.push_back(out[0]);
    length = sizeof(out);
  }
  EXPECT_EQ(seen, (std::vector<uint8_t>{7, 8, 9}));
}

TEST(aPacketLog, ShortBufferKeepsTheRecord) {
  LogPtr log(aPacketLog_Create(64));
  const uint8_t text[5] = {'S', 'T', 'A', 'R', 'T'};
  ASSERT_EQ(aPacketLog_Put(log.get(), 3, 5, text), aErrNone);
  uint8_t type = 0;
  uint8_t out[8];
  uint32_t length = 4;
  EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, out), aErrOverrun);
  EXPECT_EQ(length, 5u);
  length = sizeof(out);
  ASSERT_EQ(aPacketLog_Get(log.get(), &type, &length, out), aErrNone);
  EXPECT_EQ(type, 3);
  EXPECT_EQ(0, memcmp(out, "START", 5));
}

TEST(aPacketLog, DestroyOfNullIsNoError) {
  aPacketLog* log = nullptr;
  EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
  log = aPacketLog_Create(32);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
  EXPECT_EQ(log, nullptr);
}

}  // namespace
