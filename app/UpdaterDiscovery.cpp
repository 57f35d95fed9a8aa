// Finding modules: those reached directly over USB or TCP/IP, and those on
// the I2C bus of a routing module, each read into a DeviceInfo.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Any host can answer a TCP/IP search, for modules at endpoints that take a
// connection and never answer: each such read costs seconds. The records
// are read by this many threads at once, and none is started or carried on
// once this long has passed since the search ended.
constexpr size_t kNetworkReaders = 16;
constexpr std::chrono::milliseconds kNetworkReadWindow{4000};
using Clock = std::chrono::steady_clock;

// How long a TCP connection to a found module may take to complete.
constexpr int kConnectProbeMs = 1000;

// Records of one TCP endpoint (address and port): they would share one
// engine link, so they are read one after another.
uint64_t Endpoint(const linkSpec& spec) {
  uint32_t address = 0;
  std::memcpy(&address, spec.address, sizeof(address));
  return (uint64_t(address) << 16) | (spec.port & 0xFFFFu);
}

// Whether a TCP connection to the record's endpoint completes within
// kConnectProbeMs. Tried before the record's link is made: links are made
// one at a time in the process, and an endpoint that drops connection
// requests would hold every other record's link up for its whole connect
// time. When the probe itself cannot run, the link's own connect decides.
bool EndpointConnects(const linkSpec& spec) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  sockaddr_in to;
  std::memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  std::memcpy(&to.sin_addr.s_addr, spec.address, sizeof(to.sin_addr.s_addr));
  to.sin_port = htons(uint16_t(spec.port));
  bool connects = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0;
  if (!connects && errno == EINPROGRESS) {
    pollfd p = {fd, POLLOUT, 0};
    const int ready = poll(&p, 1, kConnectProbeMs);
    int error = 0;
    socklen_t size = sizeof(error);
    connects = ready < 0 || (ready == 1 &&
                             getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0);
  }
  close(fd);
  return connects;
}

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

// The sharing-off step without its message, which only the main thread
// may show.
aErr SharingOff(Module& module) {
  aLanetConfig config;
  config.enabled = 0;
  config.fallback = 0;
  return module.setConfig(config);
}

}  // namespace

aErr Updater::_disable_link_sharing(Module& module) {
  const aErr err = SharingOff(module);
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

bool Updater::_read_device(DeviceInfo& device, Clock::time_point deadline) {
  device.modelName = aDefs_GetModelName(device.spec.model);
  Module module(kDirectModuleAddress, 0);
  // A module left unread must not be listed as if it had answered.
  device.error = SharingOff(module);
  if (device.error != aErrNone) return false;
  device.error = module.connectFromSpec(device.spec);
  if (device.error != aErrNone) return true;
  const auto late = [deadline] { return Clock::now() >= deadline; };
  device.error = aErrCancel;
  if (!late()) {
    device.buildNumber = _get_build_number(module);
    if (!late()) device.error = _get_version(module, device);
    if (device.error == aErrNone && late()) device.error = aErrCancel;
    if (device.error == aErrNone) device.error = _get_device_name(module, device);
  }
  module.disconnect();
  return true;
}

void Updater::_read_network_devices(std::vector<DeviceInfo>& devices, size_t first) {
  std::vector<std::vector<size_t>> groups;
  std::map<uint64_t, size_t> groupOf;
  for (size_t i = first; i < devices.size(); ++i) {
    auto known = groupOf.emplace(Endpoint(devices[i].spec), groups.size());
    if (known.second) groups.emplace_back();
    groups[known.first->second].push_back(i);
  }
  const Clock::time_point deadline = Clock::now() + kNetworkReadWindow;
  std::atomic<size_t> nextGroup{0};
  // One flag per record, each written by the one thread that reads it.
  std::vector<char> sharingRefused(devices.size(), 0);
  const auto reader = [&] {
    for (size_t g = nextGroup++; g < groups.size(); g = nextGroup++) {
      // An endpoint that could not be reached for one record is not tried
      // again for the next.
      aErr unreachable = aErrNone;
      for (size_t i : groups[g]) {
        DeviceInfo& device = devices[i];
        if (unreachable != aErrNone || Clock::now() >= deadline) {
          device.modelName = aDefs_GetModelName(device.spec.model);
          device.error = unreachable != aErrNone ? unreachable : aErrCancel;
          continue;
        }
        if (!EndpointConnects(device.spec)) {
          device.modelName = aDefs_GetModelName(device.spec.model);
          device.error = unreachable = aErrConnection;
        } else if (!_read_device(device, deadline)) {
          sharingRefused[i] = 1;
        } else if (device.error == aErrConnection || device.error == aErrNotReady) {
          unreachable = device.error;
        }
      }
    }
  };
  std::vector<std::thread> threads;
  const size_t helpers = std::min(kNetworkReaders, groups.size()) - (groups.empty() ? 0 : 1);
  for (size_t t = 0; t < helpers; ++t) {
    try {
      threads.emplace_back(reader);
    } catch (const std::system_error&) {
      break;  // fewer threads: the records are still all read or marked
    }
  }
  reader();
  for (std::thread& thread : threads) thread.join();
  for (char refused : sharingRefused) {
    if (refused) display.message(Level::error, "Failed to SET network configuration");
  }
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
    const size_t first = devices.size();
    aDiscovery_EnumerateModules(searched, CollectDevice, &devices, kLocalInterface);
    if (searched == USB) {
      _report_usb_access(aErrNone);
      for (size_t i = first; i < devices.size(); ++i) {
        if (!_read_device(devices[i], Clock::time_point::max())) {
          display.message(Level::error, "Failed to SET network configuration");
        } else {
          _report_usb_access(devices[i].error);
        }
      }
    } else {
      _read_network_devices(devices, first);
    }
  }
  return devices;
}

linkType Updater::_discover_link_type(uint32_t serialNumber) {
  for (linkType type : {USB, TCPIP}) {
    SerialSearch search{serialNumber, false};
    if (type == TCPIP)
      aDiscovery_SearchTCPIPModule(MatchSerial, &search);
    else
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
