// The module side of the firmware-upgrade command set (command 95).
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>

#include "common/aError.h"
#include "sim/SimModule.h"

namespace ksim {

namespace {
constexpr uint8_t kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5,
                  kReboot = 6, kStatus = 7, kDataUEI = 10;

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", unsigned(v));
  return buf;
}

// The target's little-endian word in the flash (0xFFFFFFFF where erased).
uint32_t FlashWord(const Flash& flash, uint32_t address) {
  std::vector<uint8_t> b = flash.read(address, 4);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
}  // namespace

bool Module::fire(const std::string& word, uint32_t times) {
  if (times == 0) return false;
  auto start = cfg_.faults.startAt.find(word);
  if (start != cfg_.faults.startAt.end() && ++chances_[word] < start->second) return false;
  auto it = stats_.faultsFired.find(word);
  if (times != kAlways && it != stats_.faultsFired.end() && it->second >= times) return false;
  ++stats_.faultsFired[word];
  return true;
}

bool Module::deaf() {
  const Faults& f = cfg_.faults;
  if (!f.mute) return false;
  ++packetsHeard_;
  bool was = muted_;
  muted_ = packetsHeard_ >= f.muteFrom && (f.muteCount == kAlways || packetsHeard_ - f.muteFrom < f.muteCount);
  if (muted_ && !was) {
    ++stats_.faultsFired["mute"];
    log("fault: deaf from packet " + std::to_string(packetsHeard_) + " on");
  } else if (was && !muted_) {
    log("fault: hearing again from packet " + std::to_string(packetsHeard_) + " on");
  }
  return muted_;
}

namespace {

// The firmware's own information: 32 bytes after the vector table, the
// text "KORVEX NAME BUILD VERSION". False when the image carries none.
bool ImageInformation(const Flash& flash, uint32_t& build, uint32_t& version) {
  if (flash.empty()) return false;
  const std::vector<uint8_t> bytes = flash.read(flash.lowest() + 32, 32);
  std::string text(bytes.begin(), std::find(bytes.begin(), bytes.end(), uint8_t(0)));
  std::istringstream words(text);
  std::string mark, name, buildText, versionText;
  if (!(words >> mark >> name >> buildText >> versionText) || mark != "KORVEX") return false;
  if (buildText.empty() || buildText.size() > 9 || buildText.find_first_not_of("0123456789") != std::string::npos)
    return false;
  uint32_t packed = 0;
  if (!ParseVersionText(versionText, packed)) return false;
  build = uint32_t(std::stoul(buildText));
  version = packed;
  return true;
}

}  // namespace

void Module::rebootIntoFirmware() {
  loader_ = false;
  // The firmware that was sent runs: its build and version come from the
  // image, unless the world names them.
  uint32_t imageBuild = 0, imageVersion = 0;
  if (!cfg_.newVersion && !cfg_.newBuild && cfg_.buildFromFlash < 0 &&
      ImageInformation(flash_, imageBuild, imageVersion)) {
    build_ = imageBuild;
    version_ = imageVersion;
    log("runs build " + std::to_string(build_) + " from the image's information");
  }
  if (cfg_.newVersion) version_ = cfg_.newVersion;
  if (cfg_.newBuild) build_ = cfg_.newBuild;
  if (cfg_.serialFromFlash >= 0) {
    serial_ = FlashWord(flash_, uint32_t(cfg_.serialFromFlash));
    log("serial number " + Hex(serial_) + " from the flash at " + Hex(uint32_t(cfg_.serialFromFlash)));
  }
  if (cfg_.buildFromFlash >= 0) {
    build_ = FlashWord(flash_, uint32_t(cfg_.buildFromFlash));
    log("build " + std::to_string(build_) + " from the flash at " + Hex(uint32_t(cfg_.buildFromFlash)));
  }
}

void Module::leaveLink(Module& link, LinkAction action, uint32_t awayMs, uint64_t now) {
  if (&link == this) {
    queueAction(link, action, awayMs, now);
    return;
  }
  if (awayMs == ModuleConfig::kNever) {
    silentUntil_ = UINT64_MAX;
    log("gone from the bus for good");
  } else if (cfg_.bootMs) {
    silentUntil_ = now + cfg_.bootMs;
    log("booting: silent on the bus for " + std::to_string(cfg_.bootMs) + " ms");
  }
}

void Module::handleUpgrade(const Packet& p, uint64_t now, Module& link) {
  if (p.size < 2) return;
  const Faults& f = cfg_.faults;
  uint8_t option = p.data[1];

  // Data bytes taken into the pending chunk, by DATA or by a byte array.
  auto take = [&](const uint8_t* bytes, size_t n) {
    pending_.insert(pending_.end(), bytes, bytes + n);
    for (size_t i = 0; i < n; ++i) sum_ += bytes[i];
    stats_.upgradeBytes += n;
  };
  auto checkDisconnect = [&]() {
    if (f.disconnectAfter >= 0 && stats_.upgradeBytes >= uint64_t(f.disconnectAfter) &&
        fire("disconnect-after", 1)) {
      log("fault: dropping the link after " + std::to_string(stats_.upgradeBytes) + " bytes of firmware");
      queueAction(link, LinkAction::Drop, 0, now);
    }
  };
  // Loader blocks have no WRITE step: what is pending when the next block is
  // prepared (or the loader started) is the loader's code.
  auto keepLoaderCode = [&]() {
    if (!pending_.empty()) ram_.write(prepared_, pending_);
    pending_.clear();
    sum_ = 0;
  };

  switch (option) {
    case kInit: {
      ++stats_.inits;
      pending_.clear();
      sum_ = 0;
      // The upgrade erases the firmware's flash; until the next INIT it can
      // be programmed once.
      if (cfg_.programOnce) flash_.clear();
      Packet r(cfg_.address, {kCmdUpgrade, kInit});
      r.push32(cfg_.loadBase);
      if (fire("init-short", f.initShort ? kAlways : 0)) r.size = 5;
      log("upgrade INIT (load base " + Hex(cfg_.loadBase) + ")");
      send(link, r, now);
      return;
    }
    case kPrepare: {
      ++stats_.prepares;
      keepLoaderCode();
      uint8_t status = 0;
      if (p.size < 7) {
        status = 1;
      } else {
        prepared_ = Get32(p.data + 3);
        if (fire("prepare-status", f.prepareStatus ? kAlways : 0)) status = 1;
      }
      uint16_t size = fire("block-size-0", f.blockSizeZero ? kAlways : 0) ? 0 : cfg_.blockSize;
      Packet r(cfg_.address, {kCmdUpgrade, kStatus, status});
      r.push16(size);
      if (fire("short-prepare", f.shortPrepare)) {
        r.size -= 1;
        log("fault: a short PREPARE answer");
      }
      send(link, r, now);
      return;
    }
    case kData: {
      ++stats_.dataPackets;
      size_t n = p.size - 2u;
      if (n == 0) return;
      if (fire("wrong-data-count", f.wrongDataCount)) {
        log("fault: refusing a DATA packet with a wrong count");
        send(link, Packet(cfg_.address, {kCmdUpgrade, kData, uint8_t(n - 1)}), now);
        return;
      }
      take(p.data + 2, n);
      ++dataPackets_;
      if (f.dropDataAck && dataPackets_ >= f.dropDataAck && fire("drop-data-ack", f.dropDataAckCount)) {
        log("fault: not acknowledging DATA packet " + std::to_string(dataPackets_));
      } else {
        Packet r(cfg_.address, {kCmdUpgrade, kData, uint8_t(n)});
        if (fire("short-data-ack", f.shortDataAck)) {
          r.size = 2;
          log("fault: a DATA ack without its count");
        }
        if (fire("late-data-ack", f.lateDataAckMs ? f.lateDataAckCount : 0)) {
          extraDelayMs_ += f.lateDataAckMs;
          log("fault: DATA packet " + std::to_string(dataPackets_) + " acknowledged " +
              std::to_string(f.lateDataAckMs) + " ms late");
        }
        send(link, r, now);
      }
      checkDisconnect();
      return;
    }
    case kDataUEI | kOpSet: {
      uint8_t index = p.size >= 3 ? (p.data[2] & 0x1F) : 0;
      if (!cfg_.ueiData) return sendError(link, kCmdUpgrade, kDataUEI | kOpAck, index, aErrUnimplemented, now);
      std::vector<uint8_t> bytes;
      if (!collectRun(p, bytes, link, now)) return;
      ++stats_.dataArrays;
      if (fire("uei-data-error", f.ueiDataError)) {
        log("fault: a byte array of " + std::to_string(bytes.size()) + " bytes answered with error " +
            std::to_string(f.ueiDataErrorCode));
        return sendError(link, kCmdUpgrade, kDataUEI | kOpAck, index, f.ueiDataErrorCode, now);
      }
      take(bytes.data(), bytes.size());
      send(link, Packet(cfg_.address, {kCmdUpgrade, kDataUEI | kOpAck, index}), now);
      checkDisconnect();
      return;
    }
    case kSum: {
      ++stats_.sums;
      uint32_t sum = sum_;
      if (fire("wrong-sum", f.wrongSum)) {
        sum += 1;
        log("fault: reporting a wrong sum");
      }
      Packet r(cfg_.address, {kCmdUpgrade, kStatus, 0});
      r.push32(sum);
      if (fire("short-sum", f.shortSum)) {
        r.size -= 1;
        log("fault: a short SUM answer");
      }
      send(link, r, now);
      return;
    }
    case kWrite: {
      ++stats_.writes;
      size_t length = p.size >= 4 ? Get16(p.data + 2) : pending_.size();
      uint8_t status = 0;
      if (pending_.empty() || length != pending_.size()) {
        status = 1;
        log("WRITE of " + std::to_string(length) + " bytes refused: " +
            std::to_string(pending_.size()) + " bytes pending");
      } else if (length > cfg_.blockSize) {
        status = 1;
        log("WRITE of " + std::to_string(length) + " bytes refused: the block size is " +
            std::to_string(cfg_.blockSize));
      } else if (fire("write-status", f.writeStatus)) {
        status = 1;
        log("fault: WRITE answered with status 1, nothing written");
      } else {
        size_t twice = 0;
        if (cfg_.programOnce) twice = flash_.program(prepared_, pending_);
        else flash_.write(prepared_, pending_);
        if (twice) {
          ++stats_.doubleWrites;
          stats_.doubleWriteBytes += twice;
          log("double write: " + std::to_string(twice) + " of " + std::to_string(length) + " bytes at " +
              Hex(prepared_) + " were programmed before without an erase");
          if (fire("double-write-status", f.doubleWriteStatus ? kAlways : 0)) status = 1;
        }
        prepared_ += uint32_t(length);
        ++stats_.chunksWritten;
      }
      pending_.clear();
      sum_ = 0;
      send(link, Packet(cfg_.address, {kCmdUpgrade, kStatus, status}), now);
      return;
    }
    case kLoad: {
      keepLoaderCode();
      ++stats_.loads;
      loader_ = true;
      log(std::string("LOAD: restarting into the loader") +
          (cfg_.loaderDeadead ? " as serial number DEADDEAD" : ""));
      if (fire("no-load-reply", f.noLoadReply ? kAlways : 0)) log("fault: LOAD not answered");
      else send(link, Packet(cfg_.address, {kCmdUpgrade, kLoad}), now);
      leaveLink(link, LinkAction::EnterLoader, cfg_.loaderAwayMs, now);
      return;
    }
    case kReboot: {
      ++stats_.reboots;
      rebootIntoFirmware();
      std::string error;
      if (!dumpFlash(error)) log("cannot save the flash: " + error);
      log("REBOOT into the new firmware (" + std::to_string(stats_.chunksWritten) + " chunks written)");
      restart();
      if (fire("reboot-keeps-link", f.rebootKeepsLink ? kAlways : 0)) {
        log("fault: the link stays up through the reboot");
        return;
      }
      leaveLink(link, LinkAction::Drop, cfg_.rebootAwayMs, now);
      return;
    }
    default:
      log("unknown upgrade option " + std::to_string(option) + " ignored");
      return;
  }
}

}  // namespace ksim
