#include "recovery/SDPLoader.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "log/Log.h"

namespace {

constexpr int kStatusTries = 5;
// What the ROM sends for a command: the security word and one more word
// (a jump answers with the security word alone).
constexpr size_t kAnswerBytes = 8;
constexpr size_t kJumpAnswerBytes = 4;
constexpr size_t kCommandBytes = MAX_COMMAND_BYTES - 1;
// Reads and bytes taken at most while one answer is awaited.
constexpr int kMaxAnswerReads = 16;
constexpr size_t kMaxAnswerBytes = 4 * MAX_READ_BYTES;

// Command types.
constexpr uint16_t kCmdReadRegister = 0x0101;
constexpr uint16_t kCmdWriteFile = 0x0404;
constexpr uint16_t kCmdErrorStatus = 0x0505;
constexpr uint16_t kCmdJump = 0x0B0B;
constexpr uint8_t kFormat32 = 0x20;

constexpr size_t kMaxWordOffset = 15;
constexpr size_t kHIDAnswerBytes = 5 + MAX_READ_BYTES;  // security + status report
constexpr size_t kHIDWordStart = 6;
constexpr size_t kSerialWordStart = 4;

void PutBE16(std::vector<uint8_t>& v, uint16_t value) {
  v.push_back(static_cast<uint8_t>(value >> 8));
  v.push_back(static_cast<uint8_t>(value));
}

void PutBE32(std::vector<uint8_t>& v, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) v.push_back(static_cast<uint8_t>(value >> shift));
}

std::vector<uint8_t> Command(uint16_t type, uint32_t address, uint8_t format, uint32_t count) {
  std::vector<uint8_t> packet;
  packet.reserve(MAX_COMMAND_BYTES);
  packet.push_back(kSDPReportCommand);
  PutBE16(packet, type);
  PutBE32(packet, address);
  packet.push_back(format);
  PutBE32(packet, count);
  SDPLoader::_fillCommand(packet);
  return packet;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool WordAt(const std::vector<uint8_t>& buffer, size_t first, uint32_t& value) {
  if (first + 4 > buffer.size()) return false;
  uint32_t word = 0;
  for (size_t i = 0; i < 4; ++i) word |= static_cast<uint32_t>(buffer[first + i]) << (8 * i);
  value |= word;
  return true;
}

// A write is complete when at most the report identifier (which a serial
// line does not carry) is missing from the count.
bool WroteAll(ssize_t result, size_t size) {
  return result > 0 && static_cast<size_t>(result) + 1 >= size;
}

}  // namespace

bool SDP_WordFromHIDAnswer(const std::vector<uint8_t>& buffer, size_t offset, uint32_t& value) {
  if (buffer.size() != kHIDAnswerBytes || offset > kMaxWordOffset) return false;
  return WordAt(buffer, offset + kHIDWordStart, value);
}

bool SDP_WordFromSerialAnswer(const std::vector<uint8_t>& buffer, size_t offset, uint32_t& value) {
  if (offset > kMaxWordOffset || buffer.size() < (offset + 2) * 4) return false;
  return WordAt(buffer, offset + kSerialWordStart, value);
}

bool SDP_SecurityFromHIDAnswer(const std::vector<uint8_t>& buffer, uint32_t& value) {
  if (buffer.empty() || buffer[0] != kSDPReportSecurity) return false;
  uint32_t word = 0;
  if (!WordAt(buffer, 1, word)) return false;
  value = word;
  return true;
}

bool SDP_SecurityFromSerialAnswer(const std::vector<uint8_t>& buffer, uint32_t& value) {
  uint32_t word = 0;
  if (!WordAt(buffer, 0, word)) return false;
  value = word;
  return true;
}

SDPLoader::SDPLoader() = default;
SDPLoader::~SDPLoader() = default;

bool SDPLoader::setLoader(std::unique_ptr<SDPLoader_Interface> loader) {
  if (loader_ || !loader) return false;
  loader_ = std::move(loader);
  return true;
}

aErr SDPLoader::init() {
  if (!loader_) return aErrMemory;
  return loader_->init() ? aErrNone : aErrIO;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& packet) {
  if (packet.size() < MAX_COMMAND_BYTES) packet.resize(MAX_COMMAND_BYTES, 0);
}

std::vector<uint8_t> SDPLoader::_createStatusPacket() { return Command(kCmdErrorStatus, 0, 0, 0); }

std::vector<uint8_t> SDPLoader::_createWriteFilePacket(uint32_t address, uint32_t size) {
  return Command(kCmdWriteFile, address, kFormat32, size);
}

std::vector<uint8_t> SDPLoader::_createJumpPacket(uint32_t address) {
  return Command(kCmdJump, address, 0, 0);
}

