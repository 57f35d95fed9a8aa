// Round trips through a sharing server against the same requests on a link
// to the module directly, and a second client's round trips while the first
// streams samples.
//
// SharedRoundTrip: each iteration asks one simulated module for its model
// through a client link of a sharing server, and its twin module over a
// direct link; counters give the median of each and of the sharing's added
// time per round trip (goal: under 100 us). The server and the client link
// share this process, so the client reaches the server in-process.
//
// SharedRoundTripOtherProcess: the same, with the server (and its link to
// the module) in a child process, as a client in another program sees it:
// the client link reaches the server's frontend over TCP on 127.0.0.1. The
// child is this program run again with --serve-share MODULE_PORT; it prints
// its server's port and serves until its standard input closes. Adds the
// ratio of the shared and direct medians, and a bound for any server in
// another process: a link to a third module through a plain relay in a
// child process (--relay MODULE_PORT: one thread that copies bytes both
// ways between one client and the module), round trips alternated with the
// others; ratio_vs_relay is the shared median over the relayed one.
//
// SecondClientWhileStreaming: round trips of one client while another has
// the module stream samples every few milliseconds (items_per_second).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aUEI.h"
#include "sim/SimConfig.h"
#include "sim/SimWorld.h"

extern char** environ;

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

// Alternates a round trip on shared with one on direct (and one on
// relayed, when given) for every iteration; the medians go into the
// counters.
void AlternateRoundTrips(benchmark::State& state, uint32_t shared,
                         uint32_t direct, uint32_t relayed = 0) {
  std::vector<double> viaServer, plain, viaRelay, added;
  for (auto _ : state) {
    uint8_t model = 0;
    const auto t0 = Clock::now();
    const aErr e1 = _aLink_GetModel(shared, 2, &model);
    const auto t1 = Clock::now();
    const aErr e2 = _aLink_GetModel(direct, 2, &model);
    const auto t2 = Clock::now();
    const aErr e3 = relayed != 0 ? _aLink_GetModel(relayed, 2, &model) : aErrNone;
    const auto t3 = Clock::now();
    if (e1 != aErrNone || e2 != aErrNone || e3 != aErrNone) {
      state.SkipWithError("no answer");
      break;
    }
    viaServer.push_back(Micros(t1 - t0));
    plain.push_back(Micros(t2 - t1));
    viaRelay.push_back(Micros(t3 - t2));
    added.push_back(Micros(t1 - t0) - Micros(t2 - t1));
  }
  state.counters["shared_us"] = Median(viaServer);
  state.counters["direct_us"] = Median(plain);
  state.counters["added_us"] = Median(added);
  if (relayed != 0) state.counters["relay_us"] = Median(viaRelay);
}

void BM_SharedRoundTrip(benchmark::State& state) {
  World w({"serial=1,model=13,tcp", "serial=2,model=13,tcp"});
  uint16_t port = 0;
  uint32_t shared = w.ok ? Serve(w.ports[0], &port) : 0;
  uint32_t direct = w.ok ? aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), w.ports[1]) : 0;
  if (shared == 0 || direct == 0 || aLink_Sync(direct) != aErrNone) {
    state.SkipWithError("no link");
  }
  AlternateRoundTrips(state, shared, direct);
  if (direct != 0) aLink_Destroy(&direct);
  if (shared != 0) aLink_Destroy(&shared);
}
BENCHMARK(BM_SharedRoundTrip)->UseRealTime()->MinTime(2.0);

