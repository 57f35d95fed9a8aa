// Announcing a sharing server. A server open to the network, on an
// interface other than 127.0.0.1, answers search beacons there
// (aLanet_beacon.cpp). Any other server is announced on this host: a
// responder thread holds one of the fixed multicast probe ports (group
// 224.0.0.7 on the loopback interface, port aLANET_PROBE_PORT + k) and
// answers each 4-byte probe 0xABCDDCBA with the server's record on
// aLANET_ANSWER_PORT + k. Nothing is answered until the server knows its
// module's model. Other datagrams are ignored; the thread polls its stop
// flag every 100 ms.
#include <arpa/inet.h>
#include <poll.h>

#include <atomic>
#include <cstring>
#include <new>
#include <thread>

#include "common/aKorvexDebug.h"
#include "common/aLanet_beacon.h"
#include "common/aLink_internal.h"
#include "common/aMulticast.h"
#include "common/aServer.h"
#include "common/aServer_internal.h"
#include "common/discover.h"

namespace {

constexpr uint32_t kProbeMagic = 0xABCDDCBAu;
constexpr int kStopPollMs = 100;

struct Announcer {
  aServer* server = nullptr;
  uint32_t serialNumber = 0;
  aMulticastRef receiver = nullptr;
  aMulticastRef sender = nullptr;
  void* beacon = nullptr;  // the network announcement, instead of the above
  std::atomic<bool> stop{false};
  std::thread thread;
};

void Answer(Announcer* a) {
  while (!a->stop.load()) {
    pollfd p = {a->receiver->socket, POLLIN, 0};
    if (poll(&p, 1, kStopPollMs) <= 0) continue;
    uint8_t request[16];
    const int n = aMulticast_Receive(a->receiver, request, sizeof(request));
    uint32_t value = 0;
    if (n == static_cast<int>(sizeof(value))) memcpy(&value, request, sizeof(value));
    if (value != kProbeMagic) {
      if (n >= 0) aKorvexDebug_Trace(aDEBUG_DISCOVERY, "We something else on multicast\n");
      continue;
    }
    aKorvexDebug_Trace(aDEBUG_DISCOVERY, "We got the multicast magic value\n");
    linkSpec record;
    if (aLanet_ServerRecord(a->server, a->serialNumber, htonl(INADDR_LOOPBACK), &record))
      aMulticast_Send(a->sender, &record, sizeof(record));
  }
}

}  // namespace

void* aDiscovery_AnnounceStart(aServer* server) {
  if (server == nullptr) return nullptr;
  aLinkEntryRef entry = sLookupEntryByID(server->linkId);
  if (entry == nullptr) return nullptr;
  Announcer* a = new (std::nothrow) Announcer();
  if (a == nullptr) return nullptr;
  a->server = server;
  a->serialNumber = entry->identifier;
  const uint32_t address = aServer_GetInterface(server);
  if (!server->localOnly && address != htonl(INADDR_LOOPBACK)) {
    a->beacon = aLanet_BeaconStart(server, a->serialNumber, address);
    if (a->beacon != nullptr) return a;
    delete a;
    return nullptr;
  }
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  const uint32_t group = inet_addr("224.0.0.7");
  for (uint16_t k = 0; k < aLANET_PORT_RANGE; ++k) {
    a->receiver = aMulticast_Create(loopback, group,
                                    static_cast<uint16_t>(aLANET_PROBE_PORT + k), false);
    if (a->receiver == nullptr) continue;
    a->sender = aMulticast_Create(loopback, group,
                                  static_cast<uint16_t>(aLANET_ANSWER_PORT + k), true);
    if (a->sender != nullptr) {
      aKorvexDebug_Trace(aDEBUG_DISCOVERY, "Discovery port offset: %d\n", static_cast<int>(k));
      break;
    }
    aMulticast_Destroy(&a->receiver);
  }
  if (a->receiver == nullptr) {
    delete a;
    return nullptr;
  }
  a->thread = std::thread(Answer, a);
  return a;
}

void aDiscovery_AnnounceStop(void* handle) {
  Announcer* a = static_cast<Announcer*>(handle);
  if (a == nullptr) return;
  aLanet_BeaconStop(a->beacon);
  a->stop = true;
  if (a->thread.joinable()) a->thread.join();
  aMulticast_Destroy(&a->receiver);
  aMulticast_Destroy(&a->sender);
  delete a;
}

void aDiscovery_InstallAnnouncer(void) {
  aServer_SetAnnounceHooks(aDiscovery_AnnounceStart, aDiscovery_AnnounceStop);
}
