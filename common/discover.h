// Module discovery: the fixed 128-byte record that describes how one module
// can be reached.
#ifndef KORVEX_DISCOVER_H
#define KORVEX_DISCOVER_H

#include <cstdint>

#include "common/aDefs.h"

// All integers in the host's byte order, except address.
struct linkSpec {
  uint32_t type;                // linkType: 1 USB, 2 TCP/IP, 3 serial, 4 shared link
  uint32_t serialNumber;
  uint32_t moduleAddress;       // 0 when not known
  uint32_t routerAddress;       // 0 when not known
  uint32_t routerSerialNumber;  // 0 when not known
  uint32_t model;
  uint8_t address[4];           // IPv4 in network order; USB records: the serial number
  uint32_t port;                // TCP port in the low 16 bits
  uint8_t reserved[96];
};
static_assert(sizeof(linkSpec) == 128, "linkSpec travels as a 128-byte record");

// A zeroed record of the given type; null when allocation fails.
linkSpec* aLinkSpec_Create(linkType type);
// A new heap copy of record.
linkSpec* aLinkSpec_Copy(linkSpec record);
// Frees *record and sets it to null; aErrParam when there was none.
aErr aLinkSpec_Destroy(linkSpec** record);

#endif
