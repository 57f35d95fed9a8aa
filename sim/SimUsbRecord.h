// The umockdev description of one simulated USB device: the sysfs
// attributes and uevent properties libusb reads, and the device node that
// holds its descriptors. Used by the simulated USB device (SimUsbDevice).
#ifndef KORVEX_SIM_USB_RECORD_H
#define KORVEX_SIM_USB_RECORD_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace ksim {

// sysPath: the device's path below /sys ("/devices/..."); number: its device
// number on bus 1; descriptorsHex: device and configuration descriptors in
// hex. Vendor, product and serial are written as attributes when serial is
// not empty.
inline std::string UsbDeviceRecord(const std::string& sysPath, int number,
                                   const std::string& descriptorsHex, uint16_t vendor = 0,
                                   uint16_t product = 0, const std::string& serial = "") {
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/001/%03d", number);
  std::string record = "P: " + sysPath + "\n";
  record += "N: " + std::string(node) + "=" + descriptorsHex + "\n";
  record += "E: DEVNAME=/dev/" + std::string(node) + "\n";
  record += "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\nE: BUSNUM=001\n";
  char numbers[256];
  std::snprintf(numbers, sizeof numbers,
                "E: DEVNUM=%03d\nE: MAJOR=189\nE: MINOR=%d\n"
                "A: busnum=1\\n\nA: devnum=%d\\n\nA: speed=480\\n\nA: dev=189:%d\\n\n"
                "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n",
                number, number, number, number);
  record += numbers;
  if (!serial.empty()) {
    char ids[128];
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: serial=%s\\n\n",
                  vendor, product, serial.c_str());
    record += ids;
  }
  record += "H: descriptors=" + descriptorsHex + "\n";
  return record;
}

}  // namespace ksim

#endif
