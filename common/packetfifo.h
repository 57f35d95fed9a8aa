// Thread-safe packet FIFOs reached through 64-bit handles.
//
// Each FIFO is a queue of (packet, sequence number) entries with its own
// mutex and condition variable. A process-wide directory maps handles to
// FIFOs; handles are never reused and 0 stands for no FIFO. Callers hold a
// FIFO only for the duration of one call, so destroying a FIFO while
// another thread waits on it is safe: the waiter wakes and returns null.
//
// Every packet returned is a new copy owned by the caller (aPacket_Destroy).
// A FIFO holding more than 1000 packets after a put is not being emptied
// (a flood of packets nobody asked for, or a reader that stopped): it sheds
// its oldest packets that no caller is waiting for, down to 500, so that
// the answer a caller waits for is never what a flood pushes out.
#ifndef KORVEX_PACKETFIFO_H
#define KORVEX_PACKETFIFO_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/aPacket.h"

#define aPACKETFIFO_MAX_PACKETS 1000
// What an overflowing FIFO keeps at most of the packets nobody waits for.
#define aPACKETFIFO_KEEP_PACKETS 500

// One queued entry: an owned packet and its sequence number.
class SerialPacket {
 public:
  SerialPacket(std::unique_ptr<aPacket, aPacketDeleter> packet, uint32_t id)
      : packet_(std::move(packet)), id_(id) {}
  const aPacket* getPacket() const { return packet_.get(); }
  uint32_t getId() const { return id_; }

 private:
  std::unique_ptr<aPacket, aPacketDeleter> packet_;
  uint32_t id_;
};

// One FIFO. Fields are guarded by `mutex` except the atomics.
struct packetFifo {
  std::deque<SerialPacket> queue;  // oldest first
  std::condition_variable condition;
  std::mutex mutex;
  std::atomic<bool> open{true};
  // The filters of the calls waiting now (a null filter takes any packet),
  // consulted when the queue overflows.
  std::vector<std::pair<aPacketFilter, const void*>> waiters;
  // Sequence number of the oldest entry, or the next one when empty.
  std::atomic<uint32_t> windowStart{0};
  std::atomic<uint32_t> nextSequence{0};
};

typedef uint64_t aPacketFifoRef;

// A new FIFO's handle; 0 on failure.
aPacketFifoRef aPacketFifo_Create(void);
// Removes the FIFO, drops its packets, wakes every waiter and sets *handle
// to 0. aErrParam for a null pointer, aErrNotFound for an unknown handle.
aErr aPacketFifo_Destroy(aPacketFifoRef* handle);
// Number of queued packets; 0 for an unknown handle.
uint32_t aPacketFifo_GetLength(aPacketFifoRef handle);
// Queues a copy of the packet (the caller keeps its own). aErrParam for an
// unknown handle or an invalid packet.
aErr aPacketFifo_Put(aPacketFifoRef handle, const aPacket* packet);
// The oldest packet without waiting; null when empty or unknown.
aPacket* aPacketFifo_Get(aPacketFifoRef handle);
// The oldest packet, waiting up to timeoutMs for one. Null at the time-out
// or when the FIFO is destroyed meanwhile.
aPacket* aPacketFifo_Await(aPacketFifoRef handle, uint32_t timeoutMs);
// The oldest packet the filter accepts, without waiting. A null filter
// accepts every packet.
aPacket* aPacketFifo_GetFirst(aPacketFifoRef handle, aPacketFilter filter,
                              const void* reference);
// The oldest packet the filter accepts, waiting up to timeoutMs. The filter
// sees each queued packet at most once per call.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoRef handle, aPacketFilter filter,
                                const void* reference, uint32_t timeoutMs);
// Removes every packet the filter accepts (all with a null filter); returns
// how many. 0 for an unknown handle.
uint32_t aPacketFifo_DrainPackets(aPacketFifoRef handle, aPacketFilter filter,
                                  const void* reference);

#endif
