#include "sim/SimLpcIsp.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace ksim {

namespace {

constexpr size_t kMaxLine = 512;         // longer lines are cut (a real UART buffer is smaller)
constexpr uint32_t kBytesPerLine = 45;
constexpr uint32_t kLinesPerChecksum = 20;
constexpr size_t kMaxQueued = size_t(1) << 20;  // characters not yet due (a whole flash read fits)

// "123" to a number up to 0xFFFFFFFF; false for anything else.
bool Decimal(const std::string& text, long long& out) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::stoll(text);
  return out <= 0xFFFFFFFFLL;
}

char UuChar(uint32_t v) { return v ? char(v + 32) : '`'; }

std::string UuEncode(const uint8_t* data, uint32_t n) {
  std::string s(1, char(n + 32));
  for (uint32_t i = 0; i < n; i += 3) {
    uint32_t b0 = data[i], b1 = i + 1 < n ? data[i + 1] : 0, b2 = i + 2 < n ? data[i + 2] : 0;
    uint32_t w = (b0 << 16) | (b1 << 8) | b2;
    for (int k = 3; k >= 0; --k) s += UuChar((w >> (6 * k)) & 0x3F);
  }
  return s;
}

// One data line into `out`; false when its length or characters are wrong.
bool UuDecode(const std::string& line, std::vector<uint8_t>& out, uint32_t& count) {
  count = 0;
  if (line.empty()) return false;
  count = uint32_t(line[0] - 32) & 0x3F;
  if (count == 0 || line.size() != 1 + 4 * ((count + 2) / 3)) return false;
  for (uint32_t i = 0, pos = 1; i < count; i += 3, pos += 4) {
    uint32_t w = 0;
    for (uint32_t k = 0; k < 4; ++k) {
      unsigned char c = static_cast<unsigned char>(line[pos + k]);
      if (c < 0x20 || c > 0x60) return false;
      w = (w << 6) | ((c - 32) & 0x3F);
    }
    for (uint32_t k = 0; k < 3 && i + k < count; ++k) out.push_back(uint8_t(w >> (16 - 8 * k)));
  }
  return true;
}

}  // namespace

int LpcIsp::SectorOf(uint32_t address) {
  if (address < 0x10000) return int(address / 0x1000);
  if (address < kLpcFlashSize) return int(16 + (address - 0x10000) / 0x8000);
  return -1;
}

uint32_t LpcIsp::SectorStart(int sector) {
  return sector < 16 ? uint32_t(sector) * 0x1000 : 0x10000 + uint32_t(sector - 16) * 0x8000;
}

LpcIsp::LpcIsp(const LpcConfig& config)
    : cfg_(config), flash_(kLpcFlashSize, 0xFF), ram_(kLpcRamSize, 0) {}

void LpcIsp::setBitRate(uint32_t bitsPerSecond) {
  if (bitsPerSecond) charUs_ = std::max<uint64_t>(1, (10000000ull + bitsPerSecond - 1) / bitsPerSecond);
}

void LpcIsp::fired(const std::string& fault) {
  ++stats_.faultsFired[fault];
  log("fault " + fault);
}

void LpcIsp::emit(const std::string& text) {
  for (char c : text) {
    if (out_.size() - outHead_ >= kMaxQueued) {  // a host typing faster than the line: overrun
      ++stats_.overruns;
      continue;
    }
    uint64_t t = std::max({nowUs_, lineFreeUs_, busyUntilUs_}) + charUs_;
    lineFreeUs_ = t;
    out_.push_back({t, c});
  }
}

void LpcIsp::busy(uint64_t us) {
  busyUntilUs_ = std::max({busyUntilUs_, nowUs_, lineFreeUs_}) + us;
}

void LpcIsp::answer(int code) {
  if (cfg_.faults.strayAnswers) {
    if (cfg_.faults.strayAnswers != kLpcAlways) --cfg_.faults.strayAnswers;
    emit(std::string("\r\n\0", 3));
    fired("stray-bytes");
  }
  emit(std::to_string(code) + "\r\n");
}

std::string LpcIsp::takeDue(uint64_t nowUs) {
  std::string s;
  while (outHead_ < out_.size() && out_[outHead_].first <= nowUs) s += out_[outHead_++].second;
  if (outHead_ == out_.size()) {
    out_.clear();
    outHead_ = 0;
  } else if (outHead_ > 4096) {
    out_.erase(out_.begin(), out_.begin() + std::ptrdiff_t(outHead_));
    outHead_ = 0;
  }
  return s;
}

