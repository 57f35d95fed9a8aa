// Checks on a loaded BIRD file before an update sends it.
#include "app/UpdateChecks.h"

#include <cctype>

#include "common/aNumber.h"

namespace {

constexpr uint32_t kAddressWord = 4;
constexpr uint64_t kSerialWordSize = 4;
constexpr uint64_t kDescriptorSize = 16;

// Whether [place, place + size) lies inside one firmware image.
bool InsideFirmware(const BirdFile& file, uint64_t place, uint64_t size) {
  for (const BirdBlock& block : file.Blocks()) {
    if (block.type != BLOCK_FIRMWARE || block.length < kAddressWord) continue;
    const uint64_t start = block.address;
    const uint64_t end = start + block.ImageLength();
    if (place >= start && place + size <= end) return true;
  }
  return false;
}

}  // namespace

std::string UpdateFileProblem(const BirdFile& file) {
  uint32_t firmwareBlocks = 0;
  uint32_t index = 0;
  for (const BirdBlock& block : file.Blocks()) {
    ++index;
    if (block.type != BLOCK_LOADER && block.type != BLOCK_FIRMWARE) continue;
    if (block.length < kAddressWord)
      return "block " + std::to_string(index) + " holds " + std::to_string(block.length) +
             " bytes, less than its 4-byte address";
    if (block.type == BLOCK_FIRMWARE) ++firmwareBlocks;
  }
  if (firmwareBlocks == 0) return "no firmware block";
  return std::string();
}

bool SerialWordsInImage(const BirdFile& file) {
  if (!file.SerialOffsetsPresent()) return false;
  const uint64_t serialWord = file.SerialNumberOffset();
  const uint64_t descriptor = file.DescriptorOffset();
  if (serialWord == 0 && descriptor == 0) return false;
  if (serialWord != 0 && !InsideFirmware(file, serialWord, kSerialWordSize)) return false;
  if (descriptor != 0 && !InsideFirmware(file, descriptor, kDescriptorSize)) return false;
  return true;
}

uint32_t BuildFromText(const std::string& text) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return 0;
  uint32_t value = 0;
  if (aNumber_ParseU32(text.c_str(), 10, &value) != aErrNone) return 0;
  return value;
}
