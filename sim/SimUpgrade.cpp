// The module side of the firmware-upgrade command set (command 95).
#include <cstdio>

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
}  // namespace

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
    if (f.disconnectAfter >= 0 && !disconnectDone_ && stats_.upgradeBytes >= uint64_t(f.disconnectAfter)) {
      disconnectDone_ = true;
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
      pending_.clear();
      sum_ = 0;
      Packet r(cfg_.address, {kCmdUpgrade, kInit});
      r.push32(cfg_.loadBase);
      if (f.initShort) r.size = 5;
      log("upgrade INIT (load base " + Hex(cfg_.loadBase) + ")");
      send(link, r, now);
      return;
    }
    case kPrepare: {
      keepLoaderCode();
      uint8_t status = 0;
      if (p.size < 7) {
        status = 1;
      } else {
        prepared_ = Get32(p.data + 3);
        if (f.prepareStatus) status = 1;
      }
      uint16_t size = f.blockSizeZero ? 0 : cfg_.blockSize;
      Packet r(cfg_.address, {kCmdUpgrade, kStatus, status});
      r.push16(size);
      send(link, r, now);
      return;
    }
    case kData: {
      size_t n = p.size - 2u;
      if (n == 0) return;
      if (f.wrongDataCount && !wrongCountDone_) {
        wrongCountDone_ = true;
        log("fault: refusing a DATA packet with a wrong count");
        send(link, Packet(cfg_.address, {kCmdUpgrade, kData, uint8_t(n - 1)}), now);
        return;
      }
      take(p.data + 2, n);
      ++dataPackets_;
      if (f.dropDataAck && dataPackets_ == f.dropDataAck && !dropAckDone_) {
        dropAckDone_ = true;
        log("fault: not acknowledging DATA packet " + std::to_string(dataPackets_));
      } else {
        send(link, Packet(cfg_.address, {kCmdUpgrade, kData, uint8_t(n)}), now);
      }
      checkDisconnect();
      return;
    }
    case kDataUEI | kOpSet: {
      uint8_t index = p.size >= 3 ? (p.data[2] & 0x1F) : 0;
      if (!cfg_.ueiData) return sendError(link, kCmdUpgrade, kDataUEI | kOpAck, index, aErrUnimplemented, now);
      std::vector<uint8_t> bytes;
      if (!collectRun(p, bytes, link, now)) return;
      take(bytes.data(), bytes.size());
      send(link, Packet(cfg_.address, {kCmdUpgrade, kDataUEI | kOpAck, index}), now);
      checkDisconnect();
      return;
    }
    case kSum: {
      uint32_t sum = sum_;
      if (f.wrongSum && !wrongSumDone_) {
        wrongSumDone_ = true;
        sum += 1;
        log("fault: reporting a wrong sum");
      }
      Packet r(cfg_.address, {kCmdUpgrade, kStatus, 0});
      r.push32(sum);
      send(link, r, now);
      return;
    }
    case kWrite: {
      size_t length = p.size >= 4 ? Get16(p.data + 2) : pending_.size();
      uint8_t status = 0;
      if (pending_.empty() || length != pending_.size()) {
        status = 1;
        log("WRITE of " + std::to_string(length) + " bytes refused: " +
            std::to_string(pending_.size()) + " bytes pending");
      } else {
        flash_.write(prepared_, pending_);
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
      if (f.noLoadReply) log("fault: LOAD not answered");
      else send(link, Packet(cfg_.address, {kCmdUpgrade, kLoad}), now);
      if (&link == this) queueAction(link, LinkAction::EnterLoader, 0, now);
      return;
    }
    case kReboot: {
      ++stats_.reboots;
      loader_ = false;
      if (cfg_.newVersion) version_ = cfg_.newVersion;
      if (cfg_.newBuild) build_ = cfg_.newBuild;
      std::string error;
      if (!dumpFlash(error)) log("cannot save the flash: " + error);
      log("REBOOT into the new firmware (" + std::to_string(stats_.chunksWritten) + " chunks written)");
      restart();
      if (&link == this) queueAction(link, LinkAction::Drop, cfg_.rebootAwayMs, now);
      return;
    }
    default:
      log("unknown upgrade option " + std::to_string(option) + " ignored");
      return;
  }
}

}  // namespace ksim
