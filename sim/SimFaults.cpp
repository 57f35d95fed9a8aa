#include <cstdio>
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
// Milliseconds with up to three decimals ("5", "0.25"), in microseconds.
constexpr int64_t kMaxLatencyUs = int64_t(3600000) * 1000;
bool ParseMilliseconds(const std::string& text, int64_t& us) {
  size_t dot = text.find('.');
  std::string whole = text.substr(0, dot), fraction;
  if (dot != std::string::npos) {
    fraction = text.substr(dot + 1);
    if (fraction.empty() || fraction.size() > 3 || whole.empty()) return false;
    for (char c : fraction)
      if (c < '0' || c > '9') return false;
  }
  for (char c : whole)
    if (c < '0' || c > '9') return false;
  int64_t ms = 0;
  if (!ParseNumber(whole, ms)) return false;
  fraction.resize(3, '0');
  us = ms * 1000 + std::atoi(fraction.c_str());
  return us <= kMaxLatencyUs;
}
// "CMD[.OPT]" or "CMD[.OPT]:N" (with `amount`) for an answer fault.
bool ParseTarget(const std::string& text, bool withAmount, AnswerFault& f) {
  std::string target = text, amount;
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    target = text.substr(0, colon);
    amount = text.substr(colon + 1);
  }
  if (withAmount == amount.empty()) return false;
  std::string cmd = target, opt;
  size_t dot = target.find('.');
  if (dot != std::string::npos) {
    cmd = target.substr(0, dot);
    opt = target.substr(dot + 1);
  }
  int64_t n = 0;
  if (!ParseNumber(cmd, n) || n > 255) return false;
  f.command = uint8_t(n);
  if (dot != std::string::npos) {
    if (!ParseNumber(opt, n) || n > 255) return false;
    f.option = int(n);
  }
  if (withAmount) {
    if (!ParseNumber(amount, n)) return false;
    f.amount = uint32_t(n);
  }
  return true;
}

// A count for a counted fault: empty gives `dflt`, "always" kAlways, else
// a number from 1.
bool ParseCount(const std::string& text, uint32_t dflt, uint32_t& out) {
  if (text.empty()) { out = dflt; return true; }
  if (text == "always") { out = kAlways; return true; }
  int64_t n = 0;
  if (!ParseNumber(text, n) || n == 0) return false;
  out = uint32_t(n);
  return true;
}

std::string CountText(uint32_t n) { return n == kAlways ? "always" : std::to_string(n); }

// "A" or "A:B", split at the first colon.
void SplitColon(const std::string& text, std::string& a, std::string& b) {
  size_t colon = text.find(':');
  a = text.substr(0, colon);
  b = colon == std::string::npos ? "" : text.substr(colon + 1);
}

// Counted faults: they may start late ("@N"), taking their count from
// their own value.
const char* const kLateCounted[] = {
    "drop-data-ack", "wrong-data-count", "wrong-sum", "late-data-ack", "short-prepare", "short-sum",
    "short-data-ack", "write-status", "uei-data-error", "double-write-status", "prepare-status",
    "block-size-0", "init-short", "no-load-reply"};

}  // namespace

bool Faults::parseLate(const std::string& word, const std::string& when, std::string& error) {
  std::string key = word.substr(0, word.find('=')), from, count, whole = word + "@" + when;
  size_t plus = when.find('+');
  from = when.substr(0, plus);
  if (plus != std::string::npos) count = when.substr(plus + 1);
  bool answer = key == "no-answer" || key == "late-answer" || key == "error-answer";
  bool counted = false;
  for (const char* k : kLateCounted) counted = counted || key == k;
  int64_t n = 0;
  uint32_t times = kAlways;
  if (!answer && !counted && key != "mute") {
    error = "fault \"" + whole + "\": " + key + " cannot start late";
    return false;
  }
  if (!ParseNumber(from, n) || n == 0) {
    error = "fault \"" + whole + "\" needs @N with N from 1 (its N-th chance to fire is the first)";
    return false;
  }
  if (plus != std::string::npos && (counted || !ParseCount(count, kAlways, times))) {
    error = "fault \"" + whole + "\": " +
            (counted ? "the count goes in the fault's own value, not after @N"
                     : std::string("@N+COUNT needs a COUNT from 1, or always"));
    return false;
  }
  if (!parse(word, error)) return false;
  if (answer) {
    answers.back().from = uint32_t(n);
    answers.back().count = times;
  } else if (counted) {
    startAt[key] = uint32_t(n);
  } else {
    muteFrom = uint32_t(n);
    muteCount = times;
  }
  return true;
}

