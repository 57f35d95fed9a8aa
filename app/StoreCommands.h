// The two store commands: -C checks a BIRD package and describes it, -I
// shows what the store knows about one device.
#ifndef UPDATER_STORE_COMMANDS_H
#define UPDATER_STORE_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "store/BirdDescription.h"

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
