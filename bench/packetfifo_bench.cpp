// Packet FIFO throughput between two threads: a producer puts packets, the
// benchmark thread awaits them. The producer keeps the queue below the
// overflow limit. For scale, the same hand-off through a bare mutex,
// condition variable and deque runs in the same binary.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "common/packetfifo.h"

namespace {

const int kBatch = 10000;
const uint32_t kHighWater = 512;

void BM_FifoPutAwait(benchmark::State& state) {
  aPacketFifoRef fifo = aPacketFifo_Create();
  const uint8_t data[3] = {0x03, 0x48, 0x20};
  aPacket* packet = aPacket_CreateWithData(6, 3, data);
  for (auto _ : state) {
    std::thread producer([fifo, packet] {
      for (int i = 0; i < kBatch; ++i) {
        while (aPacketFifo_GetLength(fifo) >= kHighWater) std::this_thread::yield();
        aPacketFifo_Put(fifo, packet);
      }
    });
    for (int i = 0; i < kBatch; ++i) {
      aPacket* got = aPacketFifo_Await(fifo, 5000);
      if (got == nullptr) {
        state.SkipWithError("await timed out");
        break;
      }
      aPacket_Destroy(&got);
    }
    producer.join();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  aPacket_Destroy(&packet);
  aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_FifoPutAwait)->Unit(benchmark::kMillisecond)->UseRealTime();

// The bound: the same hand-off without handles, copies or sequence numbers.
void BM_BareQueuePutAwait(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<aPacket> queue;
  const uint8_t data[3] = {0x03, 0x48, 0x20};
  aPacket* packet = aPacket_CreateWithData(6, 3, data);
  for (auto _ : state) {
    std::thread producer([&] {
      for (int i = 0; i < kBatch; ++i) {
        for (;;) {
          {
            std::lock_guard<std::mutex> lock(mutex);
            if (queue.size() < kHighWater) {
              queue.push_back(*packet);
              break;
            }
          }
          std::this_thread::yield();
        }
        ready.notify_all();
      }
    });
    for (int i = 0; i < kBatch; ++i) {
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait(lock, [&] { return !queue.empty(); });
      queue.pop_front();
    }
    producer.join();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  aPacket_Destroy(&packet);
}
BENCHMARK(BM_BareQueuePutAwait)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
