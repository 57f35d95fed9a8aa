// The simulated LPC boot ROM driven with ISP text as a host would type it:
// synchronisation, echo, every command's return codes, UU-encoded lines and
// checksums both ways, flash AND semantics, copy rules, locks and faults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/SimConfig.h"
#include "sim/SimLpcIsp.h"

using ksim::LpcConfig;
using ksim::LpcIsp;

namespace {

const std::string kRam = "268439552";  // 0x10001000

std::string Say(LpcIsp& rom, const std::string& text, uint64_t nowUs = 0) {
  rom.receive(reinterpret_cast<const uint8_t*>(text.data()), text.size(), nowUs);
  return rom.takeAll();
}

// Synchronised, echo off, optionally unlocked.
void Ready(LpcIsp& rom, bool unlock = true) {
  ASSERT_EQ(Say(rom, "?"), "Synchronized\r\n");
  ASSERT_EQ(Say(rom, "Synchronized\r\n"), "Synchronized\r\nOK\r\n");
  ASSERT_EQ(Say(rom, "14746\r\n"), "14746\r\nOK\r\n");
  ASSERT_EQ(Say(rom, "A 0\r\n"), "A 0\r\n0\r\n");
  if (unlock) {
    ASSERT_EQ(Say(rom, "U 23130\r\n"), "0\r\n");
  }
}

// The test's own line encoder, checked below against hand-written lines.
std::string Uu(const std::vector<uint8_t>& d, size_t from, size_t n) {
  auto c = [](unsigned v) { return v ? char(v + 32) : '`'; };
  std::string s(1, char(n + 32));
  for (size_t i = 0; i < n; i += 3) {
    unsigned w = unsigned(d[from + i]) << 16 | unsigned(i + 1 < n ? d[from + i + 1] : 0) << 8 |
                 unsigned(i + 2 < n ? d[from + i + 2] : 0);
    s += {c(w >> 18), c((w >> 12) & 63), c((w >> 6) & 63), c(w & 63)};
  }
  return s;
}

// W of `data` to RAM, 20 lines per checksum; true when every block took "OK".
bool WriteRam(LpcIsp& rom, const std::vector<uint8_t>& data, const std::string& address = kRam) {
  if (Say(rom, "W " + address + " " + std::to_string(data.size()) + "\r\n") != "0\r\n") return false;
  size_t pos = 0;
  while (pos < data.size()) {
    uint32_t sum = 0;
    for (int line = 0; line < 20 && pos < data.size(); ++line) {
      size_t n = std::min<size_t>(45, data.size() - pos);
      for (size_t i = 0; i < n; ++i) sum += data[pos + i];
      if (!Say(rom, Uu(data, pos, n) + "\r\n").empty()) return false;
      pos += n;
    }
    if (Say(rom, std::to_string(sum) + "\r\n") != "OK\r\n") return false;
  }
  return true;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = uint8_t(seed + i * 7);
  return d;
}

}  // namespace

TEST(SimLpcIsp, SynchronisesOnlyOnTheExactTexts) {
  LpcIsp rom(LpcConfig{});
  EXPECT_EQ(Say(rom, "xyz\r\n"), "");  // nothing before "?"
  EXPECT_EQ(Say(rom, "?"), "Synchronized\r\n");
  EXPECT_EQ(Say(rom, "Synchronised\r\n"), "Synchronised\r\n");  // echoed, no OK: back to the start
  EXPECT_EQ(Say(rom, "N\r\n"), "");
  EXPECT_EQ(Say(rom, "?"), "Synchronized\r\n");
  EXPECT_EQ(Say(rom, "Synchronized\r\n"), "Synchronized\r\nOK\r\n");
  EXPECT_EQ(Say(rom, "fast\r\n"), "fast\r\n");  // not a crystal frequency
  EXPECT_EQ(rom.stats().syncs, 0u);
  Ready(rom);
  EXPECT_EQ(rom.stats().syncs, 1u);
}

