// The message sockets' wire protocol: greeting, frames and the commands a
// connection needs (READY, PING, PONG).
#include "common/aZmtp.h"

#include <strings.h>

#include <cstring>

namespace {

constexpr uint8_t kMore = 0x01;
constexpr uint8_t kLong = 0x02;
constexpr uint8_t kCommand = 0x04;
constexpr size_t kMechanismAt = 12;
constexpr size_t kMechanismSize = 20;

uint32_t sBig32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void sAppendFlagsAndSize(std::string* out, uint8_t flags, size_t size) {
  if (size <= 255) {
    out->push_back(static_cast<char>(flags));
    out->push_back(static_cast<char>(size));
    return;
  }
  out->push_back(static_cast<char>(flags | kLong));
  const uint64_t wide = size;
  for (int shift = 56; shift >= 0; shift -= 8)
    out->push_back(static_cast<char>((wide >> shift) & 0xFF));
}

}  // namespace

void aZmtp_Greeting(uint8_t out[aZMTP_GREETING_SIZE], bool asServer) {
  std::memset(out, 0, aZMTP_GREETING_SIZE);
  out[0] = 0xFF;
  out[8] = 1;  // the padding, as the oldest peers read it: an empty identity
  out[9] = 0x7F;
  out[10] = 3;
  out[11] = 1;
  std::memcpy(out + kMechanismAt, "NULL", 4);
  out[32] = asServer ? 1 : 0;
}

bool aZmtp_GreetingOk(const uint8_t in[aZMTP_GREETING_SIZE]) {
  if (in[0] != 0xFF || (in[9] & 0x01) == 0 || in[10] < 3) return false;
  static const uint8_t kNull[kMechanismSize] = {'N', 'U', 'L', 'L'};
  return std::memcmp(in + kMechanismAt, kNull, kMechanismSize) == 0;
}

void aZmtp_AppendFrame(std::string* out, const void* data, size_t size, bool more) {
  sAppendFlagsAndSize(out, more ? kMore : 0, size);
  if (size > 0) out->append(static_cast<const char*>(data), size);
}

void aZmtp_AppendCommand(std::string* out, const char* name, const std::string& body) {
  const size_t nameSize = std::strlen(name);
  sAppendFlagsAndSize(out, kCommand, 1 + nameSize + body.size());
  out->push_back(static_cast<char>(nameSize));
  out->append(name, nameSize);
  out->append(body);
}

void aZmtp_AppendReady(std::string* out, const char* socketType) {
  static const char kProperty[] = "Socket-Type";
  const size_t typeSize = std::strlen(socketType);
  std::string body;
  body.push_back(static_cast<char>(sizeof(kProperty) - 1));
  body.append(kProperty, sizeof(kProperty) - 1);
  for (int shift = 24; shift >= 0; shift -= 8)
    body.push_back(static_cast<char>((typeSize >> shift) & 0xFF));
  body.append(socketType, typeSize);
  aZmtp_AppendCommand(out, "READY", body);
}

std::string aZmtp_Hello(const char* socketType) {
  uint8_t greeting[aZMTP_GREETING_SIZE];
  aZmtp_Greeting(greeting, false);
  std::string hello(reinterpret_cast<const char*>(greeting), sizeof(greeting));
  aZmtp_AppendReady(&hello, socketType);
  return hello;
}

void aZmtpReader::compact() {
  if (at_ == buffer_.size()) {
    buffer_.clear();
    at_ = 0;
  } else if (at_ > 4096) {
    buffer_.erase(0, at_);
    at_ = 0;
  }
}

aZmtpReader::Result aZmtpReader::greeting() {
  if (pending() < aZMTP_GREETING_SIZE) return kNeedMore;
  const bool ok = aZmtp_GreetingOk(reinterpret_cast<const uint8_t*>(buffer_.data() + at_));
  at_ += aZMTP_GREETING_SIZE;
  compact();
  return ok ? kFrame : kBad;
}

aZmtpReader::Result aZmtpReader::next(aZmtpFrame* frame) {
  const size_t left = pending();
  if (left < 2) return kNeedMore;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(buffer_.data() + at_);
  const uint8_t flags = p[0];
  if ((flags & ~(kMore | kLong | kCommand)) != 0) return kBad;
  size_t header = 2;
  uint64_t size = p[1];
  if (flags & kLong) {
    header = 9;
    if (left < header) return kNeedMore;
    size = 0;
    for (int i = 1; i <= 8; i++) size = (size << 8) | p[i];
  }
  if (size > aZMTP_MAX_FRAME) return kBad;
  if (left < header + size) return kNeedMore;
  frame->more = (flags & kMore) != 0;
  frame->command = (flags & kCommand) != 0;
  frame->body.assign(buffer_, at_ + header, static_cast<size_t>(size));
  at_ += header + static_cast<size_t>(size);
  compact();
  return kFrame;
}

bool aZmtp_ParseCommand(const std::string& frame, std::string* name, std::string* body) {
  if (frame.empty()) return false;
  const size_t nameSize = static_cast<uint8_t>(frame[0]);
  if (1 + nameSize > frame.size()) return false;
  name->assign(frame, 1, nameSize);
  body->assign(frame, 1 + nameSize, std::string::npos);
  return true;
}

bool aZmtp_ReadySocketType(const std::string& body, std::string* type) {
  type->clear();
  const uint8_t* p = reinterpret_cast<const uint8_t*>(body.data());
  size_t at = 0;
  while (at < body.size()) {
    const size_t nameSize = p[at];
    if (at + 1 + nameSize + 4 > body.size()) return false;
    const std::string name(body, at + 1, nameSize);
    at += 1 + nameSize;
    const uint32_t valueSize = sBig32(p + at);
    at += 4;
    if (valueSize > body.size() - at) return false;
    if (name.size() == 11 && strncasecmp(name.c_str(), "Socket-Type", 11) == 0)
      type->assign(body, at, valueSize);
    at += valueSize;
  }
  return true;
}

bool aZmtp_IsReady(const aZmtpFrame& frame, std::string* type) {
  std::string name, body;
  return frame.command && aZmtp_ParseCommand(frame.body, &name, &body) && name == "READY" &&
         aZmtp_ReadySocketType(body, type);
}

void aZmtp_AppendPing(std::string* out) { aZmtp_AppendCommand(out, "PING", std::string(2, '\0')); }

std::string aZmtp_PongFor(const std::string& pingBody) {
  // TTL (2 bytes), then up to 16 bytes of context the PONG echoes.
  if (pingBody.size() <= 2) return std::string();
  return pingBody.substr(2, 16);
}
