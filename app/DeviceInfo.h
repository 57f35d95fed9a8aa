// One discovered module as the updater lists it.
#ifndef UPDATER_DEVICE_INFO_H
#define UPDATER_DEVICE_INFO_H

#include <cstdint>
#include <string>
#include <vector>

#include "common/discover.h"

struct DeviceInfo {
  linkSpec spec{};             // as discovery delivered it
  uint16_t busAddress = 0;     // behind a router: the address on its bus
  uint32_t buildNumber = 0;    // 0 = unknown
  uint8_t versionMajor = 0;
  uint8_t versionMinor = 0;
  uint32_t versionPatch = 0;
  std::string modelName;
  std::string deviceName;      // empty when not read
  aErr error = aErrNone;       // first error met while reading this module
};

#endif
