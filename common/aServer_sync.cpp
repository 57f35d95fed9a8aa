// The sharing server's sync worker, the only thread that puts client
// requests on the link and takes their answers, and the stream filter that
// collects samples from the link's reader.
#include <algorithm>
#include <vector>

#include "common/aKorvexDebug.h"
#include "common/aLink.h"
#include "common/aServer_internal.h"
#include "common/aTime.h"
#include "common/aUEI.h"

namespace {

constexpr uint32_t kAwaitSliceMs = 100;

// What answers a request: a packet from its address, or for an identify any
// empty packet (the module answers from its own address).
struct Want {
  uint8_t address;
  bool identify;
};

uint8_t sAnswers(const aPacket* packet, const void* reference) {
  const Want* want = static_cast<const Want*>(reference);
  if (want->identify) return packet->dataSize == 0;
  return packet->address == want->address;
}

bool sMoreFollows(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) &&
         aUEI_getBytesContinue(packet) != 0;
}

// Waits up to the answer time-out in slices, giving up when the server
// stops.
aPacket* sAwait(aServer* server, const Want& want) {
  const uint32_t start = aTime_GetMSTicks();
  while (!server->stopping) {
    aPacket* p = aLink_AwaitFirst(server->linkId, sAnswers, &want, kAwaitSliceMs);
    if (p != nullptr) return p;
    if (aTime_GetMSTicks() - start >= aSERVER_ANSWER_TIMEOUT_MS) break;
    if (aLink_GetStatus(server->linkId) != kLinkStateRunning)
      aTime_MSSleep(kAwaitSliceMs);  // AwaitFirst returns at once then
  }
  return nullptr;
}

void sReply(zsock_t* sync, uint8_t command, const std::vector<aPacket*>& packets) {
  zmsg_t* msg = zmsg_new();
  if (msg == nullptr) return;
  const uint8_t head[3] = {command, static_cast<uint8_t>(packets.size() >> 8),
                           static_cast<uint8_t>(packets.size() & 0xFF)};
  zmsg_addmem(msg, head, sizeof(head));
  for (aPacket* p : packets) {
    uint8_t wire[aPACKET_MAX_WIRE];
    zmsg_addmem(msg, wire, aPacket_WireBytes(p, wire));
  }
  if (zmsg_send(&msg, sync) != 0) zmsg_destroy(&msg);
}

// One request: its packets in order, then the answer to the last one.
void sServe(aServer* server, zsock_t* sync, zmsg_t* msg) {
  // Whatever came in before the request (late answers, unsolicited
  // packets) must not be taken for its answer.
  aLink_DrainPackets(server->linkId, nullptr, nullptr);
  aPacket last{};
  bool ok = zmsg_size(msg) > 0;
  for (zframe_t* f = zmsg_first(msg); ok && f != nullptr; f = zmsg_next(msg)) {
    const uint8_t* wire = zframe_data(f);
    if (!aServer_FrameIsPacket(wire, zframe_size(f))) {
      ok = false;
      break;
    }
    aPacket* p = aPacket_CreateWithData(wire[0], wire[1], wire + 2);
    const aErr err = p != nullptr ? aLink_PutPacket(server->linkId, p) : aErrMemory;
    if (p != nullptr) last = *p;
    aPacket_Destroy(&p);
    if (err != aErrNone) {
      aKorvexDebug_Trace(aDEBUG_SERVER, "Failed to PUT packet: err: %d\n",
                         static_cast<int>(err));
      ok = false;
    }
  }
  if (!ok || !aServer_NeedsAnswer(&last)) {
    sReply(sync, 0, {});
    return;
  }
  const Want want{last.address, last.address == aLINK_ADDRESS_IDENTIFY};
  std::vector<aPacket*> answer;
  while (answer.size() < aSERVER_POOL_MAX_PACKETS) {
    aPacket* p = sAwait(server, want);
    if (p == nullptr) break;
    answer.push_back(p);
    if (!sMoreFollows(p)) break;
  }
  if (answer.empty()) aKorvexDebug_Trace(aDEBUG_SERVER, "Failed to AWAIT packet\n");
  sReply(sync, answer.empty() ? 0 : 1, answer);
  for (aPacket* p : answer) aPacket_Destroy(&p);
}

}  // namespace

void aServer_syncActor(zsock_t* pipe, void* args) {
  aServer* server = static_cast<aServer*>(args);
  zsock_t* sync = zsock_new(ZMQ_PAIR);
  if (sync != nullptr &&
      zsock_connect(sync, "%s", server->syncEndpoint.c_str()) != 0)
    zsock_destroy(&sync);
  zpoller_t* poller = sync != nullptr ? zpoller_new(pipe, sync, nullptr) : nullptr;
  zsock_signal(pipe, 0);
  while (poller != nullptr) {
    zsock_t* which = static_cast<zsock_t*>(zpoller_wait(poller, 1000));
    if (which == pipe || zpoller_terminated(poller)) break;
    if (which != sync) continue;
    zmsg_t* msg = zmsg_recv(sync);
    if (msg == nullptr) continue;
    sServe(server, sync, msg);
    zmsg_destroy(&msg);
  }
  zpoller_destroy(&poller);
  zsock_destroy(&sync);
  server->syncDone.store(true, std::memory_order_release);
}

uint8_t aServer_streamFilter(const aPacket* packet, const void* reference) {
  aServer* server = const_cast<aServer*>(static_cast<const aServer*>(reference));
  if (!aVALIDPACKET(packet)) return 0;
  std::lock_guard<std::mutex> lock(server->batchMutex);
  if (packet->dataSize == 2 && packet->data[0] == 0) {
    server->flushNow = true;  // a heartbeat: send what was collected
    return 0;
  }
  if (!aUEI_isStreamPacket(packet)) return 0;
  const size_t size = 2u + packet->dataSize;
  if (server->batches.empty() ||
      server->batches.back().size() + size > aSERVER_BATCH_SIZE) {
    if (server->batches.size() >= aSERVER_MAX_BATCHES) {
      server->batchesDropped++;
      return 1;  // nobody takes them: the oldest stay, this one goes
    }
    if (server->batches.empty()) server->batchFirstMs = aTime_GetMSTicks();
    server->batches.emplace_back();
  }
  std::string& batch = server->batches.back();
  batch.push_back(static_cast<char>(packet->address));
  batch.push_back(static_cast<char>(packet->dataSize));
  batch.append(reinterpret_cast<const char*>(packet->data), packet->dataSize);
  return 1;
}

void aServer_takeDueBatches(aServer* server, uint32_t nowMs,
                            std::deque<std::string>* due) {
  std::lock_guard<std::mutex> lock(server->batchMutex);
  if (server->batches.empty()) {
    server->flushNow = false;
    return;
  }
  const bool due_now = server->flushNow || server->batches.size() > 1 ||
                       nowMs - server->batchFirstMs >= aSERVER_BATCH_FLUSH_MS;
  if (!due_now) return;
  due->swap(server->batches);
  server->batches.clear();
  server->flushNow = false;
}
