// The run of the updater: parse the options, resolve the storage
// directory, run the commands in their fixed order and return the exit
// code (0 or 1).
#include "app/UpdaterMain.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "app/CLI_Display.h"
#include "app/CommandLine.h"
#include "app/JsonOutput.h"
#include "app/ManyModules.h"
#include "app/StoreCommands.h"
#include "app/UpdateChecks.h"
#include "app/Updater.h"
#include "common/aDirectory.h"
#include "log/Log.h"

namespace {

using Level = UpdaterDisplayInterface::Level;

constexpr mode_t kStoreMode = 0755;

// -i names the parent of the "updater" directory; without it the parent is
// ~/.velmaris, below the home directory the parameters were filled with.
std::string ResolveStorageDirectory(const Parameters& params) {
  const std::string parent =
      params.storageDir.empty() ? params.homeDir + "/.velmaris" : params.storageDir;
  return parent + aDIR_PATH_SEP + "updater";
}

// Exactly one of these runs: the first whose bit is set. Returns the exit
// code, or -1 when none of them was requested.
int RunMainCommand(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
  const CommandsClass& commands = params.commands;

  if (commands.IsSet(CMD_DISCOVER)) {
    // RECOVER names no link to search: all of them are searched.
    const linkType type =
        params.transportGiven && params.transport != RECOVER ? params.transport : INVALID;
    if (params.routerSerialNumber != 0) {
      display.message(Level::info, "Searching for Korvex Network devices connected to %08X",
                      params.routerSerialNumber);
      _display_device_list(display, type,
                           updater.Discover_KXNetwork_Devices(params.routerSerialNumber, type));
    } else {
      display.message(Level::info, "Searching for Korvex devices");
      const linkType searched = type == INVALID ? USB : type;
      _display_device_list(display, searched, updater.Discover_Devices(searched));
    }
    return 0;
  }

  if (commands.IsSet(CMD_UPDATE)) {
    // An empty or non-numeric build means: choose automatically.
    const uint32_t build = BuildFromText(params.build);
    updater.Set_UEIBytes_Load(params.ueiBytesLoad);
    updater.Set_DryRun(params.dryRun);
    if (params.transport == RECOVER && params.serialPort.empty()) {
      // Without a port there is no boot ROM to speak to.
      display.message(Level::error, "Must specify the serial port used for connecting");
      return 1;
    }
    if (params.transport == RECOVER)
      return updater.Recover_Firmware(params.serialPort, build, params.baudRate,
                                      params.serialNumber, params.birdFile, params.override)
                 ? 0
                 : 1;
    if (params.serialNumber == 0) {
      display.message(Level::error, "Must specify the specific device to be updated");
      return 1;
    }
    updater.Set_Read_Old_Version(display.wants_results());
    const bool updated = updater.Update_Firmware(params.serialNumber, build, params.birdFile,
                                                 params.moduleAddress, params.routerSerialNumber,
                                                 params.override);
    if (display.wants_results()) display.result(UpdateObject(updater.Last_Update()).dump());
    return updated ? 0 : 1;
  }

  struct SerialCommand {
    uint32_t bit;
    const char* missingSerial;
  };
  static const SerialCommand kSerialCommands[] = {
      {CMD_LIST_BUILDS, "Error must supply a serial number for the List Builds command"},
      {CMD_LIST_LOCAL_BUILDS,
       "Error must supply a serial number for the List Local Builds command"},
      {CMD_GET_JWT, "Error must supply a serial number for the Get JWT command"},
  };
  for (const SerialCommand& command : kSerialCommands) {
    if (!commands.IsSet(command.bit)) continue;
    if (params.serialNumber == 0) {
      display.message(Level::error, "%s", command.missingSerial);
      _display_usage(false, false);
      return 1;
    }
    // A failed list or token request has been reported by the updater and
    // exits 1 with nothing printed; an empty list the server sent is a
    // result.
    return RunListCommand(display, updater, command.bit, params, params.serialNumber);
  }

  if (commands.IsSet(CMD_CHECK_BIRD)) return CheckBirdFile(display, params.birdFile) ? 0 : 1;
  if (commands.IsSet(CMD_VIEW_INFO))
    return ShowDeviceInfo(display, params.storageDir, params.serialNumber) ? 0 : 1;

  return -1;
}

}  // namespace

