// The system entity's table of plain values (the options beyond addresses,
// versions, serial number and name), and the answer faults aimed at single
// requests.
#include <algorithm>

#include "common/aError.h"
#include "sim/SimModule.h"

namespace ksim {

namespace {

enum Access : uint8_t { kGet = 1, kSet = 2, kCall = 4 };

struct OptionInfo {
  uint8_t option;
  Value::Kind kind;
  uint8_t access;
  uint8_t subindexes;  // 0: a plain value
  uint32_t value;      // default
};

using K = Value::Kind;
const OptionInfo kTable[] = {
    {3, K::Byte, kGet | kSet, 0, 0},            // heartbeat interval
    {6, K::Byte, kGet | kSet, 0, 0},            // boot slot
    {10, K::Byte, kCall, 0, 0},                 // save
    {12, K::Word, kGet, 0, 5000000},            // input voltage (microvolts)
    {13, K::Byte, kGet, 0, 0},                  // hardware offset
    {14, K::Byte, kGet, 0, 2},                  // base address
    {15, K::Byte, kGet | kSet, 0, 0},           // software offset
    {16, K::Byte, kGet, 0, 0},                  // router address setting
    {21, K::Word, kGet, 0, 120000},             // input current (microamperes)
    {22, K::Word, kGet, 0, 0},                  // uptime
    {23, K::Word, kGet, 0, 41000},              // maximum temperature (millidegrees)
    {24, K::Byte, kCall, 0, 0},                 // log events
    {25, K::Word, kGet, 0, 5100000},            // unregulated voltage
    {26, K::Word, kGet, 0, 130000},             // unregulated current
    {27, K::Word, kGet, 0, 32000},              // temperature
    {28, K::Word, kGet, 0, uint32_t(-5000)},    // minimum temperature
    {29, K::Byte, kGet, 0, 1},                  // input power source
    {30, K::Byte, kGet | kSet, 0, 0},           // input power behaviour
    {31, K::Bytes, kGet | kSet, 0, 0},          // input power behaviour configuration (words)
    {33, K::Word, kGet, 0, 2500000},            // power limit
    {34, K::Word, kGet | kSet, 0, 2500000},     // power limit maximum
    {35, K::Word, kGet, 0, 0},                  // power limit state
    {36, K::Byte, kCall, 0, 0},                 // entity to factory defaults
    {37, K::Byte, kCall, 0, 0},                 // device to factory defaults
    {38, K::Byte, kGet | kSet, 0, 0},           // link interface
    {39, K::Word, kGet, 4, 0},                  // identifier words, subindex 0..3
    {40, K::Word, kGet, 0, 0x01000000},         // hardware version
    {41, K::Word, kGet, 0, 0},                  // errors
    {42, K::Byte, kGet | kSet, 0, 255},         // LED maximum brightness
};

constexpr size_t kMaxWordArrayBytes = 64;

const OptionInfo* Info(uint8_t option) {
  for (const OptionInfo& i : kTable)
    if (i.option == option) return &i;
  return nullptr;
}

uint16_t Key(uint8_t option, int subindex) {
  return uint16_t((option << 8) | (subindex < 0 ? 0xFF : (subindex & 0xFF)));
}

void PushValue(Packet& r, const Value& v) {
  if (v.kind == K::Byte) r.push(uint8_t(v.number));
  else if (v.kind == K::Short) r.push16(uint16_t(v.number));
  else r.push32(v.number);
}

}  // namespace

bool TableOptionKind(uint8_t option, Value::Kind& kind) {
  static const uint8_t kOwnState[] = {1, 2, 4, 7, 8, 9, 11, 20, 32, 43, 45};
  if (option > 63 || std::find(std::begin(kOwnState), std::end(kOwnState), option) != std::end(kOwnState))
    return false;
  const OptionInfo* info = Info(option);
  if (info && info->access == kCall) return false;
  kind = info ? info->kind : K::Word;
  return true;
}

void Module::resetValues() {
  values_.clear();
  for (const OptionInfo& i : kTable) {
    if (i.access == kCall) continue;
    Value v;
    v.kind = i.kind;
    v.number = i.value;
    if (i.subindexes == 0) values_[Key(i.option, kNoSubindex)] = v;
    for (int s = 0; s < i.subindexes; ++s) values_[Key(i.option, s)] = v;
  }
  values_[Key(14, kNoSubindex)].number = cfg_.address;
  values_[Key(39, 0)].number = cfg_.serial;
  values_[Key(39, 1)].number = cfg_.model;
  for (const OptionSetting& o : cfg_.options) values_[Key(o.option, o.subindex)] = o.value;
}

bool Module::tableImplements(uint8_t option, uint8_t op) const {
  const OptionInfo* info = Info(option);
  if (op == kOpSet) return info && (info->access & (kSet | kCall));
  if (info && !(info->access & kGet)) return false;
  auto first = values_.lower_bound(Key(option, 0));
  return first != values_.end() && (first->first >> 8) == option;
}

bool Module::scalarValue(uint8_t option, int subindex, Value& value) const {
  value = Value();
  if (subindex < 0) {
    value.kind = K::Byte;
    switch (option) {
      case 1: value.number = cfg_.address; return true;
      case 2: value.number = cfg_.routerAddress; return true;
      case 4: value.number = led_; return true;
      case 8: value.number = cfg_.model; return true;
      default: break;
    }
    value.kind = K::Word;
    switch (option) {
      case 7: value.number = version_; return true;
      case 9: value.number = presentedSerial(); return true;
      case 43: value.number = build_; return true;
      case 45: value.number = cfg_.features; return true;
      default: break;
    }
  }
  auto it = values_.find(Key(option, subindex));
  if (it == values_.end() || it->second.kind == K::Bytes) return false;
  value = it->second;
  return true;
}

bool Module::getTableValue(const Packet& p, uint64_t now, Module& link) {
  uint8_t opt = p.data[1] & 0x3F;
  const OptionInfo* info = Info(opt);
  if (info && !(info->access & kGet)) return false;
  auto first = values_.lower_bound(Key(opt, 0));
  if (first == values_.end() || (first->first >> 8) != opt) return false;
  auto it = values_.find(Key(opt, kNoSubindex));
  if (it == values_.end()) {  // an option with subindexes: byte 3 names one
    int sub = p.size >= 4 ? p.data[3] : 0;
    it = values_.find(Key(opt, sub));  // 0xFF is no subindex: not found
    if (it == values_.end()) {
      sendError(link, kCmdSystem, opt, 0, aErrRange, now);
      return true;
    }
  }
  if (it->second.kind == K::Bytes) {
    sendArray(link, kCmdSystem, opt, 0, it->second.bytes, now);
    return true;
  }
  Packet r(cfg_.address, {kCmdSystem, opt, 0});
  PushValue(r, it->second);
  send(link, r, now);
  return true;
}

bool Module::setTableValue(const Packet& p, uint64_t now, Module& link) {
  uint8_t opt = p.data[1] & 0x3F;
  uint8_t ack = opt | kOpAck;
  const OptionInfo* info = Info(opt);
  if (!info || !(info->access & (kSet | kCall))) return false;
  Packet r(cfg_.address, {kCmdSystem, ack, 0});
  if (info->access & kCall) {
    if (opt == 36 || opt == 37) {
      resetValues();
      log("values back to their defaults");
    }
    send(link, r, now);
    return true;
  }
  Value& v = values_[Key(opt, kNoSubindex)];
  if (v.kind == K::Bytes) {
    std::vector<uint8_t> bytes;
    if (!collectRun(p, bytes, link, now)) return true;
    if (bytes.size() % 4 != 0 || bytes.size() > kMaxWordArrayBytes) {
      sendError(link, kCmdSystem, ack, 0, aErrSize, now);
      return true;
    }
    v.bytes = std::move(bytes);
    send(link, r, now);
    return true;
  }
  size_t width = v.kind == K::Byte ? 1 : v.kind == K::Short ? 2 : 4;
  if (p.size == 3) {
    sendError(link, kCmdSystem, ack, 0, aErrShortCommand, now);
    return true;
  }
  if (p.size != 3 + width) {
    sendError(link, kCmdSystem, ack, 0, aErrSize, now);
    return true;
  }
  v.number = width == 1 ? p.data[3] : width == 2 ? Get16(p.data + 3) : Get32(p.data + 3);
  send(link, r, now);
  return true;
}

bool Module::applyAnswerFault(const Packet& p, uint64_t now, Module& link) {
  uint8_t cmd = p.data[0];
  bool uei = !IsRawCommand(cmd);
  int selector = p.size >= 2 ? (uei ? (p.data[1] & 0x3F) : p.data[1]) : -1;
  for (size_t i = 0; i < cfg_.faults.answers.size(); ++i) {
    const AnswerFault& f = cfg_.faults.answers[i];
    if (f.command != cmd || (f.option >= 0 && f.option != selector)) continue;
    uint64_t chance = ++answerChances_[i];
    if (chance < f.from || (f.count != kAlways && chance - f.from >= f.count)) continue;
    std::string what = "request " + std::to_string(cmd) + (selector >= 0 ? "." + std::to_string(selector) : "");
    ++stats_.faultsFired[f.kind == AnswerFault::Kind::Missing ? "no-answer"
                         : f.kind == AnswerFault::Kind::Late  ? "late-answer" : "error-answer"];
    switch (f.kind) {
      case AnswerFault::Kind::Missing:
        log("fault: no answer to " + what);
        return true;
      case AnswerFault::Kind::Late:
        extraDelayMs_ = std::max(extraDelayMs_, f.amount);
        break;
      case AnswerFault::Kind::Error:
        log("fault: error " + std::to_string(f.amount) + " answers " + what);
        if (!uei) {
          send(link, Packet(cfg_.address, {cmd, uint8_t(p.size >= 2 ? p.data[1] | 0x80 : 0x80), uint8_t(f.amount)}), now);
        } else if (p.size >= 3) {
          uint8_t op = p.data[1] & 0xC0;
          uint8_t option = uint8_t(selector | (op == kOpGet ? 0 : kOpAck));
          sendError(link, cmd, option, p.data[2] & 0x1F, f.amount, now);
        }
        return true;
    }
  }
  return false;
}

}  // namespace ksim
