// Finding modules: those reached directly over USB or TCP/IP, and those on
// the I2C bus of a routing module, each read into a DeviceInfo.
#include <cstring>
#include <memory>
#include <vector>

#include "api/I2CClass.h"
#include "api/Module.h"
#include "api/SystemClass.h"
#include "app/Updater.h"
#include "common/aUSBDefs.h"
#include "common/aVersion.h"
#include "common/discover.h"
#include "common/kxusb_driver.h"
#include "log/Log.h"

using Velmaris::Korvex::I2CClass;
using Velmaris::Korvex::Link;
using Velmaris::Korvex::Module;
using Velmaris::Korvex::SystemClass;

namespace {

using Level = UpdaterDisplayInterface::Level;

// Every search and lookup names the local host as its interface.
constexpr uint32_t kLocalInterface = 0x0100007F;
// Directly reached modules answer at this address until they say otherwise.
constexpr uint8_t kDirectModuleAddress = 2;
constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kQueryBuild = 0xFF;
constexpr size_t kBuildReplyLength = 6;
constexpr size_t kMaxDeviceName = 32;
// Even addresses on a router's bus; 254 is never probed.
constexpr unsigned kFirstBusAddress = 2;
constexpr unsigned kLastBusAddress = 252;
constexpr uint8_t kI2CSpeedCode = 3;

bool CollectDevice(const linkSpec* record, bool* counted, void* context) {
  auto* devices = static_cast<std::vector<DeviceInfo>*>(context);
  DeviceInfo device;
  device.spec = *record;
  devices->push_back(device);
  if (counted != nullptr) *counted = true;
  return true;
}

struct SerialSearch {
  uint32_t serialNumber;
  bool found;
};

bool MatchSerial(const linkSpec* record, bool* counted, void* context) {
  auto* search = static_cast<SerialSearch*>(context);
  if (record->serialNumber != search->serialNumber) return true;
  search->found = true;
  if (counted != nullptr) *counted = true;
  return false;
}

// A record made by the discovery library, freed when it goes out of scope.
struct SpecDeleter {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using SpecHandle = std::unique_ptr<linkSpec, SpecDeleter>;

}  // namespace

aErr Updater::_disable_link_sharing(Module& module) {
  aLanetConfig config;
  config.enabled = 0;
  config.fallback = 0;
  const aErr err = module.setConfig(config);
  if (err != aErrNone) display.message(Level::error, "Failed to SET network configuration");
  return err;
}

void Updater::_report_usb_access(aErr openResult) {
  if (usbAccessReported) return;
  if (openResult != aErrPermission && !Korvex_usb_access_denied()) return;
  usbAccessReported = true;
  display.message(Level::error,
                  "No permission to open Korvex USB devices: install the udev rule %s "
                  "(shipped in packaging/) and plug the devices in again",
                  aKORVEX_UDEV_RULES);
}

uint32_t Updater::_get_build_number(Module& module) {
  Link* link = module.getLink();
  if (link == nullptr) return 0;
  const uint8_t address = module.getModuleAddress();
  const uint8_t query = kQueryBuild;
  if (link->sendPacket(address, kQueryCommand, 1, &query) != aErrNone) return 0;
  const uint8_t match[] = {kQueryCommand, kQueryBuild};
  uint8_t reply[aPACKET_MAX_DATA] = {};
  uint8_t length = sizeof(match);
  if (link->receivePacket(address, match, length, reply) != aErrNone) return 0;
  if (length != kBuildReplyLength) return 0;
  return (uint32_t(reply[2]) << 24) | (uint32_t(reply[3]) << 16) | (uint32_t(reply[4]) << 8) |
         uint32_t(reply[5]);
}

aErr Updater::_get_version(Module& module, DeviceInfo& device) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t packed = 0;
  aErr err = system.getVersion(&packed);
  if (err != aErrNone) return err;
  device.versionMajor = aVersion_ParseMajor(packed);
  device.versionMinor = aVersion_ParseMinor(packed);
  device.versionPatch = aVersion_ParsePatch(packed);
  uint8_t address = 0;
  err = system.getModule(&address);
  if (err != aErrNone) return err;
  device.spec.moduleAddress = address;
  err = system.getRouter(&address);
  if (err != aErrNone) return err;
  device.spec.routerAddress = address;
  return aErrNone;
}