namespace {

// --dry-run checks an update over the device link; every other command
// that would run with it writes something, and a recovery writes the chip
// as soon as its boot ROM answers.
bool DryRunAllowed(UpdaterDisplayInterface& display, const Parameters& params) {
  const CommandsClass& commands = params.commands;
  if (!commands.IsSet(CMD_UPDATE) ||
      commands.IsSet(CMD_DISCOVER | CMD_GET_FIRMWARE | CMD_FINGERPRINT)) {
    display.message(Level::error, "--dry-run goes only with -U (and not with -D, -G or -N)");
    return false;
  }
  if (params.transport == RECOVER) {
    display.message(Level::error,
                    "--dry-run cannot be used with -t RECOVER: a recovery writes the chip as "
                    "soon as its boot ROM answers");
    return false;
  }
  return true;
}

int RunUpdater(CLI_Display& display, JsonSink* json, int argc, char* argv[]) {
  Log::SetOutput(stderr);
  Parameters params;

  if (_get_params(display, argc, argv, params) != 0) {
    _display_app_version(display);
    _display_notice(display);
    _display_usage(false, false);
    return 1;
  }

  _display_app_version(display);

  if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_COMMAND)) {
    _display_notice(display);
    _display_usage(params.debugMaskGiven, params.helpRequested);
    // Mistyped options and no command: nothing the user asked for was done.
    const bool onlyUnknown = !params.helpRequested && params.unknownOptions != 0;
    _release_params(params);
    return onlyUnknown ? 1 : 0;
  }

  // Without a home directory the store would land below the root.
  if (params.storageDir.empty() && (params.homeDir.empty() || params.homeDir[0] != '/')) {
    display.message(Level::error,
                    "No home directory to keep the store in: name a directory for it with -i DIR");
    return 1;
  }

  if (params.dryRun && !DryRunAllowed(display, params)) return 1;

  params.storageDir = ResolveStorageDirectory(params);
  // -C, -I and -L only look: they neither make nor need a writable store;
  // nor does a dry run.
  const bool onlyLooking =
      params.dryRun ||
      !params.commands.IsSet(CMD_ANY_COMMAND & ~(CMD_CHECK_BIRD | CMD_VIEW_INFO | CMD_LIST_LOCAL_BUILDS));
  if (!onlyLooking && aDirectory_Ensure(params.storageDir.c_str(), kStoreMode) != aErrNone) {
    display.message(Level::error, "Could not find updater directory at %s",
                    params.storageDir.c_str());
    return 1;
  }

  display.set_module(params.serialNumber);
  if (NamesManyModules(params)) {
    const int code = RunForManyModules(display, json, params);
    if (code >= 0) return code;
  }

  Updater updater(params.serverURL, params.storageDir, display);
  int exitCode = 0;

  if (params.commands.IsSet(CMD_FINGERPRINT)) {
    if (params.serialPort.empty()) {
      display.message(Level::error, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, params.serialPort, 0xDEADDEAD, params.birdFile,
                                params.baudRate, true)) {
      _display_fingerprint(display, fingerprint.words);
    } else {
      // A failure whose cause was told (port, not a boot ROM) is not silence.
      if (!updater.FingerprintFailureReported())
        display.message(Level::error, "Got no response from chip");
      exitCode = 1;
    }
  }

  if (params.commands.IsSet(CMD_GET_FIRMWARE)) {
    if (params.serialNumber == 0) {
      display.message(Level::error, "-G must specify a specific device via -d");
      display.message(Level::error, "--help for usage information");
      return 1;
    }
    display.message(Level::info, "Retrieving firmware for device with serial number %08X",
                    params.serialNumber);
    if (params.build.empty()) {
      display.message(Level::info, "No build specified");
      display.message(Level::info, "Using Latest build");
    } else {
      display.message(Level::info, "Retrieving firmware build %s", params.build.c_str());
    }
    display.clear_first_error();
    const uint32_t stored =
        updater.Download_Firmware(params.serialNumber, params.build, params.override, false);
    if (display.wants_results())
      display.result(
          DownloadObject(params.serialNumber, stored, display.first_error_kind_name()).dump());
    if (stored != 0) {
      // -G -U updates with exactly the build just stored.
      params.build = std::to_string(stored);
      exitCode = 0;
    } else {
      exitCode = 1;
    }
  }

  // Any requested command that failed, -N and -G included, makes the
  // exit code 1.
  const int mainCode = RunMainCommand(display, updater, params);
  if (mainCode >= 0) return mainCode != 0 ? 1 : exitCode;

  _release_params(params);
  return exitCode;
}

}  // namespace

int Updater_main(int argc, char* argv[]) {
  // --json decides where every line goes, so it is known before the parse
  // reports anything.
  bool json = false;
  for (int i = 1; i < argc; ++i) json = json || std::strcmp(argv[i], "--json") == 0;
  const auto start = std::chrono::steady_clock::now();
  JsonSink sink;
  CLI_Display display(json ? &sink : nullptr);
  int code = 1;
  // Whatever escapes the commands ends the run with a message, not an abort.
  try {
    code = RunUpdater(display, json ? &sink : nullptr, argc, argv);
  } catch (const std::bad_alloc&) {
    display.message(Level::error, "Out of memory");
  } catch (const std::exception& e) {
    display.message(Level::error, "Unexpected failure: %s", e.what());
  }
  if (json) {
    sink.summary(code, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return code;
}
