// Module, EntityClass, SystemClass and I2CClass against the module
// simulator over loopback TCP, and against scripted modules for answers the
// simulator never gives.
#include <gtest/gtest.h>

#include <cstring>

#include "api/I2CClass.h"
#include "common/aLink.h"
#include "api/Module.h"
#include "api/SystemClass.h"
#include "tests/threaded/link_object_support.h"

using namespace Velmaris::Korvex;
using namespace linkobject;

namespace {

const char* kBench =
    "serial=1234ABCD,model=13,build=4321,tcp,option=27:-1500,option=50:u16:513,"
    "option=51:u8:7,option=39.2:0xCAFE0002,fault=error-answer=3.12:12";

// One get or set form per row; the result and, for gets, the value read.
struct Form {
  const char* name;
  std::function<aErr(SystemClass&, int64_t&)> run;
  aErr result;
  int64_t value;
};

TEST(ModuleEntity, EveryGetAndSetFormAndItsErrorAnswers) {
  World w({kBench});
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(w.spec()), aErrNone);
  SystemClass sys;
  sys.init(&module, 0);
  const std::vector<Form> forms = {
      {"byte get", [](SystemClass& s, int64_t& v) { uint8_t b = 0; aErr e = s.getModel(&b); v = b; return e; }, aErrNone, 13},
      {"byte set then get", [](SystemClass& s, int64_t& v) { uint8_t b = 0; s.setHBInterval(9); aErr e = s.getHBInterval(&b); v = b; return e; }, aErrNone, 9},
      {"LED set is 0 or 1", [](SystemClass& s, int64_t& v) { uint8_t b = 0; s.setLED(200); aErr e = s.getLED(&b); v = b; return e; }, aErrNone, 1},
      {"16-bit get", [](SystemClass& s, int64_t& v) { uint16_t x = 0; aErr e = s.getUEI16(50, &x); v = x; return e; }, aErrNone, 513},
      {"32-bit get", [](SystemClass& s, int64_t& v) { uint32_t x = 0; aErr e = s.getSerialNumber(&x); v = x; return e; }, aErrNone, 0x1234ABCD},
      {"signed get", [](SystemClass& s, int64_t& v) { int32_t x = 0; aErr e = s.getTemperature(&x); v = x; return e; }, aErrNone, -1500},
      {"32-bit set then get", [](SystemClass& s, int64_t& v) { uint32_t x = 0; s.setPowerLimitMax(1234567); aErr e = s.getPowerLimitMax(&x); v = x; return e; }, aErrNone, 1234567},
      {"subindex get", [](SystemClass& s, int64_t& v) { uint32_t x = 0; aErr e = s.getUEI32(39, 2, &x); v = x; return e; }, aErrNone, 0xCAFE0002},
      {"subindex 0 get", [](SystemClass& s, int64_t& v) { uint32_t x = 0; aErr e = s.getUEI32(39, 0, &x); v = x; return e; }, aErrNone, 0x1234ABCD},
      {"unknown subindex", [](SystemClass& s, int64_t&) { uint32_t x = 0; return s.getUEI32(39, 9, &x); }, aErrRange, 0},
      {"error answer passed through", [](SystemClass& s, int64_t&) { uint32_t x = 0; return s.getInputVoltage(&x); }, aErrPermission, 0},
      {"unimplemented option", [](SystemClass& s, int64_t&) { uint32_t x = 0; return s.getUEI32(60, &x); }, aErrUnimplemented, 0},
      {"set in the wrong width", [](SystemClass& s, int64_t&) { return s.setUEI16(3, 1); }, aErrSize, 0},
      {"reply in another width", [](SystemClass& s, int64_t&) { uint8_t b = 0; return s.getUEI8(50, &b); }, aErrSize, 0},
      {"byte get of a u8 table value", [](SystemClass& s, int64_t& v) { uint8_t b = 0; aErr e = s.getUEI8(51, &b); v = b; return e; }, aErrNone, 7},
      {"null output", [](SystemClass& s, int64_t&) { return s.getUEI32(7, static_cast<uint32_t*>(nullptr)); }, aErrParam, 0},
      {"call", [](SystemClass& s, int64_t&) { return s.save(); }, aErrNone, 0},
  };
  for (const auto& f : forms) {
    int64_t value = 0;
    EXPECT_EQ(f.run(sys, value), f.result) << f.name;
    if (f.result == aErrNone) {
      EXPECT_EQ(value, f.value) << f.name;
    }
  }
}

