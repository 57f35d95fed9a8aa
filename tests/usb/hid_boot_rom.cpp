#include "tests/usb/hid_boot_rom.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sdptest {

namespace {

const char kUsbPath[] = "/devices/pci0000:00/0000:00:14.0/usb1/1-7";
const char kInterfacePath[] = "/devices/pci0000:00/0000:00:14.0/usb1/1-7/1-7:1.0";
const char kHidName[] = "0003:%04X:%04X.0001";

// Vendor page; report 1: 16 bytes out, 2: 1024 bytes out, 3: 4 bytes in,
// 4: 64 bytes in.
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

uint32_t BE32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void PutLE(std::vector<uint8_t>& v, uint32_t w) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(w >> (8 * i)));
}

bool Add(UMockdevTestbed* bed, const std::string& record, std::string& error) {
  GError* err = nullptr;
  if (umockdev_testbed_add_from_string(bed, record.c_str(), &err)) return true;
  error = std::string("cannot add a device: ") + (err != nullptr ? err->message : "?");
  if (err != nullptr) g_error_free(err);
  return false;
}

}  // namespace

HidBootRom::HidBootRom(UMockdevTestbed* testbed, uint16_t vendor, uint16_t product,
                       HidRomMode mode)
    : testbed_(static_cast<UMockdevTestbed*>(g_object_ref(testbed))),
      vendor_(vendor),
      product_(product),
      mode_(mode) {}

HidBootRom::~HidBootRom() {
  if (attached_) umockdev_testbed_detach_ioctl(testbed_, "/dev/hidraw0", nullptr);
  if (handler_ != nullptr) {
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
  }
  g_object_unref(testbed_);
}

bool HidBootRom::Plug(std::string& error) {
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&HidBootRom::OnIoctl), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(&HidBootRom::OnRead), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(&HidBootRom::OnWrite), this);
  GError* err = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, "/dev/hidraw0", handler_, &err)) {
    error = std::string("cannot attach the hidraw handler: ") + (err != nullptr ? err->message : "?");
    if (err != nullptr) g_error_free(err);
    return false;
  }
  attached_ = true;

  char ids[256];
  std::snprintf(ids, sizeof ids,
                "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: manufacturer=NXP\\n\n"
                "A: product=boot ROM\\n\nA: busnum=1\\n\nA: devnum=7\\n\n",
                vendor_, product_);
  const std::string usb = std::string("P: ") + kUsbPath +
                          "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: BUSNUM=001\nE: DEVNUM=007\n" + ids;
  const std::string interface = std::string("P: ") + kInterfacePath +
                                "\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\n"
                                "A: bInterfaceNumber=00\\n\nA: bInterfaceClass=03\\n\n";
  char hidName[32];
  std::snprintf(hidName, sizeof hidName, kHidName, vendor_, product_);
  const std::string hidPath = std::string(kInterfacePath) + "/" + hidName;
  char hidIds[160];
  std::snprintf(hidIds, sizeof hidIds,
                "E: HID_ID=0003:0000%04X:0000%04X\nE: HID_NAME=NXP boot ROM\nE: HID_UNIQ=\n"
                "E: HID_PHYS=usb-0000:00:14.0-7/input0\n",
                vendor_, product_);
  const std::string hid = "P: " + hidPath + "\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\n" + hidIds +
                          "H: report_descriptor=" + Hex(kReportDescriptor, sizeof kReportDescriptor) + "\n";
  const std::string rawPath = hidPath + "/hidraw/hidraw0";
  const std::string raw = "P: " + rawPath +
                          "\nN: hidraw0=00\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw0\n"
                          "E: MAJOR=243\nE: MINOR=0\nA: dev=243:0\\n\n";
  if (!Add(testbed_, usb, error) || !Add(testbed_, interface, error) || !Add(testbed_, hid, error) ||
      !Add(testbed_, raw, error))
    return false;
  // hidapi reads <hidraw>/device/uevent: the link to the hid parent.
  umockdev_testbed_set_attribute_link(testbed_, ("/sys" + rawPath).c_str(), "device", "../..");
  return true;
}

