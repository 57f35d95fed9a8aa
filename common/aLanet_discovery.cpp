// The shared-link search: sharing servers announce a 128-byte record of
// link type 4. On the local host they are found by probing the fixed range
// of multicast ports a server holds; on a network interface by beacons.
//
// Everything that arrives is hostile: an answer counts only when it is
// exactly one record of link type 4 with a TCP port of 1 to 65535; each
// serial number is listed once per search and at most kMaxServers of them;
// every wait has one deadline, and the number of datagrams read per wait is
// bounded, so a chattering peer can neither hold the search nor push a real
// answer out.
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>

#include <arpa/inet.h>
#include <poll.h>

#include "common/aKorvexDebug.h"
#include "common/aMulticast.h"
#include "common/discover.h"
#ifdef KORVEX_HAVE_CZMQ
#include <czmq.h>

#include "common/zBeaconInterface.h"
#endif

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;      // host order
constexpr uint32_t kProbeGroup = 0xE0000007u;    // 224.0.0.7, host order
constexpr uint32_t kProbeMagic = 0xABCDDCBAu;
constexpr size_t kMaxInterfaces = 50;
constexpr size_t kMaxServers = 1024;             // distinct serial numbers per search
constexpr int kProbeWaitMs = 1000;
constexpr int kProbeMaxDatagrams = 32;           // read per port before giving up on it

using Clock = std::chrono::steady_clock;

// The records one search has passed on, each serial number once.
class Found {
 public:
  Found(aDiscoveryCallback callback, void* context) : callback_(callback), context_(context) {}
  bool Seen(uint32_t serial) const { return seen_.count(serial) != 0; }
  // Passes a new record on; false when the search is to end.
  bool Offer(const linkSpec& record) {
    if (Seen(record.serialNumber) || seen_.size() >= kMaxServers) return true;
    seen_.insert(record.serialNumber);
    bool take = false;
    const bool more = callback_(&record, &take, context_);
    if (take) ++counted_;
    stopped_ = stopped_ || !more;
    return more;
  }
  bool Stopped() const { return stopped_; }
  uint32_t Counted() const { return counted_; }

 private:
  aDiscoveryCallback callback_;
  void* context_;
  std::set<uint32_t> seen_;
  uint32_t counted_ = 0;
  bool stopped_ = false;
};

uint32_t AddressOf(const linkSpec& record) {
  uint32_t address;
  memcpy(&address, record.address, sizeof(address));
  return address;
}

// Asks the server that holds probe port offset k; offers what it answers.
void ProbeOffset(uint16_t k, Found* found) {
  const uint32_t loopback = htonl(kLoopback);
  const uint32_t group = htonl(kProbeGroup);
  aMulticastRef receiver =
      aMulticast_Create(loopback, group, static_cast<uint16_t>(aLANET_ANSWER_PORT + k), false);
  aMulticastRef sender =
      aMulticast_Create(loopback, group, static_cast<uint16_t>(aLANET_PROBE_PORT + k), true);
  const uint32_t magic = kProbeMagic;
  if (receiver != nullptr && sender != nullptr &&
      aMulticast_Send(sender, &magic, sizeof(magic)) == static_cast<int>(sizeof(magic))) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kProbeWaitMs);
    for (int i = 0; i < kProbeMaxDatagrams && !found->Stopped(); ++i) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd p = {receiver->socket, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      // One byte more than a record: a longer datagram shows as too long.
      uint8_t answer[sizeof(linkSpec) + 1];
      const int n = aMulticast_Receive(receiver, answer, sizeof(answer));
      linkSpec record;
      if (!aDiscovery_ParseAnnouncement(answer, n < 0 ? 0 : static_cast<size_t>(n), &record)) {
        if (n != -1)
          aKorvexDebug_Trace(aDEBUG_DISCOVERY, "Unknown Error sending request message: %d\n", n);
        continue;
      }
      aKorvexDebug_Trace(aDEBUG_DISCOVERY,
                         "Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - "
                         "Type: %d\n",
                         record.serialNumber, static_cast<int>(record.port),
                         static_cast<int>(AddressOf(record)), static_cast<int>(record.type));
      if (!aDiscovery_LocalAnnouncement(record, loopback)) {
        aKorvexDebug_Trace(aDEBUG_DISCOVERY, "We are in local mode, ignoring(2)\n");
        continue;
      }
      found->Offer(record);
      break;  // this port's server has answered
    }
  }
  aMulticast_Destroy(&receiver);
  aMulticast_Destroy(&sender);
}

#ifdef KORVEX_HAVE_CZMQ

constexpr int kBeaconAttempts = 22;
constexpr int kBeaconWaitMs = 100;
constexpr int kBeaconMaxMessages = 4096;  // beacons read per search

