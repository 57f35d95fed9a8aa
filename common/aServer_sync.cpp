// The sharing server's request line, which puts client requests on the
// link one after the other, and the link filter, which runs in the link's
// reader: it sends each answer to its asker as it arrives and collects
// stream samples for the broker.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/aKorvexDebug.h"
#include "common/aLink.h"
#include "common/aServer_internal.h"
#include "common/aTime.h"
#include "common/aUEI.h"

namespace {

aServerWant sWantFor(const aPacket& request) {
  aServerWant want;
  want.address = request.address;
  want.identify = request.address == aLINK_ADDRESS_IDENTIFY;
  if (request.dataSize >= 2 && aUEI_isUEIPayload(&request)) {
    want.uei = true;
    want.command = request.data[0];
    want.option = request.data[1] & aUEI_OPTION_MASK;
  }
  return want;
}

bool sAnswers(const aPacket* packet, const aServerWant& want) {
  if (want.identify) return packet->dataSize == 0;
  if (packet->address != want.address) return false;
  if (!want.uei) return true;
  return packet->dataSize >= 2 && packet->data[0] == want.command &&
         (packet->data[1] & aUEI_OPTION_MASK) == want.option;
}

// Milliseconds the request in flight has waited at nowMs; 0 when its time
// was taken after nowMs (by the reader, or by this turn's own dispatch).
uint32_t sWaited(const aServerRequestLine& line, uint32_t nowMs) {
  const uint32_t waited = nowMs - line.lastMs;
  return waited > UINT32_MAX / 2 ? 0 : waited;
}

bool sMoreFollows(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) &&
         aUEI_getBytesContinue(packet) != 0;
}

// Puts a client with requests waiting at the end of the line, unless it
// stands there already or its request is in flight. Under the line's mutex.
void sJoinLine(aServerRequestLine& line, const std::string& identity) {
  auto found = line.clients.find(identity);
  if (found == line.clients.end() || found->second.inLine) return;
  if (line.inFlight && line.asker == identity) return;
  found->second.inLine = true;
  line.turns.push_back(identity);
}

// Forgets a client's waiting requests (it has gone). Under the line's mutex.
void sForget(aServerRequestLine& line, const std::string& identity) {
  auto found = line.clients.find(identity);
  if (found == line.clients.end()) return;
  line.waitingCount -= found->second.waiting.size();
  if (found->second.inLine)
    line.turns.erase(std::find(line.turns.begin(), line.turns.end(), identity));
  line.clients.erase(found);
}

// Ends the request in flight: the answer collected so far goes to its
// asker (nothing when none came), who may then take another turn. Under
// the line's mutex.
void sFinish(aServer* server) {
  aServerRequestLine& line = server->requests;
  bool gone = false;
  if (line.answer.empty()) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Failed to AWAIT packet\n");
  } else {
    for (const aPacket& p : line.answer) {
      uint8_t wire[aPACKET_MAX_WIRE];
      if (!aServer_sendTo(server, line.asker, wire, aPacket_WireBytes(&p, wire)))
        gone = true;
    }
  }
  line.answer.clear();
  line.inFlight = false;
  if (gone) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "client gone, its requests dropped\n");
    sForget(line, line.asker);
  }
  sJoinLine(line, line.asker);
}

// Whether a client has gone: sending it nothing (an empty frame, which
// clients ignore) tells whether it is still connected. So a client that
// left does not keep the link busy with what it left waiting.
bool sGone(aServer* server, const std::string& identity) {
  return !aServer_sendTo(server, identity, nullptr, 0);
}

// Takes the first waiting request of the client whose turn it is; false
// when nobody waits. The client's record goes with its last request. Under
// the line's mutex.
bool sNextTurn(aServerRequestLine& line, aServerRequest* next) {
  if (line.turns.empty()) return false;
  next->identity = std::move(line.turns.front());
  line.turns.pop_front();
  auto found = line.clients.find(next->identity);
  if (found == line.clients.end()) return false;  // never: kept in step
  aServerClient& client = found->second;
  client.inLine = false;
  next->packets = std::move(client.waiting.front().packets);
  next->receivedMs = client.waiting.front().receivedMs;
  client.waiting.pop_front();
  line.waitingCount--;
  if (client.waiting.empty()) line.clients.erase(found);
  return true;
}

// Takes packet when it answers the request in flight; the last packet of
// the answer sends it.
bool sTakeAnswer(aServer* server, const aPacket* packet) {
  aServerRequestLine& line = server->requests;
  std::lock_guard<std::mutex> lock(line.mutex);
  if (!line.inFlight || !sAnswers(packet, line.want)) return false;
  line.answer.push_back(*packet);
  line.lastMs = aTime_GetMSTicks();  // each packet of an answer has its time
  if (sMoreFollows(packet) && line.answer.size() < aSERVER_POOL_MAX_PACKETS)
    return true;
  sFinish(server);
  if (!line.turns.empty()) server->waker.wake();  // the next one's turn
  return true;
}

}  // namespace

