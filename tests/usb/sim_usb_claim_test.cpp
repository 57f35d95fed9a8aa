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

// While one node holds the interface with a bulk IN waiting, another reads
// the string descriptors, is refused bulk transfers, and the holder still
// gets the module's data.
TEST_F(SimUsbClaimTest, AnotherNodeReadsDescriptorsButNoBulkDataWhileOneHolds) {
  libusb_device_handle* a = Open(0);
  libusb_device_handle* b = Open(1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(libusb_claim_interface(a, 0), 0);
  unsigned char in[64] = {};
  libusb_transfer* waiting = libusb_alloc_transfer(0);
  ASSERT_NE(waiting, nullptr);
  int done = 0;
  libusb_fill_bulk_transfer(
      waiting, a, 0x81, in, sizeof in,
      [](libusb_transfer* t) { *static_cast<int*>(t->user_data) = 1; }, &done, 5000);
  ASSERT_EQ(libusb_submit_transfer(waiting), 0);
  unsigned char serial[33] = {};
  EXPECT_EQ(libusb_get_string_descriptor_ascii(b, 3, serial, 32), 8);
  EXPECT_STREQ(reinterpret_cast<char*>(serial), "0000C1A1");
  unsigned char out[2] = {0xAD, 0};
  int moved = 0;
  // libusb reports a submission refused with EBUSY as an I/O error.
  EXPECT_EQ(libusb_bulk_transfer(b, 0x01, out, sizeof out, &moved, 500), LIBUSB_ERROR_IO);
  EXPECT_TRUE(model_->OutBytes().empty());
  model_->QueueIn(std::string("\x02\x00", 2));
  for (int i = 0; i < 100 && done == 0; ++i) libusb_handle_events_completed(ctx_, &done);
  EXPECT_EQ(waiting->status, LIBUSB_TRANSFER_COMPLETED);
  EXPECT_EQ(waiting->actual_length, 2);
  libusb_free_transfer(waiting);
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