TEST(ModuleEntity, ByteArraysInRunsAcknowledgedOnce) {
  World w({kBench});
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(w.spec()), aErrNone);
  SystemClass sys;
  sys.init(&module, 0);
  // 60 bytes: three packets of one set, acknowledged once; the next get
  // must not meet a stray acknowledgement.
  uint32_t words[15], back[16] = {};
  for (uint32_t i = 0; i < 15; ++i) words[i] = 0x01020304u * (i + 1);
  ASSERT_EQ(sys.setInputPowerBehaviorConfig(words, 15), aErrNone);
  size_t count = 0;
  ASSERT_EQ(sys.getInputPowerBehaviorConfig(back, 16, &count), aErrNone);
  ASSERT_EQ(count, 15u);
  EXPECT_EQ(std::memcmp(words, back, sizeof(words)), 0);
  uint8_t model = 0;
  EXPECT_EQ(sys.getModel(&model), aErrNone);
  EXPECT_EQ(model, 13);
  // A buffer too small for the answer loses nothing beyond it.
  uint8_t small[8];
  EXPECT_EQ(sys.getUEIBytes(31, small, sizeof(small), &count), aErrMemory);
  EXPECT_EQ(sys.getUEIBytes(31, small, 0, &count), aErrParam);
  EXPECT_EQ(sys.setInputPowerBehaviorConfig(words, 17), aErrSize);
}

TEST(ModuleEntity, BytesCheckAndUnboundEntities) {
  struct Row { size_t count; size_t unit; aErr result; size_t after; };
  for (const Row& r : std::vector<Row>{{8, 4, aErrNone, 2}, {6, 4, aErr(1), 6}, {0, 4, aErrNone, 0},
                                       {8, 0, aErrParam, 8}}) {
    size_t count = r.count;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, r.unit), r.result) << r.count << "/" << r.unit;
    EXPECT_EQ(count, r.after);
  }
  EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
  SystemClass unbound;
  uint8_t b = 0;
  EXPECT_EQ(unbound.getModel(&b), aErrResource);
  Module module(2, 0);
  SystemClass offline;
  offline.init(&module, 0);
  EXPECT_EQ(offline.getModel(&b), aErrConnection);
}

TEST(ModuleEntity, ConnectLearnsTheAddressAndAnswersCommand73) {
  World w({"serial=1234ABCD,model=13,build=4321,tcp,address=6"});
  Module learning(2, 0);
  EXPECT_EQ(learning.connect(USB, 0), aErrParam);
  EXPECT_FALSE(learning.isConnected());
  EXPECT_EQ(learning.getStatus(), uint32_t(kLinkStateFault));
  uint32_t build = 0;
  EXPECT_EQ(learning.getBuild(build), aErrConnection);
  ASSERT_EQ(learning.connectFromSpec(w.spec()), aErrNone);
  EXPECT_EQ(learning.connectFromSpec(w.spec()), aErrBusy);
  EXPECT_EQ(learning.getModuleAddress(), 6);
  EXPECT_EQ(learning.getBuild(build), aErrNone);
  EXPECT_EQ(build, 4321u);
  EXPECT_EQ(learning.hasUEI(cmdSYSTEM, 8, 0, 0xC0), aErrParam);
  EXPECT_EQ(learning.hasUEI(cmdSYSTEM, 8, 0, 0x41), aErrParam);
  EXPECT_EQ(learning.hasUEI(cmdSYSTEM, 8, 0, aUEI_GET), aErrNone);
  const uint8_t echo[] = {1, 2, 3, 250};
  EXPECT_EQ(learning.debug(echo, sizeof(echo)), aErrNone);
  EXPECT_EQ(learning.getConfig(nullptr), aErrParam);
  EXPECT_EQ(learning.disconnect(), aErrNone);
  EXPECT_FALSE(learning.isConnected());
  ASSERT_EQ(learning.reconnect(), aErrNone);
  EXPECT_EQ(learning.getModuleAddress(), 6);

  Module fixed(2, false, 0);
  ASSERT_EQ(fixed.connectFromSpec(w.spec()), aErrNone);
  EXPECT_EQ(fixed.getModuleAddress(), 2);
}