std::string LpcIsp::takeAll() { return takeDue(UINT64_MAX); }

uint64_t LpcIsp::nextDue() const { return outHead_ < out_.size() ? out_[outHead_].first : UINT64_MAX; }

void LpcIsp::receive(const uint8_t* data, size_t n, uint64_t nowUs) {
  nowUs_ = nowUs;
  if (cfg_.faults.silent) {
    if (n && stats_.faultsFired["silent"]++ == 0) log("fault silent");
    return;
  }
  // The line carries one character per character time: what the host
  // writes faster than that arrives later, as through a real UART, so the
  // echo and the answers keep the line's pace in both directions.
  for (size_t i = 0; i < n; ++i) {
    rxFreeUs_ = std::max(rxFreeUs_, nowUs) + charUs_;
    nowUs_ = rxFreeUs_;
    stats_.hostAheadMax = std::max<uint64_t>(stats_.hostAheadMax, (rxFreeUs_ - nowUs) / charUs_);
    onByte(data[i]);
  }
}

void LpcIsp::onByte(uint8_t c) {
  if (state_ == State::Running) return;
  if (state_ == State::Opening) {
    if (c != '?') return;  // the ROM measures the rate on "?" and ignores the rest
    ++stats_.commands['?'];
    emit(cfg_.faults.wrongSync ? "Synchronised\r\n" : "Synchronized\r\n");
    if (cfg_.faults.wrongSync) fired("wrong-sync");
    state_ = State::SyncText;
    line_.clear();
    return;
  }
  if (echo_) {
    if (state_ == State::Command && line_.empty() && cfg_.faults.dropEcho && c != '\r' && c != '\n') {
      if (cfg_.faults.dropEcho != kLpcAlways) --cfg_.faults.dropEcho;
      fired("drop-echo");
    } else {
      emit(std::string(1, char(c)));
    }
  }
  if (c != '\n') {
    if (line_.size() < kMaxLine) line_ += char(c);
    return;
  }
  std::string line = line_;
  line_.clear();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  onLine(line);
}

void LpcIsp::onLine(const std::string& line) {
  switch (state_) {
    case State::SyncText:
      if (line == "Synchronized") {
        emit("OK\r\n");
        state_ = State::Crystal;
      } else {
        log("sync: \"" + line + "\" is not the synchronisation text");
        state_ = State::Opening;
      }
      break;
    case State::Crystal: {
      long long khz = 0;
      if (Decimal(line, khz)) {
        emit("OK\r\n");
        state_ = State::Command;
        ++stats_.syncs;
        log("synchronised, crystal " + line + " kHz");
      } else {
        log("sync: \"" + line + "\" is not a crystal frequency");
        state_ = State::Opening;
      }
      break;
    }
    case State::Command: command(line); break;
    case State::WriteData: writeLine(line); break;
    case State::ReadData: readAnswer(line); break;
    default: break;
  }
}

