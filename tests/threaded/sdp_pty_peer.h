// A scripted i.MX boot ROM on the master side of a pseudo-terminal, for
// tests of the serial SDP transport: it parses 16-byte commands, takes the
// data of a write file and answers with raw words (security mode, then the
// status or register word). Behaviours: answering, answering late (each
// answer kLateMs after its command), silent, speaking in the middle of a
// transfer, hanging up on a write file, and chattering without end. Its
// thread runs until Stop() or destruction, at most 60 s.
#ifndef TESTS_THREADED_SDP_PTY_PEER_H
#define TESTS_THREADED_SDP_PTY_PEER_H

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sdptest {

enum class PeerMode { kAnswer, kLate, kSilent, kInterruptTransfer, kHangUpOnWriteFile, kChatty };

constexpr int kLateMs = 300;

constexpr uint32_t kSecurityWord = 0x56787856;
constexpr uint32_t kStatusWord = 0x12343412;
constexpr uint32_t kFuseLow = 0x89ABCDEF;
constexpr uint32_t kFuseHigh = 0x01234567;

class PtyBootRom {
 public:
  explicit PtyBootRom(PeerMode mode) : mode_(mode) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return;
    slavePath_ = name;
    thread_ = std::thread([this] { Run(); });
  }
  ~PtyBootRom() {
    Stop();
    if (master_ >= 0) close(master_);
  }
  PtyBootRom(const PtyBootRom&) = delete;
  PtyBootRom& operator=(const PtyBootRom&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Closes the master side from the test: the line is gone.
  void HangUp() {
    Stop();
    std::lock_guard<std::mutex> guard(lock_);
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  int statusCommands() {
    std::lock_guard<std::mutex> guard(lock_);
    return statusCommands_;
  }
  std::vector<uint8_t> image() {
    std::lock_guard<std::mutex> guard(lock_);
    return image_;
  }
  uint32_t writeAddress() {
    std::lock_guard<std::mutex> guard(lock_);
    return writeAddress_;
  }
  uint32_t jumpAddress() {
    std::lock_guard<std::mutex> guard(lock_);
    return jumpAddress_;
  }
  // Waits (at most 5 s) until `done` holds; returns whether it did.
  template <typename F>
  bool WaitFor(F done) {
    for (int i = 0; i < 500; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
  }

 private:
  static void PutLE(std::vector<uint8_t>& v, uint32_t w) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(w >> (8 * i)));
  }
  static uint32_t BE32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  }

  // Queued output is written as the master takes it; a late ROM holds each
  // answer back for kLateMs first.
  void Send(uint32_t first, uint32_t second, bool two = true) {
    std::vector<uint8_t> answer;
    PutLE(answer, first);
    if (two) PutLE(answer, second);
    if (mode_ == PeerMode::kLate) {
      const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLateMs);
      late_.push_back({due, answer});
      return;
    }
    out_.insert(out_.end(), answer.begin(), answer.end());
  }

  void ReleaseDue() {
    std::lock_guard<std::mutex> guard(lock_);
    while (!late_.empty() && late_.front().first <= std::chrono::steady_clock::now()) {
      out_.insert(out_.end(), late_.front().second.begin(), late_.front().second.end());
      late_.pop_front();
    }
  }

  void Flush() {
    while (!out_.empty()) {
      const ssize_t n = write(master_, out_.data(), out_.size());
      if (n <= 0) return;
      out_.erase(out_.begin(), out_.begin() + n);
    }
  }

  void Command(const uint8_t* c) {
    const uint16_t type = uint16_t(c[0] << 8 | c[1]);
    const uint32_t address = BE32(c + 2);
    const uint32_t count = BE32(c + 7);
    std::lock_guard<std::mutex> guard(lock_);
    switch (type) {
      case 0x0505:
        ++statusCommands_;
        if (mode_ != PeerMode::kSilent) Send(kSecurityWord, kStatusWord);
        break;
      case 0x0404:
        writeAddress_ = address;
        dataLeft_ = count;
        image_.clear();
        if (mode_ == PeerMode::kHangUpOnWriteFile) hangUp_ = true;
        break;
      case 0x0B0B:
        jumpAddress_ = address;
        Send(kSecurityWord, 0, false);
        break;
      case 0x0101:
        Send(kSecurityWord, address == 0x401F4410 ? kFuseLow : address == 0x401F4420 ? kFuseHigh : 0);
        break;
      default:
        break;
    }
  }

  void Take(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (dataLeft_ > 0) {
        std::lock_guard<std::mutex> guard(lock_);
        image_.push_back(p[i]);
        --dataLeft_;
        if (mode_ == PeerMode::kInterruptTransfer && image_.size() == 1) Send(kStatusWord, 0, false);
        if (dataLeft_ == 0) Send(kSecurityWord, 0x88888888);
        continue;
      }
      command_.push_back(p[i]);
      if (command_.size() == 16) {
        Command(command_.data());
        command_.clear();
      }
    }
  }

  void Run() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    uint8_t buffer[4096];
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      if (mode_ == PeerMode::kChatty) {
        for (int i = 0; i < 64; ++i) out_.push_back(uint8_t(0xC0 + i));
        Flush();
        if (out_.size() > 4096) out_.resize(4096);
      }
      ReleaseDue();
      Flush();
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 5) <= 0 || !(p.revents & POLLIN)) {
        // A closed slave shows as a hang-up: wait for the next opener.
        if (p.revents & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) Take(buffer, size_t(n));
      if (hangUp_) {
        std::lock_guard<std::mutex> guard(lock_);
        close(master_);
        master_ = -1;
        return;
      }
      Flush();
    }
  }

  const PeerMode mode_;
  int master_ = -1;
  std::string slavePath_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  // Thread-only state.
  std::vector<uint8_t> command_;
  std::vector<uint8_t> out_;
  // Late answers and when they are due (guarded by lock_: Send runs under it).
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::vector<uint8_t>>> late_;
  uint32_t dataLeft_ = 0;
  bool hangUp_ = false;
  // Shared with the test.
  std::mutex lock_;
  int statusCommands_ = 0;
  std::vector<uint8_t> image_;
  uint32_t writeAddress_ = 0;
  uint32_t jumpAddress_ = 0;
};

}  // namespace sdptest

#endif
