// The module simulator's answer time over loopback TCP against the bound of
// a raw socket ping-pong measured in the same run, how late it answers with
// an injected latency, and the rate at which it takes firmware through the
// upgrade command set.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimConfig.h"
#include "sim/SimWorld.h"

namespace {

int Connect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool ReadAll(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = recv(fd, buf + got, n - got, 0);
    if (r <= 0) return false;
    got += size_t(r);
  }
  return true;
}

// Bound: an echo thread answering each request at once.
void BM_RawPingPong(benchmark::State& state) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(lfd, 1);
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  std::thread echo([lfd] {
    int c = accept(lfd, nullptr, nullptr);
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t b[2];
    while (ReadAll(c, b, 2)) send(c, b, 2, 0);
    close(c);
  });
  int fd = Connect(ntohs(a.sin_port));
  uint8_t req[2] = {0xAD, 0}, rep[2];
  for (auto _ : state) {
    send(fd, req, 2, 0);
    if (!ReadAll(fd, rep, 2)) state.SkipWithError("echo lost");
  }
  close(fd);
  echo.join();
  close(lfd);
}
BENCHMARK(BM_RawPingPong)->UseRealTime();

struct SimWorld {
  explicit SimWorld(const std::string& faults = "") {
    std::string err;
    ksim::AddModuleSpec("serial=1,tcp" + faults, cfg, err);
    world = std::make_unique<ksim::World>(cfg, [](const std::string&) {});
    world->start(err);
    port = world->endpoints()[0]->port;
    thread = std::thread([this] { world->run([] { return true; }); });
  }
  ~SimWorld() {
    world->stop();
    thread.join();
  }
  ksim::WorldConfig cfg;
  std::unique_ptr<ksim::World> world;
  uint16_t port = 0;
  std::thread thread;
};

// One identify answered by the simulator.
void BM_SimIdentify(benchmark::State& state) {
  SimWorld sim;
  int fd = Connect(sim.port);
  uint8_t req[2] = {0xAD, 0}, rep[2];
  for (auto _ : state) {
    send(fd, req, 2, 0);
    if (!ReadAll(fd, rep, 2)) state.SkipWithError("no answer");
  }
  close(fd);
}
BENCHMARK(BM_SimIdentify)->UseRealTime();

// One identify with an injected latency of r microseconds, from a blocking
// client: late_median_us is the answer time beyond r (the floor is
// BM_RawPingPong's time), late_p90_us its 90th percentile.
void BM_SimIdentifyLatency(benchmark::State& state) {
  const int64_t r = state.range(0);
  char fault[32];
  std::snprintf(fault, sizeof fault, ",fault=latency=%d.%03d", int(r / 1000), int(r % 1000));
  SimWorld sim(fault);
  int fd = Connect(sim.port);
  uint8_t req[2] = {0xAD, 0}, rep[2];
  std::vector<double> late;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    send(fd, req, 2, 0);
    if (!ReadAll(fd, rep, 2)) state.SkipWithError("no answer");
    late.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                       .count() - double(r));
  }
  std::sort(late.begin(), late.end());
  if (!late.empty()) {
    state.counters["late_median_us"] = late[late.size() / 2];
    state.counters["late_p90_us"] = late[late.size() * 9 / 10];
  }
  close(fd);
}
BENCHMARK(BM_SimIdentifyLatency)->Arg(2000)->Arg(1000)->Arg(250)->Iterations(400)->UseRealTime();

// One 512-byte chunk: PREPARE, 20 DATA packets each acknowledged, SUM, WRITE.
void BM_SimUpgradeChunk(benchmark::State& state) {
  SimWorld sim;
  int fd = Connect(sim.port);
  uint8_t rep[32];
  auto exchange = [&](const std::vector<uint8_t>& data, size_t replyData) {
    std::vector<uint8_t> p{2, uint8_t(data.size())};
    p.insert(p.end(), data.begin(), data.end());
    send(fd, p.data(), p.size(), 0);
    return ReadAll(fd, rep, 2 + replyData);
  };
  uint32_t address = 0;
  for (auto _ : state) {
    bool ok = exchange({95, 3, 0, uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                        uint8_t(address)}, 5);
    for (int pos = 0; pos < 512 && ok; pos += 26) {
      std::vector<uint8_t> d{95, 1};
      int n = std::min(26, 512 - pos);
      for (int i = 0; i < n; ++i) d.push_back(uint8_t(pos + i));
      ok = exchange(d, 3);
    }
    ok = ok && exchange({95, 4}, 7) && exchange({95, 5, 2, 0}, 3);
    if (!ok) state.SkipWithError("exchange failed");
    address += 512;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 512);
  close(fd);
}
BENCHMARK(BM_SimUpgradeChunk)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
