// The simulated module's upgrade command set under faults, block sizes,
// program-once flash and reboots, driven with raw packets as a host would
// send them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/aError.h"
#include "sim/SimModule.h"

using ksim::LinkAction;
using ksim::Module;
using ksim::ModuleConfig;
using ksim::Outgoing;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint64_t kLater = 1000000;
constexpr uint8_t A = 6;  // the module's address

Bytes Talk(Module& m, const Bytes& in, uint64_t now = 0, std::vector<Outgoing>* all = nullptr) {
  m.receive(in.data(), in.size(), now);
  Bytes out;
  for (auto& o : m.takeDue(now + kLater)) {
    out.insert(out.end(), o.bytes.begin(), o.bytes.end());
    if (all) all->push_back(o);
  }
  return out;
}

ModuleConfig Config(std::initializer_list<const char*> faults = {}) {
  ModuleConfig c;
  c.serial = 0x1234ABCD;
  c.address = A;
  c.build = 4321;
  std::string err;
  for (const char* f : faults) EXPECT_TRUE(c.faults.parse(f, err)) << f << ": " << err;
  return c;
}

Bytes Chunk(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7);
  return b;
}

uint32_t Sum(const Bytes& b) {
  uint32_t s = 0;
  for (uint8_t x : b) s += x;
  return s;
}

// Requests and the answers a module without faults gives.
Bytes Prepare(uint32_t a) { return {A, 7, 95, 3, 0, uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)}; }
Bytes PrepareOk(uint16_t size = 512) { return {A, 5, 95, 7, 0, uint8_t(size >> 8), uint8_t(size)}; }
Bytes Data(const Bytes& c) {
  Bytes p{A, uint8_t(c.size() + 2), 95, 1};
  p.insert(p.end(), c.begin(), c.end());
  return p;
}
Bytes DataAck(size_t n) { return {A, 3, 95, 1, uint8_t(n)}; }
const Bytes kSum{A, 2, 95, 4};
Bytes SumIs(uint32_t s) { return {A, 7, 95, 7, 0, uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)}; }
Bytes Write(size_t n) { return {A, 4, 95, 5, uint8_t(n >> 8), uint8_t(n)}; }
Bytes WriteIs(uint8_t status) { return {A, 3, 95, 7, status}; }
// A chunk as one option-10 byte array: runs of 24 bytes and a sequence byte.
std::vector<Bytes> Array(const Bytes& c) {
  std::vector<Bytes> out;
  size_t pos = 0;
  uint8_t k = 0;
  do {
    size_t n = std::min<size_t>(24, c.size() - pos);
    Bytes p{A, uint8_t(n + 4), 95, 0x8A, 0x20};
    p.insert(p.end(), c.begin() + long(pos), c.begin() + long(pos + n));
    pos += n;
    p.push_back(uint8_t((pos < c.size() ? 0x80 : 0) | (k++ & 0x7F)));
    out.push_back(p);
  } while (pos < c.size());
  return out;
}
const Bytes kArrayAck{A, 3, 95, 0xCA, 0};

// Sends a chunk in DATA packets of at most 26 bytes; true when every one
// was acknowledged with its count.
bool SendData(Module& m, const Bytes& data) {
  for (size_t pos = 0; pos < data.size(); pos += 26) {
    Bytes part(data.begin() + long(pos), data.begin() + long(std::min(data.size(), pos + 26)));
    if (Talk(m, Data(part)) != DataAck(part.size())) return false;
  }
  return true;
}

Bytes SendArray(Module& m, const Bytes& c) {
  Bytes last;
  for (const Bytes& p : Array(c)) last = Talk(m, p);
  return last;
}

uint64_t Fired(const Module& m, const std::string& word) {
  auto it = m.stats().faultsFired.find(word);
  return it == m.stats().faultsFired.end() ? 0 : it->second;
}

}  // namespace

