// The simulated module's value table, streams, store slots, factory data,
// answer faults and request counters, driven with raw packets.
#include <gtest/gtest.h>

#include <vector>

#include "common/aError.h"
#include "sim/SimConfig.h"
#include "sim/SimModule.h"

using ksim::Module;
using ksim::ModuleConfig;
using Bytes = std::vector<uint8_t>;

namespace {

// Sends bytes at `now` and collects every byte due by `until`.
Bytes Talk(Module& m, const Bytes& in, uint64_t now = 0, uint64_t until = 1000000) {
  m.receive(in.data(), in.size(), now);
  Bytes out;
  for (auto& o : m.takeDue(until)) out.insert(out.end(), o.bytes.begin(), o.bytes.end());
  return out;
}

// A module at address 6 described by a world file's module entry.
ModuleConfig FromJson(const std::string& module) {
  ksim::WorldConfig w;
  std::string err;
  EXPECT_TRUE(ksim::ParseWorldJson(R"({"modules": [)" + module + "]}", w, err)) << err;
  return w.modules.empty() ? ModuleConfig() : w.modules[0].module;
}

const char* kValues = R"({"serial": "1234ABCD", "address": 6, "tcp": true,
  "options": {"27": -1234, "50": "u16:0xBEEF", "51": "i8:-2", "39.2": "0xCAFE0002",
              "31": "bytes:0000000100000002"},
  "factory": {"2": "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D"}})";

struct Exchange {
  const char* what;
  Bytes request, answer;
};

void RunTable(Module& m, const std::vector<Exchange>& table) {
  for (const Exchange& x : table) EXPECT_EQ(Talk(m, x.request), x.answer) << x.what;
}

}  // namespace

TEST(SimValues, OptionsAnswerFromTheTableInTheirWidths) {
  Module m(FromJson(kValues));
  RunTable(m, {
      {"negative 32-bit", {6, 3, 3, 0x40 | 27, 0x20}, {6, 7, 3, 27, 0, 0xFF, 0xFF, 0xFB, 0x2E}},
      {"16-bit", {6, 3, 3, 0x40 | 50, 0x20}, {6, 5, 3, 50, 0, 0xBE, 0xEF}},
      {"negative byte", {6, 3, 3, 0x40 | 51, 0x20}, {6, 4, 3, 51, 0, 0xFE}},
      {"default", {6, 3, 3, 0x40 | 12, 0x20}, {6, 7, 3, 12, 0, 0x00, 0x4C, 0x4B, 0x40}},
      {"byte value sent as subindex", {6, 4, 3, 0x40 | 42, 0x20, 0}, {6, 4, 3, 42, 0, 255}},
      {"subindex 2", {6, 4, 3, 0x40 | 39, 0x20, 2}, {6, 7, 3, 39, 0, 0xCA, 0xFE, 0x00, 0x02}},
      {"subindex 0", {6, 4, 3, 0x40 | 39, 0x20, 0}, {6, 7, 3, 39, 0, 0x12, 0x34, 0xAB, 0xCD}},
      {"no subindex is 0", {6, 3, 3, 0x40 | 39, 0x20}, {6, 7, 3, 39, 0, 0x12, 0x34, 0xAB, 0xCD}},
      {"unknown subindex", {6, 4, 3, 0x40 | 39, 0x20, 4}, {6, 4, 3, 39, 0x80, aErrRange}},
      {"byte array", {6, 3, 3, 0x40 | 31, 0x20}, {6, 12, 3, 31, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0x00}},
      {"get of a call", {6, 3, 3, 0x40 | 10, 0x20}, {6, 4, 3, 10, 0x80, aErrUnimplemented}},
      {"unknown option", {6, 3, 3, 0x40 | 60, 0x20}, {6, 4, 3, 60, 0x80, aErrUnimplemented}},
      {"set 32-bit", {6, 7, 3, 0x80 | 34, 0x20, 1, 2, 3, 4}, {6, 3, 3, 0xE2, 0}},
      {"read back", {6, 3, 3, 0x40 | 34, 0x20}, {6, 7, 3, 34, 0, 1, 2, 3, 4}},
      {"set in the wrong width", {6, 4, 3, 0x80 | 34, 0x20, 1}, {6, 4, 3, 0xE2, 0x80, aErrSize}},
      {"set without value", {6, 3, 3, 0x80 | 34, 0x20}, {6, 4, 3, 0xE2, 0x80, aErrShortCommand}},
      {"set of a get-only option", {6, 7, 3, 0x80 | 12, 0x20, 0, 0, 0, 1}, {6, 4, 3, 0xCC, 0x80, aErrUnimplemented}},
      {"words not a multiple of 4", {6, 9, 3, 0x80 | 31, 0x20, 1, 2, 3, 4, 5, 0}, {6, 4, 3, 0xDF, 0x80, aErrSize}},
      {"call: device defaults", {6, 3, 3, 0x80 | 37, 0x20}, {6, 3, 3, 0xE5, 0}},
      {"defaults again", {6, 3, 3, 0x40 | 34, 0x20}, {6, 7, 3, 34, 0, 0x00, 0x26, 0x25, 0xA0}},
      {"inventory knows table gets", {6, 6, 73, 1, 3, 12, 0, 0x40}, {6, 6, 73, 1, 3, 12, 0, 0}},
      {"inventory: no set of 12", {6, 6, 73, 1, 3, 12, 0, 0x80}, {6, 6, 73, 1, 3, 12, 0, 1}},
  });
}