TEST(SimLpcIsp, EchoesUntilTurnedOffAndAnswersAUnderTheOldSetting) {
  LpcIsp rom(LpcConfig{});
  Say(rom, "?");
  Say(rom, "Synchronized\r\n");
  Say(rom, "14746\r\n");
  EXPECT_EQ(Say(rom, "K\r\n"), "K\r\n0\r\n4\r\n1\r\n");
  EXPECT_EQ(Say(rom, "A 0\r\n"), "A 0\r\n0\r\n");
  EXPECT_EQ(Say(rom, "A 1\r\n"), "0\r\n");
  EXPECT_EQ(Say(rom, "A 2\r\n"), "A 2\r\n12\r\n");
  EXPECT_TRUE(rom.echo());
}

TEST(SimLpcIsp, IdentifierPartNumberAndBootVersionAreConfigurable) {
  LpcConfig c;
  c.id[0] = 1;
  c.id[1] = 0xFFFFFFFF;
  c.id[2] = 0;
  c.id[3] = 0x2A;
  c.partNumber = 0x26013F37;
  c.bootMajor = 2;
  c.bootMinor = 7;
  LpcIsp rom(c);
  Ready(rom, false);
  EXPECT_EQ(Say(rom, "N\r\n"), "0\r\n1\r\n4294967295\r\n0\r\n42\r\n");
  EXPECT_EQ(Say(rom, "J\r\n"), "0\r\n637615927\r\n");
  EXPECT_EQ(Say(rom, "K\r\n"), "0\r\n2\r\n7\r\n");
}

TEST(SimLpcIsp, CommandsAnswerTheirReturnCodes) {
  struct Case {
    bool unlock;
    std::vector<std::string> before;
    std::string command;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {false, {}, "U 1", "16"},
      {false, {}, "U 23130", "0"},
      {false, {}, "U x", "12"},
      {false, {}, "X 1", "1"},
      {false, {}, "QQ", "1"},
      {false, {}, "B 115200 1", "0"},
      {false, {}, "B 1000 1", "17"},
      {false, {}, "B 9600 3", "18"},
      {false, {}, "P 0 29", "0"},
      {false, {}, "P 0 30", "7"},
      {false, {}, "P 3 2", "7"},
      {false, {}, "P 0", "12"},
      {false, {"P 0 0"}, "E 0 0", "15"},  // locked
      {true, {}, "E 0 0", "9"},            // no prepare
      {true, {"P 0 1"}, "E 0 2", "9"},     // outside the prepared range
      {true, {"P 0 1"}, "E 1 1", "0"},
      {true, {"P 0 1", "E 0 1"}, "E 0 1", "9"},  // the prepare is used up
      {true, {"U 4"}, "E 0 0", "15"},            // a wrong code locks again
      {false, {}, "W 268439553 4", "13"},
      {false, {}, "W 268439552 6", "6"},
      {false, {}, "W 268439552 0", "6"},
      {false, {}, "W 0 4", "14"},
      {false, {}, "W 268435456 4", "14"},  // the ROM's own RAM
      {false, {}, "W 268500988 8", "14"},  // past the end of RAM
      {false, {}, "R 2 4", "13"},
      {false, {}, "R 0 3", "6"},
      {false, {}, "R 524284 8", "14"},
      {false, {"P 0 0"}, "C 0 268439552 256", "15"},
      {true, {"P 0 0"}, "C 1 268439552 256", "3"},
      {true, {"P 0 0"}, "C 0 268439554 256", "2"},
      {true, {"P 0 0"}, "C 0 4096 256", "4"},
      {true, {"P 29 29"}, "C 524032 268439552 512", "5"},
      {true, {"P 0 0"}, "C 0 268439552 2048", "6"},
      {true, {"P 0 0"}, "C 0 268439552 300", "6"},
      {true, {}, "C 0 268439552 256", "9"},
      {true, {"P 0 0"}, "C 3840 268439552 512", "9"},  // runs into sector 1
      {true, {"P 0 1"}, "C 3840 268439552 512", "0"},
      {true, {"P 0 0", "C 0 268439552 256"}, "C 256 268439552 256", "9"},
      {false, {}, "G 0 T", "15"},
      {true, {}, "G 0 A", "12"},
      {true, {}, "G 0", "12"},
      {true, {}, "G 524288 T", "14"},
      {false, {}, "N 1", "12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    LpcIsp rom(LpcConfig{});
    Ready(rom, c.unlock);
    for (const auto& b : c.before) Say(rom, b + "\r\n");
    EXPECT_EQ(Say(rom, c.command + "\r\n"), c.answer + "\r\n");
  }
}

TEST(SimLpcIsp, WriteTakesUuLinesWithAChecksumEveryTwentyLines) {
  LpcIsp rom(LpcConfig{});
  Ready(rom);
  // Hand-written lines first: "Cat" and a 4-byte line of zeros.
  EXPECT_EQ(Uu({'C', 'a', 't'}, 0, 3), "#0V%T");
  EXPECT_EQ(Uu({0, 0, 0, 0}, 0, 4), "$````````");
  EXPECT_EQ(Say(rom, "W " + kRam + " 4\r\n"), "0\r\n");
  EXPECT_EQ(Say(rom, "$0V%T,```\r\n"), "");  // "Cat0"
  EXPECT_EQ(Say(rom, "328\r\n"), "OK\r\n");
  EXPECT_EQ(std::string(rom.ram().begin() + 0x1000, rom.ram().begin() + 0x1004), "Cat0");

  std::vector<uint8_t> data = Pattern(904, 3);  // 21 lines: two checksums
  ASSERT_TRUE(WriteRam(rom, data));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), rom.ram().begin() + 0x1000));
  EXPECT_EQ(rom.stats().checksumsOk, 3u);
  EXPECT_EQ(rom.stats().dataLinesIn, 22u);
  EXPECT_EQ(Say(rom, "N\r\n").substr(0, 3), "0\r\n");  // back to commands
}

