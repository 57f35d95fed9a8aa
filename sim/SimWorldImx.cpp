// The world's i.MX chips: each boot ROM (SimImxSdp) behind a hidraw node
// and/or a pseudo-terminal, and the module its loader becomes. The loader is
// an ordinary endpoint of the world that sleeps (dormant) until the ROM
// starts a recognised image; then the HID node leaves the bus and the
// module appears on USB, in its loader, and from there on is the module
// model's business (upgrade, REBOOT into its own serial number).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <nlohmann/json.hpp>

#include "sim/SimImxHid.h"
#include "sim/SimUsb.h"
#include "sim/SimWorld.h"

namespace ksim {

namespace {
constexpr uint64_t kHidLeaveMs = 50;  // the jump's answer can still be read this long
#ifdef KORVEX_SIM_USB
constexpr int kMaxHidIndex = 700;     // hidraw nodes a world hands out (USB device numbers 200..899)
int gNextHidIndex = 0;                // the world runs on one thread
#endif
}

struct ImxSite : HidReportPort {
  ImxSite(const ImxSpec& s, std::function<uint64_t()> clock, std::function<void()> wake)
      : spec(s), rom(s.rom), clock_(std::move(clock)), wake_(std::move(wake)) {}
  ~ImxSite() override {
    hid.reset();
    goneHid.clear();
    if (ptyMaster >= 0) ::close(ptyMaster);
    if (ptySlave >= 0) ::close(ptySlave);
    if (!spec.ptyLink.empty()) ::unlink(spec.ptyLink.c_str());
  }

  // HID reports, on umockdev's worker thread.
  void Output(const uint8_t* report, size_t length) override {
    {
      std::lock_guard<std::mutex> guard(lock);
      rom.hidWrite(report, length, clock_());
    }
    wake_();
  }
  bool Input(std::vector<uint8_t>& report) override {
    std::lock_guard<std::mutex> guard(lock);
    return rom.hidRead(clock_(), report);
  }

  ImxSpec spec;
  mutable std::mutex lock;  // the ROM is fed by the HID worker thread and the world
  ImxRom rom;
  Endpoint* loader = nullptr;
  int ptyMaster = -1, ptySlave = -1;
  std::string ptyPath;
  bool handedOver = false, silenced = false;
  uint64_t hidLeaveAt = 0;
  uint64_t seen = 0;  // commands and data bytes at the last status write
  uint64_t resetsSeen = 0;  // the loader's resets when it was started
  // Nodes that left the bus keep answering a host still holding them
  // ("no such device") until the site goes; the present one is last.
  std::vector<std::unique_ptr<HidNode>> goneHid;
  std::unique_ptr<HidNode> hid;