std::vector<uint8_t> SDPLoader::_create4ByteReadRegisterPacket(uint32_t address) {
  return Command(kCmdReadRegister, address, kFormat32, 4);
}

std::vector<uint8_t> SDPLoader::_createReadMemoryPacket(uint32_t address, uint32_t bytes) {
  return Command(kCmdReadRegister, address, kFormat32, bytes);
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& bytes) {
  if (!Log::IsActive(DEBUG_iMXSerial)) return;
  for (uint8_t b : bytes) Log::log(DEBUG_iMXSerial, "%X ", b);
  Log::log(DEBUG_iMXSerial, "\n");
}

bool SDPLoader::_sendCommand(const std::vector<uint8_t>& command) {
  const ssize_t written = loader_->writeData(command);
  Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(std::max<ssize_t>(written, 0)));
  _printBuffer(command);
  return WroteAll(written, command.size());
}

uint32_t SDPLoader::answerTimeoutMs(size_t pendingBytes, size_t answerBytes) const {
  if (!loader_) return 0;
  return loader_->transferMs(pendingBytes + answerBytes) + kSDPAnswerSlackMs;
}

size_t SDPLoader::_awaitAnswer(std::vector<uint8_t>& answer, uint32_t timeoutMs, size_t wantBytes) {
  answer.clear();
  const int64_t deadline = NowMs() + timeoutMs;
  uint32_t word = 0;
  // A read-back piece may take more reads than a command's answer.
  const size_t most = std::max(kMaxAnswerBytes, wantBytes);
  const int maxReads = kMaxAnswerReads + static_cast<int>(std::min<size_t>(wantBytes / 16, 1024));
  for (int reads = 0; reads < maxReads && answer.size() < most; ++reads) {
    const int64_t left = std::max<int64_t>(deadline - NowMs(), 0);
    // Nothing until the deadline, or the device gone: the answer is what
    // came so far.
    if (loader_->readData(answer, static_cast<int>(left)) <= 0) break;
    const bool whole = wantBytes ? answer.size() >= wantBytes : loader_->getDataFromBuffer(answer, 0, word);
    if (whole || left == 0) break;
  }
  return answer.size();
}

ssize_t SDPLoader::_readAnswer(std::vector<uint8_t>& answer, uint32_t timeoutMs) {
  const ssize_t count = static_cast<ssize_t>(_awaitAnswer(answer, timeoutMs));
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", count);
  _printBuffer(answer);
  return count;
}

bool SDPLoader::_fromRom(const std::vector<uint8_t>& answer) {
  uint32_t security = 0;
  return loader_->getSecurityFromBuffer(answer, security) &&
         (security == kSDPSecurityOpen || security == kSDPSecurityClosed);
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& answer) {
  uint32_t word = 0;
  return loader_->getDataFromBuffer(answer, 0, word) && _fromRom(answer);
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& answer) {
  uint32_t word = 0;
  return loader_->getDataFromBuffer(answer, 0, word) && word == kSDPAck;
}

SDPLoader::Heard SDPLoader::_checkConnection() {
  if (!loader_) return Heard::kSilence;
  const std::vector<uint8_t> status = _createStatusPacket();
  std::vector<uint8_t> answer;
  bool heard = false;
  for (int attempt = 0; attempt < kStatusTries; ++attempt) {
    _sendCommand(status);
    _readAnswer(answer, answerTimeoutMs(kCommandBytes, kAnswerBytes));
    if (_expectResponse(answer)) return Heard::kRom;
    // A ROM's answer cut short is not a stranger's.
    heard = heard || (!answer.empty() && !_fromRom(answer));
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  if (heard) Log::log(DEBUG_iMXSerial, "Error: the device answered, but not as an iMX boot ROM\n");
  return heard ? Heard::kStranger : Heard::kSilence;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& image, uint32_t address) {
  switch (_checkConnection()) {
    case Heard::kRom: break;
    case Heard::kSilence: return kSDPWriteNoAnswer;
    case Heard::kStranger: return kSDPWriteNotRom;
  }
  // The command's count field holds 32 bits; an empty image would leave the
  // ROM waiting for nothing.
  if (image.empty() || image.size() > std::numeric_limits<uint32_t>::max()) {
    Log::log(DEBUG_iMXSerial, "Error: loader image of %zu bytes cannot be sent\n", image.size());
    return kSDPWriteFailed;
  }

  const std::vector<uint8_t> command =
      _createWriteFilePacket(address, static_cast<uint32_t>(image.size()));
  const ssize_t result = loader_->writeData(command);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", result);
  _printBuffer(command);
  if (!WroteAll(result, command.size())) {
    Log::log(DEBUG_iMXSerial, "Error: write file command not sent\n");
    return kSDPWriteFailed;
  }

  int total = 0;
  int pass = 0;
  size_t consumed = 0;
  size_t lastReport = 0;
  std::vector<uint8_t> answer;
  std::vector<uint8_t> report;
  report.reserve(MAX_WRITE_BYTES + 1);
  while (consumed < image.size()) {
    answer.clear();
    const ssize_t heard = loader_->readData(answer, 0);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", heard);
    if (heard > 0) {
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return kSDPWriteInterrupted;
    }
    const size_t piece = std::min(MAX_WRITE_BYTES, image.size() - consumed);
    report.assign(1, kSDPReportData);
    report.insert(report.end(), image.begin() + static_cast<std::ptrdiff_t>(consumed),
                  image.begin() + static_cast<std::ptrdiff_t>(consumed + piece));
    const ssize_t wrote = loader_->writeData(report);
    consumed += piece;
    lastReport = piece;
    ++pass;
    if (wrote > 0) total += static_cast<int>(wrote);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", wrote,
             total, pass, static_cast<long>(consumed), static_cast<ssize_t>(report.size()));
    // A report the transport did not take leaves a hole in the chip's RAM.
    if (!WroteAll(wrote, report.size())) {
      Log::log(DEBUG_iMXSerial, "Error: data report %d not written\n", pass);
      return kSDPWriteFailed;
    }
  }

  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
  // The last report may still be on its way when the write returns.
  _awaitAnswer(answer, answerTimeoutMs(lastReport, kAnswerBytes));
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(answer);
  uint32_t word = 0;
  if (loader_->getDataFromBuffer(answer, 0, word) && word == kSDPWriteComplete) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return kSDPWriteOk;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return kSDPWriteNotComplete;
}

