// Store slots (command 4), factory data (command 94) and the packet log.
#include <algorithm>
#include <cstring>

#include "api/Link_impl.h"
#include "common/aFile.h"
#include "common/aLink.h"
#include "common/aTime.h"

namespace Velmaris {
namespace Korvex {

namespace {

#define STORE_COMMAND 4
#define STORE_CAPACITY 1
#define STORE_SIZE 2
#define STORE_OPEN_READ 3
#define STORE_OPEN_WRITE 4
#define STORE_READ 6
#define STORE_WRITE 7
#define STORE_CLOSE 8
#define STORE_ERROR 0x80
#define STORE_CHUNK 25
#define STORE_NO_HANDLE 0xFF
#define STORE_OPEN_TIMEOUT_MS 3000u

#define FACTORY_COMMAND 0x5E
#define FACTORY_KIND_MASK 0x0F
#define FACTORY_WRITE 0x10
#define FACTORY_CLOSE 0x20
#define FACTORY_FIRST 0x40
#define FACTORY_ERROR 0x80
#define FACTORY_CHUNK 26
#define FACTORY_MAX_COUNT 0xFFFFu

#define LOG_IDLE_MS 5u

struct StoreMatch {
  uint8_t address;
  uint8_t sub;
  bool byHandle;
  uint8_t first;   // store, or the handle
  uint8_t second;  // slot
};

uint8_t MatchStore(const aPacket* packet, const void* reference) {
  const StoreMatch* m = static_cast<const StoreMatch*>(reference);
  if (!aVALIDPACKET(packet) || packet->address != m->address) return 0;
  if (packet->dataSize < 3 || packet->data[0] != STORE_COMMAND) return 0;
  if ((packet->data[1] & ~STORE_ERROR & 0xFF) != m->sub || packet->data[2] != m->first) return 0;
  if (m->byHandle) return 1;
  return packet->dataSize >= 4 && packet->data[3] == m->second ? 1 : 0;
}

struct FactoryMatch {
  uint8_t address;
  bool close;
  uint8_t kind;
};

uint8_t MatchFactory(const aPacket* packet, const void* reference) {
  const FactoryMatch* m = static_cast<const FactoryMatch*>(reference);
  if (!aVALIDPACKET(packet) || packet->address != m->address) return 0;
  if (packet->dataSize < 1 || packet->data[0] != FACTORY_COMMAND) return 0;
  if (packet->dataSize < 2) return 1;  // too short to tell: a malformed answer
  const uint8_t control = packet->data[1] & ~FACTORY_ERROR & 0xFF;
  if (m->close) return control == FACTORY_CLOSE ? 1 : 0;
  return (control & FACTORY_CLOSE) == 0 && (control & FACTORY_KIND_MASK) == m->kind ? 1 : 0;
}

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

}  // namespace

// One store request and its reply; the reply's error code when it carries
// the error bit (at codeAt), aErrIO when it is too short for that.
static aErr StoreExchange(Link& link, uint32_t linkId, const StoreMatch& match,
                          const uint8_t* request, uint8_t length, uint32_t timeoutMs,
                          uint8_t codeAt, PacketPtr& reply) {
  aErr err = link.sendPacket(match.address, STORE_COMMAND, length, request);
  if (err != aErrNone) return err;
  reply.reset(aLink_AwaitFirst(linkId, MatchStore, &match, timeoutMs));
  if (!reply) return aErrTimeout;
  if ((reply->data[1] & STORE_ERROR) != 0) {
    if (reply->dataSize <= codeAt) return aErrIO;
    const uint8_t code = reply->data[codeAt];
    return code != aErrNone ? static_cast<aErr>(code) : aErrUnknown;
  }
  return aErrNone;
}

static aErr StoreQuery(Link& link, uint32_t linkId, uint8_t address, uint8_t sub, uint8_t store,
                       uint8_t slot, size_t& value) {
  const StoreMatch match{address, sub, false, store, slot};
  const uint8_t request[3] = {sub, store, slot};
  PacketPtr reply;
  aErr err = StoreExchange(link, linkId, match, request, 3, LINK_REPLY_TIMEOUT_MS, 4, reply);
  if (err != aErrNone) return err;
  if (reply->dataSize < 6) return aErrIO;
  value = size_t(reply->data[4]) << 8 | reply->data[5];
  return aErrNone;
}

static uint8_t StoreOpen(Link& link, uint32_t linkId, uint8_t address, uint8_t mode,
                         uint8_t store, uint8_t slot) {
  const StoreMatch match{address, mode, false, store, slot};
  const uint8_t request[3] = {mode, store, slot};
  PacketPtr reply;
  aErr err = StoreExchange(link, linkId, match, request, 3, STORE_OPEN_TIMEOUT_MS, 4, reply);
  if (err != aErrNone || reply->dataSize < 5) return STORE_NO_HANDLE;
  return reply->data[4];
}

static aErr StoreClose(Link& link, uint32_t linkId, uint8_t address, uint8_t handle) {
  const StoreMatch match{address, STORE_CLOSE, true, handle, 0};
  const uint8_t request[2] = {STORE_CLOSE, handle};
  PacketPtr reply;
  aErr err = StoreExchange(link, linkId, match, request, 2, LINK_REPLY_TIMEOUT_MS, 3, reply);
  if (err != aErrNone) return err;
  if (reply->dataSize != 4) return aErrIO;
  return reply->data[3] == 0 ? aErrNone : static_cast<aErr>(reply->data[3]);
}

aErr Link::storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t& size) {
  if (!impl_) return aErrMemory;
  return StoreQuery(*this, impl_->linkId, address, STORE_SIZE, store, slot, size);
}

aErr Link::storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t& capacity) {
  if (!impl_) return aErrMemory;
  return StoreQuery(*this, impl_->linkId, address, STORE_CAPACITY, store, slot, capacity);
}

