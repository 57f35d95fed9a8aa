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
// The shared-link search. With an interface of 0 or 127.0.0.1 (or when the
// host has no IPv4 interface) the local probe of the sharing servers'
// multicast ports; otherwise the beacon search on that interface.
uint32_t aDiscovery_Enumerate_aLanetModules(aDiscoveryCallback callback, void* context,
                                            uint32_t networkInterface);

// Sharing servers on this host hold a multicast port aLANET_PROBE_PORT + k
// (group 224.0.0.7, k below aLANET_PORT_RANGE) and answer the 4-byte probe
// 0xABCDDCBA with their record on port aLANET_ANSWER_PORT + k. On the network
// they answer beacons of the service aLANET_SERVICE on aLANET_BEACON_PORT.
#define aLANET_PROBE_PORT 9850
#define aLANET_ANSWER_PORT 9950
#define aLANET_PORT_RANGE 50
#define aLANET_BEACON_PORT 8585
#define aLANET_SERVICE "Korvex2-Discovery"

// The local probe: each server found once, every port waited on at most
// one second.
uint32_t aDiscovery_EnumerateLocalShared(aDiscoveryCallback callback, void* context);
// The beacon search on one interface (network order): 22 waits of 100 ms.
// Builds without the messaging library find nothing (aErrUnimplemented in
// the trace).
uint32_t aDiscovery_EnumerateBeacons(aDiscoveryCallback callback, void* context,
                                     uint32_t networkInterface);
// True when size bytes at answer are a module's answer to the TCP/IP
// search: exactly 16 bytes (address at 1, TCP port at 2-3 and serial number
// at 4-7, least significant byte first; model at 12). *record gets the
// module's TCP/IP record, with fromAddress (network order), the answer's
// sender, as its address.
bool aDiscovery_ParseTCPIPAnswer(const uint8_t* answer, size_t size, uint32_t fromAddress,
                                 linkSpec* record);
// True when size bytes at data are one server's announcement: exactly one
// record, of link type 4, with a TCP port of 1 to 65535; *record gets it.
bool aDiscovery_ParseAnnouncement(const void* data, size_t size, linkSpec* record);
// True when an announcement names this host: 127.0.0.1 or hostAddress
// (network order; 0 for none).
bool aDiscovery_LocalAnnouncement(const linkSpec& record, uint32_t hostAddress);
// Announces the sharing servers this process starts to the local probe
// (aServer_SetAnnounceHooks). Builds without the messaging library have no
// sharing server; there it does nothing.
void aDiscovery_InstallAnnouncer(void);

// Turns the messaging library's own signal handlers off before its first
// use, so that Ctrl-C keeps stopping the process. Safe to call repeatedly.
void aDiscovery_PrepareMessaging(void);

// The single searches behind aDiscovery_EnumerateModules. The USB search
// skips devices it may not open and notes that for
// Korvex_usb_access_denied (kxusb_driver.h).
uint32_t aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* context);
uint32_t aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* context);
// The TCP/IP search for a callback that looks for one module and ends the
// search when it answers: the same, but the request goes out again every
// 250 ms until then, so that a module that starts listening while the
// search runs (coming back from a restart) answers it.
uint32_t aDiscovery_SearchTCPIPModule(aDiscoveryCallback callback, void* context);

// Fills addresses with the IPv4 addresses (network order) of the host's
// network interfaces, at most capacity of them; returns the count (0 for a
// null array).
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity);
// Writes the dotted text of an IPv4 address (network order); returns its
// length, or 0 when size is below 16 or the conversion fails.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

#endif
