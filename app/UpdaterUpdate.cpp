// The firmware update over the device link (-U): choosing and loading the
// file, connecting directly or through a routing module, finding the
// module again in its loader, and confirming the new firmware after the
// reboot. The steps that talk the upgrade protocol are in
// UpdaterTransfer.cpp.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "app/UpdateChecks.h"
#include "app/Updater.h"
#include "common/aDefs.h"
#include "common/aTime.h"
#include "common/discover.h"
#include "common/kxusb_driver.h"
#include "log/Log.h"
#include "server/UpdateServerRequest.h"
#include "store/BirdDescription.h"

using Velmaris::Korvex::Module;
using Velmaris::Korvex::SystemClass;

namespace {

// Updates of this process between their module's LoaderStart and the end
// of its firmware transfer. A loader announcing the default serial number
// is taken only by an update that is alone in that phase.
std::atomic<int> gInLoaderPhase{0};

struct LoaderPhase {
  LoaderPhase() { ++gInLoaderPhase; }
  ~LoaderPhase() { --gInLoaderPhase; }
  LoaderPhase(const LoaderPhase&) = delete;
  LoaderPhase& operator=(const LoaderPhase&) = delete;
};


using Level = UpdaterDisplayInterface::Level;

// Finding the module in its loader after LoaderStart.
constexpr uint32_t kLinkDropWaitMs = 3000;
constexpr uint32_t kLinkDropPollMs = 50;
constexpr uint32_t kReconnectAttempts = 15;
constexpr uint32_t kReconnectPauseMs = 1000;
constexpr uint32_t kRouterPollMs = 500;
constexpr uint32_t kRouterLoaderWaitMs = 15000;
// Finding the module again after the reboot.
constexpr uint32_t kConfirmWaitMs = 15000;
constexpr uint32_t kConfirmPollMs = 500;
// The serial number a loader may announce instead of the module's own.
constexpr uint32_t kLoaderSerialNumber = 0xDEADDEAD;
// Every search names the local host as its interface.
constexpr uint32_t kLocalInterface = 0x0100007F;

uint32_t Since(uint32_t start) { return aTime_GetMSTicks() - start; }

struct SerialCount {
  uint32_t serialNumber;
  uint32_t count;
};

bool CountSerial(const linkSpec* record, bool* counted, void* context) {
  auto* search = static_cast<SerialCount*>(context);
  if (record->serialNumber == search->serialNumber) {
    ++search->count;
    if (counted != nullptr) *counted = true;
  }
  return true;
}

// How many modules reached over type announce serialNumber.
uint32_t CountModules(linkType type, uint32_t serialNumber) {
  SerialCount search{serialNumber, 0};
  aDiscovery_EnumerateModules(type, CountSerial, &search, kLocalInterface);
  return search.count;
}

// The TCP/IP records that announce serialNumber at place's address and port.
struct PlaceSearch {
  uint32_t serialNumber;
  const linkSpec* place;
  std::vector<linkSpec> found;
};

bool CollectAtPlace(const linkSpec* record, bool* counted, void* context) {
  auto* search = static_cast<PlaceSearch*>(context);
  if (record->serialNumber == search->serialNumber &&
      std::memcmp(record->address, search->place->address, sizeof record->address) == 0 &&
      (record->port & 0xFFFF) == (search->place->port & 0xFFFF) && search->found.size() < 16) {
    search->found.push_back(*record);
    if (counted != nullptr) *counted = true;
  }
  return true;
}

}  // namespace

// The modules of one update. The router, when there is one, carries the
// target's link and so outlives it.
struct UpdateConnection {
  std::unique_ptr<Module> router;
  std::unique_ptr<Module> target;
  linkType type = INVALID;  // the transport of the link the update runs over
  bool routeSet = false;
  // USB: modules announcing the loader's default serial number before ours
  // restarted into its loader; one of them is never taken for ours.
  uint32_t loadersBefore = 0;
  // TCP/IP: where the module answered (type TCPIP once known). Its loader
  // answers at the same address and port, whatever serial number it
  // announces.
  linkSpec place{};