aErr Link::loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data,
                         size_t length) {
  if (!impl_) return aErrMemory;
  if (data == nullptr && length != 0) return aErrParam;
  aErr err = impl_->checkTraffic(address);
  if (err != aErrNone) return err;
  const uint32_t id = impl_->linkId;
  const uint8_t handle = StoreOpen(*this, id, address, STORE_OPEN_WRITE, store, slot);
  if (handle == STORE_NO_HANDLE) return aErrMedia;
  const StoreMatch match{address, STORE_WRITE, true, handle, 0};
  for (size_t at = 0; at < length && err == aErrNone; at += STORE_CHUNK) {
    const size_t n = std::min<size_t>(STORE_CHUNK, length - at);
    uint8_t request[2 + STORE_CHUNK] = {STORE_WRITE, handle};
    std::memcpy(request + 2, data + at, n);
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = uint8_t(sum + data[at + i]);
    PacketPtr reply;
    err = StoreExchange(*this, id, match, request, uint8_t(2 + n), LINK_REPLY_TIMEOUT_MS, 3,
                        reply);
    if (err == aErrNone && (reply->dataSize != 4 || reply->data[3] != sum)) err = aErrIO;
  }
  const aErr closed = StoreClose(*this, id, address, handle);
  return err != aErrNone ? err : closed;
}

aErr Link::unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer,
                           size_t length, size_t* count) {
  if (!impl_) return aErrMemory;
  if (count == nullptr || (buffer == nullptr && length != 0)) return aErrParam;
  *count = 0;
  aErr err = impl_->checkTraffic(address);
  if (err != aErrNone) return err;
  const uint32_t id = impl_->linkId;
  size_t size = 0;
  err = StoreQuery(*this, id, address, STORE_SIZE, store, slot, size);
  if (err != aErrNone) return err;
  const uint8_t handle = StoreOpen(*this, id, address, STORE_OPEN_READ, store, slot);
  if (handle == STORE_NO_HANDLE) return aErrMedia;
  const size_t want = std::min(size, length);
  const StoreMatch match{address, STORE_READ, true, handle, 0};
  size_t have = 0;
  while (have < want && err == aErrNone) {
    const uint8_t request[2] = {STORE_READ, handle};
    PacketPtr reply;
    err = StoreExchange(*this, id, match, request, 2, LINK_REPLY_TIMEOUT_MS, 3, reply);
    if (err != aErrNone) break;
    // An empty chunk before the announced size would repeat for ever.
    if (reply->dataSize <= 3) {
      err = aErrIO;
      break;
    }
    const size_t n = std::min<size_t>(reply->dataSize - 3u, want - have);
    std::memcpy(buffer + have, reply->data + 3, n);
    have += n;
  }
  const aErr closed = StoreClose(*this, id, address, handle);
  *count = have;
  if (err == aErrNone) err = closed;
  if (err == aErrNone && length < size) err = aErrOverrun;
  return err;
}

// ---- factory data ----------------------------------------------------------------

static aErr FactoryReply(uint32_t linkId, const FactoryMatch& match, PacketPtr& reply) {
  reply.reset(aLink_AwaitFirst(linkId, MatchFactory, &match, LINK_REPLY_TIMEOUT_MS));
  if (!reply) return aErrTimeout;
  if (reply->dataSize < 2) return aErrUnknown;
  if ((reply->data[1] & FACTORY_ERROR) != 0) {
    if (reply->dataSize < 3 || reply->data[2] == aErrNone) return aErrUnknown;
    return static_cast<aErr>(reply->data[2]);
  }
  return aErrNone;
}

static aErr FactoryClose(Link& link, uint32_t linkId, uint8_t address, size_t count) {
  const uint8_t request[3] = {FACTORY_CLOSE, uint8_t(count >> 8), uint8_t(count)};
  aErr err = link.sendPacket(address, FACTORY_COMMAND, 3, request);
  if (err != aErrNone) return err;
  const FactoryMatch match{address, true, 0};
  PacketPtr reply;
  err = FactoryReply(linkId, match, reply);
  if (err == aErrNone && reply->dataSize != 3) err = aErrSize;
  return err;
}

