// The simulated LPC boot ROM on a pseudo-terminal, its fault words and its
// description in "--lpc" options and world files.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/SimLpcIsp.h"

namespace ksim {

using nlohmann::json;

namespace {

constexpr size_t kMaxPending = 65536;  // output nobody reads is dropped beyond this, as on a wire

uint64_t NowUs() {
  using namespace std::chrono;
  return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// A number: decimal, or hexadecimal with 0x; up to 0xFFFFFFFF.
bool Number(const std::string& text, uint32_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end || errno || v > 0xFFFFFFFFull) return false;
  out = uint32_t(v);
  return true;
}

bool NumberJson(const json& v, uint32_t& out) {
  if (v.is_number_unsigned()) {
    if (v.get<uint64_t>() > 0xFFFFFFFFull) return false;
    out = uint32_t(v.get<uint64_t>());
    return true;
  }
  return v.is_string() && Number(v.get<std::string>(), out);
}

uint32_t SpeedToRate(speed_t s) {
  switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    default: return 0;  // B0 (never set) and rates the ROM cannot run at
  }
}

const std::set<std::string> kLpcKeys = {"name", "id", "part", "boot", "erase_ms", "program_ms", "strict_blank",
                                        "pty", "pty_link", "flash_dump", "fault", "faults"};

}  // namespace

// ---- fault words ----

bool LpcFaults::parse(const std::string& word, std::string& error) {
  size_t eq = word.find('=');
  std::string key = word.substr(0, eq), value = eq == std::string::npos ? "" : word.substr(eq + 1);
  auto count = [&](uint32_t dflt, uint32_t& out) {
    if (value.empty()) { out = dflt; return true; }
    if (value == "always") { out = kLpcAlways; return true; }
    if (Number(value, out) && out > 0) return true;
    error = "LPC fault \"" + key + "\" takes a count from 1, or always";
    return false;
  };
  if (key == "stray-bytes") return count(1, strayAnswers);
  if (key == "resend") return count(1, resends);
  if (key == "drop-echo") return count(1, dropEcho);
  if (key == "corrupt-copy") {
    if (count(1, corruptCopy) && corruptCopy != kLpcAlways) return true;
    error = "LPC fault \"corrupt-copy\" takes the number of the copy to spoil, from 1";
    return false;
  }
  if (key == "silent" && value.empty()) return silent = true;
  if (key == "wrong-sync" && value.empty()) return wrongSync = true;
  if (key == "error" || key == "lpc-error") {
    uint32_t code = 0, nth = 0;
    size_t colon = value.find(':');
    const size_t at = value.find('@');
    const std::string codeText =
        colon != 1 ? std::string() : value.substr(2, at == std::string::npos ? std::string::npos : at - 2);
    if (colon == 1 && std::isupper(static_cast<unsigned char>(value[0])) && Number(codeText, code) &&
        code <= 255 && (at == std::string::npos || (Number(value.substr(at + 1), nth) && nth > 0))) {
      errors[value[0]] = int(code);
      if (nth) errorAt[value[0]] = nth; else errorAt.erase(value[0]);
      return true;
    }
    error = "LPC fault \"error\" is error=LETTER:CODE[@N], as in error=E:9 or error=A:1@2";
    return false;
  }
  error = "unknown LPC fault \"" + word +
          "\" (known: stray-bytes[=COUNT] resend[=COUNT] silent wrong-sync drop-echo[=COUNT] error=LETTER:CODE[@N] corrupt-copy[=N])";
  return false;
}

std::string LpcFaults::describe() const {
  std::string s;
  auto add = [&](const std::string& w) { s += (s.empty() ? "" : " ") + w; };
  auto n = [](uint32_t c) { return c == kLpcAlways ? std::string("always") : std::to_string(c); };
  if (strayAnswers) add("stray-bytes=" + n(strayAnswers));
  if (resends) add("resend=" + n(resends));
  if (dropEcho) add("drop-echo=" + n(dropEcho));
  if (silent) add("silent");
  if (wrongSync) add("wrong-sync");
  if (corruptCopy) add("corrupt-copy=" + n(corruptCopy));
  for (const auto& e : errors) {
    const auto at = errorAt.find(e.first);
    add(std::string("error=") + e.first + ":" + std::to_string(e.second) +
        (at == errorAt.end() ? std::string() : "@" + std::to_string(at->second)));
  }
  return s;
}

// ---- description ----