  ~UpdateConnection() {
    if (target) target->disconnect();
    if (router) {
      if (routeSet) {
        SystemClass system;
        system.init(router.get(), 0);
        system.routeToMe(0);
      }
      router->disconnect();
    }
  }
};

uint32_t Updater::_choose_update_build(uint32_t serialNumber, UpdaterStoreItem* device) {
  uint32_t build = 0;
  std::string latest;
  std::string firmwareId;
  UpdateServerRequest::QueryBuild(serialNumber, latest, firmwareId, serverURL.c_str());
  build = BuildFromText(latest);
  if (build == 0) Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
  if (build != 0) {
    bool stored = false;
    if (device != nullptr) {
      try {
        device->ReadBirdFile(std::to_string(build) + ".bird");
        stored = true;
      } catch (const std::runtime_error&) {
      }
    }
    if (!stored) {
      build = 0;
      display.message(Level::info,
                      "New firmware is available.  Updater will proceed if valid firmware is "
                      "found locally.");
    }
  }
  if (build == 0 && device != nullptr) {
    build = BuildFromText(device->attributes.GetString(KEY_LATEST_DOWNLOAD, ""));
    if (build != 0) display.message(Level::info, "Updating with the Latest Download");
  }
  if (build == 0 && device != nullptr) {
    build = BuildFromText(device->attributes.GetString(KEY_LATEST_TRANSFER, ""));
    if (build != 0) display.message(Level::info, "Updating with the Latest Transfer");
  }
  return build;
}

aErr Updater::_connect_for_update(UpdateConnection& link, uint32_t serialNumber,
                                  uint8_t moduleAddress, uint32_t routerSerialNumber) {
  if (routerSerialNumber == 0) {
    // Counted while no link of this update is open: a search for USB
    // modules must not run beside an open USB link.
    link.loadersBefore = CountModules(USB, kLoaderSerialNumber);
    link.target.reset(new Module(moduleAddress, 0));
    aErr err = _disable_link_sharing(*link.target);
    if (err != aErrNone) return err;
    link.type = USB;
    err = link.target->connect(USB, serialNumber);
    if (err == aErrNotFound) {
      link.type = TCPIP;
      err = link.target->connect(TCPIP, serialNumber);
      linkSpec place{};
      if (err == aErrNone && link.target->getLinkSpecifier(place) == aErrNone) link.place = place;
    }
    if (err != aErrNone) {
      if (link.type == USB) _report_usb_access(err);
      display.message(Level::error, "Failed to connect to module [%08X]", serialNumber);
    }
    return err;
  }

  if (moduleAddress == 0) {
    const std::vector<DeviceInfo> devices = Discover_KXNetwork_Devices(routerSerialNumber, INVALID);
    if (devices.empty()) {
      display.message(Level::error, "Unable to find modules on Network");
      return aErrNotFound;
    }
    uint16_t busAddress = 0;
    for (const DeviceInfo& device : devices)
      if (device.spec.serialNumber == serialNumber) busAddress = device.busAddress;
    if (busAddress == 0 || busAddress > 0xFF) {
      display.message(Level::error,
                      "Module address required for indirect firmware update, could not find "
                      "serial number [0x%08X] on network",
                      serialNumber);
      return aErrNotFound;
    }
    moduleAddress = uint8_t(busAddress);
  }
  link.target.reset(new Module(moduleAddress, false, 0));
  aErr err = _disable_link_sharing(*link.target);
  if (err != aErrNone) return err;
  link.router.reset(new Module(0, 0));
  err = _disable_link_sharing(*link.router);
  if (err != aErrNone) return err;
  link.type = USB;
  err = link.router->connect(USB, routerSerialNumber);
  if (err == aErrNotFound) {
    link.type = TCPIP;
    err = link.router->connect(TCPIP, routerSerialNumber);
  }
  if (err != aErrNone) {
    display.message(Level::error, "Failed to connect to link module [%08X]", routerSerialNumber);
    return err;
  }
  // The router relays the bus modules' packets only while it routes to us.
  SystemClass routerSystem;
  routerSystem.init(link.router.get(), 0);
  err = routerSystem.routeToMe(1);
  if (err != aErrNone) {
    display.message(Level::error, "Failed to connect to link module [%08X]", routerSerialNumber);
    return err;
  }
  link.routeSet = true;
  err = link.target->connectThroughLinkModule(*link.router);
  if (err != aErrNone)
    display.message(Level::error, "Failed to connect to module [%08X]", serialNumber);
  return err;
}

