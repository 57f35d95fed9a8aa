// The sharing server's life cycle and its broker: the frontend ROUTER where
// clients send packets, the byte-array pools, the request line's turns and
// time-outs, and the fan-out of stream batches.
#include <arpa/inet.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <utility>

#include "common/aKorvexDebug.h"
#include "common/aLanet_beacon.h"
#include "common/aLink.h"
#include "common/aServer_internal.h"
#include "common/aTime.h"
#include "common/aUEI.h"

namespace {

std::atomic<aServerAnnounceStart> sAnnounceStart{nullptr};
std::atomic<aServerAnnounceStop> sAnnounceStop{nullptr};

constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kStreamEnable = aUEI_SET | 1;
constexpr uint8_t kStreamDisable = aUEI_SET | 2;
constexpr uint32_t kIdleWaitMs = 1000;
constexpr int kReceiveBurst = 256;  // client messages taken per turn

constexpr uint32_t kProbeEveryMs = 1000;

// Started servers of this process by the address and port their frontend
// listens on.
struct LocalServers {
  std::mutex mutex;
  std::map<std::pair<uint32_t, uint16_t>, aServerLocal> byEndpoint;
  uint32_t named = 0;  // in-process endpoints named so far
};

LocalServers& sLocalServers() {
  static LocalServers* servers = new LocalServers();  // outlives every server
  return *servers;
}

uint32_t sBindAddress(const aServer* server) {
  const uint32_t address =
      server->localOnly ? htonl(INADDR_LOOPBACK) : server->interfaceAddress;
  return address != 0 ? address : htonl(INADDR_LOOPBACK);
}

void sRegisterLocal(aServer* server) {
  if (!server->localBound.load(std::memory_order_acquire)) return;
  LocalServers& local = sLocalServers();
  std::lock_guard<std::mutex> lock(local.mutex);
  local.byEndpoint[{sBindAddress(server), server->port.load()}] = {server->localEndpoint,
                                                                   server->closed};
}

// Clients of this process no longer find the server, and those that reach
// it in-process learn that it has gone.
void sUnregisterLocal(aServer* server) {
  if (server->closed == nullptr) return;
  server->closed->store(true);
  LocalServers& local = sLocalServers();
  std::lock_guard<std::mutex> lock(local.mutex);
  auto found = local.byEndpoint.find({sBindAddress(server), server->port.load()});
  if (found != local.byEndpoint.end() && found->second.closed == server->closed)
    local.byEndpoint.erase(found);
}

struct Broker {
  aServer* server;
  std::set<std::string> subscribers;
  aServerPools pools;
  uint32_t lastProbeMs = 0;
};

void sStreamRequest(Broker* b, const std::string& identity, const aPacket& p) {
  if (p.dataSize != 7 || p.data[0] != kCmdStream) return;
  if (p.data[1] == kStreamEnable) {
    if (b->subscribers.insert(identity).second)
      aKorvexDebug_Trace(aDEBUG_SERVER, "Added stream entry\n");
  } else if (p.data[1] == kStreamDisable) {
    b->subscribers.erase(identity);
  }
}

// A refused request (its client has too many waiting, or all clients
// together) is told at once when it is a UEI get or set: the server answers
// it as the module answers a request it cannot take, with an error reply
// from the request's address whose code is aErrBusy, so the asker's wait
// ends with that error instead of its time-out. Any other refused packet
// gets nothing; its asker's own wait ends it.
void sRefuse(Broker* b, const std::string& identity, const aPacket& request) {
  if (request.dataSize < 3 || !aUEI_isUEIPayload(&request) ||
      (request.data[2] & aUEI_REQUEST) == 0)
    return;
  const uint8_t operation = request.data[1] & aUEI_ACK;
  uint8_t option = request.data[1] & aUEI_OPTION_MASK;
  if (operation == aUEI_SET)
    option |= aUEI_ACK;
  else if (operation != aUEI_GET)
    return;
  const uint8_t wire[6] = {request.address, 4, request.data[0], option,
                           static_cast<uint8_t>((request.data[2] & aUEI_INDEX_MASK) | aUEI_ERROR),
                           static_cast<uint8_t>(aErrBusy)};
  aServer_sendTo(b->server, identity, wire, sizeof(wire));
}

// Receives one message from the frontend without blocking: its frames'
// bytes. False when none is waiting.
bool sReceive(aSharedSocket* frontend, std::vector<std::string>* frames) {
  frames->clear();
  aSharedSocket::Use use(*frontend);
  int more = 1;
  while (more != 0) {
    zmq_msg_t part;
    zmq_msg_init(&part);
    // The parts of a message arrive together: only the first can be absent.
    if (zmq_msg_recv(&part, use.socket(), ZMQ_DONTWAIT) < 0) {
      if (frames->empty() && zmq_errno() == EAGAIN) use.foundEmpty();
      zmq_msg_close(&part);
      return !frames->empty();
    }
    frames->emplace_back(static_cast<const char*>(zmq_msg_data(&part)),
                         zmq_msg_size(&part));
    more = zmq_msg_more(&part);
    zmq_msg_close(&part);
  }
  return true;
}

// One client message: [identity, packet frame].
void sFromClient(Broker* b, const std::vector<std::string>& frames) {
  const uint8_t* wire = frames.size() == 2
      ? reinterpret_cast<const uint8_t*>(frames[1].data()) : nullptr;
  if (wire == nullptr || !aServer_FrameIsPacket(wire, frames[1].size())) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Bad content packet: dSize: %d\n",
                       frames.size() >= 2 ? static_cast<int>(frames[1].size()) : -1);
    return;
  }
  const std::string& identity = frames[0];
  aPacket packet{};
  packet.check = aPACKET_CHECK;
  packet.address = wire[0];
  packet.dataSize = wire[1];
  std::copy(wire + 2, wire + 2 + wire[1], packet.data);
  packet.fill = static_cast<uint8_t>(2 + wire[1]);

  sStreamRequest(b, identity, packet);
  std::vector<aPacket> run;
  switch (b->pools.offer(identity, packet, aTime_GetMSTicks(), &run)) {
    case aServerPools::kHeld:
      return;
    case aServerPools::kComplete:
      if (!aServer_queueRequest(b->server, {identity, run, aTime_GetMSTicks()}))
        sRefuse(b, identity, run.back());
      return;
    case aServerPools::kNotPooled:
      break;
  }
  if (!aServer_NeedsAnswer(&packet)) {
    // A force route is the server's own business; a run packet outside a
    // pool would leave the module half a run nobody completes.
    aKorvexDebug_Trace(aDEBUG_SERVER,
                       packet.address == aLINK_ADDRESS_FORCE_ROUTE
                           ? "Blocking cmdFORCEROUTE from remote client\n"
                           : "run packet without its run dropped\n");
    return;
  }
  if (!aServer_queueRequest(b->server, {identity, {packet}, aTime_GetMSTicks()}))
    sRefuse(b, identity, packet);
  return;
}