TEST(SimValues, WorldRefusesValuesItCannotHold) {
  const std::vector<std::string> bad = {
      R"({"1": 5})",                 // the module's own address
      R"({"10": 1})",                // a call
      R"({"27": 5000000000})",       // beyond 32 bits
      R"({"42": 256})",              // beyond the option's byte
      R"({"42": -129})",
      R"({"50.255": 1})",            // subindex 0..254
      R"({"64": 1})",                // option codes are 6 bits
      R"({"39.2": "u16:70000"})",
      R"({"31": "bytes:0g"})",
      R"({"31": "bytes:123"})",
      R"({"27": "w32:1"})",
  };
  for (const std::string& options : bad) {
    ksim::WorldConfig w;
    std::string err;
    EXPECT_FALSE(ksim::ParseWorldJson(R"({"modules": [{"tcp": true, "options": )" + options + "}]}", w, err))
        << options;
    EXPECT_FALSE(err.empty());
  }
  ksim::WorldConfig w;
  std::string err;
  ASSERT_TRUE(ksim::AddModuleSpec("serial=2,tcp,option=27:i16:-5,option=39.1:7", w, err)) << err;
  ASSERT_EQ(w.modules[0].module.options.size(), 2u);
  EXPECT_EQ(w.modules[0].module.options[0].value.number, 0xFFFBu);
}

TEST(SimStreams, EnabledOptionsAreSampledEachPeriodUntilDisabled) {
  ModuleConfig c = FromJson(kValues);
  c.streamPeriodMs = 100;
  Module m(c);
  m.linkUp(0);
  RunTable(m, {
      {"enable 8", {6, 7, 93, 0x81, 0x20, 6, 3, 8, 0}, {6, 3, 93, 0xC1, 0}},
      {"enable 39, all subindexes", {6, 7, 93, 0x81, 0x20, 6, 3, 39, 0xFF}, {6, 3, 93, 0xC1, 0}},
      {"streaming", {6, 3, 93, 0x41, 0x20}, {6, 4, 93, 1, 0, 1}},
      {"another module's key", {6, 7, 93, 0x81, 0x20, 8, 3, 8, 0}, {6, 4, 93, 0xC1, 0x80, aErrParam}},
      {"short key", {6, 5, 93, 0x81, 0x20, 6, 3}, {6, 4, 93, 0xC1, 0x80, aErrShortCommand}},
  });
  EXPECT_EQ(m.nextDeadline(), 100u);
  m.tick(100);
  Bytes out;
  for (auto& o : m.takeDue(100)) out.insert(out.end(), o.bytes.begin(), o.bytes.end());
  const uint8_t ts[] = {0, 0, 0, 0, 0, 0, 0, 100};
  Bytes expected = {6, 14, 3, 8, 0x40, 1};
  expected.insert(expected.end(), ts, ts + 8);
  expected.insert(expected.end(), {13, 0});
  for (uint8_t s = 0; s < 4; ++s) {
    uint32_t v = s == 0 ? 0x1234ABCDu : s == 1 ? 13 : s == 2 ? 0xCAFE0002u : 0;
    expected.insert(expected.end(), {6, 18, 3, 39, 0x40, 7, s});
    expected.insert(expected.end(), ts, ts + 8);
    expected.insert(expected.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v), 0});
  }
  EXPECT_EQ(out, expected);
  EXPECT_EQ(Talk(m, {6, 7, 93, 0x82, 0x20, 6, 0xFF, 0xFF, 0xFF}, 150), (Bytes{6, 3, 93, 0xC2, 0}));
  EXPECT_EQ(m.nextDeadline(), UINT64_MAX);
  EXPECT_EQ(Talk(m, {6, 3, 93, 0x41, 0x20}, 150), (Bytes{6, 4, 93, 1, 0, 0}));
}

