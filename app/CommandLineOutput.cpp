// Printed result formats of the command-line front end.
#include "app/CommandLine.h"

namespace {
using Level = UpdaterDisplayInterface::Level;
}

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
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
  display.message(Level::info, "%s", token.c_str());
}

void _display_builds(UpdaterDisplayInterface& display, uint32_t serialNumber,
                     const std::vector<std::pair<std::string, std::string>>& builds) {
  if (builds.empty()) {
    display.message(Level::info, "No builds found for device [%08X]", serialNumber);
    return;
  }
  display.message(Level::info, "Build List for device [%08X]:\n", serialNumber);
  display.message(Level::info, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& build : builds) {
    display.message(Level::info, "%-15.15s\t%-15.15s", build.first.c_str(),
                    build.second.c_str());
  }
}
