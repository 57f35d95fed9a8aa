#include "sim/SimModule.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/aError.h"

namespace ksim {

namespace {


constexpr size_t kMaxRunBytes = 65536;
constexpr size_t kMaxNameBytes = 32;

}  // namespace

Module::Module(const ModuleConfig& config)
    : cfg_(config), serial_(config.serial), version_(config.version), build_(config.build),
      name_(config.name), loader_(config.startInLoader),
      answerChances_(config.faults.answers.size()),
      muted_(config.faults.mute && config.faults.muteFrom <= 1), slots_(config.storeSlots) {
  if (cfg_.streamPeriodMs < ModuleConfig::kMinStreamPeriodMs) cfg_.streamPeriodMs = ModuleConfig::kMinStreamPeriodMs;
  resetValues();
}

uint32_t Module::presentedSerial() const {
  return (loader_ && cfg_.loaderDeadead) ? 0xDEADDEADu : serial_;
}

void Module::attachBusModule(Module* module) {
  if (!module) return;
  if (module->cfg_.routerAddress == 0) module->cfg_.routerAddress = cfg_.address;
  bus_.push_back(module);
}

Module* Module::busModule(uint8_t address) const {
  for (Module* m : bus_)
    if (m->address() == address) return m;
  return nullptr;
}

void Module::log(const std::string& line) const {
  if (log_) log_(line);
}

void Module::linkUp(uint64_t now) {
  linkUp_ = true;
  asm_.reset();
  beatOutstanding_ = false;
  beatsMissedInRow_ = 0;
  nextBeat_ = cfg_.heartbeatMs ? now + cfg_.heartbeatMs : UINT64_MAX;
}

void Module::linkDown() {
  linkUp_ = false;
  nextBeat_ = UINT64_MAX;
  beatOutstanding_ = false;
  out_.clear();
  asm_.reset();
  runs_.clear();
  routeToMe_ = 0;
  closeSessions();
}

void Module::restart() {
  asm_.reset();
  runs_.clear();
  routeToMe_ = 0;
  pending_.clear();
  sum_ = 0;
  beatOutstanding_ = false;
  beatsMissedInRow_ = 0;
  closeSessions();
}

void Module::closeSessions() {
  streams_.clear();
  nextSample_ = UINT64_MAX;
  for (Handle& h : handles_) h = Handle();
  factory_ = FactoryTransfer();
}

void Module::receive(const uint8_t* data, size_t length, uint64_t now) {
  receiveUs(data, length, now * 1000);
}

void Module::receiveUs(const uint8_t* data, size_t length, uint64_t nowUs) {
  clockUs_ = nowUs;
  const uint64_t now = nowUs / 1000;
  Packet p;
  for (size_t i = 0; i < length; ++i) {
    if (asm_.add(data[i], p)) {
      ++stats_.packetsIn;
      handle(p, now, *this);
    }
  }
  stats_.bytesSkipped = asm_.skipped();
}

void Module::handle(const Packet& p, uint64_t now, Module& link) {
  if (deaf() || silent(now)) return;
  if (p.address == kIdentifyAddress) {
    ++stats_.identifies;
    if (p.size == 0) send(link, Packet(cfg_.address, {}), now);
    return;
  }
  if (p.address == kForceRouteAddress) {
    if (p.size >= 1 && p.data[0] != forceRoute_) {
      forceRoute_ = p.data[0];
      log(std::string("force route ") + (forceRoute_ ? "on" : "off"));
    }
    return;
  }
  if (p.address == cfg_.address) {
    handleOwn(p, now, link);
    return;
  }
  if (routing()) {
    if (Module* m = busModule(p.address)) {
      ++m->stats_.packetsIn;
      m->handle(p, now, link);
    }
  }
}

void Module::handleOwn(const Packet& p, uint64_t now, Module& link) {
  if (p.size == 0) return;
  uint8_t cmd = p.data[0];
  ++stats_.requests[cmd];
  struct DelayEnd {
    uint32_t& delay;
    ~DelayEnd() { delay = 0; }
  } delayEnd{extraDelayMs_};
  if (applyAnswerFault(p, now, link)) return;
  switch (cmd) {
    case kCmdHeartbeat:
      handleHeartbeatReply(p);
      return;
    case kCmdSystem:
      handleSystem(p, now, link);
      return;
    case kCmdI2C:
      handleI2C(p, now, link);
      return;
    case kCmdDebug: {
      Packet r(cfg_.address, {});
      for (uint8_t i = 0; i < p.size; ++i) r.push(p.data[i]);
      send(link, r, now);
      return;
    }
    case kCmdInventory:
      handleInventory(p, now, link);
      return;
    case kCmdUpgrade:
      handleUpgrade(p, now, link);
      return;
    case kCmdStream:
      handleStream(p, now, link);
      return;
    case kCmdStore:
      handleStore(p, now, link);
      return;
    case kCmdFactory:
      handleFactory(p, now, link);
      return;
    default:
      if (!IsRawCommand(cmd) && p.size >= 3) {
        uint8_t op = p.data[1] & 0xC0;
        uint8_t opt = p.data[1] & 0x3F;
        if (op == kOpGet) sendError(link, cmd, opt, p.data[2] & 0x1F, aErrUnimplemented, now);
        else if (op == kOpSet) sendError(link, cmd, opt | kOpAck, p.data[2] & 0x1F, aErrUnimplemented, now);
      }
      return;
  }
}

void Module::handleHeartbeatReply(const Packet& p) {
  if (p.size != 2) return;
  if (beatOutstanding_ && p.data[1] == uint8_t(beatValue_ + 2)) {
    beatOutstanding_ = false;
    beatsMissedInRow_ = 0;
    ++stats_.heartbeatsAnswered;
  } else if (missedBeatOpen_ && p.data[1] == uint8_t(missedBeatValue_ + 2)) {
    missedBeatOpen_ = false;
    ++stats_.heartbeatsLate;
  } else {
    ++stats_.heartbeatsWrong;
    log("heartbeat reply " + std::to_string(p.data[1]) + " does not answer beat " +
        std::to_string(beatValue_));
  }
}

void Module::tick(uint64_t now) { tickUs(now * 1000); }

void Module::tickUs(uint64_t nowUs) {
  clockUs_ = nowUs;
  const uint64_t now = nowUs / 1000;
  if (!linkUp_ || muted_) return;
  if (now >= nextSample_) sendSamples(now);
  if (nextBeat_ == UINT64_MAX || now < nextBeat_) return;
  if (beatOutstanding_) {
    ++stats_.heartbeatsMissed;
    ++beatsMissedInRow_;
    missedBeatOpen_ = true;
    missedBeatValue_ = beatValue_;
    log("heartbeat " + std::to_string(beatValue_) + " not answered");
    if (cfg_.faults.heartbeatStrict && beatsMissedInRow_ >= 3) {
      log("3 heartbeats unanswered: dropping the link");
      nextBeat_ = UINT64_MAX;
      queueAction(*this, LinkAction::Drop, 0, now);
      return;
    }
  }
  beatValue_ ^= 1;
  Packet hb(cfg_.address, {kCmdHeartbeat, beatValue_});
  send(*this, hb, now);
  ++stats_.heartbeatsSent;
  beatOutstanding_ = true;
  nextBeat_ = now + cfg_.heartbeatMs;
}

void Module::handleSystem(const Packet& p, uint64_t now, Module& link) {
  if (p.size < 3) return;
  uint8_t op = p.data[1] & 0xC0;
  uint8_t opt = p.data[1] & 0x3F;
  uint8_t index = p.data[2] & 0x1F;
  if (op == kOpGet) {
    ++stats_.systemGets[opt];
    if (index != 0) return sendError(link, kCmdSystem, opt, index, aErrIndexRange, now);
    Packet r(cfg_.address, {kCmdSystem, opt, index});
    switch (opt) {
      case 1: r.push(cfg_.address); break;
      case 2: r.push(cfg_.routerAddress); break;
      case 4: r.push(led_); break;
      case 7: r.push32(version_); break;
      case 8: r.push(cfg_.model); break;
      case 9: r.push32(presentedSerial()); break;
      case 43: r.push32(build_); break;
      case 45: r.push32(cfg_.features); break;
      case 32: {
        unsigned major, minor, patch;
        UnpackVersion(version_, major, minor, patch);
        bool named = major > 2 || (major == 2 && (minor > 10 || (minor == 10 && patch >= 4)));
        if (!named) return sendError(link, kCmdSystem, opt, index, aErrUnimplemented, now);
        return sendArray(link, kCmdSystem, opt, index,
                         std::vector<uint8_t>(name_.begin(), name_.end()), now);
      }
      default:
        if (getTableValue(p, now, link)) return;
        return sendError(link, kCmdSystem, opt, index, aErrUnimplemented, now);
    }
    return send(link, r, now);
  }
  if (op != kOpSet) return;
  ++stats_.systemSets[opt];
  uint8_t ack = opt | kOpAck;
  if (index != 0) return sendError(link, kCmdSystem, ack, index, aErrIndexRange, now);
  bool needsValue = opt == 2 || opt == 4 || opt == 20;
  if (needsValue && p.size < 4) return sendError(link, kCmdSystem, ack, index, aErrShortCommand, now);
  Packet r(cfg_.address, {kCmdSystem, ack, index});
  switch (opt) {
    case 2: cfg_.routerAddress = p.data[3]; break;
    case 4: led_ = p.data[3] ? 1 : 0; break;
    case 20:
      routeToMe_ = p.data[3];
      ++stats_.routeToMe[routeToMe_];
      log(std::string("route to me ") + (routeToMe_ == 1 ? "on" : "off"));
      break;
    case 11:
      send(link, r, now);
      ++stats_.resets;
      log("reset");
      restart();
      if (&link == this) queueAction(link, LinkAction::Drop, cfg_.resetAwayMs, now);
      return;
    case 32: {
      std::vector<uint8_t> bytes;
      if (!collectRun(p, bytes, link, now)) return;
      if (bytes.size() > kMaxNameBytes) return sendError(link, kCmdSystem, ack, index, aErrSize, now);
      name_.assign(bytes.begin(), bytes.end());
      log("name set to \"" + name_ + "\"");
      break;
    }
    default:
      if (setTableValue(p, now, link)) return;
      return sendError(link, kCmdSystem, ack, index, aErrUnimplemented, now);
  }
  send(link, r, now);
}

void Module::handleInventory(const Packet& p, uint64_t now, Module& link) {
  if (p.size < 2) return;
  Packet r(cfg_.address, {kCmdInventory, p.data[1]});
  switch (p.data[1]) {
    case 0xFF:
      r.push32(build_);
      if (cfg_.faults.shortBuild) r.size = 5;
      break;
    case 1: {  // is a UEI implemented: command, option, index, operation bits
      if (p.size < 6) return;
      uint8_t cmd = p.data[2], opt = p.data[3], index = p.data[4], ops = p.data[5];
      bool yes = false;
      if (index == 0) {
        static const uint8_t gets[] = {1, 2, 4, 7, 8, 9, 32, 43, 45};
        static const uint8_t sets[] = {2, 4, 11, 20, 32};
        bool get = std::find(std::begin(gets), std::end(gets), opt) != std::end(gets) ||
                   tableImplements(opt, kOpGet);
        bool set = std::find(std::begin(sets), std::end(sets), opt) != std::end(sets) ||
                   tableImplements(opt, kOpSet);
        if (cmd == kCmdSystem) yes = ops == kOpGet ? get : ops == kOpSet ? set : (get || set);
        if (cmd == kCmdUpgrade) yes = opt == 10 && ops != kOpGet && cfg_.ueiData;
      }
      r = Packet(cfg_.address, {kCmdInventory, 1, cmd, opt, index, uint8_t(yes ? 0 : 1)});
      break;
    }
    case 4: {  // entities of a class
      if (p.size < 3) return;
      uint8_t cmd = p.data[2];
      uint8_t count = (cmd == kCmdSystem || cmd == kCmdUpgrade || (cmd == kCmdI2C && !bus_.empty())) ? 1 : 0;
      r = Packet(cfg_.address, {kCmdInventory, 4, cmd, count});
      break;
    }
    case 5:
      if (p.size < 4) return;
      r = Packet(cfg_.address, {kCmdInventory, 5, p.data[2], p.data[3], 0});
      break;
    case 6:
      if (p.size < 4) return;
      r = Packet(cfg_.address, {kCmdInventory, 6, p.data[2], p.data[3], 0});
      break;
    default:
      return;
  }
  send(link, r, now);
}

void Module::handleI2C(const Packet& p, uint64_t now, Module& link) {
  if (p.size < 4) return;
  uint8_t index = p.data[1], target = p.data[2];
  if (p.size == 4 && target == 1) {  // pull-up switch
    send(link, Packet(cfg_.address, {kCmdI2C, index, 1, 0, 0}), now);
    return;
  }
  uint8_t busAddress = target & 0xFE;
  uint8_t length = p.data[3];
  Module* onBus = busModule(busAddress);
  bool present = onBus != nullptr && !onBus->silent(now);
  uint8_t status = 0;
  if (length > 23) status = 0x80 | aErrSize;
  else if (!present) status = 0x80 | aErrNotFound;
  if (target & 1) {  // read: bus modules answer zeros
    uint8_t count = status ? 0 : length;
    Packet r(cfg_.address, {kCmdI2C, index, target, count, status});
    for (uint8_t i = 0; i < count; ++i) r.push(0);
    send(link, r, now);
  } else {
    ++stats_.busProbes[busAddress];
    if (!status && p.size < 5u + length) status = 0x80 | aErrShortCommand;
    send(link, Packet(cfg_.address, {kCmdI2C, index, target, 0, status}), now);
  }
}

uint64_t Module::eventUs(uint64_t now) const {
  return clockUs_ / 1000 == now ? clockUs_ : now * 1000;
}

uint64_t Module::answerDueUs(const Module& link, uint64_t now) const {
  const uint64_t latencyUs = uint64_t(std::llround(cfg_.faults.latencyMs * 1000.0));
  return link.eventUs(now) + latencyUs + uint64_t(extraDelayMs_) * 1000;
}

void Module::send(Module& link, const Packet& p, uint64_t now) {
  Outgoing o;
  o.dueUs = answerDueUs(link, now);
  o.due = (o.dueUs + 999) / 1000;
  o.bytes = p.wire();
  const Faults& f = cfg_.faults;
  // Identify answers and the module's own heartbeats are link traffic, not
  // answers: the faults below leave them alone.
  const bool answer = p.size > 0 && p.data[0] != kCmdHeartbeat;
  if (answer && f.duplicateReplies && fire("duplicate-replies", kAlways)) {
    link.enqueue(o);
    ++stats_.packetsOut;
  }
  link.enqueue(o);
  ++stats_.packetsOut;
  if (!answer || f.flood == 0) return;
  fire("flood", kAlways);
  // Well-formed packets that answer nothing the host asked: junk of an
  // unknown command, heartbeats, and upgrade and system replies from an
  // address that is not this module's.
  const uint8_t other = uint8_t(cfg_.address == 0xFE ? 2 : cfg_.address + 2);
  for (uint32_t i = 0; i < f.flood; ++i) {
    const uint8_t n = uint8_t(floodNext_++);
    Packet junk;
    switch (n % 5) {
      case 0: junk = Packet(cfg_.address, {0x7E, n, 0xA5, 0x5A}); break;
      case 1: junk = Packet(cfg_.address, {kCmdHeartbeat, uint8_t(n & 1)}); break;
      case 2: junk = Packet(other, {kCmdUpgrade, 1, 26}); break;
      case 3: junk = Packet(other, {kCmdUpgrade, 7, 0, 2, 0}); break;
      default: junk = Packet(other, {kCmdSystem, 7, 0, 2, 11, 0, 4}); break;
    }
    o.bytes = junk.wire();
    link.enqueue(o);
    ++stats_.packetsOut;
  }
}

// Keeps the output ordered by due time; equal times keep their order.
void Module::enqueue(Outgoing o) {
  auto at = std::upper_bound(out_.begin(), out_.end(), o.dueUs,
                             [](uint64_t due, const Outgoing& e) { return due < e.dueUs; });
  out_.insert(at, std::move(o));
}

void Module::sendError(Module& link, uint8_t cmd, uint8_t option, uint8_t index, uint32_t err,
                       uint64_t now) {
  send(link, Packet(cfg_.address, {cmd, option, uint8_t(index | kSpecError), uint8_t(err)}), now);
}

void Module::sendArray(Module& link, uint8_t cmd, uint8_t option, uint8_t index,
                       const std::vector<uint8_t>& bytes, uint64_t now) {
  size_t pos = 0;
  uint8_t k = 0;
  do {
    size_t n = std::min(kArrayChunk, bytes.size() - pos);
    Packet r(cfg_.address, {cmd, option, index});
    for (size_t i = 0; i < n; ++i) r.push(bytes[pos + i]);
    pos += n;
    r.push(uint8_t((pos < bytes.size() ? 0x80 : 0) | (k & 0x7F)));
    send(link, r, now);
    ++k;
  } while (pos < bytes.size());
}

void Module::queueAction(Module& link, LinkAction action, uint32_t awayMs, uint64_t now) {
  Outgoing o;
  o.dueUs = answerDueUs(link, now);
  o.due = (o.dueUs + 999) / 1000;
  o.action = action;
  o.awayMs = awayMs;
  link.enqueue(std::move(o));
}

bool Module::collectRun(const Packet& p, std::vector<uint8_t>& done, Module& link, uint64_t now) {
  uint8_t cmd = p.data[0], opt = p.data[1] & 0x3F, index = p.data[2] & 0x1F;
  uint8_t ack = opt | kOpAck;
  if (p.size < 4) {
    sendError(link, cmd, ack, index, aErrShortCommand, now);
    return false;
  }
  uint16_t key = uint16_t((cmd << 8) | opt);
  uint8_t seqByte = p.data[p.size - 1];
  uint8_t seq = seqByte & 0x7F;
  Run& run = runs_[key];
  if (seq == 0 && run.next != 0) run = Run();  // a new run replaces an unfinished one
  if (seq != run.next) {
    runs_.erase(key);
    log("byte-array run out of order: got packet " + std::to_string(seq));
    sendError(link, cmd, ack, index, aErrPacket, now);
    return false;
  }
  run.bytes.insert(run.bytes.end(), p.data + 3, p.data + p.size - 1);
  run.next = uint8_t((seq + 1) & 0x7F);
  if (run.bytes.size() > kMaxRunBytes) {
    runs_.erase(key);
    sendError(link, cmd, ack, index, aErrOverrun, now);
    return false;
  }
  if (seqByte & 0x80) return false;
  done = std::move(run.bytes);
  runs_.erase(key);
  return true;
}

uint64_t Module::nextDeadline() const {
  uint64_t t = std::min(nextBeat_, nextSample_);
  if (!out_.empty() && out_.front().due < t) t = out_.front().due;
  return t;
}

uint64_t Module::nextDeadlineUs() const {
  const uint64_t timer = std::min(nextBeat_, nextSample_);
  uint64_t t = timer == UINT64_MAX ? UINT64_MAX : timer * 1000;
  if (!out_.empty() && out_.front().dueUs < t) t = out_.front().dueUs;
  return t;
}

std::vector<Outgoing> Module::takeDue(uint64_t now) { return takeDueUs(now * 1000); }

std::vector<Outgoing> Module::takeDueUs(uint64_t nowUs) {
  std::vector<Outgoing> due;
  while (!out_.empty() && out_.front().dueUs <= nowUs) {
    due.push_back(std::move(out_.front()));
    out_.pop_front();
  }
  return due;
}

bool Module::dumpFlash(std::string& error) const {
  if (cfg_.flashDump.empty()) return true;
  return flash_.dump(cfg_.flashDump, error);
}

}  // namespace ksim
