// A scripted i.MX boot ROM as a hidraw device on a umockdev testbed, for
// tests and benchmarks of the HID SDP transport. The node itself (the sysfs
// chain hidapi enumerates, the report-descriptor ioctls, reads and writes)
// is the simulator's ksim::HidNode on /dev/hidraw0; this class is the ROM
// behind it: it takes output reports (1: command, 2: data) and hands out
// input reports (3: security mode, 4: status or register word). Its report
// calls run on umockdev's worker thread. Works only in a process under
// umockdev-wrapper.
#ifndef TESTS_USB_HID_BOOT_ROM_H
#define TESTS_USB_HID_BOOT_ROM_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SimImxHid.h"

namespace sdptest {

// kChatty: every read gets a status report, without end.
enum class HidRomMode { kAnswer, kSilent, kShortSecurityReport, kChatty };

constexpr uint32_t kHidSecurityWord = 0x56787856;
constexpr uint32_t kHidStatusWord = 0x12343412;
constexpr uint32_t kHidFuseLow = 0x89ABCDEF;
constexpr uint32_t kHidFuseHigh = 0x01234567;

class HidBootRom : private ksim::HidReportPort {
 public:
  HidBootRom(UMockdevTestbed* testbed, uint16_t vendor, uint16_t product, HidRomMode mode);
  ~HidBootRom() override;
  HidBootRom(const HidBootRom&) = delete;
  HidBootRom& operator=(const HidBootRom&) = delete;

  // Adds the device to the testbed; false with `error` set on failure.
  bool Plug(std::string& error);

  // Observations.
  int statusCommands();
  std::vector<size_t> dataReportSizes();
  std::vector<uint8_t> image();
  uint32_t writeAddress();
  uint32_t jumpAddress();
  size_t reportsTaken();

 private:
  void Output(const uint8_t* report, size_t length) override;
  bool Input(std::vector<uint8_t>& report) override;
  void Answer(uint32_t word, bool withStatus);  // called with lock_ held
  void Command(const uint8_t* c);                // called with lock_ held

  const HidRomMode mode_;

  std::mutex lock_;
  std::deque<std::vector<uint8_t>> input_;  // reports for the host
  uint32_t dataLeft_ = 0;
  int statusCommands_ = 0;
  std::vector<size_t> dataSizes_;
  std::vector<uint8_t> image_;
  uint32_t writeAddress_ = 0;
  uint32_t jumpAddress_ = 0;
  size_t reports_ = 0;

  std::unique_ptr<ksim::HidNode> node_;  // ended first: it calls into this ROM
};

}  // namespace sdptest

#endif
