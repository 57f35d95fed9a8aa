// A raw client of the sharing server for tests: one DEALER socket, frames
// as they are.
#ifndef UPDATER_TESTS_SHARING_RAW_CLIENT_H
#define UPDATER_TESTS_SHARING_RAW_CLIENT_H

#include <arpa/inet.h>
#include <czmq.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <cstdint>
#include <vector>

#include "common/aLink.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNoAnswerMs = 300;  // bounded wait for something absent
constexpr uint32_t kAnswerMs = 3000;

inline uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

const Bytes kIdentify = {aLINK_ADDRESS_IDENTIFY, 0};

// A raw client: one DEALER socket to the server, frames as they are.
class Raw {
 public:
  explicit Raw(uint16_t port) {
    sock_ = zsock_new(ZMQ_DEALER);
    zsock_set_linger(sock_, 0);
    zsock_set_rcvtimeo(sock_, static_cast<int>(kAnswerMs));
    EXPECT_EQ(zsock_connect(sock_, "tcp://127.0.0.1:%u", unsigned(port)), 0);
  }
  ~Raw() { zsock_destroy(&sock_); }
  void send(const Bytes& frame) {
    zframe_t* f = zframe_new(frame.data(), frame.size());
    ASSERT_EQ(zframe_send(&f, sock_, 0), 0);
  }
  // The next frame within timeoutMs; empty when none. Empty frames (the
  // server's probes of stream clients) are passed over.
  Bytes recv(uint32_t timeoutMs = kAnswerMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (int64_t left = timeoutMs; left >= 0;
         left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count()) {
      zsock_set_rcvtimeo(sock_, static_cast<int>(left));
      zframe_t* f = zframe_recv(sock_);
      if (f == nullptr) return {};
      const size_t size = zframe_size(f);
      if (size == 0) {
        zframe_destroy(&f);
        continue;
      }
      Bytes out(size);
      std::memcpy(out.data(), zframe_data(f), size);
      zframe_destroy(&f);
      return out;
    }
    return {};
  }
 private:
  zsock_t* sock_ = nullptr;
};

}  // namespace

#endif
