// Simulated USB modules on a umockdev testbed: each module with a USB
// transport is a UsbDevice (SimUsbDevice.h) whose bulk data goes to and
// comes from byte queues that the world reads and fills. The device's
// handlers run on umockdev's worker thread and share only those queues
// (under a mutex) with the world.
#include "sim/SimUsb.h"

#include <umockdev.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>

#include "sim/SimConfig.h"
#include "sim/SimUsbDevice.h"
#include "sim/SimWorld.h"

namespace ksim {

namespace {

// The module's side of the bulk endpoints: bytes to and from the world.
class ModulePort : public UsbDataPort {
 public:
  explicit ModulePort(std::function<void()> wake) : wake_(std::move(wake)) {}

  int Out(const uint8_t* data, size_t length) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (length > 0) fromHost_.emplace_back(data, data + length);
    }
    if (wake_) wake_();
    return 0;
  }

  // IN transfers take whatever the module has sent, as much as fits.
  bool In(size_t room, UsbInReply& reply) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (toHost_.empty()) return false;
    const auto n = static_cast<std::ptrdiff_t>(std::min(room, toHost_.size()));
    reply.data.assign(toHost_.begin(), toHost_.begin() + n);
    toHost_.erase(toHost_.begin(), toHost_.begin() + n);
    return true;
  }

  void Send(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    toHost_.insert(toHost_.end(), bytes.begin(), bytes.end());
  }

  bool Receive(std::vector<uint8_t>& out) {
    std::lock_guard<std::mutex> guard(lock_);
    if (fromHost_.empty()) return false;
    out = std::move(fromHost_.front());
    fromHost_.pop_front();
    return true;
  }

 private:
  std::function<void()> wake_;
  std::mutex lock_;
  std::deque<uint8_t> toHost_;                 // module to host
  std::deque<std::vector<uint8_t>> fromHost_;  // host to module
};

// One plug-in of a module: the device goes before its port.
struct Plugged {
  Plugged(UMockdevTestbed* bed, int number, const UsbDeviceDescription& d, std::function<void()> wake)
      : port(std::move(wake)), device(bed, number, d, port) {}
  ModulePort port;
  UsbDevice device;
};

class UmockdevBus : public UsbBus {
 public:
  UmockdevBus(UMockdevTestbed* bed, std::function<void()> wake) : bed_(bed), wake_(std::move(wake)) {}
  ~UmockdevBus() override {
    devices_.clear();
    gone_.clear();
    g_object_unref(bed_);
  }

  bool add(Endpoint& e, std::string& error) override {
    UsbDeviceDescription d;
    d.product = uint16_t(e.spec.module.model);  // below 0x8000, low byte the model
    d.serial = SerialText(e.usbSerial);
    // A new device number on every plug-in, as the bus would give.
    auto plugged = std::make_unique<Plugged>(bed_, ++nextDevice_, d, wake_);
    if (!plugged->device.Plug(error)) return false;
    std::lock_guard<std::mutex> guard(lock_);
    devices_[&e] = std::move(plugged);
    return true;
  }

  // The device leaves the bus at once; it keeps answering a host that still
  // holds it open ("no such device") until the bus goes away.
  void remove(Endpoint& e) override {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devices_.find(&e);
    if (it == devices_.end()) return;
    it->second->device.Unplug();
    gone_.push_back(std::move(it->second));
    devices_.erase(it);
  }

  void send(Endpoint& e, const std::vector<uint8_t>& bytes) override {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devices_.find(&e);
    if (it != devices_.end()) it->second->port.Send(bytes);
  }

  bool receive(Endpoint& e, std::vector<uint8_t>& out) override {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devices_.find(&e);
    return it != devices_.end() && it->second->port.Receive(out);
  }

  UMockdevTestbed* testbed() override { return bed_; }

  std::string where(const Endpoint& e) const override {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devices_.find(const_cast<Endpoint*>(&e));
    return it == devices_.end() ? "" : "at " + it->second->device.node();
  }

 private:
  UMockdevTestbed* bed_;
  std::function<void()> wake_;
  mutable std::mutex lock_;
  std::map<Endpoint*, std::unique_ptr<Plugged>> devices_;
  std::vector<std::unique_ptr<Plugged>> gone_;  // unplugged, still answering
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

}  // namespace ksim
