// The Link object over USB through the real libusb against a simulated
// module: discovery and connect, a packet exchange, and the claim given back
// on disconnect and after a connect that never got in step. Runs under
// umockdev-wrapper; skipped elsewhere.
#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <umockdev.h>

#include "api/Link.h"
#include "common/aLink.h"
#include "common/aUSBDefs.h"
#include "common/kxusb_driver.h"
#include "tests/usb/usb_module_model.h"

using Velmaris::Korvex::Link;

namespace {

typedef std::vector<uint8_t> Bytes;

class UsbLinkObjectTest : public UsbTestbedTest {
 protected:
  void SetUp() override {
    UsbTestbedTest::SetUp();
    if (Stopped()) return;
    AddModule("0000ABCD");
    // USB links here are direct: no sharing server, no fallback to TCP/IP.
    config_.enabled = 0;
    config_.fallback = 0;
  }
  void TearDown() override {
    Korvex_libusb_exit();
    UsbTestbedTest::TearDown();
  }

  // Runs connect while playing the module's part of the first sync.
  aErr ConnectSynced(const std::function<aErr()>& connect) {
    const size_t from = model_->OutBytes().size();
    auto result = std::async(std::launch::async, connect);
    const Bytes probes = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
      Bytes out = model_->OutBytes();
      if (out.size() >= from + probes.size() &&
          std::search(out.begin() + long(from), out.end(), probes.begin(), probes.end()) !=
              out.end()) {
        model_->QueueIn(std::string("\x06\x00\x06\x00", 4));
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return result.get();
  }

  aLanetConfig config_;
};

TEST_F(UsbLinkObjectTest, DiscoverConnectExchangeDisconnect) {
  Link link("usb");
  ASSERT_EQ(link.setConfig(config_), aErrNone);
  ASSERT_EQ(ConnectSynced([&] { return link.discoverAndConnect(USB, 0xABCD); }), aErrNone);
  EXPECT_TRUE(link.isConnected());
  EXPECT_EQ(model_->Claims(), 1);

  const uint8_t request[1] = {0xFF};
  ASSERT_EQ(link.sendPacket(6, 0x49, 1, request), aErrNone);
  model_->QueueIn(std::string("\x06\x06\x49\xFF\x00\x00\x10\xE1", 8));
  const uint8_t match[2] = {0x49, 0xFF};
  uint8_t length = 2, data[28];
  ASSERT_EQ(link.receivePacket(6, match, length, data), aErrNone);
  EXPECT_EQ(length, 6);
  EXPECT_EQ(data[5], 0xE1);

  link.disconnect();
  EXPECT_EQ(model_->Claims(), model_->Releases());
  // The discovered specifier stays: connect again by it.
  ASSERT_EQ(ConnectSynced([&] { return link.connect(); }), aErrNone);
  EXPECT_TRUE(link.isConnected());
}

TEST_F(UsbLinkObjectTest, UnansweredSyncLeavesNothingClaimed) {
  Link link("usb");
  ASSERT_EQ(link.setConfig(config_), aErrNone);
  EXPECT_EQ(link.discoverAndConnect(USB, 0xABCD), aErrConnection);
  EXPECT_EQ(link.getLinkId(), 0u);
  EXPECT_EQ(model_->Claims(), model_->Releases());
  EXPECT_EQ(ConnectSynced([&] { return link.connect(); }), aErrNone);
  EXPECT_EQ(link.discoverAndConnect(USB, 0x12345678), aErrConnection);  // already connected
}

}  // namespace
