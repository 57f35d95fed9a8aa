// The LPC programmer's data phase: Write of 64 KB at 115200 over a
// pseudo-terminal, against the bound the line allows. A pseudo-terminal has
// no bit rate, so the chip peer here paces itself: every character it takes
// or sends costs 10 bit times of 115200 on its own clock, and it answers
// "OK" to every checksum. The bound is the time the characters of the data
// lines and checksum lines take on such a line (20 lines of 63 characters
// and a checksum line per 900 bytes: about 8.2 kB/s); the counter
// "fraction" is that time over the time the Write took.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "recovery/NXPSerial.h"
#include "tests/threaded/pty_chip_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kBaud = 115200;
const Clock::duration kCharTime =
    std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10000000000ull / kBaud));

class PacedChip {
 public:
  PacedChip() {
    line_.Start([this](const char* data, size_t n) { Take(data, n); });
  }
  ~PacedChip() { line_.Stop(); }
  const char* path() const { return line_.path(); }

 private:
  // Sends text after the time its characters take on the line.
  void Out(const std::string& text) {
    lineOut_ = std::max(lineOut_, Clock::now()) + kCharTime * text.size();
    std::this_thread::sleep_until(lineOut_);
    line_.Write(text);
  }

  // The characters arrive one character time apart from when the line was
  // last free.
  void Take(const char* data, size_t n) {
    const Clock::time_point start = std::max(lineIn_, Clock::now());
    const size_t base = pending_.size();
    pending_.append(data, n);
    lineIn_ = start + kCharTime * n;
    size_t done = 0;
    for (;;) {
      if (stage_ == 0 && pending_.size() > done && pending_[done] == '?') {
        ++done;
        stage_ = 1;
        Out("Synchronized\r\n");
        continue;
      }
      const size_t end = pending_.find('\n', done);
      if (end == std::string::npos) break;
      const size_t taken = end + 1 > base ? end + 1 - base : 0;
      std::this_thread::sleep_until(start + kCharTime * taken);
      Line(pending_.substr(done, end + 1 - done));
      done = end + 1;
    }
    pending_.erase(0, done);
  }

  void Line(const std::string& line) {
    if (echo_) line_.Write(line);
    if (stage_ == 1 || stage_ == 2) {
      ++stage_;
      Out("OK\r\n");
      return;
    }
    if (dataLeft_ > 0) {
      if (lines_ < 20 && blockBytes_ < dataLeft_) {
        blockBytes_ += uint32_t(line[0] - 32) & 0x3F;
        ++lines_;
        return;
      }
      dataLeft_ -= blockBytes_ < dataLeft_ ? blockBytes_ : dataLeft_;
      blockBytes_ = 0;
      lines_ = 0;
      Out("OK\r\n");
      return;
    }
    unsigned a = 0, b = 0;
    if (sscanf(line.c_str(), "A %u", &a) == 1) echo_ = a != 0;
    if (sscanf(line.c_str(), "W %u %u", &a, &b) == 2) dataLeft_ = b;
    Out("0\r\n");
  }

  Clock::time_point lineIn_ = Clock::now();
  std::string pending_;
  Clock::time_point lineOut_ = Clock::now();
  int stage_ = 0;
  bool echo_ = true;
  uint32_t dataLeft_ = 0;
  uint32_t blockBytes_ = 0;
  int lines_ = 0;
  nxptest::PtyChipLine line_;  // last: its thread ends before the state above
};

// Characters of the data and checksum lines of a count-byte write.
double BoundSeconds(uint32_t count) {
  uint64_t chars = 0;
  for (uint32_t done = 0, lines = 0; done < count;) {
    const uint32_t n = count - done < 45 ? count - done : 45;
    chars += 1 + 4 * ((n + 2) / 3) + 2;
    done += n;
    if (++lines == 20 || done == count) {
      chars += 6 + 2;  // a checksum of up to six digits
      lines = 0;
    }
  }
  return double(chars) * 10.0 / kBaud;
}

void BM_LpcWrite64K(benchmark::State& state) {
  const bool echo = state.range(0) != 0;
  const uint32_t count = 64 * 1024;
  std::vector<uint8_t> data(count);
  for (uint32_t i = 0; i < count; ++i) data[i] = uint8_t(i * 131 + (i >> 9));
  PacedChip chip;
  NXPSerialClass programmer;
  if (programmer.Connect(chip.path(), kBaud) != aErrNone || programmer.Sync() != aErrNone ||
      programmer.SetEcho(echo) != aErrNone) {
    state.SkipWithError("no paced chip");
    return;
  }
  double seconds = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (programmer.Write(NXPSerialClass::WRITE_ADDRESS, count, data.data()) != aErrNone) {
      state.SkipWithError("write failed");
      break;
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    seconds += took;
    state.SetIterationTime(took);
  }
  const double iterations = double(state.iterations());
  if (seconds > 0 && iterations > 0) {
    state.counters["kB_per_s"] = iterations * count / seconds / 1000.0;
    state.counters["bound_kB_per_s"] = count / BoundSeconds(count) / 1000.0;
    state.counters["fraction"] = iterations * BoundSeconds(count) / seconds;
  }
  state.SetBytesProcessed(int64_t(iterations) * count);
}
BENCHMARK(BM_LpcWrite64K)->Arg(0)->Arg(1)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
