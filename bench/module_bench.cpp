// A 32-bit get through the object layer against the link engine's own
// request and reply of the same get, over loopback TCP to a simulated
// module running in this process.
//
// SystemGet32: in each iteration, SystemClass::getSerialNumber (Module,
// EntityClass, Link: stream-cache lookup, UEI send, reply wait) and, on the
// same engine link, aUEI_Send + aUEI_Receive of the same request with no
// object layer. Counters give the median of each and the median of the
// object layer's added time per request (goal: under 10 microseconds).
// The order of the two alternates between iterations, so neither always
// runs right after the other's reply.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/aUEI.h"
#include "sim/SimConfig.h"
#include "sim/SimWorld.h"

using Velmaris::Korvex::Module;
using Velmaris::Korvex::SystemClass;

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;
constexpr uint8_t kSerialOption = 9;

// One simulated module on 127.0.0.1, its world on a thread of its own.
class SimModuleOnTcp {
 public:
  SimModuleOnTcp() {
    std::string error;
    ksim::AddModuleSpec("serial=1234ABCD,model=13,tcp", config_, error);
    world_ = std::make_unique<ksim::World>(config_, [](const std::string&) {});
    if (!world_->start(error)) return;
    port_ = world_->endpoints()[0]->port;
    thread_ = std::thread([this] { world_->run([] { return true; }); });
  }
  ~SimModuleOnTcp() {
    if (thread_.joinable()) {
      world_->stop();
      thread_.join();
    }
  }
  bool running() const { return thread_.joinable(); }
  linkSpec spec() const {
    linkSpec spec{};
    spec.type = TCPIP;
    const uint32_t address = htonl(INADDR_LOOPBACK);
    std::memcpy(spec.address, &address, sizeof(address));
    spec.port = port_;
    return spec;
  }

 private:
  ksim::WorldConfig config_;
  std::unique_ptr<ksim::World> world_;
  std::thread thread_;
  uint16_t port_ = 0;
};

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

// The engine's own get: the request and the awaited reply, nothing else.
bool EngineGet(uint32_t linkId, uint32_t& value) {
  uei request{};
  request.address = 2;
  request.command = cmdSYSTEM;
  request.option = kSerialOption | aUEI_GET;
  request.specifier = aUEI_REQUEST;
  request.type = ueiTypeNone;
  if (aUEI_Send(linkId, &request) != aErrNone) return false;
  uei reply{};
  reply.address = 2;
  reply.command = cmdSYSTEM;
  reply.option = kSerialOption;
  reply.type = ueiTypeNone;
  if (aUEI_Receive(linkId, &reply) != aErrNone) return false;
  value = reply.v.intVal;
  return true;
}

void BM_SystemGet32(benchmark::State& state) {
  SimModuleOnTcp sim;
  Module module(2, 0);
  if (!sim.running() || module.connectFromSpec(sim.spec()) != aErrNone) {
    state.SkipWithError("cannot reach the simulated module");
    return;
  }
  SystemClass system;
  system.init(&module, 0);
  const uint32_t linkId = module.getLink()->getLinkId();
  std::vector<double> objectUs, engineUs, addedUs;
  bool objectFirst = true;

  for (auto _ : state) {
    uint32_t viaObject = 0, viaEngine = 0;
    double object = 0, engine = 0;
    bool ok = true;
    for (int pass = 0; pass < 2 && ok; ++pass) {
      const double t0 = NowUs();
      if ((pass == 0) == objectFirst) {
        ok = system.getSerialNumber(&viaObject) == aErrNone;
        object = NowUs() - t0;
      } else {
        ok = EngineGet(linkId, viaEngine);
        engine = NowUs() - t0;
      }
    }
    objectFirst = !objectFirst;
    if (!ok || viaObject != kSerial || viaEngine != kSerial) {
      state.SkipWithError("get failed or answered a wrong value");
      break;
    }
    objectUs.push_back(object);
    engineUs.push_back(engine);
    addedUs.push_back(object - engine);
  }
  state.counters["object_median_us"] = Median(objectUs);
  state.counters["engine_median_us"] = Median(engineUs);
  state.counters["added_median_us"] = Median(addedUs);
  state.counters["added_goal_us"] = 10;
  module.disconnect();
}
BENCHMARK(BM_SystemGet32)->Iterations(5000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
