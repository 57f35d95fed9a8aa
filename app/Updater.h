// The one object through which the front end does all device, server and
// store work. It holds only the server URL, the store directory, the
// display and two switches; every operation makes the store, modules and
// links it needs and releases them before it returns.
#ifndef UPDATER_UPDATER_H
#define UPDATER_UPDATER_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/DeviceInfo.h"
#include "app/JsonOutput.h"
#include "app/ModuleLock.h"
#include "app/UpdaterDisplayInterface.h"
#include "server/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "store/UpdaterStore.h"

// Four 32-bit words identifying a chip in recovery.
struct Fingerprint {
  uint32_t words[4] = {0, 0, 0, 0};
};

// History keys of a device's attribute file written by downloads.
#define KEY_LATEST_DOWNLOAD "LATEST_DOWNLOAD"
#define KEY_LAST_DOWNLOAD_DATE "LAST_DOWNLOAD_DATE"
// History keys written after a successful update.
#define KEY_LATEST_TRANSFER "LATEST_TRANSFER"
#define KEY_LAST_TRANSFER_DATE "LAST_TRANSFER_DATE"
// History keys of the latest update whose firmware was sent but whose
// module did not come back after its reboot, so that the new firmware was
// never confirmed; the two keys above are left as they were.
#define KEY_UNCONFIRMED_TRANSFER "UNCONFIRMED_TRANSFER"
#define KEY_UNCONFIRMED_TRANSFER_DATE "UNCONFIRMED_TRANSFER_DATE"

namespace Velmaris {
namespace Korvex {
class Module;
}  // namespace Korvex
}  // namespace Velmaris

struct UpdateConnection;
struct DownloadQuestions;

class Updater {
 public:
  // Copies both texts; nothing is opened or contacted.
  Updater(const std::string& serverURL, const std::string& storeDirectory,
          UpdaterDisplayInterface& display);

  void Set_UEIBytes_Load(bool on) { ueiBytesLoad = on; }
  bool Get_UEIBytes_Load() const { return ueiBytesLoad; }
  // A dry run makes every check of an update up to its first write to the
  // module, reports what would be sent and stops; it writes nothing to the
  // module or the store.
  void Set_DryRun(bool on) { dryRun = on; }
  const std::string& ServerURL() const { return serverURL; }
  const std::string& StoreDirectory() const { return storeDirectory; }

  // The server's builds for a device. False (reported) when the server
  // could not be asked or refused; an empty list from a server that
  // answered is true.
  bool Get_BuildList(uint32_t serialNumber, BuildMap& builds);
  // The same with failure as an empty map.
  BuildMap Get_BuildList(uint32_t serialNumber);
  // The stored builds of a device with the versions their files carry.
  BuildMap Get_BuildListLocal(uint32_t serialNumber);
  // The device's signed token; false (reported) on failure.
  bool Get_JWT(uint32_t serialNumber, std::string& token);
  // The same with failure as an empty text.
  std::string Get_JWT(uint32_t serialNumber);

  // Downloads a build (empty text: the latest) into the device's store
  // directory as NNNN.bird and records it in the device's history. Returns
  // the build number stored, or 0 (reported) when no loadable BIRD file of
  // that build was stored (a file whose information block names another
  // build is refused, override or not); the store and its history are then
  // left as they were.
  uint32_t Download_Firmware(uint32_t serialNumber, const std::string& build, bool override,
                             bool noCalibration);
  // Recovery form: asks the server which device and build belong to the
  // fingerprint, then downloads that build.
  uint32_t Download_Firmware(const Fingerprint& fingerprint, const std::string& build,
                             bool override);

  // The BIRD file named by path or, without one, the stored file of the
  // build (downloaded first when allowed and missing). Throws
  // std::runtime_error when the file cannot be loaded.
  BirdFile load_bird(const char* purpose, const std::string& birdPath, uint32_t serialNumber,
                     uint32_t build, bool allowDownload);

