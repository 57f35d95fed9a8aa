// Reads a fuzz input as a script: single bytes, length-prefixed pieces and
// the rest. Past the end every read yields zeros or nothing.
#ifndef UPDATER_FUZZ_FUZZINPUT_H
#define UPDATER_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  size_t Left() const { return size_ - at_; }

  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t Word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
    return v;
  }
  // Up to count bytes.
  std::vector<uint8_t> Bytes(size_t count) {
    if (count > Left()) count = Left();
    std::vector<uint8_t> out(data_ + at_, data_ + at_ + count);
    at_ += count;
    return out;
  }
  // A piece announced by its length byte.
  std::vector<uint8_t> Piece() { return Bytes(Byte()); }
  std::string Text() {
    const std::vector<uint8_t> b = Piece();
    return std::string(b.begin(), b.end());
  }
  std::vector<uint8_t> Rest() { return Bytes(Left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

#endif
