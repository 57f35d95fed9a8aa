#include "store/BirdBlockScanner.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "common/aNumber.h"
#include "store/BirdBytes.h"

namespace bird {

std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

void InfoField(const uint8_t* data, uint32_t length, int index,
               char out[BIRD_INFO_FIELD_SIZE + 1]) {
  std::memset(out, 0, BIRD_INFO_FIELD_SIZE + 1);
  uint32_t start = uint32_t(index) * BIRD_INFO_FIELD_SIZE;
  if (data && length > start) {
    uint32_t n = length - start;
    if (n > BIRD_INFO_FIELD_SIZE) n = BIRD_INFO_FIELD_SIZE;
    std::memcpy(out, data + start, n);
  }
}

std::string InfoModel(const uint8_t* data, uint32_t length) {
  char field[BIRD_INFO_FIELD_SIZE + 1];
  InfoField(data, length, 3, field);
  size_t n = std::strlen(field);
  while (n > 0 && field[n - 1] == ' ') field[--n] = '\0';
  return std::string(field);
}

}  // namespace bird

using bird::Format;
using bird::GetInt;

aErr BirdInfoBuild(const uint8_t* data, uint32_t length, uint32_t* build) {
  char field[BIRD_INFO_FIELD_SIZE + 1];
  bird::InfoField(data, length, 0, field);
  field[15] = '\0';
  uint32_t value = 0;
  const aErr err = aNumber_ParseU32(field, 10, &value);
  if (build) *build = value;
  return err;
}

std::string BirdLoadProblem(BirdLoadFailure failure, uint32_t count) {
  switch (failure) {
    case BirdLoadFailure::BadHeader: return "the file does not begin with a BIRD header";
    case BirdLoadFailure::NotExpanded:
      return "the compressed body cannot be expanded (damaged, truncated or oversized data)";
    case BirdLoadFailure::TooLarge:
      return Format("the compressed body cannot be expanded: it grows beyond %u bytes",
                    unsigned(BIRD_FILE_MAX_EXPANDED_SIZE));
    case BirdLoadFailure::DeclaresTooMany:
      return Format("the package declares %u blocks, more than the %u allowed", count,
                    unsigned(BIRD_FILE_MAX_BLOCKS));
    case BirdLoadFailure::HoldsTooMany:
      return Format("the package holds more than %u blocks", unsigned(BIRD_FILE_MAX_BLOCKS));
  }
  return std::string();
}

std::string BirdContentProblem(const BirdContent& content) {
  if (content.blocks == 0) return "the package holds no blocks";
  if (content.firmwareBlocks == 0) return "no firmware block";
  if (content.shortImage)
    return Format("block %u is too short to hold its load address", content.shortImageIndex);
  if (content.wrapsImage)
    return Format("block %u (%u image bytes at 0x%08X) runs past address 0xFFFFFFFF",
                  content.wrapsIndex, content.wrapsLength, content.wrapsAddress);
  if (content.overlap)
    return Format("%s blocks %u and %u overlap at address 0x%08X",
                  content.overlapType == BLOCK_LOADER ? "loader" : "firmware", content.overlapFirst,
                  content.overlapSecond, content.overlapAddress);
  if (!content.hasInfo) return "no information block: build, version and model are unknown";
  if (content.infoLength < BIRD_INFO_SIZE)
    return Format("the information block holds %u bytes, %u are needed", content.infoLength,
                  unsigned(BIRD_INFO_SIZE));
  uint32_t build = 0;
  const aErr err = BirdInfoBuild(content.info, BIRD_INFO_SIZE, &build);
  if (err == aErrRange) return "the build number of the information block is above 4294967295";
  if (err != aErrNone || build == 0) return "the information block holds no build number";
  if (bird::InfoModel(content.info, BIRD_INFO_SIZE).empty())
    return "the information block names no model";
  return std::string();
}

bool BirdBlockScanner::Feed(const uint8_t* bytes, size_t length) {
  if (refused_) return false;
  if (!bytes || finished_) return true;
  while (length > 0) {
    if (haveCount_ && size_ < dataEnd_) {
      // Inside a block's data: keep the first bytes of the first
      // information block, pass over everything else.
      uint64_t step = dataEnd_ - size_;
      if (step > length) step = length;
      BirdBlockHead& current = heads_.back();
      if (current.IsImage()) {
        for (uint64_t p = size_; p < current.offset + 4 && p < size_ + step; ++p)
          current.address = (current.address << 8) | bytes[p - size_];
      }
      if (infoSeen_) {
        const BirdBlockHead& info = heads_[infoIndex_];
        const uint64_t keepEnd = info.offset + (content_.infoLength < BIRD_INFO_SIZE
                                                    ? content_.infoLength
                                                    : BIRD_INFO_SIZE);
        for (uint64_t p = size_ < info.offset ? info.offset : size_; p < keepEnd && p < size_ + step;
             ++p) {
          content_.info[p - info.offset] = bytes[p - size_];
        }
      }
      bytes += step;
      length -= size_t(step);
      size_ += step;
      continue;
    }
    head_[headCount_++] = *bytes++;
    --length;
    ++size_;
    if (!haveCount_ && headCount_ == 4) {
      declared_ = GetInt(head_);
      haveCount_ = true;
      headCount_ = 0;
      dataEnd_ = 4;
      if (declared_ > BIRD_FILE_MAX_BLOCKS) {
        refused_ = true;
        refusal_ = BirdLoadFailure::DeclaresTooMany;
        return false;
      }
    } else if (haveCount_ && headCount_ == 5) {
      headCount_ = 0;
      if (heads_.size() == BIRD_FILE_MAX_BLOCKS) {
        refused_ = true;
        refusal_ = BirdLoadFailure::HoldsTooMany;
        return false;
      }
      BlockHead();
    }
  }
  return true;
}

