// The two store commands: -C checks a BIRD package and describes it, -I
// shows what the store knows about one device. The package description is
// shared with the birdpack tool.
#ifndef UPDATER_STORE_COMMANDS_H
#define UPDATER_STORE_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

// What a check of a package found.
struct BirdPackageReport {
  bool loadable = false;              // the updater would accept and load it
  std::vector<std::string> lines;     // the description, one line each
  std::vector<std::string> problems;  // why it is not loadable, or what is odd
};

// Checks the package at path the way the update flows load one, and
// describes its header, information block and blocks. Opens only a regular
// file and touches no store.
BirdPackageReport DescribeBirdPackage(const std::string& path);

// -C -f FILE: prints the description and the verdict. True for a loadable
// package.
bool CheckBirdFile(UpdaterDisplayInterface& display, const std::string& path);

// -I -d SERIAL: prints the device's directory, its attribute entries and its
// stored builds with their versions, writing nothing. False (after saying
// so) when the store at storeBase does not know the device or its history
// cannot be read.
bool ShowDeviceInfo(UpdaterDisplayInterface& display, const std::string& storeBase,
                    uint32_t serialNumber);

#endif