bool Faults::parse(const std::string& word, std::string& error) {
  size_t at = word.find('@');
  if (at != std::string::npos) return parseLate(word.substr(0, at), word.substr(at + 1), error);
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
    int64_t us = 0;
    if (!ParseMilliseconds(value, us)) {
      error = "fault \"latency\" needs milliseconds up to 3600000, at most three decimals, as in "
              "latency=5 or latency=0.25";
      return false;
    }
    latencyMs = double(us) / 1000.0;
  } else if (key == "drop-data-ack") {
    std::string first, count;
    SplitColon(value, first, count);
    if (first.empty()) n = 1;
    else if (!ParseNumber(first, n) || n == 0) { error = "drop-data-ack=N[:COUNT] counts DATA packets from 1"; return false; }
    if (!ParseCount(count, 1, dropDataAckCount)) { error = "drop-data-ack=N:COUNT needs a COUNT from 1, or always"; return false; }
    dropDataAck = uint32_t(n);
  } else if (key == "late-data-ack") {
    std::string ms, count;
    SplitColon(value, ms, count);
    if (!ParseNumber(ms, n) || n == 0) { error = "late-data-ack=MS[:COUNT] needs milliseconds from 1"; return false; }
    if (!ParseCount(count, 1, lateDataAckCount)) { error = "late-data-ack=MS:COUNT needs a COUNT from 1, or always"; return false; }
    lateDataAckMs = uint32_t(n);
  } else if (key == "uei-data-error") {
    std::string code, count;
    SplitColon(value, code, count);
    if (code.empty()) n = ueiDataErrorCode;
    else if (!ParseNumber(code, n) || n == 0 || n > 255) { error = "uei-data-error=CODE[:COUNT] needs an error code 1..255"; return false; }
    if (!ParseCount(count, 1, ueiDataError)) { error = "uei-data-error=CODE:COUNT needs a COUNT from 1, or always"; return false; }
    ueiDataErrorCode = uint32_t(n);
  } else if (key == "wrong-data-count" || key == "wrong-sum" || key == "short-prepare" || key == "short-sum" ||
             key == "short-data-ack" || key == "write-status") {
    uint32_t& count = key == "wrong-data-count" ? wrongDataCount : key == "wrong-sum" ? wrongSum
                      : key == "short-prepare" ? shortPrepare : key == "short-sum" ? shortSum
                      : key == "short-data-ack" ? shortDataAck : writeStatus;
    if (!ParseCount(value, 1, count)) { error = "fault \"" + key + "\" takes a count from 1, or always, as in " + key + "=3"; return false; }
  } else if (key == "reboot-keeps-link") {
    if (!noValue()) return false;
    rebootKeepsLink = true;
  } else if (key == "double-write-status") {
    if (!noValue()) return false;
    doubleWriteStatus = true;
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
  } else if (key == "short-build") {
    if (!noValue()) return false;
    shortBuild = true;
  } else if (key == "flood") {
    if (value.empty()) n = 8;
    else if (!ParseNumber(value, n) || n == 0 || n > kMaxFlood) {
      error = "flood=N needs a number of packets from 1 to " + std::to_string(kMaxFlood);
      return false;
    }
    flood = uint32_t(n);
  } else if (key == "duplicate-replies") {
    if (!noValue()) return false;
    duplicateReplies = true;
  } else if (key == "no-answer" || key == "late-answer" || key == "error-answer") {
    AnswerFault f;
    f.kind = key == "no-answer" ? AnswerFault::Kind::Missing
             : key == "late-answer" ? AnswerFault::Kind::Late : AnswerFault::Kind::Error;
    bool withAmount = f.kind != AnswerFault::Kind::Missing;
    if (!ParseTarget(value, withAmount, f)) {
      error = "fault \"" + key + "\" needs a command and optionally an option, as in " + key +
              (withAmount ? (f.kind == AnswerFault::Kind::Late ? "=3.8:500 (milliseconds)" : "=3.8:21 (error code)")
                          : "=3.8");
      return false;
    }
    if (f.kind == AnswerFault::Kind::Error && (f.amount == 0 || f.amount > 255)) {
      error = "fault \"error-answer\" needs an error code 1..255";
      return false;
    }
    if (answers.size() >= kMaxAnswerFaults) {
      error = "at most " + std::to_string(kMaxAnswerFaults) + " answer faults per module";
      return false;
    }
    answers.push_back(f);
  } else {
    error = "unknown fault \"" + key +
            "\" (known: latency=MS, drop-data-ack[=N[:COUNT]], wrong-data-count[=COUNT], wrong-sum[=COUNT], "
            "late-data-ack=MS[:COUNT], short-prepare[=COUNT], short-sum[=COUNT], short-data-ack[=COUNT], "
            "write-status[=COUNT], uei-data-error[=CODE[:COUNT]], reboot-keeps-link, double-write-status, "
            "prepare-status, block-size-0, init-short, no-load-reply, disconnect-after=BYTES, "
            "heartbeat-strict, mute, short-build, flood[=N], duplicate-replies, no-answer=CMD[.OPT], late-answer=CMD[.OPT]:MS, "
            "error-answer=CMD[.OPT]:CODE)";
    return false;
  }
  return true;
}