aErr Updater::_get_device_name(Module& module, DeviceInfo& device) {
  // Older firmware has no name to read; that is not an error.
  const uint8_t patch = device.versionPatch > 0xFF ? 0xFF : uint8_t(device.versionPatch);
  if (!aVersion_IsAtLeastCompare(device.versionMajor, device.versionMinor, patch, 2, 10, 4))
    return aErrNone;
  SystemClass system;
  system.init(&module, 0);
  uint8_t name[kMaxDeviceName] = {};
  size_t count = 0;
  const aErr err = system.getName(name, sizeof(name), &count);
  if (err == aErrNone) {
    device.deviceName.assign(reinterpret_cast<const char*>(name),
                             count < sizeof(name) ? count : sizeof(name));
  }
  return err;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> devices;
  std::vector<linkType> types;
  if (type == INVALID) {
    types = {USB, TCPIP};
  } else {
    types = {type};
  }
  for (linkType searched : types) {
    aDiscovery_EnumerateModules(searched, CollectDevice, &devices, kLocalInterface);
    if (searched == USB) _report_usb_access(aErrNone);
  }

  for (DeviceInfo& device : devices) {
    device.modelName = aDefs_GetModelName(device.spec.model);
    Module module(kDirectModuleAddress, 0);
    // A module left unread must not be listed as if it had answered.
    device.error = _disable_link_sharing(module);
    if (device.error != aErrNone) continue;
    device.error = module.connectFromSpec(device.spec);
    if (device.spec.type == USB) _report_usb_access(device.error);
    if (device.error != aErrNone) continue;
    device.buildNumber = _get_build_number(module);
    device.error = _get_version(module, device);
    if (device.error == aErrNone) device.error = _get_device_name(module, device);
    module.disconnect();
  }
  return devices;
}

linkType Updater::_discover_link_type(uint32_t serialNumber) {
  for (linkType type : {USB, TCPIP}) {
    SerialSearch search{serialNumber, false};
    aDiscovery_EnumerateModules(type, MatchSerial, &search, kLocalInterface);
    if (search.found) {
      Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", serialNumber,
               int(type));
      return type;
    }
  }
  return INVALID;
}

std::vector<DeviceInfo> Updater::Discover_KXNetwork_Devices(uint32_t routerSerialNumber,
                                                             linkType type) {
  std::vector<DeviceInfo> devices;
  if (type == INVALID) type = _discover_link_type(routerSerialNumber);
  if (type == INVALID) return devices;
  SpecHandle routerSpec(aDiscovery_FindModule(type, routerSerialNumber, kLocalInterface));
  if (!routerSpec) return devices;

  Log::log(DEBUG_Updater, "Found Link Module\n");
  Module router(kDirectModuleAddress, 0);
  if (_disable_link_sharing(router) != aErrNone) return devices;
  aErr err = router.connectFromSpec(*routerSpec);
  if (err != aErrNone) {
    if (routerSpec->type == USB) _report_usb_access(err);
    display.message(Level::error, "Error %d on connectFromSpec", int(err));
    return devices;
  }

  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  err = routerSystem.routeToMe(1);
  if (err != aErrNone) {
    display.message(Level::error, "Error %d on route to me", int(err));
    router.disconnect();
    return devices;
  }

  I2CClass bus;
  bus.init(&router, 0);
  bus.setSpeed(kI2CSpeedCode);
  const uint8_t probe[2] = {0, 0};
  const uint8_t routerAddress = router.getModuleAddress();

  for (unsigned address = kFirstBusAddress; address <= kLastBusAddress; address += 2) {
    if (address == routerAddress) continue;
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    if (bus.write(uint8_t(address), sizeof(probe), probe) != aErrNone) continue;

    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(uint8_t(address), false, 0);
    if (_disable_link_sharing(module) != aErrNone) continue;
    if (module.connectThroughLinkModule(router) != aErrNone) continue;

    SystemClass system;
    system.init(&module, 0);
    uint32_t serialNumber = 0;
    if (system.getSerialNumber(&serialNumber) != aErrNone) {
      module.disconnect();
      continue;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serialNumber);

    DeviceInfo device;
    device.spec = *routerSpec;
    device.spec.serialNumber = serialNumber;
    device.spec.moduleAddress = uint32_t(address);
    device.spec.routerAddress = routerAddress;
    device.spec.routerSerialNumber = routerSerialNumber;
    device.spec.model = 0;
    device.busAddress = uint16_t(address);
    device.buildNumber = _get_build_number(module);
    device.error = _get_version(module, device);
    uint8_t model = 0;
    err = system.getModel(&model);
    if (err != aErrNone) {
      if (device.error == aErrNone) device.error = err;
    } else {
      device.spec.model = model;
      device.modelName = aDefs_GetModelName(model);
    }
    module.disconnect();
    devices.push_back(device);
  }

  routerSystem.routeToMe(0);
  router.disconnect();
  return devices;
}
