#include "common/aMulticast.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/aKorvexDebug.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;  // host order

void Trace(const char* format, int value) {
  aKorvexDebug_Trace(aDEBUG_MULTICAST, format, value);
}

// Resolves host:port as an IPv4 UDP address; a null host with `passive`
// gives the wildcard address.
int Resolve(const char* host, const char* port, bool passive, sockaddr_in* out) {
  addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICHOST | (passive ? AI_PASSIVE : 0);
  addrinfo* result = nullptr;
  const int r = getaddrinfo(host, port, &hints, &result);
  if (r != 0) return r;
  if (result == nullptr || result->ai_addrlen < sizeof(sockaddr_in)) {
    if (result) freeaddrinfo(result);
    return EAI_FAMILY;
  }
  memcpy(out, result->ai_addr, sizeof(sockaddr_in));
  freeaddrinfo(result);
  return 0;
}

bool SetOption(int fd, int level, int name, const void* value, socklen_t size,
               const char* failure) {
  if (setsockopt(fd, level, name, value, size) == 0) return true;
  Trace(failure, errno);
  return false;
}

// The options of a multicast socket, in the order they are set.
bool Configure(aMulticast* m) {
  const int fd = m->socket;
  const char* family[] = {
      "Attempting to join multicast group for invalid address family!\n",
      "Attempting to set sent interface for invalid address family!\n",
      "Attempting to set TTL for invalid address family!\n",
      "Attempting to set Timeout for invalid address family!\n",
      "Attempting to set multicast loopback for invalid address family!\n"};
  if (m->group.sin_family != AF_INET || m->interface.sin_family != AF_INET) {
    for (const char* text : family) aKorvexDebug_Trace(aDEBUG_MULTICAST, "%s", text);
    return false;
  }
  ip_mreq membership;
  membership.imr_multiaddr = m->group.sin_addr;
  membership.imr_interface = m->interface.sin_addr;
  const unsigned char ttl = 1;
  const unsigned char loop = 1;
  timeval timeout = {1, 0};
  return SetOption(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership),
                   "JoinMulticastGroup: setsockopt failed with error code %d\n") &&
         SetOption(fd, IPPROTO_IP, IP_MULTICAST_IF, &m->interface.sin_addr,
                   sizeof(m->interface.sin_addr),
                   "Failed to set send interface. error code %d\n") &&
         SetOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl),
                   "SetMulticastTtl: setsockopt() failed with error code %d\n") &&
         SetOption(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout),
                   "SetReceivTimeout: setsockopt() failed with error code %d\n") &&
         SetOption(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop),
                   "SetMulticastLoopBack: setsockopt() failed with error code %d\n");
}

}  // namespace

aMulticastRef aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress,
                                uint16_t port, bool sender) {
  if (interfaceAddress == 0) interfaceAddress = htonl(kLoopback);
  char group[INET_ADDRSTRLEN] = {};
  char interface[INET_ADDRSTRLEN] = {};
  char service[8];
  in_addr a;
  a.s_addr = groupAddress;
  if (inet_ntop(AF_INET, &a, group, sizeof(group)) == nullptr) return nullptr;
  a.s_addr = interfaceAddress;
  if (inet_ntop(AF_INET, &a, interface, sizeof(interface)) == nullptr) return nullptr;
  snprintf(service, sizeof(service), "%u", static_cast<unsigned>(port));

  aMulticast* m = new (std::nothrow) aMulticast();
  if (m == nullptr) return nullptr;
  m->socket = -1;
  m->sender = sender ? 1 : 0;
  int r = Resolve(group, service, false, &m->group);
  if (r != 0) {
    aKorvexDebug_Trace(aDEBUG_MULTICAST,
                       "Unable to convert multicast address '%s - port: %s': Error %d\n",
                       group, service, r);
    delete m;
    return nullptr;
  }
  r = sender ? Resolve(interface, "0", false, &m->bindAddress)
             : Resolve(nullptr, service, true, &m->bindAddress);
  if (r != 0) {
    aKorvexDebug_Trace(aDEBUG_MULTICAST, "Unable to convert bind address '%s': Error %d\n",
                       sender ? interface : "*", r);
    delete m;
    return nullptr;
  }
  r = Resolve(interface, "0", false, &m->interface);
  if (r != 0) {
    aKorvexDebug_Trace(aDEBUG_MULTICAST, "Unable to convert interface address '%s': Error %d\n",
                       interface, r);
    delete m;
    return nullptr;
  }

  m->socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (m->socket < 0) {
    Trace("socket() failed with with error code %d\n", errno);
    delete m;
    return nullptr;
  }
  const int reuse = 0;
  bool ok = SetOption(m->socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse),
                      "Failed to set reuse %d\n");
  if (ok && !sender &&
      bind(m->socket, reinterpret_cast<const sockaddr*>(&m->bindAddress),
           sizeof(m->bindAddress)) != 0) {
    Trace("bind() failed with error code %d\n", errno);
    ok = false;
  }
  if (ok) ok = Configure(m);
  if (!ok) aMulticast_Destroy(&m);
  return m;
}

int aMulticast_Send(aMulticastRef m, const void* data, size_t length) {
  if (m == nullptr) return -2;
  if (m->sender != 1) return -3;
  if (data == nullptr && length > 0) return -1;
  const ssize_t n = sendto(m->socket, data, length, MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&m->group), sizeof(m->group));
  if (n < 0) {
    Trace("sendto() failed with error code %d\n", errno);
    return -1;
  }
  return static_cast<int>(n);
}

int aMulticast_Receive(aMulticastRef m, void* buffer, size_t size) {
  if (m == nullptr) return -2;
  if (m->sender != 0) return -3;
  if (buffer == nullptr && size > 0) return -1;
  sockaddr_in from;
  socklen_t fromSize = sizeof(from);
  const ssize_t n = recvfrom(m->socket, buffer, size, MSG_WAITALL,
                             reinterpret_cast<sockaddr*>(&from), &fromSize);
  if (n < 0) {
    Trace("recvfrom() failed with error code %d\n", errno);
    return -1;
  }
  return static_cast<int>(n);
}

aErr aMulticast_Destroy(aMulticastRef* socket) {
  if (socket == nullptr || *socket == nullptr) return aErrParam;
  if ((*socket)->socket >= 0) close((*socket)->socket);
  delete *socket;
  *socket = nullptr;
  return aErrNone;
}