bool ParseLpcJson(const json& j, LpcConfig& c, std::string& error) {
  if (!j.is_object()) { error = "an LPC ROM is an object of keys"; return false; }
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& key = it.key();
    const json& v = *it;
    auto bad = [&](const std::string& what) {
      error = "\"" + key + "\": " + what;
      return false;
    };
    uint32_t n = 0;
    if (key == "name") {
      if (!v.is_string() || v.get<std::string>().empty() || v.get<std::string>().size() > 32) return bad("a name of 1..32 characters");
      c.name = v.get<std::string>();
      if (c.name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
        return bad("letters, digits and _ only");
    } else if (key == "id") {
      std::vector<std::string> words;
      if (v.is_array()) {
        for (const json& w : v) words.push_back(w.is_string() ? w.get<std::string>() : w.dump());
      } else if (v.is_string()) {
        std::stringstream ss(v.get<std::string>());
        std::string w;
        while (std::getline(ss, w, ':')) words.push_back(w);
      }
      if (words.size() != 4) return bad("four words, W1:W2:W3:W4 (decimal or 0x hexadecimal)");
      for (int i = 0; i < 4; ++i)
        if (!Number(words[size_t(i)], c.id[i])) return bad("four words, W1:W2:W3:W4 (decimal or 0x hexadecimal)");
    } else if (key == "part") {
      if (!NumberJson(v, c.partNumber)) return bad("a number");
    } else if (key == "boot") {
      unsigned major = 0, minor = 0;
      char tail = 0;
      if (!v.is_string() || std::sscanf(v.get<std::string>().c_str(), "%u.%u%c", &major, &minor, &tail) != 2 ||
          major > 255 || minor > 255)
        return bad("MAJOR.MINOR");
      c.bootMajor = uint8_t(major);
      c.bootMinor = uint8_t(minor);
    } else if (key == "erase_ms" || key == "program_ms") {
      if (!NumberJson(v, n) || n > 60000) return bad("milliseconds, 0..60000");
      (key == "erase_ms" ? c.eraseMs : c.programMs) = n;
    } else if (key == "strict_blank" || key == "pty") {
      bool flag = false;
      if (v.is_boolean()) flag = v.get<bool>();
      else if (v.is_string() && (v == "yes" || v == "no")) flag = v == "yes";
      else return bad("true or false (yes or no)");
      if (key == "strict_blank") c.strictBlank = flag;
      else if (!flag) return bad("an LPC ROM is always on a pseudo-terminal");
    } else if (key == "pty_link" || key == "flash_dump") {
      if (!v.is_string() || v.get<std::string>().empty()) return bad("a path");
      (key == "pty_link" ? c.ptyLink : c.flashDump) = v.get<std::string>();
    } else if (key == "faults" || key == "fault") {
      std::vector<std::string> words;
      if (v.is_string()) words.push_back(v.get<std::string>());
      else if (v.is_array()) {
        for (const json& w : v) {
          if (!w.is_string()) return bad("fault words");
          words.push_back(w.get<std::string>());
        }
      } else {
        return bad("fault words");
      }
      for (const auto& w : words)
        if (!c.faults.parse(w, error)) return false;
    } else {
      error = "unknown LPC key \"" + key + "\"";
      return false;
    }
  }
  return true;
}

bool ParseLpcSpec(const std::string& text, LpcConfig& c, std::string& error) {
  json j = json::object();
  json faults = json::array();
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    if (item.empty()) continue;
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq), value = eq == std::string::npos ? "" : item.substr(eq + 1);
    if (!kLpcKeys.count(key) || key == "faults") {
      error = "--lpc " + text + ": unknown key \"" + key + "\"";
      return false;
    }
    if (key == "fault") faults.push_back(value);
    else if (eq == std::string::npos) j[key] = true;
    else j[key] = value;
  }
  if (!faults.empty()) j["faults"] = faults;
  if (!ParseLpcJson(j, c, error)) {
    error = "--lpc " + text + ": " + error;
    return false;
  }
  return true;
}

// ---- the terminal ----

LpcPort::LpcPort(const LpcConfig& config, std::function<void(const std::string&)> print)
    : rom_(config), print_(std::move(print)) {
  rom_.setLogger([this](const std::string& line) { print_("[" + rom_.config().name + "] " + line); });
}

LpcPort::~LpcPort() {
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  if (!rom_.config().ptyLink.empty() && !path_.empty()) ::unlink(rom_.config().ptyLink.c_str());
}

bool LpcPort::open(std::string& error) {
  const std::string what = "LPC ROM " + rom_.config().name + ": pseudo-terminal";
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char* name = master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0 ? ::ptsname(master_) : nullptr;
  if (!name) {
    error = what + ": " + std::strerror(errno);
    return false;
  }
  path_ = name;
  // The terminal side stays open and raw; its speed starts unset (B0), so
  // the rate a host sets is seen, and an unset one runs at 115200.
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    error = what + " " + path_ + ": " + std::strerror(errno);
    return false;
  }
  termios t{};
  if (::tcgetattr(slave_, &t) == 0) {
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B0);
    ::cfsetospeed(&t, B0);
    ::tcsetattr(slave_, TCSANOW, &t);
  }
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  const std::string& link = rom_.config().ptyLink;
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(path_.c_str(), link.c_str()) != 0) {
      error = what + ": cannot link " + link + " to " + path_ + ": " + std::strerror(errno);
      path_.clear();  // the link is not ours to remove
      return false;
    }
  }
  return true;
}

