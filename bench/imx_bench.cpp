// The i.MX loader transfer over HID: SDPLoader::writeLoader sending a 64 KB
// image (status check, write file, 64 data reports, final status) through
// the real hidapi to a scripted boot ROM on a umockdev hidraw node, against
// the report rate that boot ROM allows: the same 66 reports written with
// bare hid_write calls and no protocol. The counter "vs_bound" is the
// loader's byte rate over the bare rate (1.0: no protocol cost).
//
// The hidraw node exists only under umockdev's preload, so the benchmark
// re-executes itself under umockdev-wrapper when started plainly. Nothing
// leaves the process: the device is a handler on umockdev's worker thread.
#include <benchmark/benchmark.h>
#include <hidapi.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "tests/usb/hid_boot_rom.h"

namespace {

constexpr uint16_t kVendor = 0x1FC9;
constexpr uint16_t kProduct = 0x0130;
constexpr size_t kImageBytes = 64 * 1024;

bool UnderUmockdev() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// The bare report rate: the loader's 66 reports without reads or checks.
double BareSeconds(hid_device* raw, const std::vector<uint8_t>& image) {
  const std::vector<uint8_t> status = SDPLoader::_createStatusPacket();
  const std::vector<uint8_t> command = SDPLoader::_createWriteFilePacket(0x20000400, uint32_t(image.size()));
  std::vector<uint8_t> report;
  const auto start = std::chrono::steady_clock::now();
  hid_write(raw, status.data(), status.size());
  hid_write(raw, command.data(), command.size());
  for (size_t at = 0; at < image.size(); at += MAX_WRITE_BYTES) {
    const size_t n = std::min(MAX_WRITE_BYTES, image.size() - at);
    report.assign(1, kSDPReportData);
    report.insert(report.end(), image.begin() + long(at), image.begin() + long(at + n));
    hid_write(raw, report.data(), report.size());
  }
  const double seconds = Seconds(start);
  // Drop what the boot ROM answered to the bare writes.
  unsigned char drop[MAX_READ_BYTES];
  for (int i = 0; i < 8 && hid_read_timeout(raw, drop, sizeof drop, 0) > 0; ++i) {
  }
  return seconds;
}

void BM_HidWriteLoader64K(benchmark::State& state) {
  UMockdevTestbed* bed = umockdev_testbed_new();
  auto rom = std::make_unique<sdptest::HidBootRom>(bed, kVendor, kProduct, sdptest::HidRomMode::kAnswer);
  std::string error;
  if (!rom->Plug(error)) {
    state.SkipWithError(error.c_str());
    g_object_unref(bed);
    return;
  }
  std::vector<uint8_t> image(kImageBytes);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
  SDPLoader loader;
  loader.setLoader(std::make_unique<HID_SDPLoader>(kVendor, kProduct));
  hid_device* raw = hid_open(kVendor, kProduct, nullptr);
  if (loader.init() != aErrNone || raw == nullptr) {
    state.SkipWithError("cannot open the simulated boot ROM");
  } else {
    double loaderSeconds = 0, bareSeconds = 0;
    int failures = 0;
    for (auto _ : state) {
      const auto start = std::chrono::steady_clock::now();
      if (loader.writeLoader(image, 0x20000400) != kSDPWriteOk) ++failures;
      const double s = Seconds(start);
      state.SetIterationTime(s);
      loaderSeconds += s;
      bareSeconds += BareSeconds(raw, image);
    }
    const double bytes = double(image.size()) * double(state.iterations());
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["loader_kB_s"] = bytes / loaderSeconds / 1000.0;
    state.counters["bare_kB_s"] = bytes / bareSeconds / 1000.0;
    state.counters["vs_bound"] = bareSeconds / loaderSeconds;
    state.counters["failures"] = failures;
  }
  if (raw != nullptr) hid_close(raw);
  rom.reset();
  g_object_unref(bed);
}
BENCHMARK(BM_HidWriteLoader64K)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  if (!UnderUmockdev()) {
    std::vector<char*> args;
    char wrapper[] = "umockdev-wrapper";
    args.push_back(wrapper);
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp(wrapper, args.data());
    std::perror("umockdev-wrapper");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
