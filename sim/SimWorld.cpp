#include "sim/SimWorld.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>

#include "sim/SimUsb.h"

namespace ksim {

namespace {

constexpr uint16_t kDiscoveryPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr uint64_t kUnplugDelayMs = 100;  // a restarting USB module leaves the bus this much later

std::string Errno() { return std::strerror(errno); }

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

World::World(const WorldConfig& config, Printer print) : cfg_(config), print_(std::move(print)) {}

World::~World() {
  imx_.clear();  // HID nodes leave the testbed before the bus does
  for (auto& e : endpoints_) {
    CloseFd(e->connFd);
    CloseFd(e->listenFd);
    CloseFd(e->ptyMaster);
    CloseFd(e->ptySlave);
    if (!e->spec.transport.ptyLink.empty()) ::unlink(e->spec.transport.ptyLink.c_str());
  }
  usb_.reset();
  CloseFd(udpFd_);
  CloseFd(wakePipe_[0]);
  CloseFd(wakePipe_[1]);
}

uint64_t World::now() const { return nowUs() / 1000; }

uint64_t World::nowUs() const {
  using namespace std::chrono;
  return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void World::say(const Endpoint& e, const std::string& line) const {
  print_("[" + SerialText(e.spec.module.serial) + "] " + line);
}

bool World::start(std::string& error) {
  if (::pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
    error = "cannot create a pipe: " + Errno();
    return false;
  }
  for (const ModuleSpec& spec : cfg_.modules) {
    auto e = std::make_unique<Endpoint>();
    e->spec = spec;
    e->module = std::make_unique<Module>(spec.module);
    Endpoint* ep = e.get();
    e->module->setLogger([this, ep](const std::string& line) { say(*ep, line); });
    for (const ModuleConfig& bc : spec.bus) {
      auto bm = std::make_unique<Module>(bc);
      bm->setLogger([this, bc](const std::string& line) {
        print_("[" + SerialText(bc.serial) + " on bus] " + line);
      });
      e->module->attachBusModule(bm.get());
      e->busModules.push_back(std::move(bm));
    }
    if (spec.transport.tcp && !openListener(*e, error)) return false;
    if (spec.transport.pty && !openPty(*e, error)) return false;
    endpoints_.push_back(std::move(e));
  }
  if (!startImx(error)) return false;
  bool anyUsb = false;
  for (auto& e : endpoints_) anyUsb |= e->spec.transport.usb;
  if (anyUsb) {
    usb_ = UsbBus::create([this]() { wake(); }, error);
    if (!usb_) return false;
    for (auto& e : endpoints_) {
      if (!e->spec.transport.usb || e->dormant) continue;
      e->usbSerial = e->module->presentedSerial();
      if (!usb_->add(*e, error)) return false;
      e->usbPresent = true;
    }
  }
  if (!plugImxHid(error)) return false;
  if (cfg_.discovery && !openDiscovery(error)) return false;
  // LPC boot ROMs.
  for (size_t i = 0; i < cfg_.lpcs.size(); ++i) {
    LpcConfig lc = cfg_.lpcs[i];
    if (lc.name.empty()) lc.name = "lpc" + std::to_string(i);
    lpcs_.push_back(std::make_unique<LpcPort>(lc, print_));
    if (!lpcs_.back()->open(error)) return false;
  }
  return true;
}

bool World::openListener(Endpoint& e, std::string& error) {
  const std::string what = "module " + SerialText(e.spec.module.serial) + ": TCP listener on " + cfg_.bind;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) { error = what + ": " + Errno(); return false; }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(e.port ? e.port : e.spec.transport.port);
  if (::inet_pton(AF_INET, cfg_.bind.c_str(), &a.sin_addr) != 1) {
    ::close(fd);
    error = what + ": not an IPv4 address";
    return false;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
    error = what + " port " + std::to_string(ntohs(a.sin_port)) + ": " + Errno();
    ::close(fd);
    return false;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  e.port = ntohs(a.sin_port);
  e.listenFd = fd;
  e.listenerClosed = false;
  return true;
}

bool World::openPty(Endpoint& e, std::string& error) {
  const std::string what = "module " + SerialText(e.spec.module.serial) + ": pseudo-terminal";
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    error = what + ": " + Errno();
    CloseFd(master);
    return false;
  }
  const char* name = ::ptsname(master);
  if (!name) { error = what + ": " + Errno(); ::close(master); return false; }
  e.ptyPath = name;
  // Hold the terminal side open and raw: no echo of what the host writes,
  // no line editing, and the master never reads EIO while no host has it open.
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) { error = what + " " + e.ptyPath + ": " + Errno(); ::close(master); return false; }
  termios t{};
  if (::tcgetattr(slave, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
  }
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  e.ptyMaster = master;
  e.ptySlave = slave;
  const std::string& link = e.spec.transport.ptyLink;
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(e.ptyPath.c_str(), link.c_str()) != 0) {
      error = what + ": cannot link " + link + " to " + e.ptyPath + ": " + Errno();
      return false;
    }
  }
  return true;
}

