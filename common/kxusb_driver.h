// USB driver under the USB stream: a module's bulk endpoints through libusb,
// or its kernel device node "/dev/korvex.%08X" when one exists.
#ifndef KORVEX_KXUSB_DRIVER_H
#define KORVEX_KXUSB_DRIVER_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

struct libusb_context;

// The process-wide libusb context of the searches: made with libusb_init on
// first use and returned unchanged afterwards; null when libusb cannot be
// initialised. An open USB handle has a context of its own.
libusb_context* Korvex_libusb_context(void);
// The same: makes the process-wide context when there is none and returns
// it, so that a program can have it made before its first search.
libusb_context* Korvex_libusb_init(void);
// Ends the process-wide context (libusb_exit); the next
// Korvex_libusb_context makes a fresh one, which enumerates afresh.
// While a search still uses the context, the exit waits and the last of
// them ends it.
void Korvex_libusb_exit(void);
// A counted use of the context (null when there is none): every successful
// acquire is paired with a release.
libusb_context* Korvex_libusb_acquire(void);
void Korvex_libusb_release(void);
// True while an exit waits for the context's last user.
bool Korvex_libusb_exit_pending(void);

// True when the last USB search or libusb open skipped a device of the
// maker because it was not allowed to open it (the node's permissions: the
// udev rule aKORVEX_UDEV_RULES is not installed). Such a device is neither
// listed nor matched: a wanted serial number stays aErrNotFound, and this
// is the separate hint for the user.
bool Korvex_usb_access_denied(void);
void Korvex_usb_set_access_denied(bool denied);

// Notes that the device at bus number and device address answered its
// serial-number string with serial (at most 15 characters kept). Opening a
// module by serial number tries the device noted for it first, and walks
// the bus, reading every device's string, only when that device is gone or
// answers another serial number (addresses are reused once a device
// leaves). The USB search notes every module it reads, so opening each
// module it found reads one device, not the whole bus again.
void Korvex_usb_note_serial(uint8_t bus, uint8_t address, const char* serial);

// Driver states.
enum kxusbState : uint32_t {
  kxusbStateNone = 0,
  kxusbStateCreated = 1,
  kxusbStateClosed = 2,
  kxusbStateOpened = 3,  // device open, interface not yet claimed
  kxusbStateReady = 4,
  kxusbStateFailed = 5,  // after five consecutive I/O errors
};

// Driver modes.
enum kxusbMode : uint32_t {
  kxusbModeKernel = 0,
  kxusbModeLibusb = 1,
};

struct kxusb;
typedef kxusb* kxusbRef;

// A driver in libusb mode (the shared context made ready); null on failure.
kxusbRef kxusb_create_usb(void);
// A driver working on the kernel node; null on failure.
kxusbRef kxusb_create_kernel(void);

// Opens the module whose serial-number string is serial ("%08X").
aErr kxusb_open_korvex_device(kxusbRef handle, const char* serial);
// One byte: from the 1024-byte IN buffer, else after one bulk read of up to
// 1000 ms. aErrNotReady when nothing arrived.
aErr kxusb_get_from_device(kxusbRef handle, uint8_t* byte);
// Waits up to timeoutMs (at most 1000) for IN data. aErrNone when a byte is
// buffered, aErrTimeout when none came.
aErr kxusb_wait_for_data(kxusbRef handle, uint32_t timeoutMs);
// While cut is set, a wait for data in progress (libusb mode) ends at once
// with aErrTimeout, and later waits answer so at once: a thread stopping
// the link's reader need not wait out the reader's transfer. May be called
// from any thread while the handle lives.
void kxusb_cut_waits(kxusbRef handle, bool cut);
// All of data in chunks of the OUT packet size (never exactly 512 bytes).
aErr kxusb_write_to_device(kxusbRef handle, const uint8_t* data, size_t length);
aErr kxusb_close_korvex_device(kxusbRef handle);
// Closes what is still open, frees the handle and sets *handle to null.
aErr kxusb_destroy(kxusbRef* handle);
// True when the kernel node of the serial number exists.
bool kxusb_is_kernel_driver_installed(uint32_t serialNumber);

// Introspection for diagnostics and tests.
kxusbState kxusb_state(kxusbRef handle);
uint8_t kxusb_in_endpoint(kxusbRef handle);
uint8_t kxusb_out_endpoint(kxusbRef handle);
uint16_t kxusb_in_max_packet(kxusbRef handle);
uint16_t kxusb_out_max_packet(kxusbRef handle);
int kxusb_interface_number(kxusbRef handle);

#endif
