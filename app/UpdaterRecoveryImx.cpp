// The i.MX recovery flow: the recovery loader into the boot ROM over HID or
// a serial line, then the loader found over USB, its fingerprint words
// read, and the firmware written through it.
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "app/Updater.h"
#include "app/UpdaterRecovery.h"
#include "common/discover.h"
#include "common/kxusb_driver.h"
#include "log/Log.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

using Velmaris::Korvex::Module;
using Velmaris::Korvex::SystemClass;

namespace {

using Level = UpdaterDisplayInterface::Level;

constexpr uint32_t kUnknownSerial = 0xDEADDEAD;
constexpr int kConnectAttempts = 15;
constexpr uint16_t kRomVendor = 0x1FC9;
constexpr uint16_t kRomProduct = 0x0130;
constexpr uint8_t kOptionIdentifier = 39;

// Mutes the display's messages for its lifetime and gives back the setting
// it found on every way out.
class MuteGuard {
 public:
  explicit MuteGuard(UpdaterDisplayInterface& display)
      : display_(display), was_(display.is_muted()) {
    display_.mute_messages(true);
  }
  ~MuteGuard() { display_.mute_messages(was_); }
  MuteGuard(const MuteGuard&) = delete;
  MuteGuard& operator=(const MuteGuard&) = delete;

 private:
  UpdaterDisplayInterface& display_;
  bool was_;
};

bool CountUnknown(const linkSpec* record, bool* counted, void*) {
  *counted = record != nullptr && record->serialNumber == kUnknownSerial;
  return true;
}

// Loaders on USB that do not know their serial number yet.
uint32_t UnknownLoaders() {
  return aDiscovery_EnumerateUSB(CountUnknown, nullptr);
}

// One attempt: the device's own serial number, then (when allowed)
// 0xDEADDEAD, but only when exactly one such loader is on the bus (with
// two, either could be the other chip's).
bool ConnectOnce(Module& module, uint32_t serial, bool allowUnknown) {
  if (serial != kUnknownSerial && module.discoverAndConnect(USB, serial) == aErrNone) return true;
  if (!allowUnknown) return false;
  const uint32_t unknown = UnknownLoaders();
  if (unknown > 1) {
    Log::log(DEBUG_APP, "%u loaders without serial number on USB: none is taken\n",
             unsigned(unknown));
    return false;
  }
  return unknown == 1 && module.discoverAndConnect(USB, kUnknownSerial) == aErrNone;
}

bool ConnectLoader(Module& module, uint32_t serial, bool allowUnknown = true) {
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    if ((attempt + 1) % 3 == 0) {
      Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      Korvex_libusb_exit();
    }
    if (ConnectOnce(module, serial, allowUnknown)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
  return false;
}

// Option 39, subindex j, is fingerprint word 3 - j.
bool ReadIdentifier(Module& module, Fingerprint& fingerprint) {
  SystemClass system;
  system.init(&module, 0);
  for (uint8_t j = 0; j < 4; ++j) {
    uint32_t value = 0;
    if (system.getUEI32(kOptionIdentifier, j, &value) != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", int(j));
      return false;
    }
    fingerprint.words[3 - j] = value;
  }
  return true;
}

}  // namespace

aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, const BirdFile& file,
                               const std::string& port) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  std::vector<ImxLoaderPiece> pieces;
  uint32_t start = 0;
  std::string problem;
  if (!RecoveryPlanImx(file, pieces, start, problem)) {
    display.message(Level::error, "Recovery file cannot be used: %s", problem.c_str());
    return aErrParam;
  }
  SDPLoader loader;
  std::unique_ptr<SDPLoader_Interface> transport;
  if (port == "USB")
    transport = std::make_unique<HID_SDPLoader>(kRomVendor, kRomProduct);
  else
    transport = std::make_unique<Serial_SDPLoader>(port);
  if (!loader.setLoader(std::move(transport)) || loader.init() != aErrNone)
    return aErrNotReady;
  for (size_t i = 0; i < pieces.size(); ++i) {
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", int(i),
             pieces[i].image.size(), int(pieces[i].address));
    const int result = loader.writeLoader(pieces[i].image, pieces[i].address);
    if (result != kSDPWriteOk) {
      Log::log(DEBUG_Updater, "Loader block %d not written (%d)\n", int(i), result);
      if (result == kSDPWriteNoAnswer) return aErrTimeout;
      return result == kSDPWriteNotRom ? aErrMode : aErrConnection;
    }
    // What the ROM took is read back before anything is started from it.
    uint32_t differs = 0;
    const aErr verified = loader.verifyLoader(pieces[i].image, pieces[i].address, differs);
    if (verified == aErrWrite) {
      display.message(Level::error,
                      "The loader read back from the chip's RAM differs from the recovery file at "
                      "address 0x%08X; it was not started",
                      differs);
      return aErrWrite;
    }
    if (verified != aErrNone) {
      display.message(Level::error,
                      "The loader could not be read back from the chip's RAM at 0x%08X; it was not "
                      "started",
                      pieces[i].address);
      return aErrConnection;
    }
  }
  loader.startLoader(start);
  return aErrNone;
}

