// The Link object against the module simulator and scripted modules:
// connecting, packets, UEI messages and their mends.
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/aLink.h"
#include "common/aServer.h"
#include "tests/threaded/link_object_support.h"

using Velmaris::Korvex::Link;
using namespace linkobject;

namespace {

uei Get(uint8_t option) {
  uei u{};
  u.address = 2;
  u.command = cmdSYSTEM;
  u.option = uint8_t(option | aUEI_GET);
  u.type = ueiTypeNone;
  return u;
}

TEST(LinkObject, ConnectDisconnectReconnectOverTcp) {
  World w({"serial=1234ABCD,model=13,build=4321,tcp"});
  Link link(w.spec(), "bench");
  EXPECT_EQ(link.getName(), "bench");
  EXPECT_EQ(link.getStatus(), uint32_t(kLinkStateFault));
  ASSERT_EQ(link.connect(), aErrNone);
  EXPECT_TRUE(link.isConnected());
  EXPECT_EQ(link.connect(), aErrConnection);
  EXPECT_EQ(link.setConfig(aLanetConfig()), aErrMode);
  EXPECT_EQ(link.setLinkSpecifier(w.spec()), aErrBusy);
  uint8_t address = 0;
  EXPECT_EQ(link.getModuleAddress(address), aErrNone);
  EXPECT_EQ(address, 2);
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.getModuleAddress(address), aErrNotReady);
  ASSERT_EQ(link.connect(), aErrNone);
  EXPECT_EQ(link.reset(), aErrNone);
  EXPECT_TRUE(WaitFor([&] { return link.isConnected(); }));

  // A second Link through this one shares its engine link.
  Link routed("routed");
  Link none("none");
  EXPECT_EQ(routed.connectThroughLinkModule(none), aErrInitialization);
  ASSERT_EQ(routed.connectThroughLinkModule(link), aErrNone);
  EXPECT_EQ(routed.getLinkId(), link.getLinkId());
  EXPECT_EQ(aLink_GetUseCount(link.getLinkId()), 2);
  routed.disconnect();
  EXPECT_TRUE(link.isConnected());
}

TEST(LinkObject, ConnectDisconnectReconnectOverSerialPty) {
  World w({"serial=CAFE,pty"});
  linkSpec spec;
  ASSERT_EQ(Link::makeSerialSpec(0xCAFE, w.pty(), 115200, spec), aErrNone);
  Link link(spec, "serial");
  ASSERT_EQ(link.connect(), aErrNone);
  uei u = Get(9);
  ASSERT_EQ(link.sendUEI(u), aErrNone);
  ASSERT_EQ(link.receiveUEI(2, cmdSYSTEM, 9, 0, u), aErrNone);
  EXPECT_EQ(u.v.intVal, 0xCAFEu);
  // The port is given back on disconnect and opened again.
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_FALSE(link.isConnected());
  ASSERT_EQ(link.connect(), aErrNone);
  u = Get(9);
  ASSERT_EQ(link.sendUEI(u), aErrNone);
  EXPECT_EQ(link.receiveUEI(2, cmdSYSTEM, 9, 0, u), aErrNone);
}

TEST(LinkObject, ConnectRefusals) {
  Link link("x");
  EXPECT_EQ(link.connect(), aErrConfiguration);
  linkSpec spec{};
  EXPECT_EQ(link.getLinkSpecifier(spec), aErrNotFound);
  struct Case {
    uint32_t type;
    uint8_t enabled;
    aErr expected;
  } cases[] = {
      {ALANET, 1, aErrConfiguration},  // a shared link without a server port
      {ALANET, 0, aErrConfiguration},
      // Shared through a server of this process: no module with serial 0.
      {USB, 1, aServer_Available() ? aErrConnection : aErrUnimplemented},
      {RECOVER, 0, aErrMode},
      {INVALID, 0, aErrMode},
  };
  for (const Case& c : cases) {
    spec.type = c.type;
    aLanetConfig config;
    config.enabled = c.enabled;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(link.connect(), c.expected) << c.type;
    EXPECT_EQ(link.getLinkId(), 0u);
  }
  EXPECT_EQ(link.reset(), aErrConnection);

  // A shared link with a port but no server behind it: not connected.
  spec.type = ALANET;
  spec.port = 9;
  spec.address[0] = 127;
  spec.address[3] = 1;
  ASSERT_EQ(link.setConfig(aLanetConfig()), aErrNone);
  ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
  EXPECT_EQ(link.connect(), aErrConnection);
  EXPECT_EQ(link.getLinkId(), 0u);
}

// A link that never gets in step is given back: the Link can connect again
// and the engine holds no link for it. (The jam can only be seen once the
// reader has read it, so a first status poll may still find the link
// running; a few attempts are allowed for that.)
TEST(LinkObject, FailedConnectLeavesNoEngineLink) {
  ScriptedModule jammed([](const Bytes&) { return std::vector<Bytes>(); }, true);
  World w({"serial=1,tcp"});
  Link link(jammed.spec(), "jammed");
  aErr err = aErrNone;
  for (int attempt = 0; attempt < 5 && err == aErrNone; ++attempt) {
    err = link.connect();
    if (err == aErrNone) link.disconnect();
  }
  ASSERT_EQ(err, aErrConnection);
  EXPECT_EQ(link.getLinkId(), 0u);
  EXPECT_EQ(link.getStatus(), uint32_t(kLinkStateFault));
  ASSERT_EQ(link.setLinkSpecifier(w.spec()), aErrNone);
  EXPECT_EQ(link.connect(), aErrNone);
}

