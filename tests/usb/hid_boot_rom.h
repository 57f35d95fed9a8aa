// A scripted i.MX boot ROM as a hidraw device on a umockdev testbed, for
// tests and benchmarks of the HID SDP transport: the sysfs chain
// usb_device -> usb_interface -> hid -> hidraw that hidapi enumerates, and a
// handler on /dev/hidraw0 that answers the report-descriptor ioctls, takes
// output reports (1: command, 2: data) and hands out input reports (3:
// security mode, 4: status or register word). Its handlers run on
// umockdev's worker thread. Works only in a process under umockdev-wrapper.
#ifndef TESTS_USB_HID_BOOT_ROM_H
#define TESTS_USB_HID_BOOT_ROM_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace sdptest {

// kChatty: every read gets a status report, without end.
enum class HidRomMode { kAnswer, kSilent, kShortSecurityReport, kChatty };

constexpr uint32_t kHidSecurityWord = 0x56787856;
constexpr uint32_t kHidStatusWord = 0x12343412;
constexpr uint32_t kHidFuseLow = 0x89ABCDEF;
constexpr uint32_t kHidFuseHigh = 0x01234567;

class HidBootRom {
 public:
  HidBootRom(UMockdevTestbed* testbed, uint16_t vendor, uint16_t product, HidRomMode mode);
  ~HidBootRom();
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
  static int OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  static int OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  static int OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  void Answer(uint32_t word, bool withStatus);  // called with lock_ held
  void Command(const uint8_t* c);                // called with lock_ held

  UMockdevTestbed* testbed_;  // ref held
  const uint16_t vendor_;
  const uint16_t product_;
  const HidRomMode mode_;
  UMockdevIoctlBase* handler_ = nullptr;
  bool attached_ = false;

  std::mutex lock_;
  std::deque<std::vector<uint8_t>> input_;  // reports for the host
  uint32_t dataLeft_ = 0;
  int statusCommands_ = 0;
  std::vector<size_t> dataSizes_;
  std::vector<uint8_t> image_;
  uint32_t writeAddress_ = 0;
  uint32_t jumpAddress_ = 0;
  size_t reports_ = 0;
};

}  // namespace sdptest

#endif