void LpcIsp::command(const std::string& line) {
  if (line.empty()) return;  // a bare line end: nothing to answer
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < line.size() && words.size() <= 5) {
    size_t next = line.find(' ', pos);
    if (next == std::string::npos) next = line.size();
    if (next > pos) words.push_back(line.substr(pos, next - pos));
    pos = next + 1;
  }
  if (words.empty()) return;
  const char letter = words[0].size() == 1 ? words[0][0] : '\0';
  ++stats_.commands[letter ? letter : '*'];
  if (cfg_.faults.silentAt && ++linesTaken_ >= cfg_.faults.silentAt) {
    cfg_.faults.silent = true;  // this line and everything after it go unanswered
    fired("silent");
    log("fault silent from command line " + std::to_string(linesTaken_) + " on");
    return;
  }
  // Numeric arguments (G's last one is its mode letter).
  std::vector<long long> a(5, 0);
  size_t argc = words.size() - 1;
  for (size_t i = 1; i < words.size() && i <= 4; ++i) {
    if (letter == 'G' && i == 2) continue;
    if (!Decimal(words[i], a[i - 1])) {
      if (letter && std::string("UBAPEWRCGNJKM").find(letter) != std::string::npos) {
        answer(kLpcParamError);
        return;
      }
    }
  }
  auto forced = cfg_.faults.errors.find(letter);
  const auto at = cfg_.faults.errorAt.find(letter);
  const bool thisTime =
      at == cfg_.faults.errorAt.end() || uint32_t(stats_.commands[letter]) == at->second;
  if (letter && forced != cfg_.faults.errors.end() && thisTime) {
    fired(std::string("error=") + letter);
    answer(forced->second);
    return;
  }
  int code = kLpcSuccess;
  switch (letter) {
    case 'U':
      if (argc != 1) { code = kLpcParamError; break; }
      unlocked_ = a[0] == kLpcUnlockCode;
      code = unlocked_ ? kLpcSuccess : kLpcInvalidCode;
      break;
    case 'B':
      if (argc != 2) { code = kLpcParamError; break; }
      if (a[0] != 1200 && a[0] != 2400 && a[0] != 4800 && a[0] != 9600 && a[0] != 19200 && a[0] != 38400 &&
          a[0] != 57600 && a[0] != 115200 && a[0] != 230400)
        code = kLpcInvalidBaudRate;
      else if (a[1] != 1 && a[1] != 2)
        code = kLpcInvalidStopBit;
      break;
    case 'A':
      if (argc != 1 || a[0] > 1) { code = kLpcParamError; break; }
      answer(kLpcSuccess);  // still under the old echo setting, as its line was
      echo_ = a[0] == 1;
      return;
    case 'P':
    case 'E': code = prepareOrErase(letter, a, argc); break;
    case 'W':
      code = startWrite(a, argc);
      answer(code);
      if (code == kLpcSuccess) state_ = State::WriteData;
      return;
    case 'R':
      code = startRead(a, argc);
      answer(code);
      if (code == kLpcSuccess) {
        state_ = State::ReadData;
        sendReadBlock();
      }
      return;
    case 'C': code = copy(a, argc); break;
    case 'M': {
      uint32_t offset = 0;
      code = compare(a, argc, offset);
      answer(code);
      if (code == kLpcCompareError) emit(std::to_string(offset) + "\r\n");
      return;
    }
    case 'G':
      if (argc != 2 || (words[2] != "T" && words[2] != "A")) { code = kLpcParamError; break; }
      if (!unlocked_) { code = kLpcCmdLocked; break; }
      if (words[2] == "A") { code = kLpcParamError; break; }  // Thumb only
      if (a[0] >= kLpcFlashSize && !(a[0] >= kLpcRamBase && a[0] < kLpcRamBase + kLpcRamSize)) {
        code = kLpcAddrNotMapped;
        break;
      }
      answer(kLpcSuccess);
      state_ = State::Running;
      log("G " + words[1] + ": leaving ISP, the program runs");
      return;
    case 'N':
      if (argc) { code = kLpcParamError; break; }
      answer(kLpcSuccess);
      for (uint32_t w : cfg_.id) emit(std::to_string(w) + "\r\n");
      return;
    case 'J':
      if (argc) { code = kLpcParamError; break; }
      answer(kLpcSuccess);
      emit(std::to_string(cfg_.partNumber) + "\r\n");
      return;
    case 'K':
      if (argc) { code = kLpcParamError; break; }
      answer(kLpcSuccess);
      emit(std::to_string(cfg_.bootMajor) + "\r\n" + std::to_string(cfg_.bootMinor) + "\r\n");
      return;
    default: code = kLpcInvalidCommand; break;
  }
  answer(code);
}

int LpcIsp::prepareOrErase(char letter, const std::vector<long long>& a, size_t argc) {
  if (argc != 2) return kLpcParamError;
  if (a[0] >= kLpcSectors || a[1] >= kLpcSectors || a[1] < a[0]) return kLpcInvalidSector;
  int first = int(a[0]), last = int(a[1]);
  if (letter == 'P') {
    prepFirst_ = first;
    prepLast_ = last;
    return kLpcSuccess;
  }
  if (!unlocked_) return kLpcCmdLocked;
  bool prepared = prepFirst_ >= 0 && prepFirst_ <= first && last <= prepLast_;
  prepFirst_ = prepLast_ = -1;  // a prepare serves one erase or copy
  if (!prepared) return kLpcSectorNotPrepared;
  uint32_t from = SectorStart(first), to = last + 1 < kLpcSectors ? SectorStart(last + 1) : kLpcFlashSize;
  std::fill(flash_.begin() + from, flash_.begin() + to, 0xFF);
  stats_.sectorsErased += uint64_t(last - first + 1);
  busy(uint64_t(cfg_.eraseMs) * 1000);  // one erase time for any consecutive range
  return kLpcSuccess;
}

