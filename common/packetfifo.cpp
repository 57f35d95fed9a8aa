// Packet FIFOs and their process-wide directory.
#include "common/packetfifo.h"

#include <chrono>
#include <map>

namespace {

typedef std::shared_ptr<packetFifo> FifoPtr;

// Handle -> FIFO. The directory mutex and a FIFO's own mutex are never held
// together: a FIFO is looked up, the directory released, then the FIFO
// locked.
std::map<uint64_t, FifoPtr> gpPacketFifoDictionary;
std::mutex gpPacketFifoDictionaryMutex;
std::atomic<uint64_t> gpSequentialId{0};

FifoPtr sLookup(aPacketFifoRef handle) {
  if (handle == 0) return FifoPtr();
  std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
  auto it = gpPacketFifoDictionary.find(handle);
  return it == gpPacketFifoDictionary.end() ? FifoPtr() : it->second;
}

// True when sequence number a comes after b (wrap-around safe).
inline bool sNewer(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) > 0;
}

// Window start after the queue changed. Caller holds the FIFO's mutex.
void sResyncWindow(packetFifo& fifo) {
  fifo.windowStart = fifo.queue.empty() ? fifo.nextSequence.load()
                                        : fifo.queue.front().getId();
}

// Copies and erases the entry at `it`. Null (and nothing removed) when the
// copy fails. Caller holds the FIFO's mutex.
aPacket* sTake(packetFifo& fifo, std::deque<SerialPacket>::iterator it) {
  aPacket* copy = aPacket_Copy(it->getPacket());
  if (copy == nullptr) return nullptr;
  fifo.queue.erase(it);
  sResyncWindow(fifo);
  return copy;
}

inline bool sAccepts(aPacketFilter filter, const aPacket* packet,
                     const void* reference) {
  return filter == nullptr || filter(packet, reference) != 0;
}

// A call's filter, listed among the FIFO's waiters while the call waits.
// Made and destroyed with the FIFO's mutex held.
class WaiterEntry {
 public:
  WaiterEntry(packetFifo& fifo, aPacketFilter filter, const void* reference)
      : fifo_(fifo), entry_(filter, reference) {
    fifo_.waiters.push_back(entry_);
  }
  ~WaiterEntry() {
    // Equal entries are interchangeable: any one of them goes.
    for (auto it = fifo_.waiters.begin(); it != fifo_.waiters.end(); ++it) {
      if (*it == entry_) {
        fifo_.waiters.erase(it);
        return;
      }
    }
  }
  WaiterEntry(const WaiterEntry&) = delete;
  WaiterEntry& operator=(const WaiterEntry&) = delete;

 private:
  packetFifo& fifo_;
  std::pair<aPacketFilter, const void*> entry_;
};

// True when a waiting call would take the packet. Caller holds the mutex.
bool sAwaited(const packetFifo& fifo, const aPacket* packet) {
  for (const auto& waiter : fifo.waiters) {
    if (sAccepts(waiter.first, packet, waiter.second)) return true;
  }
  return false;
}

// The queue has overflowed: nobody is emptying it. Drops, oldest first, the
// packets no waiting call would take, until at most
// aPACKETFIFO_KEEP_PACKETS remain; if what the waiters would take is still
// more than the bound, the oldest of that goes too. Caller holds the mutex.
void sShed(packetFifo& fifo) {
  size_t excess = fifo.queue.size() - aPACKETFIFO_KEEP_PACKETS;
  // Compacted in place: nothing here allocates, so nothing can throw
  // half-way through.
  auto kept = fifo.queue.begin();
  for (auto it = fifo.queue.begin(); it != fifo.queue.end(); ++it) {
    if (excess > 0 && !sAwaited(fifo, it->getPacket())) {
      --excess;
      continue;
    }
    if (kept != it) *kept = std::move(*it);
    ++kept;
  }
  fifo.queue.erase(kept, fifo.queue.end());
  while (fifo.queue.size() > aPACKETFIFO_MAX_PACKETS) fifo.queue.pop_front();
  sResyncWindow(fifo);
}