// The beacon search on the interface the beacon lock has set.
void BeaconSearch(bool local, Found* found) {
  aDiscovery_PrepareMessaging();
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (beacon == nullptr) return;
  zsock_set_rcvtimeo(beacon, kBeaconWaitMs * 10);
  zsock_send(beacon, "si", "CONFIGURE", aLANET_BEACON_PORT);
  char* host = zstr_recv(beacon);
  uint32_t hostAddress = 0;
  const bool usable = host != nullptr && host[0] != '\0' && inet_pton(AF_INET, host, &hostAddress) == 1;
  aKorvexDebug_Trace(aDEBUG_DISCOVERY, "Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n",
                     host ? host : "", aLANET_BEACON_PORT);
  zstr_free(&host);
  if (usable) {
    zsock_send(beacon, "sbi", "PUBLISH", aLANET_SERVICE, strlen(aLANET_SERVICE), kBeaconWaitMs);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
    // The search listens for as long as its 22 waits of 100 ms would take,
    // however many beacons arrive: a chattering peer can neither end it
    // early (before the servers have answered) nor keep it going.
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(kBeaconAttempts * kBeaconWaitMs);
    for (int received = 0; received < kBeaconMaxMessages && !found->Stopped(); ++received) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      zsock_set_rcvtimeo(beacon, static_cast<int>(left < kBeaconWaitMs ? left : kBeaconWaitMs));
      zmsg_t* message = zmsg_recv(beacon);
      if (message == nullptr) continue;
      char* sender = zmsg_popstr(message);
      zframe_t* payload = zmsg_pop(message);
      linkSpec record;
      if (sender != nullptr && payload != nullptr &&
          aDiscovery_ParseAnnouncement(zframe_data(payload), zframe_size(payload), &record) &&
          !found->Seen(record.serialNumber)) {
        aKorvexDebug_Trace(aDEBUG_DISCOVERY,
                           "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - "
                           "Type: %d - Model: %d\n",
                           record.serialNumber, static_cast<int>(record.port),
                           static_cast<int>(AddressOf(record)), static_cast<int>(record.type),
                           static_cast<int>(record.model));
        if (local && !aDiscovery_LocalAnnouncement(record, hostAddress))
          aKorvexDebug_Trace(aDEBUG_DISCOVERY, "We are in local mode, ignoring(1)\n");
        else
          found->Offer(record);
      }
      zframe_destroy(&payload);
      zstr_free(&sender);
      zmsg_destroy(&message);
    }
    aKorvexDebug_Trace(aDEBUG_DISCOVERY, "Done with discovery\n");
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
  }
  zactor_destroy(&beacon);
}

#endif

}  // namespace

bool aDiscovery_ParseAnnouncement(const void* data, size_t size, linkSpec* record) {
  if (data == nullptr || record == nullptr || size != sizeof(linkSpec)) return false;
  linkSpec parsed;
  memcpy(&parsed, data, sizeof(parsed));
  if (parsed.type != ALANET || parsed.port == 0 || parsed.port > 0xFFFFu) return false;
  *record = parsed;
  return true;
}

bool aDiscovery_LocalAnnouncement(const linkSpec& record, uint32_t hostAddress) {
  const uint32_t address = AddressOf(record);
  return address == htonl(kLoopback) || (hostAddress != 0 && address == hostAddress);
}

uint32_t aDiscovery_EnumerateLocalShared(aDiscoveryCallback callback, void* context) {
  if (callback == nullptr) return 0;
  Found found(callback, context);
  const uint32_t loopback = htonl(kLoopback);
  const uint32_t group = htonl(kProbeGroup);
  for (uint16_t k = 0; k < aLANET_PORT_RANGE && !found.Stopped(); ++k) {
    // A port we may bind is a port no server holds.
    aMulticastRef free =
        aMulticast_Create(loopback, group, static_cast<uint16_t>(aLANET_PROBE_PORT + k), false);
    if (free != nullptr) {
      aMulticast_Destroy(&free);
      continue;
    }
    ProbeOffset(k, &found);
  }
  return found.Counted();
}

#ifdef KORVEX_HAVE_CZMQ

void aDiscovery_PrepareMessaging(void) {
  // The messaging library installs its own SIGINT/SIGTERM handlers on first
  // use unless told not to; ours (or the default) must stay.
  static std::once_flag once;
  std::call_once(once, [] { zsys_handler_set(nullptr); });
}

uint32_t aDiscovery_EnumerateBeacons(aDiscoveryCallback callback, void* context,
                                     uint32_t networkInterface) {
  if (callback == nullptr) return 0;
  char text[INET_ADDRSTRLEN] = {};
  if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof(text)) == 0) return 0;
  aKorvexDebug_Trace(aDEBUG_DISCOVERY, "New Interface: %s\n", text);
  aDiscovery_PrepareMessaging();
  if (!zBeaconInterface_backupSetAndLock(text)) return 0;
  Found found(callback, context);
  BeaconSearch(false, &found);
  zBeaconInterface_restoreAndUnlock();
  return found.Counted();
}

#else

void aDiscovery_PrepareMessaging(void) {}

void aDiscovery_InstallAnnouncer(void) {}

uint32_t aDiscovery_EnumerateBeacons(aDiscoveryCallback, void*, uint32_t) {
  aKorvexDebug_Trace(aDEBUG_DISCOVERY, "Beacon search: %s\n", aError_GetErrorText(aErrUnimplemented));
  return 0;
}

#endif

uint32_t aDiscovery_Enumerate_aLanetModules(aDiscoveryCallback callback, void* context,
                                            uint32_t networkInterface) {
  if (callback == nullptr) return 0;
  const bool local = networkInterface == 0 || networkInterface == htonl(kLoopback);
  uint32_t interfaces[kMaxInterfaces];
  const uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
  aKorvexDebug_Trace(aDEBUG_DISCOVERY, "aDiscovery_Enumerate_aLanetModules found count: %d\n",
                     static_cast<int>(count));
  if (local || count == 0) return aDiscovery_EnumerateLocalShared(callback, context);
  return aDiscovery_EnumerateBeacons(callback, context, networkInterface);
}
