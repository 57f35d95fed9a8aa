// The simulated i.MX boot ROM driven with raw SDP commands written out by
// hand, over HID reports and over a serial line, with its faults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/SimImxSdp.h"

using ksim::ImxConfig;
using ksim::ImxRom;
using Bytes = std::vector<uint8_t>;

namespace {

// Commands as the host sends them over HID (report id 1 first).
const Bytes kStatus = {1, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kWrite10At100 = {1, 0x04, 0x04, 0x00, 0x00, 0x01, 0x00, 0x20, 0, 0, 0, 10, 0, 0, 0, 0, 0};
const Bytes kJump100 = {1, 0x0B, 0x0B, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kJump200 = {1, 0x0B, 0x0B, 0x00, 0x00, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kReadFuseLow = {1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0};
const Bytes kReadFuseHigh = {1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0};
const Bytes kData10 = {2, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

ImxConfig Config() {
  ImxConfig c;
  c.fingerprint[0] = 0x11111111;
  c.fingerprint[1] = 0x22222222;
  c.fingerprint[2] = 0xAABBCCDD;
  c.fingerprint[3] = 0x01020304;
  return c;
}

std::vector<Bytes> Hid(ImxRom& rom, const std::vector<Bytes>& reports, uint64_t now = 0, uint64_t readAt = 0) {
  for (const Bytes& r : reports) rom.hidWrite(r.data(), r.size(), now);
  std::vector<Bytes> in;
  Bytes one;
  for (int i = 0; i < 16 && rom.hidRead(readAt, one); ++i) in.push_back(one);
  return in;
}

Bytes Report4(uint32_t word) {
  Bytes r(65, 0);
  r[0] = 4;
  for (int i = 0; i < 4; ++i) r[1 + i] = uint8_t(word >> (8 * i));
  return r;
}
const Bytes kSecurity = {3, 0x56, 0x78, 0x78, 0x56};

}  // namespace

TEST(SimImxSdp, HidCommandsAnswerSecurityThenStatusOrData) {
  struct Case {
    const char* name;
    std::vector<Bytes> sent;
    std::vector<Bytes> answered;
  } cases[] = {
      {"status", {kStatus}, {kSecurity, Report4(0xF0F0F0F0)}},
      {"write file in one data report", {kWrite10At100, kData10}, {kSecurity, Report4(0x88888888)}},
      {"write file waits for all its data", {kWrite10At100, {2, 1, 2, 3}}, {}},
      {"fuse low is fingerprint word 3", {kReadFuseLow}, {kSecurity, Report4(0x01020304)}},
      {"fuse high is fingerprint word 2", {kReadFuseHigh}, {kSecurity, Report4(0xAABBCCDD)}},
      {"jump to nothing written", {kJump100}, {kSecurity, Report4(0x33333333)}},
      {"data without a write file", {kData10}, {}},
      {"unknown command", {{1, 0x77, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, {}},
  };
  for (const Case& c : cases) {
    ImxRom rom(Config());
    EXPECT_EQ(Hid(rom, c.sent), c.answered) << c.name;
    EXPECT_EQ(rom.state(), ImxRom::State::Rom) << c.name;
  }
}

TEST(SimImxSdp, LoaderStartsOnlyWhenTheJumpLandsInAWrittenImage) {
  ImxRom rom(Config());
  Hid(rom, {kWrite10At100, kData10});
  EXPECT_EQ(rom.imageAt(0x100), Bytes(kData10.begin() + 1, kData10.end()));
  EXPECT_EQ(Hid(rom, {kJump200}), (std::vector<Bytes>{kSecurity, Report4(0x33333333)}));
  EXPECT_EQ(rom.state(), ImxRom::State::Rom);
  EXPECT_EQ(Hid(rom, {kJump100}), std::vector<Bytes>{kSecurity});
  EXPECT_EQ(rom.state(), ImxRom::State::Started);
  EXPECT_EQ(rom.startAddress(), 0x100u);
  EXPECT_EQ(Hid(rom, {kStatus}), std::vector<Bytes>{});  // the ROM no longer listens
  EXPECT_EQ(rom.stats().jumps, 2u);
  EXPECT_EQ(rom.stats().badJumps, 1u);
  // Power-on: the ROM answers again and the RAM image is gone.
  rom.restart();
  EXPECT_EQ(rom.state(), ImxRom::State::Rom);
  EXPECT_TRUE(rom.imageAt(0x100).empty());
  EXPECT_EQ(Hid(rom, {kJump100}), (std::vector<Bytes>{kSecurity, Report4(0x33333333)}));
}

TEST(SimImxSdp, LoaderPrefixAndSilenceAfterABadJump) {
  ImxConfig c = Config();
  c.loaderPrefix = {9, 9};
  c.silentAfterBadJump = true;
  ImxRom rom(c);
  Hid(rom, {kWrite10At100, kData10});
  Hid(rom, {kJump100});
  EXPECT_EQ(rom.state(), ImxRom::State::Silent);
  EXPECT_EQ(Hid(rom, {kStatus}), std::vector<Bytes>{});
}

TEST(SimImxSdp, SerialLineTakesRawCommandsAndDataInAnyPieces) {
  ImxRom rom(Config());
  // The association word, a write file of 6 bytes at 0x20000400 split
  // mid-command and mid-data, a fuse read, 5 of the bytes read back a byte
  // at a time, and the jump.
  const Bytes stream = {0x23, 0x45, 0x45, 0x23,
                        0x04, 0x04, 0x20, 0x00, 0x04, 0x00, 0x20, 0, 0, 0, 6, 0, 0, 0, 0, 0,
                        0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,
                        0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0,
                        0x01, 0x01, 0x20, 0x00, 0x04, 0x01, 0x08, 0, 0, 0, 5, 0, 0, 0, 0, 0,
                        0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (size_t at = 0; at < stream.size(); at += 5)
    rom.serialReceive(stream.data() + at, std::min<size_t>(5, stream.size() - at), 0);
  EXPECT_EQ(rom.serialTakeDue(0), (Bytes{0x23, 0x45, 0x45, 0x23,
                                         0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88,
                                         0x56, 0x78, 0x78, 0x56, 0xDD, 0xCC, 0xBB, 0xAA,
                                         0x56, 0x78, 0x78, 0x56, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,
                                         0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0}));
  EXPECT_EQ(rom.state(), ImxRom::State::Started);
  EXPECT_EQ(rom.stats().associations, 1u);
  EXPECT_EQ(rom.imageAt(0x20000400), (Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}));
  EXPECT_EQ(rom.stats().dataBytes, 6u);
  EXPECT_EQ(rom.stats().commands.at(0x0404), 1u);
  EXPECT_EQ(rom.stats().commands.at(0x0101), 2u);
}

TEST(SimImxSdp, FaultWordsParseAndRefuse) {
  struct Case { const char* word; bool ok; } cases[] = {
      {"silent", true}, {"incomplete", true}, {"mid-answer", true}, {"mid-answer=3", true},
      {"chatty", true}, {"chatty=5", true}, {"slow=300", true},
      {"slow", false}, {"slow=0", false}, {"mid-answer=0", false}, {"silent=1", false}, {"loud", false},
  };
  for (const Case& c : cases) {
    ksim::ImxFaults f;
    std::string error;
    EXPECT_EQ(f.parse(c.word, error), c.ok) << c.word;
    EXPECT_EQ(error.empty(), c.ok) << c.word;
  }
}

TEST(SimImxSdp, Faults) {
  const Bytes write2k = {1, 0x04, 0x04, 0, 0, 0x10, 0, 0x20, 0, 0, 0x08, 0x00, 0, 0, 0, 0, 0};
  Bytes data1k(1025, 0x5A);
  data1k[0] = 2;
  const std::vector<Bytes> fail = {kSecurity, Report4(0x33333333)};
  const std::vector<Bytes> done = {kSecurity, Report4(0x88888888)};

  struct Case {
    const char* fault;
    std::vector<Bytes> sent;
    std::vector<Bytes> answered;
  } cases[] = {
      {"silent", {kStatus}, {}},
      {"silent", {kReadFuseLow}, {kSecurity, Report4(0x01020304)}},
      {"incomplete", {kWrite10At100, kData10}, fail},
      {"mid-answer", {write2k, data1k}, fail},
      {"mid-answer=2", {write2k, data1k}, {}},
  };
  for (const Case& c : cases) {
    ImxConfig cfg = Config();
    std::string error;
    ASSERT_TRUE(cfg.faults.parse(c.fault, error)) << error;
    ImxRom rom(cfg);
    EXPECT_EQ(Hid(rom, c.sent), c.answered) << c.fault;
  }
  // The mid-transfer answer comes once; the write still completes.
  ImxConfig cfg = Config();
  cfg.faults.midAnswer = 1;
  ImxRom rom(cfg);
  EXPECT_EQ(Hid(rom, {write2k, data1k}), fail);
  EXPECT_EQ(Hid(rom, {data1k}), done);
  EXPECT_EQ(rom.stats().faultsFired.at("mid-answer"), 1u);
}

TEST(SimImxSdp, SlowAndChattyRoms) {
  ImxConfig slow = Config();
  slow.faults.slowMs = 300;
  ImxRom s(slow);
  EXPECT_EQ(Hid(s, {kStatus}, 1000, 1299), std::vector<Bytes>{});
  EXPECT_EQ(s.nextDeadline(), 1300u);
  Bytes r;
  EXPECT_TRUE(s.hidRead(1300, r));

  ImxConfig chatty = Config();
  chatty.faults.chattyMs = 10;
  ImxRom c(chatty);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.hidRead(0, r));  // never an empty read
    EXPECT_EQ(r, Report4(0xF0F0F0F0));
  }
  ImxRom line(chatty);
  EXPECT_EQ(line.serialTakeDue(100).size(), 8u);
  EXPECT_EQ(line.serialTakeDue(130).size(), 8u * 3);  // 110, 120, 130
}

TEST(SimImxSdp, OversizedWriteIsRefusedAndRegisterReadsAreBounded) {
  ImxConfig cfg = Config();
  cfg.ramLimit = 16;
  cfg.registers[0x401F4414] = 0x5A5A5A5A;
  ImxRom rom(cfg);
  const Bytes huge = {1, 0x04, 0x04, 0, 0, 0, 0, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0};
  EXPECT_EQ(Hid(rom, {huge, kData10}), (std::vector<Bytes>{kSecurity, Report4(0x33333333)}));
  EXPECT_EQ(rom.stats().strayData, 1u);
  // 0xFFFFFFFF bytes asked: 64 KB, in 1024 reports of 64 bytes.
  const Bytes many = {1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0};
  rom.hidWrite(many.data(), many.size(), 0);
  std::vector<Bytes> in;
  Bytes one;
  for (int i = 0; i < 2000 && rom.hidRead(0, one); ++i) in.push_back(one);
  ASSERT_EQ(in.size(), 1u + 1024u);
  Bytes expect(65, 0);
  expect[0] = 4;
  expect[1] = 0x04; expect[2] = 0x03; expect[3] = 0x02; expect[4] = 0x01;
  expect[5] = 0x5A; expect[6] = 0x5A; expect[7] = 0x5A; expect[8] = 0x5A;
  expect[17] = 0xDD; expect[18] = 0xCC; expect[19] = 0xBB; expect[20] = 0xAA;
  EXPECT_EQ(in[1], expect);
}
