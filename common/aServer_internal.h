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
  std::atomic<uint32_t> subscriberCount{0};  // kept by the broker
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

// A message socket that two threads use. Every use holds the mutex (a Use
// for its span); one thread, the waiter, sleeps in wait(). The socket's
// descriptor only tells that its state may have changed, and any use of
// the socket may take that news away from the waiter; so every use ends by
// looking at the socket's events, and input seen there wakes the waiter
// through a descriptor of its own.
class aSharedSocket {
 public:
  static constexpr int kMaxExtra = 2;

  aSharedSocket() = default;
  ~aSharedSocket();
  aSharedSocket(const aSharedSocket&) = delete;
  aSharedSocket& operator=(const aSharedSocket&) = delete;

  // Takes socket over; false (and the socket destroyed) when the wake-up
  // descriptor or the socket's own cannot be had.
  bool open(zsock_t* socket);
  // Destroys the socket; only while no other thread uses it.
  void close();
  bool isOpen() const { return socket_ != nullptr; }

  class Use {
   public:
    explicit Use(aSharedSocket& shared);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    void* socket() const;  // the libzmq socket; null when closed

   private:
    aSharedSocket& shared_;
    std::lock_guard<std::mutex> lock_;
  };

  // True when a message is waiting to be received.
  bool readable();
  // The waiter's sleep: until the socket may have input, the wake-up
  // descriptor is signalled, one of extra (at most kMaxExtra items polled
  // beside; their revents are filled in) is ready, or timeoutMs pass (-1:
  // no limit). zmq_poll's result.
  int wait(zmq_pollitem_t* extra, int count, long timeoutMs);
  // Wakes the waiter.
  void wake();

 private:
  std::mutex mutex_;
  zsock_t* socket_ = nullptr;
  int fd_ = -1;      // the socket's own (the library's)
  int wakeFd_ = -1;  // an eventfd
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