TEST(SimLpcIsp, WrongChecksumOrBrokenLineAsksForTheBlockAgain) {
  LpcIsp rom(LpcConfig{});
  Ready(rom);
  std::vector<uint8_t> d = {1, 2, 3, 4};
  const std::vector<std::string> badLines = {"$!\"#$", "$!\"#$!\"#$!", "%!\"#$!```", "$!\"#~!```", ""};
  for (const auto& bad : badLines) {
    SCOPED_TRACE(bad);
    ASSERT_EQ(Say(rom, "W " + kRam + " 4\r\n"), "0\r\n");
    EXPECT_EQ(Say(rom, bad + "\r\n10\r\n"), "RESEND\r\n");
    EXPECT_EQ(Say(rom, Uu(d, 0, 4) + "\r\n9\r\n"), "RESEND\r\n");  // sum off by one
    EXPECT_EQ(rom.ram()[0x1000], 0) << "nothing refused is stored";
    EXPECT_EQ(Say(rom, Uu(d, 0, 4) + "\r\n10\r\n"), "OK\r\n");
    EXPECT_EQ(rom.ram()[0x1003], 4);
    rom = LpcIsp(LpcConfig{});
    Ready(rom);
  }
}

TEST(SimLpcIsp, ReadSendsLinesAndChecksumsAndRepeatsOnResend) {
  LpcIsp rom(LpcConfig{});
  Ready(rom);
  // Erased flash, by hand: FF FF FF | FF 00 00.
  EXPECT_EQ(Say(rom, "R 0 4\r\n"), "0\r\n$_____P``\r\n1020\r\n");
  EXPECT_EQ(Say(rom, "RESEND\r\n"), "$_____P``\r\n1020\r\n");
  EXPECT_EQ(Say(rom, "OK\r\n"), "");
  EXPECT_EQ(rom.stats().resendsAsked, 1u);

  std::vector<uint8_t> data = Pattern(1000, 9);
  ASSERT_TRUE(WriteRam(rom, data));
  std::string first = Say(rom, "R " + kRam + " 1000\r\n");
  std::string expect = "0\r\n";
  uint32_t sum = 0;
  for (size_t pos = 0; pos < 900; pos += 45) {
    expect += Uu(data, pos, 45) + "\r\n";
    for (size_t i = 0; i < 45; ++i) sum += data[pos + i];
  }
  EXPECT_EQ(first, expect + std::to_string(sum) + "\r\n");
  std::string rest = Say(rom, "OK\r\n");
  EXPECT_EQ(rest.substr(0, 63), Uu(data, 900, 45) + "\r\n");
  EXPECT_EQ(Say(rom, "OK\r\n"), "");
  EXPECT_EQ(Say(rom, "J\r\n").substr(0, 3), "0\r\n");
  EXPECT_EQ(rom.stats().dataLinesOut, 2u + 23u);  // the repeated line counts too
}

