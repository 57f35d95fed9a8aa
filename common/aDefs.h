// Base definitions shared by the device link library and the updater.
#ifndef KORVEX_ADEFS_H
#define KORVEX_ADEFS_H

#include <cstdint>

#include "common/aError.h"

// How a module is reached.
enum linkType : uint32_t {
  INVALID = 0,  // no link type; in discovery requests: USB and TCPIP
  USB = 1,
  TCPIP = 2,
  SERIAL = 3,
  ALANET = 4,     // shared-link client
  RECOVER = 255,  // updater only: the chip's serial boot loader
};

// Display name of a module model number, or "Unknown".
const char* aDefs_GetModelName(uint32_t model);

#endif
