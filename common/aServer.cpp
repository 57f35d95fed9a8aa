// The sharing server's life cycle and its broker: the frontend ROUTER where
// clients send packets, the queue of identities waiting for answers, the
// byte-array pools and the fan-out of stream batches.
#include <arpa/inet.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <set>

#include "common/aKorvexDebug.h"
#include "common/aLanet_beacon.h"
#include "common/aLink.h"
#include "common/aServer_internal.h"
#include "common/aTime.h"
#include "common/aUEI.h"

namespace {

std::atomic<aServerAnnounceStart> sAnnounceStart{nullptr};
std::atomic<aServerAnnounceStop> sAnnounceStop{nullptr};
std::atomic<uint32_t> sServerCount{0};

constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kStreamEnable = aUEI_SET | 1;
constexpr uint8_t kStreamDisable = aUEI_SET | 2;

struct Broker {
  aServer* server;
  zsock_t* frontend = nullptr;
  zsock_t* sync = nullptr;
  std::deque<std::string> waiting;  // identities, oldest first
  std::set<std::string> subscribers;
  aServerPools pools;
};

// Sends [identity, data] without blocking; false when the client is gone
// (its connection closed). A client too slow to take its messages loses
// this one rather than holding up everybody else's answers.
bool sSend(zsock_t* frontend, const std::string& identity, const void* data,
           size_t size) {
  void* socket = zsock_resolve(frontend);
  if (zmq_send(socket, identity.data(), identity.size(),
               ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0)
    return zmq_errno() != EHOSTUNREACH;
  zmq_send(socket, data, size, ZMQ_DONTWAIT);
  return true;
}

// Hands a request (one packet or a whole run) to the sync worker with the
// asker's identity queued for its answer.
void sForward(Broker* b, const std::string& identity,
              const std::vector<aPacket>& packets) {
  if (b->waiting.size() >= aSERVER_MAX_WAITING) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "too many waiting requests, dropped\n");
    return;
  }
  zmsg_t* msg = zmsg_new();
  if (msg == nullptr) return;
  for (const aPacket& p : packets) {
    uint8_t wire[aPACKET_MAX_WIRE];
    const uint32_t n = aPacket_WireBytes(&p, wire);
    zmsg_addmem(msg, wire, n);
  }
  if (zmsg_send(&msg, b->sync) != 0) {
    zmsg_destroy(&msg);
    return;
  }
  b->waiting.push_back(identity);
}

void sStreamRequest(Broker* b, const std::string& identity, const aPacket& p) {
  if (p.dataSize != 7 || p.data[0] != kCmdStream) return;
  if (p.data[1] == kStreamEnable) {
    if (b->subscribers.insert(identity).second)
      aKorvexDebug_Trace(aDEBUG_SERVER, "Added stream entry\n");
  } else if (p.data[1] == kStreamDisable) {
    b->subscribers.erase(identity);
  }
}

void sFromClient(Broker* b) {
  zmsg_t* msg = zmsg_recv(b->frontend);
  if (msg == nullptr) return;
  zframe_t* id = zmsg_first(msg);
  zframe_t* body = zmsg_next(msg);
  if (zmsg_size(msg) != 2 || id == nullptr || body == nullptr ||
      !aServer_FrameIsPacket(zframe_data(body), zframe_size(body))) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Bad content packet: dSize: %d\n",
                       body != nullptr ? static_cast<int>(zframe_size(body)) : -1);
    zmsg_destroy(&msg);
    return;
  }
  const std::string identity(reinterpret_cast<const char*>(zframe_data(id)),
                             zframe_size(id));
  const uint8_t* wire = zframe_data(body);
  aPacket packet{};
  packet.check = aPACKET_CHECK;
  packet.address = wire[0];
  packet.dataSize = wire[1];
  std::copy(wire + 2, wire + 2 + wire[1], packet.data);
  packet.fill = static_cast<uint8_t>(2 + wire[1]);
  zmsg_destroy(&msg);

  sStreamRequest(b, identity, packet);
  std::vector<aPacket> run;
  switch (b->pools.offer(identity, packet, aTime_GetMSTicks(), &run)) {
    case aServerPools::kHeld:
      return;
    case aServerPools::kComplete:
      sForward(b, identity, run);
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
  sForward(b, identity, {packet});
}

// One answer message from the sync worker: [command, packets...].
void sFromSync(Broker* b) {
  zmsg_t* msg = zmsg_recv(b->sync);
  if (msg == nullptr) return;
  zframe_t* command = zmsg_first(msg);
  if (b->waiting.empty()) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "no id to pop\n");
    zmsg_destroy(&msg);
    return;
  }
  const std::string identity = b->waiting.front();
  b->waiting.pop_front();
  if (command != nullptr && zframe_size(command) == 3 &&
      zframe_data(command)[0] == 1) {
    for (zframe_t* f = zmsg_next(msg); f != nullptr; f = zmsg_next(msg))
      sSend(b->frontend, identity, zframe_data(f), zframe_size(f));
  }
  zmsg_destroy(&msg);
}

void sSendBatches(Broker* b) {
  std::deque<std::string> due;
  aServer_takeDueBatches(b->server, aTime_GetMSTicks(), &due);
  for (const std::string& batch : due) {
    for (auto it = b->subscribers.begin(); it != b->subscribers.end();) {
      if (sSend(b->frontend, *it, batch.data(), batch.size())) {
        ++it;
      } else {
        aKorvexDebug_Trace(aDEBUG_SERVER, "stream client gone, dropped\n");
        it = b->subscribers.erase(it);
      }
    }
  }
  b->server->subscriberCount = static_cast<uint32_t>(b->subscribers.size());
}

