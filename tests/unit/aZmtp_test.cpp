// The message sockets' wire protocol: greetings, frames and the commands a
// connection needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/aZmtp.h"

namespace {

std::string Greeting() {
  uint8_t g[aZMTP_GREETING_SIZE];
  aZmtp_Greeting(g, false);
  return std::string(reinterpret_cast<const char*>(g), sizeof(g));
}

bool GreetingOk(const std::string& g) {
  return aZmtp_GreetingOk(reinterpret_cast<const uint8_t*>(g.data()));
}

TEST(Zmtp, GreetingsTakenAndRefused) {
  EXPECT_TRUE(GreetingOk(Greeting()));
  struct Case {
    size_t at;
    char value;
    bool ok;
  };
  const Case cases[] = {
      {0, 0x00, false},  // no signature
      {9, 0x7E, false},  // the oldest protocol, without a version
      {10, 2, false},    // version 2
      {10, 4, true},     // a later version speaks ours
      {11, 0, true},     // 3.0
      {12, 'P', false},  // PLAIN
      {16, 'X', false},  // NULLX
      {8, 0x00, true},   // padding is not looked at
  };
  for (const Case& c : cases) {
    std::string g = Greeting();
    g[c.at] = c.value;
    EXPECT_EQ(GreetingOk(g), c.ok) << "byte " << c.at;
  }
}

TEST(Zmtp, FramesComeOutWholeInAnyPieces) {
  std::string wire = Greeting();
  aZmtp_AppendReady(&wire, "DEALER");
  aZmtp_AppendFrame(&wire, "\x02\x00", 2, true);
  aZmtp_AppendFrame(&wire, nullptr, 0);
  const std::string big(300, 'b');  // a long frame
  aZmtp_AppendFrame(&wire, big.data(), big.size());
  for (size_t step : {size_t(1), size_t(7), wire.size()}) {
    aZmtpReader reader;
    std::vector<aZmtpFrame> frames;
    bool greeted = false;
    for (size_t at = 0; at < wire.size(); at += step) {
      reader.add(reinterpret_cast<const uint8_t*>(wire.data() + at),
                 std::min(step, wire.size() - at));
      if (!greeted) {
        const auto r = reader.greeting();
        ASSERT_NE(r, aZmtpReader::kBad);
        if (r == aZmtpReader::kNeedMore) continue;
        greeted = true;
      }
      aZmtpFrame f;
      aZmtpReader::Result r;
      while ((r = reader.next(&f)) == aZmtpReader::kFrame) frames.push_back(f);
      ASSERT_EQ(r, aZmtpReader::kNeedMore);
    }
    ASSERT_EQ(frames.size(), 4u) << "step " << step;
    std::string name, body, type;
    EXPECT_TRUE(frames[0].command);
    ASSERT_TRUE(aZmtp_ParseCommand(frames[0].body, &name, &body));
    EXPECT_EQ(name, "READY");
    ASSERT_TRUE(aZmtp_ReadySocketType(body, &type));
    EXPECT_EQ(type, "DEALER");
    EXPECT_TRUE(frames[1].more);
    EXPECT_EQ(frames[1].body, std::string("\x02\x00", 2));
    EXPECT_TRUE(frames[2].body.empty());
    EXPECT_FALSE(frames[2].more);
    EXPECT_EQ(frames[3].body, big);
    EXPECT_EQ(reader.pending(), 0u);
  }
}

TEST(Zmtp, HostileFramesAreRefused) {
  const std::string cases[] = {
      std::string("\x08\x01x", 3),                               // unknown flag
      std::string("\x02\x00\x00\x00\x00\x00\x01\x00\x01", 9),    // 65537 bytes
      std::string("\x02\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 9),    // 2^64-1 bytes
  };
  for (const std::string& wire : cases) {
    aZmtpReader reader;
    reader.add(reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
    aZmtpFrame f;
    EXPECT_EQ(reader.next(&f), aZmtpReader::kBad);
  }
  std::string name, body, type;
  EXPECT_FALSE(aZmtp_ParseCommand("", &name, &body));
  EXPECT_FALSE(aZmtp_ParseCommand(std::string("\x09READY", 6), &name, &body));
  // Properties whose sizes run past the body.
  EXPECT_FALSE(aZmtp_ReadySocketType(std::string("\x0BSocket-Type\x00\x00\x00\x09ROUTER", 22), &type));
  EXPECT_FALSE(aZmtp_ReadySocketType(std::string("\x20Socket", 7), &type));
  EXPECT_TRUE(aZmtp_ReadySocketType(std::string("\x0Bsocket-type\x00\x00\x00\x06ROUTER", 22), &type));
  EXPECT_EQ(type, "ROUTER");
}

TEST(Zmtp, PongEchoesThePingsContext) {
  EXPECT_EQ(aZmtp_PongFor(std::string("\x00\x0A", 2)), "");
  EXPECT_EQ(aZmtp_PongFor(std::string("\x00\x0A", 2) + "ctx"), "ctx");
  EXPECT_EQ(aZmtp_PongFor(std::string(2, '\0') + std::string(20, 'c')), std::string(16, 'c'));
}

}  // namespace