aErr Updater::_reconnect_loader(UpdateConnection& link, uint32_t serialNumber) {
  Module& module = *link.target;
  if (link.router) {
    // The router's link stays up; the module restarts behind it and is
    // asked until it answers again.
    const uint32_t start = aTime_GetMSTicks();
    while (Since(start) < kRouterLoaderWaitMs) {
      aTime_MSSleep(kRouterPollMs);
      SystemClass system;
      system.init(&module, 0);
      uint32_t answered = 0;
      if (system.getSerialNumber(&answered) == aErrNone) {
        Log::log(DEBUG_Updater, "Loader answers behind the router as [%08X]\n", answered);
        return aErrNone;
      }
    }
    display.message(Level::error, "Failed to connect to module [%08X]", serialNumber);
    return aErrConnection;
  }

  // The module restarts into its loader once its LOAD answer has gone out:
  // its link drops a little later.
  const uint32_t start = aTime_GetMSTicks();
  while (module.isConnected() && Since(start) < kLinkDropWaitMs) aTime_MSSleep(kLinkDropPollMs);
  if (module.isConnected()) {
    Log::log(DEBUG_Updater, "Module kept its link after LoaderStart\n");
    return aErrNone;
  }
  module.disconnect();
  for (uint32_t attempt = 0; attempt < kReconnectAttempts; ++attempt) {
    // This update holds no USB link now, so the context may be renewed.
    if (link.type == USB && (attempt + 1) % 3 == 0) {
      Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      Korvex_libusb_exit();
    }
    if (module.connect(link.type, serialNumber) == aErrNone) return aErrNone;
    if (link.type == TCPIP) {
      // A loader announcing the default serial number where the module was
      // is the module's own.
      if (link.place.type == TCPIP) {
        PlaceSearch search{kLoaderSerialNumber, &link.place, {}};
        aDiscovery_EnumerateModules(TCPIP, CollectAtPlace, &search, kLocalInterface);
        if (search.found.size() == 1 && module.connectFromSpec(search.found[0]) == aErrNone) {
          Log::log(DEBUG_Updater, "Loader found as [%08X] where the module was\n",
                   kLoaderSerialNumber);
          return aErrNone;
        }
      }
      aTime_MSSleep(kReconnectPauseMs);
      continue;
    }
    // A loader may announce the default serial number instead; that is
    // only taken for this module when it is the only one doing so and none
    // did before it restarted.
    // Another update of this process in the same phase could own it: then
    // neither takes it, and each waits for its module's own serial number.
    if (link.loadersBefore == 0 && gInLoaderPhase.load() == 1 &&
        CountModules(link.type, kLoaderSerialNumber) == 1 &&
        module.connect(link.type, kLoaderSerialNumber) == aErrNone) {
      Log::log(DEBUG_Updater, "Loader found as [%08X]\n", kLoaderSerialNumber);
      return aErrNone;
    }
    aTime_MSSleep(kReconnectPauseMs);
  }
  display.message(Level::error, "Failed to connect to module [%08X]", serialNumber);
  return aErrConnection;
}