aErr SDPLoader::verifyLoader(const std::vector<uint8_t>& image, uint32_t address,
                             uint32_t& firstDifference) {
  if (!loader_) return aErrRead;
  if (image.size() > std::numeric_limits<uint32_t>::max() - address) return aErrRange;
  std::vector<uint8_t> answer;
  const size_t limit = std::max<size_t>(loader_->payloadLimit() / 4 * 4, 4);
  for (size_t at = 0; at < image.size(); at += limit) {
    const size_t piece = std::min(limit, image.size() - at);
    // The ROM answers whole 32-bit accesses.
    const size_t asked = (piece + 3) / 4 * 4;
    const uint32_t from = address + static_cast<uint32_t>(at);
    if (!_sendCommand(_createReadMemoryPacket(from, static_cast<uint32_t>(asked)))) return aErrRead;
    const size_t start = loader_->payloadStart();
    _awaitAnswer(answer, answerTimeoutMs(kCommandBytes, 4 + asked), start + asked);
    if (answer.size() < start + asked || !_fromRom(answer)) return aErrRead;
    const auto read = answer.begin() + static_cast<std::ptrdiff_t>(start);
    const auto expected = image.begin() + static_cast<std::ptrdiff_t>(at);
    const auto differs = std::mismatch(expected, expected + static_cast<std::ptrdiff_t>(piece), read);
    if (differs.first != expected + static_cast<std::ptrdiff_t>(piece)) {
      firstDifference = from + static_cast<uint32_t>(differs.first - expected);
      Log::log(DEBUG_iMXSerial, "Read back differs at 0x%08X\n", firstDifference);
      return aErrWrite;
    }
  }
  return aErrNone;
}

void SDPLoader::startLoader(uint32_t entry) {
  if (!loader_) return;
  const std::vector<uint8_t> command = _createJumpPacket(entry);
  const ssize_t result = loader_->writeData(command);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", result);
  // Whatever comes back first ends the wait: a started image may answer
  // with the security word alone, or not at all.
  std::vector<uint8_t> answer;
  loader_->readData(answer, static_cast<int>(answerTimeoutMs(kCommandBytes, kJumpAnswerBytes)));
}

aErr SDPLoader::getFingerprint(uint64_t& fingerprint) {
  if (_checkConnection() != Heard::kRom) return aErrParam;
  const uint32_t addresses[2] = {kSDPFingerprintLowAddress, kSDPFingerprintHighAddress};
  uint32_t words[2] = {0, 0};
  std::vector<uint8_t> answer;
  for (size_t i = 0; i < 2; ++i) {
    if (!_sendCommand(_create4ByteReadRegisterPacket(addresses[i]))) return aErrMode;
    _readAnswer(answer, answerTimeoutMs(kCommandBytes, kAnswerBytes));
    if (!loader_->getDataFromBuffer(answer, 0, words[i])) return aErrMode;
  }
  fingerprint = static_cast<uint64_t>(words[0]) | (static_cast<uint64_t>(words[1]) << 32);
  return aErrNone;
}
