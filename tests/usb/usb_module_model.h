// A simulated Korvex module on USB for tests: the simulator's USB device
// (sim/SimUsbDevice.h) with scripted bulk data. IN transfers are answered
// from a queue of replies, OUT transfers are recorded or failed on request.
// Runs only in a process started under umockdev-wrapper.
#ifndef TESTS_USB_USB_MODULE_MODEL_H
#define TESTS_USB_USB_MODULE_MODEL_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

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

#endif
