// The simulated module driven byte by byte, as a scripted host would.
#include <gtest/gtest.h>

#include <vector>

#include "common/aError.h"
#include "sim/SimModule.h"
#include "tests/unit/test_support.h"

using ksim::LinkAction;
using ksim::Module;
using ksim::ModuleConfig;
using ksim::Outgoing;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint64_t kLater = 1000000;

// Sends bytes and collects every byte the module has answered by `later`.
Bytes Talk(Module& m, const Bytes& in, uint64_t now = 0, std::vector<Outgoing>* all = nullptr) {
  m.receive(in.data(), in.size(), now);
  Bytes out;
  for (auto& o : m.takeDue(now + kLater)) {
    out.insert(out.end(), o.bytes.begin(), o.bytes.end());
    if (all) all->push_back(o);
  }
  return out;
}

ModuleConfig Config() {
  ModuleConfig c;
  c.serial = 0x1234ABCD;
  c.model = 13;
  c.version = ksim::PackVersion(2, 11, 0);
  c.build = 4321;
  c.name = "bench";
  c.address = 6;
  return c;
}

uint32_t Sum(const Bytes& b) {
  uint32_t s = 0;
  for (uint8_t x : b) s += x;
  return s;
}

}  // namespace

TEST(SimModule, IdentifyIsAnsweredFromOwnAddressAndForceRouteIsSilent) {
  Module m(Config());
  EXPECT_EQ(Talk(m, {0xAD, 0x00, 0xAD, 0x00}), (Bytes{6, 0, 6, 0}));
  EXPECT_EQ(Talk(m, {0xAF, 0x01, 0x01}), Bytes{});
}

TEST(SimModule, SkipsBytesThatCannotStartAPacket) {
  Module m(Config());
  // 0x05 (odd), 0x00, and a start with length 29 are dropped; identify follows.
  EXPECT_EQ(Talk(m, {0x05, 0x00, 0x06, 29, 0xAD, 0x00}), (Bytes{6, 0}));
}

