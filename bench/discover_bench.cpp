// The time `Updater -D` takes to list 1, 8, 16 and 32 simulated USB modules
// (goal: under 1 s for 32, and linear in the count), measured from the
// spawn of Updater to its exit; the world's start-up is not counted.
//
// The bound, measured in the same world and run: `lsusb -v`, which opens
// every device and reads all its descriptors once. updater_over_lsusb is
// Updater's time against it; per_module_ms is the time per listed module,
// and marginal_ms (in the summary) what each module beyond the first adds:
// equal for 8, 16 and 32 modules when the listing is linear.
//
// USB modules are visible only inside a korvex-sim world (umockdev), so the
// benchmark runs itself inside one world per count: started plainly, it
// starts korvex-sim with the modules and itself as the world's command, once
// per count, then prints the summary. As root each world also gets a private
// network namespace; -D without a transport searches USB only, so nothing
// leaves this machine either way.
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
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace {

const char* const kUpdater = UPDATER_BINARY_DIR "/app/Updater";
const char* const kSim = UPDATER_BINARY_DIR "/sim/korvex-sim";
const char* const kLsusb = "/usr/bin/lsusb";
// The module count of the world this process runs in, and the file the
// world's run appends its figures to.
const char* const kInsideWorld = "KORVEX_DISCOVER_BENCH_WORLD";
const char* const kSummary = "KORVEX_DISCOVER_BENCH_SUMMARY";
const int kCounts[] = {1, 8, 16, 32};

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

// Runs args with standard output into output (when given) and standard
// error to /dev/null; true when it exits with 0.
bool Run(const std::vector<std::string>& args, std::string* output) {
  int out[2];
  if (pipe(out) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", 0, 0);
  std::vector<std::string> copy = args;
  std::vector<char*> raw;
  for (std::string& a : copy) raw.push_back(&a[0]);
  raw.push_back(nullptr);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while (spawned == 0 && (n = read(out[0], buffer, sizeof(buffer))) > 0)
    text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  if (output != nullptr) *output = text;
  int status = 0;
  if (spawned != 0 || waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs korvex-sim with modules modules and this program inside it.
bool RunWorld(int modules, const std::string& summary, int argc, char** argv) {
  std::vector<std::string> args = {kSim, "--quiet"};
  if (geteuid() == 0) args.push_back("--netns");
  for (int i = 1; i <= modules; ++i) {
    char module[128];
    std::snprintf(module, sizeof(module),
                  "serial=D%07X,model=13,version=2.11.4,build=%d,name=bench%d,usb", i, i, i);
    args.push_back("--module");
    args.push_back(module);
  }
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (length <= 0) return false;
  self[length] = '\0';
  args.push_back("--");
  args.push_back(self);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  setenv(kInsideWorld, std::to_string(modules).c_str(), 1);
  setenv(kSummary, summary.c_str(), 1);
  std::string output;
  const bool ok = Run(args, &output);
  std::fputs(output.c_str(), stdout);
  std::fflush(stdout);
  return ok;
}

// Lines of the listing that name one of the world's modules (D0000001...).
int ListedModules(const std::string& output) {
  int listed = 0;
  for (size_t at = output.find("\n    D0"); at != std::string::npos;
       at = output.find("\n    D0", at + 1))
    ++listed;
  return listed;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void BM_DiscoverUsb(benchmark::State& state) {
  const int modules = std::atoi(std::getenv(kInsideWorld));
  char store[] = "/tmp/discover_bench.XXXXXX";
  if (mkdtemp(store) == nullptr) {
    state.SkipWithError("no temporary store");
    return;
  }
  const bool haveLsusb = access(kLsusb, X_OK) == 0;
  std::vector<double> runMs;
  std::vector<double> lsusbMs;
  std::string output;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    const bool ok = Run({kUpdater, "-i", store, "-D"}, &output);
    runMs.push_back(MsSince(t0));
    if (!ok || ListedModules(output) != modules) {
      state.SkipWithError(("Updater -D did not list the modules:\n" + output).c_str());
      break;
    }
    if (haveLsusb) {
      t0 = std::chrono::steady_clock::now();
      if (Run({kLsusb, "-v"}, nullptr)) lsusbMs.push_back(MsSince(t0));
    }
  }
  const double median = Median(runMs);
  const double bound = Median(lsusbMs);
  state.counters["modules"] = modules;
  state.counters["median_ms"] = median;
  state.counters["max_ms"] = runMs.empty() ? 0 : *std::max_element(runMs.begin(), runMs.end());
  state.counters["per_module_ms"] = median / modules;
  state.counters["lsusb_ms"] = bound;
  state.counters["updater_over_lsusb"] = bound > 0 ? median / bound : 0;
  state.counters["goal_ms"] = 1000;
  if (const char* summary = std::getenv(kSummary)) {
    std::ofstream out(summary, std::ios::app);
    out << modules << ' ' << median << ' ' << bound << '\n';
  }
  std::error_code ignored;
  std::filesystem::remove_all(store, ignored);
}
BENCHMARK(BM_DiscoverUsb)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

// The figures of every world, one line per module count.
void PrintSummary(const std::string& path) {
  std::ifstream in(path);
  struct Row {
    int modules;
    double ms;
    double lsusbMs;
  };
  std::vector<Row> rows;
  Row row{};
  while (in >> row.modules >> row.ms >> row.lsusbMs) rows.push_back(row);
  if (rows.empty()) return;
  std::printf("\n%8s %12s %14s %12s %10s %19s\n", "modules", "updater_ms", "per_module_ms",
              "marginal_ms", "lsusb_ms", "updater_over_lsusb");
  for (const Row& r : rows) {
    const double marginal =
        r.modules > rows[0].modules ? (r.ms - rows[0].ms) / (r.modules - rows[0].modules) : 0;
    std::printf("%8d %12.1f %14.2f %12.2f %10.1f %19.2f\n", r.modules, r.ms, r.ms / r.modules,
                marginal, r.lsusbMs, r.lsusbMs > 0 ? r.ms / r.lsusbMs : 0);
  }
  std::printf("goal: 32 modules under 1000 ms; marginal_ms the same for every count\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(kInsideWorld) == nullptr) {
    char summary[] = "/tmp/discover_bench_summary.XXXXXX";
    const int fd = mkstemp(summary);
    if (fd < 0) return 1;
    close(fd);
    bool ok = true;
    for (int modules : kCounts) ok = RunWorld(modules, summary, argc, argv) && ok;
    PrintSummary(summary);
    unlink(summary);
    return ok ? 0 : 1;
  }
  if (!InsideWorld()) {
    std::fprintf(stderr, "discover_bench: not inside its simulated world; refusing to run -D\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
