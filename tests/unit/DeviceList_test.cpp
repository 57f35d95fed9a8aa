#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "tests/unit/RecordingDisplay.h"

namespace {

DeviceInfo Device(linkType type, uint32_t serial, uint32_t model) {
  DeviceInfo device;
  device.spec.type = type;
  device.spec.serialNumber = serial;
  device.spec.moduleAddress = 2;
  device.spec.routerAddress = 0x10;
  device.spec.model = model;
  device.versionMajor = 2;
  device.versionMinor = 15;
  device.versionPatch = 7;
  device.buildNumber = 99528558;
  device.deviceName = "bench";
  return device;
}

const char kUsbHeader[] =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const char kNetHeader[] =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
    "Device Name";

}  // namespace

TEST(DeviceList, EmptyList) {
  RecordingDisplay display;
  _display_device_list(display, USB, {});
  EXPECT_EQ((std::vector<std::string>{"Discovered Devices: (USB)", "    No devices found."}),
            display.infos);
}

TEST(DeviceList, UsbLinesAndErrors) {
  RecordingDisplay display;
  DeviceInfo busy = Device(USB, 0x0BADF00D, 13);
  busy.error = aErrBusy;
  _display_device_list(display, USB, {Device(USB, 0x40F5849A, 13), busy});
  ASSERT_EQ(4u, display.infos.size());
  EXPECT_EQ("Discovered Devices: (USB)", display.infos[0]);
  EXPECT_EQ(kUsbHeader, display.infos[1]);
  EXPECT_EQ("    40F5849A  02       10      " + std::string(aDefs_GetModelName(13)) +
                std::string(12 - strlen(aDefs_GetModelName(13)), ' ') +
                "   2.15.7 (  99528558)         bench",
            display.infos[2]);
  EXPECT_EQ("    0BADF00D  [Error (5): Is someone else connected to this device?]",
            display.infos[3]);
}

TEST(DeviceList, NetworkLinesCarryTheAddressAndNameWhatCouldNotBeRead) {
  DeviceInfo net = Device(TCPIP, 0x2181F0EE, 99);
  const uint8_t address[4] = {198, 18, 0, 2};
  memcpy(net.spec.address, address, 4);
  net.spec.port = 4000;
  struct Case {
    aErr error;
    const char* line;
  };
  const Case cases[] = {
      {aErrNone, "    2181F0EE  02       10      Unknown        2.15.7 (  99528558)        "
                 "[198.18.0.2]       bench"},
      {aErrConnection, "    2181F0EE  [Error (25): Cannot connect to the module]  "
                       "[198.18.0.2:4000]"},
      {aErrNotReady, "    2181F0EE  [Error (11): The module does not answer]  [198.18.0.2:4000]"},
      {aErrCancel, "    2181F0EE  [Error (23): Not read: discovery ran out of time]  "
                   "[198.18.0.2:4000]"},
      {aErrIO, "    2181F0EE  [Error (6): Input/Output error]  [198.18.0.2:4000]"},
  };
  for (const Case& c : cases) {
    RecordingDisplay display;
    net.error = c.error;
    _display_device_list(display, INVALID, {net});
    ASSERT_EQ(3u, display.infos.size());
    EXPECT_EQ("Discovered Devices: (Unknown)", display.infos[0]);
    EXPECT_EQ(kNetHeader, display.infos[1]);
    EXPECT_EQ(c.line, display.infos[2]);
  }
}