TEST(SimModule, SystemGetsAnswerValuesBigEndian) {
  Module m(Config());
  EXPECT_EQ(Talk(m, {6, 3, 0x03, 0x48, 0x20}), (Bytes{6, 4, 3, 8, 0, 13}));
  EXPECT_EQ(Talk(m, {6, 3, 0x03, 0x49, 0x20}), (Bytes{6, 7, 3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}));
  EXPECT_EQ(Talk(m, {6, 3, 0x03, 0x47, 0x20}), (Bytes{6, 7, 3, 7, 0, 0x2B, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Talk(m, {6, 3, 0x03, 0x41, 0x20}), (Bytes{6, 4, 3, 1, 0, 6}));
  EXPECT_EQ(Talk(m, {6, 3, 0x03, 0x6B, 0x20}), (Bytes{6, 7, 3, 43, 0, 0, 0, 0x10, 0xE1}));
  EXPECT_EQ(Talk(m, {6, 3, 0x03, 0x6D, 0x20}), (Bytes{6, 7, 3, 45, 0, 0x80, 0, 0, 0}));
}

TEST(SimModule, UnimplementedGetSetAndCallGiveErrorReplies) {
  Module m(Config());
  EXPECT_EQ(Talk(m, {6, 3, 0x03, 0x40 | 50, 0x20}), (Bytes{6, 4, 3, 50, 0x80, aErrUnimplemented}));
  EXPECT_EQ(Talk(m, {6, 4, 0x03, 0x80 | 51, 0x20, 1}), (Bytes{6, 4, 3, 0xC0 | 51, 0x80, aErrUnimplemented}));
  EXPECT_EQ(Talk(m, {6, 3, 0x03, 0x80 | 52, 0x20}), (Bytes{6, 4, 3, 0xC0 | 52, 0x80, aErrUnimplemented}));
  // An unknown entity class with UEI payload.
  EXPECT_EQ(Talk(m, {6, 3, 40, 0x41, 0x20}), (Bytes{6, 4, 40, 1, 0x80, aErrUnimplemented}));
  // A wrong index.
  EXPECT_EQ(Talk(m, {6, 3, 0x03, 0x48, 0x21}), (Bytes{6, 4, 3, 8, 0x81, aErrIndexRange}));
}

TEST(SimModule, SetsAreAcknowledgedAndStored) {
  Module m(Config());
  EXPECT_EQ(Talk(m, {6, 4, 3, 0x82, 0x20, 10}), (Bytes{6, 3, 3, 0xC2, 0}));
  EXPECT_EQ(Talk(m, {6, 3, 3, 0x42, 0x20}), (Bytes{6, 4, 3, 2, 0, 10}));
  EXPECT_EQ(Talk(m, {6, 4, 3, 0x84, 0x20, 7}), (Bytes{6, 3, 3, 0xC4, 0}));
  EXPECT_EQ(Talk(m, {6, 3, 3, 0x44, 0x20}), (Bytes{6, 4, 3, 4, 0, 1}));
}

TEST(SimModule, NameTravelsAsByteArrayRuns) {
  ModuleConfig c = Config();
  c.name = std::string(30, 'n');
  Module m(c);
  Bytes out = Talk(m, {6, 3, 3, 0x60, 0x20});
  ASSERT_EQ(out.size(), 2u + 28 + 2 + 10u);
  EXPECT_EQ(out[1], 28);
  EXPECT_EQ(out[2 + 27], 0x80);  // more follows, packet 0
  EXPECT_EQ(out[30 + 1], 10);    // 6 payload bytes + 4
  EXPECT_EQ(out.back(), 0x01);   // last, packet 1

  // Setting a 26-byte name in two packets, then reading it back.
  Bytes set1{6, 28, 3, 0xA0, 0x20};
  for (int i = 0; i < 24; ++i) set1.push_back('a' + i);
  set1.push_back(0x80);
  EXPECT_EQ(Talk(m, set1), Bytes{});
  EXPECT_EQ(Talk(m, {6, 6, 3, 0xA0, 0x20, 'y', 'z', 0x01}), (Bytes{6, 3, 3, 0xE0, 0}));
  out = Talk(m, {6, 3, 3, 0x60, 0x20});
  ASSERT_EQ(out.size(), 30u + 8u);
  EXPECT_EQ(out[30 + 5], 'y');

  // A run that skips a packet number is refused.
  EXPECT_EQ(Talk(m, {6, 5, 3, 0xA0, 0x20, 'q', 0x81}), (Bytes{6, 4, 3, 0xE0, 0x80, aErrPacket}));
}

TEST(SimModule, NameIsOnlyAnsweredFromFirmware2_10_4) {
  ModuleConfig c = Config();
  c.version = ksim::PackVersion(2, 10, 3);
  Module old(c);
  EXPECT_EQ(Talk(old, {6, 3, 3, 0x60, 0x20}), (Bytes{6, 4, 3, 32, 0x80, aErrUnimplemented}));
  c.version = ksim::PackVersion(2, 10, 4);
  Module named(c);
  EXPECT_EQ(Talk(named, {6, 3, 3, 0x60, 0x20}), (Bytes{6, 9, 3, 32, 0, 'b', 'e', 'n', 'c', 'h', 0}));
}

TEST(SimModule, InventoryAnswersBuildAndUEIQuestions) {
  Module m(Config());
  EXPECT_EQ(Talk(m, {6, 2, 73, 0xFF}), (Bytes{6, 6, 73, 0xFF, 0, 0, 0x10, 0xE1}));
  EXPECT_EQ(Talk(m, {6, 6, 73, 1, 95, 10, 0, 0x80}), (Bytes{6, 6, 73, 1, 95, 10, 0, 0}));
  EXPECT_EQ(Talk(m, {6, 6, 73, 1, 3, 50, 0, 0x40}), (Bytes{6, 6, 73, 1, 3, 50, 0, 1}));
  ModuleConfig c = Config();
  c.ueiData = false;
  Module plain(c);
  EXPECT_EQ(Talk(plain, {6, 6, 73, 1, 95, 10, 0, 0x80}), (Bytes{6, 6, 73, 1, 95, 10, 0, 1}));
}

TEST(SimModule, ResetAcknowledgesThenDropsTheLink) {
  ModuleConfig c = Config();
  c.resetAwayMs = 250;
  Module m(c);
  std::vector<Outgoing> all;
  EXPECT_EQ(Talk(m, {6, 3, 3, 0x8B, 0x20}, 0, &all), (Bytes{6, 3, 3, 0xCB, 0}));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].action, LinkAction::Drop);
  EXPECT_EQ(all[1].awayMs, 250u);
}

