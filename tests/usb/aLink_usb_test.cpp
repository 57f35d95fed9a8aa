// USB links through the real libusb against a simulated module: the first
// sync, shared ids with use counts, and the force-route packets of start and
// stop. Runs under umockdev-wrapper (see tests/CMakeLists.txt); skipped
// elsewhere.
#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <umockdev.h>

#include "common/aLink.h"
#include "common/aUSBDefs.h"
#include "common/kxusb_driver.h"
#include "tests/usb/usb_module_model.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class UsbLinkTest : public UsbTestbedTest {
 protected:
  void SetUp() override {
    UsbTestbedTest::SetUp();
    if (!Stopped()) AddModule("0000ABCD");
  }
  void TearDown() override {
    Korvex_libusb_exit();
    UsbTestbedTest::TearDown();
  }

  // True once the module has received `bytes` somewhere after `from`.
  bool Received(const Bytes& bytes, size_t from = 0, int timeoutMs = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      Bytes out = model_->OutBytes();
      if (out.size() >= from + bytes.size() &&
          std::search(out.begin() + static_cast<long>(from), out.end(), bytes.begin(),
                      bytes.end()) != out.end())
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Creates the link while playing the module's part of the first sync.
  uint32_t CreateSynced() {
    auto created = std::async(std::launch::async, [] { return aLink_CreateUSB(0xABCD); });
    const Bytes probes = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};
    if (Received(probes)) model_->QueueIn(std::string("\x06\x00\x06\x00", 4));
    return created.get();
  }

};

TEST_F(UsbLinkTest, ContextMadeByInitServesTheLinksAndIsRenewedAfterExit) {
  libusb_context* made = Korvex_libusb_init();
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(made, Korvex_libusb_init());
  EXPECT_EQ(made, Korvex_libusb_context());
  uint32_t id = CreateSynced();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(made, Korvex_libusb_context());
  ASSERT_EQ(aLink_Destroy(&id), aErrNone);
  Korvex_libusb_exit();
  EXPECT_NE(nullptr, Korvex_libusb_init());
}

TEST_F(UsbLinkTest, SyncsOnCreationAndSharesTheIdBySerialNumber) {
  uint32_t id = CreateSynced();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStateRunning));
  EXPECT_TRUE(Received({0xAF, 0x01, 0x01}));

  uint32_t again = aLink_CreateUSB(0xABCD);
  EXPECT_EQ(again, id);
  EXPECT_EQ(aLink_GetUseCount(id), 2);
  EXPECT_EQ(model_->Claims(), 1);

  ASSERT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(aLink_GetUseCount(id), 1);
  EXPECT_EQ(aLink_GetStatus(id), static_cast<uint32_t>(kLinkStateRunning));

  const size_t before = model_->OutBytes().size();
  uint32_t last = id;
  ASSERT_EQ(aLink_Destroy(&last), aErrNone);
  EXPECT_EQ(aLink_GetUseCount(id), 0);
  EXPECT_TRUE(Received({0xAF, 0x01, 0x00}, before, 100));
  EXPECT_EQ(model_->Releases(), 1);
}

TEST_F(UsbLinkTest, UnansweredSyncFailsTheCreation) {
  EXPECT_EQ(aLink_CreateUSB(0xABCD), 0u);
  // The claim was given back.
  EXPECT_EQ(model_->Claims(), model_->Releases());
}

TEST_F(UsbLinkTest, NoSuchModuleNoLink) {
  EXPECT_EQ(aLink_CreateUSB(0x12345678), 0u);
}

}  // namespace