bool LpcIsp::ramRange(long long address, long long n) const {
  return address >= kLpcRamBase && address + n <= kLpcRamBase + kLpcRamSize;
}

int LpcIsp::startWrite(const std::vector<long long>& a, size_t argc) {
  if (argc != 2) return kLpcParamError;
  if (a[0] % 4) return kLpcAddrError;
  if (a[1] == 0 || a[1] % 4) return kLpcCountError;
  if (a[0] < kLpcRamWritable || !ramRange(a[0], a[1])) return kLpcAddrNotMapped;
  xferAddr_ = uint32_t(a[0]);
  xferCount_ = uint32_t(a[1]);
  xferDone_ = blockStart_ = blockSum_ = blockLines_ = 0;
  blockBad_ = awaitChecksum_ = false;
  block_.clear();
  return kLpcSuccess;
}

void LpcIsp::writeLine(const std::string& line) {
  if (!awaitChecksum_) {
    ++stats_.dataLinesIn;
    ++blockLines_;
    uint32_t count = 0;
    size_t before = block_.size();
    if (!UuDecode(line, block_, count)) blockBad_ = true;
    uint32_t left = xferCount_ - xferDone_;
    if (count > left) {
      blockBad_ = true;
      count = left;
    }
    if (count == 0) count = std::min<uint32_t>(left, kBytesPerLine);  // a broken line stands for a full one
    block_.resize(before + count, 0);
    for (size_t i = before; i < block_.size(); ++i) blockSum_ += block_[i];
    xferDone_ += count;
    if (blockLines_ >= kLinesPerChecksum || xferDone_ >= xferCount_) awaitChecksum_ = true;
    return;
  }
  long long sum = -1;
  bool ok = Decimal(line, sum) && !blockBad_ && uint32_t(sum) == blockSum_;
  if (ok && cfg_.faults.resends) {
    --cfg_.faults.resends;
    fired("resend");
    ok = false;
  } else if (ok) {
    ++stats_.checksumsOk;
  } else {
    ++stats_.checksumsBad;
    log("W: checksum " + line + " refused (received sum " + std::to_string(blockSum_) + ")");
  }
  if (ok) {
    std::copy(block_.begin(), block_.end(), ram_.begin() + (xferAddr_ + blockStart_ - kLpcRamBase));
    stats_.bytesWritten += block_.size();
    blockStart_ = xferDone_;
    emit("OK\r\n");
    if (xferDone_ >= xferCount_) state_ = State::Command;
  } else {
    ++stats_.resendsSent;
    xferDone_ = blockStart_;
    emit("RESEND\r\n");
  }
  block_.clear();
  blockSum_ = blockLines_ = 0;
  blockBad_ = awaitChecksum_ = false;
}

int LpcIsp::startRead(const std::vector<long long>& a, size_t argc) {
  if (argc != 2) return kLpcParamError;
  if (a[0] % 4) return kLpcAddrError;
  if (a[1] == 0 || a[1] % 4) return kLpcCountError;
  if (!(a[0] + a[1] <= kLpcFlashSize) && !ramRange(a[0], a[1])) return kLpcAddrNotMapped;
  xferAddr_ = uint32_t(a[0]);
  xferCount_ = uint32_t(a[1]);
  xferDone_ = blockStart_ = 0;
  return kLpcSuccess;
}

void LpcIsp::sendReadBlock() {
  const uint8_t* src = xferAddr_ < kLpcFlashSize ? flash_.data() + xferAddr_ : ram_.data() + (xferAddr_ - kLpcRamBase);
  uint32_t sum = 0;
  for (uint32_t lines = 0; lines < kLinesPerChecksum && xferDone_ < xferCount_; ++lines) {
    uint32_t n = std::min(kBytesPerLine, xferCount_ - xferDone_);
    emit(UuEncode(src + xferDone_, n) + "\r\n");
    for (uint32_t i = 0; i < n; ++i) sum += src[xferDone_ + i];
    xferDone_ += n;
    ++stats_.dataLinesOut;
  }
  emit(std::to_string(sum) + "\r\n");
}

