// The recovery plans: what is written where, checked before a chip is
// touched.
#include <algorithm>

#include "app/UpdaterRecovery.h"
#include "recovery/NXPSerial.h"

namespace {

constexpr uint32_t kCopyAlign = 256;
constexpr uint32_t kMaxPiece = 4096;

}  // namespace

bool RecoveryBlockAddress(const BirdBlock& block, uint32_t& address) {
  if (block.data == nullptr || block.length < 4) return false;
  address = uint32_t(block.data[0]) << 24 | uint32_t(block.data[1]) << 16 |
            uint32_t(block.data[2]) << 8 | uint32_t(block.data[3]);
  return true;
}

bool RecoveryPlanLpc(const BirdFile& file, std::vector<LpcBlockPlan>& plan, std::string& problem) {
  plan.clear();
  const std::vector<BirdBlock> blocks = file.FindBlocks(BLOCK_FIRMWARE);
  struct Range {
    uint32_t start, end;
  };
  std::vector<Range> ranges;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const BirdBlock& b = blocks[i];
    const std::string name = "firmware block " + std::to_string(i + 1);
    if (b.data == nullptr || b.length < 4) {
      problem = name + " is shorter than its address word";
      return false;
    }
    const uint32_t length = b.ImageLength();
    if (length == 4 && i + 1 == blocks.size()) break;  // the closing word
    if (length == 4) {
      problem = name + " holds 4 bytes but is not the last block";
      return false;
    }
    if (length == 0) {
      problem = name + " holds no image";
      return false;
    }
    if (b.address % kCopyAlign != 0) {
      problem = name + " does not start on a 256-byte boundary";
      return false;
    }
    LpcBlockPlan block;
    block.address = b.address;
    block.imageLength = length;
    uint64_t end = b.address;
    for (uint32_t offset = 0; offset < length; offset += kMaxPiece) {
      LpcPiece piece;
      piece.flash = uint32_t(end);
      piece.data = b.Image() + offset;
      piece.length = std::min(kMaxPiece, length - offset);
      piece.copyLength = NXPSerialClass::CopyLength(piece.length);
      end += piece.copyLength;
      block.pieces.push_back(piece);
    }
    if (end > NXPSerialClass::FLASH_SIZE) {
      problem = name + " ends outside flash";
      return false;
    }
    const Range r{b.address, uint32_t(end)};
    for (const Range& other : ranges)
      if (r.start < other.end && other.start < r.end) {
        problem = name + " overlaps another block";
        return false;
      }
    ranges.push_back(r);
    plan.push_back(block);
  }
  if (plan.empty()) {
    problem = "no firmware to write";
    return false;
  }
  return true;
}

uint32_t RecoveryLpcRate(uint32_t requested, uint32_t synchronisedAt) {
  if (requested == 0) return synchronisedAt;
  const uint32_t index = NXPSerialClass::SpeedIndexFor(requested);
  return NXPSerialClass::SPEED_TABLE[index] == requested ? requested : synchronisedAt;
}

bool RecoveryPlanImx(const BirdFile& file, std::vector<ImxLoaderPiece>& pieces, uint32_t& start,
                     std::string& problem) {
  pieces.clear();
  const std::vector<BirdBlock> blocks = file.FindBlocks(BLOCK_LOADER);
  for (size_t i = 0; i < blocks.size(); ++i) {
    ImxLoaderPiece piece;
    if (!RecoveryBlockAddress(blocks[i], piece.address) || blocks[i].length == 4) {
      problem = "loader block " + std::to_string(i) + " holds no image after its address word";
      return false;
    }
    piece.image.assign(blocks[i].data + 4, blocks[i].data + blocks[i].length);
    pieces.push_back(std::move(piece));
  }
  if (pieces.empty()) {
    problem = "no loader blocks";
    return false;
  }
  start = 0x20000400;
  const std::vector<BirdBlock> starts = file.FindBlocks(BLOCK_LOADER_START);
  if (!starts.empty()) {
    uint32_t address = 0;
    if (!RecoveryBlockAddress(starts[0], address)) {
      problem = "the loader start block is shorter than its address word";
      return false;
    }
    start = address;
  }
  return true;
}