std::string Updater::_load_problem(const std::string& birdPath, uint32_t serialNumber,
                                   uint32_t build) {
  if (birdPath.empty()) {
    const std::string device = UpdaterStore::DeviceName(serialNumber);
    const std::string path = BuildPath(storeDirectory.c_str(), device.c_str(),
                                       (std::to_string(build) + ".bird").c_str(), nullptr);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "build %u is not in the store; download it first with -G -d %08X -b %u",
                    unsigned(build), unsigned(serialNumber), unsigned(build));
      return text;
    }
    const BirdPackageReport report = DescribeBirdPackage(path);
    return report.problems.empty() ? "the stored file cannot be loaded" : report.problems[0];
  }
  const BirdPackageReport report = DescribeBirdPackage(birdPath);
  return report.problems.empty() ? "the file cannot be loaded" : report.problems[0];
}

Updater::Confirmation Updater::_confirm_update(UpdateConnection& link, uint32_t serialNumber,
                                               uint32_t fileBuild) {
  return _confirm_module(*link.target, link.type, link.router != nullptr, serialNumber, fileBuild);
}

Updater::Confirmation Updater::_confirm_module(Module& module, linkType type, bool routed,
                                               uint32_t serialNumber, uint32_t fileBuild) {
  if (!routed) module.disconnect();
  DeviceInfo info;
  uint32_t build = 0;
  bool answered = false;
  const uint32_t start = aTime_GetMSTicks();
  while (!answered && Since(start) < kConfirmWaitMs) {
    aTime_MSSleep(kConfirmPollMs);
    if (!routed) {
      // The module left the bus and came back: only a fresh USB context
      // enumerates it again. This update holds no USB link now.
      if (type == USB) Korvex_libusb_exit();
      if (module.connect(type, serialNumber) != aErrNone) continue;
    }
    if (_get_version(module, info) == aErrNone) {
      build = _get_build_number(module);
      answered = true;
    } else if (!routed) {
      module.disconnect();
    }
  }
  if (!answered) {
    // The firmware went over, but nothing shows that the module starts it:
    // it may need its boot ROM to be usable again.
    display.message(Level::error,
                    "Update not confirmed: the firmware was sent to module %08X, but the module "
                    "did not come back within %u seconds after its reboot",
                    serialNumber, unsigned(kConfirmWaitMs / 1000));
    display.message(Level::error,
                    "If the module stays unreachable, recover it through its boot ROM: "
                    "Updater -U -t RECOVER -s <serial port>");
    return Confirmation::NotBack;
  }
  outcome_.newKnown = true;
  outcome_.newMajor = info.versionMajor;
  outcome_.newMinor = info.versionMinor;
  outcome_.newPatch = info.versionPatch;
  outcome_.newBuild = build;
  if (fileBuild != 0 && build != fileBuild) {
    display.message(Level::error,
                    "Update failed: module %08X runs firmware %u.%u.%u build %u after the "
                    "reboot, not build %u",
                    serialNumber, unsigned(info.versionMajor), unsigned(info.versionMinor),
                    unsigned(info.versionPatch), build, fileBuild);
    return Confirmation::OtherBuild;
  }
  display.message(Level::info, "Module %08X now runs firmware %u.%u.%u build %u", serialNumber,
                  unsigned(info.versionMajor), unsigned(info.versionMinor),
                  unsigned(info.versionPatch), build);
  return Confirmation::Confirmed;
}