void LpcIsp::readAnswer(const std::string& line) {
  if (line == "OK") {
    blockStart_ = xferDone_;
    if (xferDone_ >= xferCount_) state_ = State::Command;
    else sendReadBlock();
  } else if (line == "RESEND") {
    ++stats_.resendsAsked;
    xferDone_ = blockStart_;
    sendReadBlock();
  } else {
    log("R: \"" + line + "\" is neither OK nor RESEND; the read ends");
    state_ = State::Command;
  }
}

int LpcIsp::copy(const std::vector<long long>& a, size_t argc) {
  if (argc != 3) return kLpcParamError;
  long long dst = a[0], src = a[1], n = a[2];
  if (!unlocked_) return kLpcCmdLocked;
  if (src % 4) return kLpcSrcAddrError;
  if (dst % 256) return kLpcDstAddrError;
  if (!ramRange(src, n)) return kLpcSrcAddrNotMapped;
  if (dst + n > kLpcFlashSize) return kLpcDstAddrNotMapped;
  if (n != 256 && n != 512 && n != 1024 && n != 4096) return kLpcCountError;
  int first = SectorOf(uint32_t(dst)), last = SectorOf(uint32_t(dst + n - 1));
  bool prepared = prepFirst_ >= 0 && prepFirst_ <= first && last <= prepLast_;
  prepFirst_ = prepLast_ = -1;
  if (!prepared) return kLpcSectorNotPrepared;
  uint8_t* to = flash_.data() + dst;
  const uint8_t* from = ram_.data() + (src - kLpcRamBase);
  uint64_t notBlank = uint64_t(std::count_if(to, to + n, [](uint8_t b) { return b != 0xFF; }));
  if (notBlank) {
    ++stats_.nonBlankWrites;
    stats_.nonBlankBytes += notBlank;
    char where[64];
    std::snprintf(where, sizeof where, "0x%05llX..0x%05llX", dst, dst + n - 1);
    log(std::string("C onto flash not erased: ") + std::to_string(notBlank) + " bytes at " + where +
        (cfg_.strictBlank ? " refused" : " programmed as old AND new"));
    if (cfg_.strictBlank) return kLpcSectorNotBlank;
  }
  for (long long i = 0; i < n; ++i) to[i] &= from[i];
  stats_.bytesCopied += uint64_t(n);
  if (cfg_.faults.corruptCopy && uint32_t(stats_.commands['C']) == cfg_.faults.corruptCopy) {
    // A cell that did not take its value: the copy still reports success.
    // It lies past the range's first 64 bytes, which a host cannot read
    // back at flash address 0 (the ROM maps its own vectors there).
    const long long at = 64 + (dst * 7 + 13) % (n - 64);
    to[at] = uint8_t(to[at] ^ 0x5A);
    fired("corrupt-copy");
  }
  busy(uint64_t(cfg_.programMs) * 1000 * uint64_t(n / 256));
  return kLpcSuccess;
}

const uint8_t* LpcIsp::memory(long long address, long long n) const {
  if (address >= 0 && address + n <= kLpcFlashSize) return flash_.data() + address;
  if (ramRange(address, n)) return ram_.data() + (address - kLpcRamBase);
  return nullptr;
}

// M address1 address2 count: flash or RAM against flash or RAM, word
// aligned, the count a multiple of 4; 10 and the offset of the first
// difference when they differ.
int LpcIsp::compare(const std::vector<long long>& a, size_t argc, uint32_t& offset) {
  if (argc != 3) return kLpcParamError;
  ++stats_.compares;
  if (a[0] % 4) return kLpcSrcAddrError;
  if (a[1] % 4) return kLpcDstAddrError;
  if (a[2] == 0 || a[2] % 4) return kLpcCountError;
  const uint8_t* first = memory(a[0], a[2]);
  const uint8_t* second = memory(a[1], a[2]);
  if (!first) return kLpcSrcAddrNotMapped;
  if (!second) return kLpcDstAddrNotMapped;
  const auto diff = std::mismatch(first, first + a[2], second);
  if (diff.first == first + a[2]) return kLpcSuccess;
  ++stats_.compareMismatches;
  offset = uint32_t(diff.first - first);
  return kLpcCompareError;
}

bool LpcIsp::dumpFlash(const std::string& path, std::string& error) const {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(flash_.data()), std::streamsize(flash_.size()));
  f.close();
  if (!f) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace ksim