bool World::openDiscovery(std::string& error) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) { error = "discovery socket: " + Errno(); return false; }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kDiscoveryPort);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    error = "discovery: cannot bind UDP port 9888: " + Errno();
    ::close(fd);
    return false;
  }
  // Join the group on every IPv4 interface, so a request sent out of any of
  // them (or looped back on it) is heard.
  int joined = 0;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      ip_mreq mr{};
      ::inet_pton(AF_INET, kDiscoveryGroup, &mr.imr_multiaddr);
      mr.imr_interface = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
      if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mr, sizeof mr) == 0) ++joined;
    }
    ::freeifaddrs(list);
  }
  if (joined == 0) {
    error = "discovery: cannot join group 232.2.2.2 on any interface";
    ::close(fd);
    return false;
  }
  udpFd_ = fd;
  return true;
}

std::vector<std::string> World::describe() const {
  std::vector<std::string> lines;
  for (const auto& e : endpoints_) {
    const ModuleConfig& m = e->spec.module;
    lines.push_back("module " + SerialText(m.serial) + "  model " + std::to_string(m.model) + "  firmware " +
                    VersionText(m.version) + "  build " + std::to_string(m.build) + "  address " +
                    std::to_string(m.address) + "  name \"" + m.name + "\"");
    if (e->listenFd >= 0) lines.push_back("  tcp   " + cfg_.bind + ":" + std::to_string(e->port));
    if (e->ptyMaster >= 0)
      lines.push_back("  pty   " + e->ptyPath +
                      (e->spec.transport.ptyLink.empty() ? "" : "  (linked as " + e->spec.transport.ptyLink + ")"));
    if (e->usbPresent) lines.push_back("  usb   serial number " + SerialText(e->usbSerial) + " " + (usb_ ? usb_->where(*e) : ""));
    for (const auto& b : e->busModules) {
      const ModuleConfig& c = b->config();
      lines.push_back("  bus   address " + std::to_string(c.address) + ": module " + SerialText(c.serial) +
                      "  model " + std::to_string(c.model) + "  firmware " + VersionText(c.version) +
                      (c.faults.describe().empty() ? "" : "  faults: " + c.faults.describe()));
    }
    if (!m.faults.describe().empty()) lines.push_back("  faults: " + m.faults.describe());
    if (m.startInLoader) lines.push_back("  starts in its loader");
    if (m.loaderAwayMs == ModuleConfig::kNever) lines.push_back("  after LOAD its loader never comes back");
    if (m.rebootAwayMs == ModuleConfig::kNever) lines.push_back("  after REBOOT it never comes back");
    if (m.heartbeatMs) lines.push_back("  heartbeats every " + std::to_string(m.heartbeatMs) + " ms");
    if (!m.flashDump.empty()) lines.push_back("  flash saved to " + m.flashDump);
  }
  for (const auto& l : lpcs_)
    for (const auto& line : l->describe()) lines.push_back(line);
  for (const auto& l : describeImx()) lines.push_back(l);
  if (udpFd_ >= 0) lines.push_back("discovery: answering requests to 232.2.2.2:9888");
  if (usb_) {
    const char* dir = std::getenv("UMOCKDEV_DIR");
    lines.push_back("usb: the devices are seen by a command run inside the world (korvex-sim ... -- COMMAND),");
    lines.push_back(std::string("usb: or from another shell with UMOCKDEV_DIR=") + (dir ? dir : "?") +
                    " LD_PRELOAD=libumockdev-preload.so.0");
  }
  return lines;
}

void World::wake() {
  if (wakePipe_[1] >= 0) {
    char c = 1;
    ssize_t r = ::write(wakePipe_[1], &c, 1);
    (void)r;
  }
}

void World::stop() {
  stopping_ = true;
  wake();
}