std::string sEndpoint(uint32_t address) {
  char text[INET_ADDRSTRLEN] = "127.0.0.1";
  in_addr a;
  a.s_addr = address;
  if (address != 0) inet_ntop(AF_INET, &a, text, sizeof(text));
  return std::string("tcp://") + text + ":*";
}

}  // namespace

void aServer_zmqSetup() {
  static std::once_flag once;
  // Left installed, the library's own SIGINT handler would swallow Ctrl-C.
  std::call_once(once, [] { zsys_handler_set(nullptr); });
}

void aServer_brokerActor(zsock_t* pipe, void* args) {
  Broker b;
  b.server = static_cast<aServer*>(args);
  b.frontend = zsock_new(ZMQ_ROUTER);
  b.sync = zsock_new(ZMQ_PAIR);
  int port = -1;
  if (b.frontend != nullptr && b.sync != nullptr) {
    zsock_set_linger(b.frontend, 0);
    zsock_set_sndhwm(b.frontend, 10000);
    zsock_set_router_mandatory(b.frontend, 1);  // tells a vanished client
    const uint32_t bindAddress = b.server->localOnly
                                     ? htonl(INADDR_LOOPBACK)
                                     : b.server->interfaceAddress;
    port = zsock_bind(b.frontend, "%s", sEndpoint(bindAddress).c_str());
    if (port > 0 && zsock_bind(b.sync, "%s", b.server->syncEndpoint.c_str()) != 0)
      port = -1;
  }
  zpoller_t* poller = port > 0 ? zpoller_new(pipe, b.frontend, b.sync, nullptr)
                               : nullptr;
  if (poller == nullptr) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Could not find open port\n");
    zsock_destroy(&b.sync);
    zsock_destroy(&b.frontend);
    b.server->brokerDone.store(true, std::memory_order_release);
    zsock_signal(pipe, 1);
    return;
  }
  b.server->port = static_cast<uint16_t>(port);
  zsock_signal(pipe, 0);
  for (;;) {
    zsock_t* which = static_cast<zsock_t*>(zpoller_wait(poller, 20));
    if (which == pipe) {
      char* command = zstr_recv(pipe);
      const bool end = command == nullptr || strcmp(command, "$TERM") == 0;
      zstr_free(&command);
      if (end) break;
    } else if (which == b.frontend) {
      sFromClient(&b);
    } else if (which == b.sync) {
      sFromSync(&b);
    } else if (zpoller_terminated(poller)) {
      break;
    }
    b.pools.expire(aTime_GetMSTicks());
    sSendBatches(&b);
  }
  zpoller_destroy(&poller);
  zsock_destroy(&b.sync);
  zsock_destroy(&b.frontend);
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
  char endpoint[64];
  snprintf(endpoint, sizeof(endpoint), "inproc://korvex-server-sync-%u",
           static_cast<unsigned>(sServerCount++));
  server->syncEndpoint = endpoint;
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
  // zactor_new waits for the actor's signal; a failed start signals 1 and
  // the actor is gone, which zactor_new reports as null.
  server->broker = zactor_new(aServer_brokerActor, server);
  if (server->broker == nullptr || server->port == 0) {
    aServer_endActor(&server->broker, &server->brokerDone);
    return aErrResource;
  }
  server->sync = zactor_new(aServer_syncActor, server);
  if (server->sync == nullptr) {
    aServer_endActor(&server->broker, &server->brokerDone);
    return aErrResource;
  }
  aLink_DrainPackets(server->linkId, nullptr, nullptr);
  if (aLink_InstallUserPacketFilter(server->linkId, aServer_streamFilter,
                                    server) != aErrNone) {
    aServer_endActor(&server->sync, &server->syncDone);
    aServer_endActor(&server->broker, &server->brokerDone);
    return aErrResource;
  }
  server->filterInstalled = true;
  aServerAnnounceStart announce = sAnnounceStart;
  if (announce != nullptr) server->announce = announce(server);
  return aErrNone;
}

uint16_t aServer_GetPort(const aServer* s) { return s ? s->port.load() : 0; }
uint32_t aServer_GetInterface(const aServer* s) {
  return s ? s->interfaceAddress : 0;
}
void aServer_SetModuleAddress(aServer* s, uint8_t a) { if (s) s->moduleAddress = a; }
void aServer_SetModel(aServer* s, uint8_t m) { if (s) s->model = m; }
uint8_t aServer_GetModuleAddress(const aServer* s) { return s ? s->moduleAddress.load() : 0; }
uint8_t aServer_GetModel(const aServer* s) { return s ? s->model.load() : 0; }
uint32_t aServer_GetStreamClientCount(const aServer* s) {
  return s ? s->subscriberCount.load() : 0;
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
  aServerAnnounceStop stop = sAnnounceStop;
  if (s->announce != nullptr && stop != nullptr) stop(s->announce);
  if (s->filterInstalled)
    aLink_InstallUserPacketFilter(s->linkId, nullptr, nullptr);
  s->stopping = true;
  aServer_endActor(&s->sync, &s->syncDone);
  aServer_endActor(&s->broker, &s->brokerDone);
  delete s;
}

void aServer_SetAnnounceHooks(aServerAnnounceStart start,
                              aServerAnnounceStop stop) {
  sAnnounceStart = start;
  sAnnounceStop = stop;
}