aErr Link::getFactoryData(uint8_t address, uint8_t kind, uint8_t* buffer, size_t length,
                          size_t* count) {
  if (!impl_) return aErrMemory;
  if (count == nullptr || (buffer == nullptr && length != 0) || kind > FACTORY_KIND_MASK)
    return aErrParam;
  *count = 0;
  aErr err = impl_->checkTraffic(address);
  if (err != aErrNone) return err;
  const uint32_t id = impl_->linkId;
  const FactoryMatch match{address, false, kind};
  size_t have = 0;
  for (bool first = true;; first = false) {
    const uint8_t control = uint8_t(kind | (first ? FACTORY_FIRST : 0));
    err = sendPacket(address, FACTORY_COMMAND, 1, &control);
    if (err != aErrNone) return err;
    PacketPtr reply;
    err = FactoryReply(id, match, reply);
    if (err != aErrNone) return err;
    const size_t n = reply->dataSize - 2u;
    if (n > length - have) return aErrOverrun;
    if (have + n > FACTORY_MAX_COUNT) return aErrSize;
    std::memcpy(buffer + have, reply->data + 2, n);
    have += n;
    if (reply->dataSize < aPACKET_MAX_DATA) break;
  }
  *count = have;
  return FactoryClose(*this, id, address, have);
}

aErr Link::setFactoryData(uint8_t address, uint8_t kind, const uint8_t* data, size_t length) {
  if (!impl_) return aErrMemory;
  if ((data == nullptr && length != 0) || kind > FACTORY_KIND_MASK || length > FACTORY_MAX_COUNT)
    return aErrParam;
  aErr err = impl_->checkTraffic(address);
  if (err != aErrNone) return err;
  const uint32_t id = impl_->linkId;
  const FactoryMatch match{address, false, kind};
  size_t at = 0;
  for (bool first = true; first || at < length; first = false) {
    const size_t n = std::min<size_t>(FACTORY_CHUNK, length - at);
    uint8_t request[1 + FACTORY_CHUNK];
    request[0] = uint8_t(kind | FACTORY_WRITE | (first ? FACTORY_FIRST : 0));
    if (n != 0) std::memcpy(request + 1, data + at, n);
    err = sendPacket(address, FACTORY_COMMAND, uint8_t(1 + n), request);
    if (err != aErrNone) return err;
    PacketPtr reply;
    err = FactoryReply(id, match, reply);
    if (err != aErrNone) return err;
    if (reply->dataSize != 2) return aErrSize;
    at += n;
  }
  return FactoryClose(*this, id, address, length);
}

// ---- packet log --------------------------------------------------------------------

static void DrainPacketLog(aFileRef file, void* context) {
  Link::impl* self = static_cast<Link::impl*>(context);
  uint8_t type = 0;
  uint8_t bytes[256];
  uint32_t length = sizeof(bytes);
  const uint32_t id = self->logLinkId.load();
  if (id == 0 || aLink_PacketDebug_Read(id, &type, &length, bytes) != aErrNone) {
    aTime_MSSleep(LOG_IDLE_MS);
    return;
  }
  length = std::min<uint32_t>(length, sizeof(bytes));
  aFile_Printf(file, "%d %s ", static_cast<int>(length), type == aPacketLogSent ? ">" : "<");
  for (uint32_t i = 0; i < length; ++i) {
    if (type == aPacketLogText) {
      if (bytes[i] != 0) aFile_Printf(file, "%c", static_cast<char>(bytes[i]));
    } else {
      aFile_Printf(file, "0x%X ", bytes[i]);
    }
  }
  aFile_Printf(file, "\r\n");
}

aErr Link::enablePacketLog(const std::string& path) {
  if (!impl_ || impl_->linkId == 0) return aErrConfiguration;
  aErr err = aLink_PacketDebug_Enable(impl_->linkId);
  if (err != aErrNone) return err;
  impl_->logLinkId = impl_->linkId;
  if (impl_->logger == nullptr) {
    impl_->logger = aLogger_Create(impl_.get(), DrainPacketLog, path.c_str());
    if (impl_->logger == nullptr) return aErrIO;
  }
  err = aLogger_Enable(impl_->logger);
  if (err != aErrNone) return err;
  static const char kStart[] = "START";
  return aLink_PacketDebug_Write(impl_->linkId, aPacketLogText, sizeof(kStart),
                                 reinterpret_cast<const uint8_t*>(kStart));
}

aErr Link::disablePacketLog() {
  if (!impl_ || impl_->linkId == 0) return aErrConfiguration;
  aErr err = aLink_PacketDebug_Disable(impl_->linkId);
  if (impl_->logger != nullptr) {
    const aErr stopped = aLogger_Disable(impl_->logger);
    if (err == aErrNone) err = stopped;
  }
  return err;
}

}  // namespace Korvex
}  // namespace Velmaris
