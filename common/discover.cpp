#include "common/discover.h"

#include <cstring>
#include <new>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "common/aKorvexDebug.h"

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* record = new (std::nothrow) linkSpec();
  if (record) record->type = type;
  return record;
}

linkSpec* aLinkSpec_Copy(linkSpec record) { return new (std::nothrow) linkSpec(record); }

aErr aLinkSpec_Destroy(linkSpec** record) {
  if (!record || !*record) return aErrParam;
  delete *record;
  *record = nullptr;
  return aErrNone;
}

uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback,
                                     void* context, uint32_t networkInterface) {
  if (callback == nullptr) return 0;
  switch (type) {
    case USB:
      return aDiscovery_EnumerateUSB(callback, context);
    case TCPIP:
      return aDiscovery_EnumerateTCPIP(callback, context);
    case ALANET:
      return aDiscovery_Enumerate_aLanetModules(callback, context, networkInterface);
    default:
      return 0;
  }
}

namespace {

struct Wanted {
  uint32_t serialNumber;
  bool anyNonZero;
  linkSpec* found;
};

bool TakeMatch(const linkSpec* record, bool* counted, void* context) {
  Wanted* wanted = static_cast<Wanted*>(context);
  const bool match = wanted->anyNonZero ? record->serialNumber != 0
                                        : record->serialNumber == wanted->serialNumber;
  if (!match) return true;
  wanted->found = aLinkSpec_Copy(*record);
  *counted = true;
  return false;
}

linkSpec* Find(linkType type, Wanted wanted, uint32_t networkInterface) {
  if (type == TCPIP)
    aDiscovery_SearchTCPIPModule(TakeMatch, &wanted);
  else
    aDiscovery_EnumerateModules(type, TakeMatch, &wanted, networkInterface);
  return wanted.found;
}

}  // namespace

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber,
                                uint32_t networkInterface) {
  return Find(type, Wanted{serialNumber, false, nullptr}, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return Find(type, Wanted{0, true, nullptr}, networkInterface);
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity) {
  if (addresses == nullptr) return 0;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  uint32_t count = 0;
  // The interfaces the messaging library's interface list shows: up, not
  // loopback, with an IPv4 address.
  for (ifaddrs* i = list; i != nullptr && count < capacity; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    aKorvexDebug_Trace(aDEBUG_DISCOVERY, "Interface Found: %d\n", static_cast<int>(count));
    addresses[count++] = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
  }
  freeifaddrs(list);
  aKorvexDebug_Trace(aDEBUG_DISCOVERY, "aDiscovery_GetIPv4Interfaces count: %d\n",
                     static_cast<int>(count));
  return count;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size) {
  if (buffer == nullptr || size < INET_ADDRSTRLEN) return 0;
  in_addr a;
  a.s_addr = address;
  if (inet_ntop(AF_INET, &a, buffer, static_cast<socklen_t>(size)) == nullptr) return 0;
  return strlen(buffer);
}
