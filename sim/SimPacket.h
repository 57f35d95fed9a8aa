// Wire packets as a module sees them: address, length, up to 28 data bytes.
// Kept independent of the host library's packet code on purpose.
#ifndef KORVEX_SIM_PACKET_H
#define KORVEX_SIM_PACKET_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ksim {

constexpr uint8_t kIdentifyAddress = 0xAD;
constexpr uint8_t kForceRouteAddress = 0xAF;
constexpr size_t kMaxData = 28;
constexpr size_t kArrayChunk = 24;  // payload bytes per byte-array run packet

constexpr uint8_t kCmdHeartbeat = 0x00;
constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kCmdStore = 4;
constexpr uint8_t kCmdI2C = 8;
constexpr uint8_t kCmdDebug = 23;
constexpr uint8_t kCmdInventory = 73;
constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kCmdFactory = 94;
constexpr uint8_t kCmdUpgrade = 95;

// Operation bits of the option byte.
constexpr uint8_t kOpGet = 0x40;
constexpr uint8_t kOpSet = 0x80;
constexpr uint8_t kOpAck = 0xC0;
constexpr uint8_t kSpecRequest = 0x20;
constexpr uint8_t kSpecError = 0x80;
constexpr uint8_t kSpecSample = 0x40;

// Commands whose packets carry no entity values; anything else unknown is
// answered with an "unimplemented" error reply.
inline bool IsRawCommand(uint8_t cmd) {
  switch (cmd) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
      return true;
    default:
      return false;
  }
}

struct Packet {
  uint8_t address = 0;
  uint8_t size = 0;
  uint8_t data[kMaxData] = {};

  Packet() = default;
  Packet(uint8_t addr, std::initializer_list<uint8_t> bytes) : address(addr) {
    for (uint8_t b : bytes) {
      if (size < kMaxData) data[size++] = b;
    }
  }
  void push(uint8_t b) {
    if (size < kMaxData) data[size++] = b;
  }
  void push32(uint32_t v) {
    push(uint8_t(v >> 24)); push(uint8_t(v >> 16)); push(uint8_t(v >> 8)); push(uint8_t(v));
  }
  void push16(uint16_t v) { push(uint8_t(v >> 8)); push(uint8_t(v)); }
  std::vector<uint8_t> wire() const {
    std::vector<uint8_t> out{address, size};
    out.insert(out.end(), data, data + size);
    return out;
  }
};

inline uint32_t Get32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint16_t Get16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

// Splits an incoming byte stream into packets. A byte that cannot start a
// packet (zero or odd address other than the two link requests) is skipped,
// as is a packet start with an impossible length, so the module finds the
// next packet boundary by itself.
class Assembler {
 public:
  // Returns true when `out` holds a complete packet after this byte.
  bool add(uint8_t byte, Packet& out) {
    if (fill_ == 0) {
      bool link = byte == kIdentifyAddress || byte == kForceRouteAddress;
      if (byte == 0 || ((byte & 1) && !link)) { ++skipped_; return false; }
      cur_ = Packet();
      cur_.address = byte;
      fill_ = 1;
      return false;
    }
    if (fill_ == 1) {
      if (byte > kMaxData) { ++skipped_; fill_ = 0; return false; }
      cur_.size = byte;
      fill_ = 2;
    } else {
      cur_.data[fill_ - 2] = byte;
      ++fill_;
    }
    if (fill_ == size_t(cur_.size) + 2) {
      out = cur_;
      fill_ = 0;
      return true;
    }
    return false;
  }
  void reset() { fill_ = 0; }
  uint64_t skipped() const { return skipped_; }

 private:
  Packet cur_;
  size_t fill_ = 0;
  uint64_t skipped_ = 0;
};

// Packed firmware versions: legacy (4-bit major, 4-bit minor, 24-bit patch)
// or current (0x2F marker, then 8-bit major, minor and patch).
inline uint32_t PackVersion(unsigned major, unsigned minor, unsigned patch) {
  major &= 0xFF; minor &= 0xFF; patch &= 0xFF;
  if (major > 2 || (major == 2 && minor > 14))
    return 0x2F000000u | (major << 16) | (minor << 8) | patch;
  return ((major & 0xFu) << 28) | ((minor & 0xFu) << 24) | patch;
}
// "1.2.3" to a packed version; false for anything else.
inline bool ParseVersionText(const std::string& text, uint32_t& packed) {
  unsigned a = 0, b = 0, c = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail) != 3) return false;
  if (a > 255 || b > 255 || c > 255) return false;
  packed = PackVersion(a, b, c);
  return true;
}
inline bool IsLegacyVersion(uint32_t v) {
  unsigned top = v >> 28, second = (v >> 24) & 0xF;
  return top < 2 || (top == 2 && second < 15);
}
inline void UnpackVersion(uint32_t v, unsigned& major, unsigned& minor, unsigned& patch) {
  if (IsLegacyVersion(v)) {
    major = v >> 28; minor = (v >> 24) & 0xF; patch = v & 0xFFFFFF;
  } else {
    major = (v >> 16) & 0xFF; minor = (v >> 8) & 0xFF; patch = v & 0xFF;
  }
}

}  // namespace ksim

#endif