void BirdBlockScanner::BlockHead() {
  BirdBlockHead head;
  head.typeFlags = head_[0];
  head.length = GetInt(head_ + 1);
  head.offset = size_;
  dataEnd_ = size_ + head.length;
  if (head.Type() == BLOCK_INFO && !infoSeen_) {
    infoSeen_ = true;
    infoIndex_ = heads_.size();
    content_.infoLength = head.length;
  }
  heads_.push_back(head);
}

void BirdBlockScanner::Finish() {
  if (finished_) return;
  finished_ = true;
  structureValid_ = false;
  if (refused_) return;
  if (!haveCount_) {
    declared_ = 0;
    heads_.clear();
    infoSeen_ = false;
    content_ = BirdContent();
    remaining_ = int64_t(size_) - 4;
    return;
  }
  if (!heads_.empty() && size_ < dataEnd_) {
    // The last block claims more data than the body holds: it does not
    // count, and the walk ends before it.
    overrun_ = true;
    overrunHead_ = heads_.back();
    heads_.pop_back();
    if (infoSeen_ && infoIndex_ == heads_.size()) infoSeen_ = false;
  }
  const uint64_t end = heads_.empty() ? 4 : heads_.back().offset + heads_.back().length;
  if (overrun_) {
    remaining_ = int64_t(size_ - end);
  } else {
    // Fewer than 5 bytes follow the last block, or they would have been
    // read as a block head.
    const uint64_t left = size_ - end;
    if (left == 4) {
      hasChecksum_ = true;
      checksum_ = GetInt(head_);
    }
    remaining_ = int64_t(left) - 4;
  }
  structureValid_ = remaining_ == 0 && heads_.size() == declared_;

  content_.blocks = uint32_t(heads_.size());
  content_.firmwareBlocks = 0;
  content_.shortImage = false;
  content_.shortImageIndex = 0;
  for (size_t i = 0; i < heads_.size(); ++i) {
    const BirdBlockHead& head = heads_[i];
    if (head.Type() == BLOCK_FIRMWARE) ++content_.firmwareBlocks;
    if ((head.Type() == BLOCK_LOADER || head.Type() == BLOCK_FIRMWARE) && head.length < 4 &&
        !content_.shortImage) {
      content_.shortImage = true;
      content_.shortImageIndex = uint32_t(i);
    }
  }
  CheckImages();
  content_.hasInfo = infoSeen_;
  if (!infoSeen_) {
    content_.infoLength = 0;
    std::memset(content_.info, 0, sizeof content_.info);
  }
}

void BirdBlockScanner::CheckImages() {
  content_.wrapsImage = false;
  content_.overlap = false;
  struct Span {
    uint64_t start;
    uint64_t end;  // one past the last image byte
    uint32_t index;
    uint8_t type;
  };
  std::vector<Span> spans;
  for (size_t i = 0; i < heads_.size(); ++i) {
    const BirdBlockHead& head = heads_[i];
    if (!head.IsImage() || head.length < 4) continue;
    const uint64_t start = head.address;
    const uint64_t end = start + (head.length - 4);
    if (end > (uint64_t(1) << 32) && !content_.wrapsImage) {
      content_.wrapsImage = true;
      content_.wrapsIndex = uint32_t(i);
      content_.wrapsAddress = head.address;
      content_.wrapsLength = head.length - 4;
    }
    if (end > start) spans.push_back(Span{start, end, uint32_t(i), head.Type()});
  }
  // Loader images go to the module in one phase and firmware images in
  // another; within each, an address written twice is refused.
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
    if (a.type != b.type) return a.type < b.type;
    return a.start != b.start ? a.start < b.start : a.index < b.index;
  });
  size_t reach = 0;  // the span reaching furthest among the earlier ones of its kind
  for (size_t i = 1; i < spans.size(); ++i) {
    const Span& next = spans[i];
    if (spans[reach].type != next.type) {
      reach = i;
      continue;
    }
    const Span& before = spans[reach];
    if (next.start < before.end) {
      content_.overlap = true;
      content_.overlapType = next.type;
      content_.overlapFirst = std::min(before.index, next.index);
      content_.overlapSecond = std::max(before.index, next.index);
      content_.overlapAddress = uint32_t(next.start);
      return;
    }
    if (next.end > before.end) reach = i;
  }
}
