#include "app/StoreCommands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <sys/stat.h>

#include "app/JsonOutput.h"
#include "common/aNumber.h"
#include "log/TerminalText.h"
#include "store/BirdFile.h"
#include "store/RegularFile.h"
#include "store/UpdaterStore.h"

using Level = UpdaterDisplayInterface::Level;

bool CheckBirdFile(UpdaterDisplayInterface& display, const std::string& path) {
  if (path.empty()) {
    display.message(Level::error, "Must specify the BIRD file to check with -f");
    return false;
  }
  BirdPackageReport report = DescribeBirdPackage(path);
  for (const std::string& line : report.lines) display.message(Level::info, "%s", line.c_str());
  if (!report.loadable) {
    display.message(Level::error, "BIRD file %s is not valid: %s", path.c_str(),
                    report.problems.empty() ? "unknown reason" : report.problems[0].c_str());
    return false;
  }
  if (report.problems.empty()) {
    display.message(Level::info, "BIRD file is valid");
  } else {
    display.message(Level::info, "BIRD file is loadable, with warnings:");
    for (const std::string& problem : report.problems)
      display.message(Level::info, "  warning: %s", problem.c_str());
  }
  return true;
}

namespace {

struct StoredBuild {
  uint32_t build;
  std::string name;
  std::string description;
  std::shared_ptr<std::string> version;  // of a loadable file
};

}  // namespace

bool ShowDeviceInfo(UpdaterDisplayInterface& display, const std::string& storeBase,
                    uint32_t serialNumber) {
  if (serialNumber == 0) {
    display.message(Level::error, "Error must supply a serial number for the View Info command");
    return false;
  }
  UpdaterStoreItem device;
  std::vector<UpdaterStoreItem> items;
  try {
    // Looking only: nothing in the store is made or written.
    UpdaterStore store(storeBase, StoreAccess::ReadOnly);
    if (!store.FindDevice(serialNumber, &device)) {
      display.message(Level::error, "Device %08X is not known to the store at %s", serialNumber,
                      storeBase.c_str());
      return false;
    }
    store.FindLocalBuilds(serialNumber, items);
  } catch (const std::exception& e) {
    display.message(Level::error, "Failed to open the store in %s - Exception: %s",
                    storeBase.c_str(), e.what());
    return false;
  }

  bool complete = true;
  display.message(Level::info, "Device %08X", serialNumber);
  display.message(Level::info, "Directory: %s", device.Path().c_str());
  if (device.attributes.Unreadable()) {
    display.message(Level::info, "Attributes: cannot be read");
    display.message(Level::error, "Cannot read the device history %s: %s",
                    device.attributes.Path().c_str(),
                    OpenErrorText(device.attributes.LastError()).c_str());
    complete = false;
  } else if (device.attributes.Entries().empty()) {
    display.message(Level::info, "Attributes: none");
  } else {
    display.message(Level::info, "Attributes:");
    for (const auto& entry : device.attributes.Entries())
      display.message(Level::info, "  %s=%s", EscapeForTerminal(entry.first).c_str(),
                      EscapeForTerminal(entry.second).c_str());
  }

  std::vector<StoredBuild> builds;
  for (const UpdaterStoreItem& item : items) {
    if (item.kind != STORE_ITEM_FILE) continue;
    StoredBuild entry;
    entry.name = item.name;
    // Named NNNN.bird: sorted by that build; any other name sorts first.
    const char* end = nullptr;
    uint32_t build = 0;
    if (aNumber_ParseU32(item.name.c_str(), 10, &build, &end) == aErrNone &&
        std::isdigit(static_cast<unsigned char>(item.name[0])) && std::strcmp(end, ".bird") == 0) {
      entry.build = build;
    } else {
      entry.build = 0;
    }
    BirdFile file;
    file.SetPath(item.Path());
    if (file.Load() && file.Usable()) {
      entry.description = "build " + std::to_string(file.GetBuild()) + ", version " +
                           EscapeForTerminal(file.GetVersion());
      entry.build = file.GetBuild();
      entry.version = std::make_shared<std::string>(file.GetVersion());
    } else {
      entry.description = "not a loadable BIRD file";  // -C -f tells why
    }
    builds.push_back(entry);
  }
  std::sort(builds.begin(), builds.end(), [](const StoredBuild& a, const StoredBuild& b) {
    return a.build != b.build ? a.build < b.build : a.name < b.name;
  });
  display.message(Level::info, "Stored builds: %zu", builds.size());
  for (const StoredBuild& entry : builds)
    display.message(Level::info, "  %-16s %s", EscapeForTerminal(entry.name).c_str(),
                    entry.description.c_str());
  if (display.wants_results()) {
    nlohmann::ordered_json history = nlohmann::ordered_json::object();
    if (!device.attributes.Unreadable()) {
      for (const auto& entry : device.attributes.Entries())
        history[JsonText(entry.first)] = JsonText(entry.second);
    }
    nlohmann::ordered_json stored = nlohmann::ordered_json::array();
    for (const StoredBuild& entry : builds) {
      nlohmann::ordered_json one = {{"file", JsonText(entry.name)}, {"loadable", entry.version != nullptr}};
      if (entry.version != nullptr) {
        one["build"] = entry.build;
        one["version"] = JsonText(*entry.version);
      }
      stored.push_back(one);
    }
    display.result(nlohmann::ordered_json({{"type", "device_info"},
                                   {"serial", SerialText(serialNumber)},
                                   {"directory", JsonText(device.Path())},
                                   {"history", history},
                                   {"history_readable", !device.attributes.Unreadable()},
                                   {"stored_builds", stored}})
                       .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  }
  return complete;
}
