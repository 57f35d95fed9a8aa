// Simulated USB modules on a umockdev testbed. Each device is described in
// the testbed's sysfs with its descriptors and answers the usbdevfs ioctls
// that libusb issues on its node; the handlers run on umockdev's worker
// thread and share only the byte queues (under a mutex) with the world.
#include "sim/SimUsb.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>

#include "sim/SimConfig.h"
#include "sim/SimUsbRecord.h"
#include "sim/SimWorld.h"

namespace ksim {

namespace {

constexpr uint16_t kMaxPacket = 512;
constexpr uint8_t kEndpointIn = 0x81, kEndpointOut = 0x01;

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (uint8_t x : bytes) {
    std::snprintf(b, sizeof b, "%02X", x);
    s += b;
  }
  return s;
}

std::vector<uint8_t> Descriptors(uint16_t product) {
  return {
      // device
      18, 1, 0x00, 0x02, 0, 0, 0, 64, uint8_t(kUsbVendorId & 0xFF), uint8_t(kUsbVendorId >> 8),
      uint8_t(product & 0xFF), uint8_t(product >> 8), 0x00, 0x01, 1, 2, 3, 1,
      // configuration
      9, 2, 32, 0, 1, 1, 0, 0x80, 50,
      // the link interface: vendor class, subclass 0x88, protocol 0x10
      9, 4, 0, 0, 2, aKORVEX_USB_INTERFACE_CLASS, aKORVEX_USB_INTERFACE_SUBCLASS,
      aKORVEX_USB_INTERFACE_PROTOCOL, 0,
      // bulk IN and bulk OUT
      7, 5, kEndpointIn, 2, uint8_t(kMaxPacket & 0xFF), uint8_t(kMaxPacket >> 8), 0,
      7, 5, kEndpointOut, 2, uint8_t(kMaxPacket & 0xFF), uint8_t(kMaxPacket >> 8), 0,
  };
}

std::vector<uint8_t> StringDescriptor(const std::string& text) {
  std::vector<uint8_t> d{uint8_t(2 + 2 * text.size()), 3};
  for (char c : text) {
    d.push_back(uint8_t(c));
    d.push_back(0);
  }
  return d;
}

struct Urb {
  UMockdevIoctlData* urb = nullptr;     // the client's struct usbdevfs_urb
  UMockdevIoctlData* buffer = nullptr;  // its data buffer
  uint8_t type = 0, endpoint = 0;
  bool done = false;                    // can be reaped
  int status = 0;
  int actual = 0;
};

struct Device {
  Endpoint* endpoint = nullptr;
  std::string sysPath, node;  // "/sys/devices/...", "/dev/bus/usb/001/005"
  std::string serialText;
  UMockdevIoctlBase* handler = nullptr;
  gulong signal = 0;
  std::deque<Urb> urbs;                      // submitted, in order
  std::deque<uint8_t> toHost;                // module to host
  std::deque<std::vector<uint8_t>> fromHost; // host to module
  bool gone = false;                         // unplugged: every call fails as on a vanished device
};

class UmockdevBus;

struct HandlerContext {
  UmockdevBus* bus;
  Device* device;
};

class UmockdevBus : public UsbBus {
 public:
  UmockdevBus(UMockdevTestbed* bed, std::function<void()> wake) : bed_(bed), wake_(std::move(wake)) {}
  ~UmockdevBus() override {
    std::vector<Endpoint*> all;
    for (auto& d : devices_) all.push_back(d.first);
    for (Endpoint* e : all) remove(*e);
    for (auto& dev : gone_) {
      umockdev_testbed_detach_ioctl(bed_, dev->node.c_str(), nullptr);
      g_signal_handler_disconnect(dev->handler, dev->signal);
      g_object_unref(dev->handler);
      for (Urb& u : dev->urbs) Release(u);
    }
    g_object_unref(bed_);
  }