TEST(SimStreams, EntriesAndSamplesAreBounded) {
  Module m(FromJson(kValues));
  m.linkUp(0);
  for (uint8_t k = 0; k < 16; ++k)
    ASSERT_EQ(Talk(m, {6, 7, 93, 0x81, 0x20, 6, 3, k, 0}), (Bytes{6, 3, 93, 0xC1, 0}));
  EXPECT_EQ(Talk(m, {6, 7, 93, 0x81, 0x20, 6, 3, 40, 0}), (Bytes{6, 4, 93, 0xC1, 0x80, aErrResource}));
  // Every option of every command: one period brings at most 32 samples.
  EXPECT_EQ(Talk(m, {6, 7, 93, 0x82, 0x20, 6, 0xFF, 0xFF, 0xFF}), (Bytes{6, 3, 93, 0xC2, 0}));
  EXPECT_EQ(Talk(m, {6, 7, 93, 0x81, 0x20, 6, 0xFF, 0xFF, 0xFF}), (Bytes{6, 3, 93, 0xC1, 0}));
  m.tick(100);
  EXPECT_EQ(m.takeDue(100).size(), 32u);
}

TEST(SimStore, SlotsAreWrittenInChunksAndReadBack) {
  Module m(FromJson(kValues));
  Bytes data(30);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  Bytes first = {6, 28, 4, 7, 0}, second = {6, 8, 4, 7, 0};
  first.insert(first.end(), data.begin(), data.begin() + 25);
  second.insert(second.end(), data.begin() + 25, data.end());
  uint8_t sum1 = 0, sum2 = 0;
  for (size_t i = 0; i < 25; ++i) sum1 = uint8_t(sum1 + data[i]);
  for (size_t i = 25; i < 30; ++i) sum2 = uint8_t(sum2 + data[i]);
  Bytes read1 = {6, 28, 4, 6, 0}, read2 = {6, 8, 4, 6, 0};
  read1.insert(read1.end(), data.begin(), data.begin() + 25);
  read2.insert(read2.end(), data.begin() + 25, data.end());
  RunTable(m, {
      {"capacity", {6, 4, 4, 1, 0, 1}, {6, 6, 4, 1, 0, 1, 0x04, 0x00}},
      {"open for writing", {6, 4, 4, 4, 0, 1}, {6, 5, 4, 4, 0, 1, 0}},
      {"the slot is busy", {6, 4, 4, 3, 0, 1}, {6, 5, 4, 0x83, 0, 1, aErrBusy}},
      {"read on a write handle", {6, 3, 4, 6, 0}, {6, 4, 4, 0x86, 0, aErrMode}},
      {"chunk 1", first, {6, 4, 4, 7, 0, sum1}},
      {"chunk 2", second, {6, 4, 4, 7, 0, sum2}},
      {"close", {6, 3, 4, 8, 0}, {6, 4, 4, 8, 0, 0}},
      {"size", {6, 4, 4, 2, 0, 1}, {6, 6, 4, 2, 0, 1, 0, 30}},
      {"open for reading", {6, 4, 4, 3, 0, 1}, {6, 5, 4, 3, 0, 1, 0}},
      {"read 1", {6, 3, 4, 6, 0}, read1},
      {"read 2", {6, 3, 4, 6, 0}, read2},
      {"read at the end", {6, 3, 4, 6, 0}, {6, 3, 4, 6, 0}},
      {"write on a read handle", {6, 4, 4, 7, 0, 1}, {6, 4, 4, 0x87, 0, aErrMode}},
      {"close", {6, 3, 4, 8, 0}, {6, 4, 4, 8, 0, 0}},
      {"closed handle", {6, 3, 4, 8, 0}, {6, 4, 4, 0x88, 0, aErrParam}},
      {"foreign handle", {6, 3, 4, 6, 0xFF}, {6, 4, 4, 0x86, 0xFF, aErrParam}},
      {"unknown store", {6, 4, 4, 2, 1, 0}, {6, 5, 4, 0x82, 1, 0, aErrNotFound}},
      {"unknown slot", {6, 4, 4, 4, 0, 4}, {6, 5, 4, 0x84, 0, 4, aErrIndexRange}},
  });
}

