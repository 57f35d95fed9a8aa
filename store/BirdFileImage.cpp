// What a loaded BirdFile tells about itself (its blocks and the fields of
// its information block) and the patches made to its image in memory:
// the serial number of the target device, the boot vector checksum and the
// per-device decoding of firmware blocks. Loading is in BirdFile.cpp.
#include "store/BirdFile.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/aNumber.h"
#include "log/Log.h"
#include "store/BirdBytes.h"

using bird::GetInt;
using bird::GetLittleInt;
using bird::PutLittleInt;

namespace {

void InfoField(const BirdBlock& info, int index, char out[BIRD_INFO_FIELD_SIZE + 1]) {
  bird::InfoField(info.data, info.length, index, out);
}

}  // namespace

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks_)
    if (block.type == type) found.push_back(block);
  return found;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount_ == 0) return false;
  for (const BirdBlock& block : blocks_) {
    if (block.type != BLOCK_SERIAL_OFFSETS) continue;
    if (block.length < 8) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets block holds %u bytes, 8 needed\n", block.length);
      return false;
    }
    serialNumberOffset_ = GetInt(block.data);
    descriptorOffset_ = GetInt(block.data + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             int(serialNumberOffset_), int(descriptorOffset_));
    return true;
  }
  return false;
}

const BirdBlock* BirdFile::FindInfo() const {
  for (const BirdBlock& block : blocks_)
    if (block.type == BLOCK_INFO) return &block;
  return nullptr;
}

uint32_t BirdFile::GetSerialNumber() const {
  const BirdBlock* info = FindInfo();
  if (!info) return 0;
  char field[BIRD_INFO_FIELD_SIZE + 1];
  InfoField(*info, 2, field);
  field[8] = '\0';
  uint32_t serial = 0;
  aNumber_ParseU32(field, 16, &serial);
  return serial;
}

uint32_t BirdFile::GetBuild() const {
  const BirdBlock* info = FindInfo();
  if (!info) return 0;
  uint32_t build = 0;
  BirdInfoBuild(info->data, info->length, &build);
  return build;
}

std::string BirdFile::GetVersion() const {
  const BirdBlock* info = FindInfo();
  if (!info) return std::string();
  char field[BIRD_INFO_FIELD_SIZE + 1];
  InfoField(*info, 1, field);
  field[15] = '\0';
  for (char* p = field; *p; ++p)
    if (*p == ' ') *p = '\0';
  return std::string(field);
}

std::string BirdFile::GetModel() const {
  const BirdBlock* info = FindInfo();
  return info ? bird::InfoModel(info->data, info->length) : std::string();
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

bool BirdFile::ValidateModel(const char* name) const {
  if (!FindInfo()) return false;
  // The whole model name must match: "KX-DAQ" is not "KX-DAQ8", and no name
  // (a model that could not be read) matches nothing.
  if (!name || name[0] == '\0') return false;
  const std::string field = GetModel();
  if (field != name) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), name);
  return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serial);
  bool result = false;
  const uint64_t s = serialNumberOffset_;
  const uint64_t d = descriptorOffset_;
  for (BirdBlock& block : blocks_) {
    if (block.type != BLOCK_FIRMWARE || block.length < 4) continue;
    const uint64_t start = block.address;
    const uint64_t end = start + block.ImageLength();  // exclusive
    uint8_t* image = block.Image();
    if (s != 0) {
      if (s >= start && s + 4 <= end) {
        uint8_t* word = image + (s - start);
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                 GetLittleInt(word), serial);
        PutLittleInt(word, serial);
      }
      result = true;
    }
    if (d != 0 && d >= start && d + 16 <= end) {
      uint8_t* units = image + (d - start);
      for (int i = 0; i < 8; ++i) units[2 * i] = uint8_t(text[i]);
      result = true;
    }
  }
  return result;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (BirdBlock& block : blocks_) {
    if (block.type != BLOCK_FIRMWARE || block.length < 4 || block.address != 0) continue;
    if (block.ImageLength() < 32) continue;  // no complete vector table
    uint8_t* table = block.Image();
    // The boot ROM accepts the image when entries 0-7 sum to zero.
    uint32_t sum = 0;
    for (int i = 0; i < 7; ++i) sum += GetLittleInt(table + 4 * i);
    uint32_t checksum = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
             GetLittleInt(table + 28), checksum);
    PutLittleInt(table + 28, checksum);
  }
  return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
  if (!key) return false;
  uint8_t bytes[16];
  for (int i = 0; i < 4; ++i) {
    bytes[4 * i] = uint8_t(key[i] >> 24);
    bytes[4 * i + 1] = uint8_t(key[i] >> 16);
    bytes[4 * i + 2] = uint8_t(key[i] >> 8);
    bytes[4 * i + 3] = uint8_t(key[i]);
  }
  for (BirdBlock& block : blocks_) {
    if (block.type != BLOCK_FIRMWARE) continue;
    uint8_t* image = block.Image();
    uint32_t n = block.ImageLength();
    uint8_t previous = 0;
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t value = uint8_t(image[i] ^ bytes[i & 15] ^ previous);
      image[i] = value;
      previous = value;
    }
  }
  return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t length) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path_.c_str());
  bool found = false;
  if (pattern && length > 0) {
    for (const BirdBlock& block : blocks_) {
      if (block.type != BLOCK_FIRMWARE || block.length < length) continue;
      for (uint32_t i = 0; i <= block.length - length; ++i) {
        if (std::memcmp(block.data + i, pattern, length) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path_.c_str());
  for (const BirdBlock& block : blocks_) {
    if (block.type != type) continue;
    std::string text;
    for (uint32_t i = 0; i < block.length; ++i) {
      if (i % 50 == 0) {
        std::printf(" %s\r\n%06u: ", text.c_str(), i);
        text.clear();
      }
      uint8_t byte = block.data[i];
      std::printf("%02X ", byte);
      text.push_back(std::isprint(byte) ? char(byte) : ' ');
    }
    std::printf(" %s\n", text.c_str());
  }
  std::printf("\n");
  std::fflush(stdout);
  return true;
}
