// The simulated USB device lets one open node claim an interface at a time,
// seen through the real libusb. Runs under umockdev-wrapper; skipped elsewhere.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <libusb.h>
#include <umockdev.h>

#include "common/aUSBDefs.h"
#include "tests/usb/usb_module_model.h"

namespace {

class SimUsbClaimTest : public UsbTestbedTest {
 protected:
  void SetUp() override {
    UsbTestbedTest::SetUp();
    if (Stopped()) return;
    AddModule("0000C1A1");
    ASSERT_EQ(libusb_init(&ctx_), 0);
  }
  void TearDown() override {
    for (libusb_device_handle*& h : handles_)
      if (h != nullptr) libusb_close(h);
    if (ctx_ != nullptr) libusb_exit(ctx_);
    UsbTestbedTest::TearDown();
  }
  libusb_device_handle* Open(int k) {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &list);
    for (ssize_t i = 0; i < n && handles_[k] == nullptr; ++i) {
      libusb_device_descriptor dd{};
      if (libusb_get_device_descriptor(list[i], &dd) == 0 && dd.idVendor == aVELMARIS_USB_VENDOR_ID)
        libusb_open(list[i], &handles_[k]);
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    return handles_[k];
  }

  libusb_context* ctx_ = nullptr;
  libusb_device_handle* handles_[2] = {nullptr, nullptr};
};

TEST_F(SimUsbClaimTest, SecondClaimerIsBusyUntilTheFirstReleasesOrCloses) {
  libusb_device_handle* a = Open(0);
  libusb_device_handle* b = Open(1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(libusb_claim_interface(a, 0), 0);
  EXPECT_EQ(libusb_claim_interface(b, 0), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(libusb_release_interface(a, 0), 0);
  EXPECT_EQ(libusb_claim_interface(b, 0), 0);
  EXPECT_EQ(libusb_claim_interface(a, 0), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(libusb_release_interface(b, 0), 0);
  EXPECT_EQ(libusb_claim_interface(a, 0), 0);
  EXPECT_EQ(model_->Claims(), 5);
}

TEST_F(SimUsbClaimTest, AClaimEndsWithTheProcessHoldingIt) {
  libusb_device_handle* a = Open(0);
  ASSERT_NE(a, nullptr);
  // A child process claims the interface and ends without releasing it.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    libusb_context* ctx = nullptr;
    libusb_device** list = nullptr;
    int code = 1;
    if (libusb_init(&ctx) == 0) {
      ssize_t n = libusb_get_device_list(ctx, &list);
      for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor dd{};
        libusb_device_handle* h = nullptr;
        if (libusb_get_device_descriptor(list[i], &dd) == 0 && dd.idVendor == aVELMARIS_USB_VENDOR_ID &&
            libusb_open(list[i], &h) == 0 && libusb_claim_interface(h, 0) == 0)
          code = 0;
      }
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  int result = LIBUSB_ERROR_BUSY;
  for (int i = 0; i < 200 && result == LIBUSB_ERROR_BUSY; ++i) {
    result = libusb_claim_interface(a, 0);
    if (result == LIBUSB_ERROR_BUSY) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(result, 0);
}

}  // namespace
