#include "sim/SimImxHid.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "sim/SimUsbRecord.h"

namespace ksim {

namespace {

// Vendor-defined reports: 1 out (16-byte command), 2 out (1024 data bytes),
// 3 in (4-byte security word), 4 in (64 bytes).
const uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02,
    0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91, 0x02,
    0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,
    0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,
    0xC0};

std::string Hex(const uint8_t* p, size_t n) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02X", p[i]);
    out += two;
  }
  return out;
}

bool Fail(std::string& error, const char* what, GError* err) {
  error = std::string(what) + (err != nullptr ? err->message : "?");
  if (err != nullptr) g_error_free(err);
  return false;
}

size_t LengthOf(UMockdevIoctlData* data) {
  return data != nullptr && data->data_len > 0 ? static_cast<size_t>(data->data_len) : 0;
}

}  // namespace

HidNode::HidNode(UMockdevTestbed* testbed, int index, uint16_t vendor, uint16_t product, const std::string& serial,
                 HidReportPort& port)
    : testbed_(static_cast<UMockdevTestbed*>(g_object_ref(testbed))),
      index_(index),
      vendor_(vendor),
      product_(product),
      serial_(serial),
      port_(port) {
  node_ = "/dev/hidraw" + std::to_string(index);
  usbPath_ = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(200 + index);
}

HidNode::~HidNode() {
  if (attached_) umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), nullptr);
  std::lock_guard<std::mutex> guard(lock_);  // waits for a call still in a handler
  if (handler_ != nullptr) {
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
  }
  g_object_unref(testbed_);
}

bool HidNode::Plug(std::string& error) {
  GError* err = nullptr;
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&HidNode::OnIoctl), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(&HidNode::OnRead), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(&HidNode::OnWrite), this);
  if (!umockdev_testbed_attach_ioctl(testbed_, node_.c_str(), handler_, &err))
    return Fail(error, "cannot attach the HID device's handler: ", err);
  attached_ = true;

  const int number = 200 + index_;
  // The USB device: a device descriptor of the ROM (its interface is HID).
  const uint8_t device[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, uint8_t(vendor_), uint8_t(vendor_ >> 8),
                              uint8_t(product_), uint8_t(product_ >> 8), 0x01, 0x00, 1, 2, 3, 1};
  std::string record = UsbDeviceRecord(usbPath_, number, Hex(device, sizeof device), vendor_, product_, serial_);
  record += "A: manufacturer=NXP\\n\nA: product=SE Blank\\n\n";
  char hidName[64];
  std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", vendor_, product_, index_ + 1);
  const std::string interface = usbPath_ + "/1-" + std::to_string(number) + ":1.0";
  const std::string hid = interface + "/" + hidName;
  const std::string hidraw = hid + "/hidraw/hidraw" + std::to_string(index_);
  char ids[160];
  std::snprintf(ids, sizeof ids, "E: HID_ID=0003:%08X:%08X\nE: HID_NAME=NXP SE Blank\nE: HID_UNIQ=%s\n", vendor_,
                product_, serial_.c_str());
  const std::string records[] = {
      record,
      "P: " + interface + "\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nE: DRIVER=usbhid\n"
      "A: bInterfaceNumber=00\\n\nA: bInterfaceClass=03\\n\n",
      "P: " + hid + "\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\n" + ids + "E: HID_PHYS=usb-0000:00:14.0-" +
          std::to_string(number) + "/input0\nH: report_descriptor=" +
          Hex(kReportDescriptor, sizeof kReportDescriptor) + "\n",
      "P: " + hidraw + "\nN: hidraw" + std::to_string(index_) + "=00\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + node_ +
          "\nE: MAJOR=247\nE: MINOR=" + std::to_string(index_) + "\nA: dev=247:" + std::to_string(index_) +
          "\\n\n",
  };
  for (const std::string& r : records)
    if (!umockdev_testbed_add_from_string(testbed_, r.c_str(), &err)) return Fail(error, "cannot add the HID device: ", err);
  umockdev_testbed_set_attribute_link(testbed_, ("/sys" + hidraw).c_str(), "device", "../..");
  return true;
}