// Each counted or persistent fault, as the host sees it request by request.
TEST(SimUpgradeFaults, CountedAndPersistentFaultsAnswerAsTheHostWillSeeThem) {
  const Bytes c = Chunk(26, 1);
  struct Step { Bytes request, answer; };
  struct Case {
    const char* fault;
    std::vector<Step> steps;
    uint64_t fired;
  };
  const Bytes shortPrepare{A, 4, 95, 7, 0, 0x02};
  Bytes shortSum = SumIs(Sum(c));
  shortSum.pop_back();
  shortSum[1] = 6;
  const Case cases[] = {
      {"wrong-sum=2", {{Data(c), DataAck(26)}, {kSum, SumIs(Sum(c) + 1)}, {kSum, SumIs(Sum(c) + 1)},
                       {kSum, SumIs(Sum(c))}}, 2},
      {"wrong-data-count=always", {{Data(c), DataAck(25)}, {Data(c), DataAck(25)}, {Data(c), DataAck(25)},
                                   {kSum, SumIs(0)}}, 3},
      {"drop-data-ack=2:3", {{Data(c), DataAck(26)}, {Data(c), {}}, {Data(c), {}}, {Data(c), {}},
                             {Data(c), DataAck(26)}, {kSum, SumIs(5 * Sum(c))}}, 3},
      {"drop-data-ack=1:always", {{Data(c), {}}, {Data(c), {}}, {kSum, SumIs(2 * Sum(c))}}, 2},
      {"short-prepare", {{Prepare(0), shortPrepare}, {Prepare(0), PrepareOk()}}, 1},
      {"short-sum=always", {{Data(c), DataAck(26)}, {kSum, shortSum}, {kSum, shortSum}}, 2},
      {"short-data-ack=2", {{Data(c), {A, 2, 95, 1}}, {Data(c), {A, 2, 95, 1}}, {Data(c), DataAck(26)}}, 2},
      {"write-status", {{Data(c), DataAck(26)}, {Write(26), WriteIs(1)}, {Data(c), DataAck(26)},
                        {Write(26), WriteIs(0)}}, 1},
      {"prepare-status", {{Prepare(0), {A, 5, 95, 7, 1, 0x02, 0}}, {Prepare(0), {A, 5, 95, 7, 1, 0x02, 0}}}, 2},
      {"block-size-0", {{Prepare(0), PrepareOk(0)}}, 1},
      {"init-short", {{{A, 2, 95, 0}, {A, 5, 95, 0, 0x10, 0, 0}}}, 1},
      {"no-answer=95.4", {{Data(c), DataAck(26)}, {kSum, {}}, {Write(26), WriteIs(0)}}, 1},
      {"no-answer=95.5", {{Data(c), DataAck(26)}, {Write(26), {}}}, 1},
      {"no-answer=95.3", {{Prepare(0), {}}}, 1},
      // Starting late: at the fault's N-th chance, for COUNT chances.
      {"wrong-sum@2", {{Data(c), DataAck(26)}, {kSum, SumIs(Sum(c))}, {kSum, SumIs(Sum(c) + 1)},
                       {kSum, SumIs(Sum(c))}}, 1},
      {"no-answer=95.4@2+1", {{Data(c), DataAck(26)}, {kSum, SumIs(Sum(c))}, {kSum, {}},
                              {kSum, SumIs(Sum(c))}}, 1},
      {"mute@3+2", {{Data(c), DataAck(26)}, {kSum, {}}, {kSum, {}}, {kSum, SumIs(Sum(c))}}, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.fault);
    Module m(Config({k.fault}));
    std::string word = std::string(k.fault).substr(0, std::string(k.fault).find_first_of("=@"));
    if (k.steps[0].request != Prepare(0) && word != "init-short") {
      ASSERT_EQ(Talk(m, Prepare(0)).size(), 7u);
    }
    for (size_t i = 0; i < k.steps.size(); ++i)
      EXPECT_EQ(Talk(m, k.steps[i].request), k.steps[i].answer) << "step " << i;
    EXPECT_EQ(Fired(m, word), k.fired);
  }
}

