// The client stream of a shared link. A server of another process is
// reached over TCP (aStream_client_tcp.cpp); one of this process directly:
// a write hands the client's packets to the server on the writing thread
// (which puts a request on the module's link at once when it is free), and
// the server's threads put answers and stream batches in the client's
// inbox, where the link's reader takes them.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <vector>

#include "common/aKorvexDebug.h"
#include "common/aLink.h"
#include "common/aServer_internal.h"
#include "common/aTime.h"

namespace {

// The identify may wait for one other client's request in flight.
constexpr uint32_t kConfirmTimeoutMs = aSERVER_ANSWER_TIMEOUT_MS + 1000;

struct Client {
  std::shared_ptr<aServerDoor> door;
  std::shared_ptr<aServerLocalClient> box;
  std::string frame;  // the frame being read (reader only)
  size_t at = 0;
};

void sTearDown(Client* c) {
  if (c->box != nullptr) {
    std::shared_lock<std::shared_mutex> open(c->door->mutex);
    if (c->door->server != nullptr) aServer_removeLocalClient(c->door->server, c->box->identity);
  }
  delete c;
}

// Takes the next frame into c->frame: aErrNotReady when none waits, aErrIO
// once the server has gone.
aErr sNextFrame(Client* c) {
  std::lock_guard<std::mutex> lock(c->box->mutex);
  if (c->box->inbox.empty()) return c->box->closed ? aErrIO : aErrNotReady;
  c->frame.swap(c->box->inbox.front());
  c->box->inbox.pop_front();
  c->box->inboxBytes -= c->frame.size();
  c->at = 0;
  return aErrNone;
}

aErr sGet(uint8_t* byte, void* context) {
  Client* c = static_cast<Client*>(context);
  if (c->at >= c->frame.size()) {
    const aErr err = sNextFrame(c);
    if (err != aErrNone) return err;
  }
  *byte = static_cast<uint8_t>(c->frame[c->at++]);
  return aErrNone;
}

// Sleeps until a frame is here (taken in already), the server has gone
// (get reports it) or timeoutMs pass. A frame put in after the look at the
// inbox wakes the sleep that follows it.
aErr sWait(uint32_t timeoutMs, void* context) {
  Client* c = static_cast<Client*>(context);
  if (c->at < c->frame.size()) return aErrNone;
  const uint32_t start = aTime_GetMSTicks();
  for (;;) {
    const aErr e = sNextFrame(c);
    if (e != aErrNotReady) {
      if (e == aErrIO) aKorvexDebug_Trace(aDEBUG_SERVER, "server connection lost\n");
      return aErrNone;
    }
    const uint32_t elapsed = aTime_GetMSTicks() - start;
    if (elapsed >= timeoutMs) return aErrTimeout;
    const long left = static_cast<long>(std::min<uint32_t>(timeoutMs - elapsed, 0x7FFFFFFF));
    if (c->box->waker.wait(nullptr, 0, left) < 0 &&
        errno != EINTR)
      return aErrIO;
  }
}

aErr sPut(uint8_t, void*) { return aErrUnimplemented; }

aErr sWrite(const uint8_t* data, size_t length, void* context) {
  Client* c = static_cast<Client*>(context);
  std::vector<std::vector<uint8_t>> packets;
  if (!aServer_SplitPackets(data, length, &packets)) return aErrIO;
  std::shared_lock<std::shared_mutex> open(c->door->mutex);
  if (c->door->server == nullptr) return aErrIO;
  for (const auto& p : packets)
    aServer_fromLocalClient(c->door->server, c->box->identity, p.data(), p.size());
  return aErrNone;
}

aErr sDelete(void* context) {
  sTearDown(static_cast<Client*>(context));
  return aErrNone;
}

// One identify round trip: the server answers only when its module does.
bool sConfirm(Client* c) {
  const uint8_t identify[2] = {aLINK_ADDRESS_IDENTIFY, 0};
  if (sWrite(identify, sizeof(identify), c) != aErrNone) return false;
  if (sWait(kConfirmTimeoutMs, c) != aErrNone || c->at >= c->frame.size()) return false;
  const bool confirmed = c->frame.size() == 2 && c->frame[1] == 0;
  c->frame.clear();
  c->at = 0;
  return confirmed;
}

}  // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  std::shared_ptr<aServerDoor> door = aServer_findLocal(address, port);
  if (door == nullptr) return aStream_CreateClientTcp(address, port, stream);
  Client* c = new (std::nothrow) Client();
  if (c == nullptr) return aErrMemory;
  c->door = door;
  {
    std::shared_lock<std::shared_mutex> open(door->mutex);
    if (door->server != nullptr) c->box = aServer_addLocalClient(door->server);
  }
  if (c->box == nullptr || !sConfirm(c)) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Error connecting to socket: %d(rc)\n", -1);
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
