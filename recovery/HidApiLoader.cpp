// hidapi is opened the first time an i.MX boot ROM is reached over HID, not
// when the program starts (see common/aLibraryLoad.h). This file defines the
// hidapi functions the HID transport calls, with the prototypes of hidapi's
// own header, and forwards each to the real one. When hidapi cannot be
// loaded, hid_init fails and hid_error says so, and one line says why.
#include <hidapi.h>

#include "common/aLibraryLoad.h"

#ifndef KORVEX_HIDAPI_SONAME
#define KORVEX_HIDAPI_SONAME "libhidapi-hidraw.so.0"
#endif

// X(library, result, name, parameters, arguments, failure result)
#define KORVEX_HIDAPI_FUNCTIONS(X)                                                             \
  X(hid, int, hid_init, (void), (), -1)                                                        \
  X(hid, int, hid_exit, (void), (), 0)                                                         \
  X(hid, hid_device*, hid_open,                                                                \
    (unsigned short vendor, unsigned short product, const wchar_t* serial),                    \
    (vendor, product, serial), nullptr)                                                        \
  X(hid, int, hid_write, (hid_device * dev, const unsigned char* data, size_t length),         \
    (dev, data, length), -1)                                                                   \
  X(hid, int, hid_read_timeout,                                                                \
    (hid_device * dev, unsigned char* data, size_t length, int milliseconds),                  \
    (dev, data, length, milliseconds), -1)                                                     \
  X(hid, const wchar_t*, hid_error, (hid_device * dev), (dev), L"hidapi is not available")

#define KORVEX_HIDAPI_PROCEDURES(X) X(hid, hid_close, (hid_device * dev), (dev))

KORVEX_LOAD_LIBRARY(KORVEX_HIDAPI_FUNCTIONS, KORVEX_HIDAPI_PROCEDURES, hid, KORVEX_HIDAPI_SONAME,
                    "HID")
