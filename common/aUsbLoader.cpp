// libusb is opened the first time a USB search or link needs it, not when
// the program starts: with libudev beneath it, it is a good part of every
// start-up's dynamic linking, and a download or a build list never touches
// USB. This file defines the libusb functions the program calls, with the
// prototypes of libusb's own header, and forwards each to the real one
// (common/aLibraryLoad.h). When libusb cannot be loaded every call fails with
// LIBUSB_ERROR_NOT_SUPPORTED, so callers report no devices or a failed open
// as they would for the library's own failure, and one line says why.
#include <libusb.h>

#include "common/aLibraryLoad.h"

#ifndef KORVEX_LIBUSB_SONAME
#define KORVEX_LIBUSB_SONAME "libusb-1.0.so.0"
#endif

namespace {
const int kNotLoaded = LIBUSB_ERROR_NOT_SUPPORTED;
}  // namespace

// X(library, result, name, parameters, arguments, failure result)
#define KORVEX_LIBUSB_FUNCTIONS(X)                                                             \
  X(usb, int, libusb_init, (libusb_context** ctx), (ctx), kNotLoaded)                          \
  X(usb, ssize_t, libusb_get_device_list, (libusb_context* ctx, libusb_device*** list),        \
    (ctx, list), kNotLoaded)                                                                   \
  X(usb, int, libusb_get_device_descriptor,                                                    \
    (libusb_device* dev, struct libusb_device_descriptor* desc), (dev, desc), kNotLoaded)      \
  X(usb, int, libusb_get_config_descriptor,                                                    \
    (libusb_device* dev, uint8_t index, struct libusb_config_descriptor** config),             \
    (dev, index, config), kNotLoaded)                                                          \
  X(usb, int, libusb_get_max_packet_size, (libusb_device* dev, unsigned char endpoint),        \
    (dev, endpoint), kNotLoaded)                                                               \
  X(usb, int, libusb_open, (libusb_device* dev, libusb_device_handle** handle), (dev, handle), \
    kNotLoaded)                                                                                \
  X(usb, libusb_device*, libusb_get_device, (libusb_device_handle* handle), (handle), nullptr) \
  X(usb, uint8_t, libusb_get_bus_number, (libusb_device* dev), (dev), 0)                       \
  X(usb, uint8_t, libusb_get_device_address, (libusb_device* dev), (dev), 0)                   \
  X(usb, int, libusb_get_string_descriptor_ascii,                                              \
    (libusb_device_handle* handle, uint8_t index, unsigned char* data, int length),            \
    (handle, index, data, length), kNotLoaded)                                                 \
  X(usb, int, libusb_claim_interface, (libusb_device_handle* handle, int number),              \
    (handle, number), kNotLoaded)                                                              \
  X(usb, int, libusb_release_interface, (libusb_device_handle* handle, int number),            \
    (handle, number), kNotLoaded)                                                              \
  X(usb, int, libusb_clear_halt, (libusb_device_handle* handle, unsigned char endpoint),       \
    (handle, endpoint), kNotLoaded)                                                            \
  X(usb, int, libusb_bulk_transfer,                                                            \
    (libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,    \
     int* transferred, unsigned int timeout),                                                  \
    (handle, endpoint, data, length, transferred, timeout), kNotLoaded)                        \
  X(usb, struct libusb_transfer*, libusb_alloc_transfer, (int packets), (packets), nullptr)      \
  X(usb, int, libusb_submit_transfer, (struct libusb_transfer* transfer), (transfer),          \
    kNotLoaded)                                                                                \
  X(usb, int, libusb_cancel_transfer, (struct libusb_transfer* transfer), (transfer),          \
    kNotLoaded)                                                                                \
  X(usb, int, libusb_handle_events_timeout_completed,                                          \
    (libusb_context* ctx, struct timeval* tv, int* completed), (ctx, tv, completed),           \
    kNotLoaded)                                                                                \
  X(usb, const char*, libusb_error_name, (int code), (code), "LIBUSB_ERROR_NOT_SUPPORTED")

// Functions with no result to report.
#define KORVEX_LIBUSB_PROCEDURES(X)                                                            \
  X(usb, libusb_exit, (libusb_context* ctx), (ctx))                                            \
  X(usb, libusb_free_device_list, (libusb_device** list, int unref), (list, unref))            \
  X(usb, libusb_free_config_descriptor, (struct libusb_config_descriptor* config), (config))   \
  X(usb, libusb_close, (libusb_device_handle* handle), (handle))                              \
  X(usb, libusb_free_transfer, (struct libusb_transfer* transfer), (transfer))                 \
  X(usb, libusb_interrupt_event_handler, (libusb_context* ctx), (ctx))

KORVEX_LOAD_LIBRARY(KORVEX_LIBUSB_FUNCTIONS, KORVEX_LIBUSB_PROCEDURES, usb, KORVEX_LIBUSB_SONAME,
                    "USB")
