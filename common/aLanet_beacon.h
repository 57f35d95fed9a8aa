// The announcement of a sharing server on the network (aLanet_beacon.cpp),
// used by the announcer (aLanet_announce.cpp) and the server's start.
#ifndef KORVEX_ALANET_BEACON_H
#define KORVEX_ALANET_BEACON_H

#include <cstdint>

#include "common/discover.h"

struct aServer;

// The server's record: link type 4, the serial number, the model, the
// server's port and address (network order). False while the server does
// not know its model or port: nothing is to be announced then.
bool aLanet_ServerRecord(aServer* server, uint32_t serialNumber, uint32_t address,
                         linkSpec* record);
// The interface a server open to the network listens and announces on: the
// requested one (network order), or for 0 or 127.0.0.1 the host's first
// IPv4 interface; 127.0.0.1 when the host has none.
uint32_t aLanet_ServerInterface(uint32_t requested);
// Starts answering search beacons on the interface for the server; its
// handle, or null when the beacon could not be started there.
void* aLanet_BeaconStart(aServer* server, uint32_t serialNumber, uint32_t interfaceAddress);
// Silences and stops the beacon; the handle is gone afterwards.
void aLanet_BeaconStop(void* handle);

#endif