std::string Faults::describe() const {
  std::string s;
  auto late = [](uint32_t from, uint32_t count) {
    return from <= 1 && count == kAlways ? std::string()
           : "@" + std::to_string(from) + (count == kAlways ? "" : "+" + CountText(count));
  };
  auto add = [&](const std::string& w) {
    auto start = startAt.find(w.substr(0, w.find('=')));
    s += (s.empty() ? "" : ", ") + w + (start == startAt.end() ? "" : late(start->second, kAlways));
  };
  if (latencyMs > 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", latencyMs);
    std::string ms = text;
    while (ms.back() == '0') ms.pop_back();
    if (ms.back() == '.') ms.pop_back();
    add("latency=" + ms);
  }
  auto counted = [&](const char* word, uint32_t n) {
    if (n) add(std::string(word) + (n == 1 ? "" : "=" + CountText(n)));
  };
  if (dropDataAck)
    add("drop-data-ack=" + std::to_string(dropDataAck) +
        (dropDataAckCount == 1 ? "" : ":" + CountText(dropDataAckCount)));
  counted("wrong-data-count", wrongDataCount);
  counted("wrong-sum", wrongSum);
  if (lateDataAckMs)
    add("late-data-ack=" + std::to_string(lateDataAckMs) +
        (lateDataAckCount == 1 ? "" : ":" + CountText(lateDataAckCount)));
  counted("short-prepare", shortPrepare);
  counted("short-sum", shortSum);
  counted("short-data-ack", shortDataAck);
  counted("write-status", writeStatus);
  if (ueiDataError)
    add("uei-data-error=" + std::to_string(ueiDataErrorCode) +
        (ueiDataError == 1 ? "" : ":" + CountText(ueiDataError)));
  if (rebootKeepsLink) add("reboot-keeps-link");
  if (doubleWriteStatus) add("double-write-status");
  if (prepareStatus) add("prepare-status");
  if (blockSizeZero) add("block-size-0");
  if (initShort) add("init-short");
  if (noLoadReply) add("no-load-reply");
  if (disconnectAfter >= 0) add("disconnect-after=" + std::to_string(disconnectAfter));
  if (heartbeatStrict) add("heartbeat-strict");
  if (mute) add("mute" + late(muteFrom, muteCount));
  if (shortBuild) add("short-build");
  if (flood) add("flood=" + std::to_string(flood));
  if (duplicateReplies) add("duplicate-replies");
  for (const AnswerFault& f : answers) {
    std::string target = std::to_string(f.command) + (f.option >= 0 ? "." + std::to_string(f.option) : "");
    if (f.kind == AnswerFault::Kind::Missing) target = "no-answer=" + target;
    else if (f.kind == AnswerFault::Kind::Late) target = "late-answer=" + target + ":" + std::to_string(f.amount);
    else target = "error-answer=" + target + ":" + std::to_string(f.amount);
    add(target + late(f.from, f.count));
  }
  return s;
}

}  // namespace ksim