TEST(SimModule, HeartbeatsAreSentAndTheirRepliesChecked) {
  ModuleConfig c = Config();
  c.heartbeatMs = 100;
  Module m(c);
  m.linkUp(0);
  m.tick(50);
  EXPECT_TRUE(m.takeDue(50).empty());
  m.tick(100);
  auto due = m.takeDue(100);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].bytes, (Bytes{6, 2, 0, 0}));
  Talk(m, {6, 2, 0, 2}, 110);
  EXPECT_EQ(m.stats().heartbeatsAnswered, 1u);
  m.tick(200);
  EXPECT_EQ(m.takeDue(200)[0].bytes, (Bytes{6, 2, 0, 1}));
  Talk(m, {6, 2, 0, 2}, 210);  // wrong: should be 3
  EXPECT_EQ(m.stats().heartbeatsWrong, 1u);
  m.tick(300);
  EXPECT_EQ(m.stats().heartbeatsMissed, 1u);
  // The missed beat's reply after the next beat went out is late, not wrong.
  m.takeDue(300);
  Talk(m, {6, 2, 0, 3}, 310);
  EXPECT_EQ(m.stats().heartbeatsLate, 1u);
  EXPECT_EQ(m.stats().heartbeatsWrong, 1u);
}

TEST(SimModule, StrictHeartbeatsDropTheLinkAfterThreeMisses) {
  ModuleConfig c = Config();
  c.heartbeatMs = 10;
  c.faults.heartbeatStrict = true;
  Module m(c);
  m.linkUp(0);
  bool dropped = false;
  for (uint64_t t = 10; t <= 60 && !dropped; t += 10) {
    m.tick(t);
    for (auto& o : m.takeDue(t)) dropped |= o.action == LinkAction::Drop;
  }
  EXPECT_TRUE(dropped);
  EXPECT_EQ(m.stats().heartbeatsMissed, 3u);
}

TEST(SimModule, MuteModuleNeverAnswers) {
  ModuleConfig c = Config();
  c.faults.mute = true;
  Module m(c);
  EXPECT_EQ(Talk(m, {0xAD, 0, 6, 3, 3, 0x48, 0x20}), Bytes{});
}

TEST(SimModule, LatencyDelaysReplies) {
  ModuleConfig c = Config();
  c.faults.latencyMs = 30;
  Module m(c);
  Bytes id{0xAD, 0};
  m.receive(id.data(), id.size(), 100);
  EXPECT_TRUE(m.takeDue(129).empty());
  EXPECT_EQ(m.nextDeadline(), 130u);
  EXPECT_EQ(m.takeDue(130).size(), 1u);
}

