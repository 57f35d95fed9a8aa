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