TEST(SimLpcIsp, CopyProgramsOldAndNewAndFlagsFlashNotErased) {
  for (bool strict : {false, true}) {
    SCOPED_TRACE(strict);
    LpcConfig c;
    c.strictBlank = strict;
    LpcIsp rom(c);
    Ready(rom);
    ASSERT_TRUE(WriteRam(rom, std::vector<uint8_t>(256, 0x0F)));
    EXPECT_EQ(Say(rom, "P 0 0\r\nC 0 " + kRam + " 256\r\n"), "0\r\n0\r\n");
    EXPECT_EQ(rom.flash()[0], 0x0F);
    EXPECT_EQ(rom.flash()[256], 0xFF);
    EXPECT_EQ(rom.stats().nonBlankWrites, 0u);
    ASSERT_TRUE(WriteRam(rom, std::vector<uint8_t>(256, 0xF1)));
    EXPECT_EQ(Say(rom, "P 0 0\r\nC 0 " + kRam + " 256\r\n"), strict ? "0\r\n8\r\n" : "0\r\n0\r\n");
    EXPECT_EQ(rom.flash()[255], strict ? 0x0F : 0x01);
    EXPECT_EQ(rom.stats().nonBlankWrites, 1u);
    EXPECT_EQ(rom.stats().nonBlankBytes, 256u);
    // An erase brings the sector back to 0xFF; a copy then is clean.
    EXPECT_EQ(Say(rom, "P 0 0\r\nE 0 0\r\nP 0 0\r\nC 0 " + kRam + " 256\r\n"), "0\r\n0\r\n0\r\n0\r\n");
    EXPECT_EQ(rom.flash()[0], 0xF1);
    EXPECT_EQ(rom.stats().nonBlankWrites, 1u);
  }
}

TEST(SimLpcIsp, EraseCoversTheSectorLayout) {
  EXPECT_EQ(LpcIsp::SectorOf(0xFFFF), 15);
  EXPECT_EQ(LpcIsp::SectorOf(0x10000), 16);
  EXPECT_EQ(LpcIsp::SectorOf(0x7FFFF), 29);
  EXPECT_EQ(LpcIsp::SectorOf(0x80000), -1);
  LpcIsp rom(LpcConfig{});
  Ready(rom);
  ASSERT_TRUE(WriteRam(rom, std::vector<uint8_t>(4096, 0)));
  for (uint32_t dst : {0x0u, 0xF000u, 0x10000u, 0x17000u, 0x18000u, 0x7F000u})
    Say(rom, "P 0 29\r\nC " + std::to_string(dst) + " " + kRam + " 4096\r\n");
  EXPECT_EQ(Say(rom, "P 15 16\r\nE 15 16\r\n"), "0\r\n0\r\n");
  EXPECT_EQ(rom.flash()[0x0FFF], 0x00);    // sector 0 kept
  EXPECT_EQ(rom.flash()[0xF000], 0xFF);    // sector 15 erased
  EXPECT_EQ(rom.flash()[0x17FFF], 0xFF);   // sector 16 (32 KB) erased
  EXPECT_EQ(rom.flash()[0x18000], 0x00);   // sector 17 kept
  EXPECT_EQ(rom.flash()[0x7F000], 0x00);
  EXPECT_EQ(rom.stats().sectorsErased, 2u);
}

