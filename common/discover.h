// Module discovery: the fixed 128-byte record that describes how one module
// can be reached, and the searches that find modules over USB and TCP/IP.
#ifndef KORVEX_DISCOVER_H
#define KORVEX_DISCOVER_H

#include <cstddef>
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
static_assert(offsetof(linkSpec, serialNumber) == 4 && offsetof(linkSpec, moduleAddress) == 8 &&
                  offsetof(linkSpec, routerAddress) == 12 &&
                  offsetof(linkSpec, routerSerialNumber) == 16 &&
                  offsetof(linkSpec, model) == 20 && offsetof(linkSpec, address) == 24 &&
                  offsetof(linkSpec, port) == 28 && offsetof(linkSpec, reserved) == 32,
              "linkSpec field offsets are part of the record's wire form");

// A zeroed record of the given type; null when allocation fails.
linkSpec* aLinkSpec_Create(linkType type);
// A new heap copy of record.
linkSpec* aLinkSpec_Copy(linkSpec record);
// Frees *record and sets it to null; aErrParam when there was none.
aErr aLinkSpec_Destroy(linkSpec** record);

// Sees each record as a search finds it. Setting *counted counts the record
// in the search's result; returning false ends the search. The record is
// only valid during the call.
typedef bool (*aDiscoveryCallback)(const linkSpec* record, bool* counted, void* context);

// Runs the search of one link type and returns the number of counted
// records: USB enumerates the bus once; TCPIP asks 232.2.2.2:9888 out of
// every IPv4 interface and collects answers for 2 seconds, each module once;
// ALANET is the shared-link search. Other types find nothing. The interface
// address (IPv4, network order) matters only for ALANET.
uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback,
                                     void* context, uint32_t networkInterface);
// A new record of the first module with that serial number, or null.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber,
                                uint32_t networkInterface);
// A new record of the first module with a non-zero serial number, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);
// The shared-link search. Not built yet: it finds nothing.
uint32_t aDiscovery_Enumerate_aLanetModules(aDiscoveryCallback callback, void* context,
                                            uint32_t networkInterface);

// The single searches behind aDiscovery_EnumerateModules. The USB search
// skips devices it may not open and notes that for
// Korvex_usb_access_denied (kxusb_driver.h).
uint32_t aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* context);
uint32_t aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* context);

// Fills addresses with the IPv4 addresses (network order) of the host's
// network interfaces, at most capacity of them; returns the count (0 for a
// null array).
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity);
// Writes the dotted text of an IPv4 address (network order); returns its
// length, or 0 when size is below 16 or the conversion fails.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

#endif