  // Puts a build on one module that runs working firmware: the file named
  // by birdPath, else the stored file of build (0: chosen automatically),
  // personalised with the serial number, sent over the module's own link
  // or through the router routerSerialNumber, and confirmed after the
  // reboot. override skips only the model check. True on a completed
  // update; every failure is reported.
  bool Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdPath,
                       uint8_t moduleAddress, uint32_t routerSerialNumber, bool override);
  // What the last Update_Firmware did. The version the module ran before
  // is read (one more request to the module) only when asked for.
  const UpdateOutcome& Last_Update() const { return outcome_; }
  void Set_Read_Old_Version(bool read) { readOldVersion_ = read; }

  // Whether the file may go to the connected module: bound files only to
  // their own device, the module's serial number must be the target's and,
  // unless override, its model the file's.
  // On failure *why (when given) tells why: the file is bound to another
  // device, the module did not answer in time, or answers as another
  // module or model.
  bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file,
                          Velmaris::Korvex::Module& module, uint32_t serialNumber,
                          bool override = false, std::string* why = nullptr);
  // The loader blocks, then LoaderStart. On failure *step (when given)
  // names the step that failed ("sending loader block 1 of 2").
  aErr _transfer_loader(UpdaterDisplayInterface& display, Velmaris::Korvex::Module& module,
                        BirdFile& file, std::string* step = nullptr);
  // The firmware blocks (each up to five attempts), then the reboot; *step
  // as for _transfer_loader.
  aErr _transfer_firmware(UpdaterDisplayInterface& display, Velmaris::Korvex::Module& module,
                          BirdFile& file, bool throughRouter, bool ueiData,
                          std::string* step = nullptr);

  // Modules reached directly over USB or TCP/IP (type 0: USB, then
  // TCP/IP), each read for version, build, addresses and name. A module
  // that could not be opened or read stays listed with its error set.
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  // The modules on a router's bus (type 0: the router's own link type is
  // searched for). Empty when the router is not found, connected or routing.
  std::vector<DeviceInfo> Discover_KXNetwork_Devices(uint32_t routerSerialNumber, linkType type);

  // The link type over which a module with that serial number is found
  // (USB first), or 0.
  linkType _discover_link_type(uint32_t serialNumber);
  // The module's firmware build number; 0 when it gives no proper answer.
  uint32_t _get_build_number(Velmaris::Korvex::Module& module);
  // Version, module address and router address into the record.
  aErr _get_version(Velmaris::Korvex::Module& module, DeviceInfo& device);
  // The name stored in the module (firmware 2.10.4 and later).
  aErr _get_device_name(Velmaris::Korvex::Module& module, DeviceInfo& device);
  // Turns off link sharing for the module's next connection; reported.
  aErr _disable_link_sharing(Velmaris::Korvex::Module& module);
  // Reads one found module into its record (connect, build, version,
  // name), giving up between steps once deadline has passed (aErrCancel).
  // Safe to run on several threads at once for different records; false
  // when the sharing-off step failed, which the caller reports.
  bool _read_device(DeviceInfo& device, std::chrono::steady_clock::time_point deadline);
  // Reads the records found over TCP/IP from `first` on, a few at once,
  // under one deadline: a record not read in time keeps aErrCancel.
  void _read_network_devices(std::vector<DeviceInfo>& devices, size_t first);

  // The chip's fingerprint through its boot ROM on port: the LPC ROM first
  // (at baud), else the i.MX ROM, which takes the recovery loader of the
  // device (serial number 0: unknown) from birdPath or the store; with
  // reset the loader is reset afterwards. False (logged) when none answered.
  bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& port, uint32_t serialNumber,
                       const std::string& birdPath, uint32_t baud, bool reset);
  // After Get_Fingerprint failed: true when it told the user why (the port
  // cannot be opened, or what answered is not a boot ROM); false when
  // nothing answered.
  bool FingerprintFailureReported() const { return fingerprintReported; }
  // Brings a module back through its boot ROM: fingerprint, recovery
  // information from the server (unless birdPath is given), the file bound
  // to the device, written by the chip's flow. True on a completed recovery.
  bool Recover_Firmware(const std::string& port, uint32_t build, uint32_t baud,
                        uint32_t serialNumber, const std::string& birdPath, bool override);

 private:
  bool _update_firmware(uint32_t serialNumber, uint32_t build, const std::string& birdPath,
                        uint8_t moduleAddress, uint32_t routerSerialNumber, bool override);
  // The build an update without -b or -f sends: the server's latest when
  // it is stored, else the device's latest download, else its latest
  // transfer; 0 when none. device is null for a device without an entry.
  uint32_t _choose_update_build(uint32_t serialNumber, UpdaterStoreItem* device);
  // Connects the update's target directly (USB, else TCP/IP) or through
  // the router; reported.
  aErr _connect_for_update(UpdateConnection& link, uint32_t serialNumber, uint8_t moduleAddress,
                           uint32_t routerSerialNumber);
  // Finds the module again after LoaderStart, over the transport the
  // update used; reported.
  aErr _reconnect_loader(UpdateConnection& link, uint32_t serialNumber);
  // Reads the version and build the module runs after the reboot and
  // reports them; a module that runs another build than fileBuild, or that
  // does not come back, is reported as a failed update.
  enum class Confirmation { Confirmed, OtherBuild, NotBack };
  Confirmation _confirm_update(UpdateConnection& link, uint32_t serialNumber, uint32_t fileBuild);
  // Waits for a module after its reboot (reconnecting unless it is reached
  // through a router) and checks the build it runs; reports the outcome.
  Confirmation _confirm_module(Velmaris::Korvex::Module& module, linkType type, bool routed,
                               uint32_t serialNumber,
                               uint32_t fileBuild);
  // Records the transfer in the device's history (made now when the
  // device had none) under the confirmed or the unconfirmed keys; false
  // (reported) when it could not be written.
  bool _record_transfer(UpdaterStore& store, UpdaterStoreItem& device, bool known,
                        uint32_t serialNumber, const std::string& pathText, bool confirmed);
  // Why the file an update was to send could not be loaded, as -C tells
  // it; a stored build that is missing names -G.
  std::string _load_problem(const std::string& birdPath, uint32_t serialNumber, uint32_t build);
  // Takes the module's update lock below the store (mode as for
  // ModuleLock); false (reported) when another updater holds it or it
  // cannot be taken.
  bool _lock_module(ModuleLock& lock, uint32_t serialNumber, ModuleLock::Mode mode);
  // The end of a dry run on the connected, validated module: what would be
  // sent, reported; false (reported) when the module's firmware cannot be
  // read.
  bool _report_dry_run(Velmaris::Korvex::Module& module, uint32_t serialNumber,
                       const BirdFile& file, uint32_t build);
  // Tells the user how to get access when USB modules could not be opened.
  void _report_usb_access(aErr openResult);
  // True when the server lists the build for the device.
  bool _valid_build(uint32_t serialNumber, uint32_t build, const std::string& url);
  // The build a download fetches: the one given, else the server's latest
  // (firmwareId is filled either way), validated against the server's list
  // unless override. The server's answers were asked for together
  // (DownloadQuestions). 0 (reported) when there is none.
  uint32_t _choose_build(const DownloadQuestions& answers, uint32_t build, bool override,
                         std::string& firmwareId);

  bool _get_fingerprint_lpc(const std::string& port, uint32_t baud, Fingerprint& fingerprint);
  bool _get_fingerprint_imx(const std::string& port, uint32_t serialNumber,
                            const std::string& birdPath, Fingerprint& fingerprint, bool reset);
  bool _recover_firmware_lpc(BirdFile& file, const std::string& port, uint32_t baud);
  bool _recover_firmware_imx(BirdFile& file, uint32_t serial, const Fingerprint& fingerprint,
                             bool ueiData);
  bool _transfer_recovery_firmware(BirdFile& file, Velmaris::Korvex::Module& module,
                                   bool ueiData);

  std::string serverURL;
  std::string storeDirectory;
  UpdaterDisplayInterface& display;
  uint8_t recoveryChip = 0;  // 1 = i.MX, 2 = LPC, after a fingerprint read
  bool ueiBytesLoad = false;
  UpdateOutcome outcome_;
  bool readOldVersion_ = false;
  bool dryRun = false;
  bool usbAccessReported = false;
  // Of the last fingerprint read: its failure was reported; something that
  // is not a boot ROM answered.
  bool fingerprintReported = false;
  bool strangerHeard = false;
};

// A store on directory, or null after reporting
// "Failed to Create UpdaterStore in: <operation> - Exception: <text>".
std::unique_ptr<UpdaterStore> _createUpdaterStore(
    UpdaterDisplayInterface& display, const std::string& directory, const char* operation,
    StoreAccess access = StoreAccess::ReadWrite);

// The i.MX recovery loader blocks of file into the boot ROM on port ("USB":
// the HID boot ROM), then started. aErrNotReady when the ROM cannot be
// opened, aErrTimeout when it does not answer, aErrMode when what answered
// is not a boot ROM, aErrConnection when a block was not taken, aErrParam
// for a file without usable loader blocks.
aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, const BirdFile& file,
                               const std::string& port);

#endif
