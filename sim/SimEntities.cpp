// The module side of value streams (command 93), store slots (command 4)
// and factory data (command 94).
#include <algorithm>
#include <set>

#include "common/aError.h"
#include "sim/SimModule.h"

namespace ksim {

namespace {

// Stream keys as the host sends them: address, command, option, index; 0xFF
// in the last three stands for any.
uint8_t KeyElement(uint32_t key, int shift) { return uint8_t(key >> shift); }

bool KeyCovers(uint32_t pattern, uint32_t key) {
  for (int shift : {16, 8, 0}) {
    uint8_t p = KeyElement(pattern, shift);
    if (p != 0xFF && p != KeyElement(key, shift)) return false;
  }
  return true;
}

// Store-slot subcommands.
constexpr uint8_t kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4, kRead = 6, kWrite = 7,
                  kClose = 8;
constexpr size_t kStoreChunk = 25;

// Factory-data control bits beside the kind (low 4 bits).
constexpr uint8_t kFactoryWrite = 0x10, kFactoryClose = 0x20, kFactoryFirst = 0x40;
constexpr size_t kFactoryChunk = 26;

}  // namespace

void Module::handleStream(const Packet& p, uint64_t now, Module& link) {
  if (p.size < 3) return;
  uint8_t op = p.data[1] & 0xC0, opt = p.data[1] & 0x3F, index = p.data[2] & 0x1F;
  if (op == kOpGet) {
    if (index != 0) return sendError(link, kCmdStream, opt, index, aErrIndexRange, now);
    if (opt != 1) return sendError(link, kCmdStream, opt, index, aErrUnimplemented, now);
    return send(link, Packet(cfg_.address, {kCmdStream, opt, 0, uint8_t(streams_.empty() ? 0 : 1)}), now);
  }
  if (op != kOpSet) return;
  uint8_t ack = opt | kOpAck;
  if (index != 0) return sendError(link, kCmdStream, ack, index, aErrIndexRange, now);
  if (opt != 1 && opt != 2) return sendError(link, kCmdStream, ack, index, aErrUnimplemented, now);
  if (p.size != 7) return sendError(link, kCmdStream, ack, index, p.size < 7 ? aErrShortCommand : aErrSize, now);
  uint32_t key = Get32(p.data + 3);
  if (KeyElement(key, 24) != cfg_.address) return sendError(link, kCmdStream, ack, index, aErrParam, now);
  if (opt == 1) {
    if (std::find(streams_.begin(), streams_.end(), key) == streams_.end()) {
      if (streams_.size() >= kMaxStreams) return sendError(link, kCmdStream, ack, index, aErrResource, now);
      streams_.push_back(key);
    }
    if (nextSample_ == UINT64_MAX) nextSample_ = now + cfg_.streamPeriodMs;
  } else {
    streams_.erase(std::remove_if(streams_.begin(), streams_.end(),
                                  [&](uint32_t k) { return KeyCovers(key, k); }),
                   streams_.end());
    if (streams_.empty()) nextSample_ = UINT64_MAX;
  }
  send(link, Packet(cfg_.address, {kCmdStream, ack, 0}), now);
}

// One sample per streamed system option (and subindex) each period, at most
// kMaxSamplesPerPeriod of them.
void Module::sendSamples(uint64_t now) {
  nextSample_ = streams_.empty() ? UINT64_MAX : now + cfg_.streamPeriodMs;
  std::set<uint16_t> done;
  size_t sent = 0;
  auto sample = [&](uint8_t option, int subindex, const Value& v) {
    if (sent >= kMaxSamplesPerPeriod || !done.insert(uint16_t((option << 8) | (subindex & 0xFF))).second) return;
    uint8_t type = v.kind == Value::Kind::Byte ? 1 : v.kind == Value::Kind::Short ? 2 : 3;
    if (subindex >= 0) type = uint8_t(type + 4);
    Packet r(cfg_.address, {kCmdSystem, option, kSpecSample, type});
    if (subindex >= 0) r.push(uint8_t(subindex));
    r.push32(uint32_t(now >> 32));
    r.push32(uint32_t(now));
    if (v.kind == Value::Kind::Byte) r.push(uint8_t(v.number));
    else if (v.kind == Value::Kind::Short) r.push16(uint16_t(v.number));
    else r.push32(v.number);
    r.push(0);
    send(*this, r, now);
    ++sent;
    ++stats_.streamSamples;
  };
  for (uint32_t key : streams_) {
    uint8_t cmd = KeyElement(key, 16), opt = KeyElement(key, 8), index = KeyElement(key, 0);
    if ((cmd != 0xFF && cmd != kCmdSystem) || (index != 0xFF && index != 0)) continue;
    for (unsigned o = (opt == 0xFF ? 0 : opt); o <= (opt == 0xFF ? 63u : opt) && o < 64; ++o) {
      Value v;
      if (scalarValue(uint8_t(o), kNoSubindex, v)) {
        sample(uint8_t(o), kNoSubindex, v);
        continue;
      }
      for (auto it = values_.lower_bound(uint16_t(o << 8)); it != values_.end() && (it->first >> 8) == o; ++it) {
        int s = it->first & 0xFF;
        if (s != 0xFF && scalarValue(uint8_t(o), s, v)) sample(uint8_t(o), s, v);
      }
    }
  }
}

void Module::handleStore(const Packet& p, uint64_t now, Module& link) {
  if (p.size < 3) return;
  uint8_t sub = p.data[1];
  auto reply = [&](std::initializer_list<uint8_t> bytes) {
    Packet r(cfg_.address, {kCmdStore});
    for (uint8_t b : bytes) r.push(b);
    send(link, r, now);
  };
  if (sub == kCapacity || sub == kSize || sub == kOpenRead || sub == kOpenWrite) {
    if (p.size < 4) return;
    uint8_t store = p.data[2], slot = p.data[3];
    uint32_t err = store != 0 ? aErrNotFound : slot >= slots_.size() ? aErrIndexRange : aErrNone;
    if (err) return reply({uint8_t(sub | 0x80), store, slot, uint8_t(err)});
    if (sub == kCapacity || sub == kSize) {
      size_t n = sub == kCapacity ? cfg_.slotCapacity : slots_[slot].size();
      return reply({sub, store, slot, uint8_t(n >> 8), uint8_t(n)});
    }
    Handle* free = nullptr;
    for (Handle& h : handles_) {
      if (h.open && h.slot == slot) return reply({uint8_t(sub | 0x80), store, slot, uint8_t(aErrBusy)});
      if (!h.open && !free) free = &h;
    }
    if (!free) return reply({uint8_t(sub | 0x80), store, slot, uint8_t(aErrResource)});
    *free = Handle();
    free->open = true;
    free->write = sub == kOpenWrite;
    free->slot = slot;
    if (!free->write) free->data = slots_[slot];
    return reply({sub, store, slot, uint8_t(free - handles_)});
  }
  if (sub != kRead && sub != kWrite && sub != kClose)
    return reply({uint8_t(sub | 0x80), p.data[2], uint8_t(aErrUnimplemented)});
  uint8_t number = p.data[2];
  Handle* h = number < 2 && handles_[number].open ? &handles_[number] : nullptr;
  if (!h) return reply({uint8_t(sub | 0x80), number, uint8_t(aErrParam)});
  if (sub == kClose) {
    if (h->write) slots_[h->slot] = std::move(h->data);
    *h = Handle();
    return reply({kClose, number, 0});
  }
  if ((sub == kWrite) != h->write) return reply({uint8_t(sub | 0x80), number, uint8_t(aErrMode)});
  if (sub == kRead) {
    size_t n = std::min(kStoreChunk, h->data.size() - h->pos);
    Packet r(cfg_.address, {kCmdStore, kRead, number});
    for (size_t i = 0; i < n; ++i) r.push(h->data[h->pos + i]);
    h->pos += n;
    return send(link, r, now);
  }
  size_t n = p.size - 3u;
  if (h->data.size() + n > cfg_.slotCapacity) return reply({uint8_t(kWrite | 0x80), number, uint8_t(aErrOverrun)});
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum = uint8_t(sum + p.data[3 + i]);
  h->data.insert(h->data.end(), p.data + 3, p.data + p.size);
  reply({kWrite, number, sum});
}

void Module::handleFactory(const Packet& p, uint64_t now, Module& link) {
  if (p.size < 2) return;
  uint8_t ctl = p.data[1];
  auto refuse = [&](uint8_t code) {
    factory_ = FactoryTransfer();
    send(link, Packet(cfg_.address, {kCmdFactory, uint8_t((ctl & 0x3F) | 0x80), code}), now);
  };
  if (ctl == kFactoryClose) {
    if (p.size < 4) return refuse(aErrShortCommand);
    if (factory_.kind < 0) return refuse(aErrMode);
    size_t moved = factory_.write ? factory_.data.size() : factory_.pos;
    if (Get16(p.data + 2) != moved) return refuse(aErrSize);
    if (factory_.write) {
      cfg_.factory[uint8_t(factory_.kind)] = factory_.data;
      log("factory data " + std::to_string(factory_.kind) + " written (" + std::to_string(moved) + " bytes)");
    }
    factory_ = FactoryTransfer();
    return send(link, Packet(cfg_.address, {kCmdFactory, kFactoryClose, 0}), now);
  }
  if (ctl & 0xA0) return refuse(aErrParam);
  int kind = ctl & 0x0F;
  bool first = ctl & kFactoryFirst, write = ctl & kFactoryWrite;
  uint8_t echo = uint8_t(ctl & 0x1F);
  if (first) {
    factory_ = FactoryTransfer();
    if (write && cfg_.factoryLocked) return refuse(aErrPermission);
    auto it = cfg_.factory.find(uint8_t(kind));
    if (!write && it == cfg_.factory.end()) return refuse(aErrNotFound);
    factory_.kind = kind;
    factory_.write = write;
    if (!write) factory_.data = it->second;
  } else if (factory_.kind != kind || factory_.write != write) {
    return refuse(aErrMode);
  }
  if (write) {
    size_t n = p.size - 2u;
    if (factory_.data.size() + n > ModuleConfig::kMaxFactoryBytes) return refuse(aErrOverrun);
    factory_.data.insert(factory_.data.end(), p.data + 2, p.data + p.size);
    return send(link, Packet(cfg_.address, {kCmdFactory, echo}), now);
  }
  size_t n = std::min(kFactoryChunk, factory_.data.size() - factory_.pos);
  Packet r(cfg_.address, {kCmdFactory, echo});
  for (size_t i = 0; i < n; ++i) r.push(factory_.data[factory_.pos + i]);
  factory_.pos += n;
  send(link, r, now);
}

}  // namespace ksim