std::chrono::steady_clock::time_point sDeadline(uint32_t timeoutMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

aPacketFifoRef aPacketFifo_Create(void) {
  try {
    FifoPtr fifo = std::make_shared<packetFifo>();
    uint64_t handle = ++gpSequentialId;
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    gpPacketFifoDictionary.emplace(handle, std::move(fifo));
    return handle;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoRef* handle) {
  if (handle == nullptr) return aErrParam;
  try {
    FifoPtr fifo;
    {
      std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
      auto it = gpPacketFifoDictionary.find(*handle);
      if (it != gpPacketFifoDictionary.end()) {
        fifo = std::move(it->second);
        gpPacketFifoDictionary.erase(it);
      }
    }
    *handle = 0;
    if (!fifo) return aErrNotFound;
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      fifo->queue.clear();
      fifo->open = false;
      sResyncWindow(*fifo);
    }
    fifo->condition.notify_all();
    return aErrNone;
  } catch (...) {
    *handle = 0;
    return aErrUnknown;
  }
}

uint32_t aPacketFifo_GetLength(aPacketFifoRef handle) {
  try {
    FifoPtr fifo = sLookup(handle);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return static_cast<uint32_t>(fifo->queue.size());
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Put(aPacketFifoRef handle, const aPacket* packet) {
  try {
    FifoPtr fifo = sLookup(handle);
    if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
    std::unique_ptr<aPacket, aPacketDeleter> copy(aPacket_Copy(packet));
    if (!copy) return aErrParam;
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      if (!fifo->open) return aErrParam;
      uint32_t id = fifo->nextSequence.fetch_add(1);
      fifo->queue.emplace_back(std::move(copy), id);
      sResyncWindow(*fifo);
      if (fifo->queue.size() > aPACKETFIFO_MAX_PACKETS) sShed(*fifo);
    }
    fifo->condition.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

aPacket* aPacketFifo_Get(aPacketFifoRef handle) {
  return aPacketFifo_GetFirst(handle, nullptr, nullptr);
}

aPacket* aPacketFifo_Await(aPacketFifoRef handle, uint32_t timeoutMs) {
  try {
    const auto deadline = sDeadline(timeoutMs);
    FifoPtr fifo = sLookup(handle);
    if (!fifo) return nullptr;
    std::unique_lock<std::mutex> lock(fifo->mutex);
    WaiterEntry waiting(*fifo, nullptr, nullptr);
    bool ready = fifo->condition.wait_until(lock, deadline, [&fifo] {
      return !fifo->queue.empty() || !fifo->open;
    });
    if (!ready || !fifo->open || fifo->queue.empty()) return nullptr;
    return sTake(*fifo, fifo->queue.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoRef handle, aPacketFilter filter,
                              const void* reference) {
  try {
    FifoPtr fifo = sLookup(handle);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
      if (sAccepts(filter, it->getPacket(), reference)) return sTake(*fifo, it);
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoRef handle, aPacketFilter filter,
                                const void* reference, uint32_t timeoutMs) {
  try {
    const auto deadline = sDeadline(timeoutMs);
    FifoPtr fifo = sLookup(handle);
    if (!fifo) return nullptr;
    std::unique_lock<std::mutex> lock(fifo->mutex);
    WaiterEntry waiting(*fifo, filter, reference);
    // Entries up to lastTested have been shown to the filter already; each
    // wake-up tests only the newer ones.
    uint32_t lastTested = fifo->windowStart - 1;
    bool found = false;
    uint32_t foundId = 0;
    auto match = [&] {
      if (!fifo->open) return true;
      for (const SerialPacket& entry : fifo->queue) {
        if (!sNewer(entry.getId(), lastTested)) continue;
        lastTested = entry.getId();
        if (sAccepts(filter, entry.getPacket(), reference)) {
          found = true;
          foundId = entry.getId();
          return true;
        }
      }
      return false;
    };
    fifo->condition.wait_until(lock, deadline, match);
    if (!found || !fifo->open) return nullptr;
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
      if (it->getId() == foundId) return sTake(*fifo, it);
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

uint32_t aPacketFifo_DrainPackets(aPacketFifoRef handle, aPacketFilter filter,
                                  const void* reference) {
  try {
    FifoPtr fifo = sLookup(handle);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    uint32_t removed = 0;
    for (auto it = fifo->queue.begin(); it != fifo->queue.end();) {
      if (sAccepts(filter, it->getPacket(), reference)) {
        it = fifo->queue.erase(it);
        ++removed;
      } else {
        ++it;
      }
    }
    sResyncWindow(*fifo);
    return removed;
  } catch (...) {
    return 0;
  }
}