int HidBootRom::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void*) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  if (request == HIDIOCGRDESCSIZE) {
    UMockdevIoctlData* size = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
    if (size == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    const int n = int(sizeof kReportDescriptor);
    std::memcpy(size->data, &n, sizeof n);
    umockdev_ioctl_data_unref(size);
    umockdev_ioctl_client_complete(client, 0, 0);
  } else if (request == HIDIOCGRDESC) {
    UMockdevIoctlData* d =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(struct hidraw_report_descriptor), nullptr);
    if (d == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    auto* desc = reinterpret_cast<struct hidraw_report_descriptor*>(d->data);
    desc->size = sizeof kReportDescriptor;
    std::memcpy(desc->value, kReportDescriptor, sizeof kReportDescriptor);
    umockdev_ioctl_data_unref(d);
    umockdev_ioctl_client_complete(client, 0, 0);
  } else {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
  }
  return TRUE;
}

// One input report per read; nothing queued answers EAGAIN at once.
int HidBootRom::OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  auto* rom = static_cast<HidBootRom*>(self);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard<std::mutex> guard(rom->lock_);
  if (rom->mode_ == HidRomMode::kChatty && rom->input_.empty()) {
    std::vector<uint8_t> noise(65, 0x5A);
    noise[0] = 4;
    rom->input_.push_back(noise);
  }
  if (rom->input_.empty()) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return TRUE;
  }
  const std::vector<uint8_t> report = std::move(rom->input_.front());
  rom->input_.pop_front();
  const size_t room = arg->data_len > 0 ? size_t(arg->data_len) : 0;
  const size_t n = report.size() < room ? report.size() : room;
  if (n > 0) std::memcpy(arg->data, report.data(), n);
  umockdev_ioctl_client_complete(client, long(n), 0);
  return TRUE;
}

int HidBootRom::OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  auto* rom = static_cast<HidBootRom*>(self);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const size_t length = arg->data_len > 0 ? size_t(arg->data_len) : 0;
  const uint8_t* p = arg->data;
  std::lock_guard<std::mutex> guard(rom->lock_);
  ++rom->reports_;
  if (length >= 17 && p[0] == 1) {
    rom->Command(p + 1);
  } else if (length >= 1 && p[0] == 2 && rom->dataLeft_ > 0) {
    rom->dataSizes_.push_back(length - 1);
    size_t take = length - 1;
    if (take > rom->dataLeft_) take = rom->dataLeft_;
    rom->image_.insert(rom->image_.end(), p + 1, p + 1 + take);
    rom->dataLeft_ -= uint32_t(take);
    if (rom->dataLeft_ == 0) rom->Answer(0x88888888, true);
  }
  umockdev_ioctl_client_complete(client, long(length), 0);
  return TRUE;
}

void HidBootRom::Answer(uint32_t word, bool withStatus) {
  std::vector<uint8_t> security = {3};
  PutLE(security, kHidSecurityWord);
  if (mode_ == HidRomMode::kShortSecurityReport) security.resize(3);
  input_.push_back(security);
  if (!withStatus) return;
  std::vector<uint8_t> status = {4};
  PutLE(status, word);
  status.resize(65, 0);
  input_.push_back(status);
}

void HidBootRom::Command(const uint8_t* c) {
  const uint16_t type = uint16_t(c[0] << 8 | c[1]);
  const uint32_t address = BE32(c + 2);
  switch (type) {
    case 0x0505:
      ++statusCommands_;
      if (mode_ != HidRomMode::kSilent) Answer(kHidStatusWord, true);
      break;
    case 0x0404:
      writeAddress_ = address;
      dataLeft_ = BE32(c + 7);
      image_.clear();
      dataSizes_.clear();
      break;
    case 0x0B0B:
      jumpAddress_ = address;
      Answer(0, false);
      break;
    case 0x0101:
      Answer(address == 0x401F4410 ? kHidFuseLow : address == 0x401F4420 ? kHidFuseHigh : 0, true);
      break;
    default:
      break;
  }
}

int HidBootRom::statusCommands() {
  std::lock_guard<std::mutex> guard(lock_);
  return statusCommands_;
}
std::vector<size_t> HidBootRom::dataReportSizes() {
  std::lock_guard<std::mutex> guard(lock_);
  return dataSizes_;
}
std::vector<uint8_t> HidBootRom::image() {
  std::lock_guard<std::mutex> guard(lock_);
  return image_;
}
uint32_t HidBootRom::writeAddress() {
  std::lock_guard<std::mutex> guard(lock_);
  return writeAddress_;
}
uint32_t HidBootRom::jumpAddress() {
  std::lock_guard<std::mutex> guard(lock_);
  return jumpAddress_;
}
size_t HidBootRom::reportsTaken() {
  std::lock_guard<std::mutex> guard(lock_);
  return reports_;
}

}  // namespace sdptest