TEST(SimUpgradeFaults, ByteArrayErrorsAreAnsweredInTheEntityFormAndNotTaken) {
  Module m(Config({"uei-data-error=5:2"}));
  Talk(m, Prepare(0x100));
  const Bytes c = Chunk(60, 3);
  const Bytes error{A, 4, 95, 0xCA, 0x80, 5};
  EXPECT_EQ(SendArray(m, c), error);
  EXPECT_EQ(SendArray(m, c), error);
  EXPECT_EQ(Talk(m, kSum), SumIs(0));  // nothing taken
  EXPECT_EQ(SendArray(m, c), kArrayAck);
  EXPECT_EQ(Talk(m, kSum), SumIs(Sum(c)));
  EXPECT_EQ(m.stats().dataArrays, 3u);
}

TEST(SimUpgradeFaults, LateDataAcksComeLaterThanTheHostWaits) {
  Module m(Config({"late-data-ack=1500:2"}));
  Talk(m, Prepare(0));
  const Bytes c = Chunk(10, 1);
  for (uint64_t t : {100u, 2000u}) {
    Bytes d = Data(c);
    m.receive(d.data(), d.size(), t);
    EXPECT_TRUE(m.takeDue(t + 1499).empty());
    ASSERT_EQ(m.takeDue(t + 1500).size(), 1u);
  }
  Bytes d = Data(c);
  m.receive(d.data(), d.size(), 5000);
  EXPECT_EQ(m.takeDue(5000).size(), 1u);  // the third is on time
  EXPECT_EQ(Fired(m, "late-data-ack"), 2u);
}

// Block sizes of every kind: PREPARE reports them, a whole chunk of that
// size is taken in DATA packets or as one byte array, and WRITE refuses
// more than the block size.
TEST(SimUpgradeBlocks, AnyBlockSizeIsReportedTakenAndEnforced) {
  for (uint16_t size : {1, 25, 26, 27, 100, 3072, 3073, 4000, 65535}) {
    SCOPED_TRACE(size);
    ModuleConfig cfg = Config();
    cfg.blockSize = size;
    Module m(cfg);
    ASSERT_EQ(Talk(m, Prepare(0x4000)), PrepareOk(size));
    const Bytes a = Chunk(size, 5), b = Chunk(size, 11);
    ASSERT_TRUE(SendData(m, a));
    ASSERT_EQ(Talk(m, kSum), SumIs(Sum(a)));
    ASSERT_EQ(Talk(m, Write(size)), WriteIs(0));
    ASSERT_EQ(SendArray(m, b), kArrayAck);
    ASSERT_EQ(Talk(m, kSum), SumIs(Sum(b)));
    ASSERT_EQ(Talk(m, Write(size)), WriteIs(0));
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(m.flash().read(0x4000, uint32_t(both.size())), both);
    if (size < 65535) {  // one byte more than the block size
      ASSERT_TRUE(SendData(m, Chunk(size + 1u, 2)));
      EXPECT_EQ(Talk(m, Write(size + 1u)), WriteIs(1));
    }
  }
}

// Program-once flash: a second program of the same place without an erase
// is counted, stored as old AND new, and with the fault word refused; INIT
// erases.
TEST(SimUpgradeFlash, DoubleWritesAreCountedAndStoredAsNorFlashWould) {
  struct Case {
    bool programOnce;
    const char* fault;
    uint8_t secondStatus;
    uint64_t doubleWrites;
    Bytes flashAfter;
  };
  const Bytes first{0xF0, 0xFF, 0x0F, 0xAA}, second{0x3C, 0x12, 0xFF, 0xAA};
  const Case cases[] = {
      {true, "latency=0", 0, 1, {0x30, 0x12, 0x0F, 0xAA}},
      {true, "double-write-status", 1, 1, {0x30, 0x12, 0x0F, 0xAA}},
      {false, "latency=0", 0, 0, second},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.fault);
    ModuleConfig cfg = Config({k.fault});
    cfg.programOnce = k.programOnce;
    Module m(cfg);
    Talk(m, Prepare(0x10));
    ASSERT_TRUE(SendData(m, first));
    ASSERT_EQ(Talk(m, Write(4)), WriteIs(0));
    EXPECT_EQ(m.stats().doubleWrites, 0u);
    Talk(m, Prepare(0x10));
    ASSERT_TRUE(SendData(m, second));
    EXPECT_EQ(Talk(m, Write(4)), WriteIs(k.secondStatus));
    EXPECT_EQ(m.stats().doubleWrites, k.doubleWrites);
    EXPECT_EQ(m.stats().doubleWriteBytes, k.doubleWrites ? 3u : 0u);  // 0xFF was erased still
    EXPECT_EQ(m.flash().read(0x10, 4), k.flashAfter);
    // INIT erases: the next program is clean.
    Talk(m, {A, 2, 95, 0});
    Talk(m, Prepare(0x10));
    ASSERT_TRUE(SendData(m, second));
    EXPECT_EQ(Talk(m, Write(4)), WriteIs(0));
    EXPECT_EQ(m.stats().doubleWrites, k.doubleWrites);
    EXPECT_EQ(m.flash().read(0x10, 4), second);
  }
}

