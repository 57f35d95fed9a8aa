// The client stream of a shared link: bytes to and from a sharing server.
//
// A broker thread is the only user of the DEALER socket to the server; the
// link's writer hands it frames over one inproc pair, and the link's reader
// takes frames from it over another. Reads never block: get answers
// aErrNotReady when no frame is at hand and the wait operation waits for
// the next one.
#include <arpa/inet.h>
#include <zmq.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/aKorvexDebug.h"
#include "common/aLink.h"
#include "common/aServer_internal.h"
#include "common/aTime.h"

namespace {

constexpr int kConfirmTimeoutMs = 2000;
constexpr int kHeartbeatIvlMs = 1000;
constexpr int kHeartbeatTimeoutMs = 3000;
constexpr int kSendRetries = 100;

std::atomic<uint32_t> sClientCount{0};

struct Client {
  zsock_t* dealer = nullptr;    // the broker's, after start
  zsock_t* toBroker = nullptr;  // the writer's end
  zsock_t* fromBroker = nullptr;  // the reader's end
  zactor_t* broker = nullptr;
  std::string outEndpoint, inEndpoint, monitorEndpoint;
  std::atomic<bool> lost{false};  // the connection to the server went away
  std::atomic<bool> brokerDone{false};
  std::vector<uint8_t> frame;  // the frame being read
  size_t at = 0;
};

// Sends without blocking, retrying a full queue up to 100 times 1 ms apart.
bool sSendRetrying(zsock_t* socket, const void* data, size_t size) {
  for (int i = 0; i < kSendRetries; i++) {
    if (zmq_send(zsock_resolve(socket), data, size, ZMQ_DONTWAIT) >= 0) return true;
    if (zmq_errno() != EAGAIN) return false;
    aTime_MSSleep(1);
  }
  return false;
}

void sForwardOne(zsock_t* from, zsock_t* to) {
  zframe_t* frame = zframe_recv(from);
  if (frame == nullptr) return;
  if (!sSendRetrying(to, zframe_data(frame), zframe_size(frame)))
    aKorvexDebug_Trace(aDEBUG_SERVER, "client frame lost\n");
  zframe_destroy(&frame);
}

void sClientBroker(zsock_t* pipe, void* args) {
  Client* c = static_cast<Client*>(args);
  zsock_t* out = zsock_new_pair((">" + c->outEndpoint).c_str());
  zsock_t* in = zsock_new_pair((">" + c->inEndpoint).c_str());
  // Disconnect events of the server socket (heartbeats time out a server
  // that vanished without closing its connection).
  zsock_t* monitor = zsock_new_pair((">" + c->monitorEndpoint).c_str());
  zpoller_t* poller = out != nullptr && in != nullptr && monitor != nullptr
                          ? zpoller_new(pipe, c->dealer, out, monitor, nullptr)
                          : nullptr;
  zsock_signal(pipe, 0);
  while (poller != nullptr) {
    zsock_t* which = static_cast<zsock_t*>(zpoller_wait(poller, 1000));
    if (which == pipe || zpoller_terminated(poller)) break;
    if (which == c->dealer) sForwardOne(c->dealer, in);
    else if (which == out) sForwardOne(out, c->dealer);
    else if (which == monitor) {
      zmsg_t* event = zmsg_recv(monitor);
      zmsg_destroy(&event);
      aKorvexDebug_Trace(aDEBUG_SERVER, "server connection lost\n");
      c->lost = true;
    }
  }
  zpoller_destroy(&poller);
  zsock_destroy(&monitor);
  zsock_destroy(&in);
  zsock_destroy(&out);
  c->brokerDone.store(true, std::memory_order_release);
}

void sTearDown(Client* c) {
  aServer_endActor(&c->broker, &c->brokerDone);
  if (c->dealer != nullptr) zmq_socket_monitor(zsock_resolve(c->dealer), nullptr, 0);
  zsock_destroy(&c->dealer);
  zsock_destroy(&c->toBroker);
  zsock_destroy(&c->fromBroker);
  delete c;
}

// One identify round trip: the server answers only when it is there and
// its module answers.
bool sConfirm(zsock_t* dealer) {
  const uint8_t identify[2] = {aLINK_ADDRESS_IDENTIFY, 0};
  if (zmq_send(zsock_resolve(dealer), identify, 2, 0) != 2) return false;
  uint8_t reply[aPACKET_MAX_WIRE + 1];
  const int n = zmq_recv(zsock_resolve(dealer), reply, sizeof(reply), 0);
  return n == 2 && reply[1] == 0;
}

aErr sGet(uint8_t* byte, void* context) {
  Client* c = static_cast<Client*>(context);
  if (c->at >= c->frame.size()) {
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    const int n = zmq_msg_recv(&msg, zsock_resolve(c->fromBroker), ZMQ_DONTWAIT);
    if (n < 0) {
      zmq_msg_close(&msg);
      if (c->lost) return aErrIO;
      return zmq_errno() == EAGAIN ? aErrNotReady : aErrIO;
    }
    const uint8_t* data = static_cast<const uint8_t*>(zmq_msg_data(&msg));
    c->frame.assign(data, data + zmq_msg_size(&msg));
    c->at = 0;
    zmq_msg_close(&msg);
    if (c->frame.empty()) return aErrNotReady;
  }
  *byte = c->frame[c->at++];
  return aErrNone;
}

aErr sWait(uint32_t timeoutMs, void* context) {
  Client* c = static_cast<Client*>(context);
  if (c->at < c->frame.size()) return aErrNone;
  zmq_pollitem_t item = {zsock_resolve(c->fromBroker), 0, ZMQ_POLLIN, 0};
  const int n = zmq_poll(&item, 1, static_cast<long>(timeoutMs));
  if (n > 0 || c->lost) return aErrNone;  // get reports the loss
  return n == 0 ? aErrTimeout : aErrIO;
}

aErr sPut(uint8_t, void*) { return aErrUnimplemented; }

aErr sWrite(const uint8_t* data, size_t length, void* context) {
  Client* c = static_cast<Client*>(context);
  std::vector<std::vector<uint8_t>> packets;
  if (!aServer_SplitPackets(data, length, &packets)) return aErrIO;
  for (const auto& p : packets)
    if (!sSendRetrying(c->toBroker, p.data(), p.size())) return aErrIO;
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
  const unsigned n = sClientCount++;
  char name[64];
  snprintf(name, sizeof(name), "inproc://korvex-client-out-%u", n);
  c->outEndpoint = name;
  snprintf(name, sizeof(name), "inproc://korvex-client-in-%u", n);
  c->inEndpoint = name;
  snprintf(name, sizeof(name), "inproc://korvex-client-monitor-%u", n);
  c->monitorEndpoint = name;
  c->toBroker = zsock_new_pair(("@" + c->outEndpoint).c_str());
  c->fromBroker = zsock_new_pair(("@" + c->inEndpoint).c_str());
  c->dealer = zsock_new(ZMQ_DEALER);
  if (c->toBroker == nullptr || c->fromBroker == nullptr || c->dealer == nullptr) {
    sTearDown(c);
    return aErrConnection;
  }
  zsock_set_linger(c->dealer, 0);
  zsock_set_linger(c->toBroker, 0);
  zsock_set_linger(c->fromBroker, 0);
  zsock_set_rcvtimeo(c->dealer, kConfirmTimeoutMs);
  zsock_set_sndtimeo(c->dealer, kConfirmTimeoutMs);
  zsock_set_heartbeat_ivl(c->dealer, kHeartbeatIvlMs);
  zsock_set_heartbeat_timeout(c->dealer, kHeartbeatTimeoutMs);
  char host[INET_ADDRSTRLEN] = "";
  in_addr a;
  a.s_addr = address;
  const int rc = inet_ntop(AF_INET, &a, host, sizeof(host)) != nullptr
                     ? zsock_connect(c->dealer, "tcp://%s:%u", host,
                                     static_cast<unsigned>(port))
                     : -1;
  if (rc != 0 || !sConfirm(c->dealer)) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Error connecting to socket: %d(rc)\n", rc);
    sTearDown(c);
    return aErrConnection;
  }
  if (zmq_socket_monitor(zsock_resolve(c->dealer), c->monitorEndpoint.c_str(),
                         ZMQ_EVENT_DISCONNECTED) != 0) {
    sTearDown(c);
    return aErrResource;
  }
  c->broker = zactor_new(sClientBroker, c);
  if (c->broker == nullptr) {
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
