// A running simulated world: the modules of a WorldConfig, each behind its
// transports (TCP listener, pseudo-terminal, simulated USB device), and the
// TCP/IP discovery responder. Everything runs on the thread that calls
// run(); other threads only call stop().
#ifndef KORVEX_SIM_WORLD_H
#define KORVEX_SIM_WORLD_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimConfig.h"
#include "sim/SimModule.h"
#include "sim/SimTiming.h"

namespace ksim {

class UsbBus;  // simulated USB devices (SimUsb.cpp)
struct ImxSite;  // an i.MX boot ROM and its transports (SimWorldImx.cpp)
struct ImxSiteDelete { void operator()(ImxSite* site) const; };

// One module with its links.
struct Endpoint {
  ModuleSpec spec;
  std::unique_ptr<Module> module;
  std::vector<std::unique_ptr<Module>> busModules;

  enum class Link { None, Tcp, Pty, Usb };
  Link active = Link::None;   // where replies go: the link that spoke last
  uint64_t awayUntil = 0;     // rebooting or reset: no link answers before this (UINT64_MAX: gone)
  uint64_t leaveAt = 0;       // after LOAD: when the module leaves its links (0: not leaving)
  uint32_t leaveAwayMs = 0;   // ... and for how long

  int listenFd = -1;
  int connFd = -1;
  uint64_t lastArrivalUs = 0;  // when the last bytes on connFd reached the module
  uint16_t port = 0;
  bool listenerClosed = false;

  int ptyMaster = -1;
  int ptySlave = -1;          // held open so the terminal stays usable between hosts
  std::string ptyPath;

  bool usbPresent = false;
  uint64_t unplugAt = 0;      // when the device leaves the bus (0: not leaving)
  uint32_t unplugAwayMs = 0;  // ... and for how long
  uint32_t usbSerial = 0;     // serial number the USB device shows
  bool dormant = false;       // an i.MX chip's loader not started yet: on no link
};

class World {
 public:
  using Printer = std::function<void(const std::string&)>;

  World(const WorldConfig& config, Printer print);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // Opens every listener, terminal and device; false with a message.
  bool start(std::string& error);
  // Lines telling where everything is.
  std::vector<std::string> describe() const;
  // The same as JSON (for scripts and tests), with each module's request
  // counters.
  std::string statusJson() const;
  // The file statusJson() is kept in while the world runs (rewritten as
  // requests come in); writeStatus() writes it now.
  void setStatusFile(const std::string& path) { statusFile_ = path; }
  bool writeStatus(std::string& error);
  // Runs until stop() or until `keepRunning` returns false (checked at
  // least every 100 ms).
  void run(const std::function<bool()>& keepRunning);
  // Safe from any thread and from signal handlers.
  void stop();
  // Writes every configured flash dump (asked for by SIGUSR1 and at exit).
  void dumpFlashes();
  void requestFlashDump() { dumpRequested_ = true; wake(); }

  const std::vector<std::unique_ptr<Endpoint>>& endpoints() const { return endpoints_; }
  // The simulated LPC boot ROMs, on their terminals.
  const std::vector<std::unique_ptr<LpcPort>>& lpcPorts() const { return lpcs_; }
  uint64_t now() const;
  uint64_t nowUs() const;  // the same clock in microseconds

 private:
  bool openListener(Endpoint& e, std::string& error);
  bool openPty(Endpoint& e, std::string& error);
  bool openDiscovery(std::string& error);
  void acceptHost(Endpoint& e);
  void readTcp(Endpoint& e);
  void readPty(Endpoint& e);
  void answerDiscovery();
  void closeConnection(Endpoint& e, bool reset);
  void flush(Endpoint& e);
  void deliver(Endpoint& e, const std::vector<uint8_t>& bytes);
  void act(Endpoint& e, const Outgoing& o);
  void goAway(Endpoint& e, uint64_t t, uint32_t awayMs, uint64_t usbDelayMs);
  void wake();
  void say(const Endpoint& e, const std::string& line) const;
  uint64_t packetsSeen() const;
  void refreshStatus(bool force);

  // --- i.MX boot ROMs (SimWorldImx.cpp) ---
  static constexpr int kImxPollKind = 1000;  // poll owners: kImxPollKind + site index
  bool startImx(std::string& error);          // ROMs, their terminals and dormant loaders
  bool plugImxHid(std::string& error);        // HID nodes, once the USB testbed exists
  void imxPollFds(std::vector<int>& fds) const;  // terminal of each site (-1: none)
  void readImx(size_t site);
  void flushImx();
  uint64_t imxDeadline() const;
  std::vector<std::string> describeImx() const;
  std::string imxStatusJson() const;
 public:
  // Environment for a command run inside the world: each ROM's terminal.
  std::vector<std::pair<std::string, std::string>> imxEnvironment() const;
 private:
  std::vector<std::unique_ptr<ImxSite, ImxSiteDelete>> imx_;
  // --- end of i.MX boot ROMs ---

  WorldConfig cfg_;
  Printer print_;
  std::vector<std::unique_ptr<Endpoint>> endpoints_;
  std::unique_ptr<UsbBus> usb_;
  std::vector<std::unique_ptr<LpcPort>> lpcs_;
  int udpFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> dumpRequested_{false};
  std::string statusFile_;
  uint64_t lastStatusWrite_ = 0, statusPackets_ = 0;
  bool statusDirty_ = false;  // a module left or came back since the last write
  WakeMargin wakeMargin_;     // how early timed waits for an answer end
  static constexpr uint64_t kStatusIntervalMs = 50;
};

}  // namespace ksim

#endif
