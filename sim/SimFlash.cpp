#include "sim/SimFlash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace ksim {

void Flash::write(uint32_t address, const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  uint64_t start = address;
  uint64_t stop = start + bytes.size();
  // Chunk after chunk, an image grows at the end of one segment, or is
  // written again inside it: both without copying the segment.
  auto next = segments_.upper_bound(address);
  if (next != segments_.begin() && (next == segments_.end() || next->first > stop)) {
    auto prev = std::prev(next);
    uint64_t prevEnd = uint64_t(prev->first) + prev->second.size();
    if (prevEnd >= start) {
      std::vector<uint8_t>& seg = prev->second;
      size_t offset = size_t(start - prev->first);
      if (stop > prevEnd) seg.resize(size_t(stop - prev->first));
      std::memcpy(seg.data() + offset, bytes.data(), bytes.size());
      return;
    }
  }
  // Merge with every segment that overlaps or touches [start, stop).
  std::vector<uint8_t> merged;
  uint64_t mergedStart = start;
  auto it = segments_.upper_bound(address);
  if (it != segments_.begin()) {
    auto prev = std::prev(it);
    if (uint64_t(prev->first) + prev->second.size() >= start) it = prev;
  }
  uint64_t mergedEnd = stop;
  auto first = it;
  while (it != segments_.end() && uint64_t(it->first) <= stop) {
    if (it->first < mergedStart) mergedStart = it->first;
    uint64_t e = uint64_t(it->first) + it->second.size();
    if (e > mergedEnd) mergedEnd = e;
    ++it;
  }
  merged.assign(size_t(mergedEnd - mergedStart), 0xFF);
  for (auto j = first; j != it; ++j)
    std::memcpy(merged.data() + (j->first - mergedStart), j->second.data(), j->second.size());
  std::memcpy(merged.data() + (start - mergedStart), bytes.data(), bytes.size());
  segments_.erase(first, it);
  segments_[uint32_t(mergedStart)] = std::move(merged);
}

size_t Flash::program(uint32_t address, const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return 0;
  uint32_t length = uint32_t(bytes.size());
  if (uint64_t(address) + length > (uint64_t(1) << 32)) length = uint32_t((uint64_t(1) << 32) - address);
  std::vector<uint8_t> cells = read(address, length);
  size_t twice = 0;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (cells[i] != 0xFF) ++twice;
    cells[i] &= bytes[i];
  }
  write(address, cells);
  return twice;
}

uint32_t Flash::lowest() const { return segments_.empty() ? 0 : segments_.begin()->first; }

uint64_t Flash::end() const {
  if (segments_.empty()) return 0;
  auto last = std::prev(segments_.end());
  return uint64_t(last->first) + last->second.size();
}

std::vector<uint8_t> Flash::read(uint32_t address, uint32_t length) const {
  std::vector<uint8_t> out(length, 0xFF);
  uint64_t a = address, b = a + length;
  for (const auto& seg : segments_) {
    uint64_t s = seg.first, e = s + seg.second.size();
    uint64_t lo = s > a ? s : a, hi = e < b ? e : b;
    if (lo < hi) std::memcpy(out.data() + (lo - a), seg.second.data() + (lo - s), size_t(hi - lo));
  }
  return out;
}

bool Flash::dump(const std::string& path, std::string& error) const {
  if (end() - lowest() > kMaxDumpBytes) {
    error = "the flash written spans " + std::to_string(end() - lowest()) + " bytes, more than a dump takes (" +
            std::to_string(kMaxDumpBytes) + ")";
    return false;
  }
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    error = "cannot create " + tmp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = true;
  uint64_t pos = lowest();
  for (const auto& seg : segments_) {
    for (; pos < seg.first && ok; ++pos) ok = std::fputc(0xFF, f) != EOF;
    if (ok && !seg.second.empty())
      ok = std::fwrite(seg.second.data(), 1, seg.second.size(), f) == seg.second.size();
    pos = uint64_t(seg.first) + seg.second.size();
  }
  if (std::fclose(f) != 0) ok = false;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace ksim