TEST(SimStore, WritingBeyondTheCapacityIsRefused) {
  ModuleConfig c = FromJson(kValues);
  c.slotCapacity = 30;
  Module m(c);
  Bytes chunk = {6, 28, 4, 7, 0};
  chunk.resize(30, 1);
  EXPECT_EQ(Talk(m, {6, 4, 4, 4, 0, 0}), (Bytes{6, 5, 4, 4, 0, 0, 0}));
  EXPECT_EQ(Talk(m, chunk), (Bytes{6, 4, 4, 7, 0, 25}));
  EXPECT_EQ(Talk(m, chunk), (Bytes{6, 4, 4, 0x87, 0, aErrOverrun}));
}

TEST(SimFactory, KindsAreReadAndWrittenInChunksAndClosedByCount) {
  Module m(FromJson(kValues));
  Bytes first = {6, 28, 94, 2};
  for (uint8_t i = 0; i < 26; ++i) first.push_back(i);
  RunTable(m, {
      {"first read", {6, 2, 94, 0x42}, first},
      {"next read", {6, 2, 94, 0x02}, {6, 6, 94, 2, 26, 27, 28, 29}},
      {"close with the count", {6, 4, 94, 0x20, 0, 30}, {6, 3, 94, 0x20, 0}},
      {"a kind without data", {6, 2, 94, 0x43}, {6, 3, 94, 0x83, aErrNotFound}},
      {"read without a first", {6, 2, 94, 0x02}, {6, 3, 94, 0x82, aErrMode}},
      {"first write", {6, 4, 94, 0x53, 0xA1, 0xA2}, {6, 2, 94, 0x13}},
      {"next write", {6, 3, 94, 0x13, 0xA3}, {6, 2, 94, 0x13}},
      {"close with a wrong count", {6, 4, 94, 0x20, 0, 2}, {6, 3, 94, 0xA0, aErrSize}},
      {"nothing was kept", {6, 2, 94, 0x43}, {6, 3, 94, 0x83, aErrNotFound}},
      {"write again", {6, 4, 94, 0x53, 0xA1, 0xA2}, {6, 2, 94, 0x13}},
      {"close", {6, 4, 94, 0x20, 0, 2}, {6, 3, 94, 0x20, 0}},
      {"read it back", {6, 2, 94, 0x43}, {6, 4, 94, 3, 0xA1, 0xA2}},
      {"close after reading", {6, 4, 94, 0x20, 0, 2}, {6, 3, 94, 0x20, 0}},
      {"close again", {6, 4, 94, 0x20, 0, 0}, {6, 3, 94, 0xA0, aErrMode}},
  });
  ModuleConfig c = FromJson(kValues);
  c.factoryLocked = true;
  Module locked(c);
  EXPECT_EQ(Talk(locked, {6, 3, 94, 0x51, 1}), (Bytes{6, 3, 94, 0x91, aErrPermission}));
}

