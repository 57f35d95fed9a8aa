// The sharing server's record, shared by its broker (aServer.cpp), its
// request line and the link filter that takes answers and stream samples
// (aServer_sync.cpp).
#ifndef KORVEX_ASERVER_INTERNAL_H
#define KORVEX_ASERVER_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include <czmq.h>
#include <poll.h>

#include "common/aServer.h"
#include "common/aZmtp.h"

#define aSERVER_MAX_BATCHES 64u   // stream batches waiting for the broker
#define aSERVER_MAX_WAITING 1024u // requests waiting, all clients together
#define aSERVER_CLIENT_MAX_WAITING 16u  // requests one client may have waiting
// A request that waited this long before its turn is sent out only when its
// client is still there; one taken in just before goes out at once.
#define aSERVER_GONE_PROBE_AFTER_MS 10u

// Where the broker sleeps: an eventfd that any thread signals when the
// broker has work, polled with the broker's other descriptors.
class aServerWaker {
 public:
  aServerWaker() = default;
  ~aServerWaker();
  aServerWaker(const aServerWaker&) = delete;
  aServerWaker& operator=(const aServerWaker&) = delete;

  bool open();
  void wake();
  // Sleeps until woken, one of extra is ready (their revents are filled
  // in) or timeoutMs pass (-1: no limit). poll's result.
  int wait(struct pollfd* extra, size_t count, long timeoutMs);

 private:
  int fd_ = -1;
};

// What answers a request: for an identify any empty packet (the module
// answers from its own address); otherwise a packet from the request's
// address, and for a UEI request one of the same command and option, so
// that a late answer to an earlier request is not taken for this one's.
struct aServerWant {
  uint8_t address = 0;
  bool identify = false;
  bool uei = false;
  uint8_t command = 0, option = 0;
};

// A client's request: one packet, or a whole byte-array run, and the
// millisecond tick the broker took it in.
struct aServerRequest {
  std::string identity;
  std::vector<aPacket> packets;
  uint32_t receivedMs = 0;
};

// A request waiting in its client's queue.
struct aServerWaiting {
  std::vector<aPacket> packets;
  uint32_t receivedMs = 0;
};

// Requests reach the link one at a time. The broker queues them and puts
// the next on the link when none is in flight; the link's reader takes the
// answer as it arrives and sends it to the asker itself.
//
// Clients take turns: each client's requests wait in a queue of its own,
// and the clients that have requests waiting and none in flight stand in
// line for the next turn, each once. A client whose request goes out
// leaves the line and joins its end again when that request is done (its
// answer came, or the answer time passed). So one client's burst of
// requests that nobody answers delays another client's request by at most
// one answer time. A client's record lives only while it has requests
// waiting.
struct aServerClient {
  std::deque<aServerWaiting> waiting;
  bool inLine = false;  // in turns
};

struct aServerRequestLine {
  std::mutex mutex;
  std::map<std::string, aServerClient> clients;  // those with requests waiting
  std::deque<std::string> turns;
  size_t waitingCount = 0;  // all clients' waiting requests
  bool inFlight = false;
  uint32_t serial = 0;       // of the request in flight
  std::string asker;         // its client's identity
  aServerWant want;
  uint32_t lastMs = 0;       // when it went out, or its last answer packet came
  std::vector<aPacket> answer;  // a multi-packet answer so far
};

// A whole message from a client: its identity and its frames.
struct aServerMessage {
  std::string identity;
  std::vector<std::string> frames;
};

// The frontend that clients of other processes reach over TCP
// (aServer_tcp.cpp). The broker listens, accepts and reads; sendTo may be
// called from any thread.
class aServerTcp {
 public:
  // Output that waits for room wakes the broker through waker.
  explicit aServerTcp(aServerWaker* waker) : waker_(waker) {}
  ~aServerTcp();
  aServerTcp(const aServerTcp&) = delete;
  aServerTcp& operator=(const aServerTcp&) = delete;

  // Listens on address (network order), port chosen by the system.
  bool listen(uint32_t address, uint16_t* port);
  // Closes the listener and every connection.
  void close();
  // Whether identity is one of this frontend's.
  static bool owns(const std::string& identity) {
    return identity.size() == 5 && identity[0] == 1;
  }
  // Sends one frame to the client; false when it is not (or no longer)
  // connected. Never blocks.
  bool sendTo(const std::string& identity, const void* data, size_t size);

  // The broker's: the descriptors to poll beside its own, then, after the
  // poll, their service (accepts, reads, writes what waits, heartbeats);
  // whole messages are appended to messages.
  void items(std::vector<struct pollfd>* items);
  void service(const std::vector<struct pollfd>& polled, size_t first, uint32_t nowMs,
               std::vector<aServerMessage>* messages);

 private:
  struct Connection;
  std::shared_ptr<Connection> find(const std::string& identity);
  bool write(Connection* c, const char* data, size_t size);
  bool read(Connection* c, uint32_t nowMs, std::vector<aServerMessage>* messages);
  bool frame(Connection* c, aZmtpFrame* f, std::vector<aServerMessage>* messages);
  void accept(uint32_t nowMs);

  aServerWaker* waker_;
  std::mutex mutex_;  // guards connections_
  std::map<std::string, std::shared_ptr<Connection>> connections_;
  // The broker's: the connections of its last items(), in their order.
  std::vector<std::shared_ptr<Connection>> polled_;
  int listenFd_ = -1;
  uint32_t nextIdentity_ = 0;
};