void LpcPort::readRate() {
  termios t{};
  uint32_t rate = 0;
  if (::tcgetattr(master_, &t) == 0) rate = SpeedToRate(::cfgetospeed(&t));
  if (!rate) rate = 115200;
  if (rate != rate_) {
    rate_ = rate;
    print_("[" + rom_.config().name + "] pacing at " + std::to_string(rate) + " bit/s");
  }
  rom_.setBitRate(rate_);
}

void LpcPort::onReadable() {
  uint8_t buf[4096];
  ssize_t n = ::read(master_, buf, sizeof buf);
  if (n <= 0) return;
  readRate();
  rom_.receive(buf, size_t(n), NowUs());
}

int LpcPort::flush() {
  uint64_t now = NowUs();
  pending_ += rom_.takeDue(now);
  if (pending_.size() > kMaxPending) {
    lost_ += pending_.size() - kMaxPending;
    pending_.erase(0, pending_.size() - kMaxPending);
  }
  bool full = false;
  if (!pending_.empty()) {
    ssize_t w = ::write(master_, pending_.data(), pending_.size());
    if (w > 0) pending_.erase(0, size_t(w));
    full = w < 0 && errno == EAGAIN;  // nobody reads: try again a little later
  }
  if (rom_.running() && !wasRunning_) {
    wasRunning_ = true;
    dump();
  }
  if (!pending_.empty()) return full ? 10 : 1;
  uint64_t due = rom_.nextDue();
  if (due == UINT64_MAX) return -1;
  return due <= now ? 0 : int(std::min<uint64_t>((due - now + 999) / 1000, 1000));
}

void LpcPort::dump() {
  if (rom_.config().flashDump.empty()) return;
  std::string error;
  if (!rom_.dumpFlash(rom_.config().flashDump, error)) print_("[" + rom_.config().name + "] " + error);
}

std::vector<std::string> LpcPort::describe() const {
  const LpcConfig& c = rom_.config();
  char id[64];
  std::snprintf(id, sizeof id, "%08X %08X %08X %08X", unsigned(c.id[0]), unsigned(c.id[1]), unsigned(c.id[2]),
                unsigned(c.id[3]));
  std::vector<std::string> lines = {"lpc " + c.name + "  id " + id + "  part " + std::to_string(c.partNumber) +
                                    "  erase " + std::to_string(c.eraseMs) + " ms"};
  lines.push_back("  pty   " + path_ + (c.ptyLink.empty() ? "" : "  (linked as " + c.ptyLink + ")"));
  if (!c.faults.describe().empty()) lines.push_back("  faults: " + c.faults.describe());
  if (!c.flashDump.empty()) lines.push_back("  flash saved to " + c.flashDump);
  return lines;
}

uint64_t LpcPort::activity() const {
  const LpcStats& s = rom_.stats();
  uint64_t n = s.dataLinesIn + s.dataLinesOut + s.checksumsOk + s.checksumsBad + s.resendsAsked;
  for (const auto& c : s.commands) n += c.second;
  return n + (rom_.running() ? 1 : 0);
}

json LpcPort::status() const {
  const LpcStats& s = rom_.stats();
  json commands = json::object();
  for (const auto& c : s.commands) commands[std::string(1, c.first)] = c.second;
  json fired = json::object();
  for (const auto& f : s.faultsFired) fired[f.first] = f.second;
  return {{"name", rom_.config().name},
          {"pty", path_},
          {"rate", rate_},
          {"running", rom_.running()},
          {"unlocked", rom_.unlocked()},
          {"echo", rom_.echo()},
          {"counters",
           {{"commands", commands},
            {"syncs", s.syncs},
            {"data_lines_in", s.dataLinesIn},
            {"data_lines_out", s.dataLinesOut},
            {"checksums_ok", s.checksumsOk},
            {"checksums_bad", s.checksumsBad},
            {"resends_sent", s.resendsSent},
            {"resends_asked", s.resendsAsked},
            {"bytes_written", s.bytesWritten},
            {"bytes_copied", s.bytesCopied},
            {"sectors_erased", s.sectorsErased},
            {"nonblank_writes", s.nonBlankWrites},
            {"nonblank_bytes", s.nonBlankBytes},
            {"lost_output", lost_},
            {"overruns", s.overruns},
            {"compares", s.compares},
            {"compare_mismatches", s.compareMismatches},
            {"host_ahead_max", s.hostAheadMax}}},
          {"faults_fired", fired}};
}

}  // namespace ksim
