// The sharing server's life cycle and its broker: clients' messages (from
// the TCP frontend, or handed in by clients of this process), the
// byte-array pools, the request line's turns and time-outs, and the
// fan-out of stream batches.
#include <arpa/inet.h>
#include <poll.h>
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

constexpr uint32_t kProbeEveryMs = 1000;

constexpr size_t kMaxInbox = 256u << 10;  // frames a client of this process may leave untaken

// Started servers of this process by the address and port their frontend
// listens on.
struct LocalServers {
  std::mutex mutex;
  std::map<std::pair<uint32_t, uint16_t>, std::shared_ptr<aServerDoor>> byEndpoint;
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
  LocalServers& local = sLocalServers();
  std::lock_guard<std::mutex> lock(local.mutex);
  local.byEndpoint[{sBindAddress(server), server->port.load()}] = server->door;
}

// Clients of this process no longer find the server; those that reached
// it wait until no message of theirs is being handed in, and learn that it
// has gone.
void sUnregisterLocal(aServer* server) {
  if (server->door == nullptr) return;
  {
    LocalServers& local = sLocalServers();
    std::lock_guard<std::mutex> lock(local.mutex);
    auto found = local.byEndpoint.find({sBindAddress(server), server->port.load()});
    if (found != local.byEndpoint.end() && found->second == server->door)
      local.byEndpoint.erase(found);
  }
  {
    std::unique_lock<std::shared_mutex> closing(server->door->mutex);
    server->door->server = nullptr;
  }
  std::lock_guard<std::mutex> lock(server->localMutex);
  for (auto& entry : server->localClients) {
    {
      std::lock_guard<std::mutex> box(entry.second->mutex);
      entry.second->closed = true;
    }
    entry.second->waker.wake();
  }
  server->localClients.clear();
}

struct Broker {
  aServer* server;
  uint32_t lastProbeMs = 0;
};

// Under the server's clientMutex.
void sStreamRequest(aServer* server, const std::string& identity, const aPacket& p) {
  if (p.dataSize != 7 || p.data[0] != kCmdStream) return;
  if (p.data[1] == kStreamEnable) {
    if (server->subscribers.insert(identity).second)
      aKorvexDebug_Trace(aDEBUG_SERVER, "Added stream entry\n");
  } else if (p.data[1] == kStreamDisable) {
    server->subscribers.erase(identity);
  }
}

// A refused request (its client has too many waiting, or all clients
// together) is told at once when it is a UEI get or set: the server answers
// it as the module answers a request it cannot take, with an error reply
// from the request's address whose code is aErrBusy, so the asker's wait
// ends with that error instead of its time-out. Any other refused packet
// gets nothing; its asker's own wait ends it.
void sRefuse(aServer* server, const std::string& identity, const aPacket& request) {
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
  aServer_sendTo(server, identity, wire, sizeof(wire));
}

// One client message: a packet frame (wire null when the message was not
// one frame).
void sFromClient(aServer* server, const std::string& identity, const uint8_t* wire,
                 size_t size) {
  if (wire == nullptr || !aServer_FrameIsPacket(wire, size)) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Bad content packet: dSize: %d\n",
                       wire != nullptr ? static_cast<int>(size) : -1);
    return;
  }
  aPacket packet{};
  packet.check = aPACKET_CHECK;
  packet.address = wire[0];
  packet.dataSize = wire[1];
  std::copy(wire + 2, wire + 2 + wire[1], packet.data);
  packet.fill = static_cast<uint8_t>(2 + wire[1]);

  std::vector<aPacket> run;
  aServerPools::Result pooled;
  {
    std::lock_guard<std::mutex> lock(server->clientMutex);
    sStreamRequest(server, identity, packet);
    pooled = server->pools.offer(identity, packet, aTime_GetMSTicks(), &run);
  }
  switch (pooled) {
    case aServerPools::kHeld:
      return;
    case aServerPools::kComplete:
      if (!aServer_queueRequest(server, {identity, run, aTime_GetMSTicks()}))
        sRefuse(server, identity, run.back());
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
  if (!aServer_queueRequest(server, {identity, {packet}, aTime_GetMSTicks()}))
    sRefuse(server, identity, packet);
  return;
}

// Sends each of batches (none: an empty frame, which client streams
// ignore) to every stream subscriber; those that have gone are dropped.
void sToSubscribers(aServer* server, const std::deque<std::string>& batches) {
  std::set<std::string> subscribers, gone;
  {
    std::lock_guard<std::mutex> lock(server->clientMutex);
    subscribers = server->subscribers;
  }
  for (const std::string& identity : subscribers) {
    bool there = true;
    for (const std::string& batch : batches)
      there = there && aServer_sendTo(server, identity, batch.data(), batch.size());
    if (batches.empty()) there = aServer_sendTo(server, identity, nullptr, 0);
    if (!there) gone.insert(identity);
  }
  std::lock_guard<std::mutex> lock(server->clientMutex);
  for (const std::string& identity : gone) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "stream client gone, dropped\n");
    server->subscribers.erase(identity);
  }
  server->subscriberCount = static_cast<uint32_t>(server->subscribers.size());
}

void sSendBatches(Broker* b) {
  std::deque<std::string> due;
  aServer_takeDueBatches(b->server, aTime_GetMSTicks(), &due);
  if (!due.empty()) sToSubscribers(b->server, due);
}