bool aServer_queueRequest(aServer* server, aServerRequest request) {
  aServerRequestLine& line = server->requests;
  std::lock_guard<std::mutex> lock(line.mutex);
  if (line.waitingCount >= aSERVER_MAX_WAITING) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "too many waiting requests, refused\n");
    return false;
  }
  aServerClient& client = line.clients[request.identity];
  if (client.waiting.size() >= aSERVER_CLIENT_MAX_WAITING) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "client has too many waiting requests, refused\n");
    return false;
  }
  client.waiting.push_back({std::move(request.packets), request.receivedMs});
  line.waitingCount++;
  sJoinLine(line, request.identity);
  return true;
}

void aServer_serveRequests(aServer* server, uint32_t nowMs) {
  aServerRequestLine& line = server->requests;
  for (;;) {
    aServerRequest next;
    uint32_t serial = 0;
    {
      std::lock_guard<std::mutex> lock(line.mutex);
      if (line.inFlight) {
        if (sWaited(line, nowMs) < aSERVER_ANSWER_TIMEOUT_MS) return;
        sFinish(server);
      }
      if (!sNextTurn(line, &next)) return;
      if (next.packets.empty()) continue;
      // A request taken in a moment ago has a client that was there a
      // moment ago: the probe would only cost it a frame to pass over.
      if (nowMs - next.receivedMs >= aSERVER_GONE_PROBE_AFTER_MS &&
          sGone(server, next.identity)) {
        aKorvexDebug_Trace(aDEBUG_SERVER, "client gone, its requests dropped\n");
        sForget(line, next.identity);
        continue;
      }
      if (aServer_NeedsAnswer(&next.packets.back())) {
        // In flight before it goes out: the answer may come at once.
        line.inFlight = true;
        serial = ++line.serial;
        line.asker = next.identity;
        line.want = sWantFor(next.packets.back());
        line.lastMs = aTime_GetMSTicks();
        line.answer.clear();
      } else {
        sJoinLine(line, next.identity);
      }
    }
    // Nobody else reads the link's inbound queue: what the filter did not
    // take (late answers, unsolicited packets) is dropped here.
    aLink_DrainPackets(server->linkId, nullptr, nullptr);
    for (const aPacket& p : next.packets) {
      const aErr err = aLink_PutPacket(server->linkId, &p);
      if (err == aErrNone) continue;
      aKorvexDebug_Trace(aDEBUG_SERVER, "Failed to PUT packet: err: %d\n",
                         static_cast<int>(err));
      std::lock_guard<std::mutex> lock(line.mutex);
      if (line.inFlight && line.serial == serial) {
        line.answer.clear();
        line.inFlight = false;
        sJoinLine(line, line.asker);
      }
      break;
    }
  }
}

size_t aServer_waitingClients(aServer* server) {
  std::lock_guard<std::mutex> lock(server->requests.mutex);
  return server->requests.clients.size();
}

uint32_t aServer_requestWaitMs(aServer* server, uint32_t nowMs) {
  aServerRequestLine& line = server->requests;
  std::lock_guard<std::mutex> lock(line.mutex);
  if (!line.inFlight) return UINT32_MAX;
  const uint32_t waited = sWaited(line, nowMs);
  return waited < aSERVER_ANSWER_TIMEOUT_MS ? aSERVER_ANSWER_TIMEOUT_MS - waited : 0;
}

uint8_t aServer_linkFilter(const aPacket* packet, const void* reference) {
  aServer* server = const_cast<aServer*>(static_cast<const aServer*>(reference));
  if (!aVALIDPACKET(packet)) return 0;
  // Heartbeats go on to the link, which answers them; they are never taken
  // for an answer.
  const bool heartbeat = packet->dataSize == 2 && packet->data[0] == 0;
  if (!heartbeat && !aUEI_isStreamPacket(packet))
    return sTakeAnswer(server, packet) ? 1 : 0;
  bool due = false;
  {
    std::lock_guard<std::mutex> lock(server->batchMutex);
    if (heartbeat) {
      server->flushNow = true;  // send what was collected
      due = !server->batches.empty();
    } else {
      const size_t size = 2u + packet->dataSize;
      if (server->batches.empty() ||
          server->batches.back().size() + size > aSERVER_BATCH_SIZE) {
        if (server->batches.size() >= aSERVER_MAX_BATCHES) {
          server->batchesDropped++;
          return 1;  // nobody takes them: the oldest stay, this one goes
        }
        if (server->batches.empty()) server->batchFirstMs = aTime_GetMSTicks();
        server->batches.emplace_back();
        due = server->batches.size() == 2;  // one is full
      }
      std::string& batch = server->batches.back();
      batch.push_back(static_cast<char>(packet->address));
      batch.push_back(static_cast<char>(packet->dataSize));
      batch.append(reinterpret_cast<const char*>(packet->data), packet->dataSize);
    }
  }
  if (due) server->waker.wake();
  return heartbeat ? 0 : 1;
}

uint32_t aServer_batchWaitMs(aServer* server, uint32_t nowMs) {
  std::lock_guard<std::mutex> lock(server->batchMutex);
  if (server->batches.empty()) return UINT32_MAX;
  if (server->flushNow || server->batches.size() > 1) return 0;
  const uint32_t age = nowMs - server->batchFirstMs;
  return age < aSERVER_BATCH_FLUSH_MS ? aSERVER_BATCH_FLUSH_MS - age : 0;
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