// What LOAD and REBOOT ask of the link, directly connected.
TEST(SimUpgradeLinks, LoadAndRebootLeaveTheLinkAsConfigured) {
  struct Case {
    const char* what;
    uint32_t loaderAwayMs;
    const char* fault;
    Bytes request;
    Bytes answer;
    LinkAction action;  // None: no action queued
    uint32_t awayMs;
  };
  const uint32_t never = ModuleConfig::kNever;
  const Case cases[] = {
      {"LOAD", 400, "latency=0", {A, 2, 95, 2}, {A, 2, 95, 2}, LinkAction::EnterLoader, 400},
      {"LOAD, loader never comes", never, "latency=0", {A, 2, 95, 2}, {A, 2, 95, 2}, LinkAction::EnterLoader, never},
      {"LOAD not answered", 400, "no-load-reply", {A, 2, 95, 2}, {}, LinkAction::EnterLoader, 400},
      {"REBOOT", 400, "latency=0", {A, 2, 95, 6}, {}, LinkAction::Drop, 900},
      {"REBOOT keeping its link", 400, "reboot-keeps-link", {A, 2, 95, 6}, {}, LinkAction::None, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ModuleConfig cfg = Config({k.fault});
    cfg.loaderAwayMs = k.loaderAwayMs;
    cfg.rebootAwayMs = 900;
    cfg.newBuild = 5000;
    Module m(cfg);
    std::vector<Outgoing> all;
    EXPECT_EQ(Talk(m, k.request, 0, &all), k.answer);
    LinkAction action = LinkAction::None;
    uint32_t away = 0;
    for (const Outgoing& o : all)
      if (o.action != LinkAction::None) action = o.action, away = o.awayMs;
    EXPECT_EQ(action, k.action);
    EXPECT_EQ(away, k.awayMs);
    bool reboot = k.request[3] == 6;
    EXPECT_EQ(m.inLoader(), !reboot);
    EXPECT_EQ(m.build(), reboot ? 5000u : 4321u);  // rebooted into the new firmware either way
  }
}

// Behind a router the link stays; the bus module is silent while it boots
// (no answers, no I2C acknowledgement), or for good when its loader never
// comes.
TEST(SimUpgradeLinks, ABusModuleIsSilentWhileItBoots) {
  struct Case {
    const char* what;
    Bytes request;
    uint32_t loaderAwayMs;
    uint64_t backAt;  // 0: never
  };
  const Case cases[] = {
      {"REBOOT", {8, 2, 95, 6}, 100, 700},
      {"LOAD", {8, 2, 95, 2}, 100, 700},
      {"LOAD, loader never comes", {8, 2, 95, 2}, ModuleConfig::kNever, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ModuleConfig rc = Config();
    rc.address = 2;
    Module router(rc);
    ModuleConfig bc = Config();
    bc.address = 8;
    bc.bootMs = 600;
    bc.loaderAwayMs = k.loaderAwayMs;
    Module bus(bc);
    router.attachBusModule(&bus);
    Talk(router, {2, 4, 3, 0x94, 0x20, 1});  // route to me
    std::vector<Outgoing> all;
    Talk(router, k.request, 100, &all);
    for (const Outgoing& o : all) EXPECT_EQ(o.action, LinkAction::None);
    const Bytes getModel{8, 3, 3, 0x48, 0x20};
    const Bytes probe{2, 7, 8, 0, 8, 2, 3, 0, 0};
    EXPECT_EQ(Talk(router, getModel, 699), Bytes{});
    EXPECT_EQ(Talk(router, probe, 699), (Bytes{2, 5, 8, 0, 8, 0, 0x80 | aErrNotFound}));
    EXPECT_EQ(Talk(router, {0xAD, 0}, 699), (Bytes{2, 0}));  // the router itself answers
    uint64_t later = k.backAt ? k.backAt : 10000000;
    EXPECT_EQ(Talk(router, getModel, later).empty(), k.backAt == 0);
    EXPECT_EQ(Talk(router, probe, later), (Bytes{2, 5, 8, 0, 8, 0, uint8_t(k.backAt ? 0 : 0x80 | aErrNotFound)}));
  }
}

// Personalisation: after REBOOT the serial number (and build) come from the
// flashed little-endian words.
TEST(SimUpgradeFlash, SerialAndBuildComeFromTheFlashAfterReboot) {
  ModuleConfig cfg = Config();
  cfg.serialFromFlash = 0x8004;
  cfg.buildFromFlash = 0x8008;
  cfg.loaderDeadead = true;
  Module m(cfg);
  const Bytes getSerial{A, 3, 3, 0x49, 0x20};
  ModuleConfig loaderFirst = cfg;
  loaderFirst.startInLoader = true;
  EXPECT_EQ(Module(loaderFirst).presentedSerial(), 0xDEADDEADu);
  Talk(m, {A, 2, 95, 0});
  Talk(m, Prepare(0x8000));
  const Bytes image{0, 1, 2, 3, 0xEF, 0xBE, 0xAD, 0x0B, 0x39, 0x30, 0, 0};
  ASSERT_TRUE(SendData(m, image));
  ASSERT_EQ(Talk(m, Write(image.size())), WriteIs(0));
  EXPECT_EQ(Talk(m, getSerial), (Bytes{A, 7, 3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}));
  Talk(m, {A, 2, 95, 2});
  EXPECT_EQ(m.presentedSerial(), 0xDEADDEADu);
  Talk(m, {A, 2, 95, 6});
  EXPECT_EQ(m.presentedSerial(), 0x0BADBEEFu);
  EXPECT_EQ(Talk(m, getSerial), (Bytes{A, 7, 3, 9, 0, 0x0B, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ(Talk(m, {A, 2, 73, 0xFF}), (Bytes{A, 6, 73, 0xFF, 0, 0, 0x30, 0x39}));  // 12345

  // Where nothing was flashed the word reads erased.
  cfg.serialFromFlash = 0x20000;
  Module blank(cfg);
  Talk(blank, {A, 2, 95, 6});
  EXPECT_EQ(blank.presentedSerial(), 0xFFFFFFFFu);
}

// Writes that grow a segment, land inside it, touch it from before or fill
// a gap read back as a byte-by-byte model of the flash says.
TEST(SimUpgradeFlash, WritesInPlaceAndMergedAgreeWithAByteModel) {
  ksim::Flash f;
  Bytes model(0x1000, 0xFF);
  auto put = [&](uint32_t at, const Bytes& b) {
    f.write(at, b);
    std::copy(b.begin(), b.end(), model.begin() + at);
  };
  for (uint32_t i = 0; i < 6; ++i) put(0x100 + i * 300, Chunk(300, uint8_t(i)));
  put(0x180, Chunk(100, 9));   // inside
  put(0x800, Chunk(40, 3));    // apart
  put(0x0F0, Chunk(16, 4));    // touching from before
  put(0x7E0, Chunk(64, 5));    // bridging the gap to 0x800
  EXPECT_EQ(f.lowest(), 0x0F0u);
  EXPECT_EQ(f.end(), 0x828u);
  EXPECT_EQ(f.read(0, 0x1000), model);
}