void World::dumpFlashes() {
  for (auto& e : endpoints_) {
    std::string error;
    if (!e->module->dumpFlash(error)) say(*e, "cannot save the flash: " + error);
    for (auto& b : e->busModules)
      if (!b->dumpFlash(error)) say(*e, "cannot save a bus module's flash: " + error);
  }
  for (auto& l : lpcs_) l->dump();
}

void World::acceptHost(Endpoint& e) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd = ::accept4(e.listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (e.connFd >= 0) {
    say(e, "tcp: a new host replaces the connected one");
    closeConnection(e, false);
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  EnableReceiveStamps(fd);
  e.connFd = fd;
  e.lastArrivalUs = 0;
  e.active = Endpoint::Link::Tcp;
  e.module->linkUp(now());
  char ip[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
  say(e, std::string("tcp: host connected from ") + ip + ":" + std::to_string(ntohs(peer.sin_port)));
}

void World::closeConnection(Endpoint& e, bool reset) {
  if (e.connFd < 0) return;
  if (reset) {
    linger l{1, 0};  // close with a reset, as a module that goes away does
    ::setsockopt(e.connFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  } else {
    // Unread bytes would turn the close into a reset: take them first, so
    // the host sees an orderly end (FIN).
    uint8_t buf[4096];
    for (int i = 0; i < 64 && ::recv(e.connFd, buf, sizeof buf, MSG_DONTWAIT) > 0; ++i) {
    }
  }
  CloseFd(e.connFd);
  if (e.active == Endpoint::Link::Tcp) {
    e.active = Endpoint::Link::None;
    e.module->linkDown();
  }
}

void World::readTcp(Endpoint& e) {
  uint8_t buf[4096];
  uint64_t agoUs = 0;
  ssize_t n = ReceiveStamped(e.connFd, buf, sizeof buf, &agoUs);
  if (n <= 0) {
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    say(e, "tcp: host disconnected");
    closeConnection(e, false);
    return;
  }
  uint64_t tUs = nowUs(), t = tUs / 1000;
  if (t < e.awayUntil) return;
  if (e.active != Endpoint::Link::Tcp) {
    e.active = Endpoint::Link::Tcp;
    e.module->linkUp(t);
  }
  // The module's latency runs from when the bytes reached it, not from when
  // this thread got round to reading them; arrivals keep their order.
  const uint64_t arrivalUs = std::max(tUs - std::min(agoUs, tUs), e.lastArrivalUs);
  e.lastArrivalUs = arrivalUs;
  e.module->receiveUs(buf, size_t(n), arrivalUs);
}

void World::readPty(Endpoint& e) {
  uint8_t buf[4096];
  ssize_t n = ::read(e.ptyMaster, buf, sizeof buf);
  if (n <= 0) return;
  uint64_t tUs = nowUs(), t = tUs / 1000;
  if (t < e.awayUntil) return;
  if (e.active != Endpoint::Link::Pty) {
    if (e.active == Endpoint::Link::None || e.active == Endpoint::Link::Usb) say(e, "pty: host speaking");
    e.active = Endpoint::Link::Pty;
    e.module->linkUp(t);
  }
  e.module->receiveUs(buf, size_t(n), tUs);
}

void World::answerDiscovery() {
  uint8_t req[64];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = ::recvfrom(udpFd_, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n != 16 || req[0] != 1) return;
  from.sin_port = htons(kDiscoveryReplyPort);
  char ip[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
  uint64_t t = now();
  for (auto& e : endpoints_) {
    if (e->listenFd < 0 || t < e->awayUntil) continue;
    uint8_t r[16] = {};
    uint32_t serial = e->module->presentedSerial();
    r[0] = 2;
    r[1] = e->module->address();
    r[2] = uint8_t(e->port);
    r[3] = uint8_t(e->port >> 8);
    for (int i = 0; i < 4; ++i) r[4 + i] = uint8_t(serial >> (8 * i));
    r[12] = e->spec.module.model;
    ::sendto(udpFd_, r, sizeof r, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    say(*e, std::string("discovery: answered ") + ip);
  }
}

void World::deliver(Endpoint& e, const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  switch (e.active) {
    case Endpoint::Link::Tcp:
      if (e.connFd >= 0 && ::send(e.connFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) {
        say(e, "tcp: cannot send: " + Errno());
        closeConnection(e, true);
      }
      break;
    case Endpoint::Link::Pty:
      // A terminal nobody reads fills up; what does not fit is lost, as on a wire.
      if (::write(e.ptyMaster, bytes.data(), bytes.size()) < 0 && errno != EAGAIN) say(e, "pty: " + Errno());
      break;
    case Endpoint::Link::Usb:
      if (usb_) usb_->send(e, bytes);
      break;
    case Endpoint::Link::None:
      break;
  }
}

// The module leaves its links for `awayMs` (kNever: for good). The TCP
// connection ends, with a reset or a FIN as the module is configured, and
// the listener closes until the module is back; a USB device leaves the
// bus `usbDelayMs` later (once the answer before has had time to go out).
void World::goAway(Endpoint& e, uint64_t t, uint32_t awayMs, uint64_t usbDelayMs) {
  const bool never = awayMs == ModuleConfig::kNever;
  e.leaveAt = 0;  // a departure still pending after LOAD is overtaken
  e.awayUntil = never ? UINT64_MAX : t + awayMs;
  statusDirty_ = true;
  say(e, "link dropped" + (never ? std::string(", gone for good")
                                 : awayMs ? ", back in " + std::to_string(awayMs) + " ms" : std::string()));
  // The listener goes first, so a host that reconnects as soon as it sees
  // the connection end finds the module away.
  if (awayMs && e.listenFd >= 0) {
    CloseFd(e.listenFd);
    e.listenerClosed = true;
  }
  closeConnection(e, e.spec.module.tcpCloseReset);
  if (e.active != Endpoint::Link::None) {
    e.active = Endpoint::Link::None;
    e.module->linkDown();
  }
  if (e.usbPresent && usb_) {
    e.unplugAt = t + usbDelayMs;
    e.unplugAwayMs = awayMs;
    e.awayUntil = never ? UINT64_MAX : e.unplugAt + awayMs;
  }
}

void World::act(Endpoint& e, const Outgoing& o) {
  uint64_t t = now();
  if (o.action == LinkAction::Drop) {
    goAway(e, t, o.awayMs, kUnplugDelayMs);
  } else if (o.action == LinkAction::EnterLoader) {
    // The module restarting into its loader leaves every link a while after
    // its answer and comes back (possibly under another serial number) when
    // its loader is up.
    e.leaveAt = t + e.spec.module.loadLeaveMs;
    e.leaveAwayMs = o.awayMs;
  }
}

void World::flush(Endpoint& e) {
  uint64_t tUs = nowUs(), t = tUs / 1000;
  e.module->tickUs(tUs);
  for (const Outgoing& o : e.module->takeDueUs(tUs)) {
    deliver(e, o.bytes);
    if (o.action != LinkAction::None) act(e, o);
  }
  if (e.leaveAt && t >= e.leaveAt) {
    e.leaveAt = 0;
    goAway(e, t, e.leaveAwayMs, 0);
  }
  if (e.unplugAt && t >= e.unplugAt) {
    e.unplugAt = 0;
    if (e.usbPresent && usb_) {
      usb_->remove(e);
      e.usbPresent = false;
      say(e, "usb: left the bus");
      if (e.active == Endpoint::Link::Usb) {
        e.active = Endpoint::Link::None;
        e.module->linkDown();
      }
      e.awayUntil = e.unplugAwayMs == ModuleConfig::kNever ? UINT64_MAX : t + e.unplugAwayMs;
    }
  }
  // Come back after being away.
  if (t >= e.awayUntil && !e.dormant) {
    if (e.listenerClosed) {
      std::string error;
      if (openListener(e, error)) {
        statusDirty_ = true;
        say(e, "tcp: listening again on port " + std::to_string(e.port));
      }
      else if (t >= e.awayUntil + 5000) { say(e, error); e.listenerClosed = false; }
    }
    if (e.spec.transport.usb && !e.usbPresent && usb_) {
      std::string error;
      e.usbSerial = e.module->presentedSerial();
      if (usb_->add(e, error)) {
        e.usbPresent = true;
        statusDirty_ = true;
        say(e, "usb: present as serial number " + SerialText(e.usbSerial));
      } else {
        say(e, "usb: " + error);
      }
    }
  }
}

void World::run(const std::function<bool()>& keepRunning) {
  // Answers are timed to the microsecond: the kernel's default 50 us of
  // slack on this thread's timed waits would add to every latency.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::vector<pollfd> fds;
  std::vector<std::pair<Endpoint*, int>> owners;  // endpoint and kind (0 listen, 1 conn, 2 pty)
  while (!stopping_ && keepRunning()) {
    if (dumpRequested_) {
      dumpRequested_ = false;
      dumpFlashes();
      print_("flash dumps written");
    }
    fds.clear();
    owners.clear();
    fds.push_back({wakePipe_[0], POLLIN, 0});
    owners.push_back({nullptr, -1});
    if (udpFd_ >= 0) {
      fds.push_back({udpFd_, POLLIN, 0});
      owners.push_back({nullptr, -2});
    }
    // Deadlines in microseconds: answers may be due between two milliseconds.
    uint64_t t = nowUs();
    uint64_t deadline = t + 100000;
    uint64_t answerDue = UINT64_MAX;  // the earliest answer or module timer
    for (auto& e : endpoints_) {
      if (e->listenFd >= 0) { fds.push_back({e->listenFd, POLLIN, 0}); owners.push_back({e.get(), 0}); }
      if (e->connFd >= 0) { fds.push_back({e->connFd, POLLIN, 0}); owners.push_back({e.get(), 1}); }
      if (e->ptyMaster >= 0) { fds.push_back({e->ptyMaster, POLLIN, 0}); owners.push_back({e.get(), 2}); }
      answerDue = std::min(answerDue, e->module->nextDeadlineUs());
      if (e->awayUntil != UINT64_MAX && e->awayUntil * 1000 > t && e->awayUntil * 1000 < deadline)
        deadline = e->awayUntil * 1000;
      if (e->unplugAt && e->unplugAt * 1000 < deadline) deadline = e->unplugAt * 1000;
      if (e->leaveAt && e->leaveAt * 1000 < deadline) deadline = e->leaveAt * 1000;
    }
    deadline = std::min(deadline, answerDue);
    {
      std::vector<int> imxFds;
      imxPollFds(imxFds);
      for (size_t k = 0; k < imxFds.size(); ++k) {
        if (imxFds[k] < 0) continue;
        fds.push_back({imxFds[k], POLLIN, 0});
        owners.push_back({nullptr, kImxPollKind + int(k)});
      }
      // The i.MX ROMs keep milliseconds of the same clock.
      const uint64_t imxMs = imxDeadline();
      if (imxMs != UINT64_MAX && imxMs * 1000 < deadline) deadline = imxMs * 1000;
    }
    // LPC boot ROMs: their terminals, and the next character due (in
    // milliseconds from now).
    const size_t lpcFirst = fds.size();
    for (auto& l : lpcs_) {
      fds.push_back({l->fd(), POLLIN, 0});
      owners.push_back({nullptr, -3});
      const int wait = l->flush();
      if (wait >= 0 && t + uint64_t(wait) * 1000 < deadline) deadline = t + uint64_t(wait) * 1000;
    }
    int n = PollUntil(fds.data(), fds.size(), deadline, deadline == answerDue, wakeMargin_);
    if (n < 0 && errno != EINTR) {
      print_(std::string("poll failed: ") + Errno());
      break;
    }
    for (size_t i = 0; n > 0 && i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      Endpoint* e = owners[i].first;
      switch (owners[i].second) {
        case -1: { char buf[64]; while (::read(wakePipe_[0], buf, sizeof buf) > 0) {} break; }
        case -2: answerDiscovery(); break;
        case -3: lpcs_[i - lpcFirst]->onReadable(); break;
        case 0: if (e->listenFd >= 0) acceptHost(*e); break;
        case 1: if (e->connFd >= 0) readTcp(*e); break;
        case 2: readPty(*e); break;
        default:
          if (owners[i].second >= kImxPollKind) readImx(size_t(owners[i].second - kImxPollKind));
          break;
      }
    }
    if (usb_) {
      for (auto& e : endpoints_) {
        std::vector<uint8_t> in;
        while (usb_->receive(*e, in)) {
          uint64_t tnUs = nowUs(), tn = tnUs / 1000;
          if (tn < e->awayUntil) continue;
          if (e->active != Endpoint::Link::Usb) {
            e->active = Endpoint::Link::Usb;
            e->module->linkUp(tn);
          }
          e->module->receiveUs(in.data(), in.size(), tnUs);
        }
      }
    }
    for (auto& e : endpoints_) flush(*e);
    for (auto& l : lpcs_) l->flush();
    flushImx();
    refreshStatus(false);
  }
  refreshStatus(true);
}

}  // namespace ksim
