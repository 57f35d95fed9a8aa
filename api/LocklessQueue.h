// A bounded single-producer single-consumer ring. One thread pushes, one
// thread pops; neither ever blocks. A ring of n slots holds at most n - 1
// items (one slot stays free to tell full from empty).
#ifndef KORVEX_LOCKLESSQUEUE_H
#define KORVEX_LOCKLESSQUEUE_H

#include <atomic>
#include <cstdint>
#include <vector>

namespace Velmaris {

template <typename T>
class LocklessQueue_SPSC {
 public:
  // n is clamped to 2..65535 so that indexes fit their 16-bit counters.
  explicit LocklessQueue_SPSC(uint16_t n) : slots_(n < 2 ? 2 : n) {}
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  // Producer side: false when full (the item is left with the caller).
  bool push(const T& item) {
    const uint16_t at = producer_.load(std::memory_order_relaxed);
    const uint16_t next = advance(at);
    if (next == consumer_.load(std::memory_order_acquire)) return false;
    slots_[next] = item;
    producer_.store(next, std::memory_order_release);
    return true;
  }
  // Consumer side: false when empty.
  bool pop(T& item) {
    const uint16_t at = consumer_.load(std::memory_order_relaxed);
    if (at == producer_.load(std::memory_order_acquire)) return false;
    const uint16_t next = advance(at);
    item = slots_[next];
    consumer_.store(next, std::memory_order_release);
    return true;
  }
  size_t capacity() const { return slots_.size() - 1; }

 private:
  uint16_t advance(uint16_t at) const {
    return static_cast<uint16_t>(at + 1u == slots_.size() ? 0u : at + 1u);
  }
  std::vector<T> slots_;
  std::atomic<uint16_t> producer_{0};
  std::atomic<uint16_t> consumer_{0};
};

}  // namespace Velmaris

#endif
