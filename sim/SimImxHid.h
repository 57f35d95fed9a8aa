// A simulated hidraw device on a umockdev testbed, as the i.MX boot ROM
// presents itself over USB: the sysfs chain usb_device -> usb_interface ->
// hid -> hidraw that hidapi's hidraw backend enumerates, and a node that
// answers its report-descriptor ioctls, writes (output reports) and reads
// (input reports). The handlers run on umockdev's worker thread; the node
// only works in a process run under umockdev's preload library.
#ifndef KORVEX_SIM_IMX_HID_H
#define KORVEX_SIM_IMX_HID_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace ksim {

// Where the reports go and come from; called on umockdev's worker thread.
class HidReportPort {
 public:
  virtual ~HidReportPort() = default;
  virtual void Output(const uint8_t* report, size_t length) = 0;
  // The next input report (report id first); false while none is there
  // (the read then fails with EAGAIN, which hidapi takes as "nothing").
  virtual bool Input(std::vector<uint8_t>& report) = 0;
};

class HidNode {
 public:
  // `index` names the node /dev/hidrawN and the USB device 1-(200 + index).
  HidNode(UMockdevTestbed* testbed, int index, uint16_t vendor, uint16_t product, const std::string& serial,
          HidReportPort& port);
  ~HidNode();
  HidNode(const HidNode&) = delete;
  HidNode& operator=(const HidNode&) = delete;

  bool Plug(std::string& error);
  // The device leaves: enumeration no longer finds it; an open node fails
  // every call with ENODEV.
  void Unplug();
  const std::string& node() const { return node_; }

 private:
  static int OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  static int OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  static int OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);

  UMockdevTestbed* testbed_;
  const int index_;
  const uint16_t vendor_, product_;
  const std::string serial_;
  HidReportPort& port_;
  std::string node_, usbPath_;
  UMockdevIoctlBase* handler_ = nullptr;
  bool attached_ = false;
  std::mutex lock_;
  bool gone_ = false;
};

}  // namespace ksim

#endif
