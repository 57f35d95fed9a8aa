// The line of a chip peer for the LPC programmer's tests and benchmark: a
// pseudo-terminal whose slave side (path(), opened by the host) is raw, and
// a thread on the master side that hands every piece the host sends to the
// peer's own handler until Stop(). The peer answers with Write().
#ifndef TESTS_THREADED_PTY_CHIP_PEER_H
#define TESTS_THREADED_PTY_CHIP_PEER_H

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

namespace nxptest {

class PtyChipLine {
 public:
  PtyChipLine() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      master_ = slave_ = -1;
      return;
    }
    path_ = name;
    struct termios t = {};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
  }
  ~PtyChipLine() {
    Stop();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  PtyChipLine(const PtyChipLine&) = delete;
  PtyChipLine& operator=(const PtyChipLine&) = delete;

  const char* path() const { return path_.c_str(); }
  int slave() const { return slave_; }

  // Starts the peer's thread: take(data, length) for every piece read.
  void Start(std::function<void(const char*, size_t)> take) {
    take_ = std::move(take);
    thread_ = std::thread([this] { Run(); });
  }
  // Ends the thread; its owner calls this before its own state goes.
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // To the host, at once.
  void Write(const std::string& text) {
    if (master_ >= 0 && !text.empty()) (void)!write(master_, text.data(), text.size());
  }

 private:
  void Run() {
    while (!stop_) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(master_, buffer, sizeof(buffer));
      if (n > 0) take_(buffer, size_t(n));
    }
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::function<void(const char*, size_t)> take_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace nxptest

#endif
