// Discovery records and helpers that need no network: record life cycle,
// address text, the multicast calls' answers for null sockets.
#include <cstring>
#include <string>

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "common/aMulticast.h"
#include "common/discover.h"

namespace {

TEST(LinkSpec, CreateCopyDestroy) {
  linkSpec* record = aLinkSpec_Create(TCPIP);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->type, TCPIP);
  record->serialNumber = 0x1234ABCD;
  linkSpec* copy = aLinkSpec_Copy(*record);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(memcmp(copy, record, sizeof(linkSpec)), 0);
  EXPECT_EQ(aLinkSpec_Destroy(&record), aErrNone);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&record), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
  aLinkSpec_Destroy(&copy);
}

TEST(Discovery, ConvertIPv4InterfaceNeedsRoomForTheLongestAddress) {
  const uint32_t longest = inet_addr("255.255.255.255");
  char text[32];
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(longest, text, 15), 0u);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(longest, nullptr, 32), 0u);
  ASSERT_EQ(aDiscovery_ConvertIPv4Interface(longest, text, 16), 15u);
  EXPECT_STREQ(text, "255.255.255.255");
  ASSERT_EQ(aDiscovery_ConvertIPv4Interface(inet_addr("198.18.0.1"), text, sizeof(text)), 10u);
  EXPECT_STREQ(text, "198.18.0.1");
}

TEST(Discovery, NoSearchWithoutACallbackOrForOtherLinkTypes) {
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, nullptr, 0), 0u);
  for (linkType type : {INVALID, SERIAL, RECOVER})
    EXPECT_EQ(aDiscovery_FindFirstModule(type, 0), nullptr) << type;
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 4), 0u);
}

TEST(Multicast, NullSocketsAnswerMinusTwo) {
  char buffer[4] = {};
  EXPECT_EQ(aMulticast_Send(nullptr, buffer, sizeof(buffer)), -2);
  EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof(buffer)), -2);
  aMulticastRef none = nullptr;
  EXPECT_EQ(aMulticast_Destroy(&none), aErrParam);
  EXPECT_EQ(aMulticast_Destroy(nullptr), aErrParam);
}

}  // namespace

namespace {

linkSpec Announcement(uint32_t serial, uint32_t port, const char* address) {
  linkSpec r = linkSpec();
  r.type = ALANET;
  r.serialNumber = serial;
  r.model = 13;
  r.port = port;
  const uint32_t a = inet_addr(address);
  std::memcpy(r.address, &a, sizeof(a));
  return r;
}

// A module's 16-byte answer to the TCP/IP search: fields least significant
// byte first, the sender's address as the record's.
TEST(TcpipAnswer, SixteenBytesGiveTheModulesRecord) {
  const uint8_t answer[17] = {2, 4, 0x28, 0x23, 0x9A, 0x84, 0xF5, 0x40, 0, 0, 0, 0, 17, 0, 0, 0, 9};
  const uint32_t from = inet_addr("10.0.0.7");
  linkSpec record;
  ASSERT_TRUE(aDiscovery_ParseTCPIPAnswer(answer, 16, from, &record));
  EXPECT_EQ(record.type, TCPIP);
  EXPECT_EQ(record.serialNumber, 0x40F5849Au);
  EXPECT_EQ(record.routerSerialNumber, 0x40F5849Au);
  EXPECT_EQ(record.moduleAddress, 4u);
  EXPECT_EQ(record.port, 9000u);
  EXPECT_EQ(record.model, 17u);
  EXPECT_EQ(memcmp(record.address, &from, 4), 0);
  for (size_t size : {size_t(0), size_t(15), size_t(17)})
    EXPECT_FALSE(aDiscovery_ParseTCPIPAnswer(answer, size, from, &record)) << size;
  EXPECT_FALSE(aDiscovery_ParseTCPIPAnswer(nullptr, 16, from, &record));
}

TEST(SharedLinkAnnouncement, OnlyOneWholeRecordOfASharedLinkWithAPortCounts) {
  const linkSpec good = Announcement(0x1234ABCDu, 50123, "127.0.0.1");
  linkSpec wrongType = good;
  wrongType.type = USB;
  struct Case {
    const char* what;
    linkSpec record;
    size_t size;
    bool accepted;
  } cases[] = {
      {"whole record", good, sizeof(linkSpec), true},
      {"one byte short", good, sizeof(linkSpec) - 1, false},
      {"one byte long", good, sizeof(linkSpec) + 1, false},
      {"service name", good, 17, false},
      {"empty", good, 0, false},
      {"port 0", Announcement(1, 0, "127.0.0.1"), sizeof(linkSpec), false},
      {"port above 16 bits", Announcement(1, 0x10000u, "127.0.0.1"), sizeof(linkSpec), false},
      {"port 65535", Announcement(1, 0xFFFFu, "127.0.0.1"), sizeof(linkSpec), true},
      {"USB record", wrongType, sizeof(linkSpec), false},
  };
  for (const Case& c : cases) {
    uint8_t bytes[sizeof(linkSpec) + 1] = {};
    std::memcpy(bytes, &c.record, sizeof(linkSpec));
    linkSpec out = linkSpec();
    EXPECT_EQ(aDiscovery_ParseAnnouncement(bytes, c.size, &out), c.accepted) << c.what;
    if (c.accepted) {
      EXPECT_EQ(std::memcmp(&out, &c.record, sizeof(out)), 0) << c.what;
    }
  }
  linkSpec out;
  EXPECT_FALSE(aDiscovery_ParseAnnouncement(nullptr, sizeof(linkSpec), &out));
  EXPECT_FALSE(aDiscovery_ParseAnnouncement(&good, sizeof(linkSpec), nullptr));
}

TEST(SharedLinkAnnouncement, LocalModeTakesLoopbackOrTheBeaconsOwnAddress) {
  const uint32_t host = inet_addr("198.18.0.1");
  EXPECT_TRUE(aDiscovery_LocalAnnouncement(Announcement(1, 1, "127.0.0.1"), host));
  EXPECT_TRUE(aDiscovery_LocalAnnouncement(Announcement(1, 1, "198.18.0.1"), host));
  EXPECT_FALSE(aDiscovery_LocalAnnouncement(Announcement(1, 1, "198.18.0.2"), host));
  EXPECT_FALSE(aDiscovery_LocalAnnouncement(Announcement(1, 1, "0.0.0.0"), 0));
}

TEST(SharedLinkSearch, WithoutACallbackFindsNothing) {
  EXPECT_EQ(aDiscovery_Enumerate_aLanetModules(nullptr, nullptr, 0), 0u);
  EXPECT_EQ(aDiscovery_EnumerateLocalShared(nullptr, nullptr), 0u);
  EXPECT_EQ(aDiscovery_EnumerateBeacons(nullptr, nullptr, inet_addr("198.18.0.1")), 0u);
}

}  // namespace
