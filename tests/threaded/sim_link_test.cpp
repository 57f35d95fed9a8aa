// The host's link engine and UEI layer against the module simulator, over
// loopback TCP and a pseudo-terminal.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "common/aLink.h"
#include "common/aUEI.h"
#include "tests/threaded/running_world.h"

namespace {

using Bytes = std::vector<uint8_t>;
typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;


uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

uei Request(uint8_t address, uint8_t command, uint8_t option, uint8_t index = 0) {
  uei u{};
  u.address = address;
  u.command = command;
  u.option = option;
  u.specifier = index;
  return u;
}

// A get: returns the error and fills `out`.
aErr Get(uint32_t link, uint8_t address, uint8_t command, uint8_t option, uei& out) {
  uei req = Request(address, command, uint8_t(option | aUEI_GET));
  aErr e = aUEI_Send(link, &req);
  if (e != aErrNone) return e;
  out = Request(address, command, option);
  return aUEI_Receive(link, &out);
}

aErr Set8(uint32_t link, uint8_t address, uint8_t command, uint8_t option, uint8_t value) {
  uei req = Request(address, command, uint8_t(option | aUEI_SET));
  req.type = ueiTypeByte;
  req.v.byteVal = value;
  aErr e = aUEI_Send(link, &req);
  if (e != aErrNone) return e;
  uei ack = Request(address, command, uint8_t(option | aUEI_ACK));
  return aUEI_Receive(link, &ack);
}

struct Match {
  uint8_t b0, b1;
};
uint8_t MatchTwo(const aPacket* p, const void* ref) {
  const Match* m = static_cast<const Match*>(ref);
  return p->dataSize >= 2 && p->data[0] == m->b0 && p->data[1] == m->b1;
}

// Sends a raw packet and awaits the reply whose first two data bytes match.
PacketPtr Exchange(uint32_t link, uint8_t address, const Bytes& data, uint8_t r0, uint8_t r1,
                   uint32_t timeoutMs = 1000) {
  PacketPtr p(aPacket_CreateWithData(address, uint8_t(data.size()), data.data()));
  EXPECT_EQ(aLink_PutPacket(link, p.get()), aErrNone);
  Match m{r0, r1};
  return PacketPtr(aLink_AwaitFirst(link, MatchTwo, &m, timeoutMs));
}

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class LinkHolder {
 public:
  explicit LinkHolder(uint32_t id) : id_(id) {}
  ~LinkHolder() {
    if (id_) aLink_Destroy(&id_);
  }
  uint32_t id() const { return id_; }
  void reset(uint32_t id) {
    if (id_) aLink_Destroy(&id_);
    id_ = id;
  }

 private:
  uint32_t id_;
};

}  // namespace

TEST(SimLink, TcpSyncIdentifyAndSystemEntity) {
  RunningWorld w({"serial=1234ABCD,model=13,version=2.11.4,build=4321,name=bench,tcp"});
  LinkHolder link(aLink_CreateTCPIP(Loopback(), w.port()));
  ASSERT_NE(link.id(), 0u);
  ASSERT_EQ(aLink_Sync(link.id()), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStateRunning);

  uei r;
  ASSERT_EQ(Get(link.id(), 2, cmdSYSTEM, 8, r), aErrNone);
  EXPECT_EQ(r.v.byteVal, 13);
  ASSERT_EQ(Get(link.id(), 2, cmdSYSTEM, 9, r), aErrNone);
  EXPECT_EQ(r.v.intVal, 0x1234ABCDu);
  ASSERT_EQ(Get(link.id(), 2, cmdSYSTEM, 43, r), aErrNone);
  EXPECT_EQ(r.v.intVal, 4321u);
  ASSERT_EQ(Get(link.id(), 2, cmdSYSTEM, 45, r), aErrNone);
  EXPECT_EQ(r.v.intVal & 0x80000000u, 0x80000000u);
  // Error replies carry the module's code.
  EXPECT_EQ(Get(link.id(), 2, cmdSYSTEM, 50, r), aErrUnimplemented);
  EXPECT_EQ(Set8(link.id(), 2, cmdSYSTEM, 4, 1), aErrNone);
  ASSERT_EQ(Get(link.id(), 2, cmdSYSTEM, 4, r), aErrNone);
  EXPECT_EQ(r.v.byteVal, 1);
  EXPECT_EQ(Set8(link.id(), 2, cmdSYSTEM, 51, 1), aErrUnimplemented);

  // The name as a byte-array run, written and read back.
  const std::string name = "a name that takes two packets";
  uei set = Request(2, cmdSYSTEM, 32 | aUEI_SET);
  set.type = ueiTypeBytes;
  set.v.bytes.buffer = reinterpret_cast<uint8_t*>(const_cast<char*>(name.data()));
  set.v.bytes.length = uint32_t(name.size());
  ASSERT_EQ(aUEI_Send(link.id(), &set), aErrNone);
  uei ack = Request(2, cmdSYSTEM, 32 | aUEI_ACK);
  ASSERT_EQ(aUEI_Receive(link.id(), &ack), aErrNone);
  uint8_t buffer[32];
  uint32_t count = 0;
  uei get = Request(2, cmdSYSTEM, 32 | aUEI_GET);
  ASSERT_EQ(aUEI_Send(link.id(), &get), aErrNone);
  uei reply = Request(2, cmdSYSTEM, 32);
  reply.type = ueiTypeBytes;
  reply.v.bytes.buffer = buffer;
  reply.v.bytes.length = sizeof buffer;
  reply.v.bytes.count = &count;
  ASSERT_EQ(aUEI_Receive(link.id(), &reply), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), name);

  // Build number through command 73.
  PacketPtr build = Exchange(link.id(), 2, {73, 0xFF}, 73, 0xFF);
  ASSERT_TRUE(build);
  ASSERT_EQ(build->dataSize, 6);
  EXPECT_EQ(aUEI_RetrieveInt(build->data + 2), 4321u);
}

