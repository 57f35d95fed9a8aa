// The sharing server's record, shared by its broker (aServer.cpp) and its
// sync worker and stream filter (aServer_sync.cpp).
#ifndef KORVEX_ASERVER_INTERNAL_H
#define KORVEX_ASERVER_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include <czmq.h>

#include "common/aServer.h"

#define aSERVER_MAX_BATCHES 64u   // stream batches waiting for the broker
#define aSERVER_MAX_WAITING 1024u // requests waiting for an answer

struct aServer {
  uint32_t linkId = 0;
  uint32_t interfaceAddress = 0;  // network byte order
  bool localOnly = true;
  std::atomic<uint8_t> model{0};
  std::atomic<uint8_t> moduleAddress{0};
  std::atomic<uint16_t> port{0};
  std::atomic<bool> stopping{false};
  std::string syncEndpoint;  // inproc endpoint of the broker-sync pair
  zactor_t* broker = nullptr;
  zactor_t* sync = nullptr;
  std::atomic<bool> brokerDone{false}, syncDone{false};
  bool filterInstalled = false;
  void* announce = nullptr;

  // Stream batches, filled by the link's reader, sent by the broker.
  std::mutex batchMutex;
  std::deque<std::string> batches;
  uint32_t batchFirstMs = 0;  // when the oldest waiting sample arrived
  bool flushNow = false;      // a heartbeat passed
  uint32_t batchesDropped = 0;
};

// Makes sure the messaging library leaves signal handling to the process.
void aServer_zmqSetup();

// Ends an actor. Its thread ends with the library's own signal, which the
// thread sanitizer cannot see; every actor therefore sets its done flag
// last, and this waits (bounded) for the flag before anything the actor
// used is freed.
void aServer_endActor(zactor_t** actor, std::atomic<bool>* done);

// Actor bodies (aServer.cpp, aServer_sync.cpp); args is the aServer.
void aServer_brokerActor(zsock_t* pipe, void* args);
void aServer_syncActor(zsock_t* pipe, void* args);
// The link's user filter: keeps stream samples for the broker.
uint8_t aServer_streamFilter(const aPacket* packet, const void* reference);
// Takes the stream batches due for sending now (all, on a heartbeat, when
// more than one is full, or when the oldest sample is 100 ms old).
void aServer_takeDueBatches(aServer* server, uint32_t nowMs,
                            std::deque<std::string>* due);

#endif
