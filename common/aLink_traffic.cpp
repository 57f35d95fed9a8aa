// Link traffic for callers, the user filter and pooled-mode hooks, packet
// debugging and packet traces.
#include <cstdio>
#include <mutex>
#include <string>

#include "common/aKorvexDebug.h"
#include "common/aLink_internal.h"
#include "common/aTime.h"

#define aLINK_LOG_DEFAULT 0x10000u
#define aLINK_LOG_MAXIMUM 0x4000000
#define aLINK_QUERY_TIMEOUT_MS 1000u

namespace {

// A link's record, kept alive (and its mutexes with it) while the holder
// lives, also when the link is destroyed meanwhile.
class RecordHold {
 public:
  explicit RecordHold(uint32_t id) : entry_(sLookupEntryByID(id)) {}
  aLinkRecord* get() const { return entry_ != nullptr ? entry_->link : nullptr; }

 private:
  aLinkEntryRef entry_;
};

// Waits on the link's inbound queue for the reader to bring a packet
// (filter null: any). The waiter is counted, and a reader resting while
// callers read for themselves is woken to read for it.
aPacket* sAwaitInbound(aLinkRecord* link, aPacketFifoRef inbound, aPacketFilter filter,
                       const void* reference, uint32_t timeoutMs) {
  {
    std::lock_guard<std::mutex> rest(link->restMutex);
    ++link->queueWaiters;
  }
  link->restWake.notify_one();
  aPacket* found = filter != nullptr
                       ? aPacketFifo_AwaitFirst(inbound, filter, reference, timeoutMs)
                       : aPacketFifo_Await(inbound, timeoutMs);
  --link->queueWaiters;
  return found;
}

}  // namespace

void sTracePacket(const char* tag, uint32_t id, const aPacket* packet) {
  if (!aKorvexDebug_Enabled(aDEBUG_PACKETS)) return;
  std::string bytes;
  char hex[4];
  for (uint8_t i = 0; i < packet->dataSize && i < aPACKET_MAX_DATA; ++i) {
    std::snprintf(hex, sizeof(hex), i == 0 ? "%02X" : " %02X", packet->data[i]);
    bytes += hex;
  }
  aKorvexDebug_Trace(aDEBUG_PACKETS, " %s(%u) ADDR:%02X, LEN:%02X, [%s]\n", tag,
                     id, packet->address, packet->dataSize, bytes.c_str());
}

void sLogPacket(aLinkRecord* link, uint8_t type, const aPacket* packet) {
  aMutex_Lock(link->logMutex);
  if (link->log != nullptr) {
    uint8_t wire[aPACKET_MAX_WIRE];
    uint32_t length = aPacket_WireBytes(packet, wire);
    aPacketLog_Put(link->log, type, static_cast<uint8_t>(length), wire);
  }
  aMutex_Unlock(link->logMutex);
}

aErr aLink_PutPacket(uint32_t id, const aPacket* packet) {
  RecordHold hold(id);
  aLinkRecord* link = hold.get();
  return link != nullptr ? sLinkSend(link, packet) : aErrParam;
}

aPacket* aLink_GetPacket(uint32_t id) {
  aPacketFifoRef inbound = 0;
  return sLinkFifos(id, &inbound, nullptr) ? aPacketFifo_Get(inbound) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t id, uint32_t timeoutMs) {
  RecordHold hold(id);
  aLinkRecord* link = hold.get();
  aPacketFifoRef inbound = 0;
  return link != nullptr && sLinkFifos(id, &inbound, nullptr)
             ? sAwaitInbound(link, inbound, nullptr, nullptr, timeoutMs)
             : nullptr;
}

aPacket* aLink_GetFirst(uint32_t id, aPacketFilter filter,
                        const void* reference) {
  aPacketFifoRef inbound = 0;
  return sLinkFifos(id, &inbound, nullptr)
             ? aPacketFifo_GetFirst(inbound, filter, reference)
             : nullptr;
}

aPacket* aLink_AwaitFirst(uint32_t id, aPacketFilter filter,
                          const void* reference, uint32_t timeoutMs) {
  const uint32_t start = aTime_GetMSTicks();
  aPacket* found = nullptr;
  RecordHold hold(id);
  aLinkRecord* link = hold.get();
  // Waits in slices so that a link leaving the running state ends the wait
  // early. The queue is looked at once even with a zero time-out. Where it
  // can, the caller reads the stream itself while it waits, rather than be
  // woken by the reader thread once that has read the answer.
  uint32_t elapsed = 0;
  do {
    if (link == nullptr || !sLinkRunning(id)) break;
    uint32_t slice = timeoutMs - elapsed;
    if (slice > aLINK_IDLE_WAIT_MS) slice = aLINK_IDLE_WAIT_MS;
    bool led = false;
    found = sLinkReadFor(link, filter, reference, slice, &led);
    if (!led) {
      aPacketFifoRef inbound = 0;
      if (!sLinkFifos(id, &inbound, nullptr)) break;
      found = sAwaitInbound(link, inbound, filter, reference, slice);
    }
    elapsed = aTime_GetMSTicks() - start;
  } while (found == nullptr && elapsed < timeoutMs);
  return found;
}

uint32_t aLink_DrainPackets(uint32_t id, aPacketFilter filter,
                            const void* reference) {
  aPacketFifoRef inbound = 0;
  return sLinkFifos(id, &inbound, nullptr)
             ? aPacketFifo_DrainPackets(inbound, filter, reference)
             : 0;
}

