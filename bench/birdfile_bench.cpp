// Loading a BIRD package that holds a 4 MiB firmware image, against zlib's
// own one-shot uncompress of the same body measured in the same run.
//
// Reported: the load's throughput as a ratio to uncompress into fresh
// memory (goal >= 1.5: the body expanded straight into the package's
// memory, walked once, no needless copies), the same against uncompress
// into memory whose pages were put in place first as the load does (the
// decoding and the walk alone), and the load's peak memory relative to the expanded size
// (goal <= 2.5).
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

#include "store/BirdFile.h"
#include "store/BirdWriter.h"

namespace {

const size_t kImageSize = 4u << 20;

// Firmware-like content: 3 MiB of code drawn mostly from a small set of
// instruction words, then 1 MiB of erased flash (0xFF).
std::vector<uint8_t> MakeImage() {
  std::vector<uint8_t> image(kImageSize, 0xFF);
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state;
  };
  uint32_t words[512];
  for (uint32_t& w : words) w = next();
  for (size_t i = 0; i + 4 <= 3 * (kImageSize / 4); i += 4) {
    uint32_t r = next();
    uint32_t w = (r >> 28) < 11 ? words[(r >> 8) & 511] : next();
    std::memcpy(&image[i], &w, 4);
  }
  return image;
}

struct Fixture {
  std::string path;
  std::vector<uint8_t> file;  // the whole package
  size_t bodySize = 0;        // expanded body
  Fixture() {
    std::vector<uint8_t> image = MakeImage();
    BirdWriter writer;
    writer.AddImage(BLOCK_FIRMWARE, 0, image.data(), image.size());
    writer.AddInfo(1234, "1.2.3", 0, "KX-100");
    file = writer.Build(6);
    bodySize = writer.Body().size();
    const char* tmp = std::getenv("TMPDIR");
    path = std::string(tmp && *tmp ? tmp : "/tmp") + "/birdfile_bench." + std::to_string(getpid()) +
           ".bird";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  }
  ~Fixture() { std::remove(path.c_str()); }
};

Fixture& Data() {
  static Fixture fixture;
  return fixture;
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// zlib's uncompress of the package's body into a fresh buffer of the exact
// size; with populate, the buffer's pages are put in place in one call
// first, as the load does with its memory.
// The buffer is handed back, to be freed after the clock has stopped.
std::unique_ptr<uint8_t[]> Uncompress(const Fixture& f, bool populate, uLongf* outLength,
                                      int* rc) {
  std::unique_ptr<uint8_t[]> out(new uint8_t[f.bodySize]);
  if (populate) {
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (uintptr_t(out.get()) + page - 1) & ~(page - 1);
    const uintptr_t end = (uintptr_t(out.get()) + f.bodySize) & ~(page - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
  }
  *outLength = uLongf(f.bodySize);
  *rc = uncompress(out.get(), outLength, f.file.data() + 6, uLong(f.file.size() - 6));
  benchmark::DoNotOptimize(out.get());
  return out;
}

// Each iteration times zlib's uncompress of the body and a full load of the
// package from disk (page cache), back to back, so both see the same
// machine state; the reported time is the load's.
void BM_LoadPackage4MiB(benchmark::State& state) {
  Fixture& f = Data();
  double zlibTotal = 0, populatedTotal = 0, loadTotal = 0;
  for (auto _ : state) {
    // The bound gets a fresh buffer of the exact size each time, as any
    // loader must: it pays the same page faults, but no guessing.
    // Neither side's time includes giving its memory back: the bound's
    // buffer is freed, like the loaded file, after the clock has stopped.
    // The second bound has its pages put in place first, as the load has:
    // against it the ratio is the decoding and the walk alone.
    uLongf outLength = 0, populatedLength = 0;
    int rc = Z_OK, rcPopulated = Z_OK;
    auto t0 = std::chrono::steady_clock::now();
    auto out = Uncompress(f, false, &outLength, &rc);
    auto t1 = std::chrono::steady_clock::now();
    out.reset();
    auto t1a = std::chrono::steady_clock::now();
    out = Uncompress(f, true, &populatedLength, &rcPopulated);
    auto t1b = std::chrono::steady_clock::now();
    out.reset();
    auto t1c = std::chrono::steady_clock::now();
    BirdFile loaded(f.path.c_str());
    auto t2 = std::chrono::steady_clock::now();
    if (rc != Z_OK || rcPopulated != Z_OK || loaded.DataSize() != outLength)
      state.SkipWithError("load mismatch");
    benchmark::DoNotOptimize(loaded.Data());
    zlibTotal += Seconds(t0, t1);
    populatedTotal += Seconds(t1a, t1b);
    loadTotal += Seconds(t1c, t2);
    state.SetIterationTime(Seconds(t1c, t2));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bodySize));
  state.counters["ratio_vs_uncompress"] = loadTotal > 0 ? zlibTotal / loadTotal : 0;
  state.counters["ratio_vs_populated"] = loadTotal > 0 ? populatedTotal / loadTotal : 0;
  state.counters["compressed_bytes"] = double(f.file.size());
  state.counters["expanded_bytes"] = double(f.bodySize);
}
BENCHMARK(BM_LoadPackage4MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

// Peak resident memory of one load, relative to the expanded size. Large
// blocks come straight from the system (fixed mmap threshold), so freed
// memory of earlier work cannot hide part of the peak.
void MeasurePeakMemory() {
  Fixture& f = Data();
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";  // resets the high-water mark
  }
  long before = StatusKiB("VmRSS:");
  long peak;
  {
    BirdFile loaded(f.path.c_str());
    peak = StatusKiB("VmHWM:");
    benchmark::DoNotOptimize(loaded.Data());
  }
  if (before < 0 || peak < 0) {
    std::printf("peak memory: not measurable here\n");
    return;
  }
  double ratio = double(peak - before) * 1024.0 / double(f.bodySize);
  std::printf("peak memory of one load: %ld KiB over %ld KiB before; %.2f x the expanded %zu bytes "
              "(package %zu bytes)\n",
              peak - before, before, ratio, f.bodySize, f.file.size());
}

}  // namespace

int main(int argc, char** argv) {
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  Data();
  MeasurePeakMemory();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