// Fractions of a millisecond are kept to the microsecond, from the
// microsecond the request came in.
TEST(SimModule, FractionalLatencyIsTimedInMicroseconds) {
  struct Row { const char* word; bool ok; const char* described; uint64_t dueUs; };
  const Row rows[] = {
      {"latency=0.25", true, "latency=0.25", 100350},
      {"latency=5", true, "latency=5", 105100},
      {"latency=1.5", true, "latency=1.5", 101600},
      {"latency=0.001", true, "latency=0.001", 100101},
      {"latency=1.2345", false, "", 0},
      {"latency=.5", false, "", 0},
      {"latency=0.", false, "", 0},
      {"latency=-1", false, "", 0},
      {"latency=3600001", false, "", 0},
  };
  for (const Row& r : rows) {
    ModuleConfig c = Config();
    std::string err;
    ASSERT_EQ(c.faults.parse(r.word, err), r.ok) << r.word << ": " << err;
    if (!r.ok) continue;
    EXPECT_EQ(c.faults.describe(), r.described);
    Module m(c);
    Bytes id{0xAD, 0};
    m.receiveUs(id.data(), id.size(), 100100);
    EXPECT_EQ(m.nextDeadlineUs(), r.dueUs) << r.word;
    EXPECT_TRUE(m.takeDueUs(r.dueUs - 1).empty()) << r.word;
    EXPECT_EQ(m.takeDueUs(r.dueUs).size(), 1u) << r.word;
  }
}

TEST(SimModule, RouterRelaysToItsBusAfterRouteToMe) {
  ModuleConfig rc = Config();
  rc.address = 2;
  Module router(rc);
  ModuleConfig bc = Config();
  bc.address = 8;
  bc.serial = 0x0000BEEF;
  Module bus(bc);
  router.attachBusModule(&bus);
  // I2C probe: two zero bytes written to a bus address.
  EXPECT_EQ(Talk(router, {2, 7, 8, 0, 8, 2, 3, 0, 0}), (Bytes{2, 5, 8, 0, 8, 0, 0}));
  EXPECT_EQ(Talk(router, {2, 7, 8, 0, 10, 2, 3, 0, 0}), (Bytes{2, 5, 8, 0, 10, 0, 0x80 | aErrNotFound}));
  // Before route to me nothing reaches the bus module.
  EXPECT_EQ(Talk(router, {8, 3, 3, 0x49, 0x20}), Bytes{});
  EXPECT_EQ(Talk(router, {2, 4, 3, 0x94, 0x20, 1}), (Bytes{2, 3, 3, 0xD4, 0}));
  EXPECT_EQ(Talk(router, {8, 3, 3, 0x49, 0x20}), (Bytes{8, 7, 3, 9, 0, 0, 0, 0xBE, 0xEF}));
  EXPECT_EQ(Talk(router, {8, 3, 3, 0x42, 0x20}), (Bytes{8, 4, 3, 2, 0, 2}));
  // Identify is the router's own.
  EXPECT_EQ(Talk(router, {0xAD, 0}), (Bytes{2, 0}));
  EXPECT_EQ(Talk(router, {2, 4, 3, 0x94, 0x20, 0}), (Bytes{2, 3, 3, 0xD4, 0}));
  EXPECT_EQ(Talk(router, {8, 3, 3, 0x49, 0x20}), Bytes{});
}

// The upgrade command set, step by step.
class SimUpgrade : public ::testing::Test {
 protected:
  Bytes Data(const Bytes& chunk) {
    Bytes p{6, uint8_t(chunk.size() + 2), 95, 1};
    p.insert(p.end(), chunk.begin(), chunk.end());
    return p;
  }
  Bytes Prepare(uint32_t addr) {
    return {6, 7, 95, 3, 0, uint8_t(addr >> 24), uint8_t(addr >> 16), uint8_t(addr >> 8), uint8_t(addr)};
  }
  Bytes SumReply(uint32_t s) {
    return {6, 7, 95, 7, 0, uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)};
  }
  Bytes Chunk(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7);
    return b;
  }
  // Sends `data` as DATA packets of at most 26 bytes; expects every ack.
  void SendData(Module& m, const Bytes& data) {
    for (size_t pos = 0; pos < data.size(); pos += 26) {
      Bytes part(data.begin() + pos, data.begin() + std::min(data.size(), pos + 26));
      ASSERT_EQ(Talk(m, Data(part)), (Bytes{6, 3, 95, 1, uint8_t(part.size())}));
    }
  }
  ModuleConfig cfg = Config();
};