bool Updater::_record_transfer(UpdaterStore& store, UpdaterStoreItem& device, bool known,
                               uint32_t serialNumber, const std::string& pathText,
                               bool confirmed) {
  const char* done = confirmed ? "Updated" : "Firmware sent";
  try {
    if (!known) device = store.AddDevice(serialNumber);
  } catch (const std::runtime_error&) {
    display.message(Level::error, "%s, but could not record the update in the store", done);
    return false;
  }
  device.attributes.Add(confirmed ? KEY_LATEST_TRANSFER : KEY_UNCONFIRMED_TRANSFER, pathText);
  device.attributes.Add(confirmed ? KEY_LAST_TRANSFER_DATE : KEY_UNCONFIRMED_TRANSFER_DATE,
                        KeyValueStore::TimeStamp());
  if (!device.attributes.Save(nullptr)) {
    display.message(Level::error, "%s, but could not record the update in %s", done,
                    device.attributes.Path().c_str());
    return false;
  }
  return true;
}

bool Updater::_report_dry_run(Module& module, uint32_t serialNumber, const BirdFile& file,
                              uint32_t build) {
  DeviceInfo info;
  const aErr err = _get_version(module, info);
  if (err != aErrNone) {
    display.message(Level::error, "Dry run: could not read the firmware of module %08X: %s (%s)",
                    serialNumber, aError_GetErrorText(err), aError_GetErrorDescription(err));
    return false;
  }
  const uint32_t running = _get_build_number(module);
  SystemClass system;
  system.init(&module, 0);
  uint8_t model = 0;
  const char* name = system.getModel(&model) == aErrNone ? aDefs_GetModelName(model) : nullptr;
  size_t bytes = 0;
  size_t blocks = 0;
  for (const BirdBlock& block : file.Blocks()) {
    if (block.type != BLOCK_LOADER && block.type != BLOCK_FIRMWARE) continue;
    bytes += block.length;
    ++blocks;
  }
  const uint32_t sent = file.GetBuild() != 0 ? file.GetBuild() : build;
  display.message(Level::info,
                  "Dry run: module %08X (model %s) would be updated from firmware %d.%d.%d build "
                  "%u to build %u (%zu bytes in %zu blocks); nothing was written",
                  serialNumber, name != nullptr ? name : "unknown", int(info.versionMajor),
                  int(info.versionMinor), int(info.versionPatch), unsigned(running),
                  unsigned(sent), bytes, blocks);
  return true;
}

bool Updater::_lock_module(ModuleLock& lock, uint32_t serialNumber, ModuleLock::Mode mode) {
  int holder = 0;
  std::string detail;
  const aErr err = lock.Acquire(storeDirectory, serialNumber, mode, &holder, &detail);
  if (err == aErrNone) return true;
  if (err == aErrBusy)
    display.message(Level::error, "Module %08X is being updated by process %d; it was not touched",
                    serialNumber, holder);
  else
    display.message(Level::error, "Could not lock module %08X for the update: %s", serialNumber,
                    detail.c_str());
  return false;
}

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdPath,
                              uint8_t moduleAddress, uint32_t routerSerialNumber, bool override) {
  outcome_ = UpdateOutcome();
  outcome_.serialNumber = serialNumber;
  outcome_.attempts = 1;
  display.clear_first_error();
  const uint32_t begin = aTime_GetMSTicks();
  const bool ok =
      _update_firmware(serialNumber, build, birdPath, moduleAddress, routerSerialNumber, override);
  outcome_.seconds = double(Since(begin)) / 1000.0;
  if (outcome_.outcome.empty()) outcome_.outcome = !ok ? "failed" : dryRun ? "dry-run" : "updated";
  if (!ok) {
    outcome_.kind = display.first_error_kind_name().empty() ? "failed" : display.first_error_kind_name();
    outcome_.message = display.first_error_message();
  }
  return ok;
}