TEST(SimLink, HeartbeatsAreAnsweredByTheEngine) {
  RunningWorld w({"serial=1,tcp,heartbeat_ms=40"});
  {
    LinkHolder link(aLink_CreateTCPIP(Loopback(), w.port()));
    ASSERT_NE(link.id(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    // Heartbeats never reach the callers.
    EXPECT_EQ(aLink_GetPacket(link.id()), nullptr);
  }
  w.stop();
  const ksim::ModuleStats& s = w.module().stats();
  EXPECT_GE(s.heartbeatsSent, 3u);
  EXPECT_GE(s.heartbeatsAnswered, 2u);
  EXPECT_EQ(s.heartbeatsWrong, 0u);
}

TEST(SimLink, RouterRelaysToItsBusModule) {
  RunningWorld w({"serial=A0000001,address=2,tcp", "serial=B0000002,on=A0000001,address=8,model=15"});
  LinkHolder link(aLink_CreateTCPIP(Loopback(), w.port()));
  ASSERT_NE(link.id(), 0u);
  // The I2C probe of the bus scan: two zero bytes to each address.
  PacketPtr ack = Exchange(link.id(), 2, {cmdI2C, 0, 8, 2, 3, 0, 0}, cmdI2C, 0);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->data[4], 0);
  ack = Exchange(link.id(), 2, {cmdI2C, 0, 6, 2, 3, 0, 0}, cmdI2C, 0);
  ASSERT_TRUE(ack);
  EXPECT_NE(ack->data[4] & 0x80, 0);

  uei r;
  EXPECT_EQ(Get(link.id(), 8, cmdSYSTEM, 9, r), aErrTimeout);  // not routed yet
  ASSERT_EQ(Set8(link.id(), 2, cmdSYSTEM, 20, 1), aErrNone);
  ASSERT_EQ(Get(link.id(), 8, cmdSYSTEM, 9, r), aErrNone);
  EXPECT_EQ(r.v.intVal, 0xB0000002u);
  ASSERT_EQ(Get(link.id(), 8, cmdSYSTEM, 2, r), aErrNone);
  EXPECT_EQ(r.v.byteVal, 2);
  ASSERT_EQ(Set8(link.id(), 2, cmdSYSTEM, 20, 0), aErrNone);
}

TEST(SimLink, UpgradeOverTcpFillsTheFlashAndRebootDropsTheLink) {
  RunningWorld w({"serial=1,tcp,reboot_away_ms=300,new_version=2.12.1"});
  LinkHolder link(aLink_CreateTCPIP(Loopback(), w.port()));
  ASSERT_NE(link.id(), 0u);
  ASSERT_EQ(aLink_EnablePooledPackets(link.id(), true), aErrNone);
  PacketPtr r = Exchange(link.id(), 2, {95, 0}, 95, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->dataSize, 6);
  r = Exchange(link.id(), 2, {95, 3, 1, 0, 0, 0x40, 0}, 95, 7);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->data[2], 0);
  EXPECT_EQ(aUEI_RetrieveShort(r->data + 3), 512);

  Bytes firmware(1000);
  for (size_t i = 0; i < firmware.size(); ++i) firmware[i] = uint8_t(i * 13 + 5);
  // First chunk in DATA packets, second as one byte array (option 10).
  uint32_t sum = 0;
  for (size_t pos = 0; pos < 512; pos += 26) {
    size_t n = std::min<size_t>(26, 512 - pos);
    Bytes d{95, 1};
    d.insert(d.end(), firmware.begin() + pos, firmware.begin() + pos + n);
    r = Exchange(link.id(), 2, d, 95, 1);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->data[2], n);
    for (size_t i = 0; i < n; ++i) sum += firmware[pos + i];
  }
  r = Exchange(link.id(), 2, {95, 4}, 95, 7);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->data[2], 0);
  EXPECT_EQ(aUEI_RetrieveInt(r->data + 3), sum);
  r = Exchange(link.id(), 2, {95, 5, 0x02, 0x00}, 95, 7);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->data[2], 0);

  uei set = Request(2, cmdUPGRADE, 10 | aUEI_SET);
  set.type = ueiTypeBytes;
  set.v.bytes.buffer = firmware.data() + 512;
  set.v.bytes.length = 488;
  ASSERT_EQ(aUEI_Send(link.id(), &set), aErrNone);
  uei ack = Request(2, cmdUPGRADE, 10 | aUEI_ACK);
  ASSERT_EQ(aUEI_Receive(link.id(), &ack), aErrNone);
  sum = 0;
  for (size_t i = 512; i < 1000; ++i) sum += firmware[i];
  r = Exchange(link.id(), 2, {95, 4}, 95, 7);
  ASSERT_TRUE(r);
  EXPECT_EQ(aUEI_RetrieveInt(r->data + 3), sum);
  r = Exchange(link.id(), 2, {95, 5, 0x01, 0xE8}, 95, 7);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->data[2], 0);

  // REBOOT: the module resets the connection and is away for a while; the
  // link leaves the running state. A new link reaches the rebooted module.
  PacketPtr reboot(aPacket_CreateWithData(2, 2, Bytes{95, 6}.data()));
  ASSERT_EQ(aLink_PutPacket(link.id(), reboot.get()), aErrNone);
  EXPECT_TRUE(WaitFor([&] { return aLink_GetStatus(link.id()) != kLinkStateRunning; }));
  link.reset(0);
  EXPECT_TRUE(WaitFor([&] {
    link.reset(aLink_CreateTCPIP(Loopback(), w.port()));
    return link.id() != 0 && aLink_Sync(link.id()) == aErrNone;
  }));
  uei v;
  ASSERT_EQ(Get(link.id(), 2, cmdSYSTEM, 7, v), aErrNone);
  EXPECT_EQ(v.v.intVal, 0x2C000001u);  // 2.12.1

  w.stop();
  EXPECT_EQ(w.module().flash().read(0x4000, 1000), firmware);
  EXPECT_EQ(w.module().stats().chunksWritten, 2u);
}