TEST_F(SimUpgrade, InitPrepareDataSumWriteFillTheFlash) {
  Module m(cfg);
  EXPECT_EQ(Talk(m, {6, 2, 95, 0}), (Bytes{6, 6, 95, 0, 0x10, 0, 0, 0}));
  EXPECT_EQ(Talk(m, Prepare(0x8000)), (Bytes{6, 5, 95, 7, 0, 0x02, 0x00}));
  Bytes a = Chunk(512, 1), b = Chunk(488, 9);
  SendData(m, a);
  EXPECT_EQ(Talk(m, {6, 2, 95, 4}), SumReply(Sum(a)));
  EXPECT_EQ(Talk(m, {6, 4, 95, 5, 0x02, 0x00}), (Bytes{6, 3, 95, 7, 0}));
  SendData(m, b);
  EXPECT_EQ(Talk(m, {6, 2, 95, 4}), SumReply(Sum(b)));  // the sum restarts after WRITE
  EXPECT_EQ(Talk(m, {6, 4, 95, 5, 0x01, 0xE8}), (Bytes{6, 3, 95, 7, 0}));
  Bytes all = a;
  all.insert(all.end(), b.begin(), b.end());
  EXPECT_EQ(m.flash().read(0x8000, 1000), all);
  EXPECT_EQ(m.flash().lowest(), 0x8000u);
  // A WRITE whose length does not match what is pending is refused.
  SendData(m, Chunk(10, 3));
  EXPECT_EQ(Talk(m, {6, 4, 95, 5, 0x00, 0x09}), (Bytes{6, 3, 95, 7, 1}));
}

TEST_F(SimUpgrade, ByteArrayDataCarriesAWholeChunk) {
  Module m(cfg);
  Talk(m, Prepare(0x100));
  Bytes chunk = Chunk(50, 4);
  Bytes out;
  for (int k = 0; k < 3; ++k) {
    size_t n = k < 2 ? 24 : 2;
    Bytes p{6, uint8_t(n + 4), 95, 0x8A, 0x20};
    p.insert(p.end(), chunk.begin() + k * 24, chunk.begin() + k * 24 + n);
    p.push_back(uint8_t((k < 2 ? 0x80 : 0) | k));
    out = Talk(m, p);
  }
  EXPECT_EQ(out, (Bytes{6, 3, 95, 0xCA, 0}));
  EXPECT_EQ(Talk(m, {6, 2, 95, 4}), SumReply(Sum(chunk)));
  EXPECT_EQ(Talk(m, {6, 4, 95, 5, 0, 50}), (Bytes{6, 3, 95, 7, 0}));
  EXPECT_EQ(m.flash().read(0x100, 50), chunk);
}

TEST_F(SimUpgrade, LoadAnswersAndEntersTheLoaderRebootDropsTheLink) {
  cfg.loaderDeadead = true;
  cfg.rebootAwayMs = 700;
  cfg.newVersion = ksim::PackVersion(2, 12, 1);
  Module m(cfg);
  Talk(m, Prepare(0x2000));
  SendData(m, Chunk(60, 2));
  std::vector<Outgoing> all;
  EXPECT_EQ(Talk(m, {6, 2, 95, 2}, 0, &all), (Bytes{6, 2, 95, 2}));
  EXPECT_EQ(all.back().action, LinkAction::EnterLoader);
  EXPECT_TRUE(m.inLoader());
  EXPECT_EQ(m.presentedSerial(), 0xDEADDEADu);
  EXPECT_EQ(m.loaderMemory().read(0x2000, 60), Chunk(60, 2));
  all.clear();
  EXPECT_EQ(Talk(m, {6, 2, 95, 6}, 0, &all), Bytes{});
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].action, LinkAction::Drop);
  EXPECT_EQ(all[0].awayMs, 700u);
  EXPECT_FALSE(m.inLoader());
  EXPECT_EQ(m.presentedSerial(), 0x1234ABCDu);
  EXPECT_EQ(m.version(), ksim::PackVersion(2, 12, 1));
}