bool Updater::_update_firmware(uint32_t serialNumber, uint32_t build, const std::string& birdPath,
                               uint8_t moduleAddress, uint32_t routerSerialNumber, bool override) {
  if (serialNumber == 0) {
    display.message(Level::error, "Update command must specify the specific device");
    return false;
  }
  // A dry run only reads the store: it makes nothing in it, and holds the
  // module's lock only when the lock file is already there.
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, storeDirectory, "Update_Firmware",
                          dryRun ? StoreAccess::ReadOnly : StoreAccess::ReadWrite);
  if (!store) return false;
  // Held until the module is disconnected: the connection below is
  // destroyed before it.
  ModuleLock lock;
  if (!_lock_module(lock, serialNumber,
                    dryRun ? ModuleLock::Mode::Observe : ModuleLock::Mode::Record))
    return false;
  UpdaterStoreItem device;
  const bool known = store->FindDevice(serialNumber, &device);
  const uint32_t start = aTime_GetMSTicks();

  if (birdPath.empty() && build == 0) {
    build = _choose_update_build(serialNumber, known ? &device : nullptr);
    if (build == 0) {
      display.message(Level::error, "Could not find valid build for this device.");
      return false;
    }
  }

  BirdFile file;
  try {
    file = load_bird("Updating", birdPath, serialNumber, build, false);
  } catch (const std::runtime_error&) {
  }
  if (!file.Usable()) {
    display.message(Level::error, "Failed to load bird file: %s",
                    _load_problem(birdPath, serialNumber, build).c_str());
    return false;
  }
  const std::string problem = UpdateFileProblem(file);
  if (!problem.empty()) {
    display.message(Level::error, "Bird file cannot be sent: %s", problem.c_str());
    return false;
  }
  if (file.SerialOffsetsPresent()) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    // Personalising must change the image that is sent, or the module
    // would get the template's serial number.
    if (!SerialWordsInImage(file) || !file.ReplaceSerialNumber(serialNumber)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      display.message(Level::error, "Error: Unable to modify serial number in bird.");
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  UpdateConnection link;
  aErr result = _connect_for_update(link, serialNumber, moduleAddress, routerSerialNumber);
  if (result != aErrNone) return false;
  if (readOldVersion_) {
    DeviceInfo before;
    if (_get_version(*link.target, before) == aErrNone) {
      outcome_.oldKnown = true;
      outcome_.oldMajor = before.versionMajor;
      outcome_.oldMinor = before.versionMinor;
      outcome_.oldPatch = before.versionPatch;
      outcome_.oldBuild = _get_build_number(*link.target);
    }
  }
  std::string why;
  if (!_validate_birdfile(display, file, *link.target, serialNumber, override, &why)) {
    display.message(Level::error, "Birdfile failed validation: %s", why.c_str());
    return false;
  }
  if (dryRun) return _report_dry_run(*link.target, serialNumber, file, build);

  bool reported = false;
  std::string step;
  std::unique_ptr<LoaderPhase> phase(new LoaderPhase);
  result = _transfer_loader(display, *link.target, file, &step);
  if (result == aErrNone) {
    result = _reconnect_loader(link, serialNumber);
    reported = result != aErrNone;
  }
  if (result == aErrNone)
    result = _transfer_firmware(display, *link.target, file, routerSerialNumber != 0, ueiBytesLoad,
                                &step);
  phase.reset();
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", int(result));
    if (!reported)
      display.message(Level::error, "Failed to update module [%08X]: %s (%s) while %s",
                      serialNumber, aError_GetErrorText(result),
                      aError_GetErrorDescription(result), step.c_str());
    return false;
  }
  const Confirmation confirmation = _confirm_update(link, serialNumber, file.GetBuild());
  if (confirmation == Confirmation::OtherBuild) return false;

  // The history goes to the device's own entry, made now when the device
  // had none. Firmware that was sent but never seen running is recorded
  // apart from the confirmed transfers.
  const std::string pathText = birdPath.empty() ? std::to_string(build) + ".bird" : birdPath;
  const bool confirmed = confirmation == Confirmation::Confirmed;
  if (!_record_transfer(*store, device, known, serialNumber, pathText, confirmed) || !confirmed)
    return false;
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(Level::info, "Update time: %.4f sec", double(Since(start)) / 1000.0);
  return true;
}
