// Firmware transfer through UpdaterEntity to simulated modules over
// loopback TCP, with the simulator's answers delayed by r milliseconds.
//
// The plain path sends one DATA packet of at most 26 bytes at a time and
// waits for its count: a 512-byte chunk takes 20 DATA exchanges, the sum
// check and WRITE, 22 round trips, so it can go no faster than
// 512 / (22 r) bytes per second. plain_vs_bound is its measured rate
// against that bound. UEI data with pooled packets sends a whole chunk as
// one byte array with one acknowledgement; uei_vs_plain is its rate against
// the plain path's at the same r. At r = 0 the rates are loopback's own.
//
// The floor: a bare blocking socket ping-pong (identify, answered after r)
// with a third simulated module of the same world. plain_rt_us is the plain
// path's time per round trip, floor_rt_us the median of the ping-pong's,
// and plain_over_floor_us what the updater and the link engine add to it.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/UpdaterEntity.h"
#include "sim/SimConfig.h"
#include "sim/SimWorld.h"

namespace {

using Velmaris::Korvex::Module;

constexpr size_t kChunk = 512;
constexpr size_t kChunksPerBlock = 8;

class NoDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

// "0.25" for 250 microseconds.
std::string Milliseconds(int64_t us) {
  std::string text = std::to_string(us / 1000);
  if (us % 1000 != 0) {
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", int(us % 1000));
    text += fraction;
    while (text.back() == '0') text.pop_back();
  }
  return text;
}

// Two modules with the same latency: one for each path, each on its own link.
struct Sim {
  explicit Sim(int64_t latencyUs) {
    std::string error;
    const std::string fault = latencyUs > 0 ? ",fault=latency=" + Milliseconds(latencyUs) : "";
    ok = ksim::AddModuleSpec("serial=1,tcp" + fault, cfg, error) &&
         ksim::AddModuleSpec("serial=2,tcp" + fault, cfg, error) &&
         ksim::AddModuleSpec("serial=3,tcp" + fault, cfg, error);
    world = std::make_unique<ksim::World>(cfg, [](const std::string&) {});
    ok = ok && world->start(error);
    for (const auto& e : world->endpoints()) ports.push_back(e->port);
    if (ok) thread = std::thread([this] { world->run([] { return true; }); });
  }
  ~Sim() {
    if (thread.joinable()) {
      world->stop();
      thread.join();
    }
  }
  linkSpec spec(size_t i) const {
    linkSpec s{};
    s.type = TCPIP;
    const uint32_t address = htonl(INADDR_LOOPBACK);
    std::memcpy(s.address, &address, sizeof(address));
    s.port = ports.at(i);
    return s;
  }
  ksim::WorldConfig cfg;
  std::unique_ptr<ksim::World> world;
  std::vector<uint16_t> ports;
  std::thread thread;
  bool ok = false;
};

// Median microseconds of `count` identify round trips over a blocking
// socket to the module on port; negative on failure.
double FloorRoundTripUs(uint16_t port, int count) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  std::vector<double> us;
  const uint8_t request[2] = {0xAD, 0};
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    uint8_t answer[2];
    size_t got = 0;
    if (send(fd, request, sizeof request, 0) != ssize_t(sizeof request)) break;
    while (got < sizeof answer) {
      const ssize_t n = recv(fd, answer + got, sizeof answer - got, 0);
      if (n <= 0) break;
      got += size_t(n);
    }
    if (got < sizeof answer) break;
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  close(fd);
  if (us.size() != size_t(count)) return -1;
  std::sort(us.begin(), us.end());
  return us[us.size() / 2];
}

std::vector<uint8_t> Block(uint32_t address) {
  std::vector<uint8_t> b{uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                         uint8_t(address)};
  for (size_t i = 0; i < kChunk * kChunksPerBlock; ++i) b.push_back(uint8_t(i * 13 + 5));
  return b;
}

// Sends one block as firmware; the seconds FirmwareTransfer took, or a
// negative number on failure.
double Transfer(UpdaterEntity& entity, uint32_t address, UpdaterDisplayInterface& display) {
  const std::vector<uint8_t> block = Block(address);
  uint16_t blockSize = 0;
  if (entity.TransferPrepare(block.data(), block.size(), 0, blockSize) != aErrNone ||
      blockSize != kChunk)
    return -1;
  const auto start = std::chrono::steady_clock::now();
  if (entity.FirmwareTransfer(block.data(), block.size(), blockSize, display) != aErrNone)
    return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_FirmwareTransfer(benchmark::State& state) {
  const int64_t latencyUs = state.range(0);
  Sim sim(latencyUs);
  Module plainModule(2, 0), ueiModule(2, 0);
  if (!sim.ok || plainModule.connectFromSpec(sim.spec(0)) != aErrNone ||
      ueiModule.connectFromSpec(sim.spec(1)) != aErrNone) {
    state.SkipWithError("no simulated module");
    return;
  }
  UpdaterEntity plain, uei;
  plain.init(&plainModule, 0, true, false);
  uei.init(&ueiModule, 0, true, false);
  if (uei.CheckUEIDataSupport() != aErrNone || uei.CheckPooledPacketsSupport() != aErrNone) {
    state.SkipWithError("no UEI data or pooled packets");
    return;
  }
  NoDisplay display;
  double plainSeconds = 0, ueiSeconds = 0;
  uint32_t address = 0x00010000;
  for (auto _ : state) {
    const double p = Transfer(plain, address, display);
    const double u = Transfer(uei, address, display);
    if (p < 0 || u < 0) {
      state.SkipWithError("transfer failed");
      return;
    }
    plainSeconds += p;
    ueiSeconds += u;
    address += uint32_t(kChunk * kChunksPerBlock);
  }
  const double bytes = double(state.iterations()) * double(kChunk * kChunksPerBlock);
  const double plainRate = bytes / plainSeconds;
  const double ueiRate = bytes / ueiSeconds;
  state.counters["plain_Bps"] = plainRate;
  state.counters["uei_Bps"] = ueiRate;
  state.counters["uei_vs_plain"] = ueiRate / plainRate;
  const double floorUs = FloorRoundTripUs(sim.ports.at(2), 200);
  const double plainRoundTripUs =
      plainSeconds * 1e6 / (double(state.iterations()) * double(kChunksPerBlock) * 22.0);
  state.counters["plain_rt_us"] = plainRoundTripUs;
  if (floorUs > 0) {
    state.counters["floor_rt_us"] = floorUs;
    state.counters["plain_over_floor_us"] = plainRoundTripUs - floorUs;
  }
  if (latencyUs > 0) {
    const double bound = double(kChunk) / (22.0 * double(latencyUs) / 1e6);
    state.counters["plain_bound_Bps"] = bound;
    state.counters["plain_vs_bound"] = plainRate / bound;
  }
}
// r = 2, 1, 0.25 ms and 0; a few blocks each keep the whole run short.
BENCHMARK(BM_FirmwareTransfer)->Arg(2000)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirmwareTransfer)->Arg(1000)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirmwareTransfer)->Arg(250)->Iterations(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirmwareTransfer)->Arg(0)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