// A sharing server in a child process: this program again, with
// --serve-share. Its standard input stays open while the server is wanted;
// the destructor closes it and reaps the child (killed after a bounded
// wait).
class ServerProcess {
 public:
  // Starts the child serving the module at modulePort; port() is 0 when it
  // did not report a server within the start timeout.
  ServerProcess(const char* mode, uint16_t modulePort) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    const std::string portArg = std::to_string(modulePort);
    char arg0[] = "sharing_bench";
    std::string modeArg = mode;
    char* arg1 = &modeArg[0];
    std::vector<char> arg2(portArg.begin(), portArg.end());
    arg2.push_back('\0');
    char* argv[] = {arg0, arg1, arg2.data(), nullptr};
    // dup2 clears close-on-exec on 0 and 1; descriptors this process holds
    // for its own links and simulated modules do not reach the child.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr,
                               argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    if (rc != 0) {
      close(out[0]);
      return;
    }
    child_ = pid;
    port_ = ReadPort(out[0]);
    close(out[0]);
  }
  ~ServerProcess() {
    if (toChild_ >= 0) close(toChild_);
    if (child_ <= 0) return;
    // Up to 5 s for the server to end by itself, then it is killed.
    for (int32_t k = 0; k < 500; ++k) {
      const pid_t done = waitpid(child_, nullptr, WNOHANG);
      if (done == child_ || (done < 0 && errno != EINTR)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "sharing server process did not end; killed\n");
    kill(child_, SIGKILL);
    while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  uint16_t port() const { return port_; }

 private:
  // One line with the server's port, within 10 s.
  static uint16_t ReadPort(int fd) {
    char line[16] = "";
    size_t used = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (used + 1 < sizeof(line) && std::memchr(line, '\n', used) == nullptr) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now());
      if (left.count() <= 0) return 0;
      pollfd p{fd, POLLIN, 0};
      const int ready = poll(&p, 1, int(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return 0;
      const ssize_t n = read(fd, line + used, sizeof(line) - 1 - used);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 0;
      used += size_t(n);
    }
    line[used] = '\0';
    char* end = nullptr;
    const unsigned long value = std::strtoul(line, &end, 10);
    if (end == line || *end != '\n' || value == 0 || value > 65535) return 0;
    return uint16_t(value);
  }

  pid_t child_ = -1;
  int toChild_ = -1;
  uint16_t port_ = 0;
};

// The child's side: serves the module at the given port on 127.0.0.1,
// prints the server's port and serves until standard input closes.
int ServeShare(const char* modulePortText) {
  char* end = nullptr;
  const unsigned long modulePort = std::strtoul(modulePortText, &end, 10);
  if (end == modulePortText || *end != '\0' || modulePort == 0 ||
      modulePort > 65535) {
    std::fprintf(stderr, "--serve-share: not a port\n");
    return 2;
  }
  uint16_t port = 0;
  uint32_t client = Serve(uint16_t(modulePort), &port);
  if (client == 0 || port == 0) {
    std::fprintf(stderr, "--serve-share: no sharing server\n");
    if (client != 0) aLink_Destroy(&client);
    return 1;
  }
  std::printf("%u\n", unsigned(port));
  std::fflush(stdout);
  char buffer[64];
  for (;;) {
    const ssize_t n = read(0, buffer, sizeof(buffer));
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    break;
  }
  aLink_Destroy(&client);
  return 0;
}

// The relay child: copies bytes between one client and the module at the
// given port until either side closes or standard input does.
int Relay(const char* modulePortText) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(at);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) != 0)
    return 1;
  std::printf("%u\n", unsigned(ntohs(at.sin_port)));
  std::fflush(stdout);
  pollfd first[2] = {{listener, POLLIN, 0}, {0, POLLIN, 0}};
  if (poll(first, 2, 10000) <= 0 || !(first[0].revents & POLLIN)) return 1;
  const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  const int module = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  at.sin_port = htons(uint16_t(std::strtoul(modulePortText, nullptr, 10)));
  if (client < 0 || module < 0 ||
      connect(module, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0)
    return 1;
  const int on = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  setsockopt(module, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  const int peer[2] = {module, client};
  for (;;) {
    pollfd p[3] = {{client, POLLIN, 0}, {module, POLLIN, 0}, {0, POLLIN, 0}};
    if (poll(p, 3, -1) < 0 && errno != EINTR) break;
    if (p[2].revents != 0) break;
    bool open = true;
    for (int i = 0; i < 2 && open; i++) {
      if (p[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(p[i].fd, buffer, sizeof(buffer));
      open = n > 0 && write(peer[i], buffer, size_t(n)) == n;
    }
    if (!open) break;
  }
  return 0;
}

void BM_SharedRoundTripOtherProcess(benchmark::State& state) {
  World w({"serial=1,model=13,tcp", "serial=2,model=13,tcp", "serial=3,model=13,tcp"});
  ServerProcess server("--serve-share", w.ok ? w.ports[0] : 0);
  ServerProcess relay("--relay", w.ok ? w.ports[2] : 0);
  uint32_t shared = server.port() != 0
                        ? aLink_CreateClient(htonl(INADDR_LOOPBACK), server.port(), 0)
                        : 0;
  uint32_t direct = w.ok ? aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), w.ports[1]) : 0;
  uint32_t relayed =
      relay.port() != 0 ? aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), relay.port()) : 0;
  if (shared == 0 || direct == 0 || relayed == 0 || aLink_Sync(direct) != aErrNone ||
      aLink_Sync(relayed) != aErrNone) {
    state.SkipWithError("no link");
  }
  AlternateRoundTrips(state, shared, direct, relayed);
  const double sharedUs = state.counters["shared_us"], directUs = state.counters["direct_us"],
               relayUs = state.counters["relay_us"];
  state.counters["ratio"] = directUs > 0 ? sharedUs / directUs : 0;
  state.counters["ratio_vs_relay"] = relayUs > 0 ? sharedUs / relayUs : 0;
  if (relayed != 0) aLink_Destroy(&relayed);
  if (direct != 0) aLink_Destroy(&direct);
  if (shared != 0) aLink_Destroy(&shared);
}
BENCHMARK(BM_SharedRoundTripOtherProcess)->UseRealTime()->MinTime(2.0);

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

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--serve-share") == 0) {
    return ServeShare(argv[2]);
  }
  if (argc == 3 && std::strcmp(argv[1], "--relay") == 0) return Relay(argv[2]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