void sSendBatches(Broker* b) {
  std::deque<std::string> due;
  aServer_takeDueBatches(b->server, aTime_GetMSTicks(), &due);
  if (due.empty()) return;
  for (const std::string& batch : due) {
    for (auto it = b->subscribers.begin(); it != b->subscribers.end();) {
      if (aServer_sendTo(b->server, *it, batch.data(), batch.size())) {
        ++it;
      } else {
        aKorvexDebug_Trace(aDEBUG_SERVER, "stream client gone, dropped\n");
        it = b->subscribers.erase(it);
      }
    }
  }
  b->server->subscriberCount = static_cast<uint32_t>(b->subscribers.size());
}

// Stream clients that went away while no samples came are found by an
// empty frame (which client streams ignore), once a second: the frontend
// says which identities it no longer knows.
void sProbeSubscribers(Broker* b, uint32_t nowMs) {
  if (nowMs - b->lastProbeMs < kProbeEveryMs) return;
  b->lastProbeMs = nowMs;
  if (b->subscribers.empty()) return;
  for (auto it = b->subscribers.begin(); it != b->subscribers.end();) {
    if (aServer_sendTo(b->server, *it, nullptr, 0)) {
      ++it;
    } else {
      aKorvexDebug_Trace(aDEBUG_SERVER, "stream client gone, dropped\n");
      it = b->subscribers.erase(it);
    }
  }
  b->server->subscriberCount = static_cast<uint32_t>(b->subscribers.size());
}

// How long the broker may sleep: until the request in flight times out or
// stream batches are due, else a while (pools expire meanwhile).
long sWaitMs(aServer* server) {
  const uint32_t now = aTime_GetMSTicks();
  const uint32_t wait = std::min({aServer_requestWaitMs(server, now),
                                  aServer_batchWaitMs(server, now), kIdleWaitMs});
  return static_cast<long>(wait);
}

}  // namespace