 private:
  std::function<uint64_t()> clock_;
  std::function<void()> wake_;
};

void ImxSiteDelete::operator()(ImxSite* site) const { delete site; }

namespace {

bool OpenRawPty(ImxSite& s, std::string& error) {
  const std::string what = "i.MX chip " + SerialText(s.spec.loader.serial) + ": pseudo-terminal";
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || !::ptsname(master)) {
    error = what + ": " + std::strerror(errno);
    if (master >= 0) ::close(master);
    return false;
  }
  s.ptyMaster = master;
  s.ptyPath = ::ptsname(master);
  s.ptySlave = ::open(s.ptyPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s.ptySlave < 0) { error = what + ": " + std::strerror(errno); return false; }
  termios t{};
  if (::tcgetattr(s.ptySlave, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(s.ptySlave, TCSANOW, &t);
  }
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  if (!s.spec.ptyLink.empty()) {
    ::unlink(s.spec.ptyLink.c_str());
    if (::symlink(s.ptyPath.c_str(), s.spec.ptyLink.c_str()) != 0) {
      error = what + ": cannot link " + s.spec.ptyLink + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

const char* StateText(ImxRom::State s) {
  return s == ImxRom::State::Rom ? "rom" : s == ImxRom::State::Started ? "started" : "silent";
}

std::string Hex32(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", unsigned(v));
  return b;
}

}  // namespace

bool World::startImx(std::string& error) {
  for (const ImxSpec& spec : cfg_.imx) {
    std::unique_ptr<ImxSite, ImxSiteDelete> site(new ImxSite(spec, [this] { return now(); }, [this] { wake(); }));
    if (spec.pty && !OpenRawPty(*site, error)) return false;
    // The loader's module: asleep until the ROM starts it.
    auto e = std::make_unique<Endpoint>();
    e->spec.module = spec.loader;
#ifdef KORVEX_SIM_USB
    e->spec.transport.usb = true;
#endif
    e->dormant = true;
    e->module = std::make_unique<Module>(spec.loader);
    Endpoint* ep = e.get();
    e->module->setLogger([this, ep](const std::string& line) { say(*ep, line); });
    site->loader = ep;
    endpoints_.push_back(std::move(e));
    imx_.push_back(std::move(site));
  }
  return true;
}

// A new hidraw node for the site's ROM (a new device number on every plug-in).
static bool PlugHid(ImxSite& s, UsbBus* bus, std::string& error) {
#ifdef KORVEX_SIM_USB
  if (!bus) { error = "i.MX HID: no USB testbed"; return false; }
  if (gNextHidIndex >= kMaxHidIndex) { error = "i.MX HID: no device numbers left"; return false; }
  if (s.hid) s.goneHid.push_back(std::move(s.hid));
  s.hid = std::make_unique<HidNode>(bus->testbed(), gNextHidIndex++, kImxHidVendor, kImxHidProduct,
                                    SerialText(s.spec.loader.serial), s);
  return s.hid->Plug(error);
#else
  (void)s;
  (void)bus;
  error = "HID needs umockdev";
  return false;
#endif
}

bool World::plugImxHid(std::string& error) {
  for (auto& s : imx_) {
    if (!s->spec.hid) continue;
#ifdef KORVEX_SIM_USB
    if (!PlugHid(*s, usb_.get(), error)) return false;
#else
    error = "i.MX chip " + SerialText(s->spec.loader.serial) + ": HID needs umockdev; this korvex-sim was built without it";
    return false;
#endif
  }
  return true;
}

void World::imxPollFds(std::vector<int>& fds) const {
  for (const auto& s : imx_) fds.push_back(s->ptyMaster);
}

void World::readImx(size_t k) {
  if (k >= imx_.size()) return;
  ImxSite& s = *imx_[k];
  uint8_t buf[4096];
  ssize_t n = ::read(s.ptyMaster, buf, sizeof buf);
  if (n <= 0) return;
  std::lock_guard<std::mutex> guard(s.lock);
  s.rom.serialReceive(buf, size_t(n), now());
}

uint64_t World::imxDeadline() const {
  uint64_t d = UINT64_MAX;
  for (const auto& s : imx_) {
    std::lock_guard<std::mutex> guard(s->lock);
    if (s->ptyMaster >= 0) d = std::min(d, s->rom.nextDeadline());
    if (s->hidLeaveAt) d = std::min(d, s->hidLeaveAt);
  }
  return d;
}

void World::flushImx() {
  const uint64_t t = now();
  for (auto& sp : imx_) {
    ImxSite& s = *sp;
    Endpoint& e = *s.loader;
    std::vector<uint8_t> bytes;
    ImxRom::State state;
    uint32_t start = 0;
    {
      std::lock_guard<std::mutex> guard(s.lock);
      if (s.ptyMaster >= 0) bytes = s.rom.serialTakeDue(t);
      state = s.rom.state();
      start = s.rom.startAddress();
      const ImxStats& st = s.rom.stats();
      uint64_t seen = st.dataBytes + st.jumps + st.unknown + st.associations;
      for (const auto& c : st.commands) seen += c.second;
      for (const auto& f : st.faultsFired) seen += f.second;
      if (seen != s.seen) { s.seen = seen; statusDirty_ = true; }
    }
    // A terminal nobody reads fills up; what does not fit is lost, as on a wire.
    if (!bytes.empty() && ::write(s.ptyMaster, bytes.data(), bytes.size()) < 0 && errno != EAGAIN)
      say(e, std::string("i.MX pty: ") + std::strerror(errno));
    if (state == ImxRom::State::Started && !s.handedOver) {
      s.handedOver = true;
      s.resetsSeen = e.module->stats().resets;
      statusDirty_ = true;
      say(e, "i.MX ROM: loader started at " + Hex32(start) + "; the ROM leaves");
      if (s.hid) s.hidLeaveAt = t + kHidLeaveMs;
      if (e.spec.transport.usb) {
        e.dormant = false;
        e.awayUntil = t + (e.spec.module.loaderAwayMs == ModuleConfig::kNever ? 0 : e.spec.module.loaderAwayMs);
      } else {
        say(e, "i.MX ROM: the loader would appear on USB, which this korvex-sim cannot simulate");
      }
    }
    if (state == ImxRom::State::Silent && !s.silenced) {
      s.silenced = true;
      statusDirty_ = true;
      say(e, "i.MX ROM: jump to an unknown image; the chip is silent");
    }
    if (s.hidLeaveAt && t >= s.hidLeaveAt) {
      s.hidLeaveAt = 0;
      s.hid->Unplug();
      say(e, "i.MX ROM: the HID device left the bus");
    }
    // A reset of the loader restarts the chip, whose firmware still does not
    // start: it is back in its ROM (the loader leaves USB as any reset module
    // does, and stays away until the next jump).
    if (s.handedOver && e.module->inLoader() && e.module->stats().resets != s.resetsSeen) {
      s.handedOver = false;
      e.dormant = true;
      statusDirty_ = true;
      {
        std::lock_guard<std::mutex> guard(s.lock);
        s.rom.restart();
      }
      say(e, "i.MX ROM: the loader was reset; the chip is back in its ROM");
      std::string error;
      if (s.spec.hid) {
        s.hidLeaveAt = 0;
        if (s.hid) s.hid->Unplug();
        if (PlugHid(s, usb_.get(), error)) say(e, "i.MX ROM: HID device back at " + s.hid->node());
        else say(e, "i.MX ROM: " + error);
      }
    }
  }
}

std::vector<std::string> World::describeImx() const {
  std::vector<std::string> lines;
  for (const auto& s : imx_) {
    const ImxSpec& p = s->spec;
    const uint32_t* f = p.rom.fingerprint;
    lines.push_back("i.MX chip " + SerialText(p.loader.serial) + "  fingerprint " + SerialText(f[0]) + ":" +
                    SerialText(f[1]) + ":" + SerialText(f[2]) + ":" + SerialText(f[3]) +
                    (p.rom.faults.describe().empty() ? "" : "  faults: " + p.rom.faults.describe()));
    if (s->hid) lines.push_back("  hid   " + s->hid->node() + "  (1FC9:0130)");
    if (s->ptyMaster >= 0)
      lines.push_back("  pty   " + s->ptyPath + (p.ptyLink.empty() ? "" : "  (linked as " + p.ptyLink + ")"));
    lines.push_back(std::string("  loader: on USB as ") + (p.loader.loaderDeadead ? "DEADDEAD" : SerialText(p.loader.serial)) +
                    " once started");
  }
  return lines;
}

std::string World::imxStatusJson() const {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& s : imx_) {
    std::lock_guard<std::mutex> guard(s->lock);
    const ImxStats& st = s->rom.stats();
    nlohmann::json j;
    j["serial"] = SerialText(s->spec.loader.serial);
    j["state"] = StateText(s->rom.state());
    if (s->rom.state() == ImxRom::State::Started) j["start_address"] = s->rom.startAddress();
    if (s->hid) j["hid"] = s->hid->node();
    if (s->ptyMaster >= 0) j["pty"] = s->ptyPath;
    nlohmann::json commands = nlohmann::json::object();
    for (const auto& c : st.commands) {
      char key[8];
      std::snprintf(key, sizeof key, "%04X", unsigned(c.first));
      commands[key] = c.second;
    }
    j["counters"] = {{"commands", commands},   {"data_bytes", st.dataBytes}, {"data_reports", st.dataReports},
                     {"stray_data", st.strayData}, {"jumps", st.jumps},       {"loader_starts", st.loaderStarts},
                     {"bad_jumps", st.badJumps},   {"unknown", st.unknown},
                     {"associations", st.associations}};
    j["faults_fired"] = st.faultsFired;
    // From the first status or association command to the last jump.
    if (st.loadUs) j["load_ms"] = double(st.loadUs) / 1000.0;
    list.push_back(j);
  }
  return list.dump();
}

std::vector<std::pair<std::string, std::string>> World::imxEnvironment() const {
  std::vector<std::pair<std::string, std::string>> env;
  for (const auto& s : imx_) {
    if (s->ptyPath.empty()) continue;
    if (env.empty()) env.push_back({"KORVEX_SIM_IMX_PTY", s->ptyPath});
    env.push_back({"KORVEX_SIM_" + SerialText(s->spec.loader.serial) + "_IMX_PTY", s->ptyPath});
  }
  return env;
}

}  // namespace ksim