  bool add(Endpoint& e, std::string& error) override {
    auto dev = std::make_unique<Device>();
    dev->endpoint = &e;
    int number = ++nextDevice_;  // a new device number on every plug-in, as the bus would
    char node[64], sys[128];
    std::snprintf(node, sizeof node, "bus/usb/001/%03d", number);
    std::snprintf(sys, sizeof sys, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d", number);
    dev->node = std::string("/dev/") + node;
    dev->sysPath = sys;
    dev->serialText = SerialText(e.usbSerial);
    uint16_t product = uint16_t(e.spec.module.model);  // below 0x8000, low byte the model
    const std::string record =
        sim::UsbDeviceRecord(sys + std::strlen("/sys"), number, Hex(Descriptors(product)),
                             kUsbVendorId, product, dev->serialText);
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(bed_, record.c_str(), &err)) {
      error = std::string("cannot add a USB device: ") + (err ? err->message : "?");
      if (err) g_error_free(err);
      return false;
    }
    dev->handler = umockdev_ioctl_base_new();
    HandlerContext* ctx = new HandlerContext{this, dev.get()};
    dev->signal = g_signal_connect_data(dev->handler, "handle-ioctl", G_CALLBACK(&UmockdevBus::OnIoctl), ctx,
                                        [](gpointer p, GClosure*) { delete static_cast<HandlerContext*>(p); },
                                        GConnectFlags(0));
    if (!umockdev_testbed_attach_ioctl(bed_, dev->node.c_str(), dev->handler, &err)) {
      error = std::string("cannot attach the USB device's handler: ") + (err ? err->message : "?");
      if (err) g_error_free(err);
      g_object_unref(dev->handler);
      umockdev_testbed_remove_device(bed_, dev->sysPath.c_str());
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[&e] = std::move(dev);
    return true;
  }

  // Unplugs the device: it leaves the bus at once, while a host that still
  // holds it open gets "no such device" from every call (its handler stays
  // attached until the bus goes away, so no call is left unanswered).
  void remove(Endpoint& e) override {
    std::string sysPath;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = devices_.find(&e);
      if (it == devices_.end()) return;
      Device* dev = it->second.get();
      dev->gone = true;
      sysPath = dev->sysPath;
      gone_.push_back(std::move(it->second));
      devices_.erase(it);
    }
    // Only the device's sysfs entries go: enumeration no longer finds it,
    // while its node and handler stay, so a host still holding it open is
    // answered (with ENODEV) instead of waiting for ever.
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    std::string base = std::string(root) + "/sys";
    g_free(root);
    std::string name = sysPath.substr(sysPath.rfind('/') + 1);
    std::error_code ec;
    std::filesystem::remove(base + "/bus/usb/devices/" + name, ec);
    std::filesystem::remove(base + "/dev/char/189:" + name.substr(name.find('-') + 1), ec);
    std::filesystem::remove_all(base + sysPath.substr(4), ec);
  }

  void send(Endpoint& e, const std::vector<uint8_t>& bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(&e);
    if (it != devices_.end()) it->second->toHost.insert(it->second->toHost.end(), bytes.begin(), bytes.end());
  }

  bool receive(Endpoint& e, std::vector<uint8_t>& out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(&e);
    if (it == devices_.end() || it->second->fromHost.empty()) return false;
    out = std::move(it->second->fromHost.front());
    it->second->fromHost.pop_front();
    return true;
  }

  std::string where(const Endpoint& e) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(const_cast<Endpoint*>(&e));
    return it == devices_.end() ? "" : "at " + it->second->node;
  }

