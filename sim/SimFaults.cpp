#include <cstdlib>

#include "sim/SimModule.h"

namespace ksim {

namespace {
bool ParseNumber(const std::string& text, int64_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (*end != '\0' || v < 0 || v > 0x7FFFFFFF) return false;
  out = v;
  return true;
}
}  // namespace

bool Faults::parse(const std::string& word, std::string& error) {
  std::string key = word, value;
  size_t eq = word.find('=');
  if (eq != std::string::npos) {
    key = word.substr(0, eq);
    value = word.substr(eq + 1);
  }
  int64_t n = 0;
  auto needNumber = [&]() {
    if (ParseNumber(value, n)) return true;
    error = "fault \"" + key + "\" needs a number, as in " + key + "=10";
    return false;
  };
  auto noValue = [&]() {
    if (value.empty()) return true;
    error = "fault \"" + key + "\" takes no value";
    return false;
  };
  if (key == "latency") {
    if (!needNumber()) return false;
    latencyMs = uint32_t(n);
  } else if (key == "drop-data-ack") {
    if (value.empty()) n = 1;
    else if (!needNumber()) return false;
    if (n == 0) { error = "drop-data-ack counts DATA packets from 1"; return false; }
    dropDataAck = uint32_t(n);
  } else if (key == "wrong-data-count") {
    if (!noValue()) return false;
    wrongDataCount = true;
  } else if (key == "wrong-sum") {
    if (!noValue()) return false;
    wrongSum = true;
  } else if (key == "prepare-status") {
    if (!noValue()) return false;
    prepareStatus = true;
  } else if (key == "block-size-0") {
    if (!noValue()) return false;
    blockSizeZero = true;
  } else if (key == "init-short") {
    if (!noValue()) return false;
    initShort = true;
  } else if (key == "no-load-reply") {
    if (!noValue()) return false;
    noLoadReply = true;
  } else if (key == "disconnect-after") {
    if (!needNumber()) return false;
    disconnectAfter = n;
  } else if (key == "heartbeat-strict") {
    if (!noValue()) return false;
    heartbeatStrict = true;
  } else if (key == "mute") {
    if (!noValue()) return false;
    mute = true;
  } else {
    error = "unknown fault \"" + key +
            "\" (known: latency=MS, drop-data-ack[=N], wrong-data-count, wrong-sum, "
            "prepare-status, block-size-0, init-short, no-load-reply, disconnect-after=BYTES, "
            "heartbeat-strict, mute)";
    return false;
  }
  return true;
}

std::string Faults::describe() const {
  std::string s;
  auto add = [&](const std::string& w) { s += (s.empty() ? "" : ", ") + w; };
  if (latencyMs) add("latency=" + std::to_string(latencyMs));
  if (dropDataAck) add("drop-data-ack=" + std::to_string(dropDataAck));
  if (wrongDataCount) add("wrong-data-count");
  if (wrongSum) add("wrong-sum");
  if (prepareStatus) add("prepare-status");
  if (blockSizeZero) add("block-size-0");
  if (initShort) add("init-short");
  if (noLoadReply) add("no-load-reply");
  if (disconnectAfter >= 0) add("disconnect-after=" + std::to_string(disconnectAfter));
  if (heartbeatStrict) add("heartbeat-strict");
  if (mute) add("mute");
  return s;
}

}  // namespace ksim