bool aServer_sendTo(aServer* server, const std::string& identity,
                    const void* data, size_t size) {
  if (aServerTcp::owns(identity)) return server->tcp.sendTo(identity, data, size);
  aSharedSocket::Use use(server->frontend);
  void* frontend = use.socket();
  if (frontend == nullptr) return false;
  // A client too slow to take its messages loses this one rather than
  // holding up everybody else's answers; a vanished one is reported.
  if (zmq_send(frontend, identity.data(), identity.size(),
               ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0)
    return zmq_errno() != EHOSTUNREACH;
  zmq_send(frontend, data, size, ZMQ_DONTWAIT);
  return true;
}

void aServer_zmqSetup() {
  static std::once_flag once;
  // Left installed, the library's own SIGINT handler would swallow Ctrl-C.
  std::call_once(once, [] { zsys_handler_set(nullptr); });
}

void aServer_brokerActor(zsock_t* pipe, void* args) {
  Broker b;
  b.server = static_cast<aServer*>(args);
  // Clients of other processes reach the frontend over TCP, those of this
  // process in-process through a ROUTER, without the network's hops (their
  // messages pass straight to this socket).
  zsock_t* frontend = zsock_new(ZMQ_ROUTER);
  uint16_t port = 0;
  if (frontend != nullptr) {
    zsock_set_linger(frontend, 0);
    zsock_set_sndhwm(frontend, 10000);
    zsock_set_router_mandatory(frontend, 1);  // tells a vanished client
    if (!b.server->tcp.listen(sBindAddress(b.server), &port)) port = 0;
    if (port != 0 && zsock_bind(frontend, "%s", b.server->localEndpoint.c_str()) == 0)
      b.server->localBound.store(true, std::memory_order_release);
  }
  if (port == 0 || !b.server->frontend.open(frontend)) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Could not find open port\n");
    if (port == 0) zsock_destroy(&frontend);
    b.server->tcp.close();
    b.server->brokerDone.store(true, std::memory_order_release);
    zsock_signal(pipe, 1);
    return;
  }
  b.server->port = port;
  zsock_signal(pipe, 0);
  std::vector<zmq_pollitem_t> items;
  std::vector<aServerMessage> messages;
  for (;;) {
    // The pipe is watched by its descriptor, which only tells that its
    // state may have changed: its events are looked at after every wait.
    // So the wait is one poll() of descriptors.
    items.assign(1, {nullptr, zsock_fd(pipe), ZMQ_POLLIN, 0});
    b.server->tcp.items(&items);
    const int n = b.server->frontend.wait(items.data(), static_cast<int>(items.size()),
                                          sWaitMs(b.server));
    if (n < 0 && zmq_errno() != EINTR) break;
    if (zsock_events(pipe) & ZMQ_POLLIN) {
      char* text = zstr_recv(pipe);
      const bool end = text == nullptr || strcmp(text, "$TERM") == 0;
      zstr_free(&text);
      if (end) break;
    }
    messages.clear();
    b.server->tcp.service(items, 1, aTime_GetMSTicks(), &messages);
    for (const aServerMessage& m : messages) {
      std::vector<std::string> frames;
      frames.reserve(1 + m.frames.size());
      frames.push_back(m.identity);
      frames.insert(frames.end(), m.frames.begin(), m.frames.end());
      sFromClient(&b, frames);
    }
    std::vector<std::string> frames;
    for (int i = 0; i < kReceiveBurst && sReceive(&b.server->frontend, &frames); i++)
      sFromClient(&b, frames);
    const uint32_t now = aTime_GetMSTicks();
    b.pools.expire(now);
    aServer_serveRequests(b.server, now);
    sSendBatches(&b);
    sProbeSubscribers(&b, now);
    b.server->clientStates = static_cast<uint32_t>(
        b.pools.size() + b.subscribers.size() + aServer_waitingClients(b.server));
  }
  b.server->frontend.close();
  b.server->tcp.close();
  aKorvexDebug_Trace(aDEBUG_SERVER, "server task exit\n");
  b.server->brokerDone.store(true, std::memory_order_release);
}

void aServer_endActor(zactor_t** actor, std::atomic<bool>* done) {
  if (*actor == nullptr) return;
  zactor_destroy(actor);
  for (int i = 0; i < 1000 && !done->load(std::memory_order_acquire); i++)
    aTime_MSSleep(1);
}