TEST(SimLpcIsp, BothDirectionsArePacedAndAnswersHeldBackByEraseAndProgramming) {
  LpcConfig c;
  c.eraseMs = 100;
  c.programMs = 2;
  LpcIsp rom(c);
  rom.setBitRate(9600);  // 1042 us a character
  uint8_t q = '?';
  rom.receive(&q, 1, 1000);
  // "?" has crossed the line at 1000 + 1042; the first answer character after one more.
  EXPECT_EQ(rom.nextDue(), 1000u + 2u * 1042u);
  EXPECT_EQ(rom.takeDue(1000 + 1042 * 4), "Syn");
  EXPECT_EQ(rom.takeAll(), "chronized\r\n");
  // Twenty characters written at once reach the ROM one character time apart.
  const std::string sync = "Synchronized\r\n14746\r\n";
  rom.receive(reinterpret_cast<const uint8_t*>(sync.data()), sync.size(), 5000000);
  EXPECT_EQ(rom.takeDue(5000000 + 1042 * 2), "S");
  EXPECT_EQ(rom.stats().hostAheadMax, sync.size());
  Say(rom, "A 0\r\nU 23130\r\nP 0 29\r\n");
  const std::string erase = "E 0 29\r\n";
  rom.receive(reinterpret_cast<const uint8_t*>(erase.data()), erase.size(), 10000000);
  // One erase time for the whole range of consecutive sectors.
  EXPECT_GE(rom.nextDue(), 10000000u + 100000u);
  EXPECT_LT(rom.nextDue(), 10000000u + 2u * 100000u);
  EXPECT_EQ(rom.takeAll(), "0\r\n");
  ASSERT_TRUE(WriteRam(rom, std::vector<uint8_t>(4096, 0)));
  const std::string copy = "P 0 0\r\nC 0 " + kRam + " 4096\r\n";
  rom.receive(reinterpret_cast<const uint8_t*>(copy.data()), copy.size(), 20000000);
  EXPECT_EQ(rom.takeDue(20000000 + (copy.size() + 3) * 1042), "0\r\n");
  EXPECT_GE(rom.nextDue(), 20000000u + 16u * 2000u);
}

TEST(SimLpcIsp, CompareFindsTheFirstDifferenceAndACorruptedCopy) {
  LpcConfig cfg;
  std::string error;
  ASSERT_TRUE(cfg.faults.parse("corrupt-copy=2", error)) << error;
  LpcIsp rom(cfg);
  Ready(rom);
  std::vector<uint8_t> data(4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  ASSERT_TRUE(WriteRam(rom, data));
  EXPECT_EQ(Say(rom, "P 0 1\r\nE 0 1\r\nP 0 0\r\nC 0 " + kRam + " 4096\r\n"), "0\r\n0\r\n0\r\n0\r\n");
  EXPECT_EQ(Say(rom, "M 0 " + kRam + " 4096\r\n"), "0\r\n");
  EXPECT_EQ(Say(rom, "P 1 1\r\nC 4096 " + kRam + " 4096\r\n"), "0\r\n0\r\n");  // spoilt, still 0
  const std::string answer = Say(rom, "M 4096 " + kRam + " 4096\r\n");
  ASSERT_EQ(answer.substr(0, 4), "10\r\n");
  const size_t offset = std::stoul(answer.substr(4));
  EXPECT_NE(rom.flash()[4096 + offset], data[offset]);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + long(offset), rom.flash().begin() + 4096));
  struct Case {
    std::string say, expect;
  };
  for (const Case& c : std::vector<Case>{{"M 2 " + kRam + " 4\r\n", "2\r\n"},
                                         {"M 0 268439553 4\r\n", "3\r\n"},
                                         {"M 0 " + kRam + " 6\r\n", "6\r\n"},
                                         {"M 524284 " + kRam + " 8\r\n", "4\r\n"},
                                         {"M 0 4\r\n", "12\r\n"}}) {
    EXPECT_EQ(Say(rom, c.say), c.expect) << c.say;
  }
}