aErr aLink_ForceRoute(uint32_t id, uint8_t value) {
  aLinkEntryRef entry = sLookupEntryByID(id);
  if (entry == nullptr) return aErrNotFound;
  if (entry->link == nullptr) return aErrParam;
  aPacket* route = aPacket_CreateWithData(aLINK_ADDRESS_FORCE_ROUTE, 1, &value);
  if (route == nullptr) return aErrMemory;
  aErr err = sLinkSend(entry->link, route);
  aPacket_Destroy(&route);
  return err;
}

aErr _aLink_GetModuleAddress(uint32_t id, uint8_t* address) {
  if (address == nullptr) return aErrParam;
  aPacket* probe = aPacket_Create();
  if (probe == nullptr) return aErrMemory;
  probe->address = aLINK_ADDRESS_IDENTIFY;
  probe->fill = 2;
  aErr err = aLink_PutPacket(id, probe);
  aPacket_Destroy(&probe);
  if (err != aErrNone) return err;
  aPacket* answer = aLink_AwaitPacket(id, aLINK_QUERY_TIMEOUT_MS);
  if (answer == nullptr) return aErrTimeout;
  err = aErrIO;
  if (answer->dataSize == 0 && answer->address != 0) {
    *address = answer->address;
    err = aErrNone;
  }
  aPacket_Destroy(&answer);
  return err;
}

aErr _aLink_GetModel(uint32_t id, uint8_t address, uint8_t* model) {
  if (model == nullptr) return aErrParam;
  const uint8_t request[3] = {0x03, 0x48, 0x20};  // get system option 8
  aPacket* packet = aPacket_CreateWithData(address, 3, request);
  if (packet == nullptr) return aErrMemory;
  aErr err = aLink_PutPacket(id, packet);
  aPacket_Destroy(&packet);
  if (err != aErrNone) return err;
  aPacket* answer = aLink_AwaitPacket(id, aLINK_QUERY_TIMEOUT_MS);
  if (answer == nullptr) return aErrTimeout;
  err = aErrIO;
  if (answer->address == address && answer->dataSize == 4 &&
      answer->data[0] == 0x03) {
    *model = answer->data[3];
    err = aErrNone;
  }
  aPacket_Destroy(&answer);
  return err;
}

aErr aLink_InstallUserPacketFilter(uint32_t id, aPacketFilter filter,
                                   void* reference) {
  RecordHold hold(id);
  aLinkRecord* link = hold.get();
  if (link == nullptr) return aErrParam;
  aErr err = aMutex_Lock(link->userFilterMutex);
  if (err != aErrNone) return err;
  link->userFilter = filter;
  link->userFilterReference = filter != nullptr ? reference : nullptr;
  return aMutex_Unlock(link->userFilterMutex);
}

aErr aLink_EnablePooledPackets(uint32_t id, bool enable) {
  RecordHold hold(id);
  aLinkRecord* link = hold.get();
  if (link == nullptr) return aErrParam;
  link->pooled = enable;
  return aErrNone;
}

// ---- packet debugging ------------------------------------------------------

aErr aLink_PacketDebug_SetLogSize(uint32_t id, int32_t bytes) {
  RecordHold hold(id);
  aLinkRecord* link = hold.get();
  if (link == nullptr) return aErrParam;
  if (bytes > aLINK_LOG_MAXIMUM) return aErrParam;
  if (bytes < 0) bytes = 0;
  aMutex_Lock(link->logMutex);
  aErr err = aErrBusy;
  if (link->log == nullptr) {
    link->logCapacity = static_cast<uint32_t>(bytes);
    err = aErrNone;
  }
  aMutex_Unlock(link->logMutex);
  return err;
}

aErr aLink_PacketDebug_Enable(uint32_t id) {
  RecordHold hold(id);
  aLinkRecord* link = hold.get();
  if (link == nullptr) return aErrParam;
  aMutex_Lock(link->logMutex);
  aErr err = aErrNone;
  if (link->log == nullptr) {
    const uint32_t capacity =
        link->logCapacity != 0 ? link->logCapacity : aLINK_LOG_DEFAULT;
    link->log = aPacketLog_Create(capacity);
    if (link->log == nullptr) err = aErrResource;
  }
  if (link->log != nullptr) link->log->enabled = 1;
  aMutex_Unlock(link->logMutex);
  return err;
}

aErr aLink_PacketDebug_Disable(uint32_t id) {
  RecordHold hold(id);
  aLinkRecord* link = hold.get();
  if (link == nullptr) return aErrParam;
  aMutex_Lock(link->logMutex);
  aErr err = aErrNotReady;
  if (link->log != nullptr) {
    link->log->enabled = 0;
    err = aErrNone;
  }
  aMutex_Unlock(link->logMutex);
  return err;
}

aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* type, uint32_t* length,
                            uint8_t* buffer) {
  RecordHold hold(id);
  aLinkRecord* link = hold.get();
  if (link == nullptr) return aErrParam;
  aMutex_Lock(link->logMutex);
  aErr err = link->log != nullptr ? aPacketLog_Get(link->log, type, length, buffer)
                                  : aErrNotReady;
  aMutex_Unlock(link->logMutex);
  return err;
}

aErr aLink_PacketDebug_Write(uint32_t id, uint8_t type, uint8_t length,
                             const uint8_t* bytes) {
  RecordHold hold(id);
  aLinkRecord* link = hold.get();
  if (link == nullptr) return aErrParam;
  aMutex_Lock(link->logMutex);
  aErr err = link->log != nullptr ? aPacketLog_Put(link->log, type, length, bytes)
                                  : aErrNotReady;
  aMutex_Unlock(link->logMutex);
  return err;
}
