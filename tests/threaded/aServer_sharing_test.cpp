// The sharing server in front of a simulated module (its link over loopback
// TCP), with client links and raw message-socket clients beside it.
#include <arpa/inet.h>
#include <czmq.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/aServer.h"
#include "common/aUEI.h"
#include "tests/threaded/running_world.h"
#include "tests/threaded/sharing_raw_client.h"

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;


uint8_t IsEmpty(const aPacket* p, const void*) { return p->dataSize == 0; }
uint8_t IsStream(const aPacket* p, const void*) { return aUEI_isStreamPacket(p); }
uint8_t IsAck(const aPacket* p, const void* ref) {
  const uint8_t* cmd = static_cast<const uint8_t*>(ref);
  return p->dataSize >= 2 && p->data[0] == cmd[0] && p->data[1] == cmd[1];
}

class Link {
 public:
  explicit Link(uint32_t id) : id_(id) {}
  ~Link() { if (id_) aLink_Destroy(&id_); }
  uint32_t id() const { return id_; }
 private:
  uint32_t id_;
};

// One module served over its TCP link, a client link of the server's own
// (a) and a second client link (b).
class Sharing : public ::testing::Test {
 protected:
  Sharing() : world_({"serial=5,model=13,name=shared,tcp,stream_ms=20"}) {}
  void SetUp() override {
    const uint32_t tcp = aLink_CreateTCPIP(Loopback(), world_.port());
    ASSERT_NE(tcp, 0u);
    ASSERT_EQ(aLink_Sync(tcp), aErrNone);
    uint32_t iface = 0;
    a_ = std::make_unique<Link>(aLink_CreateServerFor(tcp, &port_, &iface, 1));
    ASSERT_NE(a_->id(), 0u);
    EXPECT_EQ(iface, Loopback());
    b_ = std::make_unique<Link>(aLink_CreateClient(Loopback(), port_, 0));
    ASSERT_NE(b_->id(), 0u);
  }
  void TearDown() override {
    b_.reset();
    a_.reset();
    world_.stop();
  }
  PacketPtr identify(uint32_t link, uint32_t ms = kAnswerMs) {
    PacketPtr p(aPacket_Create());
    p->address = aLINK_ADDRESS_IDENTIFY;
    p->fill = 2;
    EXPECT_EQ(aLink_PutPacket(link, p.get()), aErrNone);
    return PacketPtr(aLink_AwaitFirst(link, IsEmpty, nullptr, ms));
  }
  aErr getModel(uint32_t link, uint8_t* model) {
    return _aLink_GetModel(link, 2, model);
  }
  RunningWorld world_;
  uint16_t port_ = 0;
  std::unique_ptr<Link> a_, b_;
};

TEST_F(Sharing, IdentifyIsAnsweredOnlyToItsSender) {
  PacketPtr answer = identify(a_->id());
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->address, 2);
  EXPECT_EQ(PacketPtr(aLink_AwaitFirst(b_->id(), IsEmpty, nullptr, kNoAnswerMs)), nullptr);
  uint8_t model = 0;
  ASSERT_EQ(getModel(b_->id(), &model), aErrNone);
  EXPECT_EQ(model, 13);
}

// Two clients asking at once, back to back, each get every answer of their
// own: requests go out the moment the previous answer is in, so a turn
// missed or taken twice shows here.
TEST_F(Sharing, BackToBackRequestsOfTwoClientsAllComeBack) {
  constexpr int kRounds = 300;  // each bounded by its 1 s answer wait
  int modelsOk = 0, identifiesOk = 0;
  std::thread asker([&] {
    for (int i = 0; i < kRounds; i++) {
      uint8_t model = 0;
      if (getModel(a_->id(), &model) == aErrNone && model == 13) modelsOk++;
    }
  });
  for (int i = 0; i < kRounds; i++) {
    uint8_t address = 0;
    if (_aLink_GetModuleAddress(b_->id(), &address) == aErrNone && address == 2)
      identifiesOk++;
  }
  asker.join();
  EXPECT_EQ(modelsOk, kRounds);
  EXPECT_EQ(identifiesOk, kRounds);
}

