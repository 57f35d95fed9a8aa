// Value streams: the stream table, the engine filter that feeds it, and the
// worker that runs the registered callbacks off the engine's reader.
#include <chrono>

#include "api/Link_impl.h"
#include "common/aLink.h"
#include "common/aTime.h"

namespace Velmaris {
namespace Korvex {

namespace {

#define STREAM_COMMAND 93
#define STREAM_OPTION_ENABLE 1
#define STREAM_OPTION_DISABLE 2
#define STREAM_ANY 0xFF
#define STREAM_ELEMENTS 5

// Engine links whose filter slot a Link holds, and which Link.
std::mutex sFilterOwnersMutex;
std::map<uint32_t, const Link::impl*> sFilterOwners;

// The Link whose worker runs on this thread, if any.
thread_local const Link::impl* tWorkerOf = nullptr;

const uint8_t kShift[STREAM_ELEMENTS] = {24, 16, 8, 0, 32};

uint64_t WithElement(uint64_t key, uint8_t element, uint8_t value) {
  const uint64_t mask = uint64_t(0xFF) << kShift[element];
  return (key & ~mask) | (uint64_t(value) << kShift[element]);
}

bool HasWildcard(uint64_t key) {
  for (uint8_t e = 0; e < STREAM_ELEMENTS; ++e)
    if (Link::getStreamKeyElement(key, e) == STREAM_ANY) return true;
  return false;
}

// Element-wise: 0xFF in the pattern matches anything.
bool KeyMatches(uint64_t pattern, uint64_t key) {
  for (uint8_t e = 0; e < STREAM_ELEMENTS; ++e) {
    const uint8_t want = Link::getStreamKeyElement(pattern, e);
    if (want != STREAM_ANY && want != Link::getStreamKeyElement(key, e)) return false;
  }
  return true;
}

// Wildcard variants of a key, in lookup order: bit 0 index, 1 option,
// 2 command, 3 subindex replaced by 0xFF.
uint64_t WildcardVariant(uint64_t key, unsigned bits) {
  static const uint8_t kElement[4] = {3, 2, 1, 4};
  for (unsigned b = 0; b < 4; ++b)
    if (bits & (1u << b)) key = WithElement(key, kElement[b], STREAM_ANY);
  return key;
}

}  // namespace

// ---- packet classifiers -------------------------------------------------------

bool Link::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

uint8_t Link::getStreamPacketType(const aPacket* packet) {
  return isStreamPacket(packet) && packet->dataSize > 3 ? packet->data[3] : 0;
}

bool Link::isSubindexType(uint8_t type) { return type >= 5 && type <= 7; }

bool Link::isStreamSample(const aPacket* packet) {
  uint64_t timestamp;
  uint32_t value;
  uint8_t subindex;
  return getStreamSample(packet, timestamp, value, subindex) == aErrNone;
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t& timestamp, uint32_t& value,
                           uint8_t& subindex) {
  if (!isStreamPacket(packet)) return aErrParam;
  static const uint8_t kSize[8] = {0, 14, 15, 17, 0, 15, 16, 18};
  static const uint8_t kWidth[8] = {0, 1, 2, 4, 0, 1, 2, 4};
  const uint8_t type = getStreamPacketType(packet);
  if (type == 0 || type > 7 || kSize[type] == 0) return aErrSize;
  if (packet->dataSize != kSize[type] || packet->data[packet->dataSize - 1] != 0) return aErrSize;
  const uint8_t* at = packet->data + 4;
  subindex = 0;
  if (isSubindexType(type)) subindex = *at++;
  timestamp = 0;
  for (int i = 0; i < 8; ++i) timestamp = (timestamp << 8) | *at++;
  value = 0;
  for (uint8_t i = 0; i < kWidth[type]; ++i) value = (value << 8) | *at++;
  return aErrNone;
}

uint64_t Link::createStreamKey(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                               uint8_t subindex) {
  const uint8_t o = option == STREAM_ANY ? option : uint8_t(option & aUEI_OPTION_MASK);
  const uint8_t i = index == STREAM_ANY ? index : uint8_t(index & aUEI_INDEX_MASK);
  return (uint64_t(subindex) << 32) | (uint64_t(address) << 24) | (uint64_t(command) << 16) |
         (uint64_t(o) << 8) | i;
}

uint8_t Link::getStreamKeyElement(uint64_t key, uint8_t element) {
  if (element >= STREAM_ELEMENTS) return 0;
  return uint8_t(key >> kShift[element]);
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t& high, uint32_t& low) {
  high = uint32_t(timestamp >> 32);
  low = uint32_t(timestamp);
}

// ---- the filter (engine reader thread) ------------------------------------------

void Link::impl::queueCallback(const StreamEntry& entry, const aPacket* packet) {
  if (!entry.callback) return;
  asyncPacket item;
  item.callback = entry.callback;
  item.reference = entry.reference;
  item.packet = aPacket_Copy(packet);
  if (item.packet == nullptr) return;
  if (!queue.push(item)) aPacket_Destroy(&item.packet);  // full: dropped
}

uint8_t Link::impl::linkStreamFilter(const aPacket* packet, const void* reference) {
  impl* self = static_cast<impl*>(const_cast<void*>(reference));
  if (!isStreamPacket(packet) || packet->dataSize < 4) return 0;
  const uint8_t type = packet->data[3];
  if ((type < 1 || type > 7) && packet->data[packet->dataSize - 1] == 0) return 0;
  uint8_t subindex = 0;
  if (isSubindexType(type) && packet->dataSize > 4) subindex = packet->data[4];
  const uint64_t key = createStreamKey(packet->address, packet->data[0], packet->data[1],
                                       packet->data[2], subindex);
  uint64_t timestamp;
  uint32_t value;
  uint8_t ignored;
  const bool parsed = getStreamSample(packet, timestamp, value, ignored) == aErrNone;

  std::lock_guard<std::mutex> lock(self->streamMutex);
  auto exact = self->streams.find(key);
  if (exact != self->streams.end()) {
    self->queueCallback(exact->second, packet);
    if (parsed) {
      exact->second.lastValue = value;
      exact->second.fresh = 1;
    }
  }
  bool wildcard = false;
  for (unsigned bits = 1; bits < 16; ++bits) {
    auto it = self->streams.find(WildcardVariant(key, bits));
    if (it == self->streams.end()) continue;
    wildcard = true;
    self->queueCallback(it->second, packet);
  }
  if (exact == self->streams.end() && wildcard && parsed) {
    StreamEntry entry;
    entry.key = key;
    entry.fresh = 1;
    entry.lastValue = value;
    self->streams.emplace(key, std::move(entry));
  }
  return 1;
}

// ---- the worker --------------------------------------------------------------------

void Link::impl::freeQueued() {
  asyncPacket item;
  while (queue.pop(item)) aPacket_Destroy(&item.packet);
}

void Link::impl::workerLoop(std::shared_ptr<std::atomic<bool>> stop) {
  tWorkerOf = this;
  while (!stop->load()) {
    {
      std::lock_guard<std::mutex> lock(consumerMutex);
      asyncPacket item;
      while (!stop->load() && queue.pop(item)) {
        (*item.callback)(item.packet, item.reference);
        aPacket_Destroy(&item.packet);
        item = asyncPacket();
      }
    }
    aTime_MSSleep(1);
  }
  // Items left by streams that have all gone are dropped without running.
  std::lock_guard<std::mutex> lock(consumerMutex);
  if (!streamsActive.load()) freeQueued();
  tWorkerOf = nullptr;
}

void Link::impl::joinStopped() {
  // A worker cannot join itself, nor another worker that may wait for the
  // consumer lock it holds; those joins wait for a caller off the workers.
  if (tWorkerOf == this) return;
  std::vector<std::thread> stopped;
  {
    std::lock_guard<std::mutex> lock(controlMutex);
    const bool running = stopToken && !stopToken->load();
    const size_t keep = running && !workers.empty() ? 1 : 0;
    while (workers.size() > keep) {
      stopped.push_back(std::move(workers.front()));
      workers.erase(workers.begin());
    }
  }
  for (auto& t : stopped) t.join();
}

aErr Link::impl::installFilter(uint32_t id) {
  std::lock_guard<std::mutex> lock(sFilterOwnersMutex);
  auto it = sFilterOwners.find(id);
  if (it != sFilterOwners.end() && it->second != this) return aErrBusy;
  // Installed again by its owner too: an engine reset drops the filter.
  aErr err = aLink_InstallUserPacketFilter(id, linkStreamFilter, this);
  if (err != aErrNone) return err;
  sFilterOwners[id] = this;
  filterLinkId = id;
  return aErrNone;
}

void Link::impl::removeFilter() {
  std::lock_guard<std::mutex> lock(sFilterOwnersMutex);
  if (filterLinkId == 0) return;
  auto it = sFilterOwners.find(filterLinkId);
  if (it != sFilterOwners.end() && it->second == this) {
    // Once this returns the engine's reader is no longer inside our filter.
    aLink_InstallUserPacketFilter(filterLinkId, nullptr, nullptr);
    sFilterOwners.erase(it);
  }
  filterLinkId = 0;
}

aErr Link::impl::updateStreaming() {
  bool empty;
  {
    std::lock_guard<std::mutex> lock(streamMutex);
    empty = streams.empty();
  }
  if (empty) {
    stopStreaming();
    return aErrNone;
  }
  {
    std::lock_guard<std::mutex> lock(controlMutex);
    streamsActive = true;
    if (!stopToken || stopToken->load()) {
      stopToken = std::make_shared<std::atomic<bool>>(false);
      try {
        workers.emplace_back(&impl::workerLoop, this, stopToken);
      } catch (...) {
        stopToken->store(true);
        return aErrResource;
      }
    }
  }
  joinStopped();
  return installFilter(linkId);
}

void Link::impl::stopStreaming() {
  removeFilter();
  {
    std::lock_guard<std::mutex> lock(streamMutex);
    streams.clear();
  }
  {
    std::lock_guard<std::mutex> lock(controlMutex);
    streamsActive = false;
    if (stopToken) stopToken->store(true);
  }
  joinStopped();
  if (tWorkerOf == this) return;  // the worker drops the leftovers as it ends
  std::lock_guard<std::mutex> lock(consumerMutex);
  if (!streamsActive.load()) freeQueued();
}

// ---- registering and reading --------------------------------------------------------

aErr Link::enableStream(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                        bool enable) {
  return registerStreamCallback(address, command, option, index, enable, streamCallback(),
                                nullptr);
}

aErr Link::registerStreamCallback(uint8_t address, uint8_t command, uint8_t option,
                                  uint8_t index, bool enable, const streamCallback& callback,
                                  void* reference) {
  if (!impl_) return aErrMemory;
  if (address == 0 || address == STREAM_ANY || (address & 1u) != 0) return aErrParam;
  aErr err = impl_->checkTraffic(address);
  if (err != aErrNone) return err;
  const uint64_t key = createStreamKey(address, command, option, index, STREAM_ANY);
  std::shared_ptr<streamCallback> held;
  if (callback) {
    try {
      held = std::make_shared<streamCallback>(callback);
    } catch (...) {
      return aErrMemory;
    }
  }
  bool added = false;  // removed again when the module refuses
  {
    std::lock_guard<std::mutex> lock(impl_->streamMutex);
    auto& table = impl_->streams;
    if (enable) {
      auto it = table.find(key);
      if (it == table.end()) {
        StreamEntry entry;
        entry.key = key;
        entry.callback = held;
        entry.reference = reference;
        table.emplace(key, std::move(entry));
        added = true;
      } else {
        it->second.callback = held;
        it->second.reference = reference;
      }
    } else {
      for (auto it = table.begin(); it != table.end();) {
        const uint64_t k = it->first;
        if (getStreamKeyElement(k, 0) == address &&
            (command == STREAM_ANY || getStreamKeyElement(k, 1) == command) &&
            (option == STREAM_ANY || getStreamKeyElement(k, 2) == (option & aUEI_OPTION_MASK)) &&
            (index == STREAM_ANY || getStreamKeyElement(k, 3) == (index & aUEI_INDEX_MASK))) {
          it = table.erase(it);
        } else {
          ++it;
        }
      }
    }
  }
  err = impl_->updateStreaming();
  if (err == aErrNone) {
    uei request{};
    request.address = address;
    request.command = STREAM_COMMAND;
    request.option = uint8_t((enable ? STREAM_OPTION_ENABLE : STREAM_OPTION_DISABLE) | aUEI_SET);
    request.specifier = 0;
    request.type = ueiTypeInt;
    request.v.intVal = uint32_t(key);
    err = sendUEI(request);
    if (err == aErrNone) {
      uei reply{};
      reply.type = ueiTypeNone;
      err = receiveUEI(address, STREAM_COMMAND, uint8_t(request.option | aUEI_ACK), 0, reply);
    }
  }
  if (err != aErrNone && enable && added) {
    {
      std::lock_guard<std::mutex> lock(impl_->streamMutex);
      impl_->streams.erase(key);
    }
    impl_->updateStreaming();
  }
  return err;
}

aErr Link::isLinkStreaming(uint8_t address, bool& streaming) {
  if (!impl_) return aErrMemory;
  uei request{};
  request.address = address;
  request.command = STREAM_COMMAND;
  request.option = uint8_t(STREAM_OPTION_ENABLE | aUEI_GET);
  request.type = ueiTypeNone;
  aErr err = sendUEI(request);
  if (err != aErrNone) return err;
  uei reply{};
  err = receiveUEI(address, STREAM_COMMAND, STREAM_OPTION_ENABLE, 0, reply);
  if (err == aErrNone) streaming = reply.v.byteVal != 0;
  return err;
}

aErr Link::getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t& value) {
  if (!impl_) return aErrMemory;
  const uint64_t key = createStreamKey(address, command, option, index, subindex);
  std::lock_guard<std::mutex> lock(impl_->streamMutex);
  auto it = impl_->streams.find(key);
  if (it == impl_->streams.end()) return aErrNotFound;
  value = it->second.lastValue;
  const bool fresh = it->second.fresh != 0;
  it->second.fresh = 0;
  return fresh ? aErrNone : aErrStreamStale;
}

aErr Link::getStreamStatus(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                           uint8_t subindex, StreamStatusEntry* entries, size_t capacity,
                           size_t* count) {
  if (!impl_) return aErrMemory;
  if (entries == nullptr || count == nullptr || capacity == 0) return aErrParam;
  const uint64_t pattern = createStreamKey(address, command, option, index, subindex);
  *count = 0;
  std::lock_guard<std::mutex> lock(impl_->streamMutex);
  for (const auto& kv : impl_->streams) {
    if (HasWildcard(kv.first) || !KeyMatches(pattern, kv.first)) continue;
    if (*count == capacity) return aErrSize;
    entries[*count].key = kv.first;
    entries[*count].value = kv.second.lastValue;
    ++*count;
  }
  return aErrNone;
}

}  // namespace Korvex
}  // namespace Velmaris
