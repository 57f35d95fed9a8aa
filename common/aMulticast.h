// IPv4 multicast sockets of the discovery searches: a receiver bound to a
// group's port, or a sender that sends to the group out of one interface.
#ifndef KORVEX_AMULTICAST_H
#define KORVEX_AMULTICAST_H

#include <cstddef>
#include <cstdint>

#include <netinet/in.h>

#include "common/aError.h"

struct aMulticast {
  int socket;
  int sender;                     // 1 sender, 0 receiver
  struct sockaddr_in group;       // group address and port
  struct sockaddr_in bindAddress; // receivers: any address with the port
  struct sockaddr_in interface;   // the interface joined and sent from
};
typedef aMulticast* aMulticastRef;

// Addresses are IPv4 in network order; an interface of 0 is taken as
// 127.0.0.1. The socket joins the group on the interface, sends from it with
// a time-to-live of 1, loops its own datagrams back and waits at most one
// second in a receive. Null when any step fails (what was opened is closed).
// The address is not shared (SO_REUSEADDR off): a receiver cannot be opened
// on a port another socket holds.
aMulticastRef aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress,
                                uint16_t port, bool sender);
// Byte counts; -1 on a socket failure, -2 for a null socket, -3 when the
// socket points the other way.
int aMulticast_Send(aMulticastRef socket, const void* data, size_t length);
// One datagram of up to size bytes.
int aMulticast_Receive(aMulticastRef socket, void* buffer, size_t size);
// Closes *socket and sets it to null; aErrParam when there was none.
aErr aMulticast_Destroy(aMulticastRef* socket);

#endif