aServer* aServer_Create(uint32_t linkId, uint32_t interfaceAddress,
                        bool localOnly) {
  if (aLink_GetUseCount(linkId) <= 0) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Could not find device Item\n");
    return nullptr;
  }
  aServer* server = new (std::nothrow) aServer();
  if (server == nullptr) return nullptr;
  server->linkId = linkId;
  server->interfaceAddress =
      interfaceAddress != 0 ? interfaceAddress : htonl(INADDR_LOOPBACK);
  server->localOnly = localOnly;
  return server;
}

aErr aServer_Start(aServer* server) {
  if (server == nullptr) return aErrParam;
  if (server->broker != nullptr) return aErrNone;
  aServer_zmqSetup();
  // Open to the network, the server listens and is announced on one
  // interface: the one asked for, else the host's first.
  if (!server->localOnly)
    server->interfaceAddress = aLanet_ServerInterface(server->interfaceAddress);
  {
    LocalServers& local = sLocalServers();
    std::lock_guard<std::mutex> lock(local.mutex);
    server->localEndpoint = "inproc://korvex-server-" + std::to_string(local.named++);
  }
  server->closed = std::make_shared<std::atomic<bool>>(false);
  // zactor_new waits for the actor's signal; a failed start signals 1 and
  // the actor is gone, which zactor_new reports as null.
  server->broker = zactor_new(aServer_brokerActor, server);
  if (server->broker == nullptr || server->port == 0) {
    aServer_endActor(&server->broker, &server->brokerDone);
    return aErrResource;
  }
  aLink_DrainPackets(server->linkId, nullptr, nullptr);
  if (aLink_InstallUserPacketFilter(server->linkId, aServer_linkFilter,
                                    server) != aErrNone) {
    aServer_endActor(&server->broker, &server->brokerDone);
    return aErrResource;
  }
  server->filterInstalled = true;
  sRegisterLocal(server);
  aServerAnnounceStart announce = sAnnounceStart;
  if (announce != nullptr) server->announce = announce(server);
  return aErrNone;
}

uint16_t aServer_GetPort(const aServer* s) { return s ? s->port.load() : 0; }
uint32_t aServer_GetInterface(const aServer* s) {
  return s ? s->interfaceAddress : 0;
}
bool aServer_IsLocalOnly(const aServer* s) { return s ? s->localOnly : true; }
void aServer_SetModuleAddress(aServer* s, uint8_t a) { if (s) s->moduleAddress = a; }
void aServer_SetModel(aServer* s, uint8_t m) { if (s) s->model = m; }
uint8_t aServer_GetModuleAddress(const aServer* s) { return s ? s->moduleAddress.load() : 0; }
uint8_t aServer_GetModel(const aServer* s) { return s ? s->model.load() : 0; }
uint32_t aServer_GetStreamClientCount(const aServer* s) {
  return s ? s->subscriberCount.load() : 0;
}
uint32_t aServer_GetClientStateCount(const aServer* s) {
  return s ? s->clientStates.load() : 0;
}

aErr aServer_FlushFIFO(aServer* server) {
  if (server == nullptr) return aErrParam;
  aKorvexDebug_Trace(aDEBUG_SERVER, "Flushing FIFO\n");
  aLink_DrainPackets(server->linkId, nullptr, nullptr);
  return aErrNone;
}

void aServer_Destroy(aServer** server) {
  if (server == nullptr || *server == nullptr) return;
  aServer* s = *server;
  *server = nullptr;
  sUnregisterLocal(s);
  aServerAnnounceStop stop = sAnnounceStop;
  if (s->announce != nullptr && stop != nullptr) stop(s->announce);
  if (s->filterInstalled)
    aLink_InstallUserPacketFilter(s->linkId, nullptr, nullptr);
  aServer_endActor(&s->broker, &s->brokerDone);
  delete s;
}

bool aServer_localEndpoint(uint32_t address, uint16_t port, aServerLocal* local) {
  LocalServers& servers = sLocalServers();
  std::lock_guard<std::mutex> lock(servers.mutex);
  auto found = servers.byEndpoint.find({address, port});
  if (found == servers.byEndpoint.end()) return false;
  *local = found->second;
  return true;
}

bool aServer_Available(void) { return true; }

void aServer_SetAnnounceHooks(aServerAnnounceStart start,
                              aServerAnnounceStop stop) {
  sAnnounceStart = start;
  sAnnounceStop = stop;
}