void HidNode::Unplug() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (gone_) return;
    gone_ = true;
  }
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  const std::string base = std::string(root) + "/sys";
  g_free(root);
  std::error_code ec;
  const std::string number = std::to_string(200 + index_);
  std::filesystem::remove(base + "/bus/usb/devices/1-" + number, ec);
  std::filesystem::remove(base + "/class/hidraw/hidraw" + std::to_string(index_), ec);
  std::filesystem::remove(base + "/dev/char/247:" + std::to_string(index_), ec);
  std::filesystem::remove(base + "/dev/char/189:" + number, ec);
  std::filesystem::remove_all(base + usbPath_, ec);
}

int HidNode::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  HidNode& n = *static_cast<HidNode*>(self);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  // Held through the whole call, so that the node's end is ordered after it.
  std::lock_guard<std::mutex> guard(n.lock_);
  if (n.gone_) { umockdev_ioctl_client_complete(client, -1, ENODEV); return TRUE; }
  if (request == HIDIOCGRDESCSIZE) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
    if (d == nullptr) { umockdev_ioctl_client_complete(client, -1, EFAULT); return TRUE; }
    const int size = int(sizeof kReportDescriptor);
    std::memcpy(d->data, &size, sizeof size);
    umockdev_ioctl_data_unref(d);
    umockdev_ioctl_client_complete(client, 0, 0);
  } else if (request == HIDIOCGRDESC) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), nullptr);
    if (d == nullptr) { umockdev_ioctl_client_complete(client, -1, EFAULT); return TRUE; }
    auto* desc = reinterpret_cast<hidraw_report_descriptor*>(d->data);
    const uint32_t size = std::min<uint32_t>(desc->size, sizeof kReportDescriptor);
    std::memcpy(desc->value, kReportDescriptor, size);
    umockdev_ioctl_data_unref(d);
    umockdev_ioctl_client_complete(client, 0, 0);
  } else if (request == HIDIOCGRAWINFO) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_devinfo), nullptr);
    if (d == nullptr) { umockdev_ioctl_client_complete(client, -1, EFAULT); return TRUE; }
    auto* info = reinterpret_cast<hidraw_devinfo*>(d->data);
    info->bustype = 3;  // BUS_USB
    info->vendor = int16_t(n.vendor_);
    info->product = int16_t(n.product_);
    umockdev_ioctl_data_unref(d);
    umockdev_ioctl_client_complete(client, 0, 0);
  } else {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
  }
  return TRUE;
}

int HidNode::OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  HidNode& n = *static_cast<HidNode*>(self);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  // Held through the whole call, so that the node's end is ordered after it.
  std::lock_guard<std::mutex> guard(n.lock_);
  if (n.gone_) { umockdev_ioctl_client_complete(client, -1, ENODEV); return TRUE; }
  std::vector<uint8_t> report;
  if (!n.port_.Input(report)) { umockdev_ioctl_client_complete(client, -1, EAGAIN); return TRUE; }
  const size_t len = std::min(report.size(), LengthOf(arg));
  if (len > 0) std::memcpy(arg->data, report.data(), len);
  umockdev_ioctl_client_complete(client, long(len), 0);
  return TRUE;
}

int HidNode::OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  HidNode& n = *static_cast<HidNode*>(self);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  // Held through the whole call, so that the node's end is ordered after it.
  std::lock_guard<std::mutex> guard(n.lock_);
  if (n.gone_) { umockdev_ioctl_client_complete(client, -1, ENODEV); return TRUE; }
  const size_t len = LengthOf(arg);
  if (len > 0) n.port_.Output(arg->data, len);
  umockdev_ioctl_client_complete(client, long(len), 0);
  return TRUE;
}

}  // namespace ksim