bool Updater::_get_fingerprint_imx(const std::string& port, uint32_t serialNumber,
                                   const std::string& birdPath, Fingerprint& fingerprint,
                                   bool reset) {
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, storeDirectory, "_get_fingerprint_imx");
  if (!store) return false;
  const uint32_t serial = serialNumber == 0 ? kUnknownSerial : serialNumber;
  UpdaterStoreItem device;
  bool found = store->FindDevice(serial, &device);
  std::string fileName;
  if (!birdPath.empty()) {
    if (serial == kUnknownSerial) {
      display.message(Level::error,
                      "Add serial number or remove the bird filename to use a default recovery "
                      "image.");
      return false;
    }
  } else if (!found) {
    MuteGuard mute(display);
    Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
    const uint32_t build = Download_Firmware(serial, "", false, false);
    if (build != 0) {
      fileName = std::to_string(build) + ".bird";
      found = store->FindDevice(serial, &device);
    }
  } else {
    fileName = device.attributes.GetString(KEY_LATEST_DOWNLOAD, "");
  }
  BirdFile file;
  try {
    if (!birdPath.empty()) {
      file = BirdFile(birdPath.c_str());
    } else {
      if (!found || fileName.empty()) throw std::runtime_error("No recovery image in the store");
      if (fileName.find(".bird") == std::string::npos) fileName += ".bird";
      file = device.ReadBirdFile(fileName);
    }
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    return false;
  }
  // A loader without serial number that is on USB before ours starts
  // cannot be told from ours: then ours is looked for by serial number only.
  const bool allowUnknown = UnknownLoaders() == 0;
  if (!allowUnknown)
    Log::log(DEBUG_APP, "A loader without serial number is on USB already: not taken\n");
  const aErr loaded = _transfer_recovery_loader(display, file, port);
  if (loaded != aErrNone) {
    if (loaded == aErrMode) strangerHeard = true;
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }
  Module module(0, uint8_t(0));
  if (_disable_link_sharing(module) != aErrNone) return false;
  if (!ConnectLoader(module, serial, allowUnknown)) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    return false;
  }
  Fingerprint read;
  const bool ok = ReadIdentifier(module, read);
  if (ok) fingerprint = read;
  if (ok && reset) {
    SystemClass system;
    system.init(&module, 0);
    system.reset();
  }
  module.disconnect();
  return ok;
}

bool Updater::_recover_firmware_imx(BirdFile& file, uint32_t serial,
                                    const Fingerprint& fingerprint, bool ueiData) {
  Module module(0, uint8_t(0));
  if (_disable_link_sharing(module) != aErrNone) return false;
  if (!ConnectLoader(module, serial)) {
    display.message(Level::error, "Could not connect to device");
    return false;
  }
  // The loader found must be the chip whose fingerprint chose the file.
  Fingerprint seen;
  if (!ReadIdentifier(module, seen)) {
    module.disconnect();
    display.message(Level::error, "Could not connect to device");
    return false;
  }
  for (int i = 0; i < 4; ++i)
    if (seen.words[i] != fingerprint.words[i]) {
      module.disconnect();
      display.message(Level::error,
                      "The loader found is another chip: [ %08X %08X %08X %08X ]", seen.words[0],
                      seen.words[1], seen.words[2], seen.words[3]);
      return false;
    }
  const bool ok = _transfer_recovery_firmware(file, module, ueiData);
  if (!ok) {
    module.disconnect();
    display.message(Level::error, "Failed to transfer firmware");
    return false;
  }
  // A recovery is done when the module runs its new firmware, as after an
  // update: it comes back on USB under its own serial number.
  const Confirmation confirmation = _confirm_module(module, USB, false, serial, file.GetBuild());
  module.disconnect();
  return confirmation == Confirmation::Confirmed;
}

// The firmware through the loader with the upgrade protocol of a normal
// update: firmware blocks, retries and the reboot.
bool Updater::_transfer_recovery_firmware(BirdFile& file, Module& module, bool ueiData) {
  const aErr err = _transfer_firmware(display, module, file, false, ueiData);
  if (err != aErrNone)
    Log::log(DEBUG_APP, "Recovery transfer failed [%d, %s]\n", int(err), aError_GetErrorText(err));
  return err == aErrNone;
}
