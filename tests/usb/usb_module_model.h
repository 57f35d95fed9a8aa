// A simulated Korvex module on USB for tests: the simulator's USB device
// (sim/SimUsbDevice.h) with scripted bulk data. IN transfers are answered
// from a queue of replies, OUT transfers are recorded or failed on request.
// Runs only in a process started under umockdev-wrapper.
#ifndef TESTS_USB_USB_MODULE_MODEL_H
#define TESTS_USB_USB_MODULE_MODEL_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <umockdev.h>

#include "common/aUSBDefs.h"
#include "sim/SimUsbDevice.h"

using ksim::UsbSimulationAvailable;
using UsbInReply = ksim::UsbInReply;
using UsbModuleDescription = ksim::UsbDeviceDescription;

class UsbModuleModel : private ksim::UsbDataPort {
 public:
  // Adds the device as bus 1, device `address` to the testbed.
  UsbModuleModel(UMockdevTestbed* testbed, int address,
                 const UsbModuleDescription& description);

  // Scripting (from the test thread).
  void QueueIn(const UsbInReply& reply);
  void QueueIn(const std::string& bytes);
  void FailNextOut(int count, int status);  // next OUT URBs end with status
  void SetClaimErrno(int error) { device_.SetClaimErrno(error); }  // 0: claims succeed

  // Observations.
  std::vector<size_t> OutTransferSizes();
  std::vector<uint8_t> OutBytes();
  int HaltsCleared(uint8_t endpoint) { return device_.HaltsCleared(endpoint); }
  int Claims() { return device_.Claims(); }
  int Releases() { return device_.Releases(); }

 private:
  int Out(const uint8_t* data, size_t length) override;
  bool In(size_t room, UsbInReply& reply) override;

  std::mutex lock_;
  std::deque<UsbInReply> inReplies_;
  int outFailures_ = 0;
  int outFailureStatus_ = 0;
  std::vector<size_t> outSizes_;
  std::vector<uint8_t> outBytes_;
  ksim::UsbDevice device_;  // last: goes first, before what it calls
};

// A test with its own umockdev testbed, skipped outside umockdev-wrapper.
// AddModule puts one Korvex module on it as device 1.
class UsbTestbedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UsbSimulationAvailable()) GTEST_SKIP() << "needs umockdev-wrapper";
    testbed_ = umockdev_testbed_new();
    ASSERT_NE(testbed_, nullptr);
  }
  void TearDown() override {
    model_.reset();
    if (testbed_ != nullptr) g_object_unref(testbed_);
  }
  void AddModule(const std::string& serial) {
    UsbModuleDescription d;
    d.vendor = aVELMARIS_USB_VENDOR_ID;
    d.serial = serial;
    model_.reset(new UsbModuleModel(testbed_, 1, d));
  }
  // True when SetUp ended the test early (skipped or failed).
  bool Stopped() const { return IsSkipped() || HasFatalFailure(); }

  UMockdevTestbed* testbed_ = nullptr;
  std::unique_ptr<UsbModuleModel> model_;
};

#endif