TEST(SimLink, FaultsAsTheHostSeesThem) {
  RunningWorld w({"serial=1,tcp,fault=init-short,fault=wrong-sum,fault=drop-data-ack,fault=wrong-data-count,"
                  "fault=prepare-status,fault=no-load-reply"});
  LinkHolder link(aLink_CreateTCPIP(Loopback(), w.port()));
  ASSERT_NE(link.id(), 0u);
  PacketPtr r = Exchange(link.id(), 2, {95, 0}, 95, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->dataSize, 5);  // too short for the load base
  r = Exchange(link.id(), 2, {95, 3, 0, 0, 0, 0, 0}, 95, 7);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->data[2], 1);
  r = Exchange(link.id(), 2, {95, 1, 1, 2, 3}, 95, 1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->data[2], 2);  // a wrong count: the host sends the bytes again
  EXPECT_FALSE(Exchange(link.id(), 2, {95, 1, 1, 2, 3}, 95, 1, 300));  // taken, not acknowledged
  r = Exchange(link.id(), 2, {95, 4}, 95, 7);
  ASSERT_TRUE(r);
  EXPECT_EQ(aUEI_RetrieveInt(r->data + 3), 7u);  // 1 + 2 + 3, plus one
  EXPECT_FALSE(Exchange(link.id(), 2, {95, 2}, 95, 2, 300));
}

TEST(SimLink, MuteModuleCannotBeSynchronised) {
  RunningWorld w({"serial=1,tcp,fault=mute"});
  LinkHolder link(aLink_CreateTCPIP(Loopback(), w.port()));
  ASSERT_NE(link.id(), 0u);
  EXPECT_EQ(aLink_Sync(link.id()), aErrNotReady);
}

TEST(SimLink, LatencySlowsEveryAnswer) {
  RunningWorld w({"serial=1,tcp,fault=latency=120"});
  LinkHolder link(aLink_CreateTCPIP(Loopback(), w.port()));
  ASSERT_NE(link.id(), 0u);
  uei r;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(Get(link.id(), 2, cmdSYSTEM, 8, r), aErrNone);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(110));
}

TEST(SimLink, SerialLinkOverAPseudoTerminal) {
  RunningWorld w({"serial=0000CAFE,model=17,pty"});
  LinkHolder link(aLink_CreateSerial(0xCAFE, w.pty().c_str(), 115200));
  ASSERT_NE(link.id(), 0u);
  ASSERT_EQ(aLink_Sync(link.id()), aErrNone);
  uei r;
  ASSERT_EQ(Get(link.id(), 2, cmdSYSTEM, 8, r), aErrNone);
  EXPECT_EQ(r.v.byteVal, 17);
  ASSERT_EQ(Get(link.id(), 2, cmdSYSTEM, 9, r), aErrNone);
  EXPECT_EQ(r.v.intVal, 0xCAFEu);
  PacketPtr p = Exchange(link.id(), 2, {95, 3, 0, 0, 0, 0, 0}, 95, 7);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->data[2], 0);
  p = Exchange(link.id(), 2, {95, 1, 9, 9}, 95, 1);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->data[2], 2);
}
