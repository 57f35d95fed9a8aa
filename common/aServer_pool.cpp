// Frame rules and byte-array pools of the sharing server; no messaging
// library needed, so every build carries them.
#include "common/aServer.h"

#include "common/aKorvexDebug.h"
#include "common/aLink.h"
#include "common/aUEI.h"

namespace {

// True when packet carries the same request as the run's last packet and
// the next sequence number.
bool sContinues(const aPacket& last, const aPacket& packet) {
  return packet.address == last.address && packet.dataSize >= 4 &&
         packet.data[0] == last.data[0] && packet.data[1] == last.data[1] &&
         packet.data[2] == last.data[2] &&
         aUEI_getBytesSequence(&packet) ==
             ((aUEI_getBytesSequence(&last) + 1u) & 0x7Fu);
}

bool sRunPacket(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && packet->dataSize == aPACKET_MAX_DATA &&
         aUEI_getBytesContinue(packet) != 0;
}

}  // namespace

bool aServer_FrameIsPacket(const uint8_t* data, size_t size) {
  return data != nullptr && size >= 2 && data[1] <= aPACKET_MAX_DATA &&
         size == 2u + data[1];
}

bool aServer_NeedsAnswer(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return false;
  if (packet->address == aLINK_ADDRESS_FORCE_ROUTE) return false;
  return !sRunPacket(packet);
}

bool aServer_StartsRun(const aPacket* packet) {
  return aVALIDPACKET(packet) && sRunPacket(packet) &&
         aUEI_getBytesSequence(packet) == 0;
}

bool aServer_SplitPackets(const uint8_t* data, size_t size,
                          std::vector<std::vector<uint8_t>>* packets) {
  if (data == nullptr || packets == nullptr) return false;
  packets->clear();
  size_t at = 0;
  while (at < size) {
    if (size - at < 2 || data[at + 1] > aPACKET_MAX_DATA) return false;
    const size_t length = 2u + data[at + 1];
    if (size - at < length) return false;
    packets->emplace_back(data + at, data + at + length);
    at += length;
  }
  return !packets->empty();
}

aServerPools::Result aServerPools::offer(const std::string& identity,
                                         const aPacket& packet, uint32_t nowMs,
                                         std::vector<aPacket>* run) {
  expire(nowMs);
  auto found = pools_.find(identity);
  if (found != pools_.end()) {
    Pool& pool = found->second;
    if (!aUEI_isUEIPayload(&packet) || !sContinues(pool.packets.back(), packet)) {
      aKorvexDebug_Trace(aDEBUG_SERVER,
                         "setUEIBytes run interrupted, pool discarded\n");
      pools_.erase(found);
    } else if (pool.packets.size() >= aSERVER_POOL_MAX_PACKETS) {
      aKorvexDebug_Trace(aDEBUG_SERVER, "setUEIBytes run too long, dropped\n");
      pools_.erase(found);
      return kHeld;  // swallowed: the rest of the run has no pool
    } else {
      pool.packets.push_back(packet);
      pool.lastMs = nowMs;
      if (sRunPacket(&packet)) return kHeld;
      if (run != nullptr) *run = std::move(pool.packets);
      pools_.erase(found);
      return kComplete;
    }
  }
  if (!aServer_StartsRun(&packet)) return kNotPooled;
  if (pools_.size() >= aSERVER_MAX_POOLS) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "too many setUEIBytes runs, dropped\n");
    return kHeld;
  }
  Pool& pool = pools_[identity];
  pool.packets.push_back(packet);
  pool.lastMs = nowMs;
  return kHeld;
}

void aServerPools::expire(uint32_t nowMs) {
  for (auto it = pools_.begin(); it != pools_.end();) {
    if (nowMs - it->second.lastMs > aSERVER_POOL_TTL_MS) {
      aKorvexDebug_Trace(aDEBUG_SERVER, "setUEIBytes is stale, destroying\n");
      it = pools_.erase(it);
    } else {
      ++it;
    }
  }
}