 private:
  static void Release(Urb& u) {
    if (u.buffer) g_object_unref(u.buffer);
    if (u.urb) g_object_unref(u.urb);
    u.buffer = u.urb = nullptr;
  }

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    HandlerContext* ctx = static_cast<HandlerContext*>(user);
    return ctx->bus->handle(*ctx->device, client);
  }

  void control(Device& d, Urb& u) {
    const uint8_t* setup = u.buffer->data;
    uint8_t requestType = setup[0], request = setup[1];
    uint16_t value = uint16_t(setup[2] | setup[3] << 8);
    uint16_t length = uint16_t(setup[6] | setup[7] << 8);
    std::vector<uint8_t> answer;
    if (requestType == 0x80 && request == 6) {  // GET_DESCRIPTOR
      uint8_t type = value >> 8, index = value & 0xFF;
      if (type == 3) {
        if (index == 0) answer = {4, 3, 0x09, 0x04};
        else if (index == 1) answer = StringDescriptor("Velmaris");
        else if (index == 2) answer = StringDescriptor("Korvex module");
        else if (index == 3) answer = StringDescriptor(d.serialText);
      } else if (type == 1) {
        answer = Descriptors(uint16_t(d.endpoint->spec.module.model));
        answer.resize(18);
      } else if (type == 2) {
        answer = Descriptors(uint16_t(d.endpoint->spec.module.model));
        answer.erase(answer.begin(), answer.begin() + 18);
      }
    }
    size_t n = std::min<size_t>({answer.size(), length, size_t(u.buffer->data_len > 8 ? u.buffer->data_len - 8 : 0)});
    if (n) std::memcpy(u.buffer->data + 8, answer.data(), n);
    u.actual = int(n);
    u.done = true;
  }

  gboolean handle(Device& d, UMockdevIoctlClient* client) {
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* err = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (d.gone && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY &&
        request != USBDEVFS_DISCARDURB && request != USBDEVFS_RELEASEINTERFACE) {
      // An unplugged device: transfers fail; what was pending can still be
      // cancelled and reaped, so the host's waits end.
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &err);
        if (!caps) break;
        uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        std::memcpy(caps->data, &value, sizeof value);
        g_object_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_SETCONFIGURATION:
      case USBDEVFS_RESETEP:
      case USBDEVFS_RESET:
      case USBDEVFS_CLEAR_HALT:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &err);
        if (!urbData) break;
        usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        UMockdevIoctlData* buf = nullptr;
        if (urb->buffer_length > 0)
          buf = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), gsize(urb->buffer_length), &err);
        if (urb->buffer_length > 0 && !buf) {
          g_object_unref(urbData);
          break;
        }
        Urb u;
        u.urb = urbData;
        u.buffer = buf;
        u.type = urb->type;
        u.endpoint = urb->endpoint;
        if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
          if (buf && urb->buffer_length >= 8) control(d, u);
          else u.done = true;
        } else if (u.type == USBDEVFS_URB_TYPE_BULK && !(u.endpoint & 0x80)) {
          if (buf) d.fromHost.emplace_back(buf->data, buf->data + urb->buffer_length);
          u.actual = urb->buffer_length;
          u.done = true;
          if (wake_) wake_();
        }
        d.urbs.push_back(u);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_DISCARDURB: {
        gulong address = 0;
        if (arg->data_len >= int(sizeof(void*))) std::memcpy(&address, arg->data, sizeof(void*));
        for (Urb& u : d.urbs) {
          if (u.urb->client_addr == address && !u.done) {
            u.done = true;
            u.status = -ENOENT;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
          }
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
      }
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: {
        // Bulk IN URBs complete as soon as the module has bytes for them.
        for (Urb& u : d.urbs) {
          if (d.gone) break;
          if (u.done || !(u.endpoint & 0x80) || u.type != USBDEVFS_URB_TYPE_BULK || d.toHost.empty()) continue;
          size_t n = std::min<size_t>(d.toHost.size(), size_t(u.buffer ? u.buffer->data_len : 0));
          for (size_t i = 0; i < n; ++i) {
            u.buffer->data[i] = d.toHost.front();
            d.toHost.pop_front();
          }
          u.actual = int(n);
          u.done = true;
        }
        for (auto it = d.urbs.begin(); it != d.urbs.end(); ++it) {
          if (!it->done) continue;
          usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(it->urb->data);
          urb->status = it->status;
          urb->actual_length = it->actual;
          UMockdevIoctlData* cell = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &err);
          if (!cell) break;
          umockdev_ioctl_data_set_ptr(cell, 0, it->urb);
          g_object_unref(cell);
          Urb u = *it;
          d.urbs.erase(it);
          umockdev_ioctl_client_complete(client, 0, 0);
          Release(u);
          return TRUE;
        }
        if (err) break;
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
      }
      default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    if (err) g_error_free(err);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return TRUE;
  }

  UMockdevTestbed* bed_;
  std::function<void()> wake_;
  mutable std::mutex mutex_;
  std::map<Endpoint*, std::unique_ptr<Device>> devices_;
  std::vector<std::unique_ptr<Device>> gone_;  // unplugged, still answering ENODEV
  int nextDevice_ = 1;
};

}  // namespace

std::unique_ptr<UsbBus> UsbBus::create(std::function<void()> wake, std::string& error) {
  UMockdevTestbed* bed = umockdev_testbed_new();
  if (!bed) {
    error = "cannot create the umockdev testbed for USB modules";
    return nullptr;
  }
  return std::make_unique<UmockdevBus>(bed, std::move(wake));
}

bool UsbSimulationAvailable() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "libumockdev-preload");
}

}  // namespace ksim