struct aServerDoor;
struct aServerLocalClient;

struct aServer {
  uint32_t linkId = 0;
  uint32_t interfaceAddress = 0;  // network byte order
  bool localOnly = true;
  std::atomic<uint8_t> model{0};
  std::atomic<uint8_t> moduleAddress{0};
  std::atomic<uint16_t> port{0};
  std::atomic<uint32_t> subscriberCount{0};  // kept by the broker
  std::atomic<uint32_t> clientStates{0};     // kept by the broker
  zactor_t* broker = nullptr;
  std::atomic<bool> brokerDone{false};
  std::atomic<bool> stopping{false};  // the broker is to end
  bool filterInstalled = false;
  void* announce = nullptr;

  aServerWaker waker;  // the broker's sleep
  aServerTcp tcp{&waker};  // the frontend, for clients of other processes
  aServerRequestLine requests;

  // Stream subscribers and unfinished byte-array runs, kept as clients'
  // messages are taken in: by the broker for clients of other processes,
  // by a client's own writing thread for clients of this process.
  std::mutex clientMutex;
  std::set<std::string> subscribers;
  aServerPools pools;

  // Clients of this process: their inboxes by identity.
  std::shared_ptr<aServerDoor> door;
  std::mutex localMutex;
  std::map<std::string, std::shared_ptr<aServerLocalClient>> localClients;
  uint32_t localCount = 0;

  // Stream batches, filled by the link's reader, sent by the broker.
  std::mutex batchMutex;
  std::deque<std::string> batches;
  uint32_t batchFirstMs = 0;  // when the oldest waiting sample arrived
  bool flushNow = false;      // a heartbeat passed
  uint32_t batchesDropped = 0;
};

// The way clients of this process reach its server. It outlives the
// server: a client's message holds it shared while it is handed in, and
// the server, going away, takes it exclusively and leaves it empty.
struct aServerDoor {
  std::shared_mutex mutex;
  aServer* server = nullptr;  // null once the server has gone
};

// A client of this process: the server's threads put its frames in the
// inbox and wake it; the client's link reader takes them.
struct aServerLocalClient {
  std::string identity;  // five bytes starting with 2
  aServerWaker waker;
  std::mutex mutex;
  std::deque<std::string> inbox;
  size_t inboxBytes = 0;
  bool closed = false;  // the server has gone
};

// The door of this process's server listening on address (network byte
// order) and port; null when there is none.
std::shared_ptr<aServerDoor> aServer_findLocal(uint32_t address, uint16_t port);
// A new client of this process (the door held shared); null without the
// descriptor it needs.
std::shared_ptr<aServerLocalClient> aServer_addLocalClient(aServer* server);
void aServer_removeLocalClient(aServer* server, const std::string& identity);
// One frame from a client of this process (the door held shared): taken in
// as the broker takes a client's message, and put on the link at once when
// no request is in flight.
void aServer_fromLocalClient(aServer* server, const std::string& identity,
                             const uint8_t* frame, size_t size);

// The client stream to a server reached over TCP (aStream_client_tcp.cpp).
aErr aStream_CreateClientTcp(uint32_t address, uint16_t port, aStreamRef* stream);

// Makes sure the messaging library leaves signal handling to the process.
void aServer_zmqSetup();

// Ends an actor. Its thread ends with the library's own signal, which the
// thread sanitizer cannot see; every actor therefore sets its done flag
// last, and this waits (bounded) for the flag before anything the actor
// used is freed.
void aServer_endActor(zactor_t** actor, std::atomic<bool>* done);

// The broker actor's body (aServer.cpp); args is the aServer.
void aServer_brokerActor(zsock_t* pipe, void* args);
// Sends data to the client without blocking, wherever it is; false when
// the client is gone (aServer.cpp). An empty frame only asks that.
bool aServer_sendTo(aServer* server, const std::string& identity,
                    const void* data, size_t size);

// The request line (aServer_sync.cpp), run by the broker: queues a request;
// false when it is refused because its client already has
// aSERVER_CLIENT_MAX_WAITING requests waiting or all clients together
// aSERVER_MAX_WAITING. Puts the next client's waiting request on the link
// when none is in flight, after ending one that got no answer in time.
bool aServer_queueRequest(aServer* server, aServerRequest request);
void aServer_serveRequests(aServer* server, uint32_t nowMs);
// Clients with requests waiting.
size_t aServer_waitingClients(aServer* server);
// Milliseconds until the request in flight times out (UINT32_MAX: none).
uint32_t aServer_requestWaitMs(aServer* server, uint32_t nowMs);
// The link's user filter: takes the answer to the request in flight and
// keeps stream samples for the broker; wakes the broker when it has work.
uint8_t aServer_linkFilter(const aPacket* packet, const void* reference);
// Milliseconds until the stream batches are due (UINT32_MAX: none wait).
uint32_t aServer_batchWaitMs(aServer* server, uint32_t nowMs);
// Takes the stream batches due for sending now (all, on a heartbeat, when
// more than one is full, or when the oldest sample is 100 ms old).
void aServer_takeDueBatches(aServer* server, uint32_t nowMs,
                            std::deque<std::string>* due);

#endif
