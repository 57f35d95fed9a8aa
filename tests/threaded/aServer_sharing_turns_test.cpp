// The sharing server under hostile clients: bursts of requests nobody
// answers and of malformed frames, and clients that come and go by the
// hundred.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aServer.h"
#include "common/aUEI.h"
#include "tests/threaded/running_world.h"
#include "tests/threaded/sharing_raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// A get of system option 8 from address 4, where no module is.
const Bytes kUnanswered = {4, 3, cmdSYSTEM, 8 | aUEI_GET, aUEI_REQUEST};
// The server's refusal of it: the module's error reply, aErrBusy.
const Bytes kRefused = {4, 4, cmdSYSTEM, 8, aUEI_ERROR, aErrBusy};

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One module on its TCP link behind a sharing server.
class Turns : public ::testing::Test {
 protected:
  Turns() : world_({"serial=5,model=13,tcp,stream_ms=20"}) {}
  void SetUp() override {
    tcp_ = aLink_CreateTCPIP(Loopback(), world_.port());
    ASSERT_NE(tcp_, 0u);
    ASSERT_EQ(aLink_Sync(tcp_), aErrNone);
    server_ = aServer_Create(tcp_, 0, true);
    ASSERT_NE(server_, nullptr);
    ASSERT_EQ(aServer_Start(server_), aErrNone);
    port_ = aServer_GetPort(server_);
  }
  void TearDown() override {
    aServer_Destroy(&server_);
    if (tcp_ != 0) aLink_Destroy(&tcp_);
    world_.stop();
  }
  RunningWorld world_;
  uint32_t tcp_ = 0;
  aServer* server_ = nullptr;
  uint16_t port_ = 0;
};

// Twenty requests nobody answers hold another client up by at most the one
// in flight: clients take turns. Beyond 16 waiting, the burst is refused.
TEST_F(Turns, BurstOfUnansweredRequestsDelaysOthersByOneAnswerTime) {
  Raw hostile(port_), good(port_);
  for (Raw* r : {&hostile, &good}) {  // both connected before the burst
    r->send(kIdentify);
    ASSERT_EQ(r->recv(), (Bytes{2, 0}));
  }
  for (int i = 0; i < 20; i++) hostile.send(kUnanswered);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all queued
  const Clock::time_point asked = Clock::now();
  good.send(kIdentify);
  EXPECT_EQ(good.recv(5000), (Bytes{2, 0}));
  // One answer time, and a generous second for a loaded machine.
  EXPECT_LE(MsSince(asked), aSERVER_ANSWER_TIMEOUT_MS + 1000);
  int refused = 0;
  for (Bytes frame = hostile.recv(kNoAnswerMs); !frame.empty();
       frame = hostile.recv(kNoAnswerMs)) {
    EXPECT_EQ(frame, kRefused);
    refused++;
  }
  // 16 wait; one may have gone out before the rest came.
  EXPECT_GE(refused, 3);
  EXPECT_LE(refused, 4);
}

// A client that connects after a flood of malformed frames and of requests
// nobody answers is served: its connection's identify round trip waits at
// most for the request in flight.
TEST_F(Turns, FloodOfBadFramesAndUnansweredRequestsDoesNotLockOutNewClients) {
  Raw hostile(port_);
  const std::vector<Bytes> bad = {{}, {2}, {2, 5, 1}, {2, 0, 1}, Bytes(31, 2),
                                  {aLINK_ADDRESS_FORCE_ROUTE, 1, 0}};
  for (int i = 0; i < 1000; i++) {
    hostile.send(bad[size_t(i) % bad.size()]);
    hostile.send(kUnanswered);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // all taken in
  uint32_t client = aLink_CreateClient(Loopback(), port_, 0);
  ASSERT_NE(client, 0u);
  // Its request is answered within one answer time (a link's own query
  // waits only 1 s: the answer may come while a third try waits).
  uint8_t address = 0;
  aErr err = aErrTimeout;
  for (int i = 0; i < 3 && err != aErrNone; i++) err = _aLink_GetModuleAddress(client, &address);
  EXPECT_EQ(err, aErrNone);
  EXPECT_EQ(address, 2);
  aLink_Destroy(&client);
}

// Clients that leave take their records with them: stream clients, runs
// being collected and waiting requests are all forgotten within seconds.
TEST_F(Turns, RecordsOfClientsThatLeftAreFreed) {
  // Refused by the module (the key names another module): no samples come.
  const Bytes streamNowhere = {2, 7, 93, 1 | aUEI_SET, aUEI_REQUEST, 4, cmdSYSTEM, 8, 0};
  Bytes runStart(30, 0);
  runStart[0] = 2;
  runStart[1] = 28;
  runStart[2] = cmdSYSTEM;
  runStart[3] = 32 | aUEI_SET;
  runStart[4] = aUEI_REQUEST;
  runStart[29] = 0x80;  // continue bit, sequence 0
  {
    Raw burst(port_);  // leaves 16 requests nobody answers behind
    for (int i = 0; i < 16; i++) burst.send(kUnanswered);
    burst.send(kIdentify);  // after them: taken in once this comes back
    ASSERT_EQ(burst.recv(kNoAnswerMs), Bytes());
  }
  constexpr int kClients = 200;
  uint32_t most = 0;
  for (int i = 0; i < kClients; i++) {
    Raw client(port_);
    client.send(streamNowhere);
    client.send(runStart);  // a run never finished
    for (int k = 0; k < 4; k++) client.send(kIdentify);
    EXPECT_FALSE(client.recv().empty());  // the stream request's answer
    if (i % 20 == 0) most = std::max(most, aServer_GetClientStateCount(server_));
  }
  EXPECT_GT(most, 0u);
  // Bounded: the request in flight ends within 2 s, runs expire after 2 s,
  // stream clients are probed once a second.
  uint32_t left = aServer_GetClientStateCount(server_);
  for (int i = 0; i < 200 && left != 0; i++) {  // at most 20 s
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    left = aServer_GetClientStateCount(server_);
  }
  EXPECT_EQ(left, 0u);
  EXPECT_EQ(aServer_GetStreamClientCount(server_), 0u);
  // And the server still serves.
  Raw after(port_);
  after.send(kIdentify);
  EXPECT_EQ(after.recv(), (Bytes{2, 0}));
}

}  // namespace
