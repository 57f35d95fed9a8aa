// Updater -G of a build holding a 4 MiB firmware image from
// korvex-update-server on loopback, against curl fetching the same firmware
// request into a file, in the same run. Reports the ratio of wall times and
// the updater's peak resident memory as a multiple of the BIRD file size.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "store/BirdWriter.h"

extern char** environ;

namespace {

const char kSerial[] = "40F5849A";
const uint32_t kBuild = 4242;
const size_t kImageSize = 4u << 20;

struct ChildResult {
  double seconds = 0;
  long maxRssKiB = 0;
  int status = -1;
};

// Runs argv under /usr/bin/time with standard output and error discarded:
// wall time and the peak resident memory of the program itself (measured by
// a small parent, so the benchmark's own pages are not counted).
ChildResult Run(const std::vector<std::string>& args, const std::string& scratch) {
  const std::string rssFile = scratch + "/rss.txt";
  std::vector<std::string> full = {"/usr/bin/time", "-f", "%M", "-o", rssFile};
  full.insert(full.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (const auto& a : full) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  ChildResult result;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    throw std::runtime_error("cannot start " + full[0]);
  }
  posix_spawn_file_actions_destroy(&actions);
  waitpid(pid, &result.status, 0);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (FILE* f = std::fopen(rssFile.c_str(), "r")) {
    if (std::fscanf(f, "%ld", &result.maxRssKiB) != 1) result.maxRssKiB = 0;
    std::fclose(f);
  }
  return result;
}

// A repository with one 4 MiB build and the server serving it.
class Fixture {
 public:
  Fixture() {
    char pattern[] = "/tmp/updater-bench-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    mkdir((dir_ + "/repo").c_str(), 0755);

    // Code-like content: compresses, but not to nothing.
    std::vector<uint8_t> image(kImageSize);
    std::mt19937 rng(7);
    for (size_t i = 0; i < image.size(); i += 16) {
      const uint32_t op = rng() % 16;
      for (size_t k = 0; k < 16; ++k) image[i + k] = op < 6 ? uint8_t(rng()) : uint8_t(op * 17);
    }
    BirdWriter w;
    w.AddImage(BLOCK_FIRMWARE, 0, image.data(), image.size());
    w.AddInfo(kBuild, "2.11.5", 0, "KX-DAQ8");
    const std::string bird = dir_ + "/repo/big.bird";
    if (w.Write(bird.c_str(), 6) != aErrNone) throw std::runtime_error("cannot write BIRD file");
    struct stat st;
    stat(bird.c_str(), &st);
    birdSize_ = st.st_size;

    FILE* conf = std::fopen((dir_ + "/repo/repo.conf").c_str(), "w");
    std::fprintf(conf, "device %s model=KX-DAQ8 fw=BENCH\nbuild %u version=2.11.5 file=big.bird model=KX-DAQ8\n",
                 kSerial, kBuild);
    std::fclose(conf);

    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string server = std::string(UPDATER_BINARY_DIR) + "/tools/korvex-update-server";
    const std::string repo = dir_ + "/repo";
    const char* argv[] = {server.c_str(), "--repo", repo.c_str(), "--listen", "127.0.0.1:0", nullptr};
    if (posix_spawn(&server_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      throw std::runtime_error("cannot start korvex-update-server");
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    FILE* out = fdopen(fds[0], "r");
    char line[256] = "";
    if (!std::fgets(line, sizeof line, out)) throw std::runtime_error("server did not start");
    std::fclose(out);
    char url[200];
    if (std::sscanf(line, "listening on %199s", url) != 1) throw std::runtime_error("no URL");
    url_ = url;
  }
  ~Fixture() {
    kill(server_, SIGTERM);
    waitpid(server_, nullptr, 0);
    const std::string command = "rm -rf '" + dir_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", dir_.c_str());
  }

  std::string dir_;
  std::string url_;
  long birdSize_ = 0;
  pid_t server_ = 0;
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Each iteration: a download with the updater, then the same firmware
// request with curl. Argument 0: a first download into an empty store (the
// device directory and its history are created and synced); 1: the store
// already holds the device. Medians are reported, since the machine is
// shared.
void BM_UpdaterGetVersusCurl(benchmark::State& state) {
  static Fixture fixture;
  const std::string updater = std::string(UPDATER_BINARY_DIR) + "/app/Updater";
  const std::string storage = fixture.dir_ + "/storage";
  const std::string request = fixture.url_ + "?bld=" + std::to_string(kBuild) +
                              "&fw=BENCH&no_cal=false&op=bird&sn=" + kSerial + "&";
  // The updater's memory with no firmware in flight: a build list request.
  const ChildResult idle = Run({updater, "-B", "-d", kSerial, "-i", storage, "-u", fixture.url_}, fixture.dir_);
  std::vector<double> updaterTimes, curlTimes;
  long peakKiB = 0;
  for (auto _ : state) {
    if (state.range(0) == 0 && std::system(("rm -rf '" + storage + "'").c_str()) != 0) break;
    // Each run starts with nothing of the other's waiting to be written: a
    // flush of the updater's file would otherwise also write out curl's
    // output of the previous pass (and the removed store), which the
    // file system commits together with it.
    sync();
    const ChildResult u = Run({updater, "-G", "-d", kSerial, "-i", storage, "-u", fixture.url_}, fixture.dir_);
    sync();
    const ChildResult c = Run({"/usr/bin/curl", "-s", "-o", fixture.dir_ + "/curl.out", request}, fixture.dir_);
    if (u.status != 0 || c.status != 0) {
      state.SkipWithError("a download failed");
      break;
    }
    updaterTimes.push_back(u.seconds);
    curlTimes.push_back(c.seconds);
    peakKiB = std::max(peakKiB, u.maxRssKiB);
    state.SetIterationTime(u.seconds);
  }
  const double bird = double(fixture.birdSize_);
  state.counters["bird_MiB"] = bird / (1 << 20);
  state.counters["updater_ms"] = Median(updaterTimes) * 1000;
  state.counters["curl_ms"] = Median(curlTimes) * 1000;
  state.counters["time_ratio"] = Median(curlTimes) > 0 ? Median(updaterTimes) / Median(curlTimes) : 0;
  state.counters["peak_rss_MiB"] = double(peakKiB) / 1024;
  state.counters["idle_rss_MiB"] = double(idle.maxRssKiB) / 1024;
  state.counters["peak_rss_x_bird"] = double(peakKiB) * 1024 / bird;
  state.counters["payload_rss_x_bird"] = double(peakKiB - idle.maxRssKiB) * 1024 / bird;
}
BENCHMARK(BM_UpdaterGetVersusCurl)
    ->ArgName("existing_store")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
