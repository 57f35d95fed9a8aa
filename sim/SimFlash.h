// The module's emulated flash: a sparse byte map written chunk by chunk.
#ifndef KORVEX_SIM_FLASH_H
#define KORVEX_SIM_FLASH_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ksim {

class Flash {
 public:
  // Writes bytes at an address; later writes overwrite earlier ones.
  void write(uint32_t address, const std::vector<uint8_t>& bytes);
  // Programs bytes as NOR flash does: bits only go from 1 to 0, so a byte
  // programmed before (not 0xFF) ends up as old AND new. Returns how many
  // bytes were programmed over such bytes.
  size_t program(uint32_t address, const std::vector<uint8_t>& bytes);
  bool empty() const { return segments_.empty(); }
  void clear() { segments_.clear(); }  // erased: every byte 0xFF
  // Lowest written address and one past the highest (0, 0 when empty).
  uint32_t lowest() const;
  uint64_t end() const;
  // Reads `length` bytes from `address`; unwritten bytes read as 0xFF.
  std::vector<uint8_t> read(uint32_t address, uint32_t length) const;
  // Writes the image from lowest() to end() (gaps 0xFF) to a file through a
  // temporary name, so a reader never sees a partial file. Returns false and
  // sets `error` when it cannot, or when the image would exceed kMaxDumpBytes
  // (a stray address far from the rest).
  bool dump(const std::string& path, std::string& error) const;
  static constexpr uint64_t kMaxDumpBytes = 64u << 20;

 private:
  std::map<uint32_t, std::vector<uint8_t>> segments_;  // start -> bytes, non-overlapping
};

}  // namespace ksim

#endif
