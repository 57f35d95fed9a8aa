// Printed result formats of the command-line front end.
#include "app/CommandLine.h"

#include <cstdio>

#include "app/JsonOutput.h"
#include "common/aError.h"
#include "log/TerminalText.h"

// Build numbers, versions, tokens and device names come from the server or
// the modules: each is one field, shown with every control byte escaped.

namespace {
using Level = UpdaterDisplayInterface::Level;

// Why a module found over TCP/IP could not be read, as its line says it.
const char* NetworkReadFailure(aErr error) {
  switch (error) {
    case aErrConnection:
      return "Cannot connect to the module";
    case aErrNotReady:
    case aErrTimeout:
      return "The module does not answer";
    case aErrCancel:
      return "Not read: discovery ran out of time";
    default:
      return aError_GetErrorDescription(error);
  }
}
}  // namespace

void _display_app_version(UpdaterDisplayInterface& display) {
  display.message(Level::info, "%s (%s)", UPDATER_APP_NAME, UPDATER_APP_VERSION);
}

void _display_notice(UpdaterDisplayInterface& display) {
  display.message(Level::info,
                  "Copyright (c) " UPDATER_BUILD_YEAR
                  " Velmaris. Korvex firmware updater; use only with Korvex modules.");
}

void _display_fingerprint(UpdaterDisplayInterface& display, const uint32_t words[4]) {
  display.message(Level::info, "[ %08X %08X %08X %08X ]", words[0], words[1], words[2],
                  words[3]);
  if (display.wants_results()) {
    nlohmann::ordered_json j = {{"type", "fingerprint"}, {"words", nlohmann::ordered_json::array()}};
    for (int i = 0; i < 4; ++i) j["words"].push_back(SerialText(words[i]));
    display.result(j.dump());
  }
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
  display.message(Level::info, "%s", EscapeForTerminal(token).c_str());
}

void _display_builds(UpdaterDisplayInterface& display, uint32_t serialNumber,
                     const std::vector<std::pair<std::string, std::string>>& builds, bool stored) {
  if (display.wants_results()) {
    for (const auto& build : builds) {
      nlohmann::ordered_json j = {{"type", stored ? "stored_build" : "build"},
                          {"serial", SerialText(serialNumber)},
                          {"version", JsonText(build.second)}};
      // Builds are decimal numbers; anything else a server sends stays text.
      const std::string number = JsonText(build.first);
      if (!number.empty() && number.size() <= 9 &&
          number.find_first_not_of("0123456789") == std::string::npos) {
        j["build"] = std::stoul(number);
      } else {
        j["build"] = number;
      }
      display.result(j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    }
  }
  if (builds.empty()) {
    display.message(Level::info, "No builds found for device [%08X]", serialNumber);
    return;
  }
  display.message(Level::info, "Build List for device [%08X]:\n", serialNumber);
  display.message(Level::info, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& build : builds) {
    display.message(Level::info, "%-15.15s\t%-15.15s", EscapeForTerminal(build.first).c_str(),
                    EscapeForTerminal(build.second).c_str());
  }
}

void _display_device_list(UpdaterDisplayInterface& display, linkType type,
                          const std::vector<DeviceInfo>& devices) {
  if (display.wants_results()) {
    for (const DeviceInfo& device : devices)
      display.result(ModuleObject(device).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  }
  const char* typeName = type == USB ? "USB" : type == TCPIP ? "TCPIP" : "Unknown";
  display.message(Level::info, "Discovered Devices: (%s)", typeName);
  if (devices.empty()) {
    display.message(Level::info, "    No devices found.");
    return;
  }
  if (type == USB) {
    display.message(Level::info,
                    "    Device    Module   Router  Model          Firmware Version (Build)    "
                    "Device Name");
  } else {
    display.message(Level::info,
                    "    Device    Module   Router  Model          Firmware Version (Build)   "
                    "[IP address]       Device Name");
  }
  for (const DeviceInfo& device : devices) {
    const linkSpec& spec = device.spec;
    if (spec.type == TCPIP && device.error != aErrNone) {
      // Any host may answer a search: what it points at is named, never
      // listed as a module.
      display.message(Level::info, "    %08X  [Error (%d): %s]  [%d.%d.%d.%d:%u]",
                      spec.serialNumber, int(device.error), NetworkReadFailure(device.error),
                      spec.address[0], spec.address[1], spec.address[2], spec.address[3],
                      unsigned(spec.port & 0xFFFFu));
    } else if (spec.type == TCPIP) {
      char address[20];
      snprintf(address, sizeof(address), "[%d.%d.%d.%d]", spec.address[0], spec.address[1],
               spec.address[2], spec.address[3]);
      display.message(Level::info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                      spec.serialNumber, spec.moduleAddress, spec.routerAddress,
                      aDefs_GetModelName(spec.model), device.versionMajor, device.versionMinor,
                      int(device.versionPatch), device.buildNumber, address,
                      EscapeForTerminal(device.deviceName).c_str());
    } else if (device.error != aErrNone) {
      display.message(Level::info,
                      "    %08X  [Error (%d): Is someone else connected to this device?]",
                      spec.serialNumber, int(device.error));
    } else {
      display.message(Level::info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                      spec.serialNumber, spec.moduleAddress, spec.routerAddress,
                      aDefs_GetModelName(spec.model), device.versionMajor, device.versionMinor,
                      int(device.versionPatch), device.buildNumber,
                      EscapeForTerminal(device.deviceName).c_str());
    }
  }
}