TEST(SimFaults, AnswerFaultsHitTheChosenRequestsOnly) {
  struct Row {
    const char* fault;
    Bytes request, answer;
  };
  const std::vector<Row> rows = {
      {"no-answer=3.8", {6, 3, 3, 0x48, 0x20}, {}},
      {"no-answer=3.8", {6, 3, 3, 0x49, 0x20}, {6, 7, 3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}},
      {"no-answer=73", {6, 2, 73, 0xFF}, {}},
      {"error-answer=3.9:21", {6, 3, 3, 0x49, 0x20}, {6, 4, 3, 9, 0x80, 21}},
      {"error-answer=3.34:7", {6, 7, 3, 0xA2, 0x20, 0, 0, 0, 1}, {6, 4, 3, 0xE2, 0x80, 7}},
      {"error-answer=4:31", {6, 4, 4, 1, 0, 0}, {6, 3, 4, 0x81, 31}},
      {"error-answer=94.66:12", {6, 2, 94, 0x42}, {6, 3, 94, 0xC2, 12}},
      {"short-build", {6, 2, 73, 0xFF}, {6, 5, 73, 0xFF, 0, 0, 0x10}},
      {"duplicate-replies", {6, 2, 73, 0xFF},
       {6, 6, 73, 0xFF, 0, 0, 0x10, 0xE1, 6, 6, 73, 0xFF, 0, 0, 0x10, 0xE1}},
      // Junk, a heartbeat, and upgrade and system replies from address 8.
      {"flood=5", {6, 2, 73, 0xFF},
       {6, 6, 73, 0xFF, 0, 0, 0x10, 0xE1, 6, 4, 0x7E, 0, 0xA5, 0x5A, 6, 2, 0, 1, 8, 3, 95, 1, 26,
        8, 5, 95, 7, 0, 2, 0, 8, 7, 3, 7, 0, 2, 11, 0, 4}},
      {"flood=5", {0xAD, 0}, {6, 0}},  // identify answers are link traffic
  };
  for (const Row& r : rows) {
    ModuleConfig c = FromJson(kValues);
    c.build = 4321;
    std::string err;
    ASSERT_TRUE(c.faults.parse(r.fault, err)) << r.fault << ": " << err;
    Module m(c);
    EXPECT_EQ(Talk(m, r.request), r.answer) << r.fault;
  }
  for (const char* bad : {"no-answer", "no-answer=3.8:5", "late-answer=3.8", "error-answer=3.8:0",
                          "error-answer=3.8:256", "no-answer=300", "late-answer=x:5", "flood=0",
                          "flood=1001", "duplicate-replies=2"}) {
    ksim::Faults f;
    std::string err;
    EXPECT_FALSE(f.parse(bad, err)) << bad;
  }
}

TEST(SimFaults, LateAnswerComesAfterLaterRequestsAnswers) {
  ModuleConfig c = FromJson(kValues);
  std::string err;
  ASSERT_TRUE(c.faults.parse("late-answer=3.8:500", err)) << err;
  Module m(c);
  EXPECT_EQ(Talk(m, {6, 3, 3, 0x48, 0x20, 0xAD, 0}, 0, 499), (Bytes{6, 0}));
  EXPECT_EQ(m.nextDeadline(), 500u);
  EXPECT_EQ(Talk(m, {}, 0, 500), (Bytes{6, 4, 3, 8, 0, 13}));
}

TEST(SimCounters, RequestsAreCountedByCommandOptionAndProbe) {
  ModuleConfig router = FromJson(kValues);
  ModuleConfig onBus;
  onBus.address = 8;
  Module m(router), bus(onBus);
  m.attachBusModule(&bus);
  Talk(m, {0xAD, 0, 6, 3, 3, 0x48, 0x20, 6, 3, 3, 0x48, 0x20, 6, 4, 3, 0x94, 0x20, 1,
           6, 7, 8, 0, 8, 2, 0, 0, 0, 6, 7, 8, 0, 10, 2, 0, 0, 0, 8, 3, 3, 0x49, 0x20});
  const ksim::ModuleStats& s = m.stats();
  EXPECT_EQ(s.identifies, 1u);
  EXPECT_EQ(s.requests.at(3), 3u);
  EXPECT_EQ(s.requests.at(8), 2u);
  EXPECT_EQ(s.systemGets.at(8), 2u);
  EXPECT_EQ(s.systemSets.at(20), 1u);
  EXPECT_EQ(s.routeToMe.at(1), 1u);
  EXPECT_EQ(s.busProbes.at(8), 1u);
  EXPECT_EQ(s.busProbes.at(10), 1u);
  EXPECT_EQ(bus.stats().systemGets.at(9), 1u);
}
