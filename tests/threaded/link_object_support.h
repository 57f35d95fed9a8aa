// Helpers for the Link object's tests: a simulated world on its own thread,
// a scripted module behind a loopback TCP listener, bounded waits.
#ifndef UPDATER_TESTS_LINK_OBJECT_SUPPORT_H
#define UPDATER_TESTS_LINK_OBJECT_SUPPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/Link.h"
#include "tests/threaded/running_world.h"

namespace linkobject {

typedef std::vector<uint8_t> Bytes;

inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// A TCP specifier for a listener on 127.0.0.1.
inline linkSpec LoopbackSpec(uint16_t port) {
  linkSpec spec{};
  spec.type = TCPIP;
  uint32_t address = htonl(INADDR_LOOPBACK);
  std::memcpy(spec.address, &address, sizeof(address));
  spec.port = port;
  return spec;
}

// A simulated world whose modules are reached by TCP specifiers.
class World : public RunningWorld {
 public:
  using RunningWorld::RunningWorld;
  linkSpec spec(size_t i = 0) const { return LoopbackSpec(port(i)); }
};

// A module at address 2 behind a loopback listener: it answers identify
// probes itself and hands every other packet's data to the script, sending
// back the packets (data only) the script returns. send() pushes a packet
// unasked. A jamming module answers nothing and sends a byte that can
// never start a packet every round, so the host never gets in step.
class ScriptedModule {
 public:
  typedef std::function<std::vector<Bytes>(const Bytes&)> Script;
  explicit ScriptedModule(Script script, bool jamming = false)
      : script_(std::move(script)), jamming_(jamming) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      ADD_FAILURE() << "scripted module cannot listen";
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~ScriptedModule() {
    stop_ = true;
    thread_.join();
    if (peer_ >= 0) close(peer_);
    close(listener_);
  }
  linkSpec spec() const { return LoopbackSpec(port_); }
  void send(const Bytes& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(data);
  }
  int requests() const { return requests_.load(); }

 private:
  void write(const Bytes& data) {
    Bytes wire{2, uint8_t(data.size())};
    wire.insert(wire.end(), data.begin(), data.end());
    if (peer_ >= 0 && ::send(peer_, wire.data(), wire.size(), MSG_NOSIGNAL) < 0) return;
  }
  void run() {
    Bytes in;
    for (int rounds = 0; !stop_ && rounds < 6000; ++rounds) {  // at most a minute
      pollfd p = {peer_ >= 0 ? peer_ : listener_, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        if (peer_ < 0) {
          peer_ = accept(listener_, nullptr, nullptr);
        } else {
          uint8_t buffer[256];
          ssize_t n = recv(peer_, buffer, sizeof(buffer), 0);
          if (n <= 0) {
            close(peer_);
            peer_ = -1;
            in.clear();
          } else {
            in.insert(in.end(), buffer, buffer + n);
          }
        }
      }
      while (in.size() >= 2 && in.size() >= size_t(2 + in[1])) {
        const uint8_t address = in[0];
        Bytes data(in.begin() + 2, in.begin() + 2 + in[1]);
        in.erase(in.begin(), in.begin() + 2 + in[1]);
        if (jamming_) continue;
        if (address == 0xAD) {
          write({});
        } else if (address == 2) {
          ++requests_;
          for (const auto& reply : script_(data)) write(reply);
        }
      }
      std::vector<Bytes> pending;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pending.swap(pending_);
      }
      for (const auto& d : pending) write(d);
      const uint8_t junk = 0x01;
      if (jamming_ && peer_ >= 0) ::send(peer_, &junk, 1, MSG_NOSIGNAL);
    }
  }

  Script script_;
  bool jamming_;
  int listener_ = -1;
  int peer_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  std::vector<Bytes> pending_;
  std::thread thread_;
};

}  // namespace linkobject

#endif
