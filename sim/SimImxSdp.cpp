#include "sim/SimImxSdp.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace ksim {

namespace {

constexpr size_t kCommandBytes = 16;
constexpr size_t kReport4Bytes = 64;
constexpr size_t kSerialReportEquivalent = 1024;  // data bytes counted as one report on a serial line
constexpr uint32_t kMaxReadBytes = 64 * 1024;     // the most one read register answers
constexpr uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};
constexpr int kMaxChatterBurst = 64;

uint32_t BigEndian32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void PutLE32(std::vector<uint8_t>& v, uint32_t w) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(w >> (8 * i)));
}

bool ParseCount(const std::string& text, uint32_t& out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return false;
  out = uint32_t(std::strtoul(text.c_str(), nullptr, 10));
  return true;
}

uint64_t SteadyUs() {
  using namespace std::chrono;
  return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

bool ImxFaults::parse(const std::string& word, std::string& error) {
  const size_t eq = word.find('=');
  const std::string name = word.substr(0, eq);
  const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
  const bool hasValue = eq != std::string::npos;
  uint32_t n = 0;
  if (name == "silent" && !hasValue) silent = true;
  else if (name == "incomplete" && !hasValue) incomplete = true;
  else if (name == "mid-answer") {
    if (hasValue && (!ParseCount(value, n) || n == 0)) { error = "mid-answer=N needs N >= 1"; return false; }
    midAnswer = hasValue ? n : 1;
  } else if (name == "chatty") {
    if (hasValue && (!ParseCount(value, n) || n == 0)) { error = "chatty=MS needs MS >= 1"; return false; }
    chattyMs = hasValue ? n : 20;
  } else if (name == "corrupt-write") {
    if (hasValue && (!ParseCount(value, n) || n == 0)) { error = "corrupt-write=N needs N >= 1"; return false; }
    corruptWrite = hasValue ? n : 2049;
  } else if (name == "slow") {
    if (!hasValue || !ParseCount(value, n) || n == 0 || n > 600000) { error = "slow=MS needs 1..600000"; return false; }
    slowMs = n;
  } else {
    error = "unknown i.MX fault \"" + word + "\" (known: silent, mid-answer[=N], incomplete, chatty[=MS], slow=MS, corrupt-write[=N])";
    return false;
  }
  return true;
}

std::string ImxFaults::describe() const {
  std::string s;
  auto add = [&s](const std::string& w) { s += (s.empty() ? "" : " ") + w; };
  if (silent) add("silent");
  if (midAnswer) add("mid-answer=" + std::to_string(midAnswer));
  if (incomplete) add("incomplete");
  if (chattyMs) add("chatty=" + std::to_string(chattyMs));
  if (slowMs) add("slow=" + std::to_string(slowMs));
  if (corruptWrite) add("corrupt-write=" + std::to_string(corruptWrite));
  return s;
}

ImxRom::ImxRom(const ImxConfig& config) : cfg_(config) {}

void ImxRom::noteFirstCommand() {
  if (!stats_.firstCommandUs) stats_.firstCommandUs = SteadyUs();
}

void ImxRom::restart() {
  state_ = State::Rom;
  out_.clear();
  hidOut_.clear();
  serialCmd_.clear();
  writing_ = false;
  writeBytes_.clear();
  images_.clear();
  start_ = 0;
  nextChatter_ = 0;
  stats_.firstCommandUs = 0;
}

bool ImxRom::fire(const std::string& word) {
  ++stats_.faultsFired[word];
  return true;
}

uint32_t ImxRom::registerValue(uint32_t address) const {
  if (address == kImxFuseLow) return cfg_.fingerprint[3];
  if (address == kImxFuseHigh) return cfg_.fingerprint[2];
  auto it = cfg_.registers.find(address);
  return it == cfg_.registers.end() ? 0 : it->second;
}

std::vector<uint8_t> ImxRom::imageAt(uint32_t address) const {
  auto it = images_.find(address);
  return it == images_.end() ? std::vector<uint8_t>() : it->second;
}

void ImxRom::answer(std::vector<uint32_t> words, uint64_t now) {
  std::vector<uint8_t> payload;
  for (size_t i = 1; i < words.size(); ++i) PutLE32(payload, words[i]);
  answerBytes(true, std::move(payload), now);
}

void ImxRom::answerBytes(bool security, std::vector<uint8_t> payload, uint64_t now) {
  if (cfg_.faults.slowMs) fire("slow");
  out_.push_back({now + cfg_.faults.slowMs, security, std::move(payload)});
}

uint8_t ImxRom::memoryByte(uint32_t address) const {
  auto it = images_.upper_bound(address);
  if (it != images_.begin()) {
    --it;
    if (uint64_t(address) < uint64_t(it->first) + it->second.size()) return it->second[address - it->first];
  }
  return uint8_t(registerValue(address & ~3u) >> (8 * (address & 3u)));
}

void ImxRom::hidWrite(const uint8_t* data, size_t length, uint64_t now) {
  if (state_ != State::Rom || length == 0) return;
  if (data[0] == 1) {
    // A short command report reads as padded with zeros, as a fixed-size
    // report would be.
    uint8_t c[kCommandBytes] = {};
    std::copy(data + 1, data + std::min(length, kCommandBytes + 1), c);
    command(c, now, false);
  } else if (data[0] == 2) {
    if (!writing_) { ++stats_.strayData; return; }
    this->data(data + 1, length - 1, now, true);
  } else {
    ++stats_.unknown;
  }
}

bool ImxRom::hidRead(uint64_t now, std::vector<uint8_t>& report) {
  while (hidOut_.empty() && !out_.empty() && out_.front().due <= now) {
    const Answer& a = out_.front();
    if (a.security) {
      std::vector<uint8_t> r3 = {3};
      PutLE32(r3, cfg_.security);
      hidOut_.push_back(std::move(r3));
    }
    for (size_t i = 0; i < a.payload.size(); i += kReport4Bytes) {
      std::vector<uint8_t> r4 = {4};
      r4.insert(r4.end(), a.payload.begin() + long(i), a.payload.begin() + long(std::min(a.payload.size(), i + kReport4Bytes)));
      r4.resize(1 + kReport4Bytes, 0);
      hidOut_.push_back(std::move(r4));
    }
    out_.pop_front();
  }
  if (hidOut_.empty() && cfg_.faults.chattyMs && state_ == State::Rom) {
    fire("chatty");
    std::vector<uint8_t> r4 = {4};
    PutLE32(r4, cfg_.status);
    r4.resize(1 + kReport4Bytes, 0);
    hidOut_.push_back(std::move(r4));
  }
  if (hidOut_.empty()) return false;
  report = std::move(hidOut_.front());
  hidOut_.pop_front();
  return true;
}

void ImxRom::serialReceive(const uint8_t* data, size_t length, uint64_t now) {
  size_t pos = 0;
  while (pos < length && state_ == State::Rom) {
    if (writing_) {
      const size_t n = std::min<size_t>(length - pos, writeLeft_);
      this->data(data + pos, n, now, false);
      pos += n;
      continue;
    }
    serialCmd_.push_back(data[pos++]);
    if (serialCmd_.size() == sizeof kAssociation &&
        std::equal(serialCmd_.begin(), serialCmd_.end(), kAssociation)) {
      // No command starts with 0x23: the host's association word, answered in kind.
      ++stats_.associations;
      noteFirstCommand();
      serialCmd_.clear();
      answerBytes(false, std::vector<uint8_t>(kAssociation, kAssociation + sizeof kAssociation), now);
      continue;
    }
    if (serialCmd_.size() == kCommandBytes) {
      std::vector<uint8_t> c;
      c.swap(serialCmd_);
      command(c.data(), now, true);
    }
  }
}

void ImxRom::chatter(uint64_t now) {
  if (!cfg_.faults.chattyMs || state_ != State::Rom) return;
  if (nextChatter_ == 0) nextChatter_ = now;
  // A world that looks late catches up with a bounded burst.
  for (int i = 0; nextChatter_ <= now && i < kMaxChatterBurst; ++i) {
    fire("chatty");
    std::vector<uint8_t> status;
    PutLE32(status, cfg_.status);
    out_.push_back({now, true, std::move(status)});
    nextChatter_ += cfg_.faults.chattyMs;
  }
  if (nextChatter_ <= now) nextChatter_ = now + cfg_.faults.chattyMs;
}

std::vector<uint8_t> ImxRom::serialTakeDue(uint64_t now) {
  chatter(now);
  std::vector<uint8_t> bytes;
  while (!out_.empty() && out_.front().due <= now) {
    if (out_.front().security) PutLE32(bytes, cfg_.security);
    bytes.insert(bytes.end(), out_.front().payload.begin(), out_.front().payload.end());
    out_.pop_front();
  }
  return bytes;
}

uint64_t ImxRom::nextDeadline() const {
  uint64_t d = out_.empty() ? UINT64_MAX : out_.front().due;
  if (cfg_.faults.chattyMs && state_ == State::Rom && nextChatter_ && nextChatter_ < d) d = nextChatter_;
  return d;
}

void ImxRom::command(const uint8_t* c, uint64_t now, bool serial) {
  if (writing_) writing_ = false;  // a command ends a write file still waiting for data
  const uint16_t type = uint16_t(c[0] << 8 | c[1]);
  const uint32_t address = BigEndian32(c + 2);
  const uint32_t count = BigEndian32(c + 7);
  ++stats_.commands[type];
  switch (type) {
    case 0x0505:
      noteFirstCommand();
      if (cfg_.faults.silent) { fire("silent"); return; }
      answer({cfg_.security, cfg_.status}, now);
      return;
    case 0x0404:
      if (count > cfg_.ramLimit) { answer({cfg_.security, kImxFailStatus}, now); return; }
      writing_ = true;
      writeAddress_ = address;
      writeLeft_ = count;
      writeReports_ = 0;
      writeBytes_.clear();
      midAnswered_ = false;
      if (count == 0) finishWrite(now);
      return;
    case 0x0B0B: {
      ++stats_.jumps;
      if (stats_.firstCommandUs) stats_.loadUs = SteadyUs() - stats_.firstCommandUs;
      bool known = false;
      for (const auto& img : images_) {
        if (address < img.first || uint64_t(address) >= uint64_t(img.first) + img.second.size()) continue;
        const auto& p = cfg_.loaderPrefix;
        known = img.second.size() >= p.size() && std::equal(p.begin(), p.end(), img.second.begin());
        break;
      }
      if (known) {
        if (serial) answer({cfg_.security, cfg_.status}, now);
        else answer({cfg_.security}, now);
        ++stats_.loaderStarts;
        start_ = address;
        state_ = State::Started;
      } else {
        ++stats_.badJumps;
        answer({cfg_.security, kImxFailStatus}, now);
        if (cfg_.silentAfterBadJump) state_ = State::Silent;
      }
      return;
    }
    case 0x0101: {
      // The format is the access width in bits (8, 16 or 32); the count is
      // in bytes, at least one access and rounded up to whole accesses.
      const uint8_t format = c[6];
      const uint32_t unit = format == 0x08 ? 1 : format == 0x10 ? 2 : 4;
      const uint32_t n = std::min<uint32_t>(kMaxReadBytes, std::max(unit, (std::min(count, kMaxReadBytes) + unit - 1) / unit * unit));
      std::vector<uint8_t> bytes(n);
      for (uint32_t i = 0; i < n; ++i) bytes[i] = memoryByte(address + i);
      answerBytes(true, std::move(bytes), now);
      return;
    }
    default:
      ++stats_.unknown;
      return;
  }
}

void ImxRom::data(const uint8_t* d, size_t length, uint64_t now, bool report) {
  const size_t n = std::min<size_t>(length, writeLeft_);  // bytes beyond the count are dropped
  writeBytes_.insert(writeBytes_.end(), d, d + n);
  writeLeft_ -= uint32_t(n);
  stats_.dataBytes += n;
  if (report) {
    ++stats_.dataReports;
    ++writeReports_;
  }
  const uint64_t done = report ? writeReports_ : writeBytes_.size() / kSerialReportEquivalent;
  if (cfg_.faults.midAnswer && !midAnswered_ && writeLeft_ > 0 && done >= cfg_.faults.midAnswer) {
    midAnswered_ = true;
    fire("mid-answer");
    answer({cfg_.security, kImxFailStatus}, now);
  }
  if (writeLeft_ == 0) finishWrite(now);
}

void ImxRom::finishWrite(uint64_t now) {
  writing_ = false;
  // A new image replaces every image it overlaps.
  const uint64_t end = uint64_t(writeAddress_) + writeBytes_.size();
  for (auto it = images_.begin(); it != images_.end();) {
    const uint64_t itEnd = uint64_t(it->first) + it->second.size();
    if (it->first < end && writeAddress_ < itEnd) it = images_.erase(it);
    else ++it;
  }
  if (cfg_.faults.corruptWrite && cfg_.faults.corruptWrite <= writeBytes_.size()) {
    fire("corrupt-write");
    writeBytes_[cfg_.faults.corruptWrite - 1] ^= 0xFF;
  }
  if (!writeBytes_.empty()) images_[writeAddress_] = std::move(writeBytes_);
  writeBytes_.clear();
  if (cfg_.faults.incomplete) {
    fire("incomplete");
    answer({cfg_.security, kImxFailStatus}, now);
  } else {
    answer({cfg_.security, kImxWriteComplete}, now);
  }
}

}  // namespace ksim