TEST_F(SimUpgrade, FaultsShowAsTheHostWillSeeThem) {
  std::string err;
  for (const char* f : {"drop-data-ack=2", "wrong-data-count", "wrong-sum", "init-short"})
    ASSERT_TRUE(cfg.faults.parse(f, err)) << err;
  Module m(cfg);
  EXPECT_EQ(Talk(m, {6, 2, 95, 0}), (Bytes{6, 5, 95, 0, 0x10, 0, 0}));
  Talk(m, Prepare(0));
  Bytes c = Chunk(26, 1);
  EXPECT_EQ(Talk(m, Data(c)), (Bytes{6, 3, 95, 1, 25}));  // refused once, not taken
  EXPECT_EQ(Talk(m, Data(c)), (Bytes{6, 3, 95, 1, 26}));
  EXPECT_EQ(Talk(m, Data(c)), Bytes{});                  // the second DATA packet taken: no ack
  EXPECT_EQ(Talk(m, Data(c)), (Bytes{6, 3, 95, 1, 26}));
  EXPECT_EQ(Talk(m, {6, 2, 95, 4}), SumReply(3 * Sum(c) + 1));
  EXPECT_EQ(Talk(m, {6, 2, 95, 4}), SumReply(3 * Sum(c)));  // only once

  ModuleConfig c2 = Config();
  ASSERT_TRUE(c2.faults.parse("prepare-status", err));
  ASSERT_TRUE(c2.faults.parse("block-size-0", err));
  ASSERT_TRUE(c2.faults.parse("no-load-reply", err));
  ASSERT_TRUE(c2.faults.parse("disconnect-after=30", err));
  Module m2(c2);
  EXPECT_EQ(Talk(m2, Prepare(0)), (Bytes{6, 5, 95, 7, 1, 0, 0}));
  std::vector<Outgoing> all;
  Talk(m2, Data(c), 0, &all);
  EXPECT_EQ(all.size(), 1u);  // 26 bytes: still connected
  all.clear();
  Talk(m2, Data(c), 0, &all);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].action, LinkAction::Drop);
  all.clear();
  EXPECT_EQ(Talk(m2, {6, 2, 95, 2}, 0, &all), Bytes{});
  EXPECT_EQ(all.back().action, LinkAction::EnterLoader);
}

TEST(SimFaults, ParseRejectsUnknownWordsAndBadValues) {
  ksim::Faults f;
  std::string err;
  EXPECT_FALSE(f.parse("explode", err));
  EXPECT_NE(err.find("unknown fault"), std::string::npos);
  EXPECT_FALSE(f.parse("latency=abc", err));
  EXPECT_FALSE(f.parse("latency", err));
  EXPECT_FALSE(f.parse("wrong-sum=0", err));
  EXPECT_FALSE(f.parse("drop-data-ack=0", err));
  EXPECT_TRUE(f.parse("latency=5", err));
  EXPECT_TRUE(f.parse("drop-data-ack", err));
  EXPECT_EQ(f.describe(), "latency=5, drop-data-ack=1");
}

TEST(SimFlash, DumpFillsGapsAndMergesOverlaps) {
  testsupport::TempDir dir;
  ksim::Flash f;
  f.write(0x10, {1, 2, 3});
  f.write(0x14, {5});
  f.write(0x11, {9, 9});
  EXPECT_EQ(f.read(0x10, 5), (Bytes{1, 9, 9, 0xFF, 5}));
  std::string err;
  ASSERT_TRUE(f.dump(dir.join("flash.bin"), err)) << err;
  std::string s = testsupport::ReadFile(dir.join("flash.bin"));
  EXPECT_EQ(Bytes(s.begin(), s.end()), (Bytes{1, 9, 9, 0xFF, 5}));
  EXPECT_FALSE(f.dump(dir.join("no/such/dir/flash.bin"), err));
  EXPECT_NE(err.find("cannot"), std::string::npos);
}
