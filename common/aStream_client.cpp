// The client stream of a shared link: bytes to and from a sharing server.
//
// One DEALER socket to the server, shared by the link's threads: whichever
// thread writes sends its frames on it at once, and the link's reader
// receives from it. Reads never block: get answers aErrNotReady when no
// frame is at hand and the wait operation sleeps until one with bytes
// arrives.
#include <arpa/inet.h>
#include <zmq.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/aKorvexDebug.h"
#include "common/aLink.h"
#include "common/aServer_internal.h"
#include "common/aTime.h"

namespace {

// The identify may wait for one other client's request in flight.
constexpr int kConfirmTimeoutMs = aSERVER_ANSWER_TIMEOUT_MS + 1000;
constexpr int kHeartbeatIvlMs = 1000;
constexpr int kHeartbeatTimeoutMs = 3000;
constexpr int kSendRetries = 100;

std::atomic<uint32_t> sClientCount{0};

struct Client {
  aSharedSocket server;         // the DEALER to the server
  zsock_t* monitor = nullptr;   // the reader's: the server socket's disconnects
  std::string monitorEndpoint;
  // A server of this process is reached in-process; there no connection is
  // lost when it goes away, and its flag tells instead.
  std::shared_ptr<const std::atomic<bool>> serverClosed;
  std::atomic<bool> lost{false};  // the connection to the server went away
  std::vector<uint8_t> frame;   // the frame being read (reader only)
  size_t at = 0;
};

// Sends one frame without blocking, retrying a full queue up to 100 times
// 1 ms apart (the socket is free meanwhile).
bool sSendRetrying(aSharedSocket* socket, const void* data, size_t size) {
  for (int i = 0; i < kSendRetries; i++) {
    {
      aSharedSocket::Use use(*socket);
      if (zmq_send(use.socket(), data, size, ZMQ_DONTWAIT) >= 0) return true;
      if (zmq_errno() != EAGAIN) return false;
    }
    aTime_MSSleep(1);
  }
  return false;
}

// Whether a server of this process that the client reaches in-process has
// gone away.
bool sServerClosed(const Client* c) {
  return c->serverClosed != nullptr && c->serverClosed->load();
}

// Whether the server is known to have gone; notes it.
bool sLost(Client* c) {
  if (!c->lost && sServerClosed(c)) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "server connection lost\n");
    c->lost = true;
  }
  return c->lost;
}

void sTearDown(Client* c) {
  if (c->server.isOpen() && c->monitor != nullptr) {
    aSharedSocket::Use use(c->server);
    zmq_socket_monitor(use.socket(), nullptr, 0);
  }
  zsock_destroy(&c->monitor);
  c->server.close();
  delete c;
}

// One identify round trip: the server answers only when it is there and
// its module answers.
bool sConfirm(aSharedSocket* server) {
  aSharedSocket::Use use(*server);
  const uint8_t identify[2] = {aLINK_ADDRESS_IDENTIFY, 0};
  if (zmq_send(use.socket(), identify, 2, 0) != 2) return false;
  uint8_t reply[aPACKET_MAX_WIRE + 1];
  // Empty frames (the server's probes) are passed over, a few at most.
  int n = 0;
  for (int i = 0; i < 4 && n == 0; i++) n = zmq_recv(use.socket(), reply, sizeof(reply), 0);
  return n == 2 && reply[1] == 0;
}

// Takes the next frame with bytes into c->frame, passing over empty ones
// (the server's probes, which carry nothing for the link). aErrNotReady when
// none waits. Reader only.
aErr sNextFrame(Client* c) {
  for (;;) {
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    int n = -1;
    int error = 0;
    {
      aSharedSocket::Use use(c->server);
      n = zmq_msg_recv(&msg, use.socket(), ZMQ_DONTWAIT);
      if (n < 0) error = zmq_errno();
      if (n < 0 && error == EAGAIN) use.foundEmpty();
    }
    if (n < 0) {
      zmq_msg_close(&msg);
      if (sLost(c)) return aErrIO;
      return error == EAGAIN ? aErrNotReady : aErrIO;
    }
    const uint8_t* data = static_cast<const uint8_t*>(zmq_msg_data(&msg));
    c->frame.assign(data, data + zmq_msg_size(&msg));
    c->at = 0;
    zmq_msg_close(&msg);
    if (!c->frame.empty()) return aErrNone;
  }
}

aErr sGet(uint8_t* byte, void* context) {
  Client* c = static_cast<Client*>(context);
  if (c->at >= c->frame.size()) {
    const aErr err = sNextFrame(c);
    if (err != aErrNone) return err;
  }
  *byte = c->frame[c->at++];
  return aErrNone;
}

