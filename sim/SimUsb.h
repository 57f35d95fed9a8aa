// Simulated USB devices: each module with a USB transport appears as a
// device that the real libusb of a program run inside the world finds and
// opens (umockdev testbed; the program runs under umockdev's preload).
#ifndef KORVEX_SIM_USB_H
#define KORVEX_SIM_USB_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/aUSBDefs.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace ksim {

struct Endpoint;

constexpr uint16_t kUsbVendorId = aVELMARIS_USB_VENDOR_ID;

class UsbBus {
 public:
  // `wake` is called (from another thread) when host data has arrived.
  static std::unique_ptr<UsbBus> create(std::function<void()> wake, std::string& error);
  virtual ~UsbBus() = default;
  // Plugs in the module's device under e.usbSerial / unplugs it.
  virtual bool add(Endpoint& e, std::string& error) = 0;
  virtual void remove(Endpoint& e) = 0;
  // Module to host (bulk IN).
  virtual void send(Endpoint& e, const std::vector<uint8_t>& bytes) = 0;
  // Host to module (bulk OUT): the next chunk received, if any.
  virtual bool receive(Endpoint& e, std::vector<uint8_t>& out) = 0;
  // Where the device sits ("bus 001 device 005").
  virtual std::string where(const Endpoint& e) const = 0;
  // The testbed the devices sit on (other simulated devices join it).
  virtual UMockdevTestbed* testbed() = 0;
};

}  // namespace ksim

#endif
