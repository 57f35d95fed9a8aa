// The time `Updater -D` takes to list 8 simulated USB modules (goal: under
// 1 s for the whole run), measured from the spawn of Updater to its exit;
// the world's start-up is not counted.
//
// USB modules are visible only inside a korvex-sim world (umockdev), so the
// benchmark runs itself inside one: started plainly, it execs korvex-sim
// with the 8 modules and itself as the world's command. As root the world
// also gets a private network namespace; -D without a transport searches
// USB only, so nothing leaves this machine either way.
#include <benchmark/benchmark.h>
#include <net/if.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace {

const char* const kUpdater = UPDATER_BINARY_DIR "/app/Updater";
const char* const kSim = UPDATER_BINARY_DIR "/sim/korvex-sim";
const char* const kInsideWorld = "KORVEX_DISCOVER_BENCH_WORLD";
constexpr int kModules = 8;

// True inside the world this benchmark asked for: umockdev's preload is in
// place and, as root, only the private namespace's interfaces exist.
bool InsideWorld() {
  const char* marker = std::getenv(kInsideWorld);
  const char* preload = std::getenv("LD_PRELOAD");
  if (marker == nullptr || preload == nullptr || std::strstr(preload, "umockdev") == nullptr)
    return false;
  if (geteuid() != 0) return true;
  std::vector<std::string> names;
  if (struct if_nameindex* list = if_nameindex()) {
    for (struct if_nameindex* i = list; i->if_index != 0; ++i) names.push_back(i->if_name);
    if_freenameindex(list);
  }
  std::sort(names.begin(), names.end());
  return names == std::vector<std::string>{"lo", "v0", "v1"};
}

// Replaces this process with korvex-sim running it inside a world.
int ExecInsideWorld(int argc, char** argv) {
  std::vector<std::string> args = {kSim, "--quiet"};
  if (geteuid() == 0) args.push_back("--netns");
  for (int i = 1; i <= kModules; ++i) {
    char module[128];
    std::snprintf(module, sizeof(module),
                  "serial=D000000%d,model=13,version=2.11.4,build=%d,name=bench%d,usb", i, i, i);
    args.push_back("--module");
    args.push_back(module);
  }
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (length <= 0) return 1;
  self[length] = '\0';
  args.push_back("--");
  args.push_back(self);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  std::vector<char*> raw;
  for (std::string& a : args) raw.push_back(&a[0]);
  raw.push_back(nullptr);
  setenv(kInsideWorld, "1", 1);
  execv(kSim, raw.data());
  std::perror("discover_bench: cannot start korvex-sim");
  return 1;
}

// Runs Updater -i store -D; returns its standard output, or false.
bool RunDiscover(const std::string& store, std::string& output) {
  int out[2];
  if (pipe(out) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", 0, 0);
  std::vector<std::string> args = {kUpdater, "-i", store, "-D"};
  std::vector<char*> raw;
  for (std::string& a : args) raw.push_back(&a[0]);
  raw.push_back(nullptr);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, kUpdater, &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  output.clear();
  char buffer[4096];
  ssize_t n;
  while (spawned == 0 && (n = read(out[0], buffer, sizeof(buffer))) > 0)
    output.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  if (spawned != 0 || waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int ListedModules(const std::string& output) {
  int listed = 0;
  for (size_t at = output.find("\n    D000000"); at != std::string::npos;
       at = output.find("\n    D000000", at + 1))
    ++listed;
  return listed;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void BM_Discover8Usb(benchmark::State& state) {
  char store[] = "/tmp/discover_bench.XXXXXX";
  if (mkdtemp(store) == nullptr) {
    state.SkipWithError("no temporary store");
    return;
  }
  std::vector<double> runMs;
  std::string output;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = RunDiscover(store, output);
    const auto t1 = std::chrono::steady_clock::now();
    if (!ok || ListedModules(output) != kModules) {
      state.SkipWithError(("Updater -D did not list the 8 modules:\n" + output).c_str());
      break;
    }
    runMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  state.counters["median_ms"] = Median(runMs);
  state.counters["max_ms"] = runMs.empty() ? 0 : *std::max_element(runMs.begin(), runMs.end());
  state.counters["goal_ms"] = 1000;
  state.counters["modules"] = kModules;
  std::error_code ignored;
  std::filesystem::remove_all(store, ignored);
}
BENCHMARK(BM_Discover8Usb)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(kInsideWorld) == nullptr) return ExecInsideWorld(argc, argv);
  if (!InsideWorld()) {
    std::fprintf(stderr, "discover_bench: not inside its simulated world; refusing to run -D\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
