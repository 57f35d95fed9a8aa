// The client stream of a shared link: bytes to and from a sharing server.
// A server of another process is reached over TCP (aStream_client_tcp.cpp);
// one of this process in-process, here.
//
// One DEALER socket to the server, shared by the link's threads: whichever
// thread writes sends its frames on it at once, and the link's reader
// receives from it. Reads never block: get answers aErrNotReady when no
// frame is at hand and the wait operation sleeps until one with bytes
// arrives.
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
constexpr int kSendRetries = 100;

struct Client {
  aSharedSocket server;         // the DEALER to the server
  // No connection is lost when the server goes away; its flag tells.
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
    const int n = c->server.wait(nullptr, 0, static_cast<long>(timeoutMs - elapsed));
    if (n < 0 && zmq_errno() != EINTR) return aErrIO;
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
  aServerLocal local;
  if (!aServer_localEndpoint(address, port, &local))
    return aStream_CreateClientTcp(address, port, stream);
  Client* c = new (std::nothrow) Client();
  if (c == nullptr) return aErrMemory;
  c->serverClosed = local.closed;
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
    rc = zmq_connect(s, local.endpoint.c_str());
  }
  if (rc != 0 || !sConfirm(&c->server)) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Error connecting to socket: %d(rc)\n", rc);
    sTearDown(c);
    return aErrConnection;
  }
  const aStreamOps ops = {sGet, sPut, sWrite, sDelete, sWait};
  *stream = aStream_CreateWithOps(&ops, c);
  if (*stream == nullptr) {
    sTearDown(c);
    return aErrResource;
  }
  return aErrNone;
}