TEST(SimLpcIsp, GoAnswersThenRunsAndHearsNothingMore) {
  LpcIsp rom(LpcConfig{});
  Ready(rom);
  EXPECT_EQ(Say(rom, "G 0 T\r\n"), "0\r\n");
  EXPECT_TRUE(rom.running());
  EXPECT_EQ(Say(rom, "?N\r\nSynchronized\r\n"), "");
}

TEST(SimLpcIsp, FaultsChangeWhatTheHostSees) {
  struct Case {
    std::string fault;
    std::string say;
    std::string expect;
  };
  const std::vector<Case> cases = {
      {"error=E:9", "P 0 0\r\nE 0 0\r\n", "0\r\n9\r\n"},
      {"lpc-error=N:19", "N\r\n", "19\r\n"},
      {"error=W:14", "W 268439552 4\r\n$````````\r\n", "14\r\n1\r\n"},  // the data line is read as a command
      {"error=J:1@2", "J\r\nJ\r\nJ\r\n", "0\r\n638664503\r\n1\r\n0\r\n638664503\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    LpcConfig cfg;
    std::string error;
    ASSERT_TRUE(cfg.faults.parse(c.fault, error)) << error;
    LpcIsp rom(cfg);
    Ready(rom);
    EXPECT_EQ(Say(rom, c.say), c.expect);
    EXPECT_EQ(rom.stats().faultsFired.size(), 1u);
  }
}

TEST(SimLpcIsp, FaultsOnTheOpeningEchoAndChecksums) {
  std::string error;
  LpcConfig silent;
  ASSERT_TRUE(silent.faults.parse("silent", error));
  LpcIsp s(silent);
  EXPECT_EQ(Say(s, "?Synchronized\r\n"), "");

  LpcConfig wrong;
  ASSERT_TRUE(wrong.faults.parse("wrong-sync", error));
  LpcIsp w(wrong);
  EXPECT_EQ(Say(w, "?"), "Synchronised\r\n");

  LpcConfig drop;
  ASSERT_TRUE(drop.faults.parse("drop-echo=2", error));
  LpcIsp d(drop);
  Say(d, "?Synchronized\r\n14746\r\n");
  EXPECT_EQ(Say(d, "J\r\n"), "\r\n0\r\n638664503\r\n");
  EXPECT_EQ(Say(d, "U 23130\r\n"), " 23130\r\n0\r\n");
  EXPECT_EQ(Say(d, "U 23130\r\n"), "U 23130\r\n0\r\n");

  LpcConfig stray;
  ASSERT_TRUE(stray.faults.parse("stray-bytes", error));
  LpcIsp st(stray);
  Say(st, "?Synchronized\r\n14746\r\n");
  EXPECT_EQ(Say(st, "K\r\nK\r\n"), "K\r\n" + std::string("\r\n\0", 3) + "0\r\n4\r\n1\r\nK\r\n0\r\n4\r\n1\r\n");

  LpcConfig resend;
  ASSERT_TRUE(resend.faults.parse("resend=2", error));
  LpcIsp r(resend);
  Ready(r);
  ASSERT_EQ(Say(r, "W " + kRam + " 4\r\n"), "0\r\n");
  for (const char* want : {"RESEND\r\n", "RESEND\r\n", "OK\r\n"}) EXPECT_EQ(Say(r, "$````````\r\n0\r\n"), want);
  EXPECT_EQ(r.stats().resendsSent, 2u);
  EXPECT_EQ(r.stats().faultsFired.at("resend"), 2u);
}

TEST(SimLpcIsp, DescriptionsAreCheckedKeyByKey) {
  struct Case {
    std::string spec;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"id=1:2:3:4,pty_link=/tmp/x,flash_dump=/tmp/f,erase_ms=5", true},
      {"id=0x26113F37:0:0:0xFFFFFFFF,part=1,boot=4.1,program_ms=0,strict_blank=yes,pty", true},
      {"fault=resend=2,fault=stray-bytes=always,fault=error=C:8,fault=silent,fault=drop-echo,fault=wrong-sync", true},
      {"name=rom_1", true},
      {"id=1:2:3", false},
      {"id=1:2:3:0x100000000", false},
      {"id=1:2:3:-4", false},
      {"erase_ms=fast", false},
      {"erase_ms=70000", false},
      {"boot=4", false},
      {"name=a b", false},
      {"pty=no", false},
      {"serial=1234", false},
      {"fault=error=E", false},
      {"fault=error=e:9", false},
      {"fault=error=A:1@2", true},
      {"fault=error=A:1@0", false},
      {"fault=error=A:1@x", false},
      {"fault=resend=0", false},
      {"fault=loud", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    LpcConfig cfg;
    std::string error;
    EXPECT_EQ(ksim::ParseLpcSpec(c.spec, cfg, error), c.ok) << error;
  }
  LpcConfig cfg;
  std::string error;
  ASSERT_TRUE(ksim::ParseLpcSpec("id=1:2:3:0x10,fault=error=E:9", cfg, error));
  EXPECT_EQ(cfg.id[3], 16u);
  EXPECT_EQ(cfg.faults.describe(), "error=E:9");

  ksim::WorldConfig world;
  ASSERT_TRUE(ksim::ParseWorldJson(R"({"lpc": [{"id": [1, 2, 3, "0x4"], "erase_ms": 10,
                                        "faults": ["resend=1"]}, {"name": "b"}]})", world, error)) << error;
  ASSERT_EQ(world.lpcs.size(), 2u);
  EXPECT_EQ(world.lpcs[0].id[3], 4u);
  EXPECT_EQ(world.lpcs[0].faults.resends, 1u);
  EXPECT_TRUE(ksim::ValidateWorld(world, error)) << error;  // ROMs alone make a world
  ksim::WorldConfig twice;
  ASSERT_TRUE(ksim::ParseWorldJson(R"({"lpc": [{"name": "a"}, {"name": "a"}]})", twice, error));
  EXPECT_FALSE(ksim::ValidateWorld(twice, error));
  EXPECT_FALSE(ksim::ParseWorldJson(R"({"lpc": {"name": "a"}})", twice, error));
  EXPECT_FALSE(ksim::ParseWorldJson(R"({"lpc": [{"id": "1:2"}]})", twice, error));
}

TEST(SimLpcIsp, AHostTypingFasterThanTheLineOverrunsTheEchoNotTheMemory) {
  LpcIsp rom(LpcConfig{});
  Say(rom, "?Synchronized\r\n14746\r\n");
  const std::string flood((size_t(1) << 20) + 1000, 'x');
  rom.receive(reinterpret_cast<const uint8_t*>(flood.data()), flood.size(), 0);
  EXPECT_EQ(rom.stats().overruns, 1000u);
  EXPECT_EQ(rom.takeAll().size(), size_t(1) << 20);
  EXPECT_EQ(Say(rom, "\r\nJ\r\n"), "\r\n1\r\nJ\r\n0\r\n638664503\r\n");  // the cut line is no command
}