// Stream clients that went away while no samples came are found once a
// second: sending them nothing tells whether they are still there.
void sProbeSubscribers(Broker* b, uint32_t nowMs) {
  if (nowMs - b->lastProbeMs < kProbeEveryMs) return;
  b->lastProbeMs = nowMs;
  sToSubscribers(b->server, {});
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
  std::shared_ptr<aServerLocalClient> client;
  {
    std::lock_guard<std::mutex> lock(server->localMutex);
    auto found = server->localClients.find(identity);
    if (found == server->localClients.end()) return false;
    client = found->second;
  }
  if (size == 0) return true;  // it is there; an empty frame carries nothing
  {
    // A client too slow to take its frames loses this one rather than
    // holding up everybody else's answers.
    std::lock_guard<std::mutex> lock(client->mutex);
    if (client->inboxBytes + size > kMaxInbox) return true;
    client->inbox.emplace_back(static_cast<const char*>(data), size);
    client->inboxBytes += size;
  }
  client->waker.wake();
  return true;
}

std::shared_ptr<aServerDoor> aServer_findLocal(uint32_t address, uint16_t port) {
  LocalServers& servers = sLocalServers();
  std::lock_guard<std::mutex> lock(servers.mutex);
  auto found = servers.byEndpoint.find({address, port});
  return found != servers.byEndpoint.end() ? found->second : nullptr;
}

std::shared_ptr<aServerLocalClient> aServer_addLocalClient(aServer* server) {
  auto client = std::make_shared<aServerLocalClient>();
  if (!client->waker.open()) return nullptr;
  std::lock_guard<std::mutex> lock(server->localMutex);
  const uint32_t n = server->localCount++;
  const char identity[5] = {2, static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                            static_cast<char>(n >> 8), static_cast<char>(n)};
  client->identity.assign(identity, sizeof(identity));
  server->localClients[client->identity] = client;
  return client;
}

void aServer_removeLocalClient(aServer* server, const std::string& identity) {
  std::lock_guard<std::mutex> lock(server->localMutex);
  server->localClients.erase(identity);
}

void aServer_fromLocalClient(aServer* server, const std::string& identity,
                             const uint8_t* frame, size_t size) {
  sFromClient(server, identity, frame, size);
  // The request goes out from this thread when the link is free; else the
  // answer that frees it wakes the broker for the next.
  aServer_serveRequests(server, aTime_GetMSTicks());
}

void aServer_zmqSetup() {
  static std::once_flag once;
  // Left installed, the library's own SIGINT handler would swallow Ctrl-C.
  std::call_once(once, [] { zsys_handler_set(nullptr); });
}

void aServer_brokerActor(zsock_t* pipe, void* args) {
  Broker b;
  b.server = static_cast<aServer*>(args);
  uint16_t port = 0;
  if (!b.server->waker.open() || !b.server->tcp.listen(sBindAddress(b.server), &port)) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Could not find open port\n");
    b.server->tcp.close();
    b.server->brokerDone.store(true, std::memory_order_release);
    zsock_signal(pipe, 1);
    return;
  }
  b.server->port = port;
  zsock_signal(pipe, 0);
  std::vector<struct pollfd> items;
  std::vector<aServerMessage> messages;
  for (;;) {
    // The pipe is watched by its descriptor, which only tells that its
    // state may have changed: its events are looked at after every wait.
    items.assign(1, {zsock_fd(pipe), POLLIN, 0});
    b.server->tcp.items(&items);
    const int n = b.server->waker.wait(items.data(), items.size(), sWaitMs(b.server));
    if ((n < 0 && errno != EINTR) || b.server->stopping.load()) break;
    messages.clear();
    b.server->tcp.service(items, 1, aTime_GetMSTicks(), &messages);
    for (const aServerMessage& m : messages) {
      const bool one = m.frames.size() == 1;
      sFromClient(b.server, m.identity,
                  one ? reinterpret_cast<const uint8_t*>(m.frames[0].data()) : nullptr,
                  one ? m.frames[0].size() : 0);
    }
    const uint32_t now = aTime_GetMSTicks();
    aServer_serveRequests(b.server, now);  // first: a request goes out at once
    size_t kept;
    {
      std::lock_guard<std::mutex> lock(b.server->clientMutex);
      b.server->pools.expire(now);
      kept = b.server->pools.size() + b.server->subscribers.size();
    }
    sSendBatches(&b);
    sProbeSubscribers(&b, now);
    b.server->clientStates = static_cast<uint32_t>(kept + aServer_waitingClients(b.server));
    // The pipe last: looking at its events may cost a system call, which a
    // request on its way out does not wait for.
    if (zsock_events(pipe) & ZMQ_POLLIN) {
      char* text = zstr_recv(pipe);
      const bool end = text == nullptr || strcmp(text, "$TERM") == 0;
      zstr_free(&text);
      if (end) break;
    }
  }
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
  server->door = std::make_shared<aServerDoor>();
  server->door->server = server;
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
  // The broker ends at its next wake-up; its pipe's descriptor alone may
  // not wake it for the end message.
  s->stopping.store(true);
  s->waker.wake();
  aServer_endActor(&s->broker, &s->brokerDone);
  delete s;
}

bool aServer_Available(void) { return true; }

void aServer_SetAnnounceHooks(aServerAnnounceStart start,
                              aServerAnnounceStop stop) {
  sAnnounceStart = start;
  sAnnounceStop = stop;
}