TEST(LinkObject, RawPackets) {
  World w({"serial=1,build=4321,tcp"});
  Link link(w.spec(), "raw");
  const uint8_t bytes[28] = {0xFF};
  EXPECT_EQ(link.sendPacket(2, 0x49, 1, bytes), aErrConnection);
  ASSERT_EQ(link.connect(), aErrNone);
  EXPECT_EQ(link.sendPacket(3, 0x49, 1, bytes), aErrPacket);
  EXPECT_EQ(link.sendPacket(0, 0x49, 1, bytes), aErrPacket);
  EXPECT_EQ(link.sendPacket(2, 23, 28, bytes), aErrParam);

  ASSERT_EQ(link.sendPacket(2, 0x49, 1, bytes), aErrNone);
  const uint8_t match[2] = {0x49, 0xFF};
  uint8_t length = 2;
  uint8_t data[28];
  ASSERT_EQ(link.receivePacket(2, match, length, data), aErrNone);
  ASSERT_EQ(length, 6);
  EXPECT_EQ(aUEI_RetrieveInt(data + 2), 4321u);

  // Command 23 echoes: a full 28-byte packet goes out and comes back.
  Bytes payload(27, 0x5A);
  ASSERT_EQ(link.sendPacket(2, 23, 27, payload.data()), aErrNone);
  const uint8_t echo[1] = {23};
  length = 1;
  ASSERT_EQ(link.receivePacket(2, echo, length, data), aErrNone);
  EXPECT_EQ(length, 28);
  // A one-byte echo is shorter than a two-byte match and never matches it.
  ASSERT_EQ(link.sendPacket(2, 23, 0, nullptr), aErrNone);
  const uint8_t longer[2] = {23, 0};
  length = 2;
  EXPECT_EQ(link.receivePacket(2, longer, length, data), aErrTimeout);
}

TEST(LinkObject, UEIRoundTrips) {
  World w({"serial=1234ABCD,model=13,tcp"});
  Link link(w.spec(), "uei");
  ASSERT_EQ(link.connect(), aErrNone);
  uei u = Get(8);
  ASSERT_EQ(link.sendUEI(u), aErrNone);
  ASSERT_EQ(link.receiveUEI(2, cmdSYSTEM, 8, 0, u), aErrNone);
  EXPECT_EQ(u.v.byteVal, 13);

  uei set = Get(3);
  set.option = 3 | aUEI_SET;
  set.type = ueiTypeByte;
  set.v.byteVal = 77;
  ASSERT_EQ(link.sendUEI(set), aErrNone);
  uei ack{};
  ASSERT_EQ(link.receiveUEI(2, cmdSYSTEM, 3 | aUEI_ACK, 0, ack), aErrNone);
  u = Get(3);
  ASSERT_EQ(link.sendUEI(u), aErrNone);
  ASSERT_EQ(link.receiveUEI(2, cmdSYSTEM, 3, 0, u, aUEI_MatchReply), aErrNone);
  EXPECT_EQ(u.v.byteVal, 77);
  // An unknown option is answered with the module's error code.
  u = Get(50);
  ASSERT_EQ(link.sendUEI(u), aErrNone);
  EXPECT_EQ(link.receiveUEI(2, cmdSYSTEM, 50, 0, u), aErrUnimplemented);
}

// A reply that comes after its request was given up does not answer the
// next identical request.
TEST(LinkObject, LateReplyDoesNotAnswerNextRequest) {
  std::atomic<int> gets{0};
  ScriptedModule module([&](const Bytes& d) {
    std::vector<Bytes> replies;
    if (d.size() >= 3 && d[0] == cmdSYSTEM && d[1] == (9 | aUEI_GET) && ++gets == 2)
      replies.push_back({cmdSYSTEM, 9, 0, 0, 0, 0, 2});  // the second request's answer
    return replies;
  });
  Link link(module.spec(), "late");
  ASSERT_EQ(link.connect(), aErrNone);
  uei u = Get(9);
  ASSERT_EQ(link.sendUEI(u), aErrNone);
  EXPECT_EQ(link.receiveUEI(2, cmdSYSTEM, 9, 0, u), aErrTimeout);
  module.send({cmdSYSTEM, 9, 0, 0, 0, 0, 1});  // the first request's, late
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // it arrives meanwhile
  u = Get(9);
  ASSERT_EQ(link.sendUEI(u), aErrNone);
  ASSERT_EQ(link.receiveUEI(2, cmdSYSTEM, 9, 0, u), aErrNone);
  EXPECT_EQ(u.v.intVal, 2u);
}

TEST(LinkObject, ResetReportsTheEngineResult) {
  auto w = std::make_unique<World>(std::vector<std::string>{"serial=1,tcp"});
  Link link(w->spec(), "gone");
  ASSERT_EQ(link.connect(), aErrNone);
  w.reset();  // the module and its listener are gone
  EXPECT_NE(link.reset(), aErrNone);
  EXPECT_FALSE(link.isConnected());
}

// With fallback, a search on a network transport is retried once over USB;
// without a module anywhere both come back not found.
// The shared-link search probes multicast ports, so the searches run in a
// child process inside a private network namespace of its own.
TEST(LinkObject, DiscoverFallsBackOnce) {
  if (geteuid() != 0) GTEST_SKIP() << "a private network namespace needs root";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (unshare(CLONE_NEWNET) != 0) _exit(2);
        Link link("discover");
        if (link.discoverAndConnect(ALANET, 0x12345678) != aErrNotFound) _exit(3);
        aLanetConfig config;
        config.fallback = 0;
        if (link.setConfig(config) != aErrNone) _exit(4);
        if (link.discoverAndConnect(USB, 0x12345678) != aErrNotFound) _exit(5);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