// The routed module shares the router's engine link: connecting through a
// link that already holds an id must not be refused.
TEST(ModuleEntity, RoutedModuleSharesTheRoutersLink) {
  World w({"serial=A0000001,tcp", "serial=B0000002,on=A0000001,address=8,model=15"});
  Module router(2, 0);
  ASSERT_EQ(router.connectFromSpec(w.spec()), aErrNone);
  I2CClass bus;
  bus.init(&router, 0);
  const uint8_t zeros[2] = {0, 0};
  EXPECT_EQ(bus.write(8, 2, zeros), aErrNone);
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
  Module routed(8, 0);
  ASSERT_EQ(routed.connectThroughLinkModule(router), aErrNone);
  EXPECT_EQ(routed.getLink()->getLinkId(), router.getLink()->getLinkId());
  EXPECT_EQ(routed.connectThroughLinkModule(router), aErrNone);
  SystemClass routedSystem;
  routedSystem.init(&routed, 0);
  uint32_t serial = 0;
  EXPECT_EQ(routedSystem.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0xB0000002u);
  EXPECT_EQ(routed.getModuleAddress(), 8);
  // The router's link lives on when the routed module lets go.
  EXPECT_EQ(routed.disconnect(), aErrNone);
  EXPECT_TRUE(router.isConnected());
  EXPECT_EQ(routerSystem.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0xA0000001u);
}

// I2C answers are hostile: the count in a read reply is bounded by the
// packet and by the caller's buffer.
TEST(ModuleEntity, I2CReadBoundsTheCountFromTheWire) {
  struct Row { Bytes reply; uint8_t length; aErr result; uint8_t copied; };
  const std::vector<Row> rows = {
      {{8, 0, 0x51, 200, 0, 0xAA, 0xBB}, 8, aErrNone, 2},
      {{8, 0, 0x51, 3, 0, 0xAA, 0xBB, 0xCC}, 2, aErrNone, 2},
      {{8, 0, 0x51, 3, 0, 0xAA, 0xBB, 0xCC}, 3, aErrNone, 3},
      {{8, 0, 0x51, 1}, 1, aErrPacket, 0},
      {{8, 0, 0x51, 0, 0x80 | aErrTimeout}, 1, aErrTimeout, 0},
  };
  for (const Row& r : rows) {
    ScriptedModule sim([&](const Bytes& data) {
      return data.size() >= 1 && data[0] == cmdI2C ? std::vector<Bytes>{r.reply} : std::vector<Bytes>{};
    });
    Module module(2, false, 0);
    ASSERT_EQ(module.connectFromSpec(sim.spec()), aErrNone);
    I2CClass i2c;
    i2c.init(&module, 0);
    uint8_t buffer[10];
    std::memset(buffer, 0x11, sizeof(buffer));
    uint8_t count = 0xEE;
    EXPECT_EQ(i2c.read(0x50, r.length, buffer, &count), r.result);
    if (r.result == aErrNone) {
      EXPECT_EQ(count, r.copied);
    }
    EXPECT_EQ(buffer[r.copied], 0x11);
  }
  I2CClass i2c;
  EXPECT_EQ(i2c.setSpeed(2), aErrNone);
  EXPECT_EQ(i2c.setSpeed(4), aErrParam);
  EXPECT_EQ(i2c.getSpeed(), 2);
  uint8_t big[24] = {};
  EXPECT_EQ(i2c.write(0x50, 24, big), aErrSize);
  EXPECT_EQ(i2c.read(0x50, 24, big), aErrSize);
}

// A streamed value is answered from the last sample; once read it is stale
// until the next one comes, and still copied out.
TEST(ModuleEntity, StreamedValuesFreshThenStale) {
  World w({"serial=1234ABCD,tcp,stream_ms=1000"});
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(w.spec()), aErrNone);
  SystemClass sys;
  sys.init(&module, 0);
  ASSERT_EQ(sys.setHBInterval(9), aErrNone);
  ASSERT_EQ(sys.setStreamEnabled(true), aErrNone);
  StreamStatusEntry entries[40];
  size_t count = 0;
  const uint64_t key = Link::createStreamKey(2, cmdSYSTEM, 3, 0, 0);
  ASSERT_TRUE(WaitFor([&] {
    if (sys.getStreamStatus(entries, 40, &count) != aErrNone) return false;
    for (size_t i = 0; i < count; ++i)
      if (entries[i].key == key) return true;
    return false;
  }));
  uint8_t value = 0;
  ASSERT_EQ(sys.getHBInterval(&value), aErrNone);
  EXPECT_EQ(value, 9);
  value = 0;
  EXPECT_EQ(sys.getHBInterval(&value), aErrStreamStale);
  EXPECT_EQ(value, 9);
  EXPECT_EQ(sys.setStreamEnabled(false), aErrNone);
}

}  // namespace
