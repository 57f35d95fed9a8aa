// How a Korvex module presents itself on USB. Shared by the USB stream and
// the USB device search.
#ifndef KORVEX_AUSBDEFS_H
#define KORVEX_AUSBDEFS_H

#include <cstdint>

// The maker's USB vendor identifier.
#define aVELMARIS_USB_VENDOR_ID 0x3A7Eu

// Product identifiers of modules have bit 15 clear; the upper half of the
// range belongs to other products of the maker.
#define aKORVEX_USB_PRODUCT_LIMIT 0x8000u

// The module's link interface: vendor class, its own subclass and protocol,
// one bulk IN and one bulk OUT endpoint.
#define aKORVEX_USB_INTERFACE_CLASS 0xFFu
#define aKORVEX_USB_INTERFACE_SUBCLASS 0x88u
#define aKORVEX_USB_INTERFACE_PROTOCOL 0x10u

// Kernel device node of a module, by serial number ("%08X").
#define aKORVEX_USB_NODE_FORMAT "/dev/korvex.%08X"

// The udev rule that gives users access to the modules' USB nodes.
#define aKORVEX_UDEV_RULES "70-korvex.rules"

// True when vendor and product identify a Korvex module.
inline bool aKorvexUSB_IsModule(uint16_t vendor, uint16_t product) {
  return vendor == aVELMARIS_USB_VENDOR_ID && product < aKORVEX_USB_PRODUCT_LIMIT;
}

#endif