// A pooled client link writes several packets in one call; each reaches
// the server as a frame of its own.
TEST_F(Sharing, PooledClientWritesArriveWhole) {
  ASSERT_EQ(aLink_EnablePooledPackets(b_->id(), true), aErrNone);
  PacketPtr probe(aPacket_Create());
  probe->address = aLINK_ADDRESS_IDENTIFY;
  probe->fill = 2;
  constexpr int kBurst = 8;  // queued at once: the writer pools them
  for (int i = 0; i < kBurst; i++) ASSERT_EQ(aLink_PutPacket(b_->id(), probe.get()), aErrNone);
  for (int i = 0; i < kBurst; i++) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(PacketPtr(aLink_AwaitFirst(b_->id(), IsEmpty, nullptr, kAnswerMs)));
  }
  uint8_t model = 0;
  EXPECT_EQ(getModel(b_->id(), &model), aErrNone);
}

// The messaging library's own SIGINT handler would keep Ctrl-C from
// stopping the process.
TEST_F(Sharing, InterruptHandlingStaysWithTheProcess) {
  struct sigaction current {};
  ASSERT_EQ(sigaction(SIGINT, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST_F(Sharing, ServedLinkIsNotSharedDirectly) {
  EXPECT_EQ(aLink_CreateTCPIP(Loopback(), world_.port()), 0u);
}

TEST_F(Sharing, ForceRouteFromAClientIsNotPassedOn) {
  Raw raw(port_);
  raw.send({aLINK_ADDRESS_FORCE_ROUTE, 1, 0});
  raw.send(kIdentify);
  EXPECT_EQ(raw.recv(), (Bytes{2, 0}));
  EXPECT_EQ(world_.log().find("force route off"), std::string::npos) << world_.log();
}

// A byte-array set reaches the module as one run and is acknowledged once,
// also while another client's requests go on.
TEST_F(Sharing, ByteArraySetIsOneRunAcknowledgedOnce) {
  struct Case {
    size_t length;
    aErr expected;  // the module takes names of up to 32 bytes
  };
  for (const Case& c : {Case{30, aErrNone}, Case{60, aErrSize}}) {
    SCOPED_TRACE(c.length);
    std::string name(c.length, 'n');
    uei set{};
    set.address = 2;
    set.command = cmdSYSTEM;
    set.option = 32 | aUEI_SET;
    set.type = ueiTypeBytes;
    set.v.bytes.buffer = reinterpret_cast<uint8_t*>(&name[0]);
    set.v.bytes.length = uint32_t(name.size());
    ASSERT_EQ(aUEI_Send(a_->id(), &set), aErrNone);
    EXPECT_TRUE(identify(b_->id()));  // interleaved with the run
    const uint8_t ack[2] = {cmdSYSTEM, 32 | aUEI_ACK};
    PacketPtr first(aLink_AwaitFirst(a_->id(), IsAck, ack, kAnswerMs));
    ASSERT_TRUE(first);
    EXPECT_EQ((first->data[2] & aUEI_ERROR) != 0, c.expected != aErrNone);
    EXPECT_EQ(PacketPtr(aLink_AwaitFirst(a_->id(), IsAck, ack, kNoAnswerMs)), nullptr);
  }
  EXPECT_EQ(world_.log().find("out of order"), std::string::npos) << world_.log();
}

TEST_F(Sharing, StreamSamplesReachOnlyTheEnablingClient) {
  uei enable{};
  enable.address = 2;
  enable.command = 93;
  enable.option = 1 | aUEI_SET;
  enable.type = ueiTypeInt;
  enable.v.intVal = (2u << 24) | (uint32_t(cmdSYSTEM) << 16) | (8u << 8);
  ASSERT_EQ(aUEI_Send(a_->id(), &enable), aErrNone);
  const uint8_t ack[2] = {93, 1 | aUEI_ACK};
  ASSERT_TRUE(PacketPtr(aLink_AwaitFirst(a_->id(), IsAck, ack, kAnswerMs)));
  EXPECT_TRUE(PacketPtr(aLink_AwaitFirst(a_->id(), IsStream, nullptr, kAnswerMs)));
  EXPECT_EQ(PacketPtr(aLink_AwaitFirst(b_->id(), IsStream, nullptr, kNoAnswerMs)), nullptr);
  // b's requests are answered while a streams.
  uint8_t model = 0;
  EXPECT_EQ(getModel(b_->id(), &model), aErrNone);
  // A disable request ends a's samples too (the server forgets a at once).
  uei disable = enable;
  disable.option = 2 | aUEI_SET;
  ASSERT_EQ(aUEI_Send(a_->id(), &disable), aErrNone);
  const uint8_t disabled[2] = {93, 2 | aUEI_ACK};
  ASSERT_TRUE(PacketPtr(aLink_AwaitFirst(a_->id(), IsAck, disabled, kAnswerMs)));
  aLink_DrainPackets(a_->id(), nullptr, nullptr);
  EXPECT_EQ(PacketPtr(aLink_AwaitFirst(a_->id(), IsStream, nullptr, kNoAnswerMs)), nullptr);
}

// A client link notices a server that went away: its link stops running
// instead of waiting for answers for ever.
TEST_F(Sharing, ClientNoticesAVanishedServer) {
  a_.reset();  // the server's own client: server and served link go too
  bool noticed = false;
  for (int i = 0; i < 500 && !noticed; i++) {  // bounded: 5 s
    noticed = aLink_GetStatus(b_->id()) != kLinkStateRunning;
    if (!noticed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(noticed);
}

TEST_F(Sharing, VanishedClientDoesNotDisturbTheOther) {
  {
    Raw gone(port_);
    gone.send(kIdentify);
    gone.send({2, 3, cmdSYSTEM, 8 | aUEI_GET, aUEI_REQUEST});
  }  // closed before its answers come
  for (int i = 0; i < 3; i++) {
    uint8_t model = 0;
    ASSERT_EQ(getModel(b_->id(), &model), aErrNone);
    EXPECT_EQ(model, 13);
  }
}

// Requests that get no answer, stray run packets and bad frames leave the
// queue of askers in step: every later answer goes to its own asker.
TEST_F(Sharing, NoAnswerStrayRunAndHostileFramesKeepAnswersInStep) {
  Bytes strayRun(30, 0);
  strayRun[0] = 2;
  strayRun[1] = 28;
  strayRun[2] = cmdSYSTEM;
  strayRun[3] = 32 | aUEI_SET;
  strayRun[29] = 0x85;  // continue bit, sequence 5: no pool to join
  Bytes tooLong(31, 0);
  tooLong[0] = 2;
  tooLong[1] = 29;
  const std::vector<Bytes> frames = {
      {2, 2, cmdSYSTEM, 8 | aUEI_GET, 0},  // nobody at address 4 below
      {4, 2, cmdSYSTEM, 8 | aUEI_GET},
      strayRun, tooLong, {}, {2}, {2, 5, 1}, {2, 0, 1}};
  Raw raw(port_);
  for (const Bytes& f : frames) raw.send(f);
  raw.send(kIdentify);
  // The malformed get (size 3 + 2 -> rejected as not one packet) and the
  // unanswered request leave only the identify's answer for raw.
  EXPECT_EQ(raw.recv(), (Bytes{2, 0}));
  EXPECT_TRUE(raw.recv(kNoAnswerMs).empty());
  PacketPtr mine = identify(b_->id());
  ASSERT_TRUE(mine);
  EXPECT_EQ(mine->address, 2);
}

// A late answer to a request that timed out comes while the next request
// waits for its own: it is not taken for that one's.
TEST(SharingLate, LateAnswerDoesNotShiftLaterAnswers) {
  RunningWorld world({"serial=5,tcp,fault=late-answer=3.12:2500,fault=late-answer=3.9:1000"});
  const uint32_t tcp = aLink_CreateTCPIP(Loopback(), world.port());
  ASSERT_NE(tcp, 0u);
  ASSERT_EQ(aLink_Sync(tcp), aErrNone);
  uint16_t port = 0;
  uint32_t iface = 0;
  Link own(aLink_CreateServerFor(tcp, &port, &iface, 1));
  ASSERT_NE(own.id(), 0u);
  Raw first(port), second(port);
  for (Raw* r : {&first, &second}) {  // both connected before the requests
    r->send(kIdentify);
    ASSERT_EQ(r->recv(), (Bytes{2, 0}));
  }
  first.send({2, 3, cmdSYSTEM, 12 | aUEI_GET, aUEI_REQUEST});   // answered after 2.5 s
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // first in line
  second.send({2, 3, cmdSYSTEM, 9 | aUEI_GET, aUEI_REQUEST});   // answered 1 s after it is sent
  const Bytes answer = second.recv(5000);
  ASSERT_GE(answer.size(), 4u);
  EXPECT_EQ(answer[3] & aUEI_OPTION_MASK, 9);
  EXPECT_TRUE(first.recv(kNoAnswerMs).empty());
}

// A client that enabled streaming and went away is no longer sent samples.
TEST(SharingStream, VanishedStreamClientIsDropped) {
  RunningWorld world({"serial=5,tcp,stream_ms=20"});
  uint32_t tcp = aLink_CreateTCPIP(Loopback(), world.port());
  ASSERT_NE(tcp, 0u);
  ASSERT_EQ(aLink_Sync(tcp), aErrNone);
  aServer* server = aServer_Create(tcp, 0, true);
  ASSERT_NE(server, nullptr);
  ASSERT_EQ(aServer_Start(server), aErrNone);
  auto count = [&] { return aServer_GetStreamClientCount(server); };
  auto waitFor = [&](uint32_t n) {  // bounded: 5 s
    for (int i = 0; i < 500 && count() != n; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return count();
  };
  {
    Raw streamer(aServer_GetPort(server));
    streamer.send({2, 7, 93, 1 | aUEI_SET, aUEI_REQUEST, 2, cmdSYSTEM, 8, 0});
    EXPECT_EQ(streamer.recv(), (Bytes{2, 3, 93, 1 | aUEI_ACK, 0}));
    EXPECT_EQ(waitFor(1), 1u);
  }
  EXPECT_EQ(waitFor(0), 0u);
  aServer_Destroy(&server);
  aLink_Destroy(&tcp);
}

TEST(SharingClient, ConnectToADeadPortFails) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = Loopback();
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  close(fd);  // nobody listens there now
  EXPECT_EQ(aLink_CreateClient(Loopback(), ntohs(addr.sin_port), 0), 0u);
  aStreamRef stream = nullptr;
  EXPECT_EQ(aStream_CreateClient(Loopback(), ntohs(addr.sin_port), &stream),
            aErrConnection);
  EXPECT_EQ(stream, nullptr);
}

// The server's empty frames (its probes whether a client is still there)
// carry nothing for the link: the client stream's wait passes over them
// and ends only when bytes come or its time is up, so that the link's
// reader does not take a wake-up without bytes for a stream that cannot
// wait, and pause.
TEST(SharingClient, WaitPassesOverEmptyFrames) {
  zsock_t* router = zsock_new(ZMQ_ROUTER);
  ASSERT_NE(router, nullptr);
  zsock_set_linger(router, 0);
  zsock_set_rcvtimeo(router, static_cast<int>(kAnswerMs));
  const int port = zsock_bind(router, "tcp://127.0.0.1:*");
  ASSERT_GT(port, 0);
  Bytes identity;
  auto sendTo = [&](const Bytes& frame) {
    zframe_t* id = zframe_new(identity.data(), identity.size());
    zframe_send(&id, router, ZFRAME_MORE);
    zframe_t* f = zframe_new(frame.data(), frame.size());
    zframe_send(&f, router, 0);
  };
  // The stream confirms its connection with an identify as it is made.
  std::thread confirm([&] {
    zmsg_t* m = zmsg_recv(router);
    if (m == nullptr) return;
    zframe_t* id = zmsg_pop(m);
    if (id != nullptr) identity.assign(zframe_data(id), zframe_data(id) + zframe_size(id));
    zframe_destroy(&id);
    zmsg_destroy(&m);
    sendTo({2, 0});
  });
  aStreamRef stream = nullptr;
  const aErr made = aStream_CreateClient(Loopback(), static_cast<uint16_t>(port), &stream);
  confirm.join();
  ASSERT_EQ(made, aErrNone);
  ASSERT_FALSE(identity.empty());
  struct Case {
    std::vector<Bytes> frames;
    aErr wait;
    Bytes read;
  };
  const Case cases[] = {
      {{{}}, aErrTimeout, {}},
      {{{}, {}, {}}, aErrTimeout, {}},
      {{{}, {2, 1, 0x2A}}, aErrNone, {2, 1, 0x2A}},
      {{{2, 0}, {}}, aErrNone, {2, 0}},
  };
  for (const Case& c : cases) {
    for (const Bytes& f : c.frames) sendTo(f);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // all there
    EXPECT_EQ(aStream_WaitReadable(stream, 200), c.wait);
    Bytes read(c.read.size());
    if (!read.empty()) {
      EXPECT_EQ(aStream_Read(stream, read.data(), read.size()), aErrNone);
    }
    EXPECT_EQ(read, c.read);
    uint8_t more = 0;
    EXPECT_EQ(aStream_Read(stream, &more, 1), aErrNotReady);  // nothing left over
  }
  aStream_Destroy(&stream);
  zsock_destroy(&router);
}

}  // namespace