// Sleeps until bytes wait, the server connection is lost (get reports it)
// or timeoutMs pass. A frame that arrives is taken here already, so that an
// empty one does not end the wait: the link's reader takes a wait that
// ends with nothing to read for a stream that cannot wait, and pauses.
aErr sWait(uint32_t timeoutMs, void* context) {
  Client* c = static_cast<Client*>(context);
  if (c->at < c->frame.size()) return aErrNone;
  const uint32_t start = aTime_GetMSTicks();
  for (;;) {
    if (sLost(c)) return aErrNone;
    // A receive that finds nothing has looked at the socket's pending
    // news itself; no separate look is needed before it.
    if (sNextFrame(c) != aErrNotReady) return aErrNone;  // bytes, or a failure get reports
    const uint32_t elapsed = aTime_GetMSTicks() - start;
    if (elapsed >= timeoutMs) return aErrTimeout;
    zmq_pollitem_t monitor = {c->monitor != nullptr ? zsock_resolve(c->monitor) : nullptr,
                              0, ZMQ_POLLIN, 0};
    const int watched = c->monitor != nullptr ? 1 : 0;
    const int n = c->server.wait(&monitor, watched, static_cast<long>(timeoutMs - elapsed));
    if (n < 0 && zmq_errno() != EINTR) return aErrIO;
    if (n > 0 && watched != 0 && (monitor.revents & ZMQ_POLLIN)) {
      zmsg_t* event = zmsg_recv(c->monitor);
      zmsg_destroy(&event);
      aKorvexDebug_Trace(aDEBUG_SERVER, "server connection lost\n");
      c->lost = true;
    }
  }
}

aErr sPut(uint8_t, void*) { return aErrUnimplemented; }

aErr sWrite(const uint8_t* data, size_t length, void* context) {
  Client* c = static_cast<Client*>(context);
  if (sServerClosed(c)) return aErrIO;
  std::vector<std::vector<uint8_t>> packets;
  if (!aServer_SplitPackets(data, length, &packets)) return aErrIO;
  for (const auto& p : packets)
    if (!sSendRetrying(&c->server, p.data(), p.size())) return aErrIO;
  return aErrNone;
}

aErr sDelete(void* context) {
  sTearDown(static_cast<Client*>(context));
  return aErrNone;
}

}  // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  aServer_zmqSetup();
  Client* c = new (std::nothrow) Client();
  if (c == nullptr) return aErrMemory;
  char name[64];
  snprintf(name, sizeof(name), "inproc://korvex-client-monitor-%u",
           static_cast<unsigned>(sClientCount++));
  c->monitorEndpoint = name;
  aServerLocal local;
  const bool inProcess = aServer_localEndpoint(address, port, &local);
  if (inProcess) c->serverClosed = local.closed;
  zsock_t* dealer = zsock_new(ZMQ_DEALER);
  if (!c->server.open(dealer)) {
    sTearDown(c);
    return aErrConnection;
  }
  int rc = -1;
  {
    aSharedSocket::Use use(c->server);
    void* s = use.socket();
    const int linger = 0;
    zmq_setsockopt(s, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_setsockopt(s, ZMQ_RCVTIMEO, &kConfirmTimeoutMs, sizeof(int));
    zmq_setsockopt(s, ZMQ_SNDTIMEO, &kConfirmTimeoutMs, sizeof(int));
    zmq_setsockopt(s, ZMQ_HEARTBEAT_IVL, &kHeartbeatIvlMs, sizeof(int));
    zmq_setsockopt(s, ZMQ_HEARTBEAT_TIMEOUT, &kHeartbeatTimeoutMs, sizeof(int));
    char host[INET_ADDRSTRLEN] = "";
    in_addr a;
    a.s_addr = address;
    char endpoint[64];
    if (inProcess) {
      rc = zmq_connect(s, local.endpoint.c_str());
    } else if (inet_ntop(AF_INET, &a, host, sizeof(host)) != nullptr) {
      snprintf(endpoint, sizeof(endpoint), "tcp://%s:%u", host,
               static_cast<unsigned>(port));
      rc = zmq_connect(s, endpoint);
    }
  }
  if (rc != 0 || !sConfirm(&c->server)) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Error connecting to socket: %d(rc)\n", rc);
    sTearDown(c);
    return aErrConnection;
  }
  if (!inProcess) {
    {
      aSharedSocket::Use use(c->server);
      rc = zmq_socket_monitor(use.socket(), c->monitorEndpoint.c_str(),
                              ZMQ_EVENT_DISCONNECTED);
    }
    if (rc == 0)
      c->monitor = zsock_new_pair((">" + c->monitorEndpoint).c_str());
  }
  if (!inProcess && c->monitor == nullptr) {
    sTearDown(c);
    return aErrResource;
  }
  const aStreamOps ops = {sGet, sPut, sWrite, sDelete, sWait};
  *stream = aStream_CreateWithOps(&ops, c);
  if (*stream == nullptr) {
    sTearDown(c);
    return aErrResource;
  }
  return aErrNone;
}
