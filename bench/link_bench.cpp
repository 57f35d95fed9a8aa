// The link engine over loopback TCP against an echoing module.
//
// RoundTrip: one request packet out and its reply back, through the engine
// (queue, writer thread, socket, reader thread, queue) and, in the same
// iteration, as a raw blocking socket ping-pong of the same bytes to the
// same module. Counters give the median of each and the median of the
// engine's added time per round trip.
//
// IdleLinkCpu: process CPU time used while one connected link idles for 5 s,
// as a percentage of one core.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/aLink.h"

namespace {

bool ReadAll(int fd, uint8_t* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, out + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = send(fd, data + done, n - done, MSG_NOSIGNAL);
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

// A module on 127.0.0.1 that answers every packet to an even address with
// the same packet and ignores link-level requests. One thread per
// connection; everything ends when the object goes.
class EchoModule {
 public:
  EchoModule() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(listener_, 4);
    socklen_t length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~EchoModule() {
    stop_ = true;
    acceptor_.join();
    for (int fd : connections_) shutdown(fd, SHUT_RDWR);
    for (std::thread& t : workers_) t.join();
    for (int fd : connections_) close(fd);
    close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  void Accept() {
    while (!stop_) {
      pollfd p = {listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
      connections_.push_back(fd);
      workers_.emplace_back([fd] { Serve(fd); });
    }
  }
  static void Serve(int fd) {
    uint8_t packet[32];
    while (ReadAll(fd, packet, 2) && ReadAll(fd, packet + 2, packet[1])) {
      if ((packet[0] & 1) != 0) continue;
      if (!WriteAll(fd, packet, 2u + packet[1])) break;
    }
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<int> connections_;  // touched by the acceptor until it ends
  std::vector<std::thread> workers_;
};

int RawClient(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  return fd;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double NowUs() {
  return std::chrono::duration<double, std::micro>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void BM_RoundTrip(benchmark::State& state) {
  EchoModule module;
  int raw = RawClient(module.port());
  uint32_t link = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), module.port());
  if (raw < 0 || link == 0) {
    state.SkipWithError("cannot reach the echo module");
    if (raw >= 0) close(raw);
    if (link != 0) aLink_Destroy(&link);
    return;
  }
  const uint8_t data[3] = {0x03, 0x48, 0x20};
  aPacket* request = aPacket_CreateWithData(6, 3, data);
  uint8_t wire[5] = {6, 3, 0x03, 0x48, 0x20};
  uint8_t reply[5];
  std::vector<double> rawUs, engineUs, addedUs;

  for (auto _ : state) {
    double t0 = NowUs();
    if (!WriteAll(raw, wire, sizeof(wire)) || !ReadAll(raw, reply, sizeof(reply))) {
      state.SkipWithError("raw round trip failed");
      break;
    }
    double t1 = NowUs();
    aLink_PutPacket(link, request);
    aPacket* answer = aLink_AwaitPacket(link, 1000);
    double t2 = NowUs();
    if (answer == nullptr) {
      state.SkipWithError("engine round trip failed");
      break;
    }
    aPacket_Destroy(&answer);
    rawUs.push_back(t1 - t0);
    engineUs.push_back(t2 - t1);
    addedUs.push_back((t2 - t1) - (t1 - t0));
  }
  state.counters["raw_median_us"] = Median(rawUs);
  state.counters["engine_median_us"] = Median(engineUs);
  state.counters["added_median_us"] = Median(addedUs);
  state.counters["engine_over_raw"] =
      Median(rawUs) > 0 ? Median(engineUs) / Median(rawUs) : 0;
  aPacket_Destroy(&request);
  aLink_Destroy(&link);
  close(raw);
}
BENCHMARK(BM_RoundTrip)->Iterations(5000)->Unit(benchmark::kMicrosecond);

double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

void BM_IdleLinkCpu(benchmark::State& state) {
  EchoModule module;
  uint32_t link = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), module.port());
  if (link == 0) {
    state.SkipWithError("cannot reach the echo module");
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settle
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    const double c0 = CpuSeconds();
    const auto w0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    cpu += CpuSeconds() - c0;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  }
  state.counters["cpu_percent_of_core"] = wall > 0 ? 100.0 * cpu / wall : 0;
  state.counters["link_running"] = aLink_GetStatus(link) == kLinkStateRunning;
  aLink_Destroy(&link);
}
BENCHMARK(BM_IdleLinkCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
