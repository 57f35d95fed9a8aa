// Announcing a sharing server on the network: a beacon on the server's
// interface listens for the searchers' service-name beacons and, while they
// keep coming, publishes the server's record every 100 ms. It falls silent
// 2 s after the last search beacon. Nothing is published until the server
// knows its module's model.
//
// The beacon's network interface is the messaging library's process-wide
// setting, read when the beacon is configured: it is set, and the old value
// put back, under the beacon-interface lock, and the wait for the beacon's
// answer is bounded so that the lock is never held for long.
#include "common/aLanet_beacon.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <atomic>
#include <cstring>
#include <new>
#include <thread>

#include "common/aKorvexDebug.h"
#include "common/aServer.h"
#include "common/aTime.h"
#include "common/discover.h"
#include "common/zBeaconInterface.h"

namespace {

constexpr size_t kMaxInterfaces = 50;
constexpr int kPublishIntervalMs = 100;
constexpr int kPollMs = 100;
constexpr uint32_t kSilenceAfterMs = 2000;
constexpr int kCommandWaitMs = 1000;   // for the beacon's answers and our commands
constexpr int kMaxBeaconsPerWake = 64;  // read before the stop flag is looked at again

struct Beacon {
  aServer* server = nullptr;
  uint32_t serialNumber = 0;
  uint32_t hostAddress = 0;  // network order
  zactor_t* actor = nullptr;
  std::atomic<bool> stop{false};
  std::thread thread;
};

bool IsSearch(zframe_t* payload) {
  const size_t n = strlen(aLANET_SERVICE);
  return payload != nullptr && zframe_size(payload) == n &&
         memcmp(zframe_data(payload), aLANET_SERVICE, n) == 0;
}

// Starts publishing the record; false while there is nothing to publish.
bool Publish(Beacon* b) {
  linkSpec record;
  if (!aLanet_ServerRecord(b->server, b->serialNumber, b->hostAddress, &record)) {
    aKorvexDebug_Trace(aDEBUG_DISCOVERY, "Discovery not allowed (beacon), model not set.\n");
    return false;
  }
  return zsock_send(b->actor, "sbi", "PUBLISH", reinterpret_cast<const byte*>(&record),
                    sizeof(record), kPublishIntervalMs) == 0;
}

void Silence(Beacon* b) {
  zstr_sendx(b->actor, "SILENCE", nullptr);
  aKorvexDebug_Trace(aDEBUG_DISCOVERY, "Beacon silenced\n");
}

void Run(Beacon* b) {
  zpoller_t* poller = zpoller_new(b->actor, nullptr);
  if (poller == nullptr) return;
  bool publishing = false;
  uint32_t lastSearchMs = 0;
  while (!b->stop.load()) {
    if (zpoller_wait(poller, kPollMs) != nullptr) {
      zsock_set_rcvtimeo(b->actor, 0);
      for (int i = 0; i < kMaxBeaconsPerWake; ++i) {
        zmsg_t* message = zmsg_recv(b->actor);
        if (message == nullptr) break;
        char* sender = zmsg_popstr(message);
        zframe_t* payload = zmsg_pop(message);
        if (sender != nullptr && IsSearch(payload)) {
          lastSearchMs = aTime_GetMSTicks();
          if (!publishing) publishing = Publish(b);
        }
        zframe_destroy(&payload);
        zstr_free(&sender);
        zmsg_destroy(&message);
      }
    } else if (zpoller_terminated(poller)) {
      break;
    }
    if (publishing && aTime_GetMSTicks() - lastSearchMs > kSilenceAfterMs) {
      Silence(b);
      publishing = false;
    }
  }
  if (publishing) Silence(b);
  zpoller_destroy(&poller);
}

// Starts the beacon on the interface; its host address, or 0 on failure.
uint32_t StartActor(Beacon* b, uint32_t interfaceAddress) {
  char text[INET_ADDRSTRLEN] = {};
  if (aDiscovery_ConvertIPv4Interface(interfaceAddress, text, sizeof(text)) == 0) return 0;
  if (!zBeaconInterface_backupSetAndLock(text)) return 0;
  b->actor = zactor_new(zbeacon, nullptr);
  char* host = nullptr;
  if (b->actor != nullptr) {
    zsock_set_rcvtimeo(b->actor, kCommandWaitMs);
    zsock_set_sndtimeo(b->actor, kCommandWaitMs);
    if (zsock_send(b->actor, "si", "CONFIGURE", aLANET_BEACON_PORT) == 0)
      host = zstr_recv(b->actor);
  }
  zBeaconInterface_restoreAndUnlock();
  uint32_t address = 0;
  if (host == nullptr || inet_pton(AF_INET, host, &address) != 1) address = 0;
  aKorvexDebug_Trace(aDEBUG_DISCOVERY, "Server beacon hostname: %s - Port: %d\n",
                     host != nullptr ? host : "", aLANET_BEACON_PORT);
  zstr_free(&host);
  return address;
}

}  // namespace

bool aLanet_ServerRecord(aServer* server, uint32_t serialNumber, uint32_t address,
                         linkSpec* record) {
  const uint8_t model = aServer_GetModel(server);
  const uint16_t port = aServer_GetPort(server);
  if (record == nullptr || model == 0 || port == 0) return false;
  *record = linkSpec();
  record->type = ALANET;
  record->serialNumber = serialNumber;
  record->model = model;
  record->port = port;
  memcpy(record->address, &address, sizeof(address));
  return true;
}

uint32_t aLanet_ServerInterface(uint32_t requested) {
  if (requested != 0 && requested != htonl(INADDR_LOOPBACK)) return requested;
  uint32_t interfaces[kMaxInterfaces];
  const uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
  return count > 0 ? interfaces[0] : htonl(INADDR_LOOPBACK);
}

void* aLanet_BeaconStart(aServer* server, uint32_t serialNumber, uint32_t interfaceAddress) {
  if (server == nullptr) return nullptr;
  aDiscovery_PrepareMessaging();
  Beacon* b = new (std::nothrow) Beacon();
  if (b == nullptr) return nullptr;
  b->server = server;
  b->serialNumber = serialNumber;
  b->hostAddress = StartActor(b, interfaceAddress);
  // The server listens on the interface: a beacon that went elsewhere
  // would advertise an address where nobody answers.
  const bool subscribed =
      b->hostAddress == interfaceAddress &&
      zsock_send(b->actor, "sb", "SUBSCRIBE", aLANET_SERVICE, strlen(aLANET_SERVICE)) == 0;
  if (!subscribed) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "server beacon not started\n");
    zactor_destroy(&b->actor);
    delete b;
    return nullptr;
  }
  b->thread = std::thread(Run, b);
  return b;
}

void aLanet_BeaconStop(void* handle) {
  Beacon* b = static_cast<Beacon*>(handle);
  if (b == nullptr) return;
  b->stop = true;
  if (b->thread.joinable()) b->thread.join();
  zstr_sendx(b->actor, "UNSUBSCRIBE", nullptr);
  zactor_destroy(&b->actor);
  delete b;
}
