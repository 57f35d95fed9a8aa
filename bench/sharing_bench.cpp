// Round trips through a sharing server against the same requests on a link
// to the module directly, and a second client's round trips while the first
// streams samples.
//
// SharedRoundTrip: each iteration asks one simulated module for its model
// through a client link of a sharing server, and its twin module over a
// direct link; counters give the median of each and of the sharing's added
// time per round trip (goal: under 100 us).
//
// SecondClientWhileStreaming: round trips of one client while another has
// the module stream samples every few milliseconds (items_per_second).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aUEI.h"
#include "sim/SimConfig.h"
#include "sim/SimWorld.h"

namespace {

using Clock = std::chrono::steady_clock;

struct World {
  explicit World(const std::vector<std::string>& specs) {
    std::string err;
    for (const auto& s : specs) ksim::AddModuleSpec(s, cfg, err);
    world = std::make_unique<ksim::World>(cfg, [](const std::string&) {});
    ok = world->start(err);
    for (const auto& e : world->endpoints()) ports.push_back(e->port);
    if (ok) thread = std::thread([this] { world->run([] { return true; }); });
  }
  ~World() {
    if (thread.joinable()) {
      world->stop();
      thread.join();
    }
  }
  ksim::WorldConfig cfg;
  std::unique_ptr<ksim::World> world;
  std::vector<uint16_t> ports;
  std::thread thread;
  bool ok = false;
};

// A sharing server on a TCP link to port; its own client link's id.
uint32_t Serve(uint16_t port, uint16_t* serverPort) {
  const uint32_t tcp = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), port);
  if (tcp == 0 || aLink_Sync(tcp) != aErrNone) return 0;
  uint32_t iface = 0;
  return aLink_CreateServerFor(tcp, serverPort, &iface, 1);
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
  return v[v.size() / 2];
}

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

void BM_SharedRoundTrip(benchmark::State& state) {
  World w({"serial=1,model=13,tcp", "serial=2,model=13,tcp"});
  uint16_t port = 0;
  uint32_t shared = w.ok ? Serve(w.ports[0], &port) : 0;
  uint32_t direct = w.ok ? aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), w.ports[1]) : 0;
  if (shared == 0 || direct == 0 || aLink_Sync(direct) != aErrNone) {
    state.SkipWithError("no link");
  }
  std::vector<double> viaServer, plain, added;
  for (auto _ : state) {
    uint8_t model = 0;
    const auto t0 = Clock::now();
    const aErr e1 = _aLink_GetModel(shared, 2, &model);
    const auto t1 = Clock::now();
    const aErr e2 = _aLink_GetModel(direct, 2, &model);
    const auto t2 = Clock::now();
    if (e1 != aErrNone || e2 != aErrNone) {
      state.SkipWithError("no answer");
      break;
    }
    viaServer.push_back(Micros(t1 - t0));
    plain.push_back(Micros(t2 - t1));
    added.push_back(Micros(t1 - t0) - Micros(t2 - t1));
  }
  state.counters["shared_us"] = Median(viaServer);
  state.counters["direct_us"] = Median(plain);
  state.counters["added_us"] = Median(added);
  if (direct != 0) aLink_Destroy(&direct);
  if (shared != 0) aLink_Destroy(&shared);
}
BENCHMARK(BM_SharedRoundTrip)->UseRealTime()->MinTime(2.0);

void BM_SecondClientWhileStreaming(benchmark::State& state) {
  World w({"serial=1,model=13,tcp,stream_ms=" + std::to_string(state.range(0))});
  uint16_t port = 0;
  uint32_t first = w.ok ? Serve(w.ports[0], &port) : 0;
  uint32_t second = first != 0 ? aLink_CreateClient(htonl(INADDR_LOOPBACK), port, 0) : 0;
  // The first client has the module stream its model option.
  uei enable{};
  enable.address = 2;
  enable.command = 93;
  enable.option = 1 | aUEI_SET;
  enable.type = ueiTypeInt;
  enable.v.intVal = (2u << 24) | (uint32_t(cmdSYSTEM) << 16) | (8u << 8);
  if (second == 0 || aUEI_Send(first, &enable) != aErrNone) state.SkipWithError("no server");
  std::vector<double> times;
  for (auto _ : state) {
    uint8_t model = 0;
    const auto t0 = Clock::now();
    if (_aLink_GetModel(second, 2, &model) != aErrNone) {
      state.SkipWithError("no answer");
      break;
    }
    times.push_back(Micros(Clock::now() - t0));
    aLink_DrainPackets(first, nullptr, nullptr);  // the samples it got
  }
  state.counters["round_trip_us"] = Median(times);
  state.SetItemsProcessed(int64_t(state.iterations()));
  if (second != 0) aLink_Destroy(&second);
  if (first != 0) aLink_Destroy(&first);
}
BENCHMARK(BM_SecondClientWhileStreaming)->Arg(10)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
